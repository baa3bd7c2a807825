// The simulator's commands, its profile and its request log, seen over plain sockets.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "sim-pattern.h"
#include "sim_client.h"
#include "sim_process.h"

using simtest::exchange;
using simtest::parse_fields;
using zrtest::SimProcess;

namespace {

std::string reply_to(const SimProcess &sim, const std::string &request) {
  return exchange(sim.addr(), sim.port(), request).bytes;
}

size_t value_count(const std::string &value) {
  size_t n = 1;
  for (char c : value) n += c == ',';
  return n;
}

// Writes a profile file that is removed again at the end of the test.
struct TempFile {
  std::string path;
  explicit TempFile(const std::string &content) {
    char name[] = "/tmp/zr-sim-profile-XXXXXX";
    int fd = mkstemp(name);
    path = name;
    if (fd >= 0) {
      ssize_t w = write(fd, content.data(), content.size());
      (void)w;
      close(fd);
    }
  }
  ~TempFile() { unlink(path.c_str()); }
};

}  // namespace

TEST(SimInfo, ReplyListsEveryMemberInTableOrder) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  simtest::RawReply raw = exchange(sim.addr(), sim.port(), "info 1\n");
  EXPECT_TRUE(raw.closed);
  EXPECT_FALSE(raw.reset);
  ASSERT_FALSE(raw.bytes.empty());
  EXPECT_EQ(raw.bytes.back(), '\n');

  simtest::FieldReply f = parse_fields(raw.bytes);
  EXPECT_EQ(f.status_line, "0");
  std::vector<std::string> keys;
  for (auto &kv : f.fields) keys.push_back(kv.first);
  EXPECT_EQ(keys, (std::vector<std::string>{"addr", "mask", "b1v", "b2v", "bat", "clk", "disk", "eid", "hwv", "name",
                                            "ram", "ready", "run", "scrn", "ser", "sgeo", "ver"}));
  const std::map<std::string, size_t> counts = {{"b1v", 4}, {"b2v", 4},   {"bat", 8}, {"disk", 3}, {"hwv", 4},
                                                {"ram", 2}, {"ready", 2}, {"ser", 8}, {"sgeo", 4}, {"ver", 4}};
  for (auto &kv : counts) EXPECT_EQ(value_count(f.by_key[kv.first]), kv.second) << kv.first;
  // Numbers are plain decimal: a leading zero would read as octal on the other side.
  for (auto &kv : f.fields) {
    if (kv.first == "eid" || kv.first == "name") continue;
    std::string v = "," + kv.second;
    for (size_t i = 0; i + 2 < v.size(); ++i)
      EXPECT_FALSE(v[i] == ',' && v[i + 1] == '0' && v[i + 2] != ',') << kv.first << "=" << kv.second;
  }
  EXPECT_EQ(f.by_key["addr"], std::to_string(sim.addr()));
  EXPECT_EQ(f.by_key["mask"], "4294967292");
  EXPECT_EQ(f.by_key["sgeo"], "240,320,16,0");
  EXPECT_EQ(f.by_key["scrn"], "153600");
  EXPECT_EQ(f.by_key["name"], "ZR-SIM");
  EXPECT_FALSE(f.by_key["eid"].empty());
}

TEST(SimInfo, RefusedRequestsGetTheirStatuses) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  EXPECT_EQ(reply_to(sim, "info 2\n"), "2\n");
  EXPECT_EQ(reply_to(sim, "info\n"), "3\n");
  EXPECT_EQ(reply_to(sim, "info one\n"), "3\n");
  EXPECT_EQ(reply_to(sim, "info 1 1\n"), "3\n");
  EXPECT_EQ(reply_to(sim, "stat 2\n"), "2\n");
  EXPECT_EQ(reply_to(sim, "tune 3\n"), "2\n");
  EXPECT_EQ(reply_to(sim, "scrn 2 0 0\n"), "2\n");
  EXPECT_EQ(reply_to(sim, "nosuch 1\n"), "1\n");
  EXPECT_EQ(reply_to(sim, "\n"), "1\n");
  // A carriage return before the line feed is tolerated.
  EXPECT_EQ(parse_fields(reply_to(sim, "info 1\r\n")).status_line, "0");
}

