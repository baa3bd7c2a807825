// The uninstall flow on the Win32 window services: its un-plug prompt is a real message box that
// the watcher thread closes when the device goes, and its completion box closes by itself. The
// devices are a scripted list (Wine has no device to unplug); files go to a folder of the test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>

#include "command_line.h"
#include "installer.h"
#include "messages.h"
#include "platform/win/devinst_win.h"
#include "platform/win/window_win.h"
#include "uninstall_flow.h"
#include "win_support.h"

namespace kqco {
namespace {

constexpr wchar_t kHwid[] = L"USB\\VID_4407&PID_7705";

// One handheld, present until unplugged; everything else is the real Win32 layer, with the
// Windows directory in a folder of the test.
class ScriptedDevices final : public DeviceInstallServices {
 public:
  explicit ScriptedDevices(const std::wstring& windowsDir) : windowsDir_(windowsDir) {}
  std::atomic<bool> present{true};
  std::atomic<bool> removed{false};

  std::unique_ptr<DeviceList> GetClassDevs(bool presentOnly) override {
    return std::make_unique<List>(*this, presentOnly && !present ? 0u : 1u);
  }
  bool CopyOemInf(const std::wstring& s) override { return real_.CopyOemInf(s); }
  bool ReenumerateDeviceTree() override { return false; }
  std::optional<uint32_t> WaitNoPendingInstallEvents(uint32_t) override { return 0; }
  std::optional<std::pair<unsigned, unsigned>> PlatformVersion() override { return std::make_pair(5u, 1u); }
  std::optional<std::wstring> WindowsDirectory() override { return windowsDir_; }
  std::optional<std::wstring> SystemDirectory() override { return windowsDir_ + L"\\System32"; }
  std::optional<uint64_t> LastWriteTime(const std::wstring& p) override { return real_.LastWriteTime(p); }
  std::vector<std::wstring> FindFiles(const std::wstring& p) override { return real_.FindFiles(p); }
  bool RemoveFile(const std::wstring& p) override { return real_.RemoveFile(p); }
  std::optional<std::wstring> FullPathName(const std::wstring& p) override { return real_.FullPathName(p); }
  std::optional<std::wstring> CurrentDirectory() override { return real_.CurrentDirectory(); }
  std::vector<std::wstring> ProfileSectionKeys(const std::wstring& p, const std::wstring& s) override {
    return real_.ProfileSectionKeys(p, s);
  }
  std::wstring ProfileString(const std::wstring& p, const std::wstring& s, const std::wstring& k,
                             const std::wstring& f) override {
    return real_.ProfileString(p, s, k, f);
  }

 private:
  class List final : public DeviceList {
   public:
    List(ScriptedDevices& owner, unsigned count) : owner_(owner), count_(count) {}
    bool EnumDevice(unsigned index) override { return index < count_; }
    PropertyRead HardwareIds(unsigned index, std::wstring& multi) override {
      if (index >= count_) return PropertyRead::kFailed;
      multi = std::wstring(kHwid) + L"&REV_0100" + L'\0' + kHwid + L'\0' + L'\0';
      return PropertyRead::kOk;
    }
    bool RemoveDevice(unsigned index) override {
      if (index >= count_) return false;
      owner_.removed = true;
      return true;
    }

   private:
    ScriptedDevices& owner_;
    unsigned count_;
  };

  std::wstring windowsDir_;
  win_platform::WinDeviceInstallServices real_;
};

Timing ShortTiming() {
  Timing t;
  t.wizardDelay = t.watcherDelay = t.doneBoxDelay = std::chrono::milliseconds(30);
  t.watcherPollPause = t.closeRetryPause = std::chrono::milliseconds(10);
  return t;
}

// Waits for a top-level window with this title; nullptr after timeoutMs.
HWND WaitForWindow(const wchar_t* title, DWORD timeoutMs = 15000) {
  for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
    if (HWND w = FindWindowW(nullptr, title)) return w;
    Sleep(20);
  }
  return nullptr;
}

// One test: the prompt's title is fixed, so two prompts of parallel test processes would be
// mistaken for each other.
TEST(WinUninstallFlow, UnplugPromptCancelledOrClosedWhenTheDeviceGoes) {
  {
    SCOPED_TRACE("Cancel on the prompt");
    wintest::TempFolder dir;
    ScriptedDevices devices(dir.path());
    win_platform::WinWindowServices windows;
    InstallerContext ctx(devices, windows);
    ctx.timing = ShortTiming();

    auto flow = std::async(std::launch::async, [&] { return RunUninstallFlow(ctx, ReadSwitches(L"-u"), kHwid); });
    ASSERT_NE(WaitForWindow(kCaptionUnplug), nullptr) << "no un-plug prompt";
    EXPECT_TRUE(windows.SendCommand(kCaptionUnplug, kIdCancel));
    ASSERT_EQ(flow.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(flow.get(), kExitUninstallCancelled);
    EXPECT_FALSE(devices.removed);
  }
  {
    SCOPED_TRACE("the device goes");
    wintest::TempFolder dir;
    CreateDirectoryW(dir.File(L"inf").c_str(), nullptr);
    const std::wstring copy = dir.File(L"inf\\oem5.inf");
    ASSERT_TRUE(wintest::WriteText(copy, "[RNDIS.NT]\r\nCharacteristics=0x84\r\n[KQDevices.NT.5.1]\r\n"
                                         "%KQDevice%=RNDIS, USB\\VID_4407&PID_7705\r\n"));
    ScriptedDevices devices(dir.path());
    win_platform::WinWindowServices windows;
    InstallerContext ctx(devices, windows);
    ctx.timing = ShortTiming();

    auto flow = std::async(std::launch::async, [&] { return RunUninstallFlow(ctx, ReadSwitches(L"-u"), kHwid); });
    ASSERT_NE(WaitForWindow(kCaptionUnplug), nullptr) << "no un-plug prompt";
    devices.present = false;  // unplugged: the watcher closes the prompt
    ASSERT_EQ(flow.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(flow.get(), 0);
    EXPECT_TRUE(devices.removed);
    EXPECT_FALSE(wintest::FileExists(copy));
    EXPECT_EQ(FindWindowW(nullptr, kCaptionUnplug), nullptr);
    EXPECT_EQ(FindWindowW(nullptr, kCaptionUninstallDone), nullptr);
    RemoveDirectoryW(dir.File(L"inf").c_str());
  }
}

}  // namespace
}  // namespace kqco
