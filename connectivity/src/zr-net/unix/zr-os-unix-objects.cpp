/*
 * zr-os-unix-objects.cpp -- the POSIX backend of the seam's named objects (DHCP service
 * control): the named mutex and named shared memory.
 *
 * Named objects are POSIX shared-memory objects "/<name>".  The mutex lives inside an
 * object of its own as a process-shared, robust, recursive pthread mutex: robust so that
 * a process that ends while holding it cannot block everybody else, recursive to match a
 * Win32 mutex, which its holder may take again.  Who creates an object and who merely
 * opens it is settled under flock() on the object's descriptor, so an object is never
 * used before it has its size and (for the mutex) its initialised contents, whichever of
 * several processes gets there first, even when one of them dies half-way.
 */
#include "../zr-os.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* ---- named objects ----------------------------------------------------------------- */

const size_t NAME_MAX_CHARS = 200;

/* "/<name>" into out (PNAME bytes), or false when the name cannot be a shared-memory
 * object name. */
const size_t PNAME = NAME_MAX_CHARS + 2;
bool object_name(const char *name, char *out)
{
    if (name == nullptr || *name == '\0' || std::strlen(name) > NAME_MAX_CHARS ||
        std::strchr(name, '/') != nullptr) {
        errno = EINVAL;
        return false;
    }
    std::snprintf(out, PNAME, "/%s", name);
    return true;
}

int flock_retry(int fd, int op)
{
    int r;
    do {
        r = flock(fd, op);
    } while (r < 0 && errno == EINTR);
    return r;
}

/* Opens (creating when missing) the object and makes sure it holds at least `size`
 * bytes; *created tells whether this call made it.  Returns the descriptor, still holding
 * the exclusive flock (the caller finishes its set-up, then unlocks), or -1. */
int open_sized(const char *pname, size_t size, bool *created)
{
    int fd = -1;
    *created = false;
    for (int tries = 0; tries < 8 && fd < 0; ++tries) {
        fd = shm_open(pname, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            *created = true;
            break;
        }
        if (errno != EEXIST)
            return -1;
        fd = shm_open(pname, O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0 && errno != ENOENT) /* ENOENT: removed in between, try again */
            return -1;
    }
    if (fd < 0)
        return -1;
    struct stat st;
    if (flock_retry(fd, LOCK_EX) != 0 || fstat(fd, &st) != 0 ||
        (static_cast<size_t>(st.st_size) < size && ftruncate(fd, static_cast<off_t>(size)) != 0)) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

/* The mutex object's contents. */
const uint32_t MUTEX_READY = 0x5a524d58u; /* "ZRMX" */
struct mutex_area {
    uint32_t ready;
    pthread_mutex_t mutex;
};

} // namespace

struct zr_os_mutex {
    int fd;
    mutex_area *area;
};

struct zr_os_shared {
    int fd;
    size_t size;
};

extern "C" {

/* ---- named mutex ------------------------------------------------------------------- */

zr_os_mutex *zr_os_mutex_open(const char *name)
{
    char pname[PNAME];
    if (!object_name(name, pname))
        return nullptr;
    bool created;
    int fd = open_sized(pname, sizeof(mutex_area), &created);
    if (fd < 0)
        return nullptr;
    void *mem = mmap(nullptr, sizeof(mutex_area), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    bool ok = mem != MAP_FAILED;
    auto *area = static_cast<mutex_area *>(mem);
    if (ok && __atomic_load_n(&area->ready, __ATOMIC_ACQUIRE) != MUTEX_READY) {
        /* First user, or a creator that died before it finished: set it up (under the
         * flock, so only one process does). */
        pthread_mutexattr_t attr;
        ok = pthread_mutexattr_init(&attr) == 0;
        if (ok) {
            ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
                 pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
                 pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                 pthread_mutex_init(&area->mutex, &attr) == 0;
            pthread_mutexattr_destroy(&attr);
        }
        if (ok)
            __atomic_store_n(&area->ready, MUTEX_READY, __ATOMIC_RELEASE);
    }
    int saved = errno;
    flock_retry(fd, LOCK_UN);
    auto *m = ok ? static_cast<zr_os_mutex *>(zr_os_alloc(sizeof(zr_os_mutex), "mutex")) : nullptr;
    if (m == nullptr) {
        if (mem != MAP_FAILED)
            munmap(mem, sizeof(mutex_area));
        close(fd);
        errno = ok ? ENOMEM : saved;
        return nullptr;
    }
    *m = zr_os_mutex{fd, area};
    return m;
}

int zr_os_mutex_lock(zr_os_mutex *m)
{
    if (m == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int r = pthread_mutex_lock(&m->area->mutex);
    if (r == 0)
        return 0;
    if (r == EOWNERDEAD) {
        /* The holder ended while holding it: this caller owns it now; mark it usable so
         * that later waits succeed normally. */
        r = pthread_mutex_consistent(&m->area->mutex);
        if (r == 0)
            return 1;
        pthread_mutex_unlock(&m->area->mutex);
    }
    errno = r;
    return -1;
}

int zr_os_mutex_unlock(zr_os_mutex *m)
{
    if (m == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int r = pthread_mutex_unlock(&m->area->mutex);
    if (r != 0) {
        errno = r;
        return -1;
    }
    return 0;
}

void zr_os_mutex_close(zr_os_mutex *m)
{
    if (m == nullptr)
        return;
    munmap(m->area, sizeof(mutex_area));
    close(m->fd);
    zr_os_free(m);
}

/* ---- named shared memory ----------------------------------------------------------- */

zr_os_shared *zr_os_shared_open(const char *name, size_t size, int *existed)
{
    char pname[PNAME];
    if (!object_name(name, pname) || size == 0)
        return nullptr;
    bool created;
    int fd = open_sized(pname, size, &created);
    if (fd < 0)
        return nullptr;
    flock_retry(fd, LOCK_UN);
    auto *sh = static_cast<zr_os_shared *>(zr_os_alloc(sizeof(zr_os_shared), "shared memory"));
    if (sh == nullptr) {
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    *sh = zr_os_shared{fd, size};
    if (existed)
        *existed = created ? 0 : 1;
    return sh;
}

void *zr_os_shared_map(zr_os_shared *sh)
{
    if (sh == nullptr)
        return nullptr;
    void *mem = mmap(nullptr, sh->size, PROT_READ | PROT_WRITE, MAP_SHARED, sh->fd, 0);
    return mem == MAP_FAILED ? nullptr : mem;
}

void zr_os_shared_unmap(zr_os_shared *sh, void *addr)
{
    if (sh != nullptr && addr != nullptr)
        munmap(addr, sh->size);
}

void zr_os_shared_close(zr_os_shared *sh)
{
    if (sh == nullptr)
        return;
    close(sh->fd);
    zr_os_free(sh);
}

int zr_os_named_remove(const char *name)
{
    char pname[PNAME];
    if (!object_name(name, pname))
        return -1;
    return shm_unlink(pname) == 0 ? 0 : -1;
}

} // extern "C"
