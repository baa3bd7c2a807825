// dhcp-lease.h -- what the server answers on one handheld adapter.
//
// Each adapter is a point-to-point link with a pool of exactly one address: the handheld's
// (the second host address of the adapter's /30), offered with the mask 255.255.255.252,
// the configured lease time and the computer's address as server identifier.  Whoever asks
// on the adapter is the handheld (a handheld may come back with another hardware address),
// so the address is never refused for being leased to someone else.  As RFC 2131 has it:
//   DISCOVER  -> OFFER, unless the handheld declined the address less than 10 s ago
//   REQUEST   selecting (server id present): ours and for the handheld's address -> ACK,
//             ours and for another address -> NAK, another server's -> nothing;
//             init-reboot (requested address, no ciaddr): the handheld's -> ACK, else NAK;
//             renewing or rebinding (ciaddr, nothing requested): the handheld's -> ACK,
//             else NAK; anything else -> nothing
//   DECLINE   for our address -> nothing sent; the address is withheld for 10 s
//   RELEASE   -> nothing sent; the lease ends
//   INFORM    -> ACK with the mask, no address and no lease time, sent to ciaddr
// NAKs are broadcast; OFFERs and ACKs go to ciaddr when the client has one, else they are
// broadcast (the client may not answer ARP before it has its address).
#ifndef ZR_DHCP_LEASE_H
#define ZR_DHCP_LEASE_H

#include "dhcp-packet.h"

#include <cstdint>
#include <string>

namespace zrdhcp {

constexpr int64_t kDeclineHoldMs = 10000;

// The state of one adapter's single address.
struct Pool {
  int subnet = -1;
  uint32_t lease = 0;             // seconds offered
  int64_t declined_until_ms = 0;  // monotonic time before which nothing is offered
  int64_t leased_until_ms = 0;    // monotonic time the handheld's lease runs out (ACK); 0 after
                                  // a RELEASE or DECLINE
};

struct Answer {
  bool send = false;
  Reply reply;
  uint32_t to = 0xFFFFFFFFu;  // destination address (host order); broadcast by default
  std::string log;            // one line for the log; empty: nothing worth saying
};

// Decides the answer to a request received on the adapter at monotonic time now_ms and
// updates the pool.
Answer answer(const Request &req, Pool *pool, int64_t now_ms);

}  // namespace zrdhcp

#endif
