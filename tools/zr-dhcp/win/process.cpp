// process.cpp -- the program's folder, its stop request and its log stream (Win32).
#include "dhcp-os.h"
#include "win-common.h"

#include <cstring>

namespace zrdhcp {

namespace {

HANDLE stop_event = nullptr;

BOOL WINAPI on_console_event(DWORD kind) {
  if (!stop_event) return FALSE;
  SetEvent(stop_event);
  // The console closing, the user logging off or the system shutting down end the process
  // once this returns: the service gets a few seconds to take its addresses away (main
  // ending the process ends this wait too).
  if (kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT) Sleep(5000);
  return TRUE;
}

}  // namespace

// The Windows C library knows texts only for the first errno values; the rest that the
// service meets are told here.
std::string error_text(int err) {
  switch (err) {
    case EADDRINUSE: return "Address already in use";
    case EADDRNOTAVAIL: return "Cannot assign requested address";
    case ENETDOWN: return "Network is down";
    case ENETUNREACH: return "Network is unreachable";
    case EHOSTUNREACH: return "No route to host";
    case ECONNRESET: return "Connection reset";
    case ENOBUFS: return "No buffer space available";
    case EWOULDBLOCK: return "Resource temporarily unavailable";
    case ELOOP: return "It is a symbolic link or another reparse point";
    case EMSGSIZE: return "Message too long";
    case ETIMEDOUT: return "Timed out";
    case ENOSYS: return "Function not implemented (not available on this system)";
    default: return std::strerror(err);
  }
}

std::string program_folder() {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return ".";
  path.resize(n);
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? "." : win::utf8(path.substr(0, slash).c_str());
}

bool write_log_now(const std::string &line) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  return WriteFile(err, line.data(), static_cast<DWORD>(line.size()), &n, nullptr) && n > 0;
}

int open_stop_request(OsHandle *handle) {
  if (!stop_event) stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!stop_event) return win::errno_of(GetLastError());
  if (!SetConsoleCtrlHandler(on_console_event, TRUE)) return win::errno_of(GetLastError());
  HANDLE copy = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), stop_event, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return win::errno_of(GetLastError());
  *handle = reinterpret_cast<OsHandle>(copy);
  return 0;
}

}  // namespace zrdhcp
