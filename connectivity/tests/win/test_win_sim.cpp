// The file services of the library built for Windows against the Linux handheld simulator
// on a loopback address: a file sent from a wide name, listed, fetched back and deleted.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "files_support.h"
#include "win_support.h"
#include "zr-internal.h"

using zrtest::TempDir;

namespace {

// The simulator that scripts/test-windows.sh starts natively before the tests, on the
// loopback address ZR_WIN_SIM_ADDR serving the folder ZR_WIN_SIM_STORAGE (a Linux path).
// (Wine does not start Linux programs from a Windows process, so the tests cannot.)
class WinSim : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *addr = std::getenv("ZR_WIN_SIM_ADDR");
    const char *storage = std::getenv("ZR_WIN_SIM_STORAGE");
    if (addr == nullptr || storage == nullptr || zr_os_resolve(addr, &addr_) != 0)
      GTEST_SKIP() << "no simulator running (ZR_WIN_SIM_ADDR, ZR_WIN_SIM_STORAGE; "
                      "scripts/test-windows.sh starts one)";
    storage_ = zrwin::win_path(storage);
    ASSERT_EQ(KQ_ZR_1b_init(), 0);
    initialised_ = true;
  }
  void TearDown() override {
    if (initialised_) KQ_ZR_1b_done();
  }
  std::string stored(const std::string &name) const { return storage_ + "\\" + name; }

  uint32_t addr_ = 0;
  bool initialised_ = false;
  std::string storage_;
  TempDir host_;
};

}  // namespace

TEST_F(WinSim, FileTravelsToTheHandheldAndBackByWideName) {
  std::string content;
  for (int i = 0; i < 20000; ++i) content += static_cast<char>('a' + i % 26);
  std::string local = host_.file("\xC3\xA9t\xC3\xA9.bin");  // "été.bin"
  int fd = utf8creat(local.c_str(), 0664);
  ASSERT_GE(fd, 0);
  fd = (utf8close(fd), utf8open(local.c_str(), 0x8001));
  ASSERT_GE(fd, 0);
  ASSERT_EQ(utf8write(fd, content.data(), static_cast<unsigned>(content.size())), static_cast<int>(content.size()));
  utf8close(fd);

  ASSERT_EQ(KQ_ZR_fm_xfer(addr_, ZR_FM_PUT, "/win-copy.bin", local.c_str(), 0, nullptr, 0), 0);
  EXPECT_EQ(zrfiles::read_file(stored("win-copy.bin")), content);

  int h = KQ_ZR_fm_dirinit(addr_, "/");
  ASSERT_GE(h, 0);
  char name[256];
  bool listed = false;
  while (KQ_ZR_fm_direnum(h, name, sizeof name, nullptr) >= 0)
    listed = listed || std::strcmp(name, "win-copy.bin") == 0;
  EXPECT_EQ(KQ_ZR_fm_dirdone(h), 0);
  EXPECT_TRUE(listed);

  std::string back = host_.file("\xE2\x82\xAC-back.bin");  // "€-back.bin"
  ASSERT_EQ(KQ_ZR_fm_xfer(addr_, ZR_FM_GET, "/win-copy.bin", back.c_str(), 0, nullptr, 0), 0);
  EXPECT_EQ(zrfiles::read_file(back), content);

  EXPECT_EQ(KQ_ZR_fm_fileop(addr_, ZR_FM_DEL, "/win-copy.bin", nullptr), 0);
  EXPECT_EQ(GetFileAttributesA(stored("win-copy.bin").c_str()), INVALID_FILE_ATTRIBUTES);
}
