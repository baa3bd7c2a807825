// cli-mount.cpp -- zrlink mount: the handheld's storage as a folder through FUSE.
//
// The handheld only lists folders, sends and takes whole files, and runs the five file
// operations, so the folder works like this:
//   - attributes (size, time, folder or file) come from the listing of the parent folder,
//     which is kept for kListingLife and forgotten at once after a change made here;
//   - a file opened for reading is fetched whole into a private cache folder, and served
//     from there; it is fetched again only when its size or time in the listing changed;
//   - writes go to the cached copy, which is sent whole when the file is closed (close
//     returns once the handheld has stored it, or with the error) and on fsync;
//   - mkdir, rmdir, unlink and rename are the handheld's mkdir, rmdir, fdel and move.
// There are no links, no permissions (chmod and chown are refused, times cannot be set:
// utimens is accepted and leaves the handheld's time) and no partial writes.
//
// The link library is used from one thread at a time, so the file system runs
// single-threaded (-s).  Every library call is bounded by the file-service time-outs; a
// handheld that stops answering or is unplugged gives EIO.
#include "cli.h"

#if defined(ZRLINK_WITH_FUSE)

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
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

// A handheld file's copy in the cache folder.
struct Cached {
  std::string local;  // the cache file
  bool have = false;  // local holds the handheld's file as of size and time below
  uint32_t size = 0, time = 0;
  bool dirty = false;  // changed here and not yet sent
  int opens = 0;
};

struct State {
  uint32_t addr = 0;
  std::string cache_dir;
  unsigned next_id = 0;
  std::map<std::string, Listing> listings;
  std::map<std::string, Cached> files;
};

State &state() { return *static_cast<State *>(fuse_get_context()->private_data); }

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

// A cached file whose copy is newer than the handheld's (being written, or not sent).
const Cached *pending(const std::string &path) {
  auto &files = state().files;
  auto it = files.find(path);
  return it != files.end() && (it->second.dirty || (it->second.opens > 0 && !it->second.have)) ? &it->second : nullptr;
}

Cached &cache_entry(const std::string &path) {
  State &s = state();
  Cached &c = s.files[path];
  if (c.local.empty()) c.local = s.cache_dir + "/" + std::to_string(++s.next_id);
  return c;
}

// Forgets a file's cached copy; handles still open keep reading and writing their copy,
// which is no longer sent.
void drop_cache(const std::string &path) {
  auto &files = state().files;
  auto it = files.find(path);
  if (it != files.end()) {
    unlink(it->second.local.c_str());
    files.erase(it);
  }
}

