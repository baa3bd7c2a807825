// cli-progress.cpp -- the transfer progress line.
#include "cli-progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace zrcli {

namespace {

int terminal_width() {
  winsize ws{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col;
  return 80;
}

double seconds_between(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

}  // namespace

Progress::Progress(bool enabled, uint64_t total_bytes, int total_files)
    : enabled_(enabled),
      terminal_(isatty(STDERR_FILENO) != 0),
      total_bytes_(total_bytes),
      total_files_(total_files),
      start_(std::chrono::steady_clock::now()) {}

std::string Progress::bytes(uint64_t n) {
  char buf[32];
  if (n < 1024)
    std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(n));
  else if (n < 1024 * 1024)
    std::snprintf(buf, sizeof buf, "%.1f KiB", n / 1024.0);
  else if (n < 1024ull * 1024 * 1024)
    std::snprintf(buf, sizeof buf, "%.1f MiB", n / (1024.0 * 1024));
  else
    std::snprintf(buf, sizeof buf, "%.2f GiB", n / (1024.0 * 1024 * 1024));
  return buf;
}

std::string Progress::duration(double s) {
  if (s < 0 || s > 359999) return "--:--";
  unsigned t = static_cast<unsigned>(s + 0.5);
  char buf[16];
  if (t >= 3600)
    std::snprintf(buf, sizeof buf, "%u:%02u:%02u", t / 3600, t / 60 % 60, t % 60);
  else
    std::snprintf(buf, sizeof buf, "%u:%02u", t / 60, t % 60);
  return buf;
}

Progress::File &Progress::slot(int n) {
  if (n < 0) n = 0;
  if (static_cast<size_t>(n) >= files_.size()) files_.resize(static_cast<size_t>(n) + 1);
  return files_[static_cast<size_t>(n)];
}

void Progress::start_file(const std::string &name, uint64_t size, int n) {
  File &f = slot(n);
  f = File();
  f.name = name;
  f.index = ++files_started_;
  f.size = size;
  draw(f, true);
}

void Progress::update(uint64_t done, uint64_t size, int n) {
  File &f = slot(n);
  f.done = done;
  if (size) f.size = size;
  draw(f, false);
}

void Progress::end_file(bool ok, int n) {
  File &f = slot(n);
  if (ok) f.done = f.size > f.done ? f.size : f.done;
  draw(f, true);
  before_ += f.done;
  f = File();
  if (enabled_ && terminal_) std::fputc('\n', stderr);
}

void Progress::draw(File &f, bool force) {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (!force && f.drawn && seconds_between(last_draw_, now) < (terminal_ ? 0.1 : 0.5)) return;
  if (!terminal_ && force && (f.drawn ? f.shown == f.done : f.done == 0))
    return;  // a log gets no empty first line and no line twice
  last_draw_ = now;

  double elapsed = seconds_between(start_, now);
  uint64_t all_done = before_;
  for (const File &g : files_) all_done += g.done;
  double rate = elapsed > 0.05 ? all_done / elapsed : 0;
  f.drawn = true;
  f.shown = f.done;
  int pct = f.size ? static_cast<int>(f.done * 100 / f.size) : 100;

  char tail[160];
  int n = std::snprintf(tail, sizeof tail, " %3d%% %s/%s", pct, bytes(f.done).c_str(), bytes(f.size).c_str());
  if (total_files_ > 1 && total_bytes_) {
    int tp = static_cast<int>(all_done * 100 / total_bytes_);
    n += std::snprintf(tail + n, sizeof tail - static_cast<size_t>(n), " | all %3d%% (%d/%d)", tp, f.index,
                       total_files_);
  }
  uint64_t goal = total_bytes_ ? total_bytes_ : f.size;
  double left = rate > 0 && goal > all_done ? (goal - all_done) / rate : 0;
  std::snprintf(tail + n, sizeof tail - static_cast<size_t>(n), " %s/s ETA %s",
                bytes(static_cast<uint64_t>(rate)).c_str(), duration(left).c_str());

  if (!terminal_) {
    std::fprintf(stderr, "%s%s\n", f.name.c_str(), tail);
    return;
  }
  // The line stops two columns short of the terminal's edge (a line that reaches the last
  // column wraps on some terminals, and each redraw would then start a line lower).  The
  // name gives way first, down to 8 characters; on a terminal too narrow even for that,
  // the end of the figures does.
  const int width = terminal_width() - 2;
  int room = width - static_cast<int>(std::strlen(tail));
  std::string name = f.name;
  if (room < 8) room = 8;
  if (static_cast<int>(name.size()) > room) name = "..." + name.substr(name.size() - static_cast<size_t>(room - 3));
  name.resize(static_cast<size_t>(room), ' ');
  std::string line = name + tail;
  if (static_cast<int>(line.size()) > width) line.resize(static_cast<size_t>(width));
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
}

}  // namespace zrcli
