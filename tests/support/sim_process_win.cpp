// sim_process_win.cpp -- the handheld simulator for a test of the Windows build.
//
// Wine runs the test, and a Windows process under Wine cannot start a Linux program, so the
// simulator comes from zr-sim-broker (tools/handheld-sim/sim-broker.cpp), a native program
// on a loopback address named by ZR_WIN_SIM_BROKER ("address:port").  One control connection
// per simulator: it is started when the object is made, stopped by stop() or at the latest
// when the connection closes, and its request log is read back through the same connection.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim-escape.h"
#include "sim_process.h"

namespace zrtest {

namespace {

const SOCKET kNoSocket = INVALID_SOCKET;

// Winsock stays started for the test process (the library may stop its own use of it).
bool winsock_started() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

bool is_drive_z_path(const std::string &p) {
  return p.size() >= 3 && (p[0] == 'Z' || p[0] == 'z') && p[1] == ':' && (p[2] == '\\' || p[2] == '/');
}

// A path on drive Z: as the Linux side names it ("Z:\tmp\x" is "/tmp/x"); others unchanged.
std::string linux_path(const std::string &p) {
  if (!is_drive_z_path(p)) return p;
  std::string out = p.substr(2);
  for (char &c : out)
    if (c == '\\') c = '/';
  return out;
}

// A Linux path as this process reaches it.
std::string windows_path(const std::string &p) {
  if (p.empty() || p[0] != '/') return p;
  std::string out = "Z:" + p;
  for (char &c : out)
    if (c == '/') c = '\\';
  return out;
}

// The simulator's options whose values are files or folders.
bool is_path_option(const std::string &name) { return name == "--storage" || name == "--log" || name == "--profile"; }

std::vector<std::string> linux_arguments(std::vector<std::string> args) {
  for (size_t i = 0; i < args.size(); ++i) {
    size_t eq = args[i].find('=');
    if (args[i].rfind("--", 0) == 0 && eq != std::string::npos && is_path_option(args[i].substr(0, eq)))
      args[i] = args[i].substr(0, eq + 1) + linux_path(args[i].substr(eq + 1));
    else if (is_path_option(args[i]) && i + 1 < args.size())
      args[i + 1] = linux_path(args[i + 1]), ++i;
  }
  return args;
}

// Connects to the broker within 3 s.
SOCKET connect_broker(std::string &error) {
  const char *where = std::getenv("ZR_WIN_SIM_BROKER");
  std::string text = where ? where : "";
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    error = "no simulator broker (ZR_WIN_SIM_BROKER=address:port; scripts/test-windows.sh starts one)";
    return kNoSocket;
  }
  if (!winsock_started()) {
    error = "Winsock did not start";
    return kNoSocket;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<u_short>(std::atoi(text.c_str() + colon + 1)));
  if (inet_pton(AF_INET, text.substr(0, colon).c_str(), &sa.sin_addr) != 1) {
    error = "ZR_WIN_SIM_BROKER: bad address '" + text + "'";
    return kNoSocket;
  }
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kNoSocket) {
    error = "socket: " + std::to_string(WSAGetLastError());
    return kNoSocket;
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  u_long nonblocking = 1;
  ioctlsocket(s, FIONBIO, &nonblocking);
  int r = connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  if (r != 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
    fd_set w, x;
    FD_ZERO(&w);
    FD_ZERO(&x);
    FD_SET(s, &w);
    FD_SET(s, &x);
    timeval tv{3, 0};
    int err = 0;
    int len = sizeof err;
    if (select(0, nullptr, &w, &x, &tv) == 1 && FD_ISSET(s, &w) &&
        getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) == 0 && err == 0)
      r = 0;
  }
  if (r != 0) {
    error = "cannot reach the simulator broker at " + text;
    closesocket(s);
    return kNoSocket;
  }
  return s;
}

}  // namespace

