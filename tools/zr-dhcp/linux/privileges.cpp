// privileges.cpp -- the capabilities the service needs, read from the kernel.
#include "dhcp-os.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zrdhcp {

std::vector<std::string> missing_privileges() {
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  header.pid = 0;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  std::vector<std::string> missing;
  if (syscall(SYS_capget, &header, data) != 0) {
    missing.push_back("CAP_NET_ADMIN and CAP_NET_BIND_SERVICE (the process's capabilities cannot be read)");
    return missing;
  }
  auto has = [&data](int cap) { return (data[cap / 32].effective >> (cap % 32)) & 1u; };
  if (!has(CAP_NET_ADMIN)) missing.push_back("CAP_NET_ADMIN (to set the adapters' addresses and bring them up)");
  if (!has(CAP_NET_BIND_SERVICE)) missing.push_back("CAP_NET_BIND_SERVICE (to receive DHCP requests on UDP port 67)");
  return missing;
}

}  // namespace zrdhcp
