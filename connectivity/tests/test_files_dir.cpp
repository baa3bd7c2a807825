// Listings and attributes of handheld folders, against the simulator's storage folder and
// against replies written out by hand.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <cstring>
#include <string>
#include <vector>

#include "files_support.h"

namespace {

using zrfiles::StoredSim;
using zrfiles::write_file;
using zrtest::SimProcess;

struct Entry {
  int result;
  std::string name;
  zr_attr attr;
};

// Reads a listing to its end with a name buffer of `length` bytes.
std::vector<Entry> read_all(int h, int length = 512, int *end = nullptr) {
  std::vector<Entry> out;
  for (;;) {
    std::vector<char> name(static_cast<size_t>(length), 'Z');
    zr_attr a;
    std::memset(&a, 0xAA, sizeof a);
    int r = KQ_ZR_fm_direnum(h, name.data(), length, &a);
    if (r < 0) {
      if (end) *end = r;
      return out;
    }
    out.push_back({r, name.data(), a});
  }
}

class Listings : public zrfiles::LibraryTest {};

TEST_F(Listings, EmptyFolderEndsAtOnceAndClosedHandlesAreRefused) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_EQ(zrfiles::make_dir(sim / "empty", 0755), 0);
  int h = KQ_ZR_fm_dirinit(sim.addr(), "/empty");
  ASSERT_GE(h, 0);
  char name[64];
  zr_attr a;
  EXPECT_EQ(KQ_ZR_fm_direnum(h, name, sizeof name, &a), ZR_E_END);
  EXPECT_EQ(KQ_ZR_fm_direnum(h, name, sizeof name, &a), ZR_E_END);  // stays at the end
  EXPECT_EQ(KQ_ZR_fm_dirdone(h), 0);
  EXPECT_EQ(KQ_ZR_fm_direnum(h, name, sizeof name, &a), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_fm_dirdone(h), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_fm_dirdone(-1), ZR_E_HANDLE);
  EXPECT_EQ(sim.sim->requests(), std::vector<std::string>{"dir /empty\n"});

  // A listing's connection waits at least 10 s to receive and 5 s to send, longer when
  // the library-wide pair says so (the listing's handle is its connection's).
  for (zr_tune wide : {zr_tune{2000, 2000}, zr_tune{12000, 7000}}) {
    KQ_ZR_sl_tune(2, &wide);
    h = KQ_ZR_fm_dirinit(sim.addr(), "/empty");
    ASSERT_GE(h, 0);
    zr_tune seen{};
    ASSERT_EQ(KQ_ZR_1b_tune(h, 1, &seen), 0);
    EXPECT_EQ(seen.rtime, wide.rtime > 10000 ? wide.rtime : 10000u);
    EXPECT_EQ(seen.xtime, wide.xtime > 5000 ? wide.xtime : 5000u);
    EXPECT_EQ(KQ_ZR_fm_dirdone(h), 0);
  }
}

TEST_F(Listings, EntriesCarryNamesWithSpacesLongNamesAndAttributes) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_EQ(zrfiles::make_dir(sim / "my docs", 0755), 0);
  ASSERT_EQ(zrfiles::make_dir(sim / "my docs/sub folder", 0700), 0);
  ASSERT_TRUE(write_file(sim / "my docs/a.txt", "hello"));
  ASSERT_TRUE(write_file(sim / "my docs/name with  spaces.txt", std::string(1536 * 3, 'x')));
  std::string longest(255, 'L');
  ASSERT_TRUE(write_file(sim / ("my docs/" + longest), "1"));
  ASSERT_EQ(chmod((sim / "my docs/a.txt").c_str(), 0640), 0);
  struct stat st;
  ASSERT_EQ(stat((sim / "my docs/a.txt").c_str(), &st), 0);

  int h = KQ_ZR_fm_dirinit(sim.addr(), "my docs");
  ASSERT_GE(h, 0);
  int end = 0;
  std::vector<Entry> e = read_all(h, 512, &end);
  EXPECT_EQ(end, ZR_E_END);
  EXPECT_EQ(KQ_ZR_fm_dirdone(h), 0);
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].name, longest);
  EXPECT_EQ(e[0].result, 255);
  EXPECT_EQ(e[1].name, "a.txt");
  EXPECT_EQ(e[1].result, 5);
  EXPECT_EQ(e[1].attr.size, 5u);
  EXPECT_EQ(e[1].attr.time, static_cast<uint32_t>(st.st_mtime));
  EXPECT_EQ(e[1].attr.type & 0xFF, 0);
  if (zrfiles::kPosixModes) {  // (Windows makes files and folders without them)
    EXPECT_EQ(e[1].attr.bits, 0640);
  }
  EXPECT_EQ(e[2].name, "name with  spaces.txt");
  EXPECT_EQ(e[2].attr.size, 1536u * 3);
  EXPECT_EQ(e[3].name, "sub folder");
  EXPECT_NE(e[3].attr.type & 0xFF, 0);
  if (zrfiles::kPosixModes) {  // (Windows makes files and folders without them)
    EXPECT_EQ(e[3].attr.bits, 0700);
  }
  // The path travels escaped: every space behind a backslash.
  EXPECT_EQ(sim.sim->requests(), std::vector<std::string>{"dir my\\ docs\n"});
}

