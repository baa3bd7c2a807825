// bench-classroom.cpp -- a classroom of handhelds on one computer, as a teacher meets it.
//
// N handhelds, each in a private network namespace joined to the computer's (itself a
// private namespace) by a veth pair, with a sysfs tree that shows each pair as a USB
// adapter of the handheld's id; the DHCP service serves them, busybox udhcpc takes each
// handheld's address, and the simulator answers on it.  Then zrlink as the teacher runs it,
// with the service's table: list, --serial of the last one, and with --all a push of 1 MiB,
// a pull of a 50-file folder and a contact sheet of the screens.  The same for one handheld
// in the same run, and the ratios N/1 (list and --serial: the median of three runs).  As
// root (namespaces, veth pairs).
//
//   bench-classroom [N]        (default 16)
#include "netns_lab.h"
#include "sim_process.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace zrdhcptest;
using Clock = std::chrono::steady_clock;

const char kScript[] = R"(#!/bin/sh
echo "$1 ip=$ip" >> "$(dirname "$0")/events"
case "$1" in
  bound|renew) ip addr replace "$ip/$mask" dev "$interface" ;;
esac
exit 0
)";

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The figures of one class; a negative figure was not measured (or failed).
struct Figures {
  double addressed = -1, list = -1, serial = -1, push = -1, pull = -1, sheet = -1;
};

struct Step {
  const char *what;
  double Figures::*figure;
};
const Step kSteps[] = {
    {"plugged in to all addressed", &Figures::addressed},
    {"zrlink list", &Figures::list},
    {"zrlink --serial (the last) info", &Figures::serial},
    {"zrlink --all push (1 MiB)", &Figures::push},
    {"zrlink --all pull (50 files)", &Figures::pull},
    {"zrlink --all screenshot --sheet", &Figures::sheet},
};

// zrlink with the service's table; its time, or -1 (and why) when it failed.
double timed_zrlink(const std::vector<std::string> &args, const std::string &run_dir, const std::string &cwd = "") {
  std::vector<std::string> all{"sh", "-c", "cd \"$0\" && exec \"$@\"", cwd.empty() ? "/" : cwd, ZRLINK_PATH, "-q"};
  all.insert(all.end(), args.begin(), args.end());
  auto t = Clock::now();
  Ran r = run(all, 120000, {"ZR_DHCP_RUN_DIR=" + run_dir});
  const double s = seconds_since(t);
  if (r.status != 0) {
    std::fprintf(stderr, "bench-classroom: zrlink %s: exit %d\n%s", args[0].c_str(), r.status, r.out.c_str());
    return -1;
  }
  return s;
}

// The median of three runs (-1 when one failed).
double median_of_3(const std::vector<std::string> &args, const std::string &run_dir) {
  std::vector<double> t;
  for (int i = 0; i < 3; ++i) t.push_back(timed_zrlink(args, run_dir));
  std::sort(t.begin(), t.end());
  return t[0] < 0 ? -1 : t[1];
}

