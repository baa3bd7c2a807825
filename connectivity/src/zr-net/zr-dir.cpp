/*
 * zr-dir.cpp -- listings and attributes of handheld folders.
 *
 * Not built yet: every entry point fails cleanly with the code its family uses when the
 * service is unavailable.
 */
#include "zr-internal.h"

extern "C" {

int KQ_ZR_fm_dirinit(uint32_t, const char *) { return ZR_E_SOCKET; }
int KQ_ZR_fm_direnum(int, char *, int, zr_attr *) { return ZR_E_HANDLE; }
int KQ_ZR_fm_dirdone(int) { return ZR_E_HANDLE; }
int KQ_ZR_fm_dirattr(uint32_t, const char *, zr_attr *) { return ZR_E_SOCKET; }

} // extern "C"
