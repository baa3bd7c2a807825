// plain_socket.cpp -- plain TCP sockets for tests (POSIX and Winsock).
#include "plain_socket.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>

namespace zrtest {

namespace {

sockaddr_in make_addr(uint32_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(addr);
  sa.sin_port = htons(port);
  return sa;
}

#if defined(_WIN32)
using socklen_t = int;
SOCKET sock_of(int s) { return static_cast<SOCKET>(static_cast<unsigned>(s)); }
#else
int sock_of(int s) { return s; }
#endif

#if defined(_WIN32)

// Winsock stays started for the test process.
void start_winsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

// Waits at most ms for the socket to be readable: 1, 0 on time-out, -1 on failure.
int wait_readable(int s, int ms) {
  fd_set r;
  FD_ZERO(&r);
  FD_SET(sock_of(s), &r);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  int n = select(0, &r, nullptr, nullptr, &tv);
  return n < 0 ? -1 : n;
}
#else
int wait_readable(int s, int ms) {
  pollfd p{s, POLLIN, 0};
  int n;
  do {
    n = poll(&p, 1, ms);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : (n > 0 ? 1 : 0);
}
#endif

}  // namespace

#if defined(_WIN32)

int plain_tcp_socket() {
  start_winsock();
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

int plain_close(int s) {
  if (closesocket(sock_of(s)) == 0) return 0;
  int e = WSAGetLastError();
  errno = (e == WSAENOTSOCK || e == WSAEBADF) ? EBADF : EIO;
  return -1;
}

long plain_recv(int s, void *buffer, size_t size) {
  // The library's sockets do not block: wait for each receive.
  for (;;) {
    int n = recv(sock_of(s), static_cast<char *>(buffer), static_cast<int>(size), 0);
    if (n >= 0) return n;
    if (WSAGetLastError() != WSAEWOULDBLOCK || wait_readable(s, 60000) <= 0) return -1;
  }
}

int no_delay_of(int s) {
  DWORD value = 0;
  int len = sizeof value;
  if (getsockopt(sock_of(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char *>(&value), &len) != 0) return -1;
  return value != 0 ? 1 : 0;
}

#else

int plain_tcp_socket() { return socket(AF_INET, SOCK_STREAM, 0); }

int plain_close(int s) { return close(s); }

long plain_recv(int s, void *buffer, size_t size) { return static_cast<long>(recv(s, buffer, size, 0)); }

int no_delay_of(int s) {
  int value = -1;
  socklen_t len = sizeof value;
  if (getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &value, &len) != 0) return -1;
  return value;
}

#endif

int plain_bind(int s, uint32_t addr, uint16_t port) {
  sockaddr_in sa = make_addr(addr, port);
  return bind(sock_of(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? 0 : -1;
}

uint16_t local_port_of(int s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(sock_of(s), reinterpret_cast<sockaddr *>(&sa), &len) != 0) return 0;
  return ntohs(sa.sin_port);
}

std::string raw_reply(uint32_t addr, uint16_t port, const std::string &command, int wait_ms) {
  int s = plain_tcp_socket();
  std::string out;
  if (s < 0) return out;
  sockaddr_in sa = make_addr(addr, port);
  auto fd = sock_of(s);
#if defined(_WIN32)
  const int flags = 0;
#else
  const int flags = MSG_NOSIGNAL;
#endif
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
      send(fd, command.data(), static_cast<int>(command.size()), flags) == static_cast<long>(command.size())) {
    char buf[4096];
    while (wait_readable(s, wait_ms) > 0) {
      long n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
  }
  plain_close(s);
  return out;
}

}  // namespace zrtest
