// sim-profile.cpp -- the simulated handheld's info record and time-out pair.
#include "sim-profile.h"

#include <fstream>

#include "sim-text.h"

namespace zrsim {

const std::vector<FieldDesc> &info_fields() {
  // The order of the info reply (the order in which the link's info field table keeps its rows).
  static const std::vector<FieldDesc> fields = {
      {"addr", FieldType::U32, 1},  {"mask", FieldType::U32, 1},  {"b1v", FieldType::U8, 4},
      {"b2v", FieldType::U8, 4},    {"bat", FieldType::U16, 8},   {"clk", FieldType::U16, 1},
      {"disk", FieldType::U32, 3},  {"eid", FieldType::Text, 24}, {"hwv", FieldType::U8, 4},
      {"name", FieldType::Text, 8}, {"ram", FieldType::U32, 2},   {"ready", FieldType::U16, 2},
      {"run", FieldType::U16, 1},   {"scrn", FieldType::U32, 1},  {"ser", FieldType::U8, 8},
      {"sgeo", FieldType::U16, 4},  {"ver", FieldType::U8, 4},
  };
  return fields;
}

namespace {

uint64_t type_max(FieldType type) {
  switch (type) {
    case FieldType::U32: return 0xFFFFFFFFull;
    case FieldType::U16: return 0xFFFFull;
    case FieldType::U8: return 0xFFull;
    default: return 0;
  }
}

}  // namespace

Profile::Profile() {
  for (const FieldDesc &f : info_fields()) {
    Member m{f.type, f.count, {}, {}, false};
    if (f.type != FieldType::Text) m.numbers.assign(static_cast<size_t>(f.count), 0);
    members_[f.name] = m;
  }
  members_["addr"].numbers = {0x7F000001u};
  members_["mask"].numbers = {0xFFFFFFFCu};
  members_["disk"].numbers = {16777216u, 12582912u, 0u};
  members_["ram"].numbers = {8388608u, 6291456u};
  members_["sgeo"].numbers = {240, 320, 16, 0};
  members_["bat"].numbers = {85, 0, 0, 0, 0, 0, 0, 0};
  members_["clk"].numbers = {150};
  members_["run"].numbers = {1};
  members_["ready"].numbers = {1, 0};
  members_["ser"].numbers = {83, 73, 77, 0, 0, 0, 0, 1};
  members_["eid"].text = "ZRSIM-0000-0000-0001";
  members_["ver"].numbers = {1, 2, 0, 0};
  members_["b1v"].numbers = {1, 0, 0, 0};
  members_["b2v"].numbers = {1, 1, 0, 0};
  members_["hwv"].numbers = {0, 0, 1, 0};
  members_["name"].text = "ZR-SIM";
  members_["scrn"].numbers = {static_cast<uint32_t>(image_bytes(geometry()))};
}

bool Profile::set(const std::string &key, const std::string &value, std::string &error) {
  if (key == "rtime" || key == "xtime") {
    uint64_t v = 0;
    if (!parse_decimal(trim_blanks(value), 0xFFFFFFFFull, v)) {
      error = key + ": expected a number of milliseconds, got '" + value + "'";
      return false;
    }
    (key == "rtime" ? rtime_ : xtime_) = static_cast<uint32_t>(v);
    return true;
  }
  auto it = members_.find(key);
  if (it == members_.end()) {
    error = "unknown key '" + key + "'";
    return false;
  }
  Member &m = it->second;
  if (m.type == FieldType::Text) {
    if (value.size() > static_cast<size_t>(m.count)) {
      error = key + ": at most " + std::to_string(m.count) + " characters";
      return false;
    }
    if (value.find_first_of("\r\n") != std::string::npos || value.find('\0') != std::string::npos) {
      error = key + ": line breaks and NUL are not allowed";
      return false;
    }
    m.text = value;
    m.explicit_value = true;
    return true;
  }
  std::vector<uint32_t> numbers;
  size_t start = 0;
  while (true) {
    size_t comma = value.find(',', start);
    std::string piece =
        trim_blanks(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    uint64_t v = 0;
    uint32_t addr = 0;
    if ((key == "addr" || key == "mask") && piece.find('.') != std::string::npos && parse_ipv4(piece, addr)) {
      v = addr;
    } else if (!parse_decimal(piece, type_max(m.type), v)) {
      error = key + ": '" + piece + "' is not a decimal number from 0 to " + std::to_string(type_max(m.type));
      return false;
    }
    numbers.push_back(static_cast<uint32_t>(v));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (numbers.size() > static_cast<size_t>(m.count)) {
    error = key + ": at most " + std::to_string(m.count) + " value" + (m.count == 1 ? "" : "s");
    return false;
  }
  numbers.resize(static_cast<size_t>(m.count), 0);
  m.numbers = numbers;
  m.explicit_value = true;
  return true;
}

bool Profile::set_line(const std::string &line, std::string &error) {
  size_t eq = line.find('=');
  if (eq == std::string::npos) {
    error = "'" + line + "' is not of the form key=value";
    return false;
  }
  return set(trim_blanks(line.substr(0, eq)), line.substr(eq + 1), error);
}

bool Profile::load_file(const std::string &path, std::string &error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read profile '" + path + "'";
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::string trimmed = trim_blanks(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    if (!set_line(line, error)) {
      error = path + " line " + std::to_string(number) + ": " + error;
      return false;
    }
  }
  if (in.bad()) {
    error = "cannot read profile '" + path + "'";
    return false;
  }
  return true;
}

bool Profile::finish(uint32_t listen_addr, std::string &error) {
  ScreenGeometry g = geometry();
  if (image_bytes(g) > kMaxImageBytes) {
    error = "sgeo: a screen image of " + std::to_string(image_bytes(g)) + " bytes is larger than the " +
            std::to_string(kMaxImageBytes) + " bytes the simulator holds";
    return false;
  }
  if (!members_["addr"].explicit_value) members_["addr"].numbers = {listen_addr};
  if (!members_["scrn"].explicit_value) members_["scrn"].numbers = {static_cast<uint32_t>(image_bytes(g))};
  return true;
}

std::string Profile::info_lines() const {
  std::string out;
  for (const FieldDesc &f : info_fields()) {
    const Member &m = members_.at(f.name);
    out += f.name;
    out += '=';
    if (m.type == FieldType::Text) {
      out += m.text;
    } else {
      for (size_t i = 0; i < m.numbers.size(); ++i) {
        if (i) out += ',';
        out += std::to_string(m.numbers[i]);
      }
    }
    out += '\n';
  }
  return out;
}

ScreenGeometry Profile::geometry() const {
  const std::vector<uint32_t> &s = members_.at("sgeo").numbers;
  ScreenGeometry g;
  g.height = s[0];
  g.width = s[1];
  g.bits_per_pixel = s[2];
  return g;
}

uint32_t Profile::number(const std::string &key, size_t index) const {
  auto it = members_.find(key);
  if (it == members_.end() || index >= it->second.numbers.size()) return 0;
  return it->second.numbers[index];
}

std::string Profile::text(const std::string &key) const {
  auto it = members_.find(key);
  return it == members_.end() ? std::string() : it->second.text;
}

}  // namespace zrsim
