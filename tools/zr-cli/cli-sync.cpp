// cli-sync.cpp -- zrlink sync: copies only what changed between a host folder and a
// handheld folder (written :PATH), in either direction.
//
// The contents of SRC go into DST, which is made when it is missing.  A file is copied when
// DST lacks it or when it changed.  The handheld gives a file its own clock's time when it
// stores it (fput carries none), and its clock need not agree with the host's, so the two
// times are not compared where that can be helped: a record per handheld (by its serial, in
// the user's state folder) keeps, for each file the last syncs sent or fetched, its size,
// the host file's modification time and the handheld's time after the transfer.  A file
// with a record has changed when the host's size or time or the handheld's size or time
// differs from it.  A file without one is copied when the sizes differ or when the source
// is newer, in whole seconds, the host's modification time as epoch seconds against the
// time in the handheld's listing taken as epoch seconds as it stands.  A fetched file takes
// the handheld's time as its modification time.
//
// The plan is made first (folders to make, files to copy, with --delete what DST has and
// SRC lacks); --dry-run prints it and stops.  Otherwise deletions go first, then the folders
// are made, then the files move as push and pull move them.
//
// Nothing is deleted on evidence that is missing: an entry of a host SRC that cannot be
// read keeps every DST entry of its name (and a folder of SRC that cannot be listed keeps
// everything in its DST folder), and a host file that the handheld's listing lacks is
// deleted only when the handheld, asked for that one path, answers that it does not exist
// (a listing that the handheld broke off between two entries looks complete).  Symbolic
// links in a host SRC are skipped with a warning, as push skips them, or with -L followed,
// each folder once; a symbolic link (or another entry that is neither a file nor a folder)
// in a host DST is replaced as a plain entry, never written or deleted through.
#include "cli.h"
#include "zr-net.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace zrcli {

namespace {

struct Item {
  std::string name;
  bool folder;
  uint64_t size;
  int64_t time;          // epoch seconds
  bool special = false;  // a host DST entry that is neither a file nor a folder (a symbolic link)
  int64_t time_ns = 0;   // a host file's modification time in nanoseconds
  dev_t dev = 0;         // a host SRC folder's identity (-L visits each folder once)
  ino_t ino = 0;
};

// A folder's entries, and the names that must keep their DST entries although they are not
// among them (skipped or unreadable entries of a host SRC).
struct Listing {
  std::vector<Item> items;
  std::set<std::string> kept;
  bool damaged = false;  // an entry could not be read: nothing of the folder is deleted
};

struct Delete {
  std::string path;
  bool folder;
};

struct Plan {
  std::vector<Delete> deletes;      // DST paths
  std::vector<std::string> mkdirs;  // DST folders, parents first
  std::vector<Transfer> copies;
  std::vector<int64_t> times;              // each copy's source time
  std::vector<int64_t> source_ns;          // a host source's modification time when planned
  int errors = 0;                          // entries left alone with a message
  std::set<std::pair<dev_t, ino_t>> seen;  // host SRC folders planned (-L)
};

// A path as one shell word where it needs quoting, as ls prints names: plain names stay
// plain, others go in single quotes, and control characters are written $'\n'.
std::string shell_word(const std::string &s) {
  bool control = false, plain = !s.empty();
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7f) control = true;
    if (!(std::isalnum(c) || std::strchr("/._-+,:@%=", c) || c >= 0x80)) plain = false;
  }
  if (plain) return s;
  if (!control) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  }
  std::string out = "$'";
  for (unsigned char c : s) {
    char hex[8];
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      case '\'': out += "\\'"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          std::snprintf(hex, sizeof hex, "\\%03o", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "'";
}

// ---- the record of what the last syncs moved ---------------------------------------------

// What a file was when a sync last sent or fetched it.
struct Moved {
  uint64_t size;
  int64_t host_ns;   // the host file's modification time
  int64_t handheld;  // the handheld's time of the file after the transfer
};
using Key = std::pair<std::string, std::string>;  // the handheld path, the host path (absolute)

// One line a file: SIZE HOST_NS HANDHELD_TIME REMOTE<tab>LOCAL, with backslash, tab and line
// feed in the paths written \\, \t and \n.  A line that does not read so is ignored.
std::string escaped(const std::string &s) {
  std::string out;
  for (char c : s) out += c == '\\' ? "\\\\" : c == '\t' ? "\\t" : c == '\n' ? "\\n" : std::string(1, c);
  return out;
}

bool unescaped(const std::string &s, std::string *out) {
  out->clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      *out += s[i];
      continue;
    }
    if (++i == s.size()) return false;
    if (s[i] == '\\')
      *out += '\\';
    else if (s[i] == 't')
      *out += '\t';
    else if (s[i] == 'n')
      *out += '\n';
    else
      return false;
  }
  return true;
}

