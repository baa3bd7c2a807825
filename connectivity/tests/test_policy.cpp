// The storage policy: the policy file's grammar with every check and its message, and
// the mapping of virtual paths.
#include "test_files.h"
#include "zr-internal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A private folder of the test support, its path at hand as `path`.
struct Folder {
  zrtest::TempDir dir{"zr-policy-test"};
  const std::string path = dir.path();
  // Writes a file into the folder; its path.
  std::string file(const std::string &name, const std::string &text) const {
    std::string p = dir / name;
    zrtest::WriteFile(p, text);
    return p;
  }
};

bool exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The folder-check lines expected for the built-in policy on this machine.
std::string builtin_missing() {
  std::string out;
  for (const char *d : {"/documents", "/tmp"})
    if (!exists(d)) out += std::string("zr-policy.cpp-459: missing directory ``") + d + "'', bugz 15239\r\n";
  return out;
}

struct Policy : ::testing::Test {
  Folder dir;
  int result = 0;
  std::string err;

  void SetUp() override { ASSERT_FALSE(dir.path.empty()); }
  void TearDown() override { zri_set_allocator(nullptr); }

  // Reads a policy file holding `text`; the result and standard error are kept.
  void load(const std::string &text) {
    std::string p = dir.file("policy.dat", text);
    ::testing::internal::CaptureStderr();
    result = KQ_ZR_pol_init(p.c_str());
    err = ::testing::internal::GetCapturedStderr();
  }

  std::string mung(const std::string &path, int flags = 0, int size = 256) {
    std::vector<char> out(static_cast<size_t>(size) + 16, 'Z');
    last_mung = KQ_ZR_pol_mung(out.data(), path.c_str(), size, flags);
    for (size_t i = static_cast<size_t>(size); i < out.size(); ++i)
      EXPECT_EQ(out[i], 'Z') << "written past the buffer for " << path;
    return std::string(out.data(), strnlen(out.data(), static_cast<size_t>(size)));
  }
  int last_mung = 0;

  static void expect_builtin(const zr_pol_root *p) {
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->name, "/orv");
    EXPECT_STREQ(p->base, "/");
    ASSERT_NE(p->dirs, nullptr);
    EXPECT_STREQ(p->dirs->name, "documents");
    EXPECT_STREQ(p->dirs->host, "documents");
    EXPECT_EQ(p->dirs->num1, 0);
    EXPECT_EQ(p->dirs->num2, 6);
    ASSERT_NE(p->dirs->next, nullptr);
    EXPECT_STREQ(p->dirs->next->name, "tmp");
    EXPECT_EQ(p->dirs->next->num2, 6);
    EXPECT_EQ(p->dirs->next->next, nullptr);
  }
};

TEST(PolicyInitial, NothingIsMappedBeforeTheFirstRead) {
  // A process of its own, so that no earlier read can have installed a policy.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        char out[64];
        std::memset(out, 'x', sizeof out);
        int r = KQ_ZR_pol_mung(out, "/orv/documents/a", sizeof out, 0);
        std::exit(r == -1 && out[0] == '\0' && zri_pol_current() == nullptr ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(Policy, MissingFileInstallsTheBuiltInPolicyAndChecksItsFolders) {
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(dir.path.c_str()), 0);  // no "policy.dat" here
  ::testing::internal::CaptureStderr();
  result = KQ_ZR_pol_init(nullptr);
  err = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(chdir(here), 0);
  EXPECT_EQ(result, -1);
  expect_builtin(zri_pol_current());
  EXPECT_EQ(err, builtin_missing());

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(KQ_ZR_pol_init((dir.path + "/nothing-here.dat").c_str()), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), builtin_missing());
}

TEST_F(Policy, DefaultFileIsPolicyDatInTheCurrentFolder) {
  dir.file("policy.dat", "[root]\n\"/vault\" \"" + dir.path + "\"\n");
  char here[4096];
  ASSERT_NE(getcwd(here, sizeof here), nullptr);
  ASSERT_EQ(chdir(dir.path.c_str()), 0);
  ::testing::internal::CaptureStderr();
  result = KQ_ZR_pol_init(nullptr);
  err = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(chdir(here), 0);
  EXPECT_EQ(result, 0);
  EXPECT_STREQ(zri_pol_current()->name, "/vault");
}

TEST_F(Policy, CommentsAndBlankLinesKeepTheBuiltInPolicy) {
  load("# storage policy\n\n   \t\n\t# indented comment\r\n");
  EXPECT_EQ(result, 0);
  expect_builtin(zri_pol_current());
  EXPECT_EQ(err, builtin_missing());
}

