// test_files_win.cpp -- temporary folders for tests (Windows).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>

#include "test_files.h"

namespace zrtest {

std::wstring to_wide(const std::string &utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &out[0], n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string to_utf8(const std::wstring &wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

namespace {

bool is_folder(const std::wstring &path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// The Linux temporary folder as drive Z: shows it, when there is one; else the Windows one.
std::wstring temp_root() {
  const char *tmp = std::getenv("TMPDIR");
  std::wstring linux_side = L"Z:" + to_wide(tmp && tmp[0] == '/' ? tmp : "/tmp");
  for (wchar_t &c : linux_side)
    if (c == L'/') c = L'\\';
  while (linux_side.size() > 3 && linux_side.back() == L'\\') linux_side.pop_back();
  if (is_folder(linux_side)) return linux_side;
  wchar_t base[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH + 1, base);
  if (n == 0 || n > MAX_PATH) throw std::runtime_error("no temporary folder");
  std::wstring root(base, n);
  while (!root.empty() && root.back() == L'\\') root.pop_back();
  return root;
}

// Removes `dir` with everything in it, read-only files too.
void remove_tree(const std::wstring &dir) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring path = dir + L"\\" + name;
      SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        remove_tree(path);
      else
        DeleteFileW(path.c_str());
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(dir.c_str());
}

}  // namespace

TempDir::TempDir(const std::string &prefix) {
  static std::atomic<unsigned> counter{0};
  const std::wstring root = temp_root();
  for (int i = 0; i < 100; ++i) {
    std::wstring candidate = root + L"\\" + to_wide(prefix) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(counter++) + L"-" + std::to_wstring(GetTickCount64() % 100000);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      path_ = to_utf8(candidate);
      return;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  throw std::runtime_error("cannot make a temporary folder under " + to_utf8(root));
}

TempDir::~TempDir() { remove_tree(wpath()); }

std::wstring TempDir::wpath() const { return to_wide(path_); }

}  // namespace zrtest
