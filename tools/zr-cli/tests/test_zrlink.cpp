// zrlink as a user runs it: exit codes, output and the files it leaves.
#include "cli-progress.h"
#include "private_network.h"
#include "sim-pattern.h"
#include "sim_process.h"
#include "test_files.h"
#include "zrlink_shell.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

// Where and how zrlink runs: its working folder, standard output on a full device, and
// variables of its environment.
struct Setting {
  std::string cwd;
  bool full_output = false;
  std::vector<std::pair<std::string, std::string>> env;
  // Root without the capabilities that pass over file permissions, so that a folder
  // without read permission cannot be read.
  bool keep_file_permissions = false;
};

// Replaces the calling (forked) process with zrlink and args.
[[noreturn]] void exec_zrlink(const std::vector<std::string> &args) {
  std::vector<char *> argv{const_cast<char *>(ZRLINK_PATH)};
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execv(ZRLINK_PATH, argv.data());
  _exit(127);
}

// The child processes of a process, as the kernel lists them (the oldest first).
std::vector<pid_t> children_of(pid_t pid) {
  std::istringstream list(
      zrtest::ReadFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children").value_or(""));
  std::vector<pid_t> children;
  for (pid_t child; list >> child;) children.push_back(child);
  return children;
}

// Runs zrlink with args and returns its exit code and both output streams.
Result zrlink(const std::vector<std::string> &args, const Setting &setting = Setting()) {
  char out_name[] = "/tmp/zrlink-out-XXXXXX", err_name[] = "/tmp/zrlink-err-XXXXXX";
  int out = mkstemp(out_name), err = mkstemp(err_name);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(setting.full_output ? open("/dev/full", O_WRONLY) : out, 1);
    dup2(err, 2);
    if (!setting.cwd.empty() && chdir(setting.cwd.c_str()) != 0) _exit(126);
    unsetenv("ZR_ADDR");
    unsetenv("ZR_SERIAL");
    // No DHCP service's table unless the test makes one (a service running on the machine
    // is none of the tests' business).
    setenv("ZR_DHCP_RUN_DIR", "/nonexistent/zr-dhcp", 1);
    for (const auto &e : setting.env) setenv(e.first.c_str(), e.second.c_str(), 1);
    if (setting.keep_file_permissions && (prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0 ||
                                          prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0))
      _exit(125);
    exec_zrlink(args);
  }
  Result r;
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  auto slurp = [](int fd) {
    std::string s;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    close(fd);
    return s;
  };
  r.out = slurp(out);
  r.err = slurp(err);
  unlink(out_name);
  unlink(err_name);
  return r;
}

// Runs zrlink on a terminal (a pseudo-terminal as its standard input, output and error)
// with `typed` waiting as input, `columns` wide; the exit code and everything the terminal
// showed (in out).
Result zrlink_on_terminal(const std::vector<std::string> &args, const std::string &typed,
                          unsigned short columns = 80) {
  int terminal = -1;
  winsize size{24, columns, 0, 0};
  pid_t pid = forkpty(&terminal, nullptr, nullptr, &size);
  if (pid == 0) {
    unsetenv("ZR_ADDR");
    unsetenv("ZR_SERIAL");
    exec_zrlink(args);
  }
  Result r;
  if (pid < 0) return r;
  if (write(terminal, typed.data(), typed.size()) != static_cast<ssize_t>(typed.size())) r.err = "could not type";
  char buf[4096];
  for (;;) {
    pollfd p{terminal, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;  // nothing for 10 s: the status below tells
    ssize_t n = read(terminal, buf, sizeof buf);
    if (n <= 0) break;  // the program has ended (EIO)
    r.out.append(buf, static_cast<size_t>(n));
  }
  // The terminal ends a moment before the program does: wait for it, up to 5 s.
  int st = 0;
  pid_t done = 0;
  for (int i = 0; i < 100 && (done = waitpid(pid, &st, WNOHANG)) == 0; ++i) usleep(50 * 1000);
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    st = -1;
  }
  close(terminal);
  r.status = st == -1 ? -1 : WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

// zrlink against a simulator: its --addr goes before the arguments.
Result zrlink_at(const zrtest::SimProcess &sim, std::vector<std::string> args) {
  args.insert(args.begin(), {"--addr", sim.addr_text()});
  return zrlink(args);
}

using TempDir = zrtest::TempDir;

TEST(ZrlinkCommandLine, UsageErrorsExitWith2) {
  EXPECT_EQ(zrlink({}).status, 2);
  Result r = zrlink({"frobnicate"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("unknown command"), std::string::npos);
  EXPECT_EQ(zrlink({"info", "--bogus"}).status, 2);
  Result bad_addr = zrlink({"--addr", "not an address!", "info"});
  EXPECT_EQ(bad_addr.status, 2);
  EXPECT_NE(bad_addr.err.find("zrlink: not an address: not an address!\n"), std::string::npos) << bad_addr.err;
  EXPECT_EQ(zrlink({"--addr", "127.0.0.1", "mv", "only-one"}).status, 2);
  Result extra = zrlink({"--addr", "127.0.0.1", "info", "extra"});
  EXPECT_EQ(extra.status, 2);
  EXPECT_NE(extra.err.find("too many operands"), std::string::npos) << extra.err;
  EXPECT_EQ(zrlink({"wait", "--timeout", "soon"}).status, 2);
  for (const char *jobs : {"0", "x", "65", "-1", ""})
    EXPECT_EQ(zrlink({"--addr", "127.0.0.1", "push", "-j", jobs, "a", "/b"}).status, 2) << jobs;
  EXPECT_EQ(zrlink({"--addr", "127.0.0.1", "pull", "/a", "b", "-j"}).status, 2);
  // Operands that only the command itself can judge: each refusal says what is wrong.
  for (const auto &[args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--addr", "127.0.0.1", "sync", "a", "b"}, "sync: one side must be the handheld's, written :PATH"},
           {{"--addr", "127.0.0.1", "pull", "--json", "/a", "-"}, "--json and - both want standard output"},
           {{"--addr", "127.0.0.1", "push", "a", "-", "/b"}, "push: - (standard input) is sent alone"},
           {{"--all", "screenshot", "-"}, "screenshot --all writes a file per handheld, not standard output"}}) {
    Result refused = zrlink(args);
    EXPECT_EQ(refused.status, 2) << refused.err;
    EXPECT_NE(refused.err.find(says), std::string::npos) << refused.err;
  }

  // Every number an option takes, at both ends of its range (taken: the command runs and
  // fails otherwise, or waits for nothing) and just past them (a usage error).  The
  // handheld counts are taken in a private network (TheEnvironmentChoosesTheHandheld...).
  zrtest::SimProcess sim;
  ASSERT_TRUE(sim.ok());
  TempDir here;
  const std::string none = "127.0.0.1", live = sim.addr_text(), gif = here.path() + "/r.gif";
  struct Range {
    std::string addr;
    std::vector<std::string> before;
    std::vector<std::string> taken, refused;
    std::vector<std::string> after;
  };
  const Range ranges[] = {
      {none, {"push", "-j"}, {"1", "64"}, {"0", "65"}, {"/nothing-here", "/b"}},
      {none, {"wait", "--count"}, {}, {"0", "16385"}, {}},  // taken: below, in a private network
      {live, {"wait", "--timeout"}, {"0", "86400"}, {"-0.5", "86400.5"}, {}},
      {none, {"screen", "--no-window", "--record", gif, "--duration"}, {"0.001", "86400"}, {"0", "86400.5"}, {}},
      {none, {"screen", "--no-window", "--record", gif, "--scale"}, {"1", "16"}, {"0", "17"}, {}},
  };
  for (const Range &range : ranges) {
    for (bool taken : {true, false}) {
      for (const std::string &value : taken ? range.taken : range.refused) {
        std::vector<std::string> args{"--addr", range.addr};
        args.insert(args.end(), range.before.begin(), range.before.end());
        args.push_back(value);
        args.insert(args.end(), range.after.begin(), range.after.end());
        Result r = zrlink(args);
        if (taken)
          EXPECT_NE(r.status, 2) << range.before.back() << " " << value << ": " << r.err;
        else
          EXPECT_EQ(r.status, 2) << range.before.back() << " " << value << ": " << r.err;
      }
    }
  }
  // The operands each usage line names: one fewer than the least and one more than the
  // most are refused; the least goes past the count (and then fails to reach a handheld).
  struct Operands {
    const char *command;
    int least, most;  // most -1: any number
  };
  const Operands operands[] = {{"list", 0, 0},   {"info", 0, 0},  {"ls", 0, 1},   {"stat", 1, -1}, {"mkdir", 1, 1},
                               {"rmdir", 1, 1},  {"rm", 1, 1},    {"mv", 2, 2},   {"cp", 2, 2},    {"push", 2, -1},
                               {"pull", 1, -1},  {"mount", 1, 1}, {"sync", 2, 2}, {"cat", 1, -1},  {"screenshot", 0, 1},
                               {"screen", 0, 0}, {"osupg", 1, 1}, {"wait", 0, 0}};
  Setting in_here;
  in_here.cwd = here.path();
  for (const Operands &c : operands) {
    auto given = [&](int n) {
      std::vector<std::string> args{"--addr", none, c.command};
      for (int i = 0; i < n; ++i) args.push_back(i == 1 ? ":/b" + std::to_string(i) : "/nothing/" + std::to_string(i));
      return zrlink(args, in_here);
    };
    if (c.least > 0) {
      Result few = given(c.least - 1), least = given(c.least);
      EXPECT_EQ(few.status, 2) << c.command;
      EXPECT_NE(few.err.find("too few operands"), std::string::npos) << c.command << ": " << few.err;
      EXPECT_EQ(least.err.find("operands"), std::string::npos) << c.command << ": " << least.err;
    }
    if (c.most >= 0) {
      Result many = given(c.most + 1);
      EXPECT_EQ(many.status, 2) << c.command;
      EXPECT_NE(many.err.find("too many operands"), std::string::npos) << c.command << ": " << many.err;
    }
  }
  Result help = zrlink({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("screenshot [OUT.png"), std::string::npos);
}

TEST(ZrlinkDevice, InfoAsTableAndJson) {
  zrtest::SimProcess sim({"--set", "name=CALC-9", "--set", "disk=8388608,1048575,1048576", "--set",
                          "bat=64,0,0,0,0,0,0,0", "--set", "ver=2,1,0,7"});
  ASSERT_TRUE(sim.ok());
  Result r = zrlink({"--addr", sim.addr_text(), "info"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("CALC-9"), std::string::npos);
  // Sizes in KiB below 1 MiB, from there in MiB.
  EXPECT_NE(r.out.find("8.0 MiB total, 1023 KiB available\n" + std::string(19, ' ') +
                       "1.0 MiB more needed for an OS installation\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("64%"), std::string::npos);
  EXPECT_NE(r.out.find("2.1.0.7"), std::string::npos);
  EXPECT_NE(r.out.find("320 x 240, 16 bits per pixel (153600 bytes)"), std::string::npos) << r.out;
  // Every row, in order, its label in a column of 18 and a space.
  size_t at = 0;
  for (std::string label : {"handheld", "name", "serial", "network", "storage", "memory", "battery", "screen",
                            "OS version", "boot versions", "hardware version", "OS install ready"}) {
    label.resize(19, ' ');
    at = r.out.find((at == 0 ? "" : "\n") + label, at);
    ASSERT_NE(at, std::string::npos) << label << " in\n" << r.out;
  }
  EXPECT_EQ(r.out.rfind("handheld" + std::string(11, ' ') + sim.addr_text() + "\n", 0), 0u) << r.out;

  Result j = zrlink({"info", "--json", "--addr=" + sim.addr_text()});
  ASSERT_EQ(j.status, 0) << j.err;
  EXPECT_NE(j.out.find("\"name\": \"CALC-9\""), std::string::npos) << j.out;
  EXPECT_NE(j.out.find("\"battery\": 64"), std::string::npos);
  EXPECT_NE(j.out.find("\"total\": 8388608"), std::string::npos);
  EXPECT_NE(j.out.find("\"bytes\": 153600"), std::string::npos) << j.out;
  EXPECT_NE(j.out.find("\"serialBytes\": \"83.73.77.0.0.0.0.1\"\n}"), std::string::npos) << j.out;
  EXPECT_EQ(j.out.front(), '{');
}

TEST(ZrlinkDevice, FailuresNameTheCode) {
  zrtest::SimProcess sim({"--status", "1001"});
  ASSERT_TRUE(sim.ok());
  Result r = zrlink({"--addr", sim.addr_text(), "info"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("status 1001 (permission denied)"), std::string::npos) << r.err;
  // A status that names a handheld file's trouble says so only where a file was at stake.
  zrtest::SimProcess full({"--status", "1021"});
  ASSERT_TRUE(full.ok());
  Result info = zrlink({"--addr", full.addr_text(), "info"});
  EXPECT_EQ(info.status, 1);
  EXPECT_NE(info.err.find("(-1021)"), std::string::npos) << info.err;
  EXPECT_EQ(info.err.find("no space left on the handheld for"), std::string::npos) << info.err;

  uint32_t nobody = zrtest::fresh_loopback();
  std::string text = zrtest::addr_text(nobody);
  Result none = zrlink({"--addr", "127.0.0.1", "--addr", text, "info"});
  EXPECT_EQ(none.status, 3) << "a named handheld that does not answer is no handheld";
  EXPECT_NE(none.err.find("does not answer (-211)"), std::string::npos) << none.err;
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"push", "/etc/hostname", "/"}, {"pull", "/x"}, {"ls"}, {"screenshot", "-"}}) {
    args.insert(args.begin(), {"--addr", text});
    EXPECT_EQ(zrlink(args).status, 3) << args[2];
  }
}

TEST(ZrlinkScreenshot, PngShowsTheTestPattern) {
  for (const char *geo : {"sgeo=240,320,16,0", "sgeo=64,48,32,0", "sgeo=20,30,24,0", "sgeo=30,40,8,0"}) {
    zrtest::SimProcess sim({"--set", geo});
    ASSERT_TRUE(sim.ok());
    TempDir dir;
    std::string out = dir.path() + "/screen.png";
    Result r = zrlink({"--addr", sim.addr_text(), "screenshot", out});
    ASSERT_EQ(r.status, 0) << r.err;
    zrlinktest::Picture pic;
    ASSERT_TRUE(zrlinktest::read_png(out, &pic)) << geo;
    const unsigned w = pic.width, h = pic.height;
    zrsim::ScreenGeometry g;
    std::sscanf(geo, "sgeo=%u,%u,%u", &g.height, &g.width, &g.bits_per_pixel);
    ASSERT_EQ(w, g.width);
    ASSERT_EQ(h, g.height);
    for (unsigned y = 0; y < h; y += 7) {
      for (unsigned x = 0; x < w; x += 5) {
        auto want = zrsim::pattern_rgb(g, x, y);
        const uint8_t *p = pic.at(x, y);
        if (g.bits_per_pixel == 16) {
          // RGB565 keeps the top 5, 6 and 5 bits.
          EXPECT_EQ(p[0] >> 3, want.red >> 3) << geo << " " << x << "," << y;
          EXPECT_EQ(p[1] >> 2, want.green >> 2);
          EXPECT_EQ(p[2] >> 3, want.blue >> 3);
        } else if (g.bits_per_pixel == 8) {
          EXPECT_EQ(p[0], zrsim::pattern_pixel(g, x, y)) << x << "," << y;
        } else {
          EXPECT_EQ(p[0], want.red);
          EXPECT_EQ(p[1], want.green);
          EXPECT_EQ(p[2], want.blue);
        }
      }
    }
  }
}

// Pixels of 8, 16, 24 and 32 bits have a picture format; a screen of any other depth, or of
// no width or height, is refused with the handheld's figures and without a file.
TEST(ZrlinkScreenshot, AScreenWithoutAPictureFormatIsRefused) {
  for (const char *geo : {"sgeo=30,40,12,0", "sgeo=30,40,0,0", "sgeo=0,40,8,0", "sgeo=30,0,8,0"}) {
    zrtest::SimProcess sim({"--set", geo});
    ASSERT_TRUE(sim.ok());
    TempDir dir;
    Result r = zrlink({"--addr", sim.addr_text(), "screenshot", dir.path() + "/screen.png"});
    EXPECT_EQ(r.status, 1) << geo;
    EXPECT_NE(r.err.find("bits per pixel, which has no picture format"), std::string::npos) << geo << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << geo;
  }
}

TEST(ZrlinkScreenshot, ShortImageFailsWithoutLeavingAFile) {
  zrtest::SimProcess sim({"--fault-cmd", "scrn", "--reply", "0 100\\nabc"});
  ASSERT_TRUE(sim.ok());
  TempDir dir;
  std::string out = dir.path() + "/screen.png";
  Result r = zrlink({"--addr", sim.addr_text(), "screenshot", out});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("zrlink: screenshot: the handheld sent 3 of 153600 bytes\n"), std::string::npos) << r.err;
  EXPECT_NE(access(out.c_str(), F_OK), 0);
  EXPECT_NE(access((out + ".part").c_str(), F_OK), 0);
}

}  // namespace

namespace {

// A simulator serving a storage folder with a few files and folders.
struct Storage {
  TempDir dir;
  std::string root;
  explicit Storage() : root(dir.path() + "/storage") {
    std::system(("mkdir -p '" + root + "/docs/deep' '" + root + "/empty'").c_str());
    write(root + "/notes.txt", "hello handheld\n");
    write(root + "/docs/a b.txt", std::string(5000, 'a'));
    write(root + "/docs/deep/z.bin", std::string(70000, 'z'));
  }
  static void write(const std::string &path, const std::string &content) { zrtest::WriteFile(path, content); }
  static std::string read(const std::string &path) { return zrtest::ReadFile(path).value_or("<missing>"); }
};

// Every file below a folder with its content, for comparing trees.
std::string tree(const std::string &root) {
  std::string cmd = "cd '" + root + "' && find . -type f -o -type d | LC_ALL=C sort";
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  char buf[512];
  while (p && std::fgets(buf, sizeof buf, p)) {
    std::string line(buf);
    line.pop_back();
    out += line;
    struct stat st;
    if (::stat((root + "/" + line).c_str(), &st) == 0 && S_ISREG(st.st_mode)) out += " " + std::to_string(st.st_size);
    out += "\n";
  }
  if (p) pclose(p);
  return out;
}

TEST(ZrlinkFiles, ListingAndAttributes) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root});
  ASSERT_TRUE(sim.ok());
  Result r = zrlink({"--addr", sim.addr_text(), "ls", "/"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "docs/\nempty/\nnotes.txt\n");
  Result l = zrlink({"--addr", sim.addr_text(), "ls", "-l", "/docs"});
  ASSERT_EQ(l.status, 0) << l.err;
  EXPECT_NE(l.out.find("-       5000  "), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("a b.txt\n"), std::string::npos);
  EXPECT_NE(l.out.find("deep/\n"), std::string::npos);
  Result s = zrlink({"--addr", sim.addr_text(), "stat", "/notes.txt", "/docs"});
  ASSERT_EQ(s.status, 0) << s.err;
  EXPECT_NE(s.out.find("size   15 bytes"), std::string::npos) << s.out;
  EXPECT_NE(s.out.find("type   folder"), std::string::npos);
  Result missing = zrlink({"--addr", sim.addr_text(), "ls", "/nope"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("1022"), std::string::npos) << missing.err;
}

TEST(ZrlinkFiles, OperationsAndTheirRefusals) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root});
  ASSERT_TRUE(sim.ok());
  auto run = [&](const std::vector<std::string> &args) { return zrlink_at(sim, args); };
  EXPECT_EQ(run({"mkdir", "/new"}).status, 0);
  Result again = run({"mkdir", "/new"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("/new already exists on the handheld (handheld status 1035)"), std::string::npos)
      << again.err;
  EXPECT_EQ(run({"cp", "/notes.txt", "/new/copy.txt"}).status, 0);
  EXPECT_EQ(Storage::read(st.root + "/new/copy.txt"), "hello handheld\n");
  EXPECT_EQ(run({"mv", "/new/copy.txt", "/moved.txt"}).status, 0);
  EXPECT_EQ(Storage::read(st.root + "/moved.txt"), "hello handheld\n");
  Result notempty = run({"rmdir", "/docs"});
  EXPECT_EQ(notempty.status, 1);
  EXPECT_NE(notempty.err.find("1034"), std::string::npos);
  EXPECT_EQ(run({"rm", "/moved.txt"}).status, 0);
  EXPECT_EQ(run({"rmdir", "/new"}).status, 0);
  EXPECT_EQ(Storage::read(st.root + "/moved.txt"), "<missing>");
  // A path with a line break never reaches the handheld.
  Result smuggle = run({"rm", "/notes.txt\nfdel /docs/a b.txt"});
  EXPECT_EQ(smuggle.status, 1);
  EXPECT_EQ(Storage::read(st.root + "/docs/a b.txt"), std::string(5000, 'a'));
}

