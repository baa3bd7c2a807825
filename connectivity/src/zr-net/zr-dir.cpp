/*
 * zr-dir.cpp -- listings and attributes of handheld folders.
 *
 * A listing keeps its own connection open between calls: "dir <path>" is sent once, and
 * every KQ_ZR_fm_direnum reads one entry of the reply (a name line, attribute lines, an
 * empty line) until the handheld closes the connection.  A close at an entry boundary is
 * the end of the listing; a close inside an entry cuts that entry off (ZR_E_CUT).  The
 * listing is a reply reader allocated with zr_malloc; its handle is the socket number of
 * its connection.
 *
 * A listing may outlive its connection: KQ_ZR_1b_done closes every socket of the table
 * but cannot free listings.  The system may then hand out the same socket number again,
 * to a file the caller opens or to a later connection.  Each listing therefore keeps the
 * serial number of its connection's table entry, and closes or reads its socket only
 * while that entry is still the one it opened.
 */
#include "zr-internal.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

/* An open listing: the reader first, so that the list can be walked through its `next`. */
struct listing {
    zr_reader reader;
    uint32_t serial; /* of the connection's table entry when the listing was opened */
};

zr_reader *open_listings = nullptr;

/* Escaped paths of this length or more are refused: listing, attributes. */
const int DIR_PATH_LIMIT = 1528;
const int ATTR_PATH_LIMIT = 1527;

/* Line buffers: status line of a listing, attribute lines of an entry, the attribute reply. */
const int DIR_STATUS_LINE = 1536;
const int ENTRY_ATTR_LINE = 100;
const int ATTR_LINE = 20;

listing *as_listing(zr_reader *r) { return reinterpret_cast<listing *>(r); }

/* The listing that the handle names (compared as the 16-bit handle it keeps). */
listing *find_listing(int handle)
{
    for (zr_reader *r = open_listings; r; r = r->next)
        if (r->socket == handle)
            return as_listing(r);
    return nullptr;
}

void unlink_listing(listing *l)
{
    for (zr_reader **link = &open_listings; *link; link = &(*link)->next) {
        if (*link == &l->reader) {
            *link = l->reader.next;
            return;
        }
    }
}

/* Whether the listing's connection is still the one it opened. */
bool connection_is_its_own(const listing *l)
{
    return l->serial != 0 && zri_conn_serial(l->reader.socket) == l->serial;
}

/* Removes and frees a listing, closing its connection when it is still its own. */
void close_listing(listing *l)
{
    int handle = l->reader.socket;
    bool own = connection_is_its_own(l);
    unlink_listing(l);
    zr_free(l);
    if (own)
        zri_unbind_keep_errno(handle);
}

/* Reads key=value lines into rec up to the empty line that ends the block.  A line longer
 * than the buffer comes in pieces, each handed to zr_field; only a line feed at the start
 * of a line ends the block (a piece holding nothing but the line feed of a long line does
 * not).  0 when the empty line came; -1 when the reply ended before it, or the failing
 * code of the read. */
int read_attribute_lines(zr_reader *reader, char *line, int size, zr_attr *rec, bool line_start)
{
    for (;;) {
        int n = zr_fm_gets(line, size, reader);
        if (n < 0)
            return n;
        if (n == 0)
            return ZR_E_END;
        if (line_start && line[0] == '\n')
            return 0;
        zr_field(line, zr_fld_ret_attr(), rec);
        line_start = line[n - 1] == '\n';
    }
}

} // namespace

extern "C" {

int KQ_ZR_fm_dirinit(uint32_t addr, const char *path)
{
    int h = zri_fm_open_path(addr, "dir %s\n", path, DIR_PATH_LIMIT);
    if (h < 0)
        return h;
    auto *l = static_cast<listing *>(zr_malloc("dir enum", static_cast<int>(sizeof(listing))));
    if (l == nullptr) {
        zri_unbind_keep_errno(h);
        return ZR_E_SOCKET;
    }
    /* A listing that still holds this socket number lost its connection long ago (the
     * system reuses only closed numbers): it is dropped now, as the number is this one's. */
    for (listing *stale; (stale = find_listing(h)) != nullptr;) {
        unlink_listing(stale);
        zr_free(stale);
    }
    l->reader.aux = const_cast<char *>(path);
    l->reader.socket = static_cast<int16_t>(h);
    l->serial = zri_conn_serial(h);
    l->reader.next = open_listings;
    open_listings = &l->reader;

    char line[DIR_STATUS_LINE];
    int r = zr_fm_gets(line, sizeof line, &l->reader);
    if (r >= 0)
        r = zri_status_result(line, nullptr);
    if (r < 0) {
        close_listing(l);
        return r;
    }
    return h;
}

int KQ_ZR_fm_direnum(int h, char *name, int length, zr_attr *attr)
{
    listing *l = find_listing(h);
    if (l == nullptr || name == nullptr || length < 1)
        return ZR_E_HANDLE;
    if (!connection_is_its_own(l))
        return ZR_E_HANDLE;
    zr_reader *reader = &l->reader;

    /* The reply has no end marker: it ends when the handheld closes the connection, which
     * is the end of the listing only between entries.  An entry that the end cuts off,
     * in its name or before its empty line, is not handed out as if it were whole. */
    int count = 0;
    bool begun = false;
    for (;;) {
        int c = zr_fm_getc(reader);
        if (c < 0) {
            name[count < length ? count : length - 1] = '\0';
            return c == ZR_E_END && begun ? ZR_E_CUT : c;
        }
        begun = true;
        if (c == '\n')
            break;
        if (c == '\r')
            continue;
        if (count < length)
            name[count] = static_cast<char>(c);
        if (count < INT_MAX)
            ++count;
    }
    name[count < length ? count : length - 1] = '\0';

    zr_attr rec;
    std::memset(&rec, 0, sizeof rec);
    char line[ENTRY_ATTR_LINE];
    int r = read_attribute_lines(reader, line, sizeof line, &rec, true);
    if (r < 0)
        return r == ZR_E_END ? ZR_E_CUT : r;
    if (attr)
        *attr = rec;
    return count;
}

int KQ_ZR_fm_dirdone(int h)
{
    listing *l = find_listing(h);
    if (l == nullptr)
        return ZR_E_HANDLE;
    close_listing(l);
    return 0;
}

int KQ_ZR_fm_dirattr(uint32_t addr, const char *path, zr_attr *attr)
{
    if (attr == nullptr)
        return ZR_E_HANDLE;
    int h = zri_fm_open_path(addr, "attr %s\n", path, ATTR_PATH_LIMIT);
    if (h < 0)
        return h;
    zr_reader reader;
    char line[ATTR_LINE];
    int got = 0;
    int r = zri_fm_read_status(&reader, h, line, sizeof line, &got);
    if (r < 0) {
        zri_unbind_keep_errno(h);
        return r;
    }
    /* A status line longer than the buffer goes on in the next piece. */
    bool line_start = got > 0 && line[got - 1] == '\n';
    zr_attr rec;
    std::memset(&rec, 0, sizeof rec);
    /* What came counts, also when the reply ends before its empty line. */
    read_attribute_lines(&reader, line, sizeof line, &rec, line_start);
    zri_unbind_keep_errno(h);
    *attr = rec;
    return 0;
}

} // extern "C"
