// fault_proxy.cpp -- the fault-injecting stand-in between a client of the link and the
// handheld simulator (see fault_proxy.h).
//
// Each connection is served by a thread of its own with non-blocking sockets and one poll
// loop: bytes from the client go to the simulator unchanged, bytes from the simulator go
// through the planned fault on their way back.  Every wait of the loop also watches the
// stop pipe, and every wait that the client does not end by itself has a limit.
#include "fault_proxy.h"

#include "sim_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace zrtest {

namespace {

using Clock = std::chrono::steady_clock;

const uint16_t kPort = 10001;
// How long a client may take to send its command line.
const std::chrono::milliseconds kRequestWait(5000);
// After the simulator has closed, or a fault has closed the proxy's side: how long the client
// may take to close its own (it has time-outs of 10 s of its own).
const std::chrono::milliseconds kClientWait(20000);
// After the client has gone, or a fault has struck: how long the simulator may take to end
// its reply.
const std::chrono::milliseconds kSimulatorWait(5000);
// Bytes held in one direction before the proxy stops reading the side that sends them.
const size_t kBacklog = 65536;

sockaddr_in make_addr(uint32_t addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(addr);
  sa.sin_port = htons(port);
  return sa;
}

void set_non_blocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Whether `line` (with its line feed) is the request `wanted` or begins with it and a space.
bool matches(const std::string &wanted, std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (wanted.empty() || line == wanted) return true;
  return line.size() > wanted.size() && line.compare(0, wanted.size(), wanted) == 0 && line[wanted.size()] == ' ';
}

std::string ordinal(unsigned n) {
  const char *suffix = (n % 100 >= 11 && n % 100 <= 13) ? "th"
                       : n % 10 == 1                    ? "st"
                       : n % 10 == 2                    ? "nd"
                       : n % 10 == 3                    ? "rd"
                                                        : "th";
  return std::to_string(n) + suffix;
}

// The first line of a reply (status and size of an fget) with its second number replaced.
std::string with_size(const std::string &line, uint64_t size) {
  size_t first = line.find_first_not_of(' ');
  size_t gap = first == std::string::npos ? std::string::npos : line.find(' ', first);
  if (gap == std::string::npos) return line;
  size_t start = line.find_first_not_of(' ', gap);
  if (start == std::string::npos) return line;
  size_t stop = start;
  while (stop < line.size() && line[stop] >= '0' && line[stop] <= '9') ++stop;
  return line.substr(0, start) + std::to_string(size) + line.substr(stop);
}

}  // namespace

Fault Fault::cut(const std::string &request, unsigned nth, uint64_t at) {
  Fault f;
  f.kind = Kind::kCut;
  f.request = request;
  f.nth = nth;
  f.at = at;
  return f;
}

Fault Fault::stall(const std::string &request, unsigned nth, uint64_t at, int hold_ms) {
  Fault f = cut(request, nth, at);
  f.kind = Kind::kStall;
  f.hold_ms = hold_ms;
  return f;
}

Fault Fault::reset(const std::string &request, unsigned nth, uint64_t at) {
  Fault f = cut(request, nth, at);
  f.kind = Kind::kReset;
  return f;
}

Fault Fault::replace(const std::string &request, unsigned nth, const std::string &bytes) {
  Fault f = cut(request, nth, 0);
  f.kind = Kind::kReplace;
  f.bytes = bytes;
  return f;
}

Fault Fault::range(const std::string &request, unsigned nth, uint64_t at, uint64_t end, const std::string &bytes) {
  Fault f = cut(request, nth, at);
  f.kind = Kind::kRange;
  f.end = end;
  f.bytes = bytes;
  return f;
}

Fault Fault::lying_size(const std::string &request, unsigned nth, uint64_t size) {
  Fault f = cut(request, nth, 0);
  f.kind = Kind::kSize;
  f.size = size;
  return f;
}

