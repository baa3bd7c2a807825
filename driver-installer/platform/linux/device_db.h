// The device database of the Linux platform layer: a text file with one device entry a line,
//
//   <instance name> TAB <1 present | 0 not present> [TAB <hardware ID>]...
//
// Blank lines and lines starting with '#' are comments. A line that does not have this form is
// not a device entry; it is kept as it is when the file is rewritten.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kqco::linux_platform {

// Largest device database file that is read.
inline constexpr std::size_t kMaxDatabaseBytes = 16u << 20;
// Largest hardware-ID list (characters, separators included) that a device entry may carry.
inline constexpr std::size_t kMaxHardwareIdChars = 32u << 10;

struct DeviceEntry {
  std::wstring instance;
  bool present = false;
  // The hardware-ID list as a multi-string (entries ended by NUL, the list by an empty entry);
  // empty when the entry has no hardware ID.
  std::wstring hardwareIds;
  bool hardwareIdsTooLong = false;
};

// nullopt for comments, blank lines and malformed lines.
std::optional<DeviceEntry> ParseDeviceLine(std::string_view line);
std::string FormatDeviceLine(const std::wstring& instance, bool present, const std::vector<std::wstring>& hardwareIds);

// Splits database text into lines (without their line ends).
std::vector<std::string> SplitLines(const std::string& text);

// Builds a multi-string from separate entries.
std::wstring MakeMultiString(const std::vector<std::wstring>& entries);

}  // namespace kqco::linux_platform
