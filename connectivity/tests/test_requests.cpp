// The request exchange and the status requests against the handheld simulator.
#include "sim_process.h"
#include "zr-internal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "files_support.h"
#include "sim-pattern.h"

namespace {

using zrtest::SimProcess;
using Clock = std::chrono::steady_clock;

// A byte of the simulator's default 320 x 240, 16-bit screen image.
uint8_t expected_byte(uint64_t offset) {
  zrsim::ScreenGeometry g;
  g.height = 240;
  g.width = 320;
  g.bits_per_pixel = 16;
  return zrsim::pattern_byte(g, offset);
}

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

// The library around each test, and no descriptor left open by it.
struct Requests : zrfiles::LibraryTest {};

TEST_F(Requests, InfoFillsEveryMemberFromTheProfile) {
  SimProcess sim({"--set", "name=CALC-7", "--set", "eid=SIM-EID-42", "--set", "disk=1048576,524288,4096", "--set",
                  "bat=77,1,2,3,4,5,6,7", "--set", "ver=1,2,3,4", "--set", "ser=9,8,7,6,5,4,3,2", "--set",
                  "ready=1,2"});
  ASSERT_TRUE(sim.ok());
  zr_info info;
  std::memset(&info, 0xEE, sizeof info);
  ASSERT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), 0);
  EXPECT_STREQ(info.name, "CALC-7");
  EXPECT_STREQ(info.eid, "SIM-EID-42");
  EXPECT_EQ(info.addr, sim.addr());
  EXPECT_EQ(info.disk[0], 1048576u);
  EXPECT_EQ(info.disk[2], 4096u);
  EXPECT_EQ(info.bat[0], 77);
  EXPECT_EQ(info.bat[7], 7);
  EXPECT_EQ(info.ver[3], 4);
  EXPECT_EQ(info.ser[0], 9);
  EXPECT_EQ(info.ready[0], 1);
  EXPECT_EQ(info.sgeo[0], 240);
  EXPECT_EQ(info.sgeo[1], 320);
  EXPECT_EQ(info.sgeo[2], 16);
  ASSERT_EQ(sim.requests().size(), 1u);
  EXPECT_NE(sim.requests()[0].find("info 1\n"), std::string::npos);
}

TEST_F(Requests, OperationsAndRecordsAreCheckedBeforeConnecting) {
  zr_info info;
  zr_stat st;
  zr_tune t{};
  // Address 127.0.0.1 with nothing listening would answer -211 if a connection were tried.
  EXPECT_EQ(KQ_ZR_sr_info(0x7F000001u, 2, &info), ZR_E_SOCKET);
  EXPECT_EQ(KQ_ZR_sr_stat(0x7F000001u, 2, &st), ZR_E_SOCKET);
  EXPECT_EQ(KQ_ZR_sr_tune(0x7F000001u, 3, &t), ZR_E_SOCKET);
  EXPECT_EQ(KQ_ZR_sr_info(0x7F000001u, 1, nullptr), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_sr_scrn(0x7F000001u, nullptr, 0, 10), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_sr_stat(0x7F000001u, 1, nullptr), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_sr_tune(0x7F000001u, 1, nullptr), ZR_E_HANDLE);
}

TEST(ReplyReaders, MissingArgumentsAreRefusedWithoutTouchingAnything) {
  zr_info info{};
  zr_reader r{};
  char buf[8] = "keep";
  EXPECT_EQ(zr_field(nullptr, zr_fld_ret_inf(), &info), ZR_E_HANDLE);
  EXPECT_EQ(zr_field("addr=1\n", nullptr, &info), ZR_E_HANDLE);
  EXPECT_EQ(zr_field("addr=1\n", zr_fld_ret_inf(), nullptr), ZR_E_HANDLE);
  EXPECT_EQ(info.addr, 0u);
  EXPECT_EQ(zr_struct(nullptr, zr_fld_ret_inf(), &info), 0);
  EXPECT_EQ(zr_struct(buf, nullptr, &info), 0);
  EXPECT_EQ(zr_struct(buf, zr_fld_ret_inf(), nullptr), 0);
  EXPECT_STREQ(buf, "keep");
  EXPECT_EQ(zr_fm_getc(nullptr), ZR_E_HANDLE);
  EXPECT_EQ(zr_fm_gets(nullptr, 4, &r), ZR_E_HANDLE);
  EXPECT_EQ(zr_fm_gets(buf, 4, nullptr), ZR_E_HANDLE);
  EXPECT_EQ(zr_fm_gets(buf, 0, &r), 0);
  EXPECT_STREQ(buf, "keep");
}

