// KQCoInstaller for Windows: the same flows as platform/linux/main.cpp, on the Win32 layer. The
// command line is the process's wide command line (GetCommandLineW); the exit code is the
// installer's.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "installer.h"
#include "platform/win/devinst_win.h"
#include "platform/win/window_win.h"

namespace {

// The text after the program name, split off as the runtime does: a quoted name ends at the
// next quote, an unquoted one at the first blank; the blanks after it are skipped.
std::wstring ArgumentsText(const wchar_t* full) {
  if (full == nullptr) return {};
  const wchar_t* p = full;
  if (*p == L'"') {
    ++p;
    while (*p != L'\0' && *p != L'"') ++p;
    if (*p == L'"') ++p;
  } else {
    while (*p != L'\0' && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

}  // namespace

int main() {
  const wchar_t* full = GetCommandLineW();
  std::wstring commandLine = ArgumentsText(full);
  if (commandLine.size() > kqco::kMaxCommandLine) commandLine.resize(kqco::kMaxCommandLine);

  std::vector<std::wstring> programArgs;
  int count = 0;
  if (wchar_t** argv = CommandLineToArgvW(full, &count)) {
    if (count > 0) programArgs.emplace_back(argv[0]);
    LocalFree(argv);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  GetStartupInfoW(&startup);
  const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : kqco::kShowDefault;

  kqco::win_platform::WinDeviceInstallServices system;
  kqco::win_platform::WinWindowServices windows;
  kqco::InstallerContext ctx(system, windows);
  return kqco::RunInstaller(ctx, commandLine, programArgs, show);
}
