// cli.h -- zrlink, the command-line tool over the link library.
//
// Every command talks to one handheld, named by --addr (or ZR_ADDR), chosen by its serial
// with --serial (or ZR_SERIAL), or the only one that answers; with --all, to every
// answering handheld at the same time (cli-all.cpp).  The handhelds attached are those of
// the DHCP service's table while the service runs, else those discovery finds.
// Failures print what happened, in the user's words and naming the file, on standard error
// and end with a nonzero exit code.
#ifndef ZRLINK_CLI_H
#define ZRLINK_CLI_H

#include "zr-net.h"

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
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
  int wait_count = 0;             // --count N (wait): until N handhelds answer; 0: one
  bool wait_gone = false;         // --gone (wait): until the chosen handheld has gone
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
  bool all = false;               // --all: the command on every answering handheld at once
  int max_handhelds = 32;         // --max-handhelds N (--all): at most N handhelds at the same time
  std::string sheet;              // --sheet FILE (screenshot --all): the contact sheet
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

// The handheld to talk to: --addr; with --serial the answering handheld with that serial
// (with the service's table, the table's row of that USB serial costs one probe whatever
// the number of handhelds); else the only one that answers.  On failure prints why and
// returns false with the exit code in *exit_code.
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
  // The handheld's record (info 1): 0, or the exit code with the reason printed.
  int info(zr_info *in) const;

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
// The enumeration alone (nothing is sent; every probe ZR_E_END).
int enumerate_candidates(std::vector<Candidate> *found);

// Runs work(0) ... work(n - 1) at the same time (at most 64 at once), each in a child process
// of its own (the library's state is per process), and gives what each returned, in order.  A child that
// could not be started, or that ended without its answer, has its work done here instead.
std::vector<std::string> in_workers(size_t n, const std::function<std::string(size_t)> &work);

// ---- the handhelds attached (cli-table.cpp) ---------------------------------------------
// While the DHCP service runs, its table of adapters (zr-dhcp.exe(8): $ZR_DHCP_RUN_DIR, or
// /run/zr-dhcp) names the handhelds: it is used when the pid file there is locked by a
// running process and the table names that process.  Otherwise (no service, a table left by
// one that ended, or a damaged table) discovery finds them, and the interface and USB port
// are looked up in sysfs ($ZR_SYSFS, or /sys).
struct Handheld {
  uint32_t addr = 0;        // 0: its adapter has no address yet
  int slot = -1;            // its interface's place in discovery's list; -1 when not there
  std::string serial;       // the USB serial from the service's table; "" when unknown
                            // (class_of_handhelds: the serial the handheld reports, when it does)
  std::string name;         // class_of_handhelds: the name the handheld reports
  std::string label;        // class_of_handhelds: what names it in the output of --all
  std::string interface;    // the computer's network interface to it; "" when unknown
  std::string usb_port;     // the USB device's name in sysfs ("1-1.2"); "" when unknown
  int probe = ZR_E_END;     // KQ_ZR_en_ping's answer (0: it answers); ZR_E_END unprobed
  bool from_table = false;  // a row of the service's table
  std::string asked;        // what attached_handhelds' `then` returned for it
};
// Every handheld that answers now, all probed at the same time, with what is known of
// each.  0, or the negative result of a failed discovery.
int answering_handhelds(std::vector<Handheld> *found);
// Every handheld attached, answering or not: the table's adapters that are not gone (those
// with an address probed), or discovery's candidates (all probed).  With `then`, each one
// that answers is also asked by then(addr) in the same worker process as its probe, the
// answer in `asked`.
int attached_handhelds(std::vector<Handheld> *all, const std::function<std::string(uint32_t)> &then = {});
// The rows of the service's table whose USB serial is `serial` and that have an address,
// when the table is current; false (and nothing in *rows) without a current table.
bool table_rows_with_serial(const std::string &serial, std::vector<Handheld> *rows);
// "zrh0, USB port 1-1.2" of what is known, or "".
std::string where(const Handheld &h);
// The answering handheld with the serial: the one the service's table names by its USB
// serial (one probe), else the one that reports it (every answering handheld asked at the
// same time).  1 with *addr; 0 with why not in *why; or the negative result of discovery.
int find_by_serial(const std::string &serial, uint32_t *addr, std::string *why);
// Prints that several handhelds answer, with their addresses and where they are attached,
// and returns kSeveral.
int several_answer(const std::vector<Handheld> &found);

