// cli-screen-live.cpp -- screen: the handheld's screen live, in a window and in a recording.
//
// One thread asks for the images, one screen request after the other (never two at a
// time on the link), and hands each to the recording and to the window; the main thread
// runs the window (SDL wants its events there), or only waits when there is none.  The
// link library is used by the asking thread alone while it runs.
//
// With --all, one window shows every answering handheld's screen in a grid.  The library
// is one handheld's in a process, so each handheld's images are asked for in a child of its
// own (start_child), by the same asking thread, and sent to the window's process over the
// child's standard output, each as a Frame; its messages come labelled on standard error.
#include "cli-screen.h"
#include "cli.h"
#include "zr-net.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zrcli {

#ifndef ZRLINK_WITH_SCREEN

int cmd_screen(const Options &) {
  std::fprintf(stderr,
               "zrlink: screen: not built with screen support (this zrlink was built without SDL2 and FFmpeg)\n");
  return kFailed;
}

#else

namespace {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

const char kGoneLine[] = "not answering - waiting for the handheld";

// What the asking thread and the window share.
struct Live {
  std::mutex mutex;
  ScreenImage image;         // the newest image
  std::vector<uint8_t> rgb;  // ... as R,G,B
  uint64_t number = 0;       // images so far
  bool gone = false;         // the handheld does not answer (the window greys the image)
  double rate = 0;           // images per second over the last second or so
  std::atomic<bool> stop{false};
  std::atomic<bool> done{false};
  int exit_code = kOk;
};

struct Recording {
  std::string path;
  std::unique_ptr<Recorder> recorder;
  Clock::time_point first;  // the first image's time: the recording's 0
  bool begun = false;

