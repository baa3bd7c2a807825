/*
 * zr-os-win-files.cpp -- the Win32 backend of the seam's host files: the runtime's wide-name
 * file calls, and the host-file questions of the DHCP folder and the policy.
 */
#include "zr-os-win.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <wchar.h>

static_assert(ZR_OS_O_BINARY == _O_BINARY && ZR_OS_O_CREAT == _O_CREAT &&
                  ZR_OS_O_TRUNC == _O_TRUNC && ZR_OS_O_RDWR == _O_RDWR &&
                  ZR_OS_O_WRONLY == _O_WRONLY && ZR_OS_O_EXCL == _O_EXCL &&
                  ZR_OS_O_APPEND == _O_APPEND && ZR_OS_O_TEXT == _O_TEXT,
              "the seam's open flags are the runtime's");
static_assert(sizeof(zr_os_wchar) == sizeof(wchar_t), "wide names are UTF-16 units");

using namespace zr_win;

namespace {

/* A UTF-8 text as a wide string for one call (falls back to the ANSI code page for text
 * that is not UTF-8).  Null with errno on failure. */
wchar_t *wide_of(const char *text)
{
    if (text == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    UINT cp = CP_UTF8;
    int n = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (n <= 0) {
        cp = CP_ACP;
        n = MultiByteToWideChar(cp, 0, text, -1, nullptr, 0);
        if (n <= 0) {
            errno = EILSEQ;
            return nullptr;
        }
    }
    auto *w = static_cast<wchar_t *>(
        zr_os_alloc(static_cast<size_t>(n) * sizeof(wchar_t), "system name"));
    if (w == nullptr)
        return nullptr;
    if (MultiByteToWideChar(cp, cp == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0, text, -1, w, n) <= 0) {
        zr_os_free(w);
        errno = EILSEQ;
        return nullptr;
    }
    return w;
}

/* A wide text as UTF-8 into buf; -1 with ERANGE when it does not fit. */
int utf8_of(const wchar_t *w, char *buf, size_t size)
{
    int need = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (need <= 0)
        return win32_fail();
    if (static_cast<size_t>(need) > size) {
        errno = ERANGE;
        return -1;
    }
    WideCharToMultiByte(CP_UTF8, 0, w, -1, buf, need, nullptr, nullptr);
    return 0;
}

const wchar_t *wname(const zr_os_wchar *name) { return reinterpret_cast<const wchar_t *>(name); }

unsigned cut_count(unsigned count) { return count > INT_MAX ? INT_MAX : count; }

} // namespace

extern "C" {

/* ---- host files by wide name -------------------------------------------------------- */

int zr_os_wopen(const zr_os_wchar *name, int flags, int mode)
{
    int pmode = _S_IREAD | ((mode & 0200) ? _S_IWRITE : 0);
    int fd = _wsopen(wname(name), flags | _O_NOINHERIT, _SH_DENYNO, pmode);
    return fd < 0 ? -1 : fd;
}

int zr_os_read(int fd, void *buffer, unsigned count)
{
    int n = _read(fd, buffer, cut_count(count));
    return n < 0 ? -1 : n;
}

int zr_os_write(int fd, const void *buffer, unsigned count)
{
    int n = _write(fd, buffer, cut_count(count));
    return n < 0 ? -1 : n;
}

int zr_os_file_close(int fd) { return _close(fd) == 0 ? 0 : -1; }

int zr_os_wrename(const zr_os_wchar *from, const zr_os_wchar *to, int replace)
{
    if (!replace) {
        if (_wrename(wname(from), wname(to)) == 0)
            return 0;
        /* The runtime reports an existing target as EACCES. */
        int saved = errno;
        errno = GetFileAttributesW(wname(to)) != INVALID_FILE_ATTRIBUTES &&
                        GetFileAttributesW(wname(from)) != INVALID_FILE_ATTRIBUTES
                    ? EEXIST
                    : saved;
        return -1;
    }
    /* Replacing a file in one step: the runtime's rename cannot. */
    if (MoveFileExW(wname(from), wname(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
        return 0;
    return win32_fail();
}

int zr_os_wunlink(const zr_os_wchar *name) { return _wunlink(wname(name)) == 0 ? 0 : -1; }

/*
 * The runtime's status record has no file identity (st_ino is always 0 on Windows), so
 * this backend stores the one the system keeps: the volume serial number in st_dev, the
 * 64-bit file index in st_rdev (low half) and st_uid / st_gid (high half, 16 bits each),
 * and st_ino 1 to mark that the identity is there.  zr_os_same_file() compares only
 * records that carry it, so two different files are never taken for one.
 */
int zr_os_wstat(const zr_os_wchar *name, struct stat *st)
{
    struct _stat64i32 s;
    if (_wstat64i32(wname(name), &s) != 0)
        return -1;
    std::memset(st, 0, sizeof *st);
    st->st_mode = s.st_mode;
    st->st_nlink = s.st_nlink;
    st->st_size = s.st_size;
    st->st_atime = s.st_atime;
    st->st_mtime = s.st_mtime;
    st->st_ctime = s.st_ctime;
    st->st_dev = s.st_dev;
    HANDLE h = CreateFileW(wname(name), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(h, &info)) {
            st->st_dev = static_cast<_dev_t>(info.dwVolumeSerialNumber);
            st->st_rdev = static_cast<_dev_t>(info.nFileIndexLow);
            st->st_uid = static_cast<short>(info.nFileIndexHigh & 0xffff);
            st->st_gid = static_cast<short>(info.nFileIndexHigh >> 16);
            st->st_ino = 1;
        }
        CloseHandle(h);
    }
    return 0;
}

int zr_os_stat_kind(const struct stat *st)
{
    if ((st->st_mode & _S_IFMT) == _S_IFREG)
        return 1;
    if ((st->st_mode & _S_IFMT) == _S_IFDIR)
        return 2;
    return 3;
}

int zr_os_stat_mode(const struct stat *st) { return static_cast<int>(st->st_mode & 0777); }

int zr_os_same_file(const struct stat *a, const struct stat *b)
{
    return a->st_ino == 1 && b->st_ino == 1 && a->st_dev == b->st_dev && a->st_rdev == b->st_rdev &&
                   a->st_uid == b->st_uid && a->st_gid == b->st_gid
               ? 1
               : 0;
}

/* Windows files carry no POSIX owner (this backend's st_uid / st_gid hold a part of the
 * file index), and the new file was created with the permission bits already. */
int zr_os_file_adopt(int, const struct stat *) { return 0; }

int zr_os_getcwd(char *buf, size_t size)
{
    /* The wide folder name in a block of the library's own (through its allocation gate),
     * not one the runtime allocates; the folder may change in between, hence the loop. */
    for (int tries = 0; tries < 4; ++tries) {
        DWORD need = GetCurrentDirectoryW(0, nullptr);
        if (need == 0)
            return win32_fail();
        auto *w = static_cast<wchar_t *>(
            zr_os_alloc(static_cast<size_t>(need) * sizeof(wchar_t), "system name"));
        if (w == nullptr)
            return -1;
        DWORD got = GetCurrentDirectoryW(need, w);
        int r = -1;
        if (got == 0)
            win32_fail();
        else if (got < need)
            r = utf8_of(w, buf, size);
        int saved = errno;
        zr_os_free(w);
        errno = saved;
        if (got == 0 || got < need)
            return r;
    }
    errno = ERANGE;
    return -1;
}

int zr_os_chdir(const char *path)
{
    wchar_t *w = wide_of(path);
    if (w == nullptr)
        return -1;
    int r = _wchdir(w);
    int saved = errno;
    zr_os_free(w);
    errno = saved;
    return r == 0 ? 0 : -1;
}

/* The final name of an open file: links and junctions resolved, in its "\\?\" form.  Null
 * when the system cannot tell (the caller then takes the full name as it stands). */
static wchar_t *final_name_of(const wchar_t *name)
{
    HANDLE h = CreateFileW(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    wchar_t *out = nullptr;
    DWORD need = GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (need != 0) {
        out = static_cast<wchar_t *>(zr_os_alloc((need + 1) * sizeof(wchar_t), "system name"));
        if (out != nullptr) {
            DWORD got =
                GetFinalPathNameByHandleW(h, out, need + 1, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
            if (got == 0 || got > need) {
                zr_os_free(out);
                out = nullptr;
            }
        }
    }
    CloseHandle(h);
    return out;
}

/* "\\?\C:\x" is "C:\x" and "\\?\UNC\host\share" is "\\host\share" to the runtime's calls. */
static const wchar_t *without_long_prefix(wchar_t *name)
{
    if (wcsncmp(name, L"\\\\?\\UNC\\", 8) == 0) {
        name[6] = L'\\';
        return name + 6;
    }
    if (wcsncmp(name, L"\\\\?\\", 4) == 0)
        return name + 4;
    return name;
}

int zr_os_real_name(const zr_os_wchar *name, char *buf, size_t size)
{
    if (GetFileAttributesW(wname(name)) == INVALID_FILE_ATTRIBUTES)
        return win32_fail();
    wchar_t *final_name = final_name_of(wname(name));
    if (final_name != nullptr) {
        int r = utf8_of(without_long_prefix(final_name), buf, size);
        int saved = errno;
        zr_os_free(final_name);
        errno = saved;
        return r;
    }
    DWORD need = GetFullPathNameW(wname(name), 0, nullptr, nullptr);
    if (need == 0)
        return win32_fail();
    auto *full = static_cast<wchar_t *>(zr_os_alloc(need * sizeof(wchar_t), "system name"));
    if (full == nullptr)
        return -1;
    int r = -1;
    DWORD got = GetFullPathNameW(wname(name), need, full, nullptr);
    if (got == 0 || got >= need)
        win32_fail();
    else
        r = utf8_of(full, buf, size);
    int saved = errno;
    zr_os_free(full);
    errno = saved;
    return r;
}

unsigned long zr_os_process_id(void) { return GetCurrentProcessId(); }

/* ---- host files (DHCP data file, storage policy) -------------------------------------- */

int zr_os_path_kind(const char *path)
{
    if (path == nullptr)
        return -1;
    wchar_t *w = wide_of(path);
    if (w == nullptr)
        return -1;
    DWORD a = GetFileAttributesW(w);
    DWORD e = GetLastError();
    zr_os_free(w);
    if (a == INVALID_FILE_ATTRIBUTES) {
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME)
            return 0;
        errno = errno_of_win32(e);
        return -1;
    }
    if (a & FILE_ATTRIBUTE_DIRECTORY)
        return 2;
    if (a & FILE_ATTRIBUTE_DEVICE)
        return 3;
    return 1;
}

int zr_os_create_empty(const char *path)
{
    wchar_t *w = wide_of(path);
    if (w == nullptr)
        return -1;
    int fd = _wsopen(w, _O_CREAT | _O_TRUNC | _O_RDWR | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                     _S_IREAD | _S_IWRITE);
    int saved = errno;
    zr_os_free(w);
    errno = saved;
    if (fd < 0)
        return -1;
    return _close(fd) == 0 ? 0 : -1;
}

} // extern "C"
