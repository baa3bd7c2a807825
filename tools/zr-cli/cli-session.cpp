// cli-session.cpp -- starting the library, choosing the handheld, signals, the command line.
#include "cli.h"
#include "zr-net.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace zrcli {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
volatile std::sig_atomic_t g_socket = -1;

// The most worker processes in_workers runs at a time.
constexpr size_t kMaxWorkers = 64;

extern "C" void on_interrupt(int signal) {
  if (!g_interrupted) g_interrupted = signal;
  int s = g_socket;
  if (s >= 0) shutdown(s, SHUT_RDWR);  // async-signal-safe; the library then sees the end
}

}  // namespace

std::vector<std::string> in_workers(size_t n, const std::function<std::string(size_t)> &work) {
  // A class of any size, a bounded number of processes at a time.
  if (n > kMaxWorkers) {
    std::vector<std::string> all;
    for (size_t from = 0; from < n; from += kMaxWorkers) {
      std::vector<std::string> part =
          in_workers(std::min(kMaxWorkers, n - from), [&](size_t i) { return work(from + i); });
      all.insert(all.end(), part.begin(), part.end());
    }
    return all;
  }
  struct Worker {
    pid_t pid = -1;
    int fd = -1;
    std::string got;
  };
  std::vector<Worker> workers(n);
  std::fflush(nullptr);
  for (size_t i = 0; i < n; ++i) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) continue;
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      // The answer behind a mark, so that an empty answer is told from none.
      const std::string answer = "=" + work(i);
      _exit(write_all(fds[1], answer.data(), answer.size()) ? 0 : 1);
    }
    close(fds[1]);
    if (pid < 0) {
      close(fds[0]);
      continue;
    }
    workers[i].pid = pid;
    workers[i].fd = fds[0];
  }
  // Every answer read as it comes (one may be larger than a pipe holds).
  for (;;) {
    std::vector<pollfd> open_fds;
    std::vector<size_t> of;
    for (size_t i = 0; i < n; ++i)
      if (workers[i].fd >= 0) {
        open_fds.push_back({workers[i].fd, POLLIN, 0});
        of.push_back(i);
      }
    if (open_fds.empty()) break;
    if (poll(open_fds.data(), open_fds.size(), -1) < 0 && errno != EINTR) break;
    for (size_t k = 0; k < open_fds.size(); ++k) {
      if (!open_fds[k].revents) continue;
      Worker &w = workers[of[k]];
      char buf[4096];
      ssize_t got = read(w.fd, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got > 0) {
        w.got.append(buf, static_cast<size_t>(got));
        continue;
      }
      close(w.fd);
      w.fd = -1;
    }
  }
  std::vector<std::string> answers(n);
  for (size_t i = 0; i < n; ++i) {
    Worker &w = workers[i];
    if (w.fd >= 0) close(w.fd);
    if (w.pid > 0)
      while (waitpid(w.pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    if (!w.got.empty() && w.got[0] == '=')
      answers[i] = w.got.substr(1);
    else if (!interrupted())
      answers[i] = work(i);
  }
  return answers;
}

int enumerate_candidates(std::vector<Candidate> *found) {
  int h = KQ_ZR_en_init();
  if (h < 0) return h;
  zr_enum_rec rec;
  int r;
  while ((r = KQ_ZR_en_next(h, &rec)) == 0) found->push_back({rec.addr, rec.slot, ZR_E_END});
  KQ_ZR_en_done(h);
  return r == ZR_E_END ? 0 : r;
}

int find_candidates(std::vector<Candidate> *found) {
  int r = enumerate_candidates(found);
  std::vector<std::string> probes = in_workers(found->size(), [&](size_t i) {
    int32_t p = KQ_ZR_en_ping((*found)[i].addr);
    return std::string(reinterpret_cast<const char *>(&p), sizeof p);
  });
  for (size_t i = 0; i < found->size(); ++i) {
    int32_t p = ZR_E_END;
    if (probes[i].size() == sizeof p) std::memcpy(&p, probes[i].data(), sizeof p);
    (*found)[i].probe = p;
  }
  return r;
}

Library::Library() : ok_(KQ_ZR_1b_init() == 0) {
  zr_tune tune{10000, 10000};
  if (ok_) KQ_ZR_sl_tune(2, &tune);
}

Library::~Library() {
  if (ok_) KQ_ZR_1b_done();
}

bool write_all(int fd, const void *data, size_t n) {
  const char *p = static_cast<const char *>(data);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::string addr_text(uint32_t a) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255u, (a >> 8) & 255u, a & 255u);
  return buf;
}

