// wait.cpp -- waiting for the first of several handles to be set (WaitForMultipleObjects).
//
// Every handle the service waits on is a manual-reset event (the stop request, the network
// change notice, each socket's WSAEventSelect event): it stays set until its owner resets
// it, so that each can be tested on its own after the wait.
#include "dhcp-os.h"
#include "win-common.h"

#include <algorithm>

namespace zrdhcp {

int wait_ready(const std::vector<OsHandle> &handles, int timeout_ms, std::vector<bool> *ready) {
  ready->assign(handles.size(), false);
  std::vector<HANDLE> h;
  for (OsHandle x : handles) h.push_back(reinterpret_cast<HANDLE>(x));
  // More handles than one wait takes: the first ones are waited on, the rest looked at
  // every 50 ms.
  DWORD count = static_cast<DWORD>(std::min<size_t>(h.size(), MAXIMUM_WAIT_OBJECTS));
  DWORD wait = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
  if (h.size() > count) wait = std::min<DWORD>(wait, 50);
  DWORD r = WaitForMultipleObjects(count, h.data(), FALSE, wait);
  if (r == WAIT_FAILED) return win::errno_of(GetLastError());
  for (size_t i = 0; i < h.size(); ++i) (*ready)[i] = WaitForSingleObject(h[i], 0) == WAIT_OBJECT_0;
  return 0;
}

}  // namespace zrdhcp