TEST_F(Listings, NamesLongerThanTheBufferAreCutButCountedInFull) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(sim / std::string(200, 'n'), ""));
  ASSERT_TRUE(write_file(sim / "sixteen-chars-ab", ""));
  int h = KQ_ZR_fm_dirinit(sim.addr(), "/");
  ASSERT_GE(h, 0);
  std::vector<Entry> e = read_all(h, 16);
  KQ_ZR_fm_dirdone(h);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].result, 200);
  EXPECT_EQ(e[0].name, std::string(15, 'n'));
  // A name exactly as long as the buffer leaves no room for its end: length - 1 bytes.
  EXPECT_EQ(e[1].result, 16);
  EXPECT_EQ(e[1].name, "sixteen-chars-a");
}

TEST_F(Listings, MissingAttributesEmptyNamesAndUnknownKeys) {
  SimProcess sim({"--reply", "0\nplain\n\nwith cr\r\nsize=7\nzzz=1\n\n\r\nsize=x\ntime=5\n\nlast\nsize=9\n\n"});
  ASSERT_TRUE(sim.ok());
  int h = KQ_ZR_fm_dirinit(sim.addr(), "/");
  ASSERT_GE(h, 0);
  int end = 0;
  std::vector<Entry> e = read_all(h, 512, &end);
  EXPECT_EQ(end, ZR_E_END);
  ASSERT_EQ(e.size(), 4u);
  EXPECT_EQ(e[0].name, "plain");
  EXPECT_EQ(e[0].attr.size, 0u);  // no attribute lines: all zeros
  EXPECT_EQ(e[0].attr.time, 0u);
  EXPECT_EQ(e[0].attr.type, 0);
  EXPECT_EQ(e[0].attr.bits, 0);
  EXPECT_EQ(e[1].name, "with cr");
  EXPECT_EQ(e[1].attr.size, 7u);
  EXPECT_EQ(e[2].result, 0);  // a name line holding only "\r\n"
  EXPECT_EQ(e[2].name, "");
  EXPECT_EQ(e[2].attr.size, 0u);
  EXPECT_EQ(e[2].attr.time, 5u);
  EXPECT_EQ(e[3].name, "last");
  EXPECT_EQ(KQ_ZR_fm_dirdone(h), 0);

  // Without an attribute record the attribute lines are still consumed.
  h = KQ_ZR_fm_dirinit(sim.addr(), "/");
  ASSERT_GE(h, 0);
  char name[32];
  EXPECT_EQ(KQ_ZR_fm_direnum(h, name, sizeof name, nullptr), 5);
  EXPECT_EQ(KQ_ZR_fm_direnum(h, name, sizeof name, nullptr), 7);
  EXPECT_STREQ(name, "with cr");
  EXPECT_EQ(KQ_ZR_fm_direnum(h, name, 0, nullptr), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_fm_direnum(h, nullptr, 32, nullptr), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_fm_dirdone(h), 0);
}

TEST_F(Listings, AnAttributeLineLongerThanItsBufferDoesNotEndTheEntry) {
  // 99 characters and the line feed: the line feed arrives as a piece of its own, which is
  // not the empty line that ends the entry.
  std::string line = "bits=3" + std::string(93, ' ');
  ASSERT_EQ(line.size(), 99u);
  SimProcess sim({"--reply", "0\na\n" + line + "\nsize=4\n\nb\n\n"});
  ASSERT_TRUE(sim.ok());
  int h = KQ_ZR_fm_dirinit(sim.addr(), "/");
  ASSERT_GE(h, 0);
  std::vector<Entry> e = read_all(h);
  KQ_ZR_fm_dirdone(h);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].name, "a");
  EXPECT_EQ(e[0].attr.bits, 3);
  EXPECT_EQ(e[0].attr.size, 4u);
  EXPECT_EQ(e[1].name, "b");

  // The pieces hold 99 characters: what follows them is read as a line of its own.
  SimProcess exact({"--reply", "0\nc\ntime=7" + std::string(93, 'x') + "size=9\n\n"});
  ASSERT_TRUE(exact.ok());
  h = KQ_ZR_fm_dirinit(exact.addr(), "/");
  ASSERT_GE(h, 0);
  e = read_all(h);
  KQ_ZR_fm_dirdone(h);
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].attr.time, 7u);
  EXPECT_EQ(e[0].attr.size, 9u);
}