TEST_F(Policy, FileDefinesRootAndFoldersInFileOrder) {
  ASSERT_EQ(mkdir((dir.path + "/docs").c_str(), 0700), 0);
  load(
      "# policy\n"
      "[ ROOT ]  trailing words are ignored\n"
      "\t\"/vault\", \"" +
      dir.path +
      "\"\n"
      "[Dirs]\n"
      "\"documents\" \"docs\" 1 -2 and a comment\n"
      "  \"music\",\"m\",030,+4\r\n"
      "\"empty\" \"e\" - 7\n");
  EXPECT_EQ(result, 0) << err;
  const zr_pol_root *p = zri_pol_current();
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->name, "/vault");
  EXPECT_EQ(std::string(p->base), dir.path);
  const zr_pol_dir *d = p->dirs;
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->name, "documents");
  EXPECT_STREQ(d->host, "docs");
  EXPECT_EQ(d->num1, 1);
  EXPECT_EQ(d->num2, -2);
  d = d->next;
  ASSERT_NE(d, nullptr);
  EXPECT_STREQ(d->name, "music");
  EXPECT_EQ(d->num1, 24) << "a leading 0 reads as octal";
  EXPECT_EQ(d->num2, 4);
  d = d->next;
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->num1, 0) << "a lone sign is a number of value 0";
  EXPECT_EQ(d->num2, 7);
  EXPECT_EQ(d->next, nullptr);

  // The folders are checked where the mapping puts them: under the base.
  EXPECT_EQ(err, "zr-policy.cpp-459: missing directory ``" + dir.path +
                     "/m'', bugz 15239\r\n"
                     "zr-policy.cpp-459: missing directory ``" +
                     dir.path + "/e'', bugz 15239\r\n");
  EXPECT_EQ(mung("/vault/documents/a.txt"), dir.path + "/docs/a.txt");
  EXPECT_EQ(last_mung, 0);
  EXPECT_EQ(mung("/orv/documents/a.txt"), "");
  EXPECT_EQ(last_mung, -1) << "the built-in root is replaced";
}

TEST_F(Policy, EveryCheckPrintsItsMessageAndReturnsItsNumber) {
  struct Case {
    std::string text;
    int result;
    std::string message;
  };
  const std::string root = "[root]\n\"/orv\" \"/\"\n";
  const std::vector<Case> cases = {
      {"# x\n[\n", -345, "zr-policy.cpp-345: ln 2, bad token ``''\r\n"},
      {"[music]\n", -357, "zr-policy.cpp-357: ln 1, bad sect ``music''\r\n"},
      {"[ ]\n", -357, "zr-policy.cpp-357: ln 1, bad sect ``''\r\n"},
      {root + "\"/b\" \"/\"\n", -364, "zr-policy.cpp-364: ln 3, bad root ``(already defined)''\r\n"},
      {"[root]\n  /orv \"/\"\n", -372, "zr-policy.cpp-372: ln 2, bad root ``/orv \"/\"''\r\n"},
      {"[root]\n\"/orv\n", -372, "zr-policy.cpp-372: ln 2, bad root ``\"/orv''\r\n"},
      {"[root]\n\"" + std::string(100, 'r') + "\" \"/\"\n", -372,
       "zr-policy.cpp-372: ln 2, bad root ``\"" + std::string(100, 'r') + "\" \"/\"''\r\n"},
      {"[root]\n\"/orv\" /\n", -378, "zr-policy.cpp-378: ln 2, bad root `` /''\r\n"},
      {"[root]\n\"/orv\"\r \"/\"\n", -378, "zr-policy.cpp-378: ln 2, bad root ``''\r\n"},
      {"[Dirs]\n\"documents\" \"documents\" 0 6\n", -386, "zr-policy.cpp-386: ln 2, bad data ``(no root)''\r\n"},
      {root + "[dirs]\ndocs \"d\" 1 2\n", -394, "zr-policy.cpp-394: ln 4, bad data ``docs \"d\" 1 2''\r\n"},
      {root + "[dirs]\n\"docs\" d 1 2\n", -400, "zr-policy.cpp-400: ln 4, bad data `` d 1 2''\r\n"},
      // A number is missing only where the scanner consumes nothing at all (a separator
      // alone is a number of value 0).
      {root + "[dirs]\n\"docs\" \"d\"x 2\n", -406, "zr-policy.cpp-406: ln 4, bad data ``x 2''\r\n"},
      {root + "[dirs]\n\"docs\" \"d\"\n", -406, "zr-policy.cpp-406: ln 4, bad data ``''\r\n"},
      {root + "[dirs]\n\"docs\" \"d\" 1\n", -412, "zr-policy.cpp-412: ln 4, bad data ``''\r\n"},
      {root + "[dirs]\n\"docs\" \"d\" 1x\n", -412, "zr-policy.cpp-412: ln 4, bad data ``x''\r\n"},
      {"\n\"/orv\" \"/\"\n", -425, "zr-policy.cpp-425: ln 2, not in section\r\n"},
  };
  for (const Case &c : cases) {
    load(c.text);
    EXPECT_EQ(result, c.result) << c.text;
    EXPECT_EQ(err, c.message) << c.text;
  }
}

