// instance_lock.cpp -- the session's single-instance lock "Orvane-Connect".
//
// A flock() on a file in a folder that only the user may write: the user's runtime folder,
// else a folder of the user's own in /tmp.  The kernel drops the lock with the last
// descriptor, so a crashed first instance never leaves it behind, and the descriptor is
// close-on-exec so that programs the application starts do not keep it.  Nobody else can put
// anything where the lock lives; a place that turns out not to be private (another user's
// folder or file, a link) is reported instead of being taken for a running instance.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "launcher.h"

namespace lumara {

namespace {

// A folder that the user owns and that nobody else may write; a link is none.
bool PrivateFolder(const std::string& path, std::string* why) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    *why = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 022) != 0) {
    *why = path + " is not a folder of this user's that only this user may write";
    return false;
  }
  return true;
}

bool UsableRuntimeFolder(const char* runtime) {
  std::string ignored;
  return runtime != nullptr && runtime[0] == '/' && PrivateFolder(runtime, &ignored);
}

std::string FallbackFolder() { return "/tmp/" + std::string(kInstanceLockName) + "-" + std::to_string(::getuid()); }

}  // namespace

std::string InstanceLockPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string folder = UsableRuntimeFolder(runtime) ? std::string(runtime) : FallbackFolder();
  return folder + "/" + kInstanceLockName + ".lock";
}

InstanceLockResult TakeInstanceLock(std::string* why) {
  std::string ignored;
  if (why == nullptr) why = &ignored;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!UsableRuntimeFolder(runtime)) {
    const std::string folder = FallbackFolder();
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      *why = folder + ": " + std::strerror(errno);
      return InstanceLockResult::kUnavailable;
    }
    if (!PrivateFolder(folder, why)) return InstanceLockResult::kUnavailable;
  }
  const std::string path = InstanceLockPath();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *why = path + ": " + std::strerror(errno);
    return InstanceLockResult::kUnavailable;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::getuid()) {
    ::close(fd);
    *why = path + " is not a file of this user's";
    return InstanceLockResult::kUnavailable;
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return InstanceLockResult::kHeldElsewhere;
    *why = path + ": " + std::strerror(err);
    return InstanceLockResult::kUnavailable;
  }
  // Kept, locked, until the process ends; never released explicitly.
  return InstanceLockResult::kTaken;
}

}  // namespace lumara
