/*
 * zr-os-win.cpp -- the Win32 backend of the platform seam: Winsock 2 (started as version
 * 1.1), the interface-list query, the named mutex and named shared memory as kernel
 * objects, the Toolhelp32 process snapshot, CreateProcess / TerminateProcess and the
 * runtime's wide-name file calls.
 *
 * Sockets are made non-blocking when they are created and stay so: Winsock has no
 * per-call "don't wait" flag, and the transport does its own waiting (select).  The
 * blocking calls of the seam (accept, connect) wait in select() first.  Winsock and Win32
 * error codes are translated into the runtime's errno values, where zr_os_errno() reads
 * them, so the library sees the same numbers on every platform.
 */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <wchar.h>

#include "../zr-os.h"

static_assert(sizeof(INTERFACE_INFO) == 76, "an interface-list entry is 76 bytes");
static_assert(ZR_OS_O_BINARY == _O_BINARY && ZR_OS_O_CREAT == _O_CREAT && ZR_OS_O_TRUNC == _O_TRUNC &&
                  ZR_OS_O_RDWR == _O_RDWR && ZR_OS_O_WRONLY == _O_WRONLY && ZR_OS_O_EXCL == _O_EXCL &&
                  ZR_OS_O_APPEND == _O_APPEND && ZR_OS_O_TEXT == _O_TEXT,
              "the seam's open flags are the runtime's");
static_assert(sizeof(zr_os_wchar) == sizeof(wchar_t), "wide names are UTF-16 units");

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

int errno_of_win32(DWORD e)
{
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER: return e == ERROR_INVALID_PARAMETER ? EINVAL : ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_INSUFFICIENT_BUFFER: return ERANGE;
    default: return EIO;
    }
}

int win32_fail()
{
    errno = errno_of_win32(GetLastError());
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

/* ---- names ------------------------------------------------------------------------- */

/* A UTF-8 text as a wide string for one call (falls back to the ANSI code page for text
 * that is not UTF-8).  Null with errno on failure. */
wchar_t *wide_of(const char *text)
{
    if (text == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    UINT cp = CP_UTF8;
    int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (n <= 0) {
        cp = CP_ACP;
        n = MultiByteToWideChar(cp, 0, text, -1, nullptr, 0);
        if (n <= 0) {
            errno = EILSEQ;
            return nullptr;
        }
    }
    auto *w = static_cast<wchar_t *>(zr_os_alloc(static_cast<size_t>(n) * sizeof(wchar_t), "system name"));
    if (w == nullptr)
        return nullptr;
    if (MultiByteToWideChar(cp, cp == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0, text, -1, w, n) <= 0) {
        zr_os_free(w);
        errno = EILSEQ;
        return nullptr;
    }
    return w;
}

/* A wide text as UTF-8 into buf; -1 with ERANGE when it does not fit. */
int utf8_of(const wchar_t *w, char *buf, size_t size)
{
    int need = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (need <= 0)
        return win32_fail();
    if (static_cast<size_t>(need) > size) {
        errno = ERANGE;
        return -1;
    }
    WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, need, nullptr, nullptr);
    return 0;
}

const wchar_t *wname(const zr_os_wchar *name) { return reinterpret_cast<const wchar_t *>(name); }

/* Kernel-object names follow the seam's rule: no path, no slash, at most 200 characters
 * (a backslash would reach into another namespace). */
bool object_name_ok(const char *name)
{
    if (name == nullptr || *name == '\0' || std::strlen(name) > 200 || std::strchr(name, '/') ||
        std::strchr(name, '\\')) {
        errno = EINVAL;
        return false;
    }
    return true;
}

unsigned cut_count(unsigned count) { return count > INT_MAX ? INT_MAX : count; }

} // namespace

struct zr_os_mutex {
    HANDLE h;
};

struct zr_os_shared {
    HANDLE h;
    size_t size;
};

struct zr_os_process {
    HANDLE h;
};

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
    return setsockopt(sock_of(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&l), sizeof l) == 0
               ? 0
               : wsa_fail();
}

int zr_os_reuse_addr(zr_os_sock s)
{
    BOOL one = TRUE;
    return setsockopt(sock_of(s), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&one), sizeof one) == 0
               ? 0
               : wsa_fail();
}

