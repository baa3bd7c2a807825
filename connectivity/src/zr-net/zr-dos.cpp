/*
 * zr-dos.cpp -- the connection table and the stream transport.
 *
 * Every conversation with a handheld opens a fresh TCP connection here, uses it for one
 * request and closes it.  The table keeps each open connection with its time-out pair and
 * its two endpoints; send and receive wait for readiness first, bounded by that pair.
 */
#include "zr-internal.h"

#include <cstring>

namespace {

/* Entry flag of a listening socket. */
const uint16_t ZR_LISTENING = 4;

/* One open connection. */
struct zr_conn {
    zr_conn *next;
    uint16_t flags;
    uint32_t rtime, xtime;
    uint32_t raddr, laddr;
    uint16_t rport, lport;
    int16_t socket;
    uint32_t serial; /* tells this connection from a later one on the same socket number */
};

/* The endpoints of the socket most recently bound or accepted; the entry created for that
 * socket copies them. */
struct zr_last_end {
    int32_t socket;
    uint32_t laddr;
    uint16_t lport;
    uint32_t raddr;
    uint16_t rport;
};

zr_conn *conn_table = nullptr;
zr_last_end last_end = {-1, 0, 0, 0, 0};
int32_t init_count = 0;
uint16_t auto_port = 0;
uint32_t last_serial = 0;
unsigned bind_pause_ms = 40;

const uint16_t AUTO_PORT_BASE = 57344;
const uint16_t AUTO_PORT_SPAN = 4096;
const int SEND_BUFFER = 4096;
/* Every process that uses the library walks the same automatic ports, and the sockets share
 * their ports (address reuse), so another process may hold the very connection that a bind
 * has just prepared: the connect then finds the local address in use.  Such a connection
 * moves on to the next automatic port, at most this many times, without a second pause. */
const unsigned PORT_CLASH_RETRIES = 64;

zr_conn *find(int handle)
{
    for (zr_conn *c = conn_table; c; c = c->next)
        if (c->socket == handle)
            return c;
    return nullptr;
}

/* Creates the table entry for socket s; false when no memory is left. */
bool add_entry(zr_os_sock s)
{
    auto *c = static_cast<zr_conn *>(zr_malloc("socket", static_cast<int>(sizeof(zr_conn))));
    if (c == nullptr)
        return false;
    c->socket = static_cast<int16_t>(s);
    if (++last_serial == 0)
        last_serial = 1;
    c->serial = last_serial;
    c->rtime = zri_tune.rtime;
    c->xtime = zri_tune.xtime;
    if (last_end.socket == s) {
        c->laddr = last_end.laddr;
        c->lport = last_end.lport;
        c->raddr = last_end.raddr;
        c->rport = last_end.rport;
    }
    c->next = conn_table;
    conn_table = c;
    return true;
}

/* The wait of a connection's time-out member: 0 means without limit. */
long wait_ms(uint32_t ms) { return ms == 0 ? -1L : static_cast<long>(ms); }

/* Binds one of the automatic ports 57344..61439, continuing the cycle where the last
 * call left it; the pause comes first unless this is a retry after a port clash. */
bool bind_auto_port(zr_os_sock s, bool pause)
{
    if (pause && bind_pause_ms != 0)
        zr_os_sleep_ms(bind_pause_ms);
    for (unsigned tries = 0; tries < AUTO_PORT_SPAN; ++tries) {
        auto_port = static_cast<uint16_t>((auto_port + 1) % AUTO_PORT_SPAN);
        if (zr_os_bind(s, 0, static_cast<uint16_t>(AUTO_PORT_BASE + auto_port)) == 0)
            return true;
    }
    return false;
}

int fail_closing(zr_os_sock s, int code)
{
    zri_close_keep_errno(s);
    return code;
}

/* A TCP socket with the transport's options: linger off, address reuse, the 4096-byte send
 * buffer (unless system_buffer), segments sent at once.  0, or a result code with nothing
 * left open. */
int new_socket(int system_buffer, zr_os_sock *out)
{
    zr_os_set_errno(0);
    zr_os_sock s = zr_os_tcp_socket();
    if (s == ZR_OS_NO_SOCK)
        return ZR_E_SOCKET;
    /* The table keeps handles as signed 16-bit numbers. */
    if (s > 32767)
        return fail_closing(s, ZR_E_SOCKET);
    zr_os_set_errno(0);
    if (zr_os_linger_off(s) != 0)
        return fail_closing(s, ZR_E_SOCKET);
    if (zr_os_reuse_addr(s) != 0 || (!system_buffer && zr_os_send_buffer(s, SEND_BUFFER) != 0))
        return fail_closing(s, ZR_E_SOCKET);
    /* Data goes out in blocks of 1536 bytes into a send buffer that holds barely more than
     * two: with small sends coalesced, each block would wait for the peer's delayed
     * acknowledgement.  A socket that refuses the option still works, only slower. */
    zr_os_no_delay(s);
    *out = s;
    return 0;
}

} // namespace

