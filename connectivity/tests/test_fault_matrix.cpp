// The fault matrix: every reply type against a simulated handheld that misbehaves.
//
// For each reply (the field replies of info, stat and tune, the screen image, a listing,
// the attributes of a path, a file operation's status, both transfer directions, the
// upgrade's progress lines) the handheld closes the connection after each byte offset of
// its reply (a sample of offsets inside long content), stalls past the time-out, sends its
// reply one byte per segment, sends lines longer than any buffer, sends binary garbage,
// and announces more or fewer bytes than it sends.  The library must answer with a result
// code within its time-outs, never deliver more than came or write past a buffer (the
// sanitizer build checks), never take a cut reply for a whole one, and never change a host
// file that a failed fetch or any send must leave alone.
#include <sys/stat.h>
#include <unistd.h>  // unlink (also in the Windows runtime)

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "files_support.h"
#include "plain_socket.h"

namespace {

using zrfiles::names_in;
using zrfiles::pattern;
using zrfiles::read_file;
using zrfiles::StoredSim;
using zrfiles::TempDir;
using zrfiles::write_file;
using zrtest::SimProcess;
using Clock = std::chrono::steady_clock;

// The library-wide waits of this suite (the file services raise them to 10 s / 5 s).
const uint32_t kWaitMs = 400;

long ms_since(Clock::time_point t) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// The whole reply to one command, read with a plain socket until the handheld closes.
std::string raw_reply(uint32_t addr, const std::string &command) {
  return zrtest::raw_reply(addr, 10001, command, 5000);
}

// A reply as the simulator's --reply takes it (line feeds, backslashes and other bytes
// escaped).
std::string for_sim(const std::string &reply) {
  std::string out;
  char hex[8];
  for (unsigned char c : reply) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c >= 0x7f) {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Replies as the simulator words them (fixed texts, so that every run sees the same).
const std::string kInfoReply =
    "0\naddr=2143898893\nmask=4294967292\nb1v=1,0,0,0\nb2v=1,1,0,0\nbat=85,0,0,0,0,0,0,0\nclk=150\n"
    "disk=16777216,12582912,0\neid=ZRSIM-0000-0000-0001\nhwv=0,0,1,0\nname=ZR-SIM\nram=8388608,6291456\n"
    "ready=1,0\nrun=1\nscrn=153600\nser=83,73,77,0,0,0,0,1\nsgeo=240,320,16,0\nver=1,2,0,0\n";
const std::string kStatReply = "0\nxpay0=262\nxpay1=1\nrpay0=14\nrpay1=2\n";
const std::string kTuneReply = "0\nrtime=10000\nxtime=10000\n";
const std::string kListingReply =
    "0\nalpha.txt\nsize=5\ntime=1796680311\ntype=0\nbits=420\n\nbeta with space.bin\nsize=3000\n"
    "time=1796680312\ntype=0\nbits=420\n\nsub\nsize=0\ntime=1796680313\ntype=1\nbits=493\n\n";
const std::string kAttrReply = "0\nsize=5\ntime=1796680311\ntype=0\nbits=420\n\n";

// The lines of text that a reader delivers: each ended by its line feed (carriage
// returns dropped); a last line without one is not delivered.
std::vector<std::string> whole_lines(const std::string &text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\r') continue;
    line += c;
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    }
  }
  return lines;
}

// Offsets to cut a reply at: all of them when it is short, else every offset of its first
// `head` bytes and of its last 4, and a spread in between.
std::vector<size_t> cut_points(size_t size, size_t head = 64) {
  std::vector<size_t> cuts;
  for (size_t n = 0; n <= size; ++n) {
    if (size <= 400 || n < head || n + 4 >= size || n % 509 == 0) cuts.push_back(n);
  }
  return cuts;
}

// The file suites' fixture (the library started, and no descriptor left open by a test)
// with this suite's shorter waits and no pause between binds.
class FaultMatrix : public zrfiles::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    zr_tune t{kWaitMs, kWaitMs};
    KQ_ZR_sl_tune(2, &t);
    zri_set_bind_pause(0);
  }
  void TearDown() override {
    zri_set_bind_pause(40);
    LibraryTest::TearDown();
  }
};

// ---- field replies: info, stat, tune ---------------------------------------------------

struct FieldRequest {
  std::string reply;
  std::string command;
  const zr_field_row *table;
  size_t size;
  std::function<int(uint32_t, void *)> call;
};

