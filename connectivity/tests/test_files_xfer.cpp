// File transfer in both directions against the simulator's storage folder: content,
// progress, cancelling, refusals, broken handhelds, and the host files around a transfer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "files_support.h"
#ifndef _WIN32
#include "standard_input.h"
#endif

namespace {

using zrfiles::exists;
using zrfiles::names_in;
using zrfiles::pattern;
using zrfiles::read_file;
using zrfiles::StoredSim;
using zrfiles::TempDir;
using zrfiles::write_file;
using zrtest::SimProcess;

// What the progress callback saw, and what it is told to do.
struct Call {
  int code;
  uint32_t done, size, since;
};
struct Progress {
  std::vector<Call> calls;
  int cancel_at = -1;                           // the call (counted from 0) that cancels
  std::function<void(zr_xfer *, size_t)> hook;  // runs on every call with its index
};
Progress progress;

int record(int code, zr_xfer *x) {
  size_t index = progress.calls.size();
  progress.calls.push_back({code, x->done, x->size, x->since_report});
  if (progress.hook) progress.hook(x, index);
  return static_cast<int>(index) == progress.cancel_at ? 1 : 0;
}

// Lowers the wait of the transfer's connection (from inside the callback), so that a
// silent handheld is noticed quickly.
void short_waits(zr_xfer *x, size_t) {
  zr_tune t{300, 300};
  KQ_ZR_1b_tune(x->conn, 2, &t);
}

class Transfers : public zrfiles::LibraryTest {
 protected:
  void SetUp() override {
    zrfiles::LibraryTest::SetUp();
    progress = Progress();
  }
  int put(uint32_t addr, const std::string &remote, const std::string &local, uint32_t step = 500) {
    return KQ_ZR_fm_xfer(addr, ZR_FM_PUT, remote.c_str(), local.c_str(), step, record, 0);
  }
  int get(uint32_t addr, const std::string &remote, const std::string &local, uint32_t step = 500) {
    return KQ_ZR_fm_xfer(addr, ZR_FM_GET, remote.c_str(), local.c_str(), step, record, 0);
  }
  TempDir host;
};

TEST_F(Transfers, ContentArrivesWholeBothWaysAtEverySize) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  for (size_t size : {0, 1, 1535, 1536, 1537, 3 * 1536, 100000}) {
    std::string content = pattern(size, static_cast<unsigned>(size));
    std::string name = "file " + std::to_string(size);
    ASSERT_TRUE(write_file(host / name, content));
    int64_t before = zrfiles::mtime_ns(host / name);
    ASSERT_GE(before, 0);
    ASSERT_EQ(put(sim.addr(), name, host / name), 0) << size;
    EXPECT_EQ(read_file(sim / name), content) << size;
    EXPECT_EQ(zrfiles::mtime_ns(host / name), before);  // sending only reads
    EXPECT_EQ(read_file(host / name), content);

    ASSERT_EQ(get(sim.addr(), name, host / ("back " + name)), 0) << size;
    EXPECT_EQ(read_file(host / ("back " + name)), content) << size;
  }
  std::vector<std::string> r = sim.sim->requests();
  ASSERT_GE(r.size(), 2u);
  EXPECT_EQ(r[0], "fput file\\ 0 0 0\n");
  EXPECT_EQ(r[1], "fget file\\ 0 0\n");
  // No unfinished files anywhere.
  EXPECT_EQ(names_in(sim.storage.path()).size(), 7u);
  EXPECT_EQ(names_in(host.path()).size(), 14u);
  // A host name as long as a name can be: the unfinished file beside it has a short name.
  const std::string longest(255, 'n');
  ASSERT_EQ(get(sim.addr(), "file 1", host / longest), 0);
  EXPECT_EQ(read_file(host / longest), pattern(1, 1));
}

