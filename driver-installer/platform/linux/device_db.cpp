// The Linux layer's device database file: reading, writing and looking up device entries
// (device_db.h).
#include "platform/linux/device_db.h"

#include "wide_text.h"

namespace kqco::linux_platform {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    pos = end + 1;
  }
  return lines;
}

std::optional<DeviceEntry> ParseDeviceLine(std::string_view line) {
  if (line.empty() || line.front() == '#') return std::nullopt;
  for (const char c : line) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && c != '\t') || b == 0x7F) return std::nullopt;  // control characters
  }
  std::vector<std::string_view> fields;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', pos);
    fields.push_back(line.substr(pos, tab == std::string_view::npos ? std::string_view::npos : tab - pos));
    if (tab == std::string_view::npos) break;
    pos = tab + 1;
  }
  if (fields.size() < 2 || fields[0].empty() || (fields[1] != "0" && fields[1] != "1")) {
    return std::nullopt;
  }
  DeviceEntry entry;
  entry.instance = DecodeUtf8(fields[0]);
  entry.present = fields[1] == "1";
  std::size_t total = 0;
  for (std::size_t i = 2; i < fields.size(); ++i) total += fields[i].size() + 1;
  if (total > kMaxHardwareIdChars) {
    entry.hardwareIdsTooLong = true;
    return entry;
  }
  for (std::size_t i = 2; i < fields.size(); ++i) {
    entry.hardwareIds += DecodeUtf8(fields[i]);
    entry.hardwareIds.push_back(L'\0');
  }
  if (!entry.hardwareIds.empty()) entry.hardwareIds.push_back(L'\0');
  return entry;
}

std::string FormatDeviceLine(const std::wstring& instance, bool present, const std::vector<std::wstring>& hardwareIds) {
  std::string line = EncodeUtf8(instance) + (present ? "\t1" : "\t0");
  for (const auto& id : hardwareIds) line += "\t" + EncodeUtf8(id);
  return line;
}

std::wstring MakeMultiString(const std::vector<std::wstring>& entries) {
  std::wstring out;
  for (const auto& e : entries) {
    out += e;
    out.push_back(L'\0');
  }
  if (!out.empty()) out.push_back(L'\0');
  return out;
}

}  // namespace kqco::linux_platform
