// dhcp-os.h -- what the DHCP service needs of the system, in one place.
//
// The service itself (configuration, store, messages, answers, the event loop's decisions)
// is plain code; everything that talks to the system goes through the calls below, each
// section implemented by one file of linux/:
//   USB adapters        linux/usb-sysfs.cpp    which USB device a network interface belongs to
//   links, addresses    linux/netlink.cpp      rtnetlink through libmnl
//   DHCP socket         linux/dhcp-socket.cpp  UDP port 67 on one interface
//   IPv6 of an adapter  linux/ipv6-conf.cpp    no router advertisements, no autoconfiguration
//   privileges          linux/privileges.cpp   what the process may do
#ifndef ZR_DHCP_OS_H
#define ZR_DHCP_OS_H

#include "dhcp-config.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zrdhcp {

// ---- USB adapters (linux/usb-sysfs.cpp) -------------------------------------------------
// The USB device behind a network interface, from sysfs: ROOT/class/net/NAME/device is
// followed to the USB interface and up to the first folder with idVendor and idProduct.
struct UsbDevice {
  bool found = false;
  UsbId id;
  std::string serial;  // empty when the device has none
  std::string port;    // the USB device's name in sysfs, its place on the buses: "1-1.2"
};
UsbDevice usb_device_of(const std::string &sysfs_root, const std::string &ifname);
// The network interfaces sysfs lists (ROOT/class/net).
std::vector<std::string> sysfs_interfaces(const std::string &sysfs_root);
// The interface index sysfs gives for a name (ROOT/class/net/NAME/ifindex), or -1: a name
// read from a link event may have passed to another interface since.
int sysfs_ifindex(const std::string &sysfs_root, const std::string &ifname);

// ---- links and addresses (linux/netlink.cpp) --------------------------------------------
struct Link {
  int index = 0;
  std::string name;
  std::vector<uint8_t> hw;  // hardware address
  bool up = false;
};
struct Address {
  int index = 0;      // interface
  uint32_t addr = 0;  // host order
  int prefix = 0;
};
struct Route {
  int index = 0;     // the interface it leaves by; 0 when it names none (or several)
  uint32_t dst = 0;  // host order
  int prefix = 0;
};
struct LinkEvent {
  bool gone = false;  // RTM_DELLINK
  Link link;
};

class Netlink {
 public:
  Netlink() = default;
  ~Netlink();
  Netlink(const Netlink &) = delete;
  Netlink &operator=(const Netlink &) = delete;

  // Opens the request socket and the event socket (link changes).  0 or an errno value.
  int open();
  int event_fd() const;
  // Reads the pending events (a bounded number of reads: the rest on the next call): link
  // events into *events, *changed set when an IPv4 address or route came or went; false
  // with an errno value when the socket failed.  After an overflow (ENOBUFS) *resync is
  // set: events were lost, the caller lists the links anew.
  bool read_events(std::vector<LinkEvent> *events, bool *changed, bool *resync, int *err);

  int links(std::vector<Link> *out);
  int addresses(std::vector<Address> *out);               // IPv4 only
  int routes(std::vector<Route> *out);                    // IPv4, every table but "local"
  int add_address(int index, uint32_t addr, int prefix);  // EEXIST: it was there already
  int remove_address(int index, uint32_t addr, int prefix);
  int set_up(int index);
  // The interface's name now, empty when there is no such interface.
  static std::string name_of(int index);

  struct Impl;  // the sockets (linux/netlink.cpp)

 private:
  Impl *impl_ = nullptr;
};

// ---- DHCP socket (linux/dhcp-socket.cpp) ------------------------------------------------
// A UDP socket on port 67 that receives and sends on one interface only (by index, which
// never passes to another interface as a name can).
class DhcpSocket {
 public:
  DhcpSocket() = default;
  ~DhcpSocket();
  DhcpSocket(const DhcpSocket &) = delete;
  DhcpSocket &operator=(const DhcpSocket &) = delete;

  // 0 or an errno value (EPERM / EACCES: privileges, EADDRINUSE: another server).
  int open(int index);
  int fd() const { return fd_; }
  // One datagram into buf; its size, 0 when nothing is waiting, -1 with *err on failure.
  // A datagram larger than buf is cut and reported with *truncated.
  long receive(uint8_t *buf, size_t size, bool *truncated, int *err);
  // Sends to addr:68 (host order; 255.255.255.255 is the link's broadcast).  0 or errno.
  int send_to(uint32_t addr, const std::vector<uint8_t> &message);

 private:
  int fd_ = -1;
};

// ---- IPv6 of an adapter (linux/ipv6-conf.cpp) -------------------------------------------
// Makes the interface (index, known by that name) accept no router advertisements and
// configure no address from them (accept_ra = 0, autoconf = 0).  0, also on a kernel
// without IPv6; ENODEV when the name is not the index's any more; else an errno value.
int quiet_ipv6(int index, const std::string &ifname);

// ---- privileges (linux/privileges.cpp) --------------------------------------------------
// The privileges the service lacks, each as "CAP_NAME (what it is needed for)"; empty when
// it has all it needs.
std::vector<std::string> missing_privileges();

}  // namespace zrdhcp

#endif
