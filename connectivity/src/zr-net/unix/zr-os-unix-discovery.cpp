/*
 * zr-os-unix-discovery.cpp -- the POSIX backend of the seam for discovery, DHCP service
 * control and the storage policy: the interface list, the named mutex and shared memory,
 * the process list, process start and termination, and the few host-file questions.
 *
 * Named objects are POSIX shared-memory objects "/<name>".  The mutex lives inside an
 * object of its own as a process-shared, robust, recursive pthread mutex: robust so that
 * a process that ends while holding it cannot block everybody else, recursive to match a
 * Win32 mutex, which its holder may take again.  Who creates an object and who merely
 * opens it is settled under flock() on the object's descriptor, so an object is never
 * used before it has its size and (for the mutex) its initialised contents, whichever of
 * several processes gets there first, even when one of them dies half-way.
 *
 * Processes are held through pidfds, so a handle can never reach another process that
 * later got the same number.
 */
#include "../zr-os.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

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

/* ---- processes ------------------------------------------------------------------- */

/* The executable's file name without its folder, into out: from /proc/<pid>/exe when it
 * can be read (the file actually running), else from the first element of the command
 * line.  Empty for a process that has ended or cannot be examined. */
void exe_name(const char *pid_text, char *out, size_t room)
{
    char path[4200];
    char target[4096];
    out[0] = '\0';
    std::snprintf(path, sizeof path, "/proc/%s/exe", pid_text);
    ssize_t n = readlink(path, target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        const char deleted[] = " (deleted)";
        size_t dl = sizeof deleted - 1;
        if (static_cast<size_t>(n) > dl && std::strcmp(target + n - dl, deleted) == 0)
            target[n - dl] = '\0';
    } else {
        std::snprintf(path, sizeof path, "/proc/%s/cmdline", pid_text);
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        ssize_t got;
        do {
            got = read(fd, target, sizeof target - 1);
        } while (got < 0 && errno == EINTR);
        close(fd);
        if (got <= 0)
            return;
        target[got] = '\0'; /* the first element ends at its NUL */
    }
    const char *slash = std::strrchr(target, '/');
    const char *base = slash ? slash + 1 : target;
    size_t length = std::strlen(base);
    if (length < room) /* longer than any file name: nothing to go by */
        std::memcpy(out, base, length + 1);
}

bool all_digits(const char *s)
{
    if (*s == '\0')
        return false;
    for (; *s; ++s)
        if (*s < '0' || *s > '9')
            return false;
    return true;
}

/* Splits a Win32-style command line into its argument vector.  The first element (the
 * program) runs to the closing double quote when it starts with one, otherwise to the
 * first blank.  In the other elements blanks separate, double quotes group (two double
 * quotes inside a quoted part give one), and backslashes are literal except before a
 * double quote: 2n backslashes and a quote give n backslashes and a grouping quote, 2n+1
 * backslashes and a quote give n backslashes and a literal quote.
 * The elements go one after another into out, each ended by a NUL; out needs
 * strlen(line) + 2 bytes (an element never grows, and the blanks before it are at least
 * one character).  Returns the number of elements. */
size_t split_command_line(const char *line, char *out)
{
    size_t count = 0;
    char *w = out;
    const char *p = line;
    if (*p == '"') {
        for (++p; *p && *p != '"'; ++p)
            *w++ = *p;
        if (*p == '"')
            ++p;
    } else {
        for (; *p && *p != ' ' && *p != '\t'; ++p)
            *w++ = *p;
    }
    *w++ = '\0';
    ++count;

    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0')
            break;
        bool quoted = false;
        while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
            if (*p == '\\') {
                size_t n = 0;
                while (*p == '\\') {
                    ++n;
                    ++p;
                }
                if (*p == '"') {
                    for (size_t i = 0; i < n / 2; ++i)
                        *w++ = '\\';
                    if (n % 2) {
                        *w++ = '"';
                        ++p;
                    }
                } else {
                    for (size_t i = 0; i < n; ++i)
                        *w++ = '\\';
                }
            } else if (*p == '"') {
                if (quoted && p[1] == '"') {
                    *w++ = '"';
                    p += 2;
                } else {
                    quoted = !quoted;
                    ++p;
                }
            } else {
                *w++ = *p++;
            }
        }
        *w++ = '\0';
        ++count;
    }
    return count;
}