std::string member_text(const char *p, size_t n) {
  size_t len = 0;
  while (len < n && p[len]) ++len;
  return std::string(p, len);
}

void install_interrupt_handler() {
  struct sigaction sa {};
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &sa, nullptr);
}

bool interrupted() { return g_interrupted != 0; }

namespace {
uint64_t g_bytes = 0;
}

void count_bytes(uint64_t n) { g_bytes += n; }
uint64_t bytes_counted() { return g_bytes; }

int cancelled_exit_code() { return g_interrupted ? 128 + g_interrupted : kCancelled; }

void set_interrupt_socket(int socket) {
  g_socket = socket;
  if (socket >= 0 && g_interrupted) shutdown(socket, SHUT_RDWR);
}

bool show_progress(const Options &opt) { return !opt.quiet && (opt.progress || isatty(STDERR_FILENO)); }

int report(const std::string &what, int code, const Context &context) {
  if (interrupted()) {
    std::fprintf(stderr, "zrlink: %s: stopped\n", what.c_str());
    return cancelled_exit_code();
  }
  std::fprintf(stderr, "zrlink: %s: %s\n", what.c_str(), explain(context, code).c_str());
  return unreachable(code) ? kNoDevice : kFailed;
}

Session::Session(const Options &opt) {
  if (!lib_.ok())
    exit_code_ = report("starting the socket layer", ZR_E_SOCKET);
  else
    ok_ = choose_device(opt, &addr_, &exit_code_);
}

int Session::info(zr_info *in) const {
  int r = KQ_ZR_sr_info(addr_, 1, in);
  return r < 0 ? report("info", r) : kOk;
}

std::string serial_of(uint32_t addr) {
  zr_info in;
  if (KQ_ZR_sr_info(addr, 1, &in) < 0) return "";
  size_t n = 0;
  while (n < sizeof in.eid && in.eid[n]) ++n;
  return std::string(in.eid, n);
}

std::string user_state_folder(std::string *why) {
  const char *state = std::getenv("XDG_STATE_HOME");
  const char *home = std::getenv("HOME");
  std::string base;
  if (state && *state == '/')
    base = state;
  else if (home && *home == '/')
    base = std::string(home) + "/.local/state";
  else {
    if (why) *why = "neither XDG_STATE_HOME nor HOME names a folder";
    return "";
  }
  // Each step made in turn, as mkdir -p does; only the last is private to the user.
  std::string path = base + "/zrlink";
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    std::string part = path.substr(0, end);
    if (mkdir(part.c_str(), end == std::string::npos ? 0700 : 0755) != 0 && errno != EEXIST) {
      if (why) *why = part + ": " + std::strerror(errno);
      return "";
    }
    if (end == std::string::npos) break;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (why) *why = path + ": not a folder";
    return "";
  }
  return path;
}

