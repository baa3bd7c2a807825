// sim-server.cpp -- the simulator's listener and the serving of one request.
#include "sim-server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "sim-commands.h"
#include "sim-link.h"
#include "sim-text.h"

namespace zrsim {

Server::~Server() {
  reap(true);
  if (listen_fd_ >= 0) close(listen_fd_);
}

bool Server::listen(uint32_t addr, uint16_t port, std::string &error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(addr);
  sa.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(fd, 64) != 0) {
    error = "cannot listen on " + ipv4_text(addr) + " port " + std::to_string(port) + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  bound_port_ = ntohs(sa.sin_port);
  listen_fd_ = fd;
  return true;
}

void Server::reap(bool all) {
  for (size_t i = 0; i < workers_.size();) {
    if (all || workers_[i].done->load()) {
      if (workers_[i].thread.joinable()) workers_[i].thread.join();
      workers_.erase(workers_.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
}

void Server::run() {
  while (!state_.stop.requested()) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {state_.stop.fd(), POLLIN, 0}};
    int n = poll(p, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "zr-handheld-sim: poll: %s\n", std::strerror(errno));
      break;
    }
    if (p[1].revents) break;
    if (!(p[0].revents & POLLIN)) continue;
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        std::fprintf(stderr, "zr-handheld-sim: accept: %s\n", std::strerror(errno));
        usleep(20000);  // let connections end rather than spin
      }
      continue;
    }
    uint64_t connection = ++connections_;
    reap(false);
    if (connection <= state_.faults.fail_first) {
      close(fd);
      continue;
    }
    if (workers_.size() >= kMaxConnections) {
      std::fprintf(stderr, "zr-handheld-sim: %zu connections open, connection %llu refused\n", workers_.size(),
                   static_cast<unsigned long long>(connection));
      close(fd);
      continue;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
      std::thread t([this, fd, connection, done] {
        serve(fd, connection);
        *done = true;
      });
      workers_.push_back(Worker{std::move(t), done});
    } catch (const std::system_error &e) {
      std::fprintf(stderr, "zr-handheld-sim: cannot start a thread for connection %llu: %s\n",
                   static_cast<unsigned long long>(connection), e.what());
      close(fd);
    }
  }
  reap(true);
}

std::optional<int64_t> Server::refusal(const std::string &word) {
  const auto &refusals = state_.faults.refusals;
  if (refusals.empty()) return std::nullopt;
  uint64_t nth;
  {
    std::lock_guard<std::mutex> lock(counts_mutex_);
    nth = ++counts_[word];
  }
  for (const auto &r : refusals)
    if (r.word == word && r.nth == nth) return r.status;
  return std::nullopt;
}

void Server::serve(int fd, uint64_t connection) {
  Link link(fd, state_);
  const FaultPlan &faults = state_.faults;
  std::string line;
  ReadResult got = link.read_line(line);
  if (got != ReadResult::Line && got != ReadResult::TooLong) {
    // The client went away, the receive wait passed or the simulator is stopping: there is
    // nobody to answer.
    if (!link.request().empty() && state_.logging) state_.log.write(connection, link.request());
    return;
  }

  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::vector<std::string> words = split_words(text);
  Exchange ex{words.empty() ? std::string() : words[0], {}, link, state_, text, connection};
  if (words.size() > 1) ex.args.assign(words.begin() + 1, words.end());

  Reply reply;
  std::optional<int64_t> refused = got == ReadResult::TooLong ? std::nullopt : refusal(ex.word);
  if (got == ReadResult::TooLong) {
    reply = status_line(kStatusLineTooLong);
  } else if (refused) {
    reply = status_line(static_cast<int>(*refused));
    log_request(ex);
    if (link.write_all(*reply, false)) link.finish();
    return;
  } else if (Handler handler = find_handler(ex.word)) {
    reply = handler(ex);
  } else {
    reply = status_line(kStatusUnknownCommand);
  }
  // Logged before anything is sent, so that a client that has its reply also finds its
  // request in the log.
  log_request(ex);
  if (!reply) return;

  if (!faults.applies_to(ex.word)) {
    if (link.write_all(*reply, false)) link.finish();
    return;
  }
  if (faults.silent) {
    link.wait_for_client_close();
    return;
  }
  if (faults.delay_ms && !link.pause(faults.delay_ms)) return;
  if (!link.write_all(faults.shape(*reply), faults.split)) return;
  if (faults.hold)
    link.wait_for_client_close();
  else if (faults.reset)
    link.reset();
  else
    link.finish();
}

}  // namespace zrsim
