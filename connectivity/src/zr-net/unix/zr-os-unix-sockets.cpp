/*
 * zr-os-unix-sockets.cpp -- the POSIX backend of the platform seam: BSD sockets, the
 * host's interface list and time.
 *
 * Readiness waits use poll(), which has no limit on socket numbers (select's fd_set would
 * be overrun by a socket number of FD_SETSIZE or more).  Sends and receives never block
 * and never raise SIGPIPE; the transport does the waiting.
 */
#include "../zr-os.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in make_addr(uint32_t addr, uint16_t port)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(port);
    return sa;
}

zr_os_sock new_socket(int type)
{
    int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    return s < 0 ? ZR_OS_NO_SOCK : s;
}

/* poll() that resumes after signals with the time that is left. */
int poll_one(int fd, short events, long ms, short *revents)
{
    pollfd p{fd, events, 0};
    uint64_t deadline = ms >= 0 ? zr_os_now_ms() + static_cast<uint64_t>(ms) : 0;
    for (;;) {
        int wait = -1;
        if (ms >= 0) {
            uint64_t now = zr_os_now_ms();
            uint64_t left = deadline > now ? deadline - now : 0;
            wait = left > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(left);
        }
        int r = poll(&p, 1, wait);
        if (r < 0 && errno == EINTR)
            continue;
        *revents = p.revents;
        return r;
    }
}

} // namespace

extern "C" {

int zr_os_errno(void) { return errno; }
void zr_os_set_errno(int value) { errno = value; }

int zr_os_net_start(void) { return 0; }
int zr_os_net_stop(void) { return 0; }

zr_os_sock zr_os_tcp_socket(void) { return new_socket(SOCK_STREAM); }
zr_os_sock zr_os_udp_socket(void) { return new_socket(SOCK_DGRAM); }

int zr_os_linger_off(zr_os_sock s)
{
    linger l{0, 0};
    return setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0 ? 0 : -1;
}

int zr_os_reuse_addr(zr_os_sock s)
{
    int one = 1;
    return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 ? 0 : -1;
}

int zr_os_send_buffer(zr_os_sock s, int bytes)
{
    return setsockopt(s, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0 ? 0 : -1;
}

int zr_os_no_delay(zr_os_sock s)
{
    int one = 1;
    return setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 ? 0 : -1;
}

int zr_os_bind(zr_os_sock s, uint32_t addr, uint16_t port)
{
    sockaddr_in sa = make_addr(addr, port);
    return bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? 0 : -1;
}

int zr_os_connect(zr_os_sock s, uint32_t addr, uint16_t port, uint32_t ms)
{
    sockaddr_in sa = make_addr(addr, port);
    int flags = fcntl(s, F_GETFL);
    if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0)
        return -1;
    int r = connect(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    if (r < 0 && (errno == EINPROGRESS || errno == EINTR)) {
        short rev = 0;
        int w = poll_one(s, POLLOUT, ms ? static_cast<long>(ms) : -1, &rev);
        if (w == 0) {
            errno = ETIMEDOUT;
            r = -1;
        } else if (w < 0) {
            r = -1;
        } else {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
                r = -1;
            else if (err != 0) {
                errno = err;
                r = -1;
            } else {
                r = 0;
            }
        }
    }
    int saved = errno;
    fcntl(s, F_SETFL, flags);
    errno = saved;
    return r == 0 ? 0 : -1;
}

int zr_os_addr_in_use(void) { return errno == EADDRNOTAVAIL || errno == EADDRINUSE; }

int zr_os_listen(zr_os_sock s, int backlog) { return listen(s, backlog) == 0 ? 0 : -1; }

zr_os_sock zr_os_accept(zr_os_sock s, uint32_t *raddr, uint16_t *rport, uint32_t *laddr,
                        uint16_t *lport)
{
    sockaddr_in peer;
    socklen_t len = sizeof peer;
    int c;
    do {
        c = accept4(s, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC);
    } while (c < 0 && errno == EINTR);
    if (c < 0)
        return ZR_OS_NO_SOCK;
    *raddr = ntohl(peer.sin_addr.s_addr);
    *rport = ntohs(peer.sin_port);
    sockaddr_in self;
    len = sizeof self;
    if (getsockname(c, reinterpret_cast<sockaddr *>(&self), &len) == 0) {
        *laddr = ntohl(self.sin_addr.s_addr);
        *lport = ntohs(self.sin_port);
    }
    return c;
}

int zr_os_send(zr_os_sock s, const void *data, int length)
{
    ssize_t n;
    do {
        n = send(s, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int zr_os_recv(zr_os_sock s, void *buffer, int size)
{
    ssize_t n;
    do {
        n = recv(s, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int zr_os_would_block(void) { return errno == EAGAIN || errno == EWOULDBLOCK; }

int zr_os_sendto(zr_os_sock s, const void *data, int length, uint32_t addr, uint16_t port)
{
    sockaddr_in sa = make_addr(addr, port);
    ssize_t n = sendto(s, data, static_cast<size_t>(length), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    return n < 0 ? -1 : static_cast<int>(n);
}

int zr_os_recvfrom(zr_os_sock s, void *buffer, int size)
{
    ssize_t n = recvfrom(s, buffer, static_cast<size_t>(size), MSG_DONTWAIT, nullptr, nullptr);
    return n < 0 ? -1 : static_cast<int>(n);
}

int zr_os_wait(zr_os_sock s, int flags, long ms)
{
    short events = 0;
    if (flags & 1)
        events |= POLLIN;
    if (flags & 2)
        events |= POLLOUT;
    if (events == 0)
        return 0;
    short rev = 0;
    int r = poll_one(s, events, ms, &rev);
    if (r < 0 || (rev & POLLNVAL))
        return r < 0 ? -1 : 0;
    if (r == 0)
        return 0;
    /* A hang-up or an error makes the socket readable (the receive reports it). */
    if ((flags & 1) && (rev & (POLLIN | POLLHUP | POLLERR)))
        return 1;
    if ((flags & 2) && (rev & (POLLOUT | POLLHUP | POLLERR)))
        return 2;
    return 0;
}

int zr_os_close(zr_os_sock s) { return close(s) == 0 ? 0 : -1; }

int zr_os_resolve(const char *name, uint32_t *addr)
{
    in_addr a;
    if (inet_aton(name, &a)) {
        *addr = ntohl(a.s_addr);
        return 0;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    addrinfo *res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0 || res == nullptr)
        return -1;
    *addr = ntohl(reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr.s_addr);
    freeaddrinfo(res);
    return 0;
}

void zr_os_sleep_ms(unsigned ms)
{
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

uint64_t zr_os_now_ms(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

/* ---- interface list -------------------------------------------------------------------- */

int zr_os_if_list(zr_os_sock, zr_os_ifentry *list, int capacity)
{
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0)
        return -1;
    int total = 0;
    for (ifaddrs *i = all; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr)
            continue;
        int family = i->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6)
            continue;
        if (total < capacity && list != nullptr) {
            list[total].family = family == AF_INET ? ZR_OS_AF_INET : static_cast<uint16_t>(family);
            list[total].addr =
                family == AF_INET
                    ? ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr)
                    : 0;
        }
        if (total == 0x7fffffff)
            break;
        ++total;
    }
    freeifaddrs(all);
    return total;
}

} // extern "C"