TEST(ReplyReaders, BytesAndLinesComeFromTheBufferInPieces) {
  zr_reader r{};
  const char data[] = "\xff\nab\r\ncdefg\nh";
  std::memcpy(r.buffer, data, sizeof data - 1);
  r.count = sizeof data - 1;
  r.socket = -1;  // no connection: the end of the buffer is a failure
  EXPECT_EQ(zr_fm_getc(&r), 255);
  char buf[4];
  EXPECT_EQ(zr_fm_gets(buf, sizeof buf, &r), 1);
  EXPECT_STREQ(buf, "\n");
  EXPECT_EQ(zr_fm_gets(buf, sizeof buf, &r), 3);  // the carriage return is dropped
  EXPECT_STREQ(buf, "ab\n");
  EXPECT_EQ(zr_fm_gets(buf, sizeof buf, &r), 3);  // length - 1 characters and the end
  EXPECT_STREQ(buf, "cde");
  EXPECT_EQ(zr_fm_gets(buf, sizeof buf, &r), 3);
  EXPECT_STREQ(buf, "fg\n");
  EXPECT_EQ(zr_fm_gets(buf, sizeof buf, &r), ZR_E_HANDLE) << "a last line without its line feed";
}

TEST_F(Requests, NobodyListeningGivesTheConnectCode) {
  zr_info info;
  EXPECT_EQ(KQ_ZR_sr_info(zrtest::fresh_loopback(), 1, &info), ZR_E_CONNECT);
}

TEST_F(Requests, StatusLinesBecomeResultCodes) {
  struct Case {
    const char *reply;
    int result;
  } cases[] = {
      {"5\n", -5},    {"-7\n", ZR_E_STATUS},          {"hello\n", ZR_E_STATUS},      {" hello\n", 0}, {"0\n", 0},
      {"012\n", -10}, {"-2147483648\n", ZR_E_STATUS}, {"2147483647\n", -2147483647}, {"", ZR_E_END},  {"0", ZR_E_END},
  };
  for (const auto &c : cases) {
    SimProcess sim({"--reply", c.reply});
    ASSERT_TRUE(sim.ok());
    zr_info info;
    EXPECT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), c.result) << c.reply;
  }
}

TEST_F(Requests, StatusSwitchAndEmptySuccess) {
  SimProcess failing({"--status", "1022"});
  ASSERT_TRUE(failing.ok());
  zr_stat st;
  EXPECT_EQ(KQ_ZR_sr_stat(failing.addr(), 1, &st), -1022);

  SimProcess empty({"--reply", "0\\n"});
  ASSERT_TRUE(empty.ok());
  zr_info info;
  std::memset(&info, 0x55, sizeof info);
  ASSERT_EQ(KQ_ZR_sr_info(empty.addr(), 1, &info), 0);
  zr_info zero{};
  EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);
}

TEST_F(Requests, MalformedFieldLinesAreSkipped) {
  SimProcess sim({"--reply",
                  "0\\naddr=17\\nzzz=4\\n\\n=9\\nmask\\nscrn=x\\nname=ok\\r\\n"
                  "run=3"});
  ASSERT_TRUE(sim.ok());
  zr_info info;
  ASSERT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), 0);
  EXPECT_EQ(info.addr, 17u);
  EXPECT_EQ(info.mask, 0u);
  EXPECT_STREQ(info.name, "ok");
  // The last line had no line feed before the close: it is not delivered.
  EXPECT_EQ(info.run, 0);
}

