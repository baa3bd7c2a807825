// What zrlink pull, sync and mount promise when the handheld fails, on random trees: each
// command runs once as it is, to learn its requests, and then again with one fault (through
// zrtest::FaultProxy) at one request, and after every run
//   - every entry on both sides is its whole old version or its whole new version,
//   - nothing outside SRC and DST has changed (sentinels beside them, a link out of DST),
//   - the exit status is not 0 when something that should have been done was not (but for
//     a listing cut where it looks whole, which nothing can tell from its end),
//   - and, for sync, a dry run of the same starting state names exactly what the run did.
//
// Cases are seeded.  By default a few seeds and a few faults of each keep the suite short;
// these variables (scripts/property-test.sh sets them) make it longer:
//   ZR_PROPERTY_SEED=N      the first seed (1)
//   ZR_PROPERTY_SEEDS=N     how many seeds each command runs (2; 1 under the sanitizers)
//   ZR_PROPERTY_COUNT=N     faults per seed and command, drawn from all that are planned
//                           (5; 3 under the sanitizers); 0: every one of them
//   ZR_PROPERTY_SECONDS=S   run seed after seed until S seconds have passed for each command
//                           (instead of ZR_PROPERTY_SEEDS)
//   ZR_PROPERTY_STALL_MS=MS how long a stall stays silent before the proxy closes it (300;
//                           -1: until zrlink gives up, 10 s a request)
//   ZR_PROPERTY_ONLY=SEED:COMMAND[:FAULT]  one case alone, as a failure names it
//   ZR_PROPERTY_VERBOSE=1   a line for every run (and the requests of the mount's first)
// Every failure prints its seed, the command, the fault and the invariant, with the files
// that differ, and the ZR_PROPERTY_ONLY value that runs the case again.
#include "fault_proxy.h"
#include "fuse_mount.h"
#include "sim_process.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif
#else
const bool kSanitized = false;
#endif

long env_number(const char *name, long fallback) {
  const char *v = std::getenv(name);
  if (!v || !*v) return fallback;
  return std::strtol(v, nullptr, 10);
}

// ---- trees ------------------------------------------------------------------------------

// One entry of a tree: a file with its content, a folder, or a symbolic link with its target.
struct Node {
  char kind = 0;  // 'f', 'd', 'l'
  std::string data;
  int64_t time = 0;  // files: the modification time to give it
  bool operator==(const Node &o) const { return kind == o.kind && (kind == 'd' || data == o.data); }
  bool operator!=(const Node &o) const { return !(*this == o); }
};
// Paths relative to the tree's folder ("d0", "d0/a.txt"); parents sort before children.
using Tree = std::map<std::string, Node>;

std::string parent_of(const std::string &p) {
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? "" : p.substr(0, slash);
}
bool below(const std::string &p, const std::string &folder) {
  return p.size() > folder.size() && p.compare(0, folder.size(), folder) == 0 && p[folder.size()] == '/';
}

// The tree below `root` as it stands (links are not followed).  Paths in `skip` (relative,
// with what is below them) are left out.
void read_tree(const std::string &root, const std::string &rel, const std::set<std::string> &skip, Tree *out) {
  DIR *d = opendir((rel.empty() ? root : root + "/" + rel).c_str());
  if (!d) return;
  std::vector<std::string> names;
  while (dirent *e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
  closedir(d);
  for (const auto &name : names) {
    std::string r = rel.empty() ? name : rel + "/" + name, full = root + "/" + r;
    if (skip.count(r)) continue;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) continue;
    Node n;
    if (S_ISLNK(st.st_mode)) {
      char buf[4096];
      ssize_t len = readlink(full.c_str(), buf, sizeof buf);
      n.kind = 'l';
      n.data.assign(buf, len > 0 ? static_cast<size_t>(len) : 0);
    } else if (S_ISDIR(st.st_mode)) {
      n.kind = 'd';
    } else {
      n.kind = 'f';
      n.data = zrtest::ReadFile(full).value_or("<unreadable>");
      n.time = st.st_mtime;
    }
    (*out)[r] = n;
    if (n.kind == 'd') read_tree(root, r, skip, out);
  }
}
Tree read_tree(const std::string &root, const std::set<std::string> &skip = {}) {
  Tree t;
  read_tree(root, "", skip, &t);
  return t;
}

void write_tree(const std::string &root, const Tree &t) {
  mkdir(root.c_str(), 0755);
  for (const auto &[rel, n] : t) {
    std::string full = root + "/" + rel;
    if (n.kind == 'd') {
      mkdir(full.c_str(), 0755);
    } else if (n.kind == 'l') {
      if (symlink(n.data.c_str(), full.c_str()) != 0) throw std::runtime_error("cannot make the link " + full);
    } else {
      zrtest::WriteFile(full, n.data);
      struct timespec times[2] = {{n.time, 0}, {n.time, 0}};
      utimensat(AT_FDCWD, full.c_str(), times, 0);
    }
  }
}

// "12 bytes \"abc...\"", "a folder", "a link to X", "nothing", for messages.
std::string describe(const Node *n) {
  if (!n) return "nothing";
  if (n->kind == 'd') return "a folder";
  if (n->kind == 'l') return "a link to " + n->data;
  std::string start = n->data.substr(0, 12);
  for (char &c : start)
    if (c < 0x20 || c > 0x7E) c = '.';
  return std::to_string(n->data.size()) + " bytes \"" + start + (n->data.size() > 12 ? "...\"" : "\"");
}
std::string describe_content(const std::string &data) {
  Node n{'f', data, 0};
  return describe(&n);
}
const Node *at(const Tree &t, const std::string &p) {
  auto it = t.find(p);
  return it == t.end() ? nullptr : &it->second;
}
bool same(const Node *a, const Node *b) { return (!a && !b) || (a && b && *a == *b); }

std::set<std::string> paths_of(std::initializer_list<const Tree *> trees) {
  std::set<std::string> all;
  for (const Tree *t : trees)
    for (const auto &e : *t) all.insert(e.first);
  return all;
}

