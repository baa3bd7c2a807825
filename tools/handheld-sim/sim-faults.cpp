// sim-faults.cpp -- shaping of replies under fault injection.
#include "sim-faults.h"

namespace zrsim {

bool FaultPlan::applies_to(const std::string &word) const { return commands.empty() || commands.count(word) != 0; }

std::string FaultPlan::shape(const std::string &handler_reply) const {
  std::string out = handler_reply;
  if (reply)
    out = *reply;
  else if (status)
    out = std::to_string(*status) + "\n";
  if (no_final_lf && !out.empty() && out.back() == '\n') out.pop_back();
  if (close_after && out.size() > *close_after) out.resize(static_cast<size_t>(*close_after));
  return out;
}

}  // namespace zrsim
