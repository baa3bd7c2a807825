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

  SystemRoot sys;
  ScriptedWindows windows;
  InstallerContext ctx;
};

// Each check before the work: its exit code and the text of its box (none with -s).
TEST_F(Entry, ChecksEndWithTheirBoxAndCode) {
  const struct {
    const wchar_t* cmd;
    int code;
    const wchar_t* text;
  } cases[] = {
      {L"-n -u", kExitSwitchConflict, kTextSwitchConflict},
      {L"-N -U drv.inf", kExitSwitchConflict, kTextSwitchConflict},
      {L"-nx -rx USB\\VID_1", kExitSwitchConflict, kTextSwitchConflict},
      {L"-n -u -s", kExitSwitchConflict, nullptr},
      {L"-n USB\\VID_4407&PID_7705", kExitInstallArguments, kTextInstallUsage},
      {L"-f drv.inf", kExitInstallArguments, kTextInstallUsage},
      {L"-n -s", kExitInstallArguments, nullptr},
      {L"-u", kExitUninstallArguments, kTextUninstallUsage},
      {L"-r drv.inf", kExitUninstallArguments, kTextUninstallUsage},
      {L"-r -s", kExitUninstallArguments, nullptr},
      {L"-i", kExitNoSwitch, kTextIncorrectSwitch},
      {L"/n drv.inf USB\\VID_4407", kExitNoSwitch, kTextIncorrectSwitch},
      {L"-s", kExitNoSwitch, nullptr},
  };
  for (const auto& c : cases) {
    ScriptedWindows fresh;
    InstallerContext ctx2(sys.services(), fresh);
    EXPECT_EQ(RunInstaller(ctx2, c.cmd, {L"/x/KQCoInstaller"}, kShowDefault), c.code) << EncodeUtf8(c.cmd);
    const auto boxes = fresh.boxes();
    ASSERT_EQ(boxes.size(), c.text ? 1u : 0u) << EncodeUtf8(c.cmd);
    if (c.text) {
      EXPECT_EQ(boxes[0].text, c.text);
      EXPECT_EQ(boxes[0].caption, kCaptionError);
      EXPECT_EQ(boxes[0].buttons, BoxButtons::kOk);
    }
  }
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
      if ((n && u) || (n && r) || (u && r))
        expected = kExitSwitchConflict;
      else if ((n || f) && !(hasInf && hasHwid))
        expected = kExitInstallArguments;
      else if ((u || r) && !hasHwid)
        expected = kExitUninstallArguments;
      else if (u || r)
        expected = kExitNoMatchingDevice;  // the root holds no device entry
      else if (n || f)
        expected = kExitNoMainWindow;
      else
        expected = kExitNoSwitch;

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
