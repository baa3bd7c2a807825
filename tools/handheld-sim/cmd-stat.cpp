// cmd-stat.cpp -- "stat 1" / "stat 3": the handheld's traffic counters (3 resets them first).
#include "sim-commands.h"

namespace zrsim {

Reply handle_stat(Exchange &ex) {
  uint64_t op = 0;
  int status = operation_number(ex, 1, op);
  if (status != kStatusOk) return status_line(status);
  if (op != 1 && op != 3) return status_line(kStatusBadOperation);
  Traffic &t = ex.state.traffic;
  if (op == 3) t.reset();
  return status_line(kStatusOk) + "xpay0=" + std::to_string(t.bytes_sent.load()) + "\n" +
         "xpay1=" + std::to_string(t.sends.load()) + "\n" + "rpay0=" + std::to_string(t.bytes_received.load()) + "\n" +
         "rpay1=" + std::to_string(t.receives.load()) + "\n";
}

}  // namespace zrsim
