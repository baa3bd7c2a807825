/* A plain C caller of the link library: compiled as C, against zr-net.h alone. */
#include "zr-net.h"

#include <stdio.h>
#include <string.h>

int main(void) {
  zr_info info;
  int32_t v = 0;
  zr_tune tune = {100, 200}, loaded = {7, 7};
  zr_stat stat = {1, 1, 1, 1};
  char out[64];
  uint8_t serial[8] = {9, 9, 9, 9, 9, 9, 9, 9};
  static const uint8_t default_serial[8] = {1, 2, 3, 4, 0, 0, 0, 0};
  int n;

  /* The host's serial reads as the default even before anything else filled the record. */
  if (KQ_ZR_sl_serno(serial) != 0 || memcmp(serial, default_serial, 8) != 0) return 9;
  if (strcmp(zr_err(13), "permission denied") != 0) return 1;
  if (zr_p_long(&v, " 42") != 3 || v != 42) return 2;
  /* A fresh process has counted nothing, before its first start too, and its library-wide
   * time-outs are {0, 0}: no limit. */
  if (KQ_ZR_sl_stat(1, &stat) != 0 || stat.xpay0 != 0 || stat.xpay1 != 0 || stat.rpay0 != 0 || stat.rpay1 != 0)
    return 10;
  if (KQ_ZR_sl_tune(1, &loaded) != 0 || loaded.rtime != 0 || loaded.xtime != 0) return 11;
  if (KQ_ZR_1b_init() != 0) return 3;
  memset(&info, 0, sizeof info);
  if (KQ_ZR_sl_info(1, &info) != 0 || info.addr != 0x7F000001u) return 4;
  n = zr_struct(out, zr_fld_ret_tun(), &tune);
  if (n != 20 || memcmp(out, "rtime=100\nxtime=200\n", 20) != 0) return 5;
  if (sizeof(zr_reader) < 1536 || sizeof(zr_info) != 120) return 6;
  if (KQ_ZR_1b_done() != 0) return 7;
  stat.xpay0 = stat.xpay1 = stat.rpay0 = stat.rpay1 = 1;
  if (KQ_ZR_sl_stat(1, &stat) != 0 || stat.xpay0 != 0 || stat.xpay1 != 0 || stat.rpay0 != 0 || stat.rpay1 != 0)
    return 8;
  printf("C client linked against zr-net: ok\n");
  return 0;
}
