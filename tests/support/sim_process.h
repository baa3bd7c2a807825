// sim_process.h -- starts the handheld simulator for a test and stops it afterwards.
//
// Tests run in parallel, one process per test, and the link talks to a fixed port, so every
// simulator gets a loopback address of its own (the whole of 127.0.0.0/8 is local on Linux).
//
//   zrtest::SimProcess sim({"--set", "name=CALC"});
//   ASSERT_TRUE(sim.ok());
//   ... talk to sim.addr() port 10001 ...
//   EXPECT_EQ(sim.requests().back(), "info 1\n");
//
// The Windows build's tests run under Wine, which cannot start a Linux program: there
// (sim_process_win.cpp) the simulator is started by zr-sim-broker, a native program that
// scripts/test-windows.sh runs on loopback and names in ZR_WIN_SIM_BROKER ("address:port").
// The interface is the same; path values of --storage, --log and --profile on drive Z: (the
// Linux file system as Wine shows it) reach the simulator as Linux paths.
#ifndef ZR_TEST_SIM_PROCESS_H
#define ZR_TEST_SIM_PROCESS_H

#if !defined(_WIN32)
#include <sys/types.h>
#endif

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "test_files.h"

namespace zrtest {

#if defined(_WIN32)
using SimPid = long;  // the simulator's process number on the Linux side
#else
using SimPid = pid_t;

// The built simulator program.
std::string sim_path();

// An IPv4 address (host order) in dotted form.
std::string addr_text(uint32_t addr);
#endif

// A 127.x.y.z address (host order) unlikely to clash with parallel test processes: never in
// 127.0.0.0/16 and chosen from the process id, the time and a per-process counter.
uint32_t fresh_loopback();

class SimProcess {
 public:
  // Starts the simulator with `args` and waits (at most 5 s) for its ready line.  With an
  // empty `addr` it listens on a fresh loopback address, and another one is tried when the
  // address turns out to be taken (exit code 3).  Unless `args` holds --log, a request log
  // in a private temporary folder is passed.  Failure shows in ok() and error().
  explicit SimProcess(std::vector<std::string> args = {}, std::string addr = "");
  ~SimProcess();  // stop(), then removes the temporary folder
  SimProcess(const SimProcess &) = delete;
  SimProcess &operator=(const SimProcess &) = delete;

  bool ok() const { return ok_; }
  const std::string &error() const { return error_; }  // why it did not start
  uint32_t addr() const { return addr_; }              // host order
  const std::string &addr_text() const { return addr_text_; }
  uint16_t port() const { return port_; }  // as the ready line reports it
  SimPid pid() const { return pid_; }

  // SIGTERM and waits; SIGKILL after 2 s.  Returns the exit code (0 for a clean stop), or
  // 128 + the signal number when a signal ended it, or -1 when it was not running.
  int stop();
  int exit_code() const { return exit_code_; }  // after stop(); -1 before

  std::string log_path() const { return log_path_; }  // on Windows as the test reaches it
  // The requests in the log, oldest first, each exactly as the simulator received it
  // (connection number removed, escapes decoded).
  std::vector<std::string> requests() const;
  // The log's raw lines ("<connection> <escaped request>").
  std::vector<std::string> log_lines() const;

 private:
#if defined(_WIN32)
  // Request lines to the broker, and its answer lines (each waited for at most wait_ms).
  bool send_text(const std::string &text) const;
  bool read_line(std::string &line, unsigned wait_ms) const;
  uintptr_t control_ = ~static_cast<uintptr_t>(0);  // the broker connection (a SOCKET)
  mutable std::string pending_;
#endif
  // Starts one simulator on `addr`; returns its exit code if it ended before being ready,
  // 0 when ready, -1 on another failure.
  int start_once(const std::vector<std::string> &args, const std::string &addr);

  bool ok_ = false;
  std::string error_;
  uint32_t addr_ = 0;
  std::string addr_text_;
  uint16_t port_ = 0;
  SimPid pid_ = -1;
  int exit_code_ = -1;
  std::unique_ptr<TempDir> temp_dir_;  // the request log, unless the test names one
  std::string log_path_;
};

}  // namespace zrtest

#endif
