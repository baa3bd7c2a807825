// sim_client.h -- plain-socket client and process helpers for the simulator's own tests.
#ifndef ZR_SIM_TEST_CLIENT_H
#define ZR_SIM_TEST_CLIENT_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace simtest {

// A connected TCP socket to addr:port (host order), or -1.
int connect_to(uint32_t addr, uint16_t port);

struct RawReply {
  std::string bytes;    // everything received
  bool closed = false;  // the simulator closed the connection (end of stream or reset)
  bool reset = false;   // ... by a reset
};

// Reads until the peer closes or `timeout_ms` passes without the close.
RawReply read_reply(int fd, int timeout_ms);

// Connects, sends `request`, reads the reply until the close (at most `timeout_ms`) and
// closes.  A failed connect gives an empty reply with closed = false.
RawReply exchange(uint32_t addr, uint16_t port, const std::string &request, int timeout_ms = 3000);

// "key=value" lines after the status line, in order; the status line is returned apart.
struct FieldReply {
  std::string status_line;  // without its line feed
  std::vector<std::pair<std::string, std::string>> fields;
  std::map<std::string, std::string> by_key;
};
FieldReply parse_fields(const std::string &bytes);

// Runs a program to its end (at most `timeout_ms`, then it is killed) and returns its exit
// code (-1 when killed) with what it wrote.
struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};
RunResult run_program(const std::vector<std::string> &argv, int timeout_ms = 5000);

}  // namespace simtest

#endif
