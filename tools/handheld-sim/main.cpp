// main.cpp -- zr-handheld-sim: stands in for an attached handheld in tests and the demo.
#include <signal.h>

#include <cstdio>
#include <string>

#include "sim-options.h"
#include "sim-pattern.h"
#include "sim-probe.h"
#include "sim-server.h"
#include "sim-state.h"

namespace {

zrsim::StopSignal *g_stop = nullptr;

extern "C" void on_stop_signal(int) {
  if (g_stop) g_stop->request();
}

}  // namespace

int main(int argc, char **argv) {
  zrsim::Options options;
  std::string error;
  switch (zrsim::parse_options(argc, argv, options, error)) {
    case zrsim::ParseOutcome::Help: std::fputs(zrsim::usage_text().c_str(), stdout); return 0;
    case zrsim::ParseOutcome::Error:
      std::fprintf(stderr, "zr-handheld-sim: %s\n", error.c_str());
      return zrsim::kExitBadOption;
    case zrsim::ParseOutcome::Run: break;
  }
  if (!options.profile.finish(options.addr, error)) {
    std::fprintf(stderr, "zr-handheld-sim: %s\n", error.c_str());
    return zrsim::kExitBadOption;
  }

  zrsim::SimState state;
  if (!state.stop.ok()) {
    std::fprintf(stderr, "zr-handheld-sim: cannot create the stop pipe\n");
    return zrsim::kExitFailure;
  }
  state.profile = options.profile;
  state.faults = options.faults;
  state.files = options.files;
  state.rtime = options.profile.rtime();
  state.xtime = options.profile.xtime();
  state.image = zrsim::pattern_image(options.profile.geometry());
  state.screen_animate = options.screen_animate;
  if (!options.log_path.empty()) {
    if (!state.log.open(options.log_path, error)) {
      std::fprintf(stderr, "zr-handheld-sim: %s\n", error.c_str());
      return zrsim::kExitBadOption;
    }
    state.logging = true;
  }

  g_stop = &state.stop;
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  zrsim::Server server(state);
  if (!server.listen(options.addr, options.port, error)) {
    std::fprintf(stderr, "zr-handheld-sim: %s\n", error.c_str());
    return zrsim::kExitCannotBind;
  }
  zrsim::ProbeResponder probe(state, options.probe);
  if (!probe.open(options.addr, zrsim::kProbePort, error)) {
    std::fprintf(stderr, "zr-handheld-sim: %s\n", error.c_str());
    return zrsim::kExitCannotBind;
  }
  probe.start();
  std::printf("ready %s %u\n", options.addr_text.c_str(), static_cast<unsigned>(server.bound_port()));
  std::fflush(stdout);
  server.run();
  probe.join();
  g_stop = nullptr;
  return zrsim::kExitStopped;
}
