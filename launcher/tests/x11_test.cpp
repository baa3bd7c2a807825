// The launcher's X side on a private Xvfb: finding and activating the application's main
// window, the error box, and the splash window (place, size, picture, timers).
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <cstdlib>
#include <future>
#include <memory>
#include <thread>

#include "launcher.h"
#include "launcher_test_support.h"
#include "resources.h"
#include "x11_windows.h"

namespace lumara {
namespace {

using namespace lumara::testing;

constexpr char kClass[] = "com.kq.vlx.qxconnect.gui.MainFrame";

class X11 : public ::testing::Test {
 protected:
  void StartServer(const std::string& screen) {
    xvfb_ = std::make_unique<XvfbServer>(screen);
    if (!xvfb_->running()) GTEST_SKIP() << "no X server: " << xvfb_->why();
    InstallQuietXErrorHandler();
    ::setenv("DISPLAY", xvfb_->display().c_str(), 1);
    d = OpenDisplay(xvfb_->display());
    ASSERT_NE(d, nullptr);
  }
  void SetUp() override { StartServer("1280x1024x24"); }
  void TearDown() override {
    if (d != nullptr) XCloseDisplay(d);
    d = nullptr;
    xvfb_.reset();
    ::unsetenv("DISPLAY");
    ::unsetenv("KQ_LAUNCHER_SPLASH_LINGER_MS");
  }
  bool Has(const std::vector<Window>& list, Window w) { return std::find(list.begin(), list.end(), w) != list.end(); }