/* pidfds through the system calls themselves (the C library's wrappers are not
 * declared for C++ everywhere). */
int pidfd_open_call(long pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u));
}

int pidfd_signal_call(int pidfd, int sig)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0u));
}

int poll_ended(int pidfd, int ms)
{
    pollfd p{pidfd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return -1;
    return r > 0 ? 1 : 0;
}

} // namespace

struct zr_os_mutex {
    int fd;
    mutex_area *area;
};

struct zr_os_shared {
    int fd;
    size_t size;
};

struct zr_os_process {
    long pid;
    int pidfd;       /* -1 on systems without pidfds: the number is used instead */
    bool child;      /* started by this process: collected once it has ended */
    bool collected;
};

namespace {

/* Collects an ended child of this process so it does not linger as a zombie. */
void collect(zr_os_process *p, bool block)
{
    if (!p->child || p->collected)
        return;
    int status;
    pid_t r;
    do {
        r = waitpid(static_cast<pid_t>(p->pid), &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == static_cast<pid_t>(p->pid) || (r < 0 && errno == ECHILD))
        p->collected = true;
}

zr_os_process *make_process(long pid, bool child)
{
    auto *p = static_cast<zr_os_process *>(zr_os_alloc(sizeof(zr_os_process), "process"));
    if (p == nullptr)
        return nullptr;
    *p = zr_os_process{pid, -1, child, false};
    p->pidfd = pidfd_open_call(pid);
    if (p->pidfd < 0 && errno != ENOSYS) {
        int saved = errno;
        zr_os_free(p);
        errno = saved;
        return nullptr;
    }
    return p;
}

} // namespace

extern "C" {

/* ---- interface list -------------------------------------------------------------------- */

int zr_os_if_list(zr_os_sock, zr_os_ifentry *list, int capacity)
{
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0)
        return -1;
    int total = 0;
    for (ifaddrs *i = all; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr)
            continue;
        int family = i->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6)
            continue;
        if (total < capacity && list != nullptr) {
            list[total].family = family == AF_INET ? ZR_OS_AF_INET : static_cast<uint16_t>(family);
            list[total].addr =
                family == AF_INET
                    ? ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr)
                    : 0;
        }
        if (total == 0x7fffffff)
            break;
        ++total;
    }
    freeifaddrs(all);
    return total;
}

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
        if (pthread_mutex_consistent(&m->area->mutex) == 0)
            return 1;
        r = errno;
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

/* ---- processes ------------------------------------------------------------------- */

int zr_os_process_walk(zr_os_process_visit visit, void *ctx)
{
    DIR *d = opendir("/proc");
    if (d == nullptr)
        return -1;
    int result = 0;
    char name[256];
    for (;;) {
        errno = 0;
        dirent *e = readdir(d);
        if (e == nullptr) {
            if (errno != 0)
                result = -1;
            break;
        }
        if (!all_digits(e->d_name))
            continue;
        exe_name(e->d_name, name, sizeof name);
        if (name[0] == '\0')
            continue; /* ended, or nothing to go by */
        if (visit(ctx, std::strtol(e->d_name, nullptr, 10), name) != 0) {
            result = 1;
            break;
        }
    }
    int saved = errno;
    closedir(d);
    errno = saved;
    return result;
}

zr_os_process *zr_os_process_open(long pid)
{
    if (pid <= 0) {
        errno = ESRCH;
        return nullptr;
    }
    zr_os_process *p = make_process(pid, false);
    if (p == nullptr)
        return nullptr;
    /* "All rights": the caller must be allowed to signal it. */
    int r = p->pidfd >= 0 ? pidfd_signal_call(p->pidfd, 0)
                          : kill(static_cast<pid_t>(pid), 0);
    if (r != 0) {
        int saved = errno;
        zr_os_process_close(p);
        errno = saved;
        return nullptr;
    }
    return p;
}

