// sim-broker.cpp -- zr-sim-broker: starts handheld simulators for test programs that cannot
// start a Linux program themselves (the Windows build's tests, which run under Wine).
//
//   zr-sim-broker --addr 127.77.10.2 [--port 0] [--sim PATH]
//
// It listens on a loopback address, prints "ready <address> <port>" and serves one simulator
// per control connection, with text lines (each ended by a line feed):
//
//   client                         broker
//   start <address or ->           (- : a fresh 127.x.y.z address, another one when taken)
//   arg <escaped argument>         (zero or more; escaped as the request log is, sim-escape.h)
//   run                            ready <address> <port> <pid> <escaped log path>
//                                  or: failed <exit code or -1> <escaped reason>
//   log                            lines <n>, then the n raw lines of the request log
//   stop                           stopped <exit code>   (128 + signal when a signal ended it)
//
// Without --log among the arguments the simulator logs to a private temporary folder, which
// goes with the connection.  The simulator is stopped (SIGTERM, SIGKILL after 2 s) on "stop"
// and when the control connection closes; SIGTERM or SIGINT ends the broker, which stops every
// simulator it started first.  Every wait is bounded: the ready line 5 s, a request line 10 s
// once it has begun, the end of a simulator 2 s after SIGTERM.
#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim-escape.h"
#include "sim-ready.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_stopping{false};
int g_wake[2] = {-1, -1};  // the signal handler's way to wake the accept loop
std::string g_sim_path;

// The simulators running now, so that the broker's end can stop the lot.
std::mutex g_mutex;
std::condition_variable g_idle;
std::set<pid_t> g_children;
int g_connections = 0;

extern "C" void on_stop_signal(int) {
  g_stopping = true;
  if (g_wake[1] >= 0) {
    char c = 1;
    ssize_t ignored = write(g_wake[1], &c, 1);
    (void)ignored;
  }
}

