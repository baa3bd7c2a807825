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

// Reads a whole file; 0 or the errno value.
int read_text_file(const std::string &path, std::string *text);
// Reads a whole file that must be a regular file of its own: never through a symbolic link
// (ELOOP), nothing else (a FIFO, a device: EINVAL), and without waiting on its opening.
int read_regular_file(const std::string &path, std::string *text);
// Replaces a file in one step (a new file of a name of its own beside it, created there
// and never through a link, flushed, renamed over it, the folder flushed): a reader sees
// the old or the new content, never a part.  0 or the errno value.
int write_file_atomically(const std::string &path, const std::string &text);

// Takes the lock of a file (created when missing, never through a symbolic link) for as
// long as *fd stays open, and writes the process id into it.  0; EWOULDBLOCK with the
// holder's process id in *holder (0 when it could not be told) when another process holds
// it; else the errno value.
int lock_file(const std::string &path, int *fd, long *holder);

}  // namespace zrdhcp

#endif