#ifndef _WIN32
TEST_F(Transfers, HostFileOnDescriptorZeroIsAFileLikeAnyOther) {
  // With standard input closed, the host file of a transfer gets descriptor 0.
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(host / "f", "content"));
  std::vector<int> fds;
  progress.hook = [&](zr_xfer *x, size_t) { fds.push_back(x->fd); };
  zrtest::StandardInputClosed no_input;
  int sent = put(sim.addr(), "f", host / "f", 1);
  int fetched = get(sim.addr(), "f", host / "g", 1);
  // Requests that open no host file have their connection on descriptor 0.
  int made = KQ_ZR_fm_fileop(sim.addr(), ZR_FM_MKDIR, "d", nullptr);
  zr_info info{};
  int asked = KQ_ZR_sr_info(sim.addr(), 1, &info);
  bool closed = fcntl(0, F_GETFD) < 0;
  no_input.restore();
  EXPECT_EQ(sent, 0);
  EXPECT_EQ(fetched, 0);
  EXPECT_EQ(made, 0);
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(info.addr, sim.addr());
  struct stat st;
  EXPECT_TRUE(stat((sim / "d").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
  EXPECT_TRUE(closed) << "the host files were closed";
  ASSERT_FALSE(fds.empty());
  EXPECT_EQ(fds.front(), 0);
  EXPECT_EQ(fds.back(), 0);
  EXPECT_EQ(read_file(sim / "f"), "content");
  EXPECT_EQ(read_file(host / "g"), "content");
}
#endif

TEST_F(Transfers, TheOptionValueTravelsUnchanged) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(host / "f", "12345"));
  EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_PUT, "f", (host / "f").c_str(), 0, nullptr, 65535), 0);
  EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, "f", (host / "g").c_str(), 0, nullptr, 7), 0);
  EXPECT_EQ(sim.sim->requests(), (std::vector<std::string>{"fput f 5 65535\n", "fget f 7\n"}));
}

TEST_F(Transfers, ProgressCallsFollowTheStep) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(host / "four", pattern(4 * 1536)));

  // Step 500: a call after every 1536-byte block, then the closing call.
  ASSERT_EQ(put(sim.addr(), "four", host / "four", 500), 0);
  ASSERT_EQ(progress.calls.size(), 5u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(progress.calls[i].code, 0);
    EXPECT_EQ(progress.calls[i].done, 1536u * (i + 1));
    EXPECT_EQ(progress.calls[i].size, 4u * 1536);
    EXPECT_EQ(progress.calls[i].since, 1536u);
  }
  EXPECT_EQ(progress.calls[4].done, 4u * 1536);
  EXPECT_EQ(progress.calls[4].since, 0u);

  // Step 1536: only when more than the step has passed, so after every second block.
  progress = Progress();
  ASSERT_EQ(put(sim.addr(), "four", host / "four", 1536), 0);
  ASSERT_EQ(progress.calls.size(), 3u);
  EXPECT_EQ(progress.calls[0].done, 3072u);
  EXPECT_EQ(progress.calls[1].done, 6144u);

  // Step 0: the closing call alone.
  progress = Progress();
  ASSERT_EQ(put(sim.addr(), "four", host / "four", 0), 0);
  ASSERT_EQ(progress.calls.size(), 1u);
  EXPECT_EQ(progress.calls[0].done, 4u * 1536);

  // Fetching: every call after a received block has seen more than the step.
  progress = Progress();
  ASSERT_EQ(get(sim.addr(), "four", host / "back", 500), 0);
  ASSERT_GE(progress.calls.size(), 2u);
  for (size_t i = 0; i + 1 < progress.calls.size(); ++i) EXPECT_GT(progress.calls[i].since, 500u);
  EXPECT_EQ(progress.calls.back().done, 4u * 1536);
  EXPECT_EQ(progress.calls.back().size, 4u * 1536);
}

TEST_F(Transfers, ContentInTheFirstReceiveCountsWithoutACall) {
  SimProcess sim({"--reply", "0 10\n0123456789"});
  ASSERT_TRUE(sim.ok());
  ASSERT_EQ(get(sim.addr(), "x", host / "ten", 1), 0);
  EXPECT_EQ(read_file(host / "ten"), "0123456789");
  ASSERT_EQ(progress.calls.size(), 1u);  // the closing call only
  EXPECT_EQ(progress.calls[0].done, 10u);
  EXPECT_EQ(progress.calls[0].since, 10u);
}

TEST_F(Transfers, AReplyLineInPiecesStillWorks) {
  StoredSim sim({"--split"});
  ASSERT_TRUE(sim.ok());
  std::string content = pattern(3000);
  ASSERT_TRUE(write_file(sim / "remote", content));
  ASSERT_EQ(get(sim.addr(), "remote", host / "local"), 0);
  EXPECT_EQ(read_file(host / "local"), content);
  ASSERT_EQ(put(sim.addr(), "stored", host / "local"), 0);
  EXPECT_EQ(read_file(sim / "stored"), content);
  ASSERT_TRUE(write_file(host / "empty", ""));
  ASSERT_EQ(put(sim.addr(), "empty", host / "empty"), 0);
  EXPECT_TRUE(exists(sim / "empty"));
}

