// Device-installation services on Windows: SetupAPI, the configuration manager, the profile
// (INI) calls and the wide-name file calls of the system.
#pragma once

#include "platform/devinst.h"

namespace kqco::win_platform {

class WinDeviceInstallServices final : public DeviceInstallServices {
 public:
  std::unique_ptr<DeviceList> GetClassDevs(bool presentOnly) override;
  bool CopyOemInf(const std::wstring& sourcePath) override;
  bool ReenumerateDeviceTree() override;
  std::optional<uint32_t> WaitNoPendingInstallEvents(uint32_t timeoutMs) override;
  std::optional<std::pair<unsigned, unsigned>> PlatformVersion() override;
  std::optional<std::wstring> WindowsDirectory() override;
  std::optional<std::wstring> SystemDirectory() override;
  std::optional<uint64_t> LastWriteTime(const std::wstring& path) override;
  std::vector<std::wstring> FindFiles(const std::wstring& pattern) override;
  bool RemoveFile(const std::wstring& path) override;
  std::optional<std::wstring> FullPathName(const std::wstring& path) override;
  std::optional<std::wstring> CurrentDirectory() override;
  std::vector<std::wstring> ProfileSectionKeys(const std::wstring& path, const std::wstring& section) override;
  std::wstring ProfileString(const std::wstring& path, const std::wstring& section, const std::wstring& key,
                             const std::wstring& fallback) override;
};

// Largest multi-string of hardware IDs read from one device, in bytes.
inline constexpr unsigned kMaxHardwareIdBytes = 64u * 1024u;

}  // namespace kqco::win_platform
