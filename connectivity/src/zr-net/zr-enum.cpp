/*
 * zr-enum.cpp -- discovery: candidates from the host's interfaces and the liveness probe.
 *
 * An attached handheld forms a four-address network with the host: the host's side holds
 * an address in 172.16.0.0/16 whose two lowest bits are 01, the handheld the next one.
 * The enumeration walks the host's interface list for such addresses and reports the
 * address after each; KQ_ZR_en_enum keeps only the candidates that answer the datagram
 * probe on UDP port 10003.
 */
#include "zr-internal.h"

#include <cstring>

namespace {

/* Entries held in the work area itself; a longer list gets a block of its own. */
const int INLINE_ENTRIES = 20;

/* Enumeration stages: 0 fresh, 1..3 pass-through, 4 scanning the interfaces, 5 done. */
const uint16_t STAGE_SCAN = 4;
const uint16_t STAGE_DONE = 5;

const int ENUM_HANDLE = 1;

/* The one enumeration of the process. */
struct zr_enum_work {
    uint16_t stage;
    uint16_t position; /* next entry to examine; 0: the list is still to be read */
    uint16_t reserved;
    uint16_t count;      /* entries in the list */
    int16_t socket;      /* the interface query's socket while it is open, else -1 */
    zr_os_ifentry *list; /* inline_list, or a block for a longer list */
    zr_os_ifentry inline_list[INLINE_ENTRIES];
};

zr_enum_work *work = nullptr;

zri_if_list_fn if_list_hook = nullptr;
zri_probe_map_fn probe_map_hook = nullptr;

const uint32_t NET_172_16 = 0xAC100000u;
const uint32_t HOST_SIDE_BITS = 1;
const uint16_t GROUP = 4;

/* The probe and the start of the handheld's answer. */
const char PROBE[9] = {'z', 'r', '-', 'a', 'p', 'i', '4', '-', 'q'};
const char ANSWER[3] = {'o', 'r', 'v'};
const int ANSWER_MIN = 4;
const int ANSWER_AREA = 80;
const int PROBE_ATTEMPTS = 5;
const long PROBE_WAIT_MS = 200;

/* Lists longer than the 16-bit entry count cannot be walked. */
const int MAX_ENTRIES = 65535;

int query(zr_os_sock s, zr_os_ifentry *list, int capacity)
{
    return if_list_hook ? if_list_hook(list, capacity) : zr_os_if_list(s, list, capacity);
}

void free_list()
{
    if (work->list != work->inline_list)
        zr_free(work->list);
    work->list = work->inline_list;
}

/* Reads the whole interface list, however long.  0, -61 or -62. */
int read_list()
{
    zr_os_set_errno(0);
    zr_os_sock s = zr_os_udp_socket();
    if (s == ZR_OS_NO_SOCK)
        return ZR_E_IFSOCK;
    work->socket = static_cast<int16_t>(s);

    free_list();
    int capacity = INLINE_ENTRIES;
    int total = query(s, work->list, capacity);
    /* The list may grow between two reads: ask again until it fits. */
    for (int tries = 0; total > capacity && total <= MAX_ENTRIES && tries < 8; ++tries) {
        free_list();
        capacity = total + 8;
        auto *bigger = static_cast<zr_os_ifentry *>(
            zr_malloc("enum list", static_cast<int>(sizeof(zr_os_ifentry)) * capacity));
        if (bigger == nullptr) {
            total = -1;
            break;
        }
        work->list = bigger;
        total = query(s, work->list, capacity);
    }
    if (total > capacity)
        total = -1;

    zri_close_keep_errno(s);
    work->socket = -1;
    if (total < 0) {
        free_list();
        return ZR_E_IFLIST;
    }
    work->count = static_cast<uint16_t>(total);
    return 0;
}

/* Stage 4: the next matching entry of the interface list.  0 with the record filled,
 * -1 at the end of the list, -61 / -62 when the list cannot be read. */
int scan(zr_enum_rec *r)
{
    if (work->position == 0) {
        int got = read_list();
        if (got != 0)
            return got;
    }
    while (work->position < work->count) {
        const zr_os_ifentry &e = work->list[work->position++];
        if (e.family != ZR_OS_AF_INET)
            continue;
        uint32_t a = e.addr;
        if ((a & 0xFFFF0000u) == NET_172_16 && (a & 3u) == HOST_SIDE_BITS) {
            r->addr = a + 1;
            r->group = GROUP;
            r->slot = static_cast<uint16_t>(work->position - 1);
            r->reserved = 0;
            r->name = nullptr;
            return 0;
        }
    }
    return ZR_E_END;
}

} // namespace

