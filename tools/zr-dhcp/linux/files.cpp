// files.cpp -- reading, replacing and locking the service's files (POSIX).
#include "dhcp-os.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace zrdhcp {

namespace {

int read_all(int fd, std::string *text) {
  text->clear();
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    text->append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

int read_text_file(const std::string &path, std::string *text) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = read_all(fd, text);
  close(fd);
  return err;
}

int read_regular_file(const std::string &path, std::string *text) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  int err = fstat(fd, &st) != 0 ? errno : S_ISREG(st.st_mode) ? read_all(fd, text) : EINVAL;
  close(fd);
  return err;
}

int write_file_atomically(const std::string &path, const std::string &text) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string temp = path + ".new.XXXXXX";
  int fd = mkostemp(&temp[0], O_CLOEXEC);  // O_CREAT | O_EXCL: never an existing file or link
  if (fd < 0) return errno;
  int err = fchmod(fd, 0644) != 0 ? errno : 0;
  size_t done = 0;
  while (err == 0 && done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      err = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temp.c_str());
    return err;
  }
  // The rename itself lasts only once the folder is on disk.
  int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return errno;
  err = fsync(dir) != 0 ? errno : 0;
  close(dir);
  return err;
}

int lock_file(const std::string &path, OsHandle *fd, long *holder) {
  *holder = 0;
  int f = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (f < 0) return errno;
  struct stat st;
  if (fstat(f, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(f);
    return EINVAL;
  }
  struct flock lk {};
  lk.l_type = F_WRLCK;
  lk.l_whence = SEEK_SET;
  if (fcntl(f, F_SETLK, &lk) != 0) {
    int e = errno;
    if (e == EAGAIN || e == EACCES) {
      struct flock who {};
      who.l_type = F_WRLCK;
      who.l_whence = SEEK_SET;
      if (fcntl(f, F_GETLK, &who) == 0 && who.l_type != F_UNLCK) *holder = who.l_pid;
      e = EWOULDBLOCK;
    }
    close(f);
    return e;
  }
  fchmod(f, 0644);  // whatever the umask; the lock holds without it
  std::string pid = std::to_string(getpid()) + "\n";
  // The note of who holds it is for people; the lock holds without it.
  if (ftruncate(f, 0) == 0) {
    ssize_t n = write(f, pid.data(), pid.size());
    (void)n;
  }
  *fd = f;
  return 0;
}

int lock_held(const std::string &path, bool *held) {
  *held = false;
  int f = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (f < 0) return errno;
  struct flock lk {};
  lk.l_type = F_WRLCK;
  lk.l_whence = SEEK_SET;
  *held = fcntl(f, F_GETLK, &lk) == 0 && lk.l_type != F_UNLCK;
  close(f);
  return 0;
}

bool path_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

int remove_file(const std::string &path) { return unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : errno; }

int make_folder(const std::string &path) { return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST ? 0 : errno; }

void close_handle(OsHandle handle) {
  if (handle >= 0) close(static_cast<int>(handle));
}

}  // namespace zrdhcp
