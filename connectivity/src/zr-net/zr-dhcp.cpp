/*
 * zr-dhcp.cpp -- control of the DHCP server program shared between processes.
 *
 * The handhelds get their addresses from the DHCP server program "zr-dhcp.exe", which runs
 * beside this library as a process of its own.  Every process that needs it calls
 * KQ_ZR_dhcp_init: the first one starts the program, later ones find it running; a user
 * count in named shared memory, guarded by a named mutex, tells the last
 * KQ_ZR_dhcp_cleanup to terminate it, whichever process started it.
 *
 * Two things go beyond the plain locked reads and writes of the count:
 *  - A process that ended while holding the mutex does not block the others: the next
 *    waiter gets the mutex, which is usable again.  The count keeps the value that
 *    process left (every change is one 32-bit store, so it is always a whole value) and
 *    work carries on from there.
 *  - Finding or starting the server together with the count update, and the last user's
 *    count update together with the termination, each happen under one hold of the mutex
 *    (which its holder may take again).  Two processes starting at the same moment
 *    therefore never start two servers, and a process never counts itself on a server
 *    that the last user is just terminating.
 */
#include "zr-internal.h"

#include <cstdio>
#include <cstring>

namespace {

const char MUTEX_NAME[] = "1A6DA588-EB69-4099-8995-2F4241023593";
const char SHARED_NAME[] = "2F7930E7-6612-4752-A226-683D6F5ABB32";
const char PROGRAM[] = "zr-dhcp.exe";
const char CONFIG[] = "zr-dhcp.cfg";
const char DATA[] = "zr-dhcp.dat";

/* How long a clean-up waits for the terminated server to be gone. */
const unsigned TERMINATE_WAIT_MS = 2000;

/* The names in use: the defaults, or as a test set them. */
char mutex_name[256];
char shared_name[256];
char program_name[256];

/* Per process: the handles of the shared state and of the server. */
zr_os_mutex *dhcp_mutex = nullptr;
zr_os_shared *dhcp_shared = nullptr;
uint32_t *zr_dhcp_count = nullptr; /* the mapped user count */
zr_os_process *dhcp_server = nullptr;

/* The seam's named-object and process calls, each asked of the test gate first. */
zr_os_mutex *mutex_open(const char *name)
{
    return zri_seam_fails("mutex_open") ? nullptr : zr_os_mutex_open(name);
}
int mutex_lock(zr_os_mutex *m) { return zri_seam_fails("mutex_lock") ? -1 : zr_os_mutex_lock(m); }
zr_os_shared *shared_open(const char *name, size_t size, int *existed)
{
    return zri_seam_fails("shared_open") ? nullptr : zr_os_shared_open(name, size, existed);
}
void *shared_map(zr_os_shared *sh) { return zri_seam_fails("shared_map") ? nullptr : zr_os_shared_map(sh); }
int process_walk(zr_os_process_visit visit, void *ctx)
{
    return zri_seam_fails("process_walk") ? -1 : zr_os_process_walk(visit, ctx);
}
zr_os_process *process_open(long pid) { return zri_seam_fails("process_open") ? nullptr : zr_os_process_open(pid); }
zr_os_process *process_start(const char *program, const char *command_line)
{
    return zri_seam_fails("process_start") ? nullptr : zr_os_process_start(program, command_line);
}
int process_terminate(zr_os_process *p, unsigned ms)
{
    return zri_seam_fails("process_terminate") ? -1 : zr_os_process_terminate(p, ms);
}

void default_names()
{
    if (mutex_name[0] == '\0')
        zri_dhcp_names(nullptr, nullptr);
}

enum count_op { COUNT_READ, COUNT_ZERO, COUNT_UP, COUNT_DOWN };

/* One access to the count under the mutex.  0, or -2001 when the mutex cannot be taken.
 * A result of 1 from the lock (the last holder ended while holding it) is a normal
 * acquisition here: the count holds whatever whole value that holder left. */
int locked(count_op op, uint32_t *value = nullptr)
{
    if (mutex_lock(dhcp_mutex) < 0)
        return ZR_E_DHCP_SHARE;
    uint32_t v = __atomic_load_n(zr_dhcp_count, __ATOMIC_RELAXED);
    switch (op) {
    case COUNT_READ: break;
    case COUNT_ZERO: v = 0; break;
    case COUNT_UP: ++v; break;
    case COUNT_DOWN:
        if (v > 0)
            --v;
        break;
    }
    if (op != COUNT_READ)
        __atomic_store_n(zr_dhcp_count, v, __ATOMIC_RELAXED);
    if (value)
        *value = v;
    zr_os_mutex_unlock(dhcp_mutex);
    return 0;
}

/* Opens the shared state: the mutex, the shared memory and the mapped count. */
int zr_dhcp_share()
{
    if (zr_dhcp_count != nullptr)
        return 0;
    if (dhcp_mutex == nullptr) {
        dhcp_mutex = mutex_open(mutex_name);
        if (dhcp_mutex == nullptr)
            return ZR_E_DHCP_SHARE;
    }
    /* The shared memory is created, mapped and its count set under one hold of the mutex:
     * another process that counted itself between the creation and a later setting of the
     * count would lose its count, and the last clean-up would terminate the server under it. */
    if (mutex_lock(dhcp_mutex) < 0)
        return ZR_E_DHCP_SHARE;
    int existed = 1;
    if (dhcp_shared == nullptr)
        dhcp_shared = shared_open(shared_name, sizeof(uint32_t), &existed);
    void *mapped = dhcp_shared ? shared_map(dhcp_shared) : nullptr;
    if (mapped != nullptr) {
        zr_dhcp_count = static_cast<uint32_t *>(mapped);
        if (!existed)
            __atomic_store_n(zr_dhcp_count, 0u, __ATOMIC_RELAXED);
    }
    zr_os_mutex_unlock(dhcp_mutex);
    return mapped != nullptr ? 0 : ZR_E_DHCP_SHARE;
}

/* Creates the server's empty data file when the program and its configuration are there
 * and the data file is not.  Reports success in every case. */
int zr_dhcp_prepare(const char *folder)
{
    char *exe = zri_path_join(folder, program_name);
    char *cfg = zri_path_join(folder, CONFIG);
    char *dat = zri_path_join(folder, DATA);
    if (exe && cfg && dat && zr_os_path_kind(exe) == 1 && zr_os_path_kind(cfg) == 1 &&
        zr_os_path_kind(dat) == 0)
        zr_os_create_empty(dat);
    zr_free(exe);
    zr_free(cfg);
    zr_free(dat);
    return 0;
}

bool same_name_ignoring_case(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b) {
        char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

int visit_process(void *ctx, long pid, const char *exe)
{
    if (!same_name_ignoring_case(exe, program_name))
        return 0;
    *static_cast<long *>(ctx) = pid;
    return 1;
}

/* Looks for the running server.  1 found (its handle kept), 0 not running, -2002. */
int zr_dhcp_find()
{
    long pid = 0;
    int walked = process_walk(visit_process, &pid);
    if (walked < 0)
        return ZR_E_DHCP_FIND;
    if (walked == 0)
        return 0;
    dhcp_server = process_open(pid);
    return dhcp_server ? 1 : ZR_E_DHCP_FIND;
}

/* Starts the server from the folder with the command line
 * "<double quote><folder + program><double quote> <arguments>".  0 or -2003. */
int zr_dhcp_start(const char *folder, const char *arguments)
{
    char *path = zri_path_join(folder, program_name);
    if (path == nullptr)
        return ZR_E_DHCP_START;
    size_t length = std::strlen(path) + std::strlen(arguments) + 4;
    auto *line = static_cast<char *>(zr_malloc("string", static_cast<int>(length)));
    if (line != nullptr) {
        std::snprintf(line, length, "\"%s\" %s", path, arguments);
        dhcp_server = process_start(path, line);
    }
    zr_free(line);
    zr_free(path);
    return dhcp_server ? 0 : ZR_E_DHCP_START;
}

/* Finds or starts the server and counts it (the caller holds the mutex). */
int zr_dhcp_ensure(const char *folder, const char *arguments)
{
    if (dhcp_server != nullptr) {
        if (zr_os_process_alive(dhcp_server) != 0)
            return 0;
        /* The server this process knew has ended (another process's last clean-up, or it
         * failed): forget it and look again. */
        zr_os_process_close(dhcp_server);
        dhcp_server = nullptr;
    }
    int found = zr_dhcp_find();
    if (found < 0)
        return found;
    if (found == 1) {
        uint32_t count = 0;
        if (locked(COUNT_READ, &count) != 0)
            return ZR_E_DHCP_SHARE;
        if (count == 0 && locked(COUNT_UP) != 0)
            return ZR_E_DHCP_SHARE;
        return 0;
    }
    int started = zr_dhcp_start(folder, arguments);
    if (started != 0)
        return started;
    return locked(COUNT_ZERO);
}

} // namespace

extern "C" {

void zri_dhcp_names(const char *object_prefix, const char *program)
{
    const char *prefix = object_prefix ? object_prefix : "";
    std::snprintf(mutex_name, sizeof mutex_name, "%s%s", prefix, MUTEX_NAME);
    std::snprintf(shared_name, sizeof shared_name, "%s%s", prefix, SHARED_NAME);
    std::snprintf(program_name, sizeof program_name, "%s", program && *program ? program : PROGRAM);
}

const char *zri_dhcp_mutex_name(void)
{
    default_names();
    return mutex_name;
}

const char *zri_dhcp_shared_name(void)
{
    default_names();
    return shared_name;
}

const char *zri_dhcp_program(void)
{
    default_names();
    return program_name;
}

char *zri_path_join(const char *folder, const char *name)
{
    if (folder == nullptr || name == nullptr)
        return nullptr;
    size_t fl = std::strlen(folder), nl = std::strlen(name);
    bool separated = fl > 0 && (folder[fl - 1] == '\\' || folder[fl - 1] == '/');
    size_t total = fl + (separated ? 0 : 1) + nl + 1;
    if (total > 0x7fffffff)
        return nullptr;
    auto *path = static_cast<char *>(zr_malloc("string", static_cast<int>(total)));
    if (path == nullptr)
        return nullptr;
    std::memcpy(path, folder, fl);
    if (!separated)
        path[fl++] = ZR_OS_DIR_SEP;
    std::memcpy(path + fl, name, nl + 1);
    return path;
}

int KQ_ZR_dhcp_init(const char *folder, const char *arguments)
{
    /* Without a folder there is no program to start. */
    if (folder == nullptr)
        return ZR_E_DHCP_START;
    if (arguments == nullptr)
        arguments = "";
    default_names();

    int r = zr_dhcp_share();
    if (r != 0)
        return r;
    zr_dhcp_prepare(folder);

    if (mutex_lock(dhcp_mutex) < 0)
        return ZR_E_DHCP_SHARE;
    r = zr_dhcp_ensure(folder, arguments);
    if (r == 0)
        r = locked(COUNT_UP);
    zr_os_mutex_unlock(dhcp_mutex);
    return r;
}

int KQ_ZR_dhcp_cleanup(void)
{
    if (zr_dhcp_count == nullptr)
        return ZR_E_DHCP_SHARE;
    if (mutex_lock(dhcp_mutex) < 0)
        return ZR_E_DHCP_SHARE;
    uint32_t count = 0;
    /* The count after this user's count-down, read in the same hold: a failure leaves the
     * count as it was. */
    if (locked(COUNT_DOWN, &count) != 0) {
        zr_os_mutex_unlock(dhcp_mutex);
        return ZR_E_DHCP_SHARE;
    }
    if (count != 0) {
        /* Other users remain; this process keeps its handles. */
        zr_os_mutex_unlock(dhcp_mutex);
        return 0;
    }

    int result = 0;
    if (dhcp_server != nullptr) {
        if (process_terminate(dhcp_server, TERMINATE_WAIT_MS) != 0)
            result = ZR_E_DHCP_STOP;
        zr_os_process_close(dhcp_server);
        dhcp_server = nullptr;
    }
    zr_os_shared_unmap(dhcp_shared, zr_dhcp_count);
    zr_dhcp_count = nullptr;
    zr_os_shared_close(dhcp_shared);
    dhcp_shared = nullptr;
    zr_os_mutex_unlock(dhcp_mutex);
    zr_os_mutex_close(dhcp_mutex);
    dhcp_mutex = nullptr;
    return result;
}

} // extern "C"
