/*
 * zr-policy.cpp -- the storage policy read from "policy.dat".
 *
 * Not built yet: every entry point fails cleanly with the code its family uses when the
 * service is unavailable.
 */
#include "zr-internal.h"

extern "C" {

int KQ_ZR_pol_init(const char *) { return -1; }
int KQ_ZR_pol_mung(char *, const char *, int, int) { return -1; }

} // extern "C"
