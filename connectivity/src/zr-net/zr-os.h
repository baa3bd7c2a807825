/*
 * zr-os.h -- the platform seam of the link library.
 *
 * Everything zr-net needs from the operating system goes through the functions declared
 * here, and nothing else in the library includes a system networking or process header.
 * Exactly one backend defines them: unix/ (BSD sockets, POSIX) on Linux; a Win32 backend
 * (Winsock 2, kernel objects) sits beside it as win/.  To add a platform, implement every
 * function below with the contract written next to it.
 *
 * Both backends have one file for each topic, named in the sections below:
 *   -sockets  error number, socket layer, time, host interface list
 *   -objects  named mutex and named shared memory
 *   -process  processes
 *   -files    host files by wide name, and the host-file questions of the DHCP folder
 *             and the policy
 * (zr-os-unix-<topic>.cpp in unix/, zr-os-win-<topic>.cpp in win/; win/zr-os-win.h holds
 * what the Win32 files share.)
 *
 * Conventions: functions returning int give 0 (or a count) on success and -1 on failure,
 * leaving the platform's error number where zr_os_errno() reads it.  Addresses and ports
 * are in host order.
 */
#ifndef ZR_OS_H
#define ZR_OS_H

#include <stddef.h>
#include <stdint.h>

/* A socket number.  The transport keeps it in a signed 16-bit table field. */
typedef int zr_os_sock;
#define ZR_OS_NO_SOCK (-1)

