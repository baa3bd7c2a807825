// The temporary folders of the test support, in the Linux and in the Windows build.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>

#include "test_files.h"

namespace fs = std::filesystem;

TEST(TempDir, FreshFoldersOfTheirOwnGoWithEverythingInThem) {
  std::string kept, sub;
  {
    zrtest::TempDir a("zr-tempdir"), b("zr-tempdir");
    ASSERT_NE(a.path(), b.path());
    EXPECT_TRUE(fs::is_directory(a.path()));
    EXPECT_EQ(fs::path(a.path()).filename().string().rfind("zr-tempdir-", 0), 0u) << a.path();
    EXPECT_EQ(a.file("x"), a.path() + zrtest::TempDir::kSeparator + "x");
    sub = a / "sub";
    ASSERT_TRUE(fs::create_directory(sub));
    const std::string ro = sub + zrtest::TempDir::kSeparator + "read-only.txt";
    std::ofstream(ro) << "kept";
    fs::permissions(ro, fs::perms::owner_read, fs::perm_options::replace);
    kept = a.path();
#if defined(_WIN32)
    EXPECT_EQ(a.wpath(), fs::path(a.path()).wstring());
    // Under Wine the Linux side reaches the folder: it is on drive Z:.
    if (fs::is_directory("Z:\\tmp")) {
      EXPECT_EQ(a.path().rfind("Z:\\", 0), 0u) << a.path();
    }
#endif
  }
  EXPECT_FALSE(fs::exists(sub));
  EXPECT_FALSE(fs::exists(kept));
}

#if !defined(_WIN32)
TEST(TempDir, ThrowsWhenNoneCanBeMade) {
  const char *old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", "/proc", 1);  // a folder where nothing can be made, even by root
  std::unique_ptr<zrtest::TempDir> made;
  EXPECT_THROW(made = std::make_unique<zrtest::TempDir>(), std::runtime_error);
  if (old)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
}
#endif
