// cli-screen-live.cpp -- screen: the handheld's screen live, in a window and in a recording.
//
// One thread asks for the images, one screen request after the other (never two at a
// time on the link), and hands each to the recording and to the window; the main thread
// runs the window (SDL wants its events there), or only waits when there is none.  The
// link library is used by the asking thread alone while it runs.
#include "cli-screen.h"
#include "cli.h"
#include "zr-net.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

std::string text_of(const char *s, size_t n) {
  size_t len = 0;
  while (len < n && s[len]) ++len;
  return std::string(s, len);
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

}  // namespace

int cmd_screen(const Options &opt) {
  std::string unloaded;
  if (!screen_module_loads(&unloaded)) {
    std::fprintf(stderr, "zrlink: screen: %s\n", unloaded.c_str());
    return kFailed;
  }
  if (!opt.record.empty() && !Recorder::known_format(opt.record))
    return usage_failure(opt.record + ": a recording is a .mp4, .webm or .gif file");
  if (opt.no_window && opt.record.empty()) return usage_failure("--no-window needs --record FILE");
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  const uint32_t addr = s.addr();
  // Shorter waits than the other commands': a handheld that went away shows soon, and
  // Ctrl-C is not kept waiting.
  zr_tune tune{3000, 3000};
  KQ_ZR_sl_tune(2, &tune);
  zr_info in;
  int r = KQ_ZR_sr_info(addr, 1, &in);
  if (r < 0) return report("info", r);
  ScreenImage image;
  if ((r = screen_geometry(in, &image, "screen")) != 0) return r;
  const std::string who = text_of(in.name, sizeof in.name) + " (" + text_of(in.eid, sizeof in.eid) + ")";

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