TEST(ZrlinkFiles, PushAndPullWholeFolders) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root});
  ASSERT_TRUE(sim.ok());
  TempDir host;
  Result pull = zrlink({"--addr", sim.addr_text(), "pull", "/docs", "/notes.txt", host.path()});
  ASSERT_EQ(pull.status, 0) << pull.err;
  EXPECT_EQ(tree(host.path()),
            ".\n./docs\n./docs/a b.txt 5000\n./docs/deep\n./docs/deep/z.bin 70000\n"
            "./notes.txt 15\n");
  EXPECT_EQ(Storage::read(host.path() + "/docs/deep/z.bin"), std::string(70000, 'z'));
  // Not a terminal: one line per file instead of a progress display.
  EXPECT_NE(pull.out.find("/docs/deep/z.bin -> "), std::string::npos) << pull.out;
  // --progress without a terminal: each step a line of its own, the last at 100 %.
  Result shown = zrlink({"--addr", sim.addr_text(), "--progress", "pull", "/docs/deep/z.bin", host.path() + "/z2.bin"});
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_NE(shown.err.find("z2.bin 100% 68.4 KiB/68.4 KiB "), std::string::npos) << shown.err;
  EXPECT_NE(shown.err.find(" ETA 0:00\n"), std::string::npos) << shown.err;
  EXPECT_EQ(shown.err.find("   0% 0 B/"), std::string::npos) << "no empty first line: " << shown.err;
  // Of several files, the share of them all as well.
  TempDir both;
  Result two = zrlink({"--addr", sim.addr_text(), "--progress", "pull", "/notes.txt", "/docs/deep/z.bin", both.path()});
  ASSERT_EQ(two.status, 0) << two.err;
  EXPECT_TRUE(std::regex_search(two.err, std::regex(" 100% [^\n]* all 100% \\([12]/2\\) "))) << two.err;
  // From a slow handheld (0.7 s for the file) the steps on the way are shown too.
  zrtest::SimProcess slow({"--storage", st.root, "--rate", "100000"});
  ASSERT_TRUE(slow.ok());
  Result slowly =
      zrlink({"--addr", slow.addr_text(), "--progress", "pull", "/docs/deep/z.bin", host.path() + "/z3.bin"});
  ASSERT_EQ(slowly.status, 0) << slowly.err;
  EXPECT_TRUE(std::regex_search(slowly.err, std::regex("z3\\.bin +[1-9][0-9]?% "))) << slowly.err;

  Storage::write(host.path() + "/docs/added.txt", "new on the host");
  Result push = zrlink({"--addr", sim.addr_text(), "-q", "push", host.path() + "/docs", "/empty"});
  ASSERT_EQ(push.status, 0) << push.err;
  EXPECT_EQ(push.out, "");
  EXPECT_EQ(tree(st.root + "/empty"),
            ".\n./docs\n./docs/a b.txt 5000\n./docs/added.txt 15\n"
            "./docs/deep\n./docs/deep/z.bin 70000\n");
  // One file to a new name.
  Result one = zrlink({"--addr", sim.addr_text(), "-q", "push", host.path() + "/notes.txt", "/n2.txt"});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(Storage::read(st.root + "/n2.txt"), "hello handheld\n");
}

