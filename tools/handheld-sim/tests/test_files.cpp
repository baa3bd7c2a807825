// The simulated file system (storage folder, confinement, file commands and their
// statuses), transfers and their fault switches, and the scripted OS upgrade, over plain
// sockets.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "sim_client.h"
#include "sim_process.h"
#include "test_files.h"

using simtest::exchange;
using zrtest::SimProcess;

namespace {

// A private folder of the test support, its path at hand as `path`.
struct Folder {
  zrtest::TempDir dir{"zr-sim-files"};
  const std::string path = dir.path();
  std::string operator/(const std::string &name) const { return dir / name; }
};

void put_file(const std::string &path, const std::string &content) { zrtest::WriteFile(path, content); }

std::string file_content(const std::string &path) { return zrtest::ReadFile(path).value_or(""); }

bool exists(const std::string &path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

size_t entries(const std::string &folder) {
  size_t n = 0;
  std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(folder.c_str()), closedir);
  while (d && readdir(d.get())) ++n;
  return n - 2;
}

std::string attrs(const std::string &path) {
  struct stat st {};
  stat(path.c_str(), &st);
  bool dir = S_ISDIR(st.st_mode);
  return "size=" + std::to_string(dir ? 0 : st.st_size) + "\ntime=" + std::to_string(st.st_mtime) +
         "\ntype=" + (dir ? "1" : "0") + "\nbits=" + std::to_string(st.st_mode & 0777) + "\n";
}

// A simulator serving a storage folder of its own.
struct Stored {
  Folder storage;
  std::unique_ptr<SimProcess> sim;
  explicit Stored(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--storage", storage.path});
    sim.reset(new SimProcess(args));
  }
  std::string reply(const std::string &request) const { return exchange(sim->addr(), sim->port(), request).bytes; }
  std::string operator/(const std::string &name) const { return storage / name; }
};

// Sends a request and then `data`, and reads the reply to its end.
std::string put_exchange(const SimProcess &sim, const std::string &request, const std::string &data,
                         bool close_early = false) {
  int fd = simtest::connect_to(sim.addr(), sim.port());
  if (fd < 0) return "no connection";
  std::string out;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) < 0) return "send failed";
  simtest::RawReply first = simtest::read_reply(fd, 300);  // the ready line
  out += first.bytes;
  size_t n = close_early ? data.size() / 2 : data.size();
  for (size_t done = 0; done < n;) {
    ssize_t w = send(fd, data.data() + done, n - done, MSG_NOSIGNAL);
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  if (!close_early) out += simtest::read_reply(fd, 3000).bytes;
  close(fd);
  return out;
}

}  // namespace

TEST(SimFiles, ListingShowsFilesAndFoldersSortedWithTheirAttributes) {
  Stored s;
  ASSERT_TRUE(s.sim->ok()) << s.sim->error();
  put_file(s / "b file", "bb");
  put_file(s / "a", "a");
  ASSERT_EQ(mkdir((s / "c").c_str(), 0700), 0);
  ASSERT_EQ(symlink("/etc", (s / "link").c_str()), 0);
  put_file(s / "line\nbreak", "x");
  put_file(s / ".zr-sim-put-1-2-3", "unfinished");
  EXPECT_EQ(s.reply("dir /\n"),
            "0\na\n" + attrs(s / "a") + "\nb file\n" + attrs(s / "b file") + "\nc\n" + attrs(s / "c") + "\n");
  EXPECT_EQ(s.reply("dir c\n"), "0\n");
  EXPECT_EQ(s.reply("attr b\\ file\n"), "0\n" + attrs(s / "b file") + "\n");
  EXPECT_EQ(s.reply("attr .\n"), "0\n" + attrs(s.storage.path) + "\n");
  EXPECT_EQ(s.reply("dir a\n"), "1034\n");
  EXPECT_EQ(s.reply("dir nothing\n"), "1022\n");
  EXPECT_EQ(s.reply("dir\n"), "3\n");
  EXPECT_EQ(s.reply("dir a b\n"), "3\n");
}