std::string addr_text(uint32_t addr) {
  in_addr a{};
  a.s_addr = htonl(addr);
  char buf[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

// A 127.x.y.z address outside 127.0.0.0/16.
std::string fresh_loopback() {
  static std::mutex m;
  static std::mt19937 rng{std::random_device{}() ^ static_cast<unsigned>(getpid())};
  std::lock_guard<std::mutex> lock(m);
  uint32_t b1 = 1 + rng() % 254, b2 = rng() % 256, b3 = 1 + rng() % 254;
  return addr_text((127u << 24) | (b1 << 16) | (b2 << 8) | b3);
}

int decode_status(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Waits at most ms for a child; true (status filled) when it has ended.
bool wait_child(pid_t pid, int ms, int &status) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) {
      status = 0;
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// SIGTERM, SIGKILL after 2 s; the exit code.
int end_child(pid_t pid) {
  int status = 0;
  kill(pid, SIGTERM);
  if (!wait_child(pid, 2000, status)) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  std::lock_guard<std::mutex> lock(g_mutex);
  g_children.erase(pid);
  return decode_status(status);
}

// One simulator, owned by one control connection.
struct Sim {
  pid_t pid = -1;
  std::string addr;
  unsigned port = 0;
  std::string log_path;
  std::string temp_dir;  // the private log folder, when the broker made one
  int exit_code = -1;

  ~Sim() {
    stop();
    if (!temp_dir.empty()) {
      unlink((temp_dir + "/requests.log").c_str());
      rmdir(temp_dir.c_str());
    }
  }
  int stop() {
    if (pid > 0) {
      exit_code = end_child(pid);
      pid = -1;
    }
    return exit_code;
  }

  // Starts the simulator on addr; 0 when ready, its exit code when it ended before, -1 on
  // another failure (why in error).
  int start_once(const std::vector<std::string> &args, const std::string &on, std::string &error) {
    std::vector<std::string> text{g_sim_path};
    text.insert(text.end(), args.begin(), args.end());
    text.push_back("--addr");
    text.push_back(on);
    std::vector<char *> argv;
    for (std::string &s : text) argv.push_back(&s[0]);
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
      error = std::string("pipe: ") + std::strerror(errno);
      return -1;
    }
    pid_t child;
    {
      // Registered under the lock, so that the broker's end cannot miss it.
      std::lock_guard<std::mutex> lock(g_mutex);
      if (g_stopping) {
        close(out[0]);
        close(out[1]);
        error = "the broker is ending";
        return -1;
      }
      child = fork();
      if (child == 0) {
        // Only async-signal-safe calls until exec; the simulator dies with the broker.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(out[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
      }
      if (child > 0) g_children.insert(child);
    }
    close(out[1]);
    if (child < 0) {
      close(out[0]);
      error = std::string("fork: ") + std::strerror(errno);
      return -1;
    }

    bool ended = false;
    const std::string line = zrsim::read_ready_line(out[0], 5000, &ended);
    close(out[0]);

    unsigned ready_port = 0;
    if (!ended && zrsim::parse_ready_line(line, on, &ready_port)) {
      pid = child;
      addr = on;
      port = ready_port;
      return 0;
    }
    if (!ended) {
      end_child(child);
      error = "the simulator on " + on + " was not ready within 5 s (got '" + line + "')";
      return -1;
    }
    int status = 0;
    if (!wait_child(child, 2000, status)) {
      int code = end_child(child);
      error = "the simulator on " + on + " closed its output but did not end (" + std::to_string(code) + ")";
      return -1;
    }
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      g_children.erase(child);
    }
    int code = decode_status(status);
    error = "the simulator on " + on + " ended with " + std::to_string(code) + " before it was ready";
    return code == 0 ? -1 : code;
  }

  // Starts with `args` on `on` ("-": fresh addresses, up to 20 tries while they are taken).
  // The answer line for the client.
  std::string start(std::vector<std::string> args, const std::string &on) {
    if (pid > 0) return "failed -1 " + zrsim::escape_bytes("a simulator is running on this connection");
    bool has_log = false;
    for (size_t i = 0; i < args.size(); ++i) {
      if (args[i] == "--log" && i + 1 < args.size()) {
        has_log = true;
        log_path = args[i + 1];
      } else if (args[i].rfind("--log=", 0) == 0) {
        has_log = true;
        log_path = args[i].substr(6);
      }
    }
    if (!has_log) {
      if (temp_dir.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zr-broker-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!mkdtemp(buf.data()))
          return "failed -1 " + zrsim::escape_bytes(std::string("cannot create a log folder: ") + std::strerror(errno));
        temp_dir = buf.data();
      }
      log_path = temp_dir + "/requests.log";
      args.push_back("--log");
      args.push_back(log_path);
    }
    std::string error;
    int code = -1;
    const int attempts = on == "-" ? 20 : 1;
    for (int i = 0; i < attempts; ++i) {
      code = start_once(args, on == "-" ? fresh_loopback() : on, error);
      if (code == 0)
        return "ready " + addr + " " + std::to_string(port) + " " + std::to_string(pid) + " " +
               zrsim::escape_bytes(log_path);
      if (code != 3) break;  // only a taken address is worth another try
    }
    return "failed " + std::to_string(code) + " " + zrsim::escape_bytes(error);
  }

  std::string log_answer() const {
    std::vector<std::string> lines;
    std::ifstream in(log_path);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    std::string out = "lines " + std::to_string(lines.size()) + "\n";
    for (const std::string &l : lines) out += l + "\n";
    return out;
  }
};

bool send_all(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads one line (without its line feed).  Waits as long as the client is idle, but no
// more than 10 s once a line has begun; false when the connection ends, fails, or the
// broker is ending.
bool read_line(int fd, std::string &pending, std::string &line) {
  const size_t kLongest = 4u << 20;
  Clock::time_point begun{};
  for (;;) {
    size_t nl = pending.find('\n');
    if (nl != std::string::npos) {
      line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      return true;
    }
    if (pending.size() > kLongest || g_stopping) return false;
    if (!pending.empty() && begun == Clock::time_point{}) begun = Clock::now();
    if (begun != Clock::time_point{} && Clock::now() - begun > std::chrono::seconds(10)) return false;
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, 200);
    if (n < 0 && errno != EINTR) return false;
    if (n <= 0) continue;
    char buf[65536];
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    pending.append(buf, static_cast<size_t>(r));
  }
}

