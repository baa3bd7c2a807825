// dhcp-table.cpp -- the published table of adapters: its text and its reading.
#include "dhcp-table.h"

#include "dhcp-os.h"
#include "dhcp-text.h"

#include <cstring>

namespace zrdhcp {

namespace {

constexpr char kMagic[] = "zr-dhcp-table 1 pid=";

const AdapterState kStates[] = {AdapterState::kWaiting, AdapterState::kAddressed, AdapterState::kLeased,
                                AdapterState::kGone};

bool parse_pid(const std::string &text, long *pid) {
  uint64_t v = 0;
  if (!parse_decimal(text, &v) || v == 0 || v > 0x7FFFFFFF) return false;
  *pid = static_cast<long>(v);
  return true;
}

// A sysfs name: no white space, no "/".
bool plain_word(const std::string &s) {
  if (s.empty()) return false;
  for (unsigned char c : s)
    if (c <= ' ' || c >= 0x7f || c == '/') return false;
  return true;
}

}  // namespace

const char *adapter_state_name(AdapterState state) {
  switch (state) {
    case AdapterState::kWaiting: return "waiting";
    case AdapterState::kAddressed: return "addressed";
    case AdapterState::kLeased: return "leased";
    case AdapterState::kGone: return "gone";
  }
  return "waiting";
}

std::string table_text(long pid, const std::vector<TableRow> &rows) {
  std::string t = kMagic + std::to_string(pid) + "\n";
  for (const TableRow &r : rows) {
    t += "adapter index=" + std::to_string(r.index) + " interface=" + serial_key_text(r.interface);
    if (plain_word(r.usb_port)) t += " usb-port=" + r.usb_port;
    if (!r.serial.empty()) t += " serial=" + serial_key_text(r.serial);
    if (r.host != 0) t += " host=" + ipv4_text(r.host) + " handheld=" + ipv4_text(r.handheld);
    t += std::string(" state=") + adapter_state_name(r.state) + "\n";
  }
  return t;
}

bool parse_table(const std::string &text, long *pid, std::vector<TableRow> *rows, std::string *why) {
  rows->clear();
  const std::vector<std::string> lines = split_lines(text);
  const size_t magic = sizeof kMagic - 1;
  if (lines.empty() || lines[0].compare(0, magic, kMagic) != 0 || !parse_pid(lines[0].substr(magic), pid)) {
    *why = "not a table of adapters (its first line is not \"zr-dhcp-table 1 pid=PID\")";
    return false;
  }
  for (size_t n = 1; n < lines.size(); ++n) {
    const std::string &line = lines[n];
    if (line.compare(0, 8, "adapter ") != 0) continue;
    TableRow row;
    bool has_index = false, has_state = false;
    std::string bad;
    for (size_t at = 8; at < line.size() && bad.empty();) {
      size_t end = line.find(' ', at);
      if (end == std::string::npos) end = line.size();
      const std::string word = line.substr(at, end - at);
      at = end + 1;
      const size_t eq = word.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
      uint64_t v = 0;
      if (key == "index") {
        has_index = parse_decimal(value, &v) && v > 0 && v <= 0x7FFFFFFF;
        row.index = static_cast<int>(v);
        if (!has_index) bad = key;
      } else if (key == "interface") {
        // Never a path of its own: readers look the name up in sysfs.
        if (!parse_serial_key_text(value, &row.interface) || row.interface.empty() ||
            row.interface.find('/') != std::string::npos)
          bad = key;
      } else if (key == "usb-port") {
        row.usb_port = value;
        if (!plain_word(value)) bad = key;
      } else if (key == "serial") {
        if (!parse_serial_key_text(value, &row.serial)) bad = key;
      } else if (key == "host") {
        if (!parse_ipv4(value, &row.host)) bad = key;
      } else if (key == "handheld") {
        if (!parse_ipv4(value, &row.handheld)) bad = key;
      } else if (key == "state") {
        for (AdapterState s : kStates)
          if (value == adapter_state_name(s)) {
            row.state = s;
            has_state = true;
          }
        if (!has_state) bad = key;
      }
    }
    if (bad.empty() && (!has_index || row.interface.empty() || !has_state)) bad = "index, interface or state";
    if (!bad.empty()) {
      *why = "line " + std::to_string(n + 1) + ": no valid " + bad;
      rows->clear();
      return false;
    }
    rows->push_back(row);
  }
  return true;
}

TableStatus read_current_table(const std::string &run_dir, std::vector<TableRow> *rows, std::string *why) {
  rows->clear();
  const std::string pid_path = run_dir + "/" + kPidFile;
  bool held = false;
  if (int err = lock_held(pid_path, &held)) {
    *why = pid_path + ": " + std::strerror(err);
    return TableStatus::kNoService;
  }
  if (!held) {
    *why = "no process holds " + pid_path;
    return TableStatus::kNoService;
  }
  std::string text;
  long running = 0, writer = 0;
  if (read_regular_file(pid_path, &text) != 0 || !parse_pid(trim(text), &running)) {
    *why = pid_path + " names no process";
    return TableStatus::kStale;
  }
  const std::string table_path = run_dir + "/" + kTableFile;
  int err = read_regular_file(table_path, &text);
  if (err != 0) {
    *why = table_path + ": " + std::strerror(err);
    return TableStatus::kStale;
  }
  if (!parse_table(text, &writer, rows, why)) {
    *why = table_path + ": " + *why;
    return TableStatus::kDamaged;
  }
  if (writer != running) {
    rows->clear();
    *why = table_path + " was written by process " + std::to_string(writer) + ", not by the running service (" +
           std::to_string(running) + ")";
    return TableStatus::kStale;
  }
  return TableStatus::kCurrent;
}

}  // namespace zrdhcp