TEST_F(Listings, RefusalsAndBrokenStatusLines) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(sim / "file", "x"));
  EXPECT_EQ(KQ_ZR_fm_dirinit(sim.addr(), "/missing"), -1022);
  EXPECT_EQ(KQ_ZR_fm_dirinit(sim.addr(), "/file"), -1034);
  EXPECT_EQ(KQ_ZR_fm_dirinit(sim.addr(), "/../outside"), -1022);
  EXPECT_EQ(KQ_ZR_fm_dirinit(sim.addr(), nullptr), ZR_E_HANDLE);

  for (auto c : std::vector<std::pair<std::string, int>>{
           {"x\n", ZR_E_STATUS}, {"-5\n", ZR_E_STATUS}, {"", ZR_E_END}, {"7\n", -7}}) {
    SimProcess odd({"--reply", c.first});
    ASSERT_TRUE(odd.ok());
    EXPECT_EQ(KQ_ZR_fm_dirinit(odd.addr(), "/"), c.second) << c.first;
  }
  EXPECT_EQ(KQ_ZR_fm_dirinit(zrtest::fresh_loopback(), "/"), ZR_E_CONNECT);
}

TEST_F(Listings, PathLimitsAndLineBreaksAreCheckedBeforeConnecting) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  zr_attr a;
  std::string p1526(1526, 'p'), p1527(1527, 'p');
  // Both reach the handheld, which finds them too long.
  EXPECT_EQ(KQ_ZR_fm_dirinit(sim.addr(), p1526.c_str()), -1036);
  EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), p1526.c_str(), &a), -1036);
  EXPECT_EQ(KQ_ZR_fm_dirinit(sim.addr(), p1527.c_str()), -1036);
  size_t sent = sim.sim->requests().size();
  EXPECT_EQ(sent, 3u);
  EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), p1527.c_str(), &a), ZR_E_COMMAND);
  // 764 spaces escape to 1528 characters.
  EXPECT_EQ(KQ_ZR_fm_dirinit(sim.addr(), std::string(764, ' ').c_str()), ZR_E_COMMAND);
  // A line break would end the command early and smuggle in a second one.
  EXPECT_EQ(KQ_ZR_fm_dirinit(sim.addr(), "a\nfdel b"), ZR_E_COMMAND);
  EXPECT_EQ(KQ_ZR_fm_dirinit(sim.addr(), "a\rb"), ZR_E_COMMAND);
  EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), "a\nfdel b", &a), ZR_E_COMMAND);
  EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), "/", nullptr), ZR_E_HANDLE);
  EXPECT_EQ(sim.sim->requests().size(), sent);
}

TEST_F(Listings, AListingKeepsItsConnectionWhileOtherRequestsRun) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  for (const char *n : {"one", "two", "three"}) ASSERT_TRUE(write_file(sim / n, n));
  int h1 = KQ_ZR_fm_dirinit(sim.addr(), "/");
  ASSERT_GE(h1, 0);
  char name[32];
  zr_attr a;
  EXPECT_EQ(KQ_ZR_fm_direnum(h1, name, sizeof name, &a), 3);
  EXPECT_STREQ(name, "one");
  int h2 = KQ_ZR_fm_dirinit(sim.addr(), "/");
  ASSERT_GE(h2, 0);
  EXPECT_NE(h1, h2);
  EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), "two", &a), 0);
  EXPECT_EQ(a.size, 3u);
  EXPECT_EQ(KQ_ZR_fm_direnum(h1, name, sizeof name, &a), 5);
  EXPECT_STREQ(name, "three");
  EXPECT_EQ(KQ_ZR_fm_dirdone(h2), 0);
  EXPECT_EQ(KQ_ZR_fm_direnum(h1, name, sizeof name, &a), 3);
  EXPECT_STREQ(name, "two");
  EXPECT_EQ(KQ_ZR_fm_direnum(h1, name, sizeof name, &a), ZR_E_END);
  EXPECT_EQ(KQ_ZR_fm_dirdone(h1), 0);
}