class Record {
 public:
  // The record of the handheld at addr; without a serial or a state folder there is none,
  // and every file is judged by sizes and times.
  explicit Record(uint32_t addr) {
    std::string serial = serial_of(addr);
    if (serial.empty()) return;
    std::string folder = user_state_folder(nullptr);
    if (folder.empty()) return;
    for (char &c : serial)
      if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') c = '_';
    path_ = folder + "/sync-" + serial;
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) {
      std::istringstream fields(line);
      Moved m;
      std::string rest;
      if (!(fields >> m.size >> m.host_ns >> m.handheld) || fields.get() != ' ' || !std::getline(fields, rest))
        continue;
      size_t tab = rest.find('\t');
      Key key;
      if (tab == std::string::npos || !unescaped(rest.substr(0, tab), &key.first) ||
          !unescaped(rest.substr(tab + 1), &key.second) || key.first.empty() || key.second.empty())
        continue;
      files_[key] = m;
    }
  }

  const Moved *find(const Key &key) const {
    auto it = files_.find(key);
    return it == files_.end() ? nullptr : &it->second;
  }
  void set(const Key &key, const Moved &m) {
    files_[key] = m;
    changed_ = true;
  }
  void forget(const Key &key) { changed_ = files_.erase(key) > 0 || changed_; }

  // Writes the record whole beside itself and puts it in place; a failure is a warning (the
  // next sync judges by sizes and times where the record is old).
  void save() const {
    if (path_.empty() || !changed_) return;
    std::string temp = path_ + ".XXXXXX";
    int fd = mkstemp(temp.data());
    bool ok = fd >= 0;
    if (ok) {
      std::string text;
      for (const auto &f : files_)
        text += std::to_string(f.second.size) + " " + std::to_string(f.second.host_ns) + " " +
                std::to_string(f.second.handheld) + " " + escaped(f.first.first) + "\t" + escaped(f.first.second) +
                "\n";
      const char *p = text.data();
      size_t n = text.size();
      while (ok && n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        ok = w > 0;
        if (ok) p += w, n -= static_cast<size_t>(w);
      }
      ok = fsync(fd) == 0 && ok;
      ok = close(fd) == 0 && ok;
      ok = ok && rename(temp.c_str(), path_.c_str()) == 0;
      if (!ok) unlink(temp.c_str());
    }
    if (!ok)
      std::fprintf(stderr, "zrlink: sync: cannot write the record %s: %s (the next sync compares times)\n",
                   path_.c_str(), std::strerror(errno));
  }

 private:
  std::string path_;
  std::map<Key, Moved> files_;
  bool changed_ = false;
};

std::string absolute(const std::string &path) {
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  return ec ? path : p.lexically_normal().string();
}