// On a terminal the progress line is redrawn in place, as wide as the terminal leaves room
// for (two columns short of its width), a long name shortened at its front; a transfer of
// several files also shows the whole transfer's share.
TEST(ZrlinkProgress, OnATerminalOneLineIsRedrawnToTheTerminalsWidth) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root});
  ASSERT_TRUE(sim.ok());
  TempDir host;
  const std::string into = host.path() + "/" + std::string(70, 'f');
  ASSERT_EQ(mkdir(into.c_str(), 0755), 0);
  Result r = zrlink_on_terminal({"--addr", sim.addr_text(), "pull", "/notes.txt", "/docs/deep/z.bin", into}, "", 60);
  ASSERT_EQ(r.status, 0) << r.out;
  size_t lines = 0;
  for (size_t at = r.out.find('\r'); at != std::string::npos; at = r.out.find('\r', at + 1)) {
    size_t end = r.out.find("\033[K", at);
    if (end == std::string::npos || r.out.find('\r', at + 1) < end) continue;
    const std::string line = r.out.substr(at + 1, end - at - 1);
    ++lines;
    EXPECT_EQ(line.size(), 58u) << line;
    EXPECT_EQ(line.compare(0, 3, "..."), 0) << line;
    EXPECT_NE(line.find(" | all "), std::string::npos) << line;
  }
  EXPECT_GE(lines, 2u) << r.out;
  EXPECT_NE(r.out.find("(2/2)"), std::string::npos) << r.out;
}

// The progress line's units: each changes at its boundary and not one step before.
TEST(ZrlinkProgress, TimesAndSizesChangeUnitAtTheirBoundaries) {
  using zrcli::Progress;
  const std::pair<double, const char *> times[] = {
      {0, "0:00"},       {59.4, "0:59"},      {59.5, "1:00"},      {61, "1:01"},        {119, "1:59"},
      {3599, "59:59"},   {3600, "1:00:00"},   {3661, "1:01:01"},   {7199, "1:59:59"},   {359999, "99:59:59"},
      {359999.1, "--:--"},   {-1, "--:--"}};
  for (const auto &[seconds, shown] : times) EXPECT_EQ(Progress::duration(seconds), shown) << seconds;
  const std::pair<uint64_t, const char *> sizes[] = {
      {0, "0 B"},           {1023, "1023 B"},        {1024, "1.0 KiB"},           {1536, "1.5 KiB"},
      {1048575, "1024.0 KiB"}, {1048576, "1.0 MiB"}, {1073741823, "1024.0 MiB"}, {1073741824, "1.00 GiB"},
      {5ull << 40, "5120.00 GiB"}};
  for (const auto &[n, shown] : sizes) EXPECT_EQ(Progress::bytes(n), shown) << n;
}

TEST(ZrlinkFiles, FailedPullLeavesNothingPartial) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root, "--xfer-close", "20000"});
  ASSERT_TRUE(sim.ok());
  TempDir host;
  Storage::write(host.path() + "/z.bin", "the host's own content");
  std::string before = tree(host.path());
  Result r = zrlink({"--addr", sim.addr_text(), "pull", "/docs/deep/z.bin", host.path()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(tree(host.path()), before);
  EXPECT_EQ(Storage::read(host.path() + "/z.bin"), "the host's own content");
  Result fresh = zrlink({"--addr", sim.addr_text(), "pull", "/docs/deep/z.bin", host.path() + "/new.bin"});
  EXPECT_EQ(fresh.status, 1);
  EXPECT_EQ(tree(host.path()), before);
  // Nor when the handheld announces another size than its listing shows.
  zrtest::SimProcess lying({"--storage", st.root, "--xfer-size", "1000"});
  ASSERT_TRUE(lying.ok());
  for (const std::string &to : {host.path(), host.path() + "/new.bin"}) {
    Result r = zrlink({"--addr", lying.addr_text(), "-q", "pull", "/docs/deep/z.bin", to});
    EXPECT_EQ(r.status, 1) << to << ": " << r.err;
    EXPECT_EQ(tree(host.path()), before) << to;
  }
}

TEST(ZrlinkFiles, PullNeverWritesThroughALinkBelowItsTarget) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root});
  ASSERT_TRUE(sim.ok());
  TempDir host;
  const std::string back = host.path() + "/back", elsewhere = host.path() + "/elsewhere";
  std::system(("mkdir -p '" + back + "/docs' '" + elsewhere + "/deep'").c_str());
  Storage::write(elsewhere + "/a b.txt", "not the handheld's");
  Storage::write(elsewhere + "/deep/z.bin", "nor this");
  ASSERT_EQ(symlink((elsewhere + "/a b.txt").c_str(), (back + "/docs/a b.txt").c_str()), 0);
  ASSERT_EQ(symlink((elsewhere + "/deep").c_str(), (back + "/docs/deep").c_str()), 0);
  std::string outside = tree(elsewhere);

  Result r = zrlink({"--addr", sim.addr_text(), "pull", "/docs", "/notes.txt", back});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("/docs/a b.txt"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("symbolic link"), std::string::npos) << r.err;
  EXPECT_EQ(tree(elsewhere), outside);
  struct stat link_st;
  EXPECT_EQ(lstat((back + "/docs/deep").c_str(), &link_st), 0);
  EXPECT_TRUE(S_ISLNK(link_st.st_mode));
  // What no link stands in the way of is fetched all the same.
  EXPECT_EQ(Storage::read(back + "/notes.txt"), "hello handheld\n");
}

// Runs zrlink and, 0.7 s later, sends it SIGNAL, or kills its first worker with SIGKILL
// when KILL_WORKER; then waits at most 5 s for it to end.
Result interrupted_run(const std::vector<std::string> &args, int signal = SIGINT, bool kill_worker = false) {
  char err_name[] = "/tmp/zrlink-err-XXXXXX";
  int err = mkstemp(err_name);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(err, 2);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    exec_zrlink(args);
  }
  usleep(700 * 1000);
  if (kill_worker) {
    std::vector<pid_t> workers = children_of(pid);
    if (!workers.empty()) kill(workers.front(), SIGKILL);
  } else {
    kill(pid, signal);
  }
  Result r;
  int st = 0;
  for (int i = 0; i < 100 && waitpid(pid, &st, WNOHANG) == 0; ++i) usleep(50 * 1000);
  if (waitpid(pid, &st, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    r.status = -1;  // did not stop within 5 s
  } else {
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  char buf[4096];
  lseek(err, 0, SEEK_SET);
  ssize_t n = read(err, buf, sizeof buf);
  r.err.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
  close(err);
  unlink(err_name);
  return r;
}

TEST(ZrlinkFiles, CtrlCStopsAStalledPullPromptlyAndLeavesTheHostAsItWas) {
  Storage st;
  Storage::write(st.root + "/big.bin", std::string(1 << 20, 'b'));
  zrtest::SimProcess sim({"--storage", st.root, "--xfer-stall", "300000"});
  ASSERT_TRUE(sim.ok());
  TempDir host;
  Storage::write(host.path() + "/big.bin", "keep me");
  std::string before = tree(host.path());
  Result r = interrupted_run({"--addr", sim.addr_text(), "pull", "/big.bin", "/notes.txt", host.path()});
  EXPECT_EQ(r.status, 130) << r.err;
  EXPECT_EQ(tree(host.path()), before);
  EXPECT_EQ(Storage::read(host.path() + "/big.bin"), "keep me");

  TempDir fresh;
  Result f = interrupted_run({"--addr", sim.addr_text(), "pull", "/", fresh.path() + "/all"});
  EXPECT_EQ(f.status, 130) << f.err;
  EXPECT_EQ(tree(fresh.path()), ".\n");

  // A sync stopped while it still compares the trees says that it changed nothing.
  zrtest::SimProcess slow({"--storage", st.root, "--fault-cmd", "dir", "--delay", "2000"});
  ASSERT_TRUE(slow.ok());
  Result s = interrupted_run({"--addr", slow.addr_text(), "sync", ":/", fresh.path() + "/synced"});
  EXPECT_EQ(s.status, 130) << s.err;
  EXPECT_NE(s.err.find("zrlink: sync: stopped before any change\n"), std::string::npos) << s.err;
  EXPECT_EQ(tree(fresh.path()), ".\n");
}

TEST(ZrlinkFiles, AWorkerThatDiesInTheMiddleOfATransferIsNamedAndEndsTheRun) {
  // Two workers, each stalled in a file of its own: the one killed is noticed while the
  // other still waits, and the run ends at once.
  Storage st;
  Storage::write(st.root + "/big.bin", std::string(1 << 20, 'b'));
  Storage::write(st.root + "/big2.bin", std::string(1 << 20, 'c'));
  zrtest::SimProcess sim({"--storage", st.root, "--xfer-stall", "300000"});
  ASSERT_TRUE(sim.ok());
  TempDir host;
  Result r = interrupted_run({"--addr", sim.addr_text(), "pull", "-j", "2", "/big.bin", "/big2.bin", host.path()},
                             SIGINT, true);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("big.bin"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("ended in the middle of the transfer"), std::string::npos) << r.err;
}

// A host folder of many files in three folders (sizes from empty to several progress
// steps), for the transfers that run several at a time.
void many_files(const std::string &root) {
  for (int d = 0; d < 3; ++d) {
    std::string dir = root + "/d" + std::to_string(d);
    std::system(("mkdir -p '" + dir + "'").c_str());
    for (int f = 0; f < 12; ++f) {
      size_t size = f == 0 ? 0 : static_cast<size_t>(f * 997 + d * 40000);
      std::string content(size, '\0');
      for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>('a' + (i * 7 + static_cast<size_t>(f + d)) % 26);
      Storage::write(dir + "/f" + std::to_string(f), content);
    }
  }
}

bool same_trees(const std::string &a, const std::string &b) {
  return std::system(("diff -r '" + a + "' '" + b + "' >/dev/null").c_str()) == 0;
}

TEST(ZrlinkFiles, ManyFilesMoveSeveralAtATimeWithFoldersMadeFirst) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root});
  ASSERT_TRUE(sim.ok());
  TempDir host;
  many_files(host.path() + "/up");
  Result push = zrlink({"--addr", sim.addr_text(), "-q", "push", host.path() + "/up", "/up"});
  ASSERT_EQ(push.status, 0) << push.err;
  EXPECT_TRUE(same_trees(host.path() + "/up", st.root + "/up"));
  // Each handheld folder was made before any file went into it.
  std::vector<std::string> requests = sim.requests();
  for (size_t i = 0; i < requests.size(); ++i) {
    if (requests[i].rfind("fput ", 0) != 0) continue;
    std::string path = requests[i].substr(5, requests[i].find(' ', 5) - 5);
    std::string mkdir = "mkdir " + path.substr(0, path.rfind('/')) + "\n";
    EXPECT_NE(std::find(requests.begin(), requests.begin() + static_cast<long>(i), mkdir),
              requests.begin() + static_cast<long>(i))
        << requests[i];
  }

  for (const char *jobs : {"1", "8"}) {
    std::string to = host.path() + "/down" + jobs;
    // Both spellings: "-j 8" and "-j8".
    std::vector<std::string> args{"--addr", sim.addr_text(), "pull", "-j", jobs, "/up", to};
    if (std::string(jobs) == "8") args = {"--addr", sim.addr_text(), "pull", "-j8", "/up", to};
    Result pull = zrlink(args);
    ASSERT_EQ(pull.status, 0) << pull.err;
    EXPECT_TRUE(same_trees(host.path() + "/up", to)) << "-j " << jobs;
    // Not a terminal: one line per file, from whichever transfer ended.
    EXPECT_EQ(std::count(pull.out.begin(), pull.out.end(), '\n'), 36) << pull.out;
  }
}

