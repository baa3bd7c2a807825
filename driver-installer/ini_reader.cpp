// The INI reader with the lookup rules of the platform's profile calls (ini_reader.h).
#include "ini_reader.h"

#include <cstdint>

#include "wide_text.h"

namespace kqco {

namespace {

std::wstring_view Trim(std::wstring_view s) {
  const auto isSpace = [](wchar_t c) { return c == L' ' || c == L'\t' || c == L'\v' || c == L'\f'; };
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

std::wstring DecodeUtf16(std::string_view bytes, bool bigEndian) {
  std::wstring out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    const auto b1 = static_cast<unsigned char>(bytes[i + 1]);
    uint32_t unit = bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0);
    if constexpr (sizeof(wchar_t) == 4) {
      // Join surrogate pairs; a lone surrogate is kept as it is.
      if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
        const auto c0 = static_cast<unsigned char>(bytes[i + 2]);
        const auto c1 = static_cast<unsigned char>(bytes[i + 3]);
        const uint32_t lo = bigEndian ? (c0 << 8 | c1) : (c1 << 8 | c0);
        if (lo >= 0xDC00 && lo <= 0xDFFF) {
          unit = 0x10000 + ((unit - 0xD800) << 10) + (lo - 0xDC00);
          i += 2;
        }
      }
    }
    out.push_back(static_cast<wchar_t>(unit));
  }
  return out;
}

}  // namespace

std::wstring IniDocument::DecodeFileText(std::string_view bytes) {
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') return DecodeUtf16(bytes.substr(2), false);
  if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF') return DecodeUtf16(bytes.substr(2), true);
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") return DecodeUtf8(bytes.substr(3));
  return DecodeUtf8(bytes);
}

IniDocument IniDocument::Parse(std::wstring_view text) {
  IniDocument doc;
  Section* current = nullptr;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find_first_of(L"\r\n", pos);
    if (end == std::wstring_view::npos) end = text.size();
    const std::wstring_view line = Trim(text.substr(pos, end - pos));
    // Step over one line break (CR, LF or CR LF).
    pos = end + 1;
    if (end < text.size() && text[end] == L'\r' && end + 1 < text.size() && text[end + 1] == L'\n') ++pos;

    if (line.empty() || line.front() == L';') continue;
    if (line.front() == L'[') {
      std::wstring_view name = line.substr(1);
      const size_t close = name.find(L']');
      if (close != std::wstring_view::npos) name = name.substr(0, close);
      doc.sections_.push_back(Section{std::wstring(Trim(name)), {}});
      current = &doc.sections_.back();
      continue;
    }
    if (current == nullptr) continue;  // lines before the first section belong to none
    Entry entry;
    const size_t eq = line.find(L'=');
    if (eq == std::wstring_view::npos) {
      entry.key = std::wstring(line);
    } else {
      entry.key = std::wstring(Trim(line.substr(0, eq)));
      std::wstring_view value = Trim(line.substr(eq + 1));
      if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') && value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      entry.value = std::wstring(value);
    }
    if (entry.key.empty()) continue;
    current->entries.push_back(std::move(entry));
  }
  return doc;
}

const IniDocument::Section* IniDocument::FindSection(std::wstring_view name) const {
  for (const auto& s : sections_) {
    if (EqualsNoCase(s.name, name)) return &s;
  }
  return nullptr;
}

std::vector<std::wstring> IniDocument::SectionKeys(std::wstring_view section) const {
  std::vector<std::wstring> keys;
  if (const Section* s = FindSection(section)) {
    for (const auto& e : s->entries) keys.push_back(e.key);
  }
  return keys;
}

std::optional<std::wstring> IniDocument::Value(std::wstring_view section, std::wstring_view key) const {
  if (const Section* s = FindSection(section)) {
    for (const auto& e : s->entries) {
      if (EqualsNoCase(e.key, key)) return e.value;
    }
  }
  return std::nullopt;
}

}  // namespace kqco
