// sim-stream.h -- a reply sent piece by piece (file content, upgrade progress), with the
// fault switches that apply to its command: --delay before the first byte, --split,
// --close-after (counted over the whole reply), --no-final-lf (on the last piece) and
// --hold or --reset at the end.  (--status, --reply and --silent replace the whole exchange; the
// handlers leave those to the server.)
#ifndef ZR_SIM_STREAM_H
#define ZR_SIM_STREAM_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim-commands.h"

namespace zrsim {

class ReplyStream {
 public:
  explicit ReplyStream(Exchange &ex);

  // Whether the per-command faults apply to this exchange.
  bool faulty() const { return faulty_; }

  // Sends one piece (the request is logged before the first).  False once the reply is
  // over: cut by --close-after (the connection is then finished), the client went away or
  // the simulator is stopping.
  bool send(const char *data, size_t len, bool last = false);
  bool send(const std::string &piece, bool last = false) { return send(piece.data(), piece.size(), last); }

  // Ends the reply: keeps the connection open under --hold, resets it under --reset, else
  // finishes it.
  void end();
  // Falls silent: keeps the connection open, sending and taking nothing more, until the
  // client closes it.
  void stall();

 private:
  Exchange &ex_;
  bool faulty_;
  bool started_ = false;
  bool over_ = false;
  uint64_t sent_ = 0;
};

}  // namespace zrsim

#endif
