// cli-files.cpp -- ls, stat, mkdir, rmdir, rm, mv, cp, push and pull.
#include "cli.h"
#include "zr-net.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace zrcli {

bool is_folder(const zr_attr &a) { return (a.type & 0xFFu) != 0; }

std::string remote_join(const std::string &dir, const std::string &name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool safe_name(const std::string &name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

int list_folder(uint32_t addr, const std::string &path, std::vector<Entry> *out, int *skipped) {
  if (skipped) *skipped = 0;
  int h = KQ_ZR_fm_dirinit(addr, path.c_str());
  if (h < 0) return h;
  char name[512];
  for (;;) {
    zr_attr attr{};
    int n = KQ_ZR_fm_direnum(h, name, sizeof name, &attr);
    if (n < 0) {
      KQ_ZR_fm_dirdone(h);
      return n == ZR_E_END ? 0 : n;
    }
    // A name joined to the folder must name something in it: "../keep/a" or "." would
    // lead elsewhere (a longer name than the buffer is cut, and is no name either).
    std::string listed(name);
    if (!safe_name(listed) || static_cast<size_t>(n) != listed.size()) {
      std::fprintf(stderr, "zrlink: skipping the unsafe name %s listed in %s\n", json_string(listed).c_str(),
                   path.c_str());
      if (skipped) ++*skipped;
      continue;
    }
    out->push_back({listed, attr});
  }
}

namespace {

std::string remote_base(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string when(uint32_t t) {
  if (t == 0) return "-";
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  char buf[32];
  if (!gmtime_r(&tt, &tm) || !std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm)) return std::to_string(t);
  return buf;
}

Context on_handheld(const std::string &path, Doing doing = Doing::kFileOp) {
  Context c;
  c.doing = doing;
  c.remote = path;
  return c;
}

// A failed operation on a handheld path, reported in the user's words.
int report_op(const std::string &what, const std::string &path, int code, Doing doing = Doing::kFileOp) {
  return report(what + " " + path, code, on_handheld(path, doing));
}

int simple_op(const Options &opt, unsigned op, const char *what) {
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  const uint32_t addr = s.addr();
  int r = KQ_ZR_fm_fileop(addr, op, opt.args[0].c_str(), opt.args.size() > 1 ? opt.args[1].c_str() : nullptr);
  if (r < 0) {
    // A refused copy or move concerns the target when the source is there.
    zr_attr a{};
    const std::string &path =
        opt.args.size() > 1 && KQ_ZR_fm_dirattr(addr, opt.args[0].c_str(), &a) == 0 ? opt.args[1] : opt.args[0];
    return report_op(what, path, r, op == ZR_FM_RMDIR ? Doing::kRemoveFolder : Doing::kFileOp);
  }
  return kOk;
}

// Removes a handheld file, or a folder with everything in it.
int remove_tree(uint32_t addr, const std::string &path) {
  zr_attr a{};
  int r = KQ_ZR_fm_dirattr(addr, path.c_str(), &a);
  if (r < 0) return report_op("rm", path, r);
  if (!is_folder(a)) {
    r = KQ_ZR_fm_fileop(addr, ZR_FM_DEL, path.c_str(), nullptr);
    return r < 0 ? report_op("rm", path, r) : kOk;
  }
  std::vector<Entry> entries;
  int skipped = 0;
  r = list_folder(addr, path, &entries, &skipped);
  if (r < 0) return report_op("ls", path, r);
  for (const auto &e : entries) {
    if (interrupted()) return cancelled_exit_code();
    int c = remove_tree(addr, remote_join(path, e.name));
    if (c != kOk) return c;
  }
  // What the unsafe names stand for is unknown: the folder is not empty as far as zrlink
  // can tell, and it stays.
  if (skipped > 0) {
    std::fprintf(stderr, "zrlink: rm: %s is not removed: %d of its names could not be removed safely\n", path.c_str(),
                 skipped);
    return kFailed;
  }
  r = KQ_ZR_fm_fileop(addr, ZR_FM_RMDIR, path.c_str(), nullptr);
  return r < 0 ? report_op("rm", path, r, Doing::kRemoveFolder) : kOk;
}

// Adds the files below a local folder to a push, creating the handheld's folders.  Symbolic
// links are followed only with -L (each folder once, so a link to a folder above cannot
// loop); FIFOs, sockets and devices are skipped with a warning.
int plan_push_folder(uint32_t addr, const fs::path &local, const std::string &remote, const Options &opt,
                     std::vector<Transfer> *jobs, std::set<std::pair<dev_t, ino_t>> *seen) {
  struct stat st;
  if (stat(local.c_str(), &st) == 0 && !seen->insert({st.st_dev, st.st_ino}).second) {
    std::fprintf(stderr, "zrlink: push: skipping %s: a link leads back to a folder already sent\n", local.c_str());
    return kOk;
  }
  int r = KQ_ZR_fm_fileop(addr, ZR_FM_MKDIR, remote.c_str(), nullptr);
  if (r < 0 && r != kExists) return report_op("mkdir", remote, r);
  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(local, ec), end; !ec && it != end; it.increment(ec)) entries.push_back(*it);
  if (ec) {
    std::fprintf(stderr, "zrlink: push: %s: %s\n", local.c_str(), ec.message().c_str());
    return kFailed;
  }
  std::sort(entries.begin(), entries.end());
  for (const auto &e : entries) {
    std::string to = remote_join(remote, e.path().filename().string());
    fs::file_status type = e.symlink_status(ec);
    if (fs::is_symlink(type)) {
      if (!opt.follow_links) {
        std::fprintf(stderr, "zrlink: push: skipping the symbolic link %s (-L sends what it points to)\n",
                     e.path().c_str());
        continue;
      }
      type = e.status(ec);
    }
    if (fs::is_directory(type)) {
      int c = plan_push_folder(addr, e.path(), to, opt, jobs, seen);
      if (c != kOk) return c;
    } else if (fs::is_regular_file(type)) {
      jobs->push_back({e.path().string(), to, fs::file_size(e.path(), ec)});
    } else {
      std::fprintf(stderr, "zrlink: push: skipping %s: %s\n", e.path().c_str(),
                   fs::exists(type) ? "not a file or folder (a FIFO, socket or device)" : "a link that leads nowhere");
    }
  }
  return kOk;
}

// The end of a push or pull: with --json its summary on standard output, with --keep-going
// what failed on standard error.  `unplanned` are the sources that failed before any
// transfer started, with why.
int sum_up(const Options &opt, const char *verb, const std::vector<Transfer> &jobs, const Outcome &outcome,
           const std::vector<std::pair<std::string, std::string>> &unplanned, int code) {
  size_t failed = outcome.failed.size() + unplanned.size();
  if (code == kOk && failed > 0) code = kFailed;
  if (opt.json) {
    uint64_t bytes = 0;
    std::string copied, failures;
    for (const Transfer *t : outcome.copied) {
      bytes += t->size;
      copied += std::string(copied.empty() ? "" : ", ") + "{\"from\": " + json_string(t->from) +
                ", \"to\": " + json_string(t->to) + ", \"size\": " + std::to_string(t->size) + "}";
    }
    auto add = [&](const std::string &from, const std::string &to, const std::string &why) {
      failures += std::string(failures.empty() ? "" : ", ") + "{\"from\": " + json_string(from) +
                  ", \"to\": " + (to.empty() ? std::string("null") : json_string(to)) +
                  ", \"error\": " + json_string(why) + "}";
    };
    for (const auto &f : unplanned) add(f.first, "", f.second);
    for (const auto &f : outcome.failed) add(f.first->from, f.first->to, f.second);
    std::printf(
        "{\"command\": %s, \"ok\": %s, \"files\": %zu, \"bytes\": %llu,\n \"copied\": [%s],\n "
        "\"failed\": [%s]}\n",
        json_string(verb).c_str(), code == kOk ? "true" : "false", outcome.copied.size(),
        static_cast<unsigned long long>(bytes), copied.c_str(), failures.c_str());
  }
  if (opt.keep_going && failed > 0 && !interrupted()) {
    std::fprintf(stderr, "zrlink: %s: %zu of %zu files failed, %zu copied:\n", verb, failed,
                 jobs.size() + unplanned.size(), outcome.copied.size());
    for (const auto &f : unplanned) std::fprintf(stderr, "  %s\n", f.first.c_str());
    for (const auto &f : outcome.failed) std::fprintf(stderr, "  %s\n", f.first->from.c_str());
  }
  return code;
}

// A symbolic link where a pull would write (below the target it was given) is never
// written or fetched through: it is named, noted in *refused and left as it is.
bool link_in_the_way(const std::string &from, const fs::path &to,
                     std::vector<std::pair<std::string, std::string>> *refused) {
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(to, ec))) return false;
  const char *why = "a symbolic link is in the way (zrlink does not write through it)";
  std::fprintf(stderr, "zrlink: pull %s: %s: %s\n", from.c_str(), to.c_str(), why);
  refused->push_back({from, why});
  return true;
}

