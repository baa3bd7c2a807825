// netlink.cpp -- links and addresses through rtnetlink (libmnl).
//
// Two sockets: one for requests and their answers (dumps, changes with acknowledgement), one
// that only listens to events (links; IPv4 addresses and routes), so that an event never
// mixes with an answer.
#include "dhcp-os.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <vector>

namespace zrdhcp {

struct Network::Impl {
  mnl_socket *req = nullptr;
  mnl_socket *events = nullptr;
  unsigned seq = 0;
  unsigned portid = 0;
};

namespace {

constexpr size_t kBufferSize = 64 * 1024;

int link_attr(const nlattr *attr, void *data) {
  Link *l = static_cast<Link *>(data);
  switch (mnl_attr_get_type(attr)) {
    case IFLA_IFNAME:
      if (mnl_attr_validate(attr, MNL_TYPE_NUL_STRING) >= 0) l->name = mnl_attr_get_str(attr);
      break;
    case IFLA_ADDRESS: {
      const uint8_t *p = static_cast<const uint8_t *>(mnl_attr_get_payload(attr));
      l->hw.assign(p, p + mnl_attr_get_payload_len(attr));
      break;
    }
    default: break;
  }
  return MNL_CB_OK;
}

bool parse_link(const nlmsghdr *nlh, Link *l) {
  if (nlh->nlmsg_len < mnl_nlmsg_size(sizeof(ifinfomsg))) return false;
  const ifinfomsg *ifm = static_cast<const ifinfomsg *>(mnl_nlmsg_get_payload(nlh));
  l->index = ifm->ifi_index;
  l->up = (ifm->ifi_flags & IFF_UP) != 0;
  return mnl_attr_parse(nlh, sizeof(ifinfomsg), link_attr, l) >= 0 && !l->name.empty();
}

int link_message(const nlmsghdr *nlh, void *data) {
  auto *out = static_cast<std::vector<Link> *>(data);
  Link l;
  if (nlh->nlmsg_type == RTM_NEWLINK && parse_link(nlh, &l)) out->push_back(l);
  return MNL_CB_OK;
}

struct EventSink {
  std::vector<LinkEvent> *events;
  bool *changed;
};

int event_message(const nlmsghdr *nlh, void *data) {
  auto *sink = static_cast<EventSink *>(data);
  LinkEvent e;
  switch (nlh->nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK:
      if (parse_link(nlh, &e.link)) {
        e.gone = nlh->nlmsg_type == RTM_DELLINK;
        sink->events->push_back(e);
      }
      break;
    case RTM_NEWADDR:
    case RTM_DELADDR:
    case RTM_NEWROUTE:
    case RTM_DELROUTE: *sink->changed = true; break;
    default: break;
  }
  return MNL_CB_OK;
}

struct AddrParse {
  uint32_t local = 0, address = 0;
  bool has_local = false, has_address = false;
};

int addr_attr(const nlattr *attr, void *data) {
  AddrParse *a = static_cast<AddrParse *>(data);
  int type = mnl_attr_get_type(attr);
  if ((type == IFA_LOCAL || type == IFA_ADDRESS) && mnl_attr_validate(attr, MNL_TYPE_U32) >= 0) {
    uint32_t v = ntohl(mnl_attr_get_u32(attr));
    if (type == IFA_LOCAL) {
      a->local = v;
      a->has_local = true;
    } else {
      a->address = v;
      a->has_address = true;
    }
  }
  return MNL_CB_OK;
}

int addr_message(const nlmsghdr *nlh, void *data) {
  auto *out = static_cast<std::vector<Address> *>(data);
  if (nlh->nlmsg_type != RTM_NEWADDR || nlh->nlmsg_len < mnl_nlmsg_size(sizeof(ifaddrmsg))) return MNL_CB_OK;
  const ifaddrmsg *ifa = static_cast<const ifaddrmsg *>(mnl_nlmsg_get_payload(nlh));
  if (ifa->ifa_family != AF_INET) return MNL_CB_OK;
  AddrParse p;
  if (mnl_attr_parse(nlh, sizeof(ifaddrmsg), addr_attr, &p) < 0 || !(p.has_local || p.has_address)) return MNL_CB_OK;
  Address a;
  a.index = static_cast<int>(ifa->ifa_index);
  a.addr = p.has_local ? p.local : p.address;
  a.prefix = ifa->ifa_prefixlen;
  out->push_back(a);
  return MNL_CB_OK;
}

struct RouteParse {
  Route route;
  uint32_t table = 0;
};

int route_attr(const nlattr *attr, void *data) {
  RouteParse *r = static_cast<RouteParse *>(data);
  int type = mnl_attr_get_type(attr);
  if (mnl_attr_validate(attr, MNL_TYPE_U32) < 0) return MNL_CB_OK;
  if (type == RTA_DST) r->route.dst = ntohl(mnl_attr_get_u32(attr));
  if (type == RTA_OIF) r->route.index = static_cast<int>(mnl_attr_get_u32(attr));
  if (type == RTA_TABLE) r->table = mnl_attr_get_u32(attr);
  return MNL_CB_OK;
}

// The local table holds the computer's own addresses and their broadcasts, which the
// address list already tells.
int route_message(const nlmsghdr *nlh, void *data) {
  auto *out = static_cast<std::vector<Route> *>(data);
  if (nlh->nlmsg_type != RTM_NEWROUTE || nlh->nlmsg_len < mnl_nlmsg_size(sizeof(rtmsg))) return MNL_CB_OK;
  const rtmsg *rtm = static_cast<const rtmsg *>(mnl_nlmsg_get_payload(nlh));
  if (rtm->rtm_family != AF_INET) return MNL_CB_OK;
  RouteParse p;
  p.table = rtm->rtm_table;
  if (mnl_attr_parse(nlh, sizeof(rtmsg), route_attr, &p) < 0 || p.table == RT_TABLE_LOCAL) return MNL_CB_OK;
  p.route.prefix = rtm->rtm_dst_len;
  out->push_back(p.route);
  return MNL_CB_OK;
}

// The request socket: answers wait at most 5 s (one that never comes must not hold the
// service).
int open_request_socket(Network::Impl *nl) {
  if (nl->req) mnl_socket_close(nl->req);
  nl->req = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
  if (!nl->req) return errno;
  if (mnl_socket_bind(nl->req, 0, MNL_SOCKET_AUTOPID) < 0) return errno;
  nl->portid = mnl_socket_get_portid(nl->req);
  timeval tv{5, 0};
  setsockopt(mnl_socket_get_fd(nl->req), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return 0;
}

// Sends a request and reads its answer to the end (a dump's DONE, or the acknowledgement).
// What belongs to an earlier request (another sequence number: the rest of an answer left
// unread) is passed over.  A dump that the kernel marks interrupted (the table changed
// while it was read) is read to its end and then reported as EINTR; an answer that did
// not come in time leaves a socket that may still receive it, so it is opened anew.
int transact_once(Network::Impl *nl, nlmsghdr *nlh, mnl_cb_t cb, void *data) {
  nlh->nlmsg_seq = ++nl->seq;
  if (mnl_socket_sendto(nl->req, nlh, nlh->nlmsg_len) < 0) return errno;
  std::vector<char> buf(kBufferSize);
  bool interrupted = false;
  for (;;) {
    ssize_t n = mnl_socket_recvfrom(nl->req, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno == EAGAIN || errno == EWOULDBLOCK ? ETIMEDOUT : errno;
      int reopened = open_request_socket(nl);
      return reopened != 0 ? reopened : err;
    }
    int len = static_cast<int>(n);
    for (const nlmsghdr *m = reinterpret_cast<const nlmsghdr *>(buf.data()); mnl_nlmsg_ok(m, len);
         m = mnl_nlmsg_next(m, &len)) {
      if (m->nlmsg_seq != nl->seq || (m->nlmsg_pid != 0 && m->nlmsg_pid != nl->portid)) continue;
      if (m->nlmsg_flags & NLM_F_DUMP_INTR) interrupted = true;
      if (m->nlmsg_type == NLMSG_DONE) return interrupted ? EINTR : 0;
      if (m->nlmsg_type == NLMSG_ERROR) {
        if (m->nlmsg_len < mnl_nlmsg_size(sizeof(nlmsgerr))) return EPROTO;
        const nlmsgerr *e = static_cast<const nlmsgerr *>(mnl_nlmsg_get_payload(m));
        return e->error == 0 ? 0 : -e->error;
      }
      if (m->nlmsg_type < NLMSG_MIN_TYPE || !cb) continue;
      if (cb(m, data) == MNL_CB_ERROR) return errno ? errno : EPROTO;
    }
  }
}

// A dump interrupted by changes is repeated (a few times: one that changes without pause
// is reported).
int transact(Network::Impl *nl, nlmsghdr *nlh, mnl_cb_t cb, void *data, const std::function<void()> &restart = {}) {
  int err = 0;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (attempt > 0 && restart) restart();
    if ((err = transact_once(nl, nlh, cb, data)) != EINTR) break;
  }
  return err;
}

nlmsghdr *header(char *buf, uint16_t type, uint16_t flags) {
  nlmsghdr *nlh = mnl_nlmsg_put_header(buf);
  nlh->nlmsg_type = type;
  nlh->nlmsg_flags = NLM_F_REQUEST | flags;
  return nlh;
}

int change_address(Network::Impl *nl, uint16_t type, uint16_t flags, int index, uint32_t addr, int prefix) {
  std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
  nlmsghdr *nlh = header(buf.data(), type, NLM_F_ACK | flags);
  ifaddrmsg *ifa = static_cast<ifaddrmsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifaddrmsg)));
  ifa->ifa_family = AF_INET;
  ifa->ifa_prefixlen = static_cast<uint8_t>(prefix);
  ifa->ifa_scope = RT_SCOPE_UNIVERSE;
  ifa->ifa_index = static_cast<unsigned>(index);
  uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
  mnl_attr_put_u32(nlh, IFA_LOCAL, htonl(addr));
  mnl_attr_put_u32(nlh, IFA_ADDRESS, htonl(addr));
  if (type == RTM_NEWADDR && prefix < 31) mnl_attr_put_u32(nlh, IFA_BROADCAST, htonl(addr | ~mask));
  return transact(nl, nlh, nullptr, nullptr);
}

}  // namespace

