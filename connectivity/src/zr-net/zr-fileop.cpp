/*
 * zr-fileop.cpp -- file operations on the handheld: delete, move, copy, create and remove
 * a folder.  Each is one short exchange on a connection of its own: one command line out,
 * one status line back.
 */
#include "zr-internal.h"

#include <cstdio>
#include <cstring>

namespace {

/* The escaped path, or both escaped paths together, must stay below this length. */
const int FILEOP_PATH_LIMIT = 1526;
/* The status line is read into a buffer of this size (at most 9 characters). */
const int FILEOP_STATUS_LINE = 10;

const char *command_format(unsigned op)
{
    switch (op) {
    case ZR_FM_DEL: return "fdel %s\n";
    case ZR_FM_MOVE: return "move %s %s\n";
    case ZR_FM_COPY: return "copy %s %s\n";
    case ZR_FM_MKDIR: return "mkdir %s\n";
    case ZR_FM_RMDIR: return "rmdir %s\n";
    default: return nullptr;
    }
}

bool takes_two_paths(unsigned op) { return op == ZR_FM_MOVE || op == ZR_FM_COPY; }

} // namespace

extern "C" {

int KQ_ZR_fm_fileop(uint32_t addr, unsigned op, const char *path1, const char *path2)
{
    char first[ZR_PATH_BUF], second[ZR_PATH_BUF];
    int n1 = zri_fm_escape(path1, first, FILEOP_PATH_LIMIT);
    if (n1 < 0)
        return n1;
    second[0] = '\0';
    if (takes_two_paths(op)) {
        int n2 = zri_fm_escape(path2, second, FILEOP_PATH_LIMIT);
        if (n2 < 0)
            return n2;
        if (n1 + n2 >= FILEOP_PATH_LIMIT)
            return ZR_E_COMMAND;
    }
    const char *format = command_format(op);
    if (format == nullptr)
        return ZR_E_OPERATION;
    char command[2 * ZR_PATH_BUF + 16];
    int len = takes_two_paths(op) ? std::snprintf(command, sizeof command, format, first, second)
                                  : std::snprintf(command, sizeof command, format, first);

    int h = zri_fm_open(addr, command, len);
    if (h < 0)
        return h;
    zr_reader reader;
    char line[FILEOP_STATUS_LINE];
    int r = zri_fm_read_status(&reader, h, line, sizeof line, nullptr);
    zri_unbind_keep_errno(h);
    return r;
}

} // extern "C"
