// bench-mount -- a tree of files copied out of the handheld two ways in one run: `cp -r`
// out of the folder that `zrlink mount` makes, against `zrlink pull` of the same tree (the
// baseline, with its default of several transfers at a time).  A second `cp -r` shows the
// mount's cache: unchanged files are not fetched again.
//
// The handheld is the simulator on a loopback address, serving a private folder.  Both
// overlap their transfers in worker processes (each after the library's pause before a
// connection): pull those of its list, the mount those of the files after the one that
// cp opens; the aim is a time ratio of at most 1.3.  Every copy is compared with the
// source.  Needs /dev/fuse and fusermount3 (it says so and ends with 0 where they are
// missing).
//
// Usage: bench-mount [FILES [BYTES]]     (default 200 files of 4096 bytes, in 4 folders)
#include "bench-support.h"
#include "fuse_mount.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

using namespace zrbench;

namespace {

using Clock = std::chrono::steady_clock;

// Seconds that a shell command takes; negative when it fails.
double timed(const std::string &command) {
  auto t = Clock::now();
  int r = std::system(command.c_str());
  double s = std::chrono::duration<double>(Clock::now() - t).count();
  return r == 0 ? s : -1;
}

bool make_file(const std::string &path, int index, size_t size) {
  std::string content(size, '\0');
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>('a' + (i * 7 + static_cast<size_t>(index)) % 26);
  std::ofstream f(path, std::ios::binary);
  f << content;
  return static_cast<bool>(f);
}

}  // namespace

int main(int argc, char **argv) {
  int files = argc > 1 ? std::atoi(argv[1]) : 200;
  long bytes = argc > 2 ? std::atol(argv[2]) : 4096;
  if (files < 1 || files > 9999 || bytes < 0 || bytes > (1L << 24)) {
    std::fprintf(stderr, "usage: bench-mount [FILES (1..9999) [BYTES (0..16777216)]]\n");
    return 2;
  }
  std::string why = zrtest::fuse_missing();
  if (!why.empty()) {
    std::printf("bench-mount: %s here: nothing measured\n", why.c_str());
    return 0;
  }
  const std::string folder = make_work_folder("zr-bench-mount");
  if (folder.empty()) return 1;
  const std::string storage = folder + "/storage", mp = folder + "/mnt";
  bool ok = mkdir(storage.c_str(), 0755) == 0 && mkdir((storage + "/tree").c_str(), 0755) == 0 &&
            mkdir(mp.c_str(), 0755) == 0;
  for (int d = 0; ok && d < 4; ++d) ok = mkdir((storage + "/tree/d" + std::to_string(d)).c_str(), 0755) == 0;
  for (int i = 0; ok && i < files; ++i)
    ok = make_file(storage + "/tree/d" + std::to_string(i % 4) + "/f" + std::to_string(i), i,
                   static_cast<size_t>(bytes));
  std::unique_ptr<zrtest::SimProcess> sim = ok ? storage_simulator(storage) : nullptr;
  if (!sim) {
    remove_work_folder();
    return 1;
  }

  pid_t mounter = fork();
  if (mounter == 0) {
    execl(ZRLINK_PATH, ZRLINK_PATH, "--addr", sim->addr_text().c_str(), "mount", "-f", mp.c_str(),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 250 && !zrtest::is_mounted(mp); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ok = zrtest::is_mounted(mp);
  if (!ok) std::fprintf(stderr, "the mount did not come up\n");

  const std::string zrlink = std::string(ZRLINK_PATH) + " -q --addr " + sim->addr_text();
  double cp = -1, again = -1, pull = -1;
  if (ok) {
    cp = timed("cp -r '" + mp + "/tree' '" + folder + "/cp'");
    again = timed("cp -r '" + mp + "/tree' '" + folder + "/cp-again'");
    pull = timed(zrlink + " pull /tree '" + folder + "/pull' >/dev/null");
    ok = cp >= 0 && again >= 0 && pull >= 0;
    for (const char *copy : {"/cp", "/cp-again", "/pull"})
      ok = ok && std::system(("diff -r '" + storage + "/tree' '" + folder + copy + "'").c_str()) == 0;
    if (!ok) std::fprintf(stderr, "a copy failed, or differs from the handheld's files\n");
  }
  if (zrtest::is_mounted(mp)) std::system(("fusermount3 -u '" + mp + "' || fusermount3 -u -z '" + mp + "'").c_str());
  int st = 0;
  for (int i = 0; i < 250 && waitpid(mounter, &st, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (waitpid(mounter, &st, WNOHANG) == 0) {
    kill(mounter, SIGKILL);
    waitpid(mounter, &st, 0);
  }
  sim->stop();
  remove_work_folder();
  if (!ok) return 1;

  std::printf("%d files of %ld bytes in 4 folders, copied out of the handheld; every copy compared\n", files, bytes);
  std::printf("%-34s %9s %11s\n", "", "seconds", "files/s");
  std::printf("%-34s %9.2f %11.1f\n", "zrlink pull (baseline)", pull, files / pull);
  std::printf("%-34s %9.2f %11.1f\n", "cp -r out of the mount", cp, files / cp);
  std::printf("%-34s %9.2f %11.1f\n", "cp -r again (files in the cache)", again, files / again);
  std::printf("time ratio, cp -r / pull:       %.3f\n", cp / pull);
  std::printf("time ratio, cp -r again / pull: %.3f\n", again / pull);
  return 0;
}
