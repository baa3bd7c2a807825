// Fault injection: each switch is observable by a plain client.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "sim_client.h"
#include "sim_process.h"

using simtest::exchange;
using simtest::parse_fields;
using zrtest::SimProcess;

namespace {

const std::string kTuneReply = "0\nrtime=10000\nxtime=10000\n";

std::string reply_to(const SimProcess &sim, const std::string &request) {
  return exchange(sim.addr(), sim.port(), request).bytes;
}

// Connects and sends a request; the caller reads and closes.
int open_request(const SimProcess &sim, const std::string &request) {
  int fd = simtest::connect_to(sim.addr(), sim.port());
  if (fd >= 0 && send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

TEST(SimFaults, DelayHoldsBackTheReply) {
  SimProcess sim({"--delay", "400", "--fault-cmd", "tune"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  int fd = open_request(sim, "tune 1\n");
  ASSERT_GE(fd, 0);
  simtest::RawReply early = simtest::read_reply(fd, 150);
  EXPECT_EQ(early.bytes, "");
  EXPECT_FALSE(early.closed);
  EXPECT_EQ(simtest::read_reply(fd, 3000).bytes, kTuneReply);
  close(fd);
  // Other commands are not delayed: while a tune request waits, stat is answered.
  fd = open_request(sim, "tune 1\n");
  ASSERT_GE(fd, 0);
  EXPECT_EQ(parse_fields(reply_to(sim, "stat 1\n")).status_line, "0");
  EXPECT_EQ(simtest::read_reply(fd, 150).bytes, "");
  close(fd);
}

TEST(SimFaults, SplitSendsOneBytePerSegment) {
  SimProcess sim({"--split", "--fault-cmd", "tune"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  reply_to(sim, "stat 3\n");  // its reply is the one send counted after the reset
  EXPECT_EQ(reply_to(sim, "tune 1\n"), kTuneReply);
  simtest::FieldReply f = parse_fields(reply_to(sim, "stat 1\n"));
  EXPECT_EQ(f.by_key["xpay1"], std::to_string(1 + kTuneReply.size()));
}

TEST(SimFaults, CloseAfterCutsTheReply) {
  SimProcess sim({"--close-after", "9", "--fault-cmd", "tune"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  simtest::RawReply r = exchange(sim.addr(), sim.port(), "tune 1\n");
  EXPECT_EQ(r.bytes, kTuneReply.substr(0, 9));
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(reply_to(sim, "scrn 1 0 3\n").size(), 4u + 3u);  // not in scope: whole

  SimProcess none({"--close-after", "0"});
  ASSERT_TRUE(none.ok()) << none.error();
  r = exchange(none.addr(), none.port(), "info 1\n");
  EXPECT_EQ(r.bytes, "");
  EXPECT_TRUE(r.closed);
}

TEST(SimFaults, StatusReplacesTheReply) {
  SimProcess sim({"--status", "-7"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  EXPECT_EQ(reply_to(sim, "info 1\n"), "-7\n");
  EXPECT_EQ(reply_to(sim, "nosuch\n"), "-7\n");
  // The request is still read whole.
  EXPECT_EQ(reply_to(sim, "tune 2\nrtime=5\nxtime=6\n"), "-7\n");
  EXPECT_EQ(sim.requests().back(), "tune 2\nrtime=5\nxtime=6\n");
}

TEST(SimFaults, ReplySendsDecodedTextVerbatim) {
  SimProcess sim({"--reply", "0\\naddr=1\\r\\nx\\x00y\\t\\\\"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  EXPECT_EQ(reply_to(sim, "info 1\n"), std::string("0\naddr=1\r\nx\0y\t\\", 15));
}

TEST(SimFaults, NoFinalLineFeedDropsTheLastOne) {
  SimProcess sim({"--no-final-lf", "--fault-cmd", "tune", "--fault-cmd", "scrn"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  EXPECT_EQ(reply_to(sim, "tune 1\n"), kTuneReply.substr(0, kTuneReply.size() - 1));
  EXPECT_EQ(reply_to(sim, "scrn 1 999999 0\n"), "0 0");
  EXPECT_EQ(reply_to(sim, "stat 2\n"), "2\n");  // not in scope
}

TEST(SimFaults, SilentReadsButNeverAnswers) {
  SimProcess sim({"--silent", "--fault-cmd", "info"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  int fd = open_request(sim, "info 1\n");
  ASSERT_GE(fd, 0);
  simtest::RawReply r = simtest::read_reply(fd, 300);
  EXPECT_EQ(r.bytes, "");
  EXPECT_FALSE(r.closed);
  // Meanwhile other connections are served.
  EXPECT_EQ(reply_to(sim, "tune 1\n"), kTuneReply);
  EXPECT_EQ(sim.requests().front(), "info 1\n");
  // Stopping does not wait for the silent connection.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  r = simtest::read_reply(fd, 2000);
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.bytes, "");
  close(fd);
}

TEST(SimFaults, HoldKeepsTheConnectionOpenAfterTheReply) {
  SimProcess sim({"--hold", "--fault-cmd", "tune"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  int fd = open_request(sim, "tune 1\n");
  ASSERT_GE(fd, 0);
  simtest::RawReply r = simtest::read_reply(fd, 300);
  EXPECT_EQ(r.bytes, kTuneReply);
  EXPECT_FALSE(r.closed);
  close(fd);
  simtest::RawReply normal = exchange(sim.addr(), sim.port(), "stat 2\n");
  EXPECT_EQ(normal.bytes, "2\n");
  EXPECT_TRUE(normal.closed);
}

TEST(SimFaults, ResetEndsTheReplyOrItsCutWithAReset) {
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"--reset"}, std::vector<std::string>{"--reset", "--close-after", "4"}}) {
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--fault-cmd", "tune"});
    SimProcess sim(all);
    ASSERT_TRUE(sim.ok()) << sim.error();
    simtest::RawReply r = exchange(sim.addr(), sim.port(), "tune 1\n");
    EXPECT_TRUE(r.closed);
    EXPECT_TRUE(r.reset) << args.size();
    EXPECT_TRUE(kTuneReply.rfind(r.bytes, 0) == 0) << r.bytes;  // at most what was sent
    simtest::RawReply normal = exchange(sim.addr(), sim.port(), "stat 2\n");
    EXPECT_FALSE(normal.reset);
  }
}

TEST(SimFaults, FailFirstClosesConnectionsUnread) {
  SimProcess sim({"--fail-first", "2", "--fault-cmd", "tune"});  // not limited by --fault-cmd
  ASSERT_TRUE(sim.ok()) << sim.error();
  for (int i = 0; i < 2; ++i) {
    simtest::RawReply r = exchange(sim.addr(), sim.port(), "info 1\n");
    EXPECT_EQ(r.bytes, "") << i;
    EXPECT_TRUE(r.closed) << i;
  }
  EXPECT_EQ(reply_to(sim, "tune 1\n"), kTuneReply);
  EXPECT_EQ(sim.log_lines(), std::vector<std::string>{"3 tune 1\\n"});
}

TEST(SimFaults, FaultCmdLimitsTheFaultsToTheNamedCommands) {
  SimProcess sim({"--status", "9", "--fault-cmd", "info", "--fault-cmd", "scrn"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  EXPECT_EQ(reply_to(sim, "info 1\n"), "9\n");
  EXPECT_EQ(reply_to(sim, "scrn 1 0 0\n"), "9\n");
  EXPECT_EQ(reply_to(sim, "tune 1\n"), kTuneReply);
  EXPECT_EQ(reply_to(sim, "nosuch\n"), "1\n");
}
