// fuzz_reply_screen.cpp -- the screen image reply as a handheld on loopback sends it: the
// status line with a byte count, then image data (as much or as little as it likes).
//
// Input: one byte for the size of the pieces the reply is sent in, two bytes for the
// maximum asked for (0: none, the destination then holds the whole reply), four bytes of
// offset, then the reply.  The destination has exactly the room the call may fill.
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_peer.h"
#include "fuzz_support.h"
#include "zr-net.h"

namespace {

using zrfuzz::Input;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  size_t piece = in.byte();
  int maximum = in.u16() % 4097;
  uint32_t offset = in.u32();
  std::string reply = in.rest();
  zrfuzz::Peer &peer = zrfuzz::Peer::get();

  // Without a maximum the caller must hold whatever the handheld announces; the library
  // never delivers more than came, so the reply's size is room enough here.
  size_t room = maximum != 0 ? static_cast<size_t>(maximum) : reply.size() + 1;
  std::unique_ptr<unsigned char[]> dest(new unsigned char[room]);
  int r = 0;
  zrfuzz::Served s = peer.serve(reply, piece, [&] { r = KQ_ZR_sr_scrn(peer.addr(), dest.get(), offset, maximum); });
  if (s.connected) FUZZ_CHECK(s.request == "scrn 1 " + std::to_string(offset) + " " + std::to_string(maximum) + "\n");
  if (r < 0) {
    FUZZ_CHECK(r == -1 || r == -202 || r == -220 || r == -1002 || r >= -2147483647);
    return 0;
  }
  FUZZ_CHECK(static_cast<size_t>(r) <= room);
  if (maximum != 0) FUZZ_CHECK(r <= maximum);
  // The image is what follows the status line, byte for byte, when that line fitted the
  // line buffer (199 characters besides carriage returns).
  size_t lf = reply.find('\n');
  FUZZ_CHECK(r == 0 || lf != std::string::npos || reply.size() >= 199);
  if (lf != std::string::npos) {
    size_t counted = 0;
    for (size_t i = 0; i < lf; ++i)
      if (reply[i] != '\r') ++counted;
    if (counted < 199) {
      FUZZ_CHECK(static_cast<size_t>(r) <= reply.size() - lf - 1);
      FUZZ_CHECK(std::memcmp(dest.get(), reply.data() + lf + 1, static_cast<size_t>(r)) == 0);
    }
  }
  return 0;
}