Network::~Network() {
  if (impl_) {
    if (impl_->req) mnl_socket_close(impl_->req);
    if (impl_->events) mnl_socket_close(impl_->events);
    delete impl_;
  }
}

int Network::open() {
  impl_ = new Impl;
  int err = open_request_socket(impl_);
  if (err != 0) return err;
  impl_->events = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (!impl_->events ||
      mnl_socket_bind(impl_->events, RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE, MNL_SOCKET_AUTOPID) < 0)
    return errno;
  int size = 1 << 20;
  setsockopt(mnl_socket_get_fd(impl_->events), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  return 0;
}

OsHandle Network::event_handle() const { return impl_ && impl_->events ? mnl_socket_get_fd(impl_->events) : kNoHandle; }

bool Network::read_events(std::vector<LinkEvent> *events, bool *changed, bool *resync, int *err) {
  EventSink sink{events, changed};
  std::vector<char> buf(kBufferSize);
  // A bounded number of reads: addresses that change without pause elsewhere must not hold
  // the caller here (what is left waits for its next turn).
  for (int reads = 0; reads < 64; ++reads) {
    ssize_t n = mnl_socket_recvfrom(impl_->events, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      if (errno == ENOBUFS) {
        *resync = true;
        continue;
      }
      *err = errno;
      return false;
    }
    mnl_cb_run(buf.data(), static_cast<size_t>(n), 0, 0, event_message, &sink);
  }
  return true;
}

int Network::links(std::vector<Link> *out) {
  out->clear();
  std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
  nlmsghdr *nlh = header(buf.data(), RTM_GETLINK, NLM_F_DUMP);
  rtgenmsg *g = static_cast<rtgenmsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtgenmsg)));
  g->rtgen_family = AF_PACKET;
  return transact(impl_, nlh, link_message, out, [out] { out->clear(); });
}

