// The install flow against a fresh system root: the time-stamp rule, the INF copy, the rescan,
// the reinstall clean-up and the hardware wizard.
#include <gtest/gtest.h>

#include "flow_support.h"
#include "install_flow.h"
#include "messages.h"

namespace kqco {
namespace {

using namespace kqco::testing;

class InstallFlow : public ::testing::Test {
 protected:
  InstallFlow() : tuned(sys.services()), ctx(tuned, windows) { ctx.timing = ShortTiming(); }

  void PutMediaDriver(long mtime) {
    WriteFile(sys.media() + "/usb8023y.sys", "new driver");
    SetMtime(sys.media() + "/usb8023y.sys", mtime);
  }
  void PutInstalledDriver(long mtime) {
    sys.InstallDriverFiles();
    SetMtime(sys.Drivers() + "/usb8023y.sys", mtime);
  }
  int Run(Switches sw = {}, const std::string& inf = "kq.inf") {
    sw.install = true;
    return RunInstallFlow(ctx, sw, sys.MediaRoot(), {W(inf), kHwidW});
  }

  SystemRoot sys;
  ScriptedWindows windows;
  TunedServices tuned;
  InstallerContext ctx;
};

TEST_F(InstallFlow, TimeStampRule) {
  const auto compare = [&] { return CompareDriverFileTimes(tuned, sys.MediaRoot()); };
  auto r = compare();  // no driver anywhere
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.comparison, 0);

  PutInstalledDriver(2000);
  r = compare();  // nothing beside the installer
  EXPECT_FALSE(r.ok);

  PutMediaDriver(3000);
  r = compare();
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.comparison, -1);
  SetMtime(sys.Drivers() + "/usb8023y.sys", 3000);
  EXPECT_EQ(compare().comparison, 0);
  SetMtime(sys.Drivers() + "/usb8023y.sys", 4000);
  EXPECT_EQ(compare().comparison, 1);

  // Windows XP and every 6.x release always install; 2000 and others compare.
  for (const auto& v : {std::pair(5u, 1u), std::pair(6u, 0u), std::pair(6u, 3u)}) {
    tuned.version = v;
    r = compare();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.comparison, -1) << v.first << "." << v.second;
  }
  for (const auto& v : {std::pair(5u, 0u), std::pair(5u, 2u), std::pair(10u, 0u)}) {
    tuned.version = v;
    EXPECT_EQ(compare().comparison, 1) << v.first << "." << v.second;
  }
}

TEST_F(InstallFlow, FreshRootGetsTheInfCopiedAndDevicesRescanned) {
  WriteFile(sys.media() + "/kq.inf", PackageInf(kHwid));
  sys.PlugUsb("2-1", "4407", "7705", "0100", "HH01");
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(sys.StoreFiles(), (std::vector<std::string>{"oem0.PNF", "oem0.inf"}));
  EXPECT_EQ(ReadFile(sys.InfStore() + "/oem0.inf"), PackageInf(kHwid));
  EXPECT_EQ(tuned.rescans, 1);
  EXPECT_NE(sys.DatabaseText().find("USB\\VID_4407&PID_7705\\HH01\t0\t"), std::string::npos);
  EXPECT_TRUE(windows.boxes().empty());
}

TEST_F(InstallFlow, CurrentDriverMeansNothingToInstall) {
  WriteFile(sys.media() + "/kq.inf", PackageInf(kHwid));
  PutMediaDriver(5000);
  PutInstalledDriver(5000);
  sys.SetDatabase(HandheldLine("1", true));
  EXPECT_EQ(Run(), 0);
  EXPECT_TRUE(sys.StoreFiles().empty());
  EXPECT_EQ(tuned.rescans, 0);
  EXPECT_EQ(sys.DatabaseText(), HandheldLine("1", true));
  EXPECT_TRUE(Exists(sys.Drivers() + "/usb8023y.sys"));

  // On Windows XP the INF is copied even though the same driver is installed.
  tuned.version = std::pair(5u, 1u);
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(sys.StoreFiles().size(), 2u);
}