TEST(ZrlinkFiles, FirstFailureStopsTheOtherTransfersUnlessKeepGoing) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root});
  ASSERT_TRUE(sim.ok());
  TempDir host;
  std::string src = host.path() + "/src";
  std::system(("mkdir -p '" + src + "'").c_str());
  // A name holding a line break never reaches the handheld: that transfer fails first.
  Storage::write(src + "/a\nbad", "x");
  for (int i = 0; i < 20; ++i) Storage::write(src + "/b" + std::to_string(100 + i), std::string(1024, 'b'));
  Result stop = zrlink({"--addr", sim.addr_text(), "-q", "push", src, "/stop"});
  EXPECT_EQ(stop.status, 1);
  EXPECT_NE(stop.err.find("bad: the handheld path holds a line break"), std::string::npos) << stop.err;
  EXPECT_EQ(stop.err.find("zrlink: push "), stop.err.rfind("zrlink: push "))
      << "only the first failure is reported: " << stop.err;
  size_t stopped = 0;
  for (int i = 0; i < 20; ++i) stopped += Storage::read(st.root + "/stop/b" + std::to_string(100 + i)) != "<missing>";
  EXPECT_LE(stopped, 4u) << "at most the transfers already running went on";

  Result all = zrlink({"--addr", sim.addr_text(), "-q", "push", "--keep-going", src, "/all"});
  EXPECT_EQ(all.status, 1);
  EXPECT_NE(all.err.find("bad: the handheld path holds a line break"), std::string::npos) << all.err;
  EXPECT_NE(all.err.find("1 of 21 files failed"), std::string::npos) << all.err;
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(Storage::read(st.root + "/all/b" + std::to_string(100 + i)), std::string(1024, 'b'));
}

// zrlink's own discovery in a private network: the simulator behind 172.16.0.2 and three
// adapters with nobody behind them.  The probes run at the same time, so the silent
// candidates cost one probe time (about a second) in all, not one each.
TEST(ZrlinkDiscovery, ListProbesEveryCandidateAtTheSameTime) {
  zrtest::PrivateNetwork net(3);
  if (!net.ok()) GTEST_SKIP() << "no private network namespace: " << net.why();
  RecordProperty("network", net.how());
  zrtest::SimProcess sim({"--set", "name=NSCALC"}, "172.16.0.2");
  ASSERT_TRUE(sim.ok()) << sim.error();

  std::vector<double> seconds;
  for (int run = 0; run < 3; ++run) {
    auto start = std::chrono::steady_clock::now();
    Result r = zrlink({"list"});
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("172.16.0.2 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("answering"), std::string::npos) << r.out;
    for (const char *silent : {"172.16.0.6 ", "172.16.0.10 ", "172.16.0.14 "})
      EXPECT_NE(r.out.find(silent), std::string::npos) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out;
    size_t silent = 0;
    for (size_t at = r.out.find("silent"); at != std::string::npos; at = r.out.find("silent", at + 1)) ++silent;
    EXPECT_EQ(silent, 3u) << r.out;
    // Name and serial only for the one that answers (the silent ones have none to show).
    EXPECT_NE(r.out.find("answering       name NSCALC"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("name"), r.out.rfind("name")) << r.out;
  }
  // One after the other they would take three probe times; a loaded machine (six suites
  // side by side under the sanitizers) has been seen to add more than half a second.
  std::sort(seconds.begin(), seconds.end());
  EXPECT_LT(seconds[1], 2.5) << "median of three runs";

  // The handheld that every command uses by default, and wait.
  Result info = zrlink({"info"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("NSCALC"), std::string::npos);
  Result wait = zrlink({"wait", "--timeout", "5"});
  ASSERT_EQ(wait.status, 0) << wait.err;
  EXPECT_EQ(wait.out, "172.16.0.2\n");

  // A long wait probes round after round, and each probe's process is reaped: a wait of an
  // hour must not leave thousands of ended processes behind.
  sim.stop();
  Result none = zrlink({"wait", "--timeout", "0.5"});
  EXPECT_EQ(none.status, 3) << none.err;
  EXPECT_NE(none.err.find("zrlink: no handheld answered within 0.5 s\n"), std::string::npos) << none.err;
  pid_t waiting = fork();
  if (waiting == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    exec_zrlink({"wait", "--timeout", "10"});
  }
  ASSERT_GT(waiting, 0);
  usleep(2500 * 1000);  // two rounds of silent probes at least
  size_t fewest = SIZE_MAX;
  for (int look = 0; look < 3; ++look, usleep(300 * 1000)) {
    size_t ended = 0;
    for (pid_t child : children_of(waiting))
      if (zrtest::ReadFile("/proc/" + std::to_string(child) + "/stat").value_or("").find(") Z ") != std::string::npos)
        ++ended;
    fewest = std::min(fewest, ended);
  }
  kill(waiting, SIGKILL);
  waitpid(waiting, nullptr, 0);
  EXPECT_LE(fewest, 1u) << "probe processes left unreaped";
}

// ---- what a new user meets ---------------------------------------------------------------

size_t lines(const std::string &s) { return static_cast<size_t>(std::count(s.begin(), s.end(), '\n')); }

TEST(ZrlinkCommandLine, UsageErrorsShowTheCommandsOwnUsageAndOptionsMatchExactly) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"ls", "--jobs", "2"},            // an option of another command
           {"info", "-l"},                   //
           {"--add", "127.0.0.1", "info"},   // no prefix guessing
           {"--addres=127.0.0.1", "info"},   //
           {"mv", "/a"},                     // too few operands
           {"info", "--jsonx"},              //
           {"screenshot", "shot.jpg"},       // not a PNG name
           {"mkdir", "-r", "/x"},            // rm's -r
           {"rm", "-p", "/x"},               // mkdir's -p
           {"wait", "--count", "0"},         //
           {"wait", "--gone", "--count=2"},  //
           {"--serial", "S", "wait", "--count", "2"},
       }) {
    Result r = zrlink(args);
    EXPECT_EQ(r.status, 2) << args[0] << " " << args[1] << ": " << r.err;
    EXPECT_NE(r.err.find("usage"), std::string::npos) << r.err;
    EXPECT_LE(lines(r.err), 4u) << r.err;
    EXPECT_EQ(r.err.find("Commands:"), std::string::npos) << "not the whole help: " << r.err;
  }
  Result ls = zrlink({"ls", "-j", "2"});
  EXPECT_NE(ls.err.find("usage: zrlink ls "), std::string::npos) << ls.err;

  Result version = zrlink({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.compare(0, 7, "zrlink "), 0) << version.out;
  Result help = zrlink({"help", "push"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: zrlink push"), std::string::npos) << help.out;
  EXPECT_EQ(help.out.find("screenshot"), std::string::npos) << "only push: " << help.out;
  EXPECT_EQ(zrlink({"pull", "--help"}).out.find("usage: zrlink pull"), 0u);
  EXPECT_EQ(zrlink({"help", "frobnicate"}).status, 2);
  Result all = zrlink({"help"});
  EXPECT_NE(all.out.find("osupg"), std::string::npos);
  EXPECT_NE(all.out.find("--serial"), std::string::npos);
}

// Each command takes the options its usage line names and refuses every other command's.
TEST(ZrlinkCommandLine, EachCommandTakesTheOptionsItsUsageNamesAndNoOther) {
  // Each option as given (with a value where it takes one); an alias is looked for in a usage
  // line as that line spells the option.
  const std::vector<std::vector<std::string>> options = {{"--json"},
                                                         {"-l"},
                                                         {"-j", "2"},
                                                         {"--jobs", "2"},
                                                         {"--keep-going"},
                                                         {"--timeout", "1"},
                                                         {"-L"},
                                                         {"-r"},
                                                         {"-p"},
                                                         {"-y"},
                                                         {"--yes"},
                                                         {"--force"},
                                                         {"-f"},
                                                         {"--delete"},
                                                         {"--dry-run"},
                                                         {"-n"},
                                                         {"--sheet", "s.png"},
                                                         {"--count", "2"},
                                                         {"--gone"},
                                                         {"--scale", "2"},
                                                         {"--record", "r.gif"},
                                                         {"--duration", "1"},
                                                         {"--no-window"}};
  const std::map<std::string, std::string> alias = {{"--jobs", "-j"}, {"--yes", "-y"}, {"-n", "--dry-run"}};
  const std::string help = zrlink({"help"}).out;
  size_t at = help.find("Commands:\n");
  ASSERT_NE(at, std::string::npos) << help;
  size_t commands = 0;
  for (at = help.find('\n', at) + 1; at < help.size() && help.compare(at, 2, "  ") == 0; at = help.find('\n', at) + 1) {
    const std::string usage = help.substr(at + 2, help.find('\n', at) - at - 2);
    const std::string name = usage.substr(0, usage.find(' '));
    ++commands;
    // Operands the command cannot take, so that an option it takes ends in a usage error too.
    const std::vector<std::string> operands =
        usage.find("...") != std::string::npos ? std::vector<std::string>{} : std::vector<std::string>(4, "x");
    for (const auto &o : options) {
      const std::string spelled = alias.count(o[0]) ? alias.at(o[0]) : o[0];
      const bool takes = usage.find("[" + spelled + "]") != std::string::npos ||
                         usage.find("[" + spelled + " ") != std::string::npos ||
                         usage.find("| " + spelled) != std::string::npos;
      std::vector<std::string> args{name};
      args.insert(args.end(), o.begin(), o.end());
      args.insert(args.end(), operands.begin(), operands.end());
      Result r = zrlink(args);
      EXPECT_EQ(r.status, 2) << usage << ": " << o[0] << "\n" << r.err;
      const bool refused = r.err.find(name + " does not take " + o[0]) != std::string::npos;
      EXPECT_EQ(refused, !takes) << usage << ": " << o[0] << "\n" << r.err;
      if (takes) EXPECT_NE(r.err.find(" operands"), std::string::npos) << usage << ": " << o[0] << "\n" << r.err;
    }
  }
  EXPECT_EQ(commands, 18u) << help;
}

TEST(ZrlinkExitCodes, FailedOutputAndSignalsAreFailures) {
  Storage st;
  Storage::write(st.root + "/big.bin", std::string(1 << 20, 'b'));
  zrtest::SimProcess sim({"--storage", st.root, "--xfer-stall", "300000"});
  ASSERT_TRUE(sim.ok());
  Setting full;
  full.full_output = true;
  Result r = zrlink({"--addr", sim.addr_text(), "info"}, full);
  EXPECT_EQ(r.status, 1) << "output lost to a full disk is no success";
  EXPECT_NE(r.err.find("standard output"), std::string::npos) << r.err;

  // SIGTERM and SIGHUP stop a pull as Ctrl-C does: nothing of it stays in the folder.
  for (int signal : {SIGTERM, SIGHUP}) {
    TempDir host;
    Result t = interrupted_run({"--addr", sim.addr_text(), "pull", "/big.bin", "/docs", host.path()}, signal);
    EXPECT_EQ(t.status, 128 + signal) << t.err;
    EXPECT_EQ(tree(host.path()), ".\n") << signal;
  }
}

TEST(ZrlinkMessages, SayWhatHappenedNamingTheFile) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root, "--set", "disk=16777216,1000,0"});
  ASSERT_TRUE(sim.ok());
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "-q");
    return zrlink_at(sim, args);
  };
  TempDir host;
  Storage::write(host.path() + "/big.txt", std::string(5000, 'x'));
  Result full = run({"push", host.path() + "/big.txt", "/docs/"});
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("no space left on the handheld for /docs/big.txt"), std::string::npos) << full.err;
  EXPECT_EQ(full.err.find("host file"), std::string::npos) << full.err;

  Result missing = run({"pull", "/nowhere.txt", host.path()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("/nowhere.txt: no such file or folder on the handheld"), std::string::npos) << missing.err;
  EXPECT_EQ(missing.err.find("line break"), std::string::npos) << missing.err;

  Result broken = run({"stat", "/a\nb"});
  EXPECT_NE(broken.err.find("line break"), std::string::npos) << broken.err;
  EXPECT_EQ(broken.err.find("not found"), std::string::npos) << broken.err;

  Result busy = run({"rmdir", "/docs"});
  EXPECT_NE(busy.err.find("/docs is not an empty folder"), std::string::npos) << busy.err;

  // A host file beyond what the link can send (sparse: no disk is used).
  std::string huge = host.path() + "/huge.bin";
  ASSERT_EQ(truncate((Storage::write(huge, ""), huge.c_str()), 3LL << 30), 0);
  Result big = run({"push", huge, "/"});
  EXPECT_EQ(big.status, 1);
  EXPECT_NE(big.err.find(huge + " is larger than the link can send"), std::string::npos) << big.err;
  // The most it can send, 2 GiB less one byte, is no reason: such a file that cannot be
  // read is said to be one that cannot be opened.
  std::string edge = host.path() + "/edge.bin";
  ASSERT_EQ(truncate((Storage::write(edge, ""), edge.c_str()), 2147483647LL), 0);
  ASSERT_EQ(chmod(edge.c_str(), 0), 0);
  Setting no_override;
  no_override.keep_file_permissions = true;
  Result unreadable = zrlink({"--addr", sim.addr_text(), "-q", "push", edge, "/"}, no_override);
  EXPECT_EQ(unreadable.status, 1) << unreadable.err;
  EXPECT_NE(unreadable.err.find(edge), std::string::npos) << unreadable.err;
  EXPECT_EQ(unreadable.err.find("larger than the link can send"), std::string::npos) << unreadable.err;
}

