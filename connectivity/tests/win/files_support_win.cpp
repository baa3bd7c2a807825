// files_support_win.cpp -- the file helpers of files_support.h in the Windows build.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>

#include "files_support.h"

namespace zrfiles {

namespace {

std::wstring wide(const std::string &utf8) { return zrtest::to_wide(utf8); }
std::string utf8(const wchar_t *w) { return zrtest::to_utf8(w); }

bool file_information(const std::string &path, BY_HANDLE_FILE_INFORMATION &info) {
  HANDLE h =
      CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  return ok;
}

}  // namespace

bool write_file(const std::string &path, const std::string &content) {
  FILE *f = _wfopen(wide(path).c_str(), L"wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  return std::fclose(f) == 0 && ok;
}

std::string read_file(const std::string &path) {
  std::string out;
  FILE *f = _wfopen(wide(path).c_str(), L"rb");
  if (f == nullptr) return out;
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

bool exists(const std::string &path) { return GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> names_in(const std::string &folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((wide(folder) + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::string name = utf8(fd.cFileName);
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  std::sort(names.begin(), names.end());
  return names;
}

int make_dir(const std::string &path, int) { return CreateDirectoryW(wide(path).c_str(), nullptr) ? 0 : -1; }

int64_t mtime_ns(const std::string &path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
  uint64_t t = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
  const uint64_t kFrom1601To1970 = 116444736000000000ull;  // in 100 ns steps
  return t < kFrom1601To1970 ? -1 : static_cast<int64_t>(t - kFrom1601To1970) * 100;
}

uint64_t file_id(const std::string &path) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!file_information(path, info)) return 0;
  return (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

}  // namespace zrfiles
