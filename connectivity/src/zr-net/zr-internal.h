/*
 * zr-internal.h -- what the modules of the link library share and callers do not see.
 *
 * Internal names carry the prefix zri_; they have hidden visibility in libzr-net.so and
 * are reachable only from the library's own modules and from the white-box tests, which
 * link the static build of the same objects.
 */
#ifndef ZR_INTERNAL_H
#define ZR_INTERNAL_H

#include "zr-net.h"
#include "zr-os.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The handheld's command port. */
#define ZR_DEVICE_PORT 10001
/* Size of the line buffer every reply line is read into (at most 199 characters). */
#define ZR_LINE 200

/* ---- errors and allocation (zr-err) ------------------------------------------------ */

/* Closes a socket without disturbing the last system error value, so that the caller
 * sees the number of the call that failed rather than that of the clean-up. */
void zri_close_keep_errno(zr_os_sock s);

/* Test hook: the function zr_malloc takes its memory from (null restores malloc). */
typedef void *(*zri_alloc_fn)(size_t size);
void zri_set_allocator(zri_alloc_fn fn);

/* Test hook: asked before every allocation of the library -- zr_malloc (what: its tag) and
 * zr_os_alloc (what: the kind of block) -- with the size wanted.  A nonzero answer makes
 * that allocation fail as an exhausted heap would (errno ENOMEM), so that a test can fail
 * each allocation in turn.  Null lets every allocation go ahead. */
typedef int (*zri_alloc_gate_fn)(const char *what, size_t size);
void zri_set_alloc_gate(zri_alloc_gate_fn fn);

/* Test hook: asked before each of the seam's named-object and process calls that the DHCP
 * service control makes (call: the seam function's name without "zr_os_", e.g.
 * "mutex_lock", "shared_map", "process_walk").  A nonzero answer makes that call fail as
 * the system would (null or -1, errno EIO) without reaching the system, so that a test
 * can fail each call in turn.  Null lets every call go ahead. */
typedef int (*zri_seam_gate_fn)(const char *call);
void zri_set_seam_gate(zri_seam_gate_fn fn);
/* 1 when the gate fails this call (errno set), else 0. */
int zri_seam_fails(const char *call);

/* ---- transport (zr-dos) ------------------------------------------------------------ */

/* KQ_ZR_1b_bind, and with system_buffer set the socket keeps the system's own send buffer,
 * which grows with the traffic, instead of the fixed 4096 bytes (for sending whole files). */
int zri_bind(uint32_t laddr, uint32_t lport, uint32_t raddr, uint32_t rport, int system_buffer);

/* Closes a connection (KQ_ZR_1b_unbind) without disturbing the last system error value. */
void zri_unbind_keep_errno(int handle);

/* Test hook: the pause before a connection binds an automatically chosen port (40 ms).
 * Tests that open connections by the thousand set it to 0. */
void zri_set_bind_pause(unsigned ms);

/* The serial number of the table entry that holds handle (each new entry gets the next
 * number, starting at 1), or 0 when no entry holds it.  A record that keeps a handle
 * across calls keeps the serial too, and so tells its own connection from a later one
 * that the system gave the same socket number. */
uint32_t zri_conn_serial(int handle);

/* The library-wide time-out pair that every new connection copies. */
extern zr_tune zri_tune;
/* The traffic counters that send and receive add to. */
extern zr_stat zri_traffic;

/* ---- requests (zr-request) --------------------------------------------------------- */

/* One request with a field reply: connect to addr:10001, send the command, read the status
 * line, then read field lines into record through table until the handheld closes.
 * 0, or a negative result code. */
int zri_request_fields(uint32_t addr, const char *command, const zr_field_row *table, void *record);

/* One request with a raw reply.  On success (0) the connection stays open in *reader,
 * whose position is just past the status line, and status_rest holds the rest of the
 * status line after the status number (terminated, line feed kept, carriage returns
 * dropped; ZR_LINE bytes).  The status line may arrive in any number of segments.  The
 * caller closes reader->socket with KQ_ZR_1b_unbind. */
int zri_request_raw(uint32_t addr, const char *command, zr_reader *reader, char *status_rest);

/* ==== discovery, DHCP service control, storage policy ============================== */

/* The one rule for a reply's status line: 0 for status 0; minus a positive status;
 * -1002 when the text does not begin with a number (spaces, tabs, commas and a sign
 * count as its beginning), or the number is negative (minus it would read as a
 * success).  *used (when not null) receives the characters the status took. */