TEST_F(Listings, AStalledListingEndsWithinItsWait) {
  SimProcess sim({"--reply", "0\nfirst\nsize=1\n", "--hold"});
  ASSERT_TRUE(sim.ok());
  int h = KQ_ZR_fm_dirinit(sim.addr(), "/");
  ASSERT_GE(h, 0);
  zr_tune t{300, 0xFFFFFFFFu};  // the listing's handle is its connection's
  ASSERT_EQ(KQ_ZR_1b_tune(h, 2, &t), 0);
  char name[32];
  zr_attr a;
  std::memset(&a, 0xAA, sizeof a);
  zr_attr untouched = a;
  // The entry stops before its empty line: the time-out, and no half entry.
  EXPECT_EQ(KQ_ZR_fm_direnum(h, name, sizeof name, &a), ZR_E_TIMEOUT);
  EXPECT_EQ(std::memcmp(&a, &untouched, sizeof a), 0);
  EXPECT_EQ(KQ_ZR_fm_dirdone(h), 0);
}

// The reply has no end marker.  A close where an entry would begin is the end of the
// listing; a close inside an entry (its name, its attribute lines, before its empty line)
// leaves that entry incomplete: a folder would read as a file of type 0.
TEST_F(Listings, AnEntryCutOffBeforeItsEmptyLineIsAFailureNotAnEntry) {
  struct Case {
    const char *reply;
    size_t whole;  // entries that came whole, before the failure
    int end;
  };
  for (const Case &c : std::vector<Case>{
           {"0\ngood\ntype=1\n\nsub\nsize=0\ntime=7\ntype=1\n", 1, ZR_E_CUT},  // before its empty line
           {"0\ngood\ntype=1\n\nsub\nsize=0\ntype=", 1, ZR_E_CUT},             // inside an attribute line
           {"0\ngood\ntype=1\n\nsub\n", 1, ZR_E_CUT},                          // right after its name
           {"0\ngood\ntype=1\n\nsu", 1, ZR_E_CUT},                             // inside its name
           {"0\ngood\ntype=1\n\n\r", 1, ZR_E_CUT},                             // a name begun with "\r"
           {"0\ngood\ntype=1\n\n", 1, ZR_E_END},                               // between entries
           {"0\n", 0, ZR_E_END},
       }) {
    SimProcess sim({"--reply", c.reply});
    ASSERT_TRUE(sim.ok());
    int h = KQ_ZR_fm_dirinit(sim.addr(), "/");
    ASSERT_GE(h, 0) << c.reply;
    int end = 0;
    std::vector<Entry> e = read_all(h, 512, &end);
    EXPECT_EQ(end, c.end) << c.reply;
    ASSERT_EQ(e.size(), c.whole) << c.reply;
    if (c.whole) {
      EXPECT_EQ(e[0].name, "good");
      EXPECT_EQ(e[0].attr.type, 1);
    }
    // Once cut, the listing stays at its end.
    char name[16];
    EXPECT_EQ(KQ_ZR_fm_direnum(h, name, sizeof name, nullptr), ZR_E_END) << c.reply;
    EXPECT_EQ(KQ_ZR_fm_dirdone(h), 0);
  }
}

// A listing survives KQ_ZR_1b_done, which closes its socket.  Its number may then belong to
// something else; closing the listing must leave that alone.
TEST_F(Listings, AListingThatOutlivesTheLibraryNeverClosesAnotherDescriptor) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(sim / "f", "x"));
  int h = KQ_ZR_fm_dirinit(sim.addr(), "/");
  ASSERT_GE(h, 0);
  ASSERT_EQ(KQ_ZR_1b_done(), 0);
  ASSERT_EQ(KQ_ZR_1b_init(), 0);

  char name[32];
