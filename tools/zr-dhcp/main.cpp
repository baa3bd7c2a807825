// main.cpp -- zr-dhcp.exe, the DHCP service for handheld adapters (see kUsage).
#include "dhcp-config.h"
#include "dhcp-os.h"
#include "dhcp-service.h"
#include "dhcp-table.h"
#include "dhcp-text.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// The installed paths, as the build was told them.
#ifndef ZR_DHCP_CONFIG_FILE
#define ZR_DHCP_CONFIG_FILE "/etc/zr-dhcp.cfg"
#endif
#ifndef ZR_DHCP_STATE_DIR
#define ZR_DHCP_STATE_DIR "/var/lib/zr-dhcp"
#endif

#ifdef _WIN32
const char kUsage[] = R"(Usage: zr-dhcp.exe [--config FILE] [--data FILE] [--run-dir DIR]
       zr-dhcp.exe --install-service | --remove-service

Gives attached handhelds their addresses.  Every network adapter whose USB device has a
configured id (default 4407:7705), and every interface named in the configuration, gets
the lowest free /30 of 172.16.0.0/16 that overlaps no address or route of the computer:
the computer's side .1 is set on the adapter (IPv6 router discovery turned off on it),
and the handheld's DHCP request is answered with .2.  Adapters that appear later are
served as they come; a handheld plugged in again gets its former subnet; what failed is
tried again on the next change and every 30 s.  It runs in the foreground until Ctrl+C,
Ctrl+Break or its console closes, then removes the addresses it set (an address that was
on the adapter before is left).  One instance serves a state folder (the data file's):
it holds zr-dhcp.lock there, and a second one ends with status 4.  Every event is one
line on standard error, or of the event log (source zr-dhcp) when it runs as a service
(lines on one adapter's messages: at most 20 of a kind in 10 s).  The table of the
adapters it serves (interface, USB serial, addresses, state) is kept in its runtime
folder, replaced whole on every change, for programs that look for handhelds.

  --config FILE   settings (default: zr-dhcp.cfg beside the program)
                  lines of "key = value", "#" comments:
                    usb = VVVV:PPPP     USB vendor:product of handheld adapters (repeatable)
                    interface = NAME    serve this adapter (its friendly name) whatever its
                                        ids (repeatable)
                    lease = SECONDS     lease time offered (default 3600)
  --data FILE     the remembered subnets (default: zr-dhcp.dat beside the program)
  --run-dir DIR   where the table of adapters (adapters) and the pid file (zr-dhcp.pid)
                  are kept (default: the data file's folder)
  --install-service  registers it as the Windows service zr-dhcp (started with the
                  system, as LocalSystem, with --service) and starts it
  --remove-service   stops the service zr-dhcp and removes it
  --service       run by the service control manager (not by hand)
  --help          this text

Needs an elevated token (run as an administrator) or the service account.  Exit codes:
0 stopped, 1 failed while running, 2 bad command line or configuration, 3 missing
privileges, 4 another instance serves the same state or runtime folder.
)";
#else
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
#endif

const char kName[] = "zr-dhcp.exe";

// The log never holds the service: a line that its stream cannot take now (its reader is
// slow, stopped or gone) is dropped and counted, and the count goes out before the next
// line that it takes.  One write a line, so that lines of several processes on one stream
// never interleave.  Run as a Windows service, the lines go to the event log instead.
long dropped_lines = 0;
bool (*log_sink)(const std::string &) = zrdhcp::write_log_now;

void log_line(const std::string &text) {
  if (dropped_lines > 0) {
    if (!log_sink(std::string(kName) + ": " + std::to_string(dropped_lines) +
                  " lines of the log dropped (standard error was not taking them)\n")) {
      ++dropped_lines;
      return;
    }
    dropped_lines = 0;
  }
  if (!log_sink(std::string(kName) + ": " + text + "\n")) ++dropped_lines;
}

#ifdef _WIN32
const char kShortUsage[] =
    "Usage: zr-dhcp.exe [--config FILE] [--data FILE] [--run-dir DIR] | --install-service | --remove-service (--help)";
const char kHowToRunIt[] = "run it as an administrator, or install it as a service (zr-dhcp.exe --install-service)";
#else
const char kShortUsage[] = "Usage: zr-dhcp.exe [--config FILE] [--data FILE] [--run-dir DIR] [--sysfs DIR] (--help)";
const char kHowToRunIt[] = "run it as root, or as the zr-dhcp service (systemctl start zr-dhcp)";
#endif

int usage_error(const std::string &what) {
  std::fprintf(stderr, "%s: %s\n%s\n", kName, what.c_str(), kShortUsage);
  return 2;
}

// The folder a path's file is in ("." for a bare name).
std::string folder_of(const std::string &path) {
#ifdef _WIN32
  const size_t slash = path.find_last_of("/\\");
#else
  const size_t slash = path.rfind('/');
#endif
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

struct Paths {
  std::string config, data, run_dir, sysfs = "/sys";
  bool config_given = false;
  bool installed_store = false;  // data is the installed state folder's store
};

// Serves until the stop handle turns ready: settings, privileges, the one-instance lock,
// then the service itself.  The exit status.
int serve(const Paths &paths, zrdhcp::OsHandle stop) {
  zrdhcp::ServiceOptions options;
  std::string error;
  if (!zrdhcp::read_config(paths.config, paths.config_given, &options.config, &error)) {
    log_line(error);
    return 2;
  }
  options.data_path = paths.data;
  options.sysfs_root = paths.sysfs;
  options.pid = zrdhcp::process_id();

  std::vector<std::string> missing = zrdhcp::missing_privileges();
  for (const std::string &m : missing) log_line("missing privilege " + m);
  if (!missing.empty()) {
    log_line(kHowToRunIt);
    return 3;
  }

  // The installed state folder is made by the unit's first start; run by hand before that,
  // the program makes it.
  if (paths.installed_store) {
    if (int err = zrdhcp::make_folder(ZR_DHCP_STATE_DIR)) {
      log_line(std::string("cannot make the state folder " ZR_DHCP_STATE_DIR ": ") + zrdhcp::error_text(err));
      return 1;
    }
  }

  // One instance per state folder: a second one would answer the same handhelds, and the
  // first to stop would take away addresses the other still serves.
  const std::string folder = folder_of(paths.data);
  const std::string lock_path = (folder == "/" ? "" : folder) + "/zr-dhcp.lock";
  zrdhcp::OsHandle lock = zrdhcp::kNoHandle;
  long holder = 0;
  int err = zrdhcp::lock_file(lock_path, &lock, &holder);
  if (err == EWOULDBLOCK) {
    log_line("already running" + (holder > 0 ? " as process " + std::to_string(holder) : std::string()) +
             ", which holds " + lock_path + "; this one ends");
    return 4;
  }
  if (err != 0) {
    log_line("cannot lock " + lock_path + ": " + zrdhcp::error_text(err));
    return 1;
  }

  // The runtime folder: its pid file locked for as long as this instance runs, which tells
  // readers that the table there is current; a table left by an instance that ended is
  // taken away first.  Without it the service serves all the same, and publishes nothing.
  std::string run_dir = paths.run_dir;
  if (run_dir == zrdhcp::kDefaultRunDir) zrdhcp::make_folder(run_dir);
  const std::string pid_path = run_dir + "/" + zrdhcp::kPidFile;
  zrdhcp::OsHandle pid_lock = zrdhcp::kNoHandle;
  err = zrdhcp::lock_file(pid_path, &pid_lock, &holder);
  if (err == EWOULDBLOCK) {
    zrdhcp::close_handle(lock);
    log_line("already running" + (holder > 0 ? " as process " + std::to_string(holder) : std::string()) +
             ", which holds " + pid_path + "; this one ends");
    return 4;
  }
  if (err != 0) {
    log_line("no table of adapters: cannot lock " + pid_path + ": " + zrdhcp::error_text(err));
    run_dir.clear();
  } else {
    zrdhcp::remove_file(run_dir + "/" + zrdhcp::kTableFile);
  }

  std::string ids;
  for (const zrdhcp::UsbId &id : options.config.usb) ids += (ids.empty() ? "" : ", ") + zrdhcp::usb_id_text(id);
  for (const std::string &name : options.config.interfaces) ids += ", interface " + name;
  log_line("settings " + paths.config + (zrdhcp::path_exists(paths.config) ? "" : " (not there: the defaults)") +
           ", store " + paths.data + (run_dir.empty() ? "" : ", table " + run_dir + "/" + zrdhcp::kTableFile));
  log_line("serving handheld adapters (USB " + ids + "), lease " + std::to_string(options.config.lease) + " s");

  options.run_dir = run_dir;
  zrdhcp::Service service(options, log_line);
  int status = 0;
  if (service.start() != 0 || service.run(stop) != 0) status = 1;
  service.stop();
  if (status == 0) log_line("stopped");
  zrdhcp::close_handle(pid_lock);
  zrdhcp::close_handle(lock);
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  Paths paths;
  bool as_service = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
#ifdef _WIN32
    if (a == "--install-service" || a == "--remove-service") {
      if (argc != 2) return usage_error(a + " takes no other arguments");
      std::string error, done;
      int err = a == "--install-service" ? zrdhcp::install_service(&done, &error) : zrdhcp::remove_service(&done, &error);
      std::fprintf(stderr, "%s: %s\n", kName, (err == 0 ? done : error).c_str());
      return err == 0 ? 0 : err == EACCES ? 3 : 1;
    }
    if (a == "--service") {
      as_service = true;
      continue;
    }
    std::string *target = a == "--config"    ? &paths.config
                          : a == "--data"    ? &paths.data
                          : a == "--run-dir" ? &paths.run_dir
                                             : nullptr;
#else
    std::string *target = a == "--config"    ? &paths.config
                          : a == "--data"    ? &paths.data
                          : a == "--sysfs"   ? &paths.sysfs
                          : a == "--run-dir" ? &paths.run_dir
                                             : nullptr;
#endif
    if (!target) return usage_error("unknown argument '" + a + "'");
    if (i + 1 >= argc || argv[i + 1][0] == '\0') return usage_error(a + " needs a value");
    *target = argv[++i];
  }
  // The program, its settings and its store in one folder (as the link library keeps them)
  // go together; else the installed paths (on Windows the program's folder is the
  // installed place).
  paths.config_given = !paths.config.empty();
  const std::string beside = zrdhcp::program_folder();
#ifdef _WIN32
  const bool kept_together = true;
#else
  const bool kept_together = zrdhcp::path_exists(beside + "/zr-dhcp.cfg");
#endif
  if (!paths.config_given) paths.config = kept_together ? beside + "/zr-dhcp.cfg" : ZR_DHCP_CONFIG_FILE;
  if (paths.data.empty()) paths.data = kept_together ? beside + "/zr-dhcp.dat" : ZR_DHCP_STATE_DIR "/zr-dhcp.dat";
  // The installed service publishes its table where programs look for it; one run by hand
  // on a store of its own keeps it beside that store, as every one on Windows does (its
  // store is beside the program).
#ifndef _WIN32
  paths.installed_store = paths.data == ZR_DHCP_STATE_DIR "/zr-dhcp.dat";
#endif
  if (paths.run_dir.empty()) paths.run_dir = paths.installed_store ? zrdhcp::kDefaultRunDir : folder_of(paths.data);

#ifdef _WIN32
  if (as_service) {
    log_sink = zrdhcp::write_event_log;
    std::string error;
    int status = zrdhcp::run_as_service([&paths](zrdhcp::OsHandle stop) { return serve(paths, stop); }, &error);
    if (!error.empty()) {
      std::fprintf(stderr, "%s: %s\n", kName, error.c_str());
      zrdhcp::write_event_log(std::string(kName) + ": " + error);
    }
    return status;
  }
#else
  (void)as_service;
#endif
  zrdhcp::OsHandle stop = zrdhcp::kNoHandle;
  if (int err = zrdhcp::open_stop_request(&stop)) {
    log_line("cannot watch for the stop request: " + zrdhcp::error_text(err));
    return 1;
  }
  int status = serve(paths, stop);
  zrdhcp::close_handle(stop);
  return status;
}
