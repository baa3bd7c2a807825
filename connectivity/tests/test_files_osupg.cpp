// The OS upgrade request against the simulator's scripted progress.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "files_support.h"

namespace {

using zrfiles::StoredSim;
using zrfiles::write_file;
using zrtest::SimProcess;

std::vector<int> values;
int stop_at = 1 << 30;    // the value that makes the callback ask to stop
uint32_t quick_addr = 0;  // when set, the callback shortens that connection's receive wait

// The library's open connection to addr's command port (found through the table).
int connection_to(uint32_t addr) {
  for (int h = 0; h < 4096; ++h) {
    zr_conn_info info;
    if (KQ_ZR_1b_info(h, &info) == 0 && info.raddr == addr && info.rport == 10001) return h;
  }
  return -1;
}

int on_progress(int value) {
  values.push_back(value);
  if (quick_addr != 0) {
    zr_tune t{300, 0xFFFFFFFFu};
    KQ_ZR_1b_tune(connection_to(quick_addr), 2, &t);
  }
  return value == stop_at ? 1 : 0;
}

class Upgrade : public zrfiles::LibraryTest {
 protected:
  void SetUp() override {
    zrfiles::LibraryTest::SetUp();
    values.clear();
    stop_at = 1 << 30;
    quick_addr = 0;
  }
  // Runs an upgrade against a simulator playing `script` (and more switches).
  int run(std::vector<std::string> args, const char *image = "image.bin") {
    SimProcess sim(args);
    if (!sim.ok()) return 12345;
    int r = KQ_ZR_os_upg(sim.addr(), image, "-", on_progress);
    requests = sim.requests();
    return r;
  }
  std::vector<std::string> requests;
};

TEST_F(Upgrade, ProgressValuesReachTheCallbackUntilTheHandheldCloses) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(sim / "my image.bin", "os"));
  EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), "my image.bin", "-", on_progress), 0);
  EXPECT_EQ(values, (std::vector<int>{10, 50, 90, 100}));
  EXPECT_EQ(sim.sim->requests(), std::vector<std::string>{"osupg my\\ image.bin -\n"});
  values.clear();
  EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), "missing.bin", "-", on_progress), -1022);
  EXPECT_TRUE(values.empty());
  // An empty second name is a name too: the request goes out, and what the handheld
  // answers (here a refusal, status 3) comes back.
  EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), "my image.bin", "", on_progress), -3);
  EXPECT_EQ(sim.sim->requests().back(), "osupg my\\ image.bin \n");
}

TEST_F(Upgrade, AValueOnTheStatusLineComesFirst) {
  EXPECT_EQ(run({"--osupg-first", "5", "--osupg", "20"}), 0);
  EXPECT_EQ(values, (std::vector<int>{5, 20}));
  values.clear();
  EXPECT_EQ(run({"--osupg", "20"}), 0);
  EXPECT_EQ(values, (std::vector<int>{20}));
  values.clear();
  stop_at = 5;  // stopping at the first value ends the wait before any line is read
  EXPECT_EQ(run({"--osupg-first", "5", "--osupg", "20"}), ZR_E_CANCELLED);
  EXPECT_EQ(values, (std::vector<int>{5}));
}

TEST_F(Upgrade, AFailingStatusStillReportsItsValue) {
  EXPECT_EQ(run({"--osupg", "5,3:40,60"}), -3);
  EXPECT_EQ(values, (std::vector<int>{5, 40}));
  values.clear();
  EXPECT_EQ(run({"--osupg", "5,3:,60"}), -3);  // a status without a value
  EXPECT_EQ(values, (std::vector<int>{5}));
  values.clear();
  EXPECT_EQ(run({"--osupg", "5,-3:40,60"}), ZR_E_STATUS);  // minus -3 would read as success
  EXPECT_EQ(values, (std::vector<int>{5, 40}));
}

TEST_F(Upgrade, ANegativeValueIsTheResult) {
  EXPECT_EQ(run({"--osupg", "10,-7,20"}), -7);
  EXPECT_EQ(values, (std::vector<int>{10, -7}));
  values.clear();
  stop_at = -7;  // whatever the callback answers
  EXPECT_EQ(run({"--osupg", "10,-7,20"}), -7);
  values.clear();
  EXPECT_EQ(run({"--osupg", "2:-9"}), -9);
}

