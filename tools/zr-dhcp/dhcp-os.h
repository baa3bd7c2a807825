// dhcp-os.h -- what the DHCP service needs of the system, in one place.
//
// The service itself (configuration, store, messages, answers, the event loop's decisions)
// is plain code; everything that talks to the system goes through the calls below, each
// section implemented by one file of linux/ and one of win/:
//   USB adapters        linux/usb-sysfs.cpp    win/usb-setupapi.cpp    which USB device an adapter belongs to
//   links, addresses    linux/netlink.cpp      win/ip-helper.cpp       list, watch, set and remove
//   DHCP socket         linux/dhcp-socket.cpp  win/dhcp-socket.cpp     UDP port 67 on one adapter
//   IPv6 of an adapter  linux/ipv6-conf.cpp    win/ipv6-conf.cpp       no router advertisements
//   privileges          linux/privileges.cpp   win/privileges.cpp      what the process may do
//   files               linux/files.cpp        win/files.cpp           reading, replacing, locking
//   waiting             linux/wait.cpp         win/wait.cpp            for the first of several handles
//   the process         linux/process.cpp      win/process.cpp         its id, stop request, log
//   program folder      linux/program-folder.cpp  win/process.cpp      (program-folder.h)
//   service manager                            win/service-manager.cpp Windows service mode
#ifndef ZR_DHCP_OS_H
#define ZR_DHCP_OS_H

#include "dhcp-config.h"
#include "program-folder.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zrdhcp {

// What the service waits on and closes: a file descriptor on Linux, a HANDLE on Windows.
using OsHandle = intptr_t;
constexpr OsHandle kNoHandle = -1;

// The text of an errno value, also of those the Windows C library has no text for
// (linux/process.cpp, win/process.cpp).
std::string error_text(int err);

// ---- USB adapters (linux/usb-sysfs.cpp, win/usb-setupapi.cpp) ---------------------------
// The USB device behind a network interface.  Linux: from sysfs, ROOT/class/net/NAME/device
// is followed to the USB interface and up to the first folder with idVendor and idProduct.
// Windows (ROOT unused, NAME the adapter's friendly name): the device instance ID that
// SetupAPI gives the adapter (or its parent, for one interface of a composite device),
// read by parse_device_instance_id (dhcp-config.h).
struct UsbDevice {
  bool found = false;
  UsbId id;
  std::string serial;  // empty when the device has none
  std::string port;    // the USB device's name in sysfs, its place on the buses: "1-1.2"
                       // (Linux; empty on Windows)
};
UsbDevice usb_device_of(const std::string &sysfs_root, const std::string &ifname);
// The network interfaces sysfs lists (ROOT/class/net; Linux only).
std::vector<std::string> sysfs_interfaces(const std::string &sysfs_root);
// The interface index that a name has now (Linux: ROOT/class/net/NAME/ifindex), or -1: a
// name read from a link event may have passed to another interface since.
int adapter_index(const std::string &sysfs_root, const std::string &ifname);

// ---- links and addresses (linux/netlink.cpp, win/ip-helper.cpp) -------------------------
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

// Linux: rtnetlink (a request socket and an event socket).  Windows: the IP Helper API,
// whose change notifications set the event handle (and a timer every 2 s, for a system
// whose notices do not come); an interface's name is its friendly name, its index the
// IPv4 interface index.
class Network {
 public:
  Network() = default;
  ~Network();
  Network(const Network &) = delete;
  Network &operator=(const Network &) = delete;

  // Opens what lists and watches the interfaces.  0 or an errno value.
  int open();
  OsHandle event_handle() const;
  // Reads the pending events (a bounded number of reads: the rest on the next call): link
  // events into *events, *changed set when an IPv4 address or route came or went; false
  // with an errno value when the socket failed.  When events were lost (Linux: ENOBUFS;
  // Windows: always, its notices name no link) *resync is set: the caller lists the links
  // anew.
  bool read_events(std::vector<LinkEvent> *events, bool *changed, bool *resync, int *err);

  int links(std::vector<Link> *out);
  int addresses(std::vector<Address> *out);  // IPv4 only
  // IPv4, without those the computer's own addresses imply (Linux: the "local" table;
  // Windows: host routes to an address of the interface or to its subnet's broadcast).
  int routes(std::vector<Route> *out);
  // EEXIST: it was there already (Windows: looked up first, nothing is set then).
  int add_address(int index, uint32_t addr, int prefix);
  int remove_address(int index, uint32_t addr, int prefix);
  int set_up(int index);  // Windows: 0, an adapter is up while its device is attached
  // The interface's name now, empty when there is no such interface.
  static std::string name_of(int index);

  struct Impl;  // linux/netlink.cpp, win/ip-helper.cpp

 private:
  Impl *impl_ = nullptr;
};

// ---- DHCP socket (linux/dhcp-socket.cpp, win/dhcp-socket.cpp) ---------------------------
// A UDP socket on port 67 that receives and sends on one interface only.  Linux: bound to
// the interface by index (which never passes to another interface as a name can).
// Windows: bound to the adapter's address (the computer's side of its subnet), and a
// message that came in by another interface is passed over.
class DhcpSocket {
 public:
  DhcpSocket() = default;
  ~DhcpSocket();
  DhcpSocket(const DhcpSocket &) = delete;
  DhcpSocket &operator=(const DhcpSocket &) = delete;

