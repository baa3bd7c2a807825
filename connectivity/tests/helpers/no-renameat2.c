/* no-renameat2.c -- preloaded by one test: renameat2 fails with EINVAL whatever it is asked, as
 * it does on file systems without the no-replace rename (some network file systems), so that
 * the library's moves take the way they have for those. */
#define _GNU_SOURCE
#include <errno.h>

int renameat2(int olddirfd, const char *oldpath, int newdirfd, const char *newpath, unsigned int flags) {
  (void)olddirfd;
  (void)oldpath;
  (void)newdirfd;
  (void)newpath;
  (void)flags;
  errno = EINVAL;
  return -1;
}
