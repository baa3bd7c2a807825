// sim-ready.h -- waiting for a started simulator's ready line (POSIX).
//
// Header only: the simulator prints "ready <address> <port>" on its standard output once it
// listens.  A program that starts it (the test harness, zr-sim-broker) reads that line from a
// pipe with read_ready_line() and takes it apart with parse_ready_line().
#ifndef ZR_SIM_READY_H
#define ZR_SIM_READY_H

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

namespace zrsim {

// Reads from `fd` until a whole line has come, the writer has closed its end, or `timeout_ms`
// have passed.  Gives the first line (without its line feed; what came when no whole line did)
// and sets *ended when the writer closed its end first.
inline std::string read_ready_line(int fd, int timeout_ms, bool *ended) {
  std::string got;
  *ended = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (got.find('\n') == std::string::npos) {
    const long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    const int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    char buf[256];
    const ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      *ended = true;
      break;
    }
    got.append(buf, static_cast<size_t>(r));
  }
  return got.substr(0, got.find('\n'));
}

// True when `line` is "ready <addr> <port>" for the address `expected`; gives the port.
inline bool parse_ready_line(const std::string &line, const std::string &expected, unsigned *port) {
  char addr[64] = {0};
  unsigned p = 0;
  if (std::sscanf(line.c_str(), "ready %63s %u", addr, &p) != 2 || expected != addr) return false;
  *port = p;
  return true;
}

}  // namespace zrsim

#endif
