// cli-sync.cpp -- zrlink sync: copies only what changed between a host folder and a
// handheld folder (written :PATH), in either direction.
//
// The contents of SRC go into DST, which is made when it is missing.  A file is copied when
// DST lacks it, when the sizes differ, or when the source is newer: times are compared in
// whole seconds, the host's modification time as epoch seconds against the time in the
// handheld's listing taken as epoch seconds as it stands.  The handheld gives a file its own
// time when it stores it (fput carries none), so a file sent is not newer on the host at the
// next sync; a fetched file takes the handheld's time as its modification time.
//
// The plan is made first (folders to make, files to copy, with --delete what DST has and
// SRC lacks); --dry-run prints it and stops.  Otherwise deletions go first, then the folders
// are made, then the files move as push and pull move them.
#include "cli.h"
#include "zr-net.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace zrcli {

namespace {

struct Item {
  std::string name;
  bool folder;
  uint64_t size;
  int64_t time;  // epoch seconds
};

struct Plan {
  std::vector<std::pair<std::string, bool>> deletes;  // DST paths, true for a folder
  std::vector<std::string> mkdirs;                    // DST folders, parents first
  std::vector<Transfer> copies;
  std::vector<int64_t> times;  // each copy's source time
};

// One side of a sync.
class Side {
 public:
  Side(uint32_t addr, const std::string &arg)
      : addr_(addr), remote_(!arg.empty() && arg[0] == ':'), root_(remote_ ? arg.substr(1) : arg) {
    if (remote_ && root_.empty()) root_ = "/";
  }
  bool remote() const { return remote_; }
  const std::string &root() const { return root_; }
  std::string join(const std::string &dir, const std::string &name) const {
    return remote_ ? remote_join(dir, name) : (fs::path(dir) / name).string();
  }

  // The entries of a folder.  0, kNotFound for a missing folder, or another failure
  // (already reported).
  int list(const std::string &dir, std::vector<Item> *out) const {
    if (remote_) {
      std::vector<Entry> entries;
      int r = list_folder(addr_, dir, &entries);
      if (r == kNotFound) return r;
      if (r < 0) {
        report("ls " + dir, r);
        return r;
      }
      for (const auto &e : entries) {
        if (e.name.empty() || e.name.find('/') != std::string::npos) {
          std::fprintf(stderr, "zrlink: sync: skipping the unsafe name %s\n", join(dir, e.name).c_str());
          continue;
        }
        out->push_back({e.name, is_folder(e.attr), e.attr.size, e.attr.time});
      }
    } else {
      std::error_code ec;
      if (!fs::exists(dir, ec)) return kNotFound;
      for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        struct stat st;
        if (stat(it->path().c_str(), &st) != 0 || !(S_ISDIR(st.st_mode) || S_ISREG(st.st_mode)))
          continue;  // gone, or neither a file nor a folder
        out->push_back({it->path().filename().string(), S_ISDIR(st.st_mode), static_cast<uint64_t>(st.st_size),
                        static_cast<int64_t>(st.st_mtime)});
      }
      if (ec) {
        std::fprintf(stderr, "zrlink: sync: %s: %s\n", dir.c_str(), ec.message().c_str());
        return -1;
      }
    }
    std::sort(out->begin(), out->end(), [](const Item &a, const Item &b) { return a.name < b.name; });
    return 0;
  }

  int make_folder(const std::string &path) const {
    if (remote_) {
      int r = KQ_ZR_fm_fileop(addr_, ZR_FM_MKDIR, path.c_str(), nullptr);
      return r < 0 ? report("mkdir " + path, r) : kOk;
    }
    std::error_code ec;
    if (!fs::create_directory(path, ec) && ec) {
      std::fprintf(stderr, "zrlink: sync: cannot create %s: %s\n", path.c_str(), ec.message().c_str());
      return kFailed;
    }
    return kOk;
  }

