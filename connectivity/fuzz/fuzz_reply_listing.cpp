// fuzz_reply_listing.cpp -- a folder listing as a handheld on loopback sends it: the
// status line, then per entry a name line, attribute lines and an empty line.
//
// Input: one byte for the size of the pieces the reply is sent in, one byte for the
// length of the name buffer (1..256), one byte whose low bit asks for no attribute
// record, then the reply.  The name buffer has exactly its length on the heap.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_peer.h"
#include "fuzz_support.h"
#include "zr-net.h"

namespace {

using zrfuzz::Input;

const int kMaxEntries = 100000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  size_t piece = in.byte();
  int length = 1 + in.byte();
  bool with_attr = (in.byte() & 1) == 0;
  std::string reply = in.rest();
  zrfuzz::Peer &peer = zrfuzz::Peer::get();

  std::unique_ptr<char[]> name(new char[static_cast<size_t>(length)]);
  int h = -1, last = 0, entries = 0;
  size_t names_total = 0;
  peer.serve(reply, piece, [&] {
    h = KQ_ZR_fm_dirinit(peer.addr(), "docs/a b");
    if (h < 0) return;
    for (;;) {
      zr_attr a;
      std::memset(&a, 0x5A, sizeof a);
      std::memset(name.get(), 'Q', static_cast<size_t>(length));
      last = KQ_ZR_fm_direnum(h, name.get(), length, with_attr ? &a : nullptr);
      if (last < 0) break;
      ++entries;
      FUZZ_CHECK(entries <= kMaxEntries);
      // The buffer holds the name's first length-1 bytes and a terminator; the result is
      // the whole length.
      size_t stored = strnlen(name.get(), static_cast<size_t>(length));
      FUZZ_CHECK(stored < static_cast<size_t>(length));
      FUZZ_CHECK(static_cast<size_t>(last) >= stored);
      if (static_cast<size_t>(last) < static_cast<size_t>(length)) FUZZ_CHECK(stored <= static_cast<size_t>(last));
      names_total += static_cast<size_t>(last);
    }
    FUZZ_CHECK(KQ_ZR_fm_dirdone(h) == 0);
    FUZZ_CHECK(KQ_ZR_fm_dirdone(h) == -223);
  });
  if (h < 0) {
    FUZZ_CHECK(h == -1 || h == -202 || h == -220 || h == -1002 || h >= -2147483647);
  } else {
    // The listing ends when the handheld closes, between entries (-1) or inside one (-1025),
    // or when a receive fails: never otherwise.
    FUZZ_CHECK(last == -1 || last == -1025 || last == -202 || last == -220);
    // Names are taken from the reply: never more bytes than it had.
    FUZZ_CHECK(names_total <= reply.size());
  }
  return 0;
}