TEST(ZrlinkMessages, ACutListingAResetAndARefusedNameAreSaidAsTheyHappened) {
  Storage st;
  // The handheld closes inside the entry of a folder: the listing is not taken as whole.
  zrtest::SimProcess cut({"--storage", st.root, "--fault-cmd", "dir", "--reply", "0\ndeep\nsize=0\n"});
  ASSERT_TRUE(cut.ok());
  Result ls = zrlink_at(cut, {"ls", "/docs"});
  EXPECT_EQ(ls.status, 1);
  EXPECT_EQ(ls.out, "");
  EXPECT_NE(ls.err.find("the handheld cut off the listing of /docs"), std::string::npos) << ls.err;
  Result rm = zrlink_at(cut, {"rm", "-r", "/docs"});
  EXPECT_EQ(rm.status, 1);
  EXPECT_NE(rm.err.find("the handheld cut off the listing of /docs"), std::string::npos) << rm.err;
  EXPECT_EQ(Storage::read(st.root + "/docs/deep/z.bin"), std::string(70000, 'z'));

  zrtest::SimProcess reset({"--storage", st.root, "--fault-cmd", "dir", "--reply", "0\n", "--reset"});
  ASSERT_TRUE(reset.ok());
  Result rs = zrlink_at(reset, {"ls", "/docs"});
  EXPECT_EQ(rs.status, 1);
  EXPECT_NE(rs.err.find("the handheld reset the connection"), std::string::npos) << rs.err;
  EXPECT_EQ(rs.err.find("out of memory"), std::string::npos) << rs.err;
  // A transfer's worker process meets the reset; the message is the same.
  zrtest::SimProcess reset_fetch({"--storage", st.root, "--fault-cmd", "fget", "--close-after", "0", "--reset"});
  ASSERT_TRUE(reset_fetch.ok());
  TempDir into;
  Result pull = zrlink_at(reset_fetch, {"-q", "pull", "/notes.txt", into.path()});
  EXPECT_EQ(pull.status, 1);
  EXPECT_NE(pull.err.find("the handheld reset the connection"), std::string::npos) << pull.err;

  // The handheld answers a name it does not take as it answers a missing path.
  zrtest::SimProcess sim({"--storage", st.root});
  ASSERT_TRUE(sim.ok());
  TempDir host;
  Storage::write(host.path() + "/f.txt", "f");
  Result backslash = zrlink_at(sim, {"-q", "push", host.path() + "/f.txt", "/docs/a\\b.txt"});
  EXPECT_EQ(backslash.status, 1);
  EXPECT_NE(backslash.err.find("does not take a backslash in a name"), std::string::npos) << backslash.err;
  Result tab = zrlink_at(sim, {"mkdir", "/docs/a\tb"});
  EXPECT_EQ(tab.status, 1);
  EXPECT_NE(tab.err.find("does not take a tab in a name"), std::string::npos) << tab.err;
  EXPECT_EQ(tab.err.find("no such file"), std::string::npos) << tab.err;
}

TEST(ZrlinkJson, EveryCommandThatPrintsDataSpeaksOneSchema) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root, "--set", "ready=0,0"});
  ASSERT_TRUE(sim.ok());
  const std::string addr = sim.addr_text();
  Result info = zrlink({"--json", "--addr", addr, "info"});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("\"serial\": \"ZRSIM-0000-0000-0001\""), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"osInstallReady\": false"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("\"memory\": {\"total\": 8388608, \"free\": 6291456}"), std::string::npos) << info.out;

  Result table = zrlink({"--addr", addr, "info"});
  EXPECT_NE(table.out.find("8.0 MiB total, 6.0 MiB free"), std::string::npos) << table.out;

  for (auto args :
       {std::vector<std::string>{"--json", "ls", "/docs"}, std::vector<std::string>{"ls", "/docs", "--json"}}) {
    args.insert(args.begin(), {"--addr", addr});
    Result ls = zrlink(args);
    ASSERT_EQ(ls.status, 0) << ls.err;
    EXPECT_NE(ls.out.find("{\"path\": \"/docs/a b.txt\", \"name\": \"a b.txt\", \"folder\": false, \"size\": 5000, "
                          "\"time\": \""),
              std::string::npos)
        << ls.out;
    EXPECT_NE(ls.out.find("\"name\": \"deep\", \"folder\": true"), std::string::npos) << ls.out;
  }
  Result stat = zrlink({"--addr", addr, "stat", "--json", "/notes.txt"});
  ASSERT_EQ(stat.status, 0) << stat.err;
  EXPECT_NE(stat.out.find("\"size\": 15, \"time\": \"20"), std::string::npos) << stat.out;
  EXPECT_NE(stat.out.find("\"timeSeconds\": "), std::string::npos) << stat.out;

  TempDir host;
  Storage::write(host.path() + "/one.txt", "one");
  Result push = zrlink({"--addr", addr, "push", "--json", host.path() + "/one.txt", "/nodir/", host.path() + "/none"});
  EXPECT_EQ(push.status, 1) << "a target ending in / is a folder that must exist";
  Result sum = zrlink(
      {"--addr", addr, "push", "--json", "--keep-going", host.path() + "/one.txt", host.path() + "/none", "/docs/"});
  EXPECT_EQ(sum.status, 1);
  EXPECT_NE(sum.out.find("\"command\": \"push\", \"ok\": false, \"files\": 1, \"bytes\": 3"), std::string::npos)
      << sum.out;
  EXPECT_NE(sum.out.find("\"to\": \"/docs/one.txt\""), std::string::npos) << sum.out;
  EXPECT_NE(sum.out.find("\"from\": \"" + host.path() + "/none\""), std::string::npos) << sum.out;
  EXPECT_NE(sum.err.find("1 of 2 files failed, 1 copied"), std::string::npos) << sum.err;
  EXPECT_EQ(Storage::read(st.root + "/docs/one.txt"), "one");
  // A folder that cannot be read is one that failed, not one left out.
  const std::string locked = host.path() + "/locked";
  ASSERT_EQ(mkdir(locked.c_str(), 0), 0);
  Setting no_override;
  no_override.keep_file_permissions = true;
  Result folder = zrlink({"--addr", addr, "push", "--json", "--keep-going", host.path() + "/one.txt", locked, "/docs/"},
                         no_override);
  EXPECT_EQ(folder.status, 1) << folder.err;
  EXPECT_NE(folder.out.find("\"from\": \"" + locked + "\""), std::string::npos) << folder.out;
  EXPECT_NE(folder.err.find("1 of 2 files failed, 1 copied"), std::string::npos) << folder.err;
}

TEST(ZrlinkFiles, TrailingSlashMeansAFolderAndPullDefaultsToTheCurrentFolder) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root});
  ASSERT_TRUE(sim.ok());
  TempDir host;
  Storage::write(host.path() + "/a.txt", "a");
  Result r = zrlink({"--addr", sim.addr_text(), "push", host.path() + "/a.txt", "/nodir/"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/nodir/: no such folder"), std::string::npos) << r.err;
  EXPECT_EQ(Storage::read(st.root + "/nodir"), "<missing>");
  EXPECT_EQ(zrlink({"--addr", sim.addr_text(), "push", host.path() + "/a.txt", "/empty/"}).status, 0);
  EXPECT_EQ(Storage::read(st.root + "/empty/a.txt"), "a");

  TempDir here;
  Setting in_here;
  in_here.cwd = here.path();
  Result pull = zrlink({"--addr", sim.addr_text(), "-q", "pull", "/notes.txt"}, in_here);
  ASSERT_EQ(pull.status, 0) << pull.err;
  EXPECT_EQ(Storage::read(here.path() + "/notes.txt"), "hello handheld\n");
  EXPECT_EQ(zrlink({"--addr", sim.addr_text(), "pull", "/notes.txt", here.path() + "/no/"}).status, 1);
}

TEST(ZrlinkFiles, PushFollowsLinksOnlyWhenAskedAndSkipsSpecialFiles) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root});
  ASSERT_TRUE(sim.ok());
  TempDir host;
  std::string src = host.path() + "/src";
  std::system(("mkdir -p '" + src + "/sub' && ln -s sub '" + src + "/loop-up' 2>/dev/null").c_str());
  Storage::write(host.path() + "/secret", "secret");
  Storage::write(src + "/plain.txt", "plain");
  ASSERT_EQ(symlink((host.path() + "/secret").c_str(), (src + "/link.txt").c_str()), 0);
  ASSERT_EQ(symlink("..", (src + "/sub/up").c_str()), 0);  // a loop with -L
  ASSERT_EQ(mkfifo((src + "/fifo").c_str(), 0600), 0);

  Result plain = zrlink({"--addr", sim.addr_text(), "-q", "push", src, "/plain/"});
  EXPECT_EQ(plain.status, 1) << "/plain/ does not exist";
  ASSERT_EQ(zrlink({"--addr", sim.addr_text(), "mkdir", "/plain"}).status, 0);
  plain = zrlink({"--addr", sim.addr_text(), "-q", "push", src, "/plain/"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(Storage::read(st.root + "/plain/src/plain.txt"), "plain");
  EXPECT_EQ(Storage::read(st.root + "/plain/src/link.txt"), "<missing>");
  EXPECT_NE(plain.err.find("symbolic link"), std::string::npos) << plain.err;
  EXPECT_NE(plain.err.find("fifo: not a file or folder"), std::string::npos) << plain.err;

  ASSERT_EQ(zrlink({"--addr", sim.addr_text(), "mkdir", "/links"}).status, 0);
  Result links = zrlink({"--addr", sim.addr_text(), "-q", "push", "-L", src, "/links/"});
  ASSERT_EQ(links.status, 0) << links.err;
  EXPECT_EQ(Storage::read(st.root + "/links/src/link.txt"), "secret");

  // --keep-going goes past a source that fails and sums up.
  Result several =
      zrlink({"--addr", sim.addr_text(), "-q", "push", "--keep-going", src + "/fifo", src + "/plain.txt", "/empty"});
  EXPECT_EQ(several.status, 1);
  EXPECT_EQ(Storage::read(st.root + "/empty/plain.txt"), "plain");
  EXPECT_NE(several.err.find("1 of 2 files failed, 1 copied"), std::string::npos) << several.err;

  // A folder that cannot be read is named with the reason.
  std::system(("mkdir -p '" + src + "/locked' && chmod 000 '" + src + "/locked'").c_str());
  Setting no_override;
  no_override.keep_file_permissions = true;
  Result locked = zrlink({"--addr", sim.addr_text(), "-q", "push", src + "/locked", "/"}, no_override);
  EXPECT_EQ(locked.status, 1);
  EXPECT_NE(locked.err.find("locked: Permission denied"), std::string::npos) << locked.err;
  chmod((src + "/locked").c_str(), 0755);
}

TEST(ZrlinkFiles, RemoveTreesAndMakeParents) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root});
  ASSERT_TRUE(sim.ok());
  auto run = [&](const std::vector<std::string> &args) { return zrlink_at(sim, args); };
  EXPECT_EQ(run({"rm", "/docs"}).status, 1);
  Result rm = run({"rm", "-r", "/docs"});
  ASSERT_EQ(rm.status, 0) << rm.err;
  EXPECT_EQ(access((st.root + "/docs").c_str(), F_OK), -1);
  EXPECT_EQ(run({"rm", "-r", "/notes.txt"}).status, 0);
  EXPECT_EQ(Storage::read(st.root + "/notes.txt"), "<missing>");

  EXPECT_EQ(run({"mkdir", "/x/y/z"}).status, 1);
  Result p = run({"mkdir", "-p", "/x/y/z"});
  ASSERT_EQ(p.status, 0) << p.err;
  struct stat sb;
  EXPECT_EQ(::stat((st.root + "/x/y/z").c_str(), &sb), 0);
  EXPECT_EQ(run({"mkdir", "-p", "/x/y"}).status, 0) << "an existing folder is fine";
  // A path without its leading "/" is taken from the top as well, one folder at a time.
  Result rel = run({"mkdir", "-p", "a/b"});
  ASSERT_EQ(rel.status, 0) << rel.err;
  EXPECT_EQ(::stat((st.root + "/a/b").c_str(), &sb), 0);
  Storage::write(st.root + "/file", "f");
  EXPECT_EQ(run({"mkdir", "-p", "/file/sub"}).status, 1);
  Result file = run({"mkdir", "-p", "/file"});  // a file of the name is no folder that exists
  EXPECT_EQ(file.status, 1);
  EXPECT_NE(file.err.find("/file is a file on the handheld"), std::string::npos) << file.err;
}

