// launcher_test_support.cpp -- see launcher_test_support.h.
#include "launcher_test_support.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace lumara::testing {

namespace fs = std::filesystem;

std::vector<std::string> ReadLines(const std::string& path) {
  // Only whole lines: a writer may be half-way through the last one.
  std::vector<std::string> lines;
  const std::string text = ReadFile(path).value_or("");
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}
bool WaitFor(const std::function<bool()>& done, int timeout_ms) {
  const auto end = Clock::now() + Ms(timeout_ms);
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(Ms(20));
  }
  return done();
}

// ---- private network --------------------------------------------------------------------------
bool EnterPrivateNetwork(std::string* why) {
  if (::unshare(CLONE_NEWNET) != 0) {
    *why = std::string("no private network namespace: ") + std::strerror(errno);
    return false;
  }
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq ifr{};
  std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
  const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 &&
                  (ifr.ifr_flags |= IFF_UP, ::ioctl(fd, SIOCSIFFLAGS, &ifr) == 0);
  if (fd >= 0) ::close(fd);
  if (!up) *why = "loopback interface could not be brought up";
  return up;
}

SynCounter::SynCounter(unsigned short port) : port_(port) {
  fd_ = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_IP));
  if (fd_ < 0) return;
  sockaddr_ll where{};
  where.sll_family = AF_PACKET;
  where.sll_protocol = htons(ETH_P_IP);
  where.sll_ifindex = static_cast<int>(::if_nametoindex("lo"));
  if (where.sll_ifindex == 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}
SynCounter::~SynCounter() {
  if (fd_ >= 0) ::close(fd_);
}
int SynCounter::Count() {
  unsigned char packet[2048];
  for (;;) {
    sockaddr_ll from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) break;
    if (from.sll_pkttype == PACKET_OUTGOING) continue;  // loopback shows every packet twice
    if (static_cast<std::size_t>(n) < sizeof(iphdr)) continue;
    const auto* ip = reinterpret_cast<const iphdr*>(packet);
    const std::size_t ip_len = ip->ihl * 4u;
    if (ip->protocol != IPPROTO_TCP || static_cast<std::size_t>(n) < ip_len + sizeof(tcphdr)) continue;
    const auto* tcp = reinterpret_cast<const tcphdr*>(packet + ip_len);
    if (tcp->syn && !tcp->ack && ntohs(tcp->dest) == port_) ++seen_;
  }
  return seen_;
}

// ---- processes --------------------------------------------------------------------------------
Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& env, const std::string& cwd) {
  std::vector<std::string> arg_store{program};
  arg_store.insert(arg_store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : arg_store) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_store;
  for (const auto& [k, v] : env) env_store.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& e : env_store) envp.push_back(e.data());
  envp.push_back(nullptr);
  const std::string out = out_ / "stdout", err = out_ / "stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
}

Process::~Process() {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int status;
    ::waitpid(pid_, &status, 0);
  }
}

bool Process::Running() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = status;
    return false;
  }
  return true;
}

int Process::Wait(int timeout_ms) {
  WaitFor([&] { return !Running(); }, timeout_ms);
  if (!status_) return -1;
  return WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1;
}

std::string Process::Stderr() const { return ReadFile(out_ / "stderr").value_or(""); }
std::string Process::Stdout() const { return ReadFile(out_ / "stdout").value_or(""); }

void AddSanitizerOptions(std::map<std::string, std::string>* env) {
#ifdef KQ_JVM_HOST_ASAN_OPTIONS
  (*env)["ASAN_OPTIONS"] = KQ_JVM_HOST_ASAN_OPTIONS;
#else
  (void)env;
#endif
}

std::string LauncherPath() { return KQ_LAUNCHER_PATH; }
std::string TestJarPath() { return KQ_TEST_JAR; }
std::string JrePath() { return KQ_JRE_PATH; }

TestInstall::TestInstall() {
  fs::create_directories(dir_ / "lib");
  fs::create_directories(dir_ / "run");
  ::chmod((dir_ / "run").c_str(), 0700);
  fs::create_directory_symlink(JrePath(), dir_ / "jre");
  fs::copy_file(TestJarPath(), dir_ / "lib/qxconnect.jar");
}

