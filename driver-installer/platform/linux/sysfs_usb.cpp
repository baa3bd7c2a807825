// The USB devices of the running system as sysfs shows them (sysfs_usb.h).
#include "platform/linux/sysfs_usb.h"

#include <cstdio>

#include "platform/linux/posix_files.h"
#include "wide_text.h"

namespace kqco::linux_platform {

namespace {

std::string Attribute(const std::string& folder, const char* name) {
  std::string text;
  if (ReadFileBounded(folder + "/" + name, 256, text) != ReadResult::kOk) return {};
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
  return text;
}

std::optional<unsigned> ParseHex4(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned value = 0;
  for (const char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return std::nullopt;
    value = value * 16 + digit;
  }
  return value;
}

bool UsableSerial(const std::string& serial) {
  if (serial.empty() || serial.size() > 64) return false;
  for (const char c : serial) {
    if (c <= ' ' || c > '~' || c == '\\') return false;
  }
  return true;
}

std::wstring VidPid(unsigned vendor, unsigned product) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "USB\\VID_%04X&PID_%04X", vendor & 0xFFFF, product & 0xFFFF);
  return DecodeUtf8(buf);
}

}  // namespace

std::wstring UsbDevice::InstanceName() const {
  return VidPid(vendor, product) + L"\\" + DecodeUtf8(UsableSerial(serial) ? serial : sysfsName);
}

std::vector<std::wstring> UsbDevice::HardwareIds() const {
  std::vector<std::wstring> ids;
  if (revision) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "&REV_%04X", *revision & 0xFFFF);
    ids.push_back(VidPid(vendor, product) + DecodeUtf8(buf));
  }
  ids.push_back(VidPid(vendor, product));
  return ids;
}

std::vector<UsbDevice> ReadUsbDevices(const std::string& sysfsDir) {
  std::vector<UsbDevice> devices;
  if (sysfsDir.empty()) return devices;
  for (const auto& name : ListDirectory(sysfsDir)) {
    const std::string folder = sysfsDir + "/" + name;
    const auto vendor = ParseHex4(Attribute(folder, "idVendor"));
    const auto product = ParseHex4(Attribute(folder, "idProduct"));
    if (!vendor || !product) continue;  // interfaces and anything else that is not a device
    UsbDevice dev;
    dev.sysfsName = name;
    dev.vendor = *vendor;
    dev.product = *product;
    dev.revision = ParseHex4(Attribute(folder, "bcdDevice"));
    dev.serial = Attribute(folder, "serial");
    devices.push_back(std::move(dev));
  }
  return devices;
}

std::optional<std::pair<unsigned, unsigned>> ParseUsbVidPid(std::wstring_view id) {
  // USB\VID_xxxx&PID_yyyy: 21 characters.
  if (id.size() < 21 || !StartsWithNoCase(id, L"USB\\VID_") || !StartsWithNoCase(id.substr(12), L"&PID_")) {
    return std::nullopt;
  }
  const auto hex = [](std::wstring_view w) -> std::optional<unsigned> {
    std::string narrow;
    for (const wchar_t c : w) {
      if (c > 0x7F) return std::nullopt;
      narrow.push_back(static_cast<char>(c));
    }
    return ParseHex4(narrow);
  };
  const auto vendor = hex(id.substr(8, 4));
  const auto product = hex(id.substr(17, 4));
  if (!vendor || !product) return std::nullopt;
  if (id.size() > 21 && id[21] != L'&' && id[21] != L'\\') return std::nullopt;  // a longer product id
  return std::make_pair(*vendor, *product);
}

}  // namespace kqco::linux_platform
