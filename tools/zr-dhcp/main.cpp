// main.cpp -- zr-dhcp.exe, the DHCP service for handheld adapters (see kUsage).
#include "dhcp-config.h"
#include "dhcp-os.h"
#include "dhcp-service.h"
#include "dhcp-table.h"
#include "dhcp-text.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The installed paths, as the build was told them.
#ifndef ZR_DHCP_CONFIG_FILE
#define ZR_DHCP_CONFIG_FILE "/etc/zr-dhcp.cfg"
#endif
#ifndef ZR_DHCP_STATE_DIR
#define ZR_DHCP_STATE_DIR "/var/lib/zr-dhcp"
#endif

const char kUsage[] = R"(Usage: zr-dhcp.exe [--config FILE] [--data FILE] [--run-dir DIR] [--sysfs DIR]

Gives attached handhelds their addresses.  Every network adapter whose USB device has a
configured id (default 4407:7705), and every interface named in the configuration, gets
the lowest free /30 of 172.16.0.0/16 that overlaps no address or route of the computer:
the computer's side .1 is set on the adapter (IPv6 router advertisements and
autoconfiguration turned off on it), the link is brought up, and the handheld's DHCP
request is answered with .2.  Adapters that appear later are served as they come; a
handheld plugged in again gets its former subnet; what failed is tried again on the next
change and every 30 s.  It runs in the foreground until SIGTERM, SIGINT or SIGHUP, then
removes the addresses it set (an address that was on the adapter before is left).  One
instance serves a state folder (the data file's): it holds zr-dhcp.lock there, and a
second one ends with status 4.  Every event is one line on standard error (lines on one
adapter's messages: at most 20 of a kind in 10 s).  The table of the adapters it serves
(interface, USB port and serial, addresses, state) is kept in its runtime folder, replaced
whole on every change, for programs that look for handhelds (zrlink).

  --config FILE   settings (default: )" ZR_DHCP_CONFIG_FILE R"(, or zr-dhcp.cfg
                  beside the program when there is one); lines of "key = value",
                  "#" comments:
                    usb = VVVV:PPPP     USB vendor:product of handheld adapters (repeatable)
                    interface = NAME    serve this interface whatever its ids (repeatable)
                    lease = SECONDS     lease time offered (default 3600)
  --data FILE     the remembered subnets (default: )" ZR_DHCP_STATE_DIR R"(/zr-dhcp.dat,
                  or zr-dhcp.dat beside the program when zr-dhcp.cfg is there)
  --run-dir DIR   where the table of adapters (adapters) and the pid file (zr-dhcp.pid)
                  are kept (default: /run/zr-dhcp with the installed data file, else
                  the data file's folder)
  --sysfs DIR     where sysfs is (default /sys)
  --help          this text

Needs CAP_NET_ADMIN and CAP_NET_BIND_SERVICE (root has both).  Exit codes: 0 stopped by
SIGTERM, SIGINT or SIGHUP, 1 failed while running, 2 bad command line or configuration,
3 missing privileges, 4 another instance serves the same state or runtime folder.
)";

const char kName[] = "zr-dhcp.exe";

// The log never holds the service: a line that standard error cannot take now (its reader
// is slow, stopped or gone) is dropped and counted, and the count goes out before the next
// line that it takes.  One write a line, so that lines of several processes on one stream
// never interleave.
long dropped_lines = 0;

bool write_now(const std::string &line) {
  // The journal's stream is a socket, which can be asked not to wait; a pipe or a terminal
  // takes a line of at most PIPE_BUF bytes without waiting once poll says it is writable.
  ssize_t n = send(2, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n < 0 && errno == ENOTSOCK) {
    pollfd p{2, POLLOUT, 0};
    if (poll(&p, 1, 0) != 1 || !(p.revents & POLLOUT)) return false;
    n = write(2, line.data(), std::min(line.size(), size_t(PIPE_BUF)));
  }
  return n > 0;
}

void log_line(const std::string &text) {
  if (dropped_lines > 0) {
    if (!write_now(std::string(kName) + ": " + std::to_string(dropped_lines) +
                   " lines of the log dropped (standard error was not taking them)\n")) {
      ++dropped_lines;
      return;
    }
    dropped_lines = 0;
  }
  if (!write_now(std::string(kName) + ": " + text + "\n")) ++dropped_lines;
}

std::string own_folder() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string p(path, static_cast<size_t>(n));
  size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
}

int usage_error(const std::string &what) {
  std::fprintf(stderr,
               "%s: %s\nUsage: zr-dhcp.exe [--config FILE] [--data FILE] [--run-dir DIR] [--sysfs DIR] (--help)\n",
               kName, what.c_str());
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  std::string config_path, data_path, run_dir, sysfs = "/sys";
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::string *target = a == "--config"    ? &config_path
                          : a == "--data"    ? &data_path
                          : a == "--sysfs"   ? &sysfs
                          : a == "--run-dir" ? &run_dir
                                             : nullptr;
    if (!target) return usage_error("unknown argument '" + a + "'");
    if (i + 1 >= argc || argv[i + 1][0] == '\0') return usage_error(a + " needs a value");
    *target = argv[++i];
  }
  // The program, its settings and its store in one folder (as the link library keeps them)
  // go together; else the installed paths.
  const bool config_given = !config_path.empty();
  const std::string beside = own_folder();
  const bool kept_together = access((beside + "/zr-dhcp.cfg").c_str(), F_OK) == 0;
  if (!config_given) config_path = kept_together ? beside + "/zr-dhcp.cfg" : ZR_DHCP_CONFIG_FILE;
  if (data_path.empty()) data_path = kept_together ? beside + "/zr-dhcp.dat" : ZR_DHCP_STATE_DIR "/zr-dhcp.dat";
  const bool installed_store = data_path == ZR_DHCP_STATE_DIR "/zr-dhcp.dat";
  const size_t slash = data_path.rfind('/');
  const std::string data_folder = slash == std::string::npos ? "." : slash == 0 ? "" : data_path.substr(0, slash);
  // The installed service publishes its table where programs look for it; one run by hand
  // on a store of its own keeps it beside that store.
  if (run_dir.empty()) run_dir = installed_store ? zrdhcp::kDefaultRunDir : data_folder.empty() ? "/" : data_folder;

  zrdhcp::ServiceOptions options;
  std::string error;
  if (!zrdhcp::read_config(config_path, config_given, &options.config, &error)) {
    log_line(error);
    return 2;
  }
  options.data_path = data_path;
  options.sysfs_root = sysfs;
  options.pid = getpid();

  std::vector<std::string> missing = zrdhcp::missing_privileges();
  for (const std::string &m : missing) log_line("missing privilege " + m);
  if (!missing.empty()) {
    log_line("run it as root, or as the zr-dhcp service (systemctl start zr-dhcp)");
    return 3;
  }

  // The installed state folder is made by the unit's first start; run by hand before that,
  // the program makes it.
  if (installed_store && mkdir(ZR_DHCP_STATE_DIR, 0755) != 0 && errno != EEXIST) {
    log_line(std::string("cannot make the state folder " ZR_DHCP_STATE_DIR ": ") + std::strerror(errno));
    return 1;
  }

  // One instance per state folder: a second one would answer the same handhelds, and the
  // first to stop would take away addresses the other still serves.
  const std::string lock_path = data_folder + "/zr-dhcp.lock";
  int lock_fd = -1;
  long holder = 0;
  int err = zrdhcp::lock_file(lock_path, &lock_fd, &holder);
  if (err == EWOULDBLOCK) {
    log_line("already running" + (holder > 0 ? " as process " + std::to_string(holder) : std::string()) +
             ", which holds " + lock_path + "; this one ends");
    return 4;
  }
  if (err != 0) {
    log_line("cannot lock " + lock_path + ": " + std::strerror(err));
    return 1;
  }

  // The runtime folder: its pid file locked for as long as this instance runs, which tells
  // readers that the table there is current; a table left by an instance that ended is
  // taken away first.  Without it the service serves all the same, and publishes nothing.
  if (run_dir == zrdhcp::kDefaultRunDir) mkdir(run_dir.c_str(), 0755);
  const std::string pid_path = run_dir + "/" + zrdhcp::kPidFile;
  int pid_fd = -1;
  err = zrdhcp::lock_file(pid_path, &pid_fd, &holder);
  if (err == EWOULDBLOCK) {
    log_line("already running" + (holder > 0 ? " as process " + std::to_string(holder) : std::string()) +
             ", which holds " + pid_path + "; this one ends");
    return 4;
  }
  if (err != 0) {
    log_line("no table of adapters: cannot lock " + pid_path + ": " + std::strerror(err));
    run_dir.clear();
  } else {
    fchmod(pid_fd, 0644);  // every user's programs look at its lock, whatever the umask
    unlink((run_dir + "/" + zrdhcp::kTableFile).c_str());
  }

  // SIGTERM, SIGINT and SIGHUP (its terminal gone) arrive through a descriptor the service
  // waits on, and end it as cleanly.  A log reader that went away costs the log, not the
  // service: SIGPIPE is ignored.
  signal(SIGPIPE, SIG_IGN);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
  int stop_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC);
  if (stop_fd < 0) {
    log_line(std::string("signalfd: ") + std::strerror(errno));
    return 1;
  }

  std::string ids;
  for (const zrdhcp::UsbId &id : options.config.usb) ids += (ids.empty() ? "" : ", ") + zrdhcp::usb_id_text(id);
  for (const std::string &name : options.config.interfaces) ids += ", interface " + name;
  log_line("settings " + config_path + (access(config_path.c_str(), F_OK) == 0 ? "" : " (not there: the defaults)") +
           ", store " + data_path + (run_dir.empty() ? "" : ", table " + run_dir + "/" + zrdhcp::kTableFile));
  log_line("serving handheld adapters (USB " + ids + "), lease " + std::to_string(options.config.lease) + " s");

  options.run_dir = run_dir;
  zrdhcp::Service service(options, log_line);
  int status = 0;
  if (service.start() != 0 || service.run(stop_fd) != 0) status = 1;
  service.stop();
  if (status == 0) log_line("stopped");
  close(stop_fd);
  if (pid_fd >= 0) close(pid_fd);
  close(lock_fd);
  return status;
}
