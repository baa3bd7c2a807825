// sim-commands.cpp -- the command table and what the handlers share.
#include "sim-commands.h"

#include "sim-text.h"

namespace zrsim {

const std::vector<CommandEntry> &command_table() {
  // File services (dir, attr, fdel, copy, move, mkdir, rmdir, fput, fget, osupg) join here
  // as the simulated file system grows.
  static const std::vector<CommandEntry> table = {
      {"info", handle_info},
      {"stat", handle_stat},
      {"tune", handle_tune},
      {"scrn", handle_scrn},
  };
  return table;
}

Handler find_handler(const std::string &word) {
  for (const CommandEntry &e : command_table())
    if (word == e.word) return e.handler;
  return nullptr;
}

std::string status_line(int status) { return std::to_string(status) + "\n"; }

int operation_number(const Exchange &ex, size_t expected_args, uint64_t &op) {
  if (ex.args.size() != expected_args) return kStatusBadArguments;
  if (!parse_decimal(ex.args[0], 0xFFFFFFFFull, op)) return kStatusBadArguments;
  return kStatusOk;
}

}  // namespace zrsim
