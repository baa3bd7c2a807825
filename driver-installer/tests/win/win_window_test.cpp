// The Win32 window services as the flows use them: a box shown on one thread is answered by a
// command that another thread sends to it by its title.
#include <gtest/gtest.h>

#include <windows.h>

#include <future>

#include "platform/win/window_win.h"
#include "win_support.h"

namespace kqco {
namespace {

using win_platform::WinWindowServices;

// Sends the command to the window with this title as soon as it is up; false after timeoutMs.
bool SendWhenUp(WinWindowServices& windows, const std::wstring& title, int command, DWORD timeoutMs = 10000) {
  for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
    if (windows.SendCommand(title, command)) return true;
    Sleep(20);
  }
  return false;
}

TEST(WinWindows, ABoxEndsWithTheButtonAnotherThreadSends) {
  WinWindowServices windows;
  const std::wstring caption = wintest::UniqueName(L"kqco box ", L"");
  auto shown = std::async(std::launch::async,
                          [&] { return windows.ShowMessageBox(L"Please answer", caption, BoxButtons::kOkCancel); });
  // Cancel, not the default button: the answer is the one sent, not a box closed anyhow.
  ASSERT_TRUE(SendWhenUp(windows, caption, kIdCancel));
  ASSERT_EQ(shown.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(shown.get(), kIdCancel);
}

TEST(WinWindows, ACommandForAWindowThatIsNotThereIsNotSent) {
  WinWindowServices windows;
  EXPECT_FALSE(windows.SendCommand(wintest::UniqueName(L"no such window ", L""), kIdOk));
}

TEST(WinWindows, TheMainWindowRunsUntilItsExitCommand) {
  WinWindowServices windows;
  MainWindowTexts texts;
  texts.title = wintest::UniqueName(L"kqco main ", L"");
  texts.className = L"KQCOTESTMAIN";
  texts.line = L"done";
  texts.aboutTitle = wintest::UniqueName(L"kqco about ", L"");
  texts.aboutText = L"about";
  auto run = std::async(std::launch::async, [&] { return windows.RunMainWindow(texts, SW_SHOWNORMAL); });
  // About opens a box owned by the window; its OK ends it, and Exit then ends the window.
  HWND main = nullptr;
  for (int i = 0; i < 500 && main == nullptr; ++i, Sleep(20)) main = FindWindowW(nullptr, texts.title.c_str());
  ASSERT_NE(main, nullptr);
  PostMessageW(main, WM_COMMAND, MAKEWPARAM(kCmdAbout, 0), 0);
  ASSERT_TRUE(SendWhenUp(windows, texts.aboutTitle, kIdOk));
  PostMessageW(main, WM_COMMAND, MAKEWPARAM(kCmdExit, 0), 0);
  ASSERT_EQ(run.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(run.get());
  EXPECT_EQ(FindWindowW(nullptr, texts.title.c_str()), nullptr);
}

}  // namespace
}  // namespace kqco
