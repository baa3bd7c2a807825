// sim-state.cpp -- stop signal and request log.
#include "sim-state.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim-escape.h"

namespace zrsim {

StopSignal::StopSignal() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    read_fd_ = fds[0];
    write_fd_ = fds[1];
  }
}

StopSignal::~StopSignal() {
  if (read_fd_ >= 0) close(read_fd_);
  if (write_fd_ >= 0) close(write_fd_);
}

void StopSignal::request() {
  int saved = errno;
  if (write_fd_ >= 0) {
    ssize_t r = ::write(write_fd_, "s", 1);  // the pipe is never drained: one byte keeps it readable
    (void)r;
  }
  errno = saved;
}

bool StopSignal::requested() const {
  pollfd p{read_fd_, POLLIN, 0};
  return poll(&p, 1, 0) > 0;
}

RequestLog::~RequestLog() {
  if (fd_ >= 0) close(fd_);
}

bool RequestLog::open(const std::string &path, std::string &error) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    error = "cannot open log '" + path + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

void RequestLog::write(uint64_t connection, const std::string &request) {
  if (fd_ < 0) return;
  std::string line = std::to_string(connection) + " " + escape_bytes(request) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a full disk loses log lines, never the simulator
    done += static_cast<size_t>(n);
  }
}

}  // namespace zrsim