TEST_F(Transfers, EmptyFileWithTheFinalStatusInTheFirstReceive) {
  ASSERT_TRUE(write_file(host / "empty", ""));
  for (auto c : std::vector<std::pair<std::string, int>>{{"0\n0\n", 0},
                                                         {"0\n1021\n", -1021},
                                                         {"0\r\n0\r\n", 0},
                                                         {"0\nok\n", ZR_E_CANCELLED},
                                                         {"0\n-4\n", ZR_E_CANCELLED},
                                                         {"0\n", ZR_E_NOREPLY}}) {
    SimProcess sim({"--reply", c.first});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(put(sim.addr(), "e", host / "empty"), c.second) << c.first;
    EXPECT_EQ(sim.requests().at(0), "fput e 0 0\n");
  }
}

TEST_F(Transfers, TheFinalStatusOfASend) {
  ASSERT_TRUE(write_file(host / "f", pattern(5000)));
  StoredSim refused({"--final-status", "1021"});
  ASSERT_TRUE(refused.ok());
  EXPECT_EQ(put(refused.addr(), "f", host / "f"), -1021);
  EXPECT_TRUE(names_in(refused.storage.path()).empty());
  // A negative final status after the content fails the send as a cancel does (minus it
  // would read as a success), and the record shows it.
  StoredSim negative({"--final-status", "-5"});
  ASSERT_TRUE(negative.ok());
  int16_t seen = 0;
  progress.hook = [&](zr_xfer *x, size_t) { seen = x->status; };
  EXPECT_EQ(put(negative.addr(), "f", host / "f"), ZR_E_CANCELLED);
  EXPECT_EQ(seen, -5);
  progress.hook = nullptr;
  // The handheld closes once the content is in, without a final status.
  StoredSim silent({"--xfer-close", "5000"});
  ASSERT_TRUE(silent.ok());
  EXPECT_EQ(put(silent.addr(), "f", host / "f"), ZR_E_NOREPLY);
  EXPECT_TRUE(names_in(silent.storage.path()).empty());
  // The closing call comes whatever the outcome.
  EXPECT_EQ(progress.calls.back().code, 0);
}

TEST_F(Transfers, TheReceiveWaitOfLargeSends) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  std::vector<zr_tune> seen;
  progress.hook = [&](zr_xfer *x, size_t index) {
    zr_tune t{0, 0};
    if (index == 0 && KQ_ZR_1b_tune(x->conn, 1, &t) == 0) seen.push_back(t);
  };
  ASSERT_TRUE(write_file(host / "mib", pattern(1048576)));
  ASSERT_TRUE(write_file(host / "less", pattern(1048575)));
  ASSERT_EQ(put(sim.addr(), "mib", host / "mib"), 0);
  progress.calls.clear();
  ASSERT_EQ(put(sim.addr(), "less", host / "less"), 0);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].rtime, 1048576u / 128 + 15000);
  EXPECT_EQ(seen[0].xtime, 5000u);
  EXPECT_EQ(seen[1].rtime, 10000u);  // as every file-service connection
  EXPECT_EQ(seen[1].xtime, 5000u);
  EXPECT_EQ(read_file(sim / "mib"), read_file(host / "mib"));
}

TEST_F(Transfers, CancellingASendStoresNothing) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  std::string content = pattern(50000);
  ASSERT_TRUE(write_file(host / "f", content));
  progress.cancel_at = 2;
  EXPECT_EQ(put(sim.addr(), "f", host / "f"), ZR_E_CANCELLED);
  EXPECT_EQ(progress.calls.size(), 4u);  // three during the data, then the closing call
  EXPECT_EQ(progress.calls[3].done, 3u * 1536);
  EXPECT_EQ(read_file(host / "f"), content);
  // The simulator drops what it took once the connection is gone.
  for (int i = 0; i < 100 && !names_in(sim.storage.path()).empty(); ++i) usleep(10000);
  EXPECT_TRUE(names_in(sim.storage.path()).empty());
}