  // 0 or an errno value (EPERM / EACCES: privileges, EADDRINUSE: another server).  addr
  // (host order) is the computer's address on the interface.
  int open(int index, uint32_t addr);
  // Readable (Linux) or set (Windows) when a message is waiting.
  OsHandle handle() const;
  // One datagram into buf; its size, 0 when nothing is waiting, -1 with *err on failure.
  // A datagram larger than buf is cut and reported with *truncated.
  long receive(uint8_t *buf, size_t size, bool *truncated, int *err);
  // Sends to addr:68 (host order; 255.255.255.255 is the link's broadcast: on Windows,
  // where no route takes that one, the subnet's broadcast).  0 or errno.
  int send_to(uint32_t addr, const std::vector<uint8_t> &message);

  struct Impl;  // linux/dhcp-socket.cpp, win/dhcp-socket.cpp

 private:
  Impl *impl_ = nullptr;
};

// ---- IPv6 of an adapter (linux/ipv6-conf.cpp, win/ipv6-conf.cpp) ------------------------
// Makes the interface (index, known by that name) accept no router advertisements and
// configure no address from them (Linux: accept_ra = 0, autoconf = 0; Windows: router
// discovery off).  0, also without IPv6 on the interface; ENODEV when the name is not the
// index's any more; ENOSYS when the system has no call to change it (Wine: the service
// serves the adapter and says so); else an errno value.
int quiet_ipv6(int index, const std::string &ifname);

// ---- privileges (linux/privileges.cpp, win/privileges.cpp) ------------------------------
// The privileges the service lacks, each as "NAME (what it is needed for)"; empty when it
// has all it needs (Linux: CAP_NET_ADMIN, CAP_NET_BIND_SERVICE; Windows: an elevated token,
// which the service account has).
std::vector<std::string> missing_privileges();

// ---- files (linux/files.cpp, win/files.cpp) ---------------------------------------------
// Paths are UTF-8; "/" and (on Windows) "\\" separate folders.
// Reads a whole file; 0 or the errno value.
int read_text_file(const std::string &path, std::string *text);
// Reads a whole file that must be a regular file of its own: never through a symbolic link
// or another reparse point (ELOOP), nothing else (a FIFO, a device: EINVAL), and without
// waiting on its opening.
int read_regular_file(const std::string &path, std::string *text);
// Replaces a file in one step (a new file of a name of its own beside it, created there
// and never through a link, flushed, renamed over it, the folder flushed where the system
// can): a reader sees the old or the new content, never a part.  0 or the errno value.
int write_file_atomically(const std::string &path, const std::string &text);
// Takes the lock of a file (created when missing, never through a symbolic link) for as
// long as *handle stays open, and writes the process id into it; the file is readable by
// every user whatever the umask (Linux: mode 0644), for their programs look at its lock.
// 0; EWOULDBLOCK with the holder's process id in *holder (0 when it could not be told)
// when another process holds it; else the errno value.
int lock_file(const std::string &path, OsHandle *handle, long *holder);
// Whether a process holds the lock lock_file takes of a file that is there (a question
// only: nothing is locked, never through a symbolic link, never waiting).  0 with *held,
// or the errno value of its opening.
int lock_held(const std::string &path, bool *held);
bool path_exists(const std::string &path);
// Removes a file; 0, also when there was none, else the errno value.
int remove_file(const std::string &path);
// 0 when the folder is there afterwards, else the errno value.
int make_folder(const std::string &path);
void close_handle(OsHandle handle);

// ---- waiting (linux/wait.cpp, win/wait.cpp) ---------------------------------------------
// Waits until one of the handles is readable (Linux) or set (Windows), or timeout_ms
// passed (-1: no time-out); (*ready)[i] tells which.  0 (also when a signal cut the wait
// short, nothing ready then) or the errno value.
int wait_ready(const std::vector<OsHandle> &handles, int timeout_ms, std::vector<bool> *ready);

// ---- the process (linux/process.cpp, win/process.cpp) -----------------------------------
// The folder the program file is in: program_folder() (program-folder.h).
// This process's id (the one its table of adapters names).
long process_id();
// Writes one line to standard error if it takes it now, without waiting; false when not.
// (Windows: a pipe's lines go to a bounded queue that a thread of its own writes out,
// given at most 1 s at the end.)
bool write_log_now(const std::string &line);
// A handle that turns ready when the process is asked to stop (Linux: SIGTERM, SIGINT,
// SIGHUP; Windows: Ctrl+C, Ctrl+Break, the console closed, the system shutting down).
// 0 or the errno value.
int open_stop_request(OsHandle *handle);

#ifdef _WIN32
// ---- service manager (win/service-manager.cpp) ------------------------------------------
// The Windows service "zr-dhcp": this program with --service, started with the system as
// LocalSystem, its log lines in the Application event log under the source "zr-dhcp".
// Registers it (and its event source) and starts it: 0 with what was done in *done, or an
// errno value (EACCES: not elevated) with the reason in *error.
int install_service(std::string *done, std::string *error);
// Stops it (waiting up to 20 s) and removes it and its event source; the same results.
int remove_service(std::string *done, std::string *error);
// Runs body(stop) for the service control manager, which sets stop when it asks the
// service to stop; the status the manager is told, and body's exit status.  1 with the
// reason in *error when the manager could not be reached (the program was not started by
// it).
int run_as_service(const std::function<int(OsHandle stop)> &body, std::string *error);
// One line into the event log (an information event of the source zr-dhcp); false when
// the event log did not take it.
bool write_event_log(const std::string &line);
#endif

}  // namespace zrdhcp

#endif
