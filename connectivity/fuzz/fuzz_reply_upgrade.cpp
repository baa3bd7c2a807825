// fuzz_reply_upgrade.cpp -- the OS upgrade's progress reply as a handheld on loopback
// sends it: a status line (perhaps with a first value), then progress lines.
//
// Input: one byte for the size of the pieces the reply is sent in, one byte whose value
// is the progress call that asks to stop (0: none), then the reply.
#include <string>
#include <vector>

#include "fuzz_peer.h"
#include "fuzz_support.h"
#include "zr-net.h"

namespace {

using zrfuzz::Input;

std::vector<int> seen;
size_t stop_at = 0;

int progress(int value) {
  seen.push_back(value);
  return stop_at != 0 && seen.size() == stop_at ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  size_t piece = in.byte();
  stop_at = in.byte();
  std::string reply = in.rest();
  zrfuzz::Peer &peer = zrfuzz::Peer::get();
  seen.clear();

  int r = 0;
  zrfuzz::Served s = peer.serve(reply, piece, [&] { r = KQ_ZR_os_upg(peer.addr(), "os image.bin", "-", progress); });
  if (s.connected) FUZZ_CHECK(s.request == "osupg os\\ image.bin -\n");
  FUZZ_CHECK(r <= 0);
  // Each progress line holds at most one value: never more calls than lines (a line too
  // long for the line buffer counts as several), and none after the one that asked to
  // stop.
  size_t lines = 1 + reply.size() / 199;
  for (char c : reply)
    if (c == '\n') ++lines;
  FUZZ_CHECK(seen.size() <= lines);
  if (stop_at != 0 && seen.size() >= stop_at) {
    FUZZ_CHECK(seen.size() == stop_at);
    FUZZ_CHECK(r == -1013 || r < 0);
  }
  // A negative value on a progress line is the result (only the status line's own value,
  // which can be the first call at most, is passed on without ending the wait).
  if (seen.size() >= 2 && seen.back() < 0) FUZZ_CHECK(r == seen.back());
  return 0;
}