TEST_F(Requests, LongLinesArriveInPieces) {
  std::string reply = "0\\nname=" + std::string(250, 'n') + "\\naddr=9\\n";
  SimProcess sim({"--reply", reply});
  ASSERT_TRUE(sim.ok());
  zr_info info;
  ASSERT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), 0);
  EXPECT_EQ(std::string(info.name, 8), "nnnnnnnn");
  EXPECT_EQ(info.addr, 9u);
  // The pieces hold 199 characters: what follows them is read as a line of its own.
  SimProcess exact({"--reply", "0\\nname=" + std::string(194, 'n') + "addr=7\\n"});
  ASSERT_TRUE(exact.ok());
  ASSERT_EQ(KQ_ZR_sr_info(exact.addr(), 1, &info), 0);
  EXPECT_EQ(info.addr, 7u);
}

TEST_F(Requests, OneByteSegmentsAndDelaysStillWork) {
  SimProcess sim({"--split", "--delay", "100"});
  ASSERT_TRUE(sim.ok());
  zr_info info;
  ASSERT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), 0);
  EXPECT_EQ(info.sgeo[1], 320);
  std::vector<unsigned char> image(2000);
  EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), image.data(), 0, 2000), 2000);
  EXPECT_EQ(image[1999], expected_byte(1999));
}

TEST_F(Requests, SilentHandheldGivesTheReceiveTimeout) {
  SimProcess sim({"--silent"});
  ASSERT_TRUE(sim.ok());
  zr_tune t{300, 0xFFFFFFFFu};
  KQ_ZR_sl_tune(2, &t);
  zr_info info;
  auto start = Clock::now();
  EXPECT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), ZR_E_TIMEOUT);
  EXPECT_LT(elapsed_ms(start), 3000);
}

TEST_F(Requests, FieldReplyThatNeverClosesKeepsWhatCame) {
  SimProcess sim({"--hold"});
  ASSERT_TRUE(sim.ok());
  zr_tune t{300, 0xFFFFFFFFu};
  KQ_ZR_sl_tune(2, &t);
  zr_info info;
  ASSERT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), 0);
  EXPECT_EQ(info.sgeo[1], 320);
}

TEST_F(Requests, CloseAfterAFewBytes) {
  SimProcess sim({"--close-after", "1"});
  ASSERT_TRUE(sim.ok());
  zr_info info;
  EXPECT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), ZR_E_END);
}

TEST_F(Requests, StatisticsAndReset) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok());
  zr_info info;
  ASSERT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), 0);
  zr_stat st;
  ASSERT_EQ(KQ_ZR_sr_stat(sim.addr(), 1, &st), 0);
  EXPECT_GT(st.xpay0, 0u);
  EXPECT_GE(st.xpay1, 1u);
  EXPECT_GT(st.rpay0, 0u);
  ASSERT_EQ(KQ_ZR_sr_stat(sim.addr(), 3, &st), 0);
  zr_stat again;
  ASSERT_EQ(KQ_ZR_sr_stat(sim.addr(), 1, &again), 0);
  EXPECT_LT(again.xpay0, 200u);
  auto reqs = sim.requests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_NE(reqs[2].find("stat 3\n"), std::string::npos);
}