std::vector<FieldRequest> field_requests() {
  return {
      {kInfoReply, "info 1\n", zr_fld_ret_inf(), sizeof(zr_info),
       [](uint32_t a, void *r) { return KQ_ZR_sr_info(a, 1, static_cast<zr_info *>(r)); }},
      {kStatReply, "stat 1\n", zr_fld_ret_sta(), sizeof(zr_stat),
       [](uint32_t a, void *r) { return KQ_ZR_sr_stat(a, 1, static_cast<zr_stat *>(r)); }},
      {kTuneReply, "tune 1\n", zr_fld_ret_tun(), sizeof(zr_tune),
       [](uint32_t a, void *r) { return KQ_ZR_sr_tune(a, 1, static_cast<zr_tune *>(r)); }},
      {kTuneReply, "tune 2\nrtime=1000\nxtime=2000\n", zr_fld_ret_tun(), sizeof(zr_tune),
       [](uint32_t a, void *r) {
         auto *t = static_cast<zr_tune *>(r);
         t->rtime = 1000;
         t->xtime = 2000;
         return KQ_ZR_sr_tune(a, 2, t);
       }},
  };
}

// What a field reply cut to `prefix` must give: the status line whole, then exactly the
// field lines that came whole.
std::vector<unsigned char> expected_record(const std::string &prefix, const zr_field_row *table, size_t size,
                                           int *result) {
  std::vector<unsigned char> rec(size, 0);
  std::vector<std::string> lines = whole_lines(prefix);
  *result = lines.empty() ? ZR_E_END : 0;
  for (size_t i = 1; i < lines.size(); ++i) zr_field(lines[i].c_str(), table, rec.data());
  return rec;
}

TEST_F(FaultMatrix, FieldRepliesCutAfterEveryByte) {
  for (const FieldRequest &req : field_requests()) {
    const std::string &full = req.reply;
    for (size_t n : cut_points(full.size())) {
      SimProcess sim({"--reply", for_sim(full), "--close-after", std::to_string(n)});
      ASSERT_TRUE(sim.ok());
      std::vector<unsigned char> rec(req.size, 0xEE);
      int r = req.call(sim.addr(), rec.data());
      int want = 0;
      std::vector<unsigned char> expect = expected_record(full.substr(0, n), req.table, req.size, &want);
      EXPECT_EQ(r, want) << req.command << " cut after " << n;
      if (want == 0) {
        EXPECT_TRUE(rec == expect) << req.command << " cut after " << n;
      }
    }
  }
}

TEST_F(FaultMatrix, FieldRepliesInOneByteSegmentsAndWithoutTheirLastLineFeed) {
  for (const FieldRequest &req : field_requests()) {
    const std::string &full = req.reply;
    int want = 0;
    std::vector<unsigned char> whole = expected_record(full, req.table, req.size, &want);
    std::vector<unsigned char> rec(req.size);
    {
      SimProcess sim({"--reply", for_sim(full), "--split"});
      ASSERT_TRUE(sim.ok());
      EXPECT_EQ(req.call(sim.addr(), rec.data()), 0) << req.command;
      EXPECT_TRUE(rec == whole) << req.command;
    }
    {
      // The last line is lost, nothing else.
      SimProcess sim({"--reply", for_sim(full), "--no-final-lf"});
      ASSERT_TRUE(sim.ok());
      EXPECT_EQ(req.call(sim.addr(), rec.data()), 0) << req.command;
      std::vector<unsigned char> cut = expected_record(full.substr(0, full.size() - 1), req.table, req.size, &want);
      EXPECT_TRUE(rec == cut) << req.command;
      EXPECT_FALSE(rec == whole) << req.command;
    }
  }
}

TEST_F(FaultMatrix, FieldRepliesThatStallEndWithinTheWait) {
  zr_info info;
  {
    // Silent from the start: no status line within the wait.
    SimProcess sim({"--silent"});
    ASSERT_TRUE(sim.ok());
    auto t0 = Clock::now();
    EXPECT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), ZR_E_TIMEOUT);
    EXPECT_LT(ms_since(t0), static_cast<long>(kWaitMs) + 1500);
  }
  {
    zr_stat st;
    SimProcess sim({"--delay", "2000"});
    ASSERT_TRUE(sim.ok());
    auto t0 = Clock::now();
    EXPECT_EQ(KQ_ZR_sr_stat(sim.addr(), 1, &st), ZR_E_TIMEOUT);
    EXPECT_LT(ms_since(t0), static_cast<long>(kWaitMs) + 1500);
  }
  {
    // Fields, then silence instead of the close: what came stands once the wait is over.
    zr_tune t{0, 0};
    SimProcess sim({"--reply", "0\\nrtime=5\\n", "--hold"});
    ASSERT_TRUE(sim.ok());
    auto t0 = Clock::now();
    EXPECT_EQ(KQ_ZR_sr_tune(sim.addr(), 1, &t), 0);
    EXPECT_EQ(t.rtime, 5u);
    EXPECT_LT(ms_since(t0), static_cast<long>(kWaitMs) + 1500);
  }
}

