/*
 * zr-utf8.cpp -- host files by UTF-8 name.
 *
 * Not built yet: every entry point fails cleanly with the code its family uses when the
 * service is unavailable.
 */
#include "zr-internal.h"

#include <cerrno>

extern "C" {

int utf8open(const char *, int) { errno = ENOSYS; return -1; }
int utf8creat(const char *, int) { errno = ENOSYS; return -1; }
int utf8read(int, void *, unsigned) { errno = ENOSYS; return -1; }
int utf8write(int, const void *, unsigned) { errno = ENOSYS; return -1; }
int utf8close(int) { errno = ENOSYS; return -1; }
int utf8rename(const char *, const char *) { errno = ENOSYS; return -1; }
int utf8unlink(const char *) { errno = ENOSYS; return -1; }
int utf8stat(const char *, struct stat *) { errno = ENOSYS; return -1; }

} // extern "C"