  // Ends the file at `end` and says what it holds; false (and no file) on failure.
  bool finish(double end) {
    std::string why;
    int images = recorder->images();
    bool ok = recorder->finish(end, &why);
    recorder.reset();
    if (!ok) {
      std::fprintf(stderr, "zrlink: screen: recording %s: %s\n", path.c_str(), why.c_str());
      return false;
    }
    std::printf("%s: %d images in %.1f s (%.1f images/s)\n", path.c_str(), images, end, end > 0 ? images / end : 0.0);
    std::fflush(stdout);
    return true;
  }
};

// The asking thread.
void ask(uint32_t addr, ScreenImage image, const Options &opt, Recording *rec, bool with_window, Live *live) {
  std::deque<Clock::time_point> recent;  // arrival times of the last second's images
  Clock::time_point first;               // the first image's arrival: --duration counts from it
  bool any = false;
  auto end_recording = [&](Clock::time_point at) {
    if (!rec->recorder) return;
    double end = rec->begun ? seconds_between(rec->first, at) : 0;
    if (opt.duration > 0 && end > opt.duration) end = opt.duration;
    if (!rec->begun) {
      std::fprintf(stderr, "zrlink: screen: %s: no image was recorded\n", rec->path.c_str());
      rec->recorder.reset();
      live->exit_code = kFailed;
    } else if (!rec->finish(end)) {
      live->exit_code = kFailed;
    }
  };
  while (!live->stop && !interrupted()) {
    if (opt.duration > 0 && any && seconds_between(first, Clock::now()) >= opt.duration) break;
    size_t got = 0;
    int r = read_screen(addr, &image, &got);
    Clock::time_point now = Clock::now();
    if (r < 0) {
      if (interrupted() || live->stop) break;
      std::string why = r == ZR_E_SHORT ? "the handheld sent " + std::to_string(got) + " of " +
                                              std::to_string(image.pixels.size()) + " bytes of an image"
                                        : explain(Context(), r);
      if (rec->recorder) {
        std::fprintf(stderr, "zrlink: screen: %s; the recording ends here\n", why.c_str());
        end_recording(now);
        if (live->exit_code == kOk) live->exit_code = unreachable(r) ? kNoDevice : kFailed;
      } else if (!with_window) {
        live->exit_code = report("screen image", r);
      }
      if (!with_window) break;
      std::fprintf(stderr, "zrlink: screen: %s; waiting for the handheld\n", why.c_str());
      {
        std::lock_guard<std::mutex> lock(live->mutex);
        live->gone = true;
      }
      // Until it answers again with the same screen; every try costs a request.
      for (;;) {
        for (int i = 0; i < 10 && !live->stop && !interrupted(); ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (live->stop || interrupted()) break;
        zr_info in;
        if (KQ_ZR_sr_info(addr, 1, &in) == 0 && in.sgeo[0] == image.height && in.sgeo[1] == image.width &&
            in.sgeo[2] == image.bpp)
          break;
      }
      if (live->stop || interrupted()) break;
      std::fprintf(stderr, "zrlink: screen: the handheld answers again\n");
      recent.clear();
      std::lock_guard<std::mutex> lock(live->mutex);
      live->gone = false;
      continue;
    }
    std::vector<uint8_t> rgb = screen_rgb(image);
    if (!any) {
      first = now;
      any = true;
    }
    if (rec->recorder) {
      if (!rec->begun) {
        rec->first = now;
        rec->begun = true;
      }
      std::string why;
      if (!rec->recorder->add(rgb, seconds_between(rec->first, now), &why)) {
        std::fprintf(stderr, "zrlink: screen: recording %s: %s\n", rec->path.c_str(), why.c_str());
        rec->recorder.reset();
        live->exit_code = kFailed;
        if (!with_window) break;
      }
    }
    recent.push_back(now);
    while (recent.size() > 1 && seconds_between(recent.front(), now) > 1.0) recent.pop_front();
    std::lock_guard<std::mutex> lock(live->mutex);
    live->image = image;
    live->rgb = std::move(rgb);
    ++live->number;
    double span = recent.size() > 1 ? seconds_between(recent.front(), now) : 0;
    live->rate = span > 0 ? (recent.size() - 1) / span : 0;
  }
  end_recording(Clock::now());
  live->done = true;
}

// The window's title: the handheld's name and serial, and how fast the images come.
std::string title_of(const std::string &who, const Live &live) {
  char rate[64];
  if (live.gone) return who + " - not answering";
  std::snprintf(rate, sizeof rate, " - %.1f images/s", live.rate);
  return who + rate;
}

void save(Live *live) {
  ScreenImage image;
  {
    std::lock_guard<std::mutex> lock(live->mutex);
    if (live->number == 0) return;
    image = live->image;
  }
  std::string name = dated_name(true);
  if (write_png(name, image))
    std::printf("%s: %u x %u\n", name.c_str(), image.width, image.height);
  else
    std::fprintf(stderr, "zrlink: screen: cannot write %s\n", name.c_str());
  std::fflush(stdout);
}

// ---- every handheld at once -------------------------------------------------------------

// What a child sends: an image (its pixels as the handheld sent them follow), or that the
// handheld stopped or started answering again.
struct Frame {
  enum Kind : uint32_t { kImage, kGone, kBack } kind;
  uint32_t width, height, bpp, bytes;
};

// A session with the handheld's screen opened: the screen's record and an image of its size,
// with the waits of screen: shorter than the other commands', so that a handheld that went
// away shows soon and Ctrl-C is not kept waiting.  exit_code: 0, or the exit code with the
// reason printed.
struct OpenScreen {
  explicit OpenScreen(const Options &opt) : session(opt) {
    if (!session.ok()) {
      exit_code = session.exit_code();
      return;
    }
    zr_tune tune{3000, 3000};
    KQ_ZR_sl_tune(2, &tune);
    exit_code = session.info(&in);
    if (exit_code == kOk) exit_code = screen_geometry(in, &image, "screen");
  }
  Session session;
  zr_info in{};
  ScreenImage image;
  int exit_code = kOk;
};

// The child of one handheld: asks for its images and sends each new one, and each change
// of its answering, on standard output until the window's process stops it.
int feed_screen(const Options &opt) {
  OpenScreen screen(opt);
  if (screen.exit_code != kOk) return screen.exit_code;
  const uint32_t addr = screen.session.addr();
  ScreenImage image = screen.image;  // each new one in turn
  Recording none;
  Live live;
  std::thread asker(ask, addr, image, std::cref(opt), &none, true, &live);
  uint64_t sent = 0;
  bool gone = false, broken = false;
  while (!live.done && !interrupted() && !broken) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    Frame f{Frame::kImage, image.width, image.height, image.bpp, 0};
    {
      std::lock_guard<std::mutex> lock(live.mutex);
      if (live.gone != gone) {
        gone = live.gone;
        f.kind = gone ? Frame::kGone : Frame::kBack;
      } else if (live.number != sent) {
        sent = live.number;
        image = live.image;
        f.bytes = static_cast<uint32_t>(image.pixels.size());
      } else {
        continue;
      }
    }
    broken = !write_all(1, &f, sizeof f) || (f.bytes > 0 && !write_all(1, image.pixels.data(), f.bytes));
  }
  live.stop = true;
  asker.join();
  return interrupted() || broken ? kOk : live.exit_code;
}

// One handheld's cell in the grid.
struct Cell {
  Handheld h;
  Child child;
  std::string in, err;  // what came from its pipes and is not used yet
  ScreenImage image;    // its newest image
  bool shown = false;   // an image came
  bool gone = false;    // it does not answer (or its child ended)
  std::string label() const {
    return (h.name.empty() ? std::string("-") : h.name) + "  " + (h.serial.empty() ? addr_text(h.addr) : h.serial);
  }
};

// Reads what is ready from a cell's pipes; true when something changed.
bool drain_cell(Cell &c, int &fd, bool is_out) {
  char buf[65536];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return false;
  if (!is_out) {
    if (n > 0) c.err.append(buf, static_cast<size_t>(n));
    emit_lines(c.err, c.h.label, stderr, n <= 0);
    if (n <= 0) close(fd), fd = -1;
    return false;
  }
  if (n <= 0) {
    close(fd), fd = -1;
    c.gone = true;
    return true;
  }
  c.in.append(buf, static_cast<size_t>(n));
  bool changed = false;
  for (;;) {
    Frame f;
    if (c.in.size() < sizeof f) break;
    std::memcpy(&f, c.in.data(), sizeof f);
    if (c.in.size() < sizeof f + f.bytes) break;
    if (f.kind == Frame::kImage) {
      c.image.width = f.width, c.image.height = f.height, c.image.bpp = f.bpp;
      c.image.pixels.assign(c.in.begin() + sizeof f, c.in.begin() + static_cast<long>(sizeof f + f.bytes));
      c.shown = true;
    }
    if (f.kind != Frame::kImage) c.gone = f.kind == Frame::kGone;
    c.in.erase(0, sizeof f + f.bytes);
    changed = true;
  }
  return changed;
}

// The grid of sheet_grid: each cell the largest screen with kSheetMargin pixels around it
// and its label in the band of kSheetBand pixels below; a handheld that does not answer has
// its last image greyed with a line saying so.
std::vector<uint8_t> grid_rgb(const std::vector<Cell> &cells, unsigned w, unsigned h, unsigned *gw, unsigned *gh) {
  int columns, rows;
  sheet_grid(cells.size(), &columns, &rows);
  const unsigned cw = w + 2 * kSheetMargin, ch = kSheetMargin + h + kSheetBand;
  *gw = static_cast<unsigned>(columns) * cw;
  *gh = static_cast<unsigned>(rows) * ch;
  std::vector<uint8_t> grid(static_cast<size_t>(*gw) * *gh * 3, 0);
  for (size_t i = 0; i < cells.size(); ++i) {
    const Cell &c = cells[i];
    const unsigned x = static_cast<unsigned>(static_cast<int>(i) % columns) * cw + kSheetMargin;
    const unsigned y = static_cast<unsigned>(static_cast<int>(i) / columns) * ch + kSheetMargin;
    unsigned iw = w, ih = h;
    std::vector<uint8_t> rgb;
    if (c.shown) {
      rgb = screen_rgb(c.image);
      iw = c.image.width, ih = c.image.height;
    } else {
      rgb.assign(static_cast<size_t>(w) * h * 3, 96);
    }
    if (c.gone || !c.shown) grey_with_line(rgb, iw, ih, c.gone ? kGoneLine : "waiting for the first image");
    for (unsigned row = 0; row < ih; ++row)
      std::memcpy(&grid[((static_cast<size_t>(y) + row) * *gw + x) * 3], &rgb[static_cast<size_t>(row) * iw * 3],
                  static_cast<size_t>(iw) * 3);
    write_text(grid, *gw, *gh, x, y + h + (kSheetBand - 7) / 2, c.label());
  }
  return grid;
}

// s with --all: one PNG per handheld, "screenshot-DATE-LABEL.png".
void save_all(const std::vector<Cell> &cells) {
  const std::string dated = dated_name();
  const std::string base = dated.substr(0, dated.size() - 4);
  for (const Cell &c : cells) {
    if (!c.shown) continue;
    std::string name = base + "-" + c.h.label + ".png";
    std::error_code ec;
    for (int n = 2; std::filesystem::exists(name, ec); ++n)
      name = base + "-" + c.h.label + "-" + std::to_string(n) + ".png";
    if (write_png(name, c.image))
      std::printf("%s: %s: %u x %u\n", c.h.label.c_str(), name.c_str(), c.image.width, c.image.height);
    else
      std::fprintf(stderr, "%s: zrlink: screen: cannot write %s\n", c.h.label.c_str(), name.c_str());
  }
  std::fflush(stdout);
}

int screen_on_all(const Options &opt) {
  if (!opt.record.empty() || opt.no_window || opt.json)
    return usage_failure("screen --all shows a window only: --record, --no-window and --json are not for it");
  const char *x11 = std::getenv("DISPLAY"), *wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!x11 || !*x11) && (!wayland || !*wayland)) {
    std::fprintf(stderr,
                 "zrlink: screen: no window: there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set)\n");
    return kFailed;
  }
  std::vector<Handheld> handhelds;
  if (int code = find_class(&handhelds)) return code;
  std::vector<Cell> cells(handhelds.size());
  for (size_t i = 0; i < cells.size(); ++i) {
    Cell &c = cells[i];
    c.h = handhelds[i];
    Options o = opt;
    o.all = false;
    o.addr_text = addr_text(c.h.addr);
    o.serial.clear();
    std::string why;
    if (!start_child(feed_screen, o, "", &c.child, &why)) {
      std::fprintf(stderr, "%s: zrlink: cannot start its process: %s\n", c.h.label.c_str(), why.c_str());
      c.gone = true;
    }
  }
  auto poll_cells = [&](int ms) {
    std::vector<pollfd> fds;
    std::vector<std::pair<Cell *, int *> > owners;
    for (Cell &c : cells)
      for (int *fd : {&c.child.out, &c.child.err})
        if (*fd >= 0) {
          fds.push_back({*fd, POLLIN, 0});
          owners.push_back({&c, fd});
        }
    bool changed = false;
    if (fds.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    } else if (poll(fds.data(), fds.size(), ms) > 0) {
      for (size_t i = 0; i < fds.size(); ++i)
        if (fds[i].revents)
          changed |= drain_cell(*owners[i].first, *owners[i].second, owners[i].second == &owners[i].first->child.out);
    }
    return changed;
  };
  // The cells take the largest screen's size: the first images are waited for (a handheld
  // that has sent none by then keeps an empty cell of that size).
  const Clock::time_point asked = Clock::now();
  auto waiting = [&] {
    for (const Cell &c : cells)
      if (!c.shown && !c.gone) return true;
    return false;
  };
  while (waiting() && !interrupted() && Clock::now() - asked < std::chrono::seconds(10)) poll_cells(50);
  unsigned w = 0, h = 0;
  for (const Cell &c : cells)
    if (c.shown) w = std::max(w, c.image.width), h = std::max(h, c.image.height);
  int code = kOk;
  std::unique_ptr<ScreenWindow> window;
  if (interrupted()) {
    code = cancelled_exit_code();
  } else if (w == 0) {
    std::fprintf(stderr, "zrlink: screen: no handheld sent an image\n");
    code = kFailed;
  } else {
    unsigned gw, gh;
    std::vector<uint8_t> grid = grid_rgb(cells, w, h, &gw, &gh);
    std::string why;
    const std::string title = "zrlink - " + std::to_string(cells.size()) + " handheld" + (cells.size() == 1 ? "" : "s");
    window = ScreenWindow::open(title, gw, gh, static_cast<unsigned>(opt.scale), &why);
    if (!window) {
      std::fprintf(stderr, "zrlink: screen: no window: %s\n", why.c_str());
      code = kFailed;
    } else {
      window->show(grid, "");
    }
  }
  while (window && !interrupted()) {
    ScreenWindow::Event e = window->next_event(10);
    if (e == ScreenWindow::Event::kClose) break;
    if (e == ScreenWindow::Event::kSave) save_all(cells);
    if (poll_cells(5)) {
      unsigned gw, gh;
      window->show(grid_rgb(cells, w, h, &gw, &gh), "");
    }
  }
  if (interrupted()) code = cancelled_exit_code();
  // The children end as at Ctrl-C; whatever they still say is shown.  One waiting for a
  // handheld's answer is ended after a second: a screen request leaves nothing to finish.
  for (Cell &c : cells) {
    if (c.child.pid > 0) kill(c.child.pid, SIGINT);
    if (c.child.out >= 0) close(c.child.out), c.child.out = -1;
  }
  const Clock::time_point stopped = Clock::now();
  while (Clock::now() - stopped < std::chrono::seconds(1) &&
         std::any_of(cells.begin(), cells.end(), [](const Cell &c) { return c.child.err >= 0; }))
    poll_cells(50);
  for (Cell &c : cells) {
    if (c.child.pid <= 0) continue;
    if (c.child.err >= 0) kill(c.child.pid, SIGKILL);
    int status;
    while (waitpid(c.child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    for (int *fd : {&c.child.err, &c.child.result})
      if (*fd >= 0) close(*fd), *fd = -1;
  }
  return code;
}

}  // namespace

