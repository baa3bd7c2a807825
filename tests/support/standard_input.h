// standard_input.h -- standard input closed for a while, so that the next descriptor that a
// call opens is 0, as it is in a program started without one (POSIX only).
#ifndef ZR_TEST_STANDARD_INPUT_H
#define ZR_TEST_STANDARD_INPUT_H

#include <unistd.h>

namespace zrtest {

// While it lives (or until restore()), descriptor 0 is free; then standard input is put back
// on it, in place of whatever was opened there meanwhile.
class StandardInputClosed {
 public:
  StandardInputClosed() : saved_(::dup(0)) { ::close(0); }
  ~StandardInputClosed() { restore(); }
  StandardInputClosed(const StandardInputClosed &) = delete;
  StandardInputClosed &operator=(const StandardInputClosed &) = delete;
  void restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, 0);
    ::close(saved_);
    saved_ = -1;
  }

 private:
  int saved_;
};

}  // namespace zrtest

#endif
