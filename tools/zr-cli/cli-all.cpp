// cli-all.cpp -- --all: one command on every answering handheld at the same time.
//
// The library keeps its state per process and is used from one thread, so each handheld's
// command runs in a child process of its own, forked with the library not started, given
// the handheld's address and its own local destination.  The parent reads every child's
// standard output and error through pipes and writes them line by line with the handheld's
// label in front, so that lines of different handhelds never mix within a line.  At the
// end it sums up: each handheld with its result, seconds and bytes.
#include "cli.h"
#include "cli-screen.h"
#include "zr-net.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace zrcli {

namespace {

bool has_placeholder(const std::string &text) {
  return text.find("{serial}") != std::string::npos || text.find("{name}") != std::string::npos ||
         text.find("{addr}") != std::string::npos;
}

// How a local destination is given its place for one handheld.
enum class Place {
  kIntoFolder,  // a folder the command puts things into: DEST/LABEL/, made here
  kAsFolder,    // a folder the command makes itself: DEST/LABEL
  kFile,        // a file: DIR/LABEL/NAME
};

// The folders made for a handheld's destination: the deepest, and the first of them that
// was missing.
struct Made {
  fs::path deepest, top;
};

// The handheld's own destination, with the folders leading to it made (noted in *made);
// "" with the reason in *why.
std::string place(const std::string &dest, const Handheld &h, Place how, std::string *why, Made *made) {
  std::string path;
  fs::path make;  // the folders to make
  if (has_placeholder(dest)) {
    path = expand_placeholders(dest, h);
    make = fs::path(path).parent_path();  // "a/b/" gives a/b, "a/b.txt" gives a
  } else if (how == Place::kFile) {
    fs::path p(dest);
    make = p.parent_path() / h.label;
    path = (make / p.filename()).string();
  } else {
    fs::path folder = fs::path(dest) / h.label;
    make = how == Place::kIntoFolder ? folder : fs::path(dest);
    path = folder.string() + (how == Place::kIntoFolder ? "/" : "");
  }
  std::error_code ec;
  if (!make.empty() && !fs::is_directory(make, ec)) {
    made->deepest = made->top = make;
    while (made->top.has_parent_path() && !fs::exists(made->top.parent_path(), ec)) made->top = made->top.parent_path();
    fs::create_directories(make, ec);
    if (ec) {
      *why = "cannot create " + make.string() + ": " + ec.message();
      return "";
    }
  }
  return path;
}

// One handheld's run.
struct Run {
  const Handheld *h = nullptr;
  Options opt;            // its own command line
  std::string sheet_png;  // screenshot: the picture it writes
  Made made;              // the folders made for its destination
  pid_t pid = -1;
  int out = -1, err = -1, result = -1;  // the parent's ends of the child's pipes
  std::string out_line, err_line;       // the line being read
  std::string json;                     // --json: the child's standard output whole
  uint64_t bytes = 0;
  int code = -1;  // the exit code
  std::chrono::steady_clock::time_point start;
  double seconds = 0;
  std::string failure;  // why it did not start
};

void close_fd(int &fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Starts the child of one run; false with the reason in run.failure.
bool start(Run &run, int (*command)(const Options &), const std::string &stdin_file) {
  Child child;
  run.start = std::chrono::steady_clock::now();
  if (!start_child(command, run.opt, stdin_file, &child, &run.failure)) return false;
  run.pid = child.pid;
  run.out = child.out;
  run.err = child.err;
  run.result = child.result;
  return true;
}

// Reads what is ready from one of a run's pipes; closes it at its end.
void drain(Run &run, int &fd, bool is_out, bool json) {
  char buf[8192];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (fd == run.result) {
    if (n == static_cast<ssize_t>(sizeof run.bytes)) std::memcpy(&run.bytes, buf, sizeof run.bytes);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof run.bytes)) close_fd(fd);
    return;
  }
  if (n > 0) {
    if (is_out && json) {
      run.json.append(buf, static_cast<size_t>(n));
    } else {
      std::string &line = is_out ? run.out_line : run.err_line;
      line.append(buf, static_cast<size_t>(n));
      emit_lines(line, run.h->label, is_out ? stdout : stderr, false);
    }
    return;
  }
  if (!is_out || !json) emit_lines(is_out ? run.out_line : run.err_line, run.h->label, is_out ? stdout : stderr, true);
  close_fd(fd);
}

void finish(Run &run) {
  int status = 0;
  while (waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.start).count();
  run.pid = -1;
}

