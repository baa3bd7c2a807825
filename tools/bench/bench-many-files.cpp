// bench-many-files -- many small files pushed to the handheld and pulled back through
// zrlink, one transfer at a time (-j 1) and several at a time (the default -j), against a
// baseline measured in the same run.
//
// The handheld is the simulator on a loopback address, storing into a private folder.  For
// small files the time goes to the pause of 40 ms that the library makes before every
// connection, and zrlink's worker processes make their pauses at the same time.  The
// baseline makes the same connections (a mkdir, then one per file) one after another in
// this process over plain sockets, with the same pause before each: what one program that
// talks the protocol itself would take.  zrlink runs as the user runs it (-q, a folder
// pushed and pulled back); every copy, on the handheld and back on the host, is compared
// with the source files.
//
// Usage: bench-many-files [FILES [BYTES]]     (default 1000 files of 1024 bytes)
#include "bench-support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

using namespace zrbench;

namespace {

using Clock = std::chrono::steady_clock;

const std::chrono::milliseconds PAUSE(40);  // the library's pause before each connection

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string file_name(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "f%04d", i);
  return name;
}

// Content that differs from file to file, so that a mixed-up copy shows.
bool make_file(const std::string &path, int index, size_t size) {
  std::string content(size, '\0');
  uint32_t x = 2463534242u ^ (static_cast<uint32_t>(index) * 2654435761u);
  for (char &c : content) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, content.data(), size) == static_cast<ssize_t>(size);
  return close(fd) == 0 && ok;
}

// One plain request whose whole reply is a status line; true for status 0.
bool plain_command(uint32_t addr, const std::string &command) {
  int fd = plain_connect(addr);
  bool ok = fd >= 0 && send_all(fd, command.data(), command.size()) && read_line(fd) == "0\n";
  if (fd >= 0) close(fd);
  return ok;
}

// Runs zrlink with its output dropped (its messages stay on standard error); true when it
// exits with 0.
bool zrlink(const std::vector<std::string> &args) { return zrbench::run_program(ZRLINK_PATH, args); }

// Every copy holds the source file of its name.
bool same_files(const std::string &source, const std::string &copy, int files) {
  for (int i = 0; i < files; ++i)
    if (!same_content(source + "/" + file_name(i), copy + "/" + file_name(i))) return false;
  return true;
}

struct Run {
  const char *what;
  double push = 0, pull = 0;  // seconds
};

}  // namespace

int main(int argc, char **argv) {
  int files = argc > 1 ? std::atoi(argv[1]) : 1000;
  long bytes = argc > 2 ? std::atol(argv[2]) : 1024;
  if (files < 1 || files > 9999 || bytes < 0 || bytes > (1L << 24)) {
    std::fprintf(stderr, "usage: bench-many-files [FILES (1..9999) [BYTES (0..16777216)]]\n");
    return 2;
  }
  const size_t size = static_cast<size_t>(bytes);
  const std::string folder = make_work_folder("zr-bench-many");
  if (folder.empty()) return 1;
  const std::string source = folder + "/src", storage = folder + "/storage";
  bool ok = mkdir(source.c_str(), 0755) == 0 && mkdir(storage.c_str(), 0755) == 0;
  for (int i = 0; ok && i < files; ++i) ok = make_file(source + "/" + file_name(i), i, size);
  if (!ok) std::fprintf(stderr, "cannot prepare %s\n", folder.c_str());
  std::unique_ptr<zrtest::SimProcess> started = ok ? storage_simulator(storage) : nullptr;
  if (!started) {
    remove_work_folder();
    return 1;
  }
  zrtest::SimProcess &sim = *started;
  const uint32_t addr = sim.addr();

  // The baseline: one connection after another, each after the pause.
  Run base{"baseline, one process"};
  auto t = Clock::now();
  std::this_thread::sleep_for(PAUSE);
  ok = plain_command(addr, "mkdir /base\n");
  for (int i = 0; ok && i < files; ++i) {
    std::this_thread::sleep_for(PAUSE);
    ok = plain_put(addr, "/base/" + file_name(i), source + "/" + file_name(i), size);
  }
  base.push = seconds_since(t);
  const std::string base_back = folder + "/base-back";
  ok = ok && mkdir(base_back.c_str(), 0755) == 0;
  t = Clock::now();
  for (int i = 0; ok && i < files; ++i) {
    std::this_thread::sleep_for(PAUSE);
    ok = plain_get(addr, "/base/" + file_name(i), base_back + "/" + file_name(i), size);
  }
  base.pull = seconds_since(t);
  ok = ok && same_files(source, storage + "/base", files) && same_files(source, base_back, files);
  if (!ok) std::fprintf(stderr, "the baseline failed, or its copies differ from the source\n");

  // zrlink with -j 1 and with its default.
  Run one{"zrlink -j 1"}, several{"zrlink (default -j)"};
  for (Run *run : {&one, &several}) {
    if (!ok) break;
    bool single = run == &one;
    std::string remote = single ? "/j1" : "/jdefault";
    std::string back = folder + (single ? "/j1-back" : "/jdefault-back");
    std::vector<std::string> jobs;
    if (single) jobs = {"-j", "1"};
    std::vector<std::string> push{"--addr", sim.addr_text(), "-q", "push"}, pull = push;
    pull.back() = "pull";
    push.insert(push.end(), jobs.begin(), jobs.end());
    pull.insert(pull.end(), jobs.begin(), jobs.end());
    push.insert(push.end(), {source, remote});
    pull.insert(pull.end(), {remote, back});
    t = Clock::now();
    ok = zrlink(push);
    run->push = seconds_since(t);
    t = Clock::now();
    ok = ok && zrlink(pull);
    run->pull = seconds_since(t);
    ok = ok && same_files(source, storage + remote, files) && same_files(source, back, files);
    if (!ok) std::fprintf(stderr, "%s failed, or its copies differ from the source\n", run->what);
  }
  sim.stop();
  remove_work_folder();
  if (!ok) return 1;

  std::printf("%d files of %zu bytes, pushed and pulled back; every copy compared with its source\n", files, size);
  std::printf("%-22s %9s %11s %9s %11s %9s\n", "", "push s", "files/s", "pull s", "files/s", "total s");
  for (const Run *run : {&base, &one, &several})
    std::printf("%-22s %9.2f %11.1f %9.2f %11.1f %9.2f\n", run->what, run->push, files / run->push, run->pull,
                files / run->pull, run->push + run->pull);
  auto ratio = [](const Run &a, const Run &b) { return (a.push + a.pull) / (b.push + b.pull); };
  std::printf("time ratio, default -j / -j 1:    %.3f   (push %.3f, pull %.3f)\n", ratio(several, one),
              several.push / one.push, several.pull / one.pull);
  std::printf("time ratio, -j 1 / baseline:      %.3f   (push %.3f, pull %.3f)\n", ratio(one, base),
              one.push / base.push, one.pull / base.pull);
  std::printf("time ratio, default -j / baseline: %.3f   (push %.3f, pull %.3f)\n", ratio(several, base),
              several.push / base.push, several.pull / base.pull);
  return 0;
}
