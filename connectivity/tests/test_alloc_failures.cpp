// Every allocation of the link library failed in turn.
//
// The library asks a gate before each of its allocations (zri_set_alloc_gate): the tagged
// blocks of zr_malloc and the blocks of zr_os_alloc (wide and system names, temporary file
// names, handle records of the platform layer, argument vectors).  For each case below the
// runner first runs the case with nothing failing and counts the allocations, then runs it
// again once per allocation with exactly that one failing, until the failing number lies
// beyond what a run allocates.  Every run must end in the result code documented for the
// block that failed (or in success, where the library can do without the block), close
// every descriptor it opened, leave the host files as the case says, write the allocator's
// one line for a failed zr_malloc, and (in the sanitizer build) leak nothing.
#include <arpa/inet.h>
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "files_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZR_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZR_LEAK_CHECK 1
#endif
#endif
#ifdef ZR_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using zrfiles::names_in;
using zrfiles::read_file;
using zrfiles::StoredSim;
using zrfiles::TempDir;
using zrfiles::write_file;

// ---- the gate -------------------------------------------------------------------------

struct Gate {
  long seen = 0;       // allocations asked for
  long fail_at = 0;    // the one that fails (counted from 1); 0: none
  std::string failed;  // what it was for
};
Gate gate;

int gate_fn(const char *what, size_t) {
  if (++gate.seen != gate.fail_at) return 0;
  gate.failed = what;
  return 1;
}

// Blocks that come from zr_malloc (the others come from zr_os_alloc).
const std::set<std::string> kTagged = {"socket", "dir enum",    "enum work", "enum list",
                                       "string", "policy root", "policy dir"};

// The process's open descriptors.  Every one counts: a leak above a descriptor that a
// case's own capture of standard error holds for a moment is a leak too.
std::set<int> open_fds() {
  std::set<int> fds;
  DIR *d = opendir("/proc/self/fd");
  if (d == nullptr) return fds;
  while (const dirent *e = readdir(d))
    if (e->d_name[0] != '.' && std::atoi(e->d_name) != dirfd(d)) fds.insert(std::atoi(e->d_name));
  closedir(d);
  return fds;
}

// The process's mappings of named shared objects (the mutex, the shared count), one line
// each.
std::multiset<std::string> shared_mappings() {
  std::multiset<std::string> maps;
  std::ifstream in("/proc/self/maps");
  for (std::string line; std::getline(in, line);)
    if (line.find("/dev/shm/") != std::string::npos) maps.insert(line.substr(line.find("/dev/shm/")));
  return maps;
}

// One library call of a case and its result.
using Step = std::pair<std::string, int>;
using Steps = std::vector<Step>;

struct Outcome {
  Steps steps;
  std::string failed;  // "" when nothing failed
  long allocations = 0;
  std::string err;  // what the library wrote on standard error
  std::string describe() const {
    std::string s = "failed: " + (failed.empty() ? std::string("nothing") : failed) + "; steps:";
    for (const Step &st : steps) s += " " + st.first + "=" + std::to_string(st.second);
    return s;
  }
  // The result of the last step (the one a failure ends a case with).
  int last() const { return steps.empty() ? 0 : steps.back().second; }
  const std::string &last_name() const {
    static const std::string none;
    return steps.empty() ? none : steps.back().first;
  }
};

