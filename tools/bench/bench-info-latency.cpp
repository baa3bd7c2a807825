// bench-info-latency -- how long one "info" request takes through the link library, against
// a plain socket exchange of the same request measured in the same run.
//
// Every request through the library opens a connection on an automatic local port, and the
// library pauses 40 ms before binding such a port; the report shows that pause beside the
// measured latency.
//
// Usage: bench-info-latency [ROUNDS]        (default 40)
#include "sim_process.h"
#include "zr-net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The same request over a plain socket: connect, send, read until the handheld closes.
bool plain_info(uint32_t addr) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(addr);
  sa.sin_port = htons(10001);
  bool ok =
      connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 && send(fd, "info 1\n", 7, MSG_NOSIGNAL) == 7;
  char buf[1536];
  ssize_t n;
  size_t total = 0;
  while (ok && (n = recv(fd, buf, sizeof buf, 0)) > 0) total += static_cast<size_t>(n);
  close(fd);
  return ok && total > 0;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 40;
  if (rounds <= 0) rounds = 40;
  zrtest::SimProcess sim;
  if (!sim.ok()) {
    std::fprintf(stderr, "bench-info-latency: simulator did not start: %s\n", sim.error().c_str());
    return 1;
  }
  if (KQ_ZR_1b_init() != 0) return 1;
  zr_tune tune{5000, 5000};
  KQ_ZR_sl_tune(2, &tune);

  std::vector<double> lib, plain;
  for (int i = 0; i < rounds; ++i) {
    auto t = Clock::now();
    if (!plain_info(sim.addr())) {
      std::fprintf(stderr, "bench-info-latency: plain request failed\n");
      return 1;
    }
    plain.push_back(ms_since(t));
    zr_info info;
    t = Clock::now();
    int r = KQ_ZR_sr_info(sim.addr(), 1, &info);
    lib.push_back(ms_since(t));
    if (r != 0) {
      std::fprintf(stderr, "bench-info-latency: KQ_ZR_sr_info gave %d\n", r);
      return 1;
    }
  }
  KQ_ZR_1b_done();

  double l = median(lib), p = median(plain);
  std::printf("info request latency over %d rounds (median)\n", rounds);
  std::printf("  through zr-net        %8.3f ms\n", l);
  std::printf("  connection pause      %8.3f ms  (kept before every automatic port bind)\n", 40.0);
  std::printf("  zr-net without pause  %8.3f ms\n", l - 40.0);
  std::printf("  plain socket baseline %8.3f ms\n", p);
  std::printf("  ratio (zr-net without pause / baseline) %.2f\n", p > 0 ? (l - 40.0) / p : 0.0);
  return 0;
}
