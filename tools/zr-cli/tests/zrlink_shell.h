// zrlink_shell.h -- what the tests of zrlink's folder commands (sync, mount) share: shell
// commands with their output, the simulator with a storage folder of known files, and the
// trees of files to compare.
#ifndef ZRLINK_TESTS_SHELL_H
#define ZRLINK_TESTS_SHELL_H

#include "sim_process.h"
#include "test_files.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zrlinktest {

struct Shell {
  int status;
  std::string out;  // standard output and error
};

// Runs a shell command (bounded by `seconds`) with both output streams captured.
Shell sh(const std::string &command, int seconds = 30);

// A file's content, or "<missing>".
std::string read_file(const std::string &path);

// A picture as zrlink writes it (PNG), decoded into 8-bit R,G,B rows (alpha and 16-bit
// depth stripped, grey spread to three channels); false when it is missing or no PNG.
struct Picture {
  unsigned width = 0, height = 0;
  std::vector<uint8_t> rgb;
  const uint8_t *at(unsigned x, unsigned y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};
bool read_png(const std::string &path, Picture *picture);

// Every path below a folder, sorted: files with their size, folders ending in "/",
// symbolic links in "@".
std::string tree(const std::string &root);

// Fills a storage folder: notes.txt, docs/a b.txt, docs/deep/z.bin, empty/.
std::string fill_storage(const std::string &root);

// The simulator serving a storage folder filled by fill_storage.
struct Handheld {
  Handheld() = default;
  // With more options of the simulator (a fault to play, say).
  explicit Handheld(const std::vector<std::string> &more) : sim{with_storage(more)} {}

  zrtest::TempDir dir{"zrlink-test"};
  std::string root = fill_storage(dir.path() + "/storage");
  zrtest::SimProcess sim{{"--storage", root}};

  std::vector<std::string> with_storage(std::vector<std::string> more) const;
  // The requests after the first `from` whose command word is `word`.
  int count(const std::string &word, size_t from = 0) const;
  size_t requests() const { return sim.requests().size(); }
};

// The zrlink command line that talks to a simulator.
std::string zrlink_for(const zrtest::SimProcess &sim);
inline std::string zrlink_for(const Handheld &h) { return zrlink_for(h.sim); }

}  // namespace zrlinktest

#endif
