// sim-state.h -- what the simulator's connection threads share while it runs.
#ifndef ZR_SIM_STATE_H
#define ZR_SIM_STATE_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim-faults.h"
#include "sim-files.h"
#include "sim-profile.h"

namespace zrsim {

// A stop request that every wait can watch: a pipe whose read end becomes readable (and
// stays readable) once stop is requested.  request() is safe in a signal handler.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal &) = delete;
  StopSignal &operator=(const StopSignal &) = delete;
  bool ok() const { return read_fd_ >= 0; }
  void request();  // async-signal-safe
  bool requested() const;
  int fd() const { return read_fd_; }

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

// The handheld's traffic counters (32-bit, wrapping).
struct Traffic {
  std::atomic<uint32_t> bytes_sent{0};      // xpay0
  std::atomic<uint32_t> sends{0};           // xpay1
  std::atomic<uint32_t> bytes_received{0};  // rpay0
  std::atomic<uint32_t> receives{0};        // rpay1
  void reset() {
    bytes_sent = 0;
    sends = 0;
    bytes_received = 0;
    receives = 0;
  }
};

// Appends requests to the log file, one line each, whole lines only.
class RequestLog {
 public:
  RequestLog() = default;
  ~RequestLog();
  bool open(const std::string &path, std::string &error);
  void write(uint64_t connection, const std::string &request);

 private:
  int fd_ = -1;
  std::mutex mutex_;
};

struct SimState {
  Profile profile;              // finished before the first connection; read-only afterwards
  FaultPlan faults;             // read-only
  FilePlan files;               // the storage folder and the upgrade script; read-only
  std::vector<uint8_t> image;   // the screen image, computed once
  bool screen_animate = false;  // read-only; then every screen request gets the next image
  std::atomic<uint64_t> screen_requests{0};
  Traffic traffic;
  std::atomic<uint32_t> rtime{10000};  // the handheld's own time-out pair
  std::atomic<uint32_t> xtime{10000};
  RequestLog log;
  bool logging = false;
  StopSignal stop;
};

}  // namespace zrsim

#endif
