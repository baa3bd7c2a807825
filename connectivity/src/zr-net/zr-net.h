/*
 * zr-net.h -- the link library between a desktop computer and an attached handheld.
 *
 * The handheld is attached by USB and shows up as a USB network adapter.  Each attached
 * handheld forms a four-address IPv4 network with the computer: the computer's side holds
 * an address in 172.16.0.0/16 whose two lowest bits are 01 and the handheld holds the next
 * address.  The handheld accepts one-line text commands on TCP port 10001 (one command per
 * connection) and answers a datagram probe on UDP port 10003.
 *
 * Conventions that hold for the whole interface
 * ---------------------------------------------
 *  - Every function returns a result code: 0 or a positive value (a count, a handle) is
 *    success, a negative value is a failure.  Nothing is thrown across this interface.
 *    A nonzero status N sent by the handheld reaches the caller as -N.  The library's own
 *    codes are listed below (ZR_E_*).
 *  - Device addresses are IPv4 addresses as 32-bit integers in host order: 172.16.0.2 is
 *    0xAC100002.  Ports are plain port numbers.
 *  - Calls that read and set take an operation number: 1 read, 2 set then read, 3 read
 *    after reset.  In a set, a member with all bits set (-1) means "leave unchanged".
 *  - Records passed in (info, statistics, time-out pair, enumeration record, attribute
 *    record) belong to the caller; the library fills them.  Handles belong to the library
 *    from the call that returns them to the call that closes them.
 *  - The library has no threads and takes no locks: all of its state is process-wide, so
 *    call it from one thread at a time.
 *  - Call KQ_ZR_1b_init before anything that talks to a handheld and KQ_ZR_1b_done once
 *    for every successful KQ_ZR_1b_init.
 *
 * The result codes and the handheld statuses that callers tell apart are listed once,
 * in ZR_RESULT_MAP and ZR_STATUS_MAP below.
 */
#ifndef ZR_NET_H
#define ZR_NET_H

/* The version of this interface and of the whole project (the build reads it from here).
 * The major number is the shared library's: libzr-net.so.MAJOR, libzr-net.so.MAJOR.MINOR.PATCH.
 * A program built against this header can compare them with what it needs at compile time. */
#define ZR_NET_VERSION_MAJOR 0
#define ZR_NET_VERSION_MINOR 1
#define ZR_NET_VERSION_PATCH 0
#define ZR_NET_VERSION_NUMBER \
    (ZR_NET_VERSION_MAJOR * 10000 + ZR_NET_VERSION_MINOR * 100 + ZR_NET_VERSION_PATCH)

#include <stdint.h>
#include <sys/stat.h>

#if defined(_WIN32)
#    if defined(ZR_NET_BUILDING)
#        define ZR_API __declspec(dllexport)
#    else
#        define ZR_API __declspec(dllimport)
#    endif
#elif defined(__GNUC__)
#    define ZR_API __attribute__((visibility("default")))
#else
#    define ZR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------------------
 * Result codes
 *
 * ZR_RESULT_MAP lists the results the library produces itself, once, as
 * X(name, value, meaning); it makes the enum of ZR_E_<name> below, and a caller that wants
 * names or texts for the codes expands it with an X of its own.  The values never change.
 *
 * ZR_STATUS_MAP lists the statuses the handheld reports for refusals that the library's
 * callers tell apart, as X(name, status, meaning); they make ZR_S_<name>.  A status N
 * reaches the caller as -N: the library passes statuses on and does not interpret them.
 * Two of them have the magnitude of a library code (1021 of ZR_E_WRITE, 1022 of
 * ZR_E_COMMAND), so a caller's table reads those results both ways.
 * ------------------------------------------------------------------------------------- */
