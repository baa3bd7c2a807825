// cmd-info.cpp -- "info 1": the handheld's info record.
#include "sim-commands.h"

namespace zrsim {

Reply handle_info(Exchange &ex) {
  uint64_t op = 0;
  int status = operation_number(ex, 1, op);
  if (status != kStatusOk) return status_line(status);
  if (op != 1) return status_line(kStatusBadOperation);
  return status_line(kStatusOk) + ex.state.profile.info_lines();
}

}  // namespace zrsim
