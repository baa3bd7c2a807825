// sim-commands.h -- the commands the simulated handheld answers: one handler per command
// word, found through a table.
#ifndef ZR_SIM_COMMANDS_H
#define ZR_SIM_COMMANDS_H

#include <optional>
#include <string>
#include <vector>

#include "sim-link.h"
#include "sim-state.h"

namespace zrsim {

// Statuses of the simulated handheld (the first line of every reply).
constexpr int kStatusOk = 0;
constexpr int kStatusUnknownCommand = 1;
constexpr int kStatusBadOperation = 2;  // operation number the command does not support
constexpr int kStatusBadArguments = 3;  // missing, extra or malformed arguments or lines
constexpr int kStatusLineTooLong = 4;   // request line beyond kMaxLineBytes

// One request being served.
struct Exchange {
  std::string word;               // the command word
  std::vector<std::string> args;  // the words after it
  Link &link;                     // for commands that read further lines from the client
  SimState &state;
  std::string text;         // the request line without its line end
  uint64_t connection = 0;  // the connection's number in the request log
  bool logged = false;      // the request is in the log already
};

// Writes the request to the log (once).  Handlers that send their reply themselves call it
// before the first byte goes out; for the others the server does.
void log_request(Exchange &ex);

// A handler returns the whole reply, or nothing when the client went away (or the
// simulator is stopping) before the request was complete.
using Reply = std::optional<std::string>;
using Handler = Reply (*)(Exchange &);

struct CommandEntry {
  const char *word;
  Handler handler;
};

// The command table; lookup gives null for a word it does not hold.
const std::vector<CommandEntry> &command_table();
Handler find_handler(const std::string &word);

// Reply helpers.
std::string status_line(int status);  // "N\n"

// Parses the operation number argument: kStatusOk, or the status to answer with.
int operation_number(const Exchange &ex, size_t expected_args, uint64_t &op);

Reply handle_info(Exchange &ex);
Reply handle_stat(Exchange &ex);
Reply handle_tune(Exchange &ex);
Reply handle_scrn(Exchange &ex);

// File services (a handler that streams its reply sends it itself and returns nothing).
Reply handle_dir(Exchange &ex);
Reply handle_attr(Exchange &ex);
Reply handle_fdel(Exchange &ex);
Reply handle_copy(Exchange &ex);
Reply handle_move(Exchange &ex);
Reply handle_mkdir(Exchange &ex);
Reply handle_rmdir(Exchange &ex);
Reply handle_fput(Exchange &ex);
Reply handle_fget(Exchange &ex);
Reply handle_osupg(Exchange &ex);

}  // namespace zrsim

#endif
