/*
 * zr-request.cpp -- the request exchange, the buffered reply reader and the field tables.
 *
 * A request is one connection to the handheld's port 10001: send one command line, read
 * the status line, then either read key=value lines into a record until the handheld
 * closes the connection (field replies) or hand the open connection to the caller, who
 * reads the raw data that follows (raw replies).
 *
 * The file services share the rest of the exchange from here: the time-outs of a fresh
 * file-service connection, the escaping of handheld paths, and the one rule that turns a
 * status line into a result.
 */
#include "zr-internal.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

enum field_type : int16_t { F_U32 = 10, F_U16 = 11, F_TEXT = 12, F_U8 = 13 };

#define ZR_ROW(rec, member, type, count)                                    \
    {                                                                       \
#        member, type, static_cast < int16_t>(offsetof(rec, member)), count \
    }
#define ZR_END      \
    {               \
        "", 0, 0, 0 \
    }

const zr_field_row info_table[] = {
    ZR_ROW(zr_info, addr, F_U32, 0), ZR_ROW(zr_info, mask, F_U32, 0),
    ZR_ROW(zr_info, b1v, F_U8, 4),   ZR_ROW(zr_info, b2v, F_U8, 4),
    ZR_ROW(zr_info, bat, F_U16, 8),  ZR_ROW(zr_info, clk, F_U16, 0),
    ZR_ROW(zr_info, disk, F_U32, 3), ZR_ROW(zr_info, eid, F_TEXT, 24),
    ZR_ROW(zr_info, hwv, F_U8, 4),   ZR_ROW(zr_info, name, F_TEXT, 8),
    ZR_ROW(zr_info, ram, F_U32, 2),  ZR_ROW(zr_info, ready, F_U16, 2),
    ZR_ROW(zr_info, run, F_U16, 0),  ZR_ROW(zr_info, scrn, F_U32, 0),
    ZR_ROW(zr_info, ser, F_U8, 8),   ZR_ROW(zr_info, sgeo, F_U16, 4),
    ZR_ROW(zr_info, ver, F_U8, 4),   ZR_END,
};

const zr_field_row stat_table[] = {
    ZR_ROW(zr_stat, xpay0, F_U32, 0),
    ZR_ROW(zr_stat, xpay1, F_U32, 0),
    ZR_ROW(zr_stat, rpay0, F_U32, 0),
    ZR_ROW(zr_stat, rpay1, F_U32, 0),
    ZR_END,
};

const zr_field_row tune_table[] = {
    ZR_ROW(zr_tune, rtime, F_U32, 0),
    ZR_ROW(zr_tune, xtime, F_U32, 0),
    ZR_END,
};

const zr_field_row attr_table[] = {
    ZR_ROW(zr_attr, size, F_U32, 1),
    ZR_ROW(zr_attr, time, F_U32, 1),
    ZR_ROW(zr_attr, type, F_U16, 1),
    ZR_ROW(zr_attr, bits, F_U16, 1),
    ZR_END,
};

#undef ZR_ROW
#undef ZR_END

/* Receive and send waits that every file-service connection gets at least. */
const uint32_t FM_MIN_RTIME = 10000;
const uint32_t FM_MIN_XTIME = 5000;

int width_of(int16_t type)
{
    switch (type) {
    case F_U32: return 4;
    case F_U16: return 2;
    case F_U8: return 1;
    default: return 0;
    }
}

void store(unsigned char *at, int16_t type, uint32_t value)
{
    if (type == F_U32) {
        std::memcpy(at, &value, 4);
    } else if (type == F_U16) {
        uint16_t v = static_cast<uint16_t>(value);
        std::memcpy(at, &v, 2);
    } else {
        *at = static_cast<unsigned char>(value);
    }
}

uint32_t load(const unsigned char *at, int16_t type)
{
    if (type == F_U32) {
        uint32_t v;
        std::memcpy(&v, at, 4);
        return v;
    }
    if (type == F_U16) {
        uint16_t v;
        std::memcpy(&v, at, 2);
        return v;
    }
    return *at;
}

/* Connects, sends the command and reads the status line.  On success the connection is
 * left open in *reader and *consumed is the length of the status number; on failure the
 * connection is closed and the result code returned. */
