// plain_socket.h -- plain TCP sockets for tests that look at the link library's sockets or
// talk to a peer without the library, on both the POSIX and the Winsock build.
//
// Sockets are ints, as the library hands them out.  Addresses and ports are in host order.
#ifndef ZR_TEST_PLAIN_SOCKET_H
#define ZR_TEST_PLAIN_SOCKET_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace zrtest {

// A new TCP socket, or -1.
int plain_tcp_socket();
// Closes a socket: 0, or -1 with errno (EBADF when it was not an open socket).
int plain_close(int s);
int plain_bind(int s, uint32_t addr, uint16_t port);  // 0 or -1
// The socket's own port (0 when it cannot be told).
uint16_t local_port_of(int s);
// One blocking receive: bytes, 0 when the peer closed, -1 on failure.
long plain_recv(int s, void *buffer, size_t size);
// The TCP_NODELAY setting of a socket (1 on, 0 off), or -1.
int no_delay_of(int s);

// Sends `command` to addr:port and returns all that comes back until the peer closes, or
// nothing has come for wait_ms.
std::string raw_reply(uint32_t addr, uint16_t port, const std::string &command, int wait_ms);

}  // namespace zrtest

#endif