TEST_F(FaultMatrix, FieldRepliesWithOversizeLinesAndGarbage) {
  zr_info info;
  {
    // A field line far longer than the line buffer comes in pieces; only its first piece
    // is a field line, and the member takes no more than its size.
    SimProcess sim({"--reply", "0\\nname=" + std::string(5000, 'A') + "\\naddr=5\\n"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), 0);
    EXPECT_EQ(std::string(info.name, sizeof info.name), std::string(8, 'A'));
    EXPECT_EQ(info.addr, 5u);
    EXPECT_EQ(info.eid[0], '\0');
  }
  {
    // A status line longer than the buffer: its first piece holds the status.
    SimProcess sim({"--reply", "0" + std::string(500, ' ') + "\\naddr=7\\n"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), 0);
    EXPECT_EQ(info.addr, 7u);
  }
  {
    // Binary garbage where the status belongs.
    SimProcess sim({"--reply", "\\x00\\xff\\xfe\\x01\\n0\\naddr=1\\n"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), ZR_E_STATUS);
    EXPECT_EQ(info.addr, 0u);
  }
  {
    // Binary garbage among the fields: ignored, the good lines stand.
    SimProcess sim({"--reply",
                    "0\\n\\xff\\xfe=\\x00\\x01\\nname=\\x80\\x81\\x00zz\\n\\x01=\\x02\\naddr=9\\n"
                    "disk=1,\\xff,3\\nbat=\\x00\\n"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), 0);
    EXPECT_EQ(info.addr, 9u);
    EXPECT_EQ(static_cast<unsigned char>(info.name[0]), 0x80);
    EXPECT_EQ(info.disk[0], 1u);
    EXPECT_EQ(info.disk[1], 0u);
  }
  {
    // Statuses the handheld may send instead: refusals, a negative number, letters.
    for (const char *status : {"1", "1035", "-7"}) {
      SimProcess sim({"--status", status});
      ASSERT_TRUE(sim.ok());
      int want = std::string(status) == "-7" ? ZR_E_STATUS : -std::stoi(status);
      EXPECT_EQ(KQ_ZR_sr_info(sim.addr(), 1, &info), want) << status;
    }
  }
}

// ---- the screen image ---------------------------------------------------------------

TEST_F(FaultMatrix, ScreenReplyCutAfterEveryByte) {
  const int maximum = 300;
  std::string full;
  {
    SimProcess sim;
    ASSERT_TRUE(sim.ok());
    full = raw_reply(sim.addr(), "scrn 1 0 " + std::to_string(maximum) + "\n");
  }
  size_t header = full.find('\n') + 1;
  ASSERT_EQ(full.size(), header + maximum);
  for (size_t n : cut_points(full.size())) {
    SimProcess sim({"--close-after", std::to_string(n)});
    ASSERT_TRUE(sim.ok());
    std::unique_ptr<unsigned char[]> dest(new unsigned char[maximum]);
    int r = KQ_ZR_sr_scrn(sim.addr(), dest.get(), 0, maximum);
    if (n < header) {
      EXPECT_EQ(r, ZR_E_END) << n;
    } else {
      ASSERT_EQ(r, static_cast<int>(n - header)) << n;
      EXPECT_EQ(std::memcmp(dest.get(), full.data() + header, static_cast<size_t>(r)), 0) << n;
    }
  }
}

