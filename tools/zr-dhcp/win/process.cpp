// process.cpp -- the program's folder and id, its stop request and its log stream (Win32).
#include "dhcp-os.h"
#include "win-common.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace zrdhcp {

namespace {

// Standard error may be a pipe whose reader is slow, stopped or gone, and a write to a full
// pipe waits: lines for a pipe go to a bounded queue that a thread of its own writes out,
// and a full queue takes no line (false, as a pipe that cannot take one at once on Linux).
// A console or a file takes a line at once.  At the end, what is queued gets at most 1 s.
class PipeLog {
 public:
  explicit PipeLog(HANDLE h) : h_(h), thread_([this] { drain(); }) { thread_.detach(); }
  bool push(const std::string &line) {
    std::lock_guard<std::mutex> lock(m_);
    if (queue_.size() >= kLines) return false;
    queue_.push_back(line);
    cv_.notify_one();
    return true;
  }
  void flush(int ms) {
    std::unique_lock<std::mutex> lock(m_);
    done_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return queue_.empty() && !writing_; });
  }

 private:
  static constexpr size_t kLines = 256;
  void drain() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      cv_.wait(lock, [this] { return !queue_.empty(); });
      std::string line = std::move(queue_.front());
      queue_.pop_front();
      writing_ = true;
      lock.unlock();
      DWORD n = 0;
      WriteFile(h_, line.data(), static_cast<DWORD>(line.size()), &n, nullptr);
      lock.lock();
      writing_ = false;
      if (queue_.empty()) done_.notify_all();
    }
  }
  HANDLE h_;
  std::mutex m_;
  std::condition_variable cv_, done_;
  std::deque<std::string> queue_;
  bool writing_ = false;
  std::thread thread_;
};

PipeLog *pipe_log = nullptr;


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

long process_id() { return static_cast<long>(GetCurrentProcessId()); }

std::string program_folder() {
  std::wstring path(32768, L'\0');
  DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
  if (n == 0 || n >= path.size()) return ".";
  path.resize(n);
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? "." : win::utf8(path.substr(0, slash).c_str());
}

bool write_log_now(const std::string &line) {
  static const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err == nullptr || err == INVALID_HANDLE_VALUE) return false;
  if (GetFileType(err) == FILE_TYPE_PIPE) {
    if (!pipe_log) {
      pipe_log = new PipeLog(err);  // for the whole process
      std::atexit([] { pipe_log->flush(1000); });
    }
    return pipe_log->push(line);
  }
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
