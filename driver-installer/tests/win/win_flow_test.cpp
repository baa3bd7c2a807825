// The install flow with the hardware wizard of the system standing in, and the driver file
// times read by the Win32 layer. The uninstall flow on the Win32 window services: its un-plug prompt is a real message box that
// the watcher thread closes when the device goes, and its completion box closes by itself. The
// devices are a scripted list (Wine has no device to unplug); files go to a folder of the test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "command_line.h"
#include "install_flow.h"
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
  std::optional<uint32_t> pendingWait = 0;
  std::optional<std::pair<unsigned, unsigned>> version = std::make_pair(5u, 1u);
  std::vector<std::wstring> copied;  // the INF paths given to CopyOemInf

  std::unique_ptr<DeviceList> GetClassDevs(bool presentOnly) override {
    return std::make_unique<List>(*this, presentOnly && !present ? 0u : 1u);
  }
  bool CopyOemInf(const std::wstring& s) override {
    copied.push_back(s);
    return wintest::FileExists(s);
  }
  bool ReenumerateDeviceTree() override { return false; }
  std::optional<uint32_t> WaitNoPendingInstallEvents(uint32_t) override { return pendingWait; }
  std::optional<std::pair<unsigned, unsigned>> PlatformVersion() override { return version; }
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

// One test: the prompt's title is fixed, so two prompts of parallel test processes would be
// mistaken for each other.
TEST(WinUninstallFlow, UnplugPromptCancelledOrClosedWhenTheDeviceGoes) {
  {
    SCOPED_TRACE("Cancel on the prompt");
    zrtest::TempDir dir;
    ScriptedDevices devices(dir.wpath());
    win_platform::WinWindowServices windows;
    InstallerContext ctx(devices, windows);
    ctx.timing = ShortTiming();

    auto flow = std::async(std::launch::async, [&] { return RunUninstallFlow(ctx, ReadSwitches(L"-u"), kHwid); });
    ASSERT_NE(wintest::WaitForWindow(GetCurrentProcessId(), kCaptionUnplug), nullptr) << "no un-plug prompt";
    EXPECT_TRUE(windows.SendCommand(kCaptionUnplug, kIdCancel));
    ASSERT_EQ(flow.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(flow.get(), kExitUninstallCancelled);
    EXPECT_FALSE(devices.removed);
  }
  {
    SCOPED_TRACE("the device goes");
    zrtest::TempDir dir;
    CreateDirectoryW(dir.wfile(L"inf").c_str(), nullptr);
    const std::wstring copy = dir.wfile(L"inf\\oem5.inf");
    ASSERT_TRUE(wintest::WriteText(copy,
                                   "[RNDIS.NT]\r\nCharacteristics=0x84\r\n[KQDevices.NT.5.1]\r\n"
                                   "%KQDevice%=RNDIS, USB\\VID_4407&PID_7705\r\n"));
    ScriptedDevices devices(dir.wpath());
    win_platform::WinWindowServices windows;
    InstallerContext ctx(devices, windows);
    ctx.timing = ShortTiming();

    auto flow = std::async(std::launch::async, [&] { return RunUninstallFlow(ctx, ReadSwitches(L"-u"), kHwid); });
    ASSERT_NE(wintest::WaitForWindow(GetCurrentProcessId(), kCaptionUnplug), nullptr) << "no un-plug prompt";
    devices.present = false;  // unplugged: the watcher closes the prompt
    ASSERT_EQ(flow.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(flow.get(), 0);
    EXPECT_TRUE(devices.removed);
    EXPECT_FALSE(wintest::FileExists(copy));
    EXPECT_EQ(FindWindowW(nullptr, kCaptionUnplug), nullptr);
    EXPECT_EQ(FindWindowW(nullptr, kCaptionUninstallDone), nullptr);
    RemoveDirectoryW(dir.wfile(L"inf").c_str());
  }
}

// A top-level window titled like the system's hardware wizard, on a thread of its own; it
// records the command it gets and then goes away.
class WizardStandIn {
 public:
  WizardStandIn() {
    thread_ = std::thread([this] {
      WNDCLASSW wc{};
      wc.lpfnWndProc = Proc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = L"KQCOTESTWIZARD";
      RegisterClassW(&wc);
      HWND w = CreateWindowExW(0, wc.lpszClassName, kHardwareWizardTitle, WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                               nullptr, wc.hInstance, nullptr);
      SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
      up_ = w != nullptr;
      MSG msg;
      while (w != nullptr && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    });
  }
  ~WizardStandIn() {
    if (HWND w = FindWindowW(L"KQCOTESTWIZARD", kHardwareWizardTitle)) PostMessageW(w, WM_CLOSE, 0, 0);
    thread_.join();
  }
  bool WaitUp() {
    for (int i = 0; i < 500 && !up_; ++i) Sleep(10);
    return up_;
  }
  int command() const { return command_; }

 private:
  static LRESULT CALLBACK Proc(HWND w, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<WizardStandIn*>(GetWindowLongPtrW(w, GWLP_USERDATA));
    if (message == WM_COMMAND && self != nullptr) {
      self->command_ = LOWORD(wParam);
      DestroyWindow(w);
      return 0;
    }
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(w, message, wParam, lParam);
  }
  std::thread thread_;
  std::atomic<bool> up_{false};
  std::atomic<int> command_{0};
};

void SetWriteTime(const std::wstring& path, uint64_t units) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  FILETIME t{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
  ASSERT_TRUE(SetFileTime(f, nullptr, nullptr, &t));
  CloseHandle(f);
}

TEST(WinInstallFlow, PendingInstallationCancelsTheWizardAndDriverTimesDecideTheCopy) {
  zrtest::TempDir dir;
  const std::wstring drivers = dir.wfile(L"System32\\drivers");
  CreateDirectoryW(dir.wfile(L"System32").c_str(), nullptr);
  CreateDirectoryW(drivers.c_str(), nullptr);
  const std::wstring installed = drivers + L"\\" + kDriverFile;
  const std::wstring media = dir.wfile(kDriverFile);
  ASSERT_TRUE(wintest::WriteText(installed, "old"));
  ASSERT_TRUE(wintest::WriteText(media, "new"));
  ASSERT_TRUE(wintest::WriteText(dir.wfile(L"pkg.inf"), wintest::PackageInf("USB\\VID_4407&PID_7705")));
  constexpr uint64_t kDay = 24ull * 3600 * 10000000;
  const uint64_t base = 130000000000000000ull;  // 2012

  ScriptedDevices devices(dir.wpath());
  devices.present = false;
  devices.version = std::make_pair(5u, 0u);  // the driver file times decide
  devices.pendingWait = kWaitTimeout;
  win_platform::WinWindowServices windows;
  InstallerContext ctx(devices, windows);
  ctx.timing = ShortTiming();
  InstallArguments args;
  args.infFileName = L"pkg.inf";
  args.hardwareId = kHwid;
  const std::wstring mediaRoot = dir.wpath() + L"\\";

  {
    SCOPED_TRACE("installed driver newer: no copy, the wizard still cancelled");
    SetWriteTime(installed, base + kDay);
    SetWriteTime(media, base);
    WizardStandIn wizard;
    ASSERT_TRUE(wizard.WaitUp());
    EXPECT_EQ(RunInstallFlow(ctx, ReadSwitches(L"-n"), mediaRoot, args), 0);
    EXPECT_EQ(wizard.command(), kIdCancel);
    EXPECT_TRUE(devices.copied.empty());
  }
  {
    SCOPED_TRACE("media driver newer: the INF beside the installer is copied");
    SetWriteTime(media, base + 2 * kDay);
    devices.pendingWait = 0;
    EXPECT_EQ(RunInstallFlow(ctx, ReadSwitches(L"-n"), mediaRoot, args), 0);
    EXPECT_EQ(devices.copied, std::vector<std::wstring>{mediaRoot + L"pkg.inf"});
  }
  {
    SCOPED_TRACE("the installed driver held open: its time cannot be read, so the package is installed");
    devices.copied.clear();
    SetWriteTime(media, base);
    HANDLE held = CreateFileW(installed.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    args.infFileName = L"missing.inf";
    EXPECT_EQ(RunInstallFlow(ctx, ReadSwitches(L"-n"), mediaRoot, args), kExitCopyInfFailed);
    CloseHandle(held);
    EXPECT_EQ(devices.copied.size(), 1u);
  }
  DeleteFileW(installed.c_str());
  RemoveDirectoryW(drivers.c_str());
  RemoveDirectoryW(dir.wfile(L"System32").c_str());
}

}  // namespace
}  // namespace kqco
