/*
 * zr-osupg.cpp -- the operating-system upgrade request.
 *
 * One command names the image ("osupg <image> <second name>"); the handheld answers with
 * a status line, which may carry a first progress value, and then progress lines
 * "<status> <value>" while it installs.  Each value goes to the caller's callback, which
 * can stop the wait.  The exchange ends when the handheld closes the connection or falls
 * silent for three minutes, reports an error, or the callback asks to stop.
 */
#include "zr-internal.h"

#include <cstdio>
#include <cstring>

namespace {

/* The two escaped names together may hold at most this many characters. */
const int OSUPG_NAMES_LIMIT = 1523;
/* How long the handheld may stay silent between progress lines. */
const uint32_t OSUPG_RTIME = 180000;
const int OSUPG_LINE = 1530;

} // namespace

extern "C" {

int KQ_ZR_os_upg(uint32_t addr, const char *name1, const char *name2, zr_os_progress callback)
{
    char image[ZR_PATH_BUF], second[ZR_PATH_BUF];
    int n1 = zri_fm_escape(name1, image, ZR_PATH_BUF);
    if (n1 < 0)
        return n1;
    int n2 = zri_fm_escape(name2, second, ZR_PATH_BUF);
    if (n2 < 0)
        return n2;
    if (n1 + n2 > OSUPG_NAMES_LIMIT)
        return ZR_E_COMMAND;
    if (callback == nullptr)
        return ZR_E_HANDLE;
    char command[2 * ZR_PATH_BUF + 16];
    std::snprintf(command, sizeof command, "osupg %s %s\n", image, second);

    zr_reader reader;
    char rest[ZR_LINE];
    int r = zri_request_raw(addr, command, &reader, rest);
    if (r < 0)
        return r;
    int h = reader.socket;

    int result = 0;
    /* A progress value is whatever the scanner takes after the status: separators alone
     * ("0 \n", "0 ,\n") count as a value of 0. */
    int32_t value = 0;
    if (zr_p_long(&value, rest) != 0 && callback(value) != 0)
        result = ZR_E_CANCELLED;

    zr_tune t;
    if (KQ_ZR_1b_tune(h, 1, &t) == 0) {
        t.rtime = OSUPG_RTIME;
        KQ_ZR_1b_tune(h, 2, &t);
    }

    char line[OSUPG_LINE];
    while (result == 0) {
        if (zr_fm_gets(line, sizeof line, &reader) <= 0)
            break;
        /* A line without a status number is no progress line. */
        int32_t status = 0;
        if (zri_scan_number(line, &status) == 0)
            continue;
        int used = 0;
        int r = zri_status_result(line, &used);
        if (r != 0)
            result = r;
        if (zr_p_long(&value, line + used) == 0)
            continue;
        if (callback(value) != 0)
            result = ZR_E_CANCELLED;
        if (value < 0)
            result = value;
    }
    zri_unbind_keep_errno(h);
    return result;
}

} // extern "C"
