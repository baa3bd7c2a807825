// cli-adapters.cpp -- why no handheld shows: its USB network adapter without an address.
//
// A handheld plugged in shows up as a USB network adapter at once, but discovery finds it
// only once the adapter has its 172.16 address, which the DHCP service (zr-dhcp.exe) sets.
// When an adapter with the handheld's USB id has none, the service is not doing its work,
// and the user is told so.
#include "cli.h"
#include "dhcp-config.h"
#include "dhcp-os.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace zrcli {

namespace {

// Interfaces that hold an address in 172.16.0.0/16.
std::set<std::string> addressed_interfaces() {
  std::set<std::string> names;
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return names;
  for (ifaddrs *i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_name) continue;
    uint32_t a = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr);
    if ((a & 0xFFFF0000u) == 0xAC100000u) names.insert(i->ifa_name);
  }
  freeifaddrs(list);
  return names;
}

}  // namespace

std::string sysfs_root() {
  const char *env = std::getenv("ZR_SYSFS");
  return env && *env ? env : "/sys";
}

void hint_unaddressed_adapters() {
  const std::string sysfs = sysfs_root();
  const std::set<std::string> addressed = addressed_interfaces();
  for (const std::string &name : zrdhcp::sysfs_interfaces(sysfs)) {
    zrdhcp::UsbDevice usb = zrdhcp::usb_device_of(sysfs, name);
    if (!usb.found || !(usb.id == zrdhcp::kHandheldUsbId) || addressed.count(name)) continue;
    std::printf(
        "%s is a handheld's USB network adapter (%s) without a 172.16 address: the DHCP service\n"
        "  zr-dhcp.exe gives it one.  Is it running?  systemctl status zr-dhcp, or run it by hand\n"
        "  (see man zr-dhcp.exe and the guide zr-dhcp.md).\n",
        name.c_str(), zrdhcp::usb_id_text(usb.id).c_str());
  }
}

}  // namespace zrcli
