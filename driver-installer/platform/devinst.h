// The installer's seam to the platform's device-installation services and the few file-system
// services around them. Everything the install and uninstall flows ask of the system goes
// through DeviceInstallServices; the flows themselves are portable.
//
// Windows: SetupAPI, the configuration manager, the profile (INI) calls and the file calls.
// Linux: platform/linux/devinst_linux.h, which keeps the same model under a system root folder.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kqco {

// Result of a wait for pending device installations that means "installations are pending".
inline constexpr uint32_t kWaitTimeout = 258;

enum class PropertyRead {
  kOk,      // the hardware-ID list was read
  kNoData,  // the device has no hardware-ID property (ERROR_INVALID_DATA)
  kFailed,  // any other failure while reading it
};

// A snapshot of the device database taken by DeviceInstallServices::GetClassDevs
// (SetupDiGetClassDevsW); released when the object is destroyed (SetupDiDestroyDeviceInfoList).
class DeviceList {
 public:
  virtual ~DeviceList() = default;
  // SetupDiEnumDeviceInfo: true while index names a device of the list.
  virtual bool EnumDevice(unsigned index) = 0;
  // SPDRP_HARDWAREID as a multi-string: each entry ended by L'\0', the list ended by an empty entry.
  virtual PropertyRead HardwareIds(unsigned index, std::wstring& multiString) = 0;
  // DIF_REMOVE with scope DI_REMOVEDEVICE_GLOBAL and hardware profile 0. True on success.
  virtual bool RemoveDevice(unsigned index) = 0;
};

class DeviceInstallServices {
 public:
  virtual ~DeviceInstallServices() = default;

  // Every device the system knows (presentOnly false) or the present ones only (presentOnly
  // true), of all classes. nullptr when the device database cannot be read.
  virtual std::unique_ptr<DeviceList> GetClassDevs(bool presentOnly) = 0;
  // SetupCopyOEMInfW(sourcePath, no source location, SPOST_PATH, copy style 0, no name wanted).
  virtual bool CopyOemInf(const std::wstring& sourcePath) = 0;
  // CM_Locate_DevNode_ExW for the root node of the local machine, then CM_Reenumerate_DevNode_Ex.
  virtual bool ReenumerateDeviceTree() = 0;
  // CMP_WaitNoPendingInstallEvents(timeoutMs); nullopt when the service is not available.
  virtual std::optional<uint32_t> WaitNoPendingInstallEvents(uint32_t timeoutMs) = 0;
  // GetVersionExW: major and minor version of the platform; nullopt when it cannot be told.
  virtual std::optional<std::pair<unsigned, unsigned>> PlatformVersion() = 0;

  // GetWindowsDirectoryW and GetSystemDirectoryW.
  virtual std::optional<std::wstring> WindowsDirectory() = 0;
  virtual std::optional<std::wstring> SystemDirectory() = 0;

  // Opens the file for reading and writing without sharing (CreateFileW, OPEN_EXISTING) and
  // reads its last write time (GetFileTime) in 100-nanosecond units since 1601-01-01.
  virtual std::optional<uint64_t> LastWriteTime(const std::wstring& path) = 0;
  // Names (without folder) of the entries matching a pattern such as "<folder>\oem*.inf"
  // (_wfindfirst/_wfindnext).
  virtual std::vector<std::wstring> FindFiles(const std::wstring& pattern) = 0;
  // DeleteFileW.
  virtual bool RemoveFile(const std::wstring& path) = 0;
  // GetFullPathNameW and GetCurrentDirectoryW.
  virtual std::optional<std::wstring> FullPathName(const std::wstring& path) = 0;
  virtual std::optional<std::wstring> CurrentDirectory() = 0;

  // GetPrivateProfileStringW without a key name: the key names of a section, in file order.
  // Empty when the file or the section cannot be found.
  virtual std::vector<std::wstring> ProfileSectionKeys(const std::wstring& path, const std::wstring& section) = 0;
  // GetPrivateProfileStringW for one key; fallback when the file, section or key is missing.
  virtual std::wstring ProfileString(const std::wstring& path, const std::wstring& section, const std::wstring& key,
                                     const std::wstring& fallback) = 0;
};

}  // namespace kqco
