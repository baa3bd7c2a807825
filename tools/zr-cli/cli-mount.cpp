// cli-mount.cpp -- zrlink mount: the handheld's storage as a folder through FUSE.
//
// The handheld only lists folders, sends and takes whole files, and runs the five file
// operations, so the folder works like this:
//   - attributes (size, time, folder or file) come from the listing of the parent folder,
//     which is kept for kListingLife and forgotten at once after a change made here; a
//     listing has no end marker, so before a file that it does not show is made, an
//     attribute request confirms that the handheld has none;
//   - a file opened for reading is fetched whole into a private cache folder, and served
//     from there; it is fetched again only when its size or time in the listing changed;
//   - writes go to the cached copy, which is sent whole when the last descriptor that
//     wrote it is closed (that close returns once the handheld has stored it, or with the
//     error) and on fsync; a copy that could not be sent is kept, and at the unmount saved
//     under the user's state folder and named;
//   - mkdir, rmdir, unlink and rename are the handheld's mkdir, rmdir, fdel and move; a
//     rename over a file moves the old one aside until the new one is in place.
// Open files are served from their handle (fi->fh), never from the path: a file removed
// or renamed while open keeps working.  There are no links, no permissions (chmod and chown
// succeed only when they change nothing; utimens is accepted and leaves the handheld's
// time) and no partial writes.
//
// The link library is used from one thread at a time, so the file system runs
// single-threaded (-s).  Every library call is bounded by the file-service time-outs; a
// handheld that stops answering or is unplugged gives EIO.
#include "cli.h"