// Adds the files below a handheld folder to a pull, creating the local folders (noted in
// *made so a cancelled pull can take them away again); links in the way go to *refused.
int plan_pull_folder(uint32_t addr, const std::string &remote, const fs::path &local, std::vector<Transfer> *jobs,
                     std::vector<fs::path> *made, std::vector<std::pair<std::string, std::string>> *refused) {
  std::error_code ec;
  if (!fs::is_directory(local, ec)) {
    if (!fs::create_directory(local, ec)) {
      std::fprintf(stderr, "zrlink: pull: cannot create %s: %s\n", local.c_str(), ec.message().c_str());
      return kFailed;
    }
    made->push_back(local);
  }
  std::vector<Entry> entries;
  int skipped = 0;
  int r = list_folder(addr, remote, &entries, &skipped);
  if (r < 0) return report_op("ls", remote, r);
  if (skipped > 0) refused->push_back({remote, "names listed there that lead outside it were left out"});
  for (const auto &e : entries) {
    std::string from = remote_join(remote, e.name);
    if (link_in_the_way(from, local / e.name, refused)) continue;
    if (is_folder(e.attr)) {
      int c = plan_pull_folder(addr, from, local / e.name, jobs, made, refused);
      if (c != kOk) return c;
    } else {
      jobs->push_back({from, (local / e.name).string(), e.attr.size});
    }
  }
  return kOk;
}

