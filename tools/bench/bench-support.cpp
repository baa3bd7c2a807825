// bench-support.cpp -- the benchmarks' work folder and plain-socket baseline.
#include "bench-support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

namespace zrbench {

namespace {

// The private folder, removed with everything in it also when the run is interrupted.
char work_folder[4096];

int remove_entry(const char *path, const struct stat *, int, struct FTW *) { return ::remove(path); }

extern "C" void on_interrupt(int) {
  remove_work_folder();
  _exit(130);
}

}  // namespace

std::string make_work_folder(const char *name) {
  const char *tmp = std::getenv("TMPDIR");
  std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "-XXXXXX";
  std::vector<char> buf(folder.begin(), folder.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    std::perror("mkdtemp");
    return "";
  }
  folder = buf.data();
  std::snprintf(work_folder, sizeof work_folder, "%s", folder.c_str());
  signal(SIGINT, on_interrupt);
  signal(SIGTERM, on_interrupt);
  return folder;
}

void remove_work_folder() {
  if (work_folder[0] != '\0') nftw(work_folder, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::unique_ptr<zrtest::SimProcess> storage_simulator(const std::string &storage) {
  auto sim = std::make_unique<zrtest::SimProcess>(
      std::vector<std::string>{"--storage", storage, "--set", "disk=4294967295,4294967295,0"});
  if (sim->ok()) return sim;
  std::fprintf(stderr, "simulator: %s\n", sim->error().c_str());
  return nullptr;
}

bool same_content(const std::string &a, const std::string &b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (fa && fb) {
    fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
    fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
    if (fa.gcount() != fb.gcount() || std::memcmp(ba.data(), bb.data(), static_cast<size_t>(fa.gcount())) != 0)
      return false;
  }
  return fa.eof() && fb.eof();
}

bool run_program(const char *path, const std::vector<std::string> &args, const std::string &out) {
  std::vector<char *> argv{const_cast<char *>(path)};
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  int r = posix_spawn(&pid, path, &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (r != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int plain_connect(uint32_t addr) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(addr);
  sa.sin_port = htons(10001);
  if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

std::string read_line(int fd) {
  std::string line;
  char c;
  while (recv(fd, &c, 1, 0) == 1) {
    line += c;
    if (c == '\n') break;
  }
  return line;
}

bool plain_put(uint32_t addr, const std::string &remote, const std::string &local, uint64_t size) {
  int file = open(local.c_str(), O_RDONLY | O_CLOEXEC);
  int fd = plain_connect(addr);
  bool ok = file >= 0 && fd >= 0;
  std::string command = "fput " + remote + " " + std::to_string(size) + " 0\n";
  ok = ok && send_all(fd, command.data(), command.size()) && read_line(fd) == "0\n";
  char buf[BLOCK];
  for (ssize_t n; ok && (n = read(file, buf, sizeof buf)) > 0;) ok = send_all(fd, buf, static_cast<size_t>(n));
  ok = ok && read_line(fd) == "0\n";
  if (fd >= 0) close(fd);
  if (file >= 0) close(file);
  return ok;
}

bool plain_get(uint32_t addr, const std::string &remote, const std::string &local, uint64_t size) {
  int file = open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int fd = plain_connect(addr);
  bool ok = file >= 0 && fd >= 0;
  std::string command = "fget " + remote + " 0\n";
  ok = ok && send_all(fd, command.data(), command.size()) && read_line(fd) == "0 " + std::to_string(size) + "\n";
  char buf[BLOCK];
  uint64_t done = 0;
  while (ok && done < size) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0 || write(file, buf, static_cast<size_t>(n)) != n)
      ok = false;
    else
      done += static_cast<uint64_t>(n);
  }
  if (fd >= 0) close(fd);
  if (file >= 0 && close(file) != 0) ok = false;
  return ok && done == size;
}

}  // namespace zrbench
