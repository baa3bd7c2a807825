// sim-probe.cpp -- the answer to the liveness probe on UDP port 10003.
#include "sim-probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim-text.h"

namespace zrsim {

std::string default_probe_answer(const std::string &device_name) { return "orv " + device_name; }

std::optional<std::string> ProbePlan::answer(uint64_t number, const std::string &device_name) const {
  if (silent || number < from) return std::nullopt;
  if (reply) return *reply;
  return default_probe_answer(device_name);
}

ProbeResponder::~ProbeResponder() {
  join();
  if (fd_ >= 0) close(fd_);
}

bool ProbeResponder::open(uint32_t addr, uint16_t port, std::string &error) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(addr);
  sa.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    error = "cannot receive probes on " + ipv4_text(addr) + " UDP port " + std::to_string(port) + ": " +
            std::strerror(errno);
    close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void ProbeResponder::start() {
  if (fd_ >= 0 && !thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void ProbeResponder::join() {
  if (thread_.joinable()) thread_.join();
}

void ProbeResponder::run() {
  while (!state_.stop.requested()) {
    pollfd p[2] = {{fd_, POLLIN, 0}, {state_.stop.fd(), POLLIN, 0}};
    int n = poll(p, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "zr-handheld-sim: poll (probe): %s\n", std::strerror(errno));
      return;
    }
    if (p[1].revents) return;
    if (p[0].revents & POLLIN) serve_one();
  }
}

void ProbeResponder::serve_one() {
  char buf[2048];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n = recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &len);
  if (n < 0) return;
  std::string datagram(buf, static_cast<size_t>(n));
  if (state_.logging) state_.log.write(0, datagram);
  if (datagram != std::string(kProbeBytes, sizeof kProbeBytes - 1)) return;
  std::optional<std::string> answer = plan_.answer(++probes_, state_.profile.text("name"));
  if (!answer) return;
  ssize_t sent = sendto(fd_, answer->data(), answer->size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&from), len);
  (void)sent;  // a lost answer is what a datagram probe allows for
}

}  // namespace zrsim