// Lines "  PATH: was X, should be Y, is Z" for the paths where `check` fails.
template <typename Check>
std::string differing(const Tree &before, const Tree &expected, const Tree &after, Check check) {
  std::string out;
  for (const auto &p : paths_of({&before, &expected, &after})) {
    const Node *b = at(before, p), *e = at(expected, p), *a = at(after, p);
    if (check(b, e, a)) continue;
    out += "  " + p + ": was " + describe(b) + ", new " + describe(e) + ", is " + describe(a);
    // Which bytes differ from the old and from the new version.
    for (int k = 0; k < 2; ++k) {
      const Node *other = k == 0 ? b : e;
      if (k == 1 && same(b, e)) break;  // the new version is the old one
      if (a && other && a->kind == 'f' && other->kind == 'f' && a->data != other->data) {
        const std::string &x = a->data, &y = other->data;
        size_t i = 0, j = x.size();
        while (i < x.size() && i < y.size() && x[i] == y[i]) ++i;
        if (x.size() == y.size())
          while (j > i && x[j - 1] == y[j - 1]) --j;
        out += std::string(k == 0 ? "; differs from the old" : "; differs from the new") +
               (x.size() == y.size() ? " in bytes " + std::to_string(i) + " to " + std::to_string(j - 1)
                                     : " from byte " + std::to_string(i));
      }
    }
    out += "\n";
  }
  return out;
}

// Whether an entry is its old version or its new one.  Where a folder is to be replaced by a
// file or the other way round, nothing is both: the old one gone, the new one not there yet.
bool whole_old_or_new(const Node *before, const Node *expected, const Node *after) {
  if (same(after, before) || same(after, expected)) return true;
  return !after && before && expected && before->kind != expected->kind;
}

// ---- random trees ---------------------------------------------------------------------

struct Random {
  std::mt19937_64 rng;
  explicit Random(uint64_t seed) : rng(seed * 0x9E3779B97F4A7C15ull + 17) {}
  int below(int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); }
  bool chance(int percent) { return below(100) < percent; }
  std::string content(size_t size) {
    std::string s(size, ' ');
    for (char &c : s) c = static_cast<char>('a' + below(26));
    if (size > 0) s[size - 1] = '\n';
    return s;
  }
  size_t size() {
    static const size_t sizes[] = {0, 1, 17, 1535, 1536, 1537, 4000, 20000};
    return sizes[below(8)];
  }
};

const int64_t kBaseTime = 1700000000;  // file times lie a few hours around this

// Two trees with names in common: files only on one side, on both the same, on both with
// other content (of the same size or not, newer on either side), and now and then a name
// that is a file on one side and a folder on the other (`mismatch`).
void random_trees(Random &r, bool mismatch, Tree *a, Tree *b) {
  static const char *folders[] = {"d0", "d1", "d 2"};
  static const char *files[] = {"a.txt", "b.bin", "n 1.txt", "c"};
  std::vector<std::string> dirs{""};
  for (const char *f : folders)
    if (r.chance(70)) {
      dirs.push_back(f);
      if (r.chance(40)) dirs.push_back(std::string(f) + "/deep");
    }
  auto add_parents = [](Tree *t, const std::string &p) {
    for (std::string q = parent_of(p); !q.empty(); q = parent_of(q)) (*t)[q].kind = 'd';
  };
  for (const auto &d : dirs) {
    for (const char *name : files) {
      if (!r.chance(60)) continue;
      std::string p = d.empty() ? name : d + "/" + name;
      Node x{'f', r.content(r.size()), kBaseTime + 3600 * r.below(48)};
      int where = r.below(100);
      if (where < 25) {
        (*a)[p] = x;
        add_parents(a, p);
      } else if (where < 45) {
        (*b)[p] = x;
        add_parents(b, p);
      } else {
        Node y = x;
        if (where >= 60) {
          y.data = r.content(r.chance(50) ? x.data.size() : r.size());
          y.time = kBaseTime + 3600 * r.below(48);
        }
        (*a)[p] = x;
        (*b)[p] = y;
        add_parents(a, p);
        add_parents(b, p);
      }
    }
    // Now and then an empty folder on one side.
    if (!d.empty() && r.chance(15)) {
      Tree *t = r.chance(50) ? a : b;
      (*t)[d + "/empty"].kind = 'd';
      add_parents(t, d + "/empty");
    }
  }
  if (mismatch) {
    // "c": a file on one side, a folder with a file on the other.
    Tree *folder_side = r.chance(50) ? a : b, *file_side = folder_side == a ? b : a;
    for (auto it = folder_side->begin(); it != folder_side->end();)
      it = (it->first == "c" || below(it->first, "c")) ? folder_side->erase(it) : std::next(it);
    file_side->erase("c");
    (*file_side)["c"] = Node{'f', r.content(40), kBaseTime};
    (*folder_side)["c"].kind = 'd';
    (*folder_side)["c/in.txt"] = Node{'f', r.content(30), kBaseTime};
  }
}

// ---- running zrlink -------------------------------------------------------------------

struct Run {
  int status = -1;  // exit code, 128 + signal, or -1 when it had to be killed
  int signal = 0;   // the signal that ended it
  std::string out, err;
};

// The environment of every zrlink run: its own state folder and home, no handheld from the
// environment.
void child_environment(const std::string &world) {
  unsetenv("ZR_ADDR");
  unsetenv("ZR_SERIAL");
  setenv("HOME", (world + "/home").c_str(), 1);
  setenv("XDG_STATE_HOME", (world + "/state").c_str(), 1);
  setenv("TMPDIR", (world + "/cache").c_str(), 1);
}

