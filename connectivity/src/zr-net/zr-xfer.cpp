/*
 * zr-xfer.cpp -- file transfer between host and handheld.
 *
 * Not built yet: every entry point fails cleanly with the code its family uses when the
 * service is unavailable.
 */
#include "zr-internal.h"

extern "C" {

int KQ_ZR_fm_xfer(uint32_t, int, const char *, const char *, uint32_t, zr_xfer_progress, uint16_t)
{
    return ZR_E_OPERATION;
}

} // extern "C"