#define ZR_RESULT_MAP(X)                                                                       \
    X(END, -1, "end of a sequence; no answer to the probe; the peer closed the connection")    \
    X(FOREIGN, -2, "something else answered the probe; a field line without \"=\"")            \
    X(KEY, -3, "a field key that the table does not know")                                     \
    X(VALUE, -4, "a numeric field value that is not a number")                                 \
    X(IFSOCK, -61, "the interface query socket could not be created")                          \
    X(IFLIST, -62, "the host's interface list could not be read")                              \
    X(TIMEOUT, -202, "the connection did not become ready within its time-out")                \
    X(PRIVPORT, -210, "a privileged local port (1 to 1023) was asked for")                     \
    X(CONNECT, -211, "the remote end could not be reached")                                    \
    X(BIND, -212, "no local address or port could be bound")                                   \
    X(SOCKET, -220, "a socket operation failed, out of memory, or an unknown operation")       \
    X(FLAGS, -221, "flags not 0, an enumeration already open, or an accepted connection lost") \
    X(HANDLE, -223, "no connection, enumeration or listing has that handle, or a null record") \
    X(STATUS, -1002, "the reply's status line does not begin with a number")                   \
    X(HOSTFILE, -1004, "the host file could not be examined, opened or created")               \
    X(OPERATION, -1012, "unknown operation type")                                              \
    X(CANCELLED, -1013, "the progress callback asked to stop")                                 \
    X(WRITE, -1021, "writing the fetched data to the host file failed")                        \
    X(COMMAND, -1022, "the path is too long for its command or holds a line break")            \
    X(SHORT, -1023, "the transfer ended before all bytes were moved")                          \
    X(CUT, -1025, "a listing entry was cut off before its end")                                \
    X(NOREPLY, -1102, "no reply came after the data was sent")                                 \
    X(DHCP_SHARE, -2001, "DHCP service: the named mutex or the shared count is unavailable")   \
    X(DHCP_FIND, -2002, "DHCP service: the server could not be looked for or opened")          \
    X(DHCP_START, -2003, "DHCP service: the server could not be started")                      \
    X(DHCP_STOP, -2004, "DHCP service: the server could not be terminated")                    \
    X(DHCP_PREPARE, -2005, "DHCP service: the data file could not be prepared")

#define ZR_STATUS_MAP(X)                            \
    X(NOT_CONNECTED, 201, "not connected")          \
    X(LINK_FAILED, 253, "a communication failure")  \
    X(LINK_ABORTED, 254, "a communication failure") \
    X(NOT_ALLOWED, 1001, "permission denied")       \
    X(NO_ROOM, 1021, "no room left")                \
    X(NOT_FOUND, 1022, "not found or bad path")     \
    X(FAILED, 1034, "the operation failed")         \
    X(EXISTS, 1035, "already exists")               \
    X(TOO_LONG, 1036, "path too long")

#define ZR_E_ENUMERATOR_(name, value, text) ZR_E_##name = (value),
#define ZR_S_ENUMERATOR_(name, value, text) ZR_S_##name = (value),
enum { ZR_RESULT_MAP(ZR_E_ENUMERATOR_) };
enum { ZR_STATUS_MAP(ZR_S_ENUMERATOR_) };
#undef ZR_E_ENUMERATOR_
#undef ZR_S_ENUMERATOR_

/* ---------------------------------------------------------------------------------------
 * Records
 * ------------------------------------------------------------------------------------- */

/* Time-out pair: receive and send waits in milliseconds, 0 for no limit. */
typedef struct zr_tune {
    uint32_t rtime, xtime;
} zr_tune;

/* Traffic counters: bytes sent, sends, bytes received, receives (32-bit, wrapping). */
typedef struct zr_stat {
    uint32_t xpay0, xpay1, rpay0, rpay1;
} zr_stat;

/* Attributes of a handheld file: size in bytes, time stamp, type (a folder when its low
 * 8 bits are not all zero), permission bits. */
typedef struct zr_attr {
    uint32_t size, time;
    uint16_t type, bits;
} zr_attr;

/* Endpoints of a connection as recorded when it was opened (host order). */
typedef struct zr_conn_info {
    uint32_t raddr, laddr;
    uint16_t rport, lport;
} zr_conn_info;

/* Identity and status of a node (the handheld's, or the host's own).
 *   addr, mask   IPv4 address and mask         scrn     screen size figure
 *   disk[3]      storage: total, available, missing for an OS installation (bytes)
 *   ram[2]       memory figures                sgeo[4]  height, width, bits per pixel, -
 *   bat[8]       bat[0] is the battery level   ready[0] OS installation readiness
 *   ser[8]       serial number bytes           eid      identification text (24 chars)
 *   ver, b1v, b2v, hwv   version bytes         name     the node's name (8 chars)
 * Text members are terminated only when shorter than their size. */