#if defined(ZRLINK_WITH_FUSE)

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <fuse_lowlevel.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace zrcli {

namespace {

using Clock = std::chrono::steady_clock;

// How long a folder's listing is trusted before it is read again.
const std::chrono::seconds kListingLife(2);

// A folder's listing, or the failure of the last try: a handheld that stopped answering
// costs one time-out, not one for every call that the kernel makes for one command.
struct Listing {
  Clock::time_point when;
  int result = 0;
  std::vector<Entry> entries;
};

// A handheld file's copy in the cache folder.  Open handles share it with the path it is
// kept under, so that it follows a rename and outlives a removal.
struct Cached {
  std::string path;   // the handheld path (follows renames)
  std::string local;  // the cache file
  bool have = false;  // local holds the handheld's file as of size and time below
  uint32_t size = 0, time = 0;
  bool dirty = false;       // changed here and not yet sent
  bool on_handheld = true;  // false: made here and not sent yet (the handheld has no such file)
  bool removed = false;     // removed or replaced here: nothing is sent any more
  int error = 0;            // the result code of the last send that failed, 0 after one that worked
  int opens = 0;            // open handles
  int writers = 0;          // open handles that wrote
};
using CachedPtr = std::shared_ptr<Cached>;

// What fi->fh points at: one open of a file.  Every operation on an open file works from
// here, never from the path (a file removed while open has none).
struct Handle {
  int fd = -1;
  CachedPtr file;
  bool wrote = false;  // this handle changed the copy (written, truncated, created)
  bool tried = false;  // a send was tried since its last change (and its result given)
};

struct State {
  uint32_t addr = 0;
  std::string cache_dir;
  unsigned next_id = 0;
  std::map<std::string, Listing> listings;
  std::map<std::string, CachedPtr> files;
  std::set<Handle *> handles;  // open (those still open at the unmount are freed then)
};

// The one mount of the process (the file system runs single-threaded).
State *g_state = nullptr;

State &state() { return *g_state; }

Handle &handle_of(const struct fuse_file_info *fi) {
  return *reinterpret_cast<Handle *>(static_cast<uintptr_t>(fi->fh));
}

// Whether the mount serves from the background, where standard error is /dev/null.
bool g_background = false;

// A message of the mount's own ("zrlink: mount: " and a line): on standard error, and in
// the background in the system log too.
void tell(const char *format, ...) __attribute__((format(printf, 1, 2)));
void tell(const char *format, ...) {
  char text[2048];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  std::fprintf(stderr, "zrlink: mount: %s\n", text);
  if (g_background) syslog(LOG_WARNING, "%s", text);
}

// The errno for a result code; wrong_kind for the handheld's "wrong kind".
int error_of(int code, int wrong_kind = EISDIR) {
  switch (code) {
    case kNotFound: return ENOENT;
    case kExists: return EEXIST;
    case kWrongKind: return wrong_kind;
    case kNoRoom: return ENOSPC;
    case kNotAllowed: return EACCES;
    case kTooLong: return ENAMETOOLONG;
    default: return EIO;  // the transport, time-outs, a reply that makes no sense
  }
}

std::string parent_of(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string &path) { return path.substr(path.rfind('/') + 1); }

bool under(const std::string &path, const std::string &folder) {
  return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

// Forgets the listings of a folder and of everything below it.
void forget_listings(const std::string &folder) {
  auto &l = state().listings;
  for (auto it = l.begin(); it != l.end();)
    it = it->first == folder || under(it->first, folder) ? l.erase(it) : std::next(it);
}

// The folder's entries, from the listing kept or read now; 0 or a negative result code.
int listing(const std::string &folder, const std::vector<Entry> **out) {
  State &s = state();
  auto it = s.listings.find(folder);
  if (it != s.listings.end() && Clock::now() - it->second.when < kListingLife) {
    *out = &it->second.entries;
    return it->second.result;
  }
  std::vector<Entry> entries;
  int r = list_folder(s.addr, folder, &entries);
  Listing &l = s.listings[folder];
  l.when = Clock::now();
  l.result = r < 0 ? r : 0;
  l.entries.swap(entries);
  if (r < 0) l.entries.clear();
  *out = &l.entries;
  return l.result;
}

// The entry of a path in its folder's listing: 0, -ENOENT, or another negative errno.
int lookup(const std::string &path, zr_attr *attr) {
  const std::vector<Entry> *entries = nullptr;
  int r = listing(parent_of(path), &entries);
  if (r < 0) return -error_of(r, ENOTDIR);
  std::string name = name_of(path);
  for (const auto &e : *entries)
    if (e.name == name) {
      *attr = e.attr;
      return 0;
    }
  return -ENOENT;
}

// As lookup, for a step that would make the file when it is absent: a listing that the
// handheld cut off between two entries looks complete, so a path it does not show is asked
// after, and only the handheld's "not found" counts as absent.
int confirmed_lookup(const std::string &path, zr_attr *attr) {
  int r = lookup(path, attr);
  if (r != -ENOENT) return r;
  r = KQ_ZR_fm_dirattr(state().addr, path.c_str(), attr);
  if (r == kNotFound) return -ENOENT;
  if (r < 0) return -error_of(r, ENOTDIR);
  forget_listings(parent_of(path));  // that listing was short
  return 0;
}

void fill(struct stat *st, bool folder, uint64_t size, time_t time) {
  std::memset(st, 0, sizeof *st);
  st->st_mode = folder ? S_IFDIR | 0755 : S_IFREG | 0644;
  st->st_nlink = folder ? 2 : 1;
  st->st_uid = getuid();
  st->st_gid = getgid();
  st->st_size = static_cast<off_t>(size);
  st->st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
  st->st_atime = st->st_mtime = st->st_ctime = time;
}

// A cached file whose copy is the one to show: open, or changed and not sent.
const Cached *pending(const std::string &path) {
  auto &files = state().files;
  auto it = files.find(path);
  return it != files.end() && (it->second->dirty || it->second->opens > 0) ? it->second.get() : nullptr;
}

CachedPtr find_cached(const std::string &path) {
  auto &files = state().files;
  auto it = files.find(path);
  return it == files.end() ? nullptr : it->second;
}

CachedPtr cache_entry(const std::string &path) {
  State &s = state();
  CachedPtr &c = s.files[path];
  if (!c) {
    c = std::make_shared<Cached>();
    c->path = path;
    c->local = s.cache_dir + "/" + std::to_string(++s.next_id);
  }
  return c;
}

// Forgets a file's cached copy: it was removed or replaced here.  Handles still open keep
// reading and writing their copy, which is no longer sent.
void drop_cache(const std::string &path) {
  auto &files = state().files;
  auto it = files.find(path);
  if (it == files.end()) return;
  Cached &c = *it->second;
  c.removed = true;
  if (c.opens == 0) unlink(c.local.c_str());
  files.erase(it);
}

// Fetches the handheld's file into the copy unless the copy is that file already (same
// size and time).  0 or a negative errno.
int fetch(Cached &c, const zr_attr &a) {
  if (c.have && c.size == a.size && c.time == a.time) return 0;
  std::string part = c.local + ".part";
  int r = KQ_ZR_fm_xfer(state().addr, ZR_FM_GET, c.path.c_str(), part.c_str(), 0, nullptr, 0);
  // A handheld that sends another size than its listing shows is not believed: a copy of
  // the wrong size, written to and sent back, would replace the file with a broken one.
  struct stat got {};
  if (r == 0 && (stat(part.c_str(), &got) != 0 || static_cast<uint64_t>(got.st_size) != a.size)) {
    tell("%s: the handheld sent %lld bytes for a file listed with %u", c.path.c_str(),
         static_cast<long long>(got.st_size), a.size);
    r = ZR_E_SHORT;
  }
  if (r < 0 || rename(part.c_str(), c.local.c_str()) != 0) {
    unlink(part.c_str());
    c.have = false;
    return r < 0 ? -error_of(r) : -EIO;
  }
  c.have = true;
  c.size = a.size;
  c.time = a.time;
  return 0;
}

int empty_copy(Cached &c) {
  int fd = open(c.local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return -errno;
  close(fd);
  c.dirty = true;
  c.have = false;
  return 0;
}

// Sends a changed copy to the handheld.  0 or a negative errno; a copy that could not be
// sent stays changed (it is kept at the unmount if no later send takes it).
int send(Cached &c) {
  if (c.removed || !c.dirty) return 0;
  State &s = state();
  int r = KQ_ZR_fm_xfer(s.addr, ZR_FM_PUT, c.path.c_str(), c.local.c_str(), 0, nullptr, 0);
  forget_listings(parent_of(c.path));
  if (r < 0) {
    c.error = r;
    return -error_of(r);
  }
  c.error = 0;
  c.dirty = false;
  c.on_handheld = true;
  // The handheld gives the file its own time: remember it, so that the copy is not
  // fetched back.
  zr_attr a{};
  c.have = KQ_ZR_fm_dirattr(s.addr, c.path.c_str(), &a) == 0;
  c.size = a.size;
  c.time = a.time;
  return 0;
}

// ---- the file system's operations -------------------------------------------------------

void *op_init(struct fuse_conn_info *, struct fuse_config *cfg) {
  cfg->attr_timeout = 1;
  cfg->entry_timeout = 1;
  cfg->negative_timeout = 0;
  cfg->hard_remove = 1;  // an open file that is removed is not renamed on the handheld
  // (FUSE then gives no path to the operations on it: they work from the handle)
  cfg->kernel_cache = 0;
  return fuse_get_context()->private_data;
}

int op_getattr(const char *p, struct stat *st, struct fuse_file_info *fi) {
  if (fi) {
    struct stat local;
    if (fstat(handle_of(fi).fd, &local) != 0) return -errno;
    fill(st, false, static_cast<uint64_t>(local.st_size), local.st_mtime);
    return 0;
  }
  std::string path = p;
  if (path == "/") {
    fill(st, true, 0, 0);
    return 0;
  }
  if (const Cached *c = pending(path)) {
    struct stat local;
    if (stat(c->local.c_str(), &local) != 0) return -EIO;
    fill(st, false, static_cast<uint64_t>(local.st_size), local.st_mtime);
    return 0;
  }
  zr_attr a{};
  int r = lookup(path, &a);
  if (r < 0) return r;
  fill(st, is_folder(a), a.size, static_cast<time_t>(a.time));
  return 0;
}

int op_readdir(const char *p, void *buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info *,
               enum fuse_readdir_flags) {
  if (!p) return -ENOENT;  // removed while open
  std::string path = p;
  const std::vector<Entry> *entries = nullptr;
  int r = listing(path, &entries);
  if (r < 0) return -error_of(r, ENOTDIR);
  filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  std::vector<std::string> seen;
  for (const auto &e : *entries) {
    struct stat st;
    fill(&st, is_folder(e.attr), e.attr.size, static_cast<time_t>(e.attr.time));
    filler(buf, e.name.c_str(), &st, 0, static_cast<fuse_fill_dir_flags>(0));
    seen.push_back(e.name);
  }
  // Files made here that have not reached the handheld yet.
  for (const auto &f : state().files) {
    std::string name = name_of(f.first);
    if (parent_of(f.first) == path && pending(f.first) && std::find(seen.begin(), seen.end(), name) == seen.end())
      filler(buf, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  }
  return 0;
}

// Opens the copy of a file, made current first unless it is in use (its copy is then the
// newest): emptied for O_TRUNC, kept when the handheld's size and time are those of the
// copy, else fetched.  `create`: the file is made when the handheld has none.
int open_copy(const std::string &path, int flags, bool create, struct fuse_file_info *fi) {
  CachedPtr c = cache_entry(path);
  bool truncate = (flags & O_TRUNC) != 0;
  int r = 0;
  if (!c->dirty && c->opens == 0) {
    zr_attr a{};
    r = create ? confirmed_lookup(path, &a) : lookup(path, &a);
    if (r == -ENOENT && create) {
      c->on_handheld = false;
      truncate = true;
      r = 0;
    } else if (r == 0 && is_folder(a)) {
      r = -EISDIR;
    } else if (r == 0 && create && (flags & O_EXCL)) {
      r = -EEXIST;
    } else if (r == 0) {
      c->on_handheld = true;
      if (!truncate) r = fetch(*c, a);  // a file that the listing missed is fetched, not replaced
    }
  }
  if (r == 0 && truncate) r = empty_copy(*c);
  int fd = r < 0 ? -1 : open(c->local.c_str(), O_RDWR | O_CLOEXEC);
  if (r == 0 && fd < 0) r = -errno;
  if (r < 0) {
    if (c->opens == 0 && !c->dirty) state().files.erase(path);
    return r;
  }
  Handle *h = new Handle;
  h->fd = fd;
  h->file = c;
  h->wrote = truncate;
  state().handles.insert(h);
  fi->fh = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h));
  ++c->opens;
  if (h->wrote) ++c->writers;
  return 0;
}

int op_open(const char *path, struct fuse_file_info *fi) { return open_copy(path, fi->flags, false, fi); }

int op_create(const char *path, mode_t, struct fuse_file_info *fi) { return open_copy(path, fi->flags, true, fi); }

int op_read(const char *, char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
  ssize_t n = pread(handle_of(fi).fd, buf, size, off);
  return n < 0 ? -errno : static_cast<int>(n);
}

// Marks the copy changed by this handle.
void changed(Handle &h) {
  h.file->dirty = true;
  h.tried = false;
  if (!h.wrote) {
    h.wrote = true;
    ++h.file->writers;
  }
}

int op_write(const char *, const char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
  Handle &h = handle_of(fi);
  ssize_t n = pwrite(h.fd, buf, size, off);
  if (n < 0) return -errno;
  changed(h);
  return static_cast<int>(n);
}

// The close of a descriptor: the copy is sent when this handle changed it and no other
// handle that changed it is still open (a reader's close sends nothing, and a writer's
// close does not send what another writer has half written).
int op_flush(const char *, struct fuse_file_info *fi) {
  Handle &h = handle_of(fi);
  if (!h.wrote || h.file->writers > 1) return 0;
  h.tried = true;
  return send(*h.file);
}

int op_fsync(const char *, int, struct fuse_file_info *fi) {
  Handle &h = handle_of(fi);
  h.tried = true;
  return send(*h.file);
}

int op_release(const char *, struct fuse_file_info *fi) {
  Handle *h = &handle_of(fi);
  close(h->fd);
  Cached &c = *h->file;
  if (h->wrote && !h->tried && c.writers == 1) send(c);  // normally already sent by flush
  --c.opens;
  if (h->wrote) --c.writers;
  if (c.removed && c.opens == 0) unlink(c.local.c_str());
  state().handles.erase(h);
  delete h;
  return 0;
}

int op_truncate(const char *p, off_t size, struct fuse_file_info *fi) {
  if (fi) {
    Handle &h = handle_of(fi);
    if (ftruncate(h.fd, size) != 0) return -errno;
    changed(h);
    return 0;
  }
  std::string path = p;
  CachedPtr c = cache_entry(path);
  if (!c->dirty && c->opens == 0) {
    zr_attr a{};
    int r = lookup(path, &a);
    if (r == 0 && is_folder(a)) r = -EISDIR;
    if (r == 0) r = size == 0 ? empty_copy(*c) : fetch(*c, a);
    if (r < 0) {
      state().files.erase(path);
      return r;
    }
  }
  if (truncate(c->local.c_str(), size) != 0) return -errno;
  c->dirty = true;
  return c->writers > 0 ? 0 : send(*c);  // else the last writer's close sends it
}

int file_op(unsigned op, const std::string &a, const std::string &b, int wrong_kind) {
  int r = KQ_ZR_fm_fileop(state().addr, op, a.c_str(), b.empty() ? nullptr : b.c_str());
  forget_listings(parent_of(a));
  if (!b.empty()) forget_listings(parent_of(b));
  return r < 0 ? -error_of(r, wrong_kind) : 0;
}

int op_mkdir(const char *path, mode_t) { return file_op(ZR_FM_MKDIR, path, "", ENOTDIR); }

int op_rmdir(const char *path) {
  forget_listings(path);
  return file_op(ZR_FM_RMDIR, path, "", ENOTEMPTY);
}

// Whether the path is a file made here that the handheld does not have yet.
bool made_here(const std::string &path) {
  CachedPtr c = find_cached(path);
  return c && !c->on_handheld;
}

int op_unlink(const char *p) {
  std::string path = p;
  int r = made_here(path) ? 0 : file_op(ZR_FM_DEL, path, "", EISDIR);
  if (r == 0) drop_cache(path);  // and a handle still open sends nothing at its close
  return r;
}

// Cached copies move with their files; a copy of what the move replaced is forgotten.
void move_cached(const std::string &from, const std::string &to) {
  forget_listings(from);
  auto &files = state().files;
  std::vector<std::pair<std::string, CachedPtr>> moved;
  for (auto it = files.begin(); it != files.end();) {
    if (it->first == from || under(it->first, from)) {
      moved.emplace_back(to + it->first.substr(from.size()), it->second);
      it = files.erase(it);
    } else {
      ++it;
    }
  }
  for (auto &m : moved) {
    drop_cache(m.first);
    m.second->path = m.first;
    files[m.first] = m.second;
  }
}

// rename over an existing file, which the handheld's move does not replace.  The target is
// moved aside under a name of its own in its folder, the file moved in, and only then the
// old one removed; when the file cannot be moved in, the target goes back.
int replace_file(const std::string &from, const std::string &to) {
  static unsigned serial = 0;
  std::string aside = parent_of(to) + (parent_of(to) == "/" ? "" : "/") + ".zrlink-replaced-" +
                      std::to_string(getpid()) + "-" + std::to_string(++serial);
  int r = file_op(ZR_FM_MOVE, to, aside, ENOTDIR);
  if (r < 0) return r;
  r = file_op(ZR_FM_MOVE, from, to, ENOTDIR);
  if (r < 0) {
    if (file_op(ZR_FM_MOVE, aside, to, ENOTDIR) < 0)
      tell("%s could not be put back after a failed rename: it is on the handheld as %s", to.c_str(), aside.c_str());
    return r;
  }
  if (int d = file_op(ZR_FM_DEL, aside, "", EISDIR); d < 0)
    tell("the file that %s replaced stays on the handheld as %s: %s", to.c_str(), aside.c_str(), std::strerror(-d));
  return 0;
}

int op_rename(const char *f, const char *t, unsigned int flags) {
  std::string from = f, to = t;
  if (flags & RENAME_EXCHANGE) return -EINVAL;
  if (made_here(from)) {
    // Not on the handheld yet: the file is sent under its new name when it is closed (and
    // replaces a file there then).
    if (flags & RENAME_NOREPLACE) {
      zr_attr a{};
      int r = pending(to) ? 0 : confirmed_lookup(to, &a);
      if (r != -ENOENT) return r == 0 ? -EEXIST : r;
    }
    move_cached(from, to);
    return 0;
  }
  int r = file_op(ZR_FM_MOVE, from, to, ENOTDIR);
  if (r == -EEXIST && !(flags & RENAME_NOREPLACE)) {
    zr_attr a{};
    if (lookup(to, &a) == 0 && is_folder(a)) {
      // rename(2) replaces only an empty folder: removing it loses nothing.
      r = file_op(ZR_FM_RMDIR, to, "", ENOTEMPTY);
      if (r == 0) r = file_op(ZR_FM_MOVE, from, to, ENOTDIR);
    } else {
      r = replace_file(from, to);
    }
  }
  if (r < 0) return r;
  move_cached(from, to);
  return 0;
}

int op_utimens(const char *, const struct timespec *, struct fuse_file_info *) {
  return 0;  // the handheld keeps its own times
}

// There are no permissions and no owners: a change to what the folder shows is refused,
// one to what it shows already is done (rsync -a and tar -x make such changes).
int op_chmod(const char *p, mode_t mode, struct fuse_file_info *fi) {
  struct stat st;
  if (int r = op_getattr(p, &st, fi); r < 0) return r;
  return (mode & 07777) == (st.st_mode & 07777) ? 0 : -EPERM;
}

int op_chown(const char *p, uid_t uid, gid_t gid, struct fuse_file_info *fi) {
  struct stat st;
  if (int r = op_getattr(p, &st, fi); r < 0) return r;
  bool same =
      (uid == static_cast<uid_t>(-1) || uid == st.st_uid) && (gid == static_cast<gid_t>(-1) || gid == st.st_gid);
  return same ? 0 : -EPERM;
}

// ---- the mount's life ---------------------------------------------------------------------

volatile sig_atomic_t g_signal = 0;
struct fuse_session *g_session = nullptr;

// SIGINT, SIGTERM and SIGHUP end the loop (the read of the next request is interrupted);
// the unmount then goes as fusermount3 -u's does.
void on_signal(int signal) {
  if (!g_signal) g_signal = signal;
  if (g_session) fuse_session_exit(g_session);
}

void handle_signals() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: the loop's read must come back
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &sa, nullptr);
}

// The folder for copies that could not be sent: <state>/unsent/<date-time>-<pid>; "" with
// the reason in *why.
std::string unsent_folder(std::string *why) {
  std::string top = user_state_folder(why);
  if (top.empty()) return "";
  char stamp[32];
  time_t now = std::time(nullptr);
  struct tm tm_now;
  localtime_r(&now, &tm_now);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm_now);
  std::string folder = top + "/unsent/" + stamp + "-" + std::to_string(getpid());
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    *why = "cannot make " + folder + ": " + ec.message();
    return "";
  }
  return folder;
}

