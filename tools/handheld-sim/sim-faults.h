// sim-faults.h -- the faults the handheld simulator can be told to show, so that the link
// library's handling of slow, broken, truncated and malformed replies can be tested.
#ifndef ZR_SIM_FAULTS_H
#define ZR_SIM_FAULTS_H

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zrsim {

struct FaultPlan {
  uint32_t delay_ms = 0;                // --delay: wait before replying
  bool split = false;                   // --split: one byte per send
  std::optional<uint64_t> close_after;  // --close-after: close after this many reply bytes
  std::optional<int64_t> status;        // --status: the reply is only this status line
  std::optional<std::string> reply;     // --reply: the reply is these bytes
  bool no_final_lf = false;             // --no-final-lf: drop a line feed that ends the reply
  bool silent = false;                  // --silent: never answer
  bool hold = false;                    // --hold: keep the connection open after the reply
  bool reset = false;                   // --reset: end the reply with a reset, not the end of the stream
  uint32_t fail_first = 0;              // --fail-first: close the first N connections at once
  std::set<std::string> commands;       // --fault-cmd: command words the faults apply to
  // File transfers ("fput", "fget"), counted in bytes of file content:
  std::optional<uint64_t> xfer_close;   // --xfer-close: close once this much has passed
  std::optional<uint64_t> xfer_stall;   // --xfer-stall: fall silent once this much has passed
  std::optional<uint64_t> xfer_size;    // --xfer-size: "fget" announces this size
  std::optional<int64_t> final_status;  // --final-status: "fput" ends with this status
  // --refuse WORD:N:STATUS: the Nth request with this command word (counted from 1) is
  // answered with the status line alone and not carried out.  Not limited by --fault-cmd.
  struct Refusal {
    std::string word;
    uint64_t nth = 0;
    int64_t status = 0;
  };
  std::vector<Refusal> refusals;

  // Whether the per-command faults (all but --fail-first) apply to a command word.
  bool applies_to(const std::string &word) const;

  // The bytes to send in place of the handler's reply: --status or --reply replace it,
  // then --no-final-lf and --close-after cut it.
  std::string shape(const std::string &reply) const;
};

}  // namespace zrsim

#endif
