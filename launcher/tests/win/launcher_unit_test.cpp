// The launcher's Win32 layer in this process (the test program carries the launcher's own
// resources): the string table, ANSI conversion, virtual-machine options, and the splash
// thread with its window class, placement and timers.
#include <gtest/gtest.h>

#include <string>

#include "launcher.h"
#include "launcher_win_support.h"

namespace lumara {
namespace {

TEST(LauncherStrings, TableHoldsTheTextsAndNothingElse) {
  ASSERT_NE(LoadLauncherString(kStrNoJvmLibrary), nullptr);
  EXPECT_STREQ(LoadLauncherString(kStrNoJvmLibrary),
               "Unable to launch the application. The Java virtual machine library cannot be found.");
  EXPECT_STREQ(LoadLauncherString(kStrNoMainClass),
               "Unable to launch the application. The application main class cannot be found.");
  EXPECT_STREQ(LoadLauncherString(kStrNoJvm),
               "Unable to launch the application. The java virtual machine cannot be created.");
  EXPECT_STREQ(LoadLauncherString(kStrErrorCaption), "Error");
  EXPECT_STREQ(LoadLauncherString(kStrProductTitle), "Lumara Link 0.1.0");
  EXPECT_EQ(LoadLauncherString(3), nullptr);
  EXPECT_EQ(LoadLauncherString(8), nullptr);
}

TEST(LauncherResources, IconGroupOneAndTheSplashPicture) {
  HMODULE self = GetModuleHandleA(nullptr);
  HRSRC group = FindResourceA(self, MAKEINTRESOURCEA(kIconGroup), RT_GROUP_ICON);
  ASSERT_NE(group, nullptr);
  // A group header and one 14-byte entry per image: 3 sizes x 3 depths.
  const auto* header = static_cast<const WORD*>(LockResource(LoadResource(self, group)));
  EXPECT_EQ(header[2], 9);
  HRSRC splash = FindResourceA(self, kSplashResourceName, kSplashResourceType);
  ASSERT_NE(splash, nullptr);
  const auto* png = static_cast<const unsigned char*>(LockResource(LoadResource(self, splash)));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(png) + 1, 3), "PNG");
  // IHDR: 504 x 323, 8 bits, colour type 6.
  auto be32 = [&](int at) { return png[at] << 24 | png[at + 1] << 16 | png[at + 2] << 8 | png[at + 3]; };
  EXPECT_EQ(be32(16), 504);
  EXPECT_EQ(be32(20), 323);
  EXPECT_EQ(png[24], 8);
  EXPECT_EQ(png[25], 6);
}

TEST(LauncherAnsi, ConvertsWholeTextsInTheThreadCodePage) {
  EXPECT_EQ(ConvertToAnsi(L"plain text.txt"), "plain text.txt");
  EXPECT_EQ(ConvertToAnsi(L""), "");
  EXPECT_EQ(ConvertToAnsi(nullptr), "");
  // A character the code page lacks becomes its default character, never a cut text.
  const std::string converted = ConvertToAnsi(L"a\u4e00b");
  ASSERT_EQ(converted.size(), 3u);
  EXPECT_EQ(converted[0], 'a');
  EXPECT_EQ(converted[2], 'b');
  const std::wstring long_text(5000, L'x');
  EXPECT_EQ(ConvertToAnsi(long_text.c_str()).size(), 5000u);
}