std::string Fault::text() const {
  std::string what;
  switch (kind) {
    case Kind::kNone: return "no fault";
    case Kind::kCut: what = "cut after " + std::to_string(at) + " bytes"; break;
    case Kind::kStall:
      what = "stall after " + std::to_string(at) + " bytes" +
             (hold_ms < 0 ? std::string() : " (closed after " + std::to_string(hold_ms) + " ms)");
      break;
    case Kind::kReset: what = "reset after " + std::to_string(at) + " bytes"; break;
    case Kind::kReplace: what = "reply replaced by \"" + shown_bytes(bytes) + "\""; break;
    case Kind::kRange:
      what =
          "bytes " + std::to_string(at) + " to " + std::to_string(end) + " replaced by \"" + shown_bytes(bytes) + "\"";
      break;
    case Kind::kSize: what = "size announced as " + std::to_string(size); break;
  }
  return what + " of the " + ordinal(nth) + " request" + (request.empty() ? "" : " matching '" + request + "'");
}

FaultProxy::FaultProxy(uint32_t target) : target_(target) {
  if (pipe2(stop_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return;
  }
  for (int attempt = 0; attempt < 20 && listener_ < 0; ++attempt) {
    uint32_t addr = fresh_loopback();
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
      error_ = std::string("socket: ") + std::strerror(errno);
      return;
    }
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa = make_addr(addr, kPort);
    if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(s, 64) != 0) {
      error_ = "cannot listen on " + zrtest::addr_text(addr) + " port 10001: " + std::strerror(errno);
      close(s);
      if (errno == EADDRINUSE) continue;
      return;
    }
    listener_ = s;
    addr_ = addr;
  }
  if (listener_ < 0) return;
  error_.clear();
  ok_ = true;
  server_ = std::thread([this] { serve(); });
}

FaultProxy::~FaultProxy() {
  stop();
  for (int &fd : stop_pipe_)
    if (fd >= 0) close(fd);
}

std::string FaultProxy::addr_text() const { return zrtest::addr_text(addr_); }

void FaultProxy::plan(const Fault &fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  plan_ = fault;
  matches_ = 0;
  played_ = false;
  played_on_.clear();
}

void FaultProxy::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  log_base_ += log_.size();
  log_.clear();
}

bool FaultProxy::played() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return played_;
}

std::string FaultProxy::played_on() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return played_on_;
}

std::vector<Exchange> FaultProxy::log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

std::vector<std::string> FaultProxy::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  for (const auto &e : log_) lines.push_back(e.request);
  return lines;
}

bool FaultProxy::wait_idle(int wait_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(wait_ms), [this] { return open_ == 0; });
}

void FaultProxy::stop() {
  if (!server_.joinable()) return;
  char one = 1;
  if (write(stop_pipe_[1], &one, 1) < 0) {
    // The pipe holds a byte already: stopping has begun.
  }
  server_.join();
  // The listening thread starts no connection any more; the list is this thread's now.
  for (auto &c : connections_)
    if (c.thread.joinable()) c.thread.join();
  connections_.clear();
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
}

void FaultProxy::serve() {
  for (;;) {
    pollfd p[2] = {{listener_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents != 0) return;
    if (!(p[0].revents & POLLIN)) continue;
    int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    // Threads of connections that have ended are joined here, as new ones come.
    for (auto it = connections_.begin(); it != connections_.end();) {
      if (it->done) {
        it->thread.join();
        it = connections_.erase(it);
      } else {
        ++it;
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++open_;
    }
    connections_.emplace_back();
    Connection *c = &connections_.back();
    c->thread = std::thread([this, client, c] {
      relay(client);
      c->done = true;
    });
  }
}

size_t FaultProxy::begin(const std::string &line, Fault *fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t index = log_base_ + log_.size();
  log_.emplace_back();
  log_.back().request = line;
  if (plan_.kind != Fault::Kind::kNone && !played_ && matches(plan_.request, line) && ++matches_ == plan_.nth) {
    *fault = plan_;
    played_ = true;
    played_on_ = line;
    log_.back().faulted = true;
  }
  return index;
}

void FaultProxy::record(size_t index, const char *data, size_t n) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < log_base_) return;
  Exchange &e = log_[index - log_base_];
  if (e.reply.size() < kKeptReply) e.reply.append(data, std::min(n, kKeptReply - e.reply.size()));
  e.reply_size += n;
}

void FaultProxy::finish(size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index >= log_base_ && index - log_base_ < log_.size()) log_[index - log_base_].finished = true;
  --open_;
  changed_.notify_all();
}

