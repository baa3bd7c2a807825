/*
 * zr-enum.cpp -- discovery: candidates from the host's interfaces and the liveness probe.
 *
 * Not built yet: every entry point fails cleanly with the code its family uses when the
 * service is unavailable.
 */
#include "zr-internal.h"

extern "C" {

int KQ_ZR_en_init(void) { return ZR_E_SOCKET; }
int KQ_ZR_en_next(int, zr_enum_rec *) { return ZR_E_HANDLE; }
int KQ_ZR_en_enum(int, zr_enum_rec *) { return ZR_E_HANDLE; }
int KQ_ZR_en_done(int) { return ZR_E_HANDLE; }
int KQ_ZR_en_ping(uint32_t) { return ZR_E_SOCKET; }

} // extern "C"
