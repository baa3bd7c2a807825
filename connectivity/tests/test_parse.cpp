// The text scanners and the path escape.
#include "zr-internal.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct LongCase {
  const char *text;
  int32_t value;
  int consumed;
};

TEST(ScanLong, SeparatorsSignsAndBases) {
  const LongCase cases[] = {
      {" ,-42 rest", -42, 5}, {"0x10", 0, 1},
      {"017", 15, 3},         {"19", 19, 2},
      {"abc", 0, 0},          {"-", 0, 1},
      {"\n5", 0, 0},          {"09", 9, 2},
      {"010", 8, 3},          {"+7,", 7, 2},
      {"\t\t", 0, 2},         {"", 0, 0},
      {"4294967296", 0, 10},  {"-2147483648", -2147483647 - 1, 11},
  };
  for (const auto &c : cases) {
    int32_t v = 12345;
    EXPECT_EQ(zr_p_long(&v, c.text), c.consumed) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
  // Only the count is wanted.
  EXPECT_EQ(zr_p_long(nullptr, " 12"), 3);
  // A status number needs a digit: a sign alone is none.
  int32_t v = 0;
  EXPECT_EQ(zri_scan_number(" +5", &v), 3);
  EXPECT_EQ(v, 5);
  EXPECT_EQ(zri_scan_number(" +", &v), 0);
}

TEST(ScanToken, LowerCasesAndTruncates) {
  char buf[10];
  EXPECT_EQ(zr_p_token(buf, sizeof buf, "  Addr = 1"), 6);
  EXPECT_STREQ(buf, "addr");
  EXPECT_EQ(zr_p_token(buf, sizeof buf, "VeryLongKeyName=1"), 15);
  EXPECT_STREQ(buf, "verylongk");
  EXPECT_EQ(zr_p_token(buf, sizeof buf, "(=[],\n"), 6);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(zr_p_token(buf, sizeof buf, ""), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(zr_p_token(buf, sizeof buf, "\tKey)"), 4);
  EXPECT_STREQ(buf, "key");
  // Without room nothing is written, and the token is still passed over.
  EXPECT_EQ(zr_p_token(buf, 0, "abc"), 3);
  EXPECT_STREQ(buf, "key");
}

TEST(ScanString, QuotedTextWithoutEscapes) {
  char buf[100];
  EXPECT_EQ(zr_p_str(buf, " \"abc\" x", sizeof buf), 6);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(zr_p_str(buf, "\"abc", sizeof buf), 0);
  EXPECT_EQ(zr_p_str(buf, "abc\"", sizeof buf), 0);
  char small[4];
  EXPECT_EQ(zr_p_str(small, "\"abcdef\"", sizeof small), 0);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(zr_p_str(buf, ",\t\"\"", sizeof buf), 4);
  EXPECT_STREQ(buf, "");
}

// Regression (found by fuzzing): a quoted text was reported as read (the count consumed) into
// a buffer without room for even its terminator, which was left unterminated.
TEST(ScanString, RegressionQuotedTextNeedsRoomForItsTerminator) {
  char buf[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(zr_p_str(buf, "\"\"", 0), 0);
  EXPECT_EQ(zr_p_str(buf, " \"ab\"", -13), 0);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(zr_p_str(buf, "\"\"", 1), 2);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(zr_p_str(buf, "\"abc\"", 4), 5);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(zr_p_str(buf, "\"abcd\"", 4), 0);
}

TEST(ScanHex, BytesWithAndWithoutPrefix) {
  uint8_t b = 77;
  EXPECT_EQ(zr_p_dehex(&b, "0x1F:"), 4);
  EXPECT_EQ(b, 31);
  EXPECT_EQ(zr_p_dehex(&b, "0XaB"), 4);
  EXPECT_EQ(b, 0xab);
  b = 77;
  EXPECT_EQ(zr_p_dehex(&b, "100"), 0);
  EXPECT_EQ(b, 77);
  EXPECT_EQ(zr_p_dehex(&b, ""), 0);
  EXPECT_EQ(b, 0);
  b = 77;
  EXPECT_EQ(zr_p_dehex(&b, "g"), 0);
  EXPECT_EQ(zr_p_dehex(&b, "0x-1"), 0);
  EXPECT_EQ(zr_p_dehex(&b, "1;"), 0);
  EXPECT_EQ(b, 77);
  EXPECT_EQ(zr_p_dehex(&b, " ff,1"), 3);
  EXPECT_EQ(b, 255);
  // A long run of digits must not wrap back into range.
  EXPECT_EQ(zr_p_dehex(&b, "100000000000000000ff"), 0);

  // A colon-separated list, skipping the colon between calls.
  const char *list = "0a:1b:ff";
  uint8_t out[3];
  const char *p = list;
  for (int i = 0; i < 3; ++i) {
    int n = zr_p_dehex(&out[i], p);
    ASSERT_GT(n, 0);
    p += n;
    if (*p == ':') ++p;
  }
  EXPECT_EQ(out[0], 0x0a);
  EXPECT_EQ(out[1], 0x1b);
  EXPECT_EQ(out[2], 0xff);
}

TEST(ScanAddr, MasksAndNames) {
  uint32_t a = 1;
  EXPECT_EQ(zr_p_addr(&a, "/24"), 3);
  EXPECT_EQ(a, 0xFFFFFF00u);
  EXPECT_EQ(zr_p_addr(&a, "/0"), 2);
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(zr_p_addr(&a, "/32"), 3);
  EXPECT_EQ(a, 0xFFFFFFFFu);
  EXPECT_EQ(zr_p_addr(&a, "/9"), 2);  // the digits at both ends
  EXPECT_EQ(a, 0xFF800000u);
  EXPECT_EQ(zr_p_addr(&a, "/1"), 2);
  EXPECT_EQ(a, 0x80000000u);
  a = 1;
  EXPECT_EQ(zr_p_addr(&a, "//"), 0);
  EXPECT_EQ(zr_p_addr(&a, "/33"), 0);
  EXPECT_EQ(zr_p_addr(&a, "/99999999999"), 0);
  // Only a digit after "/" makes a mask; anything else is neither mask nor name.
  EXPECT_EQ(zr_p_addr(&a, "/:"), 0);
  EXPECT_EQ(zr_p_addr(&a, "/a"), 0);
  EXPECT_EQ(zr_p_addr(&a, "/"), 0);
  EXPECT_EQ(a, 1u);
  // A mask ends at its last digit; a name at a blank, a comma or a slash.
  EXPECT_EQ(zr_p_addr(&a, "/24a"), 3);
  EXPECT_EQ(a, 0xFFFFFF00u);
  EXPECT_EQ(zr_p_addr(&a, "10.0.0.2 x"), 8);
  EXPECT_EQ(a, 0x0A000002u);
  EXPECT_EQ(zr_p_addr(&a, "10.0.0.3,x"), 8);
  EXPECT_EQ(a, 0x0A000003u);
  EXPECT_EQ(zr_p_addr(&a, "10.0.0.4/8"), 8);
  EXPECT_EQ(a, 0x0A000004u);
  a = 1;
  EXPECT_EQ(zr_p_addr(&a, "10.0.0.1)"), 8);
  EXPECT_EQ(a, 0x0A000001u);
  EXPECT_EQ(zr_p_addr(&a, ", 127.0.0.1/8"), 11);
  EXPECT_EQ(a, 0x7F000001u);
  EXPECT_EQ(zr_p_addr(&a, "localhost"), 9);
  EXPECT_EQ(a >> 24, 127u);
  EXPECT_EQ(zr_p_addr(&a, "no-such-host.invalid"), 0);
  // An overlong name is cut at 79 characters rather than overrunning.
  std::string longname(300, 'a');
  EXPECT_EQ(zr_p_addr(&a, longname.c_str()), 0);
}

TEST(Skip, BlanksAndFormFeeds) {
  const char *t = "  \f x";
  EXPECT_EQ(zr_p_skip(t), t + 4);
  EXPECT_EQ(zr_p_skip("   "), nullptr);
  const char *tab = "\t y";
  EXPECT_EQ(zr_p_skip(tab), tab + 2);
  EXPECT_EQ(zr_p_skip(""), nullptr);
}

TEST(Escape, SpacesAndBackslashes) {
  char buf[100];
  EXPECT_EQ(zr_p_esc1(buf, "a b\\c", sizeof buf), 7);
  EXPECT_STREQ(buf, "a\\ b\\\\c");
  char small[3];
  EXPECT_EQ(zr_p_esc1(small, "a b", sizeof small), 2);
  EXPECT_STREQ(small, "a\\");
  char tiny[1];
  EXPECT_EQ(zr_p_esc1(tiny, "abc", sizeof tiny), 0);
  EXPECT_STREQ(tiny, "");
  EXPECT_EQ(zr_p_esc1(buf, "", sizeof buf), 0);
  EXPECT_EQ(zr_p_esc1(buf, "abc", 0), 0);
}

}  // namespace
