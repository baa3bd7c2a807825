// sim_client.cpp -- plain-socket client and process helpers for the simulator's own tests.
#include "sim_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace simtest {

int connect_to(uint32_t addr, uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(addr);
  sa.sin_port = htons(port);
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

RawReply read_reply(int fd, int timeout_ms) {
  RawReply r;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return r;
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return r;
    char buf[65536];
    ssize_t got = recv(fd, buf, sizeof buf, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      r.closed = true;
      r.reset = got < 0;
      return r;
    }
    r.bytes.append(buf, static_cast<size_t>(got));
  }
}

RawReply exchange(uint32_t addr, uint16_t port, const std::string &request, int timeout_ms) {
  int fd = connect_to(addr, port);
  if (fd < 0) return RawReply{};
  size_t done = 0;
  while (done < request.size()) {
    ssize_t n = send(fd, request.data() + done, request.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  RawReply r = read_reply(fd, timeout_ms);
  close(fd);
  return r;
}

FieldReply parse_fields(const std::string &bytes) {
  FieldReply f;
  size_t pos = bytes.find('\n');
  f.status_line = bytes.substr(0, pos);
  while (pos != std::string::npos && pos + 1 < bytes.size()) {
    size_t end = bytes.find('\n', pos + 1);
    std::string line = bytes.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1);
    size_t eq = line.find('=');
    std::string key = line.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    f.fields.emplace_back(key, value);
    f.by_key[key] = value;
    pos = end;
  }
  return f;
}

namespace {

void drain(int fd, std::string &into) {
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) into.append(buf, static_cast<size_t>(n));
}

}  // namespace

RunResult run_program(const std::vector<std::string> &args, int timeout_ms) {
  RunResult result;
  std::vector<std::string> copy = args;
  std::vector<char *> argv;
  for (std::string &s : copy) argv.push_back(&s[0]);
  argv.push_back(nullptr);
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    close(out[0]);
    close(err[0]);
    return result;
  }
  fcntl(out[0], F_SETFL, O_NONBLOCK);
  fcntl(err[0], F_SETFL, O_NONBLOCK);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int status = 0;
  bool ended = false;
  while (!ended) {
    drain(out[0], result.out);
    drain(err[0], result.err);
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      ended = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    poll(p, 2, 10);
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  } else {
    drain(out[0], result.out);
    drain(err[0], result.err);
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  }
  close(out[0]);
  close(err[0]);
  return result;
}

}  // namespace simtest
