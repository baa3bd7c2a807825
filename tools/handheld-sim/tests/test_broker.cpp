// zr-sim-broker seen from a client: simulators started on request, their request logs and
// exit codes, failures answered rather than waited on, and no simulator outliving its
// control connection or the broker.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "sim-escape.h"
#include "sim_client.h"
#include "sim_process.h"
#include "test_files.h"

namespace {

using Clock = std::chrono::steady_clock;

using zrtest::addr_text;

uint32_t addr_of(const std::string &text) {
  in_addr a{};
  inet_pton(AF_INET, text.c_str(), &a);
  return ntohl(a.s_addr);
}

// True when nothing accepts connections on addr:port any more (waits at most 3 s for it).
bool gone(uint32_t addr, uint16_t port) {
  auto end = Clock::now() + std::chrono::seconds(3);
  while (Clock::now() < end) {
    int fd = simtest::connect_to(addr, port);
    if (fd < 0) return true;
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// The broker, started on a fresh loopback address for one test.
class Broker {
 public:
  Broker() {
    addr_ = zrtest::fresh_loopback();
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> text = {ZR_SIM_BROKER_PATH, "--addr", addr_text(addr_), "--port", "0", "--sim",
                                     zrtest::sim_path()};
    std::vector<char *> argv;
    for (std::string &s : text) argv.push_back(&s[0]);
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string got;
    while (got.find('\n') == std::string::npos) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) break;
      char buf[128];
      ssize_t n = read(out[0], buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    close(out[0]);
    unsigned port = 0;
    char at[64] = {0};
    if (std::sscanf(got.c_str(), "ready %63s %u", at, &port) == 2) port_ = static_cast<uint16_t>(port);
  }
  ~Broker() {
    if (pid_ > 0) end(5000);
  }
  bool ok() const { return port_ != 0; }

  // SIGTERM; the exit code, or -1 when it did not end within ms (it is then killed).
  int end(int ms) {
    kill(pid_, SIGTERM);
    int status = 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() >= deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // A control connection.
  int connect() const { return simtest::connect_to(addr_, port_); }

 private:
  uint32_t addr_ = 0;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

// Sends text and reads one answer line (at most ms); "" when none came.
std::string ask(int fd, const std::string &text, int ms = 10000) {
  if (!text.empty() && send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) return "";
  std::string line;
  char c;
  while (line.empty() || line.back() != '\n') {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0 || recv(fd, &c, 1, 0) != 1) return "";
    line += c;
  }
  line.pop_back();
  return line;
}

std::string start_request(const std::string &addr, const std::vector<std::string> &args) {
  std::string text = "start " + addr + "\n";
  for (const std::string &a : args) text += "arg " + zrsim::escape_bytes(a) + "\n";
  return text + "run\n";
}

struct Ready {
  std::string addr;
  uint16_t port = 0;
  pid_t pid = 0;
  std::string log;
};

bool parse_ready(const std::string &line, Ready &r) {
  char at[64] = {0};
  unsigned port = 0;
  long pid = 0;
  int used = 0;
  if (std::sscanf(line.c_str(), "ready %63s %u %ld %n", at, &port, &pid, &used) != 3 || used == 0) return false;
  r.addr = at;
  r.port = static_cast<uint16_t>(port);
  r.pid = static_cast<pid_t>(pid);
  return zrsim::decode_escapes(line.substr(static_cast<size_t>(used)), r.log);
}

TEST(SimBroker, StartsASimulatorHandsBackItsLogAndStopsIt) {
  Broker broker;
  ASSERT_TRUE(broker.ok());
  int fd = broker.connect();
  ASSERT_GE(fd, 0);
  Ready r;
  ASSERT_TRUE(parse_ready(ask(fd, start_request("-", {"--set", "name=CALC 7"})), r));
  EXPECT_EQ(r.port, 10001);
  EXPECT_EQ(addr_of(r.addr) >> 24, 127u);

  simtest::RawReply reply = simtest::exchange(addr_of(r.addr), r.port, "info 1\n");
  EXPECT_NE(reply.bytes.find("name=CALC 7\n"), std::string::npos);
  EXPECT_EQ(ask(fd, "log\n"), "lines 1");
  EXPECT_EQ(ask(fd, ""), "1 info 1\\n");
  EXPECT_EQ(ask(fd, "stop\n"), "stopped 0");
  EXPECT_TRUE(gone(addr_of(r.addr), r.port));
  // The log stays readable until the connection closes, then its folder goes.
  EXPECT_EQ(ask(fd, "log\n"), "lines 1");
  EXPECT_EQ(ask(fd, ""), "1 info 1\\n");
  close(fd);
  std::string folder = r.log.substr(0, r.log.rfind('/'));
  for (int i = 0; i < 100 && access(folder.c_str(), F_OK) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(access(folder.c_str(), F_OK), 0) << folder;
}

TEST(SimBroker, ArgumentsKeepEveryByteAndAGivenLogIsUsed) {
  Broker broker;
  ASSERT_TRUE(broker.ok());
  zrtest::TempDir dir("zr-broker-test");
  std::string log = dir / "my log.txt";
  int fd = broker.connect();
  ASSERT_GE(fd, 0);
  Ready r;
  std::string addr = addr_text(zrtest::fresh_loopback());
  // An argument with line breaks, a backslash and a byte above 0x7F.
  ASSERT_TRUE(parse_ready(ask(fd, start_request(addr, {"--reply", "0\\nname=a\\\\b\xC3\xA9\nx", "--log", log})), r));
  EXPECT_EQ(r.addr, addr);
  EXPECT_EQ(r.log, log);
  simtest::RawReply reply = simtest::exchange(addr_of(addr), r.port, "info 1\n");
  EXPECT_EQ(reply.bytes, "0\nname=a\\b\xC3\xA9\nx");
  EXPECT_EQ(ask(fd, "stop\n"), "stopped 0");
  close(fd);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(access(log.c_str(), F_OK), 0);  // the broker removes only its own logs
}

TEST(SimBroker, FailuresAreAnsweredAtOnce) {
  Broker broker;
  ASSERT_TRUE(broker.ok());
  int fd = broker.connect();
  ASSERT_GE(fd, 0);
  auto t0 = Clock::now();
  EXPECT_EQ(ask(fd, start_request("-", {"--bogus"})).rfind("failed 2 ", 0), 0u);
  EXPECT_EQ(ask(fd, "arg x\n").rfind("failed -1 ", 0), 0u);  // an argument outside a start
  EXPECT_EQ(ask(fd, "start -\narg bad\\q\n").rfind("failed -1 ", 0), 0u);
  EXPECT_EQ(ask(fd, "launch\n").rfind("failed -1 ", 0), 0u);
  EXPECT_EQ(ask(fd, "stop\n"), "stopped -1");  // nothing was running
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(3));

  // A taken address is its exit code, 3; a second simulator per connection is refused.
  Ready r;
  ASSERT_TRUE(parse_ready(ask(fd, start_request("-", {})), r));
  int other = broker.connect();
  ASSERT_GE(other, 0);
  EXPECT_EQ(ask(other, start_request(r.addr, {})).rfind("failed 3 ", 0), 0u);
  EXPECT_EQ(ask(fd, start_request("-", {})).rfind("failed -1 ", 0), 0u);
  close(other);
  close(fd);
}

TEST(SimBroker, NoSimulatorOutlivesItsConnectionOrTheBroker) {
  Broker broker;
  ASSERT_TRUE(broker.ok());
  int first = broker.connect();
  ASSERT_GE(first, 0);
  Ready a;
  ASSERT_TRUE(parse_ready(ask(first, start_request("-", {"--hold"})), a));
  close(first);
  EXPECT_TRUE(gone(addr_of(a.addr), a.port));

  int second = broker.connect();
  ASSERT_GE(second, 0);
  Ready b;
  ASSERT_TRUE(parse_ready(ask(second, start_request("-", {})), b));
  auto t0 = Clock::now();
  EXPECT_EQ(broker.end(5000), 0);
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(4));
  EXPECT_TRUE(gone(addr_of(b.addr), b.port));
  EXPECT_EQ(kill(b.pid, 0), -1);  // collected, not left behind
  close(second);
}

}  // namespace