int cmd_screen(const Options &opt) {
  std::string unloaded;
  if (!screen_module_loads(&unloaded)) {
    std::fprintf(stderr, "zrlink: screen: %s\n", unloaded.c_str());
    return kFailed;
  }
  if (opt.all) return screen_on_all(opt);
  if (!opt.record.empty() && !Recorder::known_format(opt.record))
    return usage_failure(opt.record + ": a recording is a .mp4, .webm or .gif file");
  if (opt.no_window && opt.record.empty()) return usage_failure("--no-window needs --record FILE");
  OpenScreen screen(opt);
  if (screen.exit_code != kOk) return screen.exit_code;
  const uint32_t addr = screen.session.addr();
  const zr_info &in = screen.in;
  const ScreenImage &image = screen.image;
  const std::string who = member_text(in.name, sizeof in.name) + " (" + member_text(in.eid, sizeof in.eid) + ")";

  std::unique_ptr<ScreenWindow> window;
  if (!opt.no_window) {
    std::string why;
    const char *x11 = std::getenv("DISPLAY"), *wayland = std::getenv("WAYLAND_DISPLAY");
    if ((!x11 || !*x11) && (!wayland || !*wayland))
      why = "there is no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
    else
      window = ScreenWindow::open(who, image.width, image.height, static_cast<unsigned>(opt.scale), &why);
    if (!window && opt.record.empty()) {
      std::fprintf(stderr, "zrlink: screen: no window: %s\n", why.c_str());
      return kFailed;
    }
    if (!window) std::fprintf(stderr, "zrlink: screen: no window (%s): recording without one\n", why.c_str());
  }
  Recording rec;
  rec.path = opt.record;
  if (!opt.record.empty()) {
    std::string why;
    rec.recorder = Recorder::open(opt.record, image.width, image.height, static_cast<unsigned>(opt.scale), &why);
    if (!rec.recorder) {
      std::fprintf(stderr, "zrlink: screen: recording %s: %s\n", opt.record.c_str(), why.c_str());
      return kFailed;
    }
  }

  Live live;
  std::thread asker(ask, addr, image, std::cref(opt), &rec, window != nullptr, &live);
  uint64_t shown = 0;
  bool gone_shown = false;
  Clock::time_point titled;
  while (!live.done && !interrupted()) {
    if (!window) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    ScreenWindow::Event e = window->next_event(15);
    if (e == ScreenWindow::Event::kClose) break;
    if (e == ScreenWindow::Event::kSave) save(&live);
    std::lock_guard<std::mutex> lock(live.mutex);
    bool turned = live.gone != gone_shown;
    if (turned || Clock::now() - titled > std::chrono::milliseconds(500)) {
      window->set_title(title_of(who, live));
      titled = Clock::now();
    }
    if (live.number != shown || turned) {
      if (live.number > 0) window->show(live.rgb, live.gone ? kGoneLine : "");
      shown = live.number;
      gone_shown = live.gone;
    }
  }
  live.stop = true;
  asker.join();
  if (interrupted()) return cancelled_exit_code();
  return live.exit_code;
}

#endif

}  // namespace zrcli
