// cli-progress.h -- the transfer progress line of zrlink.
//
// On a terminal (standard error) one line is redrawn at most ten times a second, sized to
// the terminal: the file's name, its bytes and percentage, and for a transfer of several
// files the whole transfer's bytes and percentage, then the rate and the time left.  When
// standard error is not a terminal (a log), the same text goes out as whole lines, at most
// two a second and one at the end of each file.
#ifndef ZRLINK_PROGRESS_H
#define ZRLINK_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

namespace zrcli {

class Progress {
public:
    // total_bytes: the sum over all files of the transfer (0 when unknown).
    Progress(bool enabled, uint64_t total_bytes, int total_files);
    void start_file(const std::string &name, uint64_t size);
    // Bytes of the current file done so far (size may become known only now).
    void update(uint64_t done, uint64_t size);
    // Ends the current file's line.
    void end_file(bool ok);
    bool enabled() const { return enabled_; }

    // Text helpers, also used by the listings.
    static std::string bytes(uint64_t n);
    static std::string duration(double seconds);

private:
    void draw(bool force);

    bool enabled_;
    bool terminal_;
    uint64_t total_bytes_;
    int total_files_;
    int file_index_ = 0;
    uint64_t before_ = 0;  // bytes of the files already finished
    std::string name_;
    uint64_t done_ = 0, size_ = 0;
    std::chrono::steady_clock::time_point start_, file_start_, last_draw_;
    bool drawn_ = false;
    uint64_t shown_ = 0;  // done_ as last drawn
};

} // namespace zrcli

#endif
