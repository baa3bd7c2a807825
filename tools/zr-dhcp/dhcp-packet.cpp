// dhcp-packet.cpp -- reading DHCP requests and writing replies.
#include "dhcp-packet.h"

#include "dhcp-text.h"

#include <cstring>

namespace zrdhcp {

namespace {

// Offsets in the fixed part.
enum : size_t {
  kOp = 0,
  kHtype = 1,
  kHlen = 2,
  kHops = 3,
  kXid = 4,
  kSecs = 8,
  kFlags = 10,
  kCiaddr = 12,
  kYiaddr = 16,
  kSiaddr = 20,
  kGiaddr = 24,
  kChaddr = 28,
  kSname = 44,
  kFile = 108,
  kCookie = 236,
};
enum : uint8_t {
  kOptPad = 0,
  kOptMask = 1,
  kOptRequested = 50,
  kOptLease = 51,
  kOptOverload = 52,
  kOptType = 53,
  kOptServerId = 54,
  kOptMessage = 56,
  kOptRenewal = 58,
  kOptRebinding = 59,
  kOptClientId = 61,
  kOptRapidCommit = 80,
  kOptEnd = 255,
};
const uint8_t kMagic[4] = {99, 130, 83, 99};
constexpr size_t kBootpSize = 300;

uint32_t get32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

void put32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v >> 24);
  p[1] = uint8_t(v >> 16);
  p[2] = uint8_t(v >> 8);
  p[3] = uint8_t(v);
}

// Reads the options of one area into *req.  *overload receives option 52's value.
bool read_options(const uint8_t *p, size_t n, const char *area, Request *req, int *overload, std::string *why) {
  size_t i = 0;
  while (i < n) {
    uint8_t code = p[i];
    if (code == kOptEnd) return true;
    if (code == kOptPad) {
      ++i;
      continue;
    }
    if (i + 1 >= n || i + 2 + p[i + 1] > n) {
      *why = std::string("option ") + std::to_string(code) + " runs past the end of the " + area;
      return false;
    }
    uint8_t len = p[i + 1];
    const uint8_t *v = p + i + 2;
    if (len == 0 && code != kOptRapidCommit) {
      *why = "option " + std::to_string(code) + " has length 0";
      return false;
    }
    auto need = [&](size_t want) {
      if (len == want) return true;
      *why = "option " + std::to_string(code) + " has length " + std::to_string(len) + " instead of " +
             std::to_string(want);
      return false;
    };
    switch (code) {
      case kOptType:
        if (!need(1)) return false;
        if (req->type == 0) req->type = v[0];
        break;
      case kOptRequested:
        if (!need(4)) return false;
        req->has_requested = true;
        req->requested = get32(v);
        break;
      case kOptServerId:
        if (!need(4)) return false;
        req->has_server_id = true;
        req->server_id = get32(v);
        break;
      case kOptOverload:
        if (!need(1)) return false;
        if (overload == nullptr || v[0] < 1 || v[0] > 3) {
          *why = overload ? "option 52 (overload) has the bad value " + std::to_string(v[0])
                          : std::string("option 52 (overload) inside an overloaded field");
          return false;
        }
        *overload = v[0];
        break;
      case kOptClientId:
        if (len < 2) {
          *why = "option 61 (client identifier) is shorter than 2 bytes";
          return false;
        }
        req->client_id.assign(reinterpret_cast<const char *>(v), len);
        break;
      default: break;
    }
    i += 2 + size_t(len);
  }
  return true;  // the area ends without END: what it holds is whole
}

}  // namespace

const char *message_type_name(int type) {
  static const char *const names[] = {"?",   "DISCOVER", "OFFER",   "REQUEST", "DECLINE",
                                      "ACK", "NAK",      "RELEASE", "INFORM"};
  return type >= 1 && type <= 8 ? names[type] : "unknown";
}

std::string Request::hardware() const { return hw_text(chaddr, hlen <= 16 ? hlen : 16); }

bool parse_request(const uint8_t *data, size_t size, Request *req, std::string *why) {
  *req = Request();
  if (size < kMinMessage) {
    *why = "truncated message (" + std::to_string(size) + " bytes)";
    return false;
  }
  if (data[kOp] != 1) {
    *why = data[kOp] == 2 ? "a BOOTREPLY, not a request" : "bad op " + std::to_string(data[kOp]);
    return false;
  }
  if (data[kHlen] > 16) {
    *why = "hardware address length " + std::to_string(data[kHlen]) + " is over 16";
    return false;
  }
  if (std::memcmp(data + kCookie, kMagic, 4) != 0) {
    *why = "bad magic cookie";
    return false;
  }
  req->htype = data[kHtype];
  req->hlen = data[kHlen];
  std::memcpy(&req->xid, data + kXid, 4);
  req->flags = static_cast<uint16_t>(data[kFlags] << 8 | data[kFlags + 1]);
  req->ciaddr = get32(data + kCiaddr);
  req->giaddr = get32(data + kGiaddr);
  std::memcpy(req->chaddr, data + kChaddr, 16);

  int overload = 0;
  if (!read_options(data + kMinMessage, size - kMinMessage, "options", req, &overload, why)) return false;
  if ((overload & 1) && !read_options(data + kFile, kCookie - kFile, "file field", req, nullptr, why)) return false;
  if ((overload & 2) && !read_options(data + kSname, kFile - kSname, "sname field", req, nullptr, why)) return false;
  if (req->type == 0) {
    *why = "no DHCP message type (plain BOOTP)";
    return false;
  }
  return true;
}

std::vector<uint8_t> build_reply(const Request &req, const Reply &reply) {
  std::vector<uint8_t> m(kMinMessage, 0);
  m[kOp] = 2;
  m[kHtype] = req.htype;
  m[kHlen] = req.hlen;
  std::memcpy(&m[kXid], &req.xid, 4);
  m[kFlags] = uint8_t(req.flags >> 8);
  m[kFlags + 1] = uint8_t(req.flags);
  if (reply.type == kAck && reply.yiaddr == 0) put32(&m[kCiaddr], req.ciaddr);  // the ACK of an INFORM
  put32(&m[kYiaddr], reply.yiaddr);
  put32(&m[kGiaddr], req.giaddr);
  std::memcpy(&m[kChaddr], req.chaddr, 16);
  std::memcpy(&m[kCookie], kMagic, 4);

  auto option = [&m](uint8_t code, const uint8_t *v, uint8_t len) {
    m.push_back(code);
    m.push_back(len);
    m.insert(m.end(), v, v + len);
  };
  auto option32 = [&option](uint8_t code, uint32_t value) {
    uint8_t v[4];
    put32(v, value);
    option(code, v, 4);
  };
  option(kOptType, &reply.type, 1);
  option32(kOptServerId, reply.server_id);
  if (reply.lease) {
    option32(kOptLease, reply.lease);
    if (reply.lease != 0xFFFFFFFFu) {
      option32(kOptRenewal, reply.lease / 2);
      option32(kOptRebinding, static_cast<uint32_t>(uint64_t(reply.lease) * 7 / 8));
    }
  }
  if (reply.mask) option32(kOptMask, reply.mask);
  if (!req.client_id.empty())
    option(kOptClientId, reinterpret_cast<const uint8_t *>(req.client_id.data()),
           static_cast<uint8_t>(req.client_id.size()));
  m.push_back(kOptEnd);
  if (m.size() < kBootpSize) m.resize(kBootpSize, kOptPad);
  return m;
}

}  // namespace zrdhcp