typedef struct zr_info {
    uint32_t addr, mask, scrn, disk[3], ram[2];
    uint16_t sgeo[4], bat[8], clk, run, ready[2];
    uint8_t ser[8];
    char eid[24];
    uint8_t ver[4], b1v[4], b2v[4], hwv[4];
    char name[8];
} zr_info;

/* One row of a field table: key (lower case, up to 5 characters), type (10 = 32-bit,
 * 11 = 16-bit, 12 = text, 13 = 8-bit unsigned numbers), offset of the member in the
 * record and its element count (0 means 1; for text, its size).  A table ends with a row
 * whose name is empty. */
typedef struct zr_field_row {
    char name[6];
    int16_t type, offset, count;
} zr_field_row;

/* Buffered reader over one connection.  Set it to zeros before use. */
typedef struct zr_reader {
    struct zr_reader *next;
    void *aux;
    int16_t socket;
    uint16_t count, position;
    unsigned char buffer[1536];
} zr_reader;

/* One candidate handheld found by the enumeration: its address, group (always 4), the
 * index of the host interface it was found on; name is null. */
typedef struct zr_enum_rec {
    uint32_t addr;
    uint16_t group, slot;
    uint32_t reserved;
    const char *name;
    uint8_t reserved2[8];
} zr_enum_rec;

/* A running file transfer, handed to the progress callback.  A nonzero return from the
 * callback stops the transfer with -1013. */
typedef struct zr_xfer zr_xfer;
typedef int (*zr_xfer_progress)(int code, zr_xfer *xfer);
struct zr_xfer {
    uint32_t size, step, done, since_report;
    const char *remote, *local;
    int16_t conn, direction, fd;
    uint16_t option;
    int16_t status;
    char buf[1536];
    int16_t len, pos;
    zr_xfer_progress callback;
};

/* Progress of an OS upgrade; a nonzero return stops it with -1013. */
typedef int (*zr_os_progress)(int value);

/* Operations of KQ_ZR_fm_fileop and directions of KQ_ZR_fm_xfer. */
enum {
    ZR_FM_PUT = 11,
    ZR_FM_GET = 12,
    ZR_FM_DEL = 21,
    ZR_FM_MOVE = 22,
    ZR_FM_COPY = 23,
    ZR_FM_MKDIR = 24,
    ZR_FM_RMDIR = 25
};

/* ---------------------------------------------------------------------------------------
 * Transport: a table of TCP connections with time-outs.
 * ------------------------------------------------------------------------------------- */

/* Start / stop the socket layer (reference-counted).  0, or -220. */
ZR_API int KQ_ZR_1b_init(void);
ZR_API int KQ_ZR_1b_done(void);

/* Open a TCP connection.  With a remote address or port it connects (remote address 0 is
 * 127.0.0.1); otherwise it listens.  With local address and port 0 it pauses 40 ms and
 * binds the next automatic port of 57344..61439.  Returns the connection handle, or -210,
 * -211, -212, -220. */
ZR_API int KQ_ZR_1b_bind(uint32_t laddr, uint32_t lport, uint32_t raddr, uint32_t rport);

/* Close a connection (also a socket the table does not know).  Always 0. */
ZR_API int KQ_ZR_1b_unbind(int handle);

/* Send all bytes after one wait for writability (the connection's xtime).  Flags must be 0.
 * Returns the count, or -202, -220, -221, -223. */
ZR_API int KQ_ZR_1b_send(int handle, int flags, const void *data, int length);

/* Receive once after one wait for readability (the connection's rtime): the count, 0 when
 * the peer closed.  On a listening handle: accept and return the new handle.  Flags must
 * be 0.  Negative: -202, -220, -221, -223. */
ZR_API int KQ_ZR_1b_recv(int handle, int flags, void *buffer, int size);

/* Poll without waiting: 1 readable, else 2 writable, else 0.  Flags: 1 read, 2 write, 3. */
ZR_API int KQ_ZR_1b_ready(int handle, int flags);

/* Endpoints of a connection.  0 or -223. */
ZR_API int KQ_ZR_1b_info(int handle, zr_conn_info *info);

