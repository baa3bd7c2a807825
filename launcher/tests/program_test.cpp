// KQ-LumaraLink as a process: the JVM start and its failures, the single instance with its
// forwarding and activation, and the splash against a real application window.  Each test has an
// installation folder of its own with a stand-in application; tests of the fixed port 46001 run
// in a private network namespace; window tests have a private Xvfb.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

#include "launcher_test_support.h"
#include "x11_windows.h"

namespace lumara {
namespace {

using namespace lumara::testing;
namespace fs = std::filesystem;

constexpr char kClass[] = "com.kq.vlx.qxconnect.gui.MainFrame";
constexpr char kText4[] = "Unable to launch the application. The Java virtual machine library cannot be found.";
constexpr char kText5[] = "Unable to launch the application. The application main class cannot be found.";
constexpr char kText6[] = "Unable to launch the application. The java virtual machine cannot be created.";
constexpr int kJvmWaitMs = 30000;  // bound of every wait for the JVM (2 cores, tests in parallel)

std::string Hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

class Program : public ::testing::Test {
 protected:
  std::unique_ptr<Process> Start(const std::vector<std::string>& args, std::map<std::string, std::string> extra = {},
                                 const std::string& program = LauncherPath(), std::string cwd = "") {
    auto env = install.Env(display_);
    for (const auto& [k, v] : extra) env[k] = v;
    return std::make_unique<Process>(program, args, env, cwd.empty() ? install.root() : cwd);
  }
  bool NeedDisplay() {
    xvfb_ = std::make_unique<XvfbServer>("1024x768x24");
    if (!xvfb_->running()) return false;
    display_ = xvfb_->display();
    InstallQuietXErrorHandler();
    d = OpenDisplay(display_);
    return d != nullptr;
  }
  void TearDown() override {
    if (d != nullptr) XCloseDisplay(d);
  }
  Window WaitForClass(const std::string& res_class, int timeout_ms) {
    Window w = 0;
    WaitFor([&] { return (w = FindByClass(d, res_class)) != 0 && IsMapped(d, w); }, timeout_ms);
    return w;
  }
  void DismissErrorBox(Window w) {
    XEvent e{};
    e.type = KeyPress;
    e.xkey.window = w;
    e.xkey.keycode = XKeysymToKeycode(d, 0xff0d /* Return */);
    XSendEvent(d, w, False, KeyPressMask, &e);
    XSync(d, False);
  }