TEST(LauncherOptions, FixedOptionsThenShortFormsOfExistingPaths) {
  zrtest::TempDir folder;
  const std::string file = folder.file("long file name here.data");
  CloseHandle(CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  std::wstring wide_file = wintest::Wide(file);
  wchar_t program[] = L"KQ-LumaraLink.exe";
  wchar_t missing[] = L"Z:\\no\\such\\file";
  wchar_t empty[] = L"";
  wchar_t* argv[] = {program, &wide_file[0], missing, empty};
  const auto options = JvmOptionsFor(4, argv);
  char short_form[MAX_PATH] = {};
  ASSERT_GT(GetShortPathNameA(file.c_str(), short_form, MAX_PATH), 0u);
  EXPECT_EQ(options, (std::vector<std::string>{"-Djava.class.path=lib\\qxconnect.jar;", "-Djava.library.path=lib",
                                               "-Xms24m", "-Xmx128m", short_form}));
  EXPECT_EQ(JvmOptionsFor(1, argv).size(), 4u);
  EXPECT_EQ(JvmOptionsFor(0, nullptr).size(), 4u);
}

SplashParams Params(WORD display_time, BOOL wait) {
  SplashParams p{};
  p.module = GetModuleHandleA(nullptr);
  p.resource_module = p.module;
  p.resource_name = kSplashResourceName;
  p.display_time = display_time;
  p.centre = FALSE;
  p.wait = wait;
  p.x = 600;
  p.y = 400;
  return p;
}

TEST(LauncherSplash, PlacedAroundItsCentrePointAndGoneAfterItsDisplayTime) {
  const SplashParams p = Params(900, FALSE);
  StartSplashScreen(&p);
  HWND splash = wintest::WaitForWindow(GetCurrentProcessId(), kSplashWindowClass, "", 5000);
  ASSERT_NE(splash, nullptr);
  RECT r{};
  GetWindowRect(splash, &r);
  EXPECT_EQ(r.left, 600 - 504 / 2);
  EXPECT_EQ(r.top, 400 - 323 / 2);
  EXPECT_EQ(r.right - r.left, 504);
  EXPECT_EQ(r.bottom - r.top, 323);
  EXPECT_TRUE(IsWindowVisible(splash));
  EXPECT_TRUE(wintest::WaitForWindowGone(splash, 10000));
}

TEST(LauncherSplash, PaintsThePicture) {
  SplashParams p = Params(4000, FALSE);
  StartSplashScreen(&p);
  HWND splash = wintest::WaitForWindow(GetCurrentProcessId(), kSplashWindowClass, "", 5000);
  ASSERT_NE(splash, nullptr);
  wintest::Pump(500);
  // The picture's band at rows 238..246 is the product blue; its corners' inside is dark blue.
  HDC dc = GetDC(splash);
  const COLORREF band = GetPixel(dc, 250, 242);
  const COLORREF body = GetPixel(dc, 20, 200);
  ReleaseDC(splash, dc);
  EXPECT_EQ(band, RGB(0x2f, 0x7f, 0xd1));
  EXPECT_LT(GetRValue(body), 0x30);
  EXPECT_GT(GetBValue(body), GetRValue(body));
  PostMessageA(splash, WM_CLOSE, 0, 0);
  EXPECT_TRUE(wintest::WaitForWindowGone(splash, 3000));
}

TEST(LauncherSplash, WaitingStartReturnsWhenTheSplashEndsAndAClassIsRegisteredOnce) {
  const SplashParams p = Params(300, TRUE);
  const DWORD start = GetTickCount();
  StartSplashScreen(&p);  // waits for the thread
  EXPECT_GE(GetTickCount() - start, 250u);
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  EXPECT_TRUE(GetClassInfoExA(GetModuleHandleA(nullptr), kSplashWindowClass, &wc));
  EXPECT_EQ(wc.hbrBackground, nullptr);
  // A second splash finds the class and shows again.
  StartSplashScreen(&p);
  EXPECT_GE(GetTickCount() - start, 550u);
}

TEST(LauncherSplash, MissingPictureMeansNoSplash) {
  SplashParams p = Params(300, TRUE);
  p.resource_name = "NO_SUCH_PICTURE";
  const DWORD start = GetTickCount();
  StartSplashScreen(&p);
  EXPECT_LT(GetTickCount() - start, 250u);
  EXPECT_EQ(wintest::WaitForWindow(GetCurrentProcessId(), kSplashWindowClass, nullptr, 0), nullptr);
}

TEST(LauncherSplash, ClosesSoonAfterTheApplicationsWindowAppears) {
  SetEnvironmentVariableA("KQ_LAUNCHER_SPLASH_LINGER_MS", "600");
  const SplashParams p = Params(30000, FALSE);
  StartSplashScreen(&p);
  HWND splash = wintest::WaitForWindow(GetCurrentProcessId(), kSplashWindowClass, "", 5000);
  ASSERT_NE(splash, nullptr);
  WNDCLASSA wc{};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kMainWindowClass;
  RegisterClassA(&wc);
  HWND app = CreateWindowA(kMainWindowClass, "Orvane-Connect", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                           wc.hInstance, nullptr);
  const DWORD start = GetTickCount();
  // The linger time after the first poll that sees the window, long before the display time.
  EXPECT_TRUE(wintest::WaitForWindowGone(splash, 15000));
  const DWORD took = GetTickCount() - start;
  EXPECT_GE(took, 550u);
  EXPECT_LE(took, 15000u);
  DestroyWindow(app);
  SetEnvironmentVariableA("KQ_LAUNCHER_SPLASH_LINGER_MS", nullptr);
}

}  // namespace
}  // namespace lumara