/* Operation 1 reads the connection's time-out pair; 2 sets the members that are not -1,
 * then reads.  0, -223, or -220 for another operation. */
ZR_API int KQ_ZR_1b_tune(int handle, int op, zr_tune *tune);

/* ---------------------------------------------------------------------------------------
 * Error texts, last system error, tagged allocation
 * ------------------------------------------------------------------------------------- */

/* Short English text of a system error number; "err %d" for numbers it does not know
 * (that text lives in one buffer that the next such call overwrites). */
ZR_API const char *zr_err(int code);

/* The system error number left by the last failing system call of the library.  It is
 * cleared before every socket call (create, options, bind, listen, accept, send, receive,
 * close, probe datagrams) and before every allocation, so that after a failure it tells
 * that call's reason (0 where the call set none), never an older number; the library's
 * own clean-up closes after a failure keep it as it was. */
ZR_API int KQ_ZR_errno(void);

/* Zeroed, tagged memory.  The tag must outlive the block. */
ZR_API void *zr_malloc(const char *tag, int size);
ZR_API int zr_free(void *p);

/* ---------------------------------------------------------------------------------------
 * Text scanners.  Each skips its own leading separators, converts one item and returns
 * the number of characters consumed (0: nothing found).
 * ------------------------------------------------------------------------------------- */

/* Integer: skips space, tab, comma; optional sign; a leading 0 selects base 8. */
ZR_API int zr_p_long(int32_t *out, const char *text);
/* Key token, stored in lower case; at most length - 1 characters kept. */
ZR_API int zr_p_token(char *buf, int length, const char *text);
/* Double-quoted text without escapes; 0 if unterminated or longer than length - 1. */
ZR_API int zr_p_str(char *buf, const char *text, int length);
/* One hexadecimal byte, optional 0x, ended by ':' ',' or the end. */
ZR_API int zr_p_dehex(uint8_t *out, const char *text);
/* "/n" as a mask of n high bits, or a host name resolved to its first IPv4 address. */
ZR_API int zr_p_addr(uint32_t *out, const char *text);
/* First character that is not a space, tab or form feed; null at the end of the text. */
ZR_API const char *zr_p_skip(const char *text);
/* Copy with a backslash before every space and backslash; returns the length written. */
ZR_API int zr_p_esc1(char *buf, const char *src, int length);

/* ---------------------------------------------------------------------------------------
 * Reply reading and field tables
 * ------------------------------------------------------------------------------------- */

/* Next byte 0..255; -1 when the peer closed; another negative code on failure. */
ZR_API int zr_fm_getc(zr_reader *r);
/* Next line (line feed kept, carriage returns dropped, long lines in pieces); the count
 * stored, or -1 / a negative code.  A last line without a line feed is not delivered. */
ZR_API int zr_fm_gets(char *buf, int length, zr_reader *r);

/* Read one "key=value" line into a record: 0, -1 empty, -2 no "=", -3 unknown key,
 * -4 a number missing. */
ZR_API int zr_field(const char *line, const zr_field_row *table, void *record);
/* Print a record as "key=value" lines (not terminated); returns the character count. */
ZR_API int zr_struct(char *out, const zr_field_row *table, const void *record);

/* The field tables of zr_info, zr_stat, zr_tune and zr_attr. */
ZR_API const zr_field_row *zr_fld_ret_inf(void);
ZR_API const zr_field_row *zr_fld_ret_sta(void);
ZR_API const zr_field_row *zr_fld_ret_tun(void);
ZR_API const zr_field_row *zr_fld_ret_attr(void);

/* ---------------------------------------------------------------------------------------
 * The host's own identity, counters and time-outs
 * ------------------------------------------------------------------------------------- */

/* Operation 2 takes addr and mask, each only when it is not 0, and nothing at all when
 * addr is 127.0.0.1; then, as operation 1, copies the record into *info. */
