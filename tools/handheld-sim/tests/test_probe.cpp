// The liveness probe: UDP port 10003 of the simulator's address, seen by a plain client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sim_client.h"
#include "sim_process.h"

using zrtest::SimProcess;

namespace {

const std::string kProbe = "zr-api4-q";

// A datagram socket bound to an automatic port on any address.
struct Udp {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ~Udp() {
    if (fd >= 0) close(fd);
  }
  void send_to(uint32_t addr, const std::string &bytes, uint16_t port = 10003) const {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(port);
    ASSERT_EQ(sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa),
              static_cast<ssize_t>(bytes.size()));
  }
  // The next datagram within `ms`, or "<none>".
  std::string receive(int ms = 1000) const {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return "<none>";
    char buf[2048];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n < 0 ? "<none>" : std::string(buf, static_cast<size_t>(n));
  }
};

// The datagrams in the request log (connection number 0), oldest first.
std::vector<std::string> logged_datagrams(const SimProcess &sim) {
  std::vector<std::string> out;
  std::vector<std::string> lines = sim.log_lines();
  std::vector<std::string> requests = sim.requests();
  for (size_t i = 0; i < lines.size() && i < requests.size(); ++i)
    if (lines[i].rfind("0 ", 0) == 0) out.push_back(requests[i]);
  return out;
}

}  // namespace

TEST(SimProbe, AnswersTheProbeWithOrvAndItsName) {
  SimProcess sim({"--set", "name=CALC-9"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  Udp u;
  u.send_to(sim.addr(), kProbe);
  EXPECT_EQ(u.receive(), "orv CALC-9");
  // The stream side is unaffected.
  EXPECT_EQ(simtest::parse_fields(simtest::exchange(sim.addr(), sim.port(), "tune 1\n").bytes).status_line, "0");
  EXPECT_EQ(logged_datagrams(sim), std::vector<std::string>{kProbe});
}

TEST(SimProbe, OnlyTheExactProbeIsAnsweredButEveryDatagramIsLogged) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  Udp u;
  const std::vector<std::string> others = {kProbe + std::string(1, '\0'), "zr-api4-", "ZR-API4-Q", "info 1\n"};
  for (const std::string &d : others) u.send_to(sim.addr(), d);
  EXPECT_EQ(u.receive(200), "<none>");
  u.send_to(sim.addr(), kProbe);
  EXPECT_EQ(u.receive(), "orv ZR-SIM");
  std::vector<std::string> expected = others;
  expected.push_back(kProbe);
  EXPECT_EQ(logged_datagrams(sim), expected);
}

TEST(SimProbe, ProbeFromAnswersOnlyFromTheNthProbe) {
  SimProcess sim({"--probe-from", "3"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  Udp u;
  u.send_to(sim.addr(), kProbe);
  u.send_to(sim.addr(), "not a probe");  // not counted
  u.send_to(sim.addr(), kProbe);
  EXPECT_EQ(u.receive(200), "<none>");
  u.send_to(sim.addr(), kProbe);
  EXPECT_EQ(u.receive(), "orv ZR-SIM");
  u.send_to(sim.addr(), kProbe);
  EXPECT_EQ(u.receive(), "orv ZR-SIM");
}

TEST(SimProbe, SilentAndOtherText) {
  SimProcess silent({"--probe-silent"});
  SimProcess other({"--probe-reply", "\\x00orv\\n"});
  ASSERT_TRUE(silent.ok()) << silent.error();
  ASSERT_TRUE(other.ok()) << other.error();
  Udp u;
  u.send_to(silent.addr(), kProbe);
  u.send_to(other.addr(), kProbe);
  EXPECT_EQ(u.receive(), std::string("\0orv\n", 5));
  EXPECT_EQ(u.receive(200), "<none>");
  EXPECT_EQ(logged_datagrams(silent), std::vector<std::string>{kProbe});
}

TEST(SimProbe, TakenProbePortExitsWithThree) {
  uint32_t addr = zrtest::fresh_loopback();
  Udp holder;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(addr);
  sa.sin_port = htons(10003);
  ASSERT_EQ(bind(holder.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
  simtest::RunResult r = simtest::run_program({zrtest::sim_path(), "--addr", zrtest::addr_text(addr)}, 3000);
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_NE(r.err.find("UDP port 10003"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("ready"), std::string::npos);
}

TEST(SimProbe, OptionsAreDescribedAndChecked) {
  simtest::RunResult help = simtest::run_program({zrtest::sim_path(), "--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char *word : {"--probe-silent", "--probe-reply", "--probe-from", "10003", "zr-api4-q", "orv"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  const std::vector<std::vector<std::string>> bad = {
      {"--probe-from", "0"}, {"--probe-from", "x"}, {"--probe-from"}, {"--probe-reply", "bad\\q"}, {"--probe-silent=1"},
  };
  for (const auto &c : bad) {
    std::vector<std::string> argv = {zrtest::sim_path(), "--addr", "127.0.0.1", "--port", "0"};
    argv.insert(argv.end(), c.begin(), c.end());
    simtest::RunResult r = simtest::run_program(argv, 3000);
    EXPECT_EQ(r.exit_code, 2) << c.front();
    EXPECT_NE(r.err.find("zr-handheld-sim: "), std::string::npos) << c.front();
  }
}
