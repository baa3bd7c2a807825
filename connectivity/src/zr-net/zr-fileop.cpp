/*
 * zr-fileop.cpp -- file operations on the handheld.
 *
 * Not built yet: every entry point fails cleanly with the code its family uses when the
 * service is unavailable.
 */
#include "zr-internal.h"

extern "C" {

int KQ_ZR_fm_fileop(uint32_t, unsigned, const char *, const char *) { return ZR_E_OPERATION; }

} // extern "C"
