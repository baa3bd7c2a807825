// The uninstall flow: which INF copies go, driver files, device entries, the unplug prompt with
// its watcher, the completion box, and the silent and -i variants.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "flow_support.h"
#include "messages.h"
#include "uninstall_flow.h"

namespace kqco {
namespace {

using namespace kqco::testing;

std::string Inf(const std::string& rndisSection, const std::string& deviceValue) {
  std::string text = "[Version]\nSignature=\"$Windows NT$\"\n[KQDevices.NT.5.1]\n%KQDevice% = " + deviceValue + "\n";
  if (!rndisSection.empty()) text += "[RNDIS.NT]\n" + rndisSection + "\n";
  return text;
}

class UninstallFlow : public ::testing::Test {
 protected:
  UninstallFlow() : ctx(sys.services(), windows) {
    ctx.timing = ShortTiming();
    windows.modalCaptions = {kCaptionUninstallDone};
  }

  // INF copies in the store; the first two name the handheld and qualify.
  void FillStore() {
    const std::string store = sys.InfStore();
    WriteFile(store + "/oem0.inf", Inf("Characteristics = 0x84", "RNDIS, USB\\VID_4407&PID_7705"));
    WriteFile(store + "/oem0.PNF", "pnf");
    WriteFile(store + "/OEM1.INF", Inf("AddReg = x", "rndis, usb\\vid_4407&pid_7705&rev_0100"));
    WriteFile(store + "/OEM1.PNF", "pnf");
    WriteFile(store + "/oem2.inf", Inf("", "RNDIS, USB\\VID_4407&PID_7705"));         // no RNDIS.NT
    WriteFile(store + "/oem3.inf", Inf("Bus = 1", "RNDIS, USB\\VID_4407&PID_7705"));  // key too short
    WriteFile(store + "/oem4.inf", Inf("Characteristics = 1", "RNDIS, USB\\VID_1234&PID_0001"));
    WriteFile(store + "/oem5.inf", std::string(5000, '\0') + "\xFF\xFE[RNDIS.NT");  // junk
    WriteFile(store + "/oem6.PNF", "a lone PNF");
    WriteFile(store + "/keep.inf", Inf("Characteristics = 0x84", "USB\\VID_4407&PID_7705"));  // not oem*
  }
  std::vector<std::string> UntouchedStore() const {
    return {"OEM1.INF", "OEM1.PNF", "keep.inf", "oem0.PNF", "oem0.inf",
            "oem2.inf", "oem3.inf", "oem4.inf", "oem5.inf", "oem6.PNF"};
  }
  std::vector<std::string> CleanedStore() const {
    return {"keep.inf", "oem2.inf", "oem3.inf", "oem4.inf", "oem5.inf", "oem6.PNF"};
  }

  int Run(Switches sw) { return RunUninstallFlow(ctx, sw, kHwidW); }
  static Switches U() {
    Switches s;
    s.uninstall = true;
    return s;
  }

