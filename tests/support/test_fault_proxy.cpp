// The fault-injecting stand-in itself: each fault strikes the connection it was planned for,
// at the byte it was planned for, and the rest passes unchanged.
#include "fault_proxy.h"
#include "sim_process.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// What a client of the proxy got for one request.
struct Got {
  std::string bytes;
  int error = 0;        // errno of a failed receive (ECONNRESET), 0 for a close
  bool silent = false;  // nothing more came for wait_ms, the connection still open
  double seconds = 0;   // until the close, the failure or the silence
};

Got ask(const zrtest::FaultProxy &proxy, const std::string &request, int wait_ms = 3000) {
  Got got;
  auto start = Clock::now();
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(proxy.addr());
  sa.sin_port = htons(10001);
  if (connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
      send(s, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    got.error = errno;
  } else {
    for (;;) {
      pollfd p{s, POLLIN, 0};
      if (poll(&p, 1, wait_ms) <= 0) {
        got.silent = true;
        break;
      }
      char buf[4096];
      ssize_t n = recv(s, buf, sizeof buf, 0);
      if (n < 0) got.error = errno;
      if (n <= 0) break;
      got.bytes.append(buf, static_cast<size_t>(n));
    }
  }
  close(s);
  got.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return got;
}

class FaultProxyTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim.ok()) << sim.error();
    ASSERT_TRUE(proxy.ok()) << proxy.error();
  }
  zrtest::TempDir dir{"fault-proxy-test"};
  std::string root = make_storage(dir.path() + "/storage");
  zrtest::SimProcess sim{{"--storage", root}};
  zrtest::FaultProxy proxy{sim.addr()};
  const std::string content = std::string(3000, 'x') + "end";
  const std::string whole = "0 3003\n" + content;  // the fget reply of /f.bin

  std::string make_storage(const std::string &path) {
    zrtest::WriteFile(path + "/f.bin", std::string(3000, 'x') + "end");
    zrtest::WriteFile(path + "/sub/g.txt", "g\n");
    return path;
  }
};

TEST_F(FaultProxyTest, PassesEverythingAndLogsItWithoutAFault) {
  EXPECT_EQ(ask(proxy, "fget /f.bin 0\n").bytes, whole);
  EXPECT_EQ(ask(proxy, "dir /sub\n").bytes.substr(0, 8), "0\ng.txt\n");
  ASSERT_TRUE(proxy.wait_idle(5000));
  auto log = proxy.log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].request, "fget /f.bin 0\n");
  EXPECT_EQ(log[0].reply, whole);
  EXPECT_EQ(log[0].reply_size, whole.size());
  EXPECT_EQ(log[1].request, "dir /sub\n");
  EXPECT_TRUE(log[1].finished);
  EXPECT_FALSE(log[0].faulted || log[1].faulted);
  EXPECT_FALSE(proxy.played());
  EXPECT_EQ(sim.requests(), proxy.requests());
}

TEST_F(FaultProxyTest, ACutEndsTheReplyAtItsByteAndOnlyTheNthMatchIsFaulted) {
  for (uint64_t at : {0u, 1u, 7u, 8u, 2000u, 3009u}) {
    proxy.plan(zrtest::Fault::cut("fget", 2, at));
    EXPECT_EQ(ask(proxy, "fget /f.bin 0\n").bytes, whole) << "the 1st fget passes";
    EXPECT_EQ(ask(proxy, "attr /f.bin\n").bytes.substr(0, 2), "0\n") << "no match, not counted";
    Got cut = ask(proxy, "fget /f.bin 0\n");
    EXPECT_EQ(cut.bytes, whole.substr(0, at)) << at;
    EXPECT_EQ(cut.error, 0) << "a close, not a reset";
    EXPECT_FALSE(cut.silent);
    EXPECT_EQ(ask(proxy, "fget /f.bin 0\n").bytes, whole) << "one fault only";
    ASSERT_TRUE(proxy.wait_idle(5000));
    EXPECT_TRUE(proxy.played());
    EXPECT_EQ(proxy.played_on(), "fget /f.bin 0\n");
    auto log = proxy.log();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(std::vector<bool>({log[0].faulted, log[1].faulted, log[2].faulted, log[3].faulted}),
              std::vector<bool>({false, false, true, false}));
    EXPECT_EQ(log[2].reply, whole) << "the log keeps what the simulator sent";
    proxy.clear();
  }
  // A longer start of the line names one file; the empty request counts every connection.
  proxy.plan(zrtest::Fault::cut("fget /sub/g.txt", 1, 3));
  EXPECT_EQ(ask(proxy, "fget /f.bin 0\n").bytes, whole);
  EXPECT_EQ(ask(proxy, "fget /sub/g.txt 0\n").bytes, "0 2");
  proxy.plan(zrtest::Fault::cut("", 2, 0));
  EXPECT_EQ(ask(proxy, "fget /f.bin 0\n").bytes, whole);
  EXPECT_EQ(ask(proxy, "fget /f.bin 0\n").bytes, "");
}