TEST(SimFiles, NoPathLeavesTheStorage) {
  Stored s;
  Folder outside;
  ASSERT_TRUE(s.sim->ok()) << s.sim->error();
  put_file(outside / "secret", "s");
  ASSERT_EQ(symlink(outside.path.c_str(), (s / "out").c_str()), 0);
  ASSERT_EQ(symlink((outside / "secret").c_str(), (s / "file link").c_str()), 0);
  EXPECT_EQ(s.reply("dir ..\n"), "1022\n");
  EXPECT_EQ(s.reply("dir a/../..\n"), "1022\n");
  EXPECT_EQ(s.reply("attr /etc/passwd\n"), "1022\n");  // inside the storage, and missing
  EXPECT_EQ(s.reply("dir out\n"), "1001\n");
  EXPECT_EQ(s.reply("fget out/secret 0\n"), "1001\n");
  EXPECT_EQ(s.reply("fget file\\ link 0\n"), "1001\n");
  EXPECT_EQ(s.reply("fdel file\\ link\n"), "1001\n");
  EXPECT_EQ(s.reply("mkdir out/new\n"), "1001\n");
  EXPECT_EQ(s.reply("attr a\\\\b\n"), "1022\n");  // a backslash in a name
  for (const char *bad : {"a:b", "a*", "q?", "\"x\"", "<", ">", "p|q", ".zr-sim-x"})
    EXPECT_EQ(s.reply(std::string("mkdir ") + bad + "\n"), "1022\n") << bad;
  EXPECT_EQ(s.reply("mkdir " + std::string(256, 'n') + "\n"), "1036\n");
  EXPECT_EQ(s.reply("mkdir " + std::string(255, 'n') + "\n"), "0\n");
  EXPECT_EQ(s.reply("attr " + std::string(1025, '/') + "\n"), "1036\n");
  EXPECT_EQ(s.reply("attr " + std::string(1024, '/') + "\n").substr(0, 2), "0\n");
  EXPECT_EQ(file_content(outside / "secret"), "s");
  EXPECT_EQ(entries(outside.path), 1u);
}

TEST(SimFiles, OperationsAndTheirStatuses) {
  Stored s;
  ASSERT_TRUE(s.sim->ok()) << s.sim->error();
  put_file(s / "f", "content");
  EXPECT_EQ(s.reply("mkdir d\n"), "0\n");
  EXPECT_EQ(s.reply("mkdir d\n"), "1035\n");
  EXPECT_EQ(s.reply("mkdir x/y\n"), "1022\n");
  EXPECT_EQ(s.reply("copy f d/g\n"), "0\n");
  EXPECT_EQ(file_content(s / "d/g"), "content");
  EXPECT_EQ(s.reply("copy f d/g\n"), "1035\n");
  EXPECT_EQ(s.reply("copy d e\n"), "1034\n");
  EXPECT_EQ(s.reply("copy none e\n"), "1022\n");
  EXPECT_EQ(s.reply("rmdir d\n"), "1034\n");
  EXPECT_EQ(s.reply("rmdir f\n"), "1034\n");
  EXPECT_EQ(s.reply("rmdir /\n"), "1001\n");
  EXPECT_EQ(s.reply("fdel d\n"), "1034\n");
  EXPECT_EQ(s.reply("fdel /\n"), "1001\n");
  EXPECT_EQ(s.reply("fdel d/g\n"), "0\n");
  EXPECT_EQ(s.reply("fdel d/g\n"), "1022\n");
  EXPECT_EQ(s.reply("move f d/f\\ moved\n"), "0\n");
  EXPECT_EQ(file_content(s / "d/f moved"), "content");
  EXPECT_EQ(s.reply("move d d/inner\n"), "1034\n");
  EXPECT_EQ(s.reply("move / top\n"), "1001\n");
  EXPECT_EQ(s.reply("move d/f\\ moved d\n"), "1035\n");
  EXPECT_EQ(s.reply("move d e\n"), "0\n");
  EXPECT_EQ(s.reply("rmdir e\n"), "1034\n");
  EXPECT_EQ(s.reply("fdel e/f\\ moved\n"), "0\n");
  EXPECT_EQ(s.reply("rmdir e\n"), "0\n");
  EXPECT_EQ(entries(s.storage.path), 0u);
  for (const char *bad : {"fdel\n", "fdel a b\n", "copy a\n", "move a b c\n", "mkdir\n", "rmdir a b\n"})
    EXPECT_EQ(s.reply(bad), "3\n") << bad;
}

TEST(SimFiles, RefuseAnswersOneRequestWithoutCarryingItOut) {
  Stored s({"--refuse", "move:2:1001", "--refuse", "fdel:1:1021"});
  ASSERT_TRUE(s.sim->ok()) << s.sim->error();
  put_file(s / "a", "first");
  put_file(s / "b", "second");
  EXPECT_EQ(s.reply("move a a2\n"), "0\n");
  EXPECT_EQ(s.reply("move b b2\n"), "1001\n");  // the second move: refused, b stays
  EXPECT_EQ(file_content(s / "b"), "second");
  EXPECT_EQ(s.reply("move b b2\n"), "0\n");
  EXPECT_EQ(s.reply("fdel a2\n"), "1021\n");
  EXPECT_EQ(file_content(s / "a2"), "first");
  EXPECT_EQ(s.reply("fdel a2\n"), "0\n");
  EXPECT_EQ(s.sim->log_lines().size(), 5u) << "refused requests are logged too";
}

