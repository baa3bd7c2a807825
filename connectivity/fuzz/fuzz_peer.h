// fuzz_peer.h -- a scripted handheld on loopback for the fuzz targets of the reply readers.
//
// The peer listens on port 10001 of a loopback address of its own (127.x.y.z, never in
// 127.0.0.0/16).  For each library call it serves at most one connection: it sends the
// scripted reply (in pieces when asked), ends its side of the connection, and takes
// whatever the library sends until the library closes.  Nothing it does can make the
// library wait: every reply ends, so a call returns as soon as it has read what came.
#ifndef ZR_FUZZ_PEER_H
#define ZR_FUZZ_PEER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace zrfuzz {

struct Served {
  bool connected = false;  // the library opened a connection
  std::string request;     // what the library sent (at most the first 64 KiB)
};

class Peer {
 public:
  // The one peer of the process; the first call also starts the link library (short
  // time-outs, no pause before automatic ports).
  static Peer &get();

  uint32_t addr() const { return addr_; }

  // Runs `call` (the library call) while serving one connection with `reply`, sent in
  // pieces of `piece` bytes each (0: all at once).  Afterwards checks that the call left
  // no descriptor open.
  Served serve(const std::string &reply, size_t piece, const std::function<void()> &call);

 private:
  Peer();
  uint32_t addr_ = 0;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  int lowest_free_fd_ = -1;
};

// The lowest descriptor number the system would hand out next.
int lowest_free_fd();

}  // namespace zrfuzz

#endif