Outcome run_once(long fail_at, const std::function<Steps()> &body) {
  gate = Gate();
  gate.fail_at = fail_at;
  const std::set<int> fds = open_fds();
  const std::multiset<std::string> maps = shared_mappings();
  ::testing::internal::CaptureStderr();
  zri_set_alloc_gate(gate_fn);
  Outcome r;
  r.steps = body();
  zri_set_alloc_gate(nullptr);
  r.err = ::testing::internal::GetCapturedStderr();
  r.failed = gate.failed;
  r.allocations = gate.seen;
  EXPECT_EQ(open_fds(), fds) << "a descriptor stayed open; " << r.describe();
  EXPECT_EQ(shared_mappings(), maps) << "a mapping stayed; " << r.describe();
#ifdef ZR_LEAK_CHECK
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "memory leaked; " << r.describe();
#endif
  if (!r.failed.empty() && kTagged.count(r.failed)) {
    EXPECT_NE(r.err.find("? can't malloc("), std::string::npos) << r.describe();
    EXPECT_NE(r.err.find(" for " + r.failed + " (12: no more core)\r\n"), std::string::npos) << r.describe();
  }
  return r;
}

// Runs the case clean, then with each allocation failing in turn.  `clean` checks the run
// without failures, `failed` every other run.  Returns the number of failing runs.
long fail_each(const std::function<Steps()> &body, const std::function<void(const Outcome &)> &clean,
               const std::function<void(const Outcome &)> &failed) {
  Outcome first = run_once(0, body);
  EXPECT_GT(first.allocations, 0) << first.describe();
  clean(first);
  long runs = 0;
  std::string failed_tags;
  for (long n = 1; n < 10000; ++n) {
    Outcome r = run_once(n, body);
    if (r.failed.empty()) {
      // The number lay beyond this run's allocations: every one has failed once.
      clean(r);
      EXPECT_GE(runs, r.allocations);
      std::printf("%ld allocations, each failed once:%s\n", runs, failed_tags.c_str());
      break;
    }
    ++runs;
    if (failed_tags.find(" " + r.failed + ",") == std::string::npos) failed_tags += " " + r.failed + ",";
    SCOPED_TRACE("allocation " + std::to_string(n) + " (" + r.failed + ")");
    failed(r);
  }
  return runs;
}

// Every step before the last succeeded, and the last gave `code`.
void ends_with(const Outcome &r, int code) {
  ASSERT_FALSE(r.steps.empty()) << r.describe();
  for (size_t i = 0; i + 1 < r.steps.size(); ++i) EXPECT_GE(r.steps[i].second, 0) << r.describe();
  EXPECT_EQ(r.last(), code) << r.describe();
}

void all_succeeded(const Outcome &r) {
  for (const Step &s : r.steps) EXPECT_GE(s.second, 0) << r.describe();
}

class AllocFailures : public zrfiles::LibraryTest {
 protected:
  void SetUp() override {
    zrfiles::LibraryTest::SetUp();
    zri_set_bind_pause(0);
  }
  void TearDown() override {
    zri_set_alloc_gate(nullptr);
    zri_set_bind_pause(40);
    zrfiles::LibraryTest::TearDown();
  }
};

// ---- transport ----------------------------------------------------------------------

TEST_F(AllocFailures, ConnectionsListenConnectAndAccept) {
  uint32_t addr = zrtest::fresh_loopback();
  auto body = [&] {
    Steps s;
    int l = KQ_ZR_1b_bind(addr, 0, 0, 0);
    s.push_back({"listen", l});
    if (l < 0) return s;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(l, reinterpret_cast<sockaddr *>(&sa), &len);
    int c = KQ_ZR_1b_bind(0, 0, addr, ntohs(sa.sin_port));
    s.push_back({"connect", c});
    if (c >= 0) {
      int a = KQ_ZR_1b_recv(l, 0, nullptr, 0);
      s.push_back({"accept", a});
      if (a >= 0) {
        char buf[8] = {0};
        s.push_back({"send", KQ_ZR_1b_send(c, 0, "hello", 5)});
        s.push_back({"recv", KQ_ZR_1b_recv(a, 0, buf, sizeof buf)});
        EXPECT_STREQ(buf, "hello");
        KQ_ZR_1b_unbind(a);
      }
      KQ_ZR_1b_unbind(c);
    }
    KQ_ZR_1b_unbind(l);
    return s;
  };
  long runs = fail_each(body, all_succeeded, [](const Outcome &r) {
    EXPECT_EQ(r.failed, "socket");
    ends_with(r, r.last_name() == "accept" ? ZR_E_FLAGS : ZR_E_SOCKET);
  });
  EXPECT_EQ(runs, 3);
}

