/*
 * zr-osupg.cpp -- the operating-system upgrade request.
 *
 * Not built yet: every entry point fails cleanly with the code its family uses when the
 * service is unavailable.
 */
#include "zr-internal.h"

extern "C" {

int KQ_ZR_os_upg(uint32_t, const char *, const char *, zr_os_progress) { return ZR_E_COMMAND; }

} // extern "C"