Figures measure(int n) {
  Figures f;
  Computer pc;
  if (!pc.ok()) {
    std::fprintf(stderr, "bench-classroom: no private network: %s\n", pc.why().c_str());
    return f;
  }
  TempDir sys, work;
  std::vector<std::unique_ptr<Handheld>> hhs;
  std::vector<std::unique_ptr<TempDir>> dirs;
  for (int i = 0; i < n; ++i) {
    const std::string ifname = "zrusb" + std::to_string(i);
    fake_usb_adapter(sys, ifname, "4407:7705", "SER-" + std::to_string(i), 100 + i);
    hhs.emplace_back(new Handheld);
    dirs.emplace_back(new TempDir);
    zrtest::WriteFile(dirs.back()->file("script"), kScript, 0755);
    if (!hhs.back()->ok()) return f;
  }
  Service svc("usb = 4407:7705\nlease = 3600\n", sys.path());
  if (!svc.start()) {
    std::fprintf(stderr, "bench-classroom: the service did not start:\n%s", svc.log().c_str());
    return f;
  }

  // Plugged in one after the other, each handheld asking for its address at once.
  auto plugged = Clock::now();
  for (int i = 0; i < n; ++i) {
    const std::string c = "zrc" + std::to_string(i);
    if (!pc.plug("zrusb" + std::to_string(i), "", hhs[i].get(), c, 100 + i)) return f;
    hhs[i]->start(
        {"busybox", "udhcpc", "-i", c, "-f", "-q", "-n", "-t", "20", "-T", "1", "-s", dirs[i]->file("script")},
        dirs[i]->file("out"));
  }
  std::vector<std::string> addrs(n);
  bool all = eventually(
      [&] {
        for (int i = 0; i < n; ++i) {
          if (!addrs[i].empty()) continue;
          std::string events = read_file(dirs[i]->file("events"));
          size_t at = events.find("bound ip=");
          if (at == std::string::npos) return false;
          addrs[i] = events.substr(at + 9, events.find('\n', at) - at - 9);
        }
        return true;
      },
      60000);
  if (!all) {
    std::fprintf(stderr, "bench-classroom: not every handheld got its address within 60 s\n");
    return f;
  }
  f.addressed = seconds_since(plugged);

  // The handhelds answer on their addresses, each with a folder of 50 files.
  std::vector<std::unique_ptr<zrtest::SimProcess>> sims(n);
  for (int i = 0; i < n; ++i) {
    const std::string storage = dirs[i]->file("storage");
    for (int k = 0; k < 50; ++k)
      zrtest::WriteFile(storage + "/docs/work" + std::to_string(k) + ".txt", std::string(2048, char('a' + k % 26)));
    hhs[i]->inside([&] {
      sims[i].reset(new zrtest::SimProcess(
          {"--set", "eid=SER-" + std::to_string(i), "--set", "name=HH" + std::to_string(i), "--storage", storage},
          addrs[i]));
    });
    if (!sims[i] || !sims[i]->ok()) {
      std::fprintf(stderr, "bench-classroom: simulator %d: %s\n", i,
                   sims[i] ? sims[i]->error().c_str() : "not started");
      return f;
    }
  }
  const std::string run_dir = svc.dir().path();
  f.list = median_of_3({"list"}, run_dir);
  f.serial = median_of_3({"--serial", "SER-" + std::to_string(n - 1), "info"}, run_dir);
  zrtest::WriteFile(work.file("lesson.bin"), std::string(1 << 20, 'L'));
  f.push = timed_zrlink({"--all", "push", work.file("lesson.bin"), "/"}, run_dir);
  f.pull = timed_zrlink({"--all", "pull", "/docs", work.file("collected")}, run_dir, work.path());
  f.sheet = timed_zrlink({"--all", "screenshot", "--sheet", work.file("class.png")}, run_dir, work.path());
  return f;
}

}  // namespace

int main(int argc, char **argv) {
  const int n = argc > 1 ? std::atoi(argv[1]) : 16;
  if (n < 1 || n > 200) {
    std::fprintf(stderr, "usage: bench-classroom [N]   (1 to 200 handhelds, default 16)\n");
    return 2;
  }
  const Figures one = measure(1);
  const Figures many = measure(n);
  std::printf("a class of %d handhelds against one, in the same run (seconds)\n", n);
  std::printf("%-34s %10s %10s %10s\n", "", "1", std::to_string(n).c_str(), "ratio");
  bool failed = false;
  for (const Step &s : kSteps) {
    const double a = one.*s.figure, b = many.*s.figure;
    if (a < 0 || b < 0) {
      std::printf("%-34s %10s\n", s.what, "failed");
      failed = true;
      continue;
    }
    std::printf("%-34s %10.3f %10.3f %10.2f\n", s.what, a, b, b / a);
  }
  return failed ? 1 : 0;
}