uint32_t fresh_loopback() {
  static std::atomic<uint32_t> counter{0};
  uint64_t now = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
  uint64_t h = (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^ now ^
               (static_cast<uint64_t>(counter++) * 0x9E3779B97F4A7C15ull);
  h ^= h >> 30;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 27;
  h *= 0x94D049BB133111EBull;
  h ^= h >> 31;
  uint32_t b1 = 1 + static_cast<uint32_t>(h % 254);          // 1..254: stays out of 127.0.x.x
  uint32_t b2 = static_cast<uint32_t>((h >> 8) % 256);       // 0..255
  uint32_t b3 = 1 + static_cast<uint32_t>((h >> 16) % 254);  // 1..254
  return (127u << 24) | (b1 << 16) | (b2 << 8) | b3;
}

SimProcess::SimProcess(std::vector<std::string> args, std::string addr) {
  SOCKET s = connect_broker(error_);
  if (s == kNoSocket) return;
  control_ = static_cast<uintptr_t>(s);
  // The broker tries further fresh addresses itself while one is taken.
  ok_ = start_once(linux_arguments(std::move(args)), addr.empty() ? "-" : addr) == 0;
}

int SimProcess::start_once(const std::vector<std::string> &args, const std::string &addr) {
  std::string request = "start " + addr + "\n";
  for (const std::string &a : args) request += "arg " + zrsim::escape_bytes(a) + "\n";
  request += "run\n";
  std::string answer;
  // The broker waits up to 5 s for each of its tries.
  if (!send_text(request) || !read_line(answer, 30000)) {
    error_ = "no answer from the simulator broker";
    return -1;
  }
  char ready_addr[64] = {0};
  unsigned port = 0;
  long pid = 0;
  int used = 0;
  if (std::sscanf(answer.c_str(), "ready %63s %u %ld %n", ready_addr, &port, &pid, &used) == 3 && used > 0) {
    in_addr a{};
    inet_pton(AF_INET, ready_addr, &a);
    addr_ = ntohl(a.s_addr);
    addr_text_ = ready_addr;
    port_ = static_cast<uint16_t>(port);
    pid_ = pid;
    std::string linux_log;
    zrsim::decode_escapes(answer.substr(static_cast<size_t>(used)), linux_log);
    log_path_ = windows_path(linux_log);
    return 0;
  }
  int code = -1;
  int at = 0;
  if (std::sscanf(answer.c_str(), "failed %d %n", &code, &at) == 1 && at > 0) {
    zrsim::decode_escapes(answer.substr(static_cast<size_t>(at)), error_);
    return code;
  }
  error_ = "the simulator broker answered '" + answer + "'";
  return -1;
}

SimProcess::~SimProcess() {
  stop();
  if (control_ != static_cast<uintptr_t>(kNoSocket))
    closesocket(static_cast<SOCKET>(control_));  // the broker removes its log folder
}

int SimProcess::stop() {
  if (!ok_ || pid_ <= 0) return exit_code_;
  std::string answer;
  int code = -1;
  // The broker waits 2 s after SIGTERM before SIGKILL.
  if (send_text("stop\n") && read_line(answer, 10000) && std::sscanf(answer.c_str(), "stopped %d", &code) == 1)
    exit_code_ = code;
  pid_ = -1;
  return exit_code_;
}

bool SimProcess::send_text(const std::string &text) const {
  SOCKET s = static_cast<SOCKET>(control_);
  if (s == kNoSocket) return false;
  size_t done = 0;
  ULONGLONG end = GetTickCount64() + 10000;
  while (done < text.size()) {
    int n = send(s, text.data() + done, static_cast<int>(text.size() - done), 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK) return false;
    if (GetTickCount64() >= end) return false;
    fd_set w;
    FD_ZERO(&w);
    FD_SET(s, &w);
    timeval tv{0, 100000};
    select(0, nullptr, &w, nullptr, &tv);
  }
  return true;
}

bool SimProcess::read_line(std::string &line, unsigned wait_ms) const {
  SOCKET s = static_cast<SOCKET>(control_);
  ULONGLONG end = GetTickCount64() + wait_ms;
  for (;;) {
    size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return true;
    }
    ULONGLONG now = GetTickCount64();
    if (s == kNoSocket || now >= end) return false;
    fd_set r;
    FD_ZERO(&r);
    FD_SET(s, &r);
    ULONGLONG left = end - now;
    timeval tv{static_cast<long>(left / 1000), static_cast<long>(left % 1000) * 1000};
    int ready = select(0, &r, nullptr, nullptr, &tv);
    if (ready < 0) return false;
    if (ready == 0) continue;
    char buf[16384];
    int n = recv(s, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && WSAGetLastError() != WSAEWOULDBLOCK)) return false;
    if (n > 0) pending_.append(buf, static_cast<size_t>(n));
  }
}

std::vector<std::string> SimProcess::log_lines() const {
  std::vector<std::string> lines;
  std::string answer;
  unsigned count = 0;
  if (!send_text("log\n") || !read_line(answer, 10000) || std::sscanf(answer.c_str(), "lines %u", &count) != 1)
    return lines;
  std::string line;
  for (unsigned i = 0; i < count && read_line(line, 10000); ++i) lines.push_back(line);
  return lines;
}

std::vector<std::string> SimProcess::requests() const { return zrsim::requests_of_log(log_lines()); }

}  // namespace zrtest
