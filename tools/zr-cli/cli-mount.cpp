// cli-mount.cpp -- zrlink mount: the handheld's storage as a folder through FUSE.
//
// The handheld only lists folders, sends and takes whole files, and runs the five file
// operations, so the folder works like this:
//   - attributes (size, time, folder or file) come from the listing of the parent folder,
//     which is kept for kListingLife and forgotten at once after a change made here; a
//     listing has no end marker, so before a file that it does not show is made, an
//     attribute request confirms that the handheld has none;
//   - a file opened for reading is fetched whole into a private cache folder, and served
//     from there; it is fetched again only when its size or time in the listing changed.
//     A read is served as soon as the bytes it asks for have arrived (a read further on
//     waits for them), and opening a file also fetches the small files after it in its
//     folder ahead of time, as a copy of the folder reads them next;
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
// Threads and processes.  The link library keeps one state per process and is called from
// one thread only, the link thread (listings, attributes, the file operations, and the
// start of worker processes, so that a worker copies a library state that no call is
// using).  Transfers run in worker processes (Workers, as push and pull run theirs), at
// most -j at a time; the service thread hands them out and reads their reports.  FUSE
// runs its multithreaded loop: its threads answer from the state below (one mutex), ask
// the link thread for the short calls, and wait, with the mutex let go, only for the
// transfer of the file they need (a read: for the bytes it asks for), so listings,
// attributes and cached reads never wait behind the transfer of another file.  A worker
// that ends in the middle of a transfer fails that file with EIO, and another one starts.
// Every library call is bounded by the file-service time-outs; a handheld that stops
// answering or is unplugged gives EIO.
#include "cli.h"

#if defined(ZRLINK_WITH_FUSE)

#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <fuse_lowlevel.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
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
// Opening a file fetches at most this many files after it in its folder ahead of time,
// each of at most kAheadSize bytes.
const size_t kAheadFiles = 64;
const uint32_t kAheadSize = 256 * 1024;
// A worker that reports nothing for this long plus 1 ms for every 128 bytes (beyond the
// library's own time-outs, the longest of which waits for a send's final status that long)
// is stuck: it is ended, and its transfer fails.
const std::chrono::seconds kStuckAfter(30);

// A folder's listing, or the failure of the last try: a handheld that stopped answering
// costs one time-out, not one for every call that the kernel makes for one command.
struct Listing {
  Clock::time_point when;
  int result = 0;
  std::vector<Entry> entries;
};

struct Xfer;

// A handheld file's copy in the cache folder.  Open handles share it with the path it is
// kept under, so that it follows a rename and outlives a removal.
struct Cached {
  std::string path;   // the handheld path (follows renames)
  std::string local;  // the cache file
  bool have = false;  // local holds the handheld's file as of size and time below
  uint32_t size = 0, time = 0;
  bool dirty = false;              // changed here and not yet sent
  bool on_handheld = true;         // false: made here and not sent yet (the handheld has no such file)
  bool removed = false;            // removed or replaced here: nothing is sent any more
  int error = 0;                   // the result code of the last send that failed, 0 after one that worked
  int opens = 0;                   // open handles
  int writers = 0;                 // open handles that wrote
  std::shared_ptr<Xfer> fetching;  // the fetch running for it, if any
};
using CachedPtr = std::shared_ptr<Cached>;

// A transfer for a worker: a fetch into its own folder in the cache (`folder`/data, the
// library writing into a file beside `data` until the end), or a send of a copy.
struct Xfer {
  Job job;
  std::weak_ptr<Cached> file;  // a fetch: the copy it is for (the copy holds the fetch)
  std::string folder;          // a fetch's folder
  uint32_t time = 0;           // a fetch: the listing's time of the file
  int worker = -1;             // the slot running it
  bool lost_seen = false;      // its worker's end was seen once
  Clock::time_point heard;     // the last report of its worker (or when it was handed out)
  bool finished = false;
  int result = 0;          // when finished: 0, or a negative errno
  int code = 0;            // when finished: the library's result (or kWorkerLost, kOtherSize)
  uint64_t done = 0;       // bytes that have arrived
  bool whole_size = true;  // a fetch: the reply announced the listing's size
};
using XferPtr = std::shared_ptr<Xfer>;

