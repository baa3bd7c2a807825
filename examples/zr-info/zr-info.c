/* zr-info.c -- an example program of the link library: prints an attached handheld's name,
 * serial text and battery level.  It builds against the installed files only:
 *
 *   cc zr-info.c $(pkg-config --cflags --libs zr-net) -o zr-info
 *   cmake -S . -B build && cmake --build build          (CMakeLists.txt beside it)
 *
 * Usage: zr-info ADDRESS        e.g. zr-info 172.16.0.2
 */
#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <zr-net.h>

#if ZR_NET_VERSION_MAJOR != 0
#error "written for zr-net 0.x"
#endif

int main(int argc, char **argv) {
  struct in_addr a;
  if (argc != 2 || inet_pton(AF_INET, argv[1], &a) != 1) {
    fprintf(stderr, "usage: zr-info ADDRESS\n");
    return 2;
  }
  if (KQ_ZR_1b_init() < 0) {
    fprintf(stderr, "zr-info: the link library did not start\n");
    return 1;
  }
  zr_info info;
  memset(&info, 0, sizeof info);
  int r = KQ_ZR_sr_info(ntohl(a.s_addr), 1, &info);
  if (r < 0) {
    fprintf(stderr, "zr-info: %s: %s (%d)\n", argv[1], zr_err(r), r);
    KQ_ZR_1b_done();
    return 1;
  }
  printf("name     %.*s\n", (int)sizeof info.name, info.name);
  printf("serial   %.*s\n", (int)sizeof info.eid, info.eid);
  printf("battery  %d%%\n", (int)info.bat[0]);
  printf("library  %d.%d.%d\n", ZR_NET_VERSION_MAJOR, ZR_NET_VERSION_MINOR, ZR_NET_VERSION_PATCH);
  KQ_ZR_1b_done();
  return 0;
}