TEST(SimInfo, RequestLinesAreBoundedAt4096Bytes) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  std::string longest = "info 1" + std::string(4096 - 6, ' ') + "\n";
  EXPECT_EQ(parse_fields(reply_to(sim, longest)).status_line, "0");

  // One byte more, and a much longer line: refused with a status that is delivered intact
  // (not lost to a reset although the request was not read to its end).
  for (size_t size : {size_t(4097), size_t(200000)}) {
    simtest::RawReply r = exchange(sim.addr(), sim.port(), std::string(size, 'a') + "\n");
    EXPECT_EQ(r.bytes, "4\n") << size;
  }
  EXPECT_EQ(parse_fields(reply_to(sim, "info 1\n")).status_line, "0");
}

TEST(SimProfile, FileThenSetOverridesMembers) {
  TempFile profile(
      "# a small handheld\n"
      "\n"
      "disk=1048576,524288,0\n"
      "sgeo=100,200,8,0\r\n"
      "eid=SIM-0001\n"
      "name=FILE\n"
      "bat=40\n");
  SimProcess sim({"--profile", profile.path, "--set", "name=SETNAME", "--set", "addr=172.16.0.2", "--set", "ver=9,8",
                  "--set", "ser=1,2,3,4,5,6,7,255"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  simtest::FieldReply f = parse_fields(reply_to(sim, "info 1\n"));
  EXPECT_EQ(f.by_key["disk"], "1048576,524288,0");
  EXPECT_EQ(f.by_key["sgeo"], "100,200,8,0");
  EXPECT_EQ(f.by_key["scrn"], "20000");  // follows the geometry
  EXPECT_EQ(f.by_key["eid"], "SIM-0001");
  EXPECT_EQ(f.by_key["name"], "SETNAME");
  EXPECT_EQ(f.by_key["addr"], "2886729730");
  EXPECT_EQ(f.by_key["ver"], "9,8,0,0");
  EXPECT_EQ(f.by_key["bat"], "40,0,0,0,0,0,0,0");
  EXPECT_EQ(f.by_key["ser"], "1,2,3,4,5,6,7,255");

  SimProcess fixed({"--set", "scrn=7", "--set", "sgeo=10,10,16,0", "--set", "eid=" + std::string(24, 'E')});
  ASSERT_TRUE(fixed.ok()) << fixed.error();
  simtest::FieldReply g = parse_fields(reply_to(fixed, "info 1\n"));
  EXPECT_EQ(g.by_key["scrn"], "7");
  EXPECT_EQ(g.by_key["eid"], std::string(24, 'E'));
  EXPECT_EQ(reply_to(fixed, "scrn 1 0 0\n").size(), std::string("0 200\n").size() + 200);
}

TEST(SimProfile, BadValuesAreRefusedWithExitCodeTwo) {
  TempFile bad_line("name=OK\nnosuch=1\n");
  const std::vector<std::vector<std::string>> cases = {
      {"--set", "eid=" + std::string(25, 'x')},
      {"--set", "name=NINECHARS"},
      {"--set", "sgeo=1,2,3,4,5"},
      {"--set", "bat=70000"},
      {"--set", "ser=256"},
      {"--set", "disk=1,,2"},
      {"--set", "addr=-1"},
      {"--set", "nosuch=1"},
      {"--set", "name"},
      {"--set", "sgeo=65535,65535,32,0"},  // an image far beyond what the simulator holds
      {"--profile", "/nonexistent/profile"},
      {"--profile", bad_line.path},
  };
  for (const auto &c : cases) {
    std::vector<std::string> argv = {zrtest::sim_path(), "--addr", "127.0.0.1", "--port", "0"};
    argv.insert(argv.end(), c.begin(), c.end());
    simtest::RunResult r = simtest::run_program(argv, 3000);
    EXPECT_EQ(r.exit_code, 2) << c.back();
    EXPECT_EQ(r.out.find("ready"), std::string::npos) << c.back();
    EXPECT_NE(r.err.find("zr-handheld-sim: "), std::string::npos) << c.back();
  }
}

TEST(SimScrn, WholeImageIsTheTestPattern) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  std::string r = reply_to(sim, "scrn 1 0 0\n");
  const std::string head = "0 153600\n";
  ASSERT_EQ(r.substr(0, head.size()), head);
  zrsim::ScreenGeometry g{240, 320, 16};
  std::vector<uint8_t> expected = zrsim::pattern_image(g);
  EXPECT_TRUE(r.substr(head.size()) == std::string(expected.begin(), expected.end()));
}

TEST(SimScrn, OffsetAndMaximumSelectThePiece) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  std::vector<uint8_t> image = zrsim::pattern_image(zrsim::ScreenGeometry{240, 320, 16});
  auto piece = [&](size_t from, size_t n) {
    return "0 " + std::to_string(n) + "\n" + std::string(image.begin() + from, image.begin() + from + n);
  };
  EXPECT_EQ(reply_to(sim, "scrn 1 1000 500\n"), piece(1000, 500));
  EXPECT_EQ(reply_to(sim, "scrn 1 153000 0\n"), piece(153000, 600));
  EXPECT_EQ(reply_to(sim, "scrn 1 153000 100000\n"), piece(153000, 600));
  EXPECT_EQ(reply_to(sim, "scrn 1 153599 1\n"), piece(153599, 1));
  EXPECT_EQ(reply_to(sim, "scrn 1 153600 0\n"), "0 0\n");
  EXPECT_EQ(reply_to(sim, "scrn 1 4294967295 10\n"), "0 0\n");
  EXPECT_EQ(reply_to(sim, "scrn 1 0\n"), "3\n");
  EXPECT_EQ(reply_to(sim, "scrn 1 0 -1\n"), "3\n");
  EXPECT_EQ(reply_to(sim, "scrn 1 x 0\n"), "3\n");
}

