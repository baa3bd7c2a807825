// File operations on the handheld (delete, move, copy, create and remove a folder) against
// the simulator's storage folder, with the statuses each refusal brings.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>  // unlink (also in the Windows runtime)

#include <string>
#include <vector>

#include "files_support.h"

namespace {

using zrfiles::exists;
using zrfiles::read_file;
using zrfiles::StoredSim;
using zrfiles::write_file;
using zrtest::SimProcess;

class FileOps : public zrfiles::LibraryTest {};

// Fills the stack below the caller with a pattern, so that a record the library forgets to
// set up holds garbage rather than the zeros of a stack that was never used: 16-bit
// numbers below 1000 that fall by one from each to the next, so that a reader's count and
// position (neighbours) claim one unread byte.
[[gnu::noinline]] void dirty_stack() {
  volatile uint16_t junk[16384];
  for (size_t i = 0; i < sizeof junk / sizeof junk[0]; ++i) junk[i] = static_cast<uint16_t>(999 - i % 1000);
}

TEST_F(FileOps, DeleteRemovesFilesAndRefusesTheRest) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(sim / "old file.txt", "x"));
  ASSERT_EQ(zrfiles::make_dir(sim / "folder", 0755), 0);
  dirty_stack();
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_DEL, "old file.txt", nullptr), 0);
  EXPECT_FALSE(exists(sim / "old file.txt"));
  dirty_stack();
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_DEL, "old file.txt", nullptr), -1022);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_DEL, "folder", nullptr), -1034);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_DEL, "/", nullptr), -1001);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_DEL, "../../etc/passwd", nullptr), -1022);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_DEL, "bad:name", nullptr), -1022);
  EXPECT_TRUE(exists(sim / "folder"));
  EXPECT_EQ(sim.sim->requests().front(), "fdel old\\ file.txt\n");
}

TEST_F(FileOps, FoldersAreCreatedAndRemovedOnlyWhenEmpty) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MKDIR, "new dir", nullptr), 0);
  EXPECT_TRUE(exists(sim / "new dir"));
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MKDIR, "new dir", nullptr), -1035);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MKDIR, "/", nullptr), -1035);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MKDIR, "no/such/parent", nullptr), -1022);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MKDIR, std::string(256, 'd').c_str(), nullptr), -1036);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MKDIR, std::string(255, 'd').c_str(), nullptr), 0);

  ASSERT_TRUE(write_file(sim / "new dir/inside", "i"));
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_RMDIR, "new dir", nullptr), -1034);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_RMDIR, "new dir/inside", nullptr), -1034);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_RMDIR, "missing", nullptr), -1022);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_RMDIR, "/", nullptr), -1001);
  ASSERT_EQ(unlink((sim / "new dir/inside").c_str()), 0);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_RMDIR, "new dir", nullptr), 0);
  EXPECT_FALSE(exists(sim / "new dir"));
}

TEST_F(FileOps, CopyAndMoveNeverReplaceATarget) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  std::string content = zrfiles::pattern(100000);
  ASSERT_TRUE(write_file(sim / "a b", content));
  ASSERT_TRUE(write_file(sim / "taken", "keep"));
  ASSERT_EQ(zrfiles::make_dir(sim / "d", 0755), 0);

  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_COPY, "a b", "d/copy of a b"), 0);
  EXPECT_EQ(read_file(sim / "d/copy of a b"), content);
  EXPECT_EQ(read_file(sim / "a b"), content);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_COPY, "a b", "taken"), -1035);
  EXPECT_EQ(read_file(sim / "taken"), "keep");
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_COPY, "d", "d2"), -1034);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_COPY, "none", "x"), -1022);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_COPY, "a b", "no/parent"), -1022);

  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MOVE, "a b", "d/moved"), 0);
  EXPECT_FALSE(exists(sim / "a b"));
  EXPECT_EQ(read_file(sim / "d/moved"), content);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MOVE, "d/moved", "taken"), -1035);
  EXPECT_EQ(read_file(sim / "taken"), "keep");
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MOVE, "d", "d/inner"), -1034);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MOVE, "/", "top"), -1001);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MOVE, "d", "e"), 0);
  EXPECT_TRUE(exists(sim / "e/moved"));

  std::vector<std::string> r = sim.sim->requests();
  ASSERT_FALSE(r.empty());
  EXPECT_EQ(r[0], "copy a\\ b d/copy\\ of\\ a\\ b\n");
  // Nothing was left behind in the storage but what the operations made.
  EXPECT_EQ(zrfiles::names_in(sim.storage.path()), (std::vector<std::string>{"e", "taken"}));
  EXPECT_EQ(zrfiles::names_in(sim / "e"), (std::vector<std::string>{"copy of a b", "moved"}));
}

