// cli.h -- zrlink, the command-line tool over the link library.
//
// Every command talks to one handheld, named by --addr (or ZR_ADDR), chosen by its serial
// with --serial (or ZR_SERIAL), or found by discovery when exactly one is attached.
// Failures print what happened, in the user's words and naming the file, on standard error
// and end with a nonzero exit code.
#ifndef ZRLINK_CLI_H
#define ZRLINK_CLI_H

#include "zr-net.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zrcli {

// Exit codes.
enum Exit : int {
  kOk = 0,
  kFailed = 1,       // the handheld or the host refused or failed the operation
  kUsage = 2,        // bad command line
  kNoDevice = 3,     // no handheld found, or the one named does not answer
  kSeveral = 4,      // more than one handheld answers: choose one with --addr or --serial
  kCancelled = 130,  // stopped with Ctrl-C (128 + the signal: SIGTERM 143, SIGHUP 129)
};

struct Options {
  std::string addr_text;          // --addr, or ZR_ADDR; empty: discover
  std::string serial;             // --serial, or ZR_SERIAL: the discovered handheld with this serial
  bool quiet = false;             // -q: no progress display
  bool progress = false;          // --progress: the progress display also when not a terminal
  bool json = false;              // --json (list, info, ls, stat, push, pull)
  bool long_list = false;         // -l (ls)
  double wait_seconds = 30;       // --timeout (wait)
  int jobs = 4;                   // -j N (push, pull): transfers at the same time
  bool keep_going = false;        // --keep-going (push, pull): go on after a failed file
  bool follow_links = false;      // -L (push, sync): send what symbolic links point to
  bool recursive = false;         // -r (rm)
  bool parents = false;           // -p (mkdir)
  bool yes = false;               // -y (osupg): no question
  bool force = false;             // --force (osupg): also when the handheld says it is not ready
  bool foreground = false;        // -f (mount): stay in the foreground
  bool delete_extra = false;      // --delete (sync): remove what the source lacks
  bool dry_run = false;           // --dry-run (sync): print the plan, change nothing
  int scale = 2;                  // --scale N (screen): every screen pixel N x N
  std::string record;             // --record FILE (screen): the recording's file
  double duration = 0;            // --duration S (screen): end after S seconds (0: no end)
  bool no_window = false;         // --no-window (screen): record without a window
  std::vector<std::string> args;  // the command's operands
};

// Statuses of the handheld's file service that the commands act on, as result codes.
enum HandheldStatus : int {
  kNotAllowed = -ZR_S_NOT_ALLOWED,  // refused
  kNoRoom = -ZR_S_NO_ROOM,          // no room for the file
  kNotFound = -ZR_S_NOT_FOUND,      // no such file or folder
  kWrongKind = -ZR_S_FAILED,        // a folder where a file is meant or the other way round, a folder not empty
  kExists = -ZR_S_EXISTS,           // the target exists
  kTooLong = -ZR_S_TOO_LONG,        // path or name too long
};

// ---- result codes (cli-codes.cpp) ---------------------------------------------------
// "ZR_E_CONNECT (-211): the handheld could not be reached", or for a handheld status
// "-1035: the handheld refused the request with status 1035 (already exists)".
std::string describe(int code);
// The explanation of an installation error word (the low 16 bits of a result with bit 15).
std::string describe_install_word(int code);

// ---- what went wrong, in the user's words (cli-explain.cpp) -----------------------------
// Several of the library's own codes share their numbers with handheld statuses (-1021 is a
// full handheld when sending and a failed host write when fetching; -1022 a path the link
// cannot carry or a path the handheld does not know).  The command knows what it was doing,
// so it tells them apart here.
enum class Doing {
  kOther,
  kSend,    // a host file to the handheld
  kFetch,   // a handheld file to the host
  kFileOp,  // an operation on handheld paths (ls, stat, mkdir, rm, mv, cp)
  kRemoveFolder,
  kInstall,  // an OS installation
};
struct Context {
  Doing doing = Doing::kOther;
  std::string remote;     // the handheld path concerned, if any
  std::string local;      // the host file concerned, if any
  int system_error = -1;  // the library's last system error for the failure (-1: KQ_ZR_errno now)
};
// "no space left on the handheld for /docs/a.txt (-1021)", falling back to describe(code).
std::string explain(const Context &context, int code);
// Whether the code means that the handheld could not be reached at all.
bool unreachable(int code);

// ---- session (cli-session.cpp) --------------------------------------------------------
// Starts the library (time-outs of 10 s) and stops it when it goes out of scope.
class Library {
 public:
  Library();
  ~Library();
  bool ok() const { return ok_; }
  Library(const Library &) = delete;
  Library &operator=(const Library &) = delete;

 private:
  bool ok_;
};

// The handheld to talk to: --addr, or the only one that answers the probe.  On failure
// prints why and returns false with the exit code in *exit_code.
bool choose_device(const Options &opt, uint32_t *addr, int *exit_code);

// A started library and the chosen handheld: the frame of every command that talks to one.
//   Session s(opt);
//   if (!s.ok()) return s.exit_code();
//   ... KQ_ZR_...(s.addr(), ...) ...
class Session {
 public:
  explicit Session(const Options &opt);
  bool ok() const { return ok_; }
  int exit_code() const { return exit_code_; }
  uint32_t addr() const { return addr_; }

 private:
  Library lib_;
  uint32_t addr_ = 0;
  int exit_code_ = kOk;
  bool ok_ = false;
};

// The serial a handheld reports (its identification text), or "" when it does not answer.
std::string serial_of(uint32_t addr);

