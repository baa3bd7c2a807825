// bench-support.h -- what the benchmarks share: a private work folder, and the baseline of
// the transfer commands over plain sockets (no library), against the handheld simulator.
#ifndef ZR_BENCH_SUPPORT_H
#define ZR_BENCH_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim_process.h"

namespace zrbench {

// The baseline's block size, the library's transfer block.
const size_t BLOCK = 1536;

// Makes the private folder $TMPDIR/NAME-XXXXXX (/tmp without TMPDIR), which
// remove_work_folder() removes with everything in it, as does an interruption of the run
// (SIGINT, SIGTERM; the program then ends with 130).  Empty (and a message) on failure.
std::string make_work_folder(const char *name);
void remove_work_folder();

// The simulator serving the folder `storage`, with room for anything; null (and a message)
// when it does not start.
std::unique_ptr<zrtest::SimProcess> storage_simulator(const std::string &storage);

// True when both files hold the same bytes.
bool same_content(const std::string &a, const std::string &b);

// Runs the program `path` with `args`, its standard output into the file `out` (messages
// stay on standard error); true when it exits with 0.
bool run_program(const char *path, const std::vector<std::string> &args, const std::string &out = "/dev/null");

// A plain TCP connection to port 10001 of addr (host order), or -1.
int plain_connect(uint32_t addr);
bool send_all(int fd, const char *p, size_t n);
// Reads one line (up to its line feed) byte by byte, so that nothing after it is taken.
std::string read_line(int fd);
// The baseline send: the command, then the file in 1536-byte blocks, then the final status.
bool plain_put(uint32_t addr, const std::string &remote, const std::string &local, uint64_t size);
// The baseline fetch: the command, the reply line, then 1536-byte blocks into the file.
bool plain_get(uint32_t addr, const std::string &remote, const std::string &local, uint64_t size);

}  // namespace zrbench

#endif
