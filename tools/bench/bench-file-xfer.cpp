// bench-file-xfer -- sending and fetching a large file through KQ_ZR_fm_xfer, against a
// baseline measured in the same run that does the same work without the library.
//
// The handheld is the simulator on a loopback address, storing into a private folder.  The
// library transfers the way the Java bridge calls it (progress step 500 bytes, a progress
// callback).  The baseline talks to the same simulator over a plain TCP connection with the
// same commands: it reads the host file in 1536-byte blocks and sends each one, and the
// reverse, receiving 1536-byte blocks and writing each one to the host file.  The two sides
// take turns, transfer by transfer, over several rounds; the best transfer of each counts
// (loopback throughput is bound by the processor, so the best one is the one least
// disturbed by whatever else runs on the machine).
//
// Memory: the peak resident set of this process (VmHWM) is reset before each library
// transfer and read after it, first for a 1 MiB transfer and then for the large one; a
// transfer that streams needs no more memory for the large file than for the small one.
//
// Usage: bench-file-xfer [MIB [ROUNDS]]      (default 256 MiB, 5 rounds)
#include "bench-support.h"
#include "zr-net.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using namespace zrbench;

namespace {

using Clock = std::chrono::steady_clock;

const uint32_t STEP = 500;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

double mb_per_s(uint64_t bytes, double s) { return s > 0 ? bytes / 1e6 / s : 0; }

unsigned long progress_calls = 0;
int count_progress(int, zr_xfer *) {
  ++progress_calls;
  return 0;
}

// Peak resident set: reset (where the system allows it) and read, in KiB.
bool reset_peak() {
  int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, "5", 1) == 1;
  close(fd);
  return ok;
}

long peak_kib() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

bool make_file(const std::string &path, uint64_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<char> chunk(1 << 20);
  uint32_t x = 2463534242u;
  for (char &c : chunk) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  for (uint64_t done = 0; done < size;) {
    size_t n = size - done < chunk.size() ? static_cast<size_t>(size - done) : chunk.size();
    if (write(fd, chunk.data(), n) != static_cast<ssize_t>(n)) {
      close(fd);
      return false;
    }
    done += n;
  }
  return close(fd) == 0;
}

struct Best {
  double put = 1e30, get = 1e30;    // the fastest transfer, seconds
  double put_cpu = 0, get_cpu = 0;  // processor time of this process, all rounds
};