// The user's own folder for what zrlink keeps between runs: $XDG_STATE_HOME/zrlink, or
// ~/.local/state/zrlink, made (0700) when missing.  "" with the reason in *why (may be
// null) when there is none.
std::string user_state_folder(std::string *why);

// ---- discovery (cli-session.cpp) ------------------------------------------------------
// A discovery candidate and the answer to its probe (KQ_ZR_en_ping: 0 a handheld answers,
// ZR_E_END silent, ZR_E_FOREIGN something else answers, or a socket failure).
struct Candidate {
  uint32_t addr;
  unsigned slot;
  int probe;
};
// Every candidate of the library's enumeration, probed all at the same time (each probe in
// a process of its own: a silent candidate costs one probe time in all, not one each), in
// the enumeration's order.  0, or the enumeration's negative result.
int find_candidates(std::vector<Candidate> *found);

// Dotted text of an address in host order.
std::string addr_text(uint32_t addr);

// Ctrl-C, SIGTERM and SIGHUP: installed once; interrupted() turns true after the first of
// them.  While a transfer runs, its connection is registered here, and the signal shuts it
// down so that a handheld that has stopped sending cannot keep the transfer waiting.
void install_interrupt_handler();
bool interrupted();
// 128 + the signal that stopped the command (130 for Ctrl-C).
int cancelled_exit_code();
void set_interrupt_socket(int socket);  // -1: none

// Whether transfers show the progress display (-q, --progress, a terminal).
bool show_progress(const Options &opt);

// Prints "zrlink: WHAT: <explain(context, code)>" and returns the exit code for it (1, 3
// when the handheld cannot be reached, 128 + signal when stopped).
int report(const std::string &what, int code, const Context &context = Context());

// JSON text: a quoted string, and a handheld time as ISO 8601 text (UTC).
std::string json_string(const std::string &s);
std::string iso_time(uint32_t seconds);
// The one object of a handheld file or folder in every JSON output (ls, stat):
// {"path": ..., "name": ..., "folder": true, "size": BYTES, "time": ISO, "timeSeconds": N}
std::string entry_json(const std::string &path, const std::string &name, bool folder, uint64_t size, uint32_t time);

// When no handheld answers: names each adapter with the handheld's USB id that has no 172.16
// address yet, and points at the DHCP service (cli-adapters.cpp; ZR_SYSFS names another
// sysfs root).
void hint_unaddressed_adapters();

// ---- handheld folders (cli-files.cpp) -----------------------------------------------------
struct Entry {
  std::string name;
  zr_attr attr;
};
bool is_folder(const zr_attr &a);
std::string remote_join(const std::string &dir, const std::string &name);
// Whether a listed name names an entry of its folder: not empty, ".", ".." nor holding "/".
bool safe_name(const std::string &name);
// Reads a whole listing; 0 or a negative result code (a listing cut off fails whole, with
// ZR_E_CUT or the transport's code).  A name that is not safe_name (or is longer than zrlink
// reads) is named on standard error ("zrlink: skipping the unsafe name ... listed in PATH")
// and left out; *skipped (may be null) gets how many were.
int list_folder(uint32_t addr, const std::string &path, std::vector<Entry> *out, int *skipped = nullptr);

// ---- transfers of many files (cli-transfers.cpp) -----------------------------------------
struct Transfer {
  std::string from, to;
  uint64_t size;
};
// Runs the transfers in opt.jobs worker processes (each with its own library state) fed
// from one queue in order, with one progress display.  The first failure is reported with
// its file; the transfers still running are then stopped (a fetch leaves nothing partial)
// and no more are started, or with opt.keep_going every file is tried and each failure
// reported.  Ctrl-C stops them all.  A fetch that fails leaves a file that was there
// before as it was and takes a new one away; a fetch whose reply announces another size
// than the Transfer's (the listing's) fails so too.  *created (fetches) gets the host files that
// did not exist before and were fetched whole.  Returns the exit code.
// *outcome (may be null) gets what was copied and what failed, for the command's summary.
struct Outcome {
  std::vector<const Transfer *> copied;
  std::vector<std::pair<const Transfer *, std::string>> failed;  // with why
};
int run_transfers(uint32_t addr, int direction, const std::vector<Transfer> &transfers, const Options &opt,
                  std::vector<std::string> *created, Outcome *outcome = nullptr);

// ---- commands ---------------------------------------------------------------------------
int cmd_list(const Options &opt);  // cli-device.cpp
int cmd_info(const Options &opt);
int cmd_wait(const Options &opt);
int cmd_osupg(const Options &opt);
int cmd_screenshot(const Options &opt);  // cli-screen.cpp
int cmd_screen(const Options &opt);      // cli-screen-live.cpp
int cmd_ls(const Options &opt);          // cli-files.cpp
int cmd_stat(const Options &opt);
int cmd_mkdir(const Options &opt);
int cmd_rmdir(const Options &opt);
int cmd_rm(const Options &opt);
int cmd_mv(const Options &opt);
int cmd_cp(const Options &opt);
int cmd_push(const Options &opt);
int cmd_pull(const Options &opt);
int cmd_mount(const Options &opt);  // cli-mount.cpp
int cmd_sync(const Options &opt);   // cli-sync.cpp

// A command's bad use found by the command itself: prints the message and the running
// command's usage line, and returns kUsage.
int usage_failure(const std::string &message);

// Parses the command line and runs the command; returns the exit code.
int run(int argc, char **argv);

}  // namespace zrcli

#endif