void remove_made_folders(std::vector<fs::path> &made) {
  std::error_code ec;
  for (auto it = made.rbegin(); it != made.rend(); ++it) fs::remove(*it, ec);  // only succeeds for a folder left empty
}

}  // namespace

int cmd_ls(const Options &opt) {
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  const uint32_t addr = s.addr();
  std::string path = opt.args.empty() ? "/" : opt.args[0];
  std::vector<Entry> entries;
  int r = list_folder(addr, path, &entries);
  if (r < 0) return report_op("ls", path, r);
  if (opt.json) {
    std::printf("{\"path\": %s, \"entries\": [", json_string(path).c_str());
    for (size_t i = 0; i < entries.size(); ++i)
      std::printf("%s\n  %s", i ? "," : "",
                  entry_json(remote_join(path, entries[i].name), entries[i].name, is_folder(entries[i].attr),
                             entries[i].attr.size, entries[i].attr.time)
                      .c_str());
    std::printf("%s]}\n", entries.empty() ? "" : "\n");
    return kOk;
  }
  for (const auto &e : entries) {
    if (opt.long_list)
      std::printf("%s %10u  %s  %s%s\n", is_folder(e.attr) ? "d" : "-", e.attr.size, when(e.attr.time).c_str(),
                  e.name.c_str(), is_folder(e.attr) ? "/" : "");
    else
      std::printf("%s%s\n", e.name.c_str(), is_folder(e.attr) ? "/" : "");
  }
  return kOk;
}

