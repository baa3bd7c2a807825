// bench-screen -- images per second of zrlink screen --record against the ceiling that the
// library's pause before every connection leaves, measured in the same run.
//
// The handheld is the simulator on a loopback address with --screen-animate (every image
// differs, as a live screen's would).  Each image is one screen request, and the library
// pauses 40 ms before each connection, so no more than 25 images a second can come.  The
// baseline is what one program that talks the protocol itself gets: the same requests one
// after another over plain sockets, each after the same pause, the whole image read.
// zrlink runs as the user runs it (--no-window, a recording of the same length) for each
// format, and its own count of the images it recorded is the figure.
//
// Usage: bench-screen [SECONDS]     (default 5 for each run)
#include "bench-support.h"
#include "test_files.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
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
const size_t IMAGE = 240 * 320 * 2;         // the simulator's screen: 320 x 240 at 16 bits

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// One whole image over a plain connection.
bool plain_image(uint32_t addr, std::vector<char> &image) {
  int fd = plain_connect(addr);
  if (fd < 0) return false;
  std::string command = "scrn 1 0 " + std::to_string(IMAGE) + "\n";
  bool ok = send_all(fd, command.data(), command.size()) && read_line(fd) == "0 " + std::to_string(IMAGE) + "\n";
  size_t have = 0;
  while (ok && have < IMAGE) {
    ssize_t n = recv(fd, image.data() + have, IMAGE - have, 0);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) have += static_cast<size_t>(n);
  }
  close(fd);
  return ok;
}

// Runs zrlink with its standard output into `out`; true when it exits with 0.
bool zrlink(const std::vector<std::string> &args, const std::string &out) {
  return zrbench::run_program(ZRLINK_PATH, args, out);
}

struct Run {
  std::string what;
  int images = 0;
  double seconds = 0;
  double rate() const { return seconds > 0 ? images / seconds : 0; }
};

}  // namespace

int main(int argc, char **argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 5;
  if (!(seconds >= 1 && seconds <= 600)) {
    std::fprintf(stderr, "usage: bench-screen [SECONDS (1..600)]\n");
    return 2;
  }
  const std::string folder = make_work_folder("zr-bench-screen");
  if (folder.empty()) return 1;
  zrtest::SimProcess sim({"--screen-animate"});
  if (!sim.ok()) {
    std::fprintf(stderr, "the simulator does not start: %s\n", sim.error().c_str());
    remove_work_folder();
    return 1;
  }

  // The baseline: one plain request after another, each after the pause.
  Run base{"baseline, plain requests"};
  std::vector<char> image(IMAGE);
  bool ok = true;
  auto t = Clock::now();
  while (ok && seconds_since(t) < seconds) {
    std::this_thread::sleep_for(PAUSE);
    ok = plain_image(sim.addr(), image);
    if (ok) ++base.images;
  }
  base.seconds = seconds_since(t);
  if (!ok) std::fprintf(stderr, "the baseline's screen request failed\n");

  std::vector<Run> runs;
  for (const char *format : {"mp4", "webm", "gif"}) {
    if (!ok) break;
    Run run{std::string("zrlink screen --record .") + format};
    std::string file = folder + "/screen." + format, out = folder + "/out.txt";
    ok = zrlink(
        {"--addr", sim.addr_text(), "screen", "--no-window", "--record", file, "--duration", std::to_string(seconds)},
        out);
    // "FILE: N images in S s (R images/s)"
    std::string line = zrtest::ReadFile(out).value_or("");
    size_t at = line.find(": ");
    ok = ok && at != std::string::npos &&
         std::sscanf(line.c_str() + at, ": %d images in %lf s", &run.images, &run.seconds) == 2 && run.images > 0;
    if (!ok) std::fprintf(stderr, "%s failed: %s\n", run.what.c_str(), line.c_str());
    runs.push_back(run);
  }
  sim.stop();
  remove_work_folder();
  if (!ok) return 1;

  const double ceiling = 1000.0 / static_cast<double>(PAUSE.count());
  std::printf("images of %zu bytes from the simulator for %.0f s each; the pause alone allows %.1f images/s\n", IMAGE,
              seconds, ceiling);
  std::printf("%-32s %8s %8s %10s %12s %12s\n", "", "images", "s", "images/s", "/ baseline", "/ pause");
  std::printf("%-32s %8d %8.2f %10.2f %12.3f %12.3f\n", base.what.c_str(), base.images, base.seconds, base.rate(), 1.0,
              base.rate() / ceiling);
  for (const Run &run : runs)
    std::printf("%-32s %8d %8.2f %10.2f %12.3f %12.3f\n", run.what.c_str(), run.images, run.seconds, run.rate(),
                run.rate() / base.rate(), run.rate() / ceiling);
  return 0;
}
