// KQ-LumaraLink.exe under Wine, each test with an installation of its own: the error boxes and
// exit codes of the Java start, the options and arguments that reach the runtime, the splash,
// and a second start's window activation and argument forwarding.  The runtime is a stand-in
// jvm.dll (fake_jvm_win.cpp) that plays the application too.  The tests share the session's
// mutex "Orvane-Connect" and port 46001, so CTest runs them one at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "launcher_win_support.h"

namespace lumara::wintest {
namespace {

constexpr const char kTextNoLibrary[] =
    "Unable to launch the application. The Java virtual machine library cannot be found.";
constexpr const char kTextNoMainClass[] =
    "Unable to launch the application. The application main class cannot be found.";
constexpr const char kTextNoJvm[] = "Unable to launch the application. The java virtual machine cannot be created.";
constexpr const char kMainWindowClass[] = "com.kq.vlx.qxconnect.gui.MainFrame";

class LauncherProgram : public ::testing::Test {
 protected:
  void SetUp() override { ClearLauncherEnvironment(); }
  void TearDown() override { ClearLauncherEnvironment(); }

  // The launcher's error box: caption "Error", no owner, an error icon and one OK button; gives
  // its text and answers it.  (Wine's message boxes do not take MB_TOPMOST on: their windows
  // never get WS_EX_TOPMOST, so that flag cannot be seen here.)
  std::string AnswerErrorBox(const Launcher& launcher) {
    HWND box = WaitForWindow(launcher.pid(), "#32770", "Error", 15000);
    if (box == nullptr) return "(no box)";
    EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
    // The box may be found before its dialog has made every control and filled in its text
    // (the dialog shows itself once it has).
    for (int i = 0; i < 100 && (!IsWindowVisible(box) || BoxControls(box) != "icon,OK" || BoxText(box).empty()); ++i)
      Pump(50);
    EXPECT_EQ(BoxControls(box), "icon,OK");
    const std::string text = BoxText(box);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return text;
  }