  // Removes a file, or a folder with everything in it.
  int remove(const std::string &path, bool folder) const {
    if (!remote_) {
      std::error_code ec;
      fs::remove_all(path, ec);
      if (ec) {
        std::fprintf(stderr, "zrlink: sync: cannot delete %s: %s\n", path.c_str(), ec.message().c_str());
        return kFailed;
      }
      return kOk;
    }
    if (folder) {
      std::vector<Item> items;
      int r = list(path, &items);
      if (r == kNotFound) return kOk;
      if (r < 0) return kFailed;
      for (const auto &i : items) {
        int c = remove(remote_join(path, i.name), i.folder);
        if (c != kOk) return c;
      }
    }
    int r = KQ_ZR_fm_fileop(addr_, folder ? ZR_FM_RMDIR : ZR_FM_DEL, path.c_str(), nullptr);
    return r < 0 ? report("delete " + path, r) : kOk;
  }

 private:
  uint32_t addr_;
  bool remote_;
  std::string root_;
};

const Item *find(const std::vector<Item> &items, const std::string &name) {
  for (const auto &i : items)
    if (i.name == name) return &i;
  return nullptr;
}

// Plans the copy of folder `from` into `to` (which exists when to_exists).
int plan_folder(const Side &src, const std::string &from, const Side &dst, const std::string &to, bool to_exists,
                const Options &opt, Plan *plan) {
  std::vector<Item> have, want;
  int r = src.list(from, &want);
  if (r == kNotFound) std::fprintf(stderr, "zrlink: sync: %s: no such folder\n", from.c_str());
  if (r < 0) return kFailed;
  if (to_exists && dst.list(to, &have) < 0) return kFailed;
  for (const auto &w : want) {
    std::string a = src.join(from, w.name), b = dst.join(to, w.name);
    const Item *h = find(have, w.name);
    if (h && h->folder != w.folder) {
      if (!opt.delete_extra) {
        std::fprintf(stderr, "zrlink: sync: %s is a %s where %s is a %s (--delete replaces it)\n", b.c_str(),
                     h->folder ? "folder" : "file", a.c_str(), w.folder ? "folder" : "file");
        return kFailed;
      }
      plan->deletes.push_back({b, h->folder});
      h = nullptr;
    }
    if (w.folder) {
      if (!h) plan->mkdirs.push_back(b);
      int c = plan_folder(src, a, dst, b, h != nullptr, opt, plan);
      if (c != kOk) return c;
    } else if (!h || h->size != w.size || w.time > h->time) {
      plan->copies.push_back({a, b, w.size});
      plan->times.push_back(w.time);
    }
  }
  if (opt.delete_extra)
    for (const auto &h : have)
      if (!find(want, h.name)) plan->deletes.push_back({dst.join(to, h.name), h.folder});
  return kOk;
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
  const Side src(s.addr(), a), dst(s.addr(), b);
  const bool fetch = src.remote();

  std::vector<Item> top;
  int r = dst.list(dst.root(), &top);
  if (r < 0 && r != kNotFound) {
    if (r == kWrongKind) std::fprintf(stderr, "zrlink: sync: %s is not a folder\n", dst.root().c_str());
    return kFailed;
  }
  Plan plan;
  if (r == kNotFound) plan.mkdirs.push_back(dst.root());
  int c = plan_folder(src, src.root(), dst, dst.root(), r == 0, opt, &plan);
  if (c != kOk) return c;

  const char *verb = fetch ? "fetch" : "send";
  if (opt.dry_run) {
    for (const auto &d : plan.deletes) std::printf("delete %s%s\n", d.first.c_str(), d.second ? "/" : "");
    for (const auto &m : plan.mkdirs) std::printf("mkdir %s\n", m.c_str());
    for (const auto &t : plan.copies) std::printf("%s %s -> %s\n", verb, t.from.c_str(), t.to.c_str());
    return kOk;
  }
  for (const auto &d : plan.deletes) {
    if ((c = dst.remove(d.first, d.second)) != kOk) return c;
    if (!opt.quiet) std::printf("deleted %s\n", d.first.c_str());
  }
  for (const auto &m : plan.mkdirs)
    if ((c = dst.make_folder(m)) != kOk) return c;
  // What each file to fetch was before: one that the run wrote is a new file.
  std::vector<struct stat> before(plan.copies.size());
  for (size_t i = 0; fetch && i < plan.copies.size(); ++i)
    if (stat(plan.copies[i].to.c_str(), &before[i]) != 0) before[i].st_ino = 0;
  c = run_transfers(s.addr(), fetch ? ZR_FM_GET : ZR_FM_PUT, plan.copies, opt, nullptr);
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
  return c;
}

}  // namespace zrcli
