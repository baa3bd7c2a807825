// cmd-tune.cpp -- "tune 1" reports the handheld's own time-out pair; "tune 2" is followed
// by the lines "rtime=N" and "xtime=N", keeps that pair and reports it.
#include "sim-commands.h"
#include "sim-text.h"

namespace zrsim {

namespace {

constexpr uint64_t kUnchanged = 0xFFFFFFFFull;

// Reads one "key=N" line of the pair.  Returns the status to answer with, or nothing when
// the request cannot be completed.
std::optional<int> read_pair_line(Exchange &ex, std::string &key, uint64_t &value) {
  std::string line;
  switch (ex.link.read_line(line)) {
    case ReadResult::Line: break;
    case ReadResult::TooLong: return kStatusLineTooLong;
    default: return std::nullopt;
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  size_t eq = line.find('=');
  if (eq == std::string::npos) return kStatusBadArguments;
  key = trim_blanks(line.substr(0, eq));
  if (!parse_decimal(trim_blanks(line.substr(eq + 1)), 0xFFFFFFFFull, value)) return kStatusBadArguments;
  return kStatusOk;
}

}  // namespace

Reply handle_tune(Exchange &ex) {
  uint64_t op = 0;
  int status = operation_number(ex, 1, op);
  if (status != kStatusOk) return status_line(status);
  if (op != 1 && op != 2) return status_line(kStatusBadOperation);
  if (op == 2) {
    std::optional<uint64_t> rtime, xtime;
    for (int i = 0; i < 2; ++i) {
      std::string key;
      uint64_t value = 0;
      std::optional<int> got = read_pair_line(ex, key, value);
      if (!got) return std::nullopt;
      if (*got != kStatusOk) return status_line(*got);
      std::optional<uint64_t> &slot = key == "rtime" ? rtime : xtime;
      if ((key != "rtime" && key != "xtime") || slot) return status_line(kStatusBadArguments);
      slot = value;
    }
    if (*rtime != kUnchanged) ex.state.rtime = static_cast<uint32_t>(*rtime);
    if (*xtime != kUnchanged) ex.state.xtime = static_cast<uint32_t>(*xtime);
  }
  return status_line(kStatusOk) + "rtime=" + std::to_string(ex.state.rtime.load()) + "\n" +
         "xtime=" + std::to_string(ex.state.xtime.load()) + "\n";
}

}  // namespace zrsim
