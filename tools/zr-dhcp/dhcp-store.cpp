// dhcp-store.cpp -- the remembered subnets of handheld adapters, and the choice of one.
#include "dhcp-store.h"

#include "dhcp-text.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace zrdhcp {

int subnet_of(uint32_t addr) {
  if ((addr & 0xFFFF0000u) != kHandheldNet) return -1;
  return static_cast<int>((addr & 0xFFFFu) >> 2);
}

void mark_overlapping(uint32_t addr, int prefix, std::set<int> *busy) {
  if (prefix < 0 || prefix > 32) return;
  const uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
  const uint32_t first = std::max(addr & mask, kHandheldNet);
  const uint32_t last = std::min(addr | ~mask, kHandheldNet | 0xFFFFu);
  if (first > last) return;
  for (int n = subnet_of(first); n <= subnet_of(last); ++n) busy->insert(n);
}

std::string former_serial_key_text(const std::string &serial) {
  std::string out;
  for (unsigned char c : serial) out += (c > ' ' && c < 0x7f) ? static_cast<char>(c) : '_';
  return out;
}

// A key never holds white space: a line's first word is the key ("#" inside it, as earlier
// versions wrote some, included) and the rest the network.  The text is read a line at a
// time, so that a large damaged file costs no more than its size.
void Store::parse(const std::string &text, std::vector<std::string> *skipped, size_t *damaged, size_t *dropped) {
  by_key_.clear();
  uses_ = 0;
  size_t bad = 0;
  int number = 0;
  for (size_t start = 0; start < text.size();) {
    size_t nl = text.find('\n', start);
    const size_t end = nl == std::string::npos ? text.size() : nl;
    const std::string line = trim(text.substr(start, end - start));
    start = end + 1;
    ++number;
    if (line.empty() || line[0] == '#') continue;
    size_t space = line.find_first_of(" \t");
    std::string key = line.substr(0, space);
    std::string net = space == std::string::npos ? "" : trim(line.substr(space));
    uint32_t addr = 0;
    bool ok = net.size() > 3 && net.compare(net.size() - 3, 3, "/30") == 0 &&
              parse_ipv4(net.substr(0, net.size() - 3), &addr) && subnet_of(addr) >= 0 && (addr & 3u) == 0 &&
              (key.rfind("serial:", 0) == 0 || key.rfind("mac:", 0) == 0);
    if (!ok) {
      if (skipped && bad < kDamagedShown) {
        const std::string shown = line.size() > 80 ? line.substr(0, 80) + "..." : line;
        skipped->push_back(std::to_string(number) + ": \"" + shown + "\" is not \"KEY 172.16.N.M/30\"");
      }
      ++bad;
      continue;
    }
    by_key_[key] = Entry{subnet_of(addr), ++uses_};
  }
  if (damaged) *damaged = bad;
  size_t left_out = keep_bound();
  if (dropped) *dropped = left_out;
}

size_t Store::keep_bound() {
  if (by_key_.size() <= kMaxKeys) return 0;
  std::vector<uint64_t> used;
  used.reserve(by_key_.size());
  for (const auto &kv : by_key_) used.push_back(kv.second.used);
  const size_t over = by_key_.size() - kMaxKeys;
  std::nth_element(used.begin(), used.begin() + static_cast<std::ptrdiff_t>(over - 1), used.end());
  const uint64_t last_out = used[over - 1];  // uses are distinct
  for (auto it = by_key_.begin(); it != by_key_.end();) it = it->second.used <= last_out ? by_key_.erase(it) : ++it;
  return over;
}

std::string Store::text() const {
  std::vector<std::pair<uint64_t, const std::string *>> order;
  order.reserve(by_key_.size());
  for (const auto &kv : by_key_) order.emplace_back(kv.second.used, &kv.first);
  std::sort(order.begin(), order.end());
  std::string s =
      "# zr-dhcp.exe: the subnet given to each handheld adapter, the one used last at the end"
      " (written by the program)\n";
  for (const auto &o : order) s += *o.second + " " + ipv4_text(subnet_network(by_key_.at(*o.second).subnet)) + "/30\n";
  return s;
}

int Store::find(const std::string &key) const {
  auto it = by_key_.find(key);
  return it == by_key_.end() ? -1 : it->second.subnet;
}

void Store::remember(const std::string &key, int subnet) {
  by_key_[key] = Entry{subnet, ++uses_};
  keep_bound();
}

bool Store::touch(const std::string &key) {
  auto it = by_key_.find(key);
  if (it == by_key_.end() || it->second.used == uses_) return false;
  it->second.used = ++uses_;
  return true;
}

int Store::choose(const std::string &key, const std::set<int> &busy) const {
  int own = find(key);
  if (own >= 0 && !busy.count(own)) return own;
  std::set<int> theirs;
  for (const auto &kv : by_key_)
    if (kv.first != key) theirs.insert(kv.second.subnet);
  for (int n = 0; n < kSubnetCount; ++n)
    if (!busy.count(n) && !theirs.count(n)) return n;
  for (int n = 0; n < kSubnetCount; ++n)
    if (!busy.count(n)) return n;
  return -1;
}

}  // namespace zrdhcp
