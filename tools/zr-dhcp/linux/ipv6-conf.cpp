// ipv6-conf.cpp -- IPv6 on a handheld adapter: nothing the handheld's side says configures
// the computer.
//
// The kernel accepts router advertisements on a new link and makes addresses from them:
// a device that claims a handheld's USB id could otherwise become the computer's IPv6
// router.  The settings are per interface under /proc/sys/net/ipv6/conf/NAME/ (per network
// namespace), written before the link is brought up.
#include "dhcp-os.h"

#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zrdhcp {

namespace {

int write_setting(const std::string &path, const char *value) {
  int fd = open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno;
  const size_t n = std::strlen(value);
  int err = write(fd, value, n) == static_cast<ssize_t>(n) ? 0 : errno ? errno : EIO;
  if (close(fd) != 0 && err == 0) err = errno;
  return err;
}

}  // namespace

int quiet_ipv6(int index, const std::string &ifname) {
  char name[IF_NAMESIZE] = {};
  if (ifname.empty() || ifname.find('/') != std::string::npos || ifname == "." || ifname == "..") return EINVAL;
  if (!if_indextoname(static_cast<unsigned>(index), name) || ifname != name) return ENODEV;
  const std::string conf = "/proc/sys/net/ipv6/conf/";
  if (access(conf.c_str(), F_OK) != 0 && errno == ENOENT) return 0;  // a kernel without IPv6
  for (const char *setting : {"accept_ra", "autoconf"}) {
    int err = write_setting(conf + ifname + "/" + setting, "0\n");
    if (err != 0) return err;
  }
  // The name may have passed to another interface meanwhile.
  if (!if_indextoname(static_cast<unsigned>(index), name) || ifname != name) return ENODEV;
  return 0;
}

}  // namespace zrdhcp
