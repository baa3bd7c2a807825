/*
 * zr-rename.cpp -- host file rename.
 *
 * Not built yet: every entry point fails cleanly with the code its family uses when the
 * service is unavailable.
 */
#include "zr-internal.h"

#include <cerrno>

extern "C" {

int zr_rename(const char *, const char *) { errno = ENOSYS; return -1; }

} // extern "C"