  TestInstall install;
  std::string display_;
  std::unique_ptr<XvfbServer> xvfb_;
  Display* d = nullptr;
};

// ---- the JVM start ------------------------------------------------------------------------------------
TEST_F(Program, WithoutArgumentsTheFixedOptionsReachTheJvmAndMainGetsAnEmptyArray) {
  auto p = Start({});
  ASSERT_EQ(p->Wait(kJvmWaitMs), 0) << p->Stderr();
  const std::vector<std::string> expected = {
      "option -Djava.library.path=lib",
      "option -Xms24m",
      "option -Xmx128m",
      "option --add-opens=java.desktop/sun.awt.X11=ALL-UNNAMED",
      "property java.class.path=lib/qxconnect.jar:",
      "property java.library.path=lib",
      "property thread=main",  // main runs on the launcher's primary thread
      "end",
  };
  EXPECT_EQ(install.Report(), expected);
}

TEST_F(Program, ArgumentsReachMainUnchangedAndExistingPathsBecomeOptions) {
  WriteFile(install / "long file name.txt", "x");
  auto p = Start({install / "long file name.txt", "no-such-file", "caf\xC3\xA9", "\xFF"});
  ASSERT_EQ(p->Wait(kJvmWaitMs), 0) << p->Stderr();
  const auto report = install.Report();
  const std::vector<std::string> tail(report.begin() + 3, report.begin() + 5);
  EXPECT_EQ(tail[0], "option --add-opens=java.desktop/sun.awt.X11=ALL-UNNAMED");
  EXPECT_EQ(tail[1], "option " + (install / "long file name.txt"));
  EXPECT_FALSE(install.ReportHas("option no-such-file"));
  EXPECT_TRUE(install.ReportHas("arg " + (install / "long file name.txt")));
  EXPECT_TRUE(install.ReportHas("arg no-such-file"));
  EXPECT_TRUE(install.ReportHas("arg caf\\u00e9"));
  EXPECT_TRUE(install.ReportHas("arg \\ufffd"));
}

TEST_F(Program, AnExceptionOutOfMainIsReportedAndFailsTheExitCode) {
  auto p = Start({}, {{"KQ_TEST_MODE", "throw"}});
  EXPECT_EQ(p->Wait(kJvmWaitMs), 1);
  EXPECT_NE(p->Stderr().find("IllegalStateException: test failure out of main"), std::string::npos) << p->Stderr();
}

TEST_F(Program, MissingRuntimeGivesText4AndMinusOne) {
  fs::remove(install / "jre");
  auto p = Start({});
  EXPECT_EQ(p->Wait(10000), 255);  // -1
  EXPECT_EQ(p->Stderr(), std::string(kText4) + "\n");
  EXPECT_TRUE(install.Report().empty());
}

TEST_F(Program, MissingRuntimeShowsTheErrorBoxOnADisplay) {
  if (!NeedDisplay()) GTEST_SKIP() << "no X server";
  fs::remove(install / "jre");
  auto p = Start({});
  const Window box = WaitForClass("KQ-LumaraLink", 10000);
  ASSERT_NE(box, 0u) << p->Stderr();
  EXPECT_EQ(WindowTitle(d, box), "Error");
  EXPECT_TRUE(p->Running()) << "the box waits for the user";
  DismissErrorBox(box);
  EXPECT_EQ(p->Wait(10000), 255);
  EXPECT_EQ(p->Stderr(), std::string(kText4) + "\n");
}

TEST_F(Program, TheRuntimeBesideTheProgramComesFirst) {
  // The program in a folder of its own with jre beside it; the current folder has no jre.
  TempDir other;
  fs::copy_file(LauncherPath(), other / "KQ-LumaraLink");
  fs::permissions(other / "KQ-LumaraLink", fs::perms::owner_all);
  fs::create_directory_symlink(JrePath(), other / "jre");
  fs::remove(install / "jre");
  auto p = Start({}, {}, other / "KQ-LumaraLink");
  EXPECT_EQ(p->Wait(kJvmWaitMs), 0) << p->Stderr();
  EXPECT_TRUE(install.ReportHas("end"));
}

TEST_F(Program, ARuntimeWithoutTheEntryOrThatFailsGivesText6) {
  for (const std::string& fake : {std::string(KQ_FAKE_JVM_NO_ENTRY), std::string(KQ_FAKE_JVM_FAILING)}) {
    fs::remove(install / "jre");
    fs::create_directories(install / "jre/lib/server");
    fs::copy_file(fake, install / "jre/lib/server/libjvm.so", fs::copy_options::overwrite_existing);
    auto p = Start({});
    const int expected = fake == KQ_FAKE_JVM_FAILING ? 256 - 6 : 255;  // the entry's -6, or -1
    EXPECT_EQ(p->Wait(10000), expected) << fake;
    EXPECT_EQ(p->Stderr(), std::string(kText6) + "\n");
    fs::remove_all(install / "jre");
  }
}

TEST_F(Program, MissingJarGivesText5AndTheTeardownsResult) {
  fs::remove(install / "lib/qxconnect.jar");
  auto p = Start({});
  EXPECT_EQ(p->Wait(kJvmWaitMs), 0);  // DestroyJavaVM succeeded
  EXPECT_EQ(p->Stderr(), std::string(kText5) + "\n");
}

TEST_F(Program, MissingJarShowsText5InABoxThenTearsDown) {
  if (!NeedDisplay()) GTEST_SKIP() << "no X server";
  fs::remove(install / "lib/qxconnect.jar");
  auto p = Start({});
  const Window box = WaitForClass("KQ-LumaraLink", kJvmWaitMs);
  ASSERT_NE(box, 0u) << p->Stderr();
  EXPECT_EQ(WindowTitle(d, box), "Error");
  DismissErrorBox(box);
  EXPECT_EQ(p->Wait(kJvmWaitMs), 0);
}

TEST_F(Program, HelpPrintsTheUsageAndStartsNothing) {
  // No display, as in a terminal without X: the application would fail to start.
  auto p = Start({"--help"});
  EXPECT_EQ(p->Wait(10000), 0) << p->Stderr();
  EXPECT_EQ(p->Stdout().rfind("Usage: kq-lumaralink [FILE...]\n", 0), 0u) << p->Stdout();
  EXPECT_EQ(p->Stderr(), "");
  EXPECT_TRUE(install.Report().empty()) << "the application ran";
}

// ---- the instance lock ---------------------------------------------------------------------------------
class InstanceLockPlace : public Program {
 protected:
  void SetUp() override {
    if (std::system("unshare -m --propagation private true 2>/dev/null") != 0)
      GTEST_SKIP() << "no private mount namespace for a /tmp of the test's own";
  }
  // The launcher without a runtime folder, in a mount namespace of its own whose /tmp is empty
  // but for what the shell commands `setup` put there (another user's doing, as far as the
  // launcher can tell) and the installation, its current folder, and the launcher's own folder
  // (the build may lie under /tmp too), each mounted back in its place.
  std::unique_ptr<Process> StartWithPrivateTmp(const std::string& setup) {
    auto env = install.Env();
    env.erase("XDG_RUNTIME_DIR");
    env["KQ_TEST_MODE"] = "throw";  // a start that runs the application ends with 1
    const std::string script =
        "d=$(dirname \"$0\") && exec 9<\"$d\" && mount -t tmpfs tmpfs /tmp && mkdir -p \"$PWD\" \"$d\" && "
        "mount --no-canonicalize --bind /proc/self/cwd \"$PWD\" && "
        "mount --no-canonicalize --bind /proc/self/fd/9 \"$d\" && exec 9<&- && " +
        setup + " && exec \"$0\" \"$@\"";
    return std::make_unique<Process>(
        "/usr/bin/unshare",
        std::vector<std::string>{"-m", "--propagation", "private", "sh", "-c", script, LauncherPath()}, env,
        install.root());
  }
  const std::string uid = std::to_string(::getuid());
};

TEST_F(InstanceLockPlace, WhatOthersPutInTmpCannotPassForARunningInstance) {
  for (const std::string& setup :
       {"ln -s /tmp/elsewhere /tmp/Orvane-Connect-" + uid + ".lock",
        "touch /tmp/Orvane-Connect-" + uid + ".lock && chown 65534 /tmp/Orvane-Connect-" + uid + ".lock"}) {
    auto p = StartWithPrivateTmp(setup);
    EXPECT_EQ(p->Wait(kJvmWaitMs), 1) << setup << "\n" << p->Stderr();
    EXPECT_NE(p->Stderr().find("test failure out of main"), std::string::npos) << "the application ran";
  }
}

TEST_F(InstanceLockPlace, ALockPlaceThatIsNotTheUsersOwnIsReportedAndFailsTheStart) {
  const std::string folder = "/tmp/Orvane-Connect-" + uid;
  for (const std::string& setup :
       {"mkdir " + folder + " && chown 65534 " + folder, "mkdir -m 0777 " + folder, "ln -s /tmp " + folder}) {
    auto p = StartWithPrivateTmp(setup);
    EXPECT_EQ(p->Wait(10000), 255) << setup << "\n" << p->Stderr();  // -1
    EXPECT_EQ(
        p->Stderr().rfind("Unable to launch the application. The single-instance lock cannot be taken: " + folder, 0),
        0u)
        << p->Stderr();
    EXPECT_TRUE(install.Report().empty());
  }
  // A lock file in the runtime folder that is not the user's own file: the same.
  fs::create_symlink(install / "elsewhere", install / "run/Orvane-Connect.lock");
  auto p = Start({});
  EXPECT_EQ(p->Wait(10000), 255);
  EXPECT_NE(p->Stderr().find("single-instance lock cannot be taken"), std::string::npos) << p->Stderr();
  EXPECT_TRUE(install.Report().empty());
}

// ---- single instance ----------------------------------------------------------------------------------
class SecondInstance : public Program {
 protected:
  void SetUp() override {
    std::string why;
    if (!EnterPrivateNetwork(&why)) GTEST_SKIP() << why;
  }
  // A first instance whose application listens on 46001 (or only waits).
  std::unique_ptr<Process> StartFirst(const std::string& mode) {
    auto first = Start({}, {{"KQ_TEST_MODE", mode}, {"KQ_LAUNCHER_SPLASH_TIME_MS", "500"}});
    const std::string ready = mode == "wait" ? "property thread=main" : "listening";
    EXPECT_TRUE(WaitFor([&] { return install.ReportHas(ready); }, kJvmWaitMs)) << first->Stderr();
    return first;
  }
  void StopFirst(Process& first) {
    install.Quit();
    EXPECT_EQ(first.Wait(kJvmWaitMs), 0) << first.Stderr();
  }
  std::vector<std::string> Connections() {
    std::vector<std::string> out;
    for (const auto& l : install.Report()) {
      if (l.rfind("conn ", 0) == 0) out.push_back(l.substr(5));
    }
    return out;
  }
};

TEST_F(SecondInstance, TwoArgumentsArriveBackToBackAndTheCoveredMainWindowIsRaised) {
  if (!NeedDisplay()) GTEST_SKIP() << "no X server";
  auto first = StartFirst("listen");
  // The running application's main window, covered by another window.
  const Window main = CreateTitledWindow(d, "Lumara - Orvane-Connect", kClass, 20, 20, 300, 200);
  const Window cover = CreateTitledWindow(d, "cover", "Other", 0, 0, 500, 400);
  ASSERT_LT(StackingIndex(d, main), StackingIndex(d, cover));
  SynCounter syns(46001);
  auto second = Start({"first.txt", "second \xC3\xA9.txt"});
  EXPECT_EQ(second->Wait(10000), 0) << second->Stderr();
  EXPECT_TRUE(WaitFor([&] { return !Connections().empty(); }, 5000));
  EXPECT_EQ(Connections(), std::vector<std::string>{Hex("first.txtsecond \xC3\xA9.txt")});
  EXPECT_GT(StackingIndex(d, main), StackingIndex(d, cover));
  if (syns.ok()) {
    EXPECT_EQ(syns.Count(), 1);
  }
  EXPECT_FALSE(install.ReportHas("end")) << "no second application ran";
  StopFirst(*first);
}

TEST_F(SecondInstance, AnIconifiedMainWindowIsRestored) {
  if (!NeedDisplay()) GTEST_SKIP() << "no X server";
  auto first = StartFirst("listen");
  const Window main = CreateTitledWindow(d, "Orvane-Connect", kClass, 20, 20, 300, 200);
  MakeIconic(d, main);
  auto second = Start({"x"});
  EXPECT_EQ(second->Wait(10000), 0);
  EXPECT_TRUE(WaitFor([&] { return IsMapped(d, main); }, 3000));
  StopFirst(*first);
}

TEST_F(SecondInstance, WithoutArgumentsNoConnectionIsMade) {
  auto first = StartFirst("listen");
  SynCounter syns(46001);
  auto second = Start({});
  EXPECT_EQ(second->Wait(10000), 0);
  std::this_thread::sleep_for(Ms(300));
  EXPECT_TRUE(Connections().empty());
  if (syns.ok()) {
    EXPECT_EQ(syns.Count(), 0);
  }
  StopFirst(*first);
}

TEST_F(SecondInstance, WithNobodyListeningFiveAttemptsThenExitZero) {
  auto first = StartFirst("wait");
  SynCounter syns(46001);
  const auto start = Clock::now();
  auto second = Start({"dropped"}, {{"KQ_LAUNCHER_RETRY_PAUSE_MS", "200"}});
  EXPECT_EQ(second->Wait(10000), 0);
  const auto took = std::chrono::duration_cast<Ms>(Clock::now() - start).count();
  EXPECT_GE(took, 5 * 200);
  if (syns.ok()) {
    EXPECT_EQ(syns.Count(), 5);
  }
  EXPECT_TRUE(second->Stderr().empty()) << "no message for dropped arguments";
  StopFirst(*first);
}

TEST_F(SecondInstance, ACrashedFirstInstanceLeavesNoLockBehind) {
  auto first = StartFirst("wait");
  ::kill(first->pid(), SIGKILL);
  first->Wait(5000);
  fs::remove(install.ReportPath());
  auto again = Start({});
  EXPECT_EQ(again->Wait(kJvmWaitMs), 0);
  EXPECT_TRUE(install.ReportHas("end")) << "the new start ran the application";
}

// ---- the splash with a real application window --------------------------------------------------------
TEST_F(SecondInstance, SplashCentredThenClosedAboutTwoSecondsAfterTheMainWindowAppears) {
  if (!NeedDisplay()) GTEST_SKIP() << "no X server";
  auto first = Start({}, {{"KQ_TEST_MODE", "swing"}});
  const Window splash = WaitForClass("SplashScreenWndClass", 10000);
  ASSERT_NE(splash, 0u) << first->Stderr();
  const Geometry g = GetGeometry(d, splash);
  EXPECT_EQ(g.x, 260);
  EXPECT_EQ(g.y, 222);
  EXPECT_EQ(g.width, 504);
  EXPECT_EQ(g.height, 323);
  // The application's Swing window carries the class that the launcher looks for.
  Window main = 0;
  ASSERT_TRUE(WaitFor([&] { return (main = FindMainWindowByClass(d)) != 0; }, kJvmWaitMs)) << first->Stderr();
  const auto appeared = Clock::now();
  // The first window of that class may be one of the toolkit's inner windows ("Content window"), and the
  // frame's title may follow its class by a moment on a loaded machine: a window with both appears.
  EXPECT_TRUE(WaitFor(
      [&] {
        for (Window w : TopLevelWindows(d)) {
          if (IsApplicationMainWindow(d, w)) return true;
        }
        return false;
      },
      3000))
      << WindowTitle(d, main);
  ASSERT_TRUE(WaitFor([&] { return FindByClass(d, "SplashScreenWndClass") == 0; }, 6000));
  const auto took = std::chrono::duration_cast<Ms>(Clock::now() - appeared).count();
  EXPECT_GE(took, 1500);
  EXPECT_LE(took, 3500);
  // The second instance finds that real window too.
  auto second = Start({"hello"});
  EXPECT_EQ(second->Wait(10000), 0);
  EXPECT_TRUE(WaitFor([&] { return install.ReportHas("conn " + Hex("hello")); }, 5000));
  StopFirst(*first);
}

TEST_F(SecondInstance, SplashClosesAfterItsDisplayTimeWhenNoMainWindowAppears) {
  if (!NeedDisplay()) GTEST_SKIP() << "no X server";
  auto first = Start({}, {{"KQ_TEST_MODE", "wait"}, {"KQ_LAUNCHER_SPLASH_TIME_MS", "1500"}});
  const auto start = Clock::now();
  ASSERT_NE(WaitForClass("SplashScreenWndClass", 10000), 0u);
  ASSERT_TRUE(WaitFor([&] { return FindByClass(d, "SplashScreenWndClass") == 0; }, 6000));
  const auto took = std::chrono::duration_cast<Ms>(Clock::now() - start).count();
  EXPECT_GE(took, 1000);
  EXPECT_LE(took, 3500);
  EXPECT_TRUE(first->Running()) << "the application goes on";
  StopFirst(*first);
}

}  // namespace
}  // namespace lumara
