/*
 * zr-demo -- a small caller of the link library: reads a handheld's info record, its
 * traffic statistics and its screen image, and prints them.  It probes the handheld
 * first, and with a DHCP folder it also starts the DHCP server program from there for the
 * time of the run (the last user's clean-up terminates it).
 *
 * Usage: zr-demo [ADDRESS [DHCP-FOLDER]]   (default 127.0.0.1, where the simulator listens)
 */
#include "zr-net.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void print_bytes(const char *label, const uint8_t *b, int n, const char *sep) {
  int i;
  printf("  %-8s ", label);
  for (i = 0; i < n; ++i) printf("%s%u", i ? sep : "", b[i]);
  printf("\n");
}

static void print_addr(const char *label, uint32_t a) {
  printf("  %-8s %u.%u.%u.%u\n", label, a >> 24, (a >> 16) & 255, (a >> 8) & 255, a & 255);
}

static const char *dhcp_folder = NULL;

static int fail(const char *what, int code) {
  fprintf(stderr, "zr-demo: %s failed with %d (system error %d: %s)\n", what, code, KQ_ZR_errno(),
          zr_err(KQ_ZR_errno()));
  if (dhcp_folder != NULL) KQ_ZR_dhcp_cleanup();
  KQ_ZR_1b_done();
  return 1;
}

int main(int argc, char **argv) {
  const char *text = argc > 1 ? argv[1] : "127.0.0.1";
  uint32_t addr = 0;
  zr_tune tune = {5000, 5000};
  zr_info info;
  zr_stat st;
  unsigned char *image;
  int expected, got, r;

  if (zr_p_addr(&addr, text) == 0) {
    fprintf(stderr, "zr-demo: cannot resolve %s\n", text);
    return 2;
  }
  if (KQ_ZR_1b_init() != 0) return fail("starting the socket layer", ZR_E_SOCKET);
  KQ_ZR_sl_tune(2, &tune);

  if (argc > 2) {
    /* The stand-in server ends by itself should this run be killed before its clean-up. */
    r = KQ_ZR_dhcp_init(argv[2], "--max-seconds 600");
    if (r < 0) return fail("starting the DHCP server", r);
    dhcp_folder = argv[2];
    printf("DHCP server: running from %s\n", dhcp_folder);
  }

  r = KQ_ZR_en_ping(addr);
  printf("probe of %s: %s (%d)\n", text,
         r == 0    ? "the handheld answers"
         : r == -1 ? "no answer"
         : r == -2 ? "a foreign answer"
                   : "failed",
         r);

  r = KQ_ZR_sr_info(addr, 1, &info);
  if (r < 0) return fail("info", r);
  printf("handheld at %s\n", text);
  printf("  %-8s %.8s\n", "name", info.name);
  printf("  %-8s %.24s\n", "eid", info.eid);
  print_addr("addr", info.addr);
  print_addr("mask", info.mask);
  printf("  %-8s total %lu, available %lu, missing for OS %lu bytes\n", "disk", (unsigned long)info.disk[0],
         (unsigned long)info.disk[1], (unsigned long)info.disk[2]);
  printf("  %-8s %lu, %lu\n", "ram", (unsigned long)info.ram[0], (unsigned long)info.ram[1]);
  printf("  %-8s %u x %u, %u bits per pixel (%lu bytes)\n", "screen", info.sgeo[1], info.sgeo[0], info.sgeo[2],
         (unsigned long)info.scrn);
  printf("  %-8s %u%%\n", "battery", info.bat[0]);
  printf("  %-8s %u\n", "ready", info.ready[0]);
  print_bytes("serial", info.ser, 8, " ");
  print_bytes("ver", info.ver, 4, ".");
  print_bytes("b1v", info.b1v, 4, ".");
  print_bytes("b2v", info.b2v, 4, ".");
  print_bytes("hwv", info.hwv, 4, ".");

  r = KQ_ZR_sr_stat(addr, 1, &st);
  if (r < 0) return fail("stat", r);
  printf("handheld statistics: %lu bytes in %lu sends, %lu bytes in %lu receives\n", (unsigned long)st.xpay0,
         (unsigned long)st.xpay1, (unsigned long)st.rpay0, (unsigned long)st.rpay1);

  expected = (int)info.sgeo[0] * info.sgeo[1] * info.sgeo[2] / 8;
  image = malloc(expected > 0 ? (size_t)expected : 1);
  if (image == NULL) return fail("allocating the image buffer", ZR_E_SOCKET);
  got = KQ_ZR_sr_scrn(addr, image, 0, expected);
  free(image);
  if (got < 0) return fail("scrn", got);
  printf("screen image: %d of %d bytes\n", got, expected);

  KQ_ZR_sl_stat(1, &st);
  printf("host statistics: %lu bytes in %lu sends, %lu bytes in %lu receives\n", (unsigned long)st.xpay0,
         (unsigned long)st.xpay1, (unsigned long)st.rpay0, (unsigned long)st.rpay1);
  if (dhcp_folder != NULL) {
    r = KQ_ZR_dhcp_cleanup();
    dhcp_folder = NULL;
    if (r < 0) return fail("stopping the DHCP server", r);
    printf("DHCP server: stopped\n");
  }
  KQ_ZR_1b_done();
  return 0;
}
