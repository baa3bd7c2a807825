// fuzz_support.h -- what the fuzz targets share: reading an input piece by piece, checks
// that abort (so that libFuzzer and the corpus replay both report them), and a private
// temporary folder.
#ifndef ZR_FUZZ_SUPPORT_H
#define ZR_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>

// A violated property: one line on standard error, then abort.
#define FUZZ_CHECK(cond)                                          \
  do {                                                            \
    if (!(cond)) zrfuzz::check_failed(__FILE__, __LINE__, #cond); \
  } while (0)

namespace zrfuzz {

[[noreturn]] void check_failed(const char *file, int line, const char *what);

// Takes an input apart: control bytes first, then the rest as one piece.  Reading past the
// end gives zeros, so every input is a valid one.
class Input {
 public:
  Input(const uint8_t *data, size_t size) : p_(data), n_(size) {}
  uint8_t byte() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  uint16_t u16() { return static_cast<uint16_t>(byte() | (byte() << 8)); }
  uint32_t u32() { return static_cast<uint32_t>(u16()) | (static_cast<uint32_t>(u16()) << 16); }
  // Up to `max` bytes, as they stand.
  std::string take(size_t max) {
    size_t k = max < n_ ? max : n_;
    std::string s(reinterpret_cast<const char *>(p_), k);
    p_ += k;
    n_ -= k;
    return s;
  }
  // Bytes up to the next `sep` (dropped) or the end.
  std::string until(char sep) {
    size_t k = 0;
    while (k < n_ && p_[k] != static_cast<uint8_t>(sep)) ++k;
    std::string s(reinterpret_cast<const char *>(p_), k);
    p_ += k;
    n_ -= k;
    if (n_ > 0) {
      ++p_;
      --n_;
    }
    return s;
  }
  std::string rest() { return take(n_); }
  size_t left() const { return n_; }

 private:
  const uint8_t *p_;
  size_t n_;
};

// A folder of its own under TMPDIR (or /tmp), made once per process and removed at its
// exit.
const std::string &scratch_dir();

// Removes every entry of a folder (not the folder itself); false when something stays.
bool empty_dir(const std::string &dir);

// The names in a folder, "." and ".." left out.
size_t count_entries(const std::string &dir);

// Whole content of a file, or "<missing>" when it cannot be read.
std::string read_file(const std::string &path);
bool write_file(const std::string &path, const std::string &content);

}  // namespace zrfuzz

#endif
