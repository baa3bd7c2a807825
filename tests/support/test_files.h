// test_files.h -- temporary folders and whole-file reads and writes for tests: the one kind of
// each that every suite uses.
#ifndef ZR_TEST_FILES_H
#define ZR_TEST_FILES_H

#include <optional>
#include <string>

namespace zrtest {

// A fresh folder under the system's temporary folder, removed with everything in it when
// the object goes.  Throws std::runtime_error when none can be made.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "zr-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::string file(const std::string& name) const { return *this / name; }

 private:
  std::string path_;
};

// Writes a whole file, making its folders first, and gives it the permission bits `mode` when
// that is not negative; throws std::runtime_error on failure.
void WriteFile(const std::string& path, const std::string& content, int mode = -1);
// The whole file, or nothing when it cannot be read.
std::optional<std::string> ReadFile(const std::string& path);

}  // namespace zrtest

#endif
