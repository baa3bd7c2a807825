// zrlink mount and zrlink sync as a user runs them: ordinary tools in the mounted folder,
// and the simulator's storage folder and request log to see what reached the handheld.
//
// Mount tests need /dev/fuse and fusermount3 (they are skipped with a message otherwise);
// every mount is taken down again, lazily if it must be, and its process waited for.
#include "fuse_mount.h"
#include "sim_process.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Shell {
  int status;
  std::string out;  // standard output and error
};

// Runs a shell command (bounded by `timeout`) with both output streams captured.
Shell sh(const std::string &command, int seconds = 30) {
  std::string full = "timeout -k 2 " + std::to_string(seconds) + " bash -c '" + command + "' 2>&1";
  Shell r{-1, ""};
  FILE *p = popen(full.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string read_file(const std::string &path) { return zrtest::ReadFile(path).value_or("<missing>"); }

using zrtest::WriteFile;

// Every path below a folder, with the size of each file, sorted.
std::string tree(const std::string &root) {
  return sh("cd \"" + root +
            "\" && find . -mindepth 1 \\( -type f -printf \"%p %s\\n\" \\) -o "
            "\\( -type d -printf \"%p/\\n\" \\) | LC_ALL=C sort")
      .out;
}

// Fills a storage folder: notes.txt, docs/a b.txt, docs/deep/z.bin, empty/.
std::string fill_storage(const std::string &root) {
  std::system(("mkdir -p '" + root + "/docs/deep' '" + root + "/empty'").c_str());
  WriteFile(root + "/notes.txt", "hello handheld\n");
  WriteFile(root + "/docs/a b.txt", std::string(5000, 'a'));
  WriteFile(root + "/docs/deep/z.bin", std::string(70000, 'z'));
  return root;
}

// The simulator serving a storage folder filled by fill_storage.
struct Handheld {
  Handheld() = default;
  // With more options of the simulator (a fault to play, say).
  explicit Handheld(const std::vector<std::string> &more) : sim{with_storage(more)} {}

  zrtest::TempDir dir{"zrlink-mount-test"};
  std::string root = fill_storage(dir.path() + "/storage");
  zrtest::SimProcess sim{{"--storage", root}};

  std::vector<std::string> with_storage(std::vector<std::string> more) const {
    more.insert(more.begin(), {"--storage", root});
    return more;
  }

  // The requests after the first `from` whose command word is `word`.
  int count(const std::string &word, size_t from = 0) const {
    auto all = sim.requests();
    return static_cast<int>(std::count_if(all.begin() + static_cast<long>(std::min(from, all.size())), all.end(),
                                          [&](const std::string &r) { return r.rfind(word + " ", 0) == 0; }));
  }
  size_t requests() const { return sim.requests().size(); }
};

std::string zrlink_for(const Handheld &h) { return std::string(ZRLINK_PATH) + " --addr " + h.sim.addr_text(); }

bool wait_for_exit(pid_t pid, int *status, std::chrono::milliseconds limit) {
  auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (waitpid(pid, status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// zrlink mount -f in a child process; the destructor unmounts (lazily, so that a busy mount
// goes too) and ends the process.
class Mount {
 public:
  // cache: the folder for zrlink's cache of file copies (TMPDIR), "" for the default.
  Mount(const Handheld &h, const std::string &mountpoint, const std::string &cache = "") : point_(mountpoint) {
    mkdir(point_.c_str(), 0755);
    pid_ = fork();
    if (pid_ == 0) {
      if (!cache.empty()) setenv("TMPDIR", cache.c_str(), 1);
      int null = open("/dev/null", O_WRONLY);
      int err = open((point_ + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(null, 1);
      dup2(err, 2);
      execl(ZRLINK_PATH, ZRLINK_PATH, "--addr", h.sim.addr_text().c_str(), "mount", "-f", point_.c_str(),
            static_cast<char *>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 250 && !zrtest::is_mounted(point_); ++i) {
      int st;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ok_ = zrtest::is_mounted(point_);
  }
  ~Mount() { unmount(); }
  bool ok() const { return ok_; }
  // What zrlink said on standard error, and whether that is the kernel refusing mounts here.
  std::string error() const { return read_file(point_ + ".err"); }
  bool refused() const {
    std::string e = error();
    return e.find("fuse: ") != std::string::npos &&
           (e.find("not permitted") != std::string::npos || e.find("Permission denied") != std::string::npos);
  }
  const std::string &path() const { return point_; }
  // fusermount3 -u; true when the process then ended by itself within 5 s, with 0.
  bool unmount() {
    if (zrtest::is_mounted(point_)) sh("fusermount3 -u \"" + point_ + "\" || fusermount3 -u -z \"" + point_ + "\"", 10);
    if (pid_ <= 0) return true;
    int st = 0;
    bool ended = wait_for_exit(pid_, &st, std::chrono::seconds(5));
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &st, 0);
      if (zrtest::is_mounted(point_)) sh("fusermount3 -u -z \"" + point_ + "\"", 10);
    }
    pid_ = -1;
    return ended && WIFEXITED(st) && WEXITSTATUS(st) == 0;
  }

 private:
  std::string point_;
  pid_t pid_ = -1;
  bool ok_ = false;
};

// Fails the test when the mount did not come up, or skips it where this machine refuses mounts.
#define ASSERT_MOUNTED(m)                                                                               \
  do {                                                                                                  \
    if (!(m).ok() && (m).refused()) GTEST_SKIP() << "zrlink mount is not tested here: " << (m).error(); \
    ASSERT_TRUE((m).ok()) << (m).error();                                                               \
  } while (0)

// A simulator with its storage, and a host folder for the mount point; skipped without FUSE.
class ZrlinkMount : public testing::Test {
 protected:
  void SetUp() override {
    std::string why = zrtest::fuse_missing();
    if (!why.empty()) GTEST_SKIP() << "zrlink mount is not tested here: " << why;
    ASSERT_TRUE(h.sim.ok()) << h.sim.error();
  }
  Handheld h;
  zrtest::TempDir host{"zrlink-mount-test"};
};

TEST_F(ZrlinkMount, OrdinaryToolsWorkOnTheHandheldsStorage) {
  Mount m(h, host.path() + "/mnt");
  ASSERT_MOUNTED(m);
  const std::string mp = m.path(), st = h.root;

  // Listings carry the attributes: ls -l and find make no request per file.
  Shell ls = sh("ls -l \"" + mp + "/docs\"");
  ASSERT_EQ(ls.status, 0) << ls.out;
  EXPECT_NE(ls.out.find("-rw-r--r-- 1 "), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find(" 5000 "), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find("drwxr-xr-x 2 "), std::string::npos) << ls.out;
  EXPECT_EQ(tree(mp),
            "./docs/\n./docs/a b.txt 5000\n./docs/deep/\n./docs/deep/z.bin 70000\n./empty/\n"
            "./notes.txt 15\n");
  EXPECT_EQ(h.count("attr"), 0);
  EXPECT_EQ(h.count("fget"), 0);
  struct stat on_host, through_mount;
  ASSERT_EQ(stat((st + "/docs/deep/z.bin").c_str(), &on_host), 0);
  ASSERT_EQ(stat((mp + "/docs/deep/z.bin").c_str(), &through_mount), 0);
  EXPECT_EQ(through_mount.st_mtime, on_host.st_mtime);

  // A file is fetched once; an unchanged file is read again from the cache.
  EXPECT_EQ(sh("cat \"" + mp + "/notes.txt\"").out, "hello handheld\n");
  EXPECT_EQ(sh("cmp \"" + mp + "/docs/deep/z.bin\" \"" + st + "/docs/deep/z.bin\"").status, 0);
  EXPECT_EQ(sh("cmp \"" + mp + "/docs/deep/z.bin\" \"" + st + "/docs/deep/z.bin\"").status, 0);
  EXPECT_EQ(h.count("fget"), 2);

  // Writes reach the handheld when close returns: a new file, a replaced one, an append.
  WriteFile(host.path() + "/new.txt", "made on the host\n");
  ASSERT_EQ(sh("cp \"" + host.path() + "/new.txt\" \"" + mp + "/docs/\"").status, 0);
  EXPECT_EQ(read_file(st + "/docs/new.txt"), "made on the host\n");
  ASSERT_EQ(sh("printf replaced > \"" + mp + "/notes.txt\"").status, 0);
  EXPECT_EQ(read_file(st + "/notes.txt"), "replaced");
  ASSERT_EQ(sh("printf \" and more\" >> \"" + mp + "/notes.txt\"").status, 0);
  EXPECT_EQ(read_file(st + "/notes.txt"), "replaced and more");
  EXPECT_EQ(sh("cat \"" + mp + "/notes.txt\"").out, "replaced and more");
  ASSERT_EQ(sh("touch \"" + mp + "/empty/zero\"").status, 0);
  EXPECT_EQ(read_file(st + "/empty/zero"), "");

  // Folders, moves (also over an existing file, as rename replaces it) and removals.
  ASSERT_EQ(sh("mkdir \"" + mp + "/made\" && mv \"" + mp + "/docs/new.txt\" \"" + mp + "/made/moved.txt\"").status, 0);
  EXPECT_EQ(read_file(st + "/made/moved.txt"), "made on the host\n");
  // A file still being written is listed in its folder before it reaches the handheld.
  // (tee holds its one descriptor open for a second; a shell's redirection would close a
  // duplicate first, and that close already sends the file.)
  Shell open = sh("{ printf part; sleep 1; } | tee \"" + mp + "/made/open.txt\" >/dev/null & sleep 0.3; ls \"" + mp +
                  "/made\"; wait");
  EXPECT_NE(open.out.find("open.txt"), std::string::npos) << open.out;
  EXPECT_EQ(read_file(st + "/made/open.txt"), "part");
  ASSERT_EQ(sh("rm \"" + mp + "/made/open.txt\"").status, 0);
  ASSERT_EQ(sh("mv \"" + mp + "/made/moved.txt\" \"" + mp + "/notes.txt\"").status, 0);
  EXPECT_EQ(read_file(st + "/notes.txt"), "made on the host\n");
  EXPECT_EQ(sh("cat \"" + mp + "/notes.txt\"").out, "made on the host\n");
  Shell full = sh("rmdir \"" + mp + "/docs\"");
  EXPECT_NE(full.status, 0);
  EXPECT_NE(full.out.find("Directory not empty"), std::string::npos) << full.out;
  ASSERT_EQ(sh("rmdir \"" + mp + "/made\" && rm \"" + mp + "/docs/a b.txt\"").status, 0);
  EXPECT_NE(sh("cat \"" + mp + "/nothing.txt\"").out.find("No such file"), std::string::npos);
  Shell chmod = sh("chmod 600 \"" + mp + "/notes.txt\"");
  EXPECT_NE(chmod.status, 0) << "the handheld keeps no permissions";
  EXPECT_EQ(tree(st),
            "./docs/\n./docs/deep/\n./docs/deep/z.bin 70000\n./empty/\n./empty/zero 0\n"
            "./notes.txt 17\n");

  // Changes made on the handheld show within 10 s, and a changed file is fetched anew.
  WriteFile(st + "/docs/late.txt", "added on the handheld");
  WriteFile(st + "/docs/deep/z.bin", "shorter now");
  auto end = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < end && sh("cat \"" + mp + "/docs/late.txt\"").status != 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(sh("cat \"" + mp + "/docs/late.txt\"").out, "added on the handheld");
  EXPECT_EQ(sh("cat \"" + mp + "/docs/deep/z.bin\"").out, "shorter now");

  EXPECT_TRUE(m.unmount()) << "the mount's process ends with the unmount, with 0: " << m.error();
  EXPECT_FALSE(zrtest::is_mounted(mp));
}

TEST_F(ZrlinkMount, AFetchBrokenOffLeavesNothingInTheCache) {
  Handheld broken({"--xfer-close", "1000"});
  ASSERT_TRUE(broken.sim.ok()) << broken.sim.error();
  const std::string cache = host.path() + "/cache";
  ASSERT_EQ(mkdir(cache.c_str(), 0700), 0);
  Mount m(broken, host.path() + "/mnt", cache);
  ASSERT_MOUNTED(m);
  Shell cat = sh("cat \"" + m.path() + "/docs/a b.txt\"");
  EXPECT_NE(cat.status, 0);
  EXPECT_NE(cat.out.find("Input/output error"), std::string::npos) << cat.out;
  // The mount's own cache folder, and nothing in it.
  EXPECT_EQ(sh("cd \"" + cache + "\" && find . -mindepth 2").out, "");
  EXPECT_EQ(sh("cd \"" + cache + "\" && find . -mindepth 1 -maxdepth 1 -name \"zrlink-mount-*\" | wc -l").out, "1\n");
  EXPECT_TRUE(m.unmount());
}

TEST_F(ZrlinkMount, StalledOrUnpluggedHandheldAnswersEIO) {
  Mount m(h, host.path() + "/mnt");
  ASSERT_MOUNTED(m);
  ASSERT_EQ(sh("ls \"" + m.path() + "/docs\"").status, 0);

  // A handheld that stops answering: EIO once the file-service time-out (10 s) has passed,
  // and not much later.
  kill(h.sim.pid(), SIGSTOP);
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));  // what the mount keeps runs out
  auto t = Clock::now();
  Shell stalled = sh("cat \"" + m.path() + "/notes.txt\"", 40);
  double took = std::chrono::duration<double>(Clock::now() - t).count();
  kill(h.sim.pid(), SIGCONT);
  EXPECT_NE(stalled.out.find("Input/output error"), std::string::npos) << stalled.out;
  EXPECT_LT(took, 25.0);

  // Unplugged: the folder answers EIO until it is unmounted.
  h.sim.stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  Shell gone = sh("ls \"" + m.path() + "/docs\"", 20);
  EXPECT_NE(gone.out.find("Input/output error"), std::string::npos) << gone.out;
  EXPECT_TRUE(m.unmount()) << m.error();
}

TEST_F(ZrlinkMount, DetachedMountEndsWithFusermount) {
  std::string mp = host.path() + "/mnt";
  mkdir(mp.c_str(), 0755);
  Shell started = sh(zrlink_for(h) + " mount \"" + mp + "\"", 20);
  ASSERT_EQ(started.status, 0) << started.out;
  // The process that serves the mount, found by its command line.
  pid_t server = -1;
  for (int i = 0; i < 100 && server < 0; ++i) {
    Shell p = sh("pgrep -f -x \".*zrlink --addr " + h.sim.addr_text() + " mount " + mp + "\"");
    if (p.status == 0)
      server = static_cast<pid_t>(std::atol(p.out.c_str()));
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  bool was_mounted = zrtest::is_mounted(mp);
  EXPECT_EQ(sh("cat \"" + mp + "/notes.txt\"").out, "hello handheld\n");
  sh("fusermount3 -u \"" + mp + "\" || fusermount3 -u -z \"" + mp + "\"", 10);
  bool ended = false;
  for (int i = 0; server > 0 && i < 250 && !ended; ++i) {
    ended = kill(server, 0) != 0;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (server > 0 && !ended) kill(server, SIGKILL);
  EXPECT_TRUE(was_mounted);
  ASSERT_GT(server, 0);
  EXPECT_TRUE(ended) << "the mount's process is still there after fusermount3 -u";
  EXPECT_FALSE(zrtest::is_mounted(mp));
}

}  // namespace
