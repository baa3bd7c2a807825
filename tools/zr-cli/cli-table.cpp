// cli-table.cpp -- the handhelds attached: the DHCP service's table while it runs, else
// discovery; and the choice of one by its serial.
#include "cli.h"
#include "dhcp-os.h"
#include "dhcp-table.h"
#include "zr-net.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace zrcli {

namespace {

std::string run_dir() {
  const char *env = std::getenv("ZR_DHCP_RUN_DIR");
  return env && *env ? env : zrdhcp::kDefaultRunDir;
}

bool current_table(std::vector<zrdhcp::TableRow> *rows) {
  std::string why;
  return zrdhcp::read_current_table(run_dir(), rows, &why) == zrdhcp::TableStatus::kCurrent;
}

// The slot discovery gives each handheld address (the enumeration alone: nothing is sent).
std::map<uint32_t, int> discovery_slots() {
  std::map<uint32_t, int> slots;
  std::vector<Candidate> found;
  enumerate_candidates(&found);
  for (const auto &c : found) slots[c.addr] = static_cast<int>(c.slot);
  return slots;
}

// The interface that holds each of the computer's IPv4 addresses.
std::map<uint32_t, std::string> interfaces_by_address() {
  std::map<uint32_t, std::string> names;
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return names;
  for (ifaddrs *i = list; i; i = i->ifa_next)
    if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && i->ifa_name)
      names[ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr)] = i->ifa_name;
  freeifaddrs(list);
  return names;
}

// Probes the handhelds that have an address, all at the same time, and asks then() of
// those that answer in the same worker.
void probe_all(std::vector<Handheld> *all, const std::function<std::string(uint32_t)> &then) {
  std::vector<size_t> addressed;
  for (size_t i = 0; i < all->size(); ++i)
    if ((*all)[i].addr != 0) addressed.push_back(i);
  std::vector<std::string> answers = in_workers(addressed.size(), [&](size_t k) {
    const uint32_t addr = (*all)[addressed[k]].addr;
    int32_t p = KQ_ZR_en_ping(addr);
    return std::string(reinterpret_cast<const char *>(&p), sizeof p) + (p == 0 && then ? then(addr) : "");
  });
  for (size_t k = 0; k < addressed.size(); ++k) {
    int32_t p = ZR_E_END;
    if (answers[k].size() >= sizeof p) {
      std::memcpy(&p, answers[k].data(), sizeof p);
      (*all)[addressed[k]].asked = answers[k].substr(sizeof p);
    }
    (*all)[addressed[k]].probe = p;
  }
}

Handheld from_row(const zrdhcp::TableRow &row, const std::map<uint32_t, int> &slots) {
  Handheld h;
  h.addr = row.handheld;
  auto slot = slots.find(row.handheld);
  if (slot != slots.end()) h.slot = slot->second;
  h.serial = row.serial;
  h.interface = row.interface;
  h.usb_port = row.usb_port;
  h.from_table = true;
  return h;
}

}  // namespace

int attached_handhelds(std::vector<Handheld> *all, const std::function<std::string(uint32_t)> &then) {
  std::vector<zrdhcp::TableRow> rows;
  if (current_table(&rows)) {
    const std::map<uint32_t, int> slots = discovery_slots();
    for (const auto &row : rows) {
      if (row.state == zrdhcp::AdapterState::kGone) continue;
      Handheld h = from_row(row, slots);
      if (row.state == zrdhcp::AdapterState::kWaiting) h.addr = 0;
      all->push_back(h);
    }
    probe_all(all, then);
    return 0;
  }
  std::vector<Candidate> found;
  int r = enumerate_candidates(&found);
  const std::map<uint32_t, std::string> names = interfaces_by_address();
  for (const auto &c : found) {
    Handheld h;
    h.addr = c.addr;
    h.slot = static_cast<int>(c.slot);
    auto name = names.find(c.addr - 1);
    if (name != names.end()) {
      h.interface = name->second;
      zrdhcp::UsbDevice usb = zrdhcp::usb_device_of(sysfs_root(), h.interface);
      if (usb.found) h.usb_port = usb.port;
    }
    all->push_back(h);
  }
  probe_all(all, then);
  return r;
}

int answering_handhelds(std::vector<Handheld> *found) {
  std::vector<Handheld> all;
  int r = attached_handhelds(&all);
  for (const auto &h : all)
    if (h.probe == 0) found->push_back(h);
  return r;
}

bool table_rows_with_serial(const std::string &serial, std::vector<Handheld> *rows) {
  std::vector<zrdhcp::TableRow> table;
  if (!current_table(&table)) return false;
  for (const auto &row : table)
    if (row.serial == serial && row.handheld != 0 &&
        (row.state == zrdhcp::AdapterState::kAddressed || row.state == zrdhcp::AdapterState::kLeased))
      rows->push_back(from_row(row, {}));
  return true;
}

std::string where(const Handheld &h) {
  std::string w = h.interface;
  if (!h.usb_port.empty()) w += (w.empty() ? "" : ", ") + std::string("USB port ") + h.usb_port;
  return w;
}

int find_by_serial(const std::string &serial, uint32_t *addr, std::string *why) {
  // The service's table knows the handheld by its USB serial: one probe tells whether it
  // answers, whatever the number of handhelds.
  std::vector<Handheld> rows;
  if (table_rows_with_serial(serial, &rows) && !rows.empty()) {
    for (const auto &h : rows)
      if (KQ_ZR_en_ping(h.addr) == 0) {
        *addr = h.addr;
        return 1;
      }
    *why = "the handheld with the serial " + serial + " (" + addr_text(rows[0].addr) +
           (where(rows[0]).empty() ? "" : ", " + where(rows[0])) + ") does not answer";
    return 0;
  }
  // Else every answering handheld is asked for the serial it reports, all at the same time.
  std::vector<Handheld> all;
  int r = attached_handhelds(&all, serial_of);
  if (r < 0) return r;
  for (const auto &h : all)
    if (h.probe == 0 && (h.asked == serial || h.serial == serial)) {
      *addr = h.addr;
      return 1;
    }
  *why = "no handheld with the serial " + serial + " answers";
  return 0;
}

}  // namespace zrcli
