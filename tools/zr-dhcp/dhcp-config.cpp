// dhcp-config.cpp -- reading zr-dhcp.cfg.
#include "dhcp-config.h"

#include "dhcp-os.h"
#include "dhcp-text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zrdhcp {

namespace {

bool hex4(const std::string &s, uint16_t *out) {
  if (s.size() != 4 || !std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c); })) return false;
  *out = static_cast<uint16_t>(std::stoul(s, nullptr, 16));
  return true;
}

bool valid_interface_name(const std::string &name) {
  // The kernel's own rule: 1 to 15 bytes, no '/', no white space, not "." or "..".
  if (name.empty() || name.size() > 15 || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c == '/' || c == ':' || c <= ' ' || c == 0x7f) return false;
  return true;
}

}  // namespace

bool parse_usb_id(const std::string &text, UsbId *id) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) return false;
  return hex4(text.substr(0, colon), &id->vendor) && hex4(text.substr(colon + 1), &id->product);
}

std::string usb_id_text(const UsbId &id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04x:%04x", id.vendor, id.product);
  return buf;
}

bool parse_config(const std::string &text, Config *config, std::string *error) {
  Config c;
  c.usb.clear();
  for (const auto &numbered : meaningful_lines(text)) {
    const std::string &line = numbered.second;
    const std::string where = std::to_string(numbered.first) + ": ";
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
      *error = where + "expected \"key = value\", found \"" + line + "\"";
      return false;
    }
    std::string key = trim(line.substr(0, eq)), value = trim(line.substr(eq + 1));
    if (key == "usb") {
      UsbId id;
      if (!parse_usb_id(value, &id)) {
        *error = where + "usb: \"" + value + "\" is not a USB id VVVV:PPPP (hex digits)";
        return false;
      }
      c.usb.push_back(id);
    } else if (key == "interface") {
      if (!valid_interface_name(value)) {
        *error = where + "interface: \"" + value + "\" is not a network interface name";
        return false;
      }
      c.interfaces.push_back(value);
    } else if (key == "lease") {
      uint64_t seconds = 0;
      if (!parse_decimal(value, &seconds) || seconds == 0 || seconds > 0xffffffffull) {
        *error = where + "lease: \"" + value + "\" is not a number of seconds from 1 to 4294967295";
        return false;
      }
      c.lease = static_cast<uint32_t>(seconds);
    } else {
      *error = where + "unknown key \"" + key + "\" (known: usb, interface, lease)";
      return false;
    }
  }
  if (c.usb.empty()) c.usb.push_back(kHandheldUsbId);
  *config = c;
  return true;
}

bool parse_device_instance_id(const std::string &id, UsbId *usb, std::string *serial, bool *interface_of_composite) {
  std::string up;
  for (char c : id) up += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  // USB\VID_vvvv&PID_pppp: 21 characters.
  if (up.size() < 21 || up.compare(0, 8, "USB\\VID_") != 0 || up.compare(12, 5, "&PID_") != 0) return false;
  if (!parse_usb_id(up.substr(8, 4) + ":" + up.substr(17, 4), usb)) return false;
  const size_t slash = up.find('\\', 21);
  const std::string rest = up.substr(21, slash == std::string::npos ? std::string::npos : slash - 21);
  if (!rest.empty() && rest[0] != '&') return false;  // the product id goes on
  *interface_of_composite = rest.find("&MI_") != std::string::npos;
  serial->clear();
  if (slash != std::string::npos && !*interface_of_composite) {
    const std::string instance = id.substr(slash + 1);
    if (!instance.empty() && instance.find('&') == std::string::npos && instance.find('\\') == std::string::npos)
      *serial = instance;
  }
  return true;
}

bool read_config(const std::string &path, bool must_exist, Config *config, std::string *error) {
  std::string text;
  int err = read_text_file(path, &text);
  if (err == ENOENT && !must_exist) {
    return parse_config("", config, error);
  }
  if (err != 0) {
    *error = path + ": " + std::strerror(err);
    return false;
  }
  if (!parse_config(text, config, error)) {
    *error = path + ":" + *error;
    return false;
  }
  return true;
}

}  // namespace zrdhcp