int64_t ns_of(const struct stat &st) {
  return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// ---- the two sides ------------------------------------------------------------------------

// One side of a sync.
class Side {
 public:
  Side(uint32_t addr, const std::string &arg, bool source, const Options &opt)
      : addr_(addr),
        remote_(!arg.empty() && arg[0] == ':'),
        source_(source),
        opt_(opt),
        root_(remote_ ? arg.substr(1) : arg) {
    if (remote_ && root_.empty()) root_ = "/";
  }
  bool remote() const { return remote_; }
  const std::string &root() const { return root_; }
  std::string join(const std::string &dir, const std::string &name) const {
    return remote_ ? remote_join(dir, name) : (fs::path(dir) / name).string();
  }

  // The entries of a folder.  0, kNotFound for a missing folder, or another failure
  // (already reported).
  int list(const std::string &dir, Listing *out) const {
    if (remote_) {
      std::vector<Entry> entries;
      int skipped = 0;
      int r = list_folder(addr_, dir, &entries, &skipped);
      if (r == kNotFound) return r;
      out->damaged = skipped > 0;  // names that lead elsewhere: named, and the folder not trusted whole
      if (r < 0) {
        report("ls " + dir, r);
        return r;
      }
      for (const auto &e : entries) out->items.push_back({e.name, is_folder(e.attr), e.attr.size, e.attr.time});
    } else {
      std::error_code ec;
      struct stat top;
      if (lstat(dir.c_str(), &top) != 0 && errno == ENOENT) return kNotFound;
      for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string path = it->path().string(), name = it->path().filename().string();
        if (!entry(path, name, out)) out->kept.insert(name);
      }
      if (ec) {
        std::fprintf(stderr, "zrlink: sync: %s: %s\n", shell_word(dir).c_str(), ec.message().c_str());
        return -1;
      }
    }
    std::sort(out->items.begin(), out->items.end(), [](const Item &a, const Item &b) { return a.name < b.name; });
    return 0;
  }

  // A host folder's entry into the listing; false when it is skipped (or cannot be read,
  // which damages the listing), named on standard error.
  bool entry(const std::string &path, const std::string &name, Listing *out) const {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
      std::fprintf(stderr, "zrlink: sync: %s: %s%s\n", shell_word(path).c_str(), std::strerror(errno),
                   source_ ? " (nothing of that name is deleted)" : " (left alone)");
      out->damaged = true;
      return false;
    }
    if (!source_) {
      bool plain = S_ISDIR(st.st_mode) || S_ISREG(st.st_mode);
      Item i{name, S_ISDIR(st.st_mode), static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtime)};
      i.special = !plain;
      i.time_ns = ns_of(st);
      out->items.push_back(i);
      return true;
    }
    if (S_ISLNK(st.st_mode)) {
      if (!opt_.follow_links) {
        std::fprintf(stderr, "zrlink: sync: skipping the symbolic link %s (-L syncs what it points to)\n",
                     shell_word(path).c_str());
        return false;
      }
      if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr,
                     "zrlink: sync: %s: %s (a symbolic link that leads nowhere; nothing of that name "
                     "is deleted)\n",
                     shell_word(path).c_str(), std::strerror(errno));
        out->damaged = true;
        return false;
      }
    }
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
      std::fprintf(stderr, "zrlink: sync: skipping %s: not a file or folder (a FIFO, socket or device)\n",
                   shell_word(path).c_str());
      return false;
    }
    Item i{name, S_ISDIR(st.st_mode), static_cast<uint64_t>(st.st_size), static_cast<int64_t>(st.st_mtime)};
    i.time_ns = ns_of(st);
    i.dev = st.st_dev;
    i.ino = st.st_ino;
    out->items.push_back(i);
    return true;
  }

  int make_folder(const std::string &path) const {
    if (remote_) {
      int r = KQ_ZR_fm_fileop(addr_, ZR_FM_MKDIR, path.c_str(), nullptr);
      return r < 0 ? report("mkdir " + path, r) : kOk;
    }
    std::error_code ec;
    if (!fs::create_directory(path, ec) && ec) {
      std::fprintf(stderr, "zrlink: sync: cannot create %s: %s\n", shell_word(path).c_str(), ec.message().c_str());
      return kFailed;
    }
    return kOk;
  }

  // Removes a file (a host entry as itself, a symbolic link too), or a folder with
  // everything in it.  A signal stops it between two handheld requests.
  int remove(const std::string &path, bool folder) const {
    if (interrupted()) return cancelled_exit_code();
    if (!remote_) {
      std::error_code ec;
      fs::remove_all(path, ec);  // does not follow symbolic links
      if (ec) {
        std::fprintf(stderr, "zrlink: sync: cannot delete %s: %s\n", shell_word(path).c_str(), ec.message().c_str());
        return kFailed;
      }
      return kOk;
    }
    if (folder) {
      Listing inside;
      int r = list(path, &inside);
      if (r == kNotFound) return kOk;
      if (r < 0) return kFailed;
      for (const auto &i : inside.items) {
        int c = remove(remote_join(path, i.name), i.folder);
        if (c != kOk) return c;
      }
    }
    int r = KQ_ZR_fm_fileop(addr_, folder ? ZR_FM_RMDIR : ZR_FM_DEL, path.c_str(), nullptr);
    return r < 0 ? report("delete " + path, r) : kOk;
  }

  // Whether the handheld, asked for this one path, says it is not there (`want_absent`) or
  // is there as a folder or a file (`folder`): the evidence a deletion on the host rests
  // on.  Otherwise names the path and why nothing is deleted.
  // A handheld entry that the listing of its folder did not show, asked for by its path:
  // 0 with it in *out when it is there after all, kNotFound, or another failure (named).
  int look_up(const std::string &path, const std::string &name, Item *out) const {
    zr_attr a{};
    int r = KQ_ZR_fm_dirattr(addr_, path.c_str(), &a);
    if (r == 0) *out = Item{name, is_folder(a), a.size, static_cast<int64_t>(a.time)};
    if (r < 0 && r != kNotFound)
      std::fprintf(stderr, "zrlink: sync: %s: %s; nothing is copied there\n", shell_word(path).c_str(),
                   explain(Context{Doing::kFileOp, path, ""}, r).c_str());
    return r;
  }

  bool confirm(const std::string &path, bool want_absent, bool folder, const std::string &target) const {
    zr_attr a{};
    int r = KQ_ZR_fm_dirattr(addr_, path.c_str(), &a);
    if (want_absent ? r == kNotFound : r == 0 && is_folder(a) == folder) return true;
    std::string why = r == 0           ? (want_absent ? "the handheld's listing lacks it, but it is there"
                                                      : "the handheld's listing and its attributes disagree")
                      : r == kNotFound ? "the handheld's listing shows it, but it is not there"
                                       : explain(Context{Doing::kFileOp, path, ""}, r);
    std::fprintf(stderr, "zrlink: sync: %s: %s; %s is not deleted\n", shell_word(path).c_str(), why.c_str(),
                 shell_word(target).c_str());
    return false;
  }

 private:
  uint32_t addr_;
  bool remote_;
  bool source_;
  const Options &opt_;
  std::string root_;
};