bool choose_device(const Options &opt, uint32_t *addr, int *exit_code) {
  if (!opt.addr_text.empty()) {
    int n = zr_p_addr(addr, opt.addr_text.c_str());
    if (n == 0 || opt.addr_text[static_cast<size_t>(n)] != '\0') {
      std::fprintf(stderr, "zrlink: not an address: %s\n", opt.addr_text.c_str());
      *exit_code = kUsage;
      return false;
    }
    return true;
  }
  if (!opt.serial.empty()) {
    std::string why;
    int r = find_by_serial(opt.serial, addr, &why);
    if (r < 0) {
      *exit_code = report("discovery", r);
      return false;
    }
    if (r == 1) return true;
    std::fprintf(stderr, "zrlink: %s (zrlink list shows them)\n", why.c_str());
    *exit_code = kNoDevice;
    return false;
  }
  std::vector<Handheld> found;
  int r = answering_handhelds(&found);
  if (r < 0) {
    *exit_code = report("discovery", r);
    return false;
  }
  if (found.size() == 1) {
    *addr = found[0].addr;
    return true;
  }
  if (found.empty()) {
    std::fprintf(stderr, "zrlink: no handheld answers (attach one, or name it with --addr)\n");
    *exit_code = kNoDevice;
  } else {
    *exit_code = several_answer(found);
  }
  return false;
}

int several_answer(const std::vector<Handheld> &found) {
  std::fprintf(stderr, "zrlink: %zu handhelds answer; choose one with --addr or --serial:\n", found.size());
  for (const auto &h : found)
    std::fprintf(stderr, "  %s%s\n", addr_text(h.addr).c_str(), where(h).empty() ? "" : ("  " + where(h)).c_str());
  return kSeveral;
}

// ---- the command line ------------------------------------------------------------------