TEST_F(Requests, TuneSendsThreeLinesAndReadsThePairBack) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok());
  zr_tune t{1000, 2000};
  ASSERT_EQ(KQ_ZR_sr_tune(sim.addr(), 2, &t), 0);
  EXPECT_EQ(t.rtime, 1000u);
  EXPECT_EQ(t.xtime, 2000u);
  zr_tune keep{0xFFFFFFFFu, 3000};
  ASSERT_EQ(KQ_ZR_sr_tune(sim.addr(), 2, &keep), 0);
  EXPECT_EQ(keep.rtime, 1000u);
  EXPECT_EQ(keep.xtime, 3000u);
  zr_tune read{7, 7};
  ASSERT_EQ(KQ_ZR_sr_tune(sim.addr(), 1, &read), 0);
  EXPECT_EQ(read.rtime, 1000u);
  EXPECT_EQ(read.xtime, 3000u);
  auto reqs = sim.requests();
  ASSERT_GE(reqs.size(), 1u);
  EXPECT_NE(reqs[0].find("tune 2\nrtime=1000\nxtime=2000\n"), std::string::npos) << reqs[0];
}

TEST_F(Requests, ScreenPiecesFollowOffsetAndMaximum) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok());
  const int total = 240 * 320 * 2;
  std::vector<unsigned char> image(total + 64, 0xCC);
  EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), image.data(), 0, 0), total);
  for (int i = 0; i < total; i += 997) ASSERT_EQ(image[i], expected_byte(i)) << i;
  EXPECT_EQ(image[total], 0xCC);

  std::vector<unsigned char> piece(1000, 0xCC);
  EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), piece.data(), 5000, 1000), 1000);
  EXPECT_EQ(piece[0], expected_byte(5000));
  EXPECT_EQ(piece[999], expected_byte(5999));
  EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), piece.data(), total, 1000), 0);
}

TEST_F(Requests, ScreenReplyShapes) {
  std::vector<unsigned char> buf(6000, 0);
  {  // The count must be on the status line.
    SimProcess sim({"--reply", "0\\n5\\nabcde"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), buf.data(), 0, 100), ZR_E_STATUS);
  }
  {  // The data starts after the whole status line, whatever ends it.
    for (const char *line : {"0 5\\r\\n", "0 5 \\n", "0,5\\t\\r\\n"}) {
      SimProcess sim({"--reply", std::string(line) + "abcdefg"});
      ASSERT_TRUE(sim.ok());
      std::vector<unsigned char> five(5, 0);
      EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), five.data(), 0, 0), 5) << line;
      EXPECT_EQ(std::string(five.begin(), five.end()), "abcde") << line;
    }
  }
  {  // A short image is not an error: the count tells.
    SimProcess sim({"--reply", "0 5000\\nabc"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), buf.data(), 0, 0), 3);
    EXPECT_EQ(std::memcmp(buf.data(), "abc", 3), 0);
  }
  {  // The maximum caps what an oversized announcement may write.
    SimProcess sim({"--reply", "0,100\\n" + std::string(100, 'z')});
    ASSERT_TRUE(sim.ok());
    std::vector<unsigned char> small(11, 0);
    EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), small.data(), 0, 10), 10);
    EXPECT_EQ(small[10], 0);
  }
  {  // A negative count delivers nothing.
    SimProcess sim({"--reply", "0 -5\\nabc"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), buf.data(), 0, 0), 0);
  }
  {  // A failing status is passed on.
    SimProcess sim({"--status", "3"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), buf.data(), 0, 0), -3);
  }
}