// ---- requests with field and raw replies ----------------------------------------------

TEST_F(AllocFailures, StatusRequestsAndTheScreen) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  auto run_all = [&] {
    Steps s;
    zr_info info;
    zr_stat st;
    zr_tune t{1000, 2000};
    static unsigned char image[200];
    int r = KQ_ZR_sr_info(sim.addr(), 1, &info);
    s.push_back({"info", r});
    if (r < 0) return s;
    EXPECT_STREQ(info.name, "ZR-SIM");
    s.push_back({"stat", r = KQ_ZR_sr_stat(sim.addr(), 1, &st)});
    if (r < 0) return s;
    s.push_back({"tune", r = KQ_ZR_sr_tune(sim.addr(), 2, &t)});
    if (r < 0) return s;
    s.push_back({"scrn", r = KQ_ZR_sr_scrn(sim.addr(), image, 0, 200)});
    return s;
  };
  long runs = fail_each(
      run_all,
      [](const Outcome &r) {
        all_succeeded(r);
        EXPECT_EQ(r.last(), 200) << r.describe();
      },
      [](const Outcome &r) {
        EXPECT_EQ(r.failed, "socket");
        ends_with(r, ZR_E_SOCKET);
      });
  EXPECT_EQ(runs, 4);
}

// ---- file services ----------------------------------------------------------------

TEST_F(AllocFailures, ListingsAttributesFileOperationsAndTheUpgrade) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_EQ(mkdir((sim / "docs").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(sim / "docs/a.txt", "alpha"));
  ASSERT_TRUE(write_file(sim / "image.bin", "os"));
  auto body = [&] {
    Steps s;
    int h = KQ_ZR_fm_dirinit(sim.addr(), "docs");
    s.push_back({"dirinit", h});
    if (h < 0) return s;
    char name[64];
    zr_attr a;
    int n = KQ_ZR_fm_direnum(h, name, sizeof name, &a);
    EXPECT_EQ(n, 5);
    EXPECT_EQ(KQ_ZR_fm_direnum(h, name, sizeof name, &a), -1);
    s.push_back({"dirdone", KQ_ZR_fm_dirdone(h)});
    int r = KQ_ZR_fm_dirattr(sim.addr(), "docs/a.txt", &a);
    s.push_back({"attr", r});
    if (r < 0) return s;
    EXPECT_EQ(a.size, 5u);
    r = KQ_ZR_fm_fileop(sim.addr(), ZR_FM_COPY, "docs/a.txt", "docs/b.txt");
    s.push_back({"copy", r});
    if (r < 0) return s;
    r = KQ_ZR_fm_fileop(sim.addr(), ZR_FM_DEL, "docs/b.txt", nullptr);
    s.push_back({"delete", r});
    if (r < 0) return s;
    r = KQ_ZR_os_upg(sim.addr(), "image.bin", "-", [](int) { return 0; });
    s.push_back({"osupg", r});
    return s;
  };
  fail_each(body, all_succeeded, [&](const Outcome &r) {
    // The connection entry, or the listing record: both are reported as -220.
    EXPECT_TRUE(r.failed == "socket" || r.failed == "dir enum") << r.describe();
    ends_with(r, ZR_E_SOCKET);
    // The copy made by a run that failed later was deleted, or never made.
    if (r.last_name() != "delete") {
      EXPECT_FALSE(zrfiles::exists(sim / "docs/b.txt")) << r.describe();
    }
    if (r.last_name() == "delete") {
      ASSERT_EQ(unlink((sim / "docs/b.txt").c_str()), 0);
    }
  });
}

// ---- transfers ----------------------------------------------------------------------