  SystemRoot sys;
  ScriptedWindows windows;
  InstallerContext ctx;
};

TEST_F(UninstallFlow, UnpluggedDeviceIsCleanedUpAndTheCompletionBoxClosesItself) {
  FillStore();
  sys.InstallDriverFiles();
  sys.SetDatabase(HandheldLine("1", false) + kOtherDeviceLine + HandheldLine("2", false));
  EXPECT_EQ(Run(U()), 0);
  EXPECT_EQ(sys.StoreFiles(), CleanedStore());
  EXPECT_FALSE(Exists(sys.Drivers() + "/usb8023y.sys"));
  EXPECT_FALSE(Exists(sys.Drivers() + "/rndismpy.sys"));
  EXPECT_EQ(sys.DatabaseText(), kOtherDeviceLine);
  const auto boxes = windows.boxes();
  ASSERT_EQ(boxes.size(), 1u);  // no prompt, only the completion box
  EXPECT_EQ(boxes[0].caption, kCaptionUninstallDone);
  EXPECT_EQ(boxes[0].text, kTextUninstallDone);
  EXPECT_EQ(boxes[0].buttons, BoxButtons::kOkCancel);
  EXPECT_EQ(windows.commands().back(), std::make_pair(std::wstring(kCaptionUninstallDone), kIdOk));
}

TEST_F(UninstallFlow, NoMatchingDeviceEndsWithMinus103AfterTheFileCleanUp) {
  FillStore();
  sys.InstallDriverFiles();
  sys.SetDatabase(kOtherDeviceLine);
  EXPECT_EQ(Run(U()), kExitNoMatchingDevice);
  EXPECT_EQ(sys.StoreFiles(), CleanedStore());
  EXPECT_FALSE(Exists(sys.Drivers() + "/usb8023y.sys"));
  EXPECT_TRUE(windows.boxes().empty());
}

TEST_F(UninstallFlow, SilentWithDevicePluggedInChangesNothing) {
  FillStore();
  sys.InstallDriverFiles();
  sys.SetDatabase(HandheldLine("1", true));
  Switches sw = U();
  sw.silent = true;
  EXPECT_EQ(Run(sw), kExitPluggedInSilent);
  EXPECT_EQ(sys.StoreFiles(), UntouchedStore());
  EXPECT_TRUE(Exists(sys.Drivers() + "/usb8023y.sys"));
  EXPECT_EQ(sys.DatabaseText(), HandheldLine("1", true));
  EXPECT_TRUE(windows.boxes().empty());
}

TEST_F(UninstallFlow, SilentAndNoInteractionShowNoCompletionBox) {
  for (const bool silent : {true, false}) {
    sys.SetDatabase(HandheldLine("1", false));
    ScriptedWindows quiet;
    InstallerContext c(sys.services(), quiet);
    c.timing = ShortTiming();
    Switches sw = U();
    sw.silent = silent;
    sw.noInteraction = !silent;
    EXPECT_EQ(RunUninstallFlow(c, sw, kHwidW), 0);
    EXPECT_TRUE(quiet.boxes().empty());
    EXPECT_EQ(sys.DatabaseText(), "");
  }
}

TEST_F(UninstallFlow, CancelOnThePromptEndsWithMinus102AndChangesNothing) {
  FillStore();
  sys.InstallDriverFiles();
  sys.SetDatabase(HandheldLine("1", true));
  int prompts = 0;
  windows.answer = [&](const ScriptedWindows::Box& box) {
    EXPECT_EQ(box.caption, kCaptionUnplug);
    EXPECT_EQ(box.text, kTextUnplug);
    return ++prompts == 1 ? kIdOk : kIdCancel;  // OK with the device still in: the prompt comes back
  };
  EXPECT_EQ(Run(U()), kExitUninstallCancelled);
  EXPECT_EQ(prompts, 2);
  EXPECT_EQ(sys.StoreFiles(), UntouchedStore());
  EXPECT_TRUE(Exists(sys.Drivers() + "/rndismpy.sys"));
  EXPECT_EQ(sys.DatabaseText(), HandheldLine("1", true));
}

TEST_F(UninstallFlow, UnpluggingClosesThePromptAndTheUninstallGoesOn) {
  sys.InstallDriverFiles();
  sys.SetDatabase(HandheldLine("1", true));
  windows.modalCaptions.push_back(kCaptionUnplug);
  auto flow = std::async(std::launch::async, [&] { return Run(U()); });
  ASSERT_TRUE(windows.WaitForModal(kCaptionUnplug, 5000));
  sys.SetDatabase(HandheldLine("1", false));  // the user pulls the cable
  ASSERT_EQ(flow.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(flow.get(), 0);
  const auto boxes = windows.boxes();
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].caption, kCaptionUnplug);
  EXPECT_EQ(boxes[1].caption, kCaptionUninstallDone);
  EXPECT_EQ(sys.DatabaseText(), "");
  EXPECT_FALSE(Exists(sys.Drivers() + "/usb8023y.sys"));
}

TEST_F(UninstallFlow, UnpluggingARealUsbDeviceClosesThePromptToo) {
  sys.SetDatabase(HandheldLine("1", false));
  sys.PlugUsb("1-1", "4407", "7705");
  windows.modalCaptions.push_back(kCaptionUnplug);
  auto flow = std::async(std::launch::async, [&] { return Run(U()); });
  ASSERT_TRUE(windows.WaitForModal(kCaptionUnplug, 5000));
  sys.UnplugUsb("1-1");
  ASSERT_EQ(flow.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(flow.get(), 0);
}

TEST_F(UninstallFlow, PromptThatCannotBeShownActsAsSilent) {
  // No display: the prompt cannot be answered, so the uninstall stops as in silent mode rather
  // than putting the prompt up again and again.
  sys.SetDatabase(HandheldLine("1", true));
  sys.InstallDriverFiles();
  int prompts = 0;
  windows.answer = [&](const ScriptedWindows::Box&) {
    ++prompts;
    return 0;
  };
  EXPECT_EQ(Run(U()), kExitPluggedInSilent);
  EXPECT_EQ(prompts, 1);
  EXPECT_EQ(sys.DatabaseText(), HandheldLine("1", true));
  EXPECT_TRUE(Exists(sys.Drivers() + "/usb8023y.sys"));
}

TEST_F(UninstallFlow, RemoveAnywayTakesALiveDeviceWithoutPrompt) {
  sys.SetDatabase(HandheldLine("1", true) + kOtherDeviceLine);
  Switches sw;
  sw.removeAnyway = true;
  EXPECT_EQ(Run(sw), 0);
  EXPECT_EQ(sys.DatabaseText(), kOtherDeviceLine);
  ASSERT_EQ(windows.boxes().size(), 1u);
  EXPECT_EQ(windows.boxes()[0].caption, kCaptionUninstallDone);
}

TEST_F(UninstallFlow, ThreadThatCannotStartEndsWithMinus5) {
  ctx.startThread = [](std::thread&, std::function<void()>) { return false; };
  // The watcher, with the device plugged in: no box at all, nothing changed.
  sys.SetDatabase(HandheldLine("1", true));
  EXPECT_EQ(Run(U()), kExitThreadFailed);
  EXPECT_TRUE(windows.boxes().empty());
  EXPECT_EQ(sys.DatabaseText(), HandheldLine("1", true));
  // The completion box's closer: its own error box, with the platform's default caption.
  sys.SetDatabase(HandheldLine("1", false));
  EXPECT_EQ(Run(U()), kExitThreadFailed);
  ASSERT_EQ(windows.boxes().size(), 1u);
  EXPECT_EQ(windows.boxes()[0].text, kTextThreadFailed);
  EXPECT_EQ(windows.boxes()[0].caption, L"");
  EXPECT_EQ(sys.DatabaseText(), "");
}

TEST(DeviceSearch, EntryMatchRules) {
  const std::wstring list(L"USB\\VID_4407&PID_7705&REV_0100\0USB\\VID_4407&PID_7705\0\0", 54);
  EXPECT_TRUE(HardwareIdListMatches(list, L"USB\\VID_4407&PID_7705"));
  EXPECT_TRUE(HardwareIdListMatches(list, L"usb\\vid_4407&pid_7705&rev_0100"));
  EXPECT_FALSE(HardwareIdListMatches(list, L"USB\\VID_4407&PID_7705&REV_0101"));
  EXPECT_FALSE(HardwareIdListMatches(list, L"VID_4407"));  // a prefix, not a substring
  // The walk ends at the first empty entry, and at the end of an unterminated list.
  EXPECT_FALSE(HardwareIdListMatches(std::wstring(L"A\0\0USB\\VID_4407\0\0", 17), L"USB\\VID_4407"));
  EXPECT_TRUE(HardwareIdListMatches(L"USB\\VID_4407&PID_7705", L"USB\\VID_4407"));
  EXPECT_FALSE(HardwareIdListMatches(L"", L"USB"));
}

TEST(DeviceSearch, UnreadablePropertyEndsTheEnumeration) {
  SystemRoot sys;
  sys.SetDatabase("ROOT\\NOID\t1\n" + HandheldLine("1", true));
  EXPECT_TRUE(IsDevicePresent(sys.services(), kHwidW));  // a device without IDs is skipped
  sys.SetDatabase("ROOT\\BIG\t1\t" + std::string(40000, 'X') + "\n" + HandheldLine("1", true));
  EXPECT_FALSE(IsDevicePresent(sys.services(), kHwidW));
  EXPECT_FALSE(RemoveMatchingDevices(sys.services(), kHwidW));
  sys.SetDatabase(HandheldLine("1", true) + "ROOT\\BIG\t1\t" + std::string(40000, 'X') + "\n");
  EXPECT_TRUE(RemoveMatchingDevices(sys.services(), kHwidW));  // found before the failure
}

TEST(InfCleanUp, HugeAndOddCopiesAreLeftAlone) {
  SystemRoot sys;
  std::string huge = Inf("Characteristics = 0x84", "USB\\VID_4407&PID_7705");
  huge.resize(linux_platform::kMaxInfBytes + 10, ';');
  WriteFile(sys.InfStore() + "/oem7.inf", huge);
  MakeDirs(sys.InfStore() + "/oem8.inf");  // a folder
  // The hardware ID beyond the value buffer's 259 characters is not seen.
  WriteFile(sys.InfStore() + "/oem9.inf",
            Inf("Characteristics = 0x84", std::string(259, 'x') + "USB\\VID_4407&PID_7705"));
  DeleteInfFiles(sys.services(), kInfInstallSection, kInfModelsSection, kInfDeviceKey, kHwidW);
  EXPECT_EQ(sys.StoreFiles(), (std::vector<std::string>{"oem7.inf", "oem8.inf", "oem9.inf"}));
}

}  // namespace
}  // namespace kqco