std::map<std::string, std::string> TestInstall::Env(const std::string& display) const {
  std::map<std::string, std::string> env{
      {"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"HOME", root()},
      {"XDG_RUNTIME_DIR", dir_ / "run"},        {"KQ_TEST_REPORT", ReportPath()},
      {"KQ_TEST_QUIT", dir_ / "quit"},
  };
  if (!display.empty()) env["DISPLAY"] = display;
  AddSanitizerOptions(&env);
  return env;
}

bool TestInstall::ReportHas(const std::string& line) const {
  for (const auto& l : Report()) {
    if (l == line) return true;
  }
  return false;
}

// ---- X helpers --------------------------------------------------------------------------------
Display* OpenDisplay(const std::string& name) { return XOpenDisplay(name.c_str()); }

Window CreateTitledWindow(Display* d, const std::string& title, const std::string& res_class, int x, int y, int w,
                          int h, bool map) {
  const int screen = DefaultScreen(d);
  const Window win = XCreateSimpleWindow(d, RootWindow(d, screen), x, y, static_cast<unsigned>(w),
                                         static_cast<unsigned>(h), 0, BlackPixel(d, screen), WhitePixel(d, screen));
  XStoreName(d, win, title.c_str());
  XChangeProperty(d, win, XInternAtom(d, "_NET_WM_NAME", False), XInternAtom(d, "UTF8_STRING", False), 8,
                  PropModeReplace, reinterpret_cast<const unsigned char*>(title.data()),
                  static_cast<int>(title.size()));
  XClassHint hint{};
  std::string name = "test";
  hint.res_name = name.data();
  std::string cls = res_class;
  hint.res_class = cls.data();
  XSetClassHint(d, win, &hint);
  if (map) XMapWindow(d, win);
  XSync(d, False);
  return win;
}

void MakeIconic(Display* d, Window w) {
  XUnmapWindow(d, w);
  const Atom wm_state = XInternAtom(d, "WM_STATE", False);
  const long state[2] = {IconicState, 0};
  XChangeProperty(d, w, wm_state, wm_state, 32, PropModeReplace, reinterpret_cast<const unsigned char*>(state), 2);
  XSync(d, False);
}

bool IsMapped(Display* d, Window w) {
  XWindowAttributes a{};
  return XGetWindowAttributes(d, w, &a) != 0 && a.map_state == IsViewable;
}

Window FindByClass(Display* d, const std::string& res_class) {
  Window root, parent, *kids = nullptr;
  unsigned count = 0;
  Window found = 0;
  if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &kids, &count) == 0) return 0;
  for (unsigned i = 0; i < count && found == 0; ++i) {
    XClassHint hint{};
    if (XGetClassHint(d, kids[i], &hint) != 0) {
      if (hint.res_class != nullptr && res_class == hint.res_class) found = kids[i];
      if (hint.res_name) XFree(hint.res_name);
      if (hint.res_class) XFree(hint.res_class);
    }
  }
  if (kids) XFree(kids);
  return found;
}

Geometry GetGeometry(Display* d, Window w) {
  Geometry g;
  XWindowAttributes a{};
  if (XGetWindowAttributes(d, w, &a) == 0) return g;
  Window child;
  XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &g.x, &g.y, &child);
  g.width = a.width;
  g.height = a.height;
  return g;
}

int StackingIndex(Display* d, Window w) {
  Window root, parent, *kids = nullptr;
  unsigned count = 0;
  int index = -1;
  if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &kids, &count) == 0) return -1;
  for (unsigned i = 0; i < count; ++i) {
    if (kids[i] == w) index = static_cast<int>(i);
  }
  if (kids) XFree(kids);
  return index;
}

std::vector<unsigned> WindowPixels(Display* d, Window w, int* width, int* height) {
  std::vector<unsigned> out;
  XWindowAttributes a{};
  if (XGetWindowAttributes(d, w, &a) == 0) return out;
  XImage* image =
      XGetImage(d, w, 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
  if (image == nullptr) return out;
  for (int y = 0; y < a.height; ++y) {
    for (int x = 0; x < a.width; ++x) out.push_back(static_cast<unsigned>(XGetPixel(image, x, y)) & 0xFFFFFFu);
  }
  XDestroyImage(image);
  *width = a.width;
  *height = a.height;
  return out;
}

FakeEwmh::FakeEwmh(Display* d, const std::vector<Window>& clients) : d_(d) {
  const Window root = DefaultRootWindow(d);
  const Atom supported[] = {XInternAtom(d, "_NET_ACTIVE_WINDOW", False), XInternAtom(d, "_NET_CLIENT_LIST", False)};
  XChangeProperty(d, root, XInternAtom(d, "_NET_SUPPORTED", False), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(supported), 2);
  XChangeProperty(d, root, XInternAtom(d, "_NET_CLIENT_LIST", False), XA_WINDOW, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(clients.data()), static_cast<int>(clients.size()));
  watcher_ = XOpenDisplay(DisplayString(d));
  if (watcher_ != nullptr) {
    XSelectInput(watcher_, DefaultRootWindow(watcher_), SubstructureNotifyMask);
    XSync(watcher_, False);
  }
  XSync(d, False);
}

FakeEwmh::~FakeEwmh() {
  const Window root = DefaultRootWindow(d_);
  XDeleteProperty(d_, root, XInternAtom(d_, "_NET_SUPPORTED", False));
  XDeleteProperty(d_, root, XInternAtom(d_, "_NET_CLIENT_LIST", False));
  XSync(d_, False);
  if (watcher_ != nullptr) XCloseDisplay(watcher_);
}

std::vector<Window> FakeEwmh::ActivationRequests() {
  if (watcher_ == nullptr) return requests_;
  const Atom active = XInternAtom(watcher_, "_NET_ACTIVE_WINDOW", False);
  XSync(watcher_, False);
  while (XPending(watcher_) > 0) {
    XEvent e;
    XNextEvent(watcher_, &e);
    if (e.type == ClientMessage && e.xclient.message_type == active) requests_.push_back(e.xclient.window);
  }
  return requests_;
}

}  // namespace lumara::testing
