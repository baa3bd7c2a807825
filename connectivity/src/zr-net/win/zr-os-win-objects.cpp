/*
 * zr-os-win-objects.cpp -- the Win32 backend of the seam's named objects (DHCP service
 * control): the named mutex and named shared memory as kernel objects.
 */
#include "zr-os-win.h"

#include <cstring>

using namespace zr_win;

namespace {

/* Kernel-object names follow the seam's rule: no path, no slash, at most 200 characters
 * (a backslash would reach into another namespace). */
bool object_name_ok(const char *name)
{
    if (name == nullptr || *name == '\0' || std::strlen(name) > 200 || std::strchr(name, '/') ||
        std::strchr(name, '\\')) {
        errno = EINVAL;
        return false;
    }
    return true;
}

} // namespace

struct zr_os_mutex {
    HANDLE h;
};

struct zr_os_shared {
    HANDLE h;
    size_t size;
};

extern "C" {

/* ---- named mutex ---------------------------------------------------------------------- */

zr_os_mutex *zr_os_mutex_open(const char *name)
{
    if (!object_name_ok(name))
        return nullptr;
    HANDLE h = CreateMutexA(nullptr, FALSE, name);
    if (h == nullptr) {
        win32_fail();
        return nullptr;
    }
    auto *m = static_cast<zr_os_mutex *>(zr_os_alloc(sizeof(zr_os_mutex), "mutex"));
    if (m == nullptr) {
        CloseHandle(h);
        return nullptr;
    }
    m->h = h;
    return m;
}

int zr_os_mutex_lock(zr_os_mutex *m)
{
    if (m == nullptr) {
        errno = EINVAL;
        return -1;
    }
    DWORD r = WaitForSingleObject(m->h, INFINITE);
    if (r == WAIT_OBJECT_0)
        return 0;
    if (r == WAIT_ABANDONED)
        return 1;
    return win32_fail();
}

int zr_os_mutex_unlock(zr_os_mutex *m)
{
    if (m == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return ReleaseMutex(m->h) ? 0 : win32_fail();
}

void zr_os_mutex_close(zr_os_mutex *m)
{
    if (m == nullptr)
        return;
    CloseHandle(m->h);
    zr_os_free(m);
}

/* ---- named shared memory -------------------------------------------------------------- */

zr_os_shared *zr_os_shared_open(const char *name, size_t size, int *existed)
{
    if (!object_name_ok(name) || size == 0) {
        errno = EINVAL;
        return nullptr;
    }
    uint64_t sz = size;
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                  static_cast<DWORD>(sz >> 32),
                                  static_cast<DWORD>(sz & 0xffffffffu), name);
    if (h == nullptr) {
        win32_fail();
        return nullptr;
    }
    bool was = GetLastError() == ERROR_ALREADY_EXISTS;
    auto *sh = static_cast<zr_os_shared *>(zr_os_alloc(sizeof(zr_os_shared), "shared memory"));
    if (sh == nullptr) {
        CloseHandle(h);
        return nullptr;
    }
    sh->h = h;
    sh->size = size;
    if (existed)
        *existed = was ? 1 : 0;
    return sh;
}

void *zr_os_shared_map(zr_os_shared *sh)
{
    if (sh == nullptr)
        return nullptr;
    void *mem = MapViewOfFile(sh->h, FILE_MAP_ALL_ACCESS, 0, 0, sh->size);
    if (mem == nullptr)
        win32_fail();
    return mem;
}

void zr_os_shared_unmap(zr_os_shared *sh, void *addr)
{
    if (sh != nullptr && addr != nullptr)
        UnmapViewOfFile(addr);
}

void zr_os_shared_close(zr_os_shared *sh)
{
    if (sh == nullptr)
        return;
    CloseHandle(sh->h);
    zr_os_free(sh);
}

/* Kernel objects go away with their last handle; there is nothing to remove by name. */
int zr_os_named_remove(const char *name)
{
    (void)name;
    errno = ENOENT;
    return -1;
}

} // extern "C"
