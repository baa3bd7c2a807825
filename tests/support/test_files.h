// test_files.h -- temporary folders and whole-file reads and writes for tests: the one kind of
// each that every suite uses, in the Linux build and in the Windows build (run under Wine).
#ifndef ZR_TEST_FILES_H
#define ZR_TEST_FILES_H

#include <optional>
#include <string>

namespace zrtest {

// A fresh folder, removed with everything in it (read-only files too) when the object goes.
// Its name is `prefix`, a dash and a part no other folder there has.  Throws
// std::runtime_error when none can be made.
//
// Linux: under the system's temporary folder ($TMPDIR, else /tmp), joined with '/'.
// Windows: names are UTF-8 and reach the system through its wide-name calls, joined with '\'.
// Under Wine the folder is made in the Linux temporary folder as drive Z: shows it
// ("Z:\tmp\<prefix>-..."), so that the Linux programs the tests talk to (the handheld
// simulator) reach it too; elsewhere in the Windows temporary folder.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "zr-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }  // no trailing separator
  std::string operator/(const std::string& name) const { return path_ + kSeparator + name; }
  std::string file(const std::string& name) const { return *this / name; }
#if defined(_WIN32)
  // The same in UTF-16, for the wide-name calls.
  std::wstring wpath() const;
  std::wstring wfile(const std::wstring& name) const { return wpath() + L'\\' + name; }
  static constexpr char kSeparator = '\\';
#else
  static constexpr char kSeparator = '/';
#endif

 private:
  std::string path_;
};

#if defined(_WIN32)
// A name in UTF-8 as the wide-name calls take it, and back ("" when it is not valid).
std::wstring to_wide(const std::string& utf8);
std::string to_utf8(const std::wstring& wide);
#else
// Writes a whole file, making its folders first, and gives it the permission bits `mode` when
// that is not negative; throws std::runtime_error on failure.
void WriteFile(const std::string& path, const std::string& content, int mode = -1);
// The whole file, or nothing when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);
#endif

}  // namespace zrtest

#endif
