// sim_process.cpp -- starts the handheld simulator for a test and stops it afterwards.
#include "sim_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "sim-escape.h"
#include "sim-ready.h"

namespace zrtest {

std::string sim_path() { return ZR_SIM_PATH; }

uint32_t fresh_loopback() {
  static std::atomic<uint32_t> counter{0};
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  // Mix the process id, the time and a counter (splitmix64 finaliser).
  uint64_t h = (static_cast<uint64_t>(getpid()) << 32) ^ static_cast<uint64_t>(ts.tv_nsec) ^
               (static_cast<uint64_t>(ts.tv_sec) << 20) ^ (static_cast<uint64_t>(counter++) * 0x9E3779B97F4A7C15ull);
  h ^= h >> 30;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 27;
  h *= 0x94D049BB133111EBull;
  h ^= h >> 31;
  uint32_t b1 = 1 + static_cast<uint32_t>(h % 254);          // 1..254: stays out of 127.0.x.x
  uint32_t b2 = static_cast<uint32_t>((h >> 8) % 256);       // 0..255
  uint32_t b3 = 1 + static_cast<uint32_t>((h >> 16) % 254);  // 1..254
  return (127u << 24) | (b1 << 16) | (b2 << 8) | b3;
}

std::string addr_text(uint32_t addr) {
  in_addr a{};
  a.s_addr = htonl(addr);
  char buf[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

namespace {

// Waits for a child with a bounded time; true when it has ended (status filled).
bool wait_child(pid_t pid, int timeout_ms, int &status) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (true) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return true;  // not our child any more
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

SimProcess::SimProcess(std::vector<std::string> args, std::string addr) {
  try {
    temp_dir_ = std::make_unique<TempDir>("zr-sim");
  } catch (const std::exception &e) {
    error_ = e.what();
    return;
  }

  bool has_log = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--log" && i + 1 < args.size()) {
      has_log = true;
      log_path_ = args[i + 1];
    } else if (args[i].rfind("--log=", 0) == 0) {
      has_log = true;
      log_path_ = args[i].substr(6);
    }
  }
  if (!has_log) {
    log_path_ = temp_dir_->file("requests.log");
    args.push_back("--log");
    args.push_back(log_path_);
  }

  const int attempts = addr.empty() ? 20 : 1;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    std::string try_addr = addr.empty() ? zrtest::addr_text(fresh_loopback()) : addr;
    int r = start_once(args, try_addr);
    if (r == 0) {
      ok_ = true;
      return;
    }
    if (r != 3) return;  // only a taken address is worth another try
  }
}

int SimProcess::start_once(const std::vector<std::string> &args, const std::string &addr) {
  std::vector<std::string> argv_text;
  argv_text.push_back(sim_path());
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  argv_text.push_back("--addr");
  argv_text.push_back(addr);
  std::vector<char *> argv;
  for (std::string &s : argv_text) argv.push_back(&s[0]);
  argv.push_back(nullptr);

  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return -1;
  }
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    close(out[0]);
    close(out[1]);
    return -1;
  }
  if (pid == 0) {
    // Child: only async-signal-safe calls until exec.  The simulator dies with the test.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(out[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);

  // Read the ready line, at most 5 s.
  bool ended = false;
  const std::string line = zrsim::read_ready_line(out[0], 5000, &ended);
  close(out[0]);

  unsigned ready_port = 0;
  if (!ended && zrsim::parse_ready_line(line, addr, &ready_port)) {
    in_addr a{};
    inet_pton(AF_INET, addr.c_str(), &a);
    pid_ = pid;
    addr_ = ntohl(a.s_addr);
    addr_text_ = addr;
    port_ = static_cast<uint16_t>(ready_port);
    return 0;
  }

  // Not ready: collect the child (it may still be running when the wait timed out).
  int status = 0;
  if (!wait_child(pid, ended ? 2000 : 0, status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    error_ = "the simulator on " + addr + " was not ready within 5 s (got '" + line + "')";
    return -1;
  }
  int code = decode_status(status);
  error_ = "the simulator on " + addr + " ended with " + std::to_string(code) + " before it was ready";
  return code == 0 ? -1 : code;
}

SimProcess::~SimProcess() {
  stop();  // before temp_dir_ goes with the log in it
}

int SimProcess::stop() {
  if (pid_ <= 0) return exit_code_;
  int status = 0;
  kill(pid_, SIGTERM);
  if (!wait_child(pid_, 2000, status)) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  exit_code_ = decode_status(status);
  pid_ = -1;
  return exit_code_;
}

std::vector<std::string> SimProcess::log_lines() const {
  std::vector<std::string> lines;
  std::ifstream in(log_path_);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> SimProcess::requests() const { return zrsim::requests_of_log(log_lines()); }

}  // namespace zrtest
