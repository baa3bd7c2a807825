/*
 * zr-xfer.cpp -- file transfer between host and handheld, with progress and cancellation.
 *
 * Sending ("fput <path> <size> <option>"): the handheld answers a status line (0: ready),
 * the host sends exactly <size> bytes of the file, the handheld answers a final status.
 * Fetching ("fget <path> <option>"): the handheld answers "<status> <size>" on one line
 * and the content follows directly; there is no final status.  Content moves in blocks of
 * at most 1536 bytes through the transfer record's one buffer.
 *
 * A fetch does not harm the host file that was there before it: the content goes into a
 * new file beside it, with its owner and permission bits, which takes the file's place only
 * when the transfer succeeded (zri_target).  A refused or cancelled fetch deletes that new
 * file; another failure deletes it too when a file was there before, and otherwise leaves
 * the partial content under the name asked for.  Only where the folder takes no new file
 * (or the new one could not keep the old one's owner) is the file itself emptied and
 * written, as a plain write would.  A send only ever reads the host file.
 */
#include "zr-internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

const int XFER_PATH_LIMIT = 1519;
const int BLOCK = 1536;
/* The reply text is kept terminated inside the record's buffer. */
const int REPLY_ROOM = BLOCK - 1;
/* Sending this much or more gives the handheld size / 128 + 15000 ms for its final status. */
const uint32_t BIG_FILE = 1048576;
const uint32_t BIG_FILE_DIVISOR = 128;
const uint32_t BIG_FILE_EXTRA_MS = 15000;
/* Permission bits of a fetched file that did not exist before. */
const int FETCH_MODE = 0664;
const int READ_FLAGS = ZR_OS_O_RDONLY | ZR_OS_O_BINARY; /* 0x8000 */

/* Loop outcomes (positive: the result code negated). */
const int SHORT_TRANSFER = -ZR_E_SHORT;
const int WRITE_FAILED = -ZR_E_WRITE;
const int NO_FINAL_STATUS = -ZR_E_NOREPLY;
const int NO_NUMBER = -ZR_E_STATUS;

/* A call's transfer: the record the callback sees, and the values that do not fit it. */
struct transfer {
    zr_xfer x;
    int fd; /* the host file's descriptor (the record holds 16 bits of it) */
    int conn;
    int status;    /* 0 going well; -1 cancelled; positive: the failure, result -status */
    int direction; /* ZR_FM_PUT or ZR_FM_GET (the record holds 16 bits of it) */
};

void set_status(transfer &t, int status)
{
    t.status = status;
    t.x.status = static_cast<int16_t>(status > SHRT_MAX   ? SHRT_MAX
                                      : status < SHRT_MIN ? SHRT_MIN
                                                          : status);
}

/* Progress after a block: a nonzero answer cancels. */
void report_block(transfer &t)
{
    zr_xfer &x = t.x;
    if (x.callback == nullptr || x.step == 0 || x.since_report <= x.step)
        return;
    if (x.callback(0, &x) != 0)
        set_status(t, -1);
    else
        x.since_report = 0;
}

/* Receives into the record's buffer after its `len` bytes until the kept text holds a line
 * feed at or after `pos`, the buffer is full, or the handheld closes.  0, or the failing
 * receive's code when the line never completed.  The text stays terminated. */
int receive_line(transfer &t)
{
    zr_xfer &x = t.x;
    for (;;) {
        x.buf[x.len] = '\0';
        if (std::memchr(x.buf + x.pos, '\n', static_cast<size_t>(x.len - x.pos)) != nullptr ||
            x.len >= REPLY_ROOM)
            return 0;
        int n = KQ_ZR_1b_recv(t.conn, 0, x.buf + x.len, REPLY_ROOM - x.len);
        if (n < 0)
            return n;
        if (n == 0)
            return 0;
        x.len = static_cast<int16_t>(x.len + n);
    }
}

/* Index just past the first line feed at or after from, or len when there is none. */
int16_t after_line(const zr_xfer &x, int from)
{
    const void *lf = std::memchr(x.buf + from, '\n', static_cast<size_t>(x.len - from));
    return lf ? static_cast<int16_t>(static_cast<const char *>(lf) - x.buf + 1) : x.len;
}

