// private_network.cpp -- a private network namespace with the handheld networks of a test.
#include "private_network.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace zrtest {

bool run_quietly(const std::vector<std::string> &args, std::string *why) {
  std::vector<char *> argv;
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int r = ENOENT;
  for (const std::string dir : {"", "/usr/sbin/", "/sbin/", "/usr/bin/", "/bin/"}) {
    std::string program = dir + args[0];
    r = dir.empty() ? posix_spawnp(&pid, program.c_str(), &fa, nullptr, argv.data(), environ)
                    : posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), environ);
    if (r != ENOENT) break;
  }
  posix_spawn_file_actions_destroy(&fa);
  std::string line;
  for (const std::string &a : args) line += (line.empty() ? "" : " ") + a;
  if (r != 0) {
    *why = "'" + line + "' cannot be run: " + std::strerror(r);
    return false;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    *why = "'" + line + "' failed";
    return false;
  }
  return true;
}

PrivateNetwork::PrivateNetwork(int silent_networks) {
  former_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
  if (former_ < 0) {
    why_ = std::string("cannot open /proc/self/ns/net: ") + std::strerror(errno);
    return;
  }
  if (unshare(CLONE_NEWNET) != 0) {
    why_ = std::string("network namespaces cannot be created here (unshare: ") + std::strerror(errno) + ")";
    return;
  }
  entered_ = true;
  if (!run_quietly({"ip", "link", "set", "lo", "up"}, &why_)) return;
  // Network k: host side 172.16.0.(4k+1)/30 on zrhostK, the handheld's side zrcalcK (with
  // 172.16.0.2 for network 0 only).
  auto host_addr = [](int k, const char *bits) { return "172.16.0." + std::to_string(4 * k + 1) + bits; };
  std::string veth_why;
  bool veth = true;
  for (int k = 0; veth && k <= silent_networks; ++k) {
    std::string host = "zrhost" + std::to_string(k), calc = "zrcalc" + std::to_string(k);
    veth = run_quietly({"ip", "link", "add", host, "type", "veth", "peer", "name", calc}, &veth_why) &&
           run_quietly({"ip", "addr", "add", host_addr(k, "/30"), "dev", host}, &veth_why) &&
           (k != 0 || run_quietly({"ip", "addr", "add", "172.16.0.2/30", "dev", calc}, &veth_why)) &&
           run_quietly({"ip", "link", "set", host, "up"}, &veth_why) &&
           run_quietly({"ip", "link", "set", calc, "up"}, &veth_why);
  }
  if (!veth) {
    how_ = "loopback (" + veth_why + ")";
    for (int k = 0; k <= silent_networks; ++k) {
      std::string ignored;
      run_quietly({"ip", "link", "del", "zrhost" + std::to_string(k)}, &ignored);
    }
    if (!run_quietly({"ip", "addr", "add", "172.16.0.1/30", "dev", "lo"}, &why_) ||
        !run_quietly({"ip", "addr", "add", "172.16.0.2/32", "dev", "lo"}, &why_))
      return;
    for (int k = 1; k <= silent_networks; ++k)
      if (!run_quietly({"ip", "addr", "add", host_addr(k, "/30"), "dev", "lo"}, &why_)) return;
  } else {
    how_ = "veth";
  }
  ok_ = true;
}

PrivateNetwork::~PrivateNetwork() {
  if (entered_ && setns(former_, CLONE_NEWNET) != 0) {
    // Whatever ran next would talk on the wrong network.
    std::fprintf(stderr, "PrivateNetwork: cannot return to the former namespace: %s\n", std::strerror(errno));
    std::abort();
  }
  if (former_ >= 0) close(former_);
}

}  // namespace zrtest
