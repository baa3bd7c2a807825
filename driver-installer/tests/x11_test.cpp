// Real windows on a private Xvfb display: message boxes, the unplug prompt closed by the
// watcher, the self-closing completion box, the main window, the hardware wizard, and the
// program itself. Skipped when no X server can be started.
#include <gtest/gtest.h>

#include <future>

#include "flow_support.h"
#include "install_flow.h"
#include "messages.h"
#include "platform/linux/window_x11.h"
#include "uninstall_flow.h"
#include "wide_text.h"

// Xlib last: its macros (None, Status, Bool) would clash with the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace kqco {
namespace {

using namespace kqco::testing;
using linux_platform::X11WindowServices;
using std::chrono::milliseconds;

constexpr int kWaitMs = 8000;  // upper bound of every wait for a window

class X11 : public ::testing::Test {
 protected:
  void SetUp() override {
    xvfb_ = std::make_unique<XvfbServer>();
    if (!xvfb_->running()) GTEST_SKIP() << "no X server: " << xvfb_->why();
    linux_platform::InstallQuietXErrorHandlers();
    display = XOpenDisplay(xvfb_->display().c_str());
    ASSERT_NE(display, nullptr);
  }
  void TearDown() override {
    if (display != nullptr) XCloseDisplay(display);
    xvfb_.reset();
  }
  const std::string& name() const { return xvfb_->display(); }
  void KillServer() { xvfb_.reset(); }