// A send reads the host file only; a fetch leaves the host file that was there as it was
// unless it succeeds, and leaves no unfinished file.
TEST_F(AllocFailures, TransfersKeepTheHostFiles) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  TempDir host;
  const std::string content = zrfiles::pattern(5000);
  const std::string old_content = "the host file before the fetch";
  ASSERT_TRUE(write_file(host / "send me.bin", content));
  ASSERT_TRUE(write_file(sim / "fetch me.bin", content));

  auto put = [&] {
    Steps s;
    s.push_back(
        {"put", KQ_ZR_fm_xfer(sim.addr(), ZR_FM_PUT, "sent.bin", (host / "send me.bin").c_str(), 500, nullptr, 0)});
    return s;
  };
  fail_each(
      put,
      [&](const Outcome &r) {
        all_succeeded(r);
        EXPECT_TRUE(read_file(sim / "sent.bin") == content);
        ASSERT_EQ(unlink((sim / "sent.bin").c_str()), 0);
      },
      [&](const Outcome &r) {
        // The host file's name (examined, opened), or the connection entry.
        ends_with(r, r.failed == "socket" ? ZR_E_SOCKET : ZR_E_HOSTFILE);
        EXPECT_EQ(KQ_ZR_errno(), r.failed == "socket" ? KQ_ZR_errno() : ENOMEM) << r.describe();
        EXPECT_FALSE(zrfiles::exists(sim / "sent.bin"));
        EXPECT_TRUE(read_file(host / "send me.bin") == content) << r.describe();
        EXPECT_EQ(names_in(host.path()), std::vector<std::string>{"send me.bin"});
      });

  auto get = [&] {
    EXPECT_TRUE(write_file(host / "got.bin", old_content));
    Steps s;
    s.push_back(
        {"get", KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, "fetch me.bin", (host / "got.bin").c_str(), 500, nullptr, 0)});
    return s;
  };
  fail_each(
      get,
      [&](const Outcome &r) {
        all_succeeded(r);
        EXPECT_TRUE(read_file(host / "got.bin") == content);
      },
      [&](const Outcome &r) {
        ends_with(r, r.failed == "socket" ? ZR_E_SOCKET : ZR_E_HOSTFILE);
        EXPECT_TRUE(read_file(host / "got.bin") == old_content) << r.describe();
        EXPECT_EQ(names_in(host.path()), (std::vector<std::string>{"got.bin", "send me.bin"})) << r.describe();
      });

  // A fetch through a link writes the file the link leads to and keeps the link.
  ASSERT_EQ(mkdir((host / "real").c_str(), 0755), 0);
  ASSERT_EQ(symlink("real/target.bin", (host / "link.bin").c_str()), 0);
  auto get_link = [&] {
    EXPECT_TRUE(write_file(host / "real/target.bin", old_content));
    Steps s;
    s.push_back(
        {"get", KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, "fetch me.bin", (host / "link.bin").c_str(), 0, nullptr, 0)});
    return s;
  };
  auto link_kept = [&](const Outcome &r) {
    struct stat st;
    ASSERT_EQ(lstat((host / "link.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link was replaced; " << r.describe();
    EXPECT_EQ(names_in(host / "real"), std::vector<std::string>{"target.bin"}) << r.describe();
  };
  fail_each(
      get_link,
      [&](const Outcome &r) {
        all_succeeded(r);
        link_kept(r);
        EXPECT_TRUE(read_file(host / "real/target.bin") == content);
      },
      [&](const Outcome &r) {
        ends_with(r, r.failed == "socket" ? ZR_E_SOCKET : ZR_E_HOSTFILE);
        link_kept(r);
        EXPECT_TRUE(read_file(host / "real/target.bin") == old_content) << r.describe();
      });
}

// ---- discovery ----------------------------------------------------------------------

std::vector<zr_os_ifentry> interfaces;
int fake_list(zr_os_ifentry *list, int capacity) {
  for (int i = 0; i < capacity && i < static_cast<int>(interfaces.size()); ++i) list[i] = interfaces[i];
  return static_cast<int>(interfaces.size());
}

TEST_F(AllocFailures, EnumerationOfAManyInterfaceHost) {
  // More interfaces than the work area holds itself: the list gets a block of its own.
  interfaces.clear();
  for (uint32_t i = 0; i < 30; ++i) interfaces.push_back({ZR_OS_AF_INET, 0xC0A80000u + i});
  interfaces.push_back({ZR_OS_AF_INET, 0xAC100001u});
  zri_set_if_list(fake_list);
  auto body = [&] {
    Steps s;
    int h = KQ_ZR_en_init();
    s.push_back({"en_init", h});
    if (h < 0) return s;
    zr_enum_rec rec;
    int r = KQ_ZR_en_next(h, &rec);
    s.push_back({"en_next", r});
    if (r == 0) {
      EXPECT_EQ(rec.addr, 0xAC100002u);
    }
    EXPECT_EQ(KQ_ZR_en_done(h), 0);
    return s;
  };
  long runs = fail_each(body, all_succeeded, [](const Outcome &r) {
    ends_with(r, r.failed == "enum work" ? ZR_E_SOCKET : r.failed == "enum list" ? ZR_E_IFLIST : 0);
  });
  EXPECT_EQ(runs, 2);
  zri_set_if_list(nullptr);
}

// ---- storage policy ---------------------------------------------------------------

TEST_F(AllocFailures, PolicyFile) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir / "policy.dat", "[root]\n\"/files\" \"" + dir.path() +
                                                 "\"\n[dirs]\n\"documents\" \"docs\" 1 2\n"
                                                 "\"tmp\" \"tmp\" 3 4\n"));
  ASSERT_EQ(mkdir((dir / "docs").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "tmp").c_str(), 0755), 0);
  auto body = [&] {
    // Every run starts without policy records, so that each runs the same allocations.
    zri_pol_release();
    Steps s;
    s.push_back({"pol_init", KQ_ZR_pol_init((dir / "policy.dat").c_str())});
    char out[256];
    s.push_back({"pol_mung", KQ_ZR_pol_mung(out, "/files/documents/a.txt", sizeof out, 0)});
    if (s.back().second == 0) {
      EXPECT_EQ(std::string(out), dir.path() + "/docs/a.txt");
    }
    return s;
  };
  fail_each(body, all_succeeded, [](const Outcome &r) {
    ASSERT_EQ(r.steps.size(), 2u);
    int init = r.steps[0].second;
    // A root that cannot be made (or kept) gives -368, a folder -390; the check of the
    // mapped folders can do without its block.  Whatever failed, what is in force maps
    // (the built-in policy, or what was read before the failure).
    if (r.failed == "policy root" || r.failed == "policy list") {
      EXPECT_EQ(init, -368) << r.describe();
    } else if (r.failed == "policy dir") {
      EXPECT_EQ(init, -390) << r.describe();
    } else if (r.failed == "string") {
      EXPECT_TRUE(init == -368 || init == -390 || init == 0) << r.describe();
    } else {
      ADD_FAILURE() << "unexpected allocation; " << r.describe();
    }
    if (init == 0) {
      EXPECT_EQ(r.steps[1].second, 0) << r.describe();
    }
    EXPECT_NE(zri_pol_current(), nullptr);
  });
}