// Runs them all, at most `at_once` at the same time.
void run_all(std::vector<Run> &runs, int (*command)(const Options &), int at_once, bool json,
             const std::string &stdin_file) {
  size_t next = 0;
  bool stopping = false;
  std::vector<Run *> running;
  for (;;) {
    while (!stopping && next < runs.size() && static_cast<int>(running.size()) < at_once) {
      Run &r = runs[next++];
      if (!r.failure.empty()) continue;  // it has no place of its own
      if (start(r, command, stdin_file))
        running.push_back(&r);
      else
        std::fprintf(stderr, "%s: zrlink: cannot start its process: %s\n", r.h->label.c_str(), r.failure.c_str());
    }
    if (running.empty()) break;
    if (interrupted() && !stopping) {
      stopping = true;
      for (Run *r : running) kill(r->pid, SIGINT);
    }
    std::vector<pollfd> fds;
    std::vector<std::pair<Run *, int *>> owners;
    for (Run *r : running)
      for (int *fd : {&r->out, &r->err, &r->result})
        if (*fd >= 0) {
          fds.push_back({*fd, POLLIN, 0});
          owners.push_back({r, fd});
        }
    if (!fds.empty() && poll(fds.data(), fds.size(), 200) > 0) {
      for (size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents) drain(*owners[i].first, *owners[i].second, owners[i].second == &owners[i].first->out, json);
    }
    for (auto it = running.begin(); it != running.end();) {
      Run *r = *it;
      if (r->out < 0 && r->err < 0 && r->result < 0) {
        finish(*r);
        it = running.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (size_t i = next; i < runs.size(); ++i)
    if (runs[i].failure.empty()) runs[i].failure = "stopped before it started";
}

std::string seconds_text(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", s);
  return buf;
}

bool succeeded(const Run &r) { return r.failure.empty() && r.code == kOk; }

std::string result_text(const Run &r) {
  if (!r.failure.empty()) return "not run";
  if (r.code == kOk) return "ok";
  return "failed (" + std::to_string(r.code) + ")";
}

}  // namespace

bool start_child(int (*command)(const Options &), const Options &opt, const std::string &stdin_file, Child *child,
                 std::string *why) {
  int out[2], err[2], res[2];
  if (pipe2(out, O_CLOEXEC) != 0) return *why = std::strerror(errno), false;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]), close(out[1]);
    return *why = std::strerror(errno), false;
  }
  if (pipe2(res, O_CLOEXEC) != 0) {
    close(out[0]), close(out[1]), close(err[0]), close(err[1]);
    return *why = std::strerror(errno), false;
  }
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    // A parent that ends abruptly stops the child as Ctrl-C would.
    prctl(PR_SET_PDEATHSIG, SIGINT);
    int in = open(stdin_file.empty() ? "/dev/null" : stdin_file.c_str(), O_RDONLY);
    if (in >= 0) dup2(in, 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    // None of the parent's other descriptors: they hold the read ends of this child's pipes
    // and of the children before it, and a child that held the read end of its own output
    // would wait for ever to write into the full pipe of a parent that has died, instead
    // of being told that nobody reads.
    dup2(res[1], 3);
    res[1] = 3;
    close_range(4, ~0U, 0);
    int code = command(opt);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, "zrlink: writing standard output failed: %s\n", std::strerror(errno));
      if (code == kOk) code = kFailed;
    }
    std::fflush(stderr);
    uint64_t bytes = bytes_counted();
    write_all(res[1], &bytes, sizeof bytes);
    _exit(code);
  }
  close(out[1]), close(err[1]), close(res[1]);
  if (pid < 0) {
    close(out[0]), close(err[0]), close(res[0]);
    return *why = std::strerror(errno), false;
  }
  child->pid = pid;
  child->out = out[0];
  child->err = err[0];
  child->result = res[0];
  return true;
}

void emit_lines(std::string &buffer, const std::string &label, FILE *to, bool last) {
  size_t start = 0;
  for (size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1)
    std::fprintf(to, "%s: %.*s\n", label.c_str(), static_cast<int>(nl - start), buffer.data() + start);
  buffer.erase(0, start);
  if (last && !buffer.empty()) {
    std::fprintf(to, "%s: %s\n", label.c_str(), buffer.c_str());
    buffer.clear();
  }
  std::fflush(to);
}

int class_of_handhelds(std::vector<Handheld> *out) {
  // The handhelds zrlink list shows; each answering one tells who it is, in the worker
  // process of its probe.
  Library lib;
  if (!lib.ok()) return ZR_E_SOCKET;
  std::vector<Handheld> all;
  int r = attached_handhelds(&all, [](uint32_t addr) {
    zr_info in;
    if (KQ_ZR_sr_info(addr, 1, &in) != 0) return std::string();
    return member_text(in.name, sizeof in.name) + '\n' + member_text(in.eid, sizeof in.eid);
  });
  for (auto &h : all) {
    if (h.probe != 0) continue;
    size_t line = h.asked.find('\n');
    if (line != std::string::npos) {
      h.name = h.asked.substr(0, line);
      h.serial = h.asked.substr(line + 1);
    }
    out->push_back(h);
  }
  for (auto &h : *out) {
    size_t same = std::count_if(out->begin(), out->end(), [&](const Handheld &o) { return o.serial == h.serial; });
    h.label = same == 1 && safe_name(h.serial) ? h.serial : addr_text(h.addr);
  }
  return r;
}

