// dhcp_messages.h -- DHCP messages as a client would send them, and a view of the server's
// replies, for the DHCP service's tests (built by hand, so that broken ones can be made).
#ifndef ZR_DHCP_TEST_MESSAGES_H
#define ZR_DHCP_TEST_MESSAGES_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace zrdhcptest {

// A client message: BOOTREQUEST, Ethernet address 02:00:00:00:00:01, xid 0x12345678, the
// magic cookie, then option 53 with the given type (none for 0) and what is added.
class Message {
 public:
  explicit Message(uint8_t type) {
    fixed_.assign(240, 0);
    fixed_[0] = 1;
    fixed_[1] = 1;
    fixed_[2] = 6;
    const uint8_t xid[4] = {0x12, 0x34, 0x56, 0x78};
    std::memcpy(&fixed_[4], xid, 4);
    const uint8_t hw[6] = {2, 0, 0, 0, 0, 1};
    std::memcpy(&fixed_[28], hw, 6);
    cookie(0x63825363);
    if (type) option(53, {type});
  }
  Message &op(uint8_t v) {
    fixed_[0] = v;
    return *this;
  }
  Message &hlen(uint8_t v) {
    fixed_[2] = v;
    return *this;
  }
  Message &hw_last(uint8_t v) {
    fixed_[33] = v;
    return *this;
  }
  Message &xid(uint32_t v) {
    put32(4, v);
    return *this;
  }
  Message &flags(uint16_t v) {
    fixed_[10] = uint8_t(v >> 8);
    fixed_[11] = uint8_t(v);
    return *this;
  }
  Message &ciaddr(uint32_t v) {
    put32(12, v);
    return *this;
  }
  Message &cookie(uint32_t v) {
    put32(236, v);
    return *this;
  }
  Message &option(uint8_t code, const std::vector<uint8_t> &v) {
    options_.push_back(code);
    options_.push_back(uint8_t(v.size()));
    options_.insert(options_.end(), v.begin(), v.end());
    return *this;
  }
  Message &option32(uint8_t code, uint32_t v) {
    return option(code, {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
  }
  Message &raw(const std::vector<uint8_t> &v) {
    options_.insert(options_.end(), v.begin(), v.end());
    return *this;
  }
  // An option in the file (108, 128 bytes) or sname (44, 64 bytes) field; the length
  // byte says declared_len when it is given.
  Message &in_file(uint8_t code, const std::vector<uint8_t> &v, int declared_len = -1) {
    return in_field(108, 128, &file_used_, code, v, declared_len);
  }
  Message &in_sname(uint8_t code, const std::vector<uint8_t> &v, int declared_len = -1) {
    return in_field(44, 64, &sname_used_, code, v, declared_len);
  }
  std::vector<uint8_t> bytes(bool end = true) const {
    std::vector<uint8_t> b = fixed_;
    b.insert(b.end(), options_.begin(), options_.end());
    if (end) b.push_back(255);
    return b;
  }
  uint32_t xid_value() const {
    uint32_t v;
    std::memcpy(&v, &fixed_[4], 4);
    return v;
  }

 private:
  void put32(size_t at, uint32_t v) {
    fixed_[at] = uint8_t(v >> 24);
    fixed_[at + 1] = uint8_t(v >> 16);
    fixed_[at + 2] = uint8_t(v >> 8);
    fixed_[at + 3] = uint8_t(v);
  }
  Message &in_field(size_t at, size_t size, size_t *used, uint8_t code, const std::vector<uint8_t> &v, int declared) {
    std::vector<uint8_t> o{code, uint8_t(declared >= 0 ? declared : int(v.size()))};
    o.insert(o.end(), v.begin(), v.end());
    for (size_t i = 0; i < o.size() && *used < size; ++i) fixed_[at + (*used)++] = o[i];
    if (*used < size) fixed_[at + *used] = 255;
    return *this;
  }
  std::vector<uint8_t> fixed_, options_;
  size_t file_used_ = 0, sname_used_ = 0;
};

// A server's reply, read back.
class ReplyView {
 public:
  explicit ReplyView(std::vector<uint8_t> bytes) : b_(std::move(bytes)) {}
  bool valid() const { return b_.size() >= 240; }
  int op() const { return valid() ? b_[0] : -1; }
  uint32_t xid() const {
    uint32_t v = 0;
    if (valid()) std::memcpy(&v, &b_[4], 4);
    return v;
  }
  uint16_t flags() const { return valid() ? uint16_t(b_[10] << 8 | b_[11]) : 0; }
  uint32_t ciaddr() const { return get32(12); }
  uint32_t yiaddr() const { return get32(16); }
  std::string chaddr() const {
    std::string s;
    char buf[4];
    for (int i = 0; valid() && i < b_[2] && i < 16; ++i) {
      std::snprintf(buf, sizeof buf, "%s%02x", i ? ":" : "", b_[28 + i]);
      s += buf;
    }
    return s;
  }
  int type() const {
    std::vector<uint8_t> v = option(53);
    return v.size() == 1 ? v[0] : -1;
  }
  bool has(uint8_t code) const { return find(code) != 0; }
  std::vector<uint8_t> option(uint8_t code) const {
    size_t at = find(code);
    if (!at) return {};
    return std::vector<uint8_t>(b_.begin() + long(at) + 2, b_.begin() + long(at) + 2 + b_[at + 1]);
  }
  uint32_t option32(uint8_t code) const {
    std::vector<uint8_t> v = option(code);
    return v.size() == 4 ? uint32_t(v[0]) << 24 | uint32_t(v[1]) << 16 | uint32_t(v[2]) << 8 | v[3] : 0;
  }
  // Whether the options end with End (255), followed by nothing but Pad (0).
  bool ends() const {
    for (size_t i = 240; i < b_.size();) {
      if (b_[i] == 255) return std::all_of(b_.begin() + long(i) + 1, b_.end(), [](uint8_t c) { return c == 0; });
      if (b_[i] == 0) {
        ++i;
        continue;
      }
      if (i + 1 >= b_.size()) return false;
      i += 2 + b_[i + 1];
    }
    return false;
  }

 private:
  uint32_t get32(size_t at) const {
    return valid() ? uint32_t(b_[at]) << 24 | uint32_t(b_[at + 1]) << 16 | uint32_t(b_[at + 2]) << 8 | b_[at + 3] : 0;
  }
  size_t find(uint8_t code) const {
    for (size_t i = 240; i < b_.size();) {
      if (b_[i] == 255) return 0;
      if (b_[i] == 0) {
        ++i;
        continue;
      }
      if (i + 1 >= b_.size() || i + 2 + b_[i + 1] > b_.size()) return 0;
      if (b_[i] == code) return i;
      i += 2 + b_[i + 1];
    }
    return 0;
  }
  std::vector<uint8_t> b_;
};

}  // namespace zrdhcptest

#endif
