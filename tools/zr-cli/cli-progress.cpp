// cli-progress.cpp -- the transfer progress line.
#include "cli-progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace zrcli {

namespace {

int terminal_width()
{
    winsize ws{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20)
        return ws.ws_col;
    return 80;
}

double seconds_between(std::chrono::steady_clock::time_point a,
                       std::chrono::steady_clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

} // namespace

Progress::Progress(bool enabled, uint64_t total_bytes, int total_files)
    : enabled_(enabled), terminal_(isatty(STDERR_FILENO) != 0), total_bytes_(total_bytes),
      total_files_(total_files),
      start_(std::chrono::steady_clock::now())
{
}

std::string Progress::bytes(uint64_t n)
{
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

std::string Progress::duration(double s)
{
    if (s < 0 || s > 359999)
        return "--:--";
    unsigned t = static_cast<unsigned>(s + 0.5);
    char buf[16];
    if (t >= 3600)
        std::snprintf(buf, sizeof buf, "%u:%02u:%02u", t / 3600, t / 60 % 60, t % 60);
    else
        std::snprintf(buf, sizeof buf, "%u:%02u", t / 60, t % 60);
    return buf;
}

void Progress::start_file(const std::string &name, uint64_t size)
{
    ++file_index_;
    name_ = name;
    done_ = 0;
    size_ = size;
    file_start_ = std::chrono::steady_clock::now();
    drawn_ = false;
    draw(true);
}

void Progress::update(uint64_t done, uint64_t size)
{
    done_ = done;
    if (size)
        size_ = size;
    draw(false);
}

void Progress::end_file(bool ok)
{
    if (ok)
        done_ = size_ > done_ ? size_ : done_;
    draw(true);
    before_ += done_;
    if (enabled_ && terminal_)
        std::fputc('\n', stderr);
}

void Progress::draw(bool force)
{
    if (!enabled_)
        return;
    auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && seconds_between(last_draw_, now) < (terminal_ ? 0.1 : 0.5))
        return;
    if (!terminal_ && force && (drawn_ ? shown_ == done_ : done_ == 0))
        return; // a log gets no empty first line and no line twice
    last_draw_ = now;

    double elapsed = seconds_between(start_, now);
    uint64_t all_done = before_ + done_;
    double rate = elapsed > 0.05 ? all_done / elapsed : 0;
    drawn_ = true;
    shown_ = done_;
    int pct = size_ ? static_cast<int>(done_ * 100 / size_) : 100;

    char tail[160];
    int n = std::snprintf(tail, sizeof tail, " %3d%% %s/%s", pct, bytes(done_).c_str(),
                          bytes(size_).c_str());
    if (total_files_ > 1 && total_bytes_) {
        int tp = static_cast<int>(all_done * 100 / total_bytes_);
        n += std::snprintf(tail + n, sizeof tail - static_cast<size_t>(n), " | all %3d%% (%d/%d)", tp,
                           file_index_, total_files_);
    }
    uint64_t goal = total_bytes_ ? total_bytes_ : size_;
    double left = rate > 0 && goal > all_done ? (goal - all_done) / rate : 0;
    std::snprintf(tail + n, sizeof tail - static_cast<size_t>(n), " %s/s ETA %s",
                  bytes(static_cast<uint64_t>(rate)).c_str(), duration(left).c_str());

    if (!terminal_) {
        std::fprintf(stderr, "%s%s\n", name_.c_str(), tail);
        return;
    }
    int width = terminal_width() - 1;
    int room = width - static_cast<int>(std::string(tail).size()) - 1;
    std::string name = name_;
    if (room < 8)
        room = 8;
    if (static_cast<int>(name.size()) > room)
        name = "..." + name.substr(name.size() - static_cast<size_t>(room - 3));
    std::fprintf(stderr, "\r%-*s%s\033[K", room, name.c_str(), tail);
    std::fflush(stderr);
}

} // namespace zrcli