  Display* d = nullptr;
  std::unique_ptr<XvfbServer> xvfb_;
};

TEST_F(X11, WalkSeesRootChildrenAndTheClientsOneLevelDown) {
  const Window top = CreateTitledWindow(d, "plain", "Other", 0, 0, 50, 50);
  const Window frame = XCreateSimpleWindow(d, DefaultRootWindow(d), 100, 100, 200, 200, 0, 0, 0);
  const Window client = XCreateSimpleWindow(d, frame, 5, 20, 150, 150, 0, 0, 0);
  const Window deeper = XCreateSimpleWindow(d, client, 0, 0, 10, 10, 0, 0, 0);
  XSync(d, False);
  const auto all = TopLevelWindows(d);
  EXPECT_TRUE(Has(all, top));
  EXPECT_TRUE(Has(all, frame));
  EXPECT_TRUE(Has(all, client));
  EXPECT_FALSE(Has(all, deeper));
}

TEST_F(X11, AWindowManagersClientListIsUsedWhenThereIsOne) {
  const Window listed = CreateTitledWindow(d, "listed", "Other", 0, 0, 50, 50);
  const Window unlisted = CreateTitledWindow(d, "unlisted", "Other", 60, 0, 50, 50);
  FakeEwmh wm(d, {listed});
  const auto all = TopLevelWindows(d);
  EXPECT_EQ(all, std::vector<Window>{listed});
  EXPECT_FALSE(Has(all, unlisted));
}

TEST_F(X11, MainWindowNeedsTheTitleWithCaseTheClassWithoutCaseAndToBeShownOrIconic) {
  struct Case {
    std::string title, res_class;
    bool map, iconic, expected;
  } cases[] = {
      {"Orvane-Connect", kClass, true, false, true},
      {"Lumara - Orvane-Connect 2", "COM.KQ.VLX.QXCONNECT.GUI.MAINFRAME", true, false, true},
      {"orvane-connect", kClass, true, false, false},  // the title is compared with case
      {"Lumara Link", kClass, true, false, false},
      {"", kClass, true, false, false},
      {"Orvane-Connect", "com.kq.vlx.qxconnect.gui.MainFrame2", true, false, false},
      {"Orvane-Connect", "", true, false, false},
      {"Orvane-Connect", kClass, false, false, false},  // withdrawn
      {"Orvane-Connect", kClass, false, true, true},    // iconic
  };
  for (const auto& c : cases) {
    const Window w = CreateTitledWindow(d, c.title, c.res_class, 10, 10, 100, 100, c.map);
    if (c.iconic) MakeIconic(d, w);
    EXPECT_EQ(IsApplicationMainWindow(d, w), c.expected) << c.title << " / " << c.res_class;
    XDestroyWindow(d, w);
  }
  // WM_NAME alone is enough when there is no _NET_WM_NAME.
  const Window old = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 10, 10, 0, 0, 0);
  XStoreName(d, old, "Orvane-Connect");
  XClassHint hint{const_cast<char*>("x"), const_cast<char*>(kClass)};
  XSetClassHint(d, old, &hint);
  XMapWindow(d, old);
  XSync(d, False);
  EXPECT_EQ(WindowTitle(d, old), "Orvane-Connect");
  EXPECT_TRUE(IsApplicationMainWindow(d, old));
}

TEST_F(X11, ACoveredMainWindowIsRaisedAndFocusedDecoysAreLeftAlone) {
  const Window main = CreateTitledWindow(d, "Orvane-Connect", kClass, 50, 50, 300, 200);
  const Window decoy = CreateTitledWindow(d, "Something else", kClass, 60, 60, 300, 200);
  const Window cover = CreateTitledWindow(d, "cover", "Other", 40, 40, 400, 300);
  ASSERT_LT(StackingIndex(d, main), StackingIndex(d, cover));
  EXPECT_EQ(ActivateRunningInstances(), 1);
  XSync(d, False);
  EXPECT_GT(StackingIndex(d, main), StackingIndex(d, cover));
  EXPECT_LT(StackingIndex(d, decoy), StackingIndex(d, cover));
  Window focus = 0;
  int revert = 0;
  XGetInputFocus(d, &focus, &revert);
  EXPECT_EQ(focus, main);
}

TEST_F(X11, AnIconicMainWindowIsRestoredAndTheWindowManagerAskedToActivateIt) {
  const Window main = CreateTitledWindow(d, "Orvane-Connect", kClass, 50, 50, 300, 200);
  const Window other = CreateTitledWindow(d, "other", "Other", 0, 0, 30, 30);
  MakeIconic(d, main);
  ASSERT_FALSE(IsMapped(d, main));
  FakeEwmh wm(d, {other, main});
  EXPECT_EQ(ActivateRunningInstances(), 1);
  EXPECT_TRUE(WaitFor([&] { return IsMapped(d, main); }, 2000));
  EXPECT_TRUE(WaitFor([&] { return wm.ActivationRequests() == std::vector<Window>{main}; }, 2000));
}

TEST_F(X11, EveryMatchingWindowIsActivated) {
  const Window a = CreateTitledWindow(d, "Orvane-Connect A", kClass, 0, 0, 100, 100);
  const Window b = CreateTitledWindow(d, "Orvane-Connect B", kClass, 0, 0, 100, 100);
  FakeEwmh wm(d, {a, b});
  EXPECT_EQ(ActivateRunningInstances(), 2);
  EXPECT_TRUE(WaitFor([&] { return wm.ActivationRequests() == std::vector<Window>{a, b}; }, 2000));
}

TEST_F(X11, NoDisplayNoActivation) {
  ::unsetenv("DISPLAY");
  EXPECT_EQ(ActivateRunningInstances(), 0);
}

// ---- the error box ----------------------------------------------------------------------------------
Window WaitForErrorBox(Display* d) {
  Window found = 0;
  WaitFor(
      [&] {
        found = FindByClass(d, "KQ-LumaraLink");
        return found != 0 && IsMapped(d, found);
      },
      5000);
  return found;
}

int DrawnPixels(Display* d, Window w) {
  int width = 0, height = 0;
  int drawn = 0;
  for (unsigned p : WindowPixels(d, w, &width, &height)) drawn += p != 0xFFFFFFu;
  return drawn;
}

TEST_F(X11, ErrorBoxIsATopMostWindowWithCaptionTextAndOkButton) {
  auto box = std::async(std::launch::async, [] { ShowLaunchError(LoadLauncherString(kStrNoMainClass)); });
  const Window w = WaitForErrorBox(d);
  ASSERT_NE(w, 0u);
  EXPECT_EQ(WindowTitle(d, w), "Error");
  Window owner = 0;
  EXPECT_EQ(XGetTransientForHint(d, w, &owner), 0) << "no owner window";
  Atom type;
  int format;
  unsigned long count, after;
  unsigned char* data = nullptr;
  ASSERT_EQ(XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_STATE", False), 0, 8, False, XA_ATOM, &type, &format,
                               &count, &after, &data),
            Success);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(reinterpret_cast<Atom*>(data)[0], XInternAtom(d, "_NET_WM_STATE_ABOVE", False));
  XFree(data);
  EXPECT_TRUE(WaitFor([&] { return DrawnPixels(d, w) > 500; }, 3000)) << "text and button drawn";
  EXPECT_EQ(box.wait_for(Ms(200)), std::future_status::timeout) << "waits to be dismissed";