extern "C" {

zr_tune zri_tune = {0, 0};
zr_stat zri_traffic = {0, 0, 0, 0};

int KQ_ZR_1b_init(void)
{
    if (init_count++ != 0)
        return 0;
    if (zr_os_net_start() != 0) {
        init_count = 0;
        return ZR_E_SOCKET;
    }
    auto_port = 0;
    conn_table = nullptr;
    KQ_ZR_sl_stat(3, nullptr);
    return 0;
}

int KQ_ZR_1b_done(void)
{
    /* A stop without a start changes nothing (the count never goes below 0). */
    if (init_count <= 0 || --init_count != 0)
        return 0;
    while (conn_table)
        KQ_ZR_1b_unbind(conn_table->socket);
    return zr_os_net_stop() == 0 ? 0 : ZR_E_SOCKET;
}

int zri_bind(uint32_t laddr, uint32_t lport, uint32_t raddr, uint32_t rport, int system_buffer)
{
    if (lport != 0 && lport < 1024)
        return ZR_E_PRIVPORT;
    if (lport > 65535)
        return ZR_E_BIND;
    if (rport > 65535)
        return ZR_E_CONNECT;

    bool listening = raddr == 0 && rport == 0;
    bool automatic = laddr == 0 && lport == 0;
    uint32_t used_raddr = listening ? 0 : raddr != 0 ? raddr : 0x7F000001u;
    zr_os_sock s = ZR_OS_NO_SOCK;
    for (unsigned clashes = 0;; ++clashes) {
        int r = new_socket(system_buffer, &s);
        if (r != 0)
            return r;
        zr_os_set_errno(0);
        bool bound;
        if (laddr != 0)
            bound = zr_os_bind(s, laddr, static_cast<uint16_t>(lport)) == 0;
        else if (lport != 0)
            bound = zr_os_bind(s, 0, static_cast<uint16_t>(lport)) == 0;
        else
            bound = bind_auto_port(s, clashes == 0);
        if (!bound)
            return fail_closing(s, ZR_E_BIND);

        if (listening) {
            zr_os_set_errno(0);
            if (zr_os_listen(s, 2) != 0)
                return fail_closing(s, ZR_E_SOCKET);
            break;
        }
        if (zr_os_connect(s, used_raddr, static_cast<uint16_t>(rport), zri_tune.xtime) == 0)
            break;
        if (!automatic || clashes >= PORT_CLASH_RETRIES || !zr_os_addr_in_use())
            return fail_closing(s, ZR_E_CONNECT);
        zri_close_keep_errno(s);
    }

    last_end.socket = s;
    last_end.laddr = laddr;
    last_end.lport = static_cast<uint16_t>(lport);
    last_end.raddr = used_raddr;
    last_end.rport = static_cast<uint16_t>(rport);
    if (!add_entry(s))
        return fail_closing(s, ZR_E_SOCKET);
    if (listening)
        conn_table->flags = ZR_LISTENING;
    return s;
}

int KQ_ZR_1b_bind(uint32_t laddr, uint32_t lport, uint32_t raddr, uint32_t rport)
{
    return zri_bind(laddr, lport, raddr, rport, 0);
}

int KQ_ZR_1b_unbind(int handle)
{
    for (zr_conn **link = &conn_table; *link;) {
        zr_conn *c = *link;
        if (c->socket == handle) {
            *link = c->next;
            zr_free(c);
        } else {
            link = &c->next;
        }
    }
    if (handle >= 0) {
        zr_os_set_errno(0);
        zr_os_close(handle);
    }
    return 0;
}

void zri_set_bind_pause(unsigned ms) { bind_pause_ms = ms; }

uint32_t zri_conn_serial(int handle)
{
    zr_conn *c = find(handle);
    return c ? c->serial : 0;
}

void zri_unbind_keep_errno(int handle)
{
    int saved = zr_os_errno();
    KQ_ZR_1b_unbind(handle);
    zr_os_set_errno(saved);
}

int KQ_ZR_1b_send(int handle, int flags, const void *data, int length)
{
    zr_conn *c = find(handle);
    if (c == nullptr)
        return ZR_E_HANDLE;
    if (flags != 0 || length < 0)
        return ZR_E_FLAGS;
    if (data == nullptr && length > 0)
        return ZR_E_HANDLE;
    /* The wait for writability is made only when the socket cannot take data at once: a
     * socket that can returns from the wait at once anyway, and bulk transfers (1536-byte
     * blocks) would otherwise pay a system call per block for nothing. */
    const char *p = static_cast<const char *>(data);
    int sent = 0;
    bool waited = false;
    while (sent < length || (length == 0 && !waited)) {
        if (length > 0) {
            zr_os_set_errno(0);
            int n = zr_os_send(c->socket, p + sent, length - sent);
            if (n > 0) {
                sent += n;
                continue;
            }
            if (n < 0 && !zr_os_would_block())
                return ZR_E_SOCKET;
        }
        /* The peer is not taking data: wait, but never longer than the send wait. */
        if (zr_os_wait(c->socket, 2, wait_ms(c->xtime)) <= 0)
            return ZR_E_TIMEOUT;
        waited = true;
    }
    zr_stat add = {static_cast<uint32_t>(sent), 1, 0, 0};
    KQ_ZR_sl_stat(2, &add);
    return sent;
}

int KQ_ZR_1b_recv(int handle, int flags, void *buffer, int size)
{
    zr_conn *c = find(handle);
    if (c == nullptr)
        return ZR_E_HANDLE;
    if (flags != 0)
        return ZR_E_FLAGS;

    if (c->flags & ZR_LISTENING) {
        uint32_t raddr = 0, laddr = 0;
        uint16_t rport = 0, lport = 0;
        zr_os_set_errno(0);
        zr_os_sock s = zr_os_accept(c->socket, &raddr, &rport, &laddr, &lport);
        if (s == ZR_OS_NO_SOCK)
            return ZR_E_SOCKET;
        if (s > 32767)
            return fail_closing(s, ZR_E_FLAGS);
        last_end = {s, laddr, lport, raddr, rport};
        if (!add_entry(s))
            return fail_closing(s, ZR_E_FLAGS);
        return s;
    }

    if (size < 0)
        return ZR_E_FLAGS;
    if (buffer == nullptr && size > 0)
        return ZR_E_HANDLE;
    /* As in sending: the wait for readability is made only when no data (and no end of the
     * stream) is there yet. */
    zr_os_set_errno(0);
    int n = size > 0 ? zr_os_recv(c->socket, buffer, size) : -1;
    if (n < 0 && (size == 0 || zr_os_would_block())) {
        if (zr_os_wait(c->socket, 1, wait_ms(c->rtime)) <= 0)
            return ZR_E_TIMEOUT;
        zr_os_set_errno(0);
        n = zr_os_recv(c->socket, buffer, size);
    }
    if (n < 0)
        return ZR_E_SOCKET;
    zr_stat add = {0, 0, static_cast<uint32_t>(n), 1};
    KQ_ZR_sl_stat(2, &add);
    return n;
}

int KQ_ZR_1b_ready(int handle, int flags)
{
    if (handle < 0)
        return 0;
    int r = zr_os_wait(handle, flags & 3, 0);
    return r < 0 ? 0 : r;
}

int KQ_ZR_1b_info(int handle, zr_conn_info *info)
{
    zr_conn *c = find(handle);
    if (c == nullptr || info == nullptr)
        return ZR_E_HANDLE;
    info->raddr = c->raddr;
    info->laddr = c->laddr;
    info->rport = c->rport;
    info->lport = c->lport;
    return 0;
}

int KQ_ZR_1b_tune(int handle, int op, zr_tune *tune)
{
    zr_conn *c = find(handle);
    if (c == nullptr || tune == nullptr)
        return ZR_E_HANDLE;
    if (op != 1 && op != 2)
        return ZR_E_SOCKET;
    if (op == 2) {
        if (tune->rtime != 0xFFFFFFFFu)
            c->rtime = tune->rtime;
        if (tune->xtime != 0xFFFFFFFFu)
            c->xtime = tune->xtime;
    }
    tune->rtime = c->rtime;
    tune->xtime = c->xtime;
    return 0;
}

} // extern "C"
