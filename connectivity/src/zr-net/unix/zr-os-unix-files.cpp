/*
 * zr-os-unix-files.cpp -- the POSIX backend of the host-file part of the platform seam:
 * files by wide name, and the host-file questions of the DHCP folder and the policy.
 *
 * The library hands over names as UTF-16 units.  Here they become UTF-8 again, this time
 * in the proper form: a surrogate pair (which a name in Java's modified UTF-8 carries as
 * two 3-byte sequences) turns into the one 4-byte sequence of its character, so that the
 * file gets the name a UTF-8 system expects.  Open flags arrive in the Win32 runtime's
 * values and are translated.
 */
#include "../zr-os.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* A name as UTF-8 for one system call (no container templates here: their instances
 * would be exported from the shared library). */
class utf8_name {
  public:
    utf8_name(const utf8_name &) = delete;
    utf8_name &operator=(const utf8_name &) = delete;
    explicit utf8_name(const zr_os_wchar *name) { ok_ = convert(name); }
    ~utf8_name() { zr_os_free(text_); }
    /* False (errno set) when the name has no UTF-8 form. */
    bool ok() const { return ok_; }
    const char *c_str() const { return text_; }

  private:
    /* UTF-16 to UTF-8; a lone surrogate fails with EILSEQ. */
    bool convert(const zr_os_wchar *name)
    {
        size_t units = 0;
        while (name[units] != 0)
            ++units;
        /* At most 3 bytes a unit (a pair of units makes 4). */
        text_ = static_cast<char *>(zr_os_alloc(3 * units + 1, "system name"));
        if (text_ == nullptr)
            return false;
        char *out = text_;
        for (const zr_os_wchar *p = name; *p != 0; ++p) {
            uint32_t cp = *p;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                uint32_t low = p[1];
                if (low < 0xDC00 || low > 0xDFFF) {
                    errno = EILSEQ;
                    return false;
                }
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++p;
            } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                errno = EILSEQ;
                return false;
            }
            if (cp < 0x80) {
                *out++ = static_cast<char>(cp);
            } else if (cp < 0x800) {
                *out++ = static_cast<char>(0xC0 | (cp >> 6));
                *out++ = static_cast<char>(0x80 | (cp & 0x3F));
            } else if (cp < 0x10000) {
                *out++ = static_cast<char>(0xE0 | (cp >> 12));
                *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                *out++ = static_cast<char>(0x80 | (cp & 0x3F));
            } else {
                *out++ = static_cast<char>(0xF0 | (cp >> 18));
                *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                *out++ = static_cast<char>(0x80 | (cp & 0x3F));
            }
        }
        *out = '\0';
        return true;
    }

    char *text_ = nullptr;
    bool ok_ = false;
};

int posix_flags(int flags)
{
    int f = O_CLOEXEC;
    switch (flags & 3) {
    case ZR_OS_O_WRONLY: f |= O_WRONLY; break;
    case ZR_OS_O_RDWR: f |= O_RDWR; break;
    case ZR_OS_O_RDONLY: f |= O_RDONLY; break;
    default: return -1;
    }
    if (flags & ZR_OS_O_APPEND)
        f |= O_APPEND;
    if (flags & ZR_OS_O_CREAT)
        f |= O_CREAT;
    if (flags & ZR_OS_O_TRUNC)
        f |= O_TRUNC;
    if (flags & ZR_OS_O_EXCL)
        f |= O_EXCL;
    return f;
}

unsigned cut_count(unsigned count) { return count > INT_MAX ? INT_MAX : count; }

} // namespace