// ---- host files by UTF-8 name and the host rename --------------------------------------

TEST_F(AllocFailures, HostFileCallsAndRename) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "b").c_str(), 0755), 0);
  const std::string content = zrfiles::pattern(1500);
  auto body = [&] {
    Steps s;
    int fd = utf8creat((dir / "a/\xc3\xa9t\xc3\xa9.txt").c_str(), 0644);
    s.push_back({"creat", fd});
    if (fd < 0) return s;
    s.push_back({"write", utf8write(fd, content.data(), static_cast<unsigned>(content.size()))});
    s.push_back({"close", utf8close(fd)});
    struct stat st;
    int r = utf8stat((dir / "a/\xc3\xa9t\xc3\xa9.txt").c_str(), &st);
    s.push_back({"stat", r});
    if (r < 0) return s;
    r = utf8rename((dir / "a/\xc3\xa9t\xc3\xa9.txt").c_str(), (dir / "a/x.txt").c_str());
    s.push_back({"rename", r});
    if (r < 0) return s;
    r = zr_rename((dir / "a/x.txt").c_str(), (dir / "a/y.txt").c_str());
    s.push_back({"zr_rename same folder", r});
    if (r < 0) return s;
    r = zr_rename((dir / "a/y.txt").c_str(), (dir / "b/z.txt").c_str());
    s.push_back({"zr_rename across", r});
    if (r < 0) return s;
    s.push_back({"unlink", utf8unlink((dir / "b/z.txt").c_str())});
    return s;
  };
  auto tidy = [&] {
    for (const char *sub : {"a", "b"})
      for (const std::string &n : names_in(dir / sub)) unlink((dir / sub + "/" + n).c_str());
  };
  char cwd_before[4096];
  ASSERT_NE(getcwd(cwd_before, sizeof cwd_before), nullptr);
  fail_each(
      body,
      [&](const Outcome &r) {
        all_succeeded(r);
        EXPECT_TRUE(names_in(dir / "a").empty());
        EXPECT_TRUE(names_in(dir / "b").empty());
      },
      [&](const Outcome &r) {
        if (r.last() == 0) {
          // A move across folders does not look at the deletion of the old file: when only
          // that fails, the move counts as done and the old file stays.
          EXPECT_EQ(names_in(dir / "a"), std::vector<std::string>{"y.txt"}) << r.describe();
          EXPECT_TRUE(read_file(dir / "a/y.txt") == content) << r.describe();
          tidy();
          return;
        }
        // A name that cannot be converted for want of memory fails the call with ENOMEM, and
        // nothing happened to the files.
        EXPECT_EQ(r.last(), -1) << r.describe();
        EXPECT_EQ(KQ_ZR_errno(), ENOMEM) << r.describe();
        const std::string &step = r.last_name();
        std::vector<std::string> in_a = names_in(dir / "a"), in_b = names_in(dir / "b");
        if (step == "creat") {
          EXPECT_TRUE(in_a.empty()) << r.describe();
        } else if (step == "stat" || step == "rename") {
          EXPECT_EQ(in_a, std::vector<std::string>{"\xc3\xa9t\xc3\xa9.txt"}) << r.describe();
        } else if (step == "zr_rename same folder") {
          EXPECT_EQ(in_a, std::vector<std::string>{"x.txt"}) << r.describe();
        } else if (step == "zr_rename across") {
          // A failed move leaves the old file as it was and no new one.
          EXPECT_EQ(in_a, std::vector<std::string>{"y.txt"}) << r.describe();
          EXPECT_TRUE(read_file(dir / "a/y.txt") == content) << r.describe();
          EXPECT_TRUE(in_b.empty()) << r.describe();
        } else if (step == "unlink") {
          EXPECT_EQ(in_b, std::vector<std::string>{"z.txt"}) << r.describe();
        }
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        EXPECT_STREQ(cwd, cwd_before) << r.describe();
        tidy();
      });
}