namespace {

// Options that only some commands take.
enum CommandOption : unsigned {
  kOptJson = 1u << 0,         // --json
  kOptLong = 1u << 1,         // -l
  kOptJobs = 1u << 2,         // -j N, --jobs N
  kOptKeepGoing = 1u << 3,    // --keep-going
  kOptTimeout = 1u << 4,      // --timeout S
  kOptLinks = 1u << 5,        // -L
  kOptRecursive = 1u << 6,    // -r
  kOptParents = 1u << 7,      // -p
  kOptYes = 1u << 8,          // -y, --yes
  kOptForce = 1u << 9,        // --force
  kOptForeground = 1u << 10,  // -f
  kOptDelete = 1u << 11,      // --delete
  kOptDryRun = 1u << 12,      // --dry-run, -n
  kOptSheet = 1u << 13,       // --sheet FILE
  kOptCount = 1u << 14,       // --count N
  kOptGone = 1u << 15,        // --gone
  kOptScale = 1u << 16,       // --scale N
  kOptRecord = 1u << 17,      // --record FILE
  kOptDuration = 1u << 18,    // --duration S
  kOptNoWindow = 1u << 19,    // --no-window
};

// The most handhelds wait --count waits for (as many as the service has networks).
const int kMaxCount = 16384;

// The most transfers at the same time that -j takes.
const int kMaxJobs = 64;
// The most handhelds at the same time that --max-handhelds takes.
const int kMaxHandhelds = 1024;

// Each command with the number of operands it takes (max -1: any number), its usage line,
// the options of its own it takes and what it does (for help).
struct Command {
  const char *name;
  int (*run)(const Options &);
  int min, max;
  const char *usage;
  unsigned options = 0;
  const char *about = "";
};

const Command kCommands[] = {
    {"list", cmd_list, 0, 0, "list [--json]", kOptJson,
     "the attached handhelds: address, slot, state, name and serial"},
    {"info", cmd_info, 0, 0, "info [--json]", kOptJson,
     "the handheld's identity, storage, memory, battery, versions and screen"},
    {"ls", cmd_ls, 0, 1, "ls [-l] [--json] [PATH]", kOptJson | kOptLong, "a folder of the handheld (default /)"},
    {"stat", cmd_stat, 1, -1, "stat [--json] PATH...", kOptJson, "attributes of handheld paths"},
    {"mkdir", cmd_mkdir, 1, 1, "mkdir [-p] PATH", kOptParents,
     "make a handheld folder (-p: with the folders on the way, and no error if it exists)"},
    {"rmdir", cmd_rmdir, 1, 1, "rmdir PATH", 0, "remove an empty handheld folder"},
    {"rm", cmd_rm, 1, 1, "rm [-r] PATH", kOptRecursive,
     "remove a handheld file (-r: or a folder with everything in it)"},
    {"mv", cmd_mv, 2, 2, "mv FROM TO", 0, "move or rename on the handheld"},
    {"cp", cmd_cp, 2, 2, "cp FROM TO", 0, "copy on the handheld"},
    {"push", cmd_push, 2, -1, "push [-j N] [-L] [--keep-going] [--json] LOCAL... REMOTE  (LOCAL -: standard input)",
     kOptJobs | kOptLinks | kOptKeepGoing | kOptJson,
     "send files and folders (recursive) to the handheld; REMOTE ending in / is a folder that\n"
     "must exist; -L sends what symbolic links in folders point to (default: skipped)"},
    {"pull", cmd_pull, 1, -1, "pull [-j N] [--keep-going] [--json] REMOTE... [LOCAL | -]",
     kOptJobs | kOptKeepGoing | kOptJson,
     "fetch files and folders (recursive) from the handheld (default LOCAL: the current folder;\n"
     "-: the files to standard output, as cat)"},
    {"mount", cmd_mount, 1, 1, "mount [-f] [-j N] MOUNTPOINT", kOptForeground | kOptJobs,
     "the handheld's storage as a folder (FUSE; -f: in the foreground; fusermount3 -u ends it)"},
    {"sync", cmd_sync, 2, 2, "sync [--delete] [--dry-run] [-L] [-j N] [--keep-going] SRC DST",
     kOptDelete | kOptDryRun | kOptLinks | kOptJobs | kOptKeepGoing,
     "copy only what changed, either way; the handheld's side is written :PATH (--delete:\n"
     "remove what SRC lacks; --dry-run: print the plan; -L: follow symbolic links in SRC)"},
    {"cat", cmd_cat, 1, -1, "cat REMOTE...", 0,
     "handheld files to standard output, one after the other (nothing unless all arrive whole)"},
    {"screenshot", cmd_screenshot, 0, 1, "screenshot [OUT.png | -] [--sheet SHEET.png]", kOptSheet,
     "the handheld's screen as a PNG picture (-: to standard output; default: a dated name);\n"
     "with --all, --sheet also writes one picture of every screen in a grid, labelled"},
    {"screen", cmd_screen, 0, 0, "screen [--scale N] [--record FILE [--duration SECONDS]] [--no-window]",
     kOptScale | kOptRecord | kOptDuration | kOptNoWindow,
     "the handheld's screen live in a window (--scale N: N times its size, default 2; keys:\n"
     "s saves a PNG screenshot in the current folder, q or Escape closes); --record FILE\n"
     "records it into FILE (.mp4, .webm or .gif) until Ctrl-C or --duration SECONDS,\n"
     "without a window with --no-window or when there is no display"},
    {"osupg", cmd_osupg, 1, 1, "osupg [-y] [--force] IMAGE", kOptYes | kOptForce,
     "install an OS image: a host file is sent to the handheld first, else IMAGE names a\n"
     "file on the handheld; asks first on a terminal (-y: not), refuses when the handheld is\n"
     "not ready (--force: installs anyway)"},
    {"wait", cmd_wait, 0, 0, "wait [--timeout S] [--count N | --gone]", kOptTimeout | kOptCount | kOptGone,
     "until a handheld answers (default: at most 30 s), and print its address; with --serial\n"
     "that one; --count N: until N handhelds answer (all their addresses); --gone: until the\n"
     "chosen handheld no longer answers"},
};

const char kGeneralUsage[] = "usage: zrlink [OPTIONS] COMMAND [ARGS]   (zrlink help [COMMAND])\n";

const char kOptionsText[] =
    "\n"
    "Options (before or after the command):\n"
    "  --addr A      the handheld's address (default: $ZR_ADDR)\n"
    "  --serial S    the attached handheld with serial S (default: $ZR_SERIAL); without\n"
    "                either, the only handheld that answers\n"
    "  --all         the command on every answering handheld at the same time (info, ls,\n"
    "                stat, push, pull, sync, rm, mkdir, mv, screenshot, osupg; screen: one\n"
    "                window of every screen)\n"
    "  --max-handhelds N  --all: at most N handhelds at the same time (default 32)\n"
    "  -q, --quiet   no progress display (shown on a terminal otherwise)\n"
    "  --progress    the progress display also when standard error is not a terminal\n"
    "  --json        list, info, ls, stat, push, pull (any command with --all): the result\n"
    "                as JSON (see zrlink(1))\n"
    "  -j N          push, pull: N transfers at the same time (default 4, at most 64)\n"
    "  --keep-going  push, pull: after a failure go on with the others, then sum up\n"
    "  --version     the version\n"
    "\n"
    "Exit codes: 0 done, 1 failed (the reason is printed), 2 bad command line, 3 no handheld\n"
    "found or it does not answer, 4 several handhelds answer (choose one), 128 + signal when\n"
    "stopped (130 Ctrl-C, 143 SIGTERM, 129 SIGHUP).\n";

void print_help() {
  std::printf("%s\nCommands:\n", kGeneralUsage);
  for (const auto &c : kCommands) std::printf("  %s\n", c.usage);
  std::printf("%s", kOptionsText);
}

const Command *find_command(const std::string &name) {
  for (const auto &c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

// A usage error: the message, then the command's own usage line (at most four lines).
// A command line's whole number from lo to hi into *out; false for anything else (null,
// empty, trailing characters, out of range).
bool whole_number(const char *v, long lo, long hi, int *out) {
  char *end = nullptr;
  long n = v ? std::strtol(v, &end, 10) : 0;
  if (!v || *v == '\0' || *end != '\0' || n < lo || n > hi) return false;
  *out = static_cast<int>(n);
  return true;
}

const Command *g_running = nullptr;  // the command run() runs

int usage_error(const Command *command, const std::string &message) {
  std::fprintf(stderr, "zrlink: %s\n", message.c_str());
  if (command)
    std::fprintf(stderr, "usage: zrlink %s   (zrlink help %s)\n", command->usage, command->name);
  else
    std::fprintf(stderr, "%s", kGeneralUsage);
  return kUsage;
}

int help(const std::vector<std::string> &args) {
  if (args.empty()) {
    print_help();
    return kOk;
  }
  const Command *c = find_command(args[0]);
  if (!c || args.size() > 1) return usage_error(nullptr, "help: unknown command: " + args[0]);
  std::printf("usage: zrlink %s\n\n%s\n", c->usage, c->about);
  return kOk;
}

// Standard output must have reached its file: a full disk is a failure, not a success.
int finish_output(int code) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    int e = errno;
    std::fprintf(stderr, "zrlink: writing standard output failed: %s\n", std::strerror(e));
    return code == kOk ? kFailed : code;
  }
  return code;
}

}  // namespace

