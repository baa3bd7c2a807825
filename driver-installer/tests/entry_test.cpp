// The program's entry: the checks before any work, their boxes and exit codes, the dispatch to
// the flows and the main window at the end.
#include <gtest/gtest.h>

#include "flow_support.h"
#include "messages.h"
#include "wide_text.h"

namespace kqco {
namespace {

using namespace kqco::testing;

class Entry : public ::testing::Test {
 protected:
  Entry() : ctx(sys.services(), windows) {
    ctx.timing = ShortTiming();
    WriteFile(sys.media() + "/kq.inf", PackageInf(kHwid));
  }
  int Run(const std::wstring& commandLine) {
    return RunInstaller(ctx, commandLine, {W(sys.media() + "/KQCoInstaller")}, kShowDefault);
  }
  // The texts of the boxes shown so far.
  std::vector<std::wstring> Boxes() const {
    std::vector<std::wstring> texts;
    for (const auto& b : windows.boxes()) texts.push_back(b.text);
    return texts;
  }

  SystemRoot sys;
  ScriptedWindows windows;
  InstallerContext ctx;
};

using Texts = std::vector<std::wstring>;

TEST_F(Entry, SwitchConflictComesFirst) {
  for (const wchar_t* cmd : {L"-n -u", L"-n -r", L"-r -u", L"-N -U drv.inf", L"-nx -rx USB\\VID_1"}) {
    ScriptedWindows fresh;
    InstallerContext c(sys.services(), fresh);
    EXPECT_EQ(RunInstaller(c, cmd, {L"/x/KQCoInstaller"}, kShowDefault), kExitSwitchConflict) << cmd;
    ASSERT_EQ(fresh.boxes().size(), 1u);
    EXPECT_EQ(fresh.boxes()[0].text, kTextSwitchConflict);
    EXPECT_EQ(fresh.boxes()[0].caption, kCaptionError);
    EXPECT_EQ(fresh.boxes()[0].buttons, BoxButtons::kOk);
  }
  EXPECT_EQ(Run(L"-n -u -s"), kExitSwitchConflict);
  EXPECT_TRUE(windows.boxes().empty());
}

TEST_F(Entry, InstallNeedsBothArguments) {
  EXPECT_EQ(Run(L"-n USB\\VID_4407&PID_7705"), kExitInstallArguments);
  EXPECT_EQ(Run(L"-f drv.inf"), kExitInstallArguments);
  EXPECT_EQ(Boxes(), (Texts{kTextInstallUsage, kTextInstallUsage}));
  EXPECT_EQ(Run(L"-n -s"), kExitInstallArguments);
  EXPECT_EQ(Boxes().size(), 2u);
}

TEST_F(Entry, UninstallNeedsAHardwareId) {
  EXPECT_EQ(Run(L"-u"), kExitUninstallArguments);
  EXPECT_EQ(Run(L"-r drv.inf"), kExitUninstallArguments);
  EXPECT_EQ(Boxes(), (Texts{kTextUninstallUsage, kTextUninstallUsage}));
  EXPECT_EQ(Run(L"-r -s"), kExitUninstallArguments);
  EXPECT_EQ(Boxes().size(), 2u);
}

TEST_F(Entry, ForceInstallWithUninstallIsNoConflict) {
  // -f asks for the install arguments, then the uninstall flow runs.
  EXPECT_EQ(Run(L"-f -u USB\\VID_4407&PID_7705"), kExitInstallArguments);
  EXPECT_EQ(Run(L"-f -u kq.inf USB\\VID_4407&PID_7705 -s"), kExitNoMatchingDevice);
  sys.SetDatabase(HandheldLine("1", false));
  EXPECT_EQ(Run(L"-f -u kq.inf USB\\VID_4407&PID_7705 -i"), kExitDone);
  EXPECT_EQ(sys.DatabaseText(), "");
  EXPECT_TRUE(sys.StoreFiles().empty());  // nothing was installed
}

TEST_F(Entry, NoWorkSwitch) {
  EXPECT_EQ(Run(L"-s"), kExitNoSwitch);
  EXPECT_TRUE(windows.boxes().empty());
  EXPECT_EQ(Run(L"-i"), kExitNoSwitch);
  EXPECT_EQ(Run(L""), kExitNoSwitch);
  EXPECT_EQ(Run(L"/n drv.inf USB\\VID_4407"), kExitNoSwitch);
  EXPECT_EQ(Boxes(), (Texts{kTextIncorrectSwitch, kTextIncorrectSwitch, kTextIncorrectSwitch}));
}

TEST_F(Entry, MediaRootFailureEndsWithMinus4WithoutABox) {
  const std::wstring longPath = L"/" + std::wstring(300, L'p') + L"/KQCoInstaller";
  EXPECT_EQ(RunInstaller(ctx, L"-n kq.inf USB\\VID_4407&PID_7705", {longPath}, kShowDefault), kExitNoMediaRoot);
  EXPECT_EQ(RunInstaller(ctx, L"-u USB\\VID_4407&PID_7705", {longPath}, kShowDefault), kExitNoMediaRoot);
  EXPECT_TRUE(windows.boxes().empty());
  // The checks before it still come first.
  EXPECT_EQ(RunInstaller(ctx, L"-u", {longPath}, kShowDefault), kExitUninstallArguments);
  // Without the media root, no switch is checked last.
  EXPECT_EQ(RunInstaller(ctx, L"-s", {longPath}, kShowDefault), kExitNoMediaRoot);
}

TEST_F(Entry, SuccessOpensTheMainWindow) {
  EXPECT_EQ(Run(L"-N \"KQ.INF\" usb\\vid_4407&pid_7705"), kExitDone);
  EXPECT_EQ(windows.mainWindowRuns(), 1);
  EXPECT_EQ(sys.StoreFiles().size(), 2u);
  windows.mainWindowCreated = false;
  EXPECT_EQ(Run(L"-n -s kq.inf USB\\VID_4407&PID_7705"), kExitNoMainWindow);  // -s keeps the window
  EXPECT_EQ(windows.mainWindowRuns(), 2);
  EXPECT_EQ(Run(L"-n kq.inf USB\\VID_4407&PID_7705 -i"), kExitNoMainWindow);
  EXPECT_TRUE(windows.boxes().empty());
}

TEST_F(Entry, FailingFlowsEndTheProgramWithTheirCode) {
  EXPECT_EQ(Run(L"-n missing.inf USB\\VID_4407&PID_7705"), kExitCopyInfFailed);
  EXPECT_EQ(Run(L"-u USB\\VID_4407&PID_7705"), kExitNoMatchingDevice);
  sys.SetDatabase(HandheldLine("1", true));
  EXPECT_EQ(Run(L"-u -s USB\\VID_4407&PID_7705"), kExitPluggedInSilent);
  windows.answer = [](const ScriptedWindows::Box&) { return kIdCancel; };
  EXPECT_EQ(Run(L"-u USB\\VID_4407&PID_7705"), kExitUninstallCancelled);
  EXPECT_EQ(windows.mainWindowRuns(), 0);
}

// Every combination of the six switches, with no arguments, with the hardware ID only and with
// both: the exit code and whether any box was shown.
TEST_F(Entry, EverySwitchCombination) {
  const wchar_t* names[] = {L"-n", L"-f", L"-u", L"-r", L"-s", L"-i"};
  const wchar_t* argSets[] = {L"", L" USB\\VID_4407&PID_7705", L" kq.inf USB\\VID_4407&PID_7705"};
  for (int mask = 0; mask < 64; ++mask) {
    for (int a = 0; a < 3; ++a) {
      std::wstring cmd;
      for (int bit = 0; bit < 6; ++bit) {
        if (mask & (1 << bit)) cmd += std::wstring(names[bit]) + L" ";
      }
      cmd += argSets[a];
      const bool n = mask & 1, f = mask & 2, u = mask & 4, r = mask & 8, s = mask & 16;
      const bool hasHwid = a >= 1, hasInf = a == 2;
      int expected;
      if ((n && u) || (n && r) || (u && r)) expected = kExitSwitchConflict;
      else if ((n || f) && !(hasInf && hasHwid)) expected = kExitInstallArguments;
      else if ((u || r) && !hasHwid) expected = kExitUninstallArguments;
      else if (u || r) expected = kExitNoMatchingDevice;  // the root holds no device entry
      else if (n || f) expected = kExitNoMainWindow;
      else expected = kExitNoSwitch;

      SystemRoot root;
      WriteFile(root.media() + "/kq.inf", PackageInf(kHwid));
      ScriptedWindows win;
      win.mainWindowCreated = false;
      InstallerContext c(root.services(), win);
      c.timing = ShortTiming();
      const int code = RunInstaller(c, cmd, {W(root.media() + "/KQCoInstaller")}, kShowDefault);
      EXPECT_EQ(code, expected) << "command line: " << EncodeUtf8(cmd);
      const bool boxExpected = !s && (expected == kExitSwitchConflict || expected == kExitInstallArguments ||
                                      expected == kExitUninstallArguments || expected == kExitNoSwitch);
      EXPECT_EQ(win.boxes().size(), boxExpected ? 1u : 0u) << "command line: " << EncodeUtf8(cmd);
      EXPECT_EQ(root.StoreFiles().size(), expected == kExitNoMainWindow ? 2u : 0u) << EncodeUtf8(cmd);
    }
  }
}

}  // namespace
}  // namespace kqco