#if !defined(_WIN32)
  // (On Windows sockets and file descriptors are numbered apart: no file takes the number.)
  int fd = open((sim / "f").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(dup2(fd, h), h);  // the listing's old number now names a host file
  EXPECT_EQ(KQ_ZR_fm_direnum(h, name, sizeof name, nullptr), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_fm_dirdone(h), 0);
  EXPECT_NE(fcntl(h, F_GETFD), -1) << "the listing closed a descriptor it does not own";
  EXPECT_EQ(KQ_ZR_fm_dirdone(h), ZR_E_HANDLE);
  close(h);
  close(fd);
#else
  EXPECT_EQ(KQ_ZR_fm_direnum(h, name, sizeof name, nullptr), ZR_E_HANDLE);
  EXPECT_EQ(KQ_ZR_fm_dirdone(h), 0);
  EXPECT_EQ(KQ_ZR_fm_dirdone(h), ZR_E_HANDLE);
#endif

  // Nor a connection that has taken the number.
  int stale = KQ_ZR_fm_dirinit(sim.addr(), "/");
  ASSERT_GE(stale, 0);
  ASSERT_EQ(KQ_ZR_1b_done(), 0);
  ASSERT_EQ(KQ_ZR_1b_init(), 0);
  int c = KQ_ZR_1b_bind(0, 0, sim.addr(), 10001);
  ASSERT_GE(c, 0);
  if (c == stale) {
    EXPECT_EQ(KQ_ZR_fm_direnum(stale, name, sizeof name, nullptr), ZR_E_HANDLE);
    EXPECT_EQ(KQ_ZR_fm_dirdone(stale), 0);
    zr_conn_info info;
    EXPECT_EQ(KQ_ZR_1b_info(c, &info), 0);
    EXPECT_EQ(KQ_ZR_1b_send(c, 0, "dir /\n", 6), 6);
  } else {
    EXPECT_EQ(KQ_ZR_fm_dirdone(stale), 0);
  }
  KQ_ZR_1b_unbind(c);

  // A new listing that gets the old number replaces the stale record and works.
  int h1 = KQ_ZR_fm_dirinit(sim.addr(), "/");
  ASSERT_GE(h1, 0);
  ASSERT_EQ(KQ_ZR_1b_done(), 0);
  ASSERT_EQ(KQ_ZR_1b_init(), 0);
  int h2 = KQ_ZR_fm_dirinit(sim.addr(), "/");
  ASSERT_GE(h2, 0);
  EXPECT_EQ(KQ_ZR_fm_direnum(h2, name, sizeof name, nullptr), 1);
  EXPECT_EQ(KQ_ZR_fm_dirdone(h2), 0);
  if (h1 == h2)
    EXPECT_EQ(KQ_ZR_fm_dirdone(h1), ZR_E_HANDLE);
  else
    EXPECT_EQ(KQ_ZR_fm_dirdone(h1), 0);
}

class Attributes : public zrfiles::LibraryTest {};

TEST_F(Attributes, FilesFoldersAndMissingPaths) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(sim / "data.bin", std::string(4097, 'd')));
  ASSERT_EQ(zrfiles::make_dir(sim / "dir with space", 0755), 0);
  zr_attr a;
  std::memset(&a, 0xAA, sizeof a);
  EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), "/data.bin", &a), 0);
  EXPECT_EQ(a.size, 4097u);
  EXPECT_EQ(a.type & 0xFF, 0);
  EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), "dir with space", &a), 0);
  EXPECT_NE(a.type & 0xFF, 0);
  EXPECT_EQ(a.size, 0u);
  EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), "/", &a), 0);
  EXPECT_NE(a.type & 0xFF, 0);
  EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), "nothing", &a), -1022);
  EXPECT_EQ(KQ_ZR_fm_dirattr(sim.addr(), "data.bin/below", &a), -1022);
}

TEST_F(Attributes, LongLinesArriveInPiecesAndMissingKeysStayZero) {
  // Pieces of at most 19 characters: "time=7            s" then "ize=9\n" (key "ize").
  SimProcess sim({"--reply", "0\ntime=7" + std::string(12, ' ') + "size=9\nbits=5\n\nsize=99\n"});
  ASSERT_TRUE(sim.ok());
  zr_attr a;
  std::memset(&a, 0xAA, sizeof a);
  ASSERT_EQ(KQ_ZR_fm_dirattr(sim.addr(), "x", &a), 0);
  EXPECT_EQ(a.time, 7u);
  EXPECT_EQ(a.size, 0u);
  EXPECT_EQ(a.bits, 5);
  EXPECT_EQ(a.type, 0);

  // The status line counts as the start of a line: an empty line right after it ends the
  // attributes, but the line feed of a status line longer than a piece does not.
  SimProcess none({"--reply", "0\n\nsize=99\n"});
  ASSERT_TRUE(none.ok());
  ASSERT_EQ(KQ_ZR_fm_dirattr(none.addr(), "x", &a), 0);
  EXPECT_EQ(a.size, 0u);
  SimProcess long_status({"--reply", "0" + std::string(18, ' ') + "\nsize=5\n\nsize=99\n"});
  ASSERT_TRUE(long_status.ok());
  ASSERT_EQ(KQ_ZR_fm_dirattr(long_status.addr(), "x", &a), 0);
  EXPECT_EQ(a.size, 5u);

  SimProcess refused({"--status", "1034"});
  ASSERT_TRUE(refused.ok());
  EXPECT_EQ(KQ_ZR_fm_dirattr(refused.addr(), "x", &a), -1034);
}

}  // namespace
