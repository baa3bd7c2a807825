// The INI reader behind the profile calls.
#include <gtest/gtest.h>

#include "ini_reader.h"

namespace kqco {
namespace {

TEST(IniReader, SectionsAndKeysIgnoreCaseAndFirstOccurrenceWins) {
  const auto doc = IniDocument::Parse(
      L"top=ignored\n[RNDIS.NT]\nCharacteristics = 0x84\nBusType=15\n"
      L"[rndis.nt]\nLater=1\n[Models]\n key = first \nKEY=second\n");
  EXPECT_EQ(doc.SectionKeys(L"Rndis.Nt"), (std::vector<std::wstring>{L"Characteristics", L"BusType"}));
  EXPECT_EQ(doc.Value(L"models", L"Key"), L"first");
  EXPECT_EQ(doc.Value(L"RNDIS.NT", L"Later"), std::nullopt);
  EXPECT_EQ(doc.Value(L"none", L"top"), std::nullopt);
  EXPECT_TRUE(doc.SectionKeys(L"missing").empty());
}

TEST(IniReader, ValuesLoseOnePairOfEnclosingQuotes) {
  const auto doc = IniDocument::Parse(L"[s]\na=\"x y\"\nb='z'\nc=\"open\nd=\"\"q\"\"\ne=\n");
  EXPECT_EQ(doc.Value(L"s", L"a"), L"x y");
  EXPECT_EQ(doc.Value(L"s", L"b"), L"z");
  EXPECT_EQ(doc.Value(L"s", L"c"), L"\"open");
  EXPECT_EQ(doc.Value(L"s", L"d"), L"\"q\"");
  EXPECT_EQ(doc.Value(L"s", L"e"), L"");
}

TEST(IniReader, CommentsLineEndsAndKeysWithoutValues) {
  const auto doc = IniDocument::Parse(L"; comment\r\n[s]\r\n;x=1\r\nflag\r\n%KQDevice% = a, USB\\VID_1\r[t\rk=v");
  EXPECT_EQ(doc.SectionKeys(L"s"), (std::vector<std::wstring>{L"flag", L"%KQDevice%"}));
  EXPECT_EQ(doc.Value(L"s", L"%kqdevice%"), L"a, USB\\VID_1");
  EXPECT_EQ(doc.Value(L"t", L"k"), L"v");  // a header without ']' runs to the end of its line
}

TEST(IniReader, FileEncodings) {
  const std::string utf8 = "\xEF\xBB\xBF[s]\nk=v\xC3\xA9\n";
  EXPECT_EQ(IniDocument::FromFileBytes(utf8).Value(L"s", L"k"), L"v\u00e9");
  std::string utf16{"\xFF\xFE", 2};
  for (const char c : std::string("[s]\r\nk=w\r\n")) {
    utf16.push_back(c);
    utf16.push_back('\0');
  }
  EXPECT_EQ(IniDocument::FromFileBytes(utf16).Value(L"s", L"k"), L"w");
  // Bytes that are not UTF-8 do not stop the parse.
  EXPECT_EQ(IniDocument::FromFileBytes("[s]\n\xFF\xFE\x80=1\nk=2\n").Value(L"s", L"k"), L"2");
}

TEST(IniReader, MalformedInputGivesNothingAndDoesNotCrash) {
  std::string junk;
  for (int i = 0; i < 200000; ++i) junk.push_back(static_cast<char>((i * 7919) % 256));
  const auto doc = IniDocument::FromFileBytes(junk);
  EXPECT_EQ(doc.Value(L"RNDIS.NT", L"x"), std::nullopt);
  const auto odd = IniDocument::FromFileBytes(std::string("[\0]\n=\n[]\n=v\n\0\0\0", 15));
  EXPECT_EQ(odd.SectionKeys(L""), (std::vector<std::wstring>{std::wstring(3, L'\0')}));
  EXPECT_TRUE(IniDocument::FromFileBytes("").sections().empty());
  EXPECT_TRUE(IniDocument::FromFileBytes(std::string("\xFF\xFE\x41", 3)).sections().empty());  // odd UTF-16 length
}

}  // namespace
}  // namespace kqco