TEST_F(Upgrade, TheCallbackCanStopTheWait) {
  stop_at = 50;
  EXPECT_EQ(run({"--osupg", "10,50,90"}), ZR_E_CANCELLED);
  EXPECT_EQ(values, (std::vector<int>{10, 50}));
}

TEST_F(Upgrade, LinesWithoutNumbersAreSkipped) {
  // " 0 " and "0 x": a status followed by a separator, which the scanner takes as a value.
  EXPECT_EQ(run({"--osupg", "=working,0:,=  ,= 0 ,20,=0 x"}), 0);
  EXPECT_EQ(values, (std::vector<int>{0, 20, 0}));
  values.clear();
  // A last line that the close cuts short is not delivered.
  EXPECT_EQ(run({"--osupg", "10,50", "--close-after", "9"}), 0);
  EXPECT_EQ(values, (std::vector<int>{10}));
  values.clear();
  // A line longer than 1529 characters comes in pieces, each read as a line: the text,
  // then a progress line.
  EXPECT_EQ(run({"--osupg", "=" + std::string(1529, 'x') + "0 20"}), 0);
  EXPECT_EQ(values, (std::vector<int>{20}));
}

TEST_F(Upgrade, SeparatorsAfterTheStatusReportAValueOfZero) {
  // On the status line and on progress lines alike; a status alone reports nothing.
  EXPECT_EQ(run({"--reply", "0 \\n0 ,\\n0\\n0\\t\\n0 7\\n"}), 0);
  EXPECT_EQ(values, (std::vector<int>{0, 0, 0, 7}));
  values.clear();
  EXPECT_EQ(run({"--reply", "0,\\n"}), 0);
  EXPECT_EQ(values, (std::vector<int>{0}));
}

TEST_F(Upgrade, ASilentHandheldEndsTheWaitWithoutAnError) {
  using Clock = std::chrono::steady_clock;
  SimProcess sim({"--osupg", "10,stall"});
  ASSERT_TRUE(sim.ok());
  quick_addr = sim.addr();
  auto start = Clock::now();
  EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), "i", "-", on_progress), 0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(values, (std::vector<int>{10}));
}

TEST_F(Upgrade, TheLongWaitIsThreeMinutes) {
  SimProcess sim({"--osupg", "10,20"});
  ASSERT_TRUE(sim.ok());
  static uint32_t rtime = 0;
  static uint32_t addr = 0;
  addr = sim.addr();
  auto look = [](int) {
    zr_tune t{0, 0};
    KQ_ZR_1b_tune(connection_to(addr), 1, &t);
    rtime = t.rtime;
    return 0;
  };
  EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), "i", "-", look), 0);
  EXPECT_EQ(rtime, 180000u);
}

TEST_F(Upgrade, RefusalsAndChecksBeforeConnecting) {
  EXPECT_EQ(run({"--reply", "x\n"}), ZR_E_STATUS);
  EXPECT_EQ(run({"--status", "1021"}), -1021);
  EXPECT_EQ(run({"--reply", ""}), ZR_E_END);

  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  std::string a(1000, 'a'), b(524, 'b');
  EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), a.c_str(), b.c_str(), on_progress), ZR_E_COMMAND);
  EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), std::string(762, ' ').c_str(), "-", on_progress), ZR_E_COMMAND);
  EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), "image\nfdel x", "-", on_progress), ZR_E_COMMAND);
  EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), "image", "-\r", on_progress), ZR_E_COMMAND);
  EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), "image", "-", nullptr), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), nullptr, "-", on_progress), ZR_E_HANDLE);
  EXPECT_TRUE(sim.sim->requests().empty());
  // 1523 characters together pass; the handheld finds the name too long.
  EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), a.c_str(), std::string(523, 'b').c_str(), on_progress), -1036);
  EXPECT_EQ(sim.sim->requests().size(), 1u);
  EXPECT_TRUE(values.empty());
  EXPECT_EQ(KQ_ZR_os_upg(zrtest::fresh_loopback(), "i", "-", on_progress), ZR_E_CONNECT);
}

}  // namespace
