// test_files.cpp -- temporary folders and whole-file reads and writes for tests.
#include "test_files.h"

#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zrtest {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("cannot make a temporary folder " + pattern + ": " + std::strerror(errno));
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& content, int mode) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
  }
  if (mode >= 0) {
    fs::permissions(path, static_cast<fs::perms>(mode), fs::perm_options::replace, ec);
    if (ec) throw std::runtime_error("cannot set the permission bits of " + path);
  }
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace zrtest