/* Writes all bytes to the host file; false when the file takes fewer. */
bool write_all(int fd, const char *data, int count)
{
    while (count > 0) {
        int w = utf8write(fd, data, static_cast<unsigned>(count));
        if (w <= 0)
            return false;
        data += w;
        count -= w;
    }
    return true;
}

int send_loop(transfer &t)
{
    zr_xfer &x = t.x;
    if (x.size == 0) {
        /* What came after the first reply line may already be the final status. */
        x.pos = after_line(x, x.pos);
        if (x.pos >= x.len)
            x.len = x.pos = 0;
    } else {
        while (t.status == 0 && x.done < x.size) {
            int n = utf8read(t.fd, x.buf, BLOCK);
            if (n <= 0)
                break;
            /* Content beyond the size announced (the file grew) is not sent. */
            if (static_cast<uint32_t>(n) > x.size - x.done)
                n = static_cast<int>(x.size - x.done);
            x.len = static_cast<int16_t>(n);
            x.pos = 0;
            while (x.pos < x.len && t.status == 0) {
                int sent = KQ_ZR_1b_send(t.conn, 0, x.buf + x.pos, x.len - x.pos);
                if (sent < 0) {
                    set_status(t, -sent);
                    if (x.callback)
                        x.callback(sent, &x);
                    break;
                }
                x.pos = static_cast<int16_t>(x.pos + sent);
                x.done += static_cast<uint32_t>(sent);
                x.since_report += static_cast<uint32_t>(sent);
                report_block(t);
            }
        }
        if (x.done < x.size)
            return SHORT_TRANSFER;
        x.len = x.pos = 0;
        /* The last block leaves now: held back for a full segment, it would wait for the
         * handheld to acknowledge the one before, which it delays (some 40 ms). */
        zr_os_coalesce(t.conn, 0);
    }

    int r = receive_line(t);
    if (x.len == 0 || (r < 0 && x.pos >= x.len))
        return NO_FINAL_STATUS;
    int32_t status = 0;
    int used = zr_p_long(&status, x.buf + x.pos);
    if (used == 0) {
        set_status(t, -1);
        return NO_NUMBER;
    }
    x.pos = static_cast<int16_t>(x.pos + used);
    /* A negative final status ends the send as a cancelled one does (-1013): minus it would
     * read as a success. */
    set_status(t, status);
    return t.status;
}

int fetch_loop(transfer &t)
{
    zr_xfer &x = t.x;
    int32_t size = 0;
    int used = zri_scan_number(x.buf + x.pos, &size);
    if (used == 0 || size < 0)
        return NO_NUMBER;
    x.size = static_cast<uint32_t>(size);
    /* The content starts right after the reply line, whatever stands between the size and
     * its line feed.  A reply line that fills the whole buffer is no reply line; one that
     * the handheld broke off (it closed before the line feed) is no whole reply. */
    x.pos = after_line(x, x.pos + used);
    if (x.pos == x.len && (x.len == 0 || x.buf[x.len - 1] != '\n'))
        return x.len >= REPLY_ROOM ? NO_NUMBER : SHORT_TRANSFER;

    int first = x.len - x.pos;
    if (static_cast<uint32_t>(first) > x.size)
        first = static_cast<int>(x.size);
    if (first > 0) {
        if (!write_all(t.fd, x.buf + x.pos, first))
            return WRITE_FAILED;
        x.done += static_cast<uint32_t>(first);
        x.since_report += static_cast<uint32_t>(first);
    }
    while (x.done < x.size && t.status == 0) {
        uint32_t left = x.size - x.done;
        int want = left < static_cast<uint32_t>(BLOCK) ? static_cast<int>(left) : BLOCK;
        int n = KQ_ZR_1b_recv(t.conn, 0, x.buf, want);
        if (n < 0)
            return SHORT_TRANSFER;
        if (n == 0)
            break;
        x.len = static_cast<int16_t>(n);
        x.pos = 0;
        zr_os_set_errno(0);
        if (!write_all(t.fd, x.buf, n))
            return WRITE_FAILED;
        x.done += static_cast<uint32_t>(n);
        x.since_report += static_cast<uint32_t>(n);
        report_block(t);
    }
    return x.done < x.size ? SHORT_TRANSFER : 0;
}