TEST_F(FaultMatrix, ScreenReplyAnnouncingMoreOrFewerBytesThanItSends) {
  std::string image = pattern(100);
  auto reply_of = [](const std::string &count_line, const std::string &data) {
    std::string escaped;
    char hex[8];
    for (unsigned char c : data) {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      escaped += hex;
    }
    return count_line + escaped;
  };
  {
    // More announced than sent: what came, once the handheld closes.
    SimProcess sim({"--reply", reply_of("0 5000\\n", image.substr(0, 10))});
    ASSERT_TRUE(sim.ok());
    std::vector<unsigned char> dest(5000);
    EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), dest.data(), 0, 0), 10);
    EXPECT_EQ(std::memcmp(dest.data(), image.data(), 10), 0);
  }
  {
    // ... or once the wait runs out when it stays silent.
    SimProcess sim({"--reply", reply_of("0 5000\\n", image.substr(0, 10)), "--hold"});
    ASSERT_TRUE(sim.ok());
    std::vector<unsigned char> dest(5000);
    auto t0 = Clock::now();
    EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), dest.data(), 0, 0), 10);
    EXPECT_LT(ms_since(t0), static_cast<long>(kWaitMs) + 1500);
  }
  {
    // Fewer announced than sent: no more than announced reaches a destination of that
    // size (exactly that size, so that the sanitizers see a write past it).
    for (int maximum : {0, 5, 50}) {
      SimProcess sim({"--reply", reply_of("0 5\\n", image)});
      ASSERT_TRUE(sim.ok());
      std::unique_ptr<unsigned char[]> dest(new unsigned char[5]);
      EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), dest.get(), 0, maximum), 5) << maximum;
      EXPECT_EQ(std::memcmp(dest.get(), image.data(), 5), 0);
    }
  }
  {
    // A maximum below the count caps it.
    SimProcess sim({"--reply", reply_of("0 100\\n", image)});
    ASSERT_TRUE(sim.ok());
    std::unique_ptr<unsigned char[]> dest(new unsigned char[16]);
    EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), dest.get(), 0, 16), 16);
  }
  std::vector<unsigned char> dest(1000);
  for (const char *bad : {"0\\n64\\n", "\\xff\\xfe\\n", "0 -5\\nabc"}) {
    SimProcess sim({"--reply", bad});
    ASSERT_TRUE(sim.ok());
    int r = KQ_ZR_sr_scrn(sim.addr(), dest.data(), 0, 100);
    EXPECT_TRUE(r == ZR_E_STATUS || r == 0) << bad << ": " << r;
  }
  {
    SimProcess sim({"--split"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), dest.data(), 0, 1000), 1000);
  }
  {
    SimProcess sim({"--silent"});
    ASSERT_TRUE(sim.ok());
    auto t0 = Clock::now();
    EXPECT_EQ(KQ_ZR_sr_scrn(sim.addr(), dest.data(), 0, 100), ZR_E_TIMEOUT);
    EXPECT_LT(ms_since(t0), static_cast<long>(kWaitMs) + 1500);
  }
}

// ---- listings and attributes ----------------------------------------------------------

struct Entry {
  std::string name;
  int length;
  zr_attr attr;
};

// What a listing cut to `prefix` gives: the entries that came whole (name line, attribute
// lines, empty line), each with its attributes, and how it ends: at the end of the listing
// when the cut falls where an entry would begin, else with the entry cut off.
std::vector<Entry> expected_entries(const std::string &prefix, int *end) {
  std::vector<Entry> out;
  std::vector<std::string> lines = whole_lines(prefix);
  size_t whole = prefix.find('\n') + 1;  // the bytes up to the end of the last whole entry
  size_t used = whole;
  size_t i = 1;
  while (i < lines.size()) {
    Entry e;
    e.name = lines[i].substr(0, lines[i].size() - 1);
    e.length = static_cast<int>(e.name.size());
    used += lines[i].size();
    std::memset(&e.attr, 0, sizeof e.attr);
    for (++i; i < lines.size() && lines[i] != "\n"; ++i) {
      used += lines[i].size();
      zr_field(lines[i].c_str(), zr_fld_ret_attr(), &e.attr);
    }
    if (i >= lines.size()) break;  // no empty line: cut off
    used += lines[i].size();
    whole = used;
    ++i;
    out.push_back(e);
  }
  *end = whole == prefix.size() ? ZR_E_END : ZR_E_CUT;
  return out;
}

std::vector<Entry> list_all(uint32_t addr, const std::string &path, int *opened, int *ended, int length = 256) {
  std::vector<Entry> out;
  *ended = 0;
  int h = KQ_ZR_fm_dirinit(addr, path.c_str());
  *opened = h;
  if (h < 0) return out;
  std::unique_ptr<char[]> name(new char[static_cast<size_t>(length)]);
  for (int i = 0; i < 1000; ++i) {
    Entry e;
    int n = KQ_ZR_fm_direnum(h, name.get(), length, &e.attr);
    if (n < 0) {
      *ended = n;
      break;
    }
    e.name = name.get();
    e.length = n;
    out.push_back(e);
  }
  EXPECT_EQ(KQ_ZR_fm_dirdone(h), 0);
  return out;
}

void fill_storage(const StoredSim &sim) {
  ASSERT_EQ(zrfiles::make_dir(sim / "docs", 0755), 0);
  ASSERT_TRUE(write_file(sim / "docs/alpha.txt", "alpha"));
  ASSERT_TRUE(write_file(sim / "docs/beta with space.bin", pattern(3000)));
  ASSERT_EQ(zrfiles::make_dir(sim / "docs/sub", 0755), 0);
}

