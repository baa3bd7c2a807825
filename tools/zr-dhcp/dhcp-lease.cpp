// dhcp-lease.cpp -- the server's answers on one adapter.
#include "dhcp-lease.h"

#include "dhcp-store.h"
#include "dhcp-text.h"

namespace zrdhcp {

namespace {

Answer give(const Request &req, Pool *pool, uint8_t type) {
  Answer a;
  a.send = true;
  a.reply.type = type;
  a.reply.server_id = subnet_host(pool->subnet);
  if (type == kNak) {
    a.to = 0xFFFFFFFFu;  // the client's address is wrong: only a broadcast reaches it
    return a;
  }
  a.reply.yiaddr = subnet_handheld(pool->subnet);
  a.reply.mask = kSubnetMask;
  a.reply.lease = pool->lease;
  if (req.ciaddr != 0 && !(req.flags & kBroadcastFlag)) a.to = req.ciaddr;
  return a;
}

}  // namespace

Answer answer(const Request &req, Pool *pool, int64_t now_ms) {
  const uint32_t server = subnet_host(pool->subnet), handheld = subnet_handheld(pool->subnet);
  const std::string who = req.hardware();
  Answer a;

  switch (req.type) {
    case kDiscover:
      if (now_ms < pool->declined_until_ms) {
        a.log = "DISCOVER from " + who + " not answered: " + ipv4_text(handheld) + " was declined less than 10 s ago";
        return a;
      }
      a = give(req, pool, kOffer);
      a.log = "offer " + ipv4_text(handheld) + " to " + who;
      return a;

    case kRequest: {
      uint32_t wanted;
      if (req.has_server_id) {
        if (req.server_id != server) return a;  // the client took another server's offer
        wanted = req.has_requested ? req.requested : req.ciaddr;
      } else if (req.has_requested && req.ciaddr == 0) {
        wanted = req.requested;  // init-reboot
      } else if (!req.has_requested && req.ciaddr != 0) {
        wanted = req.ciaddr;  // renewing or rebinding
      } else {
        a.log = "REQUEST from " + who + " ignored: neither selecting, init-reboot nor renewing";
        return a;
      }
      if (wanted != handheld) {
        a = give(req, pool, kNak);
        a.log = "NAK to " + who + ": it asked for " + ipv4_text(wanted) + ", this link has " + ipv4_text(handheld);
        return a;
      }
      a = give(req, pool, kAck);
      pool->leased_until_ms = pool->lease == 0xFFFFFFFFu ? INT64_MAX : now_ms + int64_t(pool->lease) * 1000;
      a.log = "lease " + ipv4_text(handheld) + " to " + who + " for " +
              (pool->lease == 0xFFFFFFFFu ? std::string("ever") : std::to_string(pool->lease) + " s");
      return a;
    }

    case kDecline:
      if (req.has_server_id && req.server_id != server) return a;
      if (req.has_requested && req.requested != handheld) {
        a.log = "DECLINE from " + who + " of " + ipv4_text(req.requested) + ", not this link's address: ignored";
        return a;
      }
      pool->declined_until_ms = now_ms + kDeclineHoldMs;
      pool->leased_until_ms = 0;
      a.log = "declined by " + who + ": " + ipv4_text(handheld) + " seems in use, withheld for 10 s";
      return a;

    case kRelease:
      if ((req.has_server_id && req.server_id != server) || req.ciaddr != handheld) {
        a.log = "RELEASE from " + who + " of " + ipv4_text(req.ciaddr) + ", not this link's lease: ignored";
        return a;
      }
      a.log = "released " + ipv4_text(handheld) + " by " + who;
      pool->leased_until_ms = 0;
      return a;

    case kInform:
      if (req.ciaddr == 0) {
        a.log = "INFORM from " + who + " without its address: ignored";
        return a;
      }
      a.send = true;
      a.reply.type = kAck;
      a.reply.server_id = server;
      a.reply.mask = kSubnetMask;
      a.to = req.ciaddr;
      a.log = "inform " + ipv4_text(req.ciaddr) + " (" + who + ")";
      return a;

    default:
      a.log = std::string("a ") + message_type_name(req.type) + " (type " + std::to_string(req.type) + ") from " + who +
              " is not a client's message: ignored";
      return a;
  }
}

}  // namespace zrdhcp
