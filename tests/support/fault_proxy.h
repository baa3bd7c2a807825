// fault_proxy.h -- a stand-in between zrlink (or any client of the link) and the handheld
// simulator that breaks one planned reply: cut, stalled, reset or rewritten at a chosen byte.
//
// The link opens one connection per request and sends its command line first, so the proxy
// can count requests and fault exactly one of them: the Nth connection, or the Nth whose
// command line begins with a given word or text.  It listens on port 10001 of a fresh
// loopback address, forwards each connection to port 10001 of the simulator's address and
// logs every exchange (the request line and the reply as the simulator sent it), so that a
// test can run a command once without a fault, count its requests and then run it again
// with a fault at each of them.
//
//   zrtest::SimProcess sim({"--storage", root});
//   zrtest::FaultProxy proxy(sim.addr());
//   ASSERT_TRUE(proxy.ok()) << proxy.error();
//   proxy.plan(zrtest::Fault::cut("fget", 2, 10));  // the 2nd fget: 10 bytes of its reply, then closed
//   ... run zrlink --addr proxy.addr_text() ...
//   proxy.wait_idle(5000);
//   EXPECT_TRUE(proxy.played());
//
// The proxy runs in threads of the test process (one for the listening socket, one per
// connection); every wait is bounded or ends with stop(), which the destructor calls.
//
// What the simulator sees of a fault: once a cut, a reset or a stall has struck, what the
// client sent before it (the request line at least) still goes on, then the connection is
// shut for sending (the client's later data never arrive) and the rest of the reply is read
// and dropped, so that the handheld has done what it was asked as far as it received it, the
// same way in every run.  A rewritten reply changes nothing else of the exchange.
#ifndef ZR_TEST_FAULT_PROXY_H
#define ZR_TEST_FAULT_PROXY_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zrtest {

// One fault, played on the reply of one connection.  Byte positions count the reply as the
// simulator sends it, from its first byte (the status line's) on.
struct Fault {
  enum class Kind {
    kNone,
    kCut,      // the first `at` bytes reach the client, then the connection closes
    kStall,    // the first `at` bytes, then silence: open until the client closes, hold_ms
               // runs out (then closed) or the proxy stops
    kReset,    // the first `at` bytes, then a reset (RST)
    kReplace,  // the client gets `bytes` instead of the whole reply, then the close
    kRange,    // bytes [at, end) of the reply are replaced by `bytes` (end beyond the
               // reply: up to its end)
    kSize,     // the second number of the first line (the size of an fget reply) is `size`
  };
  Kind kind = Kind::kNone;
  // Which connection: the nth (from 1) of those whose request line matches `request`.  An
  // empty `request` matches every connection; otherwise a line matches when it is `request`
  // or begins with `request` and a space ("fget" matches every fget, "fget /a 0" one).
  std::string request;
  unsigned nth = 1;
  uint64_t at = 0;
  uint64_t end = 0;
  std::string bytes;
  uint64_t size = 0;
  int hold_ms = -1;  // kStall: -1 for no limit

  static Fault cut(const std::string &request, unsigned nth, uint64_t at);
  static Fault stall(const std::string &request, unsigned nth, uint64_t at, int hold_ms = -1);
  static Fault reset(const std::string &request, unsigned nth, uint64_t at);
  static Fault replace(const std::string &request, unsigned nth, const std::string &bytes);
  static Fault range(const std::string &request, unsigned nth, uint64_t at, uint64_t end, const std::string &bytes);
  static Fault lying_size(const std::string &request, unsigned nth, uint64_t size);

  // For messages: "cut after 12 bytes of the 2nd request matching 'fget'".
  std::string text() const;
};

// One connection as the proxy saw it.
struct Exchange {
  std::string request;      // the first line the client sent, with its line feed, as sent
  std::string reply;        // the start of the reply as the simulator sent it (at most kKeptReply bytes)
  uint64_t reply_size = 0;  // the whole reply's size
  bool faulted = false;     // the planned fault was played here
  bool finished = false;    // both ends are closed
};

class FaultProxy {
 public:
  static constexpr size_t kKeptReply = 65536;

  // Listens on port 10001 of a fresh loopback address (another is tried when one is taken)
  // and forwards to port 10001 of `target` (host order).  Failure shows in ok() and error().
  explicit FaultProxy(uint32_t target);
  ~FaultProxy();
  FaultProxy(const FaultProxy &) = delete;
  FaultProxy &operator=(const FaultProxy &) = delete;

  bool ok() const { return ok_; }
  const std::string &error() const { return error_; }
  uint32_t addr() const { return addr_; }  // host order
  std::string addr_text() const;

  // Plans the one fault to play (Kind::kNone: none) and starts counting matches anew.  The
  // log is kept; clear() empties it.
  void plan(const Fault &fault);
  void clear();
  // Whether the planned fault has been played, and on which request line.
  bool played() const;
  std::string played_on() const;

  // The exchanges, in the order their request lines arrived.
  std::vector<Exchange> log() const;
  // The request lines alone, in that order.
  std::vector<std::string> requests() const;
  // Waits until no connection is open (at most wait_ms); false when some still are.
  bool wait_idle(int wait_ms) const;

  // Closes the listening socket and every connection, and waits for the threads.
  void stop();

 private:
  struct Connection {
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void serve();                                         // the listening thread
  void relay(int client);                               // one connection
  size_t begin(const std::string &line, Fault *fault);  // logs a request line: its index
  void record(size_t index, const char *data, size_t n);
  void finish(size_t index);

  bool ok_ = false;
  std::string error_;
  uint32_t addr_ = 0;
  uint32_t target_ = 0;
  int listener_ = -1;
  int stop_pipe_[2] = {-1, -1};  // readable once stop() has begun
  std::thread server_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Fault plan_;
  unsigned matches_ = 0;
  bool played_ = false;
  std::string played_on_;
  std::vector<Exchange> log_;
  size_t log_base_ = 0;  // exchanges cleared away: the next index of log_ is log_base_ + log_.size()
  int open_ = 0;         // connections being served
  std::list<Connection> connections_;
};

// A byte string as a message shows it: printable characters as they are, a line feed as
// \n, other bytes as \xHH.
std::string shown_bytes(const std::string &bytes);

}  // namespace zrtest

#endif