TEST_F(FileOps, TheStorageCannotBeLeftThroughLinks) {
  if (!zrfiles::kSymlinks)
    GTEST_SKIP() << "Wine makes no symbolic links for Windows programs (CreateSymbolicLinkW is a stub)";
  StoredSim sim;
  zrfiles::TempDir outside;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(outside / "secret", "s"));
  ASSERT_EQ(zrfiles::make_symlink(outside.path(), sim / "way out"), 0);
  ASSERT_EQ(zrfiles::make_symlink(outside / "secret", sim / "secret link"), 0);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_DEL, "way out/secret", nullptr), -1001);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_DEL, "secret link", nullptr), -1001);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_COPY, "secret link", "copy"), -1001);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MKDIR, "way out/new", nullptr), -1001);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MOVE, "a/../../x", "y"), -1022);
  EXPECT_EQ(read_file(outside / "secret"), "s");
  EXPECT_EQ(zrfiles::names_in(outside.path()), std::vector<std::string>{"secret"});
}

TEST_F(FileOps, CodesAndLengthsAreCheckedBeforeConnecting) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), 20, "a", nullptr), ZR_E_OPERATION);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), 26, "a", "b"), ZR_E_OPERATION);
  // The length check comes before the code check.
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), 20, std::string(1526, 'p').c_str(), nullptr), ZR_E_COMMAND);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_DEL, std::string(763, ' ').c_str(), nullptr), ZR_E_COMMAND);
  std::string half(763, 'h');
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MOVE, half.c_str(), half.c_str()), ZR_E_COMMAND);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_COPY, half.c_str(), std::string(762, 'h').c_str()), -1036);
  // The second path only counts for move and copy.
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MKDIR, "m", std::string(2000, 'x').c_str()), 0);
  // Line breaks in either path would smuggle in a second command.
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_DEL, "x\nrmdir m", nullptr), ZR_E_COMMAND);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MOVE, "m", "n\rfdel x"), ZR_E_COMMAND);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_COPY, nullptr, "b"), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_COPY, "a", nullptr), ZR_E_HANDLE);
  EXPECT_EQ(sim.sim->requests().size(), 2u);
  EXPECT_TRUE(exists(sim / "m"));
}

TEST_F(FileOps, StatusLinesOfTheHandheld) {
  struct Case {
    std::string reply;
    int result;
  } cases[] = {
      {"0\n", 0},
      {"1022\n", -1022},
      {"-3\n", ZR_E_STATUS},
      {"done\n", ZR_E_STATUS},
      {"", ZR_E_END},
      {"0", ZR_E_END},
      {"012\n", -10},
      // Only the first 9 characters are read: "000000000" is 0.
      {"0000000001\n", 0},
  };
  for (const Case &c : cases) {
    SimProcess sim({"--reply", c.reply});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_RMDIR, "x", nullptr), c.result) << c.reply;
  }
  EXPECT_EQ(KQ_ZR_fm_fileop(zrtest::fresh_loopback(), ZR_FM_RMDIR, "x", nullptr), ZR_E_CONNECT);
}

TEST_F(FileOps, WithoutStorageEveryServiceIsRefused) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok());
  zr_attr a;
  EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MKDIR, "x", nullptr), -1001);
  EXPECT_EQ(KQ_ZR_fm_dirinit(sim.addr(), "/"), -1001);
  EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), "/", &a), -1001);
}

}  // namespace
