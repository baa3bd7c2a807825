// Shared setup of the flow tests: a fresh system root, scripted windows and short waits.
#pragma once

#include <optional>

#include "installer.h"
#include "test_support.h"

namespace kqco::testing {

// The Linux services with the platform version and the pending-installation answer replaced.
class TunedServices final : public DeviceInstallServices {
 public:
  explicit TunedServices(DeviceInstallServices& base) : base_(base) {}
  std::optional<std::pair<unsigned, unsigned>> version;
  std::optional<uint32_t> pendingWait = 0;

  std::unique_ptr<DeviceList> GetClassDevs(bool p) override { return base_.GetClassDevs(p); }
  bool CopyOemInf(const std::wstring& s) override { return base_.CopyOemInf(s); }
  bool ReenumerateDeviceTree() override {
    ++rescans;
    return base_.ReenumerateDeviceTree();
  }
  std::optional<uint32_t> WaitNoPendingInstallEvents(uint32_t) override { return pendingWait; }
  std::optional<std::pair<unsigned, unsigned>> PlatformVersion() override { return version; }
  std::optional<std::wstring> WindowsDirectory() override { return base_.WindowsDirectory(); }
  std::optional<std::wstring> SystemDirectory() override { return base_.SystemDirectory(); }
  std::optional<uint64_t> LastWriteTime(const std::wstring& p) override { return base_.LastWriteTime(p); }
  std::vector<std::wstring> FindFiles(const std::wstring& p) override { return base_.FindFiles(p); }
  bool RemoveFile(const std::wstring& p) override { return base_.RemoveFile(p); }
  std::optional<std::wstring> FullPathName(const std::wstring& p) override { return base_.FullPathName(p); }
  std::optional<std::wstring> CurrentDirectory() override { return base_.CurrentDirectory(); }
  std::vector<std::wstring> ProfileSectionKeys(const std::wstring& p, const std::wstring& s) override {
    return base_.ProfileSectionKeys(p, s);
  }
  std::wstring ProfileString(const std::wstring& p, const std::wstring& s, const std::wstring& k,
                             const std::wstring& f) override {
    return base_.ProfileString(p, s, k, f);
  }
  int rescans = 0;

 private:
  DeviceInstallServices& base_;
};

inline Timing ShortTiming() {
  Timing t;
  t.wizardDelay = t.watcherDelay = t.doneBoxDelay = std::chrono::milliseconds(30);
  t.watcherPollPause = t.closeRetryPause = std::chrono::milliseconds(10);
  return t;
}

inline constexpr char kHwid[] = "USB\\VID_4407&PID_7705";
inline constexpr wchar_t kHwidW[] = L"USB\\VID_4407&PID_7705";

// A database line for the handheld.
inline std::string HandheldLine(const std::string& instance, bool present) {
  return "USB\\VID_4407&PID_7705\\" + instance + (present ? "\t1\t" : "\t0\t") +
         "USB\\VID_4407&PID_7705&REV_0100\tUSB\\VID_4407&PID_7705\n";
}
inline constexpr char kOtherDeviceLine[] = "USB\\VID_046D&PID_C52B\\5&1\t1\tUSB\\VID_046D&PID_C52B&REV_1201\n";

}  // namespace kqco::testing
