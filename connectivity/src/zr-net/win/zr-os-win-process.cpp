/*
 * zr-os-win-process.cpp -- the Win32 backend of the seam's processes (DHCP service control):
 * the Toolhelp32 process snapshot, CreateProcess and TerminateProcess.
 */
#include "zr-os-win.h"

#include <tlhelp32.h>

#include <cstring>

using namespace zr_win;

struct zr_os_process {
    HANDLE h;
};

extern "C" {

/* ---- processes ----------------------------------------------------------------------- */

int zr_os_process_walk(zr_os_process_visit visit, void *ctx)
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return win32_fail();
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    int result = 0;
    BOOL more = Process32First(snap, &entry);
    if (!more && GetLastError() != ERROR_NO_MORE_FILES)
        result = win32_fail();
    while (more) {
        if (visit(ctx, static_cast<long>(entry.th32ProcessID), entry.szExeFile) != 0) {
            result = 1;
            break;
        }
        entry.dwSize = sizeof entry;
        more = Process32Next(snap, &entry);
        if (!more && GetLastError() != ERROR_NO_MORE_FILES)
            result = win32_fail();
    }
    CloseHandle(snap);
    return result;
}

zr_os_process *zr_os_process_open(long pid)
{
    if (pid <= 0) {
        errno = ESRCH;
        return nullptr;
    }
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                           FALSE, static_cast<DWORD>(pid));
    if (h == nullptr) {
        win32_fail();
        return nullptr;
    }
    auto *p = static_cast<zr_os_process *>(zr_os_alloc(sizeof(zr_os_process), "process"));
    if (p == nullptr) {
        CloseHandle(h);
        return nullptr;
    }
    p->h = h;
    return p;
}

zr_os_process *zr_os_process_start(const char *program, const char *command_line)
{
    if (program == nullptr || command_line == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    /* CreateProcess may write into the command line. */
    size_t length = std::strlen(command_line);
    auto *line = static_cast<char *>(zr_os_alloc(length + 1, "arguments"));
    if (line == nullptr)
        return nullptr;
    std::memcpy(line, command_line, length + 1);
    STARTUPINFOA si;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    std::memset(&pi, 0, sizeof pi);
    BOOL ok =
        CreateProcessA(program, line, nullptr, nullptr, FALSE,
                       CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi);
    if (!ok)
        win32_fail();
    int saved = errno;
    zr_os_free(line);
    errno = saved;
    if (!ok)
        return nullptr;
    CloseHandle(pi.hThread);
    auto *p = static_cast<zr_os_process *>(zr_os_alloc(sizeof(zr_os_process), "process"));
    if (p == nullptr) {
        /* Without a handle the new process could never be ended by the library. */
        TerminateProcess(pi.hProcess, 1);
        WaitForSingleObject(pi.hProcess, 1000);
        CloseHandle(pi.hProcess);
        errno = ENOMEM;
        return nullptr;
    }
    p->h = pi.hProcess;
    return p;
}

int zr_os_process_alive(zr_os_process *p)
{
    if (p == nullptr)
        return -1;
    DWORD r = WaitForSingleObject(p->h, 0);
    if (r == WAIT_TIMEOUT)
        return 1;
    if (r == WAIT_OBJECT_0)
        return 0;
    return win32_fail();
}

int zr_os_process_terminate(zr_os_process *p, unsigned ms)
{
    if (p == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (WaitForSingleObject(p->h, 0) == WAIT_OBJECT_0)
        return 0; /* already gone */
    if (!TerminateProcess(p->h, 1)) {
        int saved = errno_of_win32(GetLastError());
        if (WaitForSingleObject(p->h, 0) == WAIT_OBJECT_0)
            return 0; /* it ended in between */
        errno = saved;
        return -1;
    }
    WaitForSingleObject(p->h, ms);
    return 0;
}

void zr_os_process_close(zr_os_process *p)
{
    if (p == nullptr)
        return;
    CloseHandle(p->h);
    zr_os_free(p);
}

} // extern "C"
