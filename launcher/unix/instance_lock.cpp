// instance_lock.cpp -- the session's single-instance lock "Orvane-Connect".
//
// A flock() on a file in the user's runtime folder: the kernel drops it with the last
// descriptor, so a crashed first instance never leaves it behind, and the descriptor is
// close-on-exec so that programs the application starts do not keep it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "launcher.h"

namespace lumara {

std::string InstanceLockPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  if (runtime != nullptr && runtime[0] == '/' && ::stat(runtime, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::getuid()) {
    return std::string(runtime) + "/" + kInstanceLockName + ".lock";
  }
  return "/tmp/" + std::string(kInstanceLockName) + "-" + std::to_string(::getuid()) + ".lock";
}

bool TakeInstanceLock() {
  const std::string path = InstanceLockPath();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  struct stat st {};
  // In a shared folder another user's file of that name is not our lock.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
    ::close(fd);
    return false;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    ::close(fd);
    return false;
  }
  // Kept, locked, until the process ends; never released explicitly.
  return true;
}

}  // namespace lumara
