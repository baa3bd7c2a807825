/*
 * zr-err.cpp -- error texts, the last system error value, the tagged allocator and the
 * test gates of allocations and seam calls.
 */
#include "zr-internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct err_row {
    int code;
    const char *text;
};

/* Short texts of the system error numbers that matter to the library. */
const err_row err_table[] = {
    {0, "unknown(0)"},   {1, "not allowed"},    {2, "no such file/dir"}, {4, "interrupt"},
    {3, "no such proc"}, {5, "I/O err"},        {6, "no such dev/addr"}, {8, "not executable"},
    {9, "bad file no"},  {11, "no more procs"}, {12, "no more core"},    {13, "permission denied"},
    {16, "device busy"}, {17, "exists"},        {19, "no such dev"},     {20, "not dir"},
    {21, "is dir"},      {22, "invalid arg"},   {23, "file table ovfl"}, {24, "too many open"},
    {25, "not a tty"},   {28, "out of room"},   {27, "file too large"},  {29, "no seek on pipe"},
    {30, "r/o fs"},      {32, "broken pipe"},   {38, "name too long"},
};

/* Room for "err " and any 32-bit value. */
char err_text[32];

/* Every block starts with the address of its tag; the caller's area follows. */
const size_t header = sizeof(const char *);

zri_alloc_fn allocate = nullptr;
zri_alloc_gate_fn gate = nullptr;
zri_seam_gate_fn seam_gate = nullptr;

} // namespace

extern "C" {

const char *zr_err(int code)
{
    for (size_t i = sizeof err_table / sizeof err_table[0]; i-- > 0;)
        if (err_table[i].code == code)
            return err_table[i].text;
    std::snprintf(err_text, sizeof err_text, "err %d", code);
    return err_text;
}

int KQ_ZR_errno(void) { return zr_os_errno(); }

void zri_close_keep_errno(zr_os_sock s)
{
    int saved = zr_os_errno();
    zr_os_close(s);
    zr_os_set_errno(saved);
}

void zri_set_allocator(zri_alloc_fn fn) { allocate = fn; }

void zri_set_alloc_gate(zri_alloc_gate_fn fn) { gate = fn; }

void zri_set_seam_gate(zri_seam_gate_fn fn) { seam_gate = fn; }

int zri_seam_fails(const char *call)
{
    if (seam_gate == nullptr || seam_gate(call) == 0)
        return 0;
    zr_os_set_errno(EIO);
    return 1;
}

void *zr_os_alloc(size_t size, const char *what)
{
    if (gate && gate(what ? what : "?", size) != 0) {
        zr_os_set_errno(ENOMEM);
        return nullptr;
    }
    void *p = std::malloc(size ? size : 1);
    if (p == nullptr)
        zr_os_set_errno(ENOMEM);
    return p;
}

void zr_os_free(void *p) { std::free(p); }

void *zr_malloc(const char *tag, int size)
{
    /* A negative size cannot be honoured; it is reported like an exhausted heap. */
    size_t total = (size < 0 ? 0 : static_cast<size_t>(size)) + header;
    total = (total + 7) & ~static_cast<size_t>(7);
    zr_os_set_errno(0);
    void *block = nullptr;
    if (size < 0) {
        zr_os_set_errno(ENOMEM);
    } else {
        if (gate && gate(tag ? tag : "?", total) != 0)
            zr_os_set_errno(ENOMEM);
        else
            block = allocate ? allocate(total) : std::malloc(total);
    }
    if (block == nullptr) {
        int e = zr_os_errno();
        std::fprintf(stderr, "? can't malloc(%u) for %s (%d: %s)\r\n", static_cast<unsigned>(total),
                     tag ? tag : "?", e, zr_err(e));
        return nullptr;
    }
    std::memcpy(block, &tag, sizeof tag);
    std::memset(static_cast<char *>(block) + header, 0, total - header);
    return static_cast<char *>(block) + header;
}

int zr_free(void *p)
{
    if (p != nullptr)
        std::free(static_cast<char *>(p) - header);
    return 0;
}

} // extern "C"