bool wait_child(pid_t pid, int *status, std::chrono::milliseconds limit) {
  auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (waitpid(pid, status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

int status_of(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

// zrlink with args, for at most 60 s (a stalled request costs it 10 s).
Run zrlink(const std::string &world, const std::vector<std::string> &args) {
  std::string out_name = world + "/zrlink.out", err_name = world + "/zrlink.err";
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(out_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
        err = open(err_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(out, 1);
    dup2(err, 2);
    child_environment(world);
    std::vector<char *> argv{const_cast<char *>(ZRLINK_PATH)};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(ZRLINK_PATH, argv.data());
    _exit(127);
  }
  Run r;
  int st = 0;
  if (wait_child(pid, &st, std::chrono::seconds(60))) {
    r.status = status_of(st);
    r.signal = WIFSIGNALED(st) ? WTERMSIG(st) : 0;
  } else {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
  }
  r.out = zrtest::ReadFile(out_name).value_or("");
  r.err = zrtest::ReadFile(err_name).value_or("");
  return r;
}

// The words of a request line; "\ " is a space and "\\" a backslash inside a word.
std::vector<std::string> request_words(const std::string &line) {
  std::vector<std::string> words(1);
  for (size_t i = 0; i < line.size() && line[i] != '\n'; ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) {
      words.back() += line[++i];
    } else if (line[i] == ' ') {
      words.emplace_back();
    } else {
      words.back() += line[i];
    }
  }
  return words;
}

// ---- faults ---------------------------------------------------------------------------

// The faults planned for a run's requests: at each line boundary of each reply and inside
// lines a cut, a reset at the first boundaries, a stall, and a lying size for each fetch.
// The requests are taken in the order of their lines (a request line that comes n times
// counts its nth), so that the plan does not depend on the order in which parallel
// transfers happened to run.
//
// A listing has no end mark (it ends when the handheld closes), so a listing cut right after
// its status line or right after an entry's closing empty line cannot be told from a whole
// one: *looks_whole marks those faults.
std::vector<zrtest::Fault> plan_faults(const std::vector<zrtest::Exchange> &log, int stall_ms,
                                       std::vector<bool> *looks_whole) {
  std::vector<zrtest::Exchange> sorted = log;
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const zrtest::Exchange &a, const zrtest::Exchange &b) { return a.request < b.request; });
  std::vector<zrtest::Fault> faults;
  std::map<std::string, unsigned> seen;
  for (const auto &e : sorted) {
    std::string line = e.request.substr(0, e.request.find('\n'));
    unsigned nth = ++seen[line];
    std::set<uint64_t> cuts{0};
    std::vector<uint64_t> lines{0};  // where the reply's lines begin
    for (size_t i = 0; i < e.reply.size(); ++i)
      if (e.reply[i] == '\n' && i + 1 < e.reply_size) lines.push_back(i + 1);
    lines.push_back(e.reply_size);
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
      uint64_t from = lines[i], to = lines[i + 1];
      cuts.insert(from);
      if (to - from > 1) cuts.insert(from + 1);
      if (to - from > 2) cuts.insert(from + (to - from) / 2);
      if (to - from > 3) cuts.insert(to - 1);
    }
    const bool listing = line.rfind("dir ", 0) == 0;
    for (uint64_t c : cuts) {
      if (c >= e.reply_size) continue;
      faults.push_back(zrtest::Fault::cut(line, nth, c));
      looks_whole->resize(faults.size() - 1);
      looks_whole->push_back(listing && c > 0 && c <= e.reply.size() &&
                             (c == e.reply.find('\n') + 1 || (c >= 2 && e.reply.compare(c - 2, 2, "\n\n") == 0)));
    }
    faults.push_back(zrtest::Fault::reset(line, nth, 0));
    if (lines.size() > 2) faults.push_back(zrtest::Fault::reset(line, nth, lines[1]));
    faults.push_back(zrtest::Fault::stall(line, nth, lines.size() > 2 ? lines[1] : 0, stall_ms));
    // A stall that the proxy ends with a close right after the status line is such a cut.
    looks_whole->resize(faults.size() - 1);
    looks_whole->push_back(listing && stall_ms >= 0 && lines.size() > 2);
    if (line.rfind("fget ", 0) == 0) {
      uint64_t size = std::strtoull(e.reply.c_str() + std::min<size_t>(e.reply.size(), 2), nullptr, 10);
      faults.push_back(zrtest::Fault::lying_size(line, nth, size + 100));
      if (size > 0) faults.push_back(zrtest::Fault::lying_size(line, nth, size / 2));
    }
  }
  looks_whole->resize(faults.size());
  return faults;
}

// The reply to a fault's request in the log of the run without faults, shown escaped, with
// "|" where the fault strikes (at most 160 bytes of it).
std::string reply_of(const std::vector<zrtest::Exchange> &log, const zrtest::Fault &f) {
  unsigned n = 0;
  for (const auto &e : log) {
    if (e.request.substr(0, e.request.find('\n')) != f.request || ++n != f.nth) continue;
    std::string r = e.reply;
    if (f.kind != zrtest::Fault::Kind::kSize && f.at <= r.size()) r.insert(static_cast<size_t>(f.at), 1, '|');
    return "\"" + zrtest::shown_bytes(r.substr(0, 160)) + (r.size() > 160 ? "\"..." : "\"");
  }
  return "(not in the log)";
}

// ---- the world of one case ------------------------------------------------------------

// host/: tree/ (the host's side; for pull tree/docs/), beside/keep.txt, beside.txt and
// input/ (files to copy into the mount); storage/: docs/ (the handheld's side), keep/k.txt,
// top.txt.  Every run starts from the same state, written anew.
struct World {
  zrtest::TempDir dir{"zrlink-property"};
  std::string host = dir.path() + "/host", storage = dir.path() + "/storage";
  Tree host_start, storage_start;

  void reset() const {
    std::system(
        ("rm -rf '" + host + "' '" + storage + "' '" + dir.path() + "/state' '" + dir.path() + "/cache'").c_str());
    write_tree(host, host_start);
    write_tree(storage, storage_start);
    for (const char *d : {"/state", "/cache", "/home"}) mkdir((dir.path() + d).c_str(), 0700);
  }
};

Tree prefixed(const std::string &prefix, const Tree &t) {
  Tree out;
  std::string p;
  for (const auto &c : prefix) {
    if (c == '/') out[p].kind = 'd';
    p += c;
  }
  out[prefix].kind = 'd';
  for (const auto &[rel, n] : t) out[prefix + "/" + rel] = n;
  return out;
}

Tree without(const Tree &t, const std::string &prefix) {
  Tree out;
  for (const auto &[rel, n] : t)
    if (rel != prefix && !below(rel, prefix)) out[rel] = n;
  return out;
}

// ---- the commands ---------------------------------------------------------------------

enum class Command { kPull, kSend, kSendDelete, kFetch, kFetchDelete, kMount };

const char *name_of(Command c) {
  switch (c) {
    case Command::kPull: return "pull";
    case Command::kSend: return "send";
    case Command::kSendDelete: return "send-delete";
    case Command::kFetch: return "fetch";
    case Command::kFetchDelete: return "fetch-delete";
    case Command::kMount: return "mount";
  }
  return "?";
}

bool fetches(Command c) { return c == Command::kPull || c == Command::kFetch || c == Command::kFetchDelete; }
bool deletes(Command c) { return c == Command::kSendDelete || c == Command::kFetchDelete; }

// What sync promises to make of DST (docs/zrlink.md: a file is copied when DST lacks it, the sizes
// differ or the source is newer; --delete removes what SRC lacks and replaces a file by a
// folder or the other way round, an error otherwise; a link in DST is replaced or refused).
// *must_fail: the run is an error whatever happens.
Tree sync_outcome(const Tree &src, const Tree &dst, bool delete_extra, bool *must_fail) {
  Tree e = dst;
  *must_fail = false;
  if (delete_extra)
    for (const auto &d : dst)
      if (!src.count(d.first)) e.erase(d.first);
  std::vector<std::string> blocked;
  for (const auto &[p, s] : src) {
    if (std::any_of(blocked.begin(), blocked.end(), [&p = p](const std::string &b) { return below(p, b); })) continue;
    const Node *d = at(dst, p);
    if (d && d->kind != s.kind) {
      if (d->kind != 'l' && !delete_extra) {
        *must_fail = true;
        blocked.push_back(p);
        continue;
      }
      for (auto it = e.begin(); it != e.end();) it = below(it->first, p) ? e.erase(it) : std::next(it);
      e[p] = s;
    } else if (s.kind == 'd' || !d || d->data.size() != s.data.size() || s.time > d->time) {
      e[p] = s;
    }
  }
  return e;
}

// pull copies every file of the folder, and makes its folders.
Tree pull_outcome(const Tree &src, const Tree &dst) {
  Tree e = dst;
  for (const auto &[p, s] : src) e[p] = s;
  return e;
}

// One operation in the mounted folder.
struct MountOp {
  enum Kind { kNew, kReplace, kAppend, kRemove } kind;
  std::string path;  // below docs/
  std::string data;  // kNew, kReplace: the content; kAppend: what is added
};

struct MountResult {
  bool mounted = false;
  int status = -1;    // the mount process's exit status
  int signal = 0;     // the signal that ended it
  bool hung = false;  // an operation took more than 40 s: the mount was killed
  std::string err;
  // Per operation: whether every call succeeded, and whether everything but the last
  // close did (the data were taken and then not sent).
  std::vector<bool> done, written;
  std::vector<std::string> why;
  std::vector<std::string> at_close;  // the handheld's file right after the close ("" when not read)
};

// ---- the property -----------------------------------------------------------------------

class Property {
 public:
  explicit Property(Command command) : command_(command) {}

  // Runs the cases; returns the violations (each already printed).
  std::vector<std::string> run() {
    const std::string only = std::getenv("ZR_PROPERTY_ONLY") ? std::getenv("ZR_PROPERTY_ONLY") : "";
    long only_seed = -1, only_fault = -1;
    if (!only.empty()) {
      std::istringstream in(only);
      std::string seed, name, fault;
      std::getline(in, seed, ':');
      std::getline(in, name, ':');
      std::getline(in, fault, ':');
      if (name != name_of(command_)) return {};
      only_seed = std::strtol(seed.c_str(), nullptr, 10);
      if (!fault.empty()) only_fault = std::strtol(fault.c_str(), nullptr, 10);
    }
    const long first = only_seed >= 0 ? only_seed : env_number("ZR_PROPERTY_SEED", 1);
    const long seeds = only_seed >= 0 ? 1 : env_number("ZR_PROPERTY_SEEDS", kSanitized ? 1 : 2);
    const long seconds = only_seed >= 0 ? 0 : env_number("ZR_PROPERTY_SECONDS", 0);
    count_ = env_number("ZR_PROPERTY_COUNT", kSanitized ? 3 : 5);
    stall_ms_ = static_cast<int>(env_number("ZR_PROPERTY_STALL_MS", 300));
    verbose_ = env_number("ZR_PROPERTY_VERBOSE", 0) != 0;
    auto end = Clock::now() + std::chrono::seconds(seconds);
    for (long seed = first; seconds > 0 ? Clock::now() < end : seed < first + seeds; ++seed) {
      one_seed(static_cast<uint64_t>(seed), only_fault, seconds > 0 ? &end : nullptr);
    }
    std::printf("[ property ] %s: %d runs, %d with the fault played%s, %zu violations\n", name_of(command_), runs_,
                played_, command_ == Command::kMount ? (", " + std::to_string(mounted_) + " mounted").c_str() : "",
                violations_.size());
    for (const auto &[what, n] : summary_)
      std::printf("[ property ]   %d x %s (first: ZR_PROPERTY_ONLY=%s)\n", n.first, what.c_str(), n.second.c_str());
    return violations_;
  }

 private:
  // The starting state of a seed, the runs of its case and their checks.
  void one_seed(uint64_t seed, long only_fault, const Clock::time_point *end) {
    seed_ = seed;
    dry_ran_ = false;
    Random r(seed * 8 + static_cast<uint64_t>(command_));
    Tree a, b;
    random_trees(r, command_ != Command::kPull && command_ != Command::kMount && r.chance(30), &a, &b);
    world_ = std::make_unique<World>();
    World &w = *world_;
    src_ = a;
    dst_ = b;
    Tree host_side, storage_side;
    switch (command_) {
      case Command::kSend:
      case Command::kSendDelete: host_side = src_, storage_side = dst_; break;
      case Command::kFetch:
      case Command::kFetchDelete:
        // Links out of DST under names that the handheld has (in two seeds of three).
        if (seed % 3 != 0)
          for (const auto &[p, n] : src_)
            if (p.find('/') == std::string::npos && n.kind == 'd' && !dst_.count(p)) {
              dst_[p] = Node{'l', "../beside", 0};
              break;
            }
        if (seed % 3 != 0)
          for (const auto &[p, n] : src_)
            if (p.find('/') == std::string::npos && n.kind == 'f' && !dst_.count(p)) {
              dst_[p] = Node{'l', "../beside.txt", 0};
              break;
            }
        [[fallthrough]];
      case Command::kPull: storage_side = src_, host_side = dst_; break;
      case Command::kMount: storage_side = a; break;
    }
    w.host_start = command_ == Command::kPull ? prefixed("tree/docs", host_side) : prefixed("tree", host_side);
    if (command_ == Command::kPull) w.host_start["tree/other.txt"] = Node{'f', "beside the pulled folder\n", kBaseTime};
    w.host_start["beside"].kind = 'd';
    w.host_start["beside/keep.txt"] = Node{'f', "kept beside DST\n", kBaseTime};
    w.host_start["beside.txt"] = Node{'f', "kept too\n", kBaseTime};
    w.host_start["input"].kind = 'd';
    w.host_start["input/new.txt"] = Node{'f', r.content(3000), kBaseTime};
    w.storage_start = prefixed("docs", storage_side);
    w.storage_start["keep"].kind = 'd';
    w.storage_start["keep/k.txt"] = Node{'f', "kept on the handheld\n", kBaseTime};
    w.storage_start["top.txt"] = Node{'f', "top\n", kBaseTime};
    if (command_ == Command::kMount) plan_mount_ops(r);

    w.reset();
    zrtest::SimProcess sim({"--storage", w.storage});
    if (!sim.ok()) {
      violation("setup", "no fault", "the simulator did not start: " + sim.error());
      return;
    }
    zrtest::FaultProxy proxy(sim.addr());
    if (!proxy.ok()) {
      violation("setup", "no fault", "the proxy did not start: " + proxy.error());
      return;
    }
    proxy_ = &proxy;

    if (command_ != Command::kMount && command_ != Command::kPull) dry_run_check();
    w.reset();
    proxy.clear();
    proxy.plan(zrtest::Fault());
    one_run("no fault", true);
    std::vector<zrtest::Exchange> clean = proxy.log();
    std::vector<bool> looks_whole;
    std::vector<zrtest::Fault> faults = plan_faults(clean, stall_ms_, &looks_whole);
    if (stall_ms_ >= 0 && !faults.empty()) {
      // And one stall that lasts until zrlink gives up, in the longer runs.
      if (count_ == 0)
        faults.push_back(zrtest::Fault::stall(faults[r.below(static_cast<int>(faults.size()))].request, 1, 0));
    }
    std::vector<size_t> chosen;
    for (size_t i = 0; i < faults.size(); ++i) chosen.push_back(i);
    if (only_fault >= 0) {
      chosen.assign(1, static_cast<size_t>(only_fault));
    } else if (count_ > 0 && chosen.size() > static_cast<size_t>(count_)) {
      // Spread over the requests: a random fault of each of `count_` random requests (of
      // all, when there are fewer, and then more of each).
      std::map<std::pair<std::string, unsigned>, std::vector<size_t>> by_request;
      for (size_t i = 0; i < faults.size(); ++i) by_request[{faults[i].request, faults[i].nth}].push_back(i);
      std::vector<std::vector<size_t>> groups;
      for (auto &g : by_request) {
        std::shuffle(g.second.begin(), g.second.end(), r.rng);
        groups.push_back(g.second);
      }
      std::shuffle(groups.begin(), groups.end(), r.rng);
      chosen.clear();
      for (size_t round = 0; chosen.size() < static_cast<size_t>(count_); ++round)
        for (const auto &g : groups)
          if (round < g.size() && chosen.size() < static_cast<size_t>(count_)) chosen.push_back(g[round]);
      std::sort(chosen.begin(), chosen.end());
    }
    for (size_t i : chosen) {
      if (i >= faults.size() || (end && Clock::now() >= *end)) break;
      w.reset();
      proxy.clear();
      proxy.plan(faults[i]);
      fault_index_ = static_cast<long>(i);
      looks_whole_ = i < looks_whole.size() && looks_whole[i];
      fault_reply_ = reply_of(clean, faults[i]);
      fault_request_ = faults[i].request;
      one_run(faults[i].text() + " (fault " + std::to_string(i) + " of " + std::to_string(faults.size()) + ")", false);
    }
    fault_index_ = -1;
    looks_whole_ = false;
    proxy_ = nullptr;
  }

  // The command's arguments.
  std::vector<std::string> args(bool dry_run) const {
    const World &w = *world_;
    std::vector<std::string> a{"--addr", proxy_->addr_text(), "-q"};
    std::string here = w.host + "/tree", there = ":/docs";
    switch (command_) {
      case Command::kPull: a.insert(a.end(), {"pull", "/docs", here}); return a;
      case Command::kSend: a.insert(a.end(), {"sync", here, there}); break;
      case Command::kSendDelete: a.insert(a.end(), {"sync", "--delete", here, there}); break;
      case Command::kFetch: a.insert(a.end(), {"sync", there, here}); break;
      case Command::kFetchDelete: a.insert(a.end(), {"sync", "--delete", there, here}); break;
      case Command::kMount: a.insert(a.end(), {"mount", "-f", w.dir.path() + "/mnt"}); return a;
    }
    if (dry_run) a.insert(a.begin() + 4, "--dry-run");
    return a;
  }
  std::string command_text(bool dry_run = false) const {
    std::string t = "zrlink";
    for (const auto &s : args(dry_run)) t += " " + (s.find(' ') == std::string::npos ? s : "'" + s + "'");
    return t;
  }

  // DST's side of the world, and the rest of it, as they stand.
  Tree dst_now() const {
    const World &w = *world_;
    if (command_ == Command::kPull) return read_tree(w.host + "/tree/docs");
    if (fetches(command_)) return read_tree(w.host + "/tree");
    return read_tree(w.storage + "/docs");
  }
  std::pair<Tree, Tree> outside_now() const {
    const World &w = *world_;
    std::string dst_top = command_ == Command::kPull ? "tree/docs" : "tree";
    if (command_ == Command::kMount) return {read_tree(w.host), read_tree(w.storage, {"docs"})};
    if (fetches(command_)) return {read_tree(w.host, {dst_top}), read_tree(w.storage)};
    return {read_tree(w.host), read_tree(w.storage, {"docs"})};
  }
  std::pair<Tree, Tree> outside_start() const {
    const World &w = *world_;
    std::string dst_top = command_ == Command::kPull ? "tree/docs" : "tree";
    if (command_ == Command::kMount) return {w.host_start, without(w.storage_start, "docs")};
    if (fetches(command_)) return {without(w.host_start, dst_top), w.storage_start};
    return {w.host_start, without(w.storage_start, "docs")};
  }

  void violation(const std::string &invariant, const std::string &fault, const std::string &detail) {
    std::string rerun =
        std::to_string(seed_) + ":" + name_of(command_) + (fault_index_ >= 0 ? ":" + std::to_string(fault_index_) : "");
    std::string text =
        "seed " + std::to_string(seed_) + ", " + command_text() + "\n  fault: " + fault +
        (fault_index_ >= 0 ? "\n  the reply without the fault (| where it struck): " + fault_reply_ : "") +
        "\n  invariant broken: " + invariant + "\n" + detail + (detail.empty() || detail.back() == '\n' ? "" : "\n") +
        "  again: ZR_PROPERTY_ONLY=" + rerun + "\n";
    std::printf("[ VIOLATION ] %s", text.c_str());
    std::fflush(stdout);
    violations_.push_back(text);
    // For the summary: the invariant, the kind of fault and the request's command word.
    std::string kind = fault_index_ < 0 ? fault
                                        : fault.substr(0, fault.find(' ')) + " of " +
                                              fault_request_.substr(0, fault_request_.find(' '));
    auto &s = summary_[invariant + ": " + kind];
    if (s.first++ == 0) s.second = rerun;
  }

  // A failure is an exit status and a message: never a signal or a sanitizer's report.
  void check_no_crash(int signal, const std::string &err, const std::string &fault) {
    bool reported = err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos;
    if (signal != 0 || reported)
      violation("no crash", fault, "  ended by signal " + std::to_string(signal) + "; standard error:\n" + indent(err));
  }

  void check_outside(const std::string &fault) {
    auto now = outside_now(), start = outside_start();
    auto all_same = [](const Node *b, const Node *, const Node *a) { return same(b, a); };
    std::string d = differing(start.first, start.first, now.first, all_same) +
                    differing(start.second, start.second, now.second, all_same);
    if (!d.empty()) violation("nothing outside SRC and DST changes", fault, "  (host and storage folders)\n" + d);
  }

  // One run of the command, and the checks of its outcome.
  void one_run(const std::string &fault_text, bool clean) {
    ++runs_;
    if (command_ == Command::kMount) return mount_run(fault_text, clean);
    Run r = zrlink(world_->dir.path(), args(false));
    proxy_->wait_idle(8000);
    if (!clean && !proxy_->played()) return;  // the request did not come this time
    if (!clean) ++played_;
    if (verbose_)
      std::printf("[ run ] seed %llu %s, %s: exit %d\n", static_cast<unsigned long long>(seed_), name_of(command_),
                  fault_text.c_str(), r.status);
    if (r.status < 0) violation("the command ends", fault_text, "  zrlink was still running after 60 s\n");
    check_no_crash(r.signal, r.err, fault_text);
    std::string said = "  exit status " + std::to_string(r.status) + "; standard error:\n" + indent(r.err);
    Tree after = dst_now();
    bool must_fail = false;
    Tree expected =
        command_ == Command::kPull ? pull_outcome(src_, dst_) : sync_outcome(src_, dst_, deletes(command_), &must_fail);
    std::string mixed = differing(dst_, expected, after, whole_old_or_new);
    if (!mixed.empty()) violation("every entry is whole, old or new", fault_text, "  (DST)\n" + mixed + said);
    check_outside(fault_text);
    std::string undone =
        differing(dst_, expected, after, [](const Node *, const Node *e, const Node *a) { return same(a, e); });
    // A listing that looks whole cannot show what it lost: what it did not show may stay
    // undone with 0 (nothing may be deleted because of it: the first check holds for it).
    if (r.status == 0 && (!undone.empty() || must_fail) && !looks_whole_)
      violation("exit status 0 only when everything was done", fault_text,
                (must_fail ? "  (the run had to fail: a file where SRC has a folder, or the other way round)\n" : "") +
                    undone + said);
    if (clean) {
      clean_status_ = r.status;
      clean_after_ = after;
      clean_log_ = proxy_->log();
      if (dry_ran_) compare_dry_run();
    }
  }

  static std::string indent(const std::string &text) {
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out += "    " + line + "\n";
    return out;
  }

  // ---- dry run ----
  void dry_run_check() {
    world_->reset();
    proxy_->clear();
    proxy_->plan(zrtest::Fault());
    Run r = zrlink(world_->dir.path(), args(true));
    ++runs_;
    dry_ran_ = true;
    dry_status_ = r.status;
    dry_out_ = r.out;
    Tree after = dst_now();
    std::string changed =
        differing(dst_, dst_, after, [](const Node *b, const Node *, const Node *a) { return same(a, b); });
    if (!changed.empty()) violation("a dry run changes nothing", "no fault (--dry-run)", changed);
    check_outside("no fault (--dry-run)");
  }

  // Relative DST path of a path as sync prints or requests it, or "" when it is not in DST.
  std::string dst_relative(std::string p, bool handheld) const {
    std::string root = handheld ? "/docs" : world_->host + "/tree";
    if (!p.empty() && p.back() == '/') p.pop_back();
    return below(p, root) ? p.substr(root.size() + 1) : "";
  }

  // The words of a line as a shell reads them: plain, 'single-quoted' (with '\'' for a
  // quote) and $'...' with backslash escapes, as the dry run quotes names.
  static std::vector<std::string> shell_words(const std::string &line) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    for (size_t i = 0; i < line.size(); ++i) {
      char c = line[i];
      if (c == ' ') {
        if (in_word) words.push_back(word);
        word.clear();
        in_word = false;
      } else if (c == '\'') {
        in_word = true;
        while (++i < line.size() && line[i] != '\'') word += line[i];
      } else if (c == '$' && i + 1 < line.size() && line[i + 1] == '\'') {
        in_word = true;
        for (i += 2; i < line.size() && line[i] != '\''; ++i) {
          if (line[i] != '\\' || i + 1 >= line.size()) {
            word += line[i];
            continue;
          }
          char e = line[++i];
          if (e >= '0' && e <= '7') {
            int v = 0;
            for (int k = 0; k < 3 && i < line.size() && line[i] >= '0' && line[i] <= '7'; ++k, ++i)
              v = v * 8 + (line[i] - '0');
            --i;
            word += static_cast<char>(v);
          } else {
            word += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
          }
        }
      } else {
        in_word = true;
        word += c;
      }
    }
    if (in_word) words.push_back(word);
    return words;
  }

  void compare_dry_run() {
    const std::string fault = "no fault (--dry-run, then the same run for real)";
    if ((dry_status_ == 0) != (clean_status_ == 0)) {
      violation("a dry run names what the run does", fault,
                "  the dry run exits with " + std::to_string(dry_status_) + ", the run with " +
                    std::to_string(clean_status_) + "\n");
      return;
    }
    if (clean_status_ != 0) return;  // the run stopped: what it would have done is not known
    const bool to_handheld = !fetches(command_);
    std::set<std::string> named_deletes, named_mkdirs, named_copies;
    std::istringstream lines(dry_out_);
    std::string odd;
    for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> w = shell_words(line);
      if (w.size() == 2 && w[0] == "delete") {
        named_deletes.insert(dst_relative(w[1], to_handheld));
      } else if (w.size() == 2 && w[0] == "mkdir") {
        named_mkdirs.insert(dst_relative(w[1], to_handheld));
      } else if (w.size() == 4 && (w[0] == "send" || w[0] == "fetch") && w[2] == "->") {
        named_copies.insert(dst_relative(w[3], to_handheld));
      } else {
        odd += "  a line that is no action: " + line + "\n";
      }
    }
    // What the run did: the copies it requested, the folders it made and what it removed
    // (or replaced), each folder's removal counted once.
    std::set<std::string> copies, made, removed;
    for (const auto &e : clean_log_) {
      std::vector<std::string> words = request_words(e.request);
      if (words.size() > 1 && (words[0] == "fput" || words[0] == "fget")) {
        std::string rel = dst_relative(words[1], true);
        if (!rel.empty()) copies.insert(rel);
      }
    }
    for (const auto &[p, n] : clean_after_)
      if (n.kind == 'd' && (!at(dst_, p) || at(dst_, p)->kind != 'd')) made.insert(p);
    for (const auto &[p, n] : dst_) {
      const Node *a = at(clean_after_, p);
      if (a && a->kind == n.kind) continue;
      if (std::any_of(removed.begin(), removed.end(), [&p = p](const std::string &q) { return below(p, q); })) continue;
      removed.insert(p);
    }
    auto compare = [&](const char *what, const std::set<std::string> &named, const std::set<std::string> &done) {
      std::string out;
      for (const auto &p : named)
        if (!done.count(p)) out += std::string("  named but not done: ") + what + " " + p + "\n";
      for (const auto &p : done)
        if (!named.count(p)) out += std::string("  done but not named: ") + what + " " + p + "\n";
      return out;
    };
    std::string d = odd + compare("delete", named_deletes, removed) + compare("mkdir", named_mkdirs, made) +
                    compare(to_handheld ? "send" : "fetch", named_copies, copies);
    if (!d.empty())
      violation("a dry run names what the run does", fault, d + "  the dry run said:\n" + indent(dry_out_));
  }

  // ---- mount ----
  void plan_mount_ops(Random &r) {
    std::vector<std::string> files, folders{""};
    for (const auto &[p, n] : src_) (n.kind == 'f' ? files : folders).push_back(p);
    std::shuffle(files.begin(), files.end(), r.rng);
    ops_.clear();
    std::string where = folders[r.below(static_cast<int>(folders.size()))];
    ops_.push_back({MountOp::kNew, (where.empty() ? "" : where + "/") + "new.txt", r.content(3000)});
    static const MountOp::Kind kinds[] = {MountOp::kReplace, MountOp::kAppend, MountOp::kRemove};
    for (size_t i = 0; i < files.size() && i < 3; ++i) {
      MountOp::Kind k = kinds[(i + static_cast<size_t>(r.below(3))) % 3];
      ops_.push_back({k, files[i], k == MountOp::kRemove ? "" : r.content(k == MountOp::kAppend ? 25 : r.size())});
    }
  }

  Tree mount_outcome() const {
    Tree e = src_;
    for (const auto &op : ops_) {
      if (op.kind == MountOp::kRemove)
        e.erase(op.path);
      else if (op.kind == MountOp::kAppend)
        e[op.path].data += op.data;
      else
        e[op.path] = Node{'f', op.data, 0};
    }
    return e;
  }

  // The operations through a mount of the proxy's handheld; each call bounded by the
  // mount's own time-out (a watchdog ends the mount when one hangs beyond 40 s).
  MountResult mount_and_operate() {
    MountResult m;
    const std::string mp = world_->dir.path() + "/mnt", err_name = world_->dir.path() + "/mount.err";
    mkdir(mp.c_str(), 0755);
    std::vector<std::string> a = args(false);
    pid_t pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_WRONLY), err = open(err_name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(null, 1);
      dup2(err, 2);
      child_environment(world_->dir.path());
      std::vector<char *> argv{const_cast<char *>(ZRLINK_PATH)};
      for (const auto &s : a) argv.push_back(const_cast<char *>(s.c_str()));
      argv.push_back(nullptr);
      execv(ZRLINK_PATH, argv.data());
      _exit(127);
    }
    int st = 0;
    bool ended = false;
    for (int i = 0; i < 500 && !zrtest::is_mounted(mp); ++i) {
      if (waitpid(pid, &st, WNOHANG) == pid) {
        ended = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m.mounted = !ended && zrtest::is_mounted(mp);
    if (m.mounted) {
      std::atomic<bool> busy{true};
      std::thread watchdog([&] {
        auto end = Clock::now() + std::chrono::seconds(40);
        while (busy && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (busy) {
          m.hung = true;
          kill(pid, SIGKILL);
        }
      });
      for (const auto &op : ops_) {
        std::string path = mp + "/docs/" + op.path, why;
        bool written = false, done = false;
        if (op.kind == MountOp::kRemove) {
          done = unlink(path.c_str()) == 0;
          if (!done) why = std::string("unlink: ") + std::strerror(errno);
        } else {
          int flags = O_WRONLY | (op.kind == MountOp::kAppend ? O_APPEND : O_CREAT | O_TRUNC);
          int fd = open(path.c_str(), flags, 0644);
          if (fd < 0) {
            why = std::string("open: ") + std::strerror(errno);
          } else {
            written = write(fd, op.data.data(), op.data.size()) == static_cast<ssize_t>(op.data.size());
            if (!written) why = std::string("write: ") + std::strerror(errno);
            done = close(fd) == 0 && written;
            if (written && !done) why = std::string("close: ") + std::strerror(errno);
          }
        }
        m.done.push_back(done);
        m.written.push_back(written);
        m.why.push_back(why);
        m.at_close.push_back(done && op.kind != MountOp::kRemove
                                 ? zrtest::ReadFile(world_->storage + "/docs/" + op.path).value_or("<missing>")
                                 : "");
      }
      busy = false;
      watchdog.join();
      std::system(("fusermount3 -u '" + mp + "' 2>/dev/null || fusermount3 -u -z '" + mp + "' 2>/dev/null").c_str());
    }
    if (!ended) {
      if (wait_child(pid, &st, std::chrono::seconds(20))) {
        ended = true;
      } else {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        if (zrtest::is_mounted(mp)) std::system(("fusermount3 -u -z '" + mp + "' 2>/dev/null").c_str());
      }
    }
    m.status = ended ? status_of(st) : -1;
    m.signal = ended && WIFSIGNALED(st) ? WTERMSIG(st) : 0;
    m.err = zrtest::ReadFile(err_name).value_or("");
    return m;
  }

  void mount_run(const std::string &fault_text, bool clean) {
    MountResult m = mount_and_operate();
    proxy_->wait_idle(8000);
    if (!clean && !proxy_->played()) return;
    if (!clean) ++played_;
    if (m.mounted) ++mounted_;
    if (verbose_) {
      std::printf("[ run ] seed %llu mount, %s: %s, exit %d;", static_cast<unsigned long long>(seed_),
                  fault_text.c_str(), m.mounted ? "mounted" : "not mounted", m.status);
      for (size_t i = 0; i < m.done.size(); ++i)
        std::printf(" %s %s", ops_[i].path.c_str(), m.done[i] ? "done" : m.why[i].c_str());
      std::printf("\n");
      if (clean) {
        for (const auto &[p, n] : src_) std::printf("        docs/%s: %s\n", p.c_str(), describe(&n).c_str());
        for (const auto &e : proxy_->log()) std::printf("        %s", e.request.c_str());
      }
    }
    std::string said = "  the mount's exit status " + std::to_string(m.status) + "; standard error:\n" + indent(m.err);
    for (size_t i = 0; i < m.done.size(); ++i) {
      static const char *verbs[] = {"write the new file", "replace", "append to", "remove"};
      said += std::string("  ") + verbs[ops_[i].kind] + " docs/" + ops_[i].path + ": " +
              (m.done[i] ? "done" : "failed, " + m.why[i]) + "\n";
    }
    if (m.status < 0)
      violation("the command ends", fault_text, "  the mount was still running 20 s after fusermount3 -u\n" + said);
    if (m.hung)
      violation("the command ends", fault_text, "  an operation in the mount took more than 40 s\n" + said);
    else
      check_no_crash(m.signal, m.err, fault_text);
    if (!m.mounted) {
      if (m.status == 0)
        violation("exit status 0 only when everything was done", fault_text, "  the mount never came up\n" + said);
    }
    Tree after = read_tree(world_->storage + "/docs"), expected = mount_outcome();
    std::string mixed = differing(src_, expected, after, whole_old_or_new);
    if (!mixed.empty())
      violation("every entry is whole, old or new", fault_text, "  (the handheld's docs/)\n" + mixed + said);
    check_outside(fault_text);
    std::string undone, dropped;
    for (size_t i = 0; i < m.done.size(); ++i) {
      const MountOp &op = ops_[i];
      const Node *a = at(after, op.path), *e = at(expected, op.path);
      if (m.done[i] && op.kind != MountOp::kRemove && m.at_close[i] != e->data)
        undone += "  docs/" + op.path +
                  " was not on the handheld when close returned: " + describe_content(m.at_close[i]) + "\n";
      if (same(a, e)) continue;
      if (m.done[i])
        undone += "  docs/" + op.path + " reported done: is " + describe(a) + ", should be " + describe(e) + "\n";
      else if (m.written[i])
        dropped += "  docs/" + op.path + ": its data were taken, its close failed, and it is " + describe(a) + "\n";
    }
    if (!undone.empty()) violation("success only when done", fault_text, undone + said);
    if (!dropped.empty() && m.status == 0)
      violation("exit status 0 only when everything was done", fault_text,
                "  (the mount ended with 0)\n" + dropped + said);
  }

  Command command_;
  long count_ = 3;
  int stall_ms_ = 300;
  bool verbose_ = false;
  uint64_t seed_ = 0;
  long fault_index_ = -1;
  bool looks_whole_ = false;   // the fault is a cut of a listing where it looks whole
  std::string fault_request_;  // the faulted request line
  std::string fault_reply_;    // the faulted request's reply in the run without faults, for messages
  int runs_ = 0, played_ = 0, mounted_ = 0;
  std::unique_ptr<World> world_;
  zrtest::FaultProxy *proxy_ = nullptr;
  Tree src_, dst_;
  std::vector<MountOp> ops_;
  bool dry_ran_ = false;
  int dry_status_ = -1, clean_status_ = -1;
  std::string dry_out_;
  Tree clean_after_;
  std::vector<zrtest::Exchange> clean_log_;
  std::vector<std::string> violations_;
  std::map<std::string, std::pair<int, std::string>> summary_;  // count and first case of each kind
};

void check(Command c) {
  std::vector<std::string> v = Property(c).run();
  EXPECT_TRUE(v.empty()) << v.size() << " violations, each printed above as [ VIOLATION ]";
}

TEST(ZrlinkProperty, Pull) { check(Command::kPull); }
TEST(ZrlinkProperty, SyncSend) { check(Command::kSend); }
TEST(ZrlinkProperty, SyncSendDelete) { check(Command::kSendDelete); }
TEST(ZrlinkProperty, SyncFetch) { check(Command::kFetch); }
TEST(ZrlinkProperty, SyncFetchDelete) { check(Command::kFetchDelete); }
TEST(ZrlinkProperty, Mount) {
  std::string why = zrtest::fuse_missing();
  if (!why.empty()) GTEST_SKIP() << "zrlink mount is not tested here: " << why;
  check(Command::kMount);
}

}  // namespace