/* ---- the host file of a fetch ------------------------------------------------------- */

/* How a fetch leaves the host file system (zri_target_finish): the new content takes the
 * name (ZRI_TARGET_KEEP); a refused or cancelled fetch drops it (ZRI_TARGET_DROP); another
 * failure drops it too, or lets it take the name when nothing had it (ZRI_TARGET_PARTIAL). */

/* Closes the host file (and, fetching, settles it) keeping the last system error value. */
void close_host_file(transfer &t, zri_target *target, int end)
{
    int saved = zr_os_errno();
    utf8close(t.fd);
    zr_os_set_errno(saved);
    if (target)
        zri_target_finish(target, end);
}

/* ---- opening a transfer and finishing it ------------------------------------------- */

/* Checks the host file and makes the command line in the record's buffer: the command's
 * length, or the result code.  A fetch names its host file only when it is opened. */
int prepare_command(transfer &t, const char *escaped)
{
    zr_xfer &x = t.x;
    char command[ZR_PATH_BUF + 48];
    int len;
    if (t.direction == ZR_FM_PUT) {
        struct stat st;
        if (utf8stat(x.local, &st) != 0)
            return ZR_E_HOSTFILE;
        int kind = zr_os_stat_kind(&st);
        if (kind != 1) {
            zr_os_set_errno(kind == 2 ? EISDIR : EINVAL);
            return ZR_E_HOSTFILE;
        }
        /* The size travels as a signed 32-bit number. */
        if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > INT32_MAX) {
            zr_os_set_errno(EFBIG);
            return ZR_E_HOSTFILE;
        }
        x.size = static_cast<uint32_t>(st.st_size);
        len = std::snprintf(command, sizeof command, "fput %s %ld %u\n", escaped,
                            static_cast<long>(x.size), static_cast<unsigned>(x.option));
    } else if (t.direction == ZR_FM_GET) {
        if (x.local == nullptr) {
            zr_os_set_errno(EINVAL);
            return ZR_E_HOSTFILE;
        }
        len = std::snprintf(command, sizeof command, "fget %s %u\n", escaped,
                            static_cast<unsigned>(x.option));
    } else {
        return ZR_E_OPERATION;
    }
    /* The command travels in the record's buffer. */
    if (len < 0 || len >= BLOCK)
        return ZR_E_COMMAND;
    std::memcpy(x.buf, command, static_cast<size_t>(len) + 1);
    return len;
}

/* Opens the host file and the connection, sends the command of len bytes from the record's
 * buffer and reads the first reply line.  0 when the handheld accepted the command (the
 * reply line is in the buffer, `pos` just after its status); otherwise the result code,
 * with the connection closed and the host file closed and settled. */
int open_transfer(transfer &t, uint32_t addr, int len, zri_target *target)
{
    zr_xfer &x = t.x;
    bool put = t.direction == ZR_FM_PUT;
    zri_target *ft = put ? nullptr : target;
    t.fd =
        put ? utf8open(x.local, READ_FLAGS) : zri_target_open(target, x.local, "fetch", FETCH_MODE);
    if (t.fd < 0)
        return ZR_E_HOSTFILE;
    x.fd = static_cast<int16_t>(t.fd);

    /* Every other connection has a fixed send buffer of 4096 bytes, which holds barely two
     * blocks: a file send would wait for the handheld after every other block.  A send keeps
     * the system's own buffer, which grows with the traffic. */
    int h = zri_bind(0, 0, addr, ZR_DEVICE_PORT, put);
    if (h < 0) {
        close_host_file(t, ft, ZRI_TARGET_PARTIAL);
        return h;
    }
    int r = zri_fm_timeouts(h);
    if (r < 0) {
        close_host_file(t, ft, ZRI_TARGET_PARTIAL);
        return r;
    }
    t.conn = h;
    x.conn = static_cast<int16_t>(h);

    r = KQ_ZR_1b_send(h, 0, x.buf, len);
    if (r >= 0) {
        x.len = x.pos = 0;
        r = receive_line(t);
    }
    if (r < 0) {
        zri_unbind_keep_errno(h);
        close_host_file(t, ft, ZRI_TARGET_PARTIAL);
        return r;
    }
    int used = 0;
    r = zri_status_result(x.buf, &used);
    x.pos = static_cast<int16_t>(used);
    /* A first reply that fills the buffer without ending is longer than any reply line:
     * the rest of it would be taken for content, or for the final status. */
    bool no_line = used == 0 || (x.len >= REPLY_ROOM &&
                                 std::memchr(x.buf, '\n', static_cast<size_t>(x.len)) == nullptr);
    if (no_line || r != 0) {
        zri_unbind_keep_errno(h);
        /* A refusal deletes what a fetch created; a reply without a number does not. */
        close_host_file(t, ft, no_line ? ZRI_TARGET_PARTIAL : ZRI_TARGET_DROP);
        return no_line ? ZR_E_STATUS : r;
    }
    return 0;
}