ZR_API int KQ_ZR_sl_info(int op, zr_info *info); /* 1 read, 2 set addr/mask */
ZR_API int KQ_ZR_sl_serno(uint8_t *serial8);
ZR_API int KQ_ZR_sl_ipaddr(uint32_t *addr, uint32_t *mask);
ZR_API int KQ_ZR_sl_stat(int op, zr_stat *stat); /* 1 read, 2 add, 3 reset */
ZR_API int KQ_ZR_sl_tune(int op, zr_tune *tune); /* library-wide time-outs, {0, 0} at load */
ZR_API int KQ_ZR_sl_scrn(void);

/* ---------------------------------------------------------------------------------------
 * Requests to a handheld
 * ------------------------------------------------------------------------------------- */

ZR_API int KQ_ZR_sr_info(uint32_t addr, int op, zr_info *info); /* op 1 */
ZR_API int KQ_ZR_sr_stat(uint32_t addr, int op, zr_stat *stat); /* op 1 or 3 */
ZR_API int KQ_ZR_sr_tune(uint32_t addr, int op, zr_tune *tune); /* op 1 or 2 */
/* A piece of the screen image ("scrn 1 <offset> <maximum>"): the handheld answers a status
 * line "0 <count>" and then <count> bytes of image data.  Returns the bytes delivered into
 * dest: the count, capped at maximum when maximum is not 0, or fewer when the handheld
 * stops early (not an error); -1002 when the status line holds no count.  The data starts
 * after the whole status line, whatever stands between the count and its line feed ("0 5\r\n"
 * and "0 5 \n" are followed by the first data byte).
 * dest must hold maximum bytes.  With maximum 0 nothing limits the count but the handheld's
 * own announcement, which is trusted to fit dest: a caller that cannot vouch for the
 * handheld passes the size of dest as maximum instead (the screen's size, for instance, is
 * the info record's scrn figure). */
ZR_API int KQ_ZR_sr_scrn(uint32_t addr, void *dest, uint32_t offset, int maximum);

/* ---------------------------------------------------------------------------------------
 * Discovery: candidates from the host's interfaces, and the liveness probe
 * ------------------------------------------------------------------------------------- */

/* Calling order: KQ_ZR_en_init, then KQ_ZR_en_enum (or KQ_ZR_en_next) until it returns a
 * negative value, then KQ_ZR_en_done.  Only one enumeration is open at a time; its handle
 * is 1.  The host's interface list is read once, when the scan starts, and read whole
 * however many interfaces the host has.  Every IPv4 interface address A in 172.16.0.0/16
 * whose two lowest bits are 01 gives the candidate A + 1 (group 4, slot = the index of
 * that entry in the list, name null), in list order.  A finished enumeration keeps
 * returning -1 until it is closed and opened again. */

/* Handle 1; -221 while an enumeration is open; -220 when the work area cannot be had. */
ZR_API int KQ_ZR_en_init(void);
/* 0 with the next candidate in *r (set to zeros first, on every call); -1 when there are
 * no more; -61 / -62 when the interface list cannot be read; -223 for a handle other than
 * an open 1, or a null record. */
ZR_API int KQ_ZR_en_next(int h, zr_enum_rec *r);
/* As KQ_ZR_en_next, skipping candidates that do not answer KQ_ZR_en_ping with 0. */
ZR_API int KQ_ZR_en_enum(int h, zr_enum_rec *r);
/* Closes the enumeration: 0, or -223. */
ZR_API int KQ_ZR_en_done(int h);
/* Liveness probe: the datagram "zr-api4-q" to UDP port 10003 of addr, up to 5 times with
 * a 200 ms wait each (about one second in all for a silent address).  0 when an answer of
 * at least 4 bytes beginning with "orv" came back; -1 no answer; -2 something else
 * answered; -220 the datagram socket failed (KQ_ZR_errno tells why). */
ZR_API int KQ_ZR_en_ping(uint32_t addr);

/* ---------------------------------------------------------------------------------------
 * DHCP server program control (shared between processes by a user count)
 * ------------------------------------------------------------------------------------- */

