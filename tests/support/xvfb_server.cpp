// xvfb_server.cpp -- a private X server for window tests.
#include "xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace zrtest {

XvfbServer::XvfbServer(const std::string& screen) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    why_ = "pipe failed";
    return;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    why_ = "fork failed";
    ::close(fds[0]);
    ::close(fds[1]);
    return;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives a test that crashed
    ::close(fds[0]);
    ::fcntl(fds[1], F_SETFD, 0);
    const int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    const std::string fd = std::to_string(fds[1]);
    // -noreset: by default the server resets when its last client leaves, and a program
    // that connects in that moment finds no display (a test's second window after its first
    // has closed).
    ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-noreset", "-screen", "0", screen.c_str(),
             static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string number;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char c;
    if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
    number.push_back(c);
  }
  ::close(fds[0]);
  if (number.empty()) {
    why_ = "Xvfb did not start (is it installed?)";
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return;
  }
  pid_ = pid;
  display_ = ":" + number;
}

XvfbServer::~XvfbServer() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

}  // namespace zrtest
