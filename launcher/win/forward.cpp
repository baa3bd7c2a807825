// forward.cpp -- hands a later start's arguments to the running application over Windows
// Sockets.
//
// One TCP connection to port 46001 of the loopback address; the arguments' bytes (ANSI code
// page) back to back, in command-line order, with nothing between them; then the connection is
// closed.  The launcher reads nothing from it.
#include <winsock2.h>

#include <cstdio>
#include <cstring>

#include "launcher.h"

namespace lumara {

namespace {

// Sends all of `data`; a failure is not reported (the caller goes on with the next argument).
void SendAll(SOCKET s, const char* data, std::size_t size) {
  while (size > 0) {
    const int chunk = size > 0x10000 ? 0x10000 : static_cast<int>(size);
    const int n = send(s, data, chunk, 0);
    if (n <= 0) return;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

int ForwardArguments(wchar_t** argv, int argc) {
  WSADATA wsa{};
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
    std::fputs("Failed to load Winsock library!\n", stdout);
    std::fflush(stdout);
    return -1;
  }

  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kForwardPort);
  to.sin_addr.s_addr = inet_addr(kForwardHost);
  if (to.sin_addr.s_addr == INADDR_NONE) {
    const hostent* host = gethostbyname(kForwardHost);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list[0] == nullptr) {
      WSACleanup();
      return -1;
    }
    std::memcpy(&to.sin_addr, host->h_addr_list[0], sizeof to.sin_addr);
  }

  SOCKET s = INVALID_SOCKET;
  for (int attempt = 0; attempt < kForwardAttempts && s == INVALID_SOCKET; ++attempt) {
    // A fresh socket for every attempt: a socket whose connect failed is not reused.
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
      WSACleanup();
      return -1;
    }
    if (connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
      closesocket(s);
      s = INVALID_SOCKET;
      // The pause follows the last failed attempt too.
      Sleep(static_cast<DWORD>(RetryPauseMs()));
    }
  }
  if (s == INVALID_SOCKET) {
    WSACleanup();
    return -1;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string text = ConvertToAnsi(argv[i]);
    SendAll(s, text.data(), text.size());
  }
  closesocket(s);
  WSACleanup();
  return 0;
}

}  // namespace lumara
