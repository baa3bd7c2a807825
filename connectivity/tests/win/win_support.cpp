// win_support.cpp -- helpers of the Windows tests.
#include "win_support.h"

#include <atomic>
#include <cstdio>
#include <vector>

namespace zrwin {

namespace {

std::atomic<unsigned> counter{0};

}  // namespace

std::string unique_name(const std::string &stem) {
  return stem + "-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
}

std::string win_path(const std::string &path) {
  if (path.empty() || path[0] != '/') return path;
  std::string out = "Z:" + path;
  for (char &c : out)
    if (c == '/') c = '\\';
  return out;
}

std::string folder_of(const std::string &path) {
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool wait_for_file(const std::string &path, unsigned ms) {
  ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(20);
  }
}

PipedChild::PipedChild(const std::string &program, const std::string &command_line) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE child_in = nullptr, child_out = nullptr;
  if (!CreatePipe(&child_in, &in_, &sa, 0)) return;
  if (!CreatePipe(&out_, &child_out, &sa, 0)) {
    CloseHandle(child_in);
    return;
  }
  SetHandleInformation(in_, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = child_in;
  si.hStdOutput = child_out;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  std::string line = command_line.empty() ? "\"" + program + "\"" : command_line;
  std::vector<char> buf(line.begin(), line.end());
  buf.push_back('\0');
  if (CreateProcessA(program.c_str(), buf.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                     &pi)) {
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
  }
  CloseHandle(child_in);
  CloseHandle(child_out);
}

PipedChild::~PipedChild() {
  if (in_) CloseHandle(in_);
  if (process_) {
    if (WaitForSingleObject(process_, 2000) != WAIT_OBJECT_0) TerminateProcess(process_, 1);
    CloseHandle(process_);
  }
  if (out_) CloseHandle(out_);
}

std::string PipedChild::ask(const std::string &line) {
  std::string text = line + "\n";
  DWORD written = 0;
  if (!WriteFile(in_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) return "";
  return read_line(10000);
}

std::string PipedChild::read_line(unsigned ms) {
  ULONGLONG end = GetTickCount64() + ms;
  for (;;) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string answer = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      if (!answer.empty() && answer.back() == '\r') answer.pop_back();
      return answer;
    }
    DWORD avail = 0;
    if (!PeekNamedPipe(out_, nullptr, 0, nullptr, &avail, nullptr)) return "";
    if (avail == 0) {
      if (GetTickCount64() >= end) return "";
      Sleep(10);
      continue;
    }
    char buf[512];
    DWORD got = 0;
    if (!ReadFile(out_, buf, avail < sizeof buf ? avail : sizeof buf, &got, nullptr)) return "";
    pending_.append(buf, got);
  }
}

int PipedChild::wait(unsigned ms) {
  if (process_ == nullptr || WaitForSingleObject(process_, ms) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  return GetExitCodeProcess(process_, &code) ? static_cast<int>(code) : -1;
}

}  // namespace zrwin