class FaultMatrixFiles : public FaultMatrix {
 protected:
  std::string full_reply(const std::string &command) {
    StoredSim sim;
    fill_storage(sim);
    return raw_reply(sim.addr(), command);
  }
};

TEST_F(FaultMatrixFiles, ListingCutAfterEveryByte) {
  const std::string &full = kListingReply;
  for (size_t n : cut_points(full.size())) {
    SimProcess sim({"--reply", for_sim(full), "--close-after", std::to_string(n)});
    ASSERT_TRUE(sim.ok());
    int opened = 0, ended = 0;
    std::vector<Entry> got = list_all(sim.addr(), "docs", &opened, &ended);
    if (whole_lines(full.substr(0, n)).empty()) {
      EXPECT_EQ(opened, ZR_E_END) << n;
      continue;
    }
    int end = 0;
    std::vector<Entry> want = expected_entries(full.substr(0, n), &end);
    ASSERT_GE(opened, 0) << n;
    EXPECT_EQ(ended, end) << n;
    ASSERT_EQ(got.size(), want.size()) << n;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].name, want[i].name) << n;
      EXPECT_EQ(got[i].length, want[i].length) << n;
      EXPECT_EQ(std::memcmp(&got[i].attr, &want[i].attr, sizeof(zr_attr)), 0) << n << " " << got[i].name;
    }
  }
}

TEST_F(FaultMatrixFiles, AttributesAndFileOperationsCutAfterEveryByte) {
  const std::string &full = kAttrReply;
  for (size_t n : cut_points(full.size())) {
    SimProcess sim({"--reply", for_sim(full), "--close-after", std::to_string(n)});
    ASSERT_TRUE(sim.ok());
    zr_attr a;
    std::memset(&a, 0xEE, sizeof a);
    zr_attr untouched = a;
    int r = KQ_ZR_fm_dirattr(sim.addr(), "docs/alpha.txt", &a);
    std::vector<std::string> lines = whole_lines(full.substr(0, n));
    if (lines.empty()) {
      EXPECT_EQ(r, ZR_E_END) << n;
      EXPECT_EQ(std::memcmp(&a, &untouched, sizeof a), 0) << n;
      continue;
    }
    EXPECT_EQ(r, 0) << n;
    zr_attr want;
    std::memset(&want, 0, sizeof want);
    for (size_t i = 1; i < lines.size() && lines[i] != "\n"; ++i) zr_field(lines[i].c_str(), zr_fld_ret_attr(), &want);
    EXPECT_EQ(std::memcmp(&a, &want, sizeof a), 0) << n;
  }
  // A file operation's reply is its status line: cut, it is no answer.
  for (size_t n = 0; n <= 2; ++n) {
    StoredSim sim({"--close-after", std::to_string(n)});
    ASSERT_TRUE(sim.ok());
    fill_storage(sim);
    EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MKDIR, "docs/new", nullptr), n < 2 ? ZR_E_END : 0) << n;
  }
}

TEST_F(FaultMatrixFiles, ListingsAttributesAndOperationsInOneByteSegmentsOversizeAndGarbage) {
  {
    StoredSim sim({"--split"});
    ASSERT_TRUE(sim.ok());
    fill_storage(sim);
    int opened = 0, ended = 0;
    std::vector<Entry> got = list_all(sim.addr(), "docs", &opened, &ended);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].name, "beta with space.bin");
    EXPECT_EQ(got[1].attr.size, 3000u);
    zr_attr a;
    EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), "docs/alpha.txt", &a), 0);
    EXPECT_EQ(a.size, 5u);
    EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_COPY, "docs/alpha.txt", "docs/gamma.txt"), 0);
  }
  {
    // A name far longer than the buffer, attribute lines longer than theirs, garbage
    // bytes in names and attribute lines.
    std::string reply = "0\\n" + std::string(5000, 'n') + "\\nsize=12\\n\\n" + "\\xff\\x00\\x80name\\r\\n" +
                        "size=" + std::string(300, '7') + "\\ntype=\\xff\\n\\xfe\\n\\nlast\\nbits=5\\n\\n";
    StoredSim sim({"--reply", reply});
    ASSERT_TRUE(sim.ok());
    fill_storage(sim);
    int opened = 0, ended = 0;
    std::vector<Entry> got = list_all(sim.addr(), "docs", &opened, &ended, 64);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].length, 5000);
    EXPECT_EQ(got[0].name, std::string(63, 'n'));
    EXPECT_EQ(got[0].attr.size, 12u);
    EXPECT_EQ(got[1].length, 7);
    EXPECT_EQ(got[2].name, "last");
    EXPECT_EQ(got[2].attr.bits, 5u);
    EXPECT_EQ(ended, ZR_E_END);
  }
  for (const char *bad : {"\\xff\\n", "\\x00\\n", "-3\\n", "abc\\n"}) {
    StoredSim sim({"--reply", bad});
    ASSERT_TRUE(sim.ok());
    fill_storage(sim);
    int opened = 0, ended = 0;
    list_all(sim.addr(), "docs", &opened, &ended);
    EXPECT_EQ(opened, ZR_E_STATUS) << bad;
    zr_attr a;
    EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), "docs/alpha.txt", &a), ZR_E_STATUS) << bad;
    EXPECT_EQ(KQ_ZR_fm_fileop(sim.addr(), ZR_FM_DEL, "docs/alpha.txt", nullptr), ZR_E_STATUS) << bad;
  }
  {
    // An attribute reply whose lines outgrow the 19-character buffer: read in pieces.
    StoredSim sim({"--reply", "0\\nsize=" + std::string(40, '0') + "12\\ntime=3\\n\\n"});
    ASSERT_TRUE(sim.ok());
    fill_storage(sim);
    zr_attr a;
    EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), "docs/alpha.txt", &a), 0);
    EXPECT_EQ(a.time, 3u);
  }
}

