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

#ifdef __cplusplus
}
#endif

#endif /* ZR_INTERNAL_H */
