// cmd-osupg.cpp -- "osupg IMAGE NAME": the simulated OS installation.  With a storage folder
// the image must be a file there (1022 when it is missing, 1034 for a folder).  The reply
// is the status line "0" (or "0 V" with --osupg-first V) and then the --osupg script, one
// progress line per step, before the connection closes.  Nothing is installed.
#include <string>
#include <vector>

#include "sim-commands.h"
#include "sim-files.h"
#include "sim-stream.h"

namespace zrsim {

Reply handle_osupg(Exchange &ex) {
  std::vector<std::string> words = split_escaped(ex.text);
  if (words.size() != 3) return status_line(kStatusBadArguments);
  const FilePlan &plan = ex.state.files;
  if (!plan.storage.empty()) {
    Resolved image;
    int status = resolve_path(plan.storage, words[1], image);
    if (status != kStatusOk) return status_line(status);
    if (!image.exists) return status_line(kStatusNotFound);
    if (image.is_dir) return status_line(kStatusWrongKind);
  }
  const FaultPlan &f = ex.state.faults;
  if (f.applies_to(ex.word) && (f.status || f.reply || f.silent)) return status_line(kStatusOk);

  ReplyStream out(ex);
  std::string first = "0";
  if (plan.osupg.first) first += " " + std::to_string(*plan.osupg.first);
  const std::vector<OsupgStep> &steps = plan.osupg.steps;
  if (!out.send(first + "\n", steps.empty())) return std::nullopt;
  for (size_t i = 0; i < steps.size(); ++i) {
    const OsupgStep &step = steps[i];
    switch (step.kind) {
      case OsupgStep::Kind::Stall: out.stall(); return std::nullopt;
      case OsupgStep::Kind::Pause:
        if (!ex.link.pause(step.ms)) return std::nullopt;
        break;
      case OsupgStep::Kind::Line:
        if (!out.send(step.line + "\n", i + 1 == steps.size())) return std::nullopt;
        break;
    }
  }
  out.end();
  return std::nullopt;
}

}  // namespace zrsim
