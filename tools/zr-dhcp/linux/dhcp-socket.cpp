// dhcp-socket.cpp -- UDP port 67 on one network interface.
//
// Each handheld adapter has its own socket bound to the interface (SO_BINDTOIFINDEX), so a
// request is answered on the interface it came from and nothing else reaches the service;
// several such sockets share the port (SO_REUSEADDR), and a broadcast reply leaves through
// the bound interface.
#include "dhcp-os.h"
#include "dhcp-packet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace zrdhcp {

struct DhcpSocket::Impl {
  int fd = -1;
};

DhcpSocket::~DhcpSocket() {
  if (impl_ && impl_->fd >= 0) close(impl_->fd);
  delete impl_;
}

OsHandle DhcpSocket::handle() const { return impl_ ? impl_->fd : kNoHandle; }

int DhcpSocket::open(int index, uint32_t) {
  if (!impl_) impl_ = new Impl;
  int &fd_ = impl_->fd;
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return errno;
  int one = 1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(kServerPort);
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  if (setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0 ||
      setsockopt(fd_, SOL_SOCKET, SO_BINDTOIFINDEX, &index, sizeof index) != 0 ||
      bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    int e = errno;
    close(fd_);
    fd_ = -1;
    return e;
  }
  return 0;
}

long DhcpSocket::receive(uint8_t *buf, size_t size, bool *truncated, int *err) {
  const int fd_ = impl_->fd;
  for (;;) {
    ssize_t n = recv(fd_, buf, size, MSG_TRUNC);
    if (n >= 0) {
      *truncated = static_cast<size_t>(n) > size;
      return *truncated ? static_cast<long>(size) : static_cast<long>(n);
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    *err = errno;
    return -1;
  }
}

int DhcpSocket::send_to(uint32_t addr, const std::vector<uint8_t> &message) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kClientPort);
  to.sin_addr.s_addr = htonl(addr);
  const int fd_ = impl_->fd;
  for (;;) {
    ssize_t n = sendto(fd_, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    if (n >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace zrdhcp