int zri_status_result(const char *line, int *used);

/* ---- text scanners (zr-parse) -------------------------------------------------------- */

/* A number at the start of text (spaces, tabs and commas skipped), as zr_p_long reads it:
 * the characters consumed, or 0 when no digit is there (separators alone, or a sign
 * without digits, are no number). */
int zri_scan_number(const char *text, int32_t *value);

/* ---- what the file services share (zr-request; used by zr-dir, zr-fileop, zr-xfer,
 *      zr-osupg) -------------------------------------------------------------------- */

/* Size of the buffer a handheld path is escaped into. */
#define ZR_PATH_BUF 1530

/* Sets the time-out pair of a fresh file-service connection: the library-wide pair,
 * raised to at least 10000 ms receive and 5000 ms send wait.  0, or the failing code
 * after closing the connection (last system error value kept). */
int zri_fm_timeouts(int handle);

/* Opens a file-service connection to addr:10001, sets its time-outs (zri_fm_timeouts) and
 * sends the command line of len bytes.  The connection handle, or the failing code with
 * the connection closed (last system error value kept). */
int zri_fm_open(uint32_t addr, const char *command, int len);

/* Escapes the handheld path (refused as zri_fm_escape refuses it at `limit`), puts it into
 * the command `format` (one "%s") and opens a file-service connection with it (zri_fm_open):
 * the connection handle, or the failing code. */
int zri_fm_open_path(uint32_t addr, const char *format, const char *path, int limit);

/* Reads the status line of a fresh file-service connection through `reader` (set to zeros
 * and given the handle) into line (size bytes): its result (zri_status_result), or the
 * read's failing code.  *got (when not null) receives what the read returned.  The
 * connection stays open. */
int zri_fm_read_status(zr_reader *reader, int handle, char *line, int size, int *got);

/* Escapes a handheld path with zr_p_esc1 into out (ZR_PATH_BUF bytes).  Returns the
 * escaped length; -1022 when that length reaches `limit` or the path holds a line feed or
 * a carriage return (either would end the command line early and start another command);
 * -223 for a null path. */
int zri_fm_escape(const char *path, char *out, int limit);

/* ---- discovery (zr-enum) ----------------------------------------------------------- */

/* The port of the handheld's liveness probe. */
#define ZR_PROBE_PORT 10003

/* Test hook: where the enumeration reads the host's interface list from, with the
 * contract of zr_os_if_list (without the socket).  Null restores the system's list. */
typedef int (*zri_if_list_fn)(zr_os_ifentry *list, int capacity);
void zri_set_if_list(zri_if_list_fn fn);

/* Test hook: KQ_ZR_en_enum probes map(candidate address) instead of the candidate itself
 * (the record still reports the candidate).  Null probes the candidate. */
typedef uint32_t (*zri_probe_map_fn)(uint32_t addr);
void zri_set_probe_map(zri_probe_map_fn fn);

/* ---- DHCP service control (zr-dhcp) ------------------------------------------------- */

/* Test hook: a prefix put in front of the names of the named mutex and the shared count
 * (so that parallel tests have objects of their own), and the executable file name that
 * is started, looked for and checked in the folder in place of "zr-dhcp.exe".  Null (or
 * empty) restores each default.  Call it before KQ_ZR_dhcp_init. */
void zri_dhcp_names(const char *object_prefix, const char *program);
/* The names currently in use (prefix included). */
const char *zri_dhcp_mutex_name(void);
const char *zri_dhcp_shared_name(void);
const char *zri_dhcp_program(void);

/* folder + name with the platform's separator between them unless the folder already
 * ends in a backslash or a slash; allocated with zr_malloc (tag "string"), the caller
 * frees it with zr_free.  Null when out of memory. */
char *zri_path_join(const char *folder, const char *name);

/* ---- storage policy (zr-policy) ----------------------------------------------------- */

/* One mapped folder: its name below the root, the folder it maps to below the base, and
 * two numbers kept for the caller. */
typedef struct zr_pol_dir {
    struct zr_pol_dir *next;
    const char *name;
    const char *host;
    int32_t num1, num2;
} zr_pol_dir;

/* The root name, the base folder it stands for, and its mapped folders in file order. */
typedef struct zr_pol_root {
    const char *name;
    const char *base;
    zr_pol_dir *dirs;
} zr_pol_root;

