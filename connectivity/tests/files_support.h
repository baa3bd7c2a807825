// files_support.h -- what the file-service tests share: private temporary folders, host
// files with known content, and a simulator serving a storage folder of its own.
#ifndef ZR_TEST_FILES_SUPPORT_H
#define ZR_TEST_FILES_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#if !defined(_WIN32)
#include <dirent.h>
#include <ftw.h>
#include <grp.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "sim_process.h"
#include "test_files.h"
#include "zr-internal.h"

namespace zrfiles {

// A private folder, removed with everything in it at the end of the test.  In the Windows
// build it is in the Linux file system's temporary folder on drive Z:, so that the simulator,
// a Linux program, reaches it too (SimProcess passes such paths on as Linux paths).
using zrtest::TempDir;

#if defined(_WIN32)
// The Windows build (win/files_support_win.cpp): names are UTF-8 and reach the system through
// its wide-name calls.
bool write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
bool exists(const std::string &path);
std::vector<std::string> names_in(const std::string &folder);
// A folder; Windows keeps no permission bits (mode is ignored).  0 or -1.
int make_dir(const std::string &path, int mode);
// The time of the last change in nanoseconds (at 100 ns steps), or -1.
int64_t mtime_ns(const std::string &path);
// What tells one file from another on its volume (the file index), or 0.
uint64_t file_id(const std::string &path);

// What the platform's file system offers the tests: POSIX permission bits, named pipes and
// symbolic links.  Wine's Windows programs have none of them: a file is read-only or not, and
// CreateSymbolicLinkW reports success but makes no link.
constexpr bool kPosixModes = false;
constexpr bool kFifos = false;
constexpr bool kSymlinks = false;
inline int make_fifo(const std::string &) { return -1; }
inline int make_symlink(const std::string &, const std::string &) { return -1; }
inline bool is_symlink(const std::string &) { return false; }
#else
constexpr bool kPosixModes = true;
constexpr bool kFifos = true;
constexpr bool kSymlinks = true;

// Whole files, through the one reader and writer of the test support; false / empty when
// the file cannot be written / read.
inline bool write_file(const std::string &path, const std::string &content) {
  try {
    zrtest::WriteFile(path, content);
    return true;
  } catch (const std::exception &) {
    return false;
  }
}

inline std::string read_file(const std::string &path) { return zrtest::ReadFile(path).value_or(""); }

inline bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The names in a folder, "." and ".." left out, sorted.
inline std::vector<std::string> names_in(const std::string &folder) {
  std::vector<std::string> names;
  if (DIR *d = opendir(folder.c_str())) {
    while (dirent *e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline int make_dir(const std::string &path, int mode) { return mkdir(path.c_str(), static_cast<mode_t>(mode)); }

inline int64_t mtime_ns(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// The inode number (the file on its device), or 0.
inline uint64_t file_id(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

inline int make_fifo(const std::string &path) { return mkfifo(path.c_str(), 0600); }
inline int make_symlink(const std::string &target, const std::string &link) {
  return symlink(target.c_str(), link.c_str());
}
inline bool is_symlink(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Another user of the machine, for tests of files that the caller may or may not write.
constexpr uid_t kOtherUser = 65534;
constexpr gid_t kOtherGroup = 65534;

// Runs fn in a child process as user kOtherUser (group kOtherGroup, no other groups) and
// returns what it returned; -99999 when the child could not become that user or died.
// Only root can do it: tests skip elsewhere.
inline int run_as_other_user(const std::function<int()> &fn) {
  int fds[2];
  if (pipe(fds) != 0) return -99999;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    int r = -99999;
    if (setgroups(0, nullptr) == 0 && setresgid(kOtherGroup, kOtherGroup, kOtherGroup) == 0 &&
        setresuid(kOtherUser, kOtherUser, kOtherUser) == 0)
      r = fn();
    (void)!write(fds[1], &r, sizeof r);
    _exit(0);
  }
  close(fds[1]);
  int r = -99999;
  if (pid < 0 || read(fds[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) r = -99999;
  close(fds[0]);
  if (pid > 0) waitpid(pid, nullptr, 0);
  return r;
}

// Hands a file or folder to kOtherUser with the given permission bits.  0 or -1.
inline int give_away(const std::string &path, int mode) {
  return lchown(path.c_str(), kOtherUser, kOtherGroup) == 0 && chmod(path.c_str(), static_cast<mode_t>(mode)) == 0 ? 0
                                                                                                                   : -1;
}

#endif

// Bytes that differ from block to block, so that a misplaced block shows.
inline std::string pattern(size_t size, unsigned seed = 1) {
  std::string s(size, '\0');
  uint32_t x = 2463534242u ^ seed;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

// A handheld simulator whose storage is a private folder; more switches may follow.
struct StoredSim {
  TempDir storage;
  std::unique_ptr<zrtest::SimProcess> sim;
  explicit StoredSim(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--storage", storage.path()});
    sim.reset(new zrtest::SimProcess(args));
  }
  bool ok() const { return sim->ok() && !storage.path().empty(); }
  uint32_t addr() const { return sim->addr(); }
  std::string operator/(const std::string &name) const { return storage / name; }
};

#if !defined(_WIN32)
// How many descriptors this process has open.
inline int open_descriptors() {
  int n = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}
#endif

// Starts and ends the link library around each test, with short library-wide waits (the
// file services raise them to their own minimum).  Each test ends with as many descriptors
// open as it began with: every call let its connection and its host file go.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(KQ_ZR_1b_init(), 0);
    zr_tune t{2000, 2000};
    KQ_ZR_sl_tune(2, &t);
#if !defined(_WIN32)
    descriptors_ = open_descriptors();
#endif
  }
  void TearDown() override {
#if !defined(_WIN32)
    EXPECT_EQ(open_descriptors(), descriptors_) << "a connection or a host file was left open";
#endif
    KQ_ZR_1b_done();
    zr_tune t{0, 0};
    KQ_ZR_sl_tune(2, &t);
  }
  int descriptors_ = 0;
};

}  // namespace zrfiles

#endif
