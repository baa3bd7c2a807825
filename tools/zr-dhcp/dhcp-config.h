// dhcp-config.h -- zr-dhcp.cfg, the settings of the DHCP service for handheld adapters.
//
// A text file of "key = value" lines; "#" starts a comment, blank lines are ignored.
//   usb = VVVV:PPPP     a USB vendor:product id (four hex digits each) whose network
//                       adapters are handhelds; repeatable.  Without any usb line the
//                       handheld's own id 4407:7705 is used.
//   interface = NAME    a network interface served whatever its ids; repeatable
//   lease = SECONDS     the lease time offered (1 to 4294967295, the latter meaning
//                       "forever"; default 3600)
// An unknown key, a bad value or a line without "=" is an error naming the line.
#ifndef ZR_DHCP_CONFIG_H
#define ZR_DHCP_CONFIG_H

#include <cstdint>
#include <string>
#include <vector>

namespace zrdhcp {

struct UsbId {
  uint16_t vendor = 0, product = 0;
  bool operator==(const UsbId &o) const { return vendor == o.vendor && product == o.product; }
};

// The handheld's USB id, used when the configuration names none.
constexpr UsbId kHandheldUsbId{0x4407, 0x7705};
constexpr uint32_t kDefaultLease = 3600;

struct Config {
  std::vector<UsbId> usb;  // never empty after reading
  std::vector<std::string> interfaces;
  uint32_t lease = kDefaultLease;
};

// Parses "VVVV:PPPP"; false when it is not two groups of four hex digits.
bool parse_usb_id(const std::string &text, UsbId *id);
std::string usb_id_text(const UsbId &id);
// Reads a USB device instance ID as Windows names devices, "USB\VID_vvvv&PID_pppp\SERIAL"
// (any case): its id, and in *serial the instance part when it is the device's serial
// number (empty when Windows made one up: those hold "&").  One interface of a composite
// device, "USB\VID_vvvv&PID_pppp&MI_nn\...", sets *interface_of_composite and gives no
// serial (its parent device has it).  False when it is no USB device's ID.
bool parse_device_instance_id(const std::string &id, UsbId *usb, std::string *serial, bool *interface_of_composite);

// Reads the configuration from the text of the file.  On failure returns false with
// "LINE: what is wrong" in *error (the caller puts the file name in front).
bool parse_config(const std::string &text, Config *config, std::string *error);

// Reads the file.  A missing file gives the defaults unless must_exist is set.  Errors:
// "FILE:LINE: ..." or "FILE: <system error>".
bool read_config(const std::string &path, bool must_exist, Config *config, std::string *error);

}  // namespace zrdhcp

#endif
