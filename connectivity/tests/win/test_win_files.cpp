// The host-file calls on Windows: UTF-8 names reach the runtime's wide-name calls
// (_wsopen, _wstat, _wrename, _wunlink, _wchdir) intact, the open flags keep the runtime's
// values (0x8000, 0x8001, 0x0302: text mode where no binary flag is given), and file
// identity is told apart although the runtime's status record has none.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "test_files.h"
#include "win_support.h"
#include "zr-internal.h"

using zrtest::TempDir;

namespace {

// "Ünïcødé €" and a character outside the basic plane (a surrogate pair in UTF-16).
const std::string kName =
    "\xC3\x9Cn\xC3\xAF"
    "c\xC3\xB8"
    "d\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80.txt";
const wchar_t kWide[] = L"\u00DCn\u00EFc\u00F8d\u00E9 \u20AC \xD83D\xDE00.txt";

std::string read_all(const std::string &name) {
  int fd = utf8open(name.c_str(), 0x8000);
  if (fd < 0) return "<cannot open>";
  std::string out;
  char buf[256];
  int n;
  while ((n = utf8read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  utf8close(fd);
  return out;
}

}  // namespace

TEST(WinHostFiles, WideNamesReachTheFileSystemIntact) {
  TempDir dir;
  std::string name = dir.file(kName);
  int fd = utf8creat(name.c_str(), 0664);
  ASSERT_GE(fd, 0) << errno;
  EXPECT_EQ(utf8close(fd), 0);
  // The file has the name as Windows spells it in UTF-16.
  EXPECT_NE(GetFileAttributesW(dir.wfile(kWide).c_str()), INVALID_FILE_ATTRIBUTES);

  fd = utf8open(name.c_str(), 0x8001);  // write-only, binary
  ASSERT_GE(fd, 0);
  EXPECT_EQ(utf8write(fd, "a\nb", 3), 3);
  EXPECT_EQ(utf8close(fd), 0);
  struct stat st;
  ASSERT_EQ(utf8stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 3);  // binary: no line-end translation
  EXPECT_EQ(read_all(name), "a\nb");

  std::string moved = dir.file("\xE2\x82\xAC-moved.txt");
  EXPECT_EQ(utf8rename(name.c_str(), moved.c_str()), 0);
  EXPECT_EQ(GetFileAttributesW(dir.wfile(kWide).c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(read_all(moved), "a\nb");
  EXPECT_EQ(utf8unlink(moved.c_str()), 0);
  EXPECT_EQ(utf8stat(moved.c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(WinHostFiles, CreatedFilesAreInTextModeAndFollowTheOwnerWriteBit) {
  TempDir dir;
  std::string name = dir.file("text.txt");
  int fd = utf8creat(name.c_str(), 0664);  // 0x0302: no binary flag
  ASSERT_GE(fd, 0);
  EXPECT_EQ(utf8write(fd, "a\n", 2), 2);
  EXPECT_EQ(utf8close(fd), 0);
  struct stat st;
  ASSERT_EQ(utf8stat(name.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 3);  // the runtime wrote "a\r\n"

  // Without the owner-write bit the new file is read-only.
  std::string ro = dir.file("read-only.txt");
  fd = utf8creat(ro.c_str(), 0444);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(utf8close(fd), 0);
  // (The attribute, not a refused open: under Wine a process of root may write anyway.)
  DWORD attributes = GetFileAttributesA(ro.c_str());
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_READONLY, 0u);
  EXPECT_EQ(GetFileAttributesA(name.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST(WinHostFiles, RenameNeverReplacesButTheSeamCanInOneStep) {
  TempDir dir;
  std::string a = dir.file("a.txt"), b = dir.file("b.txt");
  for (const std::string &n : {a, b}) {
    int fd = utf8creat(n.c_str(), 0664);
    ASSERT_GE(fd, 0);
    utf8write(fd, n.c_str(), static_cast<unsigned>(n.size()));
    utf8close(fd);
  }
  EXPECT_EQ(utf8rename(a.c_str(), b.c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(read_all(b), b);

  size_t units = 0;
  zr_os_wchar *wa = zri_utf8_to_wide(a.c_str(), &units);
  zr_os_wchar *wb = zri_utf8_to_wide(b.c_str(), &units);
  ASSERT_NE(wa, nullptr);
  ASSERT_NE(wb, nullptr);
  EXPECT_EQ(zr_os_wrename(wa, wb, 1), 0);
  EXPECT_EQ(read_all(b), a);
  zri_wide_free(wa);
  zri_wide_free(wb);
}

TEST(WinHostFiles, FileIdentityTellsTwoFilesApart) {
  TempDir dir;
  std::string a = dir.file("one.txt"), b = dir.file("two.txt");
  for (const std::string &n : {a, b}) {
    int fd = utf8creat(n.c_str(), 0664);
    ASSERT_GE(fd, 0);
    utf8close(fd);
  }
  size_t units = 0;
  zr_os_wchar *wa = zri_utf8_to_wide(a.c_str(), &units);
  zr_os_wchar *wb = zri_utf8_to_wide(b.c_str(), &units);
  std::string other = dir.path() + "\\.\\one.txt";
  zr_os_wchar *wa2 = zri_utf8_to_wide(other.c_str(), &units);
  struct stat sa, sb, sa2;
  ASSERT_EQ(zr_os_wstat(wa, &sa), 0);
  ASSERT_EQ(zr_os_wstat(wb, &sb), 0);
  ASSERT_EQ(zr_os_wstat(wa2, &sa2), 0);
  // The runtime's own record would make any two files of a drive look alike.
  EXPECT_EQ(zr_os_same_file(&sa, &sb), 0);
  EXPECT_EQ(zr_os_same_file(&sa, &sa2), 1);
  EXPECT_EQ(zr_os_stat_kind(&sa), 1);
  zri_wide_free(wa);
  zri_wide_free(wb);
  zri_wide_free(wa2);
}

TEST(WinHostFiles, CurrentFolderByUtf8Name) {
  TempDir dir;
  std::string sub = dir.file("\xC3\xA9t\xC3\xA9");  // "été"
  ASSERT_TRUE(CreateDirectoryW((dir.wfile(L"\u00E9t\u00E9")).c_str(), nullptr));
  char saved[1024];
  ASSERT_EQ(zr_os_getcwd(saved, sizeof saved), 0);
  ASSERT_EQ(zr_os_chdir(sub.c_str()), 0);
  char now[1024];
  ASSERT_EQ(zr_os_getcwd(now, sizeof now), 0);
  EXPECT_EQ(std::string(now), sub);
  char tiny[4];
  EXPECT_EQ(zr_os_getcwd(tiny, sizeof tiny), -1);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(zr_os_chdir(saved), 0);
  EXPECT_EQ(zr_os_path_kind(sub.c_str()), 2);
  EXPECT_EQ(zr_os_path_kind(dir.file("none").c_str()), 0);
}

// Every block the backend needs for a call comes through the library's allocation gate, so
// that a test can make each one fail: the folder names of the current-folder calls too.
TEST(WinHostFiles, FolderNamesAreAllocatedThroughTheGate) {
  static int asked = 0;
  static bool refuse = false;
  zri_set_alloc_gate([](const char *, size_t) -> int {
    ++asked;
    return refuse ? 1 : 0;
  });
  char now[1024];
  EXPECT_EQ(zr_os_getcwd(now, sizeof now), 0);
  EXPECT_GE(asked, 1);
  refuse = true;
  errno = 0;
  EXPECT_EQ(zr_os_getcwd(now, sizeof now), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(zr_os_chdir(now), -1);
  EXPECT_EQ(errno, ENOMEM);
  zri_set_alloc_gate(nullptr);
  refuse = false;
  char again[1024];
  ASSERT_EQ(zr_os_getcwd(again, sizeof again), 0);
  EXPECT_NE(std::string(again), "");
}

// The name a file is really reached by: absolute, with its drive, whatever the current folder
// and the spelling used (a relative name, "." and ".." steps, a wide name); the room it needs
// is checked.
TEST(WinHostFiles, RealNameIsAbsoluteAndResolved) {
  TempDir dir;
  const std::wstring file = dir.wfile(kWide);
  HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);

  char saved[1024];
  ASSERT_EQ(zr_os_getcwd(saved, sizeof saved), 0);
  ASSERT_EQ(zr_os_chdir(dir.path().c_str()), 0);
  const std::wstring relative = std::wstring(L".\\sub\\..\\") + kWide;
  CreateDirectoryW(dir.wfile(L"sub").c_str(), nullptr);
  char real[1024];
  ASSERT_EQ(zr_os_real_name(reinterpret_cast<const zr_os_wchar *>(relative.c_str()), real, sizeof real), 0);
  EXPECT_EQ(zr_os_chdir(saved), 0);
  // The folder as the system spells it, then the file's name in UTF-8.
  wchar_t folder[1024];
  ASSERT_GT(GetLongPathNameW(std::wstring(dir.path().begin(), dir.path().end()).c_str(), folder, 1024), 0u);
  char folder_utf8[1024];
  WideCharToMultiByte(CP_UTF8, 0, folder, -1, folder_utf8, sizeof folder_utf8, nullptr, nullptr);
  EXPECT_EQ(std::string(real), std::string(folder_utf8) + "\\" + kName);
  EXPECT_EQ(real[1], ':');

  char tiny[8];
  errno = 0;
  EXPECT_EQ(zr_os_real_name(reinterpret_cast<const zr_os_wchar *>(file.c_str()), tiny, sizeof tiny), -1);
  EXPECT_EQ(errno, ERANGE);
  const std::wstring missing = dir.wfile(L"none.txt");
  EXPECT_EQ(zr_os_real_name(reinterpret_cast<const zr_os_wchar *>(missing.c_str()), real, sizeof real), -1);
}