const Item *find(const std::vector<Item> &items, const std::string &name) {
  for (const auto &i : items)
    if (i.name == name) return &i;
  return nullptr;
}

struct Sides {
  const Side &src, &dst;
  const Options &opt;
  const Record &record;
};

// Whether a file that both sides have changed since the last sync moved it (see the top).
bool changed(const Sides &s, const std::string &a, const std::string &b, const Item &w, const Item &h) {
  const Item &host = s.src.remote() ? h : w, &handheld = s.src.remote() ? w : h;
  const std::string &remote = s.src.remote() ? a : b, &local = s.src.remote() ? b : a;
  if (const Moved *m = s.record.find({remote, absolute(local)}))
    return host.size != m->size || host.time_ns != m->host_ns || handheld.size != m->size ||
           static_cast<int64_t>(handheld.time) != m->handheld;
  return h.size != w.size || w.time > h.time;
}

// Plans the copy of folder `from` into `to` (which exists when to_exists).  kOk also when
// entries were left alone with a message (counted in plan->errors).
int plan_folder(const Sides &s, const std::string &from, const std::string &to, bool to_exists, Plan *plan) {
  if (interrupted()) return cancelled_exit_code();
  const Side &src = s.src, &dst = s.dst;
  Listing have, want;
  int r = src.list(from, &want);
  if (r == kNotFound) std::fprintf(stderr, "zrlink: sync: %s: no such folder\n", shell_word(from).c_str());
  if (r < 0 && (src.remote() || r == kNotFound)) return kFailed;
  if (r < 0) {
    // A host folder that cannot be listed: its DST folder stays as it is.
    std::fprintf(stderr, "zrlink: sync: nothing in %s is deleted or copied\n", shell_word(to).c_str());
    ++plan->errors;
    return kOk;
  }
  if (want.damaged) ++plan->errors;
  if (to_exists && dst.list(to, &have) < 0) return kFailed;
  if (have.damaged) ++plan->errors;
  for (const auto &w : want.items) {
    std::string a = src.join(from, w.name), b = dst.join(to, w.name);
    const Item *h = find(have.items, w.name);
    if (!h && have.kept.count(w.name)) continue;  // an entry of DST that could not be read
    // A listing broken off between two entries looks whole: what the handheld's listing
    // lacks is asked for by its path before it is written, so that a file there is not
    // replaced unseen.
    Item looked;
    if (!h && to_exists && dst.remote()) {
      int l = dst.look_up(b, w.name, &looked);
      if (l == 0) h = &looked;
      if (l < 0 && l != kNotFound) {
        ++plan->errors;
        continue;
      }
    }
    if (w.folder && !src.remote() && !plan->seen.insert({w.dev, w.ino}).second) {
      std::fprintf(stderr, "zrlink: sync: skipping %s: a link leads back to a folder already synced\n",
                   shell_word(a).c_str());
      continue;
    }
    if (h && h->special) {
      // Replaced as a plain entry: the link goes, what it points to stays.
      plan->deletes.push_back({b, false});
      h = nullptr;
    } else if (h && h->folder != w.folder) {
      if (!s.opt.delete_extra) {
        std::fprintf(stderr, "zrlink: sync: %s is a %s where %s is a %s (--delete replaces it)\n",
                     shell_word(b).c_str(), h->folder ? "folder" : "file", shell_word(a).c_str(),
                     w.folder ? "folder" : "file");
        return kFailed;
      }
      if (src.remote() && !src.confirm(a, false, w.folder, b)) {
        ++plan->errors;
        continue;
      }
      plan->deletes.push_back({b, h->folder});
      h = nullptr;
    }
    if (w.folder) {
      if (!h) plan->mkdirs.push_back(b);
      int c = plan_folder(s, a, b, h != nullptr, plan);
      if (c != kOk) return c;
    } else if (!h || changed(s, a, b, w, *h)) {
      plan->copies.push_back({a, b, w.size});
      plan->times.push_back(w.time);
      plan->source_ns.push_back(w.time_ns);
    }
  }
  if (!s.opt.delete_extra) return kOk;
  if (want.damaged && !have.items.empty()) {
    std::fprintf(stderr, "zrlink: sync: %s could not be read whole: nothing in %s is deleted\n",
                 shell_word(from).c_str(), shell_word(to).c_str());
    return kOk;
  }
  for (const auto &h : have.items) {
    if (find(want.items, h.name) || want.kept.count(h.name)) continue;
    if (interrupted()) return cancelled_exit_code();
    std::string b = dst.join(to, h.name);
    if (src.remote() && !src.confirm(src.join(from, h.name), true, false, b)) {
      ++plan->errors;
      continue;
    }
    plan->deletes.push_back({b, h.folder && !h.special});
  }
  return kOk;
}

