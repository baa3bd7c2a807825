// cmd-files.cpp -- the file-system commands of the simulated handheld, on its storage
// folder (sim-files.h):
//   dir PATH         "0", then per entry: the name line, attribute lines, an empty line
//   attr PATH        "0", attribute lines, an empty line
//   fdel PATH        delete a file
//   copy FROM TO     copy a file to a new name
//   move FROM TO     rename or move a file or folder to a new name
//   mkdir PATH       create a folder
//   rmdir PATH       remove an empty folder
// Paths arrive escaped ("\ " a space, "\\" a backslash).  The last four answer the status
// line alone.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "sim-commands.h"
#include "sim-files.h"

namespace zrsim {

namespace {

// The request's path arguments; false when there are not exactly `count`.
bool path_args(const Exchange &ex, size_t count, std::vector<std::string> &paths) {
  std::vector<std::string> words = split_escaped(ex.text);
  if (words.size() != count + 1) return false;
  paths.assign(words.begin() + 1, words.end());
  return true;
}

// The one path argument of a command, resolved in the storage folder: kStatusOk, or the
// status to answer.
int resolve_one(const Exchange &ex, Resolved &r) {
  std::vector<std::string> p;
  if (!path_args(ex, 1, p)) return kStatusBadArguments;
  return resolve_path(ex.state.files.storage, p[0], r);
}

// The two path arguments of a command that takes a file from one name to another: `from`
// must exist and pass `may_go` (kStatusOk, or the status to answer), checked before `to`,
// which must not exist.  kStatusOk, or the status to answer.
int resolve_from_to(const Exchange &ex, Resolved &from, Resolved &to, int (*may_go)(const Resolved &from)) {
  std::vector<std::string> p;
  if (!path_args(ex, 2, p)) return kStatusBadArguments;
  int status = resolve_path(ex.state.files.storage, p[0], from);
  if (status != kStatusOk) return status;
  if (!from.exists) return kStatusNotFound;
  if ((status = may_go(from)) != kStatusOk) return status;
  status = resolve_path(ex.state.files.storage, p[1], to);
  if (status != kStatusOk) return status;
  return to.exists ? kStatusExists : kStatusOk;
}

bool listable(const std::string &name) {
  if (name == "." || name == ".." || name.rfind(kPartPrefix, 0) == 0) return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F) return false;  // it could not travel on one line
  return true;
}

std::string folder_of(const std::string &host) { return host.substr(0, host.rfind('/')); }

// A new file in `folder` for content that is not complete yet (never listed).
std::string part_name(const std::string &folder, const Exchange &ex, const char *what) {
  static unsigned counter = 0;
  return folder + "/" + kPartPrefix + what + "-" + std::to_string(getpid()) + "-" + std::to_string(ex.connection) +
         "-" + std::to_string(__atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED));
}

// Renames without ever replacing an existing target.
int rename_new(const std::string &from, const std::string &to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  struct stat st {};
  if (lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return -1;
  }
  return rename(from.c_str(), to.c_str());
}

int copy_file(const std::string &from, const std::string &to, const std::string &part) {
  int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return status_of_errno(errno);
  int out = open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (out < 0) {
    int e = errno;
    close(in);
    return status_of_errno(e);
  }
  std::vector<char> buf(65536);
  int status = 0;
  while (status == 0) {
    ssize_t n = read(in, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) break;
    if (n < 0) {
      status = status_of_errno(errno);
      break;
    }
    for (ssize_t done = 0; done < n && status == 0;) {
      ssize_t w = write(out, buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0)
        status = status_of_errno(w < 0 ? errno : ENOSPC);
      else
        done += w;
    }
  }
  close(in);
  if (close(out) != 0 && status == 0) status = status_of_errno(errno);
  if (status == 0 && rename_new(part, to) != 0) status = status_of_errno(errno);
  if (status != 0) unlink(part.c_str());
  return status;
}

bool inside(const Resolved &inner, const Resolved &outer) {
  return inner.parts.size() >= outer.parts.size() &&
         std::equal(outer.parts.begin(), outer.parts.end(), inner.parts.begin());
}

}  // namespace

Reply handle_dir(Exchange &ex) {
  Resolved r;
  if (int status = resolve_one(ex, r); status != kStatusOk) return status_line(status);
  if (!r.exists) return status_line(kStatusNotFound);
  if (!r.is_dir) return status_line(kStatusWrongKind);
  DIR *d = opendir(r.host.c_str());
  if (!d) return status_line(status_of_errno(errno));
  std::vector<std::string> names;
  while (dirent *e = readdir(d))
    if (listable(e->d_name)) names.push_back(e->d_name);
  closedir(d);
  std::sort(names.begin(), names.end());
  std::string reply = status_line(kStatusOk);
  for (const std::string &name : names) {
    struct stat st {};
    if (lstat((r.host + "/" + name).c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) continue;  // links and the like are not served
    reply += name + "\n" + attribute_lines(st) + "\n";
  }
  return reply;
}

Reply handle_attr(Exchange &ex) {
  Resolved r;
  if (int status = resolve_one(ex, r); status != kStatusOk) return status_line(status);
  if (!r.exists) return status_line(kStatusNotFound);
  return status_line(kStatusOk) + attribute_lines(r.st) + "\n";
}

Reply handle_fdel(Exchange &ex) {
  Resolved r;
  if (int status = resolve_one(ex, r); status != kStatusOk) return status_line(status);
  if (!r.exists) return status_line(kStatusNotFound);
  if (r.parts.empty()) return status_line(kStatusNotAllowed);
  if (r.is_dir) return status_line(kStatusWrongKind);
  if (unlink(r.host.c_str()) != 0) return status_line(status_of_errno(errno));
  return status_line(kStatusOk);
}

Reply handle_mkdir(Exchange &ex) {
  Resolved r;
  if (int status = resolve_one(ex, r); status != kStatusOk) return status_line(status);
  if (r.exists) return status_line(kStatusExists);
  if (mkdir(r.host.c_str(), 0755) != 0) return status_line(status_of_errno(errno));
  return status_line(kStatusOk);
}

Reply handle_rmdir(Exchange &ex) {
  Resolved r;
  if (int status = resolve_one(ex, r); status != kStatusOk) return status_line(status);
  if (!r.exists) return status_line(kStatusNotFound);
  if (r.parts.empty()) return status_line(kStatusNotAllowed);
  if (!r.is_dir) return status_line(kStatusWrongKind);
  // A folder holding only an unfinished transfer is still in use.
  if (rmdir(r.host.c_str()) != 0) return status_line(status_of_errno(errno));
  return status_line(kStatusOk);
}

Reply handle_copy(Exchange &ex) {
  Resolved from, to;
  int status = resolve_from_to(ex, from, to, [](const Resolved &f) { return f.is_dir ? kStatusWrongKind : kStatusOk; });
  if (status != kStatusOk) return status_line(status);
  return status_line(copy_file(from.host, to.host, part_name(folder_of(to.host), ex, "copy")));
}

Reply handle_move(Exchange &ex) {
  Resolved from, to;
  int status =
      resolve_from_to(ex, from, to, [](const Resolved &f) { return f.parts.empty() ? kStatusNotAllowed : kStatusOk; });
  if (status != kStatusOk) return status_line(status);
  if (from.is_dir && inside(to, from)) return status_line(kStatusWrongKind);
  if (rename_new(from.host, to.host) != 0) return status_line(status_of_errno(errno));
  return status_line(kStatusOk);
}

}  // namespace zrsim
