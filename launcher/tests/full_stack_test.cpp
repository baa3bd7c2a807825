// The installation and the whole stack: `cmake --install` lays out the launcher, jre, the
// application's jar and the native libraries; the launcher started from there runs the real
// application, which lists the simulator's handheld, its details and its files through QXConJNI
// and zr-net, receives a later start's arguments, and ends the process when its window closes.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <filesystem>

#include <unistd.h>
#include <memory>

#include "launcher_test_support.h"
#include "sim_process.h"
#include "x11_windows.h"

namespace lumara {
namespace {

using namespace lumara::testing;
namespace fs = std::filesystem;

constexpr int kAppWaitMs = 60000;  // the JVM and Swing on 2 busy cores

class Installation : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string command = std::string(KQ_CMAKE_COMMAND) + " --install " + KQ_BUILD_DIR + " --prefix " +
                                prefix_.path() + " >" + (log_ / "install.log") + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << ReadFile(log_ / "install.log").value_or("");
  }
  std::string Prefix() const { return prefix_.path(); }
  std::string operator/(const std::string& name) const { return prefix_ / name; }

 private:
  TempDir prefix_, log_;
};

TEST_F(Installation, LaysOutWhatTheLauncherExpects) {
  const std::string app = "lib/lumara-link/";
  EXPECT_TRUE(fs::is_regular_file(*this / (app + "KQ-LumaraLink")));
  EXPECT_TRUE(fs::is_symlink(*this / (app + "jre")));
  EXPECT_EQ(fs::read_symlink(*this / (app + "jre")), fs::path(JrePath()));
  EXPECT_TRUE(fs::exists(*this / (app + "jre/lib/server/libjvm.so")));
  EXPECT_TRUE(fs::is_regular_file(*this / (app + "lib/qxconnect.jar")));
  EXPECT_TRUE(fs::exists(*this / (app + "lib/libQXConJNI.so")));
  EXPECT_TRUE(fs::exists(*this / (KQ_INSTALL_LIBDIR "/libzr-net.so.0")));
  EXPECT_TRUE(fs::is_regular_file(*this / "bin/kq-lumaralink"));
  EXPECT_EQ(access((*this / "bin/kq-lumaralink").c_str(), X_OK), 0);
  for (const char* size : {"16x16", "32x32", "48x48"}) {
    EXPECT_TRUE(fs::is_regular_file(*this / ("share/icons/hicolor/" + std::string(size) + "/apps/kq-lumaralink.png")))
        << size;
  }
  const auto desktop = ReadFile(*this / "share/applications/kq-lumaralink.desktop").value_or("");
  EXPECT_NE(desktop.find("Exec=kq-lumaralink %F\n"), std::string::npos) << desktop;
  EXPECT_NE(desktop.find("Icon=kq-lumaralink\n"), std::string::npos) << desktop;

  // No installed text file names the build or source tree (or the scratch prefix).
  for (const auto& entry : fs::recursive_directory_iterator(Prefix())) {
    if (entry.is_symlink() || !entry.is_regular_file()) continue;
    const std::string text = ReadFile(entry.path().string()).value_or("");
    if (text.find('\0') != std::string::npos) continue;  // a program or a picture
    EXPECT_EQ(text.find(KQ_BUILD_DIR), std::string::npos) << entry.path();
    EXPECT_EQ(text.find(KQ_SOURCE_DIR), std::string::npos) << entry.path();
    EXPECT_EQ(text.find(Prefix()), std::string::npos) << entry.path();
  }
}