TEST_F(Transfers, CancellingAFetchKeepsTheFileThatWasThere) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(sim / "r", pattern(50000)));
  ASSERT_TRUE(write_file(host / "kept", "the old content"));
  progress.cancel_at = 0;
  EXPECT_EQ(get(sim.addr(), "r", host / "kept"), ZR_E_CANCELLED);
  EXPECT_EQ(read_file(host / "kept"), "the old content");
  progress = Progress();
  progress.cancel_at = 1;
  EXPECT_EQ(get(sim.addr(), "r", host / "new"), ZR_E_CANCELLED);
  EXPECT_FALSE(exists(host / "new"));
  EXPECT_EQ(names_in(host.path()), std::vector<std::string>{"kept"});
}

TEST_F(Transfers, AFetchReplacesAFileOnlyWhenItSucceeds) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  std::string content = pattern(20000);
  ASSERT_TRUE(write_file(sim / "r", content));
  ASSERT_TRUE(write_file(host / "target", "old"));
  ASSERT_EQ(chmod((host / "target").c_str(), 0600), 0);
  ASSERT_EQ(get(sim.addr(), "r", host / "target"), 0);
  EXPECT_EQ(read_file(host / "target"), content);
  struct stat st;
  ASSERT_EQ(stat((host / "target").c_str(), &st), 0);
  if (zrfiles::kPosixModes) {
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // the file keeps its permission bits
  } else {
    EXPECT_NE(st.st_mode & 0200, 0u);  // it stays writable
  }

  // A refusal deletes a new file and leaves an old one alone.
  ASSERT_TRUE(write_file(host / "target", "old"));
  EXPECT_EQ(get(sim.addr(), "missing", host / "target"), -1022);
  EXPECT_EQ(read_file(host / "target"), "old");
  EXPECT_EQ(get(sim.addr(), "missing", host / "absent"), -1022);
  EXPECT_FALSE(exists(host / "absent"));
  EXPECT_EQ(names_in(host.path()), std::vector<std::string>{"target"});
}

TEST_F(Transfers, AFetchThroughALinkWritesTheFileItLeadsTo) {
  if (!zrfiles::kSymlinks)
    GTEST_SKIP() << "Wine makes no symbolic links for Windows programs (CreateSymbolicLinkW is a stub)";
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(sim / "r", "fetched"));
  ASSERT_EQ(zrfiles::make_dir(host / "real", 0755), 0);
  ASSERT_TRUE(write_file(host / "real/file", "old"));
  ASSERT_EQ(zrfiles::make_symlink("real/file", host / "link"), 0);
  EXPECT_EQ(get(sim.addr(), "missing", host / "link"), -1022);
  EXPECT_EQ(read_file(host / "real/file"), "old");
  ASSERT_EQ(get(sim.addr(), "r", host / "link"), 0);
  EXPECT_TRUE(zrfiles::is_symlink(host / "link"));
  EXPECT_EQ(read_file(host / "real/file"), "fetched");
  EXPECT_EQ(names_in(host.path()), (std::vector<std::string>{"link", "real"}));
  EXPECT_EQ(names_in(host / "real"), std::vector<std::string>{"file"});
}

