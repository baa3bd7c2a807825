// launcher_test_support.h -- what the launcher's tests share: temporary folders, a private X
// server, a private network, the launcher as a process, and small X clients.
#ifndef KQ_LAUNCHER_TEST_SUPPORT_H
#define KQ_LAUNCHER_TEST_SUPPORT_H

#include <X11/Xlib.h>
#include <sys/types.h>

#include "test_files.h"
#include "xvfb_server.h"
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lumara::testing {

using Ms = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

using zrtest::ReadFile;
using zrtest::TempDir;
using zrtest::WriteFile;
using zrtest::XvfbServer;

// The complete lines of a file (a last line without its line feed is left out).
std::vector<std::string> ReadLines(const std::string& path);
bool WaitFor(const std::function<bool()>& done, int timeout_ms);

// Moves this test process into a network namespace of its own with its loopback interface up,
// so that the fixed port 46001 and 127.0.0.0/8 belong to this test alone.  False (the test
// then skips) when that is not allowed.
bool EnterPrivateNetwork(std::string* why);

// Counts TCP connection attempts (SYN without ACK) to a port on the loopback interface, from the
// moment it is made; needs the private network (and root).
class SynCounter {
 public:
  explicit SynCounter(unsigned short port);
  ~SynCounter();
  bool ok() const { return fd_ >= 0; }
  int Count();  // attempts seen so far

 private:
  int fd_ = -1;
  unsigned short port_;
  int seen_ = 0;
};

// A program run as a child process with a given environment (nothing inherited) and folder.
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args,
          const std::map<std::string, std::string>& env, const std::string& cwd);
  ~Process();  // kills it when still running
  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // Waits at most timeout_ms; the exit code (0..255), or -1 on time-out or a signal.
  int Wait(int timeout_ms);
  bool Running();
  std::string Stderr() const;
  std::string Stdout() const;

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
  TempDir out_;
};

// Adds what a sanitized launcher hosting a JVM needs to its environment (nothing otherwise).
void AddSanitizerOptions(std::map<std::string, std::string>* env);

// Paths built for the tests.
std::string LauncherPath();
std::string TestJarPath();
std::string JrePath();

// A folder laid out like an installation for the test application: jre (a link to the JDK)
// and lib/qxconnect.jar (the test application), plus a runtime folder for the instance lock.
class TestInstall {
 public:
  TestInstall();
  const std::string& root() const { return dir_.path(); }
  std::string operator/(const std::string& name) const { return dir_ / name; }
  // The environment of a launcher start: XDG_RUNTIME_DIR of this installation, PATH, HOME,
  // KQ_TEST_REPORT and KQ_TEST_QUIT in the installation, and DISPLAY when given.
  std::map<std::string, std::string> Env(const std::string& display = "") const;
  std::string ReportPath() const { return dir_ / "report.txt"; }
  std::vector<std::string> Report() const { return ReadLines(ReportPath()); }
  bool ReportHas(const std::string& line) const;
  void Quit() const { WriteFile(dir_ / "quit", ""); }

 private:
  TempDir dir_;
};

// ---- X helpers --------------------------------------------------------------------------------
Display* OpenDisplay(const std::string& name);
// A top-level window with the given title (WM_NAME and _NET_WM_NAME) and WM_CLASS class part,
// mapped unless `map` is false.
Window CreateTitledWindow(Display* d, const std::string& title, const std::string& res_class, int x, int y, int w,
                          int h, bool map = true);
// Unmaps the window and marks it iconic in WM_STATE, as a window manager does.
void MakeIconic(Display* d, Window w);
bool IsMapped(Display* d, Window w);
// The first top-level window (root child) with this WM_CLASS class part, or 0.
Window FindByClass(Display* d, const std::string& res_class);
// Position relative to the root and size.
struct Geometry {
  int x = 0, y = 0, width = 0, height = 0;
};
Geometry GetGeometry(Display* d, Window w);
// Index in the root's stacking order (bottom to top), -1 when not a root child.
int StackingIndex(Display* d, Window w);
// XGetImage of the window's whole area as 0xRRGGBB values, rows top down.
std::vector<unsigned> WindowPixels(Display* d, Window w, int* width, int* height);

// A stand-in for an EWMH window manager's root properties: announces _NET_ACTIVE_WINDOW and a
// _NET_CLIENT_LIST, and records the _NET_ACTIVE_WINDOW requests sent to the root.
class FakeEwmh {
 public:
  FakeEwmh(Display* d, const std::vector<Window>& clients);
  ~FakeEwmh();
  // The windows named in _NET_ACTIVE_WINDOW requests received so far.
  std::vector<Window> ActivationRequests();

 private:
  Display* watcher_;
  Display* d_;
  std::vector<Window> requests_;
};

}  // namespace lumara::testing

#endif
