// Helpers of the installer's Windows tests: files with wide names, unique names and the windows
// of one process (temporary folders: test_files.h).
#pragma once

#include <windows.h>

#include <cwchar>
#include <string>

#include "test_files.h"

namespace kqco::wintest {

// A name no other test run uses, for files left in shared system folders.
inline std::wstring UniqueName(const std::wstring& prefix, const std::wstring& extension) {
  static unsigned serial = 0;
  return prefix + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount()) + L"_" +
         std::to_wstring(++serial) + extension;
}

inline bool WriteText(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

inline bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// An INF of the driver package naming hardwareId in its models section. The marker (key Marker
// of [Strings]) tells a test's own copies in the shared INF store from those of other tests.
inline std::string PackageInf(const std::string& hardwareId, const std::string& marker = "none") {
  return "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\n"
         "ClassGUID={4d36e972-e325-11ce-bfc1-08002be10318}\r\nProvider=%Orvane%\r\n\r\n"
         "[Manufacturer]\r\n%Orvane%=Orvane,NTamd64\r\n\r\n"
         "[Orvane.NTamd64]\r\n%Handheld%=RNDIS, " +
         hardwareId +
         "\r\n\r\n"
         "[RNDIS.NT]\r\nCharacteristics = 0x84\r\nBusType = 15\r\nCopyFiles = RNDIS_CopyFiles\r\n\r\n"
         "[Strings]\r\nOrvane = \"Orvane\"\r\nHandheld = \"Orvane handheld\"\r\nMarker = " +
         marker + "\r\n";
}

inline std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

// Waits for a top-level window of process `pid` whose title is exactly `title` (case counts);
// nullptr after timeoutMs.  Other programs' windows are never taken for it, even when their
// titles differ only in case (FindWindow would match those).
inline HWND WaitForWindow(DWORD pid, const wchar_t* title, DWORD timeoutMs = 15000) {
  struct Search {
    DWORD pid;
    const wchar_t* title;
    HWND found;
  } search{pid, title, nullptr};
  const auto match = [](HWND window, LPARAM param) -> BOOL {
    auto* s = reinterpret_cast<Search*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t text[256] = {};
    if (owner != s->pid || GetWindowTextW(window, text, 256) == 0 || wcscmp(text, s->title) != 0) return TRUE;
    s->found = window;
    return FALSE;
  };
  for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
    EnumWindows(match, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) return search.found;
    Sleep(20);
  }
  return nullptr;
}

}  // namespace kqco::wintest
