/*
 * zr-os-win-sockets.cpp -- the Win32 backend of the seam's socket layer: Winsock 2 (started as
 * version 1.1), the interface-list query and time.
 *
 * Sockets are made non-blocking when they are created and stay so: Winsock has no
 * per-call "don't wait" flag, and the transport does its own waiting (select).  The
 * blocking calls of the seam (accept, connect) wait in select() first.  Winsock error
 * codes are translated into the runtime's errno values, as Win32 ones are (zr-os-win.h).
 */
#include "zr-os-win.h"

#include <cstring>

static_assert(sizeof(INTERFACE_INFO) == 76, "an interface-list entry is 76 bytes");

using namespace zr_win;

namespace {

/* ---- error numbers --------------------------------------------------------------- */

int errno_of_wsa(int e)
{
    switch (e) {
    case WSAEWOULDBLOCK: return EWOULDBLOCK;
    case WSAEINPROGRESS: return EINPROGRESS;
    case WSAEALREADY: return EALREADY;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAECONNRESET: return ECONNRESET;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAENOTCONN: return ENOTCONN;
    case WSAEISCONN: return EISCONN;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAENETDOWN: return ENETDOWN;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    case WSAEMSGSIZE: return EMSGSIZE;
    case WSAENOBUFS: return ENOBUFS;
    case WSAENOTSOCK: return EBADF;
    case WSAEBADF: return EBADF;
    case WSAEINVAL: return EINVAL;
    case WSAEFAULT: return EFAULT;
    case WSAEINTR: return EINTR;
    case WSAEACCES: return EACCES;
    case WSAEMFILE: return EMFILE;
    case WSAESHUTDOWN: return EPIPE;
    case WSANOTINITIALISED: return EINVAL;
    case 0: return 0;
    default: return EIO;
    }
}

/* The last Winsock error into errno; returns -1 for the caller's convenience. */
int wsa_fail()
{
    errno = errno_of_wsa(WSAGetLastError());
    return -1;
}

/* ---- sockets ----------------------------------------------------------------------- */

SOCKET sock_of(zr_os_sock s) { return static_cast<SOCKET>(static_cast<unsigned>(s)); }

sockaddr_in make_addr(uint32_t addr, uint16_t port)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(port);
    return sa;
}

zr_os_sock new_socket(int type, int protocol)
{
    SOCKET s = socket(AF_INET, type, protocol);
    if (s == INVALID_SOCKET) {
        wsa_fail();
        return ZR_OS_NO_SOCK;
    }
    /* The transport keeps socket numbers in a signed 16-bit field. */
    if (s > 0x7fff) {
        closesocket(s);
        errno = EMFILE;
        return ZR_OS_NO_SOCK;
    }
    u_long on = 1;
    if (ioctlsocket(s, FIONBIO, &on) != 0) {
        wsa_fail();
        int saved = errno;
        closesocket(s);
        errno = saved;
        return ZR_OS_NO_SOCK;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<zr_os_sock>(s);
}

/* select() on one socket: readable / writable / failed sets as asked; ms < 0 waits without
 * limit.  The select result (0 on time-out, -1 with errno). */
int select_one(zr_os_sock s, bool read, bool write, long ms, bool *r, bool *w, bool *x)
{
    fd_set rs, ws, xs;
    FD_ZERO(&rs);
    FD_ZERO(&ws);
    FD_ZERO(&xs);
    SOCKET h = sock_of(s);
    if (read)
        FD_SET(h, &rs);
    if (write)
        FD_SET(h, &ws);
    FD_SET(h, &xs);
    timeval tv;
    timeval *limit = nullptr;
    if (ms >= 0) {
        tv.tv_sec = static_cast<long>(ms / 1000);
        tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
        limit = &tv;
    }
    int n = select(0, read ? &rs : nullptr, write ? &ws : nullptr, &xs, limit);
    if (n == SOCKET_ERROR)
        return wsa_fail();
    *r = read && FD_ISSET(h, &rs);
    *w = write && FD_ISSET(h, &ws);
    *x = FD_ISSET(h, &xs) != 0;
    return n;
}

} // namespace

