// sim-options.h -- the handheld simulator's command line.
#ifndef ZR_SIM_OPTIONS_H
#define ZR_SIM_OPTIONS_H

#include <cstdint>
#include <string>

#include "sim-faults.h"
#include "sim-files.h"
#include "sim-probe.h"
#include "sim-profile.h"

namespace zrsim {

// Exit codes of the simulator.
constexpr int kExitStopped = 0;     // stopped by SIGTERM or SIGINT
constexpr int kExitFailure = 1;     // failure while running
constexpr int kExitBadOption = 2;   // bad command line, profile or log file
constexpr int kExitCannotBind = 3;  // the listening address or port cannot be taken

struct Options {
  std::string addr_text = "127.0.0.1";
  uint32_t addr = 0x7F000001u;  // host order
  uint16_t port = 10001;
  std::string log_path;         // empty: no request log
  bool screen_animate = false;  // --screen-animate: each screen request gets the next image
  Profile profile;              // defaults, then --profile, then --set in their order
  FaultPlan faults;
  FilePlan files;   // --storage, --osupg, --osupg-first
  ProbePlan probe;  // the answer to the liveness probe
};

enum class ParseOutcome { Run, Help, Error };

// Parses argv into `options`.  On Error `error` holds a one-line message.  The profile is
// read here too, but not finished (Profile::finish needs the listening address).
ParseOutcome parse_options(int argc, char **argv, Options &options, std::string &error);

// The --help text.
std::string usage_text();

}  // namespace zrsim

#endif