extern "C" {

int zr_os_wopen(const zr_os_wchar *name, int flags, int mode)
{
    utf8_name path(name);
    if (!path.ok())
        return -1;
    int f = posix_flags(flags);
    if (f < 0) {
        errno = EINVAL;
        return -1;
    }
    int fd;
    do {
        fd = open(path.c_str(), f, static_cast<mode_t>(mode & 07777));
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? -1 : fd;
}

int zr_os_read(int fd, void *buffer, unsigned count)
{
    ssize_t n;
    do {
        n = read(fd, buffer, cut_count(count));
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int zr_os_write(int fd, const void *buffer, unsigned count)
{
    ssize_t n;
    do {
        n = write(fd, buffer, cut_count(count));
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int zr_os_file_close(int fd) { return close(fd) == 0 ? 0 : -1; }

int zr_os_wrename(const zr_os_wchar *from, const zr_os_wchar *to, int replace)
{
    utf8_name a(from), b(to);
    if (!a.ok() || !b.ok())
        return -1;
    if (replace)
        return rename(a.c_str(), b.c_str()) == 0 ? 0 : -1;
    if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    /* A file system without the no-replace rename: a link cannot take an existing name
     * either, so a file moves by link and unlink; a folder (which cannot be linked) is
     * checked first and then renamed. */
    struct stat st;
    if (lstat(a.c_str(), &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        if (link(a.c_str(), b.c_str()) != 0)
            return -1;
        unlink(a.c_str());
        return 0;
    }
    if (lstat(b.c_str(), &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return rename(a.c_str(), b.c_str()) == 0 ? 0 : -1;
}

int zr_os_wunlink(const zr_os_wchar *name)
{
    utf8_name path(name);
    if (!path.ok())
        return -1;
    return unlink(path.c_str()) == 0 ? 0 : -1;
}

int zr_os_wstat(const zr_os_wchar *name, struct stat *st)
{
    utf8_name path(name);
    if (!path.ok())
        return -1;
    return stat(path.c_str(), st) == 0 ? 0 : -1;
}

int zr_os_stat_kind(const struct stat *st)
{
    if (S_ISREG(st->st_mode))
        return 1;
    if (S_ISDIR(st->st_mode))
        return 2;
    return 3;
}

int zr_os_stat_mode(const struct stat *st) { return static_cast<int>(st->st_mode & 0777); }

int zr_os_same_file(const struct stat *a, const struct stat *b)
{
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino ? 1 : 0;
}

int zr_os_file_adopt(int fd, const struct stat *like)
{
    struct stat now;
    if (fstat(fd, &now) != 0)
        return -1;
    if ((now.st_uid != like->st_uid || now.st_gid != like->st_gid) &&
        fchown(fd, like->st_uid, like->st_gid) != 0)
        return -1;
    return fchmod(fd, like->st_mode & 0777) == 0 ? 0 : -1;
}

int zr_os_getcwd(char *buf, size_t size) { return getcwd(buf, size) ? 0 : -1; }

int zr_os_chdir(const char *path) { return chdir(path) == 0 ? 0 : -1; }

int zr_os_real_name(const zr_os_wchar *name, char *buf, size_t size)
{
    utf8_name path(name);
    if (!path.ok())
        return -1;
    char *real = realpath(path.c_str(), nullptr);
    if (real == nullptr)
        return -1;
    size_t n = std::strlen(real);
    bool fits = n < size;
    if (fits)
        std::memcpy(buf, real, n + 1);
    std::free(real);
    if (!fits) {
        errno = ERANGE;
        return -1;
    }
    return 0;
}

int zr_os_coalesce(zr_os_sock s, int on)
{
    int no_delay = on ? 0 : 1;
    return setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay) == 0 ? 0 : -1;
}

unsigned long zr_os_process_id(void) { return static_cast<unsigned long>(getpid()); }

/* ---- host files -------------------------------------------------------------------- */

int zr_os_path_kind(const char *path)
{
    struct stat st;
    if (path == nullptr)
        return -1;
    if (stat(path, &st) != 0)
        return (errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
    if (S_ISREG(st.st_mode))
        return 1;
    if (S_ISDIR(st.st_mode))
        return 2;
    return 3;
}

int zr_os_create_empty(const char *path)
{
    if (path == nullptr)
        return -1;
    int fd = open(path, O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return -1;
    return close(fd) == 0 ? 0 : -1;
}

} // extern "C"
