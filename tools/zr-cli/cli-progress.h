// cli-progress.h -- the transfer progress line of zrlink.
//
// On a terminal (standard error) one line is redrawn at most ten times a second, sized to
// the terminal: the file's name, its bytes and percentage, and for a transfer of several
// files the whole transfer's bytes and percentage, then the rate and the time left.  When
// standard error is not a terminal (a log), the same text goes out as whole lines, at most
// two a second and one at the end of each file.  Files that move at the same time (parallel
// transfers) are told apart by a slot number: the line shows the file last heard of, and
// the whole transfer's figures count every file.
#ifndef ZRLINK_PROGRESS_H
#define ZRLINK_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zrcli {

class Progress {
 public:
  // total_bytes: the sum over all files of the transfer (0 when unknown).
  Progress(bool enabled, uint64_t total_bytes, int total_files);
  void start_file(const std::string &name, uint64_t size, int slot = 0);
  // Bytes of the slot's file done so far (size may become known only now).
  void update(uint64_t done, uint64_t size, int slot = 0);
  // Ends the slot's file and its line.
  void end_file(bool ok, int slot = 0);
  bool enabled() const { return enabled_; }

  // Text helpers, also used by the listings.
  static std::string bytes(uint64_t n);
  static std::string duration(double seconds);

 private:
  // A file on the move.
  struct File {
    std::string name;
    int index = 0;  // its number among the transfer's files
    uint64_t done = 0, size = 0;
    bool drawn = false;
    uint64_t shown = 0;  // done as last drawn
  };
  File &slot(int n);
  void draw(File &f, bool force);

  bool enabled_;
  bool terminal_;
  uint64_t total_bytes_;
  int total_files_;
  int files_started_ = 0;
  uint64_t before_ = 0;  // bytes of the files already finished
  std::vector<File> files_;
  std::chrono::steady_clock::time_point start_, last_draw_;
};

}  // namespace zrcli

#endif