TEST(HostRecord, DefaultsAndSettingTheAddress) {
  uint32_t a = 1, m = 1;
  // Nothing has read the host record in this process yet.
  ASSERT_EQ(KQ_ZR_sl_ipaddr(&a, &m), 0);
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(m, 0u);

  zr_info info{};
  ASSERT_EQ(KQ_ZR_sl_info(1, &info), 0);
  EXPECT_EQ(info.addr, 0x7F000001u);
  EXPECT_EQ(info.mask, 0xFFFFFFFCu);
  const uint8_t ser[8] = {1, 2, 3, 4, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(info.ser, ser, 8), 0);
  // The versions, each whole: 0.3.0.0, boot 1.0.0.0 and 2.0.0.0, hardware 0.0.3.134.
  auto version = [](const uint8_t v[4]) { return std::vector<int>(v, v + 4); };
  EXPECT_EQ(version(info.ver), (std::vector<int>{0, 3, 0, 0}));
  EXPECT_EQ(version(info.b1v), (std::vector<int>{1, 0, 0, 0}));
  EXPECT_EQ(version(info.b2v), (std::vector<int>{2, 0, 0, 0}));
  EXPECT_EQ(version(info.hwv), (std::vector<int>{0, 0, 3, 134}));
  EXPECT_EQ(info.bat[3], 1);
  EXPECT_STREQ(info.name, "zrhost");

  zr_info set{};
  set.addr = 0xAC100001u;
  ASSERT_EQ(KQ_ZR_sl_info(2, &set), 0);
  EXPECT_EQ(set.addr, 0xAC100001u);
  EXPECT_EQ(set.mask, 0xFFFFFFFCu);
  set = zr_info{};
  set.addr = 0x7F000001u;
  set.mask = 0xFF000000u;
  ASSERT_EQ(KQ_ZR_sl_info(2, &set), 0);
  EXPECT_EQ(set.addr, 0xAC100001u);
  EXPECT_EQ(set.mask, 0xFFFFFFFCu);
  EXPECT_EQ(KQ_ZR_sl_info(7, &set), ZR_E_OPERATION);
  EXPECT_EQ(KQ_ZR_sl_info(1, nullptr), ZR_E_HANDLE);
  ASSERT_EQ(KQ_ZR_sl_ipaddr(&a, &m), 0);
  EXPECT_EQ(a, 0xAC100001u);
  // An address of 0 is left as it was, and so is a mask of 0.
  set = zr_info{};
  set.mask = 0xFFFFFF00u;
  ASSERT_EQ(KQ_ZR_sl_info(2, &set), 0);
  EXPECT_EQ(set.addr, 0xAC100001u);
  EXPECT_EQ(set.mask, 0xFFFFFF00u);
  set.mask = 0xFFFFFFFCu;
  ASSERT_EQ(KQ_ZR_sl_info(2, &set), 0);

  uint8_t serial[8];
  ASSERT_EQ(KQ_ZR_sl_serno(serial), 0);
  EXPECT_EQ(std::memcmp(serial, ser, 8), 0);
  EXPECT_EQ(KQ_ZR_sl_serno(nullptr), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_sl_scrn(), 0);
}

TEST(HostRecord, CountersAndTimeouts) {
  zr_stat st{1, 1, 1, 1};
  ASSERT_EQ(KQ_ZR_sl_stat(3, &st), 0);
  EXPECT_EQ(st.xpay0 + st.xpay1 + st.rpay0 + st.rpay1, 0u);
  zr_stat add{10, 1, 4, 1};
  ASSERT_EQ(KQ_ZR_sl_stat(2, &add), 0);
  ASSERT_EQ(KQ_ZR_sl_stat(1, &st), 0);
  EXPECT_EQ(st.xpay0, 10u);
  EXPECT_EQ(st.rpay1, 1u);
  EXPECT_EQ(KQ_ZR_sl_stat(2, nullptr), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_sl_stat(4, &st), ZR_E_OPERATION);
  EXPECT_EQ(KQ_ZR_sl_stat(1, nullptr), 0);

  zr_tune t{5000, 0xFFFFFFFFu};
  ASSERT_EQ(KQ_ZR_sl_tune(2, &t), 0);
  EXPECT_EQ(t.rtime, 5000u);
  EXPECT_EQ(t.xtime, 0u);
  t = {0xFFFFFFFFu, 300};
  ASSERT_EQ(KQ_ZR_sl_tune(2, &t), 0);
  EXPECT_EQ(t.rtime, 5000u);
  EXPECT_EQ(t.xtime, 300u);
  EXPECT_EQ(KQ_ZR_sl_tune(3, &t), ZR_E_OPERATION);
  EXPECT_EQ(KQ_ZR_sl_tune(1, nullptr), ZR_E_HANDLE);
  t = {0, 0};
  KQ_ZR_sl_tune(2, &t);
}

}  // namespace
