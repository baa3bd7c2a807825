// Host files by UTF-8 name (the decoder, the wide conversion and the calls on the real file
// system) and the host rename in both of its modes.
#include <errno.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files_support.h"

namespace {

using zrfiles::exists;
using zrfiles::names_in;
using zrfiles::read_file;
using zrfiles::TempDir;
using zrfiles::write_file;

uint32_t decode(const char *bytes) { return zri_utf8_decode(reinterpret_cast<const unsigned char *>(bytes)); }

std::vector<uint16_t> wide(const std::string &name, bool *ok = nullptr) {
  size_t units = 99;
  zr_os_wchar *w = zri_utf8_to_wide(name.c_str(), &units);
  if (ok) *ok = w != nullptr;
  std::vector<uint16_t> out;
  if (w) {
    out.assign(w, w + units);
    EXPECT_EQ(w[units], 0);
    zri_wide_free(w);
  }
  return out;
}

TEST(Utf8Decode, SequencesOfEveryLength) {
  EXPECT_EQ(decode("A"), (1u << 28) | (1u << 24) | 0x41);
  EXPECT_EQ(decode("\xC3\xA9"), (2u << 28) | (2u << 24) | 0xE9);
  EXPECT_EQ(decode("\xE2\x82\xAC"), (3u << 28) | (2u << 24) | 0x20AC);
  EXPECT_EQ(decode("\xF0\x9F\x98\x80"), (4u << 28) | (3u << 24) | 0x1F600);
  // Overlong forms and surrogates are taken as they come.
  EXPECT_EQ(decode("\xC0\x80"), (2u << 28) | (2u << 24) | 0);
  EXPECT_EQ(decode("\xED\xA0\xBD"), (3u << 28) | (2u << 24) | 0xD83D);
  // The largest value a 4-byte lead can carry.
  EXPECT_EQ(decode("\xF7\xBF\xBF\xBF"), (4u << 28) | (3u << 24) | 0x1FFFFF);
}

TEST(Utf8Decode, InvalidSequences) {
  EXPECT_EQ(decode("\x80"), 0u);  // a stray continuation byte
  EXPECT_EQ(decode("\xBF"
                   "A"),
            0u);
  EXPECT_EQ(decode("\xF8\x80\x80\x80\x80"), 0u);  // five leading ones
  EXPECT_EQ(decode("\xFF"), 0u);
  EXPECT_EQ(decode("\xE2\x82"), 0u);  // cut short by the end of the text
  EXPECT_EQ(decode("\xC3"
                   "A"),
            0u);  // a continuation byte missing
  EXPECT_EQ(decode("\xF0\x9F\x98"
                   "A"),
            0u);
}

TEST(Utf8Decode, WholeNamesBecomeUtf16) {
  bool ok = false;
  EXPECT_EQ(wide("\xC3\xA9", &ok), std::vector<uint16_t>{0xE9});
  EXPECT_TRUE(ok);
  EXPECT_EQ(wide("a\xF0\x9F\x98\x80"
                 "b"),
            (std::vector<uint16_t>{'a', 0xD83D, 0xDE00, 'b'}));
  EXPECT_EQ(wide("\xF4\x8F\xBF\xBD"), (std::vector<uint16_t>{0xDBFF, 0xDFFD}));  // the last plane
  // The same character as Java's modified UTF-8 sends it: two 3-byte surrogate sequences.
  EXPECT_EQ(wide("\xED\xA0\xBD\xED\xB8\x80"), (std::vector<uint16_t>{0xD83D, 0xDE00}));
  EXPECT_EQ(wide("x\xC0\x80y"), (std::vector<uint16_t>{'x', 0, 'y'}));
  EXPECT_EQ(wide("", &ok), std::vector<uint16_t>{});
  EXPECT_TRUE(ok);
  for (const char *bad : {"\x80", "ab\xE2\x82", "\xF8", "\xF4\x90\x80\x80" /* above U+10FFFF */}) {
    errno = 0;
    EXPECT_TRUE(wide(bad, &ok).empty());
    EXPECT_FALSE(ok) << bad;
    EXPECT_EQ(errno, EILSEQ);
  }
  EXPECT_EQ(zri_utf8_to_wide(nullptr, nullptr), nullptr);
}

class HostFiles : public ::testing::Test {
 protected:
  TempDir dir;
};

TEST_F(HostFiles, CallsReachTheFileSystemUnderProperUtf8Names) {
  const std::string java = dir / "caf\xC3\xA9 \xED\xA0\xBD\xED\xB8\x80";
  const std::string disk = "caf\xC3\xA9 \xF0\x9F\x98\x80";
  int fd = utf8creat(java.c_str(), 0664);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(utf8write(fd, "hello", 5), 5);
  EXPECT_EQ(utf8write(fd, "", 0), 0) << "writing nothing is no failure";
  EXPECT_EQ(utf8close(fd), 0);
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{disk});

