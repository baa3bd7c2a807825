// sim-text.h -- small text helpers of the handheld simulator.
#ifndef ZR_SIM_TEXT_H
#define ZR_SIM_TEXT_H

#include <cstdint>
#include <string>
#include <vector>

namespace zrsim {

// Strict decimal: one or more digits, nothing else, at most `max`.
bool parse_decimal(const std::string &text, uint64_t max, uint64_t &value);
// As parse_decimal with an optional leading '-' (the magnitude limited to `max`).
bool parse_signed_decimal(const std::string &text, uint64_t max, int64_t &value);

// Removes spaces and tabs at both ends.
std::string trim_blanks(const std::string &text);

// Splits at runs of spaces and tabs; empty pieces are dropped.
std::vector<std::string> split_words(const std::string &text);

// Dotted IPv4 text to a host-order address and back.
bool parse_ipv4(const std::string &text, uint32_t &addr);
std::string ipv4_text(uint32_t addr);

}  // namespace zrsim

#endif
