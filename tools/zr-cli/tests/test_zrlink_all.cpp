// zrlink --all on a class of handhelds, the contact sheet, and the streams of pull, push and cat.
#include "cli-screen.h"
#include "cli.h"
#include "private_network.h"
#include "zrlink_shell.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <regex>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// The sheet is drawn in this process too: the font configuration cairo loads for its labels
// stays for the life of the process, as in zrlink (its main says the same).
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

namespace {

using zrlinktest::read_file;
using zrlinktest::sh;
using zrlinktest::Shell;

// Something that answers the discovery probe on 172.16.0.10 and nothing else: every
// command to it fails.
class ProbeOnly {
 public:
  ProbeOnly() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(10003);
    a.sin_addr.s_addr = inet_addr("172.16.0.10");
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (ok_) thread_ = std::thread([this] { serve(); });
  }
  ~ProbeOnly() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[64];
      sockaddr_in from{};
      socklen_t n = sizeof from;
      if (recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &n) > 0)
        sendto(fd_, "orv1", 4, 0, reinterpret_cast<sockaddr *>(&from), n);
    }
  }
  int fd_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A class of three in a private network: ANNA (SER-A) on 172.16.0.2 and BEN (SER-B) on
// 172.16.0.6 with storage, and on 172.16.0.10 one that answers the probe only (labelled
// by its address, as it tells no serial).
class ZrlinkAll : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!net.ok()) GTEST_SKIP() << "no private network namespace: " << net.why();
    std::string why;
    for (const char *a : {"172.16.0.6/32", "172.16.0.10/32"})
      ASSERT_TRUE(zrtest::run_quietly({"ip", "addr", "add", a, "dev", "lo"}, &why)) << why;
    zrtest::WriteFile(root_a + "/os.bin", "image");
    zrtest::WriteFile(root_b + "/os.bin", "image");
    a = std::make_unique<zrtest::SimProcess>(
        std::vector<std::string>{"--storage", root_a, "--set", "eid=SER-A", "--set", "name=ANNA"}, "172.16.0.2");
    b = std::make_unique<zrtest::SimProcess>(
        std::vector<std::string>{"--storage", root_b, "--set", "eid=SER-B", "--set", "name=BEN"}, "172.16.0.6");
    ASSERT_TRUE(a->ok()) << a->error();
    ASSERT_TRUE(b->ok()) << b->error();
    probe_only = std::make_unique<ProbeOnly>();
    ASSERT_TRUE(probe_only->ok());
  }

  // zrlink with args in the test's folder; standard output alone, or with standard error.
  Shell zrlink(const std::string &args, bool with_errors = true, const std::string &input = "") {
    return sh("cd " + dir.path() + " && " + (input.empty() ? "" : "printf " + input + " | ") +
              "env -u ZR_ADDR -u ZR_SERIAL " + ZRLINK_PATH + " " + args + (with_errors ? "" : " 2>/dev/null"));
  }

  // zrlink on a terminal (a pseudo-terminal for its standard input, output and error) with
  // `typed` waiting as input: its exit code and everything the terminal showed.
  Shell on_terminal(const std::string &args, const std::string &typed) {
    return sh("cd " + dir.path() + " && printf \"" + (typed == "y\n" ? "y\\n" : "n\\n") +
              "\" | script -qec \"env -u ZR_ADDR -u ZR_SERIAL " + ZRLINK_PATH + " " + args +
              "\" /dev/null");
  }

  zrtest::PrivateNetwork net{2};
  zrtest::TempDir dir{"zrlink-all"};
  std::string root_a = zrlinktest::fill_storage(dir.path() + "/storage-a");
  std::string root_b = zrlinktest::fill_storage(dir.path() + "/storage-b");
  std::unique_ptr<zrtest::SimProcess> a, b;
  std::unique_ptr<ProbeOnly> probe_only;
};