  bool WaitForWindow(const std::wstring& title, Window* w, int timeoutMs = kWaitMs) {
    const auto end = std::chrono::steady_clock::now() + milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
      if (linux_platform::FindTopLevelWindow(display, EncodeUtf8(title), w)) {
        XWindowAttributes a{};
        if (XGetWindowAttributes(display, *w, &a) != 0 && a.map_state == IsViewable) return true;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }
  bool WaitForNoWindow(const std::wstring& title, int timeoutMs = kWaitMs) {
    const auto end = std::chrono::steady_clock::now() + milliseconds(timeoutMs);
    Window w;
    while (std::chrono::steady_clock::now() < end) {
      if (!linux_platform::FindTopLevelWindow(display, EncodeUtf8(title), &w)) return true;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }
  void SendKey(Window w, KeySym key) {
    XEvent ev{};
    ev.xkey.type = KeyPress;
    ev.xkey.window = w;
    ev.xkey.root = DefaultRootWindow(display);
    ev.xkey.keycode = XKeysymToKeycode(display, key);
    ev.xkey.same_screen = True;
    XSendEvent(display, w, True, KeyPressMask, &ev);
    XSync(display, False);
  }
  void SendDeleteWindow(Window w) {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    XSendEvent(display, w, False, NoEventMask, &ev);
    XSync(display, False);
  }
  // Pixels of the window that are not the background: something has been drawn.
  int DrawnPixels(Window w) {
    XWindowAttributes a{};
    XGetWindowAttributes(display, w, &a);
    XImage* image = XGetImage(display, w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
    if (image == nullptr) return 0;
    const unsigned long white = WhitePixel(display, DefaultScreen(display));
    int count = 0;
    for (int y = 0; y < a.height; ++y) {
      for (int x = 0; x < a.width; ++x) count += XGetPixel(image, x, y) != white;
    }
    XDestroyImage(image);
    return count;
  }
  int DrawnPixelsOnceSettled(Window w) {
    int drawn = 0;
    for (int i = 0; i < 100 && drawn == 0; ++i) {
      std::this_thread::sleep_for(milliseconds(20));
      drawn = DrawnPixels(w);
    }
    return drawn;
  }

  Display* display = nullptr;

 private:
  std::unique_ptr<XvfbServer> xvfb_;
};

template <typename T>
bool Ready(std::future<T>& f, int ms = kWaitMs) {
  return f.wait_for(milliseconds(ms)) == std::future_status::ready;
}

TEST_F(X11, MessageBoxIsARealWindowClosedByACommand) {
  X11WindowServices boxes(name()), other(name());
  auto box = std::async(std::launch::async,
                        [&] { return boxes.ShowMessageBox(kTextSwitchConflict, kCaptionError, BoxButtons::kOk); });
  Window w;
  ASSERT_TRUE(WaitForWindow(kCaptionError, &w));
  char* wmName = nullptr;
  ASSERT_NE(XFetchName(display, w, &wmName), 0);
  EXPECT_STREQ(wmName, "ERROR");
  XFree(wmName);
  XWindowAttributes a{};
  XGetWindowAttributes(display, w, &a);
  EXPECT_GT(a.width, 6 * 46);  // room for the text in the 6-pixel "fixed" font
  EXPECT_GT(DrawnPixelsOnceSettled(w), 200);
  EXPECT_TRUE(other.SendCommand(kCaptionError, kIdOk));
  ASSERT_TRUE(Ready(box));
  EXPECT_EQ(box.get(), kIdOk);
  EXPECT_TRUE(WaitForNoWindow(kCaptionError));
  EXPECT_FALSE(other.SendCommand(kCaptionError, kIdOk));  // nothing left to find
}

TEST_F(X11, BoxAnswersFromKeysCommandsAndTheCloseButton) {
  X11WindowServices boxes(name()), other(name());
  struct Case {
    BoxButtons buttons;
    std::function<void(Window)> act;
    int expected;
  };
  const std::vector<Case> cases = {
      {BoxButtons::kOkCancel, [&](Window w) { SendKey(w, XK_Escape); }, kIdCancel},
      {BoxButtons::kOkCancel, [&](Window w) { SendKey(w, XK_Return); }, kIdOk},
      {BoxButtons::kOkCancel, [&](Window w) { SendKey(w, XK_Tab), SendKey(w, XK_Return); }, kIdCancel},
      {BoxButtons::kOkCancel, [&](Window w) { SendDeleteWindow(w); }, kIdCancel},
      {BoxButtons::kOkCancel, [&](Window) { other.SendCommand(kCaptionUnplug, kIdCancel); }, kIdCancel},
      {BoxButtons::kOk, [&](Window w) { SendKey(w, XK_Escape); }, kIdOk},
      {BoxButtons::kOk, [&](Window w) { SendDeleteWindow(w); }, kIdOk},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    auto box = std::async(std::launch::async,
                          [&] { return boxes.ShowMessageBox(kTextUnplug, kCaptionUnplug, cases[i].buttons); });
    Window w;
    ASSERT_TRUE(WaitForWindow(kCaptionUnplug, &w)) << i;
    cases[i].act(w);
    ASSERT_TRUE(Ready(box)) << i;
    EXPECT_EQ(box.get(), cases[i].expected) << i;
    ASSERT_TRUE(WaitForNoWindow(kCaptionUnplug)) << i;
  }
}

TEST_F(X11, DefaultCaptionForABoxWithoutOne) {
  X11WindowServices boxes(name()), other(name());
  auto box =
      std::async(std::launch::async, [&] { return boxes.ShowMessageBox(kTextThreadFailed, L"", BoxButtons::kOk); });
  Window w;
  ASSERT_TRUE(WaitForWindow(L"Error", &w));
  other.SendCommand(L"Error", kIdOk);
  ASSERT_TRUE(Ready(box));
  EXPECT_EQ(box.get(), kIdOk);
}

TEST_F(X11, UnplugClosesThePromptAndTheCompletionBoxClosesItself) {
  SystemRoot sys;
  sys.SetDatabase(HandheldLine("1", true));
  sys.InstallDriverFiles();
  X11WindowServices windows(name());
  InstallerContext ctx(sys.services(), windows);  // the finished program's waits
  Switches sw;
  sw.uninstall = true;
  auto flow = std::async(std::launch::async, [&] { return RunUninstallFlow(ctx, sw, kHwidW); });

  Window prompt;
  ASSERT_TRUE(WaitForWindow(kCaptionUnplug, &prompt));
  EXPECT_GT(DrawnPixelsOnceSettled(prompt), 200);
  EXPECT_TRUE(Exists(sys.Drivers() + "/usb8023y.sys"));  // nothing removed while the prompt is up
  sys.SetDatabase(HandheldLine("1", false));
  ASSERT_TRUE(WaitForNoWindow(kCaptionUnplug));

  Window done;
  ASSERT_TRUE(WaitForWindow(kCaptionUninstallDone, &done, kWaitMs));
  ASSERT_TRUE(WaitForNoWindow(kCaptionUninstallDone));  // nobody presses anything
  ASSERT_TRUE(Ready(flow));
  EXPECT_EQ(flow.get(), 0);
  EXPECT_EQ(sys.DatabaseText(), "");
  EXPECT_FALSE(Exists(sys.Drivers() + "/usb8023y.sys"));
}

TEST_F(X11, CancelOnThePromptLeavesEverythingInPlace) {
  SystemRoot sys;
  sys.SetDatabase(HandheldLine("1", true));
  X11WindowServices windows(name());
  InstallerContext ctx(sys.services(), windows);
  ctx.timing = ShortTiming();
  Switches sw;
  sw.uninstall = true;
  auto flow = std::async(std::launch::async, [&] { return RunUninstallFlow(ctx, sw, kHwidW); });
  Window prompt;
  ASSERT_TRUE(WaitForWindow(kCaptionUnplug, &prompt));
  SendKey(prompt, XK_Escape);
  ASSERT_TRUE(Ready(flow));
  EXPECT_EQ(flow.get(), kExitUninstallCancelled);
  EXPECT_EQ(sys.DatabaseText(), HandheldLine("1", true));
}

TEST_F(X11, MainWindowWithAboutBoxAndExit) {
  X11WindowServices windows(name()), other(name());
  const MainWindowTexts texts = MainWindowStrings();
  for (const bool viaCloseButton : {false, true}) {
    auto main = std::async(std::launch::async, [&] { return windows.RunMainWindow(texts, kShowDefault); });
    Window w;
    ASSERT_TRUE(WaitForWindow(texts.title, &w));
    XClassHint hint{};
    ASSERT_NE(XGetClassHint(display, w, &hint), 0);
    EXPECT_STREQ(hint.res_class, "KQCOINSTALLER");
    XFree(hint.res_name);
    XFree(hint.res_class);
    EXPECT_GT(DrawnPixelsOnceSettled(w), 200);

    SendKey(w, XK_F1);  // accelerator for About
    Window about;
    ASSERT_TRUE(WaitForWindow(texts.aboutTitle, &about));
    EXPECT_TRUE(other.SendCommand(texts.aboutTitle, kIdOk));
    ASSERT_TRUE(WaitForNoWindow(texts.aboutTitle));
    EXPECT_EQ(main.wait_for(milliseconds(50)), std::future_status::timeout);  // still open

    if (viaCloseButton) {
      SendDeleteWindow(w);
    } else {
      EXPECT_TRUE(other.SendCommand(texts.title, kCmdExit));
    }
    ASSERT_TRUE(Ready(main));
    EXPECT_TRUE(main.get());
    ASSERT_TRUE(WaitForNoWindow(texts.title));
  }
}

TEST_F(X11, InstallFlowCancelsTheHardwareWizard) {
  const Window wizard = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 200, 100, 0, 0, 0);
  XStoreName(display, wizard, "Found New Hardware Wizard");
  XMapWindow(display, wizard);
  XSync(display, False);

  SystemRoot sys;
  WriteFile(sys.media() + "/kq.inf", PackageInf(kHwid));
  TunedServices tuned(sys.services());
  tuned.pendingWait = kWaitTimeout;
  X11WindowServices windows(name());
  InstallerContext ctx(tuned, windows);
  Switches sw;
  sw.install = true;
  EXPECT_EQ(RunInstallFlow(ctx, sw, sys.MediaRoot(), {L"kq.inf", kHwidW}), 0);

  const Atom command = XInternAtom(display, linux_platform::kCommandAtomName, False);
  bool cancelled = false;
  XEvent ev;
  while (!cancelled && XPending(display) > 0) {
    XNextEvent(display, &ev);
    cancelled = ev.type == ClientMessage && ev.xclient.window == wizard && ev.xclient.message_type == command &&
                ev.xclient.data.l[0] == kIdCancel;
  }
  EXPECT_TRUE(cancelled);
}

TEST_F(X11, LosingTheDisplayEndsTheBoxWithoutEndingTheProcess) {
  X11WindowServices boxes(name());
  auto box = std::async(std::launch::async,
                        [&] { return boxes.ShowMessageBox(kTextUnplug, kCaptionUnplug, BoxButtons::kOkCancel); });
  Window w;
  ASSERT_TRUE(WaitForWindow(kCaptionUnplug, &w));
  XCloseDisplay(display);
  display = nullptr;
  KillServer();
  ASSERT_TRUE(Ready(box));
  EXPECT_EQ(box.get(), 0);
}

class X11Program : public X11 {
 protected:
  void SetUp() override {
    X11::SetUp();
    if (IsSkipped()) return;
    WriteFile(sys.media() + "/kq.inf", PackageInf(kHwid));
    std::filesystem::copy_file(ProgramPath(), sys.media() + "/KQCoInstaller");
  }
  std::future<ProgramResult> Start(const std::vector<std::string>& args) {
    std::map<std::string, std::string> env{
        {"DISPLAY", name()}, {"KQCO_SYSTEM_ROOT", sys.root()}, {"KQCO_SYSFS_USB_DEVICES", sys.sysfs()}};
    return std::async(std::launch::async, [=] { return RunProgram(args, env, sys.media() + "/KQCoInstaller", 20000); });
  }
  SystemRoot sys;
};

TEST_F(X11Program, InstallEndsWithOneWhenTheMainWindowIsClosed) {
  auto run = Start({"-n", "kq.inf", kHwid});
  Window w;
  ASSERT_TRUE(WaitForWindow(L"KQCoInstaller", &w));
  EXPECT_EQ(sys.StoreFiles().size(), 2u);  // the work is done before the window opens
  SendKey(w, XK_Escape);                   // accelerator for Exit
  ASSERT_TRUE(Ready(run, 20000));
  EXPECT_EQ(run.get().status, kExitDone);
}

TEST_F(X11Program, CancelledUninstallExitsMinus102) {
  sys.SetDatabase(HandheldLine("1", true));
  auto run = Start({"-u", kHwid});
  Window prompt;
  ASSERT_TRUE(WaitForWindow(kCaptionUnplug, &prompt));
  SendKey(prompt, XK_Escape);
  ASSERT_TRUE(Ready(run, 20000));
  const auto r = run.get();
  EXPECT_EQ(r.status, ExitStatus(kExitUninstallCancelled));
  EXPECT_EQ(r.errorOutput, "");
  EXPECT_EQ(sys.DatabaseText(), HandheldLine("1", true));
}

TEST_F(X11Program, UsageBoxIsShownOnTheDisplay) {
  auto run = Start({"-u"});
  Window box;
  ASSERT_TRUE(WaitForWindow(kCaptionError, &box));
  SendKey(box, XK_Return);
  ASSERT_TRUE(Ready(run, 20000));
  const auto r = run.get();
  EXPECT_EQ(r.status, ExitStatus(kExitUninstallArguments));
  EXPECT_EQ(r.errorOutput, "");  // shown on the display, so not on standard error
}

}  // namespace
}  // namespace kqco