// A listed name is joined to its folder only when it names an entry of that folder; one
// such name is as much a reason to say that not all was done as several.
TEST(ZrlinkFiles, RemoveTreeSkipsUnsafeListedNamesAndKeepsTheFolder) {
  // The listings of /trash name its one real file among names that lead elsewhere.
  std::string entry = "\nsize=6\ntime=1\ntype=0\nbits=420\n\n";
  for (const std::string &unsafe :
       {"../keep/thesis.tex" + entry + "..\ntype=1\n\n." + entry + entry + "a/b" + entry, "a/b" + entry}) {
    const bool several = unsafe.find("..") != std::string::npos;
    Storage st;
    std::system(("mkdir -p '" + st.root + "/trash' '" + st.root + "/keep'").c_str());
    Storage::write(st.root + "/keep/thesis.tex", "thesis");
    Storage::write(st.root + "/trash/old.txt", "old tx");
    Storage::write(st.root + "/trash/a", "a");
    zrtest::SimProcess sim({"--storage", st.root, "--fault-cmd", "dir", "--reply", "0\n" + unsafe + "old.txt" + entry});
    ASSERT_TRUE(sim.ok());
    // A pull of the folder fetches what is safe, and ends saying that not all was fetched.
    TempDir host;
    Result pull = zrlink_at(sim, {"-q", "pull", "/trash", host.path()});
    EXPECT_EQ(pull.status, 1) << pull.err;
    EXPECT_EQ(Storage::read(host.path() + "/trash/old.txt"), "old tx");
    EXPECT_EQ(Storage::read(host.path() + "/keep/thesis.tex"), "<missing>");
    // So does a sync from it.
    Setting state;
    state.env = {{"XDG_STATE_HOME", host.path() + "/state"}};
    Result sync = zrlink({"--addr", sim.addr_text(), "-q", "sync", ":/trash", host.path() + "/synced"}, state);
    EXPECT_EQ(sync.status, 1) << sync.err;
    EXPECT_EQ(Storage::read(host.path() + "/synced/old.txt"), "old tx");
    EXPECT_EQ(Storage::read(host.path() + "/keep/thesis.tex"), "<missing>");

    Result rm = zrlink_at(sim, {"rm", "-r", "/trash"});
    EXPECT_EQ(rm.status, 1) << rm.err;
    EXPECT_EQ(Storage::read(st.root + "/keep/thesis.tex"), "thesis");
    EXPECT_EQ(Storage::read(st.root + "/trash/a"), "a");
    EXPECT_EQ(Storage::read(st.root + "/trash/old.txt"), "<missing>") << "the safe name is removed";
    for (const char *name : {"\"../keep/thesis.tex\"", "\"..\"", "\".\"", "\"\"", "\"a/b\""})
      if (several || std::string(name) == "\"a/b\"")
        EXPECT_NE(rm.err.find(std::string("zrlink: skipping the unsafe name ") + name + " listed in /trash"),
                  std::string::npos)
            << name << "\n"
            << rm.err;
    EXPECT_NE(rm.err.find("/trash is not removed"), std::string::npos) << rm.err;
  }
}

