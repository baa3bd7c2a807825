// win-common.h -- what the Win32 files of the service share: UTF-8 and UTF-16 text, Win32
// and Winsock errors as errno values, and IP Helper calls resolved when they are made.
#ifndef ZR_DHCP_WIN_COMMON_H
#define ZR_DHCP_WIN_COMMON_H

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <cerrno>
#include <string>
#include <vector>

namespace zrdhcp {
namespace win {

inline std::wstring wide(const std::string &s) {
  if (s.empty()) return L"";
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), &w[0], n);
  return w;
}

inline std::string utf8(const wchar_t *w) {
  if (!w || !*w) return "";
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n > 1 ? n - 1 : 0), '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
  return s;
}

// A Win32 or Winsock error as the errno value the service understands (EIO for the rest).
inline int errno_of(DWORD e) {
  switch (e) {
    case ERROR_SUCCESS: return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case WSAEACCES: return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
    case ERROR_OBJECT_ALREADY_EXISTS: return EEXIST;
    case ERROR_INVALID_PARAMETER:
    case WSAEINVAL: return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EBUSY;
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED:
    case ERROR_PROC_NOT_FOUND: return ENOSYS;
    case ERROR_NOT_FOUND: return ENOENT;
    case ERROR_BUFFER_OVERFLOW:
    case WSAENOBUFS: return ENOBUFS;
    case ERROR_DEVICE_NOT_AVAILABLE:
    case ERROR_INVALID_HANDLE: return ENODEV;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAEWOULDBLOCK: return EWOULDBLOCK;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    case WSAENETDOWN: return ENETDOWN;
    case WSAEMSGSIZE: return EMSGSIZE;
    case WSAECONNRESET: return ECONNRESET;
    case WSAEINTR: return EINTR;
    default: return EIO;
  }
}

// An IP Helper function looked up when it is called: a system (or Wine) without it gives
// nullptr, which the caller reports as ENOSYS, where a static import would keep the
// program from starting at all.
template <class F>
F iphlpapi(const char *name) {
  HMODULE m = GetModuleHandleW(L"iphlpapi.dll");
  if (!m) m = LoadLibraryW(L"iphlpapi.dll");
  return m ? reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(m, name))) : nullptr;
}

// The adapters with their IPv4 addresses (GetAdaptersAddresses, AF_INET); 0 or errno.
inline int adapters(std::vector<unsigned char> *buf) {
  ULONG size = 16 * 1024;
  for (int attempt = 0; attempt < 4; ++attempt) {
    buf->assign(size, 0);
    ULONG r = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                   nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buf->data()), &size);
    if (r == ERROR_SUCCESS) return 0;
    if (r == ERROR_NO_DATA) {
      buf->clear();
      return 0;
    }
    if (r != ERROR_BUFFER_OVERFLOW) return errno_of(r);
  }
  return ENOBUFS;
}

inline const IP_ADAPTER_ADDRESSES *first(const std::vector<unsigned char> &buf) {
  return buf.empty() ? nullptr : reinterpret_cast<const IP_ADAPTER_ADDRESSES *>(buf.data());
}

// The adapter that has this IPv4 interface index, or this friendly name; nullptr.
inline const IP_ADAPTER_ADDRESSES *by_index(const std::vector<unsigned char> &buf, int index) {
  for (const IP_ADAPTER_ADDRESSES *a = first(buf); a; a = a->Next)
    if (static_cast<int>(a->IfIndex) == index) return a;
  return nullptr;
}
inline const IP_ADAPTER_ADDRESSES *by_name(const std::vector<unsigned char> &buf, const std::string &name) {
  for (const IP_ADAPTER_ADDRESSES *a = first(buf); a; a = a->Next)
    if (a->IfIndex != 0 && utf8(a->FriendlyName) == name) return a;
  return nullptr;
}

}  // namespace win
}  // namespace zrdhcp

#endif
