// Helpers of the launcher's Windows tests: the private installation, the started launcher, its
// windows and its stand-in runtime's log (launcher_win_support.h).
#include "launcher_win_support.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace lumara::wintest {

std::string WinPath(const std::string& linux_path) {
  std::string out = "Z:" + linux_path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

std::wstring Wide(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring out(n > 0 ? n : 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, &out[0], n);
  out.resize(n > 0 ? n - 1 : 0);
  return out;
}

Installation::Installation(const std::string& runtime) {
  CopyFileA(WinPath(KQ_LAUNCHER_EXE).c_str(), File("KQ-LumaraLink.exe").c_str(), FALSE);
  CreateDirectoryA(File("lib").c_str(), nullptr);
  if (!runtime.empty()) {
    CreateDirectoryA(File("jre").c_str(), nullptr);
    CreateDirectoryA(File("jre\\bin").c_str(), nullptr);
    CreateDirectoryA(File("jre\\bin\\client").c_str(), nullptr);
    CopyFileA(WinPath(runtime).c_str(), File("jre\\bin\\client\\jvm.dll").c_str(), FALSE);
  }
}

Launcher::Launcher(const Installation& at, const std::vector<std::wstring>& args) {
  const std::wstring program = Wide(at.File("KQ-LumaraLink.exe"));
  std::wstring line = L"\"" + program + L"\"";
  for (const auto& arg : args) {
    // Arguments with spaces are quoted; the tests use no quotes or trailing backslashes.
    line += arg.find_first_of(L" \t") != std::wstring::npos || arg.empty() ? L" \"" + arg + L"\"" : L" " + arg;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::vector<wchar_t> buffer(line.begin(), line.end());
  buffer.push_back(L'\0');
  if (CreateProcessW(program.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, Wide(at.folder()).c_str(),
                     &startup, &info)) {
    process_ = info.hProcess;
    pid_ = info.dwProcessId;
    CloseHandle(info.hThread);
  }
}

Launcher::~Launcher() {
  if (process_ == nullptr) return;
  if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_, 99);
    WaitForSingleObject(process_, 5000);
  }
  CloseHandle(process_);
}

DWORD Launcher::Wait(DWORD ms) {
  if (process_ == nullptr) return STILL_ACTIVE;
  const DWORD end = GetTickCount() + ms;
  for (;;) {
    const DWORD now = GetTickCount();
    const DWORD left = static_cast<LONG>(end - now) > 0 ? end - now : 0;
    const DWORD rc = MsgWaitForMultipleObjects(1, &process_, FALSE, left, QS_ALLINPUT);
    if (rc == WAIT_OBJECT_0) break;
    if (rc == WAIT_OBJECT_0 + 1) {
      Pump(0);
      continue;
    }
    return STILL_ACTIVE;
  }
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process_, &code);
  return code;
}

void Pump(DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  do {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (ms > 0) MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  } while (static_cast<LONG>(end - GetTickCount()) > 0);
}

namespace {
struct WindowSearch {
  DWORD pid;
  const char* cls;
  const char* title;
  HWND found;
};
BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != search->pid) return TRUE;
  char cls[256] = {};
  GetClassNameA(window, cls, sizeof cls);
  if (lstrcmpiA(cls, search->cls) != 0) return TRUE;
  if (search->title != nullptr) {
    char title[1024] = {};
    GetWindowTextA(window, title, sizeof title);
    if (std::string(title) != search->title) return TRUE;
  }
  search->found = window;
  return FALSE;
}
BOOL CALLBACK CollectStatic(HWND child, LPARAM param) {
  char cls[64] = {};
  GetClassNameA(child, cls, sizeof cls);
  if (lstrcmpiA(cls, "Static") == 0) {
    char text[2048] = {};
    GetWindowTextA(child, text, sizeof text);
    if (text[0] != '\0') {
      auto* out = reinterpret_cast<std::string*>(param);
      if (!out->empty()) *out += "\n";
      *out += text;
    }
  }
  return TRUE;
}
BOOL CALLBACK CollectControl(HWND child, LPARAM param) {
  char cls[64] = {};
  GetClassNameA(child, cls, sizeof cls);
  auto* out = reinterpret_cast<std::string*>(param);
  const LONG style = GetWindowLongA(child, GWL_STYLE);
  std::string item;
  if (lstrcmpiA(cls, "Static") == 0 && (style & SS_TYPEMASK) == SS_ICON) {
    item = "icon";
  } else if (lstrcmpiA(cls, "Button") == 0 && IsWindowVisible(child)) {
    char text[256] = {};
    GetWindowTextA(child, text, sizeof text);
    item = text;
    item.erase(std::remove(item.begin(), item.end(), '&'), item.end());
  }
  if (!item.empty()) *out += (out->empty() ? "" : ",") + item;
  return TRUE;
}
}  // namespace

std::string BoxControls(HWND box) {
  std::string controls;
  EnumChildWindows(box, CollectControl, reinterpret_cast<LPARAM>(&controls));
  return controls;
}

HWND WaitForWindow(DWORD pid, const char* cls, const char* title, DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  for (;;) {
    WindowSearch search{pid, cls, title, nullptr};
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) return search.found;
    if (static_cast<LONG>(end - GetTickCount()) <= 0) return nullptr;
    Pump(50);
  }
}

bool WaitForWindowGone(HWND window, DWORD ms) {
  const DWORD end = GetTickCount() + ms;
  while (IsWindow(window)) {
    if (static_cast<LONG>(end - GetTickCount()) <= 0) return false;
    Pump(25);
  }
  return true;
}

std::string BoxText(HWND box) {
  std::string text;
  EnumChildWindows(box, CollectStatic, reinterpret_cast<LPARAM>(&text));
  return text;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool WaitForLine(const std::string& path, const std::string& line, DWORD ms, bool prefix) {
  const DWORD end = GetTickCount() + ms;
  for (;;) {
    for (const auto& l : ReadLines(path)) {
      if (l == line || (prefix && l.compare(0, line.size(), line) == 0)) return true;
    }
    if (static_cast<LONG>(end - GetTickCount()) <= 0) return false;
    Pump(50);
  }
}

void ClearLauncherEnvironment() {
  for (const char* name :
       {"KQ_FAKE_JVM_LOG", "KQ_FAKE_JVM_CREATE_RESULT", "KQ_FAKE_JVM_NO_MAIN_CLASS", "KQ_FAKE_JVM_THROW",
        "KQ_FAKE_JVM_DESTROY_RESULT", "KQ_FAKE_JVM_WAIT_MS", "KQ_FAKE_JVM_WINDOW_MS", "KQ_LAUNCHER_RETRY_PAUSE_MS",
        "KQ_LAUNCHER_SPLASH_TIME_MS", "KQ_LAUNCHER_SPLASH_LINGER_MS"}) {
    SetEnvironmentVariableA(name, nullptr);
  }
}

}  // namespace lumara::wintest