void FaultProxy::relay(int client) {
  set_non_blocking(client);
  auto stopping = [this] {
    pollfd p{stop_pipe_[0], POLLIN, 0};
    return poll(&p, 1, 0) > 0;
  };

  // The command line, and whatever came with it.
  std::string from_client;
  auto request_end = Clock::now() + kRequestWait;
  bool have_line = false;
  while (!have_line) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(request_end - Clock::now()).count();
    if (left <= 0) break;
    pollfd p[2] = {{client, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(p, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
    if (p[1].revents != 0) break;
    if (p[0].revents == 0) continue;
    char buf[4096];
    ssize_t n = recv(client, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    from_client.append(buf, static_cast<size_t>(n));
    have_line = from_client.find('\n') != std::string::npos;
  }
  size_t line_end = from_client.find('\n');
  Fault fault;
  size_t index = begin(line_end == std::string::npos ? from_client : from_client.substr(0, line_end + 1), &fault);

  int up = -1;
  if (have_line && !stopping()) {
    up = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = make_addr(target_, kPort);
    if (up >= 0 && connect(up, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
      close(up);
      up = -1;
    }
  }
  if (up < 0) {
    // No request, or no simulator to take it: the client sees a reset.
    linger off{1, 0};
    setsockopt(client, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    close(client);
    finish(index);
    return;
  }
  set_non_blocking(up);

  using Kind = Fault::Kind;
  enum class Phase { kRelay, kPending, kStalled, kAfter };
  Phase phase = Phase::kRelay;
  const bool at_byte = fault.kind == Kind::kCut || fault.kind == Kind::kStall || fault.kind == Kind::kReset;
  if (at_byte && fault.at == 0) phase = Phase::kPending;

  std::string to_up = from_client, to_client;
  bool c_rd = true, c_wr = true, u_rd = true, u_wr = true;  // each direction of each socket still open
  Clock::time_point c_end = Clock::time_point::max(), u_end = Clock::time_point::max(),
                    stall_end = Clock::time_point::max();
  uint64_t offset = 0;           // reply bytes taken from the simulator
  bool emitted = false;          // kReplace, kRange: the replacement has gone to the client
  std::string first_line;        // kSize: the first line, until it is whole
  bool first_line_done = false;  // kSize

  // The reply from the simulator, through the fault, into to_client.
  auto take_reply = [&](const char *data, size_t n) {
    record(index, data, n);
    if (phase == Phase::kAfter || phase == Phase::kPending) {
      offset += n;
      return;
    }
    switch (fault.kind) {
      case Kind::kNone: to_client.append(data, n); break;
      case Kind::kCut:
      case Kind::kStall:
      case Kind::kReset: {
        uint64_t keep = std::min<uint64_t>(n, fault.at - offset);
        to_client.append(data, static_cast<size_t>(keep));
        if (offset + n >= fault.at) phase = Phase::kPending;
        break;
      }
      case Kind::kReplace:
        if (!emitted) to_client += fault.bytes;
        emitted = true;
        break;
      case Kind::kRange:
        for (size_t i = 0; i < n; ++i) {
          uint64_t at = offset + i;
          if (at == fault.at) {
            to_client += fault.bytes;
            emitted = true;
          }
          if (at < fault.at || at >= fault.end) to_client += data[i];
        }
        break;
      case Kind::kSize:
        if (first_line_done) {
          to_client.append(data, n);
          break;
        }
        for (size_t i = 0; i < n; ++i) {
          if (first_line_done) {
            to_client += data[i];
            continue;
          }
          first_line += data[i];
          if (data[i] == '\n' || first_line.size() >= 200) {
            to_client += with_size(first_line, fault.size);
            first_line_done = true;
          }
        }
        break;
    }
    offset += n;
  };
  // The reply has ended: what a rewrite still owes the client.
  auto reply_ended = [&] {
    if ((fault.kind == Kind::kReplace || fault.kind == Kind::kRange) && !emitted) to_client += fault.bytes;
    if (fault.kind == Kind::kSize && !first_line_done) to_client += first_line;
    emitted = first_line_done = true;
  };
  auto close_client_sending = [&] {
    if (c_wr) shutdown(client, SHUT_WR);
    c_wr = false;
    to_client.clear();
    if (c_rd) c_end = std::min(c_end, Clock::now() + kClientWait);
  };
  // The simulator's connection once the fault has struck: shut for sending, its reply drained.
  // (What the client sent before the fault still goes on: the request line at least.)
  auto end_simulator = [&] {
    if (u_rd) u_end = std::min(u_end, Clock::now() + kSimulatorWait);
    phase = Phase::kAfter;
  };

  char buf[16384];
  while (c_rd || u_rd) {
    // The fault strikes once the bytes before it have been handed to the client.
    if (phase == Phase::kPending && (to_client.empty() || !c_wr)) {
      if (fault.kind == Kind::kCut) {
        close_client_sending();
        end_simulator();
      } else if (fault.kind == Kind::kReset) {
        // What was sent must have left before the reset, which would throw it away.
        for (int i = 0; i < 1000; ++i) {
          int queued = 0;
          if (ioctl(client, SIOCOUTQ, &queued) != 0 || queued == 0) break;
          usleep(1000);
        }
        linger off{1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, &off, sizeof off);
        close(client);
        client = -1;
        c_rd = c_wr = false;
        to_client.clear();
        end_simulator();
      } else {
        phase = Phase::kStalled;
        to_client.clear();
        if (fault.hold_ms >= 0) stall_end = Clock::now() + std::chrono::milliseconds(fault.hold_ms);
      }
      continue;
    }
    if (phase == Phase::kStalled && (!c_rd || Clock::now() >= stall_end)) {
      close_client_sending();
      end_simulator();
      continue;
    }
    // The simulator has ended its reply and all of it has gone: the client's turn to close.
    if (phase == Phase::kRelay && !u_rd && to_client.empty() && c_wr) close_client_sending();
    // The client has gone, or the fault has struck, and all it sent before has gone on: the
    // simulator's turn to end.
    if ((!c_rd || phase == Phase::kAfter) && to_up.empty() && u_wr) {
      shutdown(up, SHUT_WR);
      u_wr = false;
      if (u_rd) u_end = std::min(u_end, Clock::now() + kSimulatorWait);
    }
    auto now = Clock::now();
    if (c_rd && now >= c_end) c_rd = c_wr = false;
    if (u_rd && now >= u_end) u_rd = u_wr = false;
    if (!c_rd && !u_rd) break;

    short c_events = 0, u_events = 0;
    if (c_rd && (phase != Phase::kRelay || to_up.size() < kBacklog)) c_events |= POLLIN;
    if (c_wr && !to_client.empty()) c_events |= POLLOUT;
    if (u_rd && (phase == Phase::kAfter || (phase == Phase::kRelay && to_client.size() < kBacklog))) u_events |= POLLIN;
    if (u_wr && !to_up.empty()) u_events |= POLLOUT;
    Clock::time_point next = std::min({c_rd ? c_end : Clock::time_point::max(), u_rd ? u_end : Clock::time_point::max(),
                                       phase == Phase::kStalled ? stall_end : Clock::time_point::max()});
    int wait = -1;
    if (next != Clock::time_point::max())
      wait = static_cast<int>(
          std::max<long long>(1, std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1));
    pollfd p[3] = {
        {stop_pipe_[0], POLLIN, 0}, {c_events ? client : -1, c_events, 0}, {u_events ? up : -1, u_events, 0}};
    if (poll(p, 3, wait) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[0].revents != 0) break;  // stop()

    if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = recv(client, buf, sizeof buf, 0);
      if (n > 0) {
        if (phase == Phase::kRelay) to_up.append(buf, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        c_rd = false;
        if (n < 0) c_wr = false;
      }
    }
    if ((p[1].revents & POLLOUT) && c_wr && !to_client.empty()) {
      ssize_t n = send(client, to_client.data(), to_client.size(), MSG_NOSIGNAL);
      if (n > 0) {
        to_client.erase(0, static_cast<size_t>(n));
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        c_wr = false;
        to_client.clear();
      }
    }
    if (p[2].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = recv(up, buf, sizeof buf, 0);
      if (n > 0) {
        take_reply(buf, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        u_rd = u_wr = false;
        if (phase == Phase::kRelay) reply_ended();
      }
    }
    if ((p[2].revents & POLLOUT) && u_wr && !to_up.empty()) {
      ssize_t n = send(up, to_up.data(), to_up.size(), MSG_NOSIGNAL);
      if (n > 0) {
        to_up.erase(0, static_cast<size_t>(n));
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        u_wr = false;
        to_up.clear();
      }
    }
  }
  if (client >= 0) close(client);
  close(up);
  finish(index);
}

std::string shown_bytes(const std::string &bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c == '\n') {
      out += "\\n";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace zrtest