  struct stat st;
  ASSERT_EQ(utf8stat(java.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 5);
  fd = utf8open(java.c_str(), 0x8000);
  ASSERT_GE(fd, 0);
  char buf[16];
  EXPECT_EQ(utf8read(fd, buf, sizeof buf), 5);
  EXPECT_EQ(utf8read(fd, buf, sizeof buf), 0);
  EXPECT_EQ(utf8close(fd), 0);

  fd = utf8open(java.c_str(), 0x8001);  // write-only, keeps the content
  ASSERT_GE(fd, 0);
  EXPECT_EQ(utf8read(fd, buf, sizeof buf), -1);
  EXPECT_EQ(utf8write(fd, "J", 1), 1);
  EXPECT_EQ(utf8close(fd), 0);
  EXPECT_EQ(read_file(dir / disk), "Jello");

  // creat on an existing file empties it.
  fd = utf8creat(java.c_str(), 0664);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(utf8close(fd), 0);
  EXPECT_EQ(read_file(dir / disk), "");

  EXPECT_EQ(utf8rename(java.c_str(), (dir / "plain").c_str()), 0);
  EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"plain"});
  EXPECT_EQ(utf8unlink((dir / "plain").c_str()), 0);
  EXPECT_TRUE(names_in(dir.path()).empty());
  EXPECT_EQ(utf8close(-1), -1);
}

TEST_F(HostFiles, FailuresLeaveTheFileSystemAlone) {
  ASSERT_TRUE(write_file(dir / "a", "A"));
  ASSERT_TRUE(write_file(dir / "b", "B"));
  struct stat st;

  EXPECT_EQ(utf8rename((dir / "a").c_str(), (dir / "b").c_str()), -1);
  EXPECT_EQ(KQ_ZR_errno(), EEXIST);
  EXPECT_EQ(read_file(dir / "b"), "B");
  EXPECT_EQ(utf8open((dir / "none").c_str(), 0x8000), -1);
  EXPECT_EQ(KQ_ZR_errno(), ENOENT);
  EXPECT_EQ(utf8unlink((dir / "none").c_str()), -1);
  EXPECT_EQ(utf8stat((dir / "a?").c_str(), &st), -1);  // wildcards never name one file
  EXPECT_EQ(utf8stat((dir / "*").c_str(), &st), -1);
  EXPECT_EQ(utf8stat("", &st), -1);
  EXPECT_EQ(utf8stat((dir / "a").c_str(), nullptr), -1);
  EXPECT_EQ(utf8open("", 0x8000), -1);

  // Names that do not convert.
  for (const std::string &bad : {dir / "\x80", dir / "x\xE2\x82", dir / "\xF8y"}) {
    EXPECT_EQ(utf8creat(bad.c_str(), 0664), -1);
    EXPECT_EQ(KQ_ZR_errno(), EILSEQ);
    EXPECT_EQ(utf8stat(bad.c_str(), &st), -1);
    EXPECT_EQ(utf8rename((dir / "a").c_str(), bad.c_str()), -1);
  }
  // A lone surrogate has no proper UTF-8 form.
  EXPECT_EQ(utf8creat((dir / "\xED\xA0\xBD").c_str(), 0664), -1);
  EXPECT_EQ(KQ_ZR_errno(), EILSEQ);
  // U+0000 inside a name would cut it short: "a" must not be the file deleted.
  EXPECT_EQ(utf8unlink((dir / "a\xC0\x80.tmp").c_str()), -1);
  EXPECT_EQ(KQ_ZR_errno(), EINVAL);
  EXPECT_EQ(utf8creat((dir / "b\xC0\x80").c_str(), 0664), -1);
  EXPECT_EQ(utf8open(nullptr, 0x8000), -1);
  EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(read_file(dir / "a"), "A");
  EXPECT_EQ(read_file(dir / "b"), "B");
}

