// program-folder.cpp -- the folder the program file is in (Linux).
#include "program-folder.h"

#include <limits.h>
#include <unistd.h>

namespace zrdhcp {

std::string program_folder() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string p(path, static_cast<size_t>(n));
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
}

}  // namespace zrdhcp
