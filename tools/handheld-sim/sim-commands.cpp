// sim-commands.cpp -- the command table and what the handlers share.
#include "sim-commands.h"

#include "sim-text.h"

namespace zrsim {

const std::vector<CommandEntry> &command_table() {
  static const std::vector<CommandEntry> table = {
      {"info", handle_info},
      {"stat", handle_stat},
      {"tune", handle_tune},
      {"scrn", handle_scrn},
      // File services (cmd-files.cpp, cmd-xfer.cpp, cmd-osupg.cpp).
      {"dir", handle_dir},
      {"attr", handle_attr},
      {"fdel", handle_fdel},
      {"copy", handle_copy},
      {"move", handle_move},
      {"mkdir", handle_mkdir},
      {"rmdir", handle_rmdir},
      {"fput", handle_fput},
      {"fget", handle_fget},
      {"osupg", handle_osupg},
  };
  return table;
}

Handler find_handler(const std::string &word) {
  for (const CommandEntry &e : command_table())
    if (word == e.word) return e.handler;
  return nullptr;
}

std::string status_line(int status) { return std::to_string(status) + "\n"; }

void log_request(Exchange &ex) {
  if (ex.logged) return;
  ex.logged = true;
  if (ex.state.logging) ex.state.log.write(ex.connection, ex.link.request());
}

int operation_number(const Exchange &ex, size_t expected_args, uint64_t &op) {
  if (ex.args.size() != expected_args) return kStatusBadArguments;
  if (!parse_decimal(ex.args[0], 0xFFFFFFFFull, op)) return kStatusBadArguments;
  return kStatusOk;
}

}  // namespace zrsim
