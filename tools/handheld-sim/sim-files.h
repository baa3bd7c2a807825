// sim-files.h -- the simulated handheld's file system: a folder of the host stands for the
// handheld's storage, and every handheld path is resolved inside it (no path may leave it);
// the scripted progress of an OS upgrade; and the command-line switches of both.
#ifndef ZR_SIM_FILES_H
#define ZR_SIM_FILES_H

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim-faults.h"

namespace zrsim {

// Statuses of the file services (beside those in sim-commands.h).
constexpr int kStatusNotAllowed = 1001;  // no storage; the top folder itself; a link; the host refused
constexpr int kStatusNoRoom = 1021;      // more than the storage has available; the host disk is full
constexpr int kStatusNotFound = 1022;    // no such path; a bad path (".." above the top, a bad name)
constexpr int kStatusWrongKind = 1034;   // folder not empty; a folder where a file is needed or the
                                         // other way round; a folder moved into itself
constexpr int kStatusExists = 1035;      // the target exists
constexpr int kStatusTooLong = 1036;     // a path beyond kMaxPathBytes or a name beyond kMaxNameBytes

constexpr size_t kMaxPathBytes = 1024;
constexpr size_t kMaxNameBytes = 255;

// Entries whose names start with this are the simulator's own unfinished files: they are
// never listed and cannot be named.
constexpr const char *kPartPrefix = ".zr-sim-";

// One step of the scripted OS upgrade.
struct OsupgStep {
  enum class Kind { Line, Pause, Stall };
  Kind kind = Kind::Line;
  std::string line;  // Line: the text sent (a line feed follows)
  uint32_t ms = 0;   // Pause: how long
};

struct OsupgScript {
  std::optional<int64_t> first;  // a progress value on the status line
  std::vector<OsupgStep> steps;
};

// Parses an --osupg script (see the --help text).  False with a message.
bool parse_osupg_script(const std::string &text, OsupgScript &script, std::string &error);

// What the file-service switches set.
struct FilePlan {
  std::string storage;  // the storage folder, as a real path; empty: no file system
  OsupgScript osupg;    // the progress the "osupg" command plays
  uint64_t rate = 0;    // --rate: bytes of file content a fget sends per second (0: no limit)
  FilePlan();           // the default script
};

// Whether `name` is one of the file-service switches, which parse_file_option takes.
bool is_file_option(const std::string &name);
bool parse_file_option(const std::string &name, const std::string &value, FilePlan &plan, FaultPlan &faults,
                       std::string &error);

// The words of a file-service request line, split at spaces; inside a word "\ " stands
// for a space and "\\" for a backslash (how the link escapes paths).  Tabs belong to words.
std::vector<std::string> split_escaped(const std::string &text);

// A handheld path resolved inside the storage folder.
struct Resolved {
  std::string host;                // the host path
  std::vector<std::string> parts;  // the names below the top folder (none: the top folder)
  bool exists = false;
  bool is_dir = false;
  struct stat st {};
};

// Resolves `path` ("/" separates names; "." and empty names are skipped; ".." goes up but
// never above the top).  Every folder on the way must exist, and no name on the way (the
// last one included) may be a link.  Returns kStatusOk (0), or the status to answer with.
int resolve_path(const std::string &storage, const std::string &path, Resolved &out);

// The status for a failed host call's errno.
int status_of_errno(int e);

// Attribute lines of an entry: size, time, type (0 file, 1 folder) and bits (permissions).
std::string attribute_lines(const struct stat &st);

}  // namespace zrsim

#endif