#if !defined(_WIN32)
TEST_F(Transfers, AFetchOntoAFileKeepsItsOwnerAndWorksWhereTheFolderTakesNoNewFile) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can act as another user and give files away";
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(sim / "r", "fetched"));
  ASSERT_EQ(chmod(host.path().c_str(), 0755), 0);
  struct stat st;

  // Root fetching onto another user's file: the file stays theirs, with its bits (the
  // process's umask notwithstanding).
  ASSERT_TRUE(write_file(host / "theirs", "old"));
  ASSERT_EQ(zrfiles::give_away(host / "theirs", 0666), 0);
  mode_t old_mask = umask(022);
  int r = get(sim.addr(), "r", host / "theirs");
  umask(old_mask);
  ASSERT_EQ(r, 0);
  EXPECT_EQ(read_file(host / "theirs"), "fetched");
  ASSERT_EQ(stat((host / "theirs").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, zrfiles::kOtherUser);
  EXPECT_EQ(st.st_gid, zrfiles::kOtherGroup);
  EXPECT_EQ(st.st_mode & 0777, 0666u);

  // A user who may write the file but not its folder: the file itself is written.
  ASSERT_EQ(mkdir((host / "locked").c_str(), 0755), 0);
  ASSERT_TRUE(write_file(host / "locked/mine", "old old old"));
  ASSERT_EQ(zrfiles::give_away(host / "locked/mine", 0640), 0);
  EXPECT_EQ(zrfiles::run_as_other_user([&] { return get(sim.addr(), "r", host / "locked/mine"); }), 0);
  EXPECT_EQ(read_file(host / "locked/mine"), "fetched");
  ASSERT_EQ(stat((host / "locked/mine").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, zrfiles::kOtherUser);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(names_in(host / "locked"), std::vector<std::string>{"mine"});
  // ... and a file they may not write is refused there as anywhere.
  ASSERT_TRUE(write_file(host / "locked/root", "root's"));
  EXPECT_EQ(zrfiles::run_as_other_user([&] { return get(sim.addr(), "r", host / "locked/root"); }), ZR_E_HOSTFILE);
  EXPECT_EQ(read_file(host / "locked/root"), "root's");
  // A file they may write in a folder of theirs, which a copy of theirs could not replace
  // without taking it from root: written itself, nothing left beside it.
  ASSERT_EQ(mkdir((host / "shared").c_str(), 0755), 0);
  ASSERT_EQ(zrfiles::give_away(host / "shared", 0755), 0);
  ASSERT_TRUE(write_file(host / "shared/roots", "root's, anyone's to write"));
  ASSERT_EQ(chmod((host / "shared/roots").c_str(), 0666), 0);
  EXPECT_EQ(zrfiles::run_as_other_user([&] { return get(sim.addr(), "r", host / "shared/roots"); }), 0);
  EXPECT_EQ(read_file(host / "shared/roots"), "fetched");
  ASSERT_EQ(stat((host / "shared/roots").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(names_in(host / "shared"), std::vector<std::string>{"roots"});
}
#endif

TEST_F(Transfers, AHandheldThatClosesEarlyOrMiscountsGivesAShortTransfer) {
  std::string content = pattern(20000);
  {
    StoredSim sim({"--xfer-close", "5000"});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(sim / "r", content));
    ASSERT_TRUE(write_file(host / "old", "old"));
    EXPECT_EQ(get(sim.addr(), "r", host / "old"), ZR_E_SHORT);
    EXPECT_EQ(read_file(host / "old"), "old");
    // Where nothing was, the part that came stays.
    EXPECT_EQ(get(sim.addr(), "r", host / "partial"), ZR_E_SHORT);
    EXPECT_EQ(read_file(host / "partial"), content.substr(0, 5000));
  }
  {
    StoredSim sim({"--xfer-size", "30000"});  // announces more than it sends
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(sim / "r", content));
    EXPECT_EQ(get(sim.addr(), "r", host / "more"), ZR_E_SHORT);
  }
  {
    StoredSim sim({"--xfer-size", "7000"});  // announces less than it sends
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(sim / "r", content));
    EXPECT_EQ(get(sim.addr(), "r", host / "less"), 0);
    EXPECT_EQ(read_file(host / "less"), content.substr(0, 7000));
  }
  {
    SimProcess sim({"--reply", "0 10\n0123456789ABCDEF"});  // more in the first receive
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(get(sim.addr(), "r", host / "ten"), 0);
    EXPECT_EQ(read_file(host / "ten"), "0123456789");
  }
  std::vector<std::string> left = names_in(host.path());
  // "more" holds the 20000 bytes that came before the end, as nothing had that name.
  EXPECT_EQ(left, (std::vector<std::string>{"less", "more", "old", "partial", "ten"}));
}

TEST_F(Transfers, AHandheldThatClosesDuringASendFailsIt) {
  StoredSim sim({"--xfer-close", "3000"});
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(host / "big", pattern(1048576)));
  int r = put(sim.addr(), "big", host / "big");
  EXPECT_TRUE(r == ZR_E_SOCKET || r == ZR_E_NOREPLY) << r;
  EXPECT_TRUE(names_in(sim.storage.path()).empty());
  // A failed data send is reported to the callback with its code.
  if (r == ZR_E_SOCKET) {
    ASSERT_GE(progress.calls.size(), 2u);
    EXPECT_EQ(progress.calls[progress.calls.size() - 2].code, ZR_E_SOCKET);
  }
}

