// The simulator as a process: command line, start, stop, concurrency; and the harness.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim_client.h"
#include "sim_process.h"

using zrtest::SimProcess;

TEST(SimCommandLine, HelpDescribesOptionsAndStatuses) {
  simtest::RunResult r = simtest::run_program({zrtest::sim_path(), "--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char *word :
       {"--addr", "--profile", "--set", "--log", "--fault-cmd", "--delay", "--split", "--close-after", "--status",
        "--reply", "--no-final-lf", "--silent", "--hold", "--fail-first", "Statuses"})
    EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

TEST(SimCommandLine, BadOptionsExitWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"stray"},
      {"--port"},
      {"--port", "70000"},
      {"--port", "x"},
      {"--addr", "300.1.1.1"},
      {"--delay", "-5"},
      {"--close-after", "1k"},
      {"--status", "x"},
      {"--status", "1", "--reply", "x"},
      {"--reply", "bad\\q"},
      {"--reply", "bad\\x4"},
      {"--split=1"},
      {"--fault-cmd", ""},
      {"--log", "/nonexistent-folder/requests.log"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> argv = {zrtest::sim_path(), "--addr", "127.0.0.1", "--port", "0"};
    argv.insert(argv.end(), c.begin(), c.end());
    simtest::RunResult r = simtest::run_program(argv, 3000);
    EXPECT_EQ(r.exit_code, 2) << c.front();
    EXPECT_EQ(r.out.find("ready"), std::string::npos) << c.front();
    EXPECT_NE(r.err.find("zr-handheld-sim: "), std::string::npos) << c.front();
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
  }
}

TEST(SimCommandLine, TakenAddressExitsWithThree) {
  SimProcess first;
  ASSERT_TRUE(first.ok()) << first.error();
  simtest::RunResult r = simtest::run_program(
      {zrtest::sim_path(), "--addr", first.addr_text(), "--port", std::to_string(first.port())}, 3000);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_NE(r.err.find(first.addr_text()), std::string::npos) << r.err;

  // The harness reports it (a fixed address is not retried).
  SimProcess second({}, first.addr_text());
  EXPECT_FALSE(second.ok());
  EXPECT_NE(second.error().find("3"), std::string::npos) << second.error();
}

TEST(SimLifecycle, ReadyLineAndCleanStopOnSigtermAndSigint) {
  SimProcess sim({"--port", "0"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  EXPECT_NE(sim.port(), 0);
  EXPECT_EQ(sim.addr() >> 24, 127u);
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_EQ(sim.exit_code(), 0);

  SimProcess other;
  ASSERT_TRUE(other.ok()) << other.error();
  EXPECT_EQ(other.port(), 10001);
  ASSERT_EQ(kill(other.pid(), SIGINT), 0);
  EXPECT_EQ(other.stop(), 0);
}

TEST(SimLifecycle, ServesManyConnectionsAtOnce) {
  SimProcess sim({"--delay", "100"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  const int n = 16;
  std::vector<std::string> replies(n);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i)
    threads.emplace_back([&, i] { replies[i] = simtest::exchange(sim.addr(), sim.port(), "tune 1\n").bytes; });
  for (auto &t : threads) t.join();
  for (int i = 0; i < n; ++i) EXPECT_EQ(replies[i], "0\nrtime=10000\nxtime=10000\n") << i;
  std::vector<std::string> log = sim.log_lines();
  EXPECT_EQ(log.size(), static_cast<size_t>(n));
  std::set<std::string> numbers;
  for (const std::string &line : log) {
    EXPECT_EQ(line.substr(line.find(' ')), " tune 1\\n");
    numbers.insert(line.substr(0, line.find(' ')));
  }
  EXPECT_EQ(numbers.size(), static_cast<size_t>(n));
}

TEST(SimHarness, FreshLoopbackAddressesStayInsideLoopback) {
  std::set<uint32_t> seen;
  for (int i = 0; i < 1000; ++i) {
    uint32_t a = zrtest::fresh_loopback();
    EXPECT_EQ(a >> 24, 127u);
    EXPECT_NE((a >> 16) & 0xFF, 0u);  // clear of 127.0.x.x, where other programs listen
    EXPECT_NE(a & 0xFF, 0u);
    EXPECT_NE(a & 0xFF, 255u);
    seen.insert(a);
  }
  EXPECT_GT(seen.size(), 990u);
}

TEST(SimHarness, ReportsASimulatorThatDoesNotStart) {
  SimProcess sim({"--bogus"});
  EXPECT_FALSE(sim.ok());
  EXPECT_NE(sim.error().find("2"), std::string::npos) << sim.error();
  EXPECT_EQ(sim.stop(), -1);
}