// Makes the cached copy of a file current: emptied (truncate), kept when the handheld's
// size and time are those of the copy, else fetched.  0 or a negative errno.
int prepare(const std::string &path, bool truncate) {
  Cached &c = cache_entry(path);
  if (truncate) {
    int fd = open(c.local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return -errno;
    close(fd);
    c.dirty = true;
    c.have = false;
    return 0;
  }
  if (c.dirty || c.opens > 0) return 0;  // the copy in use is the newest
  zr_attr a{};
  int r = lookup(path, &a);
  if (r < 0) return r;
  if (is_folder(a)) return -EISDIR;
  if (c.have && c.size == a.size && c.time == a.time) return 0;
  std::string part = c.local + ".part";
  r = KQ_ZR_fm_xfer(state().addr, ZR_FM_GET, path.c_str(), part.c_str(), 0, nullptr, 0);
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

// Sends a changed copy to the handheld.  0 or a negative errno.
int send(const std::string &path) {
  State &s = state();
  auto it = s.files.find(path);
  if (it == s.files.end() || !it->second.dirty) return 0;
  Cached &c = it->second;
  int r = KQ_ZR_fm_xfer(s.addr, ZR_FM_PUT, path.c_str(), c.local.c_str(), 0, nullptr, 0);
  forget_listings(parent_of(path));
  if (r < 0) return -error_of(r);
  c.dirty = false;
  // The handheld gives the file its own time: remember it, so that the copy is not
  // fetched back.
  zr_attr a{};
  c.have = KQ_ZR_fm_dirattr(s.addr, path.c_str(), &a) == 0;
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
  cfg->kernel_cache = 0;
  return fuse_get_context()->private_data;
}

int op_getattr(const char *p, struct stat *st, struct fuse_file_info *) {
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
  std::string path = p;
  const std::vector<Entry> *entries = nullptr;
  int r = listing(path, &entries);
  if (r < 0) return -error_of(r, ENOTDIR);
  filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  std::vector<std::string> seen;
  for (const auto &e : *entries) {
    if (e.name.empty() || e.name.find('/') != std::string::npos) continue;  // a name that no host path can hold
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

int open_copy(const std::string &path, bool truncate, struct fuse_file_info *fi) {
  int r = prepare(path, truncate);
  if (r < 0) return r;
  Cached &c = cache_entry(path);
  int fd = open(c.local.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return -errno;
  fi->fh = static_cast<uint64_t>(fd);
  ++c.opens;
  return 0;
}

int op_open(const char *path, struct fuse_file_info *fi) { return open_copy(path, (fi->flags & O_TRUNC) != 0, fi); }

int op_create(const char *path, mode_t, struct fuse_file_info *fi) { return open_copy(path, true, fi); }

int op_read(const char *, char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
  ssize_t n = pread(static_cast<int>(fi->fh), buf, size, off);
  return n < 0 ? -errno : static_cast<int>(n);
}

int op_write(const char *path, const char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
  ssize_t n = pwrite(static_cast<int>(fi->fh), buf, size, off);
  if (n < 0) return -errno;
  cache_entry(path).dirty = true;
  return static_cast<int>(n);
}

int op_flush(const char *path, struct fuse_file_info *) { return send(path); }

int op_fsync(const char *path, int, struct fuse_file_info *) { return send(path); }

int op_release(const char *path, struct fuse_file_info *fi) {
  close(static_cast<int>(fi->fh));
  if (!path) return 0;  // removed while open (FUSE then names no path)
  send(path);           // normally already sent by flush
  auto &files = state().files;
  auto it = files.find(path);
  if (it != files.end() && it->second.opens > 0) --it->second.opens;
  return 0;
}

int op_truncate(const char *p, off_t size, struct fuse_file_info *fi) {
  std::string path = p;
  if (fi) {
    if (ftruncate(static_cast<int>(fi->fh), size) != 0) return -errno;
    cache_entry(path).dirty = true;
    return 0;
  }
  int r = prepare(path, size == 0);
  if (r < 0) return r;
  Cached &c = cache_entry(path);
  if (truncate(c.local.c_str(), size) != 0) return -errno;
  c.dirty = true;
  return c.opens > 0 ? 0 : send(path);
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

int op_unlink(const char *path) {
  int r = file_op(ZR_FM_DEL, path, "", EISDIR);
  if (r == 0) drop_cache(path);
  return r;
}

int op_rename(const char *f, const char *t, unsigned int flags) {
  std::string from = f, to = t;
  if (flags & RENAME_EXCHANGE) return -EINVAL;
  int r = file_op(ZR_FM_MOVE, from, to, ENOTDIR);
  if (r == -EEXIST && !(flags & RENAME_NOREPLACE)) {
    // The handheld replaces nothing: the target goes first, as rename(2) replaces it.
    zr_attr a{};
    bool folder = lookup(to, &a) == 0 && is_folder(a);
    r = file_op(folder ? ZR_FM_RMDIR : ZR_FM_DEL, to, "", folder ? ENOTEMPTY : EISDIR);
    if (r == 0) {
      drop_cache(to);
      r = file_op(ZR_FM_MOVE, from, to, ENOTDIR);
    }
  }
  if (r < 0) return r;
  forget_listings(from);
  // Cached copies move with their files.
  auto &files = state().files;
  std::vector<std::pair<std::string, Cached>> moved;
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
    files[m.first] = m.second;
  }
  return 0;
}

int op_utimens(const char *, const struct timespec *, struct fuse_file_info *) {
  return 0;  // the handheld keeps its own times
}

int op_chmod(const char *, mode_t, struct fuse_file_info *) { return -EPERM; }

int op_chown(const char *, uid_t, gid_t, struct fuse_file_info *) { return -EPERM; }

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
  std::vector<std::string> args{"zrlink", opt.args[0], "-s", "-o", names};
  if (opt.foreground) args.push_back("-f");
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  // FUSE ends its loop on SIGINT, SIGTERM and SIGHUP, but only takes signals left at their
  // default.
  std::signal(SIGINT, SIG_DFL);
  int r = fuse_main(static_cast<int>(argv.size()) - 1, argv.data(), &ops, &st);
  std::error_code ec;
  fs::remove_all(cache, ec);
  // 0: unmounted with fusermount3 -u; 7 or more: the loop ended otherwise, on a signal
  // (Ctrl-C, SIGTERM), and the folder was unmounted; below: it could not be mounted (FUSE
  // said why).
  return r == 0 ? kOk : r >= 7 ? kCancelled : kFailed;
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
