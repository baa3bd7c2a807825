// xvfb_server.h -- a private X server for window tests.
#ifndef ZR_TEST_XVFB_SERVER_H
#define ZR_TEST_XVFB_SERVER_H

#include <sys/types.h>

#include <string>

namespace zrtest {

// Xvfb on a free display of its own (chosen by the server through -displayfd, so parallel
// tests never clash), stopped with the object.  running() is false when none could be
// started within 10 s; why() then says why and the test skips.
class XvfbServer {
 public:
  explicit XvfbServer(const std::string& screen = "1280x1024x24");
  ~XvfbServer();
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;
  bool running() const { return pid_ > 0; }
  const std::string& display() const { return display_; }  // ":N"
  const std::string& why() const { return why_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
  std::string why_;
};

}  // namespace zrtest

#endif
