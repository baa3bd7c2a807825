// Discovery end to end, in a private network namespace that the test creates: a veth pair
// holds the host side 172.16.0.1/30 and the handheld side 172.16.0.2, where the simulator
// listens.  The enumeration reads the namespace's own interface list, probes for real and
// finds the simulator, which then answers an info request.
//
// Every packet stays inside the namespace: the test thread enters it before the
// interfaces are made and the simulator is started from there; the namespace goes away
// with them.  Where no namespace can be created (not root, no unshare, no iproute2) the
// test says so and is skipped.
#include "sim_process.h"
#include "zr-internal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// Runs a program found on the search path (or in /usr/sbin, /sbin) to its end, its output
// dropped; true when it exited with 0.
bool run(const std::vector<std::string> &args, std::string *why) {
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

// The calling thread's own network namespace, with the handheld's network in it; the
// thread returns to its former namespace when this ends.
class PrivateNetwork {
 public:
  PrivateNetwork() {
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
    if (!run({"ip", "link", "set", "lo", "up"}, &why_)) return;
    // The handheld's network on a veth pair; where veth is missing, on the loopback
    // interface.  A second host-side network (172.16.0.5/30) has nobody behind it.
    std::string veth_why;
    bool veth = run({"ip", "link", "add", "zrhost0", "type", "veth", "peer", "name", "zrcalc0"}, &veth_why) &&
                run({"ip", "addr", "add", "172.16.0.1/30", "dev", "zrhost0"}, &veth_why) &&
                run({"ip", "addr", "add", "172.16.0.2/30", "dev", "zrcalc0"}, &veth_why) &&
                run({"ip", "link", "add", "zrhost1", "type", "veth", "peer", "name", "zrcalc1"}, &veth_why) &&
                run({"ip", "addr", "add", "172.16.0.5/30", "dev", "zrhost1"}, &veth_why) &&
                run({"ip", "link", "set", "zrhost0", "up"}, &veth_why) &&
                run({"ip", "link", "set", "zrcalc0", "up"}, &veth_why) &&
                run({"ip", "link", "set", "zrhost1", "up"}, &veth_why) &&
                run({"ip", "link", "set", "zrcalc1", "up"}, &veth_why);
    if (!veth) {
      how_ = "loopback (" + veth_why + ")";
      if (!run({"ip", "addr", "add", "172.16.0.1/30", "dev", "lo"}, &why_) ||
          !run({"ip", "addr", "add", "172.16.0.2/32", "dev", "lo"}, &why_) ||
          !run({"ip", "addr", "add", "172.16.0.5/30", "dev", "lo"}, &why_))
        return;
    } else {
      how_ = "veth";
    }
    ok_ = true;
  }
  ~PrivateNetwork() {
    if (entered_ && setns(former_, CLONE_NEWNET) != 0) ADD_FAILURE() << "cannot return to the former namespace";
    if (former_ >= 0) close(former_);
  }
  bool ok() const { return ok_; }
  const std::string &why() const { return why_; }
  const std::string &how() const { return how_; }

 private:
  int former_ = -1;
  bool entered_ = false;
  bool ok_ = false;
  std::string why_, how_;
};

TEST(DiscoveryNamespace, FindsTheSimulatorAndReadsItsInfo) {
  PrivateNetwork net;
  if (!net.ok()) GTEST_SKIP() << "no private network namespace: " << net.why();
  RecordProperty("network", net.how());

  zrtest::SimProcess sim({"--set", "name=NSCALC"}, "172.16.0.2");
  ASSERT_TRUE(sim.ok()) << sim.error();
  ASSERT_EQ(sim.addr(), 0xAC100002u);

  // The slot the host side 172.16.0.1 has in this namespace's interface list.
  std::vector<zr_os_ifentry> list(256);
  int total = zr_os_if_list(ZR_OS_NO_SOCK, list.data(), static_cast<int>(list.size()));
  ASSERT_GT(total, 0);
  int slot = -1;
  for (int i = 0; i < total && i < static_cast<int>(list.size()); ++i)
    if (list[i].family == ZR_OS_AF_INET && list[i].addr == 0xAC100001u) slot = i;
  ASSERT_GE(slot, 0) << "172.16.0.1 is not in the interface list";

  ASSERT_EQ(KQ_ZR_1b_init(), 0);
  zr_tune tune{3000, 3000};
  KQ_ZR_sl_tune(2, &tune);
  zri_set_if_list(nullptr);
  zri_set_probe_map(nullptr);

  int h = KQ_ZR_en_init();
  ASSERT_EQ(h, 1);
  std::vector<zr_enum_rec> found;
  zr_enum_rec r;
  int got;
  auto start = Clock::now();
  while ((got = KQ_ZR_en_enum(h, &r)) == 0) found.push_back(r);
  long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  EXPECT_EQ(got, -1);
  EXPECT_EQ(KQ_ZR_en_done(h), 0);
  ASSERT_EQ(found.size(), 1u) << "only the simulator answers";
  EXPECT_EQ(found[0].addr, 0xAC100002u);
  EXPECT_EQ(found[0].group, 4);
  EXPECT_EQ(found[0].slot, slot);
  EXPECT_EQ(found[0].name, nullptr);
  EXPECT_GE(ms, 950) << "the silent 172.16.0.6 was probed in full and skipped";
  EXPECT_LT(ms, 5000);

  zr_info info;
  ASSERT_EQ(KQ_ZR_sr_info(found[0].addr, 1, &info), 0);
  EXPECT_STREQ(info.name, "NSCALC");
  EXPECT_EQ(info.addr, 0xAC100002u);

  std::vector<std::string> requests = sim.requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.front(), "zr-api4-q");
  EXPECT_EQ(requests.back(), "info 1\n");

  KQ_ZR_1b_done();
  zr_tune none{0, 0};
  KQ_ZR_sl_tune(2, &none);
}

}  // namespace
