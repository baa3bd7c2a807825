// Helpers of the launcher's Windows tests: a private installation folder, starting
// KQ-LumaraLink.exe in it, and watching its windows and its stand-in runtime's log.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "test_files.h"

namespace lumara::wintest {

// The Windows form of a path of the build tree (a Linux path, seen through Wine's Z: drive).
std::string WinPath(const std::string& linux_path);
std::wstring Wide(const std::string& utf8);

// An installation of the launcher: KQ-LumaraLink.exe, and (unless `runtime` is empty) the
// runtime library `runtime` as jre\bin\client\jvm.dll, plus the lib\ folder.
class Installation {
 public:
  explicit Installation(const std::string& runtime);
  const std::string& folder() const { return folder_.path(); }
  std::string File(const std::string& name) const { return folder_.file(name); }
  std::string log() const { return folder_.file("runtime.log"); }  // KQ_FAKE_JVM_LOG

 private:
  zrtest::TempDir folder_{"kq-launcher-test"};
};

// A started launcher process.
class Launcher {
 public:
  // Starts the installation's launcher with `args` (quoted where needed), in its folder.
  Launcher(const Installation& at, const std::vector<std::wstring>& args);
  ~Launcher();  // ends it if it still runs
  Launcher(const Launcher&) = delete;
  Launcher& operator=(const Launcher&) = delete;
  bool started() const { return process_ != nullptr; }
  DWORD pid() const { return pid_; }
  // Waits for the end (pumping this thread's messages meanwhile) and gives the exit code, or
  // STILL_ACTIVE when it has not ended within `ms`.
  DWORD Wait(DWORD ms);

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
};

// Top-level window of process `pid` with class `cls` (and `title` unless null), waiting up to
// `ms` while pumping this thread's messages; null when none appears.
HWND WaitForWindow(DWORD pid, const char* cls, const char* title, DWORD ms);
// True when `window` is gone (or never was) within `ms`.
bool WaitForWindowGone(HWND window, DWORD ms);
// Pumps this thread's messages for `ms`.
void Pump(DWORD ms);

// The texts of a message box's static controls, joined by '\n'.
std::string BoxText(HWND box);
// A message box's icons and buttons in order: "icon" for an icon, a button's text otherwise.
std::string BoxControls(HWND box);

// The lines of a text file (none when it is missing).
std::vector<std::string> ReadLines(const std::string& path);
// Waits up to `ms` for a line equal to `line` (or starting with it, with `prefix`).
bool WaitForLine(const std::string& path, const std::string& line, DWORD ms, bool prefix = false);

// Clears every variable the launcher and its stand-in runtime read from the environment.
void ClearLauncherEnvironment();

}  // namespace lumara::wintest
