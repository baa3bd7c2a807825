/*
 * zr-utf8.cpp -- host files by UTF-8 name.
 *
 * The desktop application hands over host file names as UTF-8 bytes taken from Java
 * strings, that is in Java's modified UTF-8: U+0000 as 0xC0 0x80 and characters beyond
 * the basic plane as two 3-byte surrogate sequences.  The decoder below accepts exactly
 * that (it checks neither overlong forms nor surrogates) and builds the UTF-16 name that
 * the platform's wide-name file calls take; the platform seam then passes it on (Win32)
 * or re-encodes it as proper UTF-8 (POSIX).
 *
 * Two refusals protect the file system from a name that means something else than it
 * says: a name whose wide form holds a 0 unit before its end (0xC0 0x80 inside the name)
 * would reach the file system cut short at that unit, so it fails with EINVAL; and a
 * 4-byte sequence beyond U+10FFFF, which no surrogate pair can carry, fails the
 * conversion.
 */
#include "zr-internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

/* Open flags the library passes (Win32 runtime values). */
const int CREAT_FLAGS = ZR_OS_O_CREAT | ZR_OS_O_TRUNC | ZR_OS_O_RDWR; /* 0x0302 */
/* Permission bits of a file that utf8open happens to create. */
const int OPEN_MODE = 0666;
/* The library's temporary files: created new, write-only; tries at finding a free name. */
const int TEMP_FLAGS = ZR_OS_O_CREAT | ZR_OS_O_EXCL | ZR_OS_O_WRONLY | ZR_OS_O_BINARY;
const int TEMP_TRIES = 64;
/* A host file that new content replaces: write-only binary (0x8001). */
const int TARGET_FLAGS = ZR_OS_O_WRONLY | ZR_OS_O_BINARY;
unsigned long temp_counter = 0;

/* Length in bytes, unit class and code point of a packed decode result. */
unsigned packed_length(uint32_t v) { return v >> 28; }
unsigned packed_units(uint32_t v) { return (((v >> 24) & 0xF) + 1) / 2; }
uint32_t packed_code(uint32_t v) { return v & 0xFFFFFF; }

/* The wide form of a name for one call: null (errno set) when the name does not convert
 * or would reach the file system cut short. */
zr_os_wchar *wide_for_call(const char *name)
{
    if (name == nullptr) {
        zr_os_set_errno(EINVAL);
        return nullptr;
    }
    size_t units = 0;
    zr_os_wchar *w = zri_utf8_to_wide(name, &units);
    if (w == nullptr)
        return nullptr;
    for (size_t i = 0; i < units; ++i) {
        if (w[i] == 0) {
            zri_wide_free(w);
            zr_os_set_errno(EINVAL);
            return nullptr;
        }
    }
    return w;
}

} // namespace