TEST(SimScrn, OtherDepthsFollowTheGeometry) {
  for (uint32_t bpp : {8u, 24u, 32u, 4u}) {
    zrsim::ScreenGeometry g{20, 30, bpp};
    SimProcess sim({"--set", "sgeo=20,30," + std::to_string(bpp) + ",0"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    std::vector<uint8_t> image = zrsim::pattern_image(g);
    EXPECT_EQ(image.size(), 20u * 30u * bpp / 8u);
    EXPECT_EQ(parse_fields(reply_to(sim, "info 1\n")).by_key["scrn"], std::to_string(image.size()));
    EXPECT_EQ(reply_to(sim, "scrn 1 0 0\n"),
              "0 " + std::to_string(image.size()) + "\n" + std::string(image.begin(), image.end()))
        << bpp;
  }
}

TEST(SimScrn, AnimatedScreenGivesEachRequestTheNextImage) {
  zrsim::ScreenGeometry g{240, 320, 16};
  SimProcess sim({"--screen-animate"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  std::vector<std::string> images;
  for (int i = 0; i < 3; ++i) images.push_back(reply_to(sim, "scrn 1 0 0\n").substr(std::string("0 153600\n").size()));
  for (uint64_t n = 1; n <= 3; ++n) {
    std::vector<uint8_t> want = zrsim::pattern_frame(g, n);
    EXPECT_TRUE(images[n - 1] == std::string(want.begin(), want.end())) << n;
  }
  std::vector<uint8_t> fourth = zrsim::pattern_frame(g, 4);
  EXPECT_EQ(reply_to(sim, "scrn 1 1000 10\n"), "0 10\n" + std::string(fourth.begin() + 1000, fourth.begin() + 1010));
  // The mark moves and the number changes: no two images alike, none the still picture.
  std::vector<uint8_t> still = zrsim::pattern_image(g);
  EXPECT_NE(images[0], images[1]);
  EXPECT_NE(zrsim::pattern_frame(g, 10), zrsim::pattern_frame(g, 10 + (320 - 15)));  // same mark, other number
  EXPECT_NE(zrsim::pattern_frame(g, 1), still);
  // The mark's top left pixel sits where the picture says, white.
  std::vector<uint8_t> f5 = zrsim::pattern_frame(g, 5);
  size_t at = (static_cast<size_t>(240 - 32) * 320 + 40) * 2;
  EXPECT_EQ(f5[at], 0xFF);
  EXPECT_EQ(f5[at + 1], 0xFF);
  EXPECT_EQ(zrsim::pattern_frame(zrsim::ScreenGeometry{4, 4, 8}, 7).size(), 16u);  // too small for the mark
}

TEST(SimPattern, PixelsFollowTheDocumentedLayout) {
  zrsim::ScreenGeometry g16{240, 320, 16};
  EXPECT_EQ(zrsim::pattern_pixel(g16, 0, 0), 0u);
  EXPECT_EQ(zrsim::pattern_pixel(g16, 15, 0) & 0x1Fu, 0u);  // blue only on odd checker squares
  EXPECT_EQ(zrsim::pattern_pixel(g16, 16, 0) & 0x1Fu, 0x1Fu);
  EXPECT_EQ(zrsim::pattern_pixel(g16, 16, 16) & 0x1Fu, 0u);
  EXPECT_EQ(zrsim::pattern_pixel(g16, 319, 0), 0xF81Fu);  // red full at the right edge
  EXPECT_EQ(zrsim::pattern_pixel(g16, 0, 239), 0x07E0u);  // green full at the bottom
  // Little-endian storage, rows one after another.
  uint32_t p = zrsim::pattern_pixel(g16, 5, 2);
  size_t at = (2 * 320 + 5) * 2;
  EXPECT_EQ(zrsim::pattern_byte(g16, at), p & 0xFF);
  EXPECT_EQ(zrsim::pattern_byte(g16, at + 1), p >> 8);

  zrsim::ScreenGeometry g24{4, 4, 24};
  uint32_t q = zrsim::pattern_pixel(g24, 3, 1);
  EXPECT_EQ(q >> 16, 255u);                                            // red of the rightmost column
  EXPECT_EQ(zrsim::pattern_byte(g24, (1 * 4 + 3) * 3 + 0), q & 0xFF);  // blue first
  EXPECT_EQ(zrsim::pattern_byte(g24, (1 * 4 + 3) * 3 + 2), 255u);
  zrsim::ScreenGeometry g32{4, 4, 32};
  EXPECT_EQ(zrsim::pattern_byte(g32, (1 * 4 + 3) * 4 + 3), 0u);  // the X byte

  zrsim::ScreenGeometry g8{10, 10, 8};
  EXPECT_EQ(zrsim::pattern_pixel(g8, 0, 0), 0u);
  EXPECT_EQ(zrsim::pattern_pixel(g8, 9, 9), 255u);
  EXPECT_EQ(zrsim::pattern_image(zrsim::ScreenGeometry{1, 1, 8}), std::vector<uint8_t>{0});
}

TEST(SimStat, CountsTrafficAndResets) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  reply_to(sim, "info 1\n");
  simtest::FieldReply reset = parse_fields(reply_to(sim, "stat 3\n"));
  EXPECT_EQ(reset.status_line, "0");
  EXPECT_EQ(reset.by_key["xpay0"], "0");
  EXPECT_EQ(reset.by_key["xpay1"], "0");
  EXPECT_EQ(reset.by_key["rpay0"], "0");
  EXPECT_EQ(reset.by_key["rpay1"], "0");

  std::string stat3_reply = "0\nxpay0=0\nxpay1=0\nrpay0=0\nrpay1=0\n";
  std::string tune_reply = reply_to(sim, "tune 1\n");
  simtest::FieldReply after = parse_fields(reply_to(sim, "stat 1\n"));
  EXPECT_EQ(after.by_key["xpay0"], std::to_string(stat3_reply.size() + tune_reply.size()));
  EXPECT_EQ(after.by_key["xpay1"], "2");
  EXPECT_EQ(after.by_key["rpay0"], std::to_string(std::string("tune 1\nstat 1\n").size()));
  EXPECT_GE(std::stoul(after.by_key["rpay1"]), 2u);
}

TEST(SimTune, Tune2KeepsThePair) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  EXPECT_EQ(reply_to(sim, "tune 1\n"), "0\nrtime=10000\nxtime=10000\n");
  EXPECT_EQ(reply_to(sim, "tune 2\nrtime=1000\nxtime=2000\n"), "0\nrtime=1000\nxtime=2000\n");
  EXPECT_EQ(reply_to(sim, "tune 1\n"), "0\nrtime=1000\nxtime=2000\n");
  EXPECT_EQ(reply_to(sim, "tune 2\nrtime=4294967295\nxtime=3000\n"), "0\nrtime=1000\nxtime=3000\n");
  // Malformed pair lines change nothing.
  EXPECT_EQ(reply_to(sim, "tune 2\nrtime=abc\nxtime=1\n"), "3\n");
  EXPECT_EQ(reply_to(sim, "tune 2\nfoo=1\nxtime=1\n"), "3\n");
  EXPECT_EQ(reply_to(sim, "tune 2\nxtime=1\nxtime=2\n"), "3\n");
  EXPECT_EQ(reply_to(sim, "tune 1\n"), "0\nrtime=1000\nxtime=3000\n");

  // The pair lines may come in a later segment than the command line.
  int fd = simtest::connect_to(sim.addr(), sim.port());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(send(fd, "tune 2\n", 7, MSG_NOSIGNAL), 7);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::string rest = "rtime=5\nxtime=6\n";
  ASSERT_EQ(send(fd, rest.data(), rest.size(), MSG_NOSIGNAL), static_cast<ssize_t>(rest.size()));
  EXPECT_EQ(simtest::read_reply(fd, 3000).bytes, "0\nrtime=5\nxtime=6\n");
  close(fd);

  std::vector<std::string> requests = sim.requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[1], "tune 2\nrtime=1000\nxtime=2000\n");
  EXPECT_EQ(requests.back(), "tune 2\nrtime=5\nxtime=6\n");
}

TEST(SimTune, ReceiveWaitBoundsAnIdleClient) {
  SimProcess sim({"--set", "rtime=200"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  int fd = simtest::connect_to(sim.addr(), sim.port());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(send(fd, "tune 2\n", 7, MSG_NOSIGNAL), 7);  // the pair lines never come
  simtest::RawReply r = simtest::read_reply(fd, 3000);
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.bytes, "");
  close(fd);
  EXPECT_EQ(sim.requests(), std::vector<std::string>{"tune 2\n"});
}

TEST(SimLog, RecordsEachRequestEscapedWithItsConnectionNumber) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  reply_to(sim, "info 1\n");
  reply_to(sim, std::string("odd\x01\\ \xff\r\n", 9));
  int fd = simtest::connect_to(sim.addr(), sim.port());  // connection 3 sends nothing
  ASSERT_GE(fd, 0);
  close(fd);
  fd = simtest::connect_to(sim.addr(), sim.port());  // connection 4 sends half a line
  ASSERT_GE(fd, 0);
  ASSERT_EQ(send(fd, "inf", 3, MSG_NOSIGNAL), 3);
  shutdown(fd, SHUT_WR);
  simtest::read_reply(fd, 3000);
  close(fd);
  reply_to(sim, "stat 1\n");

  EXPECT_EQ(sim.log_lines(),
            (std::vector<std::string>{"1 info 1\\n", "2 odd\\x01\\\\ \\xFF\\r\\n", "4 inf", "5 stat 1\\n"}));
  EXPECT_EQ(sim.requests(),
            (std::vector<std::string>{"info 1\n", std::string("odd\x01\\ \xff\r\n", 9), "inf", "stat 1\n"}));
}