TEST_F(FaultProxyTest, AResetComesAfterTheBytesBeforeIt) {
  proxy.plan(zrtest::Fault::reset("fget", 1, 100));
  Got reset = ask(proxy, "fget /f.bin 0\n");
  EXPECT_EQ(reset.bytes, whole.substr(0, 100));
  EXPECT_EQ(reset.error, ECONNRESET);
}

TEST_F(FaultProxyTest, AStallIsSilentUntilTheClientGivesUpOrItsHoldEnds) {
  proxy.plan(zrtest::Fault::stall("fget", 1, 7));
  Got stalled = ask(proxy, "fget /f.bin 0\n", 300);
  EXPECT_EQ(stalled.bytes, "0 3003\n");
  EXPECT_TRUE(stalled.silent);
  EXPECT_TRUE(proxy.wait_idle(5000)) << "the client closing ends the stall";

  proxy.plan(zrtest::Fault::stall("fget", 1, 7, 400));
  Got held = ask(proxy, "fget /f.bin 0\n", 3000);
  EXPECT_EQ(held.bytes, "0 3003\n");
  EXPECT_FALSE(held.silent) << "closed after the hold";
  EXPECT_GE(held.seconds, 0.35);

  // stop() ends a stall that nobody ends.
  proxy.plan(zrtest::Fault::stall("fget", 1, 0));
  Got during_stop;
  std::thread client([&] { during_stop = ask(proxy, "fget /f.bin 0\n", 5000); });
  auto t = Clock::now();
  while (Clock::now() - t < std::chrono::seconds(3) && !proxy.played())
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  proxy.stop();
  client.join();
  EXPECT_FALSE(during_stop.silent);
  EXPECT_EQ(during_stop.bytes, "");
}

TEST_F(FaultProxyTest, RewritesChangeTheReplyAndNothingElse) {
  proxy.plan(zrtest::Fault::lying_size("fget", 1, 1000));
  EXPECT_EQ(ask(proxy, "fget /f.bin 0\n").bytes, "0 1000\n" + content);
  proxy.plan(zrtest::Fault::replace("dir", 1, "0\n../f.bin\ntype=0\n\n"));
  EXPECT_EQ(ask(proxy, "dir /sub\n").bytes, "0\n../f.bin\ntype=0\n\n");
  proxy.plan(zrtest::Fault::range("fget", 1, 2, 6, "99"));
  EXPECT_EQ(ask(proxy, "fget /f.bin 0\n").bytes, "0 99\n" + content);
  // A range beyond the reply's end adds to it.
  proxy.plan(zrtest::Fault::range("fget", 1, 5000, 6000, "more"));
  EXPECT_EQ(ask(proxy, "fget /f.bin 0\n").bytes, whole + "more");
}

TEST_F(FaultProxyTest, TheSimulatorFinishesWhatItReceivedBeforeACut) {
  // The reply to a deletion is lost; the deletion was made.
  proxy.plan(zrtest::Fault::cut("fdel", 1, 0));
  EXPECT_EQ(ask(proxy, "fdel /sub/g.txt\n").bytes, "");
  ASSERT_TRUE(proxy.wait_idle(5000));
  EXPECT_FALSE(zrtest::ReadFile(root + "/sub/g.txt").has_value());
  // A transfer cut after the ready status: the simulator never gets the content, and
  // stores nothing.
  proxy.plan(zrtest::Fault::cut("fput", 1, 2));
  Got put = ask(proxy, "fput /new.txt 5 0\n", 3000);
  EXPECT_EQ(put.bytes, "0\n");
  ASSERT_TRUE(proxy.wait_idle(8000));
  EXPECT_FALSE(zrtest::ReadFile(root + "/new.txt").has_value());
}

}  // namespace