// At the end: every copy changed here and not yet sent is sent (one more try for those
// that failed), and what still cannot be sent is kept under the user's state folder and
// named.  Returns how many files are kept (or left in the cache folder).
int finish_files(State &s, bool *keep_cache) {
  std::vector<CachedPtr> unsent;
  for (auto &f : s.files)
    if (f.second->dirty && !f.second->removed && send(*f.second) < 0) unsent.push_back(f.second);
  if (unsent.empty()) return 0;
  std::string why;
  std::string folder = unsent_folder(&why);
  for (const CachedPtr &c : unsent) {
    Context ctx;
    ctx.doing = Doing::kSend;
    ctx.remote = c->path;
    std::string reason = explain(ctx, c->error);
    std::string kept = folder + c->path;
    std::error_code ec;
    if (!folder.empty()) {
      fs::create_directories(fs::path(kept).parent_path(), ec);
      if (!ec) fs::copy_file(c->local, kept, fs::copy_options::overwrite_existing, ec);
    }
    if (folder.empty() || ec) {
      *keep_cache = true;
      tell("not sent: %s; the copy stays in %s (%s)", reason.c_str(), c->local.c_str(),
           folder.empty() ? why.c_str() : ec.message().c_str());
    } else {
      tell("not sent: %s; the copy is kept as %s", reason.c_str(), kept.c_str());
    }
  }
  if (!folder.empty())
    tell("%zu file%s that could not be sent to the handheld %s kept in %s", unsent.size(),
         unsent.size() == 1 ? "" : "s", unsent.size() == 1 ? "is" : "are", folder.c_str());
  return static_cast<int>(unsent.size());
}

}  // namespace