void serve(int fd) {
  {
    Sim sim;
    std::string pending, line, start_addr;
    std::vector<std::string> args;
    bool starting = false;
    while (read_line(fd, pending, line)) {
      std::string answer;
      if (line.rfind("start ", 0) == 0) {
        starting = true;
        start_addr = line.substr(6);
        args.clear();
        continue;
      } else if (starting && line.rfind("arg ", 0) == 0) {
        std::string value, why;
        if (zrsim::decode_escapes(line.substr(4), value, &why)) {
          args.push_back(value);
          continue;
        }
        starting = false;
        answer = "failed -1 " + zrsim::escape_bytes("bad argument: " + why);
      } else if (starting && line == "run") {
        starting = false;
        answer = sim.start(args, start_addr);
      } else if (line == "log") {
        answer = sim.log_answer();
        if (!send_all(fd, answer)) break;
        continue;
      } else if (line == "stop") {
        answer = "stopped " + std::to_string(sim.stop());
      } else {
        starting = false;
        answer = "failed -1 " + zrsim::escape_bytes("unknown request: " + line.substr(0, 40));
      }
      if (!send_all(fd, answer + "\n")) break;
    }
  }  // the simulator stops here, whatever ended the connection
  close(fd);
  std::lock_guard<std::mutex> lock(g_mutex);
  --g_connections;
  g_idle.notify_all();
}

int usage(const char *why) {
  std::fprintf(stderr, "zr-sim-broker: %s\nusage: zr-sim-broker --addr A [--port N] [--sim PATH]\n", why);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  std::string addr = "127.0.0.1";
  unsigned long port = 0;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return usage(("missing value of " + a).c_str());
    std::string v = argv[++i];
    if (a == "--addr") {
      addr = v;
    } else if (a == "--port") {
      char *end = nullptr;
      port = std::strtoul(v.c_str(), &end, 10);
      if (*end != '\0' || port > 65535) return usage("bad --port");
    } else if (a == "--sim") {
      g_sim_path = v;
    } else {
      return usage(("unknown option " + a).c_str());
    }
  }
  if (g_sim_path.empty()) {
    // The simulator built beside the broker.
    char self[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
    g_sim_path = dir.substr(0, dir.rfind('/') + 1) + "zr-handheld-sim";
  }
  if (access(g_sim_path.c_str(), X_OK) != 0) return usage(("no simulator program at " + g_sim_path).c_str());

  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1 || (ntohl(sa.sin_addr.s_addr) >> 24) != 127)
    return usage("--addr must be a loopback address (127.0.0.0/8)");

  if (pipe2(g_wake, O_CLOEXEC) != 0) return 1;
  struct sigaction act {};
  act.sa_handler = on_stop_signal;
  sigemptyset(&act.sa_mask);
  sigaction(SIGTERM, &act, nullptr);
  sigaction(SIGINT, &act, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (ls < 0 || bind(ls, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(ls, 64) != 0) {
    std::fprintf(stderr, "zr-sim-broker: cannot listen on %s port %lu: %s\n", addr.c_str(), port, std::strerror(errno));
    return 3;
  }
  socklen_t len = sizeof sa;
  getsockname(ls, reinterpret_cast<sockaddr *>(&sa), &len);
  std::printf("ready %s %u\n", addr.c_str(), static_cast<unsigned>(ntohs(sa.sin_port)));
  std::fflush(stdout);

  while (!g_stopping) {
    pollfd p[2] = {{ls, POLLIN, 0}, {g_wake[0], POLLIN, 0}};
    int n = poll(p, 2, 500);
    if (n <= 0 || !(p[0].revents & POLLIN)) continue;
    int fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      ++g_connections;
    }
    std::thread(serve, fd).detach();
  }
  close(ls);

  // The connections see the flag within 200 ms and stop their simulators; whatever is
  // still running after that is ended here.
  {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_idle.wait_for(lock, std::chrono::seconds(5), [] { return g_connections == 0; });
    for (pid_t pid : g_children) kill(pid, SIGKILL);
    for (pid_t pid : g_children) waitpid(pid, nullptr, 0);
    g_children.clear();
  }
  return 0;
}
