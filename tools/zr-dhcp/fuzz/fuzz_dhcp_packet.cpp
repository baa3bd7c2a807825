// fuzz_dhcp_packet.cpp -- the DHCP service's reading of client messages, and its answer.
//
// Input: a whole datagram as it would arrive on UDP port 67, copied into a buffer of exactly
// its size so that a read past the end shows under AddressSanitizer.  A message the reader
// takes is answered on a one-address link; what is sent must be a well-formed reply for
// that link, and the reader must take its own reply for the BOOTREPLY it is.
#include <cstring>
#include <memory>
#include <string>

#include "dhcp-lease.h"
#include "dhcp-packet.h"
#include "dhcp-store.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::unique_ptr<uint8_t[]> exact(new uint8_t[size ? size : 1]);
  if (size) std::memcpy(exact.get(), data, size);

  zrdhcp::Request req;
  std::string why;
  if (!zrdhcp::parse_request(exact.get(), size, &req, &why)) {
    FUZZ_CHECK(!why.empty());
    return 0;
  }
  FUZZ_CHECK(req.type != 0);
  FUZZ_CHECK(req.hlen <= 16);

  zrdhcp::Pool pool;
  pool.subnet = 5;
  pool.lease = 3600;
  zrdhcp::Answer a = zrdhcp::answer(req, &pool, 1000);
  if (!a.send) return 0;
  FUZZ_CHECK(a.reply.type == zrdhcp::kOffer || a.reply.type == zrdhcp::kAck || a.reply.type == zrdhcp::kNak);
  FUZZ_CHECK(a.reply.server_id == zrdhcp::subnet_host(5));
  FUZZ_CHECK(a.reply.yiaddr == 0 || a.reply.yiaddr == zrdhcp::subnet_handheld(5));
  std::vector<uint8_t> out = zrdhcp::build_reply(req, a.reply);
  FUZZ_CHECK(out.size() >= 300 && out.size() <= 576);
  FUZZ_CHECK(out[0] == 2);
  zrdhcp::Request back;
  FUZZ_CHECK(!zrdhcp::parse_request(out.data(), out.size(), &back, &why));
  FUZZ_CHECK(why.find("BOOTREPLY") != std::string::npos);
  return 0;
}
