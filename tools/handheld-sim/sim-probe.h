// sim-probe.h -- the simulated handheld's answer to the liveness probe: one datagram
// "zr-api4-q" to UDP port 10003 of its address, answered with a datagram that begins with
// "orv".  Switches make it stay silent, answer with other text, or answer only from the
// Nth probe on, so that the link library's probe handling can be tested.
#ifndef ZR_SIM_PROBE_H
#define ZR_SIM_PROBE_H

#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "sim-state.h"

namespace zrsim {

// The probe port and the probe's exact bytes.
constexpr uint16_t kProbePort = 10003;
constexpr char kProbeBytes[] = "zr-api4-q";  // 9 bytes, sent without a terminator

struct ProbePlan {
  bool silent = false;               // --probe-silent: never answer
  std::optional<std::string> reply;  // --probe-reply: answer with these bytes instead
  uint32_t from = 1;                 // --probe-from: the first probe that is answered

  // The answer to the probe with this number (1 for the first), or nothing.
  std::optional<std::string> answer(uint64_t number, const std::string &device_name) const;
};

// The simulator's default answer: "orv " and the device name.
std::string default_probe_answer(const std::string &device_name);

// Receives datagrams on its own thread until a stop is requested.  Every datagram is
// written to the request log with connection number 0.  Datagrams other than the exact
// probe are logged and ignored (they are not counted as probes).
class ProbeResponder {
 public:
  ProbeResponder(SimState &state, const ProbePlan &plan) : state_(state), plan_(plan) {}
  ~ProbeResponder();
  ProbeResponder(const ProbeResponder &) = delete;
  ProbeResponder &operator=(const ProbeResponder &) = delete;

  // Binds the datagram socket.  False with a message when the address or port is taken.
  bool open(uint32_t addr, uint16_t port, std::string &error);
  void start();  // serves on a thread of its own
  void join();   // after the stop request

 private:
  void run();
  void serve_one();

  SimState &state_;
  ProbePlan plan_;
  int fd_ = -1;
  uint64_t probes_ = 0;
  std::thread thread_;
};

}  // namespace zrsim

#endif