TEST_F(HostFiles, ReadOnlyModeMakesAReadOnlyFile) {
  int fd = utf8creat((dir / "ro").c_str(), 0444);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(utf8write(fd, "x", 1), 1);  // the descriptor itself may write
  EXPECT_EQ(utf8close(fd), 0);
  struct stat st;
  ASSERT_EQ(stat((dir / "ro").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
}

// zr_rename changes the current folder for a same-folder rename; each test restores it.
class HostRename : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(getcwd(start, sizeof start), nullptr); }
  void TearDown() override { ASSERT_EQ(chdir(start), 0); }
  std::string cwd() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? buf : "";
  }
  ino_t inode(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  }
  char start[4096];
  TempDir dir;
};

TEST_F(HostRename, SameFolderRenamesInPlaceAndSetsTheFolderBack) {
  ASSERT_EQ(mkdir((dir / "a").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dir / "a/x.txt", "x"));
  ino_t before = inode(dir / "a/x.txt");
  std::string here = cwd();
  EXPECT_EQ(zr_rename((dir / "a/x.txt").c_str(), (dir / "a/y.txt").c_str()), 0);
  EXPECT_EQ(names_in(dir / "a"), std::vector<std::string>{"y.txt"});
  EXPECT_EQ(inode(dir / "a/y.txt"), before);  // renamed, not copied
  EXPECT_EQ(cwd(), here);

  // The folder set back is the one current at this call, not at the first one.
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  EXPECT_EQ(zr_rename("a/y.txt", "a/z.txt"), 0);
  EXPECT_EQ(cwd(), dir.path());
  EXPECT_EQ(names_in(dir / "a"), std::vector<std::string>{"z.txt"});

  // Without a folder part nothing changes folder.
  ASSERT_EQ(chdir((dir / "a").c_str()), 0);
  EXPECT_EQ(zr_rename("z.txt", "w.txt"), 0);
  EXPECT_EQ(cwd(), dir / "a");
  EXPECT_EQ(names_in(dir / "a"), std::vector<std::string>{"w.txt"});

  // Folders are renamed the same way.
  EXPECT_EQ(zr_rename((dir / "a").c_str(), (dir / "b").c_str()), 0);
  EXPECT_TRUE(exists(dir / "b/w.txt"));

  // A folder part of up to 511 bytes (its "/" included) is renamed in; a longer one is
  // refused before anything changes.
  std::string current = cwd();
  for (size_t folder : {511u, 512u}) {
    std::string deep = dir / (folder == 511 ? "p" : "q");
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    while (deep.size() < folder - 1) {
      size_t left = folder - 1 - deep.size();
      size_t segment = std::min<size_t>(200, left - 1);
      if (left - 1 - segment == 1) --segment;
      deep += "/" + std::string(segment, 'd');
      ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    ASSERT_EQ(deep.size() + 1, folder);
    ASSERT_TRUE(write_file(deep + "/o", "o"));
    int r = zr_rename((deep + "/o").c_str(), (deep + "/n").c_str());
    EXPECT_EQ(cwd(), current);
    if (folder == 511) {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(names_in(deep), std::vector<std::string>{"n"});
    } else {
      EXPECT_EQ(r, -1);
      EXPECT_EQ(KQ_ZR_errno(), ENAMETOOLONG);
      EXPECT_EQ(names_in(deep), std::vector<std::string>{"o"});
    }
  }
  // A current folder that was removed cannot be set back: nothing is renamed.
  ASSERT_EQ(mkdir((dir / "gone").c_str(), 0755), 0);
  ASSERT_EQ(chdir((dir / "gone").c_str()), 0);
  ASSERT_EQ(rmdir((dir / "gone").c_str()), 0);
  EXPECT_EQ(zr_rename((dir / "b/w.txt").c_str(), (dir / "b/v.txt").c_str()), -1);
  EXPECT_EQ(KQ_ZR_errno(), ENOENT);
  EXPECT_EQ(names_in(dir / "b"), std::vector<std::string>{"w.txt"});
}

TEST_F(HostRename, SameFolderRenameNeverReplacesAFile) {
  ASSERT_TRUE(write_file(dir / "x", "x"));
  ASSERT_TRUE(write_file(dir / "y", "y"));
  std::string here = cwd();
  EXPECT_EQ(zr_rename((dir / "x").c_str(), (dir / "y").c_str()), -1);
  EXPECT_EQ(KQ_ZR_errno(), EEXIST);
  EXPECT_EQ(cwd(), here);
  EXPECT_EQ(read_file(dir / "x"), "x");
  EXPECT_EQ(read_file(dir / "y"), "y");
  zr_os_set_errno(0);
  EXPECT_EQ(zr_rename(nullptr, "y"), -1);
  EXPECT_EQ(KQ_ZR_errno(), EINVAL);
  zr_os_set_errno(0);
  EXPECT_EQ(zr_rename("x", nullptr), -1);
  EXPECT_EQ(KQ_ZR_errno(), EINVAL);
}

TEST_F(HostRename, OtherFoldersMoveByCopying) {
  ASSERT_EQ(mkdir((dir / "a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "ab").c_str(), 0755), 0);
  std::string content = zrfiles::pattern(512 * 3 + 100);
  ASSERT_TRUE(write_file(dir / "a/x", content));
  ino_t before = inode(dir / "a/x");
  // "a/" and "ab/" differ in length: a move by copy.
  EXPECT_EQ(zr_rename((dir / "a/x").c_str(), (dir / "ab/x").c_str()), 0);
  EXPECT_FALSE(exists(dir / "a/x"));
  EXPECT_EQ(read_file(dir / "ab/x"), content);
  EXPECT_NE(inode(dir / "ab/x"), before);
  // A new file: its owner may write it, anyone read it (as the umask allows).
  const mode_t mask = umask(022);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat((dir / "ab/x").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u & ~mask);
  // An existing target is replaced.
  ASSERT_TRUE(write_file(dir / "a/y", "new"));
  ASSERT_TRUE(write_file(dir / "ab/y", "old old old"));
  EXPECT_EQ(zr_rename((dir / "a/y").c_str(), (dir / "ab/y").c_str()), 0);
  EXPECT_EQ(read_file(dir / "ab/y"), "new");
  // An empty file moves too.
  ASSERT_TRUE(write_file(dir / "a/e", ""));
  EXPECT_EQ(zr_rename((dir / "a/e").c_str(), (dir / "e").c_str()), 0);
  EXPECT_TRUE(exists(dir / "e"));
  EXPECT_TRUE(names_in(dir / "a").empty());
  EXPECT_EQ(names_in(dir / "ab"), (std::vector<std::string>{"x", "y"}));
  // Folders of the same length are other folders all the same.
  ASSERT_EQ(mkdir((dir / "b").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dir / "a/z", "z"));
  EXPECT_EQ(zr_rename((dir / "a/z").c_str(), (dir / "b/z").c_str()), 0);
  EXPECT_EQ(read_file(dir / "b/z"), "z");
  EXPECT_TRUE(names_in(dir / "a").empty());
  // A copy that cannot be written whole (past the file size limit here) leaves the old
  // file as it was, nothing beside the target, and no descriptor open.
  ASSERT_TRUE(write_file(dir / "a/big", content));
  const int lowest = dup(0);
  close(lowest);
  rlimit saved{}, small{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  small = saved;
  small.rlim_cur = 1000;
  void (*handler)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  int r = zr_rename((dir / "a/big").c_str(), (dir / "b/big").c_str());
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, handler);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(read_file(dir / "a/big"), content);
  EXPECT_EQ(names_in(dir / "b"), std::vector<std::string>{"z"});
  const int next = dup(0);
  EXPECT_EQ(next, lowest) << "a descriptor was left open";
  close(next);
}

TEST_F(HostRename, FoldersAndMissingFilesAreRefused) {
  ASSERT_EQ(mkdir((dir / "a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "a/x.txt").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "b").c_str(), 0755), 0);
  EXPECT_EQ(zr_rename((dir / "a/x.txt").c_str(), (dir / "b/x.txt").c_str()), -1);
  EXPECT_EQ(KQ_ZR_errno(), 21);
  EXPECT_EQ(zr_rename((dir / "a/none").c_str(), (dir / "b/none").c_str()), -1);
  EXPECT_EQ(KQ_ZR_errno(), ENOENT);
  EXPECT_EQ(zr_rename((dir / "a/none").c_str(), (dir / "a/other").c_str()), -1);
  EXPECT_EQ(zr_rename(nullptr, "x"), -1);
  EXPECT_TRUE(names_in(dir / "b").empty());
  // A file onto a folder of another folder: refused, both left as they were.
  ASSERT_TRUE(write_file(dir / "a/f", "f"));
  ASSERT_EQ(mkdir((dir / "b/f").c_str(), 0755), 0);
  EXPECT_EQ(zr_rename((dir / "a/f").c_str(), (dir / "b/f").c_str()), -1);
  EXPECT_EQ(KQ_ZR_errno(), EISDIR);
  EXPECT_EQ(read_file(dir / "a/f"), "f");
  EXPECT_TRUE(names_in(dir / "b/f").empty());
  ASSERT_EQ(rmdir((dir / "b/f").c_str()), 0);
  // Into a folder that does not exist: nothing is left anywhere.
  EXPECT_EQ(zr_rename((dir / "a/f").c_str(), (dir / "c/f").c_str()), -1);
  EXPECT_EQ(KQ_ZR_errno(), ENOENT);
  EXPECT_EQ(read_file(dir / "a/f"), "f");
  // Onto a folder.
  EXPECT_EQ(zr_rename((dir / "a/f").c_str(), (dir / "b").c_str()), -1);
  EXPECT_EQ(read_file(dir / "a/f"), "f");
  // A pipe is not copied (its reading would wait for a writer that never comes).
  ASSERT_EQ(mkfifo((dir / "a/pipe").c_str(), 0600), 0);
  EXPECT_EQ(zr_rename((dir / "a/pipe").c_str(), (dir / "b/pipe").c_str()), -1);
  EXPECT_EQ(KQ_ZR_errno(), EINVAL);
  EXPECT_TRUE(names_in(dir / "b").empty());
  // Nor is a pipe written to as a target (its opening would wait for a reader).
  ASSERT_EQ(mkfifo((dir / "b/target").c_str(), 0600), 0);
  EXPECT_EQ(zr_rename((dir / "a/f").c_str(), (dir / "b/target").c_str()), -1);
  EXPECT_EQ(KQ_ZR_errno(), EINVAL);
  EXPECT_EQ(read_file(dir / "a/f"), "f");
  EXPECT_EQ(names_in(dir / "b"), std::vector<std::string>{"target"});
}

TEST_F(HostRename, AMoveNeverLosesData) {
  ASSERT_EQ(mkdir((dir / "a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "b").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(dir / "a/x", "precious"));
  // The same file under another spelling of its folder: nothing to do, nothing lost.
  EXPECT_EQ(zr_rename((dir / "a/x").c_str(), (dir / "a/./x").c_str()), 0);
  EXPECT_EQ(read_file(dir / "a/x"), "precious");
  ASSERT_EQ(link((dir / "a/x").c_str(), (dir / "b/x").c_str()), 0);
  EXPECT_EQ(zr_rename((dir / "a/x").c_str(), (dir / "b/x").c_str()), 0);
  EXPECT_EQ(read_file(dir / "b/x"), "precious");

  // A copy that fails half-way leaves an existing target as it was (this file cannot be
  // read from its start).
  ASSERT_TRUE(write_file(dir / "b/target", "keep me"));
  EXPECT_EQ(zr_rename("/proc/self/mem", (dir / "b/target").c_str()), -1);
  EXPECT_EQ(read_file(dir / "b/target"), "keep me");
  EXPECT_EQ(names_in(dir / "b"), (std::vector<std::string>{"target", "x"}));
}

TEST_F(HostRename, AMoveReplacesOnlyWhatAPlainWriteCould) {
  ASSERT_EQ(mkdir((dir / "a").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "b").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "c").c_str(), 0755), 0);
  // A link as target is written through: the file it leads to gets the content.
  ASSERT_TRUE(write_file(dir / "a/x", "moved"));
  ASSERT_TRUE(write_file(dir / "c/real", "old"));
  ASSERT_EQ(symlink("../c/real", (dir / "b/link").c_str()), 0);
  EXPECT_EQ(zr_rename((dir / "a/x").c_str(), (dir / "b/link").c_str()), 0);
  EXPECT_TRUE(zrfiles::is_symlink(dir / "b/link"));
  EXPECT_EQ(read_file(dir / "c/real"), "moved");
  EXPECT_EQ(names_in(dir / "c"), std::vector<std::string>{"real"});
  EXPECT_FALSE(exists(dir / "a/x"));

  if (geteuid() != 0) GTEST_SKIP() << "only root can act as another user and give files away";
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  for (const char *folder : {"a", "b"}) ASSERT_EQ(zrfiles::give_away(dir / folder, 0755), 0);
  ASSERT_TRUE(write_file(dir / "a/y", "new"));
  ASSERT_EQ(zrfiles::give_away(dir / "a/y", 0644), 0);
  // A target of the caller's own that they may not write, and one of another user, in a
  // folder the caller may write: both refused as a plain write would be.
  ASSERT_TRUE(write_file(dir / "b/readonly", "keep"));
  ASSERT_EQ(zrfiles::give_away(dir / "b/readonly", 0444), 0);
  ASSERT_TRUE(write_file(dir / "b/roots", "keep too"));
  for (const char *target : {"b/readonly", "b/roots"}) {
    EXPECT_EQ(zrfiles::run_as_other_user([&] {
                int r = zr_rename((dir / "a/y").c_str(), (dir / target).c_str());
                return r == 0 ? 0 : -KQ_ZR_errno();
              }),
              -EACCES)
        << target;
  }
  EXPECT_EQ(read_file(dir / "b/readonly"), "keep");
  EXPECT_EQ(read_file(dir / "b/roots"), "keep too");
  EXPECT_EQ(read_file(dir / "a/y"), "new");
  EXPECT_EQ(names_in(dir / "b"), (std::vector<std::string>{"link", "readonly", "roots"}));
  // A target the caller may write in a folder they may not: written in place, and it
  // stays theirs.
  ASSERT_TRUE(write_file(dir / "c/theirs", "old old"));
  ASSERT_EQ(zrfiles::give_away(dir / "c/theirs", 0600), 0);
  EXPECT_EQ(zrfiles::run_as_other_user([&] { return zr_rename((dir / "a/y").c_str(), (dir / "c/theirs").c_str()); }),
            0);
  EXPECT_EQ(read_file(dir / "c/theirs"), "new");
  EXPECT_FALSE(exists(dir / "a/y"));
  EXPECT_EQ(names_in(dir / "c"), (std::vector<std::string>{"real", "theirs"}));
}

// On a file system without the no-replace rename (renameat2 refuses the flag, as on some
// network file systems) the same promises hold: the tests above, run again in a process of
// this suite where renameat2 always fails with EINVAL.
TEST(HostRenameWithoutNoReplace, TheSamePromisesHold) {
  if (std::getenv("ZR_TEST_NO_RENAMEAT2")) GTEST_SKIP() << "the run inside";
  const std::string filter = "--gtest_filter=HostRename.*:HostRenameWithoutNoReplace.Renameat2FailsHere";
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);  // this suite's file, under valgrind too
  // The run inside's environment, made before the fork (the child only calls execve).
  const char *asan = std::getenv("ASAN_OPTIONS");
  std::vector<std::string> env{"ZR_TEST_NO_RENAMEAT2=1", std::string("LD_PRELOAD=") + ZR_NO_RENAMEAT2_PATH,
                               "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0"};
  // Not the shard of a sharded run either: the run inside runs every test of its filter.
  for (char **e = environ; *e; ++e)
    if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0 && std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0 &&
        std::strncmp(*e, "GTEST_", 6) != 0)
      env.push_back(*e);
  std::vector<char *> envp;
  for (auto &e : env) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  char *argv[] = {self, const_cast<char *>(filter.c_str()), const_cast<char *>("--gtest_brief=1"), nullptr};
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execve(self, argv, envp.data());
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

TEST(HostRenameWithoutNoReplace, Renameat2FailsHere) {
  if (!std::getenv("ZR_TEST_NO_RENAMEAT2")) GTEST_SKIP() << "only in the run inside";
  errno = 0;
  EXPECT_EQ(renameat2(AT_FDCWD, "/nothing/a", AT_FDCWD, "/nothing/b", RENAME_NOREPLACE), -1);
  EXPECT_EQ(errno, EINVAL) << "the preloaded renameat2 is not the one called";
}

}  // namespace