TEST(SimFiles, WithoutStorageTheFileServicesAreNotAllowed) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  for (const char *r : {"dir /\n", "attr x\n", "fdel x\n", "copy a b\n", "move a b\n", "mkdir x\n", "rmdir x\n",
                        "fput x 1 0\n", "fget x 0\n"})
    EXPECT_EQ(exchange(sim.addr(), sim.port(), r).bytes, "1001\n") << r;
  // The upgrade needs no storage: without one the image is not looked for.
  EXPECT_EQ(exchange(sim.addr(), sim.port(), "osupg img -\n").bytes, "0\n0 10\n0 50\n0 90\n0 100\n");
}

TEST(SimTransfers, PutStoresAndGetSends) {
  Stored s;
  ASSERT_TRUE(s.sim->ok()) << s.sim->error();
  EXPECT_EQ(put_exchange(*s.sim, "fput new\\ file 5 0\n", "12345"), "0\n0\n");
  EXPECT_EQ(file_content(s / "new file"), "12345");
  EXPECT_EQ(put_exchange(*s.sim, "fput new\\ file 3 9\n", "abc"), "0\n0\n");  // replaces
  EXPECT_EQ(file_content(s / "new file"), "abc");
  EXPECT_EQ(put_exchange(*s.sim, "fput empty 0 0\n", ""), "0\n0\n");
  EXPECT_TRUE(exists(s / "empty"));
  EXPECT_EQ(s.reply("fget new\\ file 0\n"), "0 3\nabc");
  EXPECT_EQ(s.reply("fget empty 0\n"), "0 0\n");
  EXPECT_EQ(s.reply("fget none 0\n"), "1022\n");
  EXPECT_EQ(s.reply("mkdir d\n"), "0\n");
  EXPECT_EQ(s.reply("fget d 0\n"), "1034\n");
  EXPECT_EQ(s.reply("fput d 1 0\n"), "1034\n");
  EXPECT_EQ(s.reply("fput / 1 0\n"), "1034\n");
  EXPECT_EQ(s.reply("fput x/y 1 0\n"), "1022\n");
  EXPECT_EQ(s.reply("fput big 12582913 0\n"), "1021\n");  // more than the available storage
  for (const char *bad :
       {"fput x 1\n", "fput x -1 0\n", "fput x 1 65536\n", "fput x 2147483648 0\n", "fget x\n", "fget x y\n"})
    EXPECT_EQ(s.reply(bad), "3\n") << bad;
  EXPECT_EQ(entries(s.storage.path), 3u);
}

TEST(SimTransfers, AClientThatLeavesEarlyStoresNothing) {
  Stored s;
  ASSERT_TRUE(s.sim->ok()) << s.sim->error();
  put_file(s / "kept", "old");
  EXPECT_EQ(put_exchange(*s.sim, "fput kept 10000 0\n", std::string(10000, 'x'), true), "0\n");
  for (int i = 0; i < 100 && entries(s.storage.path) != 1; ++i) usleep(10000);
  EXPECT_EQ(entries(s.storage.path), 1u);
  EXPECT_EQ(file_content(s / "kept"), "old");
}

TEST(SimTransfers, CloseStallAndSizeSwitches) {
  std::string content(10000, 'c');
  {
    Stored s({"--xfer-close", "100"});
    ASSERT_TRUE(s.sim->ok()) << s.sim->error();
    put_file(s / "f", content);
    simtest::RawReply r = exchange(s.sim->addr(), s.sim->port(), "fget f 0\n");
    EXPECT_EQ(r.bytes, "0 10000\n" + content.substr(0, 100));
    EXPECT_TRUE(r.closed);
    // fput: the connection closes once 100 bytes are taken, without a final status.
    EXPECT_EQ(put_exchange(*s.sim, "fput g 100 0\n", content.substr(0, 100)), "0\n");
    EXPECT_FALSE(exists(s / "g"));
  }
  {
    Stored s({"--xfer-stall", "100"});
    ASSERT_TRUE(s.sim->ok()) << s.sim->error();
    put_file(s / "f", content);
    int fd = simtest::connect_to(s.sim->addr(), s.sim->port());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, "fget f 0\n", 9, MSG_NOSIGNAL), 9);
    simtest::RawReply r = simtest::read_reply(fd, 400);
    EXPECT_EQ(r.bytes, "0 10000\n" + content.substr(0, 100));
    EXPECT_FALSE(r.closed);  // silent, still open
    close(fd);
  }
  {
    Stored s({"--xfer-size", "3"});
    ASSERT_TRUE(s.sim->ok()) << s.sim->error();
    put_file(s / "f", "12345");
    EXPECT_EQ(s.reply("fget f 0\n"), "0 3\n12345");
  }
  {
    // --rate: 3000 bytes at 10000 bytes a second take 0.3 s (most of it, at least).
    Stored s({"--rate", "10000"});
    ASSERT_TRUE(s.sim->ok()) << s.sim->error();
    put_file(s / "f", std::string(3000, 'r'));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(s.reply("fget f 0\n"), "0 3000\n" + std::string(3000, 'r'));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  }
  {
    Stored s({"--final-status", "1021"});
    ASSERT_TRUE(s.sim->ok()) << s.sim->error();
    EXPECT_EQ(put_exchange(*s.sim, "fput f 5 0\n", "12345"), "0\n1021\n");
    EXPECT_FALSE(exists(s / "f"));
  }
  {
    // The other switches shape the streamed reply too; --fault-cmd limits them.
    Stored s({"--close-after", "6", "--fault-cmd", "fget"});
    ASSERT_TRUE(s.sim->ok()) << s.sim->error();
    put_file(s / "f", "12345");
    EXPECT_EQ(s.reply("fget f 0\n"), "0 5\n12");
    EXPECT_EQ(put_exchange(*s.sim, "fput g 5 0\n", "12345"), "0\n0\n");
  }
  {
    Stored s({"--status", "7"});  // replaces the whole exchange: nothing is stored
    ASSERT_TRUE(s.sim->ok()) << s.sim->error();
    EXPECT_EQ(put_exchange(*s.sim, "fput f 5 0\n", "12345"), "7\n");
    EXPECT_FALSE(exists(s / "f"));
  }
}