int usage_failure(const std::string &message) { return usage_error(g_running, message); }

int run(int argc, char **argv) {
  Options opt;
  if (const char *env = std::getenv("ZR_ADDR")) opt.addr_text = env;
  if (const char *env = std::getenv("ZR_SERIAL")) opt.serial = env;
  bool addr_given = false, serial_given = false;
  const Command *command = nullptr;
  bool want_help = false, help_command = false;
  std::vector<std::pair<unsigned, std::string>> given;  // command options as spelled
  bool operands_only = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    // "--name VALUE" or "--name=VALUE": exactly the option's name, no abbreviation.
    auto value = [&](const char *name, const char **v) -> bool {
      size_t n = std::strlen(name);
      if (a == name) {
        *v = i + 1 < argc ? argv[++i] : nullptr;
        return true;
      }
      if (a.size() > n && a.compare(0, n, name) == 0 && a[n] == '=') {
        *v = argv[i] + n + 1;
        return true;
      }
      return false;
    };
    auto command_option = [&](unsigned bit) { given.push_back({bit, a.substr(0, a.find('='))}); };
    const char *v = nullptr;
    if (operands_only || a.empty() || a[0] != '-' || a == "-") {
      if (!command && !help_command) {
        if (a == "help") {
          help_command = true;
          continue;
        }
        command = find_command(a);
        if (!command) return usage_error(nullptr, "unknown command: " + a);
      } else {
        opt.args.push_back(a);
      }
    } else if (a == "--") {
      operands_only = true;
    } else if (a == "-h" || a == "--help") {
      want_help = true;
    } else if (a == "--version") {
      // The tool comes with the library it was built against: one version for both.
      std::printf("zrlink %d.%d.%d\n", ZR_NET_VERSION_MAJOR, ZR_NET_VERSION_MINOR, ZR_NET_VERSION_PATCH);
      return finish_output(kOk);
    } else if (a == "-q" || a == "--quiet") {
      opt.quiet = true;
    } else if (a == "--progress") {
      opt.progress = true;
    } else if (a == "--json") {
      command_option(kOptJson);
      opt.json = true;
    } else if (a == "-l") {
      command_option(kOptLong);
      opt.long_list = true;
    } else if (a == "-L") {
      command_option(kOptLinks);
      opt.follow_links = true;
    } else if (a == "-r") {
      command_option(kOptRecursive);
      opt.recursive = true;
    } else if (a == "-p") {
      command_option(kOptParents);
      opt.parents = true;
    } else if (a == "-y" || a == "--yes") {
      command_option(kOptYes);
      opt.yes = true;
    } else if (a == "--force") {
      command_option(kOptForce);
      opt.force = true;
    } else if (a == "--keep-going") {
      command_option(kOptKeepGoing);
      opt.keep_going = true;
    } else if (a == "-f") {
      command_option(kOptForeground);
      opt.foreground = true;
    } else if (a == "--delete") {
      command_option(kOptDelete);
      opt.delete_extra = true;
    } else if (a == "--dry-run" || a == "-n") {
      command_option(kOptDryRun);
      opt.dry_run = true;
    } else if (a.compare(0, 2, "-j") == 0 || value("--jobs", &v)) {
      command_option(kOptJobs);
      if (a.compare(0, 2, "-j") == 0) v = a.size() > 2 ? argv[i] + 2 : (i + 1 < argc ? argv[++i] : nullptr);
      if (!whole_number(v, 1, kMaxJobs, &opt.jobs))
        return usage_error(command, "-j needs a number of transfers (1 to " + std::to_string(kMaxJobs) + ")");
    } else if (value("--addr", &v)) {
      if (!v) return usage_error(command, "--addr needs an address");
      opt.addr_text = v;
      addr_given = true;
    } else if (value("--serial", &v)) {
      if (!v || !*v) return usage_error(command, "--serial needs a serial");
      opt.serial = v;
      serial_given = true;
    } else if (a == "--all") {
      opt.all = true;
    } else if (value("--max-handhelds", &v)) {
      if (!whole_number(v, 1, kMaxHandhelds, &opt.max_handhelds))
        return usage_error(command,
                           "--max-handhelds needs a number of handhelds (1 to " + std::to_string(kMaxHandhelds) + ")");
    } else if (value("--sheet", &v)) {
      command_option(kOptSheet);
      if (!v || !*v) return usage_error(command, "--sheet needs a file name");
      opt.sheet = v;
    } else if (a == "--gone") {
      command_option(kOptGone);
      opt.wait_gone = true;
    } else if (value("--count", &v)) {
      command_option(kOptCount);
      if (!whole_number(v, 1, kMaxCount, &opt.wait_count))
        return usage_error(command, "--count needs a number of handhelds (1 to " + std::to_string(kMaxCount) + ")");
    } else if (value("--scale", &v)) {
      command_option(kOptScale);
      if (!whole_number(v, 1, 16, &opt.scale)) return usage_error(command, "--scale needs a number from 1 to 16");
    } else if (value("--record", &v)) {
      command_option(kOptRecord);
      if (!v || !*v) return usage_error(command, "--record needs a file name");
      opt.record = v;
    } else if (value("--duration", &v)) {
      command_option(kOptDuration);
      char *end = nullptr;
      double s = v ? std::strtod(v, &end) : -1;
      if (!v || *end != '\0' || !(s > 0 && s <= 86400))
        return usage_error(command, "--duration needs a number of seconds");
      opt.duration = s;
    } else if (a == "--no-window") {
      command_option(kOptNoWindow);
      opt.no_window = true;
    } else if (value("--timeout", &v)) {
      command_option(kOptTimeout);
      char *end = nullptr;
      double s = v ? std::strtod(v, &end) : -1;
      if (!v || *end != '\0' || !(s >= 0 && s <= 86400))
        return usage_error(command, "--timeout needs a number of seconds");
      opt.wait_seconds = s;
    } else {
      return usage_error(command, "unknown option: " + a);
    }
  }
  if (help_command) {
    if (command) opt.args.insert(opt.args.begin(), command->name);
    return finish_output(help(opt.args));
  }
  if (want_help)
    return finish_output(help(command ? std::vector<std::string>{command->name} : std::vector<std::string>{}));
  if (!command) return usage_error(nullptr, "no command given");
  // With --all every command sums up as JSON; its own JSON, where it has one, goes inside.
  for (const auto &o : given)
    if (!(command->options & o.first) && !(opt.all && o.first == kOptJson))
      return usage_error(command, std::string(command->name) + " does not take " + o.second);
  if (addr_given && serial_given) return usage_error(command, "--addr and --serial both name a handheld: give one");
  if (opt.wait_count > 0 && opt.wait_gone) return usage_error(command, "wait: --count and --gone do not go together");
  if (opt.wait_count > 0 && (addr_given || serial_given))
    return usage_error(command, "wait --count counts every handheld: it takes no --addr or --serial");
  if (opt.wait_count > 0) {  // ZR_ADDR and ZR_SERIAL do not narrow the count
    opt.addr_text.clear();
    opt.serial.clear();
  }
  if (addr_given)
    opt.serial.clear();
  else if (serial_given)
    opt.addr_text.clear();
  else if (!opt.addr_text.empty())
    opt.serial.clear();  // ZR_ADDR before ZR_SERIAL
  int n = static_cast<int>(opt.args.size());
  if (n < command->min || (command->max >= 0 && n > command->max))
    return usage_error(
        command, std::string(command->name) + ": " + (n < command->min ? "too few operands" : "too many operands"));
  if (opt.all) {
    if (addr_given || serial_given)
      return usage_error(
          command, "--all and " + std::string(addr_given ? "--addr" : "--serial") + " both choose handhelds: give one");
    // screen --all is one window, one process (cli-screen-live.cpp).
    if (!runs_on_all(command->name) && std::string(command->name) != "screen")
      return usage_error(command, std::string(command->name) + " does not take --all");
    opt.addr_text.clear();
    opt.serial.clear();
  } else if (!opt.sheet.empty()) {
    return usage_error(command, "--sheet is for screenshot --all");
  }
  install_interrupt_handler();
  g_running = command;
  if (opt.all && runs_on_all(command->name))
    return finish_output(run_on_all(command->name, command->run, (command->options & kOptJson) != 0, opt));
  return finish_output(command->run(opt));
}

}  // namespace zrcli
