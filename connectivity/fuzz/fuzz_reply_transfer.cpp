// fuzz_reply_transfer.cpp -- file transfers both ways against a handheld on loopback that
// answers whatever the input says: first replies, final statuses, announced sizes and
// content that do not match.
//
// Input: one byte for the size of the pieces the reply is sent in; one byte of choices
// (bit 0: fetch rather than send; bit 1: a host file is there before a fetch; bit 2: no
// progress callback); one byte for the progress call that cancels (0: none); one byte for
// the progress step in 16-byte units; two bytes for the length of the host file's content;
// that content; then the reply.
//
// What must hold whatever the handheld does: a send only reads the host file; a fetch
// that fails leaves a file that was there as it was, and one that succeeds holds exactly
// the bytes that followed the reply line; no unfinished file stays behind.
#include <sys/stat.h>

#include <string>

#include "fuzz_peer.h"
#include "fuzz_support.h"
#include "zr-net.h"

namespace {

using zrfuzz::Input;

size_t calls = 0;
size_t cancel_at = 0;

int progress(int code, zr_xfer *x) {
  ++calls;
  FUZZ_CHECK(code <= 0);
  FUZZ_CHECK(x->done <= x->size);
  return cancel_at != 0 && calls == cancel_at ? 1 : 0;
}

const std::string &folder() {
  static const std::string f = [] {
    std::string d = zrfuzz::scratch_dir() + "/xfer";
    mkdir(d.c_str(), 0700);
    return d;
  }();
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in(data, size);
  size_t piece = in.byte();
  uint8_t choices = in.byte();
  cancel_at = in.byte();
  uint32_t step = in.byte() * 16u;
  std::string content = in.take(in.u16() % 8193);
  std::string reply = in.rest();
  bool fetch = choices & 1;
  bool had_file = (choices & 2) != 0;
  zr_xfer_progress cb = (choices & 4) ? nullptr : progress;
  calls = 0;

  zrfuzz::Peer &peer = zrfuzz::Peer::get();
  const std::string &dir = folder();
  FUZZ_CHECK(zrfuzz::empty_dir(dir));
  std::string local = dir + "/host file.bin";
  int r = 0;

  if (!fetch) {
    FUZZ_CHECK(zrfuzz::write_file(local, content));
    struct stat before, after;
    FUZZ_CHECK(stat(local.c_str(), &before) == 0);
    zrfuzz::Served s = peer.serve(
        reply, piece, [&] { r = KQ_ZR_fm_xfer(peer.addr(), ZR_FM_PUT, "dir/file x", local.c_str(), step, cb, 7); });
    FUZZ_CHECK(r <= 0);
    FUZZ_CHECK(stat(local.c_str(), &after) == 0);
    FUZZ_CHECK(after.st_mtim.tv_sec == before.st_mtim.tv_sec && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec);
    FUZZ_CHECK(zrfuzz::read_file(local) == content);
    FUZZ_CHECK(zrfuzz::count_entries(dir) == 1);
    // The command, then content from its start and nothing else; all of it on success.
    std::string command = "fput dir/file\\ x " + std::to_string(content.size()) + " 7\n";
    FUZZ_CHECK(s.connected);
    FUZZ_CHECK(s.request.compare(0, command.size(), command) == 0);
    std::string sent = s.request.substr(command.size());
    FUZZ_CHECK(sent.size() <= content.size() && content.compare(0, sent.size(), sent) == 0);
    if (r == 0) FUZZ_CHECK(sent == content);
    return 0;
  }

  const std::string before = "what the host file held before\n";
  if (had_file) FUZZ_CHECK(zrfuzz::write_file(local, before));
  zrfuzz::Served s = peer.serve(
      reply, piece, [&] { r = KQ_ZR_fm_xfer(peer.addr(), ZR_FM_GET, "dir/file x", local.c_str(), step, cb, 7); });
  FUZZ_CHECK(r <= 0);
  FUZZ_CHECK(s.connected && s.request == "fget dir/file\\ x 7\n");
  std::string now = zrfuzz::read_file(local);
  size_t lf = reply.find('\n');
  std::string body = lf == std::string::npos ? std::string() : reply.substr(lf + 1);
  if (r == 0) {
    // Exactly the bytes that followed the reply line, as many as were announced.
    FUZZ_CHECK(lf != std::string::npos);
    FUZZ_CHECK(now.size() <= body.size() && body.compare(0, now.size(), now) == 0);
  } else if (had_file) {
    FUZZ_CHECK(now == before);
  } else if (now != "<missing>") {
    // Where nothing was, a failed fetch may leave what came, and only that; a refusal or
    // a cancel leaves nothing.
    FUZZ_CHECK(now.size() <= body.size() && body.compare(0, now.size(), now) == 0);
    FUZZ_CHECK(r != -1013);
  }
  FUZZ_CHECK(zrfuzz::count_entries(dir) == (now == "<missing>" ? 0u : 1u));
  return 0;
}
