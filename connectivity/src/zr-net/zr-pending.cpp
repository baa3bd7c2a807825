/*
 * zr-pending.cpp -- entry points whose modules are not in this build yet.
 *
 * Each answers with the failure its family reports when the service is unavailable, so a
 * caller written against the full interface links and fails cleanly.
 */
#include "zr-internal.h"

#include <cerrno>

extern "C" {

int KQ_ZR_en_init(void) { return ZR_E_SOCKET; }
int KQ_ZR_en_next(int, zr_enum_rec *) { return ZR_E_HANDLE; }
int KQ_ZR_en_enum(int, zr_enum_rec *) { return ZR_E_HANDLE; }
int KQ_ZR_en_done(int) { return ZR_E_HANDLE; }
int KQ_ZR_en_ping(uint32_t) { return ZR_E_SOCKET; }

int KQ_ZR_dhcp_init(const char *, const char *) { return ZR_E_DHCP_SHARE; }
int KQ_ZR_dhcp_cleanup(void) { return ZR_E_DHCP_SHARE; }

int KQ_ZR_fm_dirinit(uint32_t, const char *) { return ZR_E_SOCKET; }
int KQ_ZR_fm_direnum(int, char *, int, zr_attr *) { return ZR_E_HANDLE; }
int KQ_ZR_fm_dirdone(int) { return ZR_E_HANDLE; }
int KQ_ZR_fm_dirattr(uint32_t, const char *, zr_attr *) { return ZR_E_SOCKET; }
int KQ_ZR_fm_fileop(uint32_t, unsigned, const char *, const char *) { return ZR_E_OPERATION; }
int KQ_ZR_fm_xfer(uint32_t, int, const char *, const char *, uint32_t, zr_xfer_progress, uint16_t)
{
    return ZR_E_OPERATION;
}
int KQ_ZR_os_upg(uint32_t, const char *, const char *, zr_os_progress) { return ZR_E_COMMAND; }

int utf8open(const char *, int) { errno = ENOSYS; return -1; }
int utf8creat(const char *, int) { errno = ENOSYS; return -1; }
int utf8read(int, void *, unsigned) { errno = ENOSYS; return -1; }
int utf8write(int, const void *, unsigned) { errno = ENOSYS; return -1; }
int utf8close(int) { errno = ENOSYS; return -1; }
int utf8rename(const char *, const char *) { errno = ENOSYS; return -1; }
int utf8unlink(const char *) { errno = ENOSYS; return -1; }
int utf8stat(const char *, struct stat *) { errno = ENOSYS; return -1; }

int KQ_ZR_pol_init(const char *) { return -1; }
int KQ_ZR_pol_mung(char *, const char *, int, int) { return -1; }
int zr_rename(const char *, const char *) { errno = ENOSYS; return -1; }

} // extern "C"