extern "C" {

uint32_t zri_utf8_decode(const unsigned char *p)
{
    unsigned lead = p[0];
    if (lead < 0x80)
        return (1u << 28) | (1u << 24) | lead;
    unsigned ones = 0;
    for (int bit = 7; bit >= 3 && (lead & (1u << bit)); --bit)
        ++ones;
    if (ones < 2 || ones > 4)
        return 0;
    uint32_t cp = lead & ((1u << (7 - ones)) - 1);
    for (unsigned i = 1; i < ones; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0; /* also the terminating NUL */
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    static const uint32_t unit_class[5] = {0, 1, 2, 2, 3};
    return (ones << 28) | (unit_class[ones] << 24) | cp;
}

zr_os_wchar *zri_utf8_to_wide(const char *name, size_t *units_out)
{
    if (name == nullptr) {
        zr_os_set_errno(EINVAL);
        return nullptr;
    }
    const unsigned char *s = reinterpret_cast<const unsigned char *>(name);
    size_t units = 0;
    for (const unsigned char *p = s; *p != 0;) {
        uint32_t v = zri_utf8_decode(p);
        if (v == 0 || (packed_length(v) == 4 && packed_code(v) > 0x10FFFF)) {
            zr_os_set_errno(EILSEQ);
            return nullptr;
        }
        units += packed_units(v);
        p += packed_length(v);
    }
    zr_os_set_errno(0);
    auto *w =
        static_cast<zr_os_wchar *>(zr_os_alloc((units + 1) * sizeof(zr_os_wchar), "wide name"));
    if (w == nullptr) {
        if (zr_os_errno() == 0)
            zr_os_set_errno(ENOMEM);
        return nullptr;
    }
    std::memset(w, 0, (units + 1) * sizeof(zr_os_wchar));
    size_t k = 0;
    for (const unsigned char *p = s; *p != 0;) {
        uint32_t v = zri_utf8_decode(p);
        uint32_t cp = packed_code(v);
        if (packed_length(v) == 4) {
            cp -= 0x10000;
            w[k++] = static_cast<zr_os_wchar>(0xD800 + (cp >> 10));
            w[k++] = static_cast<zr_os_wchar>(0xDC00 + (cp & 0x3FF));
        } else {
            w[k++] = static_cast<zr_os_wchar>(cp);
        }
        p += packed_length(v);
    }
    w[k] = 0;
    if (units_out)
        *units_out = units;
    return w;
}

void zri_wide_free(zr_os_wchar *w) { zr_os_free(w); }

int zri_utf8_open_mode(const char *name, int flags, int mode)
{
    zr_os_wchar *w = wide_for_call(name);
    if (w == nullptr)
        return -1;
    int fd = zr_os_wopen(w, flags, mode);
    int saved = zr_os_errno();
    zri_wide_free(w);
    zr_os_set_errno(saved);
    return fd;
}

int zri_utf8_rename(const char *oldname, const char *newname, int replace)
{
    zr_os_wchar *a = wide_for_call(oldname);
    if (a == nullptr)
        return -1;
    zr_os_wchar *b = wide_for_call(newname);
    if (b == nullptr) {
        int saved = zr_os_errno();
        zri_wide_free(a);
        zr_os_set_errno(saved);
        return -1;
    }
    int r = zr_os_wrename(a, b, replace);
    int saved = zr_os_errno();
    zri_wide_free(a);
    zri_wide_free(b);
    zr_os_set_errno(saved);
    return r;
}

int zri_utf8_kind(const char *name, struct stat *st)
{
    zr_os_wchar *w = wide_for_call(name);
    if (w == nullptr)
        return -1;
    struct stat local;
    struct stat *out = st ? st : &local;
    int r = zr_os_wstat(w, out);
    int saved = zr_os_errno();
    zri_wide_free(w);
    zr_os_set_errno(saved);
    if (r != 0)
        return saved == ENOENT || saved == ENOTDIR ? 0 : -1;
    return zr_os_stat_kind(out);
}

int zri_utf8_create_beside(const char *name, const char *tag, int mode, char **created)
{
    *created = nullptr;
    if (name == nullptr || tag == nullptr) {
        zr_os_set_errno(EINVAL);
        return -1;
    }
    size_t folder = 0;
    for (size_t i = 0; name[i] != '\0'; ++i) {
        if (name[i] == '/')
            folder = i + 1;
#if defined(_WIN32)
        if (name[i] == '\\' || name[i] == ':')
            folder = i + 1;
#endif
    }
    size_t room = folder + std::strlen(tag) + 48;
    char *temp = static_cast<char *>(zr_os_alloc(room, "file name"));
    if (temp == nullptr)
        return -1;
    for (int i = 0; i < TEMP_TRIES; ++i) {
        std::memcpy(temp, name, folder);
        std::snprintf(temp + folder, room - folder, ".zr-%s-%lx-%lx.part", tag, zr_os_process_id(),
                      ++temp_counter);
        int fd = zri_utf8_open_mode(temp, TEMP_FLAGS, mode);
        if (fd >= 0) {
            *created = temp;
            return fd;
        }
        if (zr_os_errno() != EEXIST)
            break;
    }
    int saved = zr_os_errno();
    zr_os_free(temp);
    zr_os_set_errno(saved);
    return -1;
}

void zri_name_free(char *created) { zr_os_free(created); }

int zri_target_open(zri_target *t, const char *name, const char *tag, int mode)
{
    t->name = name;
    t->temp = nullptr;
    t->had_file = 0;
    t->in_place = 0;
    t->real[0] = '\0';
    struct stat st;
    int kind = zri_utf8_kind(name, &st);
    if (kind < 0)
        return -1;
    if (kind == 2 || kind == 3) {
        zr_os_set_errno(kind == 2 ? EISDIR : EINVAL);
        return -1;
    }
    if (kind == 0)
        return zri_utf8_create_beside(name, tag, mode, &t->temp);

    t->had_file = 1;
    int fd = utf8open(name, TARGET_FLAGS);
    if (fd < 0)
        return -1;
    utf8close(fd);
    /* Through a link the content goes to the file it leads to.  A name that cannot be
     * resolved for want of memory fails: going on under the name itself would put a file in
     * the place of a link. */
    zr_os_wchar *w = zri_utf8_to_wide(name, nullptr);
    bool out_of_memory = w == nullptr;
    if (w != nullptr && zr_os_real_name(w, t->real, sizeof t->real) == 0) {
        zr_os_wchar *check = zri_utf8_to_wide(t->real, nullptr);
        out_of_memory = check == nullptr && zr_os_errno() == ENOMEM;
        if (check != nullptr)
            t->name = t->real;
        zri_wide_free(check);
    } else if (w != nullptr) {
        out_of_memory = zr_os_errno() == ENOMEM;
    }
    zri_wide_free(w);
    if (out_of_memory) {
        zr_os_set_errno(ENOMEM);
        return -1;
    }

    fd = zri_utf8_create_beside(t->name, tag, zr_os_stat_mode(&st), &t->temp);
    if (fd >= 0) {
        if (zr_os_file_adopt(fd, &st) == 0) {
            zr_os_set_errno(0);
            return fd;
        }
        utf8close(fd);
        utf8unlink(t->temp);
        zri_name_free(t->temp);
        t->temp = nullptr;
    } else if (zr_os_errno() != EACCES && zr_os_errno() != EPERM) {
        return -1;
    }
    zr_os_set_errno(0);
    fd = utf8open(t->name, TARGET_FLAGS | ZR_OS_O_TRUNC);
    t->in_place = fd >= 0;
    return fd;
}

int zri_target_finish(zri_target *t, int end)
{
    int saved = zr_os_errno();
    int r = 0;
    if (t->in_place) {
        if (end == ZRI_TARGET_DROP)
            utf8unlink(t->name);
    } else if (t->temp != nullptr) {
        if (end == ZRI_TARGET_KEEP) {
            if (zri_utf8_rename(t->temp, t->name, 1) != 0) {
                saved = zr_os_errno();
                utf8unlink(t->temp);
                r = -1;
            }
        } else if (end == ZRI_TARGET_PARTIAL && !t->had_file) {
            /* Nothing was there: the partial content takes the name; a file that appeared
             * there meanwhile is left alone. */
            if (zri_utf8_rename(t->temp, t->name, 0) != 0)
                utf8unlink(t->temp);
        } else {
            utf8unlink(t->temp);
        }
        zri_name_free(t->temp);
        t->temp = nullptr;
    } else if (end == ZRI_TARGET_KEEP) {
        r = -1; /* nothing was opened */
    }
    zr_os_set_errno(saved);
    return r;
}

int utf8open(const char *name, int flags) { return zri_utf8_open_mode(name, flags, OPEN_MODE); }

int utf8creat(const char *name, int mode) { return zri_utf8_open_mode(name, CREAT_FLAGS, mode); }

int utf8read(int fd, void *buf, unsigned count) { return zr_os_read(fd, buf, count); }

int utf8write(int fd, const void *buf, unsigned count) { return zr_os_write(fd, buf, count); }

int utf8close(int fd) { return zr_os_file_close(fd); }

int utf8rename(const char *oldname, const char *newname)
{
    return zri_utf8_rename(oldname, newname, 0);
}

int utf8unlink(const char *name)
{
    zr_os_wchar *w = wide_for_call(name);
    if (w == nullptr)
        return -1;
    int r = zr_os_wunlink(w);
    int saved = zr_os_errno();
    zri_wide_free(w);
    zr_os_set_errno(saved);
    return r;
}

int utf8stat(const char *name, struct stat *st)
{
    if (st == nullptr) {
        zr_os_set_errno(EINVAL);
        return -1;
    }
    /* Wildcards never name one file. */
    if (name != nullptr && std::strpbrk(name, "?*") != nullptr) {
        zr_os_set_errno(ENOENT);
        return -1;
    }
    zr_os_wchar *w = wide_for_call(name);
    if (w == nullptr)
        return -1;
    int r = zr_os_wstat(w, st);
    int saved = zr_os_errno();
    zri_wide_free(w);
    zr_os_set_errno(saved);
    return r;
}

} // extern "C"