/* The DHCP server program "zr-dhcp.exe" gives the handhelds their addresses.  It is
 * shared by every process of the computer that uses it: a user count in named shared
 * memory, guarded by a named mutex, tells the last user to terminate it.  A process that
 * ends while holding that mutex does not block the others.
 *
 * KQ_ZR_dhcp_init: counts this process as a user.  Creates an empty "zr-dhcp.dat" in the
 * folder when "zr-dhcp.exe" and "zr-dhcp.cfg" are there and it is not.  A server that is
 * running (found by its executable name, case ignored) is shared; otherwise it is started
 * from the folder with the command line "\"<folder>/zr-dhcp.exe\" <arguments>" (no
 * console, no inherited handles).  0, or -2001 (named mutex or shared count), -2002
 * (process search, or the running server cannot be opened), -2003 (the server cannot be
 * started, or the folder is null). */
ZR_API int KQ_ZR_dhcp_init(const char *folder, const char *arguments);
/* Ends this process's use; the last user terminates the server, whichever process
 * started it, and lets go of the shared state.  0, or -2001 (no initialisation, or the
 * mutex), -2004 (the server could not be terminated). */
ZR_API int KQ_ZR_dhcp_cleanup(void);

/* ---------------------------------------------------------------------------------------
 * File services on the handheld
 * ------------------------------------------------------------------------------------- */

/* Every file service opens a connection of its own (a listing keeps it until
 * KQ_ZR_fm_dirdone) with waits of at least 10 s to receive and 5 s to send.  Handheld
 * paths are sent escaped (a backslash before each space and backslash); a path that is
 * too long for its command, or that holds a line feed or carriage return, is refused with
 * -1022 before anything is connected.  A nonzero status N from the handheld gives -N (a
 * negative one -1002). */

/* Opens a listing of a handheld folder: the listing handle, or a negative code. */
ZR_API int KQ_ZR_fm_dirinit(uint32_t addr, const char *path);
/* The next entry: its name into `name` (at most length - 1 bytes and a NUL) and its
 * attributes into `attr` (may be null; keys the handheld leaves out stay 0).  Returns the
 * name's full length, -1 at the end of the listing, -223 for an unknown handle (or one
 * whose connection KQ_ZR_1b_done has closed), another negative code on failure.  The
 * reply has no end marker: the handheld closing the connection where an entry would
 * begin is the end (-1), whereas a close after any byte of a name, or before the empty
 * line that ends the entry's attribute lines, gives -1025 (ZR_E_CUT): that entry is
 * incomplete (a folder could read as a file) and is not handed out.  A transport failure
 * inside an entry (a time-out, -202; a reset, -220) likewise returns its code and no
 * entry.  After a failure `attr` is left as it was and the name buffer holds no usable
 * name; a listing that failed is not complete, and nothing should be concluded from what
 * it lacks. */
ZR_API int KQ_ZR_fm_direnum(int h, char *name, int length, zr_attr *attr);
/* Closes the listing (always call it, also after an error).  0, or -223. */
ZR_API int KQ_ZR_fm_dirdone(int h);
/* The attributes of one handheld path into `attr` (required).  0 or a negative code. */
ZR_API int KQ_ZR_fm_dirattr(uint32_t addr, const char *path, zr_attr *attr);
/* One file operation: ZR_FM_DEL, ZR_FM_MKDIR, ZR_FM_RMDIR on path1; ZR_FM_MOVE, ZR_FM_COPY
 * from path1 to path2.  0, -1012 for another code, or a negative code. */
ZR_API int KQ_ZR_fm_fileop(uint32_t addr, unsigned op, const char *path1, const char *path2);
/* Copies a file: ZR_FM_PUT sends the host file `local` (UTF-8 name) to the handheld path
 * `remote`, ZR_FM_GET fetches it.  The callback (may be null) runs after a block once more
 * than `step` bytes have passed (step 0: never during the data), once with a failed send's
 * code, and once at the end; a nonzero answer during the data cancels (-1013).  `option` is
 * passed to the handheld as it is.  A send only reads the host file (a regular file of at
 * most 2^31 - 1 bytes).  A fetch onto an existing file needs a file the caller may write
 * (through a link: the file it leads to; the link stays).  It writes into a new file beside
 * it, with its owner and permission bits, and puts that in place only when it succeeded: a
 * refused, cancelled or failed fetch leaves a file that was there untouched (where none
 * was, a failure other than a refusal or a cancel leaves the partial content).  Where the
 * folder takes no new file (or the new one could not have the old one's owner), the fetch
 * empties and writes the file itself: that file is then at risk during the fetch, which
 * deletes it when refused or cancelled and leaves partial content when it fails.  0, or -1004 host file, -1012 direction, -1013 cancelled (also a send
 * whose final status after the content is negative, or holds no number), -1021 write
 * failed, -1022 path, -1023 short transfer, -1102 no final status, minus a status, or a
 * transport code. */