int Network::addresses(std::vector<Address> *out) {
  out->clear();
  std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
  nlmsghdr *nlh = header(buf.data(), RTM_GETADDR, NLM_F_DUMP);
  rtgenmsg *g = static_cast<rtgenmsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtgenmsg)));
  g->rtgen_family = AF_INET;
  return transact(impl_, nlh, addr_message, out, [out] { out->clear(); });
}

int Network::routes(std::vector<Route> *out) {
  out->clear();
  std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
  nlmsghdr *nlh = header(buf.data(), RTM_GETROUTE, NLM_F_DUMP);
  rtmsg *rtm = static_cast<rtmsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
  rtm->rtm_family = AF_INET;
  return transact(impl_, nlh, route_message, out, [out] { out->clear(); });
}

int Network::add_address(int index, uint32_t addr, int prefix) {
  return change_address(impl_, RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL, index, addr, prefix);
}

int Network::remove_address(int index, uint32_t addr, int prefix) {
  return change_address(impl_, RTM_DELADDR, 0, index, addr, prefix);
}

int Network::set_up(int index) {
  std::vector<char> buf(MNL_SOCKET_BUFFER_SIZE);
  nlmsghdr *nlh = header(buf.data(), RTM_NEWLINK, NLM_F_ACK);
  ifinfomsg *ifm = static_cast<ifinfomsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
  ifm->ifi_family = AF_UNSPEC;
  ifm->ifi_index = index;
  ifm->ifi_flags = IFF_UP;
  ifm->ifi_change = IFF_UP;
  return transact(impl_, nlh, nullptr, nullptr);
}

std::string Network::name_of(int index) {
  char name[IF_NAMESIZE] = {};
  return if_indextoname(static_cast<unsigned>(index), name) ? name : "";
}

}  // namespace zrdhcp
