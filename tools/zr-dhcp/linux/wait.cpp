// wait.cpp -- waiting for the first of several descriptors to turn readable (poll).
#include "dhcp-os.h"

#include <poll.h>

#include <cerrno>

namespace zrdhcp {

int wait_ready(const std::vector<OsHandle> &handles, int timeout_ms, std::vector<bool> *ready) {
  std::vector<pollfd> fds;
  for (OsHandle h : handles) fds.push_back({static_cast<int>(h), POLLIN, 0});
  ready->assign(handles.size(), false);
  if (poll(fds.data(), fds.size(), timeout_ms) < 0) return errno == EINTR ? 0 : errno;
  for (size_t i = 0; i < fds.size(); ++i) (*ready)[i] = fds[i].revents != 0;
  return 0;
}

}  // namespace zrdhcp
