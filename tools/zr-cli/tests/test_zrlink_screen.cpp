// zrlink screen as a user runs it: the window under a private X server (driven with
// xdotool), and recordings read back with ffprobe and ffmpeg.
#include "private_network.h"
#include "sim-pattern.h"
#include "sim_process.h"
#include "test_files.h"
#include "xvfb_server.h"
#include "zrlink_shell.h"
#include "cli-screen.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using zrlinktest::sh;
using zrtest::SimProcess;
using zrtest::TempDir;

// zrlink running in the background, its output streams in files.
class Zrlink {
 public:
  Zrlink(const std::vector<std::string> &args, const std::string &cwd, const std::string &display = "") {
    out_ = dir_ / "out";
    err_ = dir_ / "err";
    pid_ = fork();
    if (pid_ == 0) {
      dup2(open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
      dup2(open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
      if (chdir(cwd.c_str()) != 0) _exit(126);
      unsetenv("WAYLAND_DISPLAY");
      if (display.empty())
        unsetenv("DISPLAY");
      else
        setenv("DISPLAY", display.c_str(), 1);
      std::vector<char *> argv{const_cast<char *>(ZRLINK_PATH)};
      for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(ZRLINK_PATH, argv.data());
      _exit(127);
    }
  }
  ~Zrlink() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // The exit code, or -1 when it has not ended within `ms` (it is then killed).
  int wait(int ms) {
    for (int waited = 0; status_ < 0; waited += 20) {
      int st;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        break;
      }
      if (waited >= ms) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
  }
  void signal(int s) { kill(pid_, s); }
  std::string out() const { return zrlinktest::read_file(out_); }
  std::string err() const { return zrlinktest::read_file(err_); }

 private:
  TempDir dir_{"zrlink-screen"};
  std::string out_, err_;
  pid_t pid_ = -1;
  int status_ = -1;
};

std::vector<std::string> screen_args(const SimProcess &sim, std::vector<std::string> more) {
  more.insert(more.begin(), {"--addr", sim.addr_text(), "screen"});
  return more;
}

// "key=value" lines of ffprobe about the file's format and first stream.
std::map<std::string, std::string> probe(const std::string &file) {
  std::istringstream lines(
      sh("ffprobe -v error -show_entries format=duration:stream=codec_name,width,height -of default=nw=1 \"" + file +
         "\"")
          .out);
  std::map<std::string, std::string> keys;
  for (std::string line; std::getline(lines, line);) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) keys.emplace(line.substr(0, eq), line.substr(eq + 1));
  }
  return keys;
}

// How many images a decode of the whole file gives, all or only the different ones (-1 when
// it does not decode).
int decoded_images(const std::string &file, bool different = true) {
  zrlinktest::Shell r = sh("set -o pipefail; ffmpeg -v error -i \"" + file +
                           "\" -fps_mode passthrough -f framemd5 - | grep -v \"^#\" | awk -F, \"{print \\$NF}\" | " +
                           (different ? "sort -u | " : "") + "wc -l");
  return r.status == 0 ? std::stoi(r.out) : -1;
}
int different_images(const std::string &file) { return decoded_images(file); }

// The screen requests the simulator has had.
int screen_requests(const SimProcess &sim) {
  int count = 0;
  for (const auto &r : sim.requests()) count += r.rfind("scrn ", 0) == 0;
  return count;
}