  std::vector<std::string> Lines(const Installation& at, const char* prefix) {
    std::vector<std::string> out;
    for (const auto& line : ReadLines(at.log())) {
      if (line.compare(0, std::string(prefix).size(), prefix) == 0)
        out.push_back(line.substr(std::string(prefix).size()));
    }
    return out;
  }
};

TEST_F(LauncherProgram, WithoutTheRuntimeLibraryShowsText4AndExitsMinusOne) {
  Installation at("");
  Launcher launcher(at, {});
  ASSERT_TRUE(launcher.started());
  // The splash is up beside the box (the box is top-most, the splash is not).
  HWND splash = WaitForWindow(launcher.pid(), "SplashScreenWndClass", nullptr, 15000);
  ASSERT_NE(splash, nullptr);
  EXPECT_EQ(GetWindowLongW(splash, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
  EXPECT_EQ(AnswerErrorBox(launcher), kTextNoLibrary);
  EXPECT_EQ(launcher.Wait(15000), static_cast<DWORD>(-1));
}

TEST_F(LauncherProgram, RuntimeWithoutCreationEntryShowsText6AndExitsMinusOne) {
  Installation at(KQ_FAKE_JVM_NO_ENTRY);
  Launcher launcher(at, {});
  EXPECT_EQ(AnswerErrorBox(launcher), kTextNoJvm);
  EXPECT_EQ(launcher.Wait(15000), static_cast<DWORD>(-1));
}

TEST_F(LauncherProgram, FailedCreationShowsText6AndExitsWithItsCode) {
  Installation at(KQ_FAKE_JVM);
  SetEnvironmentVariableA("KQ_FAKE_JVM_LOG", at.log().c_str());
  SetEnvironmentVariableA("KQ_FAKE_JVM_CREATE_RESULT", "-6");
  Launcher launcher(at, {});
  EXPECT_EQ(AnswerErrorBox(launcher), kTextNoJvm);
  EXPECT_EQ(launcher.Wait(15000), static_cast<DWORD>(-6));
  EXPECT_TRUE(Lines(at, "main").empty());
}

TEST_F(LauncherProgram, MissingMainClassShowsText5ThenTearsDown) {
  Installation at(KQ_FAKE_JVM);
  SetEnvironmentVariableA("KQ_FAKE_JVM_LOG", at.log().c_str());
  SetEnvironmentVariableA("KQ_FAKE_JVM_NO_MAIN_CLASS", "1");
  SetEnvironmentVariableA("KQ_FAKE_JVM_DESTROY_RESULT", "7");
  Launcher launcher(at, {});
  EXPECT_EQ(AnswerErrorBox(launcher), kTextNoMainClass);
  EXPECT_EQ(launcher.Wait(15000), 7u);  // the teardown's result
  EXPECT_EQ(Lines(at, "destroy").size(), 1u);
}

TEST_F(LauncherProgram, OptionsAndArgumentsReachTheRuntimeAndMain) {
  Installation at(KQ_FAKE_JVM);
  SetEnvironmentVariableA("KQ_FAKE_JVM_LOG", at.log().c_str());
  // An existing file with a long name, one whose name starts with '-', and a word naming nothing.
  const std::string long_name = at.File("a file with a rather long name.txt");
  const std::string dash_name = at.File("-Xdash");
  CloseHandle(CreateFileA(long_name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  CloseHandle(CreateFileA(dash_name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  Launcher launcher(at, {Wide(long_name), L"-Xdash", L"not-a-file", L"\u00e9t\u00e9 \u65e5\u672c"});
  EXPECT_EQ(launcher.Wait(15000), 0u);

  char short_form[MAX_PATH] = {};
  ASSERT_GT(GetShortPathNameA(long_name.c_str(), short_form, MAX_PATH), 0u);
  // The launcher runs in its installation folder: "-Xdash" names the file there.  (The test
  // goes back to its own folder, or the installation could not be removed at its end.)
  char own_folder[MAX_PATH] = {};
  ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, own_folder), 0u);
  SetCurrentDirectoryA(at.folder().c_str());
  char dash_short[MAX_PATH] = {};
  const DWORD dash_length = GetShortPathNameA("-Xdash", dash_short, MAX_PATH);
  SetCurrentDirectoryA(own_folder);
  ASSERT_GT(dash_length, 0u);
  // The runtime's fixed options in their order, then one per argument that names a path.
  EXPECT_EQ(Lines(at, "option "),
            (std::vector<std::string>{"-Djava.class.path=lib\\qxconnect.jar;", "-Djava.library.path=lib", "-Xms24m",
                                      "-Xmx128m", short_form, std::string(".\\") + dash_short}));
  EXPECT_EQ(Lines(at, "create "), std::vector<std::string>{"version=10004 ignore=1"});
  // main gets every argument as typed, characters outside the ANSI code page included.
  EXPECT_EQ(Lines(at, "arg "), (std::vector<std::string>{long_name, "-Xdash", "not-a-file",
                                                         "\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC"}));
  EXPECT_EQ(Lines(at, "destroy").size(), 1u);
}

TEST_F(LauncherProgram, WithoutArgumentsMainGetsAnEmptyArray) {
  Installation at(KQ_FAKE_JVM);
  SetEnvironmentVariableA("KQ_FAKE_JVM_LOG", at.log().c_str());
  Launcher launcher(at, {});
  EXPECT_EQ(launcher.Wait(15000), 0u);
  EXPECT_EQ(Lines(at, "option ").size(), 4u);
  EXPECT_EQ(Lines(at, "main").size(), 1u);
  EXPECT_TRUE(Lines(at, "arg ").empty());
}

TEST_F(LauncherProgram, MainEndingByAnExceptionIsReportedAndExitsOne) {
  Installation at(KQ_FAKE_JVM);
  SetEnvironmentVariableA("KQ_FAKE_JVM_LOG", at.log().c_str());
  SetEnvironmentVariableA("KQ_FAKE_JVM_THROW", "1");
  Launcher launcher(at, {});
  EXPECT_EQ(launcher.Wait(15000), 1u);
  EXPECT_EQ(Lines(at, "exception described").size(), 1u);
  EXPECT_EQ(Lines(at, "destroy").size(), 1u);
}

TEST_F(LauncherProgram, SplashIsCentredAndLeavesTwoSecondsAfterTheMainWindow) {
  Installation at(KQ_FAKE_JVM);
  SetEnvironmentVariableA("KQ_FAKE_JVM_LOG", at.log().c_str());
  SetEnvironmentVariableA("KQ_FAKE_JVM_WINDOW_MS", "1500");
  Launcher launcher(at, {});
  HWND splash = WaitForWindow(launcher.pid(), "SplashScreenWndClass", nullptr, 15000);
  ASSERT_NE(splash, nullptr);
  RECT r{};
  GetWindowRect(splash, &r);
  const int cx = GetSystemMetrics(SM_CXSCREEN), cy = GetSystemMetrics(SM_CYSCREEN);
  EXPECT_EQ(r.left, (cx - 504) / 2);
  EXPECT_EQ(r.top, (cy - 323) / 2);
  EXPECT_EQ(r.right - r.left, 504);
  EXPECT_EQ(r.bottom - r.top, 323);
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(splash, GWL_STYLE)) & (WS_POPUP | WS_CAPTION | WS_THICKFRAME),
            static_cast<DWORD>(WS_POPUP));
  EXPECT_NE(GetWindowLongW(splash, GWL_EXSTYLE) & WS_EX_TOOLWINDOW, 0);
  EXPECT_TRUE(IsWindowVisible(splash));

  ASSERT_TRUE(WaitForLine(at.log(), "ready", 15000));
  const DWORD seen = GetTickCount();
  HWND main_window = WaitForWindow(launcher.pid(), kMainWindowClass, nullptr, 5000);
  ASSERT_NE(main_window, nullptr);
  Pump(1200);
  EXPECT_TRUE(IsWindow(splash)) << "gone after " << GetTickCount() - seen << " ms";
  // Two seconds after the first poll that sees the window (well before the 65535 ms of display
  // time; the upper bound leaves room for a loaded machine).
  EXPECT_TRUE(WaitForWindowGone(splash, 12000));
  const DWORD gone = GetTickCount() - seen;
  EXPECT_GE(gone, 1700u);
  EXPECT_LE(gone, 12000u);

  PostMessageW(main_window, WM_CLOSE, 0, 0);
  EXPECT_EQ(launcher.Wait(15000), 0u);
}

TEST_F(LauncherProgram, SplashLeavesAfterItsDisplayTimeWhenNoMainWindowOpens) {
  Installation at(KQ_FAKE_JVM);
  SetEnvironmentVariableA("KQ_FAKE_JVM_WAIT_MS", "6000");
  SetEnvironmentVariableA("KQ_LAUNCHER_SPLASH_TIME_MS", "1000");
  Launcher launcher(at, {});
  HWND splash = WaitForWindow(launcher.pid(), "SplashScreenWndClass", nullptr, 15000);
  ASSERT_NE(splash, nullptr);
  EXPECT_TRUE(WaitForWindowGone(splash, 4500));
  EXPECT_EQ(launcher.Wait(0), static_cast<DWORD>(STILL_ACTIVE));  // the application runs on
  EXPECT_EQ(launcher.Wait(15000), 0u);
}

TEST_F(LauncherProgram, SecondStartRaisesTheApplicationAndForwardsItsArguments) {
  Installation at(KQ_FAKE_JVM);
  SetEnvironmentVariableA("KQ_FAKE_JVM_LOG", at.log().c_str());
  SetEnvironmentVariableA("KQ_FAKE_JVM_WINDOW_MS", "0");
  Launcher first(at, {});
  ASSERT_TRUE(WaitForLine(at.log(), "ready", 15000));
  HWND main_window = WaitForWindow(first.pid(), kMainWindowClass, nullptr, 5000);
  ASSERT_NE(main_window, nullptr);
  ShowWindow(main_window, SW_MINIMIZE);
  Pump(300);
  ASSERT_TRUE(IsIconic(main_window));

  // Two arguments: both texts, in order, with nothing between them, on one connection.
  Launcher second(at, {L"first file.txt", L"second"});
  EXPECT_EQ(second.Wait(15000), 0u);
  ASSERT_TRUE(WaitForLine(at.log(), "forwarded ", 5000, true));
  std::string expected_hex;
  for (unsigned char c : std::string("first file.txtsecond")) {
    char two[3];
    snprintf(two, sizeof two, "%02x", c);
    expected_hex += two;
  }
  EXPECT_EQ(Lines(at, "forwarded "), std::vector<std::string>{expected_hex});
  Pump(300);
  EXPECT_FALSE(IsIconic(main_window));  // restored
  // The second start ran no application of its own.
  EXPECT_EQ(Lines(at, "main").size(), 1u);

  // Without arguments: the window is raised, no connection is made.
  Launcher third(at, {});
  EXPECT_EQ(third.Wait(15000), 0u);
  Pump(500);
  EXPECT_EQ(Lines(at, "forwarded ").size(), 1u);

  PostMessageW(main_window, WM_CLOSE, 0, 0);
  EXPECT_EQ(first.Wait(15000), 0u);
}

// The tests below hold the session's mutex themselves, so the launcher is a second start.
class SecondStart : public LauncherProgram {
 protected:
  void SetUp() override {
    LauncherProgram::SetUp();
    mutex_ = CreateMutexA(nullptr, TRUE, "Orvane-Connect");
    ASSERT_NE(mutex_, nullptr);
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "another launcher runs";
  }
  void TearDown() override {
    if (mutex_ != nullptr) CloseHandle(mutex_);
    LauncherProgram::TearDown();
  }

  static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return DefWindowProcA(w, m, wp, lp); }
  // A top-level window of this thread with `cls` and `title`, minimised.
  HWND MinimisedWindow(const char* cls, const char* title) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = Proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = cls;
    RegisterClassA(&wc);
    HWND w = CreateWindowA(cls, title, WS_OVERLAPPEDWINDOW, 10, 10, 200, 100, nullptr, nullptr, wc.hInstance, nullptr);
    ShowWindow(w, SW_SHOWMINIMIZED);
    Pump(100);
    return w;
  }

  HANDLE mutex_ = nullptr;
};

TEST_F(SecondStart, RestoresOnlyVisibleWindowsOfTheApplicationsClassAndTitle) {
  Installation at("");
  HWND match = MinimisedWindow("COM.KQ.VLX.QXCONNECT.GUI.MAINFRAME", "Files - Orvane-Connect");
  HWND wrong_title = MinimisedWindow("com.kq.vlx.qxconnect.gui.MainFrame", "orvane-connect (lower case)");
  HWND wrong_class = MinimisedWindow("com.kq.vlx.qxconnect.gui.OtherFrame", "Orvane-Connect");
  ASSERT_TRUE(IsIconic(match) && IsIconic(wrong_title) && IsIconic(wrong_class));

  Launcher launcher(at, {});
  EXPECT_EQ(launcher.Wait(15000), 0u);  // the window search answers its WM_GETTEXT through Wait's pumping
  Pump(300);
  EXPECT_FALSE(IsIconic(match));
  EXPECT_TRUE(IsIconic(wrong_title));
  EXPECT_TRUE(IsIconic(wrong_class));
  DestroyWindow(match);
  DestroyWindow(wrong_title);
  DestroyWindow(wrong_class);
}

DWORD WINAPI HangingWindowThread(LPVOID param) {
  auto* window = static_cast<HWND*>(param);
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "com.kq.vlx.qxconnect.gui.MainFrame";
  RegisterClassA(&wc);
  *window = CreateWindowA(wc.lpszClassName, "Orvane-Connect", WS_OVERLAPPEDWINDOW, 10, 10, 200, 100, nullptr, nullptr,
                          wc.hInstance, nullptr);
  ShowWindow(*window, SW_SHOWMINIMIZED);
  Sleep(12000);  // never answers a message meanwhile
  DestroyWindow(*window);
  return 0;
}

TEST_F(SecondStart, AHangingWindowDoesNotHangTheStart) {
  Installation at("");
  HWND hanging = nullptr;
  HANDLE thread = CreateThread(nullptr, 0, HangingWindowThread, &hanging, 0, nullptr);
  Sleep(500);
  ASSERT_NE(hanging, nullptr);
  Launcher launcher(at, {});
  const DWORD start = GetTickCount();
  EXPECT_EQ(launcher.Wait(9000), 0u);
  EXPECT_LT(GetTickCount() - start, 9000u);
  WaitForSingleObject(thread, 15000);
  CloseHandle(thread);
}

TEST_F(SecondStart, WithoutAListenerGivesUpAfterFiveAttemptsAndExitsZero) {
  Installation at("");
  SetEnvironmentVariableA("KQ_LAUNCHER_RETRY_PAUSE_MS", "400");
  const DWORD start = GetTickCount();
  Launcher launcher(at, {L"lost.txt"});
  EXPECT_EQ(launcher.Wait(15000), 0u);
  const DWORD took = GetTickCount() - start;
  EXPECT_GE(took, 5 * 400u);  // a pause after each of the five attempts
  EXPECT_LT(took, 5 * 400u + 6000u);
}

}  // namespace
}  // namespace lumara::wintest
