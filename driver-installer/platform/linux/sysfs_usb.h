// Read-only view of the USB devices attached to the running system, from sysfs
// (/sys/bus/usb/devices: one folder per device with idVendor, idProduct, bcdDevice, serial).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kqco::linux_platform {

struct UsbDevice {
  std::string sysfsName;  // e.g. "1-1.2"
  unsigned vendor = 0;
  unsigned product = 0;
  std::optional<unsigned> revision;
  std::string serial;

  // USB\VID_xxxx&PID_yyyy\<serial or sysfs name>
  std::wstring InstanceName() const;
  // USB\VID_xxxx&PID_yyyy&REV_zzzz (when the revision is known), then USB\VID_xxxx&PID_yyyy.
  std::vector<std::wstring> HardwareIds() const;
};

std::vector<UsbDevice> ReadUsbDevices(const std::string& sysfsDir);

// Vendor and product id of a hardware ID that begins with USB\VID_xxxx&PID_yyyy (any case).
std::optional<std::pair<unsigned, unsigned>> ParseUsbVidPid(std::wstring_view hardwareId);

}  // namespace kqco::linux_platform