// Each family of commands on all three at once: the two with storage complete, the third
// fails, and the summary and the exit status say so.
TEST_F(ZrlinkAll, EveryCommandOnEveryHandheld) {
  auto failed_one = [](const Shell &r) {
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("on 3 handhelds: 2 ok, 1 failed: 172.16.0.10\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  SER-A        ok "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  172.16.0.10  failed ("), std::string::npos) << r.out;
    // Each row: the handheld, its result, its seconds with two decimals, its bytes.
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n  SER-B +ok +[0-9]+\\.[0-9]{2} +[0-9]+\n"))) << r.out;
  };
  Shell info = zrlink("--all info");
  failed_one(info);
  EXPECT_NE(info.out.find("SER-A: name               ANNA\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("SER-B: name               BEN\n"), std::string::npos) << info.out;
  Shell ls = zrlink("--all ls /docs");
  failed_one(ls);
  EXPECT_NE(ls.out.find("SER-A: a b.txt\n"), std::string::npos) << ls.out;
  EXPECT_NE(ls.out.find("SER-B: deep/\n"), std::string::npos) << ls.out;
  failed_one(zrlink("--all stat /notes.txt"));

  // Folders on the handhelds: mkdir, mv, rm.
  failed_one(zrlink("--all mkdir -p /class/week1"));
  failed_one(zrlink("--all mv /class/week1 /class/week2"));
  for (const auto &root : {root_a, root_b}) EXPECT_EQ(zrlinktest::tree(root + "/class"), "./week2/\n");
  failed_one(zrlink("--all rm -r /class"));
  for (const auto &root : {root_a, root_b}) EXPECT_EQ(read_file(root + "/class"), "<missing>");

  // Handing out: a file, standard input (read once, sent to each), a folder by sync.
  zrtest::WriteFile(dir.path() + "/task.txt", "do this\n");
  Shell push = zrlink("--all push task.txt /task.txt");
  failed_one(push);
  EXPECT_NE(push.out.find("            8\n"), std::string::npos) << "the bytes of each: " << push.out;
  failed_one(zrlink("--all push - /stdin.txt", true, "piped"));
  std::system(("mkdir -p " + dir.path() + "/handout && echo sheet > " + dir.path() + "/handout/q.txt").c_str());
  failed_one(zrlink("--all sync handout :/handout"));
  for (const auto &root : {root_a, root_b}) {
    EXPECT_EQ(read_file(root + "/task.txt"), "do this\n");
    EXPECT_EQ(read_file(root + "/stdin.txt"), "piped");
    EXPECT_EQ(read_file(root + "/handout/q.txt"), "sheet\n");
  }

  // Collecting: a folder per handheld named by its serial, or the path's {serial} and {name}.
  ASSERT_EQ(sh("mkdir " + dir.path() + "/work").status, 0);
  failed_one(zrlink("--all pull /docs work/"));
  EXPECT_EQ(zrlinktest::tree(dir.path() + "/work"),
            "./SER-A/\n./SER-A/docs/\n./SER-A/docs/a b.txt 5000\n./SER-A/docs/deep/\n./SER-A/docs/deep/z.bin 70000\n"
            "./SER-B/\n./SER-B/docs/\n./SER-B/docs/a b.txt 5000\n./SER-B/docs/deep/\n./SER-B/docs/deep/z.bin 70000\n")
      << "and no empty folder for the one that failed";
  failed_one(zrlink("--all pull /notes.txt \"named/{serial}-{name}/{addr}.txt\""));
  EXPECT_EQ(zrlinktest::tree(dir.path() + "/named"),
            "./SER-A-ANNA/\n./SER-A-ANNA/172.16.0.2.txt 15\n./SER-B-BEN/\n./SER-B-BEN/172.16.0.6.txt 15\n");
  // A handheld whose folder cannot be made fails alone, and says why.
  zrtest::WriteFile(dir.path() + "/blocked/SER-A", "a file where the folder of SER-A goes");
  Shell blocked = zrlink("--all pull /notes.txt blocked/");
  EXPECT_EQ(blocked.status, 1);
  EXPECT_NE(blocked.out.find("SER-A: zrlink: pull: cannot create "), std::string::npos) << blocked.out;
  EXPECT_NE(blocked.out.find("2 failed: SER-A 172.16.0.10\n"), std::string::npos) << blocked.out;
  EXPECT_EQ(read_file(dir.path() + "/blocked/SER-B/notes.txt"), "hello handheld\n");
  failed_one(zrlink("--all sync :/docs back"));
  EXPECT_EQ(read_file(dir.path() + "/back/SER-B/deep/z.bin"), std::string(70000, 'z'));

  // An OS installation on all of them, and --max-handhelds one at a time.
  Shell osupg = zrlink("--all --max-handhelds 1 osupg -y /os.bin");
  failed_one(osupg);
  EXPECT_NE(osupg.out.find("SER-B: installation of /os.bin finished"), std::string::npos) << osupg.out;

  // On a terminal osupg asks once for all of them.
  for (const char *typed : {"n\n", "y\n"}) {
    Shell t = on_terminal("--all osupg /os.bin", typed);
    const std::string question = "Install the OS image /os.bin on 3 handhelds (SER-A, SER-B, 172.16.0.10)? [y/N]";
    EXPECT_NE(t.out.find(question), std::string::npos) << t.out;
    EXPECT_EQ(t.out.find("[y/N]"), t.out.rfind("[y/N]")) << "one question: " << t.out;
    EXPECT_EQ(t.status, 1) << t.out;
    EXPECT_EQ(t.out.find("SER-A: installation of /os.bin finished") != std::string::npos, typed[0] == 'y') << t.out;
  }

  // --json: one object with a member per handheld, the command's own JSON inside.
  Shell json = zrlink("--all --json info", false);
  EXPECT_EQ(json.status, 1);
  EXPECT_EQ(json.out.rfind("{\"command\": \"info\", \"ok\": false, \"failed\": [\"172.16.0.10\"],", 0), 0u) << json.out;
  EXPECT_NE(json.out.find("\"SER-A\": {\"address\": \"172.16.0.2\", \"name\": \"ANNA\", \"serial\": \"SER-A\", "
                          "\"ok\": true, \"exitCode\": 0, \"seconds\": "),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"output\": {\n  \"address\": \"172.16.0.6\",\n  \"name\": \"BEN\","), std::string::npos)
      << json.out;
  const std::regex timed("\"SER-B\": \\{[^\n]*\"seconds\": [0-9]+\\.[0-9]{2}, \"bytes\": [0-9]+,\n");
  EXPECT_TRUE(std::regex_search(json.out, timed)) << json.out;
  // Each member holds the command's own JSON whole, as a single handheld's run gives it.
  std::string own = zrlink("--addr 172.16.0.6 --json info", false).out;
  while (!own.empty() && own.back() == '\n') own.pop_back();
  EXPECT_NE(json.out.find("\"output\": " + own + "}"), std::string::npos) << json.out << "\n" << own;
  EXPECT_NE(json.out.find("\"172.16.0.10\": {\"address\": \"172.16.0.10\", \"name\": \"\", \"serial\": \"\", "
                          "\"ok\": false, \"exitCode\": 3"),
            std::string::npos)
      << json.out;

  // What --all cannot do.
  EXPECT_EQ(zrlink("--all --addr 172.16.0.2 info").status, 2);
  EXPECT_EQ(zrlink("--all pull /notes.txt -").status, 2);
  EXPECT_EQ(zrlink("--all cat /notes.txt").status, 2);
  EXPECT_EQ(zrlink("--addr 172.16.0.2 screenshot --sheet s.png").status, 2);
  EXPECT_EQ(zrlink("--all --max-handhelds 0 info").status, 2);

  // Two that share a serial are labelled by their addresses.
  a->stop();
  b->stop();
  {
    zrtest::SimProcess one({"--set", "eid=SAME"}, "172.16.0.2"), two({"--set", "eid=SAME"}, "172.16.0.6");
    ASSERT_TRUE(one.ok() && two.ok());
    Shell same = zrlink("--all info");
    EXPECT_NE(same.out.find("172.16.0.2: serial             SAME\n"), std::string::npos) << same.out;
    EXPECT_NE(same.out.find("172.16.0.6: serial             SAME\n"), std::string::npos) << same.out;
  }

  // Nobody there.
  probe_only.reset();
  Shell none = zrlink("--all info");
  EXPECT_EQ(none.status, 3);
  EXPECT_NE(none.out.find("no handheld answers"), std::string::npos) << none.out;
}

// A picture the window saves gets "-2", "-3" ... after the dated name while that names a
// file already; the plain dated name stays as it is.
TEST(ZrlinkScreenshot, DatedNamesCountUpPastTheFilesOfTheSameSecond) {
  zrtest::TempDir dir;
  char was[4096];
  ASSERT_NE(getcwd(was, sizeof was), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  std::vector<std::string> names;
  for (int tries = 0; tries < 5; ++tries) {
    names.clear();
    for (int i = 0; i < 3; ++i) {
      names.push_back(zrcli::dated_name(true));
      std::fclose(std::fopen(names.back().c_str(), "w"));
    }
    if (names[0] == zrcli::dated_name()) break;  // else a second passed in between: again
  }
  EXPECT_EQ(chdir(was), 0);
  ASSERT_EQ(names.size(), 3u);
  EXPECT_TRUE(std::regex_match(names[0], std::regex("screenshot-[0-9]{8}-[0-9]{6}\\.png"))) << names[0];
  const std::string base = names[0].substr(0, names[0].size() - 4);
  EXPECT_EQ(names[1], base + "-2.png");
  EXPECT_EQ(names[2], base + "-3.png");
}

// The sheet's cells take the size of the largest picture, however small; 320 x 240 only
// when there is no picture at all.
TEST(ZrlinkSheet, CellsAreAsLargeAsTheLargestPicture) {
  zrtest::TempDir dir;
  zrcli::ScreenImage narrow;
  narrow.width = 1, narrow.height = 5, narrow.bpp = 8;
  narrow.pixels.assign(5, 0x80);
  ASSERT_TRUE(zrcli::write_png(dir.path() + "/narrow.png", narrow));
  auto size_of = [&](const std::vector<zrcli::SheetCell> &cells) {
    std::string why;
    EXPECT_TRUE(zrcli::write_sheet(dir.path() + "/sheet.png", cells, &why)) << why;
    zrlinktest::Picture sheet;
    EXPECT_TRUE(zrlinktest::read_png(dir.path() + "/sheet.png", &sheet));
    return std::make_pair(sheet.width, sheet.height);
  };
  EXPECT_EQ(size_of({{dir.path() + "/narrow.png", "A"}}), std::make_pair(1u + 16, 8u + 5 + 24));
  EXPECT_EQ(size_of({{"", "A"}, {dir.path() + "/none.png", "B"}}), std::make_pair(2u * 336, 8u + 240 + 24));
}

// A parent that is killed leaves no child behind, also none that was writing lines nobody
// will read now (the parent's own output blocked, so its children's pipes are full).
TEST_F(ZrlinkAll, NoChildOutlivesAKilledParent) {
  const std::string names = "touch $(seq -f a-file-with-a-long-name-%g 6000)";
  ASSERT_EQ(sh("mkdir " + root_a + "/big && cd " + root_a + "/big && " + names).status, 0);
  // Its output into a FIFO that nobody reads; the parent killed once the pipes are full.
  Shell r = sh("cd " + dir.path() + " && mkfifo out && exec 3<>out; env -u ZR_ADDR -u ZR_SERIAL " + ZRLINK_PATH +
               " --all ls /big >out 2>/dev/null & p=$!; exec 2>/dev/null; sleep 2; "
               "kids=$(cat /proc/$p/task/*/children); kill -9 $p; wait $p; sleep 1; "
               "for k in $kids; do grep -qs \"State:.[^Z]\" /proc/$k/status && kill -9 $k && echo left $k; done; true");
  EXPECT_EQ(r.out, "");
}

// With descriptors running out, wherever that is (the probes, a child's pipes, its
// sockets), each run ends with a message and an exit status, never on a signal.
TEST_F(ZrlinkAll, DescriptorsRunningOutEndWithAMessage) {
  for (int limit = 6; limit <= 30; ++limit) {
    Shell r = sh("cd " + dir.path() + " && ulimit -n " + std::to_string(limit) + " && env -u ZR_ADDR -u ZR_SERIAL " +
                 ZRLINK_PATH + " --all ls / >/dev/null 2>err; echo \"exit $?\"; cat err");
    const int status = std::atoi(r.out.c_str() + 5);
    EXPECT_TRUE(status == 0 || status == 1) << limit << ": " << r.out;
    if (status != 0) EXPECT_NE(r.out.find("zrlink: "), std::string::npos) << limit << ": " << r.out;
  }
}

// The contact sheet: every screen in a grid, each with its label; the one without a
// picture gets a grey cell, and the single screenshots lie in a folder per handheld.
TEST_F(ZrlinkAll, ContactSheet) {
  Shell r = zrlink("--all screenshot --sheet class.png shot.png");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_NE(r.out.find("contact sheet of 3 screens: class.png"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("SER-A: SER-A/shot.png: 320 x 240"), std::string::npos) << r.out;
  EXPECT_NE(read_file(dir.path() + "/SER-B/shot.png"), "<missing>");

  zrlinktest::Picture sheet;
  ASSERT_TRUE(zrlinktest::read_png(dir.path() + "/class.png", &sheet));
  const unsigned width = sheet.width, height = sheet.height;
  // Two columns and two rows of 320 x 240 screens, each with an 8-pixel margin and a
  // 24-pixel label band.
  const unsigned cell_w = 320 + 2 * 8, cell_h = 8 + 240 + 24;
  EXPECT_EQ(width, 2 * cell_w);
  EXPECT_EQ(height, 2 * cell_h);
  auto dark_in_band = [&](unsigned column, unsigned row) {
    int dark = 0;
    for (unsigned y = row * cell_h + 8 + 240; y < (row + 1) * cell_h && y < height; ++y)
      for (unsigned x = column * cell_w; x < (column + 1) * cell_w && x < width; ++x)
        if (sheet.at(x, y)[0] < 128) ++dark;
    return dark;
  };
  if (width == 2 * cell_w && height == 2 * cell_h) {
    EXPECT_GT(dark_in_band(0, 0), 20) << "the first label";
    EXPECT_GT(dark_in_band(1, 0), 20) << "the second label";
    EXPECT_GT(dark_in_band(0, 1), 20) << "the third label";
    EXPECT_EQ(dark_in_band(1, 1), 0) << "no fourth cell";
    const uint8_t *grey = sheet.at(100, cell_h + 100);  // the cell of the one without a screen
    EXPECT_TRUE(grey[0] == grey[1] && grey[1] == grey[2] && grey[0] > 150 && grey[0] < 250) << int(grey[0]);
    const uint8_t *screen = sheet.at(8, 8);  // the screen of the first, as its own picture has it
    EXPECT_FALSE(screen[0] == 255 && screen[1] == 255 && screen[2] == 255);
  }
}

// Streams on one handheld: pull to standard output, cat, push from standard input; nothing
// reaches standard output unless every file arrived whole.
TEST(ZrlinkStreams, PullCatAndPushFromStandardInput) {
  zrlinktest::Handheld h;
  ASSERT_TRUE(h.sim.ok()) << h.sim.error();
  const std::string z = zrlinktest::zrlink_for(h);
  Shell pull = sh(z + " pull /notes.txt - 2>/dev/null");
  EXPECT_EQ(pull.status, 0);
  EXPECT_EQ(pull.out, "hello handheld\n");
  Shell cat = sh(z + " cat /notes.txt \"/docs/a b.txt\" /notes.txt 2>/dev/null");
  EXPECT_EQ(cat.status, 0);
  EXPECT_EQ(cat.out, "hello handheld\n" + std::string(5000, 'a') + "hello handheld\n");
  Shell missing = sh(z + " cat /notes.txt /nothing.txt");
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out.find("hello handheld"), std::string::npos) << "nothing partial: " << missing.out;
  EXPECT_NE(missing.out.find("/nothing.txt"), std::string::npos) << missing.out;
  // A file cut off in the middle: not a byte of any of them.
  zrlinktest::Handheld cut({"--fault-cmd", "fget", "--close-after", "3000"});
  ASSERT_TRUE(cut.sim.ok()) << cut.sim.error();
  for (const char *what : {" cat /notes.txt \"/docs/a b.txt\"", " pull \"/docs/a b.txt\" -"}) {
    Shell r = sh(zrlinktest::zrlink_for(cut) + what + " 2>/dev/null");
    EXPECT_NE(r.status, 0) << what;
    EXPECT_EQ(r.out, "") << what;
  }
  Shell folder = sh(z + " pull /docs - 2>&1 >/dev/null");
  EXPECT_EQ(folder.status, 1);
  EXPECT_NE(folder.out.find("/docs is a folder on the handheld"), std::string::npos) << folder.out;

  Shell push = sh("head -c 100000 /dev/zero | tr \"\\\\0\" x | " + z + " push - /from-stdin.txt");
  EXPECT_EQ(push.status, 0) << push.out;
  EXPECT_EQ(read_file(h.root + "/from-stdin.txt"), std::string(100000, 'x'));
  Shell into = sh("echo x | " + z + " push - /docs");
  EXPECT_EQ(into.status, 1);
  EXPECT_NE(into.out.find("/docs is a folder"), std::string::npos) << into.out;
  EXPECT_EQ(sh("echo x | " + z + " push - /notes.txt /docs/").status, 2);
  // One byte, the least a stream carries, both ways.
  EXPECT_EQ(sh("printf 1 | " + z + " push - /one.txt").status, 0);
  EXPECT_EQ(read_file(h.root + "/one.txt"), "1");
  EXPECT_EQ(sh(z + " cat /one.txt 2>/dev/null").out, "1");
}

}  // namespace
