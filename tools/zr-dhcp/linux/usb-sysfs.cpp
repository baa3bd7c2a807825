// usb-sysfs.cpp -- the USB device behind a network interface, from sysfs.
#include "dhcp-os.h"
#include "dhcp-text.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

namespace zrdhcp {

namespace {

bool read_line(const std::string &path, std::string *value) {
  std::string text;
  if (read_text_file(path, &text) != 0) return false;
  *value = trim(text.substr(0, text.find('\n')));
  return true;
}

bool is_dir(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

UsbDevice usb_device_of(const std::string &sysfs_root, const std::string &ifname) {
  UsbDevice dev;
  if (ifname.empty() || ifname.find('/') != std::string::npos || ifname == "." || ifname == "..") return dev;
  char resolved[PATH_MAX], root[PATH_MAX];
  std::string link = sysfs_root + "/class/net/" + ifname + "/device";
  if (!realpath(link.c_str(), resolved) || !realpath(sysfs_root.c_str(), root)) return dev;
  // Up from the device (a USB interface such as .../1-2/1-2:1.0) to the USB device that
  // carries the ids, never above the sysfs root.
  std::string dir = resolved, top = root;
  for (int depth = 0; depth < 8 && dir.size() > top.size() && dir.compare(0, top.size(), top) == 0; ++depth) {
    std::string vendor, product;
    if (read_line(dir + "/idVendor", &vendor) && read_line(dir + "/idProduct", &product)) {
      UsbId id;
      if (!parse_usb_id(vendor + ":" + product, &id)) return dev;
      dev.found = true;
      dev.id = id;
      if (!read_line(dir + "/serial", &dev.serial)) dev.serial.clear();
      dev.port = dir.substr(dir.rfind('/') + 1);
      return dev;
    }
    size_t slash = dir.rfind('/');
    if (slash == std::string::npos || slash == 0) break;
    dir.erase(slash);
    if (!is_dir(dir)) break;
  }
  return dev;
}

int adapter_index(const std::string &sysfs_root, const std::string &ifname) {
  std::string text;
  uint64_t index = 0;
  if (ifname.empty() || ifname.find('/') != std::string::npos || ifname == "." || ifname == ".." ||
      !read_line(sysfs_root + "/class/net/" + ifname + "/ifindex", &text) || !parse_decimal(text, &index) ||
      index > 0x7FFFFFFF)
    return -1;
  return static_cast<int>(index);
}

std::vector<std::string> sysfs_interfaces(const std::string &sysfs_root) {
  std::vector<std::string> names;
  DIR *d = opendir((sysfs_root + "/class/net").c_str());
  if (!d) return names;
  while (dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

}  // namespace zrdhcp
