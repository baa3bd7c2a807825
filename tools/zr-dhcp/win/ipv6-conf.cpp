// ipv6-conf.cpp -- IPv6 on a handheld adapter: router discovery off, so that nothing the
// handheld's side advertises configures the computer (no router, no address from it).
#include "dhcp-os.h"
#include "win-common.h"

#include <cerrno>

namespace zrdhcp {

namespace {
using GetInterface = DWORD(WINAPI *)(PMIB_IPINTERFACE_ROW);
using SetInterface = DWORD(WINAPI *)(PMIB_IPINTERFACE_ROW);
}  // namespace

int quiet_ipv6(int index, const std::string &ifname) {
  if (Network::name_of(index) != ifname) return ENODEV;
  auto get = win::iphlpapi<GetInterface>("GetIpInterfaceEntry");
  auto set = win::iphlpapi<SetInterface>("SetIpInterfaceEntry");
  if (!get || !set) return ENOSYS;
  MIB_IPINTERFACE_ROW row{};
  row.Family = AF_INET6;
  row.InterfaceIndex = static_cast<NET_IFINDEX>(index);  // the same interface's, for both families
  DWORD e = get(&row);
  if (e == ERROR_NOT_FOUND || e == ERROR_FILE_NOT_FOUND) return 0;  // no IPv6 on it
  if (e != 0) return win::errno_of(e);  // ERROR_NOT_SUPPORTED: ENOSYS
  if (row.RouterDiscoveryBehavior == RouterDiscoveryDisabled) return 0;
  row.RouterDiscoveryBehavior = RouterDiscoveryDisabled;
  row.SitePrefixLength = 0;
  if ((e = set(&row)) != 0) return win::errno_of(e);
  return Network::name_of(index) == ifname ? 0 : ENODEV;
}

}  // namespace zrdhcp
