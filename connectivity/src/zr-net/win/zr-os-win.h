/*
 * zr-os-win.h -- what the files of the Win32 backend share: the system headers and the
 * translation of Win32 error codes into the runtime's errno values, where zr_os_errno()
 * reads them, so that the library sees the same numbers on every platform.
 *
 * The backend's files, one per block of zr-os.h: zr-os-win-sockets.cpp (socket layer,
 * interface list, time), zr-os-win-objects.cpp (named mutex and shared memory),
 * zr-os-win-process.cpp (processes), zr-os-win-files.cpp (host files).
 */
#ifndef ZR_OS_WIN_H
#define ZR_OS_WIN_H

#ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cerrno>

#include "../zr-os.h"

namespace zr_win {

inline int errno_of_win32(DWORD e)
{
    switch (e) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER: return e == ERROR_INVALID_PARAMETER ? EINVAL : ENOENT;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_NOT_SAME_DEVICE: return EXDEV;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return EACCES;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_INSUFFICIENT_BUFFER: return ERANGE;
    default: return EIO;
    }
}

/* The last Win32 error into errno; returns -1 for the caller's convenience. */
inline int win32_fail()
{
    errno = errno_of_win32(GetLastError());
    return -1;
}

} // namespace zr_win

#endif /* ZR_OS_WIN_H */
