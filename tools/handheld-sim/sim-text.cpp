// sim-text.cpp -- small text helpers of the handheld simulator.
#include "sim-text.h"

#include <arpa/inet.h>

namespace zrsim {

bool parse_decimal(const std::string &text, uint64_t max, uint64_t &value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  value = v;
  return true;
}

bool parse_signed_decimal(const std::string &text, uint64_t max, int64_t &value) {
  bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude = 0;
  if (max > static_cast<uint64_t>(INT64_MAX)) max = static_cast<uint64_t>(INT64_MAX);
  if (!parse_decimal(negative ? text.substr(1) : text, max, magnitude)) return false;
  value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

std::string trim_blanks(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

std::vector<std::string> split_words(const std::string &text) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') ++i;
    if (i > start) words.push_back(text.substr(start, i - start));
  }
  return words;
}

bool parse_ipv4(const std::string &text, uint32_t &addr) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  addr = ntohl(a.s_addr);
  return true;
}

std::string ipv4_text(uint32_t addr) {
  in_addr a{};
  a.s_addr = htonl(addr);
  char buf[INET_ADDRSTRLEN] = {0};
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

}  // namespace zrsim
