/*
 * zr-dhcp.cpp -- control of the DHCP server program shared between processes.
 *
 * Not built yet: every entry point fails cleanly with the code its family uses when the
 * service is unavailable.
 */
#include "zr-internal.h"

extern "C" {

int KQ_ZR_dhcp_init(const char *, const char *) { return ZR_E_DHCP_SHARE; }
int KQ_ZR_dhcp_cleanup(void) { return ZR_E_DHCP_SHARE; }

} // extern "C"