// One representative stall of the file services (their waits are at least 10 s).
TEST_F(FaultMatrixFiles, ListingOfASilentHandheldEndsWithTheFileServiceWait) {
  StoredSim sim({"--silent"});
  ASSERT_TRUE(sim.ok());
  auto t0 = Clock::now();
  EXPECT_EQ(KQ_ZR_fm_dirinit(sim.addr(), "docs"), ZR_E_TIMEOUT);
  long took = ms_since(t0);
  EXPECT_GE(took, 9500);
  EXPECT_LT(took, 13000);
}

// ---- transfers ------------------------------------------------------------------------

// Lowers the transfer connection's waits at its first progress call, so that a stall is
// noticed in a fraction of a second rather than the file services' 10 s.
int shorten_waits(int, zr_xfer *x) {
  zr_tune t{kWaitMs, kWaitMs};
  KQ_ZR_1b_tune(x->conn, 2, &t);
  return 0;
}

struct HostFile {
  std::string path, content;
  uint64_t id = 0;
  int64_t mtime = -1;
  explicit HostFile(const std::string &p, const std::string &c) : path(p), content(c) {
    EXPECT_TRUE(write_file(path, content));
    id = zrfiles::file_id(path);
    mtime = zrfiles::mtime_ns(path);
    EXPECT_NE(id, 0u);
    EXPECT_GE(mtime, 0);
  }
  // The same file, unchanged: content, inode (file index), modification time.
  bool untouched() const {
    return read_file(path) == content && zrfiles::file_id(path) == id && zrfiles::mtime_ns(path) == mtime;
  }
};