extern "C" {

int zr_os_errno(void) { return errno; }
void zr_os_set_errno(int value) { errno = value; }

/* ---- socket layer ------------------------------------------------------------------ */

int zr_os_net_start(void)
{
    WSADATA data;
    int r = WSAStartup(MAKEWORD(1, 1), &data);
    if (r != 0) {
        errno = errno_of_wsa(r);
        return -1;
    }
    return 0;
}

int zr_os_net_stop(void) { return WSACleanup() == 0 ? 0 : wsa_fail(); }

zr_os_sock zr_os_tcp_socket(void) { return new_socket(SOCK_STREAM, IPPROTO_TCP); }
zr_os_sock zr_os_udp_socket(void) { return new_socket(SOCK_DGRAM, IPPROTO_UDP); }

int zr_os_linger_off(zr_os_sock s)
{
    linger l;
    l.l_onoff = 0;
    l.l_linger = 0;
    return setsockopt(sock_of(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&l),
                      sizeof l) == 0
               ? 0
               : wsa_fail();
}

int zr_os_reuse_addr(zr_os_sock s)
{
    BOOL one = TRUE;
    return setsockopt(sock_of(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&one),
                      sizeof one) == 0
               ? 0
               : wsa_fail();
}

int zr_os_send_buffer(zr_os_sock s, int bytes)
{
    return setsockopt(sock_of(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&bytes),
                      sizeof bytes) == 0
               ? 0
               : wsa_fail();
}

int zr_os_no_delay(zr_os_sock s) { return zr_os_coalesce(s, 0); }

int zr_os_coalesce(zr_os_sock s, int on)
{
    BOOL no_delay = on ? FALSE : TRUE;
    return setsockopt(sock_of(s), IPPROTO_TCP, TCP_NODELAY,
                      reinterpret_cast<const char *>(&no_delay), sizeof no_delay) == 0
               ? 0
               : wsa_fail();
}

int zr_os_bind(zr_os_sock s, uint32_t addr, uint16_t port)
{
    sockaddr_in sa = make_addr(addr, port);
    return bind(sock_of(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 ? 0 : wsa_fail();
}

int zr_os_connect(zr_os_sock s, uint32_t addr, uint16_t port, uint32_t ms)
{
    sockaddr_in sa = make_addr(addr, port);
    if (connect(sock_of(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0)
        return 0;
    int e = WSAGetLastError();
    if (e != WSAEWOULDBLOCK && e != WSAEINPROGRESS) {
        errno = errno_of_wsa(e);
        return -1;
    }
    /* Established: writable.  Refused or unreachable: the failed set. */
    long limit = ms ? static_cast<long>(ms > 0x7fffffffu ? 0x7fffffffu : ms) : -1;
    bool r = false, w = false, x = false;
    int n = select_one(s, false, true, limit, &r, &w, &x);
    if (n < 0)
        return -1;
    if (n == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    int err = 0;
    int len = sizeof err;
    if (getsockopt(sock_of(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) != 0)
        return wsa_fail();
    if (err != 0 || x) {
        errno = err ? errno_of_wsa(err) : ECONNREFUSED;
        return -1;
    }
    return 0;
}

/* WSAEADDRINUSE and WSAEADDRNOTAVAIL arrive here translated (errno_of_wsa). */
int zr_os_addr_in_use(void) { return errno == EADDRNOTAVAIL || errno == EADDRINUSE; }

int zr_os_listen(zr_os_sock s, int backlog)
{
    return listen(sock_of(s), backlog) == 0 ? 0 : wsa_fail();
}

zr_os_sock zr_os_accept(zr_os_sock s, uint32_t *raddr, uint16_t *rport, uint32_t *laddr,
                        uint16_t *lport)
{
    for (;;) {
        sockaddr_in peer;
        int len = sizeof peer;
        SOCKET c = accept(sock_of(s), reinterpret_cast<sockaddr *>(&peer), &len);
        if (c == INVALID_SOCKET) {
            int e = WSAGetLastError();
            if (e != WSAEWOULDBLOCK) {
                errno = errno_of_wsa(e);
                return ZR_OS_NO_SOCK;
            }
            bool r = false, w = false, x = false;
            if (select_one(s, true, false, -1, &r, &w, &x) < 0)
                return ZR_OS_NO_SOCK;
            continue;
        }
        if (c > 0x7fff) {
            closesocket(c);
            errno = EMFILE;
            return ZR_OS_NO_SOCK;
        }
        /* The accepted socket takes the listening socket's properties (non-blocking). */
        u_long on = 1;
        ioctlsocket(c, FIONBIO, &on);
        SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
        *raddr = ntohl(peer.sin_addr.s_addr);
        *rport = ntohs(peer.sin_port);
        sockaddr_in self;
        len = sizeof self;
        if (getsockname(c, reinterpret_cast<sockaddr *>(&self), &len) == 0) {
            *laddr = ntohl(self.sin_addr.s_addr);
            *lport = ntohs(self.sin_port);
        }
        return static_cast<zr_os_sock>(c);
    }
}

int zr_os_send(zr_os_sock s, const void *data, int length)
{
    int n = send(sock_of(s), static_cast<const char *>(data), length, 0);
    return n == SOCKET_ERROR ? wsa_fail() : n;
}

int zr_os_recv(zr_os_sock s, void *buffer, int size)
{
    int n = recv(sock_of(s), static_cast<char *>(buffer), size, 0);
    return n == SOCKET_ERROR ? wsa_fail() : n;
}

int zr_os_would_block(void) { return errno == EWOULDBLOCK || errno == EAGAIN; }

int zr_os_sendto(zr_os_sock s, const void *data, int length, uint32_t addr, uint16_t port)
{
    sockaddr_in sa = make_addr(addr, port);
    int n = sendto(sock_of(s), static_cast<const char *>(data), length, 0,
                   reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    return n == SOCKET_ERROR ? wsa_fail() : n;
}

int zr_os_recvfrom(zr_os_sock s, void *buffer, int size)
{
    int n = recvfrom(sock_of(s), static_cast<char *>(buffer), size, 0, nullptr, nullptr);
    if (n == SOCKET_ERROR) {
        /* A datagram larger than the buffer arrives cut; the bytes that fit count. */
        if (WSAGetLastError() == WSAEMSGSIZE)
            return size;
        return wsa_fail();
    }
    return n;
}

int zr_os_wait(zr_os_sock s, int flags, long ms)
{
    if ((flags & 3) == 0)
        return 0;
    bool r = false, w = false, x = false;
    int n = select_one(s, (flags & 1) != 0, (flags & 2) != 0, ms, &r, &w, &x);
    if (n <= 0)
        return n;
    /* A failed socket counts as ready: the next call on it reports the error. */
    if ((flags & 1) && (r || x))
        return 1;
    if ((flags & 2) && (w || x))
        return 2;
    return 0;
}

int zr_os_close(zr_os_sock s) { return closesocket(sock_of(s)) == 0 ? 0 : wsa_fail(); }

int zr_os_resolve(const char *name, uint32_t *addr)
{
    if (name == nullptr) {
        errno = EINVAL;
        return -1;
    }
    unsigned long a = inet_addr(name);
    if (a != INADDR_NONE || std::strcmp(name, "255.255.255.255") == 0) {
        *addr = ntohl(a);
        return 0;
    }
    /* Name look-ups need the socket layer, which a caller may not have started: a
     * reference of this call's own keeps it up meanwhile. */
    WSADATA data;
    int started = WSAStartup(MAKEWORD(1, 1), &data);
    if (started != 0) {
        errno = errno_of_wsa(started);
        return -1;
    }
    int r = -1;
    hostent *h = gethostbyname(name);
    if (h == nullptr || h->h_addrtype != AF_INET || h->h_addr_list[0] == nullptr) {
        wsa_fail();
    } else {
        in_addr first;
        std::memcpy(&first, h->h_addr_list[0], sizeof first);
        *addr = ntohl(first.s_addr);
        r = 0;
    }
    int saved = errno;
    WSACleanup();
    errno = saved;
    return r;
}

/* ---- time ---------------------------------------------------------------------------- */

void zr_os_sleep_ms(unsigned ms) { Sleep(ms); }
uint64_t zr_os_now_ms(void) { return GetTickCount64(); }

/* ---- interface list ------------------------------------------------------------------- */

int zr_os_if_list(zr_os_sock s, zr_os_ifentry *list, int capacity)
{
    /* The query fails with WSAEFAULT while the buffer is too small: ask with more room,
     * up to a list far longer than any host has. */
    for (DWORD room = 32; room <= 4096; room *= 2) {
        auto *entries = static_cast<INTERFACE_INFO *>(
            zr_os_alloc(room * sizeof(INTERFACE_INFO), "interface list"));
        if (entries == nullptr)
            return -1;
        DWORD bytes = 0;
        int r = WSAIoctl(sock_of(s), SIO_GET_INTERFACE_LIST, nullptr, 0, entries,
                         room * sizeof(INTERFACE_INFO), &bytes, nullptr, nullptr);
        if (r == SOCKET_ERROR) {
            int e = WSAGetLastError();
            zr_os_free(entries);
            if (e == WSAEFAULT || e == WSAENOBUFS)
                continue;
            errno = errno_of_wsa(e);
            return -1;
        }
        int total = static_cast<int>(bytes / sizeof(INTERFACE_INFO));
        for (int i = 0; i < total && i < capacity && list != nullptr; ++i) {
            const sockaddr *sa = &entries[i].iiAddress.Address;
            list[i].family = static_cast<uint16_t>(sa->sa_family);
            list[i].addr = sa->sa_family == AF_INET
                               ? ntohl(entries[i].iiAddress.AddressIn.sin_addr.s_addr)
                               : 0;
        }
        zr_os_free(entries);
        return total;
    }
    errno = ENOBUFS;
    return -1;
}

} // extern "C"
