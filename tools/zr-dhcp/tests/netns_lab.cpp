// netns_lab.cpp -- private networks for the DHCP service's tests.
#include "netns_lab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace zrdhcptest {

namespace {

void sleep_ms(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string find_program(const std::string &name) {
  if (name.find('/') != std::string::npos) return name;
  std::string path = std::string(getenv("PATH") ? getenv("PATH") : "") + ":/usr/sbin:/sbin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    std::string dir = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    std::string full = (dir.empty() ? "." : dir) + "/" + name;
    if (access(full.c_str(), X_OK) == 0) return full;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return name;
}

pid_t spawn(const std::vector<std::string> &args, const std::string &out_file, const std::vector<std::string> &env) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<std::string> env_text;
  for (char **e = environ; *e; ++e) env_text.push_back(*e);
  env_text.insert(env_text.end(), env.begin(), env.end());
  std::vector<char *> envp;
  for (const std::string &e : env_text) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  pid_t pid = -1;
  std::string program = find_program(args[0]);
  int r = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  return r == 0 ? pid : -1;
}

int wait_for(pid_t pid, int timeout_ms) {
  int64_t end = now_ms() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (r < 0) return -1;
    if (now_ms() >= end) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    sleep_ms(10);
  }
}

std::vector<std::string> in_ns(pid_t pid, const std::vector<std::string> &args) {
  std::vector<std::string> all{"nsenter", "-t", std::to_string(pid), "-n", "--"};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

}  // namespace

Ran run(const std::vector<std::string> &args, int timeout_ms, const std::vector<std::string> &env) {
  TempDir tmp;
  Ran r;
  pid_t pid = spawn(args, tmp.file("out"), env);
  if (pid < 0) {
    r.out = "cannot run " + args[0];
    return r;
  }
  r.status = wait_for(pid, timeout_ms);
  r.out = read_file(tmp.file("out"));
  return r;
}

bool eventually(const std::function<bool()> &pred, int timeout_ms) {
  int64_t end = now_ms() + timeout_ms;
  for (;;) {
    if (pred()) return true;
    if (now_ms() >= end) return false;
    sleep_ms(20);
  }
}

// ---- the computer ---------------------------------------------------------------------

Computer::Computer() {
  if (geteuid() != 0) {
    why_ = "not root: no network namespaces";
    return;
  }
  former_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (former_ < 0 || unshare(CLONE_NEWNET) != 0) {
    why_ = std::string("network namespaces cannot be created here: ") + std::strerror(errno);
    return;
  }
  entered_ = true;
  Ran r = run({"ip", "link", "set", "lo", "up"});
  if (r.status != 0) {
    why_ = "ip link set lo up: " + r.out;
    return;
  }
  Ran probe = run({"ip", "link", "add", "zrprobe0", "type", "veth", "peer", "name", "zrprobe1"});
  if (probe.status != 0) {
    why_ = "veth pairs cannot be made here: " + probe.out;
    return;
  }
  run({"ip", "link", "del", "zrprobe0"});
  ok_ = true;
}

Computer::~Computer() {
  if (entered_) setns(former_, CLONE_NEWNET);
  if (former_ >= 0) close(former_);
}

bool Computer::plug(const std::string &host_if, const std::string &mac, Handheld *hh, const std::string &peer_if,
                    int index) {
  std::vector<std::string> args{"ip", "link", "add", host_if};
  if (index > 0) {
    args.push_back("index");
    args.push_back(std::to_string(index));
  }
  if (!mac.empty()) {
    args.push_back("address");
    args.push_back(mac);
  }
  args.insert(args.end(), {"type", "veth", "peer", "name", peer_if});
  if (hh) {
    args.push_back("netns");
    args.push_back(std::to_string(hh->pid()));
  }
  if (run(args).status != 0) return false;
  if (hh) return hh->run({"ip", "link", "set", peer_if, "up"}).status == 0;
  return run({"ip", "link", "set", peer_if, "up"}).status == 0;
}

bool Computer::unplug(const std::string &host_if) { return run({"ip", "link", "del", host_if}).status == 0; }

std::string Computer::addresses(const std::string &ifname) const {
  return run({"ip", "-4", "-o", "addr", "show", "dev", ifname}).out;
}

// ---- a handheld -------------------------------------------------------------------------

