// dhcp-socket.cpp -- UDP port 67 on one adapter (Winsock).
//
// Each served adapter has its own socket bound to the computer's address on it: Windows
// hands such a socket the broadcasts that arrive by that interface, and a reply leaves by
// it.  IP_PKTINFO tells each message's interface; one from another interface is passed
// over.  A socket's event (WSAEventSelect, FD_READ) is what the service waits on.
#include "dhcp-os.h"
#include "dhcp-packet.h"
#include "dhcp-store.h"
#include "win-common.h"

#include <mswsock.h>

#include <cerrno>

namespace zrdhcp {

struct DhcpSocket::Impl {
  SOCKET s = INVALID_SOCKET;
  WSAEVENT event = WSA_INVALID_EVENT;
  int index = 0;
  uint32_t addr = 0;
  LPFN_WSARECVMSG recvmsg = nullptr;  // none: the interface of a message is not looked at
};

namespace {

int winsock_error() { return win::errno_of(static_cast<DWORD>(WSAGetLastError())); }

bool winsock_started() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

}  // namespace

DhcpSocket::~DhcpSocket() {
  if (!impl_) return;
  if (impl_->s != INVALID_SOCKET) closesocket(impl_->s);
  if (impl_->event != WSA_INVALID_EVENT) WSACloseEvent(impl_->event);
  delete impl_;
}

OsHandle DhcpSocket::handle() const {
  return impl_ && impl_->event != WSA_INVALID_EVENT ? reinterpret_cast<OsHandle>(impl_->event) : kNoHandle;
}

int DhcpSocket::open(int index, uint32_t addr) {
  if (!winsock_started()) return ENETDOWN;
  if (!impl_) impl_ = new Impl;
  Impl &m = *impl_;
  m.index = index;
  m.addr = addr;
  m.s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (m.s == INVALID_SOCKET) return winsock_error();
  BOOL one = TRUE;
  DWORD on = 1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(kServerPort);
  sa.sin_addr.s_addr = htonl(addr);
  int err = 0;
  // SO_EXCLUSIVEADDRUSE: no other program can bind the same address and port beside it.
  setsockopt(m.s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&one), sizeof one);
  if (setsockopt(m.s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&one), sizeof one) != 0 ||
      bind(m.s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
    err = winsock_error();
  if (err == 0 && setsockopt(m.s, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char *>(&on), sizeof on) == 0) {
    GUID id = WSAID_WSARECVMSG;
    DWORD n = 0;
    if (WSAIoctl(m.s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &m.recvmsg, sizeof m.recvmsg, &n, nullptr,
                 nullptr) != 0)
      m.recvmsg = nullptr;
  }
  if (err == 0 && (m.event = WSACreateEvent()) == WSA_INVALID_EVENT) err = winsock_error();
  if (err == 0 && WSAEventSelect(m.s, m.event, FD_READ) != 0) err = winsock_error();  // also non-blocking
  if (err != 0) {
    closesocket(m.s);
    m.s = INVALID_SOCKET;
    if (m.event != WSA_INVALID_EVENT) WSACloseEvent(m.event);
    m.event = WSA_INVALID_EVENT;
  }
  return err;
}

long DhcpSocket::receive(uint8_t *buf, size_t size, bool *truncated, int *err) {
  Impl &m = *impl_;
  for (;;) {
    // Reset before the read: a message still waiting after it sets the event again.
    WSAResetEvent(m.event);
    *truncated = false;
    DWORD n = 0;
    int r;
    bool other_interface = false;
    if (m.recvmsg) {
      char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
      WSABUF data{static_cast<ULONG>(size), reinterpret_cast<char *>(buf)};
      WSAMSG msg{};
      msg.lpBuffers = &data;
      msg.dwBufferCount = 1;
      msg.Control.buf = control;
      msg.Control.len = sizeof control;
      r = m.recvmsg(m.s, &msg, &n, nullptr, nullptr);
      if (r == 0) {
        *truncated = (msg.dwFlags & MSG_TRUNC) != 0;
        for (WSACMSGHDR *c = WSA_CMSG_FIRSTHDR(&msg); c; c = WSA_CMSG_NXTHDR(&msg, c))
          if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            const IN_PKTINFO *info = reinterpret_cast<const IN_PKTINFO *>(WSA_CMSG_DATA(c));
            other_interface = static_cast<int>(info->ipi_ifindex) != m.index;
          }
      }
    } else {
      r = recv(m.s, reinterpret_cast<char *>(buf), static_cast<int>(size), 0);
      if (r >= 0) {
        n = static_cast<DWORD>(r);
        r = 0;
      }
    }
    if (r != 0) {
      const int e = WSAGetLastError();
      if (e == WSAEWOULDBLOCK) return 0;
      if (e == WSAEMSGSIZE) {
        *truncated = true;
        return static_cast<long>(size);
      }
      if (e == WSAECONNRESET || e == WSAEINTR) continue;  // an ICMP error of an earlier send
      *err = win::errno_of(static_cast<DWORD>(e));
      return -1;
    }
    if (other_interface) continue;
    if (*truncated) return static_cast<long>(size);
    if (n == 0) continue;
    return static_cast<long>(n);
  }
}

int DhcpSocket::send_to(uint32_t addr, const std::vector<uint8_t> &message) {
  Impl &m = *impl_;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kClientPort);
  to.sin_addr.s_addr = htonl(addr);
  auto send_once = [&]() {
    return sendto(m.s, reinterpret_cast<const char *>(message.data()), static_cast<int>(message.size()), 0,
                  reinterpret_cast<const sockaddr *>(&to), sizeof to) >= 0
               ? 0
               : WSAGetLastError();
  };
  int e = send_once();
  // Where no route takes the limited broadcast (a system without a default route), the
  // subnet's broadcast reaches the same handheld.
  if (addr == 0xFFFFFFFFu && (e == WSAENETUNREACH || e == WSAEHOSTUNREACH || e == WSAEADDRNOTAVAIL)) {
    to.sin_addr.s_addr = htonl(m.addr | ~kSubnetMask);
    e = send_once();
  }
  return win::errno_of(static_cast<DWORD>(e));
}

}  // namespace zrdhcp
