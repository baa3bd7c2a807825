// dhcp-store.cpp -- the remembered subnets of handheld adapters, and the choice of one.
#include "dhcp-store.h"

#include "dhcp-text.h"

#include <algorithm>

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

std::string serial_key_text(const std::string &serial) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : serial) {
    if (c > ' ' && c < 0x7f && c != '%' && c != '#') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string former_serial_key_text(const std::string &serial) {
  std::string out;
  for (unsigned char c : serial) out += (c > ' ' && c < 0x7f) ? static_cast<char>(c) : '_';
  return out;
}

// A key never holds white space: a line's first word is the key ("#" inside it, as earlier
// versions wrote some, included) and the rest the network.
void Store::parse(const std::string &text, std::vector<std::string> *skipped) {
  by_key_.clear();
  int number = 0;
  for (const std::string &raw : split_lines(text)) {
    ++number;
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#') continue;
    size_t space = line.find_first_of(" \t");
    std::string key = line.substr(0, space);
    std::string net = space == std::string::npos ? "" : trim(line.substr(space));
    uint32_t addr = 0;
    bool ok = net.size() > 3 && net.compare(net.size() - 3, 3, "/30") == 0 &&
              parse_ipv4(net.substr(0, net.size() - 3), &addr) && subnet_of(addr) >= 0 && (addr & 3u) == 0 &&
              (key.rfind("serial:", 0) == 0 || key.rfind("mac:", 0) == 0);
    if (!ok) {
      if (skipped) skipped->push_back(std::to_string(number) + ": \"" + line + "\" is not \"KEY 172.16.N.M/30\"");
      continue;
    }
    by_key_[key] = subnet_of(addr);
  }
}

std::string Store::text() const {
  std::string s = "# zr-dhcp.exe: the subnet given to each handheld adapter (written by the program)\n";
  for (const auto &kv : by_key_) s += kv.first + " " + ipv4_text(subnet_network(kv.second)) + "/30\n";
  return s;
}

int Store::find(const std::string &key) const {
  auto it = by_key_.find(key);
  return it == by_key_.end() ? -1 : it->second;
}

int Store::choose(const std::string &key, const std::set<int> &busy) const {
  int own = find(key);
  if (own >= 0 && !busy.count(own)) return own;
  std::set<int> theirs;
  for (const auto &kv : by_key_)
    if (kv.first != key) theirs.insert(kv.second);
  for (int n = 0; n < kSubnetCount; ++n)
    if (!busy.count(n) && !theirs.count(n)) return n;
  for (int n = 0; n < kSubnetCount; ++n)
    if (!busy.count(n)) return n;
  return -1;
}

}  // namespace zrdhcp