// ---- DHCP service control --------------------------------------------------------

// Processes running from one executable file.
std::vector<pid_t> running_from(const std::string &exe) {
  std::vector<pid_t> out;
  DIR *d = opendir("/proc");
  if (!d) return out;
  while (dirent *e = readdir(d)) {
    char *end = nullptr;
    long pid = std::strtol(e->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    char target[4096];
    std::string link = "/proc/" + std::string(e->d_name) + "/exe";
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == exe) out.push_back(static_cast<pid_t>(pid));
  }
  closedir(d);
  return out;
}

// The stand-in server copied under a name of its own, with named objects of its own, so
// that nothing here meets the DHCP tests running beside it.
class AllocFailuresDhcp : public AllocFailures {
 protected:
  void SetUp() override {
    AllocFailures::SetUp();
    std::string id = std::to_string(getpid());
    program = "zr-dhcp-af" + id + ".exe";
    exe = folder.path() + "/" + program;
    prefix = "zrtest-af-" + id + "-";
    std::string copy = "cp '" ZR_DHCP_STANDIN_PATH "' '" + exe + "'";
    ASSERT_EQ(std::system(copy.c_str()), 0);
    ASSERT_TRUE(write_file(folder / "zr-dhcp.cfg", "# stand-in\n"));
    zri_dhcp_names(prefix.c_str(), program.c_str());
  }
  void TearDown() override {
    while (KQ_ZR_dhcp_cleanup() != ZR_E_DHCP_SHARE) {
    }
    for (pid_t pid : running_from(exe)) kill(pid, SIGKILL);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    zr_os_named_remove(zri_dhcp_mutex_name());
    zr_os_named_remove(zri_dhcp_shared_name());
    zri_dhcp_names(nullptr, nullptr);
    AllocFailures::TearDown();
  }
  // Whether a child of this process is still there (running, or ended and not collected).
  static bool left_a_child() {
    for (int i = 0; i < 50; ++i) {
      pid_t p = waitpid(-1, nullptr, WNOHANG);
      if (p != 0) return p > 0;
      usleep(10000);
    }
    return true;
  }
  bool no_server() const {
    for (int i = 0; i < 300; ++i) {
      if (running_from(exe).empty()) return true;
      usleep(10000);
    }
    return false;
  }
  TempDir folder;
  std::string program, exe, prefix;
};

