// fuzz_utf8.cpp -- the UTF-8 name conversion of the host-file calls.
//
// Input: a name (up to its first NUL).  The conversion to UTF-16 is compared with a plain
// decoder written here from the rules (lead byte, continuation bytes, a surrogate pair for
// four-byte sequences, no check of overlong forms or surrogates, nothing beyond U+10FFFF).
// When the name is one file name, it is then created in a private folder through
// utf8creat: the folder must then hold exactly one file, named by the proper UTF-8 form of
// the characters (a surrogate pair written as two three-byte sequences becomes one
// four-byte sequence), and utf8stat and utf8unlink must find it by the same name.  Names
// that cannot be meant as given (one that does not decode, a lone surrogate, U+0000
// inside) must fail and leave the folder empty.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "zr-internal.h"

namespace {

using zrfuzz::Input;

// UTF-16 units of a name, or false when it does not decode.
bool reference_units(const std::string &name, std::vector<uint16_t> &units) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(name.c_str());
  while (*p) {
    unsigned lead = *p;
    if (lead < 0x80) {
      units.push_back(static_cast<uint16_t>(lead));
      ++p;
      continue;
    }
    int len = (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0) return false;
    uint32_t cp = lead & (0x7F >> len);
    for (int i = 1; i < len; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (len == 4) {
      if (cp > 0x10FFFF) return false;
      cp -= 0x10000;
      units.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(cp));
    }
    p += len;
  }
  return true;
}

// The proper UTF-8 form of UTF-16 units, or false for a lone surrogate.
bool proper_utf8(const std::vector<uint16_t> &units, std::string &out) {
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00);
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return true;
}

const std::string &folder() {
  static const std::string f = [] {
    std::string d = zrfuzz::scratch_dir() + "/names";
    mkdir(d.c_str(), 0700);
    return d;
  }();
  return f;
}

std::string only_entry(const std::string &dir) {
  std::string found;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) found = e->d_name;
    closedir(d);
  }
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  std::string name = in.until('\0');

  std::vector<uint16_t> want;
  bool decodes = reference_units(name, want);
  size_t units = 12345;
  zr_os_wchar *w = zri_utf8_to_wide(name.c_str(), &units);
  FUZZ_CHECK((w != nullptr) == decodes);
  if (w != nullptr) {
    FUZZ_CHECK(units == want.size());
    for (size_t i = 0; i < want.size(); ++i) FUZZ_CHECK(w[i] == want[i]);
    FUZZ_CHECK(w[units] == 0);
    zri_wide_free(w);
  } else {
    FUZZ_CHECK(errno == EILSEQ);
  }
  if (!name.empty()) {
    uint32_t v = zri_utf8_decode(reinterpret_cast<const unsigned char *>(name.c_str()));
    if (v != 0) FUZZ_CHECK((v >> 28) >= 1 && (v >> 28) <= 4 && (v >> 28) <= name.size());
  }

  // One file name: no folder separator, not "." or "..", short enough in every form.
  if (name.empty() || name.size() > 60 || name.find('/') != std::string::npos || name == "." || name == "..") return 0;
  const std::string &dir = folder();
  std::string proper;
  bool meant = decodes && proper_utf8(want, proper);
  for (uint16_t u : want)
    if (u == 0) meant = false;  // U+0000 would cut the name short
  // Overlong forms are not refused (Java's modified UTF-8 needs 0xC0 0x80), so a name can
  // stand for "/", "." or "..": those are paths, not one file name, and are left out.
  if (proper == "." || proper == ".." || proper.find('/') != std::string::npos) return 0;
  std::string path = dir + "/" + name;
  int fd = utf8creat(path.c_str(), 0644);
  FUZZ_CHECK((fd >= 0) == meant);
  if (fd < 0) {
    FUZZ_CHECK(zrfuzz::count_entries(dir) == 0);
    struct stat st;
    FUZZ_CHECK(utf8stat(path.c_str(), &st) == -1);
    return 0;
  }
  FUZZ_CHECK(utf8write(fd, "x", 1) == 1);
  FUZZ_CHECK(utf8close(fd) == 0);
  FUZZ_CHECK(only_entry(dir) == proper);
  FUZZ_CHECK(zrfuzz::count_entries(dir) == 1);
  struct stat st;
  if (name.find_first_of("?*") == std::string::npos) {
    FUZZ_CHECK(utf8stat(path.c_str(), &st) == 0 && st.st_size == 1);
  }
  FUZZ_CHECK(utf8unlink(path.c_str()) == 0);
  FUZZ_CHECK(zrfuzz::count_entries(dir) == 0);
  return 0;
}