TEST_F(Transfers, AStalledHandheldEndsTheTransferWithinItsWaits) {
  using Clock = std::chrono::steady_clock;
  std::string content = pattern(20000);
  {
    StoredSim sim({"--xfer-stall", "4000"});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(sim / "r", content));
    progress.hook = short_waits;
    auto start = Clock::now();
    EXPECT_EQ(get(sim.addr(), "r", host / "r"), ZR_E_SHORT);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  }
  {
    // The whole content is taken, then nothing more is said.
    StoredSim sim({"--xfer-stall", "20000"});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(host / "s", content));
    progress = Progress();
    progress.hook = short_waits;
    auto start = Clock::now();
    EXPECT_EQ(put(sim.addr(), "s", host / "s"), ZR_E_NOREPLY);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  }
  {
    // Nothing more is taken after the first part: the sends stop within the send wait.
    // The file is far larger than what the socket buffers of both ends can hold (the
    // sender's grows to a few MiB on its own), so the sends really do run into the wait.
    StoredSim sim({"--xfer-stall", "1536", "--set", "disk=1073741824,1073741824,0"});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(host / "big", pattern(32 * 1048576)));
    progress = Progress();
    progress.hook = short_waits;
    auto start = Clock::now();
    EXPECT_EQ(put(sim.addr(), "big", host / "big"), ZR_E_TIMEOUT);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  }
}

TEST_F(Transfers, BrokenFirstRepliesOfAFetch) {
  ASSERT_TRUE(write_file(host / "old", "old"));
  for (auto c : std::vector<std::pair<std::string, int>>{{"0\n", ZR_E_STATUS},
                                                         {"0 x\n", ZR_E_STATUS},
                                                         {"0 -5\n", ZR_E_STATUS},
                                                         {"x\n", ZR_E_STATUS},
                                                         {"-2 5\n", ZR_E_STATUS},
                                                         {"2\n", -2},
                                                         {"", ZR_E_STATUS},
                                                         {"0 " + std::string(1600, '7'), ZR_E_STATUS}}) {
    SimProcess sim({"--reply", c.first});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(get(sim.addr(), "r", host / "old"), c.second) << c.first;
    EXPECT_EQ(read_file(host / "old"), "old") << c.first;
  }
  // Where nothing was, a reply without a number leaves the file as created; a refusal
  // deletes it.
  SimProcess nosize({"--reply", "0\n"});
  ASSERT_TRUE(nosize.ok());
  EXPECT_EQ(get(nosize.addr(), "r", host / "created"), ZR_E_STATUS);
  EXPECT_TRUE(exists(host / "created"));
  SimProcess refusal({"--status", "2"});
  ASSERT_TRUE(refusal.ok());
  EXPECT_EQ(get(refusal.addr(), "r", host / "refused"), -2);
  EXPECT_FALSE(exists(host / "refused"));
  EXPECT_EQ(names_in(host.path()), (std::vector<std::string>{"created", "old"}));
}

TEST_F(Transfers, HostFilesThatCannotBeUsed) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(sim / "r", "remote"));
  ASSERT_EQ(zrfiles::make_dir(host / "folder", 0755), 0);
  EXPECT_EQ(put(sim.addr(), "x", host / "missing"), ZR_E_HOSTFILE);
  EXPECT_EQ(put(sim.addr(), "x", host / "folder"), ZR_E_HOSTFILE);
#ifndef _WIN32
  EXPECT_EQ(KQ_ZR_errno(), EISDIR);  // the reason, for the caller's message
#endif
  if (zrfiles::kFifos) {
    ASSERT_EQ(zrfiles::make_fifo(host / "pipe"), 0);
    EXPECT_EQ(put(sim.addr(), "x", host / "pipe"), ZR_E_HOSTFILE);  // would wait for a writer
    EXPECT_EQ(KQ_ZR_errno(), EINVAL);
    EXPECT_EQ(get(sim.addr(), "r", host / "pipe"), ZR_E_HOSTFILE);
  }
  EXPECT_EQ(get(sim.addr(), "r", host / "folder"), ZR_E_HOSTFILE);
  EXPECT_EQ(get(sim.addr(), "r", host / "no/such/folder"), ZR_E_HOSTFILE);
  EXPECT_EQ(get(sim.addr(), "r", "bad\xC3"), ZR_E_HOSTFILE);
  EXPECT_TRUE(sim.sim->requests().empty());
  EXPECT_TRUE(progress.calls.empty());
}