/* Moves the content, makes the last progress call, closes the connection and the host
 * file (a fetch's new content takes the name only when it all came) and gives the result. */
int finish_transfer(transfer &t, zri_target *target)
{
    zr_xfer &x = t.x;
    int h = t.conn;
    if (t.direction == ZR_FM_PUT && x.size >= BIG_FILE) {
        zr_tune tune;
        if (KQ_ZR_1b_tune(h, 1, &tune) == 0) {
            tune.rtime = x.size / BIG_FILE_DIVISOR + BIG_FILE_EXTRA_MS;
            KQ_ZR_1b_tune(h, 2, &tune);
        }
    }

    int loop;
    if (t.direction == ZR_FM_PUT && x.size > 0) {
        /* Blocks go out in full segments while the content streams (a segment per block
         * costs the system several times as much); the last one leaves at once. */
        zr_os_coalesce(h, 1);
        loop = send_loop(t);
        zr_os_coalesce(h, 0);
    } else {
        loop = t.direction == ZR_FM_PUT ? send_loop(t) : fetch_loop(t);
    }
    if (loop != 0 && t.status == 0)
        set_status(t, loop);
    if (x.callback)
        x.callback(0, &x);
    zri_unbind_keep_errno(h);

    if (t.direction == ZR_FM_PUT) {
        close_host_file(t, nullptr, ZRI_TARGET_KEEP);
        return t.status < 0 ? ZR_E_CANCELLED : -t.status;
    }
    if (t.status < 0) {
        close_host_file(t, target, ZRI_TARGET_DROP);
        return ZR_E_CANCELLED;
    }
    if (t.status > 0) {
        close_host_file(t, target, ZRI_TARGET_PARTIAL);
        return -t.status;
    }
    int saved = zr_os_errno();
    if (utf8close(t.fd) != 0) {
        /* The content may not all have reached the file. */
        zri_target_finish(target, ZRI_TARGET_PARTIAL);
        return ZR_E_WRITE;
    }
    zr_os_set_errno(saved);
    if (zri_target_finish(target, ZRI_TARGET_KEEP) != 0)
        return ZR_E_HOSTFILE;
    return 0;
}

} // namespace

extern "C" {

int KQ_ZR_fm_xfer(uint32_t addr, int direction, const char *remote, const char *local,
                  uint32_t step, zr_xfer_progress callback, uint16_t option)
{
    char escaped[ZR_PATH_BUF];
    int n = zri_fm_escape(remote, escaped, XFER_PATH_LIMIT);
    if (n < 0)
        return n;

    transfer t;
    std::memset(&t, 0, sizeof t);
    zr_xfer &x = t.x;
    x.step = step;
    x.remote = remote;
    x.local = local;
    x.direction = static_cast<int16_t>(direction);
    t.direction = direction;
    x.option = option;
    x.callback = callback;
    zr_os_set_errno(0);

    int len = prepare_command(t, escaped);
    if (len < 0)
        return len;
    zri_target target;
    int r = open_transfer(t, addr, len, &target);
    if (r != 0)
        return r;
    return finish_transfer(t, &target);
}

} // extern "C"
