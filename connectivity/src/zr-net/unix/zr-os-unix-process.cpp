/*
 * zr-os-unix-process.cpp -- the POSIX backend of the seam's processes (DHCP service
 * control): the process walk, start, liveness and termination.
 *
 * Processes are held through pidfds, so a handle can never reach another process that
 * later got the same number.
 */
#include "../zr-os.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

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
    /* A signal restarts the wait with the time that is left, not with all of it: signals
     * that come more often than the wait is long must not keep it going. */
    const uint64_t deadline = zr_os_now_ms() + static_cast<uint64_t>(ms);
    int r;
    while ((r = poll(&p, 1, ms)) < 0 && errno == EINTR) {
        uint64_t now = zr_os_now_ms();
        ms = deadline > now ? static_cast<int>(deadline - now) : 0;
    }
    if (r < 0)
        return -1;
    return r > 0 ? 1 : 0;
}

} // namespace

struct zr_os_process {
    long pid;
    int pidfd;  /* -1 on systems without pidfds: the number is used instead */
    bool child; /* started by this process: collected once it has ended */
    bool collected;
};

namespace {

/* Collects an ended child of this process so it does not linger as a zombie. */
void collect(zr_os_process *p)
{
    if (!p->child || p->collected)
        return;
    int status;
    pid_t r;
    do {
        r = waitpid(static_cast<pid_t>(p->pid), &status, WNOHANG);
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
    int r = p->pidfd >= 0 ? pidfd_signal_call(p->pidfd, 0) : kill(static_cast<pid_t>(pid), 0);
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
    auto **argv = args
                      ? static_cast<char **>(zr_os_alloc(slots * sizeof(char *), "argument vector"))
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
    if (r != 0 || pid <= 0) {
        /* A number of 0 or less names a group of processes (-1: every one there is), which
         * the clean-up below must never signal. */
        errno = r != 0 ? r : ECHILD;
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
        collect(p);
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
        int r = p->pidfd >= 0 ? pidfd_signal_call(p->pidfd, sig)
                              : kill(static_cast<pid_t>(p->pid), sig);
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
        collect(p);
    return 0;
}

void zr_os_process_close(zr_os_process *p)
{
    if (p == nullptr)
        return;
    collect(p);
    if (p->pidfd >= 0)
        close(p->pidfd);
    zr_os_free(p);
}

} // extern "C"
