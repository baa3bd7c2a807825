// netns_lab.h -- private networks for the DHCP service's tests.
//
// The test thread enters a network namespace of its own (the computer), where the service
// runs; each handheld lives in a further namespace, held by a child process, joined to the
// computer by a veth pair ("plugging in").  Nothing reaches the machine's own interfaces,
// and everything goes away with the test's processes.
//
//   zrdhcptest::Computer pc;                    // the calling thread's own namespace
//   if (!pc.ok()) GTEST_SKIP() << pc.why();
//   zrdhcptest::Handheld hh;                    // a namespace of its own
//   pc.plug("zrh0", "02:00:00:00:00:0a", &hh, "zrc0");
//   hh.run({"busybox", "udhcpc", ...});
#ifndef ZR_DHCP_TEST_NETNS_LAB_H
#define ZR_DHCP_TEST_NETNS_LAB_H

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "test_files.h"

namespace zrdhcptest {

struct Ran {
  int status = -1;  // exit code, 128 + signal, or -1 when it could not be run or timed out
  std::string out;  // standard output and error together
};

// Runs a program (searched in PATH, /usr/sbin, /sbin) to its end, at most timeout_ms
// (then it is killed and the status is -1).
Ran run(const std::vector<std::string> &args, int timeout_ms = 10000, const std::vector<std::string> &env = {});

// A private temporary folder, removed with everything in it; whole files read and written.
using zrtest::TempDir;
// A file's content; empty when it cannot be read.
inline std::string read_file(const std::string &path) { return zrtest::ReadFile(path).value_or(""); }

// Waits until pred() holds, at most timeout_ms, looking every 20 ms.
bool eventually(const std::function<bool()> &pred, int timeout_ms);

class Handheld;

// The calling thread in a network namespace of its own, with lo up; the thread returns to
// its former namespace at the end.
class Computer {
 public:
  Computer();
  ~Computer();
  bool ok() const { return ok_; }
  const std::string &why() const { return why_; }

  // A veth pair: host_if here (with the hardware address mac, unless empty, and the
  // interface index `index`, unless 0), peer_if in the handheld's namespace and up there
  // (or here, with no handheld).
  bool plug(const std::string &host_if, const std::string &mac, Handheld *hh, const std::string &peer_if,
            int index = 0);
  bool unplug(const std::string &host_if);
  // "172.16.0.1/30 ..." lines of `ip -4 -o addr show dev IF`, as text.
  std::string addresses(const std::string &ifname) const;

 private:
  int former_ = -1;
  bool entered_ = false, ok_ = false;
  std::string why_;
};

class Handheld {
 public:
  Handheld();
  ~Handheld();
  bool ok() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Runs a program inside the handheld's namespace.
  Ran run(const std::vector<std::string> &args, int timeout_ms = 10000) const;
  // Starts a program inside the namespace without waiting; its output goes to out_file.
  pid_t start(const std::vector<std::string> &args, const std::string &out_file) const;
  // Calls fn with the calling thread inside the namespace (sockets made there stay there).
  bool inside(const std::function<void()> &fn) const;

 private:
  pid_t pid_ = -1;
};

// A DHCP client's socket on the handheld's side: UDP port 68 on one interface, sending to
// the link's broadcast address, port 67.
class ClientSocket {
 public:
  ClientSocket(const Handheld &hh, const std::string &ifname);
  ~ClientSocket();
  bool ok() const { return fd_ >= 0; }
  bool send(const std::vector<uint8_t> &message);
  // The next datagram within timeout_ms; empty when none came.
  std::vector<uint8_t> receive(int timeout_ms);

 private:
  int fd_ = -1;
};

// A sysfs tree as the kernel shows USB network adapters: class/net/IF/device -> the USB
// interface folder, whose parent is the USB device 1-IF (its sysfs name) with its ids
// ("VVVV:PPPP") and serial number, and class/net/IF/ifindex the interface's index.
void fake_usb_adapter(const TempDir &sys, const std::string &ifname, const std::string &ids, const std::string &serial,
                      int index);

// zr-dhcp.exe run by the test: its settings and data in a temporary folder, its log in a
// file there.
class Service {
 public:
  explicit Service(const std::string &config_text, const std::string &sysfs = "");
  ~Service();
  // Starts the program, behind `launcher` (e.g. setpriv with its options) when given.
  bool start(const std::vector<std::string> &launcher = {});
  // SIGTERM and the exit status (waits at most 5 s, then SIGKILL: -1).
  int stop();
  bool running() const;
  pid_t pid() const { return pid_; }
  std::string log() const;
  // Waits until the log holds text (past the first `from` bytes), at most timeout_ms.
  bool wait_log(const std::string &text, int timeout_ms = 3000, size_t from = 0) const;
  size_t log_size() const { return log().size(); }
  std::string data() const { return read_file(dir_.file("zr-dhcp.dat")); }
  // The table of adapters it publishes (its runtime folder is its folder).
  std::string table() const { return read_file(dir_.file("adapters")); }
  const TempDir &dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string sysfs_;
  pid_t pid_ = -1;
};

}  // namespace zrdhcptest

#endif