Handheld::Handheld() {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) return;
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    char ok = unshare(CLONE_NEWNET) == 0 ? 1 : 0;
    ssize_t n = write(ready[1], &ok, 1);
    (void)n;
    for (;;) pause();
  }
  close(ready[1]);
  char ok = 0;
  if (pid > 0 && read(ready[0], &ok, 1) == 1 && ok) {
    pid_ = pid;
    run({"ip", "link", "set", "lo", "up"});
  } else if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  close(ready[0]);
}

Handheld::~Handheld() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

Ran Handheld::run(const std::vector<std::string> &args, int timeout_ms) const {
  return zrdhcptest::run(in_ns(pid_, args), timeout_ms);
}

pid_t Handheld::start(const std::vector<std::string> &args, const std::string &out_file) const {
  return spawn(in_ns(pid_, args), out_file, {});
}

bool Handheld::inside(const std::function<void()> &fn) const {
  int here = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  int there = open(("/proc/" + std::to_string(pid_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
  bool ok = here >= 0 && there >= 0 && setns(there, CLONE_NEWNET) == 0;
  if (ok) {
    fn();
    setns(here, CLONE_NEWNET);
  }
  if (here >= 0) close(here);
  if (there >= 0) close(there);
  return ok;
}

// ---- a client's socket ------------------------------------------------------------------

ClientSocket::ClientSocket(const Handheld &hh, const std::string &ifname) {
  hh.inside([&] {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    int one = 1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(68);
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, ifname.c_str(), socklen_t(ifname.size())) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
      close(fd);
      return;
    }
    fd_ = fd;
  });
}

ClientSocket::~ClientSocket() {
  if (fd_ >= 0) close(fd_);
}

bool ClientSocket::send(const std::vector<uint8_t> &message) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(67);
  to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
  return sendto(fd_, message.data(), message.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
         static_cast<ssize_t>(message.size());
}

std::vector<uint8_t> ClientSocket::receive(int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) != 1) return {};
  std::vector<uint8_t> buf(65536);
  ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
  buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return buf;
}

// ---- a sysfs tree -----------------------------------------------------------------------

void fake_usb_adapter(const TempDir &sys, const std::string &ifname, const std::string &ids, const std::string &serial,
                      int index) {
  const std::string dev = "devices/pci0000:00/usb1/1-" + ifname;
  run({"mkdir", "-p", sys.file(dev + "/1-" + ifname + ":1.0"), sys.file("class/net/" + ifname)});
  zrtest::WriteFile(sys.file(dev + "/idVendor"), ids.substr(0, 4) + "\n", 0644);
  zrtest::WriteFile(sys.file(dev + "/idProduct"), ids.substr(5) + "\n", 0644);
  if (!serial.empty()) zrtest::WriteFile(sys.file(dev + "/serial"), serial + "\n", 0644);
  run({"ln", "-s", "../../../" + dev + "/1-" + ifname + ":1.0", sys.file("class/net/" + ifname + "/device")});
  zrtest::WriteFile(sys.file("class/net/" + ifname + "/ifindex"), std::to_string(index) + "\n", 0644);
}

// ---- the service --------------------------------------------------------------------------

Service::Service(const std::string &config_text, const std::string &sysfs) : sysfs_(sysfs) {
  zrtest::WriteFile(dir_.file("zr-dhcp.cfg"), config_text, 0644);
  if (sysfs_.empty()) sysfs_ = dir_.file("no-sysfs");
}

Service::~Service() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool Service::start(const std::vector<std::string> &launcher) {
  std::vector<std::string> args = launcher;
  args.insert(args.end(), {ZR_DHCP_PATH, "--config", dir_.file("zr-dhcp.cfg"), "--data", dir_.file("zr-dhcp.dat"),
                           "--sysfs", sysfs_});
  const size_t mark = log_size();
  pid_ = spawn(args, dir_.file("log"), {});
  return pid_ > 0 && wait_log("serving handheld adapters", 3000, mark);
}

int Service::stop() {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = wait_for(pid_, 5000);
  pid_ = -1;
  return status;
}

bool Service::running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

std::string Service::log() const { return read_file(dir_.file("log")); }

bool Service::wait_log(const std::string &text, int timeout_ms, size_t from) const {
  return eventually(
      [&] {
        std::string l = log();
        return l.size() > from && l.find(text, from) != std::string::npos;
      },
      timeout_ms);
}

}  // namespace zrdhcptest
