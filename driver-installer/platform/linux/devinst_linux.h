// Device-installation services for Linux, kept under a system root folder:
//
//   <root>/Windows/                   the Windows directory
//   <root>/Windows/inf/               the INF store (oemN.inf with oemN.PNF beside it)
//   <root>/Windows/System32/          the system directory
//   <root>/Windows/System32/drivers/  the driver files
//   <root>/devices.db                 the device database (see device_db.h)
//
// A device entry counts as present when its database line says so, or when one of its hardware
// IDs begins with USB\VID_xxxx&PID_yyyy and a USB device with that vendor and product id is
// attached to the running system (read from sysfs, never written). Attached USB devices without a
// database entry are listed as present devices too; they cannot be removed.
//
// Nothing outside the system root is ever written or deleted: every write and delete is checked
// against the root with symbolic links resolved.
#pragma once

#include <string>

#include "platform/devinst.h"

namespace kqco::linux_platform {

// Largest INF file that is copied into the store or read by the profile calls.
inline constexpr std::size_t kMaxInfBytes = 8u << 20;
// Highest N tried for a new oemN.inf.
inline constexpr unsigned kMaxOemInfNumber = 9999;

struct LinuxSystemOptions {
  std::string systemRoot;       // KQCO_SYSTEM_ROOT, default kDefaultSystemRoot
  std::string sysfsUsbDevices;  // KQCO_SYSFS_USB_DEVICES, default kDefaultSysfsUsbDevices
  static LinuxSystemOptions FromEnvironment();
};

inline constexpr char kDefaultSystemRoot[] = "/var/lib/kqcoinstaller";
inline constexpr char kDefaultSysfsUsbDevices[] = "/sys/bus/usb/devices";

class LinuxDeviceInstallServices final : public DeviceInstallServices {
 public:
  explicit LinuxDeviceInstallServices(LinuxSystemOptions options);

  const std::string& root() const { return root_; }
  std::string WindowsDirPath() const { return root_ + "/Windows"; }
  std::string InfDirPath() const { return root_ + "/Windows/inf"; }
  std::string SystemDirPath() const { return root_ + "/Windows/System32"; }
  std::string DriversDirPath() const { return root_ + "/Windows/System32/drivers"; }
  std::string DatabasePath() const { return root_ + "/devices.db"; }

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

  // Removes the database lines of a device instance. True when a line was removed.
  bool RemoveDatabaseEntry(const std::wstring& instance);

  // True when path names an entry whose folder lies inside the system root (links resolved).
  bool InsideRoot(const std::string& path) const;

 private:
  bool EnsureFolder(const std::string& path) const;
  bool WriteDatabase(const std::string& text) const;
  int LockDatabase() const;  // file descriptor holding the lock, or -1

  std::string root_;
  std::string sysfs_;
};

}  // namespace kqco::linux_platform
