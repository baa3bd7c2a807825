// cli-files.cpp -- ls, stat, mkdir, rmdir, rm, mv, cp, push and pull.
#include "cli.h"
#include "zr-net.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace zrcli {

namespace {

// A handheld status for "already exists".
const int kExists = -ZR_S_EXISTS;

struct Entry {
    std::string name;
    zr_attr attr;
};

bool is_folder(const zr_attr &a) { return (a.type & 0xFFu) != 0; }

std::string remote_join(const std::string &dir, const std::string &name)
{
    if (dir.empty())
        return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string remote_base(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string when(uint32_t t)
{
    if (t == 0)
        return "-";
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    char buf[32];
    if (!gmtime_r(&tt, &tm) || !std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm))
        return std::to_string(t);
    return buf;
}

// Reads a whole listing; 0 or a negative result code.
int list_folder(uint32_t addr, const std::string &path, std::vector<Entry> *out)
{
    int h = KQ_ZR_fm_dirinit(addr, path.c_str());
    if (h < 0)
        return h;
    char name[512];
    for (;;) {
        zr_attr attr{};
        int n = KQ_ZR_fm_direnum(h, name, sizeof name, &attr);
        if (n < 0) {
            KQ_ZR_fm_dirdone(h);
            return n == ZR_E_END ? 0 : n;
        }
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        out->push_back({name, attr});
    }
}

int simple_op(const Options &opt, unsigned op, const char *what)
{
    Session s(opt);
    if (!s.ok())
        return s.exit_code();
    const uint32_t addr = s.addr();
    int r = KQ_ZR_fm_fileop(addr, op, opt.args[0].c_str(),
                            opt.args.size() > 1 ? opt.args[1].c_str() : nullptr);
    if (r < 0)
        return report(std::string(what) + " " + opt.args[0], r);
    return kOk;
}

// Adds the files below a local folder to a push, creating the handheld's folders.
int plan_push_folder(uint32_t addr, const fs::path &local, const std::string &remote,
                     std::vector<Transfer> *jobs)
{
    int r = KQ_ZR_fm_fileop(addr, ZR_FM_MKDIR, remote.c_str(), nullptr);
    if (r < 0 && r != kExists)
        return report("mkdir " + remote, r);
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(local, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(*it);
    if (ec) {
        std::fprintf(stderr, "zrlink: push: %s: %s\n", local.c_str(), ec.message().c_str());
        return kFailed;
    }
    std::sort(entries.begin(), entries.end());
    for (const auto &e : entries) {
        std::string to = remote_join(remote, e.path().filename().string());
        if (e.is_directory(ec)) {
            int c = plan_push_folder(addr, e.path(), to, jobs);
            if (c != kOk)
                return c;
        } else {
            jobs->push_back({e.path().string(), to, e.file_size(ec)});
        }
    }
    return kOk;
}

// Adds the files below a handheld folder to a pull, creating the local folders (noted in
// *made so a cancelled pull can take them away again).
int plan_pull_folder(uint32_t addr, const std::string &remote, const fs::path &local,
                     std::vector<Transfer> *jobs, std::vector<fs::path> *made)
{
    std::error_code ec;
    if (!fs::is_directory(local, ec)) {
        if (!fs::create_directory(local, ec)) {
            std::fprintf(stderr, "zrlink: pull: cannot create %s: %s\n", local.c_str(),
                         ec.message().c_str());
            return kFailed;
        }
        made->push_back(local);
    }
    std::vector<Entry> entries;
    int r = list_folder(addr, remote, &entries);
    if (r < 0)
        return report("ls " + remote, r);
    for (const auto &e : entries) {
        std::string from = remote_join(remote, e.name);
        if (e.name.find('/') != std::string::npos || e.name.empty()) {
            std::fprintf(stderr, "zrlink: pull: skipping the unsafe name %s\n", from.c_str());
            continue;
        }
        if (is_folder(e.attr)) {
            int c = plan_pull_folder(addr, from, local / e.name, jobs, made);
            if (c != kOk)
                return c;
        } else {
            jobs->push_back({from, (local / e.name).string(), e.attr.size});
        }
    }
    return kOk;
}

void remove_made_folders(std::vector<fs::path> &made)
{
    std::error_code ec;
    for (auto it = made.rbegin(); it != made.rend(); ++it)
        fs::remove(*it, ec); // only succeeds for a folder left empty
}

} // namespace

int cmd_ls(const Options &opt)
{
    Session s(opt);
    if (!s.ok())
        return s.exit_code();
    const uint32_t addr = s.addr();
    std::string path = opt.args.empty() ? "/" : opt.args[0];
    std::vector<Entry> entries;
    int r = list_folder(addr, path, &entries);
    if (r < 0)
        return report("ls " + path, r);
    for (const auto &e : entries) {
        if (opt.long_list)
            std::printf("%s %10u  %s  %s%s\n", is_folder(e.attr) ? "d" : "-", e.attr.size,
                        when(e.attr.time).c_str(), e.name.c_str(), is_folder(e.attr) ? "/" : "");
        else
            std::printf("%s%s\n", e.name.c_str(), is_folder(e.attr) ? "/" : "");
    }
    return kOk;
}

int cmd_stat(const Options &opt)
{
    Session s(opt);
    if (!s.ok())
        return s.exit_code();
    const uint32_t addr = s.addr();
    for (const auto &path : opt.args) {
        zr_attr a{};
        int r = KQ_ZR_fm_dirattr(addr, path.c_str(), &a);
        if (r < 0)
            return report("stat " + path, r);
        std::printf("%s\n  type   %s (%u)\n  size   %u bytes\n  time   %s (%u)\n  bits   0%o\n",
                    path.c_str(), is_folder(a) ? "folder" : "file", a.type, a.size,
                    when(a.time).c_str(), a.time, a.bits);
    }
    return kOk;
}

int cmd_mkdir(const Options &opt) { return simple_op(opt, ZR_FM_MKDIR, "mkdir"); }
int cmd_rmdir(const Options &opt) { return simple_op(opt, ZR_FM_RMDIR, "rmdir"); }
int cmd_rm(const Options &opt) { return simple_op(opt, ZR_FM_DEL, "rm"); }
int cmd_mv(const Options &opt) { return simple_op(opt, ZR_FM_MOVE, "mv"); }
int cmd_cp(const Options &opt) { return simple_op(opt, ZR_FM_COPY, "cp"); }

int cmd_push(const Options &opt)
{
    Session s(opt);
    if (!s.ok())
        return s.exit_code();
    const uint32_t addr = s.addr();
    std::vector<std::string> sources(opt.args.begin(), opt.args.end() - 1);
    const std::string &target = opt.args.back();
    zr_attr ta{};
    bool into = sources.size() > 1 ||
                (KQ_ZR_fm_dirattr(addr, target.c_str(), &ta) == 0 && is_folder(ta));

    std::vector<Transfer> jobs;
    for (const auto &src : sources) {
        std::error_code ec;
        fs::path local(src);
        auto st = fs::status(local, ec);
        if (ec || !fs::exists(st)) {
            std::fprintf(stderr, "zrlink: push: %s: no such file or folder\n", src.c_str());
            return kFailed;
        }
        std::string name = local.filename().empty() ? local.parent_path().filename().string()
                                                     : local.filename().string();
        std::string to = into ? remote_join(target, name) : target;
        if (fs::is_directory(st)) {
            int c = plan_push_folder(addr, local, to, &jobs);
            if (c != kOk)
                return c;
        } else {
            jobs.push_back({src, to, fs::file_size(local, ec)});
        }
    }
    return run_transfers(addr, ZR_FM_PUT, jobs, opt, nullptr);
}

int cmd_pull(const Options &opt)
{
    Session s(opt);
    if (!s.ok())
        return s.exit_code();
    const uint32_t addr = s.addr();
    std::vector<std::string> sources(opt.args.begin(), opt.args.end() - 1);
    fs::path target(opt.args.back());
    std::error_code ec;
    bool into = sources.size() > 1 || fs::is_directory(target, ec);
    if (sources.size() > 1 && !fs::is_directory(target, ec)) {
        std::fprintf(stderr, "zrlink: pull: %s is not a folder\n", target.c_str());
        return kUsage;
    }

    std::vector<Transfer> jobs;
    std::vector<fs::path> made;
    int result = kOk;
    for (const auto &src : sources) {
        zr_attr a{};
        int r = KQ_ZR_fm_dirattr(addr, src.c_str(), &a);
        if (r < 0) {
            result = report("pull " + src, r);
            break;
        }
        fs::path to = into ? target / remote_base(src) : target;
        if (is_folder(a)) {
            result = plan_pull_folder(addr, src, to, &jobs, &made);
            if (result != kOk)
                break;
        } else {
            jobs.push_back({src, to.string(), a.size});
        }
    }
    // A pull stopped with Ctrl-C takes away the files and folders it made.
    std::vector<std::string> created;
    if (result == kOk)
        result = run_transfers(addr, ZR_FM_GET, jobs, opt, &created);
    if (result == kCancelled) {
        for (const auto &f : created)
            fs::remove(f, ec);
        remove_made_folders(made);
    }
    return result;
}

} // namespace zrcli