#ifdef __cplusplus
extern "C" {
#endif

/* ---- error number (unix/zr-os-unix-sockets.cpp, win/zr-os-win-sockets.cpp) ---------- */
int zr_os_errno(void); /* the runtime error number (errno)                  */
void zr_os_set_errno(int value);

/* ---- memory ------------------------------------------------------------------------ */
/* Blocks that the backend and the host-file calls need for a call or a handle (names
 * converted for one system call, handle records, argument vectors).  Unlike the rest of
 * this header, the library core defines these two (zr-err), so that a test can make any
 * allocation of the library fail.  They behave as malloc and free; `what` names the kind
 * of block; a failure returns null with errno ENOMEM. */
void *zr_os_alloc(size_t size, const char *what);
void zr_os_free(void *p);

/* ---- socket layer (unix/zr-os-unix-sockets.cpp, win/zr-os-win-sockets.cpp) ---------- */
/* Start / stop the socket layer (version 1.1 where the platform asks for one). */
int zr_os_net_start(void);
int zr_os_net_stop(void);

/* A TCP stream socket or a UDP datagram socket; ZR_OS_NO_SOCK on failure.  Sockets are not
 * inherited by child processes and never raise a signal when the peer has gone. */
zr_os_sock zr_os_tcp_socket(void);
zr_os_sock zr_os_udp_socket(void);

/* Socket options: linger off (flag 0, time 0); address reuse on; send-buffer size;
 * segments sent at once (no coalescing of small sends while earlier data is unacknowledged). */
int zr_os_linger_off(zr_os_sock s);
int zr_os_reuse_addr(zr_os_sock s);
int zr_os_send_buffer(zr_os_sock s, int bytes);
int zr_os_no_delay(zr_os_sock s);

int zr_os_bind(zr_os_sock s, uint32_t addr, uint16_t port);
/* Connect; with ms > 0 give up (errno ETIMEDOUT) when the connection is not established
 * within ms milliseconds; ms == 0 waits as long as the system does. */
int zr_os_connect(zr_os_sock s, uint32_t addr, uint16_t port, uint32_t ms);
/* After a failed zr_os_connect: 1 when it failed because the local address and port are
 * already in use by another connection to the same peer (a bound port shared through
 * address reuse; EADDRNOTAVAIL or EADDRINUSE, Winsock's WSAEADDRINUSE), else 0. */
int zr_os_addr_in_use(void);
int zr_os_listen(zr_os_sock s, int backlog);
/* Accept one connection (blocking); the peer's and the new socket's own endpoints. */
zr_os_sock zr_os_accept(zr_os_sock s, uint32_t *raddr, uint16_t *rport, uint32_t *laddr,
                        uint16_t *lport);

/* One send attempt that never blocks: bytes sent, or -1 (zr_os_would_block() tells whether
 * the socket was merely full). */
int zr_os_send(zr_os_sock s, const void *data, int length);
/* One receive that never blocks: bytes received, 0 when the peer closed, or -1. */
int zr_os_recv(zr_os_sock s, void *buffer, int size);
int zr_os_would_block(void);

/* Datagrams: send to addr:port; receive one (sender ignored).  Bytes, or -1. */
int zr_os_sendto(zr_os_sock s, const void *data, int length, uint32_t addr, uint16_t port);
int zr_os_recvfrom(zr_os_sock s, void *buffer, int size);

/* Readiness wait.  flags: 1 readable, 2 writable, 3 both.  ms < 0 waits without limit.
 * Returns 1 if readable, else 2 if writable, 0 on time-out, -1 if the wait failed. */
int zr_os_wait(zr_os_sock s, int flags, long ms);

int zr_os_close(zr_os_sock s);

/* Resolve a host name or dotted address to its first IPv4 address.  0 or -1. */
int zr_os_resolve(const char *name, uint32_t *addr);

/* ==== host files by wide name (zr-utf8, zr-xfer, zr-rename) =========================
 * (unix/zr-os-unix-files.cpp, win/zr-os-win-files.cpp)
 *
 * Names reach the file system as UTF-16 ("wide") text: 16-bit units ended by a 0 unit.
 * The Win32 backend hands them to the runtime's wide-name calls as they are; the POSIX
 * backend encodes them as UTF-8 first (a surrogate pair becomes one 4-byte sequence), and
 * a name holding a lone surrogate fails with EILSEQ, since no proper UTF-8 name matches
 * it.  Descriptors are the runtime's POSIX-style file descriptors, never inherited by
 * child processes.
 */
typedef uint16_t zr_os_wchar;

/* Open flags in the values of the Win32 runtime (_O_*); the POSIX backend translates them
 * (text and binary make no difference there). */
#define ZR_OS_O_RDONLY 0x0000
#define ZR_OS_O_WRONLY 0x0001
#define ZR_OS_O_RDWR 0x0002
#define ZR_OS_O_APPEND 0x0008
#define ZR_OS_O_CREAT 0x0100
#define ZR_OS_O_TRUNC 0x0200
#define ZR_OS_O_EXCL 0x0400
#define ZR_OS_O_TEXT 0x4000
#define ZR_OS_O_BINARY 0x8000

struct stat;

/* Opens with the flags above and no sharing restriction; `mode` gives the permission
 * bits of a file that the call creates (Win32 honours only the owner-write bit 0200:
 * without it the file is read-only).  A descriptor, or -1. */
int zr_os_wopen(const zr_os_wchar *name, int flags, int mode);
/* One read / write of at most `count` bytes (a count above INT_MAX is cut to INT_MAX):
 * the bytes moved (0 at the end of the file), or -1. */
int zr_os_read(int fd, void *buffer, unsigned count);
int zr_os_write(int fd, const void *buffer, unsigned count);
/* Closes a descriptor from zr_os_wopen: 0 or -1. */
int zr_os_file_close(int fd);
/* Renames (moves) a file or folder.  With replace 0 it fails (EEXIST) when `to` exists;
 * with replace 1 an existing file `to` is replaced in one step.  0 or -1. */
int zr_os_wrename(const zr_os_wchar *from, const zr_os_wchar *to, int replace);
/* Deletes a file: 0 or -1. */
int zr_os_wunlink(const zr_os_wchar *name);
/* Fills the runtime's file status record (links are followed): 0 or -1. */
int zr_os_wstat(const zr_os_wchar *name, struct stat *st);
/* What a status record describes: 1 a regular file, 2 a folder, 3 something else. */
int zr_os_stat_kind(const struct stat *st);
/* The permission bits of a status record (0777 at most). */
int zr_os_stat_mode(const struct stat *st);
/* 1 when two status records describe the same file (one file under two names), else 0. */
int zr_os_same_file(const struct stat *a, const struct stat *b);
/* Gives an open file the owner, group and permission bits (0777 at most) that a status
 * record describes; where files have no owners, there is nothing to do.  0, or -1 (errno
 * set) when the system refuses, as it does a caller who may not give a file away. */
int zr_os_file_adopt(int fd, const struct stat *like);
/* The current folder into buf (terminated; -1 with ERANGE when it needs more than size
 * bytes), and a change of it; the folder text is passed to the system as it is.  0 or -1. */
int zr_os_getcwd(char *buf, size_t size);
int zr_os_chdir(const char *path);
/* The name a file is really reached by, links resolved (absolute, UTF-8), into buf of
 * size bytes.  0, or -1 (ERANGE when it needs more room). */
int zr_os_real_name(const zr_os_wchar *name, char *buf, size_t size);
/* The calling process's number (for names of temporary files). */
unsigned long zr_os_process_id(void);
/* Bulk sending on a TCP socket: with on 1, small sends are coalesced into full segments
 * (no TCP_NODELAY); with on 0 every send goes out at once again, and what was held back
 * goes out now.  0 or -1. */
int zr_os_coalesce(zr_os_sock s, int on);

/* ---- time (unix/zr-os-unix-sockets.cpp, win/zr-os-win-sockets.cpp) ------------------ */
void zr_os_sleep_ms(unsigned ms);
uint64_t zr_os_now_ms(void); /* a monotonic clock */

/* ==== discovery, DHCP service control and storage policy ========================== */

/* ---- host interface list (discovery)
 *      (unix/zr-os-unix-sockets.cpp, win/zr-os-win-sockets.cpp) ----------------------- */
/* One entry of the host's interface list: the address family of the entry's address and,
 * for IPv4 (family ZR_OS_AF_INET), the address in host order (0 for other families). */
#define ZR_OS_AF_INET 2
typedef struct zr_os_ifentry {
    uint16_t family;
    uint32_t addr;
} zr_os_ifentry;

/* Reads the host's interface list in the system's order: on Winsock the interface-list
 * query on the datagram socket s; on POSIX the system's interface addresses (every entry
 * that holds an IPv4 or IPv6 address; s is not used).  Stores at most `capacity` entries
 * and returns the number of entries of the WHOLE list, which may exceed `capacity` (the
 * caller then asks again with room for all); -1 when the list cannot be read. */
int zr_os_if_list(zr_os_sock s, zr_os_ifentry *list, int capacity);

/* ---- named mutex and named shared memory (DHCP service control)
 *      (unix/zr-os-unix-objects.cpp, win/zr-os-win-objects.cpp) ----------------------- */
/* Both live across processes under a name (no path, no slash, at most 200 characters).
 * The POSIX backend keeps each as a shared-memory object "/<name>" (the mutex as a
 * process-shared, robust, recursive mutex inside a small object of its own); Win32 uses
 * the kernel objects of that name. */
typedef struct zr_os_mutex zr_os_mutex;
typedef struct zr_os_shared zr_os_shared;

/* Creates the mutex not owned, or opens it when it exists.  Null on failure. */
zr_os_mutex *zr_os_mutex_open(const char *name);
/* Waits without limit.  0: acquired.  1: acquired, and the previous holder ended while
 * holding it (the mutex itself is usable again; what it guards is as that holder left
 * it).  -1: not acquired.  The holder may acquire it again (recursive). */
int zr_os_mutex_lock(zr_os_mutex *m);
int zr_os_mutex_unlock(zr_os_mutex *m); /* 0 or -1 */
void zr_os_mutex_close(zr_os_mutex *m); /* the handle only; the object stays */

/* Creates the shared memory of `size` bytes, zero-filled, or opens it when it exists;
 * *existed tells which.  Null on failure. */
zr_os_shared *zr_os_shared_open(const char *name, size_t size, int *existed);
/* Maps it for reading and writing: its address, or null. */
void *zr_os_shared_map(zr_os_shared *sh);
void zr_os_shared_unmap(zr_os_shared *sh, void *addr);
void zr_os_shared_close(zr_os_shared *sh); /* the handle only; the object stays */

/* Removes the named objects of that name (a mutex and/or shared memory); handles that
 * are open keep working.  The library never calls it; tests clean up with it.  0 when
 * something was removed, -1 otherwise. */
int zr_os_named_remove(const char *name);

/* ---- processes (DHCP service control)
 *      (unix/zr-os-unix-process.cpp, win/zr-os-win-process.cpp) ----------------------- */
typedef struct zr_os_process zr_os_process;

/* Walks the running processes: visit(ctx, pid, executable file name without folder) for
 * each until visit returns nonzero.  Returns 1 when visit stopped the walk, 0 when the
 * walk reached the end, -1 when the list could not be taken or the walk broke off.
 * Processes that have ended (not yet collected) are not visited. */
typedef int (*zr_os_process_visit)(void *ctx, long pid, const char *exe_name);
int zr_os_process_walk(zr_os_process_visit visit, void *ctx);

/* Opens a running process with every right the library needs (terminate, wait).  Null
 * when it is gone or the caller may not control it. */
zr_os_process *zr_os_process_open(long pid);
/* Starts `program` with a Win32-style command line (the quoted program path, a space,
 * the arguments): on POSIX the command line is split into the argument vector by the
 * rules a Win32 program's runtime applies (blanks separate, double quotes group,
 * backslashes escape only double quotes).  No console, no inherited handles (standard
 * streams on the null device, a session of its own), the caller's environment and
 * current folder.  Null when the program cannot be started. */
zr_os_process *zr_os_process_start(const char *program, const char *command_line);
/* 1 while it runs, 0 once it has ended, -1 when that cannot be told. */
int zr_os_process_alive(zr_os_process *p);
/* Ends it and waits at most ms milliseconds for it to be gone.  0, or -1 when it could not
 * be ended.  POSIX: SIGTERM, then SIGKILL when it has not ended within a second (or ms, if
 * shorter), so that the DHCP server can take back the addresses it set; Win32: an
 * unconditional TerminateProcess. */
int zr_os_process_terminate(zr_os_process *p, unsigned ms);
void zr_os_process_close(zr_os_process *p); /* the handle only; the process goes on */

/* ---- host files (DHCP data file, storage policy)
 *      (unix/zr-os-unix-files.cpp, win/zr-os-win-files.cpp) --------------------------- */
/* The separator the platform puts between a folder and a name. */
#if defined(_WIN32)
#    define ZR_OS_DIR_SEP '\\'
#else
#    define ZR_OS_DIR_SEP '/'
#endif
/* What a path names: 1 a regular file, 2 a folder, 3 something else, 0 nothing, -1 it
 * cannot be told. */
int zr_os_path_kind(const char *path);
/* Creates (or truncates) an empty file readable and writable by its owner.  0 or -1. */
int zr_os_create_empty(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* ZR_OS_H */