int find_class(std::vector<Handheld> *handhelds) {
  int r = class_of_handhelds(handhelds);
  if (r < 0 && handhelds->empty()) return report("discovery", r);
  if (handhelds->empty()) {
    std::fprintf(stderr, "zrlink: no handheld answers (zrlink list shows what is attached)\n");
    hint_unaddressed_adapters();
    return kNoDevice;
  }
  return kOk;
}

bool runs_on_all(const std::string &command) {
  for (const char *c : {"info", "ls", "stat", "push", "pull", "sync", "rm", "mkdir", "mv", "screenshot", "osupg"})
    if (command == c) return true;
  return false;
}

std::string expand_placeholders(const std::string &text, const Handheld &h) {
  const std::string name = safe_name(h.name) ? h.name : h.label;
  std::string s;
  for (size_t i = 0; i < text.size();) {
    if (text.compare(i, 8, "{serial}") == 0) {
      s += h.label;
      i += 8;
    } else if (text.compare(i, 6, "{name}") == 0) {
      s += name;
      i += 6;
    } else if (text.compare(i, 6, "{addr}") == 0) {
      s += addr_text(h.addr);
      i += 6;
    } else {
      s += text[i++];
    }
  }
  return s;
}

int run_on_all(const std::string &command, int (*run)(const Options &), bool json_output, const Options &opt) {
  // Standard output carries every handheld's lines: a picture or a file cannot go there.
  if ((command == "pull" && opt.args.size() > 1 && opt.args.back() == "-") ||
      (command == "screenshot" && !opt.args.empty() && opt.args[0] == "-")) {
    std::fprintf(stderr, "zrlink: %s --all writes a file per handheld, not standard output\n", command.c_str());
    return kUsage;
  }
  if (!opt.sheet.empty() && command != "screenshot") {
    std::fprintf(stderr, "zrlink: --sheet is for screenshot --all\n");
    return kUsage;
  }
  std::vector<Handheld> handhelds;
  if (int code = find_class(&handhelds)) return code;
  // Standard input goes to every handheld's push: read once, given to each.
  std::unique_ptr<StdinCopy> input;
  if (command == "push" && std::find(opt.args.begin(), opt.args.end() - 1, "-") != opt.args.end() - 1) {
    input = std::make_unique<StdinCopy>();
    if (!input->ok()) {
      std::fprintf(stderr, "zrlink: push: %s\n", input->why().c_str());
      return kFailed;
    }
  }
  // One question for all.
  Options base = opt;
  if (command == "osupg" && !opt.yes && isatty(STDIN_FILENO)) {
    std::string labels;
    for (const auto &h : handhelds) labels += (labels.empty() ? "" : ", ") + h.label;
    if (!confirmed("Install the OS image " + opt.args[0] + " on " + std::to_string(handhelds.size()) +
                   (handhelds.size() == 1 ? " handheld (" : " handhelds (") + labels + ")?")) {
      std::fprintf(stderr, "zrlink: osupg: nothing installed\n");
      return interrupted() ? cancelled_exit_code() : kFailed;
    }
    base.yes = true;
  }
  base.all = false;
  base.sheet.clear();
  base.progress = false;  // a progress display per handheld would only garble the lines
  if (!json_output) base.json = false;
  const std::string screenshot_default = dated_name();

  std::vector<Run> runs(handhelds.size());
  for (size_t i = 0; i < handhelds.size(); ++i) {
    Run &run = runs[i];
    const Handheld &h = handhelds[i];
    run.h = &h;
    run.opt = base;
    run.opt.addr_text = addr_text(h.addr);
    std::vector<std::string> &args = run.opt.args;
    for (auto &a : args) a = expand_placeholders(a, h);
    std::string why, *dest = nullptr;
    Place how = Place::kFile;
    if (command == "pull") {
      if (opt.args.size() == 1) args.push_back(".");
      dest = &args.back();
      std::error_code ec;
      if (args.size() > 2 || (!dest->empty() && dest->back() == '/') || fs::is_directory(*dest, ec))
        how = Place::kIntoFolder;
      *dest = place(opt.args.size() == 1 ? "." : opt.args.back(), h, how, &why, &run.made);
    } else if (command == "sync" && !args[0].empty() && args[0][0] == ':') {
      dest = &args[1];
      *dest = place(opt.args[1], h, Place::kAsFolder, &why, &run.made);
    } else if (command == "screenshot") {
      if (args.empty()) args.push_back(screenshot_default);
      dest = &args[0];
      *dest = place(opt.args.empty() ? screenshot_default : opt.args[0], h, Place::kFile, &why, &run.made);
      run.sheet_png = *dest;
    }
    if (dest && dest->empty()) run.failure = why;
  }
  for (auto &run : runs)
    if (!run.failure.empty())
      std::fprintf(stderr, "%s: zrlink: %s: %s\n", run.h->label.c_str(), command.c_str(), run.failure.c_str());
  run_all(runs, run, opt.max_handhelds, opt.json, input ? input->path() : "");

  int code = kOk;
  std::vector<std::string> failed;
  for (const auto &run : runs) {
    if (succeeded(run)) continue;
    failed.push_back(run.h->label);
    // The folders made for a handheld that left nothing in them go again (a folder that
    // holds anything, another handheld's files too, stays).
    std::error_code ec;
    for (fs::path p = run.made.deepest; !p.empty(); p = p.parent_path()) {
      if (!fs::remove(p, ec) || p == run.made.top) break;
    }
  }
  if (!failed.empty()) code = kFailed;

  std::string sheet_why;
  bool sheet_ok = true;
  if (!opt.sheet.empty() && !interrupted()) {
    std::vector<SheetCell> cells;
    for (const auto &run : runs)
      cells.push_back(
          {succeeded(run) ? run.sheet_png : "", (run.h->name.empty() ? std::string("-") : run.h->name) + "  " +
                                                    (run.h->serial.empty() ? addr_text(run.h->addr) : run.h->serial)});
    sheet_ok = write_sheet(opt.sheet, cells, &sheet_why);
    if (!sheet_ok) code = kFailed;
  }

  if (opt.json) {
    std::string members;
    for (const auto &run : runs) {
      std::string output = run.json;
      while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
      std::string value = output.empty() ? "null" : json_output ? output : json_string(output + "\n");
      members += std::string(members.empty() ? "" : ",\n") + "  " + json_string(run.h->label) +
                 ": {\"address\": " + json_string(addr_text(run.h->addr)) + ", \"name\": " + json_string(run.h->name) +
                 ", \"serial\": " + json_string(run.h->serial) + ", \"ok\": " + (succeeded(run) ? "true" : "false") +
                 ", \"exitCode\": " + (run.failure.empty() ? std::to_string(run.code) : "null") +
                 ", \"seconds\": " + seconds_text(run.seconds) + ", \"bytes\": " + std::to_string(run.bytes) +
                 ",\n    \"output\": " + value + "}";
    }
    std::string failed_json;
    for (const auto &f : failed) failed_json += (failed_json.empty() ? "" : ", ") + json_string(f);
    std::printf("{\"command\": %s, \"ok\": %s, \"failed\": [%s],%s\n \"handhelds\": {\n%s\n}}\n",
                json_string(command).c_str(), code == kOk ? "true" : "false", failed_json.c_str(),
                opt.sheet.empty() ? "" : (" \"sheet\": " + (sheet_ok ? json_string(opt.sheet) : "null") + ",").c_str(),
                members.c_str());
  } else {
    size_t width = 8;
    for (const auto &run : runs) width = std::max(width, run.h->label.size());
    std::fprintf(stderr, "zrlink: %s on %zu handheld%s: %zu ok", command.c_str(), runs.size(),
                 runs.size() == 1 ? "" : "s", runs.size() - failed.size());
    if (!failed.empty()) {
      std::fprintf(stderr, ", %zu failed:", failed.size());
      for (const auto &f : failed) std::fprintf(stderr, " %s", f.c_str());
    }
    std::fprintf(stderr, "\n  %-*s  %-12s %9s %12s\n", static_cast<int>(width), "handheld", "result", "seconds",
                 "bytes");
    for (const auto &run : runs)
      std::fprintf(stderr, "  %-*s  %-12s %9s %12llu\n", static_cast<int>(width), run.h->label.c_str(),
                   result_text(run).c_str(), seconds_text(run.seconds).c_str(),
                   static_cast<unsigned long long>(run.bytes));
  }
  if (!opt.sheet.empty() && !interrupted()) {
    if (sheet_ok)
      std::fprintf(stderr, "zrlink: contact sheet of %zu screens: %s\n", runs.size(), opt.sheet.c_str());
    else
      std::fprintf(stderr, "zrlink: contact sheet: %s\n", sheet_why.c_str());
  }
  if (interrupted()) return cancelled_exit_code();
  return code;
}

}  // namespace zrcli