TEST(SimUpgrade, PlaysItsScript) {
  Stored s({"--osupg", "5,3:40,3:,=no number here,pause:50,-7", "--osupg-first", "1"});
  ASSERT_TRUE(s.sim->ok()) << s.sim->error();
  put_file(s / "os image", "image");
  EXPECT_EQ(s.reply("osupg os\\ image -\n"), "0 1\n0 5\n3 40\n3\nno number here\n0 -7\n");
  EXPECT_EQ(s.reply("osupg missing -\n"), "1022\n");
  EXPECT_EQ(s.reply("osupg / -\n"), "1034\n");
  EXPECT_EQ(s.reply("osupg os\\ image\n"), "3\n");
  EXPECT_EQ(s.sim->requests().front(), "osupg os\\ image -\n");

  SimProcess stalled({"--osupg", "5,stall"});
  ASSERT_TRUE(stalled.ok()) << stalled.error();
  int fd = simtest::connect_to(stalled.addr(), stalled.port());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(send(fd, "osupg i -\n", 10, MSG_NOSIGNAL), 10);
  simtest::RawReply r = simtest::read_reply(fd, 400);
  EXPECT_EQ(r.bytes, "0\n0 5\n");
  EXPECT_FALSE(r.closed);
  close(fd);
}

TEST(SimCommandLine, FileServiceSwitches) {
  simtest::RunResult help = simtest::run_program({zrtest::sim_path(), "--help"});
  EXPECT_EQ(help.exit_code, 0);
  for (const char *word :
       {"--storage", "--osupg", "--osupg-first", "--xfer-close", "--xfer-stall", "--xfer-size", "--final-status",
        "--refuse",  "--rate",  "dir PATH",      "attr PATH",    "fput PATH",    "fget PATH",   "osupg IMAGE",
        "1001",      "1021",    "1022",          "1034",         "1035",         "1036"})
    EXPECT_NE(help.out.find(word), std::string::npos) << word;

  Folder f;
  put_file(f / "file", "x");
  const std::vector<std::vector<std::string>> bad = {
      {"--storage", "/nonexistent-folder"},
      {"--storage", f / "file"},
      {"--storage", ""},
      {"--osupg", ""},
      {"--osupg", "1,,2"},
      {"--osupg", "x"},
      {"--osupg", "pause:x"},
      {"--osupg", "1:x"},
      {"--osupg-first", "x"},
      {"--xfer-close", "-1"},
      {"--xfer-size", "1k"},
      {"--rate", "fast"},
      {"--final-status", "9999999999"},
      {"--refuse", "move"},
      {"--refuse", "move:0:1"},
      {"--refuse", ":1:1"},
      {"--refuse", "move:1:x"},
  };
  for (const auto &c : bad) {
    std::vector<std::string> argv = {zrtest::sim_path(), "--addr", "127.0.0.1", "--port", "0"};
    argv.insert(argv.end(), c.begin(), c.end());
    simtest::RunResult r = simtest::run_program(argv, 3000);
    EXPECT_EQ(r.exit_code, 2) << c.front() << " " << c.back();
    EXPECT_NE(r.err.find("zr-handheld-sim: " + c.front()), std::string::npos) << r.err;
  }
}
