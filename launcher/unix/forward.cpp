// forward.cpp -- hands a later start's arguments to the running application.
//
// One TCP connection to port 46001 of the loopback address; the arguments' bytes back to back,
// in command-line order, with nothing between them; then the connection is closed.  The
// launcher reads nothing from it.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "launcher.h"

namespace lumara {

namespace {

bool LoopbackAddress(in_addr* out) {
  // A dotted address is taken as it is; a name (the usual case) is looked up.
  if (::inet_pton(AF_INET, kForwardHost, out) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(kForwardHost, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return true;
}

// Sends all of `data`; a failure is not reported (the caller goes on with the next argument).
void SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

int ForwardArguments(char** argv, int argc) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kForwardPort);
  if (!LoopbackAddress(&to.sin_addr)) return -1;

  int fd = -1;
  for (int attempt = 0; attempt < kForwardAttempts && fd < 0; ++attempt) {
    // A fresh socket for every attempt: a socket whose connect failed is not reused.
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return -1;
    int rc;
    do {
      rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      ::close(fd);
      fd = -1;
      // The pause follows the last failed attempt too.
      std::this_thread::sleep_for(std::chrono::milliseconds(RetryPauseMs()));
    }
  }
  if (fd < 0) return -1;
  for (int i = 1; i < argc; ++i) SendAll(fd, argv[i], std::strlen(argv[i]));
  ::close(fd);
  return 0;
}

}  // namespace lumara
