// dhcp-table.h -- the table of the adapters the service serves, as it publishes it for the
// programs that look for handhelds (zrlink), and its reading.
//
// The service keeps RUN/adapters (RUN: its runtime folder, kDefaultRunDir unless told),
// replaced whole on every change and readable by every user, and holds a lock on
// RUN/zr-dhcp.pid (its process id) for as long as it runs.  The text, one record a line,
// words separated by one space:
//
//   zr-dhcp-table 1 pid=PID
//   adapter index=7 interface=usb0 usb-port=1-1.2 serial=ZR0001 host=172.16.0.1 handheld=172.16.0.2 state=leased
//
// The first line names the format (1) and the process that wrote the table.  Each adapter
// line holds KEY=VALUE words: index and interface (the network interface; on Windows the
// adapter's friendly name, which may hold spaces), usb-port (the USB device's name in
// sysfs, e.g. 1-1.2; Linux only) and serial (its USB serial number) when it has them, host
// and handheld (the computer's and the handheld's address) once an address is set, and
// state.  Interface and serial are spelled as serial_key_text spells them (a Linux
// interface's name stands for itself unless it holds "%" or "#").  The states:
//   waiting    found, no address yet (none is free, or setting it failed)
//   addressed  the computer's address is set on the adapter
//   leased     the handheld has taken its address (and neither released it nor let it run out)
//   gone       the adapter went away (the last kMaxGoneRows of them are kept)
// Readers pass over keys and lines they do not know.
#ifndef ZR_DHCP_TABLE_H
#define ZR_DHCP_TABLE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zrdhcp {

constexpr char kDefaultRunDir[] = "/run/zr-dhcp";
constexpr char kTableFile[] = "adapters";
constexpr char kPidFile[] = "zr-dhcp.pid";
constexpr size_t kMaxGoneRows = 256;

enum class AdapterState { kWaiting, kAddressed, kLeased, kGone };
const char *adapter_state_name(AdapterState state);

struct TableRow {
  int index = 0;
  std::string interface;
  std::string usb_port;             // empty: not a USB device, or not known
  std::string serial;               // empty: none
  uint32_t host = 0, handheld = 0;  // host order; 0 before an address is set
  AdapterState state = AdapterState::kWaiting;
};

std::string table_text(long pid, const std::vector<TableRow> &rows);
// False with the reason when the text is not a table of this format (the first line), or
// an adapter line lacks its index, interface or state or has a value that cannot be read.
bool parse_table(const std::string &text, long *pid, std::vector<TableRow> *rows, std::string *why);

// The table of a runtime folder, when the service that wrote it still runs: its pid file
// is locked by a process and names the process the table names.
enum class TableStatus {
  kCurrent,    // *rows holds the table
  kNoService,  // no pid file, or no process holds its lock: the service does not run there
  kStale,      // the table is missing or was written by another process than the running one
  kDamaged,    // the table cannot be read (*why)
};
TableStatus read_current_table(const std::string &run_dir, std::vector<TableRow> *rows, std::string *why);

}  // namespace zrdhcp

#endif
