// zr-dhcp-standin.cpp -- zr-dhcp.exe, the stand-in for the DHCP server program.
//
// The link library starts the DHCP server program from a folder with an argument text,
// shares it between processes and terminates it when the last user lets go.  This
// stand-in serves no addresses; it only does what the library relies on: it runs under
// the executable name "zr-dhcp.exe" and stays alive until it is terminated.  So that
// tests and the demo can see how it was started, it records its process id and its
// argument vector in a file as soon as it runs.
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "program-folder.h"

namespace {

const char kUsage[] = R"(Usage: zr-dhcp.exe [--record FILE] [--max-seconds N] [argument...]

Stands in for the DHCP server program that the link library starts, shares between
processes and terminates.  It serves no addresses.  On start it records its process id and
its argument vector, then waits until it is terminated (SIGKILL, SIGTERM or SIGINT; the
latter two end it with exit code 0).

  --record FILE     where the record goes (default: zr-dhcp.args in the folder of the
                    running executable).  The file is replaced in one step, so a reader
                    sees either no record or a whole one:
                        pid <process id>
                        <argv[0]>
                        <argv[1]> ...
                    one element a line, with "\\" written as "\\\\" and a line feed as "\\n".
  --max-seconds N   end by itself (exit code 0) after N seconds, so that a stand-in that
                    nobody terminates does not linger (default: wait without limit)
  --help            show this text and exit
Every other argument is accepted and only recorded.  Exit codes: 0 ended by SIGTERM,
SIGINT or --max-seconds, 2 bad --record or --max-seconds value or the record cannot be
written.
)";

volatile sig_atomic_t g_stop = 0;

extern "C" void on_stop(int) { g_stop = 1; }

std::string escape(const char *s) {
  std::string out;
  for (; *s; ++s) {
    if (*s == '\\')
      out += "\\\\";
    else if (*s == '\n')
      out += "\\n";
    else
      out += *s;
  }
  return out;
}

bool write_all(int fd, const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool record(const std::string &file, int argc, char **argv) {
  std::string text = "pid " + std::to_string(getpid()) + "\n";
  for (int i = 0; i < argc; ++i) text += escape(argv[i]) + "\n";
  std::string temp = file + ".tmp." + std::to_string(getpid());
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write_all(fd, text);
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp.c_str(), file.c_str()) != 0) {
    unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  std::string record_file;
  long max_seconds = -1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if ((a == "--record" || a == "--max-seconds") && i + 1 >= argc) {
      std::fprintf(stderr, "zr-dhcp.exe: %s needs a value\n", a.c_str());
      return 2;
    }
    if (a == "--record") {
      record_file = argv[++i];
      if (record_file.empty()) {
        std::fprintf(stderr, "zr-dhcp.exe: --record needs a file name\n");
        return 2;
      }
    } else if (a == "--max-seconds") {
      char *end = nullptr;
      errno = 0;
      max_seconds = std::strtol(argv[++i], &end, 10);
      if (errno != 0 || end == argv[i] || *end != '\0' || max_seconds < 0) {
        std::fprintf(stderr, "zr-dhcp.exe: --max-seconds: '%s' is not a number of seconds\n", argv[i]);
        return 2;
      }
    }
  }

  struct sigaction sa {};
  sa.sa_handler = on_stop;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  if (record_file.empty()) record_file = zrdhcp::program_folder() + "/zr-dhcp.args";
  if (!record(record_file, argc, argv)) {
    std::fprintf(stderr, "zr-dhcp.exe: cannot write the record '%s': %s\n", record_file.c_str(), std::strerror(errno));
    return 2;
  }

  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (!g_stop) {
    if (max_seconds >= 0) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      if (now.tv_sec - start.tv_sec >= max_seconds) break;
    }
    timespec nap{0, 50 * 1000 * 1000};
    nanosleep(&nap, nullptr);
  }
  return 0;
}
