// dhcp-text.cpp -- small text and address helpers of the DHCP service.
#include "dhcp-text.h"

#include <cerrno>
#include <cstdio>

namespace zrdhcp {

std::string trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> split_lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string::npos ? text.size() : nl;
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  return lines;
}

bool parse_decimal(const std::string &s, uint64_t *value) {
  if (s.empty() || s.size() > 19) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

std::vector<std::pair<int, std::string>> meaningful_lines(const std::string &text) {
  std::vector<std::pair<int, std::string>> out;
  int number = 0;
  for (const std::string &raw : split_lines(text)) {
    ++number;
    std::string line = trim(raw.substr(0, raw.find('#')));
    if (!line.empty()) out.emplace_back(number, line);
  }
  return out;
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

bool parse_serial_key_text(const std::string &text, std::string *serial) {
  auto hex = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      const int hi = hex(text[i + 1]), lo = hex(text[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (c > ' ' && c < 0x7f && c != '#') {
      out += static_cast<char>(c);
    } else {
      return false;
    }
  }
  *serial = out;
  return true;
}

std::string ipv4_text(uint32_t a) {
  char buf[20];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
  return buf;
}

bool parse_ipv4(const std::string &text, uint32_t *addr) {
  uint32_t a = 0;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    size_t end = text.find('.', pos);
    if ((part < 3) != (end != std::string::npos)) return false;
    std::string digits = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    uint64_t v = 0;
    if (digits.size() > 3 || !parse_decimal(digits, &v) || v > 255) return false;
    a = a << 8 | static_cast<uint32_t>(v);
    pos = end + 1;
  }
  *addr = a;
  return true;
}

std::string hw_text(const uint8_t *bytes, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%s%02x", i ? ":" : "", bytes[i]);
    s += buf;
  }
  return s;
}

}  // namespace zrdhcp
