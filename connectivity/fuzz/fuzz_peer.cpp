// fuzz_peer.cpp -- the scripted loopback handheld of the reply fuzz targets.
#include "fuzz_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "fuzz_support.h"
#include "zr-internal.h"

namespace zrfuzz {

namespace {

const uint16_t kPort = 10001;
const size_t kRequestKept = 65536;

// A loopback address outside 127.0.0.0/16, from the process number, the time and a try
// counter, so that parallel runs and the test suite do not meet.
uint32_t pick_loopback(unsigned attempt) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  uint64_t h = (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(ts.tv_nsec) ^
               (static_cast<uint64_t>(attempt) * 0x9E3779B97F4A7C15ull);
  h ^= h >> 31;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 29;
  uint32_t b1 = 1 + static_cast<uint32_t>(h % 254);
  uint32_t b2 = static_cast<uint32_t>((h >> 8) % 256);
  uint32_t b3 = 1 + static_cast<uint32_t>((h >> 16) % 254);
  return (127u << 24) | (b1 << 16) | (b2 << 8) | b3;
}

// Waits for fd to become ready for `events`, or for the wake pipe.  1 ready, 0 woken or
// failed.
int ready_or_woken(int fd, short events, int wake_fd) {
  for (;;) {
    pollfd p[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
    int n = poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 0;
    if (p[0].revents) return 1;
    return 0;
  }
}

void serve_one(int listener, int wake_fd, const std::string &reply, size_t piece, Served &out) {
  if (!ready_or_woken(listener, POLLIN, wake_fd)) return;
  int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (c < 0) return;
  out.connected = true;
  int one = 1;
  setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  size_t done = 0;
  while (done < reply.size()) {
    size_t chunk = piece == 0 ? reply.size() - done : piece;
    if (chunk > reply.size() - done) chunk = reply.size() - done;
    ssize_t n = send(c, reply.data() + done, chunk, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!ready_or_woken(c, POLLOUT, wake_fd)) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  shutdown(c, SHUT_WR);
  char buf[4096];
  for (;;) {
    ssize_t n = recv(c, buf, sizeof buf, 0);
    if (n > 0) {
      if (out.request.size() < kRequestKept) out.request.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (ready_or_woken(c, POLLIN, wake_fd)) continue;
    }
    break;
  }
  close(c);
}

}  // namespace

int lowest_free_fd() {
  int fd = dup(0);
  if (fd < 0) fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) close(fd);
  return fd;
}

Peer &Peer::get() {
  static Peer *peer = new Peer();
  return *peer;
}

Peer::Peer() {
  for (unsigned attempt = 0; attempt < 64 && listener_ < 0; ++attempt) {
    uint32_t addr = pick_loopback(attempt);
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) break;
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(kPort);
    if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 && listen(s, 8) == 0) {
      listener_ = s;
      addr_ = addr;
    } else {
      close(s);
    }
  }
  if (listener_ < 0 || pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::fprintf(stderr, "fuzz peer: no loopback listener (%s)\n", std::strerror(errno));
    std::abort();
  }
  if (KQ_ZR_1b_init() != 0) {
    std::fprintf(stderr, "fuzz peer: the link library does not start\n");
    std::abort();
  }
  zri_set_bind_pause(0);
  zr_tune t{1000, 1000};
  KQ_ZR_sl_tune(2, &t);
}

Served Peer::serve(const std::string &reply, size_t piece, const std::function<void()> &call) {
  if (lowest_free_fd_ < 0) lowest_free_fd_ = lowest_free_fd();
  Served out;
  std::thread server(serve_one, listener_, wake_[0], std::cref(reply), piece, std::ref(out));
  call();
  char b = 1;
  while (write(wake_[1], &b, 1) < 0 && errno == EINTR) {
  }
  server.join();
  while (read(wake_[0], &b, 1) > 0) {
  }
  // A connection the library never closed would show as a descriptor still taken.
  FUZZ_CHECK(lowest_free_fd() == lowest_free_fd_);
  return out;
}

}  // namespace zrfuzz