zr_os_process *zr_os_process_start(const char *program, const char *command_line)
{
    if (program == nullptr || command_line == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    size_t length = std::strlen(command_line);
    auto *args = static_cast<char *>(zr_os_alloc(length + 2, "arguments"));
    /* At most one element per two characters of the line, and the terminating null. */
    size_t slots = length / 2 + 2;
    auto **argv = args ? static_cast<char **>(zr_os_alloc(slots * sizeof(char *), "argument vector"))
                       : nullptr;
    if (args == nullptr || argv == nullptr) {
        zr_os_free(args);
        errno = ENOMEM;
        return nullptr;
    }
    std::memset(argv, 0, slots * sizeof(char *));
    size_t count = split_command_line(command_line, args);
    char *element = args;
    for (size_t i = 0; i < count; ++i) {
        argv[i] = element;
        element += std::strlen(element) + 1;
    }

    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&fa) != 0) {
        zr_os_free(args);
        zr_os_free(argv);
        return nullptr;
    }
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&fa);
        zr_os_free(args);
        zr_os_free(argv);
        return nullptr;
    }
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    int r = posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (r == 0)
        r = posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    if (r == 0)
        r = posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    if (r == 0)
        r = posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    if (r == 0)
        r = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                                POSIX_SPAWN_SETSIGDEF);
    if (r == 0)
        r = posix_spawnattr_setsigmask(&attr, &none);
    if (r == 0)
        r = posix_spawnattr_setsigdefault(&attr, &all);
    pid_t pid = -1;
    if (r == 0)
        r = posix_spawn(&pid, program, &fa, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    zr_os_free(args);
    zr_os_free(argv);
    if (r != 0) {
        errno = r;
        return nullptr;
    }
    zr_os_process *p = make_process(pid, true);
    if (p == nullptr) {
        /* Without a handle the new process could never be ended by the library. */
        int saved = errno;
        kill(pid, SIGKILL);
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        errno = saved;
    }
    return p;
}

int zr_os_process_alive(zr_os_process *p)
{
    if (p == nullptr)
        return -1;
    if (p->child) {
        collect(p, false);
        if (p->collected)
            return 0;
    }
    if (p->pidfd >= 0) {
        int ended = poll_ended(p->pidfd, 0);
        return ended < 0 ? -1 : !ended;
    }
    return kill(static_cast<pid_t>(p->pid), 0) == 0 ? 1 : (errno == ESRCH ? 0 : -1);
}

/* How long a server is given to end by itself after SIGTERM. */
const unsigned TERMINATE_GRACE_MS = 1000;

int zr_os_process_terminate(zr_os_process *p, unsigned ms)
{
    if (p == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (p->collected)
        return 0; /* already gone */
    /* SIGTERM first, so that the DHCP server can take back the addresses it set; SIGKILL
     * when it has not ended after a short grace. */
    const uint64_t deadline = zr_os_now_ms() + ms;
    const uint64_t grace = zr_os_now_ms() + (ms < TERMINATE_GRACE_MS ? ms : TERMINATE_GRACE_MS);
    int sig = SIGTERM;
    for (;;) {
        int r = p->pidfd >= 0 ? pidfd_signal_call(p->pidfd, sig) : kill(static_cast<pid_t>(p->pid), sig);
        if (r != 0 && errno != ESRCH)
            return -1;
        const uint64_t until = sig == SIGTERM ? grace : deadline;
        if (p->pidfd >= 0) {
            uint64_t now = zr_os_now_ms();
            poll_ended(p->pidfd, until > now ? static_cast<int>(until - now) : 0);
        } else {
            while (zr_os_process_alive(p) == 1 && zr_os_now_ms() < until)
                zr_os_sleep_ms(5);
        }
        if (sig == SIGKILL || zr_os_process_alive(p) != 1)
            break;
        sig = SIGKILL;
    }
    if (p->pidfd >= 0)
        collect(p, false);
    return 0;
}

void zr_os_process_close(zr_os_process *p)
{
    if (p == nullptr)
        return;
    collect(p, false);
    if (p->pidfd >= 0)
        close(p->pidfd);
    zr_os_free(p);
}

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