class WholeStack : public Installation {
 protected:
  void SetUp() override {
    std::string why;
    if (!EnterPrivateNetwork(&why)) GTEST_SKIP() << why;
    xvfb_ = std::make_unique<XvfbServer>("1280x1024x24");
    if (!xvfb_->running()) GTEST_SKIP() << "no X server: " << xvfb_->why();
    InstallQuietXErrorHandler();
    d = OpenDisplay(xvfb_->display());
    ASSERT_NE(d, nullptr);
    Installation::SetUp();
  }
  void TearDown() override {
    if (d != nullptr) XCloseDisplay(d);
  }
  std::map<std::string, std::string> Env(const std::string& handheld) {
    fs::create_directories(work_ / "run");
    fs::permissions(work_ / "run", fs::perms::owner_all);
    std::map<std::string, std::string> env{{"PATH", "/usr/bin:/bin"},        {"HOME", work_.path()},
                                           {"DISPLAY", xvfb_->display()},    {"XDG_RUNTIME_DIR", work_ / "run"},
                                           {"QXCONNECT_HANDHELD", handheld}, {"QXCONNECT_TRACE", work_ / "trace"}};
    AddSanitizerOptions(&env);
    return env;
  }
  bool Traced(const std::string& line) {
    for (const auto& l : ReadLines(work_ / "trace")) {
      if (l == line) return true;
    }
    return false;
  }

  TempDir work_;
  std::unique_ptr<XvfbServer> xvfb_;
  Display* d = nullptr;
};

TEST_F(WholeStack, TheApplicationShowsTheSimulatedHandheldsDetailsAndFiles) {
  const std::string storage = work_ / "storage";
  fs::create_directories(storage + "/docs");
  WriteFile(storage + "/notes.txt", "hello\n");
  WriteFile(storage + "/docs/plan.txt", "1234567890");
  zrtest::SimProcess sim({"--storage", storage, "--set", "eid=STACK-TEST-0001"});
  ASSERT_TRUE(sim.ok()) << sim.error();

  // Started as users start it: bin/kq-lumaralink, from any folder.
  Process launcher(*this / "bin/kq-lumaralink", {}, Env(sim.addr_text()), work_.path());
  ASSERT_TRUE(launcher.started());
  ASSERT_TRUE(WaitFor([&] { return Traced("entry / notes.txt file 6"); }, kAppWaitMs))
      << launcher.Stderr() << ReadFile(work_ / "trace").value_or("");
  EXPECT_TRUE(Traced("devices " + sim.addr_text()));
  EXPECT_TRUE(Traced("entry / docs folder 0"));
  EXPECT_TRUE(Traced("list / 2"));
  EXPECT_TRUE(WaitFor([&] { return Traced("screen 320x240"); }, 20000));
  bool info = false;
  for (const auto& l : ReadLines(work_ / "trace")) {
    info =
        info || (l.rfind("info " + sim.addr_text() + " serial=", 0) == 0 && l.find("battery=85") != std::string::npos);
  }
  EXPECT_TRUE(info) << ReadFile(work_ / "trace").value_or("");

  // The main window is the one a later start looks for, and the splash has gone 2 s after it.
  Window main = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        for (Window w : TopLevelWindows(d)) {
          if (IsApplicationMainWindow(d, w)) main = w;
        }
        return main != 0;
      },
      10000));
  EXPECT_TRUE(WaitFor([&] { return FindByClass(d, "SplashScreenWndClass") == 0; }, 6000));

  // A later start hands its argument over, a file named relative to where it was started.
  Process second(*this / "bin/kq-lumaralink", {"notes.txt"}, Env(sim.addr_text()), storage);
  EXPECT_EQ(second.Wait(20000), 0);
  EXPECT_TRUE(WaitFor([&] { return Traced("forwarded " + storage + "/notes.txt"); }, 10000));

  // Closing the window ends the application, the JVM and the process.
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = main;
  e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
  e.xclient.data.l[1] = CurrentTime;
  XSendEvent(d, main, False, NoEventMask, &e);
  XSync(d, False);
  EXPECT_EQ(launcher.Wait(20000), 0) << launcher.Stderr();
  EXPECT_TRUE(Traced("closed"));
}

}  // namespace
}  // namespace lumara
