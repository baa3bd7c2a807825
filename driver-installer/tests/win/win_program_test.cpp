// KQCoInstaller.exe as a program: its switches, boxes, exit codes and main window.
#include <gtest/gtest.h>

#include <cwchar>
#include <optional>

#include "messages.h"
#include "platform/win/devinst_win.h"
#include "win_support.h"

namespace kqco {
namespace {

// KQCoInstaller.exe, built into the same folder as the test program.
const std::wstring& ProgramPath() {
  static const std::wstring path = [] {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring p(self, n);
    return p.substr(0, p.find_last_of(L'\\') + 1) + L"KQCoInstaller.exe";
  }();
  return path;
}

std::wstring ProgramFolder() {
  const std::wstring& p = ProgramPath();
  return p.substr(0, p.find_last_of(L'\\'));
}

// A running installer; ended if the test has not waited for it.
class InstallerRun {
 public:
  // quoted: the program's name on the command line in double quotes, as a shell passes it.
  explicit InstallerRun(const std::wstring& arguments, bool quoted = true) {
    std::wstring line = (quoted ? L"\"" + ProgramPath() + L"\"" : ProgramPath()) + L"  \t" + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    started_ = CreateProcessW(ProgramPath().c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &info_) != FALSE;
  }
  ~InstallerRun() {
    if (!started_) return;
    if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info_.hProcess, 99);
    CloseHandle(info_.hThread);
    CloseHandle(info_.hProcess);
  }
  bool started() const { return started_; }
  DWORD pid() const { return info_.dwProcessId; }
  // The exit code, or nullopt when the program is still running after timeoutMs.
  std::optional<int> Wait(DWORD timeoutMs = 20000) {
    if (!started_ || WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(info_.hProcess, &code);
    return static_cast<int>(code);
  }

 private:
  bool started_ = false;
  PROCESS_INFORMATION info_{};
};

std::wstring WindowText(HWND window) {
  wchar_t text[512] = {};
  // The text of a message box is its static control's.
  for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, 32);
    if (_wcsicmp(cls, L"Static") == 0 && GetWindowTextW(child, text, 512) > 0) return text;
  }
  return {};
}

TEST(WinProgram, SilentCommandLineFaultsEndWithTheirExitCodes) {
  struct Case {
    const wchar_t* arguments;
    int exitCode;
  } const cases[] = {
      {L"-n -u -s", kExitSwitchConflict},
      {L"-s -r -u USB\\VID_4407&PID_7705", kExitSwitchConflict},
      {L"-s -n USB\\VID_4407&PID_7705", kExitInstallArguments},
      {L"-s -f", kExitInstallArguments},
      {L"-s -u", kExitUninstallArguments},
      {L"-s", kExitNoSwitch},
  };
  for (const auto& c : cases) {
    InstallerRun run(c.arguments);
    ASSERT_TRUE(run.started());
    EXPECT_EQ(run.Wait(), c.exitCode) << std::string(c.arguments, c.arguments + wcslen(c.arguments));
  }
  // The program's name without quotes ends at the first blank (the test's path has none).
  ASSERT_EQ(ProgramPath().find_first_of(L" \t"), std::wstring::npos);
  InstallerRun unquoted(L"-n -u -s", /*quoted=*/false);
  EXPECT_EQ(unquoted.Wait(), kExitSwitchConflict);
}

TEST(WinProgram, WithoutSilentSwitchAFaultIsShownInABox) {
  InstallerRun run(L"-i");
  ASSERT_TRUE(run.started());
  HWND box = wintest::WaitForWindow(run.pid(), kCaptionError);
  ASSERT_NE(box, nullptr) << "no box titled ERROR";
  // The box's window is found by its title before the dialog has filled in its text.
  for (int i = 0; i < 250 && (!IsWindowVisible(box) || WindowText(box).empty()); ++i) Sleep(20);
  EXPECT_EQ(WindowText(box), kTextIncorrectSwitch);
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  EXPECT_EQ(run.Wait(), kExitNoSwitch);
}

TEST(WinProgram, SilentUninstallOfADeviceTheSystemDoesNotKnow) {
  InstallerRun run(L"-s -u \"USB\\VID_4407&PID_77F0\"");
  ASSERT_TRUE(run.started());
  EXPECT_EQ(run.Wait(), kExitNoMatchingDevice);
}