int cmd_stat(const Options &opt) {
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  const uint32_t addr = s.addr();
  std::string json;
  for (const auto &path : opt.args) {
    zr_attr a{};
    int r = KQ_ZR_fm_dirattr(addr, path.c_str(), &a);
    if (r < 0) return report_op("stat", path, r);
    if (opt.json)
      json += std::string(json.empty() ? "" : ",") + "\n  " +
              entry_json(path, remote_base(path), is_folder(a), a.size, a.time);
    else
      std::printf("%s\n  type   %s (%u)\n  size   %u bytes\n  time   %s (%u)\n  bits   0%o\n", path.c_str(),
                  is_folder(a) ? "folder" : "file", a.type, a.size, when(a.time).c_str(), a.time, a.bits);
  }
  if (opt.json) std::printf("{\"entries\": [%s\n]}\n", json.c_str());
  return kOk;
}

int cmd_mkdir(const Options &opt) {
  if (!opt.parents) return simple_op(opt, ZR_FM_MKDIR, "mkdir");
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  const uint32_t addr = s.addr();
  // Each folder on the way, from the top; one that exists already is fine.
  const std::string &path = opt.args[0];
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    std::string part = path.substr(0, end);
    if (!part.empty() && part != "/" && part.back() != '/') {
      int r = KQ_ZR_fm_fileop(addr, ZR_FM_MKDIR, part.c_str(), nullptr);
      zr_attr a{};
      if (r == kExists && KQ_ZR_fm_dirattr(addr, part.c_str(), &a) == 0 && !is_folder(a)) {
        std::fprintf(stderr, "zrlink: mkdir %s: %s is a file on the handheld\n", path.c_str(), part.c_str());
        return kFailed;
      }
      if (r < 0 && r != kExists) return report_op("mkdir", part, r);
    }
    if (end == std::string::npos) return kOk;
  }
}

int cmd_rmdir(const Options &opt) { return simple_op(opt, ZR_FM_RMDIR, "rmdir"); }

int cmd_rm(const Options &opt) {
  if (!opt.recursive) return simple_op(opt, ZR_FM_DEL, "rm");
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  return remove_tree(s.addr(), opt.args[0]);
}

int cmd_mv(const Options &opt) { return simple_op(opt, ZR_FM_MOVE, "mv"); }
int cmd_cp(const Options &opt) { return simple_op(opt, ZR_FM_COPY, "cp"); }

int cmd_push(const Options &opt) {
  std::vector<std::string> sources(opt.args.begin(), opt.args.end() - 1);
  const std::string &target = opt.args.back();
  // Standard input ("-") is sent as a file of its own: read whole first, for its size.
  const bool from_stdin = std::find(sources.begin(), sources.end(), "-") != sources.end();
  if (from_stdin && sources.size() > 1) {
    std::fprintf(stderr, "zrlink: push: - (standard input) is sent alone: give it as the only LOCAL\n");
    return kUsage;
  }
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  const uint32_t addr = s.addr();
  zr_attr ta{};
  int tr = KQ_ZR_fm_dirattr(addr, target.c_str(), &ta);
  if (unreachable(tr)) return report_op("push", target, tr);
  // A target ending in / is a folder that must be there: never a file of that name.
  if (target.size() > 1 && target.back() == '/' && (tr < 0 || !is_folder(ta))) {
    if (tr < 0 && tr != ZR_E_COMMAND) return report_op("push", target, tr);
    std::fprintf(stderr, "zrlink: push: %s: no such folder on the handheld\n", target.c_str());
    return kFailed;
  }
  bool into = sources.size() > 1 || target.back() == '/' || (tr == 0 && is_folder(ta));
  if (from_stdin && into) {
    std::fprintf(stderr, "zrlink: push: %s is a folder; standard input needs the handheld file's name\n",
                 target.c_str());
    return kFailed;
  }
  std::unique_ptr<StdinCopy> input;
  if (from_stdin) {
    input = std::make_unique<StdinCopy>();
    if (!input->ok()) {
      std::fprintf(stderr, "zrlink: push: %s\n", input->why().c_str());
      return kFailed;
    }
    sources[0] = input->path();
  }

  std::vector<Transfer> jobs;
  std::vector<std::pair<std::string, std::string>> unplanned;
  std::set<std::pair<dev_t, ino_t>> seen;
  for (const auto &src : sources) {
    std::error_code ec;
    fs::path local(src);
    auto st = fs::status(local, ec);
    std::string why;
    if (ec || !fs::exists(st))
      why = "no such file or folder";
    else if (!fs::is_directory(st) && !fs::is_regular_file(st))
      why = "not a file or folder (a FIFO, socket or device)";
    if (!why.empty()) {
      std::fprintf(stderr, "zrlink: push: %s: %s\n", src.c_str(), why.c_str());
      if (!opt.keep_going) return kFailed;
      unplanned.push_back({src, why});
      continue;
    }
    std::string name = local.filename().empty() ? local.parent_path().filename().string() : local.filename().string();
    std::string to = into ? remote_join(target, name) : target;
    if (fs::is_directory(st)) {
      size_t before = jobs.size();
      int c = plan_push_folder(addr, local, to, opt, &jobs, &seen);
      if (c != kOk) {
        if (!opt.keep_going || interrupted()) return c;
        jobs.resize(before);
        unplanned.push_back({src, "the folder could not be sent whole"});
      }
    } else {
      jobs.push_back({src, to, fs::file_size(local, ec)});
    }
  }
  Outcome outcome;
  int code = run_transfers(addr, ZR_FM_PUT, jobs, opt, nullptr, &outcome);
  return sum_up(opt, "push", jobs, outcome, unplanned, code);
}