  // A click in the OK button (centred at the bottom) closes it.
  const Geometry g = GetGeometry(d, w);
  XEvent e{};
  e.xbutton.window = w;
  e.xbutton.x = g.width / 2;
  e.xbutton.y = g.height - 16 - 13;
  e.xbutton.button = Button1;
  e.type = ButtonPress;
  XSendEvent(d, w, False, ButtonPressMask, &e);
  e.type = ButtonRelease;
  XSendEvent(d, w, False, ButtonReleaseMask, &e);
  XSync(d, False);
  ASSERT_EQ(box.wait_for(Ms(3000)), std::future_status::ready);
  EXPECT_FALSE(WaitFor([&] { return FindByClass(d, "KQ-LumaraLink") != 0; }, 300));
}

TEST_F(X11, ErrorBoxClosesWithTheKeyboardAndTheWindowManagersClose) {
  for (int way = 0; way < 3; ++way) {
    auto box = std::async(std::launch::async, [] { ShowLaunchError("Something failed."); });
    const Window w = WaitForErrorBox(d);
    ASSERT_NE(w, 0u) << way;
    XEvent e{};
    if (way < 2) {
      e.type = KeyPress;
      e.xkey.window = w;
      e.xkey.keycode = XKeysymToKeycode(d, way == 0 ? XK_Return : XK_Escape);
      XSendEvent(d, w, False, KeyPressMask, &e);
    } else {
      e.type = ClientMessage;
      e.xclient.window = w;
      e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
      e.xclient.format = 32;
      e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
      XSendEvent(d, w, False, NoEventMask, &e);
    }
    XSync(d, False);
    ASSERT_EQ(box.wait_for(Ms(3000)), std::future_status::ready) << way;
    ASSERT_TRUE(WaitFor([&] { return FindByClass(d, "KQ-LumaraLink") == 0; }, 2000)) << way;
  }
}

// ---- the splash -------------------------------------------------------------------------------------
Window WaitForSplash(Display* d, int timeout_ms = 5000) {
  Window found = 0;
  WaitFor(
      [&] {
        found = FindByClass(d, "SplashScreenWndClass");
        return found != 0 && IsMapped(d, found);
      },
      timeout_ms);
  return found;
}

// Runs a splash thread and waits for it at the end of the test, so that it never outlives the
// test's X server.
class SplashRun {
 public:
  explicit SplashRun(SplashParams p) {
    p.wait = 1;
    done_ = std::async(std::launch::async, [p] { StartSplashScreen(&p); });
  }
  ~SplashRun() { Finished(10000); }
  bool Finished(int timeout_ms) { return done_.wait_for(Ms(timeout_ms)) == std::future_status::ready; }

 private:
  std::future<void> done_;
};

SplashParams Params(std::uint16_t display_time) {
  SplashParams p;
  p.resource_name = "BITMAP_SPLASH";
  p.display_time = display_time;
  p.centre = 1;
  return p;
}

TEST_F(X11, SplashIsCentredAtThePicturesSizeAndShowsThePicture) {
  SplashRun run(Params(2500));
  const Window w = WaitForSplash(d);
  ASSERT_NE(w, 0u);
  const Geometry g = GetGeometry(d, w);
  EXPECT_EQ(g.x, (1280 - 504) / 2);
  EXPECT_EQ(g.y, (1024 - 323) / 2);
  EXPECT_EQ(g.width, 504);
  EXPECT_EQ(g.height, 323);
  EXPECT_EQ(WindowTitle(d, w), "");

  // The window shows the picture (laid over black where it is transparent).
  const unsigned char* data = nullptr;
  std::size_t size = 0;
  ASSERT_TRUE(FindResource("BITMAP_SPLASH", "SPLASH", &data, &size));
  RgbaImage picture;
  ASSERT_TRUE(DecodePng(data, size, &picture));
  int width = 0, height = 0, differing = 0;
  std::vector<unsigned> pixels;
  WaitFor(
      [&] {
        pixels = WindowPixels(d, w, &width, &height);
        differing = 0;
        for (int i = 0; i < width * height; ++i) {
          const unsigned a = picture.pixels[i * 4 + 3];
          const unsigned r = picture.pixels[i * 4] * a / 255, gr = picture.pixels[i * 4 + 1] * a / 255,
                         b = picture.pixels[i * 4 + 2] * a / 255;
          differing += pixels[static_cast<std::size_t>(i)] != ((r << 16) | (gr << 8) | b);
        }
        return width == 504 && differing == 0;
      },
      3000);
  EXPECT_EQ(width, 504);
  EXPECT_EQ(differing, 0);

  // Covered and uncovered again, it draws itself anew (it never erases a background).
  const Window cover = CreateTitledWindow(d, "cover", "Other", g.x + 10, g.y + 10, 200, 100);
  XDestroyWindow(d, cover);
  XSync(d, False);
  EXPECT_TRUE(WaitFor(
      [&] {
        int w2 = 0, h2 = 0;
        return WindowPixels(d, w, &w2, &h2) == pixels;
      },
      3000));
}