extern "C" {

void zri_set_if_list(zri_if_list_fn fn) { if_list_hook = fn; }
void zri_set_probe_map(zri_probe_map_fn fn) { probe_map_hook = fn; }

int KQ_ZR_en_init(void)
{
    if (work != nullptr)
        return ZR_E_FLAGS;
    work =
        static_cast<zr_enum_work *>(zr_malloc("enum work", static_cast<int>(sizeof(zr_enum_work))));
    if (work == nullptr)
        return ZR_E_SOCKET;
    work->stage = 0;
    work->position = 0;
    work->reserved = 0;
    work->count = 0;
    work->socket = -1;
    work->list = work->inline_list;
    return ENUM_HANDLE;
}

int KQ_ZR_en_next(int h, zr_enum_rec *r)
{
    if (h != ENUM_HANDLE || work == nullptr || r == nullptr)
        return ZR_E_HANDLE;
    std::memset(r, 0, sizeof *r);
    while (work->stage < STAGE_SCAN) {
        ++work->stage;
        work->position = 0;
    }
    if (work->stage > STAGE_SCAN)
        return ZR_E_END;
    int got = scan(r);
    if (got == 0)
        return 0;
    work->stage = STAGE_DONE;
    work->socket = -1;
    work->position = 0;
    return got;
}

int KQ_ZR_en_enum(int h, zr_enum_rec *r)
{
    for (;;) {
        int got = KQ_ZR_en_next(h, r);
        if (got < 0)
            return got;
        uint32_t target = probe_map_hook ? probe_map_hook(r->addr) : r->addr;
        if (KQ_ZR_en_ping(target) >= 0)
            return 0;
    }
}

int KQ_ZR_en_done(int h)
{
    if (h != ENUM_HANDLE || work == nullptr)
        return ZR_E_HANDLE;
    if (work->socket != -1)
        zri_close_keep_errno(work->socket);
    free_list();
    zr_free(work);
    work = nullptr;
    return 0;
}

int KQ_ZR_en_ping(uint32_t addr)
{
    zr_os_set_errno(0);
    zr_os_sock s = zr_os_udp_socket();
    if (s == ZR_OS_NO_SOCK)
        return ZR_E_SOCKET;
    if (zr_os_bind(s, 0, 0) != 0) {
        zri_close_keep_errno(s);
        return ZR_E_SOCKET;
    }

    enum { SILENT, ANSWERED, OTHER } last = SILENT;
    char area[ANSWER_AREA];
    for (int attempt = 0; attempt < PROBE_ATTEMPTS; ++attempt) {
        zr_os_set_errno(0);
        if (zr_os_sendto(s, PROBE, sizeof PROBE, addr, ZR_PROBE_PORT) < 0) {
            zri_close_keep_errno(s);
            return ZR_E_SOCKET;
        }
        int ready = zr_os_wait(s, 1, PROBE_WAIT_MS);
        if (ready < 0) {
            last = SILENT;
            break;
        }
        if (ready == 0) {
            last = SILENT;
            continue;
        }
        /* An answer to an earlier probe that arrives late counts here. */
        std::memset(area, 0, ANSWER_MIN);
        zr_os_set_errno(0);
        int n = zr_os_recvfrom(s, area, sizeof area);
        if (n <= 0) {
            last = SILENT;
            continue;
        }
        /* Only a datagram of at least 4 bytes that begins with "orv" is the handheld's;
         * anything shorter is something else answering. */
        if (n >= ANSWER_MIN && std::memcmp(area, ANSWER, sizeof ANSWER) == 0) {
            last = ANSWERED;
            break;
        }
        last = OTHER;
    }
    zr_os_set_errno(0);
    zr_os_close(s);
    if (last == ANSWERED)
        return 0;
    return last == OTHER ? ZR_E_FOREIGN : ZR_E_END;
}

} // extern "C"