int cmd_pull(const Options &opt) {
  // "-" as the target: the files to standard output, as cat writes them.
  if (opt.args.size() > 1 && opt.args.back() == "-") {
    if (opt.json) {
      std::fprintf(stderr, "zrlink: pull: --json and - both want standard output: give one\n");
      return kUsage;
    }
    Session s(opt);
    if (!s.ok()) return s.exit_code();
    return files_to_stdout(s.addr(), std::vector<std::string>(opt.args.begin(), opt.args.end() - 1), opt);
  }
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  const uint32_t addr = s.addr();
  // Without a local target the files come into the current folder.
  const bool has_target = opt.args.size() > 1;
  std::vector<std::string> sources(opt.args.begin(), has_target ? opt.args.end() - 1 : opt.args.end());
  std::string target_text = has_target ? opt.args.back() : ".";
  fs::path target(target_text);
  std::error_code ec;
  const bool folder = fs::is_directory(target, ec);
  if ((sources.size() > 1 || target_text.back() == '/') && !folder) {
    std::fprintf(stderr, "zrlink: pull: %s: no such folder\n", target_text.c_str());
    return kFailed;
  }
  bool into = sources.size() > 1 || folder;

  std::vector<Transfer> jobs;
  std::vector<fs::path> made;
  std::vector<std::pair<std::string, std::string>> unplanned;
  int result = kOk;
  for (const auto &src : sources) {
    zr_attr a{};
    int r = KQ_ZR_fm_dirattr(addr, src.c_str(), &a);
    int c = kOk;
    size_t before = jobs.size();
    fs::path to = into ? target / remote_base(src) : target;
    if (r < 0) {
      c = report_op("pull", src, r);
    } else if (into && link_in_the_way(src, to, &unplanned)) {
      // named, and left as it is
    } else if (is_folder(a)) {
      c = plan_pull_folder(addr, src, to, &jobs, &made, &unplanned);
    } else {
      jobs.push_back({src, to.string(), a.size});
    }
    if (c != kOk) {
      result = c;
      if (!opt.keep_going || interrupted() || c == kNoDevice) break;
      result = kOk;
      jobs.resize(before);
      unplanned.push_back({src, r < 0 ? explain(on_handheld(src), r) : "the folder could not be listed"});
    }
  }
  // A pull stopped by a signal takes away the files and folders it made.
  std::vector<std::string> created;
  Outcome outcome;
  if (result == kOk) result = run_transfers(addr, ZR_FM_GET, jobs, opt, &created, &outcome);
  if (interrupted()) {
    for (const auto &f : created) fs::remove(f, ec);
    remove_made_folders(made);
    return result == kOk ? cancelled_exit_code() : result;
  }
  if (result != kOk && result != kFailed) return result;
  return sum_up(opt, "pull", jobs, outcome, unplanned, result);
}

}  // namespace zrcli