// Notes in the record what each copied file is now on both sides: a sent file as the host
// had it when the sync began (an edit while it was sent makes it differ next time), a
// fetched one as it is now (and on the handheld as its listing showed it).
void note_copies(uint32_t addr, bool fetch, const Plan &plan, const Outcome &outcome, Record *record) {
  for (const Transfer *t : outcome.copied) {
    const std::string &remote = fetch ? t->from : t->to, &local = fetch ? t->to : t->from;
    Key key{remote, absolute(local)};
    const size_t i = static_cast<size_t>(t - plan.copies.data());
    struct stat st;
    zr_attr a{};
    // A fetched file is the one the listing showed (its size was checked on arrival); a sent
    // one has the time the handheld gave it, which only the handheld can tell.
    if (fetch) {
      a.size = static_cast<uint32_t>(t->size);
      a.time = static_cast<uint32_t>(plan.times[i]);
    }
    if (stat(local.c_str(), &st) != 0 || (!fetch && KQ_ZR_fm_dirattr(addr, remote.c_str(), &a) != 0) ||
        static_cast<uint64_t>(st.st_size) != a.size) {
      record->forget(key);
      continue;
    }
    int64_t host_ns = fetch ? ns_of(st) : plan.source_ns[i];
    record->set(key, {a.size, host_ns, static_cast<int64_t>(a.time)});
  }
}

}  // namespace

