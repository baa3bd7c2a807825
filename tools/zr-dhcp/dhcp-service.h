// dhcp-service.h -- the DHCP service for handheld adapters: finds them, gives each a /30 of
// 172.16.0.0/16 and answers their DHCP requests, following them as they come and go.
//
//   Service svc(options, log);
//   if (svc.start() != 0) ...;        // every adapter present now is served
//   svc.run(stop);                    // until the stop handle turns ready (dhcp-os.h)
//   svc.stop();                       // the addresses it set are removed again
//
// An adapter is a network interface named in the configuration (`interface =`) or one whose
// USB device has a configured id (`usb =`).  Its subnet is the one remembered for it in the
// data file (by USB serial, else by hardware address), else the lowest free one; a subnet
// that overlaps the prefix of any address or a route of the computer is never used.  The computer's side (.1/30)
// is set on the adapter, the link is brought up, and a socket on UDP port 67 of that
// interface answers the handheld (dhcp-lease.h).  Every event is one line of the log; the
// lines on an adapter's messages at most 20 of a kind in 10 s (then a count of the rest).
// With a runtime folder, the table of the adapters (dhcp-table.h) is written there after
// every turn that changed it, and taken away at the end.
#ifndef ZR_DHCP_SERVICE_H
#define ZR_DHCP_SERVICE_H

#include "dhcp-config.h"
#include "dhcp-lease.h"
#include "dhcp-os.h"
#include "dhcp-store.h"
#include "dhcp-table.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace zrdhcp {

struct ServiceOptions {
  Config config;
  std::string data_path;   // zr-dhcp.dat
  std::string sysfs_root;  // "/sys" unless told
  std::string run_dir;     // where the table of adapters goes; empty: nowhere
  long pid = 0;            // the process named in the table
};

class Service {
 public:
  using Log = std::function<void(const std::string &)>;
  Service(ServiceOptions options, Log log);

  // Opens the system's sockets, reads the data file and serves the adapters present.
  // 0, or an errno value after a line in the log.
  int start();
  // Serves until the stop handle is ready (0) or a system call fails (its errno value).
  int run(OsHandle stop);
  // Removes the addresses the service set (not those it found on the adapters).
  void stop();

 private:
  struct Adapter {
    std::string name, key;
    UsbDevice usb;
    Pool pool;
    bool own_address = false;  // set by the service, not found there
    std::unique_ptr<DhcpSocket> socket;
    std::string socket_error;  // why there is no socket, as last logged
  };

  bool select(const Link &link, std::string *key, std::string *former_key, UsbDevice *usb, std::string *why) const;
  void consider(const Link &link);
  int choose_subnet(const Link &link, const std::string &key, int *subnet);
  void unserved(const Link &link, const std::string &key, const UsbDevice &usb, const std::string &why);
  void forget(int index);
  void open_socket(int index, Adapter *adapter);
  void resync();
  struct LogBudget {
    std::string name;  // the adapter's
    int64_t since_ms = 0;
    int lines = 0;
    long left_out = 0;
  };
  void serve(int index, Adapter &adapter);
  void adapter_log(int index, const std::string &kind, const std::string &line);
  void report_left_out(const std::string &kind, LogBudget *b);
  int report_passed_windows();
  void save_store(bool order_too);

  ServiceOptions opt_;
  Log log_;
  Network network_;
  Store store_;
  std::map<int, Adapter> adapters_;  // by interface index
  struct Waiting {
    Link link;
    std::string key;
    UsbDevice usb;
    std::string why;  // the reason last logged
  };
  void retry(int64_t now);
  std::map<int, Waiting> waiting_;  // adapters not served, by index
  int64_t retried_ms_ = 0;
  bool store_changed_ = false;                                // an assignment not written yet
  bool order_changed_ = false;                                // only the order of use not written yet
  std::map<std::pair<int, std::string>, LogBudget> budgets_;  // by adapter and kind of line

  // The table of adapters: the ones gone (by key, the last kMaxGoneRows), what was written
  // last and why the last write failed.
  struct Gone {
    std::string key;
    TableRow row;
  };
  std::deque<Gone> gone_;
  void drop_gone(int index, const std::string &key);
  static TableRow row_of(int index, const Waiting &w);
  static TableRow row_of(int index, const Adapter &a, int64_t now);
  std::vector<TableRow> table_rows(int64_t now) const;
  // Writes the table when it changed; the time until a lease runs out (ms), or -1.
  int publish();
  std::string published_, table_error_;
};

}  // namespace zrdhcp

#endif