int cmd_mount(const Options &opt) {
  // A user's mount and every unmount (fusermount3 -u) go through fusermount3, which FUSE looks
  // for in /usr/bin and then in PATH; it comes with fuse3, which Debian may leave out.
  bool have_fusermount = access("/usr/bin/fusermount3", X_OK) == 0;
  const char *path = std::getenv("PATH");
  for (std::string dirs = path ? path : ""; !have_fusermount && !dirs.empty();) {
    const std::string d = dirs.substr(0, dirs.find(':'));
    dirs.erase(0, d.size() + 1);
    have_fusermount = !d.empty() && access((d + "/fusermount3").c_str(), X_OK) == 0;
  }
  if (!have_fusermount) {
    std::fprintf(stderr, "zrlink: mount: fusermount3 is missing (on Debian: apt install fuse3)\n");
    return kFailed;
  }
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  const char *tmp = std::getenv("TMPDIR");
  std::string cache = std::string(tmp && *tmp == '/' ? tmp : "/tmp") + "/zrlink-mount-XXXXXX";
  if (!mkdtemp(&cache[0])) {
    std::fprintf(stderr, "zrlink: mount: cannot make a cache folder %s: %s\n", cache.c_str(), std::strerror(errno));
    return kFailed;
  }
  State st;
  st.addr = s.addr();
  st.cache_dir = cache;
  g_state = &st;

  struct fuse_operations ops {};
  ops.init = op_init;
  ops.getattr = op_getattr;
  ops.readdir = op_readdir;
  ops.open = op_open;
  ops.create = op_create;
  ops.read = op_read;
  ops.write = op_write;
  ops.flush = op_flush;
  ops.fsync = op_fsync;
  ops.release = op_release;
  ops.truncate = op_truncate;
  ops.mkdir = op_mkdir;
  ops.rmdir = op_rmdir;
  ops.unlink = op_unlink;
  ops.rename = op_rename;
  ops.utimens = op_utimens;
  ops.chmod = op_chmod;
  ops.chown = op_chown;

  std::string names = "fsname=zrlink@" + addr_text(st.addr) + ",subtype=zrlink";
  std::vector<std::string> words{"zrlink", opt.args[0], "-s", "-o", names};
  std::vector<char *> argv;
  for (auto &a : words) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  // fuse_main's steps, with signal handlers of the mount's own: the loop ends on SIGINT,
  // SIGTERM and SIGHUP as on fusermount3 -u, and what is left is then done (unmount, the
  // copies not sent yet), whatever handlers the session had installed.
  struct fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()) - 1, argv.data());
  struct fuse_cmdline_opts cmdline {};
  int result = kFailed;
  struct fuse *f = nullptr;
  bool mounted = false, keep_cache = false;
  if (fuse_parse_cmdline(&args, &cmdline) == 0 && cmdline.mountpoint) {
    f = fuse_new(&args, &ops, sizeof ops, &st);
    if (f && fuse_mount(f, cmdline.mountpoint) == 0) {
      mounted = true;
      if (fuse_daemonize(opt.foreground ? 1 : 0) == 0) {
        g_background = !opt.foreground;
        g_session = fuse_get_session(f);
        handle_signals();
        if (interrupted()) on_signal(cancelled_exit_code() - 128);  // one that came during the start
        int r = fuse_loop(f);
        fuse_unmount(f);
        mounted = false;
        g_session = nullptr;
        int kept = finish_files(st, &keep_cache);
        for (Handle *h : st.handles) {
          close(h->fd);
          delete h;
        }
        st.handles.clear();
        // 0: unmounted with fusermount3 -u; 128 + the signal that ended it (the folder is
        // unmounted then too); 1 when a file could not be sent or the loop failed.
        result = g_signal ? 128 + g_signal : kept > 0 || r < 0 ? kFailed : kOk;
      }
    }
  }
  if (mounted) fuse_unmount(f);
  if (f) fuse_destroy(f);
  std::free(cmdline.mountpoint);
  fuse_opt_free_args(&args);
  g_state = nullptr;
  if (!keep_cache) {
    std::error_code ec;
    fs::remove_all(cache, ec);
  }
  return result;
}

}  // namespace zrcli

#else

#include <cstdio>

namespace zrcli {

int cmd_mount(const Options &) {
  std::fprintf(stderr, "zrlink: mount: this zrlink was built without FUSE 3 (libfuse3-dev)\n");
  return kFailed;
}

}  // namespace zrcli

#endif
