// sim-link.h -- one accepted connection: bounded line reading and reply writing, every
// wait bounded by the handheld's time-out pair and cut short by a stop request.
#ifndef ZR_SIM_LINK_H
#define ZR_SIM_LINK_H

#include <cstddef>
#include <string>

#include "sim-state.h"

namespace zrsim {

// Longest request line accepted, line feed not counted.
constexpr size_t kMaxLineBytes = 4096;

enum class ReadResult {
  Line,      // a whole line, line feed included
  TooLong,   // no line feed within kMaxLineBytes + 1 bytes
  Closed,    // the client closed before the line ended
  TimedOut,  // no line within the receive wait (rtime)
  Stopped,   // the simulator is stopping
  Failed,    // the receive failed
};

class Link {
 public:
  Link(int fd, SimState &state);
  ~Link();
  Link(const Link &) = delete;
  Link &operator=(const Link &) = delete;

  // Reads one line (line feed included) into `line`.  The bytes taken are added to
  // request(); bytes received beyond the line stay buffered for the next read.
  ReadResult read_line(std::string &line);

  // Takes up to `len` bytes of data that follow the request lines (bytes already received
  // first), waiting at most the receive wait (rtime).  Returns the count, or 0 with `why`
  // telling what ended the wait (Closed, TimedOut, Stopped or Failed).  Data is not part of
  // request().
  size_t read_data(char *buf, size_t len, ReadResult &why);

  // Every byte taken by read_line since the connection opened: the request as received.
  const std::string &request() const { return request_; }

  // Sends all bytes, one byte per send when `split` is set.  False when the client went
  // away, the send wait (xtime) passed or the simulator is stopping.
  bool write_all(const std::string &bytes, bool split) { return write_all(bytes.data(), bytes.size(), split); }
  bool write_all(const char *bytes, size_t size, bool split);

  // Waits `ms` milliseconds; false if the simulator started stopping meanwhile.
  bool pause(uint32_t ms);

  // Ends the reply: sends the end of the stream, then takes and drops what the client still
  // sends until it closes (at most about a second), so that unread request bytes never turn
  // the close into a reset that could destroy the reply before the client has read it.
  void finish();

  // Ends the connection at once with a reset (an abortive close: SO_LINGER with no time).
  void reset();

  // Keeps the connection open, dropping whatever arrives, until the client closes it or
  // the simulator stops.
  void wait_for_client_close();

  // Keeps the connection open without reading anything more (what the client sends piles
  // up unread) until the client closes it or the simulator stops.
  void hang();

 private:
  enum class Wait { Ready, TimedOut, Stopped, Failed };
  Wait wait_for(short events, int timeout_ms);
  long receive(char *buf, size_t len);  // counts traffic; -1 failure, 0 closed

  int fd_;
  SimState &state_;
  std::string pending_;  // received but not yet taken
  std::string request_;
};

}  // namespace zrsim

#endif
