// dhcp-store.h -- zr-dhcp.dat: the subnet each handheld adapter was given, and the choice of
// a subnet for an adapter.
//
// Handheld networks are the /30 blocks of 172.16.0.0/16, numbered 0 to 16383: block N is
// 172.16.0.0 + 4N, the computer holds its first host address (low bits 01) and the handheld
// the second.  An adapter is known by a key: "serial:VVVV:PPPP:SERIAL" for a USB device
// with a serial number (in the exact spelling of serial_key_text), otherwise
// "mac:aa:bb:cc:dd:ee:ff".
//
// The file holds one assignment a line, "KEY NETWORK/30" (e.g. "mac:02:00:00:00:00:01
// 172.16.0.4/30"); a line that starts with "#" is a comment.  An empty or missing file is
// an empty store.
// The program writes it whole, in one step, after every new assignment.
#ifndef ZR_DHCP_STORE_H
#define ZR_DHCP_STORE_H

#include "dhcp-text.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace zrdhcp {

constexpr int kSubnetCount = 16384;
constexpr uint32_t kHandheldNet = 0xAC100000u;  // 172.16.0.0/16

inline uint32_t subnet_network(int n) { return kHandheldNet + 4u * static_cast<uint32_t>(n); }
inline uint32_t subnet_host(int n) { return subnet_network(n) + 1; }      // the computer
inline uint32_t subnet_handheld(int n) { return subnet_network(n) + 2; }  // the handheld
constexpr uint32_t kSubnetMask = 0xFFFFFFFCu;

// At most this many keys are kept (as many as there are subnets): past it, the key used
// least recently goes first.
constexpr size_t kMaxKeys = kSubnetCount;
// Of the damaged lines of a store, this many are described.
constexpr size_t kDamagedShown = 5;

class Store {
 public:
  // Reads the assignments from the file's text, the last line the one used most recently.
  // Lines that cannot be read are passed over, so a damaged file costs only its bad lines:
  // their number in *damaged, the first kDamagedShown described in *skipped ("LINE: why"
  // each).  *dropped: the keys over kMaxKeys left out (the least recently used).
  void parse(const std::string &text, std::vector<std::string> *skipped, size_t *damaged = nullptr,
             size_t *dropped = nullptr);
  // One line a key, from the one used least recently to the one used last.
  std::string text() const;

  // The remembered subnet of a key, or -1.
  int find(const std::string &key) const;
  // Remembers the key's subnet as used now (the least recently used key goes when there
  // are more than kMaxKeys).
  void remember(const std::string &key, int subnet);
  // Marks the key used now; false when it was the one used last already (or is unknown).
  bool touch(const std::string &key);
  void forget(const std::string &key) { by_key_.erase(key); }
  bool empty() const { return by_key_.empty(); }
  size_t size() const { return by_key_.size(); }

  // The subnet for an adapter with this key.  `busy` holds the subnets that cannot be
  // used now (served to other adapters, or holding addresses of other interfaces).  The
  // key's own remembered subnet when it is not busy; else the lowest subnet that is
  // neither busy nor remembered for another key; else the lowest that is not busy.
  // -1 when every subnet is busy.
  int choose(const std::string &key, const std::set<int> &busy) const;

 private:
  struct Entry {
    int subnet = -1;
    uint64_t used = 0;  // when it was used last, counted in uses
  };
  // Leaves out the least recently used keys over kMaxKeys; how many.
  size_t keep_bound();
  std::map<std::string, Entry> by_key_;
  uint64_t uses_ = 0;
};

// The spelling of earlier versions (white space, control and other bytes as "_"): not
// exact ("A B" and "A_B" meet), read only to find what was remembered under it.
std::string former_serial_key_text(const std::string &serial);

// The subnet an IPv4 address (host order) lies in, or -1 outside 172.16.0.0/16.
int subnet_of(uint32_t addr);
// Adds to *busy every subnet that the network addr/prefix (host order) overlaps: a /16 or
// shorter prefix around 172.16.0.0 takes them all, a /30 or longer at most one.
void mark_overlapping(uint32_t addr, int prefix, std::set<int> *busy);

}  // namespace zrdhcp

#endif
