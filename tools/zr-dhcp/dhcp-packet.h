// dhcp-packet.h -- DHCPv4 messages (RFC 2131, options of RFC 2132): reading a client's
// request and writing the server's reply.
//
// Reading is strict, since the peer may be broken or hostile: a message is refused (with a
// reason for the log) when it is shorter than the fixed part and the magic cookie, is not a
// BOOTREQUEST, has a hardware address longer than 16 bytes, a wrong magic cookie, an option
// that runs past the end of its area, an option of length 0 (other than rapid commit), an
// option this server uses with the wrong length, a bad overload option, or no DHCP message
// type.  Options overloaded into the "file" and "sname" fields are read too.
#ifndef ZR_DHCP_PACKET_H
#define ZR_DHCP_PACKET_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zrdhcp {

// Message types (option 53).
enum MessageType : uint8_t {
  kDiscover = 1,
  kOffer = 2,
  kRequest = 3,
  kDecline = 4,
  kAck = 5,
  kNak = 6,
  kRelease = 7,
  kInform = 8,
};
const char *message_type_name(int type);

constexpr uint16_t kServerPort = 67;
constexpr uint16_t kClientPort = 68;
constexpr size_t kFixedPart = 236;              // op .. file
constexpr size_t kMinMessage = kFixedPart + 4;  // and the magic cookie
constexpr uint16_t kBroadcastFlag = 0x8000;

// A client's message: the fixed fields the server needs, addresses in host order.
struct Request {
  uint8_t htype = 0, hlen = 0;
  uint32_t xid = 0;    // as the bytes stand, copied back unchanged
  uint16_t flags = 0;  // host order
  uint32_t ciaddr = 0, giaddr = 0;
  uint8_t chaddr[16] = {};
  uint8_t type = 0;
  bool has_requested = false, has_server_id = false;
  uint32_t requested = 0, server_id = 0;  // options 50 and 54
  std::string client_id;                  // option 61, raw bytes
  std::string hardware() const;           // "aa:bb:..." of chaddr's first hlen bytes
};

// Reads a client message; false with the reason in *why when it must not be answered.
bool parse_request(const uint8_t *data, size_t size, Request *req, std::string *why);

// What the server says.
struct Reply {
  uint8_t type = 0;        // kOffer, kAck or kNak
  uint32_t yiaddr = 0;     // the address given (0 for NAK and for the ACK of INFORM)
  uint32_t server_id = 0;  // option 54, also the sender
  uint32_t mask = 0;       // option 1 (0: none)
  uint32_t lease = 0;      // option 51 with 58 and 59 (0: none)
};

// The reply message to a request: fixed fields copied from the request as RFC 2131 says,
// the options, END, padded to the 300 bytes of a BOOTP message.
std::vector<uint8_t> build_reply(const Request &req, const Reply &reply);

}  // namespace zrdhcp

#endif
