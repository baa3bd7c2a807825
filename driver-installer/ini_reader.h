// A small reader for INI-style files (INF files included) with the lookup rules of the
// platform's profile calls: sections and keys are found ignoring case, the first section of a
// name and the first key of a name count, a value loses one pair of enclosing quotes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kqco {

class IniDocument {
 public:
  struct Entry {
    std::wstring key;
    std::wstring value;
  };
  struct Section {
    std::wstring name;
    std::vector<Entry> entries;
  };

  // Text as found in a file: UTF-16 with a byte-order mark, UTF-8 with or without one. Bytes that
  // are not valid UTF-8 are kept (see DecodeUtf8).
  static std::wstring DecodeFileText(std::string_view bytes);
  static IniDocument Parse(std::wstring_view text);
  static IniDocument FromFileBytes(std::string_view bytes) { return Parse(DecodeFileText(bytes)); }

  // Key names of the first section called section, in file order; empty if there is none.
  std::vector<std::wstring> SectionKeys(std::wstring_view section) const;
  // Value of the first key called key in the first section called section.
  std::optional<std::wstring> Value(std::wstring_view section, std::wstring_view key) const;
  bool HasSection(std::wstring_view section) const { return FindSection(section) != nullptr; }

  const std::vector<Section>& sections() const { return sections_; }

 private:
  const Section* FindSection(std::wstring_view name) const;
  std::vector<Section> sections_;
};

}  // namespace kqco