// What fi->fh points at: one open of a file.  Every operation on an open file works from
// here, never from the path (a file removed while open has none).
struct Handle {
  int fd = -1;       // the copy; -1 while its fetch runs
  int growing = -1;  // the file the running fetch writes into, once read from
  XferPtr fetch;     // the fetch that the copy waits for
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
  int jobs = 4;
  int next_job = 0;
  std::deque<XferPtr> queue;     // waiting for a worker, the first first
  std::vector<XferPtr> running;  // by worker slot
};

// The one mutex of the mount's state; FUSE's threads hold it through an operation (OpLock)
// and let it go only while they wait for a transfer.
std::mutex g_mutex;
std::condition_variable g_changed;  // a transfer made progress or ended
thread_local std::unique_lock<std::mutex> *t_lock = nullptr;

struct OpLock {
  std::unique_lock<std::mutex> lock{g_mutex};
  OpLock() { t_lock = &lock; }
  ~OpLock() { t_lock = nullptr; }
};

// The thread that makes every library call of the mount's process.
class LinkThread {
 public:
  void start() {
    thread_ = std::thread([this] { run(); });
  }
  void finish() {
    {
      std::lock_guard<std::mutex> g(m_);
      stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  // Runs f on the link thread and returns its result.
  int call(std::function<int()> f) {
    std::packaged_task<int()> task(std::move(f));
    std::future<int> result = task.get_future();
    {
      std::lock_guard<std::mutex> g(m_);
      tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
    return result.get();
  }

 private:
  void run() {
    std::unique_lock<std::mutex> l(m_);
    for (;;) {
      cv_.wait(l, [this] { return stop_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      std::packaged_task<int()> task = std::move(tasks_.front());
      tasks_.pop_front();
      l.unlock();
      task();
      l.lock();
    }
  }
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::packaged_task<int()>> tasks_;
  bool stop_ = false;
  std::thread thread_;
};

LinkThread g_link;
struct fuse_session *g_session = nullptr;  // while the loop runs
Workers *g_workers = nullptr;
int g_fuse_fd = -1;  // the FUSE device, which workers close

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
  int r = g_link.call([&] { return list_folder(s.addr, folder, &entries); });
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
  r = g_link.call([&] { return KQ_ZR_fm_dirattr(state().addr, path.c_str(), attr); });
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

int g_wake[2] = {-1, -1};  // a byte wakes the service thread: a transfer is queued

// Queues a transfer for the next free worker: first (a program waits for it) or last.
XferPtr queue_transfer(int direction, const std::string &remote, const std::string &local, uint64_t size, bool first) {
  State &s = state();
  auto t = std::make_shared<Xfer>();
  t->job.id = ++s.next_job;
  t->job.direction = direction;
  t->job.remote = remote;
  t->job.local = local;
  t->job.size = size;
  if (first)
    s.queue.push_front(t);
  else
    s.queue.push_back(t);
  char one = 1;
  if (write(g_wake[1], &one, 1) < 0) {
    // the pipe is full: the service thread is awake anyway
  }
  return t;
}

// Waits, with the state's mutex let go, until the transfer has ended.
void await(const XferPtr &t) {
  g_changed.wait(*t_lock, [&] { return t->finished; });
}

// Makes sure that the copy is the handheld's file (same size and time) or that a fetch of it
// runs: one that a program waits for (`wanted`) goes before those ahead of time.  0 or a
// negative errno.
int start_fetch(const CachedPtr &c, const zr_attr &a, bool wanted) {
  if (c->have && c->size == a.size && c->time == a.time) return 0;
  State &s = state();
  if (XferPtr t = c->fetching; t && t->job.size == a.size && t->time == a.time) {
    auto queued = std::find(s.queue.begin(), s.queue.end(), t);
    if (wanted && queued != s.queue.end()) {
      s.queue.erase(queued);
      s.queue.push_front(t);
    }
    return 0;
  }
  // (a fetch of an older version, if any, is left to end and then forgotten)
  std::string folder = c->local + ".fetch-" + std::to_string(s.next_job + 1);
  if (mkdir(folder.c_str(), 0700) != 0) return -errno;
  c->fetching = queue_transfer(ZR_FM_GET, c->path, folder + "/data", a.size, wanted);
  c->fetching->file = c;
  c->fetching->folder = folder;
  c->fetching->time = a.time;
  return 0;
}

// Waits for the fetch of a copy that runs: 0 once the copy is there, or its negative errno.
int await_fetch(Cached &c) {
  while (XferPtr t = c.fetching) {
    await(t);
    if (t->result < 0) return t->result;
  }
  return 0;
}

// Fetches the handheld's file into the copy unless the copy is that file already (same
// size and time).  0 or a negative errno.
int fetch(const CachedPtr &c, const zr_attr &a) {
  int r = start_fetch(c, a, true);
  return r < 0 ? r : await_fetch(*c);
}

// The small files after `path` in its folder's listing are fetched ahead of time: a copy
// of the folder (cp -r, a file manager) reads them next.
void fetch_ahead(const std::string &path) {
  const std::vector<Entry> *entries = nullptr;
  std::string folder = parent_of(path), name = name_of(path);
  auto it = state().listings.find(folder);
  if (it == state().listings.end() || it->second.result < 0) return;
  entries = &it->second.entries;
  auto self = std::find_if(entries->begin(), entries->end(), [&](const Entry &e) { return e.name == name; });
  if (self == entries->end()) return;
  size_t queued = 0;
  for (auto e = std::next(self); e != entries->end() && queued < kAheadFiles; ++e) {
    if (is_folder(e->attr) || e->attr.size > kAheadSize) continue;
    std::string other = remote_join(folder, e->name);
    CachedPtr c = find_cached(other);
    if (c &&
        (c->dirty || c->opens > 0 || c->fetching || (c->have && c->size == e->attr.size && c->time == e->attr.time)))
      continue;
    c = cache_entry(other);
    if (start_fetch(c, e->attr, false) == 0) ++queued;
  }
}

// A transfer has ended (the service thread, with the mutex held): a fetch's copy takes its
// place unless the file was removed, changed or fetched anew meanwhile.
void transfer_ended(const XferPtr &t, int code) {
  // A handheld that sends another size than its listing shows is not believed: a copy of
  // the wrong size, written to and sent back, would replace the file with a broken one.
  struct stat got {};
  if (code == 0 && t->job.direction == ZR_FM_GET &&
      (stat(t->job.local.c_str(), &got) != 0 || static_cast<uint64_t>(got.st_size) != t->job.size)) {
    tell("%s: the handheld sent %lld bytes for a file listed with %llu", t->job.remote.c_str(),
         static_cast<long long>(got.st_size), static_cast<unsigned long long>(t->job.size));
    code = ZR_E_SHORT;
  }
  t->finished = true;
  t->code = code;
  t->result = code == 0 ? 0 : -error_of(code);
  CachedPtr file = t->job.direction == ZR_FM_GET ? t->file.lock() : nullptr;
  if (file) {
    Cached &c = *file;
    // (a file removed while open keeps its copy for the handles still open)
    bool current = c.fetching == t && (!c.removed || c.opens > 0);
    if (code == kOtherSize)
      tell("%s: the handheld announced %llu bytes for a file listed with %llu", c.path.c_str(),
           static_cast<unsigned long long>(t->done), static_cast<unsigned long long>(t->job.size));
    if (code == kWorkerLost) tell("%s: the worker process ended in the middle of the fetch", c.path.c_str());
    if (code == 0 && current && rename(t->job.local.c_str(), c.local.c_str()) == 0) {
      c.have = true;
      c.size = static_cast<uint32_t>(t->job.size);
      c.time = t->time;
    } else if (code == 0) {
      t->result = current ? -EIO : -ESTALE;
    }
    if (current) {
      if (t->result < 0) c.have = false;
      c.fetching = nullptr;
    }
  }
  if (!t->folder.empty()) {
    std::error_code ec;
    fs::remove_all(t->folder, ec);
  }
  g_changed.notify_all();
}

int empty_copy(Cached &c) {
  c.fetching = nullptr;  // (one fetched ahead of time; the copy is replaced)
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
  XferPtr t = queue_transfer(ZR_FM_PUT, c.path, c.local, 0, true);
  await(t);
  forget_listings(parent_of(c.path));
  if (t->code < 0) {
    c.error = t->code;
    return t->result;
  }
  c.error = 0;
  c.dirty = false;
  c.on_handheld = true;
  // The handheld gives the file its own time: remember it, so that the copy is not
  // fetched back.
  zr_attr a{};
  std::string path = c.path;
  c.have = g_link.call([&] { return KQ_ZR_fm_dirattr(s.addr, path.c_str(), &a); }) == 0;
  c.size = a.size;
  c.time = a.time;
  return 0;
}

// Makes an open handle's copy usable: waits for its fetch, then opens the copy.  0 or a
// negative errno (the fetch's, for every later call on the handle too).
int settle(Handle &h) {
  if (h.fd >= 0) return 0;
  if (h.fetch) {
    await(h.fetch);
    if (h.fetch->result < 0) return h.fetch->result;
  }
  h.fd = open(h.file->local.c_str(), O_RDWR | O_CLOEXEC);
  if (h.fd < 0) return -errno;
  if (h.growing >= 0) close(h.growing);
  h.growing = -1;
  h.fetch = nullptr;
  return 0;
}

// The file that a running fetch writes into (the library's, beside its data file), or -1.
int open_growing(const std::string &folder) {
  DIR *d = opendir(folder.c_str());
  if (!d) return -1;
  int fd = -1;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '.' && (e->d_name[1] == '\0' || (e->d_name[1] == '.' && e->d_name[2] == '\0'))) continue;
    fd = open((folder + "/" + e->d_name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) break;
  }
  closedir(d);
  return fd;
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

int getattr(const char *p, struct stat *st, struct fuse_file_info *fi) {
  if (fi && handle_of(fi).fd < 0) {
    const Xfer &t = *handle_of(fi).fetch;
    fill(st, false, t.job.size, static_cast<time_t>(t.time));
    return 0;
  }
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
    if (c->fetching) {
      fill(st, false, c->fetching->job.size, static_cast<time_t>(c->fetching->time));
      return 0;
    }
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

int op_getattr(const char *p, struct stat *st, struct fuse_file_info *fi) {
  OpLock l;
  return getattr(p, st, fi);
}

int op_readdir(const char *p, void *buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info *,
               enum fuse_readdir_flags) {
  OpLock l;
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
  OpLock l;
  CachedPtr c = cache_entry(path);
  bool truncate = (flags & O_TRUNC) != 0;
  bool reader = (flags & O_ACCMODE) == O_RDONLY && !truncate;
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
      // A file that the listing missed is fetched, not replaced.  A reader does not wait
      // for the fetch: its reads wait for the bytes they need.
      if (!truncate) r = start_fetch(c, a, true);
      if (r == 0 && !truncate) fetch_ahead(path);
    }
  }
  if (r == 0 && (!reader || truncate)) r = await_fetch(*c);
  if (r == 0 && truncate) r = empty_copy(*c);
  XferPtr fetching = r == 0 ? c->fetching : nullptr;
  int fd = r < 0 || fetching ? -1 : open(c->local.c_str(), O_RDWR | O_CLOEXEC);
  if (r == 0 && !fetching && fd < 0) r = -errno;
  if (r < 0) {
    if (c->opens == 0 && !c->dirty) state().files.erase(path);
    return r;
  }
  Handle *h = new Handle;
  h->fd = fd;
  h->fetch = fetching;
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

// A read while the fetch runs waits until the bytes it asks for have arrived, and is served
// from the file being written, when the handheld announced the size of the listing (a
// fetch of another size fails whole).
int op_read(const char *, char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
  OpLock l;
  Handle &h = handle_of(fi);
  while (h.fd < 0 && h.fetch && !h.fetch->finished) {
    XferPtr t = h.fetch;
    uint64_t want = std::min<uint64_t>(static_cast<uint64_t>(off) + size, t->job.size);
    g_changed.wait(*t_lock, [&] { return t->finished || (t->whole_size && t->done >= want); });
    if (t->finished) break;
    if (h.growing < 0) h.growing = open_growing(t->folder);
    if (h.growing < 0) {
      await(t);
      break;
    }
    ssize_t n = pread(h.growing, buf, std::min<uint64_t>(size, want - std::min<uint64_t>(want, off)), off);
    return n < 0 ? -errno : static_cast<int>(n);
  }
  if (int r = settle(h); r < 0) return r;
  ssize_t n = pread(h.fd, buf, size, off);
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
  OpLock l;
  Handle &h = handle_of(fi);
  if (int r = settle(h); r < 0) return r;
  ssize_t n = pwrite(h.fd, buf, size, off);
  if (n < 0) return -errno;
  changed(h);
  return static_cast<int>(n);
}

// The close of a descriptor: the copy is sent when this handle changed it and no other
// handle that changed it is still open (a reader's close sends nothing, and a writer's
// close does not send what another writer has half written).
int op_flush(const char *, struct fuse_file_info *fi) {
  OpLock l;
  Handle &h = handle_of(fi);
  if (!h.wrote || h.file->writers > 1) return 0;
  h.tried = true;
  return send(*h.file);
}

int op_fsync(const char *, int, struct fuse_file_info *fi) {
  OpLock l;
  Handle &h = handle_of(fi);
  h.tried = true;
  return send(*h.file);
}

int op_release(const char *, struct fuse_file_info *fi) {
  OpLock l;
  Handle *h = &handle_of(fi);
  if (h->fd >= 0) close(h->fd);
  if (h->growing >= 0) close(h->growing);
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
  OpLock l;
  if (fi) {
    Handle &h = handle_of(fi);
    if (int r = settle(h); r < 0) return r;
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
    if (r == 0) r = size == 0 ? empty_copy(*c) : fetch(c, a);
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
  int r = g_link.call([&] { return KQ_ZR_fm_fileop(state().addr, op, a.c_str(), b.empty() ? nullptr : b.c_str()); });
  forget_listings(parent_of(a));
  if (!b.empty()) forget_listings(parent_of(b));
  return r < 0 ? -error_of(r, wrong_kind) : 0;
}

int op_mkdir(const char *path, mode_t) {
  OpLock l;
  return file_op(ZR_FM_MKDIR, path, "", ENOTDIR);
}

int op_rmdir(const char *path) {
  OpLock l;
  forget_listings(path);
  return file_op(ZR_FM_RMDIR, path, "", ENOTEMPTY);
}

// Whether the path is a file made here that the handheld does not have yet.
bool made_here(const std::string &path) {
  CachedPtr c = find_cached(path);
  return c && !c->on_handheld;
}

// A file open here whose fetch still runs is fetched whole before the handheld's file is
// removed or moved: the descriptors open on it keep working (and read what it held).
void finish_open_fetches(const std::string &path) {
  std::vector<CachedPtr> open_ones;
  for (auto &f : state().files)
    if ((f.first == path || under(f.first, path)) && f.second->opens > 0 && f.second->fetching)
      open_ones.push_back(f.second);
  for (const CachedPtr &c : open_ones) await_fetch(*c);
}

int op_unlink(const char *p) {
  OpLock l;
  std::string path = p;
  finish_open_fetches(path);
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
  OpLock l;
  std::string from = f, to = t;
  finish_open_fetches(from);
  finish_open_fetches(to);
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
  OpLock l;
  struct stat st;
  if (int r = getattr(p, &st, fi); r < 0) return r;
  return (mode & 07777) == (st.st_mode & 07777) ? 0 : -EPERM;
}

int op_chown(const char *p, uid_t uid, gid_t gid, struct fuse_file_info *fi) {
  OpLock l;
  struct stat st;
  if (int r = getattr(p, &st, fi); r < 0) return r;
  bool same =
      (uid == static_cast<uid_t>(-1) || uid == st.st_uid) && (gid == static_cast<gid_t>(-1) || gid == st.st_gid);
  return same ? 0 : -EPERM;
}

// ---- the mount's life ---------------------------------------------------------------------

volatile sig_atomic_t g_signal = 0;

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
  OpLock l;
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
    std::string reason = c->error == kWorkerLost ? c->path + ": the worker process ended in the middle of the transfer"
                                                 : explain(ctx, c->error);
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

// ---- the service thread: the workers' reports, and the queue --------------------------

bool g_service_stop = false;  // set once the loop has ended and every file is sent

// Reads the workers' reports and hands out queued transfers until told to stop; a worker
// that ended is found within 0.2 s (its transfer fails), and another one started.
void serve_transfers(Workers &workers) {
  auto last_reap = Clock::now();
  bool fetches_stopped = false;
  for (;;) {
    pollfd p[2] = {{workers.reports(), POLLIN, 0}, {g_wake[0], POLLIN, 0}};
    poll(p, 2, 100);
    char drain[64];
    if (p[1].revents & POLLIN)
      if (read(g_wake[0], drain, sizeof drain) < 0) {
        // nothing to drain
      }
    std::vector<size_t> to_start, to_kill;
    {
      std::lock_guard<std::mutex> g(g_mutex);
      State &s = state();
      // Every record there is now (each arrives whole).
      for (pollfd r{workers.reports(), POLLIN, 0}; poll(&r, 1, 0) > 0 && (r.revents & POLLIN); r.revents = 0) {
        Report rec;
        if (workers.read_report(&rec) != 1) break;
        if (rec.worker < 0 || static_cast<size_t>(rec.worker) >= s.running.size()) continue;
        XferPtr &t = s.running[static_cast<size_t>(rec.worker)];
        if (!t || t->job.id != rec.job) continue;
        t->heard = Clock::now();
        if (rec.kind == Report::kProgress) {
          t->done = rec.done;
          t->whole_size = t->job.direction != ZR_FM_GET || rec.size == t->job.size;
          g_changed.notify_all();
        } else {
          if (rec.result == kOtherSize) t->done = rec.size;
          transfer_ended(t, rec.result);
          t = nullptr;
        }
      }
      if (!fetches_stopped && g_session && fuse_session_exited(g_session)) {
        // The loop has ended (a signal): nothing waits for a fetch any more, and a program
        // that waited gets EIO now rather than when the fetch ends.  Its worker goes; the
        // sends of what is left take others.
        fetches_stopped = true;
        for (auto it = s.queue.begin(); it != s.queue.end();) {
          if ((*it)->job.direction != ZR_FM_GET) {
            ++it;
            continue;
          }
          transfer_ended(*it, ZR_E_CANCELLED);
          it = s.queue.erase(it);
        }
        for (size_t w = 0; w < s.running.size(); ++w)
          if (s.running[w] && s.running[w]->job.direction == ZR_FM_GET) {
            transfer_ended(s.running[w], ZR_E_CANCELLED);
            s.running[w] = nullptr;
            to_kill.push_back(w);
          }
      }
      auto now = Clock::now();
      if (now - last_reap >= std::chrono::milliseconds(200)) {
        // Its last records may still be in the pipe when a worker's end is seen, so its
        // transfer is lost only if the next look still finds it open.
        last_reap = now;
        for (size_t w = 0; w < s.running.size(); ++w) {
          XferPtr &t = s.running[w];
          if (t && t->lost_seen) {
            transfer_ended(t, kWorkerLost);
            t = nullptr;
          }
          bool gone = workers.ended(w) || !workers.alive(w);
          if (t && !gone && now - t->heard > kStuckAfter + std::chrono::milliseconds(t->job.size / 128)) {
            tell("%s: the worker process stopped answering", t->job.remote.c_str());
            to_kill.push_back(w);
            transfer_ended(t, kWorkerLost);
            t = nullptr;
            continue;
          }
          if (t) t->lost_seen = gone;
          if (gone && !t && !g_service_stop) to_start.push_back(w);
        }
      }
      for (size_t w = 0; w < s.running.size() && !s.queue.empty(); ++w) {
        if (s.running[w] || !workers.alive(w)) continue;
        XferPtr t = s.queue.front();
        if (!workers.hand(w, t->job)) continue;
        s.queue.pop_front();
        t->worker = static_cast<int>(w);
        t->heard = Clock::now();
        s.running[w] = t;
      }
      if (g_service_stop) return;
    }
    for (size_t w : to_kill) {
      workers.kill_now(w);
      g_link.call([&] { return workers.start(w, g_fuse_fd) ? 0 : -1; });
    }
    bool start_failed = false;
    for (size_t w : to_start) start_failed |= g_link.call([&] { return workers.start(w, g_fuse_fd) ? 0 : -1; }) < 0;
    if (start_failed) {
      // With no worker left and none to be started, what waits fails rather than waits on.
      std::lock_guard<std::mutex> g(g_mutex);
      bool none = true;
      for (size_t w = 0; w < workers.size(); ++w) none = none && !workers.alive(w);
      for (; none && !state().queue.empty(); state().queue.pop_front())
        transfer_ended(state().queue.front(), kWorkerLost);
    }
  }
}

// Serves the mounted folder until it is unmounted or a signal ends the loop, then sends
// what is left.  How many files are kept unsent, or -1 when the loop failed (or the
// threads and workers could not start).
int serve(struct fuse *f, State &st, bool *keep_cache) {
  // The threads of the mount's own take no signals: the loop's thread gets them.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  int r = -1;
  if (pipe2(g_wake, O_CLOEXEC | O_NONBLOCK) == 0) {
    Workers workers(st.addr);
    g_workers = &workers;
    g_fuse_fd = fuse_session_fd(fuse_get_session(f));
    g_link.start();
    int started = g_link.call([&] {
      int n = 0;
      for (size_t w = 0; w < st.running.size(); ++w) n += workers.start(w, g_fuse_fd) ? 1 : 0;
      return n;
    });
    std::thread service([&] { serve_transfers(workers); });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (started == 0) {
      tell("cannot start a worker process");
    } else {
      r = fuse_loop_mt(f, 0);
    }
    fuse_unmount(f);
    int kept = finish_files(st, keep_cache);
    {
      std::lock_guard<std::mutex> g(g_mutex);
      g_service_stop = true;
    }
    char one = 1;
    if (write(g_wake[1], &one, 1) < 0) {
      // the service thread looks again within 0.1 s
    }
    service.join();
    // What still runs are fetches (every send has ended): their workers go at once, also
    // one that is stopped or stuck, and what they wrote goes with the cache folder.
    for (size_t w = 0; w < workers.size(); ++w) workers.kill_now(w);
    g_link.finish();
    g_workers = nullptr;
    close(g_wake[0]);
    close(g_wake[1]);
    if (r == 0 && started > 0)
      r = kept;
    else if (kept > 0)
      r = kept;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return r;
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
  st.jobs = opt.jobs < 1 ? 1 : opt.jobs;
  st.running.resize(static_cast<size_t>(st.jobs));
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
  std::vector<std::string> words{"zrlink", opt.args[0], "-o", names};
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
        int r = serve(f, st, &keep_cache);
        mounted = false;
        g_session = nullptr;
        int kept = r > 0 ? r : 0;
        for (Handle *h : st.handles) {
          if (h->fd >= 0) close(h->fd);
          if (h->growing >= 0) close(h->growing);
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
