// Faults that the fuzz targets, the allocation-failure runs and the fault matrix found in
// the link library, one regression test each.  (The allocation-failure cases themselves
// live in test_alloc_failures.cpp, the inputs the fuzzers found in connectivity/fuzz/corpus.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "files_support.h"

namespace {

using zrfiles::read_file;
using zrfiles::StoredSim;
using zrfiles::TempDir;
using zrfiles::write_file;

// A quoted text was reported as read (the count consumed) into a buffer without room for
// even its terminator, which was left unterminated.
TEST(FoundFaults, QuotedTextNeedsRoomForItsTerminator) {
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(zr_p_str(buf, "\"\"", 0), 0);
  EXPECT_EQ(zr_p_str(buf, " \"ab\"", -13), 0);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(zr_p_str(buf, "\"\"", 1), 2);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(zr_p_str(buf, "\"abc\"", 4), 5);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(zr_p_str(buf, "\"abcd\"", 4), 0);
}

class FoundFaultsFetch : public zrfiles::LibraryTest {};

// A fetch whose reply line the handheld broke off (it closed before the line feed) was
// taken as a whole reply: "- 0" and a close read as status 0 and size 0, and the host file
// was replaced by an empty one with success reported.
TEST_F(FoundFaultsFetch, AReplyLineBrokenOffIsNoReply) {
  TempDir host;
  const std::string before = "kept as it was";
  for (const char *reply : {"- 0H", "0 0", "0 12"}) {
    StoredSim sim({"--reply", reply});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(sim / "f", "twelve bytes"));
    ASSERT_TRUE(write_file(host / "got", before));
    EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, "f", (host / "got").c_str(), 0, nullptr, 0), ZR_E_SHORT)
        << reply;
    EXPECT_EQ(read_file(host / "got"), before) << reply;
    EXPECT_EQ(zrfiles::names_in(host.path()), std::vector<std::string>{"got"}) << reply;
  }
  // The same reply with its line feed is a whole one.
  StoredSim sim({"--reply", "0 0\\n"});
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(sim / "f", ""));
  EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, "f", (host / "got").c_str(), 0, nullptr, 0), 0);
  EXPECT_EQ(read_file(host / "got"), "");
}

// A send's first reply longer than the buffer was parsed from its first part, and the
// rest of that line then read as the final status: a line of spaces reads as status 0, so
// the final status 5 that followed was never seen and success was reported.
TEST_F(FoundFaultsFetch, AFirstReplyLongerThanTheBufferIsNoReply) {
  TempDir host;
  ASSERT_TRUE(write_file(host / "src", "content"));
  const std::string overlong = "0" + std::string(1600, ' ') + "\\n5\\n";
  {
    StoredSim sim({"--reply", overlong});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_PUT, "dst", (host / "src").c_str(), 0, nullptr, 0), ZR_E_STATUS);
  }
  {
    StoredSim sim({"--reply", "0" + std::string(1600, ' ') + " 7\\ncontent"});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(sim / "f", "content"));
    ASSERT_TRUE(write_file(host / "got", "before"));
    EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, "f", (host / "got").c_str(), 0, nullptr, 0), ZR_E_STATUS);
    EXPECT_EQ(read_file(host / "got"), "before");
  }
}

}  // namespace
