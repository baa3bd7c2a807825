// zr-dhcp-load -- zr-dhcp.exe under load, in private network namespaces (as root): not part
// of the test suite's time budget.
//
//   flood  one adapter's handheld sends DISCOVERs without pause for a bounded time; halfway
//          another adapter is plugged in.  Prints how long the other adapter waited for its
//          address and its first OFFER, and how much the log grew.
//   soak   adapters plugged in and out for a bounded time.  Prints the service's open
//          descriptors and resident memory at the start and the end, and the 172.16
//          addresses left after it stopped.
//
//   zr-dhcp-load [--seconds N]      (default 10 for each part)
// Exit status 0 when the other adapter was served during the flood and the soak left no
// address, descriptor or memory growth behind; 1 otherwise; 77 without private networks.
#include "dhcp-packet.h"
#include "dhcp_messages.h"
#include "netns_lab.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using namespace zrdhcptest;
using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

size_t count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

int open_descriptors(pid_t pid) {
  DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

long resident_kb(pid_t pid) {
  const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + 6, nullptr, 10);
}

bool flood(int seconds) {
  Computer pc;
  Handheld hh;
  Service svc("interface = zrflood\ninterface = zrother\n");
  if (!svc.start() || !pc.plug("zrflood", "", &hh, "zrcf") || !svc.wait_log("set on zrflood", 2000)) {
    std::fprintf(stderr, "flood: the service did not serve the first adapter:\n%s", svc.log().c_str());
    return false;
  }
  ClientSocket sock(hh, "zrcf");
  const size_t log_before = svc.log_size();
  std::atomic<long> sent{0};
  std::thread sender([&] {
    const std::vector<uint8_t> discover = Message(zrdhcp::kDiscover).bytes();
    for (auto end = Clock::now() + std::chrono::seconds(seconds); Clock::now() < end; ++sent) sock.send(discover);
  });
  usleep(static_cast<useconds_t>(seconds) * 500000);
  const auto plugged = Clock::now();
  bool served = pc.plug("zrother", "", &hh, "zrco") && svc.wait_log("set on zrother", 5000, log_before);
  const double address_ms = ms_since(plugged);
  double offer_ms = -1;
  if (served) {
    ClientSocket other(hh, "zrco");
    const auto asked = Clock::now();
    other.send(Message(zrdhcp::kDiscover).hw_last(9).bytes());
    if (ReplyView(other.receive(5000)).type() == zrdhcp::kOffer) offer_ms = ms_since(asked);
  }
  sender.join();
  const std::string log = svc.log().substr(log_before);
  const auto asked_to_stop = Clock::now();
  const int status = svc.stop();
  std::printf(
      "flood: %ld DISCOVERs in %d s on one adapter; the other adapter: address after %.1f ms, first OFFER "
      "after %.1f ms; log during the flood: %zu bytes, %zu lines; SIGTERM took %.1f ms (status %d)\n",
      sent.load(), seconds, address_ms, offer_ms, log.size(), count(log, "\n"), ms_since(asked_to_stop), status);
  return served && offer_ms >= 0 && status == 0;
}

bool soak(int seconds) {
  Computer pc;
  Service svc("interface = zrs0\ninterface = zrs1\ninterface = zrs2\ninterface = zrs3\n");
  if (!svc.start()) {
    std::fprintf(stderr, "soak: the service did not start:\n%s", svc.log().c_str());
    return false;
  }
  const char *names[] = {"zrs0", "zrs1", "zrs2", "zrs3"};
  auto cycle = [&] {
    size_t mark = svc.log_size();
    for (const char *n : names) pc.plug(n, "", nullptr, std::string(n) + "p");
    for (const char *n : names)
      if (!svc.wait_log(std::string("set on ") + n, 3000, mark)) return false;
    for (const char *n : names) pc.unplug(n);
    for (const char *n : names)
      if (!svc.wait_log(std::string("adapter ") + n + " gone", 3000, mark)) return false;
    return true;
  };
  // A few rounds first, so that what the first ones allocate for good is not counted.
  for (int i = 0; i < 5; ++i)
    if (!cycle()) break;
  const int fds_before = open_descriptors(svc.pid());
  const long rss_before = resident_kb(svc.pid());
  int cycles = 0;
  bool ok = true;
  for (auto end = Clock::now() + std::chrono::seconds(seconds); ok && Clock::now() < end; ++cycles) ok = cycle();
  const int fds_after = open_descriptors(svc.pid());
  const long rss_after = resident_kb(svc.pid());
  // Served once more when it stops: its addresses go with it.
  const size_t mark = svc.log_size();
  for (const char *n : names) pc.plug(n, "", nullptr, std::string(n) + "p");
  for (const char *n : names) ok = svc.wait_log(std::string("set on ") + n, 3000, mark) && ok;
  const int status = svc.stop();
  const std::string left = run({"ip", "-4", "-o", "addr", "show"}).out;
  const size_t addresses_left = count(left, " 172.16.");
  std::printf(
      "soak: %d rounds of 4 adapters in %d s; descriptors %d -> %d; resident %ld -> %ld kB; 172.16 addresses "
      "left after the stop: %zu (status %d)\n",
      cycles, seconds, fds_before, fds_after, rss_before, rss_after, addresses_left, status);
  if (!ok) std::fprintf(stderr, "soak: an adapter was not served or not forgotten:\n%s", svc.log().c_str());
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer's quarantine keeps freed memory for a while by design: memory is judged
  // in the normal build only.
  const bool memory_flat = true;
#else
  const bool memory_flat = rss_after - rss_before < 1024;
#endif
  return ok && status == 0 && fds_after <= fds_before && memory_flat && addresses_left == 0;
}

}  // namespace

int main(int argc, char **argv) {
  int seconds = 10;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: zr-dhcp-load [--seconds N]\n");
      return 2;
    }
  }
  if (seconds < 1) seconds = 1;
  {
    Computer probe;
    if (!probe.ok()) {
      std::fprintf(stderr, "zr-dhcp-load: no private network: %s\n", probe.why().c_str());
      return 77;
    }
  }
  signal(SIGPIPE, SIG_IGN);
  const bool flooded = flood(seconds);
  const bool soaked = soak(seconds);
  return flooded && soaked ? 0 : 1;
}
