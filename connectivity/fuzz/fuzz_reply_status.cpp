// fuzz_reply_status.cpp -- replies made of a status line and field lines, as a handheld on
// loopback sends them: info, stat 1 and 3, tune 1 and 2, the five file operations, and the
// attributes of one path.
//
// Input: one byte that picks the request, one byte for the size of the pieces the reply
// is sent in (0: at once), then the reply.
#include <cstring>
#include <string>

#include "fuzz_peer.h"
#include "fuzz_support.h"
#include "zr-net.h"

namespace {

using zrfuzz::Input;

// What any request built on the exchange may return besides success: the transport's
// codes, a status line without a number, or minus a positive status.
bool exchange_result(int r) {
  return r == 0 || r == -1 || r == -202 || r == -220 || r == -1002 || (r < 0 && r != -2147483647 - 1);
}

bool all_zero(const void *p, size_t n) {
  const unsigned char *b = static_cast<const unsigned char *>(p);
  for (size_t i = 0; i < n; ++i)
    if (b[i] != 0) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  uint8_t which = in.byte();
  size_t piece = in.byte();
  std::string reply = in.rest();
  zrfuzz::Peer &peer = zrfuzz::Peer::get();
  uint32_t addr = peer.addr();

  int r = 0;
  switch (which % 11) {
    case 0: {
      zr_info info;
      std::memset(&info, 0x5A, sizeof info);
      peer.serve(reply, piece, [&] { r = KQ_ZR_sr_info(addr, 1, &info); });
      FUZZ_CHECK(exchange_result(r));
      if (r != 0) FUZZ_CHECK(all_zero(&info, sizeof info));  // cleared, then nothing read
      break;
    }
    case 1:
    case 2: {
      zr_stat st;
      std::memset(&st, 0x5A, sizeof st);
      int op = which % 11 == 1 ? 1 : 3;
      zrfuzz::Served s = peer.serve(reply, piece, [&] { r = KQ_ZR_sr_stat(addr, op, &st); });
      FUZZ_CHECK(exchange_result(r));
      if (r != 0) FUZZ_CHECK(all_zero(&st, sizeof st));
      if (s.connected) FUZZ_CHECK(s.request == (op == 1 ? "stat 1\n" : "stat 3\n"));
      break;
    }
    case 3:
    case 4: {
      zr_tune t{1000, 2000};
      int op = which % 11 == 3 ? 1 : 2;
      zrfuzz::Served s = peer.serve(reply, piece, [&] { r = KQ_ZR_sr_tune(addr, op, &t); });
      FUZZ_CHECK(exchange_result(r));
      if (s.connected) FUZZ_CHECK(s.request == (op == 1 ? "tune 1\n" : "tune 2\nrtime=1000\nxtime=2000\n"));
      break;
    }
    case 10: {
      zr_attr a;
      std::memset(&a, 0x5A, sizeof a);
      zr_attr untouched = a;
      zrfuzz::Served s = peer.serve(reply, piece, [&] { r = KQ_ZR_fm_dirattr(addr, "a dir/x", &a); });
      FUZZ_CHECK(exchange_result(r));
      if (r != 0) FUZZ_CHECK(std::memcmp(&a, &untouched, sizeof a) == 0);
      if (s.connected) FUZZ_CHECK(s.request == "attr a\\ dir/x\n");
      break;
    }
    default: {
      unsigned op = 21 + (which % 11 - 5);  // 21..25
      zrfuzz::Served s = peer.serve(reply, piece, [&] { r = KQ_ZR_fm_fileop(addr, op, "from x", "to\\y"); });
      FUZZ_CHECK(exchange_result(r));
      FUZZ_CHECK(s.connected);
      const char *want = op == 21   ? "fdel from\\ x\n"
                         : op == 22 ? "move from\\ x to\\\\y\n"
                         : op == 23 ? "copy from\\ x to\\\\y\n"
                         : op == 24 ? "mkdir from\\ x\n"
                                    : "rmdir from\\ x\n";
      FUZZ_CHECK(s.request == want);
      break;
    }
  }
  // Success needs a whole status line: one ended by its line feed, or one as long as the
  // line buffer holds (199 characters; the file operations read 9, the attributes 19).
  // Carriage returns do not count.
  if (r == 0) {
    size_t limit = which % 11 == 10 ? 19 : (which % 11 >= 5 ? 9 : 199);
    size_t counted = 0;
    bool whole = false;
    for (char c : reply) {
      if (c == '\r') continue;
      if (c == '\n' || ++counted >= limit) {
        whole = true;
        break;
      }
    }
    FUZZ_CHECK(whole);
  }
  return 0;
}