TEST_F(X11, SplashWithoutCentringIsPlacedAroundItsCentrePoint) {
  SplashParams p = Params(2000);
  p.centre = 0;
  p.x = 400;
  p.y = 300;
  SplashRun run(p);
  const Window w = WaitForSplash(d);
  ASSERT_NE(w, 0u);
  const Geometry g = GetGeometry(d, w);
  EXPECT_EQ(g.x, 400 - 504 / 2);
  EXPECT_EQ(g.y, 300 - 323 / 2);
}

TEST_F(X11, SplashClosesWhenItsDisplayTimeRunsOut) {
  const auto start = Clock::now();
  SplashRun run(Params(1200));
  ASSERT_NE(WaitForSplash(d), 0u);
  ASSERT_TRUE(WaitFor([&] { return FindByClass(d, "SplashScreenWndClass") == 0; }, 5000));
  const auto took = std::chrono::duration_cast<Ms>(Clock::now() - start).count();
  EXPECT_GE(took, 1150);
  EXPECT_LT(took, 2500);
}

TEST_F(X11, SplashLingersAfterTheMainWindowAppearsThenCloses) {
  ::setenv("KQ_LAUNCHER_SPLASH_LINGER_MS", "1000", 1);
  SplashRun run(Params(20000));
  const Window splash = WaitForSplash(d);
  ASSERT_NE(splash, 0u);
  std::this_thread::sleep_for(Ms(600));
  ASSERT_NE(FindByClass(d, "SplashScreenWndClass"), 0u);
  // The main window is found by its class whatever its title; the splash then comes to the front.
  const Window main = CreateTitledWindow(d, "any title", kClass, 0, 0, 900, 900);
  const auto shown = Clock::now();
  EXPECT_TRUE(WaitFor([&] { return StackingIndex(d, splash) > StackingIndex(d, main); }, 1000));
  ASSERT_TRUE(WaitFor([&] { return FindByClass(d, "SplashScreenWndClass") == 0; }, 5000));
  const auto took = std::chrono::duration_cast<Ms>(Clock::now() - shown).count();
  EXPECT_TRUE(run.Finished(2000));
  EXPECT_GE(took, 1000);
  EXPECT_LT(took, 1000 + 250 + 700);
}

TEST_F(X11, SplashIgnoresWindowsOfOtherClassesAndUnknownPictures) {
  ::setenv("KQ_LAUNCHER_SPLASH_LINGER_MS", "100", 1);
  CreateTitledWindow(d, "Orvane-Connect", "SomethingElse", 0, 0, 100, 100);
  SplashRun run(Params(2500));
  ASSERT_NE(WaitForSplash(d), 0u);
  std::this_thread::sleep_for(Ms(1000));
  EXPECT_NE(FindByClass(d, "SplashScreenWndClass"), 0u) << "still up: no main window yet";

  SplashParams missing = Params(2000);
  missing.resource_name = "NO_SUCH_PICTURE";
  SplashRun nothing(missing);
  EXPECT_TRUE(nothing.Finished(1000)) << "the thread gives up at once";
  ASSERT_TRUE(WaitFor([&] { return FindByClass(d, "SplashScreenWndClass") == 0; }, 4000));
}

class SmallScreen : public X11 {
 protected:
  void SetUp() override { StartServer("1024x768x24"); }
};

TEST_F(SmallScreen, SplashIsCentredOnA1024By768Screen) {
  SplashRun run(Params(2000));
  const Window w = WaitForSplash(d);
  ASSERT_NE(w, 0u);
  const Geometry g = GetGeometry(d, w);
  EXPECT_EQ(g.x, 260);
  EXPECT_EQ(g.y, 222);
  EXPECT_EQ(g.width, 504);
  EXPECT_EQ(g.height, 323);
}

}  // namespace
}  // namespace lumara