TEST_F(Transfers, ChecksBeforeAnythingIsTouched) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(host / "f", "x"));
  std::string p1518(1518, 'p'), p1519(1519, 'p');
  EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), 13, "r", (host / "n").c_str(), 500, record, 0), ZR_E_OPERATION);
  EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), 0, "r", (host / "n").c_str(), 500, record, 0), ZR_E_OPERATION);
  EXPECT_EQ(get(sim.addr(), p1519, host / "n"), ZR_E_COMMAND);
  EXPECT_EQ(put(sim.addr(), p1519, host / "f"), ZR_E_COMMAND);
  EXPECT_EQ(get(sim.addr(), "a\nfdel b", host / "n"), ZR_E_COMMAND);
  EXPECT_EQ(put(sim.addr(), "a\rfdel b", host / "f"), ZR_E_COMMAND);
  EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, nullptr, (host / "n").c_str(), 0, nullptr, 0), ZR_E_HANDLE);
  // A null host path is a host file that cannot be opened, in either direction.
  errno = 0;
  EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, "r", nullptr, 0, nullptr, 0), ZR_E_HOSTFILE);
  EXPECT_EQ(KQ_ZR_errno(), EINVAL);
  EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_PUT, "r", nullptr, 0, nullptr, 0), ZR_E_HOSTFILE);
#ifndef _WIN32
  // A file larger than a signed 32-bit size (a sparse one here) cannot be announced.
  ASSERT_EQ(truncate((host / "f").c_str(), 3LL << 30), 0);
  errno = 0;
  EXPECT_EQ(put(sim.addr(), "big", host / "f"), ZR_E_HOSTFILE);
  EXPECT_EQ(KQ_ZR_errno(), EFBIG);
  ASSERT_EQ(truncate((host / "f").c_str(), 1LL << 31), 0);  // one byte too many
  EXPECT_EQ(put(sim.addr(), "big", host / "f"), ZR_E_HOSTFILE);
  ASSERT_EQ(truncate((host / "f").c_str(), 1), 0);
#endif
  EXPECT_EQ(names_in(host.path()), std::vector<std::string>{"f"});
  EXPECT_TRUE(sim.sim->requests().empty());
  // 1518 characters pass (the handheld then finds the path too long).
  EXPECT_EQ(get(sim.addr(), p1518, host / "n"), -1036);
  EXPECT_EQ(put(sim.addr(), p1518, host / "f"), -1036);
  EXPECT_EQ(sim.sim->requests().size(), 2u);
  EXPECT_FALSE(exists(host / "n"));
  // An empty handheld path is the handheld's to refuse.
  EXPECT_LT(get(sim.addr(), "", host / "n"), 0);
  EXPECT_EQ(sim.sim->requests().size(), 3u);
  EXPECT_FALSE(exists(host / "n"));
}

TEST_F(Transfers, RefusalsOfTheHandheld) {
  StoredSim sim({"--set", "disk=16777216,100000,0"});
  ASSERT_TRUE(sim.ok());
  ASSERT_EQ(zrfiles::make_dir(sim / "folder", 0755), 0);
  ASSERT_TRUE(write_file(host / "big", pattern(100001)));
  ASSERT_TRUE(write_file(host / "small", "s"));
  EXPECT_EQ(put(sim.addr(), "big", host / "big"), -1021);
  EXPECT_EQ(put(sim.addr(), "folder", host / "small"), -1034);
  EXPECT_EQ(put(sim.addr(), "no/folder/x", host / "small"), -1022);
  EXPECT_EQ(get(sim.addr(), "folder", host / "x"), -1034);
  EXPECT_EQ(names_in(sim.storage.path()), std::vector<std::string>{"folder"});
  // A refused command makes no progress calls, not even the closing one.
  EXPECT_TRUE(progress.calls.empty());
  EXPECT_EQ(KQ_ZR_fm_xfer(zrtest::fresh_loopback(), ZR_FM_PUT, "x", (host / "small").c_str(), 0, nullptr, 0),
            ZR_E_CONNECT);
}

TEST_F(Transfers, AHostFileThatShrinksWhileItIsSent) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(host / "shrinks", pattern(100000)));
  std::string path = host / "shrinks";
  progress.hook = [&](zr_xfer *, size_t index) {
    if (index == 0) {
      ASSERT_EQ(truncate(path.c_str(), 3000), 0);
    }
  };
  EXPECT_EQ(put(sim.addr(), "s", path), ZR_E_SHORT);
  EXPECT_EQ(progress.calls.back().done, 3000u);
  for (int i = 0; i < 100 && !names_in(sim.storage.path()).empty(); ++i) usleep(10000);
  EXPECT_TRUE(names_in(sim.storage.path()).empty());
}

