// sim-link.cpp -- one accepted connection of the handheld simulator.
#include "sim-link.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

namespace zrsim {

namespace {

int wait_ms(uint32_t ms) { return ms == 0 || ms > INT_MAX ? -1 : static_cast<int>(ms); }

}  // namespace

Link::Link(int fd, SimState &state) : fd_(fd), state_(state) {}

Link::~Link() {
  if (fd_ >= 0) close(fd_);
}

Link::Wait Link::wait_for(short events, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  while (true) {
    int left = -1;
    if (timeout_ms >= 0) {
      auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      left = rest.count() < 0 ? 0 : static_cast<int>(rest.count());
    }
    pollfd p[2] = {{fd_, events, 0}, {state_.stop.fd(), POLLIN, 0}};
    int n = poll(p, 2, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Wait::Failed;
    }
    if (p[1].revents) return Wait::Stopped;
    if (n == 0) return Wait::TimedOut;
    if (p[0].revents) return Wait::Ready;  // errors and hang-ups show in the next call
  }
}

long Link::receive(char *buf, size_t len) {
  while (true) {
    ssize_t n = recv(fd_, buf, len, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      state_.traffic.bytes_received += static_cast<uint32_t>(n);
      state_.traffic.receives += 1;
    }
    return n < 0 ? -1 : static_cast<long>(n);
  }
}

ReadResult Link::read_line(std::string &line) {
  line.clear();
  while (true) {
    size_t lf = pending_.find('\n');
    if (lf != std::string::npos && lf <= kMaxLineBytes) {
      line = pending_.substr(0, lf + 1);
      pending_.erase(0, lf + 1);
      request_ += line;
      return ReadResult::Line;
    }
    if (pending_.size() > kMaxLineBytes) {
      // Take exactly the bytes looked at; whatever follows is dropped by finish().
      line = pending_.substr(0, kMaxLineBytes + 1);
      pending_.erase(0, kMaxLineBytes + 1);
      request_ += line;
      return ReadResult::TooLong;
    }
    switch (wait_for(POLLIN, wait_ms(state_.rtime.load()))) {
      case Wait::Ready: break;
      case Wait::TimedOut:
        request_ += pending_;
        pending_.clear();
        return ReadResult::TimedOut;
      case Wait::Stopped:
        request_ += pending_;
        pending_.clear();
        return ReadResult::Stopped;
      case Wait::Failed:
        request_ += pending_;
        pending_.clear();
        return ReadResult::Failed;
    }
    char buf[2048];
    size_t room = kMaxLineBytes + 1 - pending_.size();  // never buffer more than one line's worth
    long n = receive(buf, room < sizeof buf ? room : sizeof buf);
    if (n <= 0) {
      request_ += pending_;
      pending_.clear();
      return n == 0 ? ReadResult::Closed : ReadResult::Failed;
    }
    pending_.append(buf, static_cast<size_t>(n));
  }
}

size_t Link::read_data(char *buf, size_t len, ReadResult &why) {
  if (len == 0) return 0;
  if (!pending_.empty()) {
    size_t n = pending_.size() < len ? pending_.size() : len;
    pending_.copy(buf, n);
    pending_.erase(0, n);
    return n;
  }
  switch (wait_for(POLLIN, wait_ms(state_.rtime.load()))) {
    case Wait::Ready: break;
    case Wait::TimedOut: why = ReadResult::TimedOut; return 0;
    case Wait::Stopped: why = ReadResult::Stopped; return 0;
    case Wait::Failed: why = ReadResult::Failed; return 0;
  }
  long n = receive(buf, len);
  if (n <= 0) {
    why = n == 0 ? ReadResult::Closed : ReadResult::Failed;
    return 0;
  }
  return static_cast<size_t>(n);
}

bool Link::write_all(const char *bytes, size_t size, bool split) {
  if (split) {
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  size_t done = 0;
  while (done < size) {
    switch (wait_for(POLLOUT, wait_ms(state_.xtime.load()))) {
      case Wait::Ready: break;
      default: return false;
    }
    size_t chunk = split ? 1 : size - done;
    ssize_t n = send(fd_, bytes + done, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return false;
    }
    state_.traffic.bytes_sent += static_cast<uint32_t>(n);
    state_.traffic.sends += 1;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool Link::pause(uint32_t ms) {
  pollfd p{state_.stop.fd(), POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (true) {
    auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (rest.count() <= 0) return true;
    int n = poll(&p, 1, static_cast<int>(rest.count()));
    if (n > 0) return false;
    if (n < 0 && errno != EINTR) return true;
  }
}

void Link::finish() {
  shutdown(fd_, SHUT_WR);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  char buf[2048];
  while (true) {
    auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (rest.count() <= 0) break;
    if (wait_for(POLLIN, static_cast<int>(rest.count())) != Wait::Ready) break;
    if (receive(buf, sizeof buf) <= 0) break;
  }
}

void Link::reset() {
  if (fd_ < 0) return;
  linger abort{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  close(fd_);
  fd_ = -1;
}

void Link::wait_for_client_close() {
  char buf[2048];
  while (wait_for(POLLIN, -1) == Wait::Ready)
    if (receive(buf, sizeof buf) <= 0) break;
}

void Link::hang() {
  while (true) {
    pollfd p[2] = {{fd_, POLLRDHUP, 0}, {state_.stop.fd(), POLLIN, 0}};
    int n = poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || p[1].revents || (p[0].revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL))) return;
  }
}

}  // namespace zrsim
