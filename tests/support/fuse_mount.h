// fuse_mount.h -- what the tests and benchmarks of zrlink mount need to know about FUSE here.
#ifndef ZR_TEST_FUSE_MOUNT_H
#define ZR_TEST_FUSE_MOUNT_H

#include <string>

namespace zrtest {

// Why FUSE mounts cannot be made here (no usable /dev/fuse, no fusermount3), or empty.
std::string fuse_missing();

// Whether a file system is mounted on the folder `mountpoint` (an absolute path).
bool is_mounted(const std::string &mountpoint);

}  // namespace zrtest

#endif