// Dotted text of an address in host order.
std::string addr_text(uint32_t addr);
// The text of a fixed-size member of a record (a name, a serial): up to its first NUL byte,
// all n bytes when it has none.
std::string member_text(const char *p, size_t n);

// Writes all n bytes (again after a signal); false when a write fails (errno tells why).
// Safe in a signal handler.
bool write_all(int fd, const void *data, size_t n);

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
// $ZR_SYSFS, or /sys.
std::string sysfs_root();

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

// ---- worker processes for transfers (cli-transfers.cpp) ---------------------------------
// The library is used from one thread of one process at a time and every connection begins
// with a pause, so transfers overlap in worker processes, each with its own copy of the
// library's state.  The parent hands a worker one Job at a time (a pipe per worker); the
// workers report over one shared pipe in records small enough to arrive whole.
struct Job {
  int32_t id = 0;         // the parent's own number, given back in the reports
  int32_t direction = 0;  // ZR_FM_PUT or ZR_FM_GET
  std::string remote, local;
  uint64_t size = 0;  // a fetch: the listing's size (a reply that announces another fails)
};
// Results of a Job besides the library's: the worker ended in the middle of it, or the
// fetch's reply announced another size than the Job's (the announced size is the report's
// `size`).
const int kWorkerLost = INT32_MIN;
const int kOtherSize = INT32_MIN + 1;
struct Report {
  enum Kind : int32_t { kProgress = 1, kDone = 2 };
  int32_t kind;
  int32_t worker;       // the slot
  int32_t job;          // Job::id
  int32_t result;       // kDone: the library's result, or one of the two above
  int32_t created;      // kDone: a fetch made a host file that was not there before
  int32_t error;        // kDone: the library's last system error after the transfer
  uint64_t done, size;  // bytes so far; the size (a fetch: as the reply announced it)
};
// A fetch leaves a file that was there before as it was when it fails, and takes a new one
// away (also when the reply announced another size than the Job's).
class Workers {
 public:
  explicit Workers(uint32_t addr);
  ~Workers();  // stop(), wait()
  Workers(const Workers &) = delete;
  Workers &operator=(const Workers &) = delete;
  // Starts a worker process in `slot` (size(): one more slot); false when none could start.
  // The worker closes `also_close` (>= 0), and ends with SIGINT when its parent thread ends.
  bool start(size_t slot, int also_close = -1);
  size_t size() const { return slots_.size(); }
  bool alive(size_t slot) const;  // started, not seen ended, its pipe open
  // Hands a Job to an idle worker; false when the worker is gone (its pipe is closed then).
  bool hand(size_t slot, const Job &job);
  int reports() const { return reports_[0]; }  // the read end, for poll
  // Reads one record: 1, 0 when every worker is gone (after seal()), -1.
  int read_report(Report *r);
  // Closes the parent's copy of the reports' write end: no more workers start.
  void seal();
  // Whether the worker in `slot` has ended (looked for with waitpid; its pipe is closed then).
  bool ended(size_t slot);
  void close_jobs(size_t slot);  // the worker ends after its current Job
  void kill_now(size_t slot);    // ends the worker at once (SIGKILL) and waits for it
  void stop();                   // SIGINT to every worker still there (a fetch leaves nothing partial)
  void wait();                   // waits for every worker to end

 private:
  struct Slot {
    pid_t pid = -1;
    int jobs = -1;
    bool ended = false;
  };
  uint32_t addr_;
  int reports_[2] = {-1, -1};
  std::vector<Slot> slots_;
};

// What the command has moved between the host and the handheld, in bytes: every transfer
// that completed and every screen image (the --all summary's figure).
void count_bytes(uint64_t n);
uint64_t bytes_counted();

// Asks on the terminal (standard error, standard input) whether to go on; true for "y"
// or "yes" (cli-device.cpp).
bool confirmed(const std::string &question);