TEST_F(FaultMatrixFiles, SendingAgainstEveryCutAndStall) {
  TempDir host;
  HostFile src(host / "src.bin", pattern(5000, 3));
  auto put = [&](uint32_t addr, zr_xfer_progress cb = nullptr) {
    return KQ_ZR_fm_xfer(addr, ZR_FM_PUT, "dst.bin", src.path.c_str(), 1000, cb, 0);
  };
  // The replies are "0\n" and, after the content, the final "0\n".
  for (size_t n = 0; n <= 4; ++n) {
    StoredSim sim({"--close-after", std::to_string(n)});
    ASSERT_TRUE(sim.ok());
    int r = put(sim.addr());
    if (n == 0)
      EXPECT_EQ(r, ZR_E_STATUS);
    else if (n <= 2)
      EXPECT_TRUE(r == ZR_E_NOREPLY || r == ZR_E_SOCKET) << n << ": " << r;
    else
      EXPECT_EQ(r, 0) << n;  // the final status came (its line feed need not)
    EXPECT_TRUE(src.untouched()) << n;
  }
  // A reset before the first reply line has ended (-220 here; Winsock may report an end of
  // the stream, and so no status).
  for (size_t n : {size_t(0), size_t(1)}) {
    StoredSim sim({"--close-after", std::to_string(n), "--reset"});
    ASSERT_TRUE(sim.ok());
    int r = put(sim.addr());
    EXPECT_TRUE(r == ZR_E_SOCKET || r == ZR_E_STATUS || r == ZR_E_NOREPLY) << n << ": " << r;
    EXPECT_TRUE(src.untouched()) << n;
  }
  // The handheld closing, or falling silent, after each block boundary of the content.
  for (size_t taken : {size_t(0), size_t(1), size_t(1535), size_t(1536), size_t(1537), size_t(4999), size_t(5000)}) {
    for (const char *fault : {"--xfer-close", "--xfer-stall"}) {
      StoredSim sim({fault, std::to_string(taken)});
      ASSERT_TRUE(sim.ok());
      auto t0 = Clock::now();
      int r = put(sim.addr(), shorten_waits);
      EXPECT_TRUE(r == ZR_E_NOREPLY || r == ZR_E_SOCKET || r == ZR_E_TIMEOUT) << fault << " " << taken << ": " << r;
      EXPECT_LT(ms_since(t0), 10000L + 3000) << fault << " " << taken;
      EXPECT_TRUE(src.untouched());
      EXPECT_FALSE(zrfiles::exists(sim / "dst.bin"));
    }
  }
  {
    StoredSim sim({"--split"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(put(sim.addr()), 0);
    EXPECT_EQ(read_file(sim / "dst.bin"), src.content);
  }
  for (const std::string &reply : {std::string("\\xff\\xfe\\n"), std::string("0") + std::string(3000, ' ') + "\\n5\\n",
                                   std::string("0\\n\\x00\\x01\\n"), std::string("-5\\n")}) {
    StoredSim sim({"--reply", reply});
    ASSERT_TRUE(sim.ok());
    int r = put(sim.addr(), shorten_waits);
    EXPECT_LT(r, 0) << reply;
    EXPECT_TRUE(src.untouched());
  }
  {
    StoredSim sim({"--final-status", "1021"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(put(sim.addr()), -1021);
  }
}

TEST_F(FaultMatrixFiles, FetchingAgainstEveryCutStallAndWrongSize) {
  TempDir host;
  const std::string content = pattern(5000, 5);
  const std::string header = "0 5000\n";
  const std::string before = "the host file as it was";
  auto get = [&](uint32_t addr, zr_xfer_progress cb = nullptr) {
    return KQ_ZR_fm_xfer(addr, ZR_FM_GET, "src.bin", (host / "got.bin").c_str(), 1000, cb, 0);
  };
  for (size_t n : cut_points(header.size() + content.size(), 16)) {
    StoredSim sim({"--close-after", std::to_string(n)});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(sim / "src.bin", content));
    HostFile had(host / "got.bin", before);
    int r = get(sim.addr());
    if (n >= header.size() + content.size()) {
      EXPECT_EQ(r, 0) << n;
      EXPECT_EQ(read_file(host / "got.bin"), content) << n;
    } else {
      EXPECT_TRUE(r == ZR_E_STATUS || r == ZR_E_SHORT) << n << ": " << r;
      EXPECT_TRUE(had.untouched()) << n;
    }
    EXPECT_EQ(names_in(host.path()), std::vector<std::string>{"got.bin"}) << n;
  }
  // Without a host file before: a failure leaves nothing but what came, in order.
  for (size_t n : {size_t(0), size_t(3), size_t(7), size_t(100), size_t(3000)}) {
    StoredSim sim({"--close-after", std::to_string(n)});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(sim / "src.bin", content));
    unlink((host / "got.bin").c_str());
    EXPECT_LT(get(sim.addr()), 0);
    std::string left = read_file(host / "got.bin");
    size_t body = n > header.size() ? n - header.size() : 0;
    EXPECT_TRUE(left == content.substr(0, body)) << n;
    EXPECT_LE(names_in(host.path()).size(), 1u);
  }
  for (const char *fault : {"--xfer-close", "--xfer-stall"}) {
    for (size_t sent : {size_t(0), size_t(1536), size_t(4999)}) {
      StoredSim sim({fault, std::to_string(sent)});
      ASSERT_TRUE(sim.ok());
      ASSERT_TRUE(write_file(sim / "src.bin", content));
      HostFile had(host / "got.bin", before);
      auto t0 = Clock::now();
      // The waits are shortened at the first progress call; a stall before any content
      // is bounded by the file services' own wait.
      EXPECT_EQ(get(sim.addr(), shorten_waits), ZR_E_SHORT) << fault << " " << sent;
      EXPECT_LT(ms_since(t0), 10000L + 3000);
      EXPECT_TRUE(had.untouched()) << fault << " " << sent;
    }
  }
  {
    // A handheld that has sent the whole file and then keeps the connection open: the
    // fetch is done at once, without waiting for anything more.
    StoredSim sim({"--xfer-stall", std::to_string(content.size())});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(sim / "src.bin", content));
    auto t0 = Clock::now();
    EXPECT_EQ(get(sim.addr()), 0);
    EXPECT_LT(ms_since(t0), 3000L);
    EXPECT_EQ(read_file(host / "got.bin"), content);
  }
  {
    // Announcing more than it sends: short; fewer: the announced bytes only.
    StoredSim more({"--xfer-size", "6000"});
    ASSERT_TRUE(more.ok());
    ASSERT_TRUE(write_file(more / "src.bin", content));
    HostFile had(host / "got.bin", before);
    EXPECT_EQ(get(more.addr()), ZR_E_SHORT);
    EXPECT_TRUE(had.untouched());
    StoredSim fewer({"--xfer-size", "100"});
    ASSERT_TRUE(fewer.ok());
    ASSERT_TRUE(write_file(fewer / "src.bin", content));
    EXPECT_EQ(get(fewer.addr()), 0);
    EXPECT_EQ(read_file(host / "got.bin"), content.substr(0, 100));
  }
  {
    StoredSim sim({"--split"});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(sim / "src.bin", content));
    EXPECT_EQ(get(sim.addr()), 0);
    EXPECT_EQ(read_file(host / "got.bin"), content);
  }
  for (const std::string &reply :
       {std::string("\\xff\\xfe\\n"), std::string("0 abc\\n"), std::string("0\\n12\\n"),
        std::string("0 ") + std::string(2000, ' ') + "5\\nhello", std::string("0 -5\\n"), std::string("7\\n")}) {
    StoredSim sim({"--reply", reply});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(sim / "src.bin", content));
    HostFile had(host / "got.bin", before);
    int r = get(sim.addr());
    EXPECT_TRUE(r == ZR_E_STATUS || r == -7) << reply << ": " << r;
    EXPECT_TRUE(had.untouched()) << reply;
    EXPECT_EQ(names_in(host.path()), std::vector<std::string>{"got.bin"});
  }
}

