// dhcp-text.h -- small text, file and address helpers of the DHCP service.
#ifndef ZR_DHCP_TEXT_H
#define ZR_DHCP_TEXT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zrdhcp {

std::string trim(const std::string &s);
// Lines without their "\n" (and a "\r" before it); a last line without "\n" counts.
std::vector<std::string> split_lines(const std::string &text);
// The lines of a settings or data file that say something, with their numbers from 1:
// what follows "#" is dropped, then the white space around the rest; empty lines are
// passed over.
std::vector<std::pair<int, std::string>> meaningful_lines(const std::string &text);
// Decimal digits only, no sign, no overflow past 64 bits.
bool parse_decimal(const std::string &s, uint64_t *value);

// A USB serial number (chosen by the device: any bytes) as one word of a file, exact and
// reversible: printable ASCII but space, "%" and "#" stands for itself, every other byte is
// %XX (two upper-case hex digits).  The reading back is false for text it cannot have made.
std::string serial_key_text(const std::string &serial);
bool parse_serial_key_text(const std::string &text, std::string *serial);

// Dotted text of an IPv4 address in host order, and back (four decimal parts 0-255).
std::string ipv4_text(uint32_t addr);
bool parse_ipv4(const std::string &text, uint32_t *addr);
// "aa:bb:cc:..." of a hardware address.
std::string hw_text(const uint8_t *bytes, size_t n);

// The files themselves are read and written through dhcp-os.h.

}  // namespace zrdhcp

#endif
