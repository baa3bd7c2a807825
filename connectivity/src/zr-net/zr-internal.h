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

/* ---- transport (zr-dos) ------------------------------------------------------------ */

/* Closes a connection (KQ_ZR_1b_unbind) without disturbing the last system error value. */
void zri_unbind_keep_errno(int handle);

/* The library-wide time-out pair that every new connection copies. */
extern zr_tune zri_tune;
/* The traffic counters that send and receive add to. */
extern zr_stat zri_traffic;

/* ---- requests (zr-request) --------------------------------------------------------- */

/* One request with a field reply: connect to addr:10001, send the command, read the status
 * line, then read field lines into record through table until the handheld closes.
 * 0, or a negative result code. */
int zri_request_fields(uint32_t addr, const char *command, const zr_field_row *table,
                       void *record);

/* One request with a raw reply.  On success (0) the connection stays open in *reader,
 * whose position is just past the status line, and status_rest holds the rest of the
 * status line after the status number (terminated, line feed kept, carriage returns
 * dropped; ZR_LINE bytes).  The status line may arrive in any number of segments.  The
 * caller closes reader->socket with KQ_ZR_1b_unbind. */
int zri_request_raw(uint32_t addr, const char *command, zr_reader *reader, char *status_rest);

/* ==== discovery, DHCP service control, storage policy ============================== */

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
/* Whether the rest of a path below a mapped folder is acceptable: after every "/" there
 * is neither "." nor ".." (each followed by "/" or the end) nor another "/". */
int zri_pol_path_ok(const char *rest);

#ifdef __cplusplus
}
#endif

#endif /* ZR_INTERNAL_H */
