// zrlink mount as a user runs it: ordinary tools in the mounted folder,
// and the simulator's storage folder and request log to see what reached the handheld.
//
// Mount tests need /dev/fuse and fusermount3 (they are skipped with a message otherwise);
// every mount is taken down again, lazily if it must be, and its process waited for.
#include "fuse_mount.h"
#include "sim_process.h"
#include "test_files.h"
#include "zrlink_shell.h"

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

using namespace zrlinktest;
using zrtest::WriteFile;

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
  // cache: the folder for zrlink's cache of file copies (TMPDIR), "" for the default;
  // state: the user's state folder (XDG_STATE_HOME), "" for the default; own_group: in a
  // process group of its own, as a command at a terminal is; jobs: mount -j JOBS ("": none).
  Mount(const Handheld &h, const std::string &mountpoint, const std::string &cache = "", const std::string &state = "",
        bool own_group = false, const std::string &jobs = "")
      : point_(mountpoint) {
    mkdir(point_.c_str(), 0755);
    pid_ = fork();
    if (pid_ == 0) {
      if (own_group) setpgid(0, 0);
      if (!cache.empty()) setenv("TMPDIR", cache.c_str(), 1);
      if (!state.empty()) setenv("XDG_STATE_HOME", state.c_str(), 1);
      int null = open("/dev/null", O_WRONLY);
      int err = open((point_ + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(null, 1);
      dup2(err, 2);
      std::vector<const char *> argv{ZRLINK_PATH, "--addr", h.sim.addr_text().c_str(), "mount", "-f"};
      if (!jobs.empty()) argv.insert(argv.end(), {"-j", jobs.c_str()});
      argv.push_back(point_.c_str());
      argv.push_back(nullptr);
      execv(ZRLINK_PATH, const_cast<char *const *>(argv.data()));
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
  pid_t pid() const { return pid_; }
  // fusermount3 -u; true when the process then ended by itself within 5 s, with 0.
  bool unmount() {
    if (zrtest::is_mounted(point_)) sh("fusermount3 -u \"" + point_ + "\" || fusermount3 -u -z \"" + point_ + "\"", 10);
    return wait() == 0;
  }
  // Waits up to 5 s for the process to end: its exit status, or -1 when it had to be killed.
  int wait() {
    if (pid_ <= 0) return status_;
    int st = 0;
    bool ended = wait_for_exit(pid_, &st, std::chrono::seconds(5));
    if (!ended) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &st, 0);
      if (zrtest::is_mounted(point_)) sh("fusermount3 -u -z \"" + point_ + "\"", 10);
    }
    pid_ = -1;
    status_ = ended && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return status_;
  }

 private:
  std::string point_;
  pid_t pid_ = -1;
  int status_ = 0;
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

// fusermount3 is looked for in /usr/bin, then along PATH; where neither has it, mount says
// what to install.  (The mount point is missing: past the search, that is what fails.)
TEST(ZrlinkMountStart, FusermountIsFoundInUsrBinThenAlongThePath) {
  if (access("/usr/bin/fusermount3", X_OK) != 0) GTEST_SKIP() << "no /usr/bin/fusermount3";
  zrtest::TempDir dir{"zrlink-mount-test"};
  ASSERT_EQ(sh("mkdir " + dir.path() + "/bin && cp /usr/bin/fusermount3 " + dir.path() + "/bin/").status, 0);
  const std::string mount = std::string(ZRLINK_PATH) + " --addr 127.0.0.2 mount " + dir.path() + "/missing";
  auto without_usr_bin = [&](const std::string &path) {
    return sh("unshare -m sh -c \"mount -t tmpfs none /usr/bin && PATH=" + path + " exec " + mount + "\"");
  };
  for (const Shell &found : {sh("PATH=/nowhere " + mount), without_usr_bin("/nowhere:" + dir.path() + "/bin")}) {
    EXPECT_EQ(found.status, 1) << found.out;
    EXPECT_NE(found.out.find("bad mount point"), std::string::npos) << found.out;
  }
  Shell nowhere = without_usr_bin("/nowhere");
  EXPECT_EQ(nowhere.status, 1) << nowhere.out;
  EXPECT_EQ(nowhere.out, "zrlink: mount: fusermount3 is missing (on Debian: apt install fuse3)\n");
}

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
  ASSERT_EQ(sh("perl -e \"truncate(shift, 8) or die\" \"" + mp + "/notes.txt\"").status, 0);  // truncate(2) by name
  EXPECT_EQ(read_file(st + "/notes.txt"), "replaced");
  // Cut through a descriptor that wrote nothing: sent at its close as well.
  int cut = open((mp + "/notes.txt").c_str(), O_RDWR);
  ASSERT_GE(cut, 0);
  EXPECT_EQ(ftruncate(cut, 4), 0);
  EXPECT_EQ(close(cut), 0);
  EXPECT_EQ(read_file(st + "/notes.txt"), "repl");
  // Cut to its first byte without having been read: that byte is the handheld's.
  ASSERT_EQ(sh("perl -e \"truncate(shift, 1) or die\" \"" + mp + "/docs/a b.txt\"").status, 0);
  EXPECT_EQ(read_file(st + "/docs/a b.txt"), "a");
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
  // A folder moved takes its listing along: a new folder under the old name is empty.
  Shell moved = sh("ls \"" + mp + "/made\" >/dev/null && mv \"" + mp + "/made\" \"" + mp + "/kept\" && mkdir \"" + mp +
                   "/made\" && ls -A \"" + mp + "/made\" && rmdir \"" + mp + "/made\" && mv \"" + mp + "/kept\" \"" +
                   mp + "/made\"");
  EXPECT_EQ(moved.status, 0) << moved.out;
  EXPECT_EQ(moved.out, "");
  // A folder renamed over an empty one replaces it; over one with something in it, it fails.
  Shell over = sh("mkdir \"" + mp + "/x\" \"" + mp + "/y\" && printf f > \"" + mp + "/x/f\" && mv -T \"" + mp +
                  "/x\" \"" + mp + "/y\" && cat \"" + mp + "/y/f\" && mkdir \"" + mp + "/x\" && ! mv -T \"" + mp +
                  "/x\" \"" + mp + "/y\" && rm \"" + mp + "/y/f\" && rmdir \"" + mp + "/x\" \"" + mp + "/y\"");
  EXPECT_EQ(over.status, 0) << over.out;
  EXPECT_EQ(over.out.substr(0, 1), "f") << over.out;
  ASSERT_EQ(sh("mv \"" + mp + "/made/moved.txt\" \"" + mp + "/notes.txt\"").status, 0);
  EXPECT_EQ(read_file(st + "/notes.txt"), "made on the host\n");
  EXPECT_EQ(m.error(), "") << "the replaced file is gone, and nothing else went wrong";
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

// Opening a file fetches the small files after it in its folder ahead of time (cp -r reads
// them next): the large one and those before it are left until they are read.
TEST_F(ZrlinkMount, OpeningAFileFetchesTheSmallFilesAfterIt) {
  for (const char *name : {"a.txt", "b.txt", "c.txt", "d.txt"}) WriteFile(h.root + "/class/" + name, name);
  WriteFile(h.root + "/class/e.bin", std::string(300 * 1024, 'e'));
  Mount m(h, host.path() + "/mnt");
  ASSERT_MOUNTED(m);
  const std::string folder = m.path() + "/class/";
  ASSERT_EQ(sh("ls \"" + folder + "\"").status, 0);
  const size_t before = h.requests();
  EXPECT_EQ(sh("cat \"" + folder + "b.txt\"").out, "b.txt");
  auto end = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < end && h.count("fget", before) < 3) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(h.count("fget", before), 3) << "b.txt, then c.txt and d.txt ahead";
  EXPECT_EQ(sh("cat \"" + folder + "c.txt\" \"" + folder + "d.txt\"").out, "c.txtd.txt");
  EXPECT_EQ(h.count("fget", before), 3) << "read from the cache";
  EXPECT_EQ(sh("cat \"" + folder + "a.txt\" \"" + folder + "e.bin\" | wc -c").out, "307205\n");
  EXPECT_TRUE(m.unmount()) << m.error();

  // A file opened while its fetch ahead still runs is read whole: the read waits for it.
  Handheld slow({"--rate", "400000"});
  ASSERT_TRUE(slow.sim.ok()) << slow.sim.error();
  WriteFile(slow.root + "/class/a.txt", "a.txt");
  WriteFile(slow.root + "/class/b.bin", std::string(200 * 1024, 'b'));
  Mount ms(slow, host.path() + "/mnt2");
  ASSERT_MOUNTED(ms);
  const std::string f2 = ms.path() + "/class/";
  ASSERT_EQ(sh("ls \"" + f2 + "\"").status, 0);
  EXPECT_EQ(sh("cat \"" + f2 + "a.txt\" && cat \"" + f2 + "b.bin\" | wc -c").out, "a.txt204800\n");
  EXPECT_TRUE(ms.unmount()) << ms.error();
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

TEST_F(ZrlinkMount, AFetchOfAnotherSizeThanListedIsNotBelieved) {
  // The handheld announces every file as 399999 bytes: of its 5000-byte file, a copy
  // appended to and sent back would replace the file with a broken one.  Its file of 400000
  // bytes comes slowly, and none of its first bytes is read while it comes, as they would be
  // if the fetch were believed.
  Handheld lying({"--xfer-size", "399999", "--rate", "200000"});
  ASSERT_TRUE(lying.sim.ok()) << lying.sim.error();
  WriteFile(lying.root + "/big.bin", std::string(400000, 'b'));
  Mount m(lying, host.path() + "/mnt");
  ASSERT_MOUNTED(m);
  Shell head = sh("head -c 100 \"" + m.path() + "/big.bin\"");
  EXPECT_NE(head.status, 0);
  EXPECT_NE(head.out.find("Input/output error"), std::string::npos) << head.out;
  Shell cat = sh("cat \"" + m.path() + "/docs/a b.txt\"");
  EXPECT_NE(cat.status, 0);
  EXPECT_NE(cat.out.find("Input/output error"), std::string::npos) << cat.out;
  EXPECT_NE(sh("echo more >> \"" + m.path() + "/docs/a b.txt\"").status, 0);
  EXPECT_TRUE(m.unmount());
  EXPECT_EQ(read_file(lying.root + "/docs/a b.txt"), std::string(5000, 'a'));
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

// zrlink mount without -f, which returns once the folder is mounted; the process that
// then serves it, found by its command line (-1 when none is found).
pid_t mount_in_background(const Handheld &h, const std::string &mp) {
  mkdir(mp.c_str(), 0755);
  Shell started = sh(zrlink_for(h) + " mount \"" + mp + "\"", 20);
  EXPECT_EQ(started.status, 0) << started.out;
  for (int i = 0; i < 100; ++i) {
    Shell p = sh("pgrep -f -x \".*zrlink --addr " + h.sim.addr_text() + " mount " + mp + "\"");
    if (p.status == 0) return static_cast<pid_t>(std::atol(p.out.c_str()));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

TEST_F(ZrlinkMount, DetachedMountEndsWithFusermount) {
  std::string mp = host.path() + "/mnt";
  pid_t server = mount_in_background(h, mp);
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

// Writes all of `data` to a descriptor.
bool write_all(int fd, const std::string &data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

TEST_F(ZrlinkMount, AListingCutShortDoesNotMakeAFileLookAbsent) {
  // Every listing ends after its status line: the folder looks empty.
  Handheld cut({"--fault-cmd", "dir", "--close-after", "2"});
  ASSERT_TRUE(cut.sim.ok()) << cut.sim.error();
  std::string lines;
  for (int i = 1; i <= 1000; ++i) lines += "line " + std::to_string(i) + "\n";
  WriteFile(cut.root + "/app.log", lines);
  Mount m(cut, host.path() + "/mnt");
  ASSERT_MOUNTED(m);
  ASSERT_EQ(sh("echo x >> \"" + m.path() + "/app.log\"").status, 0);
  EXPECT_EQ(read_file(cut.root + "/app.log"), lines + "x\n") << "the handheld's file is fetched, not replaced";
  // A file that the handheld has not got is made as before.
  ASSERT_EQ(sh("echo new > \"" + m.path() + "/fresh.txt\"").status, 0);
  EXPECT_EQ(read_file(cut.root + "/fresh.txt"), "new\n");
  EXPECT_TRUE(m.unmount()) << m.error();
}

TEST_F(ZrlinkMount, OpenFilesWorkFromTheirHandleWhenRemovedOrRenamed) {
  Mount m(h, host.path() + "/mnt");
  ASSERT_MOUNTED(m);
  const std::string mp = m.path(), st = h.root;

  // A file removed while open: writing, truncating, syncing and closing it still work, and
  // the other open files are sent when they are closed.
  int removed = open((mp + "/notes.txt").c_str(), O_RDWR);
  ASSERT_GE(removed, 0);
  int other = open((mp + "/docs/other.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(other, 0);
  ASSERT_TRUE(write_all(other, "still sent"));
  ASSERT_EQ(unlink((mp + "/notes.txt").c_str()), 0);
  EXPECT_TRUE(write_all(removed, "written after the removal"));
  EXPECT_EQ(ftruncate(removed, 5), 0);
  struct stat s;
  EXPECT_EQ(fstat(removed, &s), 0);
  EXPECT_EQ(s.st_size, 5);
  EXPECT_EQ(fsync(removed), 0);
  EXPECT_EQ(close(removed), 0);
  EXPECT_EQ(close(other), 0);
  EXPECT_EQ(read_file(st + "/docs/other.txt"), "still sent");
  EXPECT_EQ(read_file(st + "/notes.txt"), "<missing>");

  // A file made here and still open can be removed (nothing is stored at its close) or
  // renamed (it is stored under the new name).
  int gone = open((mp + "/made.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(gone, 0);
  ASSERT_TRUE(write_all(gone, "removed before its close"));
  Shell rm = sh("rm \"" + mp + "/made.txt\"");
  EXPECT_EQ(rm.status, 0) << rm.out;
  EXPECT_EQ(close(gone), 0);
  int moved = open((mp + "/first.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(moved, 0);
  ASSERT_TRUE(write_all(moved, "renamed before its close"));
  Shell mv = sh("mv \"" + mp + "/first.txt\" \"" + mp + "/docs/second.txt\"");
  EXPECT_EQ(mv.status, 0) << mv.out;
  EXPECT_EQ(sh("ls \"" + mp + "\" \"" + mp + "/docs\"").out.find("first.txt"), std::string::npos);
  EXPECT_TRUE(write_all(moved, "!"));
  EXPECT_EQ(close(moved), 0);
  EXPECT_EQ(read_file(st + "/docs/second.txt"), "renamed before its close!");
  EXPECT_EQ(tree(st),
            "./docs/\n./docs/a b.txt 5000\n./docs/deep/\n./docs/deep/z.bin 70000\n./docs/other.txt 10\n"
            "./docs/second.txt 25\n./empty/\n");
  EXPECT_EQ(sh("ls \"" + mp + "\" \"" + mp + "/docs\"").out.find("made.txt"), std::string::npos);
  EXPECT_TRUE(m.unmount()) << m.error();
}

TEST_F(ZrlinkMount, OnlyTheLastWritersCloseSends) {
  Mount m(h, host.path() + "/mnt");
  ASSERT_MOUNTED(m);
  const std::string file = m.path() + "/docs/deep/z.bin", stored = h.root + "/docs/deep/z.bin";
  int writer = open(file.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(writer, 0);
  ASSERT_TRUE(write_all(writer, std::string(20000, 'n')));
  int reader = open(file.c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);
  char buf[100];
  EXPECT_EQ(read(reader, buf, sizeof buf), static_cast<ssize_t>(sizeof buf));
  EXPECT_EQ(close(reader), 0);
  EXPECT_EQ(read_file(stored), std::string(70000, 'z')) << "a reader's close sends nothing";
  ASSERT_EQ(truncate(file.c_str(), 20000), 0);  // by name, to the size it has
  EXPECT_EQ(read_file(stored), std::string(70000, 'z')) << "a cut while a writer has it open sends nothing";
  // Of two writers, the second to close sends.
  int second = open(file.c_str(), O_WRONLY);
  ASSERT_GE(second, 0);
  ASSERT_EQ(pwrite(second, "N", 1, 0), 1);
  ASSERT_TRUE(write_all(writer, std::string(80000, 'n')));
  EXPECT_EQ(close(second), 0);
  EXPECT_EQ(read_file(stored), std::string(70000, 'z'));
  EXPECT_EQ(close(writer), 0);
  EXPECT_EQ(read_file(stored), "N" + std::string(99999, 'n'));
  EXPECT_TRUE(m.unmount()) << m.error();
}

TEST_F(ZrlinkMount, AFileThatCannotBeSentIsReportedAndKept) {
  Handheld full({"--fault-cmd", "fput", "--status", "1021"});  // no room, nothing stored
  ASSERT_TRUE(full.sim.ok()) << full.sim.error();
  const std::string state = host.path() + "/state";
  Mount m(full, host.path() + "/mnt", "", state);
  ASSERT_MOUNTED(m);
  const std::string file = m.path() + "/docs/report.txt";
  int writer = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(writer, 0);
  ASSERT_TRUE(write_all(writer, "the report"));
  int reader = open(file.c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);
  errno = 0;
  EXPECT_EQ(close(writer), -1) << "the close that failed says so";
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(close(reader), 0) << "a reader's close does not get the writer's error";
  EXPECT_EQ(sh("cat \"" + file + "\"").out, "the report");
  EXPECT_EQ(m.unmount(), false);
  EXPECT_EQ(m.wait(), 1);
  std::string err = m.error();
  EXPECT_NE(err.find("/docs/report.txt"), std::string::npos) << err;
  EXPECT_NE(err.find(state + "/zrlink/unsent/"), std::string::npos) << err;
  Shell kept = sh("cat \"" + state + "\"/zrlink/unsent/*/docs/report.txt");
  EXPECT_EQ(kept.out, "the report") << err;
  // The copy is the user's, as the cache was: read and written by them alone, in a state
  // folder that only its last step is private.
  EXPECT_EQ(sh("stat -c %a \"" + state + "\"/zrlink/unsent/*/docs/report.txt").out, "600\n");
  EXPECT_EQ(sh("stat -c %a \"" + state + "\" \"" + state + "\"/zrlink").out, "755\n700\n");
  EXPECT_EQ(read_file(full.root + "/docs/report.txt"), "<missing>");
}

TEST_F(ZrlinkMount, RenameOverAFileKeepsTheTargetWhenTheMoveFails) {
  // The first move finds the target there; then the move of the target aside is refused,
  // or the move of the file in (and the target goes back).
  for (const char *refused : {"move:2:1001", "move:3:1001"}) {
    Handheld refusing({"--refuse", refused});
    ASSERT_TRUE(refusing.sim.ok()) << refusing.sim.error();
    Mount m(refusing, host.path() + "/mnt-" + refused);
    ASSERT_MOUNTED(m);
    const std::string mp = m.path(), st = refusing.root;
    ASSERT_EQ(sh("printf \"new notes\" > \"" + mp + "/notes.new\"").status, 0);
    Shell failed = sh("mv \"" + mp + "/notes.new\" \"" + mp + "/notes.txt\"");
    EXPECT_NE(failed.status, 0) << failed.out;
    EXPECT_EQ(read_file(st + "/notes.txt"), "hello handheld\n");
    EXPECT_EQ(read_file(st + "/notes.new"), "new notes");
    EXPECT_EQ(tree(st),
              "./docs/\n./docs/a b.txt 5000\n./docs/deep/\n./docs/deep/z.bin 70000\n./empty/\n"
              "./notes.new 9\n./notes.txt 15\n")
        << refused;
    // Tried again, the rename replaces the file and leaves nothing else.
    Shell again = sh("mv \"" + mp + "/notes.new\" \"" + mp + "/notes.txt\"");
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(read_file(st + "/notes.txt"), "new notes");
    EXPECT_EQ(tree(st),
              "./docs/\n./docs/a b.txt 5000\n./docs/deep/\n./docs/deep/z.bin 70000\n./empty/\n"
              "./notes.txt 9\n");
    EXPECT_TRUE(m.unmount()) << m.error();
    EXPECT_EQ(m.error().find("could not be put back"), std::string::npos) << m.error();
  }
}

TEST_F(ZrlinkMount, SigtermAndSighupUnmountAndSendWhatIsOpen) {
  Mount m(h, host.path() + "/mnt");
  ASSERT_MOUNTED(m);
  int held = open((m.path() + "/docs/held.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(held, 0);
  ASSERT_TRUE(write_all(held, "held open"));
  kill(m.pid(), SIGTERM);
  EXPECT_EQ(m.wait(), 143) << m.error();
  close(held);
  EXPECT_FALSE(zrtest::is_mounted(m.path()));
  EXPECT_EQ(read_file(h.root + "/docs/held.txt"), "held open");

  // In the background, SIGHUP.
  std::string mp = host.path() + "/mnt2";
  pid_t server = mount_in_background(h, mp);
  ASSERT_GT(server, 0);
  EXPECT_EQ(sh("cat \"" + mp + "/notes.txt\"").out, "hello handheld\n");
  kill(server, SIGHUP);
  bool ended = false;
  for (int i = 0; i < 250 && !ended; ++i) {
    ended = kill(server, 0) != 0;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (!ended) kill(server, SIGKILL);
  EXPECT_TRUE(ended) << "the mount's process is still there after SIGHUP";
  if (zrtest::is_mounted(mp)) sh("fusermount3 -u -z \"" + mp + "\"", 10);
  EXPECT_TRUE(ended && !zrtest::is_mounted(mp));
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

TEST_F(ZrlinkMount, KeepsAnsweringWhileALargeFileIsFetched) {
  // 64 MiB at 4 MB/s: the fetch takes 16 s.
  Handheld slow({"--rate", "4000000"});
  ASSERT_TRUE(slow.sim.ok()) << slow.sim.error();
  const std::string big = slow.root + "/big.bin";
  ASSERT_EQ(sh("yes 0123456789abcdef | head -c 67108864 > \"" + big + "\"").status, 0);
  const std::string mid(1000000, 'm');
  WriteFile(slow.root + "/mid.bin", mid);
  Mount m(slow, host.path() + "/mnt");
  ASSERT_MOUNTED(m);
  const std::string mp = m.path(), file = mp + "/big.bin";
  EXPECT_EQ(sh("cat \"" + mp + "/notes.txt\"").out, "hello handheld\n");

  // The first bytes are read as soon as they have arrived.
  auto t = Clock::now();
  Shell head = sh("head -c 100 \"" + file + "\"");
  EXPECT_LT(seconds_since(t), 4.0);
  EXPECT_EQ(head.out, read_file(big).substr(0, 100));
  // While the fetch goes on, the folder answers (its listing read from the handheld again).
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  for (const std::string &command : {"ls -l \"" + mp + "\"", "stat \"" + file + "\"", "cat \"" + mp + "/notes.txt\""}) {
    t = Clock::now();
    Shell r = sh(command);
    EXPECT_LT(seconds_since(t), 0.5) << command;
    EXPECT_EQ(r.status, 0) << command << ": " << r.out;
  }
  // A read further on waits for its bytes, which are the handheld's.
  EXPECT_EQ(sh("head -c 2000000 \"" + file + "\" | cmp -n 2000000 - \"" + big + "\"").status, 0);
  // A descriptor open on it meanwhile has the handheld's size (asked of the open file once
  // the kernel's second of cached attributes has passed).
  int reading = open(file.c_str(), O_RDONLY);
  ASSERT_GE(reading, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(lseek(reading, 0, SEEK_END), 67108864);
  close(reading);
  // A file removed while its fetch runs is still read whole through the descriptor open.
  int open_one = open((mp + "/mid.bin").c_str(), O_RDONLY);
  ASSERT_GE(open_one, 0);
  EXPECT_EQ(unlink((mp + "/mid.bin").c_str()), 0);
  std::string got(mid.size() + 1, '\0');
  size_t have = 0;
  for (ssize_t n; (n = read(open_one, &got[have], got.size() - have)) > 0;) have += static_cast<size_t>(n);
  close(open_one);
  EXPECT_TRUE(have == mid.size() && got.compare(0, have, mid) == 0) << have << " bytes read";

  // A worker process that ends in the middle of the fetch: the reader gets EIO, and the
  // next open fetches anew through another worker.  The workers that take the place of
  // the ended ones leave no descriptor of theirs open in the mount.
  const std::string fds = "ls /proc/" + std::to_string(m.pid()) + "/fd | wc -l";
  const std::string before = sh(fds).out;
  Shell killed = sh("cat \"" + file + "\" > /dev/null & sleep 0.5; for p in $(cat /proc/" + std::to_string(m.pid()) +
                    "/task/*/children); do kill -9 $p; done; wait $!");
  EXPECT_NE(killed.status, 0);
  EXPECT_NE(killed.out.find("Input/output error"), std::string::npos) << killed.out;
  EXPECT_EQ(sh("head -c 100 \"" + file + "\"").out, read_file(big).substr(0, 100));
  EXPECT_EQ(sh(fds).out, before);
  EXPECT_TRUE(m.unmount()) << "the unmount stops the fetch: " << m.error();
}

TEST_F(ZrlinkMount, TransfersRunInAsManyWorkersAsJobs) {
  Mount m(h, host.path() + "/mnt", "", "", false, "2");
  ASSERT_MOUNTED(m);
  // (the workers are there before the first request is answered)
  EXPECT_EQ(sh("cat \"" + m.path() + "/notes.txt\"").out, "hello handheld\n");
  Shell workers = sh("cat /proc/" + std::to_string(m.pid()) + "/task/*/children | wc -w");
  EXPECT_EQ(workers.out, "2\n");
  EXPECT_TRUE(m.unmount()) << m.error();
}

TEST_F(ZrlinkMount, CtrlCAtTheTerminalSendsWhatIsOpen) {
  // Ctrl-C goes to the whole process group of the command.
  Mount m(h, host.path() + "/mnt", "", "", true);
  ASSERT_MOUNTED(m);
  int held = open((m.path() + "/docs/held.txt").c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(held, 0);
  ASSERT_TRUE(write_all(held, "held open"));
  kill(-m.pid(), SIGINT);
  EXPECT_EQ(m.wait(), 130) << m.error();
  close(held);
  EXPECT_EQ(read_file(h.root + "/docs/held.txt"), "held open") << m.error();
}

// A mount stays up for days: each folder it lists gives its connection back, so that many
// folders never use up the process's descriptors.
TEST_F(ZrlinkMount, ListingFoldersHoldsNoDescriptors) {
  for (int i = 0; i < 30; ++i) ASSERT_EQ(mkdir((h.root + "/f" + std::to_string(i)).c_str(), 0755), 0);
  Mount m(h, host.path() + "/mnt");
  ASSERT_MOUNTED(m);
  const std::string fds = "ls /proc/" + std::to_string(m.pid()) + "/fd | wc -l";
  ASSERT_EQ(sh("ls \"" + m.path() + "/f0\"").status, 0);
  const int before = std::atoi(sh(fds).out.c_str());
  for (int i = 1; i < 30; ++i) ASSERT_EQ(sh("ls \"" + m.path() + "/f" + std::to_string(i) + "\"").status, 0) << i;
  EXPECT_LT(std::atoi(sh(fds).out.c_str()), before + 5) << "listed 29 folders more";
  EXPECT_TRUE(m.unmount()) << m.error();
}

TEST_F(ZrlinkMount, ChmodAndChownThatChangeNothingSucceed) {
  Mount m(h, host.path() + "/mnt");
  ASSERT_MOUNTED(m);
  const std::string mp = m.path();
  EXPECT_EQ(sh("chmod 644 \"" + mp + "/notes.txt\" && chmod 755 \"" + mp + "/docs\"").status, 0);
  EXPECT_EQ(sh("chown \"$(id -u):$(id -g)\" \"" + mp + "/notes.txt\" && chgrp \"$(id -g)\" \"" + mp + "/docs\"").status,
            0);
  EXPECT_NE(sh("chmod 600 \"" + mp + "/notes.txt\"").status, 0);
  EXPECT_NE(sh("chmod 644 \"" + mp + "/docs\"").status, 0);
  EXPECT_NE(sh("chown \"$(( $(id -u) + 1 ))\" \"" + mp + "/notes.txt\"").status, 0);
  // tar -x sets modes, owners and times of what it makes: with those that the folder
  // shows, it succeeds.
  const std::string pack = host.path() + "/pack";
  std::system(("mkdir -p '" + pack + "/album' && chmod 755 '" + pack + "/album'").c_str());
  WriteFile(pack + "/album/song.txt", "la la la\n");
  ASSERT_EQ(sh("chmod 644 \"" + pack + "/album/song.txt\" && tar -c -f \"" + host.path() + "/a.tar\" -C \"" + pack +
               "\" album")
                .status,
            0);
  Shell tar = sh("tar -x -f \"" + host.path() + "/a.tar\" -C \"" + mp + "\"");
  EXPECT_EQ(tar.status, 0) << tar.out;
  EXPECT_EQ(read_file(h.root + "/album/song.txt"), "la la la\n");
  EXPECT_TRUE(m.unmount()) << m.error();
}

}  // namespace