double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The median time to open (and close) a connection to the handheld: through the library,
// which pauses before it binds an automatic local port, and plainly.
double setup_seconds(uint32_t addr, bool library) {
  std::vector<double> t;
  for (int i = 0; i < 9; ++i) {
    auto start = Clock::now();
    if (library) {
      int h = KQ_ZR_1b_bind(0, 0, addr, 10001);
      t.push_back(seconds_since(start));
      if (h >= 0) KQ_ZR_1b_unbind(h);
    } else {
      int fd = plain_connect(addr);
      t.push_back(seconds_since(start));
      if (fd >= 0) close(fd);
    }
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  if (mib == 0 || mib > 2047 || rounds < 1) {
    std::fprintf(stderr, "usage: bench-file-xfer [MIB (1..2047) [ROUNDS]]\n");
    return 2;
  }
  const uint64_t size = mib << 20;

  const std::string folder = zrbench::make_work_folder("zr-bench-xfer");
  if (folder.empty()) return 1;
  const std::string storage = folder + "/storage";
  const std::string source = folder + "/source.bin", small = folder + "/small.bin";
  const std::string fetched = folder + "/fetched.bin";
  auto clean = [] { zrbench::remove_work_folder(); };
  if (mkdir(storage.c_str(), 0755) != 0 || !make_file(source, size) || !make_file(small, 1 << 20)) {
    std::fprintf(stderr, "cannot prepare %s\n", folder.c_str());
    clean();
    return 1;
  }

  std::unique_ptr<zrtest::SimProcess> started = storage_simulator(storage);
  if (!started) {
    clean();
    return 1;
  }
  zrtest::SimProcess &sim = *started;
  KQ_ZR_1b_init();
  zr_tune tune{10000, 10000};  // as the bridge sets it
  KQ_ZR_sl_tune(2, &tune);

  bool ok = true;
  // Memory for a 1 MiB transfer each way.
  bool resettable = reset_peak();
  long base_kib = peak_kib();
  ok = ok && KQ_ZR_fm_xfer(sim.addr(), ZR_FM_PUT, "small.bin", small.c_str(), STEP, count_progress, 0) == 0;
  ok = ok && KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, "small.bin", fetched.c_str(), STEP, count_progress, 0) == 0;
  long small_kib = peak_kib();
  long big_kib = 0;

  // Each round: a send by each side, then a fetch by each side, the side that goes first
  // alternating from round to round so that neither always meets a warmer cache.
  Best lib, plain;
  for (int round = 0; ok && round < rounds; ++round) {
    for (int direction = 0; ok && direction < 2; ++direction) {
      for (int turn = 0; ok && turn < 2; ++turn) {
        bool library = (turn == 0) == (round % 2 == 0);
        const char *remote = library ? "lib.bin" : "plain.bin";
        if (direction == 1) unlink(fetched.c_str());
        if (library) reset_peak();
        auto t = Clock::now();
        double cpu = cpu_seconds();
        if (direction == 0)
          ok = library ? KQ_ZR_fm_xfer(sim.addr(), ZR_FM_PUT, remote, source.c_str(), STEP, count_progress, 0) == 0
                       : plain_put(sim.addr(), remote, source, size);
        else
          ok = library ? KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, remote, fetched.c_str(), STEP, count_progress, 0) == 0
                       : plain_get(sim.addr(), remote, fetched, size);
        double s = seconds_since(t);
        (direction == 0 ? (library ? lib : plain).put_cpu : (library ? lib : plain).get_cpu) += cpu_seconds() - cpu;
        if (library && peak_kib() > big_kib) big_kib = peak_kib();
        Best &best = library ? lib : plain;
        double &slot = direction == 0 ? best.put : best.get;
        if (s < slot) slot = s;
        if (round == 0 && direction == 1 && ok && !same_content(source, fetched)) {
          std::fprintf(stderr, "%s round trip changed the content\n", library ? "library" : "baseline");
          ok = false;
        }
      }
    }
  }
  double lib_setup = ok ? setup_seconds(sim.addr(), true) : 0;
  double plain_setup = ok ? setup_seconds(sim.addr(), false) : 0;
  KQ_ZR_1b_done();
  sim.stop();
  clean();
  if (!ok) {
    std::fprintf(stderr, "a transfer failed\n");
    return 1;
  }

  auto line = [&](const char *what, double lib_s, double plain_s, double lib_cpu, double plain_cpu) {
    double l = mb_per_s(size, lib_s), p = mb_per_s(size, plain_s);
    double l2 = mb_per_s(size, lib_s - lib_setup), p2 = mb_per_s(size, plain_s - plain_setup);
    std::printf(
        "%-6s library %8.1f MB/s  baseline %8.1f MB/s  ratio %.3f   | without set-up: %8.1f / %8.1f "
        "MB/s  ratio %.3f   | processor %6.1f / %6.1f ms\n",
        what, l, p, l / p, l2, p2, l2 / p2, lib_cpu * 1000 / rounds, plain_cpu * 1000 / rounds);
  };
  std::printf("file size %llu MiB; best of %d transfers each (processor time: this process, mean)\n",
              static_cast<unsigned long long>(mib), rounds);
  line("send", lib.put, plain.put, lib.put_cpu, plain.put_cpu);
  line("fetch", lib.get, plain.get, lib.get_cpu, plain.get_cpu);
  std::printf(
      "connection set-up      library %.1f ms (it pauses 40 ms before binding an automatic port), "
      "baseline %.1f ms\n",
      lib_setup * 1000, plain_setup * 1000);
  std::printf(
      "peak resident memory   %ld KiB before, %ld KiB with 1 MiB transfers, %ld KiB with %llu MiB "
      "transfers%s\n",
      base_kib, small_kib, big_kib, static_cast<unsigned long long>(mib),
      resettable ? "" : " (the peak could not be reset: lifetime peaks)");
  std::printf("progress calls         %lu\n", progress_calls);
  return 0;
}