TEST(WinProgram, SilentUninstallRemovesTheStoreCopiesOfThePackageThatNameTheDevice) {
  win_platform::WinDeviceInstallServices sys;
  const std::wstring store = *sys.WindowsDirectory() + L"\\inf\\";
  // A hardware ID of this run only, so that the clean-up touches no other test's files.
  wchar_t pid[8];
  swprintf(pid, 8, L"%04X", static_cast<unsigned>((GetTickCount() ^ GetCurrentProcessId()) & 0xFFFF));
  const std::wstring hwid = std::wstring(L"USB\\VID_44F7&PID_") + pid;
  const std::string hwidNarrow = wintest::Narrow(hwid);
  const std::string models = "[KQDevices.NT.5.1]\r\n%KQDevice%=RNDIS, ";
  const std::wstring ours = store + wintest::UniqueName(L"oem9", L".inf");
  const std::wstring ourPnf = ours.substr(0, ours.size() - 3) + L"PNF";
  const std::wstring other = store + wintest::UniqueName(L"oem9", L".inf");
  ASSERT_TRUE(wintest::WriteText(ours, wintest::PackageInf(hwidNarrow) + models + hwidNarrow + "\r\n"));
  ASSERT_TRUE(wintest::WriteText(ourPnf, "precompiled"));
  ASSERT_TRUE(wintest::WriteText(other, wintest::PackageInf(hwidNarrow) + models + "USB\\VID_44F8&PID_0001\r\n"));

  InstallerRun run(L"-s -u " + hwid);
  ASSERT_TRUE(run.started());
  // No such device exists, so the removal finds nothing; the copies naming it are gone first.
  EXPECT_EQ(run.Wait(), kExitNoMatchingDevice);
  EXPECT_FALSE(wintest::FileExists(ours));
  EXPECT_FALSE(wintest::FileExists(ourPnf));
  EXPECT_TRUE(wintest::FileExists(other));
  DeleteFileW(ours.c_str());
  DeleteFileW(ourPnf.c_str());
  DeleteFileW(other.c_str());
}

TEST(WinProgram, SilentInstallCopiesTheInfAndOpensTheMainWindow) {
  win_platform::WinDeviceInstallServices sys;
  const std::wstring name = wintest::UniqueName(L"kqcoprog", L".inf");
  const std::wstring source = ProgramFolder() + L"\\" + name;
  const std::string marker = wintest::Narrow(name);
  ASSERT_TRUE(wintest::WriteText(source, wintest::PackageInf("USB\\VID_4407&PID_7705", marker)));
  const std::wstring store = *sys.WindowsDirectory() + L"\\inf\\";

  {
    // The INF is named relative to the installer's own folder, whatever the current folder.
    InstallerRun run(L"-s -n " + name + L" USB\\VID_4407&PID_7705");
    ASSERT_TRUE(run.started());
    HWND window = wintest::WaitForWindow(run.pid(), L"KQCoInstaller");
    ASSERT_NE(window, nullptr) << "no main window";
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(kCmdExit, 0), 0);
    EXPECT_EQ(run.Wait(), kExitDone);
  }
  DeleteFileW(source.c_str());
  // Other tests may copy packages at the same time: only the copies with this marker count.
  int added = 0;
  for (const auto& f : sys.FindFiles(store + L"*.inf")) {
    if (sys.ProfileString(store + f, L"Strings", L"Marker", L"") != std::wstring(marker.begin(), marker.end()))
      continue;
    ++added;
    EXPECT_EQ(sys.ProfileString(store + f, L"RNDIS.NT", L"Characteristics", L""), L"0x84");
    sys.RemoveFile(store + f);
  }
  EXPECT_EQ(added, 1);
}

TEST(WinProgram, SilentInstallOfAMissingInfFailsWithoutAWindow) {
  InstallerRun run(L"-s -n no-such-package.inf USB\\VID_4407&PID_7705");
  ASSERT_TRUE(run.started());
  EXPECT_EQ(run.Wait(), kExitCopyInfFailed);
}

}  // namespace
}  // namespace kqco
