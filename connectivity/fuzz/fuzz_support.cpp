// fuzz_support.cpp -- checks, scratch folder and small file helpers of the fuzz targets.
#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace zrfuzz {

void check_failed(const char *file, int line, const char *what) {
  std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
  std::fflush(stderr);
  std::abort();
}

namespace {

std::string *scratch = nullptr;

void remove_scratch() {
  if (scratch == nullptr || scratch->empty()) return;
  nftw(
      scratch->c_str(), [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const std::string &scratch_dir() {
  if (scratch == nullptr) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zr-fuzz-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) {
      std::perror("zr-fuzz: scratch folder");
      std::abort();
    }
    scratch = new std::string(buf.data());
    std::atexit(remove_scratch);
  }
  return *scratch;
}

bool empty_dir(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return false;
  std::vector<std::string> names;
  while (dirent *e = readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  closedir(d);
  bool ok = true;
  for (const std::string &n : names) {
    std::string p = dir + "/" + n;
    if (unlink(p.c_str()) != 0 && rmdir(p.c_str()) != 0) ok = false;
  }
  return ok;
}

size_t count_entries(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return 0;
  size_t n = 0;
  while (dirent *e = readdir(d))
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
  closedir(d);
  return n;
}

std::string read_file(const std::string &path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "<missing>";
  std::string s;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    s.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return s;
}

bool write_file(const std::string &path, const std::string &content) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return close(fd) == 0 && done == content.size();
}

}  // namespace zrfuzz