// ---- the upgrade's progress lines -----------------------------------------------------

std::vector<int> progress_seen;
int record_progress(int value) {
  progress_seen.push_back(value);
  return 0;
}

TEST_F(FaultMatrixFiles, UpgradeProgressCutAfterEveryByte) {
  std::string full = full_reply("osupg docs/alpha.txt -\n");
  ASSERT_EQ(full, "0\n0 10\n0 50\n0 90\n0 100\n");
  for (size_t n = 0; n <= full.size(); ++n) {
    StoredSim sim({"--close-after", std::to_string(n)});
    ASSERT_TRUE(sim.ok());
    fill_storage(sim);
    progress_seen.clear();
    int r = KQ_ZR_os_upg(sim.addr(), "docs/alpha.txt", "-", record_progress);
    std::vector<std::string> lines = whole_lines(full.substr(0, n));
    EXPECT_EQ(r, lines.empty() ? ZR_E_END : 0) << n;
    std::vector<int> want;
    for (size_t i = 1; i < lines.size(); ++i) want.push_back(std::stoi(lines[i].substr(2)));
    EXPECT_EQ(progress_seen, want) << n;
  }
}

TEST_F(FaultMatrixFiles, UpgradeWithStallsOversizeLinesAndGarbage) {
  {
    SimProcess sim({"--silent"});
    ASSERT_TRUE(sim.ok());
    auto t0 = Clock::now();
    EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), "img", "-", record_progress), ZR_E_TIMEOUT);
    EXPECT_LT(ms_since(t0), static_cast<long>(kWaitMs) + 1500);
  }
  {
    SimProcess sim({"--split", "--osupg", "10,3:40,0:50"});
    ASSERT_TRUE(sim.ok());
    progress_seen.clear();
    EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), "img", "-", record_progress), -3);
    EXPECT_EQ(progress_seen, (std::vector<int>{10, 40}));
  }
  {
    // A progress line longer than the line buffer comes in pieces, each read as a line of
    // its own: the first, "0<spaces>", reports 0 (separators after a status count as a
    // value), and the second, "<spaces>7", reads as status 7.
    SimProcess sim({"--reply", "0\\n0 " + std::string(3000, ' ') + "7\\n0 8\\n"});
    ASSERT_TRUE(sim.ok());
    progress_seen.clear();
    EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), "img", "-", record_progress), -7);
    EXPECT_EQ(progress_seen, (std::vector<int>{0}));
  }
  {
    SimProcess sim({"--reply", "0\\n\\xff\\xfe\\x00 7\\n\\x01\\n0 \\x80\\n0 9\\n"});
    ASSERT_TRUE(sim.ok());
    progress_seen.clear();
    EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), "img", "-", record_progress), 0);
    EXPECT_EQ(progress_seen, (std::vector<int>{0, 9}));  // "0 \x80": a status and a separator
  }
  {
    SimProcess sim({"--reply", "\\xff\\n0 9\\n"});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(KQ_ZR_os_upg(sim.addr(), "img", "-", record_progress), ZR_E_STATUS);
  }
}

}  // namespace