ZR_API int KQ_ZR_fm_xfer(uint32_t addr, int direction, const char *remote, const char *local,
                         uint32_t step, zr_xfer_progress callback, uint16_t option);
/* Asks the handheld to install the OS image name1 (the bridge passes "-" as name2) and
 * passes each progress value to the callback (required) until the handheld closes the
 * connection or is silent for 3 minutes (0), reports a nonzero status (-status) or a
 * negative value (that value), or the callback answers nonzero (-1013). */
ZR_API int KQ_ZR_os_upg(uint32_t addr, const char *name1, const char *name2,
                        zr_os_progress callback);

/* ---------------------------------------------------------------------------------------
 * Host files by UTF-8 name
 *
 * Names are UTF-8 as Java hands them over (its modified form included: U+0000 as 0xC0
 * 0x80, characters beyond the basic plane as two 3-byte surrogate sequences); they reach
 * the file system as the characters they stand for.  A name that does not decode, or
 * that holds U+0000, fails with -1 and touches nothing.  All return -1 on failure, with
 * KQ_ZR_errno telling why.  Flags are the Win32 runtime's open flags (0x8000 read-only
 * binary, 0x8001 write-only binary, ...).
 * ------------------------------------------------------------------------------------- */

ZR_API int utf8open(const char *name, int flags); /* an existing file; a descriptor */
ZR_API int utf8creat(const char *name, int mode); /* create or empty, read and write */
ZR_API int utf8read(int fd, void *buf, unsigned count);
ZR_API int utf8write(int fd, const void *buf, unsigned count);
ZR_API int utf8close(int fd);
ZR_API int utf8rename(const char *oldname, const char *newname); /* never over a file   */
ZR_API int utf8unlink(const char *name);
ZR_API int utf8stat(const char *name, struct stat *st); /* "?" or "*": -1      */

/* ---------------------------------------------------------------------------------------
 * Storage policy ("policy.dat") and host rename
 * ------------------------------------------------------------------------------------- */

/* Installs the built-in policy (root "/orv" for the base "/", with the folders
 * "documents" and "tmp"), then reads the policy file (null: "policy.dat" in the current
 * folder) and reports mapped folders that do not exist on standard error.  0 when the
 * file was read to its end; -1 when it cannot be opened; minus a check number for a bad
 * file, with one message on standard error (what was read before the error stays in
 * force). */
ZR_API int KQ_ZR_pol_init(const char *file);
/* Maps a virtual path into out (size bytes; cleared first).  flags 0x8: the path must
 * name something inside a mapped folder.  1 for "-"; 2 for "/" (out: the root name); 3 for
 * the root name itself (out: the address of the first mapped-folder record); 0 with the
 * real path; -1 no policy, out not longer than the base, or not below the root; -2 not a
 * mapped folder; -3 the result would not fit; -4 a ".", ".." or empty component; -5 a
 * backslash; -6 with flag 0x8, a path above the files. */
ZR_API int KQ_ZR_pol_mung(char *out, const char *path, int size, int flags);
/* Renames a host file ("/" between folders, UTF-8): within one folder in place (never
 * over an existing name; the current folder is the caller's again afterwards; a folder
 * part of more than 511 bytes, its "/" included, fails with ENAMETOOLONG), across
 * folders by copying and deleting the old file.  A move replaces only what a plain write
 * could: an existing target must be a file the caller may write (else -1 with EACCES),
 * and a link as target is written through.  The copy goes into a new file beside the
 * target, with its owner and permission bits, which then replaces it, so a failed move
 * leaves both files as they were; where the target's folder takes no new file, the target
 * itself is rewritten (and deleted when the copy fails).  0, or -1 with KQ_ZR_errno
 * telling why (21: the old path is a folder). */
ZR_API int zr_rename(const char *oldpath, const char *newpath);

#ifdef __cplusplus
}
#endif

#endif /* ZR_NET_H */
