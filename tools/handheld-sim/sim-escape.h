// sim-escape.h -- the escaped text form of raw bytes used by the handheld simulator.
//
// Header only: the simulator writes its request log with escape_bytes() and decodes its
// --reply text with decode_escapes(); the test harness reads the log back with
// decode_escapes().
//
// escape_bytes(): printable ASCII (0x20..0x7E) stands as it is, except the backslash,
// which is doubled; a line feed becomes \n, a carriage return \r, and every other byte
// (other control bytes, 0x7F and everything from 0x80) becomes \xNN with two upper-case
// hexadecimal digits.  The result never holds a line break.
//
// decode_escapes(): the inverse, and a little more for hand-written text: \n, \r, \t,
// \\ (a backslash) and \xNN (exactly two hexadecimal digits, either case).  Any other
// character after a backslash, or a backslash at the end, is refused.
#ifndef ZR_SIM_ESCAPE_H
#define ZR_SIM_ESCAPE_H

#include <string>
#include <vector>

namespace zrsim {

inline std::string escape_bytes(const std::string &in) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(in.size());
  for (unsigned char c : in) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += hex[c >> 4];
      out += hex[c & 0x0F];
    }
  }
  return out;
}

inline int hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes `in` into `out`.  Returns false (and a message in *error when given) for a bad
// escape; `out` is then incomplete.
inline bool decode_escapes(const std::string &in, std::string &out, std::string *error = nullptr) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    char c = in[i];
    if (c != '\\') {
      out += c;
      continue;
    }
    if (i + 1 >= in.size()) {
      if (error) *error = "a backslash at the end of the text";
      return false;
    }
    char e = in[++i];
    switch (e) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      case 'x': {
        int hi = i + 1 < in.size() ? hex_digit_value(in[i + 1]) : -1;
        int lo = i + 2 < in.size() ? hex_digit_value(in[i + 2]) : -1;
        if (hi < 0 || lo < 0) {
          if (error) *error = "\\x must be followed by two hexadecimal digits";
          return false;
        }
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        break;
      }
      default:
        if (error) *error = std::string("unknown escape \\") + e;
        return false;
    }
  }
  return true;
}

// The requests of a request log, oldest first: each line is "<connection> <escaped request>";
// the connection number is dropped and the escapes decoded.
inline std::vector<std::string> requests_of_log(const std::vector<std::string> &lines) {
  std::vector<std::string> out;
  for (const std::string &line : lines) {
    const size_t space = line.find(' ');
    std::string decoded;
    decode_escapes(space == std::string::npos ? std::string() : line.substr(space + 1), decoded);
    out.push_back(decoded);
  }
  return out;
}

}  // namespace zrsim

#endif