/* The policy in force (null before the first KQ_ZR_pol_init). */
const zr_pol_root *zri_pol_current(void);
/* Test hook: frees every record that KQ_ZR_pol_init made and leaves no policy in force, as
 * before the first KQ_ZR_pol_init (nobody may hold a record any more).  Lets a test or a
 * fuzz target read policy files by the thousand without keeping them all. */
void zri_pol_release(void);
/* Whether the rest of a path below a mapped folder is acceptable: after every "/" there
 * is neither "." nor ".." (each followed by "/" or the end) nor another "/". */
int zri_pol_path_ok(const char *rest);

/* ---- host files by UTF-8 name (zr-utf8) --------------------------------------------- */

/* One UTF-8 sequence: bits 28-31 its length in bytes, bits 24-27 its unit class (1, 2, 2,
 * 3 for lengths 1 to 4; (class + 1) / 2 UTF-16 units), bits 0-23 the code point; 0 for an
 * invalid sequence.  Overlong forms and surrogates are not checked. */
uint32_t zri_utf8_decode(const unsigned char *p);

/* A whole name as a new UTF-16 text ended by a 0 unit, its unit count (the end unit not
 * counted) in *units when units is not null; null (errno EILSEQ or ENOMEM) when a
 * sequence is invalid, a 4-byte one lies beyond U+10FFFF, or memory runs out.  Free it
 * with zri_wide_free. */
zr_os_wchar *zri_utf8_to_wide(const char *name, size_t *units);
void zri_wide_free(zr_os_wchar *wide);

/* utf8open with a permission mode for a file that the flags create (exclusive creation
 * of the library's temporary files). */
int zri_utf8_open_mode(const char *name, int flags, int mode);
/* utf8rename that, with replace 1, replaces an existing target file in one step. */
int zri_utf8_rename(const char *oldname, const char *newname, int replace);
/* What a UTF-8 name names, links followed: 1 a regular file, 2 a folder, 3 something
 * else, 0 nothing (errno ENOENT or ENOTDIR); -1 when it cannot be told (errno set: the
 * name does not convert, or the system refused to look).  *st receives the file status
 * when st is not null and something is there.  Unlike utf8stat it takes every name, "?"
 * and "*" included. */
int zri_utf8_kind(const char *name, struct stat *st);

/* Creates a new, empty file in the folder of `name` (the part up to its last "/"), under
 * a name of its own ".zr-<tag>-<process>-<n>.part" that no file had, opened write-only
 * with the permission bits `mode`.  Returns the descriptor and stores the new file's
 * name in *created (allocated; the caller releases it with zri_name_free); -1 with errno
 * set on failure. */
int zri_utf8_create_beside(const char *name, const char *tag, int mode, char **created);
void zri_name_free(char *created);

/* New content for a host file name (a fetch, a move across folders).  It goes into a new
 * file beside the file that has the name, which takes the name only once the content is
 * complete, so that a failure leaves the old file as it was; through a link it goes beside
 * the file the link leads to, and the link stays.  Where that cannot be done -- the folder
 * takes no new file, or the new file cannot have the old one's owner -- the old file itself
 * is emptied and written, as a plain write would, and is at risk until the writing ends. */
typedef struct zri_target {
    const char *name; /* the file written: the caller's name, or the file a link leads to */
    char *temp;       /* the new file beside it; null when there is none */
    int had_file;     /* a file had the name when the writing began */
    int in_place;     /* the old file itself is written */
    char real[4096];  /* the file a link leads to */
} zri_target;

/* Opens the file the content goes to, write-only.  A name that is there must be a regular
 * file that the caller may write, as if it were rewritten in place (else -1: EACCES or what
 * the system says, EISDIR for a folder, EINVAL for anything else); the new file beside it
 * gets its owner and permission bits.  A name that is not there gets a file with the bits
 * `mode`.  The descriptor, or -1 with errno set; *t is ready for zri_target_finish either
 * way. */
int zri_target_open(zri_target *t, const char *name, const char *tag, int mode);

/* How the writing ended, once the descriptor is closed: */
enum {
    ZRI_TARGET_KEEP,   /* the content takes the name */
    ZRI_TARGET_DROP,   /* the content goes (a file written in place is deleted) */
    ZRI_TARGET_PARTIAL /* the content goes where a file had the name, else takes the name */
};
/* 0, or -1 with errno set when kept content could not take the name (it is deleted).
 * Other ends keep the last system error value as it was. */
int zri_target_finish(zri_target *t, int end);

#ifdef __cplusplus
}
#endif

#endif /* ZR_INTERNAL_H */