TEST_F(Policy, ARootFromAnEarlierFileDoesNotCount) {
  load("[root]\n\"/orv\" \"/\"\n");
  ASSERT_EQ(result, 0);
  load("[dirs]\n\"docs\" \"d\" 1 2\n");
  EXPECT_EQ(result, -386);
}

TEST_F(Policy, WhatWasReadBeforeAnErrorStaysInForce) {
  load("[root]\n\"/first\" \"/base\"\n[dirs]\n\"a\" \"ha\" 1 2\n[root]\n\"/second\" \"/\"\n");
  EXPECT_EQ(result, -364);
  const zr_pol_root *p = zri_pol_current();
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->name, "/first");
  ASSERT_NE(p->dirs, nullptr);
  EXPECT_STREQ(p->dirs->host, "ha");
  EXPECT_EQ(p->dirs->next, nullptr);
  EXPECT_EQ(err.find("missing directory"), std::string::npos) << "no folder check after an error";

  load("[root]\n\"/third\" \"/\"\n[dirs]\n\"a\" \"ha\" 1 2\n\"b\" \"hb\" 3\n");
  EXPECT_EQ(result, -412);
  p = zri_pol_current();
  EXPECT_STREQ(p->name, "/third");
  ASSERT_NE(p->dirs, nullptr);
  EXPECT_EQ(p->dirs->next, nullptr);
}

TEST_F(Policy, LongLinesAreHandledInPiecesOfAtMost199Characters) {
  // A 250-character comment: its first 199 characters are the comment, the rest is a
  // line of its own, outside any section.
  load("#" + std::string(249, 'c') + "\n");
  EXPECT_EQ(result, -425);
  EXPECT_EQ(err, "zr-policy.cpp-425: ln 2, not in section\r\n");

  // A message holds a whole 199-character text from the file.
  std::string bad = std::string(199, 'q');
  load("[root]\n" + bad + "\n");
  EXPECT_EQ(result, -372);
  EXPECT_EQ(err, "zr-policy.cpp-372: ln 2, bad root ``" + bad + "''\r\n");
}

TEST_F(Policy, RecordsThatCannotBeAllocatedGiveTheirChecksQuietly) {
  zri_set_allocator([](size_t) -> void * { return nullptr; });
  load("[root]\n\"/orv\" \"/\"\n");
  zri_set_allocator(nullptr);
  EXPECT_EQ(result, -368);
  EXPECT_EQ(err.find("zr-policy.cpp"), std::string::npos) << err;
  expect_builtin(zri_pol_current());

  // The root and its texts are allocated, then the folder record fails.
  static int allocations;
  allocations = 0;
  zri_set_allocator([](size_t n) -> void * { return ++allocations <= 3 ? std::malloc(n) : nullptr; });
  load("[root]\n\"/orv\" \"/data\"\n[dirs]\n\"a\" \"b\" 1 2\n");
  zri_set_allocator(nullptr);
  EXPECT_EQ(result, -390);
  EXPECT_STREQ(zri_pol_current()->base, "/data");
  EXPECT_EQ(zri_pol_current()->dirs, nullptr);
}

