// files.cpp -- reading, replacing and locking the service's files (Win32).
#include "dhcp-os.h"
#include "win-common.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace zrdhcp {

namespace {

int read_all(HANDLE h, std::string *text) {
  text->clear();
  char buf[4096];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) return win::errno_of(GetLastError());
    if (n == 0) return 0;
    text->append(buf, n);
  }
}

int last_errno() { return win::errno_of(GetLastError()); }

// Where lock_file's lock is: one byte at 4 GiB.
OVERLAPPED lock_place() {
  OVERLAPPED where{};
  where.OffsetHigh = 1;
  return where;
}

}  // namespace

int read_text_file(const std::string &path, std::string *text) {
  HANDLE h = CreateFileW(win::wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_errno();
  int err = read_all(h, text);
  CloseHandle(h);
  return err;
}

int read_regular_file(const std::string &path, std::string *text) {
  // The reparse point itself is opened, never what it leads to.
  HANDLE h = CreateFileW(win::wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_errno();
  BY_HANDLE_FILE_INFORMATION info{};
  int err = !GetFileInformationByHandle(h, &info)                          ? last_errno()
            : (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0  ? ELOOP
            : GetFileType(h) != FILE_TYPE_DISK ||
                    (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EINVAL
                                                                             : read_all(h, text);
  CloseHandle(h);
  return err;
}

int write_file_atomically(const std::string &path, const std::string &text) {
  static std::atomic<unsigned> counter{0};
  const std::wstring target = win::wide(path);
  const std::wstring temp =
      target + L".new." + std::to_wstring(GetCurrentProcessId()) + L"." + std::to_wstring(++counter);
  // CREATE_NEW: never an existing file or link.
  HANDLE h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_errno();
  int err = 0;
  size_t done = 0;
  while (err == 0 && done < text.size()) {
    DWORD n = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1 << 20));
    if (!WriteFile(h, text.data() + done, chunk, &n, nullptr)) err = last_errno();
    else if (n == 0) err = EIO;
    done += n;
  }
  if (err == 0 && !FlushFileBuffers(h)) err = last_errno();
  if (!CloseHandle(h) && err == 0) err = last_errno();
  // MOVEFILE_WRITE_THROUGH: the rename is on disk when it returns.
  if (err == 0 && !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    err = last_errno();
  if (err != 0) DeleteFileW(temp.c_str());
  return err;
}

int lock_file(const std::string &path, OsHandle *handle, long *holder) {
  *holder = 0;
  HANDLE h = CreateFileW(win::wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_errno();
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return EINVAL;
  }
  // The lock is on one byte far past the text, so that the holder's process id stays
  // readable to the others.  (The file takes the folder's permissions, which let every
  // user read it.)
  OVERLAPPED where = lock_place();
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
    DWORD e = GetLastError();
    if (e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING) {
      std::string text;
      uint64_t pid = 0;
      if (read_all(h, &text) == 0 && !text.empty()) {
        pid = std::strtoull(text.c_str(), nullptr, 10);
        if (pid > 0 && pid < 0x7FFFFFFF) *holder = static_cast<long>(pid);
      }
      CloseHandle(h);
      return EWOULDBLOCK;
    }
    CloseHandle(h);
    return win::errno_of(e);
  }
  // The note of who holds it is for people; the lock holds without it.
  const std::string pid = std::to_string(GetCurrentProcessId()) + "\n";
  DWORD n = 0;
  if (SetFilePointer(h, 0, nullptr, FILE_BEGIN) == 0 && SetEndOfFile(h))
    WriteFile(h, pid.data(), static_cast<DWORD>(pid.size()), &n, nullptr);
  *handle = reinterpret_cast<OsHandle>(h);
  return 0;
}

int lock_held(const std::string &path, bool *held) {
  *held = false;
  HANDLE h = CreateFileW(win::wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return last_errno();
  // Windows cannot ask who holds a lock: a shared lock of the same byte, taken and given
  // back at once, is refused while the holder's exclusive one is there.
  OVERLAPPED where = lock_place();
  if (LockFileEx(h, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
    UnlockFileEx(h, 0, 1, 0, &where);
  } else {
    DWORD e = GetLastError();
    *held = e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING;
  }
  CloseHandle(h);
  return 0;
}

int remove_file(const std::string &path) {
  if (DeleteFileW(win::wide(path).c_str())) return 0;
  DWORD e = GetLastError();
  return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? 0 : win::errno_of(e);
}

bool path_exists(const std::string &path) { return GetFileAttributesW(win::wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

int make_folder(const std::string &path) {
  if (CreateDirectoryW(win::wide(path).c_str(), nullptr)) return 0;
  DWORD e = GetLastError();
  return e == ERROR_ALREADY_EXISTS ? 0 : win::errno_of(e);
}

void close_handle(OsHandle handle) {
  if (handle != kNoHandle && handle != 0) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

}  // namespace zrdhcp