// ---- every handheld at once (cli-all.cpp) -------------------------------------------------
// The handhelds that answer now (those zrlink list shows answering), each with its name,
// the serial it reports and its label in the output of --all: the serial, or its address
// where the serial is missing, shared with another handheld or not fit to be a folder
// name.  0 or the enumeration's negative result.
int class_of_handhelds(std::vector<Handheld> *out);
// class_of_handhelds, or, when none answers, says so (with a hint at adapters without an
// address) and gives the exit code (3, or report()'s for a failed discovery); 0 otherwise.
int find_class(std::vector<Handheld> *handhelds);
// Whether `command` can run with --all.
bool runs_on_all(const std::string &command);
// Runs the command on every answering handheld, each in a child process of its own (at
// most opt.max_handhelds at the same time), its output lines prefixed with the label; local
// destinations are placed per handheld (see zrlink(1)); ends with the summary (or the
// JSON object).  0 when every handheld succeeded, 1 otherwise, 3 when none answers.
// `json_output`: whether the command itself writes JSON with --json.
int run_on_all(const std::string &command, int (*run)(const Options &), bool json_output, const Options &opt);
// A command run for one handheld in a child process of its own, forked with the library not
// started (the child starts it; opt.addr_text names the handheld): its standard input is
// stdin_file ("" : /dev/null), its standard output and error go to the pipes read at `out`
// and `err`, and at its end it writes its count of bytes moved (8 bytes) to `result` and
// exits with the command's exit code.  A parent that ends abruptly stops the child as Ctrl-C
// would.  false with the reason in *why when it cannot be started.
struct Child {
  pid_t pid = -1;
  int out = -1, err = -1, result = -1;  // the parent's ends of the pipes (close-on-exec)
};
bool start_child(int (*command)(const Options &), const Options &opt, const std::string &stdin_file, Child *child,
                 std::string *why);
// Writes the complete lines of `buffer` to `to` with "LABEL: " in front and takes them out
// of it; with `last`, the rest too.
void emit_lines(std::string &buffer, const std::string &label, FILE *to, bool last);
// "{serial}", "{name}" and "{addr}" in text replaced by the handheld's label, name (or
// label when it has none fit for a file name) and address.
std::string expand_placeholders(const std::string &text, const Handheld &h);

// ---- the contact sheet (cli-sheet.cpp) -------------------------------------------------------
// One cell of the sheet: a PNG picture ("" or unreadable: an empty cell saying so) and
// the label written under it.
struct SheetCell {
  std::string picture;
  std::string label;
};
// The sheet's grid: ceil(sqrt(n)) columns, as many rows as needed; each cell is the
// largest picture (320 x 240 when there is none) with kSheetMargin pixels around it and a
// band of kSheetBand pixels below it for the label.
const int kSheetMargin = 8;
const int kSheetBand = 24;
void sheet_grid(size_t cells, int *columns, int *rows);
// Writes the sheet as a PNG beside `path` and puts it in place when whole; false with the
// reason in *why.
bool write_sheet(const std::string &path, const std::vector<SheetCell> &cells, std::string *why);

// ---- streams (cli-streams.cpp) --------------------------------------------------------------
// Standard input read whole into a private temporary file (its size must be known before
// a transfer starts), removed with the object.
class StdinCopy {
 public:
  StdinCopy();
  ~StdinCopy();
  bool ok() const { return !path_.empty(); }
  const std::string &path() const { return path_; }  // ".../stdin"
  const std::string &why() const { return why_; }
  StdinCopy(const StdinCopy &) = delete;
  StdinCopy &operator=(const StdinCopy &) = delete;

 private:
  std::string folder_, path_, why_;
};
// The handheld files, in order, to standard output: each is fetched whole into a private
// temporary folder first, and nothing is written unless every one arrived.
int files_to_stdout(uint32_t addr, const std::vector<std::string> &remotes, const Options &opt);

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
int cmd_cat(const Options &opt);    // cli-streams.cpp

// A command's bad use found by the command itself: prints the message and the running
// command's usage line, and returns kUsage.
int usage_failure(const std::string &message);

// Parses the command line and runs the command; returns the exit code.
int run(int argc, char **argv);

}  // namespace zrcli

#endif
