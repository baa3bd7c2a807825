// fuzz_scanners.cpp -- the text scanners zr_p_* and the path escape on arbitrary text.
//
// Input: one byte that picks the scanner, one byte for a buffer length, then the text.
// Buffers have exactly the length the scanner is told, on the heap, so that a write past
// them shows under AddressSanitizer.
#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "zr-net.h"

namespace {

using zrfuzz::Input;

bool is_num_sep(char c) { return c == ' ' || c == '\t' || c == ','; }
bool is_token_sep(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == ',' || c == '=' || c == '(' || c == ')' || c == '[' || c == ']';
}

// zr_p_addr resolves host names through the system; only names that are numeric
// addresses are given to it, so that no lookup ever leaves the machine.
bool addr_text_is_local(const char *text) {
  const char *p = text;
  while (is_num_sep(*p)) ++p;
  if (p[0] == '/' && p[1] >= '0' && p[1] <= '9') return true;
  char name[80];
  size_t len = 0;
  while (len < 79 && p[len] && p[len] != ' ' && p[len] != '/' && p[len] != ',' && p[len] != ')') {
    name[len] = p[len];
    ++len;
  }
  name[len] = '\0';
  in_addr a;
  return len > 0 && inet_aton(name, &a) != 0;
}

void check_long(const char *text) {
  int32_t v = 12345;
  int n = zr_p_long(&v, text);
  FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) <= std::strlen(text));
  // Everything consumed is a separator, one sign, or a digit; nothing consumed stores 0.
  int i = 0;
  while (i < n && is_num_sep(text[i])) ++i;
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  for (; i < n; ++i) FUZZ_CHECK(text[i] >= '0' && text[i] <= '9');
  if (n == 0) FUZZ_CHECK(v == 0);
  FUZZ_CHECK(!(text[n] >= '0' && text[n] <= '9'));
}

void check_token(const char *text, int length) {
  std::unique_ptr<char[]> buf(new char[length > 0 ? length : 1]);
  int n = zr_p_token(buf.get(), length, text);
  FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) <= std::strlen(text));
  if (length > 0) {
    size_t stored = strnlen(buf.get(), static_cast<size_t>(length));
    FUZZ_CHECK(stored < static_cast<size_t>(length));
    for (size_t i = 0; i < stored; ++i) {
      FUZZ_CHECK(!(buf[i] >= 'A' && buf[i] <= 'Z'));
      FUZZ_CHECK(!is_token_sep(buf[i]));
    }
  }
  FUZZ_CHECK(text[n] == '\0' || is_token_sep(text[n]));
}

void check_str(const char *text, int length) {
  std::unique_ptr<char[]> buf(new char[length > 0 ? length : 1]);
  int n = zr_p_str(buf.get(), text, length);
  FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) <= std::strlen(text));
  if (n > 0) {
    // Both quotes were consumed and the text between them is in the buffer.
    FUZZ_CHECK(n >= 2 && text[n - 1] == '"');
    const char *open = std::strchr(text, '"');
    FUZZ_CHECK(open != nullptr);
    size_t inner = static_cast<size_t>(text + n - 1 - (open + 1));
    FUZZ_CHECK(length > 0 && inner < static_cast<size_t>(length));
    FUZZ_CHECK(std::memcmp(buf.get(), open + 1, inner) == 0 && buf[inner] == '\0');
  }
}

void check_dehex(const char *text) {
  uint8_t v = 0xA5;
  int n = zr_p_dehex(&v, text);
  FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) <= std::strlen(text));
  if (n > 0) FUZZ_CHECK(text[n] == '\0' || text[n] == ':' || text[n] == ',');
}

void check_addr(const char *text) {
  if (!addr_text_is_local(text)) return;
  uint32_t v = 0;
  int n = zr_p_addr(&v, text);
  FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) <= std::strlen(text));
}

void check_skip(const char *text) {
  const char *p = zr_p_skip(text);
  if (p == nullptr) {
    for (const char *q = text; *q; ++q) FUZZ_CHECK(*q == ' ' || *q == '\t' || *q == '\f');
  } else {
    FUZZ_CHECK(p >= text && p < text + std::strlen(text));
    FUZZ_CHECK(*p != ' ' && *p != '\t' && *p != '\f');
  }
}

void check_esc1(const char *text, int length) {
  std::unique_ptr<char[]> buf(new char[length > 0 ? length : 1]);
  int n = zr_p_esc1(buf.get(), text, length);
  if (length <= 0) {
    FUZZ_CHECK(n == 0);
    return;
  }
  FUZZ_CHECK(n >= 0 && n <= length - 1 && buf[n] == '\0');
  // The escaped text, cut at the buffer: a prefix of the whole escape.
  std::string whole;
  for (const char *p = text; *p; ++p) {
    if (*p == ' ' || *p == '\\') whole += '\\';
    whole += *p;
  }
  FUZZ_CHECK(static_cast<size_t>(n) <= whole.size());
  FUZZ_CHECK(std::memcmp(buf.get(), whole.data(), static_cast<size_t>(n)) == 0);
  if (static_cast<size_t>(n) < whole.size()) FUZZ_CHECK(n == length - 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  uint8_t which = in.byte();
  int length = static_cast<int8_t>(in.byte());  // -128..127: small and odd lengths too
  std::string text = in.rest();                 // ends at its first NUL as a C text would
  const char *t = text.c_str();
  switch (which % 8) {
    case 0: check_long(t); break;
    case 1: check_token(t, length); break;
    case 2: check_str(t, length); break;
    case 3: check_dehex(t); break;
    case 4: check_addr(t); break;
    case 5: check_skip(t); break;
    case 6: check_esc1(t, length); break;
    default:
      // Every scanner on the same text, as a caller walking a line would use them.
      check_long(t);
      check_token(t, 10);
      check_str(t, 100);
      check_dehex(t);
      check_skip(t);
      check_esc1(t, 1530);
      break;
  }
  return 0;
}