// A failed start leaves no server behind and the process able to start it again; the
// last clean-up ends the server.
TEST_F(AllocFailuresDhcp, StartAgainAfterAFailureAndCleanUp) {
  auto body = [&] {
    Steps s;
    int r = KQ_ZR_dhcp_init(folder.path().c_str(), "--max-seconds 60");
    s.push_back({"init", r});
    if (r < 0) {
      EXPECT_TRUE(no_server()) << "a failed start left a server running";
      EXPECT_FALSE(left_a_child()) << "a failed start left its server for the caller to collect";
      s.push_back({"init again", KQ_ZR_dhcp_init(folder.path().c_str(), "--max-seconds 60")});
    }
    EXPECT_EQ(running_from(exe).size(), 1u);
    s.push_back({"cleanup", KQ_ZR_dhcp_cleanup()});
    EXPECT_TRUE(no_server());
    return s;
  };
  fail_each(body, all_succeeded, [](const Outcome &r) {
    ASSERT_GE(r.steps.size(), 2u) << r.describe();
    int init = r.steps[0].second;
    // The named mutex and the shared count: -2001; starting the server (its command
    // line, argument vector, process record): -2003.  The data file's preparation can do
    // without its names.
    if (r.failed == "mutex" || r.failed == "shared memory") {
      EXPECT_EQ(init, ZR_E_DHCP_SHARE) << r.describe();
    } else if (r.failed == "arguments" || r.failed == "argument vector" || r.failed == "process") {
      EXPECT_EQ(init, ZR_E_DHCP_START) << r.describe();
    } else if (r.failed == "string") {
      EXPECT_TRUE(init == 0 || init == ZR_E_DHCP_START) << r.describe();
    } else {
      ADD_FAILURE() << "unexpected allocation; " << r.describe();
    }
    for (size_t i = 1; i < r.steps.size(); ++i) EXPECT_EQ(r.steps[i].second, 0) << r.describe();
  });
}

}  // namespace
