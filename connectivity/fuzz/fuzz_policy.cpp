// fuzz_policy.cpp -- the storage-policy file and the mapping of virtual paths through it.
//
// Input: the policy file, then a NUL byte, then virtual paths, one per line, each led by
// one byte for the size of the output buffer (1..256) and one byte of flags.  The output
// buffer has exactly its size on the heap.
//
// What must hold: KQ_ZR_pol_init returns one of its documented results; a mapped path is
// terminated inside the buffer, starts with the base and the folder's host part, and what
// follows them never climbs out ("." or ".." components, empty components, backslashes).
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "zr-internal.h"

namespace {

using zrfuzz::Input;

bool init_result(int r) {
  switch (r) {
    case 0:
    case -1:
    case -345:
    case -357:
    case -364:
    case -368:
    case -372:
    case -378:
    case -386:
    case -390:
    case -394:
    case -400:
    case -406:
    case -412:
    case -425: return true;
    default: return false;
  }
}

// base + "/" (unless base ends in one) + host, as the mapping writes it.
std::string joined(const char *base, const char *host) {
  std::string s = base;
  if (s.empty() || s.back() != '/') s += '/';
  return s + host;
}

bool climbs_out(const std::string &rest) {
  if (rest.find('\\') != std::string::npos) return true;
  size_t i = 0;
  while (i < rest.size()) {
    if (rest[i] != '/') return true;  // the rest starts every component with "/"
    size_t end = rest.find('/', i + 1);
    std::string comp = rest.substr(i + 1, end == std::string::npos ? std::string::npos : end - i - 1);
    if (comp.empty() && end == std::string::npos) break;  // one "/" at the very end
    if (comp.empty() || comp == "." || comp == "..") return true;
    if (end == std::string::npos) break;
    i = end;
  }
  return false;
}

void check_mapping(const std::string &line, int size, int flags) {
  const std::string path(line.c_str());  // as the library sees it: up to a NUL
  std::unique_ptr<char[]> out(new char[static_cast<size_t>(size)]);
  std::memset(out.get(), 'Q', static_cast<size_t>(size));
  int r = KQ_ZR_pol_mung(out.get(), path.c_str(), size, flags);
  FUZZ_CHECK(r >= -6 && r <= 3);
  const zr_pol_root *root = zri_pol_current();
  FUZZ_CHECK(root != nullptr);
  if (r == 3) return;  // the buffer holds a record's address
  size_t len = strnlen(out.get(), static_cast<size_t>(size));
  FUZZ_CHECK(len < static_cast<size_t>(size));
  if (r != 0) return;
  std::string mapped(out.get(), len);
  // Which folder: the component after the root name.
  size_t nl = std::strlen(root->name);
  std::string comp = path.substr(nl + 1);
  comp = comp.substr(0, comp.find('/'));
  const zr_pol_dir *d = root->dirs;
  while (d && (d->name == nullptr || comp != d->name)) d = d->next;
  FUZZ_CHECK(d != nullptr && d->host != nullptr);
  std::string prefix = joined(root->base, d->host);
  FUZZ_CHECK(mapped.compare(0, prefix.size(), prefix) == 0);
  std::string rest = mapped.substr(prefix.size());
  FUZZ_CHECK(!climbs_out(rest));
  if (flags & 0x8) FUZZ_CHECK(!rest.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  std::string file = in.until('\0');
  static const std::string path = zrfuzz::scratch_dir() + "/policy.dat";
  FUZZ_CHECK(zrfuzz::write_file(path, file));
  int r = KQ_ZR_pol_init(path.c_str());
  FUZZ_CHECK(init_result(r));
  // Mapping works with whatever policy is in force, whatever the file held.
  check_mapping("/orv/documents/a/b.txt", 64, 0);
  for (int n = 0; in.left() > 0 && n < 64; ++n) {
    int buffer = 1 + in.byte();
    int flags = in.byte();
    check_mapping(in.until('\n'), buffer, flags);
  }
  // The library keeps the records of every file it read (callers may hold them): let go
  // of them here, so that every input starts afresh and any other block left behind shows
  // as a leak.
  zri_pol_release();
  return 0;
}