// The shown window whose title holds `text` on the display (0: none within `ms`).
unsigned long find_window(const std::string &display, const std::string &text, int ms = 15000) {
  for (int waited = 0; waited < ms; waited += 100) {
    zrlinktest::Shell r = sh("DISPLAY=" + display + " xdotool search --onlyvisible --name \"" + text + "\"", 5);
    if (r.status == 0 && !r.out.empty()) return std::stoul(r.out);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return 0;
}

std::string xdo(const std::string &display, const std::string &command) {
  return sh("DISPLAY=" + display + " xdotool " + command, 5).out;
}

// The titles of every window on the display, shown or not (what a failed search saw).
std::string windows_on(const std::string &display) {
  return "windows on " + display + ":\n" + xdo(display, "search --name . getwindowname %@");
}

// The window's picture as R,G,B bytes, read with ImageMagick.
std::string window_pixels(const std::string &display, unsigned long window) {
  TempDir dir;
  std::string raw = dir / "window.rgb";
  sh("DISPLAY=" + display + " import -window " + std::to_string(window) + " -depth 8 rgb:" + raw, 10);
  return zrtest::ReadFile(raw).value_or("");
}

// Whether the window's picture is all grey (every pixel r = g = b).
bool window_is_grey(const std::string &display, unsigned long window) {
  std::string p = window_pixels(display, window);
  if (p.size() < 3) return false;
  for (size_t i = 0; i + 2 < p.size(); i += 3)
    if (p[i] != p[i + 1] || p[i] != p[i + 2]) return false;
  return true;
}

// Waits (at most 5 s) until the simulator has had `n` screen requests.
void wait_for_images(const SimProcess &sim, int n) {
  for (int i = 0; i < 100 && screen_requests(sim) < n; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

class ZrlinkScreenWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    if (sh("command -v xdotool && command -v import").status != 0) GTEST_SKIP() << "xdotool or import missing";
    if (!xvfb_.running()) GTEST_SKIP() << "no X server: " << xvfb_.why();
  }
  zrtest::XvfbServer xvfb_;
};

TEST_F(ZrlinkScreenWindow, ShowsTheHandheldSavesItsScreenshotAndWaitsForItWhenItGoes) {
  auto sim = std::make_unique<SimProcess>();
  ASSERT_TRUE(sim->ok()) << sim->error();
  const std::string addr = sim->addr_text();
  TempDir here;
  Zrlink screen(screen_args(*sim, {}), here.path(), xvfb_.display());
  unsigned long w = find_window(xvfb_.display(), "ZRSIM-0000-0000-0001");
  ASSERT_NE(w, 0u) << screen.err() << windows_on(xvfb_.display());
  std::string title = xdo(xvfb_.display(), "getwindowname " + std::to_string(w));
  EXPECT_NE(title.find("ZR-SIM (ZRSIM-0000-0000-0001)"), std::string::npos) << title;
  std::string geometry = xdo(xvfb_.display(), "getwindowgeometry --shell " + std::to_string(w));
  unsigned width = 0, height = 0;
  std::sscanf(geometry.c_str() + geometry.find("WIDTH="), "WIDTH=%u", &width);
  std::sscanf(geometry.c_str() + geometry.find("HEIGHT="), "HEIGHT=%u", &height);
  EXPECT_GE(width, 320u) << geometry;  // twice the screen's 320 x 240 by default
  EXPECT_GE(height, 240u) << geometry;

  // s: the picture zrlink screenshot takes, under a name printed.
  // (Pressed again until it is seen: a key may come before the new window takes keys.)
  std::string saved;
  for (int i = 0; i < 100 && saved.empty(); ++i) {
    if (i % 10 == 0) xdo(xvfb_.display(), "key --window " + std::to_string(w) + " s");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string out = screen.out();
    if (out.find(": 320 x 240\n") != std::string::npos) saved = out.substr(0, out.find(':'));
  }
  ASSERT_FALSE(saved.empty()) << screen.out() << screen.err();
  EXPECT_EQ(saved.rfind("screenshot-", 0), 0u) << saved;
  ASSERT_EQ(sh(std::string(ZRLINK_PATH) + " --addr " + addr + " screenshot " + here.path() + "/cli.png").status, 0);
  EXPECT_TRUE(zrtest::ReadFile(here / saved).value_or("a") == zrtest::ReadFile(here / "cli.png").value_or("b"));
  // Each screen pixel is a sharp 2 x 2 square of the window, in the screen's colours.
  std::string shown = window_pixels(xvfb_.display(), w);
  ASSERT_EQ(shown.size(), 640u * 480u * 3u);
  zrsim::ScreenGeometry g{240, 320, 16};
  for (unsigned y = 1; y < 240; y += 37) {
    for (unsigned x = 3; x < 320; x += 29) {
      auto at = [&](unsigned wx, unsigned wy) { return shown.substr((static_cast<size_t>(wy) * 640 + wx) * 3, 3); };
      std::string p = at(2 * x, 2 * y);
      EXPECT_EQ(at(2 * x + 1, 2 * y + 1), p) << x << "," << y;
      EXPECT_EQ(at(2 * x + 1, 2 * y), p) << x << "," << y;
      zrsim::PatternRgb want = zrsim::pattern_rgb(g, x, y);
      EXPECT_EQ(static_cast<uint8_t>(p[0]) >> 3, want.red >> 3) << x << "," << y;
      EXPECT_EQ(static_cast<uint8_t>(p[1]) >> 2, want.green >> 2) << x << "," << y;
      EXPECT_EQ(static_cast<uint8_t>(p[2]) >> 3, want.blue >> 3) << x << "," << y;
    }
  }

  // Wider: the picture keeps its aspect, with bars beside it, and stays sharp.
  xdo(xvfb_.display(), "windowsize " + std::to_string(w) + " 960 480");
  for (int i = 0; i < 40 && xdo(xvfb_.display(), "getwindowgeometry --shell " + std::to_string(w)).find("WIDTH=960") ==
                                std::string::npos;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::string wide = window_pixels(xvfb_.display(), w);
  ASSERT_EQ(wide.size(), 960u * 480u * 3u);
  auto wide_at = [&](unsigned x, unsigned y) { return wide.substr((static_cast<size_t>(y) * 960 + x) * 3, 3); };
  EXPECT_EQ(wide_at(80, 240), std::string(3, '\0'));   // a bar
  EXPECT_EQ(wide_at(880, 240), std::string(3, '\0'));  // the other
  for (unsigned x : {0u, 401u, 639u})
    EXPECT_EQ(wide_at(160 + x, 201), shown.substr((static_cast<size_t>(201) * 640 + x) * 3, 3)) << x;

  // The handheld goes: the last image greyed, the title says so; it comes back: live again.
  sim->stop();
  std::string gone;
  for (int i = 0; i < 100 && gone.find("not answering") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    gone = xdo(xvfb_.display(), "getwindowname " + std::to_string(w));
  }
  EXPECT_NE(gone.find("not answering"), std::string::npos) << gone;
  EXPECT_TRUE(window_is_grey(xvfb_.display(), w));
  sim = std::make_unique<SimProcess>(std::vector<std::string>{}, addr);
  ASSERT_TRUE(sim->ok()) << sim->error();
  std::string back;
  for (int i = 0; i < 100 && back.find("images/s") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    back = xdo(xvfb_.display(), "getwindowname " + std::to_string(w));
  }
  EXPECT_NE(back.find("images/s"), std::string::npos) << back;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(window_is_grey(xvfb_.display(), w));

  xdo(xvfb_.display(), "key --window " + std::to_string(w) + " q");
  EXPECT_EQ(screen.wait(3000), 0) << screen.err();

  // With a recording beside the window, Ctrl-C ends both, the file whole.
  Zrlink recording(screen_args(*sim, {"--record", here / "window.gif"}), here.path(), xvfb_.display());
  unsigned long w2 = find_window(xvfb_.display(), "ZRSIM-0000-0000-0001");
  ASSERT_NE(w2, 0u) << recording.err() << windows_on(xvfb_.display());
  // Until the title counts images (two at least have come, and been recorded).
  std::string t;
  for (int i = 0; i < 100; ++i) {
    t = xdo(xvfb_.display(), "getwindowname " + std::to_string(w2));
    if (t.find("images/s") != std::string::npos && t.find(" 0.0 images/s") == std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(t.find(" 0.0 images/s"), std::string::npos) << t;
  recording.signal(SIGINT);
  EXPECT_EQ(recording.wait(3000), 130) << recording.err();
  EXPECT_GE(different_images(here / "window.gif"), 1);
  EXPECT_EQ(probe(here / "window.gif")["width"], "640");
}

// --all: both handhelds of a private network in one window, each cell its own screen with
// its label below; s saves each; one that stops greys its cell alone.
TEST(ZrlinkScreenAll, EveryHandheldInOneWindow) {
  if (sh("command -v xdotool && command -v import").status != 0) GTEST_SKIP() << "xdotool or import missing";
  zrtest::PrivateNetwork net(2);
  if (!net.ok()) GTEST_SKIP() << "no private network namespace: " << net.why();
  zrtest::XvfbServer xvfb;
  if (!xvfb.running()) GTEST_SKIP() << "no X server: " << xvfb.why();
  std::string why;
  ASSERT_TRUE(zrtest::run_quietly({"ip", "addr", "add", "172.16.0.6/32", "dev", "lo"}, &why)) << why;
  SimProcess a({"--screen-animate", "--set", "eid=SER-A", "--set", "name=ANNA"}, "172.16.0.2");
  auto b = std::make_unique<SimProcess>(
      std::vector<std::string>{"--screen-animate", "--set", "eid=SER-B", "--set", "name=BEN"}, "172.16.0.6");
  ASSERT_TRUE(a.ok() && b->ok()) << a.error() << b->error();
  TempDir here;
  Zrlink all({"--all", "screen", "--scale", "1"}, here.path(), xvfb.display());
  unsigned long w = find_window(xvfb.display(), "2 handhelds", 8000);
  ASSERT_NE(w, 0u) << all.err() << windows_on(xvfb.display());
  // Two cells side by side: 320 x 240 each, 8 pixels around, a band of 24 below.
  const size_t width = 2 * 336, height = 272;
  auto cell_state = [&](size_t cell, bool *grey, bool *labelled) {
    std::string p = window_pixels(xvfb.display(), w);
    *grey = *labelled = false;
    if (p.size() != width * height * 3) return;
    *grey = true;
    for (size_t y = 8; y < 248; ++y)
      for (size_t x = cell * 336 + 8; x < cell * 336 + 328; ++x) {
        const char *q = &p[(y * width + x) * 3];
        *grey = *grey && q[0] == q[1] && q[0] == q[2];
      }
    for (size_t y = 248; y < 272; ++y)
      for (size_t x = cell * 336; x < cell * 336 + 336; ++x) *labelled = *labelled || p[(y * width + x) * 3] != 0;
  };
  for (size_t cell : {0u, 1u}) {
    bool grey = true, labelled = false;
    for (int i = 0; i < 50 && grey; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100)))
      cell_state(cell, &grey, &labelled);
    EXPECT_FALSE(grey) << cell << all.err();
    EXPECT_TRUE(labelled) << cell;
  }
  EXPECT_GE(screen_requests(a), 2);
  EXPECT_GE(screen_requests(*b), 2);

  std::string out;
  for (int i = 0; i < 100 && out.find("SER-B: ") == std::string::npos; ++i) {
    if (i % 10 == 0) xdo(xvfb.display(), "key --window " + std::to_string(w) + " s");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    out = all.out();
  }
  for (const char *label : {"SER-A", "SER-B"}) {
    size_t at = out.find(std::string(label) + ": screenshot-");
    ASSERT_NE(at, std::string::npos) << out;
    std::string name = out.substr(at + 7, out.find(':', at + 7) - at - 7);
    EXPECT_NE(name.find(std::string("-") + label + ".png"), std::string::npos) << name;
    EXPECT_EQ(zrtest::ReadFile(here / name).value_or("").substr(1, 3), "PNG") << name;
  }

  b->stop();
  bool grey = false, labelled;
  for (int i = 0; i < 50 && !grey; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(100)))
    cell_state(1, &grey, &labelled);
  EXPECT_TRUE(grey) << all.err();
  cell_state(0, &grey, &labelled);
  EXPECT_FALSE(grey);
  xdo(xvfb.display(), "key --window " + std::to_string(w) + " q");
  EXPECT_EQ(all.wait(5000), 0) << all.err();
}

TEST(ZrlinkScreenRecord, HoldsEveryImageAtItsTimeInEachFormat) {
  SimProcess sim({"--screen-animate"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  TempDir here;
  // No display: the recording goes on without a window.
  Zrlink mp4(screen_args(sim, {"--record", here / "three.mp4", "--duration", "3"}), here.path());
  ASSERT_EQ(mp4.wait(8000), 0) << mp4.err();
  EXPECT_NE(mp4.out().find("three.mp4: "), std::string::npos) << mp4.out();
  auto p = probe(here / "three.mp4");
  EXPECT_EQ(p["codec_name"], "h264");
  EXPECT_EQ(p["width"], "640");  // the window's size: twice the screen's by default
  EXPECT_EQ(p["height"], "480");
  double seconds = std::stod(p["duration"].empty() ? "0" : p["duration"]);
  EXPECT_GE(seconds, 2.5);
  EXPECT_LE(seconds, 4.0);
  EXPECT_GE(different_images(here / "three.mp4"), 30);
  // Every image the handheld sent, once: none invented to fill a rate, none dropped.
  int images = -1;
  std::sscanf(mp4.out().c_str(), "%*[^:]: %d images", &images);
  EXPECT_EQ(images, screen_requests(sim)) << mp4.out();
  EXPECT_EQ(decoded_images(here / "three.mp4", false), images);
  EXPECT_EQ(access((here / "three.mp4.part").c_str(), F_OK), -1);

  // The other formats, both at once (each its own requests, one at a time).
  std::vector<std::string> names{"one.webm", "one.gif"};
  std::vector<std::unique_ptr<Zrlink>> runs;
  for (const auto &name : names)
    runs.push_back(std::make_unique<Zrlink>(
        screen_args(sim, {"--record", here / name, "--duration", "1", "--scale", "1", "--no-window"}), here.path()));
  for (size_t i = 0; i < names.size(); ++i) {
    ASSERT_EQ(runs[i]->wait(6000), 0) << runs[i]->err();
    auto q = probe(here / names[i]);
    EXPECT_EQ(q["codec_name"], names[i].find("gif") != std::string::npos ? "gif" : "vp9") << names[i];
    EXPECT_EQ(q["width"], "320") << names[i];
    EXPECT_EQ(q["height"], "240") << names[i];
    EXPECT_GE(different_images(here / names[i]), 5) << names[i];
  }
}

TEST(ZrlinkScreenRecord, EndsPlayableWhenTheHandheldStopsOrOnCtrlC) {
  TempDir here;
  {
    SimProcess sim({"--screen-animate"});
    ASSERT_TRUE(sim.ok()) << sim.error();
    Zrlink r(screen_args(sim, {"--record", here / "cut.mp4", "--no-window"}), here.path());
    wait_for_images(sim, 10);
    sim.stop();
    int status = r.wait(5000);
    EXPECT_TRUE(status == 1 || status == 3) << status << r.err();
    EXPECT_NE(r.err().find("the recording ends here"), std::string::npos) << r.err();
    EXPECT_GE(different_images(here / "cut.mp4"), 5);
    EXPECT_GT(std::stod(probe(here / "cut.mp4")["duration"] + "0"), 0.3);
  }
  SimProcess sim({"--screen-animate"});
  ASSERT_TRUE(sim.ok()) << sim.error();
  Zrlink r(screen_args(sim, {"--record", here / "stopped.webm", "--no-window"}), here.path());
  wait_for_images(sim, 10);
  r.signal(SIGINT);
  EXPECT_EQ(r.wait(5000), 130) << r.err();
  EXPECT_NE(r.out().find("stopped.webm: "), std::string::npos) << r.out();
  EXPECT_GE(different_images(here / "stopped.webm"), 2);
  EXPECT_EQ(access((here / "stopped.webm.part").c_str(), F_OK), -1);
}

TEST(ZrlinkScreenRecord, RefusesWhatItCannotDoWithoutLeavingAFile) {
  SimProcess sim;
  ASSERT_TRUE(sim.ok()) << sim.error();
  TempDir here;
  struct Case {
    std::vector<std::string> args;
    int status;
    const char *says;
  };
  for (const Case &c : std::vector<Case>{
           {{"--record", here / "x.avi"}, 2, "a recording is a .mp4, .webm or .gif file"},
           {{"--no-window"}, 2, "--no-window needs --record"},
           {{"--scale", "0"}, 2, "--scale needs a number"},
           {{"--scale", "17"}, 2, "--scale needs a number from 1 to 16"},
           {{"--duration", "-1", "--record", here / "x.mp4"}, 2, "--duration needs"},
           {{}, 1, "no window: there is no display"},
       }) {
    Zrlink r(screen_args(sim, c.args), here.path());
    EXPECT_EQ(r.wait(5000), c.status) << c.args.size() << r.err();
    EXPECT_NE(r.err().find(c.says), std::string::npos) << r.err();
  }
  // --all is a window only (refused before any handheld is asked).
  Zrlink all({"--all", "screen", "--record", here / "all.mp4"}, here.path());
  EXPECT_EQ(all.wait(5000), 2) << all.err();
  EXPECT_NE(all.err().find("screen --all shows a window only"), std::string::npos) << all.err();
  Zrlink windowless({"--all", "screen", "--no-window"}, here.path());
  EXPECT_EQ(windowless.wait(5000), 2) << windowless.err();
  // A handheld gone before the first image: no recording at all.
  sim.stop();
  Zrlink r(screen_args(sim, {"--record", here / "none.mp4", "--no-window"}), here.path());
  EXPECT_EQ(r.wait(5000), 3) << r.err();
  EXPECT_EQ(zrlinktest::tree(here.path()), "");
}

// ---- text in pictures ---------------------------------------------------------------------

// The picture as rows of '#' (white) and '.' (anything else).
std::string art(const std::vector<uint8_t> &rgb, unsigned width) {
  std::string out;
  for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
    out += rgb[i] == 255 && rgb[i + 1] == 255 && rgb[i + 2] == 255 ? '#' : '.';
    if ((i / 3 + 1) % width == 0) out += '\n';
  }
  return out;
}

uint64_t fnv1a(const std::string &s) {
  uint64_t h = 14695981039346656037ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

std::string drawn(unsigned width, unsigned height, unsigned x, unsigned y, const std::string &text) {
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3, 7);
  zrcli::write_text(rgb, width, height, x, y, text);
  return art(rgb, width);
}

// The labels' font: every character of it in its own cell, lower case as upper case, other
// characters as spaces, and nothing past the right edge or below the bottom.
TEST(ZrlinkScreenText, WritesEachCharacterInItsCellAndNothingOutside) {
  const std::string font = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.:-,()'/";
  const unsigned width = 6 * static_cast<unsigned>(font.size());
  const std::string all = drawn(width, 9, 0, 1, font);
  // The whole font as it was drawn and looked at; a changed glyph changes this value (the
  // picture is printed to look at it again).
  EXPECT_EQ(fnv1a(all), 0xc9eea15d92d76ccfull) << all;
  EXPECT_EQ(drawn(width, 9, 0, 1, "abcdefghijklmnopqrstuvwxyz"), drawn(width, 9, 0, 1, font.substr(0, 26)));
  EXPECT_EQ(drawn(width, 9, 0, 1, "?#~A"), drawn(width, 9, 18, 1, "A"));

  // A character is written only whole: with 6n + 4 columns n fit, with 6n + 5 one more.
  EXPECT_EQ(drawn(22, 9, 0, 1, "AAAAA"), drawn(22, 9, 0, 1, "AAA"));
  EXPECT_EQ(drawn(23, 9, 0, 1, "AAAAA"), drawn(23, 9, 0, 1, "AAAA"));
  EXPECT_NE(drawn(23, 9, 0, 1, "AAAA"), drawn(23, 9, 0, 1, "AAA"));
  EXPECT_EQ(drawn(23, 9, 6, 1, "AAAAA"), drawn(23, 9, 6, 1, "AAA"));
  // Seven rows below y or nothing.
  EXPECT_NE(drawn(6, 8, 0, 1, "A"), drawn(6, 8, 0, 1, ""));
  EXPECT_EQ(drawn(6, 8, 0, 2, "A"), drawn(6, 8, 0, 2, ""));
}

// Each pixel format the handheld reports gives the same colours in the window and the
// recording (screen_rgb) as in a screenshot (the PNG), in every row.
TEST(ZrlinkScreenPixels, EachFormatGivesItsColoursInEveryRow) {
  struct Case {
    unsigned bpp;
    std::vector<uint8_t> pixel, rgb;
  };
  const std::vector<Case> cases = {{8, {0x80}, {0x80, 0x80, 0x80}},     {16, {0x00, 0xF8}, {255, 0, 0}},
                                   {16, {0xE0, 0x07}, {0, 255, 0}},     {16, {0x1F, 0x00}, {0, 0, 255}},
                                   {24, {1, 2, 3}, {3, 2, 1}},          {32, {1, 2, 3, 4}, {3, 2, 1}}};
  TempDir dir;
  for (const Case &c : cases) {
    zrcli::ScreenImage image;
    image.width = 2, image.height = 3, image.bpp = c.bpp;
    std::vector<uint8_t> want;
    for (int i = 0; i < 6; ++i) {
      image.pixels.insert(image.pixels.end(), c.pixel.begin(), c.pixel.end());
      want.insert(want.end(), c.rgb.begin(), c.rgb.end());
    }
    EXPECT_EQ(zrcli::screen_rgb(image), want) << c.bpp << " bits";
    zrlinktest::Picture png;
    ASSERT_TRUE(zrcli::write_png(dir / "shot.png", image));
    ASSERT_TRUE(zrlinktest::read_png(dir / "shot.png", &png));
    EXPECT_EQ(png.rgb, want) << c.bpp << " bits";
  }
}

// A handheld that stopped answering: its last picture in grey, half as bright, and a black
// band across the middle with as much of the line as fits, centred.
TEST(ZrlinkScreenText, GreysThePictureUnderABandWithTheLine) {
  const unsigned width = 32, height = 20;
  std::vector<uint8_t> rgb(width * height * 3);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(i * 37 % 251 + 4);
  const std::vector<uint8_t> before = rgb;
  zrcli::grey_with_line(rgb, width, height, "ABCDEFGH");
  const unsigned top = height / 2 - 5;
  std::vector<uint8_t> band(width * 11 * 3, 0);
  zrcli::write_text(band, width, 11, 1, 2, "ABCDE");  // 5 of 8 fit in 32 columns, centred
  for (unsigned y = 0; y < height; ++y)
    for (unsigned x = 0; x < width; ++x) {
      const size_t at = (static_cast<size_t>(y) * width + x) * 3;
      if (y >= top && y < top + 11) {
        const size_t in_band = (static_cast<size_t>(y - top) * width + x) * 3;
        ASSERT_TRUE(std::equal(&band[in_band], &band[in_band] + 3, &rgb[at])) << x << "," << y;
        continue;
      }
      const double light = 0.299 * before[at] + 0.587 * before[at + 1] + 0.114 * before[at + 2];
      ASSERT_TRUE(rgb[at] == rgb[at + 1] && rgb[at] == rgb[at + 2]) << x << "," << y;
      ASSERT_NEAR(rgb[at], light / 2, 1.0) << x << "," << y;
    }
  // Too low for the band: greyed only.
  std::vector<uint8_t> low(width * 10 * 3, 200);
  zrcli::grey_with_line(low, width, 10, "ABC");
  EXPECT_EQ(std::count(low.begin(), low.end(), 100), static_cast<long>(low.size()));
}

}  // namespace