TEST_F(Transfers, HostNamesInJavaModifiedUtf8) {
  StoredSim sim;
  ASSERT_TRUE(sim.ok());
  // U+1F600 as Java sends it: two 3-byte surrogate sequences; on disk it is the one
  // 4-byte sequence.
  const std::string java = "smile \xED\xA0\xBD\xED\xB8\x80.txt";
  const std::string disk = "smile \xF0\x9F\x98\x80.txt";
  ASSERT_TRUE(write_file(sim / "r", "content"));
  ASSERT_EQ(get(sim.addr(), "r", host / java), 0);
  EXPECT_EQ(names_in(host.path()), std::vector<std::string>{disk});
  EXPECT_EQ(read_file(host / disk), "content");
  ASSERT_EQ(put(sim.addr(), "back", host / java), 0);
  EXPECT_EQ(read_file(sim / "back"), "content");
}

// Regression (found by fuzzing): a fetch whose reply line the handheld broke off (it closed
// before the line feed) was taken as a whole reply: "- 0" and a close read as status 0 and
// size 0, and the host file was replaced by an empty one with success reported.
TEST_F(Transfers, RegressionAReplyLineBrokenOffIsNoReply) {
  TempDir host;
  const std::string before = "kept as it was";
  for (const char *reply : {"- 0H", "0 0", "0 12"}) {
    StoredSim sim({"--reply", reply});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(sim / "f", "twelve bytes"));
    ASSERT_TRUE(write_file(host / "got", before));
    EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, "f", (host / "got").c_str(), 0, nullptr, 0), ZR_E_SHORT) << reply;
    EXPECT_EQ(read_file(host / "got"), before) << reply;
    EXPECT_EQ(zrfiles::names_in(host.path()), std::vector<std::string>{"got"}) << reply;
  }
  // The same reply with its line feed is a whole one.
  StoredSim sim({"--reply", "0 0\\n"});
  ASSERT_TRUE(sim.ok());
  ASSERT_TRUE(write_file(sim / "f", ""));
  EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, "f", (host / "got").c_str(), 0, nullptr, 0), 0);
  EXPECT_EQ(read_file(host / "got"), "");
}

// Regression (found by the fault matrix): a send's first reply longer than the buffer was
// parsed from its first part, and the rest of that line then read as the final status: a
// line of spaces reads as status 0, so the final status 5 that followed was never seen and
// success was reported.
TEST_F(Transfers, RegressionAFirstReplyLongerThanTheBufferIsNoReply) {
  TempDir host;
  ASSERT_TRUE(write_file(host / "src", "content"));
  const std::string overlong = "0" + std::string(1600, ' ') + "\\n5\\n";
  {
    StoredSim sim({"--reply", overlong});
    ASSERT_TRUE(sim.ok());
    EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_PUT, "dst", (host / "src").c_str(), 0, nullptr, 0), ZR_E_STATUS);
  }
  {
    StoredSim sim({"--reply", "0" + std::string(1600, ' ') + " 7\\ncontent"});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(sim / "f", "content"));
    ASSERT_TRUE(write_file(host / "got", "before"));
    EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, "f", (host / "got").c_str(), 0, nullptr, 0), ZR_E_STATUS);
    EXPECT_EQ(read_file(host / "got"), "before");
  }
  // At the edge: a reply line of 1535 bytes, line feed included, is the longest read whole.
  for (size_t chars : {1534u, 1535u}) {
    StoredSim sim({"--reply", "0" + std::string(chars - 2, ' ') + "7\\ncontent"});
    ASSERT_TRUE(sim.ok());
    ASSERT_TRUE(write_file(host / "got", "before"));
    EXPECT_EQ(KQ_ZR_fm_xfer(sim.addr(), ZR_FM_GET, "f", (host / "got").c_str(), 0, nullptr, 0),
              chars == 1534 ? 0 : ZR_E_STATUS)
        << chars;
    EXPECT_EQ(read_file(host / "got"), chars == 1534 ? "content" : "before") << chars;
  }
}

}  // namespace
