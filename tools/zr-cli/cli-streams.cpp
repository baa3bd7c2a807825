// cli-streams.cpp -- cat, pull to standard output and push from standard input.
//
// A transfer needs the file's size before it starts and may fail in the middle, so a
// stream never goes through the link as it comes: standard input is read whole into a
// private temporary file first, and handheld files are fetched whole into a private
// temporary folder before the first byte reaches standard output.
#include "cli.h"
#include "zr-net.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace zrcli {

namespace {

// A private folder (0700) in $TMPDIR or /tmp; "" with the reason in *why.
std::string private_folder(std::string *why) {
  const char *tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/zrlink-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) {
    *why = "cannot make a temporary folder in " + pattern.substr(0, pattern.rfind('/')) + ": " + std::strerror(errno);
    return "";
  }
  return name.data();
}

bool write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Copies everything of one descriptor to another; false with errno's reason in *why and in
// *read_side whether reading failed.
bool copy_fd(int in, int out, std::string *why, bool *read_side) {
  char buf[64 * 1024];
  bool ok = true;
  for (;;) {
    ssize_t n = read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) break;
    if (n < 0) {
      *read_side = true;
    } else if (write_all(out, buf, static_cast<size_t>(n))) {
      continue;
    } else {
      *read_side = false;
    }
    *why = std::strerror(errno);
    ok = false;
    break;
  }
  return ok;
}

// Copies a file to an open descriptor, as copy_fd.
bool copy_to(const std::string &path, int out, std::string *why, bool *read_side) {
  int in = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    *why = std::strerror(errno);
    *read_side = true;
    return false;
  }
  bool ok = copy_fd(in, out, why, read_side);
  close(in);
  return ok;
}

}  // namespace

StdinCopy::StdinCopy() {
  folder_ = private_folder(&why_);
  if (folder_.empty()) return;
  std::string path = folder_ + "/stdin";
  int out = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (out < 0) {
    why_ = path + ": " + std::strerror(errno);
    return;
  }
  std::string why;
  bool read_side = false;
  bool ok = copy_fd(STDIN_FILENO, out, &why, &read_side);
  if (close(out) != 0 && ok) {
    ok = false;
    why = std::strerror(errno);
  }
  if (!ok) {
    why_ = (read_side ? "reading standard input failed: " : "keeping standard input in " + path + " failed: ") + why;
    unlink(path.c_str());
    return;
  }
  path_ = path;
}

StdinCopy::~StdinCopy() {
  std::error_code ec;
  if (!folder_.empty()) fs::remove_all(folder_, ec);
}

int files_to_stdout(uint32_t addr, const std::vector<std::string> &remotes, const Options &opt) {
  std::vector<Transfer> jobs;
  for (const auto &remote : remotes) {
    zr_attr a{};
    int r = KQ_ZR_fm_dirattr(addr, remote.c_str(), &a);
    if (r < 0) {
      Context context;
      context.doing = Doing::kFileOp;
      context.remote = remote;
      return report("cat " + remote, r, context);
    }
    if (is_folder(a)) {
      std::fprintf(stderr, "zrlink: cat: %s is a folder on the handheld (zrlink pull fetches folders)\n",
                   remote.c_str());
      return kFailed;
    }
    jobs.push_back({remote, "", a.size});
  }
  std::string why;
  std::string folder = private_folder(&why);
  if (folder.empty()) {
    std::fprintf(stderr, "zrlink: cat: %s\n", why.c_str());
    return kFailed;
  }
  for (size_t i = 0; i < jobs.size(); ++i) jobs[i].to = folder + "/" + std::to_string(i);
  // Standard output carries the files: no line per file, no progress display.
  Options quiet = opt;
  quiet.quiet = true;
  quiet.json = false;
  int code = run_transfers(addr, ZR_FM_GET, jobs, quiet, nullptr);
  std::fflush(stdout);
  for (size_t i = 0; code == kOk && i < jobs.size(); ++i) {
    bool read_side = false;
    if (!copy_to(jobs[i].to, STDOUT_FILENO, &why, &read_side)) {
      std::fprintf(stderr, "zrlink: cat %s: %s failed: %s\n", jobs[i].from.c_str(),
                   read_side ? "reading the fetched copy" : "writing standard output", why.c_str());
      code = kFailed;
    }
  }
  std::error_code ec;
  fs::remove_all(folder, ec);
  return code;
}

int cmd_cat(const Options &opt) {
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  return files_to_stdout(s.addr(), opt.args, opt);
}

}  // namespace zrcli