int open_exchange(uint32_t addr, const char *command, zr_reader *reader, char *line, int *consumed)
{
    std::memset(reader, 0, sizeof *reader);
    int h = KQ_ZR_1b_bind(0, 0, addr, ZR_DEVICE_PORT);
    if (h < 0)
        return h;
    int r = KQ_ZR_1b_send(h, 0, command, static_cast<int>(std::strlen(command)));
    if (r >= 0) {
        reader->socket = static_cast<int16_t>(h);
        r = zr_fm_gets(line, ZR_LINE, reader);
    }
    if (r >= 0) {
        r = zri_status_result(line, consumed);
        if (r == 0)
            return 0;
    }
    zri_unbind_keep_errno(h);
    return r;
}

} // namespace

extern "C" {

int zri_status_result(const char *line, int *used)
{
    int32_t status = 0;
    int n = zr_p_long(&status, line);
    if (used)
        *used = n;
    /* A negative status has no failure code of its own: minus it would read as a success,
     * so it counts as a status line without a valid number. */
    if (n == 0 || status < 0)
        return ZR_E_STATUS;
    return -status;
}

int zri_fm_timeouts(int handle)
{
    zr_tune want;
    int r = KQ_ZR_sl_tune(1, &want);
    if (r == 0) {
        if (want.rtime <= FM_MIN_RTIME)
            want.rtime = FM_MIN_RTIME;
        if (want.xtime <= FM_MIN_XTIME)
            want.xtime = FM_MIN_XTIME;
        zr_tune now;
        r = KQ_ZR_1b_tune(handle, 1, &now);
        if (r == 0)
            r = KQ_ZR_1b_tune(handle, 2, &want);
    }
    if (r < 0)
        zri_unbind_keep_errno(handle);
    return r;
}

int zri_fm_open(uint32_t addr, const char *command, int len)
{
    int h = KQ_ZR_1b_bind(0, 0, addr, ZR_DEVICE_PORT);
    if (h < 0)
        return h;
    int r = zri_fm_timeouts(h);
    if (r < 0)
        return r;
    r = KQ_ZR_1b_send(h, 0, command, len);
    if (r < 0) {
        zri_unbind_keep_errno(h);
        return r;
    }
    return h;
}

int zri_fm_open_path(uint32_t addr, const char *format, const char *path, int limit)
{
    char escaped[ZR_PATH_BUF];
    int n = zri_fm_escape(path, escaped, limit);
    if (n < 0)
        return n;
    char command[ZR_PATH_BUF + 16];
    return zri_fm_open(addr, command, std::snprintf(command, sizeof command, format, escaped));
}

int zri_fm_read_status(zr_reader *reader, int handle, char *line, int size, int *got)
{
    std::memset(reader, 0, sizeof *reader);
    reader->socket = static_cast<int16_t>(handle);
    int n = zr_fm_gets(line, size, reader);
    if (got)
        *got = n;
    return n >= 0 ? zri_status_result(line, nullptr) : n;
}

int zri_fm_escape(const char *path, char *out, int limit)
{
    if (path == nullptr)
        return ZR_E_HANDLE;
    if (std::strpbrk(path, "\r\n") != nullptr)
        return ZR_E_COMMAND;
    int n = zr_p_esc1(out, path, ZR_PATH_BUF);
    return n >= limit ? ZR_E_COMMAND : n;
}

int zri_request_fields(uint32_t addr, const char *command, const zr_field_row *table, void *record)
{
    zr_reader reader;
    char line[ZR_LINE];
    int consumed = 0;
    int r = open_exchange(addr, command, &reader, line, &consumed);
    if (r < 0)
        return r;
    /* The reply ends when the handheld closes; a time-out or failure keeps what came. */
    while (zr_fm_gets(line, ZR_LINE, &reader) > 0)
        zr_field(line, table, record);
    zri_unbind_keep_errno(reader.socket);
    return 0;
}

int zri_request_raw(uint32_t addr, const char *command, zr_reader *reader, char *status_rest)
{
    char line[ZR_LINE];
    int consumed = 0;
    int r = open_exchange(addr, command, reader, line, &consumed);
    if (r < 0)
        return r;
    std::snprintf(status_rest, ZR_LINE, "%s", line + consumed);
    return 0;
}

int zr_fm_getc(zr_reader *r)
{
    if (r == nullptr)
        return ZR_E_HANDLE;
    if (r->position >= r->count) {
        int n = KQ_ZR_1b_recv(r->socket, 0, r->buffer, static_cast<int>(sizeof r->buffer));
        if (n < 0)
            return n;
        if (n == 0) {
            r->count = r->position = 0;
            return ZR_E_END;
        }
        r->count = static_cast<uint16_t>(n);
        r->position = 0;
    }
    return r->buffer[r->position++];
}

int zr_fm_gets(char *buf, int length, zr_reader *r)
{
    if (buf == nullptr || r == nullptr)
        return ZR_E_HANDLE;
    if (length <= 0)
        return 0;
    int stored = 0;
    while (stored < length - 1) {
        int c = zr_fm_getc(r);
        if (c < 0) {
            buf[stored] = '\0';
            return c;
        }
        if (c == '\r')
            continue;
        buf[stored++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    buf[stored] = '\0';
    return stored;
}

int zr_field(const char *line, const zr_field_row *table, void *record)
{
    if (line == nullptr || table == nullptr || record == nullptr)
        return ZR_E_HANDLE;
    char key[10];
    int used = zr_p_token(key, sizeof key, line);
    if (used == 0)
        return ZR_E_END;
    const char *p = line + used;
    while (*p == ' ')
        ++p;
    if (*p != '=')
        return ZR_E_FOREIGN;
    const char *value = p + 1;

    const zr_field_row *row = table;
    while (row->name[0] != '\0' && std::strncmp(row->name, key, sizeof row->name) != 0)
        ++row;
    if (row->name[0] == '\0')
        return ZR_E_KEY;

    int n = row->count > 0 ? row->count : 1;
    unsigned char *member = static_cast<unsigned char *>(record) + row->offset;
    if (row->type == F_TEXT) {
        for (int i = 0; i < n && value[i] != '\0' && value[i] != '\n'; ++i)
            member[i] = static_cast<unsigned char>(value[i]);
        return 0;
    }
    int width = width_of(row->type);
    if (width == 0)
        return ZR_E_VALUE;
    p = value;
    for (int i = 0; i < n; ++i) {
        int32_t v = 0;
        int k = zr_p_long(&v, p);
        if (k == 0)
            return ZR_E_VALUE;
        store(member + i * width, row->type, static_cast<uint32_t>(v));
        p += k;
        if (*p != '\0')
            ++p; /* the separator after the number */
    }
    return 0;
}

int zr_struct(char *out, const zr_field_row *table, const void *record)
{
    if (out == nullptr || table == nullptr || record == nullptr)
        return 0;
    const unsigned char *base = static_cast<const unsigned char *>(record);
    char *o = out;
    /* Each piece is small; the caller's buffer holds the whole printed record. */
    const size_t room = 64;
    for (const zr_field_row *row = table; row->name[0] != '\0'; ++row) {
        o += std::snprintf(o, room, "%.*s=", static_cast<int>(sizeof row->name), row->name);
        int n = row->count > 0 ? row->count : 1;
        const unsigned char *member = base + row->offset;
        for (int i = 0; i < n; ++i) {
            if (row->type == F_TEXT) {
                std::memcpy(
                    o, member,
                    strnlen(reinterpret_cast<const char *>(member), static_cast<size_t>(n)));
                o += strnlen(reinterpret_cast<const char *>(member), static_cast<size_t>(n));
                break;
            }
            if (i > 0)
                *o++ = ',';
            int width = width_of(row->type);
            if (width == 0) {
                o += std::snprintf(o, room, "[oops %d]", row->type);
                continue;
            }
            uint32_t v = load(member + i * width, row->type);
            if (row->type == F_U8)
                o += std::snprintf(o, room, "%02u", v);
            else
                o += std::snprintf(o, room, "%lu", static_cast<unsigned long>(v));
        }
        *o++ = '\n';
    }
    return static_cast<int>(o - out);
}

const zr_field_row *zr_fld_ret_inf(void) { return info_table; }
const zr_field_row *zr_fld_ret_sta(void) { return stat_table; }
const zr_field_row *zr_fld_ret_tun(void) { return tune_table; }
const zr_field_row *zr_fld_ret_attr(void) { return attr_table; }

} // extern "C"
