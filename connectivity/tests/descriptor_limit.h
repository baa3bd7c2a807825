// descriptor_limit.h -- a process that can open no more descriptors, for the tests of what
// the library does when the system has none left for it (POSIX only).
#ifndef ZR_TEST_DESCRIPTOR_LIMIT_H
#define ZR_TEST_DESCRIPTOR_LIMIT_H

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace zrtest {

// While it lives, the limit of open descriptors is the lowest free one, so that no new
// descriptor can be made (EMFILE); its end puts the limit back.  ok() is false when the
// limit could not be lowered.
class NoDescriptorLeft {
 public:
  NoDescriptorLeft() {
    const int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (lowest < 0) return;
    ::close(lowest);
    if (::getrlimit(RLIMIT_NOFILE, &saved_) != 0) return;
    rlimit tight = saved_;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ok_ = ::setrlimit(RLIMIT_NOFILE, &tight) == 0;
  }
  ~NoDescriptorLeft() {
    if (ok_) ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  NoDescriptorLeft(const NoDescriptorLeft &) = delete;
  NoDescriptorLeft &operator=(const NoDescriptorLeft &) = delete;
  bool ok() const { return ok_; }

 private:
  rlimit saved_{};
  bool ok_ = false;
};

}  // namespace zrtest

#endif
