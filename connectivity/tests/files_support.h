// files_support.h -- what the file-service tests share: private temporary folders, host
// files with known content, and a simulator serving a storage folder of its own.
#ifndef ZR_TEST_FILES_SUPPORT_H
#define ZR_TEST_FILES_SUPPORT_H

#include <dirent.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "sim_process.h"
#include "zr-internal.h"

namespace zrfiles {

// A private folder, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zr-files-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path_ = buf.data();
  }
  ~TempDir() {
    if (path_.empty()) return;
    nftw(path_.c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

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

inline bool write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out);
}

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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

// Starts and ends the link library around each test, with short library-wide waits (the
// file services raise them to their own minimum).
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(KQ_ZR_1b_init(), 0);
    zr_tune t{2000, 2000};
    KQ_ZR_sl_tune(2, &t);
  }
  void TearDown() override {
    KQ_ZR_1b_done();
    zr_tune t{0, 0};
    KQ_ZR_sl_tune(2, &t);
  }
};

}  // namespace zrfiles

#endif