int cmd_sync(const Options &opt) {
  const std::string &a = opt.args[0], &b = opt.args[1];
  bool a_remote = !a.empty() && a[0] == ':', b_remote = !b.empty() && b[0] == ':';
  if (a_remote == b_remote) {
    std::fprintf(stderr,
                 "zrlink: sync: one side must be the handheld's, written :PATH "
                 "(zrlink sync photos :/docs/photos, zrlink sync :/docs backup)\n");
    return kUsage;
  }
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  const Side src(s.addr(), a, true, opt), dst(s.addr(), b, false, opt);
  const bool fetch = src.remote();
  Record record(s.addr());

  Listing top;
  int r = dst.list(dst.root(), &top);
  if (r < 0 && r != kNotFound) {
    if (r == kWrongKind) std::fprintf(stderr, "zrlink: sync: %s is not a folder\n", shell_word(dst.root()).c_str());
    return kFailed;
  }
  Plan plan;
  if (r == kNotFound) plan.mkdirs.push_back(dst.root());
  struct stat root;
  if (!fetch && stat(src.root().c_str(), &root) == 0) plan.seen.insert({root.st_dev, root.st_ino});
  int c = plan_folder({src, dst, opt, record}, src.root(), dst.root(), r == 0, &plan);
  if (c != kOk && interrupted()) std::fprintf(stderr, "zrlink: sync: stopped before any change\n");
  if (c != kOk) return c;
  const int left_alone = plan.errors > 0 ? kFailed : kOk;

  const char *verb = fetch ? "fetch" : "send";
  if (opt.dry_run) {
    for (const auto &d : plan.deletes) std::printf("delete %s%s\n", shell_word(d.path).c_str(), d.folder ? "/" : "");
    for (const auto &m : plan.mkdirs) std::printf("mkdir %s\n", shell_word(m).c_str());
    for (const auto &t : plan.copies)
      std::printf("%s %s -> %s\n", verb, shell_word(t.from).c_str(), shell_word(t.to).c_str());
    return left_alone;
  }
  // A signal stops the deletions and the folders between two steps.
  size_t step = 0;
  auto stopped = [&](int code) {
    if (code == cancelled_exit_code() && interrupted())
      std::fprintf(stderr,
                   "zrlink: sync: stopped after %zu of %zu deletions and %zu of %zu folders; no file was copied\n",
                   std::min(step, plan.deletes.size()), plan.deletes.size(),
                   step > plan.deletes.size() ? step - plan.deletes.size() : 0, plan.mkdirs.size());
    return code;
  };
  for (const auto &d : plan.deletes) {
    if (interrupted()) return stopped(cancelled_exit_code());
    if ((c = dst.remove(d.path, d.folder)) != kOk) return stopped(c);
    ++step;
    if (!opt.quiet) std::printf("deleted %s\n", shell_word(d.path).c_str());
  }
  for (const auto &m : plan.mkdirs) {
    if (interrupted()) return stopped(cancelled_exit_code());
    if ((c = dst.make_folder(m)) != kOk) return stopped(c);
    ++step;
  }
  // What each file to fetch was before: one that the run wrote is a new file.
  std::vector<struct stat> before(plan.copies.size());
  for (size_t i = 0; fetch && i < plan.copies.size(); ++i)
    if (stat(plan.copies[i].to.c_str(), &before[i]) != 0) before[i].st_ino = 0;
  Outcome outcome;
  c = run_transfers(s.addr(), fetch ? ZR_FM_GET : ZR_FM_PUT, plan.copies, opt, nullptr, &outcome);
  // Each file fetched takes the handheld's time; one that the run did not write keeps its
  // own, so that the next sync tries it again.
  for (size_t i = 0; fetch && i < plan.copies.size(); ++i) {
    struct stat now;
    const char *path = plan.copies[i].to.c_str();
    const struct stat &old = before[i];
    if (stat(path, &now) != 0 ||
        (old.st_ino == now.st_ino && old.st_dev == now.st_dev && old.st_mtim.tv_sec == now.st_mtim.tv_sec &&
         old.st_mtim.tv_nsec == now.st_mtim.tv_nsec))
      continue;
    struct timespec times[2] = {{static_cast<time_t>(plan.times[i]), 0}, {static_cast<time_t>(plan.times[i]), 0}};
    utimensat(AT_FDCWD, path, times, 0);
  }
  // After a signal the record stays as it was: what it lacks is judged by sizes and times.
  if (!interrupted()) {
    note_copies(s.addr(), fetch, plan, outcome, &record);
    record.save();
  }
  return c != kOk ? c : left_alone;
}

}  // namespace zrcli