TEST_F(Policy, BuiltInMapping) {
  load("");
  ASSERT_EQ(result, 0);
  EXPECT_EQ(mung("/orv/documents/a/b.txt"), "/documents/a/b.txt");
  EXPECT_EQ(last_mung, 0);
  EXPECT_EQ(mung("/orv/tmp/x"), "/tmp/x");
  EXPECT_EQ(last_mung, 0);
  EXPECT_EQ(mung("/orv/documents/"), "/documents");
  EXPECT_EQ(last_mung, 0);
  EXPECT_EQ(mung("/orv/documents"), "/documents");
  EXPECT_EQ(last_mung, 0);
  EXPECT_EQ(mung("/orv/documents/a/"), "/documents/a");
  EXPECT_EQ(mung("/orv/documents/a//"), "/documents/a/") << "only one final / is dropped";
  EXPECT_EQ(last_mung, 0);
  EXPECT_EQ(mung("/orv/documents/.hidden/..x/..."), "/documents/.hidden/..x/...");
  EXPECT_EQ(last_mung, 0);

  EXPECT_EQ(mung("-"), "");
  EXPECT_EQ(last_mung, 1);
  EXPECT_EQ(mung("/"), "/orv");
  EXPECT_EQ(last_mung, 2);
  EXPECT_EQ(mung("/", 0, 3), "/o") << "cut to the buffer";
  EXPECT_EQ(last_mung, 2);

  char out[32];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(KQ_ZR_pol_mung(out, "/orv", sizeof out, 0), 3);
  zr_pol_dir *first = nullptr;
  std::memcpy(&first, out, sizeof first);
  EXPECT_EQ(first, zri_pol_current()->dirs);
  EXPECT_EQ(out[sizeof first], '\0') << "the rest of the buffer is cleared";
  // A buffer too small for the pointer is refused rather than overrun.
  EXPECT_EQ(KQ_ZR_pol_mung(out, "/orv", 4, 0), -3);
}

TEST_F(Policy, PathsThatLeaveTheMappedFoldersAreRefused) {
  load("");
  ASSERT_EQ(result, 0);
  const std::vector<std::pair<std::string, int>> cases = {
      {"/orv/music/x", -2},
      {"/orv/", -2},
      {"/orv/documentsx/a", -2},
      {"/orv/doc/a", -2},
      {"/orvx/documents/a", -1},
      {"orv/documents/a", -1},
      {"/other", -1},
      {"", -1},
      {"/orv/documents/../x", -4},
      {"/orv/documents/a/..", -4},
      {"/orv/documents/./x", -4},
      {"/orv/documents/a/.", -4},
      {"/orv/documents/a//b", -4},
      {"/orv/documents//", 0},  // one final / goes, "/" stays
      {"/orv/documents/a\\b", -5},
      {"/orv/documents/..\\x", -5},
  };
  for (const auto &c : cases) {
    std::string got = mung(c.first);
    EXPECT_EQ(last_mung, c.second) << c.first;
    if (c.second < 0) {
      EXPECT_EQ(got, "") << c.first;
    }
  }
}

TEST_F(Policy, InsideFlagRefusesTheTreeAboveTheFiles) {
  load("");
  ASSERT_EQ(result, 0);
  EXPECT_EQ(mung("/", 0x8), "");
  EXPECT_EQ(last_mung, -6);
  EXPECT_EQ(mung("/orv", 0x8), "");
  EXPECT_EQ(last_mung, -6);
  EXPECT_EQ(mung("/orv/documents/", 0x8), "/documents") << "the part written so far";
  EXPECT_EQ(last_mung, -6);
  EXPECT_EQ(mung("/orv/documents", 0x8), "/documents");
  EXPECT_EQ(last_mung, -6);
  EXPECT_EQ(mung("/orv/documents/f", 0x8 | 0x1), "/documents/f");
  EXPECT_EQ(last_mung, 0);
  EXPECT_EQ(mung("-", 0x8), "");
  EXPECT_EQ(last_mung, 1);
}

TEST_F(Policy, BufferSizesAreRespected) {
  load("");
  ASSERT_EQ(result, 0);
  // rest 4 + host 9 + base 1 + 2 = 16 reaches 12.
  EXPECT_EQ(mung("/orv/documents/abc", 0, 12), "");
  EXPECT_EQ(last_mung, -3);
  EXPECT_EQ(mung("/orv/documents/abc", 0, 16), "");
  EXPECT_EQ(last_mung, -3);
  EXPECT_EQ(mung("/orv/documents/abc", 0, 17), "/documents/abc");
  EXPECT_EQ(last_mung, 0);
  // Not larger than the base: nothing at all.
  EXPECT_EQ(mung("-", 0, 1), "");
  EXPECT_EQ(last_mung, -1);
  EXPECT_EQ(KQ_ZR_pol_mung(nullptr, "/orv/documents/a", 64, 0), -1);
  char out[8];
  EXPECT_EQ(KQ_ZR_pol_mung(out, nullptr, sizeof out, 0), -1);
}

TEST_F(Policy, PathCheck) {
  for (const char *ok : {"", "/", "/a", "/a/", "/a/b", "/.x", "/..x", "/...", "/a.", "/a..", "a/b"})
    EXPECT_TRUE(zri_pol_path_ok(ok)) << ok;
  for (const char *bad : {"//", "/.", "/..", "/./", "/../", "/a/.", "/a/..", "/a//b", "/a/./b", "/a/../b"})
    EXPECT_FALSE(zri_pol_path_ok(bad)) << bad;
}

}  // namespace
