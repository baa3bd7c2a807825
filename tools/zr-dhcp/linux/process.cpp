// process.cpp -- the program's id, its stop signals and its log stream (Linux).
#include "dhcp-os.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zrdhcp {

std::string error_text(int err) { return std::strerror(err); }

long process_id() { return static_cast<long>(getpid()); }

bool write_log_now(const std::string &line) {
  // The journal's stream is a socket, which can be asked not to wait; a pipe or a terminal
  // takes a line of at most PIPE_BUF bytes without waiting once poll says it is writable.
  ssize_t n = send(2, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n < 0 && errno == ENOTSOCK) {
    pollfd p{2, POLLOUT, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) return false;
    n = write(2, line.data(), std::min(line.size(), size_t(PIPE_BUF)));
  }
  return n > 0;
}

// SIGTERM, SIGINT and SIGHUP (its terminal gone) arrive through a descriptor the service
// waits on, and end it as cleanly.  A log reader that went away costs the log, not the
// service: SIGPIPE is ignored.
int open_stop_request(OsHandle *handle) {
  signal(SIGPIPE, SIG_IGN);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  int fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
  if (fd < 0) return errno;
  *handle = fd;
  return 0;
}

}  // namespace zrdhcp
