// fuse_mount.cpp -- see fuse_mount.h.
#include "fuse_mount.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace zrtest {

std::string fuse_missing() {
  int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
  if (fd < 0) return "no usable /dev/fuse";
  close(fd);
  if (std::system("command -v fusermount3 >/dev/null 2>&1") != 0) return "no fusermount3 (Debian package fuse3)";
  return "";
}

bool is_mounted(const std::string &mountpoint) {
  std::ifstream f("/proc/self/mountinfo");
  std::string line;
  while (std::getline(f, line))
    if (line.find(" " + mountpoint + " ") != std::string::npos) return true;
  return false;
}

}  // namespace zrtest