TEST_F(InstallFlow, ReinstallRemovesMatchingDevicesAndDriverFiles) {
  WriteFile(sys.media() + "/kq.inf", PackageInf(kHwid));
  PutMediaDriver(5000);
  PutInstalledDriver(4000);
  sys.SetDatabase(HandheldLine("1", true) + kOtherDeviceLine + HandheldLine("2", false));
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(sys.DatabaseText(), kOtherDeviceLine);  // present and absent entries alike
  EXPECT_FALSE(Exists(sys.Drivers() + "/usb8023y.sys"));
  EXPECT_FALSE(Exists(sys.Drivers() + "/rndismpy.sys"));
  EXPECT_EQ(sys.StoreFiles().size(), 2u);
}

TEST_F(InstallFlow, ReinstallWithoutAPresentDeviceLeavesEntriesAndFiles) {
  WriteFile(sys.media() + "/kq.inf", PackageInf(kHwid));
  PutMediaDriver(5000);
  PutInstalledDriver(4000);
  sys.SetDatabase(HandheldLine("2", false));
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(sys.DatabaseText(), HandheldLine("2", false));
  EXPECT_TRUE(Exists(sys.Drivers() + "/usb8023y.sys"));
  EXPECT_EQ(sys.StoreFiles().size(), 2u);
}

TEST_F(InstallFlow, FailingInfCopyEndsWithMinus6) {
  EXPECT_EQ(Run({}, "missing.inf"), kExitCopyInfFailed);
  WriteFile(sys.media() + "/bad.inf", std::string(1000, '\xFF'));
  EXPECT_EQ(Run({}, "bad.inf"), kExitCopyInfFailed);
  EXPECT_EQ(tuned.rescans, 0);
  EXPECT_TRUE(sys.StoreFiles().empty());
}

TEST_F(InstallFlow, InfPathBeyondThePathBufferIsRefused) {
  // The INF name alone may be 259 characters; with the folder in front it no longer fits.
  const std::string name = std::string(250, 'k') + ".inf";
  EXPECT_FALSE(InstallInfFile(tuned, sys.MediaRoot(), W(name)));
  EXPECT_EQ(Run({}, name), kExitCopyInfFailed);
}

TEST_F(InstallFlow, PendingInstallationsCancelTheHardwareWizard) {
  WriteFile(sys.media() + "/kq.inf", PackageInf(kHwid));
  windows.foreignWindows = {kHardwareWizardTitle};
  tuned.pendingWait = kWaitTimeout;
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(windows.commands(), (std::vector<std::pair<std::wstring, int>>{{kHardwareWizardTitle, kIdCancel}}));

  // -i skips the check; no pending installations or no service: nothing is sent either.
  ScriptedWindows quiet;
  InstallerContext other(tuned, quiet);
  other.timing = ShortTiming();
  Switches sw;
  sw.install = sw.noInteraction = true;
  EXPECT_EQ(RunInstallFlow(other, sw, sys.MediaRoot(), {L"kq.inf", kHwidW}), 0);
  tuned.pendingWait = 0;
  EXPECT_EQ(RunInstallFlow(other, {}, sys.MediaRoot(), {L"kq.inf", kHwidW}), 0);
  tuned.pendingWait = std::nullopt;
  EXPECT_EQ(RunInstallFlow(other, {}, sys.MediaRoot(), {L"kq.inf", kHwidW}), 0);
  EXPECT_TRUE(quiet.commands().empty());
}

TEST_F(InstallFlow, WizardThreadThatCannotStartDoesNotStopTheInstall) {
  WriteFile(sys.media() + "/kq.inf", PackageInf(kHwid));
  tuned.pendingWait = kWaitTimeout;
  ctx.startThread = [](std::thread&, std::function<void()>) { return false; };
  EXPECT_EQ(Run(), 0);
  EXPECT_EQ(sys.StoreFiles().size(), 2u);
}

}  // namespace
}  // namespace kqco