int zr_os_send_buffer(zr_os_sock s, int bytes)
{
    return setsockopt(sock_of(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&bytes), sizeof bytes) == 0
               ? 0
               : wsa_fail();
}

int zr_os_no_delay(zr_os_sock s) { return zr_os_coalesce(s, 0); }

int zr_os_coalesce(zr_os_sock s, int on)
{
    BOOL no_delay = on ? FALSE : TRUE;
    return setsockopt(sock_of(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&no_delay),
                      sizeof no_delay) == 0
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

int zr_os_listen(zr_os_sock s, int backlog) { return listen(sock_of(s), backlog) == 0 ? 0 : wsa_fail(); }

zr_os_sock zr_os_accept(zr_os_sock s, uint32_t *raddr, uint16_t *rport, uint32_t *laddr, uint16_t *lport)
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
    int n = sendto(sock_of(s), static_cast<const char *>(data), length, 0, reinterpret_cast<sockaddr *>(&sa),
                   sizeof sa);
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

/* ---- host files by wide name -------------------------------------------------------- */

int zr_os_wopen(const zr_os_wchar *name, int flags, int mode)
{
    int pmode = _S_IREAD | ((mode & 0200) ? _S_IWRITE : 0);
    int fd = _wsopen(wname(name), flags | _O_NOINHERIT, _SH_DENYNO, pmode);
    return fd < 0 ? -1 : fd;
}

int zr_os_read(int fd, void *buffer, unsigned count)
{
    int n = _read(fd, buffer, cut_count(count));
    return n < 0 ? -1 : n;
}

int zr_os_write(int fd, const void *buffer, unsigned count)
{
    int n = _write(fd, buffer, cut_count(count));
    return n < 0 ? -1 : n;
}

int zr_os_file_close(int fd) { return _close(fd) == 0 ? 0 : -1; }

int zr_os_wrename(const zr_os_wchar *from, const zr_os_wchar *to, int replace)
{
    if (!replace) {
        if (_wrename(wname(from), wname(to)) == 0)
            return 0;
        /* The runtime reports an existing target as EACCES. */
        int saved = errno;
        errno = GetFileAttributesW(wname(to)) != INVALID_FILE_ATTRIBUTES &&
                        GetFileAttributesW(wname(from)) != INVALID_FILE_ATTRIBUTES
                    ? EEXIST
                    : saved;
        return -1;
    }
    /* Replacing a file in one step: the runtime's rename cannot. */
    if (MoveFileExW(wname(from), wname(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
        return 0;
    return win32_fail();
}

int zr_os_wunlink(const zr_os_wchar *name) { return _wunlink(wname(name)) == 0 ? 0 : -1; }

/*
 * The runtime's status record has no file identity (st_ino is always 0 on Windows), so
 * this backend stores the one the system keeps: the volume serial number in st_dev, the
 * 64-bit file index in st_rdev (low half) and st_uid / st_gid (high half, 16 bits each),
 * and st_ino 1 to mark that the identity is there.  zr_os_same_file() compares only
 * records that carry it, so two different files are never taken for one.
 */
int zr_os_wstat(const zr_os_wchar *name, struct stat *st)
{
    struct _stat64i32 s;
    if (_wstat64i32(wname(name), &s) != 0)
        return -1;
    std::memset(st, 0, sizeof *st);
    st->st_mode = s.st_mode;
    st->st_nlink = s.st_nlink;
    st->st_size = s.st_size;
    st->st_atime = s.st_atime;
    st->st_mtime = s.st_mtime;
    st->st_ctime = s.st_ctime;
    st->st_dev = s.st_dev;
    HANDLE h = CreateFileW(wname(name), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(h, &info)) {
            st->st_dev = static_cast<_dev_t>(info.dwVolumeSerialNumber);
            st->st_rdev = static_cast<_dev_t>(info.nFileIndexLow);
            st->st_uid = static_cast<short>(info.nFileIndexHigh & 0xffff);
            st->st_gid = static_cast<short>(info.nFileIndexHigh >> 16);
            st->st_ino = 1;
        }
        CloseHandle(h);
    }
    return 0;
}

int zr_os_stat_kind(const struct stat *st)
{
    if ((st->st_mode & _S_IFMT) == _S_IFREG)
        return 1;
    if ((st->st_mode & _S_IFMT) == _S_IFDIR)
        return 2;
    return 3;
}

int zr_os_stat_mode(const struct stat *st) { return static_cast<int>(st->st_mode & 0777); }

int zr_os_same_file(const struct stat *a, const struct stat *b)
{
    return a->st_ino == 1 && b->st_ino == 1 && a->st_dev == b->st_dev && a->st_rdev == b->st_rdev &&
                   a->st_uid == b->st_uid && a->st_gid == b->st_gid
               ? 1
               : 0;
}

/* Windows files carry no POSIX owner (this backend's st_uid / st_gid hold a part of the
 * file index), and the new file was created with the permission bits already. */
int zr_os_file_adopt(int, const struct stat *) { return 0; }

int zr_os_getcwd(char *buf, size_t size)
{
    /* The wide folder name in a block of the library's own (through its allocation gate),
     * not one the runtime allocates; the folder may change in between, hence the loop. */
    for (int tries = 0; tries < 4; ++tries) {
        DWORD need = GetCurrentDirectoryW(0, nullptr);
        if (need == 0)
            return win32_fail();
        auto *w = static_cast<wchar_t *>(zr_os_alloc(static_cast<size_t>(need) * sizeof(wchar_t), "system name"));
        if (w == nullptr)
            return -1;
        DWORD got = GetCurrentDirectoryW(need, w);
        int r = -1;
        if (got == 0)
            win32_fail();
        else if (got < need)
            r = utf8_of(w, buf, size);
        int saved = errno;
        zr_os_free(w);
        errno = saved;
        if (got == 0 || got < need)
            return r;
    }
    errno = ERANGE;
    return -1;
}

int zr_os_chdir(const char *path)
{
    wchar_t *w = wide_of(path);
    if (w == nullptr)
        return -1;
    int r = _wchdir(w);
    int saved = errno;
    zr_os_free(w);
    errno = saved;
    return r == 0 ? 0 : -1;
}

/* The final name of an open file: links and junctions resolved, in its "\\?\" form.  Null
 * when the system cannot tell (the caller then takes the full name as it stands). */
static wchar_t *final_name_of(const wchar_t *name)
{
    HANDLE h = CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    wchar_t *out = nullptr;
    DWORD need = GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (need != 0) {
        out = static_cast<wchar_t *>(zr_os_alloc((need + 1) * sizeof(wchar_t), "system name"));
        if (out != nullptr) {
            DWORD got = GetFinalPathNameByHandleW(h, out, need + 1, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
            if (got == 0 || got > need) {
                zr_os_free(out);
                out = nullptr;
            }
        }
    }
    CloseHandle(h);
    return out;
}

/* "\\?\C:\x" is "C:\x" and "\\?\UNC\host\share" is "\\host\share" to the runtime's calls. */
static const wchar_t *without_long_prefix(wchar_t *name)
{
    if (wcsncmp(name, L"\\\\?\\UNC\\", 8) == 0) {
        name[6] = L'\\';
        return name + 6;
    }
    if (wcsncmp(name, L"\\\\?\\", 4) == 0)
        return name + 4;
    return name;
}

int zr_os_real_name(const zr_os_wchar *name, char *buf, size_t size)
{
    if (GetFileAttributesW(wname(name)) == INVALID_FILE_ATTRIBUTES)
        return win32_fail();
    wchar_t *final_name = final_name_of(wname(name));
    if (final_name != nullptr) {
        int r = utf8_of(without_long_prefix(final_name), buf, size);
        int saved = errno;
        zr_os_free(final_name);
        errno = saved;
        return r;
    }
    DWORD need = GetFullPathNameW(wname(name), 0, nullptr, nullptr);
    if (need == 0)
        return win32_fail();
    auto *full = static_cast<wchar_t *>(zr_os_alloc(need * sizeof(wchar_t), "system name"));
    if (full == nullptr)
        return -1;
    int r = -1;
    DWORD got = GetFullPathNameW(wname(name), need, full, nullptr);
    if (got == 0 || got >= need)
        win32_fail();
    else
        r = utf8_of(full, buf, size);
    int saved = errno;
    zr_os_free(full);
    errno = saved;
    return r;
}

unsigned long zr_os_process_id(void) { return GetCurrentProcessId(); }

/* ---- time ---------------------------------------------------------------------------- */

void zr_os_sleep_ms(unsigned ms) { Sleep(ms); }
uint64_t zr_os_now_ms(void) { return GetTickCount64(); }

/* ---- interface list ------------------------------------------------------------------- */

int zr_os_if_list(zr_os_sock s, zr_os_ifentry *list, int capacity)
{
    /* The query fails with WSAEFAULT while the buffer is too small: ask with more room,
     * up to a list far longer than any host has. */
    for (DWORD room = 32; room <= 4096; room *= 2) {
        auto *entries = static_cast<INTERFACE_INFO *>(zr_os_alloc(room * sizeof(INTERFACE_INFO), "interface list"));
        if (entries == nullptr)
            return -1;
        DWORD bytes = 0;
        int r = WSAIoctl(sock_of(s), SIO_GET_INTERFACE_LIST, nullptr, 0, entries, room * sizeof(INTERFACE_INFO),
                         &bytes, nullptr, nullptr);
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

/* ---- named mutex ---------------------------------------------------------------------- */

zr_os_mutex *zr_os_mutex_open(const char *name)
{
    if (!object_name_ok(name))
        return nullptr;
    HANDLE h = CreateMutexA(nullptr, FALSE, name);
    if (h == nullptr) {
        win32_fail();
        return nullptr;
    }
    auto *m = static_cast<zr_os_mutex *>(zr_os_alloc(sizeof(zr_os_mutex), "mutex"));
    if (m == nullptr) {
        CloseHandle(h);
        return nullptr;
    }
    m->h = h;
    return m;
}

int zr_os_mutex_lock(zr_os_mutex *m)
{
    if (m == nullptr) {
        errno = EINVAL;
        return -1;
    }
    DWORD r = WaitForSingleObject(m->h, INFINITE);
    if (r == WAIT_OBJECT_0)
        return 0;
    if (r == WAIT_ABANDONED)
        return 1;
    return win32_fail();
}

int zr_os_mutex_unlock(zr_os_mutex *m)
{
    if (m == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return ReleaseMutex(m->h) ? 0 : win32_fail();
}

void zr_os_mutex_close(zr_os_mutex *m)
{
    if (m == nullptr)
        return;
    CloseHandle(m->h);
    zr_os_free(m);
}

/* ---- named shared memory -------------------------------------------------------------- */

zr_os_shared *zr_os_shared_open(const char *name, size_t size, int *existed)
{
    if (!object_name_ok(name) || size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    uint64_t sz = size;
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(sz >> 32),
                                  static_cast<DWORD>(sz & 0xffffffffu), name);
    if (h == nullptr) {
        win32_fail();
        return nullptr;
    }
    bool was = GetLastError() == ERROR_ALREADY_EXISTS;
    auto *sh = static_cast<zr_os_shared *>(zr_os_alloc(sizeof(zr_os_shared), "shared memory"));
    if (sh == nullptr) {
        CloseHandle(h);
        return nullptr;
    }
    sh->h = h;
    sh->size = size;
    if (existed)
        *existed = was ? 1 : 0;
    return sh;
}

void *zr_os_shared_map(zr_os_shared *sh)
{
    if (sh == nullptr)
        return nullptr;
    void *mem = MapViewOfFile(sh->h, FILE_MAP_ALL_ACCESS, 0, 0, sh->size);
    if (mem == nullptr)
        win32_fail();
    return mem;
}

void zr_os_shared_unmap(zr_os_shared *sh, void *addr)
{
    if (sh != nullptr && addr != nullptr)
        UnmapViewOfFile(addr);
}

void zr_os_shared_close(zr_os_shared *sh)
{
    if (sh == nullptr)
        return;
    CloseHandle(sh->h);
    zr_os_free(sh);
}

/* Kernel objects go away with their last handle; there is nothing to remove by name. */
int zr_os_named_remove(const char *name)
{
    (void)name;
    errno = ENOENT;
    return -1;
}

/* ---- processes ----------------------------------------------------------------------- */

int zr_os_process_walk(zr_os_process_visit visit, void *ctx)
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return win32_fail();
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    int result = 0;
    BOOL more = Process32First(snap, &entry);
    if (!more && GetLastError() != ERROR_NO_MORE_FILES)
        result = win32_fail();
    while (more) {
        if (visit(ctx, static_cast<long>(entry.th32ProcessID), entry.szExeFile) != 0) {
            result = 1;
            break;
        }
        entry.dwSize = sizeof entry;
        more = Process32Next(snap, &entry);
        if (!more && GetLastError() != ERROR_NO_MORE_FILES)
            result = win32_fail();
    }
    CloseHandle(snap);
    return result;
}

zr_os_process *zr_os_process_open(long pid)
{
    if (pid <= 0) {
        errno = ESRCH;
        return nullptr;
    }
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                           static_cast<DWORD>(pid));
    if (h == nullptr) {
        win32_fail();
        return nullptr;
    }
    auto *p = static_cast<zr_os_process *>(zr_os_alloc(sizeof(zr_os_process), "process"));
    if (p == nullptr) {
        CloseHandle(h);
        return nullptr;
    }
    p->h = h;
    return p;
}

zr_os_process *zr_os_process_start(const char *program, const char *command_line)
{
    if (program == nullptr || command_line == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    /* CreateProcess may write into the command line. */
    size_t length = std::strlen(command_line);
    auto *line = static_cast<char *>(zr_os_alloc(length + 1, "arguments"));
    if (line == nullptr)
        return nullptr;
    std::memcpy(line, command_line, length + 1);
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    std::memset(&pi, 0, sizeof pi);
    BOOL ok = CreateProcessA(program, line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP,
                             nullptr, nullptr, &si, &pi);
    if (!ok)
        win32_fail();
    int saved = errno;
    zr_os_free(line);
    errno = saved;
    if (!ok)
        return nullptr;
    CloseHandle(pi.hThread);
    auto *p = static_cast<zr_os_process *>(zr_os_alloc(sizeof(zr_os_process), "process"));
    if (p == nullptr) {
        /* Without a handle the new process could never be ended by the library. */
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 1000);
        CloseHandle(pi.hProcess);
        errno = ENOMEM;
        return nullptr;
    }
    p->h = pi.hProcess;
    return p;
}

int zr_os_process_alive(zr_os_process *p)
{
    if (p == nullptr)
        return -1;
    DWORD r = WaitForSingleObject(p->h, 0);
    if (r == WAIT_TIMEOUT)
        return 1;
    if (r == WAIT_OBJECT_0)
        return 0;
    return win32_fail();
}

int zr_os_process_terminate(zr_os_process *p, unsigned ms)
{
    if (p == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (WaitForSingleObject(p->h, 0) == WAIT_OBJECT_0)
        return 0; /* already gone */
    if (!TerminateProcess(p->h, 1)) {
        int saved = errno_of_win32(GetLastError());
        if (WaitForSingleObject(p->h, 0) == WAIT_OBJECT_0)
            return 0; /* it ended in between */
        errno = saved;
        return -1;
    }
    WaitForSingleObject(p->h, ms);
    return 0;
}

void zr_os_process_close(zr_os_process *p)
{
    if (p == nullptr)
        return;
    CloseHandle(p->h);
    zr_os_free(p);
}

/* ---- host files (DHCP data file, storage policy) -------------------------------------- */

int zr_os_path_kind(const char *path)
{
    if (path == nullptr)
        return -1;
    wchar_t *w = wide_of(path);
    if (w == nullptr)
        return -1;
    DWORD a = GetFileAttributesW(w);
    DWORD e = GetLastError();
    zr_os_free(w);
    if (a == INVALID_FILE_ATTRIBUTES) {
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME)
            return 0;
        errno = errno_of_win32(e);
        return -1;
    }
    if (a & FILE_ATTRIBUTE_DIRECTORY)
        return 2;
    if (a & FILE_ATTRIBUTE_DEVICE)
        return 3;
    return 1;
}

int zr_os_create_empty(const char *path)
{
    wchar_t *w = wide_of(path);
    if (w == nullptr)
        return -1;
    int fd = _wsopen(w, _O_CREAT | _O_TRUNC | _O_RDWR | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, _S_IREAD | _S_IWRITE);
    int saved = errno;
    zr_os_free(w);
    errno = saved;
    if (fd < 0)
        return -1;
    return _close(fd) == 0 ? 0 : -1;
}

} // extern "C"