TEST(ZrlinkScreenshot, ToStandardOutputOrADatedName) {
  zrtest::SimProcess sim({"--set", "sgeo=30,40,8,0"});
  ASSERT_TRUE(sim.ok());
  Result r = zrlink({"--addr", sim.addr_text(), "screenshot", "-"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
  TempDir here;
  Setting in_here;
  in_here.cwd = here.path();
  Result dated = zrlink({"--addr", sim.addr_text(), "screenshot"}, in_here);
  ASSERT_EQ(dated.status, 0) << dated.err;
  std::string listing = tree(here.path());
  EXPECT_NE(listing.find("./screenshot-20"), std::string::npos) << listing;
  EXPECT_NE(listing.find(".png "), std::string::npos) << listing;
}

TEST(ZrlinkOsUpgrade, SendsAHostImageAsksAndRefusesWhenNotReady) {
  Storage st;
  zrtest::SimProcess sim({"--storage", st.root, "--osupg", "10,55,100"});
  ASSERT_TRUE(sim.ok());
  TempDir host;
  Storage::write(host.path() + "/os-image.bin", std::string(3000, 'o'));
  Result r = zrlink({"--addr", sim.addr_text(), "--progress", "osupg", host.path() + "/os-image.bin"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Storage::read(st.root + "/os-image.bin"), std::string(3000, 'o'));
  // Not on a terminal: a line per value, nothing redrawn.
  EXPECT_NE(
      r.err.find("installing /os-image.bin: 10%\ninstalling /os-image.bin: 55%\ninstalling /os-image.bin: 100%\n"),
      std::string::npos)
      << r.err;

  zrtest::SimProcess busy({"--storage", st.root, "--set", "ready=0,0"});
  ASSERT_TRUE(busy.ok());
  Result no = zrlink({"--addr", busy.addr_text(), "osupg", "/os-image.bin"});
  EXPECT_EQ(no.status, 1);
  EXPECT_NE(no.err.find("not ready"), std::string::npos) << no.err;
  EXPECT_EQ(zrlink({"--addr", busy.addr_text(), "osupg", "-y", "--force", "/os-image.bin"}).status, 0);
  Result folder = zrlink({"--addr", busy.addr_text(), "osupg", "--force", "/docs"});
  EXPECT_NE(folder.err.find("/docs is a folder on the handheld"), std::string::npos) << folder.err;
  Result host_folder = zrlink({"--addr", busy.addr_text(), "osupg", "-y", "--force", host.path()});
  EXPECT_EQ(host_folder.status, 1);
  EXPECT_EQ(host_folder.err, "zrlink: osupg: " + host.path() + " is not a regular file\n");

  // On a terminal it asks first; only "y" installs, and -y does not ask.
  Result declined = zrlink_on_terminal({"--addr", sim.addr_text(), "osupg", "/os-image.bin"}, "n\n");
  EXPECT_EQ(declined.status, 1) << declined.out;
  EXPECT_NE(declined.out.find("[y/N]"), std::string::npos) << declined.out;
  EXPECT_NE(declined.out.find("nothing installed"), std::string::npos) << declined.out;
  Result accepted = zrlink_on_terminal({"--addr", sim.addr_text(), "osupg", "/os-image.bin"}, "y\n");
  EXPECT_EQ(accepted.status, 0) << accepted.out;
  EXPECT_NE(accepted.out.find("installation of /os-image.bin finished"), std::string::npos) << accepted.out;
  Result unasked = zrlink_on_terminal({"--addr", sim.addr_text(), "osupg", "-y", "/os-image.bin"}, "");
  EXPECT_EQ(unasked.status, 0) << unasked.out;
  EXPECT_EQ(unasked.out.find("[y/N]"), std::string::npos) << unasked.out;

  // A failed installation: the error word (0x8000 to 0x80FF) read bit by bit; other
  // negative values are the handheld's refusal.
  const std::pair<const char *, const char *> failures[] = {
      {"-32758", "osupg: installation failed (-32758, error word 0x800A): battery low, not enough storage\n"},
      {"-32513",
       "osupg: installation failed (-32513, error word 0x80FF): battery low, not enough storage, the handheld "
       "is busy, the image is not a valid OS file\n"},
      {"-32768", "osupg: installation failed (-32768, error word 0x8000): the handheld is busy\n"},
      {"-32751",
       "osupg: installation failed (-32751, error word 0x8011): the handheld is busy, the image is not a "
       "valid OS file\n"},
      {"-32512", "osupg /os-image.bin: -32512: the handheld refused with status 32512\n"},
  };
  for (const auto &f : failures) {
    zrtest::SimProcess failing({"--storage", st.root, "--osupg", std::string("10,") + f.first});
    ASSERT_TRUE(failing.ok());
    Result failed = zrlink({"--addr", failing.addr_text(), "osupg", "-y", "/os-image.bin"});
    EXPECT_EQ(failed.status, 1) << f.first;
    EXPECT_EQ(failed.err, std::string("zrlink: ") + f.second) << f.first;
  }
}

// ---- the DHCP service's table -------------------------------------------------------------

// The table of adapters as a running service keeps it (zr-dhcp.exe(8)): the pid file locked
// by this process, and the table naming it.
struct ServiceTable {
  TempDir dir{"zrlink-table"};
  int lock = -1;
  explicit ServiceTable(const std::string &rows) {
    write(rows);
    hold();
  }
  ~ServiceTable() { release(); }
  void write(const std::string &rows, long pid = getpid()) {
    zrtest::WriteFile(dir.file("adapters"), "zr-dhcp-table 1 pid=" + std::to_string(pid) + "\n" + rows);
  }
  void hold() {
    lock = open(dir.file("zr-dhcp.pid").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct flock lk {};
    lk.l_type = F_WRLCK;
    lk.l_whence = SEEK_SET;
    ASSERT_EQ(fcntl(lock, F_SETLK, &lk), 0);
    std::string pid = std::to_string(getpid()) + "\n";
    ASSERT_EQ(::write(lock, pid.data(), pid.size()), static_cast<ssize_t>(pid.size()));
  }
  void release() {
    if (lock >= 0) close(lock);
    lock = -1;
  }
  Setting setting() const {
    Setting s;
    s.env = {{"ZR_DHCP_RUN_DIR", dir.path()}};
    return s;
  }
};

std::string table_row(int index, const std::string &ifname, const std::string &port, const std::string &serial,
                      uint32_t addr, const char *state) {
  return "adapter index=" + std::to_string(index) + " interface=" + ifname + (port.empty() ? "" : " usb-port=" + port) +
         (serial.empty() ? "" : " serial=" + serial) +
         (addr ? " host=" + zrtest::addr_text(addr - 1) + " handheld=" + zrtest::addr_text(addr) : "") +
         " state=" + state + "\n";
}

// Two handhelds in a private network: list names them, --serial and ZR_SERIAL choose one,
// and without a choice the command says so with its own exit code.
TEST(ZrlinkDiscovery, SerialChoosesAmongSeveralHandhelds) {
  zrtest::PrivateNetwork net(1);
  if (!net.ok()) GTEST_SKIP() << "no private network namespace: " << net.why();
  // The second handheld answers behind the second network's handheld address (on the
  // namespace's own loopback interface, where the network has nobody behind it).
  std::string why;
  zrtest::run_quietly({"ip", "addr", "add", "172.16.0.6/32", "dev", "lo"}, &why);
  zrtest::SimProcess one({"--set", "name=ONE", "--set", "eid=SER-ONE"}, "172.16.0.2");
  zrtest::SimProcess two({"--set", "name=TWO", "--set", "eid=SER-TWO"}, "172.16.0.6");
  ASSERT_TRUE(one.ok()) << one.error();
  ASSERT_TRUE(two.ok()) << two.error();
  Result list = zrlink({"list"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("name ONE       serial SER-ONE"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("serial SER-TWO"), std::string::npos) << list.out;
  // Without the service's table, the interface is the one that holds the computer's end.
  const size_t one_at_line = list.out.find("serial SER-ONE");
  const std::string one_line = one_at_line == std::string::npos
                                   ? ""
                                   : list.out.substr(one_at_line, list.out.find('\n', one_at_line) - one_at_line);
  EXPECT_NE(one_line.find(std::string(" interface ") + (net.how() == "veth" ? "zrhost0" : "lo")), std::string::npos)
      << list.out;
  Result json = zrlink({"list", "--json"});
  EXPECT_NE(json.out.find("\"address\": \"172.16.0.6\", \"slot\": "), std::string::npos) << json.out;
  // The service's table names the handhelds; each keeps the slot discovery gives it.
  const std::string one_at = "\"address\": \"172.16.0.2\", \"slot\": ";
  const size_t slot_at = json.out.find(one_at);
  ASSERT_NE(slot_at, std::string::npos) << json.out;
  const std::string slot = json.out.substr(slot_at, json.out.find(',', slot_at + one_at.size()) - slot_at);
  EXPECT_NE(slot, one_at + "null");
  ServiceTable table(table_row(11, "zrusb0", "", "SER-ONE", 0xAC100002u, "leased"));
  Result tabled = zrlink({"list", "--json"}, table.setting());
  EXPECT_NE(tabled.out.find(slot + ", \"state\": \"answering\""), std::string::npos) << slot << "\n" << tabled.out;
  EXPECT_NE(json.out.find("\"answering\": true, \"name\": \"TWO\", \"serial\": \"SER-TWO\""), std::string::npos)
      << json.out;

  Result several = zrlink({"info"});
  EXPECT_EQ(several.status, 4) << several.err;
  EXPECT_NE(several.err.find("--serial"), std::string::npos) << several.err;
  Result chosen = zrlink({"--serial", "SER-TWO", "info"});
  ASSERT_EQ(chosen.status, 0) << chosen.err;
  EXPECT_NE(chosen.out.find("TWO"), std::string::npos);
  Setting env;
  env.env = {{"ZR_SERIAL", "SER-ONE"}};
  Result by_env = zrlink({"info", "--json"}, env);
  EXPECT_NE(by_env.out.find("\"name\": \"ONE\""), std::string::npos) << by_env.out << by_env.err;
  EXPECT_EQ(zrlink({"--serial", "SER-NONE", "info"}).status, 3);

  // wait waits for the handheld with the serial, not for whichever answers first.
  for (const char *serial : {"SER-ONE", "SER-TWO"}) {
    Result w = zrlink({"--serial", serial, "wait", "--timeout", "5"});
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(w.out, std::string(serial) == "SER-ONE" ? "172.16.0.2\n" : "172.16.0.6\n") << serial;
  }
  Setting by_env_two;
  by_env_two.env = {{"ZR_SERIAL", "SER-TWO"}};
  EXPECT_EQ(zrlink({"wait", "--timeout", "5"}, by_env_two).out, "172.16.0.6\n");
  auto t0 = std::chrono::steady_clock::now();
  Result none = zrlink({"--serial", "SER-NONE", "wait", "--timeout", "1"});
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(none.status, 3) << none.out;
  EXPECT_EQ(none.out, "");
  EXPECT_NE(none.err.find("no handheld with the serial SER-NONE answered within 1 s"), std::string::npos) << none.err;
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 8000);
}

size_t requests_of(const zrtest::SimProcess &sim) { return sim.requests().size(); }

// Three handhelds, one silent, one without an address yet and one gone, as the service's
// table names them: list asks the answering ones at the same time and tells where each is
// attached; --serial costs one probe of the one named; wait counts them, waits for one
// by its serial and until one has gone.  (In a private network: nothing else is probed.)
TEST(ZrlinkTable, TheServicesTableNamesTheHandheldsAndChoosesOneWithOneProbe) {
  zrtest::PrivateNetwork net(0);
  if (!net.ok()) GTEST_SKIP() << "no private network namespace: " << net.why();
  // Each one takes a second to tell its info.
  std::vector<std::unique_ptr<zrtest::SimProcess>> sims;
  for (const char *who : {"A", "B", "C"}) {
    sims.emplace_back(
        new zrtest::SimProcess({"--set", std::string("name=HH") + who, "--set", std::string("eid=SER-") + who,
                                "--fault-cmd", "info", "--delay", "1000"}));
    ASSERT_TRUE(sims.back()->ok()) << sims.back()->error();
  }
  const zrtest::SimProcess &a = *sims[0], &b = *sims[1], &c = *sims[2];
  const uint32_t silent = zrtest::fresh_loopback();
  ServiceTable table(table_row(11, "zrusb0", "1-1.1", "SER-A", a.addr(), "leased") +
                     table_row(12, "zrusb1", "", "SER-B", b.addr(), "addressed") +
                     table_row(13, "zrusb2", "1-1.3", "SER-C", c.addr(), "leased") +
                     table_row(14, "zrusb3", "1-1.4", "SER-D", silent, "leased") +
                     table_row(15, "zrusb4", "1-1.5", "SER-E", 0, "waiting") +
                     table_row(16, "zrusb5", "1-1.6", "SER-F", zrtest::fresh_loopback(), "gone") +
                     "a line of a later version\n");
  const Setting with = table.setting();

  auto start = std::chrono::steady_clock::now();
  Result list = zrlink({"list"}, with);
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_LT(took, 3.2) << "three infos of a second each, asked one after the other:\n" << list.out;
  EXPECT_NE(list.out.find(a.addr_text() + " "), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("answering       name HHA       serial SER-A  interface zrusb0  USB port 1-1.1"),
            std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("serial SER-B  interface zrusb1\n"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find(zrtest::addr_text(silent) + " "), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("silent          name -         serial SER-D  interface zrusb3"), std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("-                slot -    no address yet  name -         serial SER-E  interface zrusb4"),
            std::string::npos)
      << list.out;
  EXPECT_EQ(list.out.find("zrusb5"), std::string::npos) << "a gone adapter is not attached:\n" << list.out;
  EXPECT_EQ(lines(list.out), 5u) << list.out;
  Result json = zrlink({"list", "--json"}, with);
  EXPECT_NE(json.out.find("\"serial\": \"SER-A\", \"interface\": \"zrusb0\", \"usbPort\": \"1-1.1\"}"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("\"serial\": \"SER-B\", \"interface\": \"zrusb1\", \"usbPort\": null}"), std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find("{\"address\": null, \"slot\": null, \"state\": \"no address yet\""), std::string::npos)
      << json.out;

  // --serial: one probe of the handheld the table names, nothing sent to the others.
  const size_t of_a = requests_of(a), of_b = requests_of(b), of_c = requests_of(c);
  Result chosen = zrlink({"--serial", "SER-B", "info"}, with);
  ASSERT_EQ(chosen.status, 0) << chosen.err;
  EXPECT_NE(chosen.out.find("HHB"), std::string::npos) << chosen.out;
  EXPECT_EQ(requests_of(a), of_a);
  EXPECT_EQ(requests_of(c), of_c);
  EXPECT_EQ(requests_of(b), of_b + 2) << "the probe and the info";
  EXPECT_EQ(b.requests().back(), "info 1\n");
  // A handheld in the table that does not answer is not chosen, and the others are not asked.
  Result dead = zrlink({"--serial", "SER-D", "info"}, with);
  EXPECT_EQ(dead.status, 3) << dead.err;
  EXPECT_NE(dead.err.find("the handheld with the serial SER-D (" + zrtest::addr_text(silent) +
                          ", zrusb3, USB port 1-1.4) does not answer"),
            std::string::npos)
      << dead.err;
  EXPECT_EQ(requests_of(a) + requests_of(c), of_a + of_c);
  // Without a choice the answering ones are named with where they are attached.
  Result several = zrlink({"info"}, with);
  EXPECT_EQ(several.status, 4) << several.err;
  EXPECT_NE(several.err.find("3 handhelds answer"), std::string::npos) << several.err;
  EXPECT_NE(several.err.find("  " + a.addr_text() + "  zrusb0, USB port 1-1.1\n"), std::string::npos) << several.err;

  // wait: for a number of them, for one by its serial, until one has gone.
  Result three = zrlink({"wait", "--count", "3", "--timeout", "5"}, with);
  EXPECT_EQ(three.status, 0) << three.err;
  EXPECT_EQ(three.out, a.addr_text() + "\n" + b.addr_text() + "\n" + c.addr_text() + "\n");
  Result four = zrlink({"wait", "--count", "4", "--timeout", "0.5"}, with);
  EXPECT_EQ(four.status, 3) << four.err;
  EXPECT_NE(four.err.find("3 of 4 handhelds answered within 0.5 s"), std::string::npos) << four.err;
  EXPECT_EQ(zrlink({"--serial", "SER-C", "wait", "--timeout", "5"}, with).out, c.addr_text() + "\n");
  Result away = zrlink({"--serial", "SER-D", "wait", "--gone", "--timeout", "5"}, with);
  EXPECT_EQ(away.status, 0) << away.err;
  Result stays = zrlink({"--serial", "SER-A", "wait", "--gone", "--timeout", "0.3"}, with);
  EXPECT_EQ(stays.status, 1) << stays.err;
  EXPECT_NE(stays.err.find("the handheld " + a.addr_text() + " still answers after 0.3 s"), std::string::npos)
      << stays.err;
  std::thread unplug([&] {
    usleep(400 * 1000);
    sims[2]->stop();
  });
  Result went = zrlink({"--addr", c.addr_text(), "wait", "--gone", "--timeout", "10"});
  unplug.join();
  EXPECT_EQ(went.status, 0) << went.err;
  EXPECT_EQ(went.out, c.addr_text() + "\n");
}

// A table of 70 handhelds, one answering past the first 64: every one is listed, probed by
// at most 64 processes at a time.
TEST(ZrlinkTable, AGreatTableIsProbedByABoundedNumberOfProcesses) {
  zrtest::PrivateNetwork net(0);
  if (!net.ok()) GTEST_SKIP() << "no private network namespace: " << net.why();
  zrtest::SimProcess late({"--set", "name=LATE"});
  ASSERT_TRUE(late.ok());
  std::string rows;
  for (int i = 0; i < 70; ++i)
    rows += table_row(100 + i, "zrusb" + std::to_string(i), "", "", i == 66 ? late.addr() : zrtest::fresh_loopback(),
                      "leased");
  ServiceTable table(rows);
  char out_name[] = "/tmp/zrlink-out-XXXXXX";
  int out = mkstemp(out_name);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out, 1);
    setenv("ZR_DHCP_RUN_DIR", table.dir.path().c_str(), 1);
    exec_zrlink({"list"});
  }
  ASSERT_GT(pid, 0);
  size_t most = 0;
  int st = 0;
  while (waitpid(pid, &st, WNOHANG) == 0) {
    most = std::max(most, children_of(pid).size());
    usleep(20 * 1000);
  }
  const std::string listed = zrtest::ReadFile(out_name).value_or("");
  close(out);
  unlink(out_name);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  EXPECT_EQ(lines(listed), 70u) << listed;
  EXPECT_NE(listed.find(late.addr_text() + " "), std::string::npos) << listed;
  EXPECT_NE(listed.find("name LATE"), std::string::npos) << listed;
  EXPECT_GT(most, 10u) << "the probes at the same time";
  EXPECT_LE(most, 64u);
}

// A table that no running service wrote, a damaged one or none: discovery finds the
// handhelds (here the one behind 172.16.0.2), and what the table names is not used.
TEST(ZrlinkTable, AStaleDamagedOrMissingTableFallsBackToDiscovery) {
  zrtest::PrivateNetwork net(0);
  if (!net.ok()) GTEST_SKIP() << "no private network namespace: " << net.why();
  zrtest::SimProcess found({"--set", "eid=SER-FOUND"}, "172.16.0.2");
  zrtest::SimProcess listed({"--set", "eid=SER-LISTED"});
  ASSERT_TRUE(found.ok()) << found.error();
  ASSERT_TRUE(listed.ok()) << listed.error();
  const std::string rows = table_row(21, "zrusb0", "2-1", "SER-LISTED", listed.addr(), "leased");
  ServiceTable table(rows);
  auto lists = [&](const zrtest::SimProcess &sim, const char *why) {
    Result r = zrlink({"list"}, table.setting());
    EXPECT_EQ(r.status, 0) << why << ": " << r.err;
    EXPECT_NE(r.out.find(sim.addr_text() + " "), std::string::npos) << why << ":\n" << r.out;
    EXPECT_EQ(lines(r.out), 1u) << why << ":\n" << r.out;
  };
  lists(listed, "the running service's table");
  table.release();
  lists(found, "no process holds the pid file");
  EXPECT_EQ(zrlink({"--serial", "SER-LISTED", "info"}, table.setting()).status, 3);
  EXPECT_EQ(zrlink({"--serial", "SER-FOUND", "wait", "--timeout", "2"}, table.setting()).out, "172.16.0.2\n");
  table.hold();
  table.write(rows, 1);
  lists(found, "a table of another process");
  zrtest::WriteFile(table.dir.file("adapters"), "zr-dhcp-table 1 pid=" + std::to_string(getpid()) + "\nadapter x\n");
  lists(found, "a damaged table");
  unlink(table.dir.file("adapters").c_str());
  lists(found, "no table");
  Result none = zrlink({"list"});
  EXPECT_NE(none.out.find("172.16.0.2 "), std::string::npos) << "no runtime folder:\n" << none.out;
}

// A handheld's adapter (its USB id in sysfs) that has no 172.16 address yet: list says so
// and names where the DHCP service is explained, its manual page and its guide.
TEST(ZrlinkTable, ListPointsAtTheServiceForAHandheldsAdapterWithoutAddress) {
  ServiceTable table(table_row(21, "zrwait0", "1-9", "SER-W", 0, "waiting"));
  TempDir sys("zrlink-sysfs");
  const std::string dev = sys.file("devices/usb1/1-9");
  std::system(("mkdir -p '" + dev + "/1-9:1.0' '" + sys.file("class/net/zrwait0") + "'").c_str());
  zrtest::WriteFile(dev + "/idVendor", "4407\n");
  zrtest::WriteFile(dev + "/idProduct", "7705\n");
  ASSERT_EQ(symlink("../../../devices/usb1/1-9/1-9:1.0", sys.file("class/net/zrwait0/device").c_str()), 0);
  Setting with = table.setting();
  with.env.push_back({"ZR_SYSFS", sys.path()});
  Result r = zrlink({"list"}, with);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("zrwait0 is a handheld's USB network adapter (4407:7705) without a 172.16 address"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("see man zr-dhcp.exe and the guide zr-dhcp.md"), std::string::npos) << r.out;
}

// Which handheld, when no option names one: ZR_ADDR, then ZR_SERIAL; an option beats both.
// And the defaults and bounds of the command line: ls lists "/", push and pull run 4
// transfers at a time, -j takes 1 to 64, --max-handhelds 1 to 1024.  (In a private network:
// a choice gone wrong probes nothing outside it.)
TEST(ZrlinkCommandLine, TheEnvironmentChoosesTheHandheldAndTheDefaultsHold) {
  zrtest::PrivateNetwork net(0);
  if (!net.ok()) GTEST_SKIP() << "no private network namespace: " << net.why();
  Storage st;
  for (int i = 0; i < 6; ++i) Storage::write(st.root + "/big" + std::to_string(i) + ".bin", std::string(1 << 20, 'b'));
  zrtest::SimProcess a({"--storage", st.root, "--set", "name=HHA", "--set", "eid=SER-A", "--xfer-stall", "300000"});
  Storage other;
  zrtest::SimProcess b({"--storage", other.root, "--set", "name=HHB", "--set", "eid=SER-B"});
  ASSERT_TRUE(a.ok() && b.ok());
  ServiceTable table(table_row(31, "zrusb0", "", "SER-A", a.addr(), "leased") +
                     table_row(32, "zrusb1", "", "SER-B", b.addr(), "leased"));
  auto with = [&](std::vector<std::pair<std::string, std::string>> env) {
    Setting s = table.setting();
    s.env.insert(s.env.end(), env.begin(), env.end());
    return s;
  };
  auto name_of = [](const Result &r) {
    const size_t at = r.out.find("\nname ");
    return r.status != 0 || at == std::string::npos ? "exit " + std::to_string(r.status) : r.out.substr(at + 20, 3);
  };
  Result by_addr = zrlink({"ls"}, with({{"ZR_ADDR", a.addr_text()}}));
  EXPECT_EQ(by_addr.status, 0) << by_addr.err;
  EXPECT_EQ(by_addr.out.find("big0.bin\n"), 0u) << "ls lists the top folder: " << by_addr.out;
  EXPECT_EQ(name_of(zrlink({"info"}, with({{"ZR_ADDR", a.addr_text()}, {"ZR_SERIAL", "SER-B"}}))), "HHA");
  EXPECT_EQ(name_of(zrlink({"info"}, with({{"ZR_SERIAL", "SER-B"}}))), "HHB");
  EXPECT_EQ(name_of(zrlink({"--serial", "SER-B", "info"}, with({{"ZR_ADDR", a.addr_text()}}))), "HHB");
  EXPECT_EQ(name_of(zrlink({"--addr", b.addr_text(), "info"}, with({{"ZR_ADDR", a.addr_text()}}))), "HHB");
  EXPECT_EQ(name_of(zrlink({"--addr", a.addr_text(), "info"}, with({{"ZR_SERIAL", "SER-B"}}))), "HHA");

  EXPECT_EQ(zrlink({"--addr", a.addr_text(), "wait", "--count", "2"}, table.setting()).status, 2);
  TempDir host;
  EXPECT_EQ(zrlink({"--addr", b.addr_text(), "-q", "pull", "-j", "64", "/notes.txt", host.path()}).status, 0);
  EXPECT_EQ(zrlink({"--all", "--max-handhelds", "1025", "info"}, table.setting()).status, 2);
  EXPECT_EQ(zrlink({"--all", "--max-handhelds", "1024", "info"}, table.setting()).status, 0);
  EXPECT_EQ(zrlink({"--all", "--max-handhelds", "1", "info"}, table.setting()).status, 0);
  // ZR_ADDR and ZR_SERIAL do not narrow a count, not even a count of one.
  Result counted =
      zrlink({"wait", "--count", "1", "--timeout", "0"}, with({{"ZR_ADDR", "10.0.0.9"}, {"ZR_SERIAL", "SER-NONE"}}));
  EXPECT_EQ(counted.status, 0) << counted.err;
  EXPECT_NE(counted.out.find(a.addr_text() + "\n"), std::string::npos) << counted.out;
  EXPECT_EQ(zrlink({"wait", "--count", "16384", "--timeout", "0"}, table.setting()).status, 3);
  Result version = zrlink({"--version"});
  int major = -1, minor = -1, patch = -1, used = 0;
  EXPECT_EQ(std::sscanf(version.out.c_str(), "zrlink %d.%d.%d\n%n", &major, &minor, &patch, &used), 3) << version.out;
  EXPECT_EQ(static_cast<size_t>(used), version.out.size()) << version.out;
  Result h = zrlink({"-h"});
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(h.out, zrlink({"--help"}).out);

  // Six stalled fetches without -j: four workers at a time.
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    exec_zrlink({"--addr", a.addr_text(), "pull", "/big0.bin", "/big1.bin", "/big2.bin", "/big3.bin", "/big4.bin",
                 "/big5.bin", host.path()});
  }
  ASSERT_GT(pid, 0);
  size_t workers = 0;
  for (int i = 0; i < 40 && workers < 4; ++i, usleep(50 * 1000)) workers = children_of(pid).size();
  usleep(300 * 1000);
  workers = children_of(pid).size();
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(workers, 4u);
}

// With --all a serial or a name that cannot be a folder's name never becomes one: the
// address labels the handheld, and the label stands for the name.  And --serial finds a
// handheld by the serial it reports when no row of the service's table holds it; and each
// handheld runs in a process of its own, at most --max-handhelds at a time.
TEST(ZrlinkCommandLine, AllNeverMakesAFolderOfASerialOrNameUnfitForIt) {
  zrtest::PrivateNetwork net(0);
  if (!net.ok()) GTEST_SKIP() << "no private network namespace: " << net.why();
  Storage one, two;
  zrtest::SimProcess c({"--storage", one.root, "--set", "eid=../C", "--set", "name=x/y", "--fault-cmd", "dir",
                        "--delay", "700"});
  zrtest::SimProcess d({"--storage", two.root, "--set", "eid=SER-D", "--set", "name=..", "--fault-cmd", "dir",
                        "--delay", "700"});
  ASSERT_TRUE(c.ok() && d.ok());
  ServiceTable table(table_row(41, "zrusb0", "", "", c.addr(), "leased") +
                     table_row(42, "zrusb1", "", "", d.addr(), "leased"));
  TempDir here;
  Setting in_here = table.setting();
  in_here.cwd = here.path();
  Result pull = zrlink({"--all", "-q", "pull", "/notes.txt", "got/"}, in_here);
  EXPECT_EQ(pull.status, 0) << pull.out << pull.err;
  Result named = zrlink({"--all", "-q", "pull", "/notes.txt", "named/{name}.txt"}, in_here);
  EXPECT_EQ(named.status, 0) << named.out << named.err;
  EXPECT_EQ(tree(here.path()), ".\n./got\n./got/" + c.addr_text() + "\n./got/" + c.addr_text() +
                                   "/notes.txt 15\n./got/SER-D\n./got/SER-D/notes.txt 15\n./named\n./named/" +
                                   c.addr_text() + ".txt 15\n./named/SER-D.txt 15\n");
  // A serial that no row of the table holds is asked of the handhelds.
  Result asked = zrlink({"--serial", "SER-D", "stat", "/notes.txt"}, table.setting());
  EXPECT_EQ(asked.status, 0) << asked.err;

  // A process for each handheld, at most --max-handhelds at a time (each listing takes 0.7 s).
  auto most_at_once = [&](std::vector<std::string> args) {
    pid_t pid = fork();
    if (pid == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      setenv("ZR_DHCP_RUN_DIR", table.dir.path().c_str(), 1);
      exec_zrlink(args);
    }
    // The processes seen in two looks 0.1 s apart (not the short probes before them).
    size_t most = 0;
    int st = 0;
    std::vector<pid_t> before;
    while (pid > 0 && waitpid(pid, &st, WNOHANG) == 0) {
      std::vector<pid_t> now = children_of(pid);
      most = std::max(most, static_cast<size_t>(std::count_if(now.begin(), now.end(), [&](pid_t c) {
                        return std::find(before.begin(), before.end(), c) != before.end();
                      })));
      before = now;
      usleep(100 * 1000);
    }
    return most;
  };
  EXPECT_EQ(most_at_once({"--all", "ls", "/"}), 2u);
  EXPECT_EQ(most_at_once({"--all", "--max-handhelds", "1", "ls", "/"}), 1u);
}

}  // namespace
