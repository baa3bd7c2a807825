// cli-session.cpp -- starting the library, choosing the handheld, Ctrl-C.
#include "cli.h"
#include "zr-net.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace zrcli {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;
volatile std::sig_atomic_t g_socket = -1;

extern "C" void on_interrupt(int)
{
    g_interrupted = 1;
    int s = g_socket;
    if (s >= 0)
        shutdown(s, SHUT_RDWR); // async-signal-safe; the library then sees the end
}

// A probe running in a child process: the child writes KQ_ZR_en_ping's result into the
// pipe and ends.
struct RunningProbe {
    pid_t pid = -1;
    int fd = -1;
};

RunningProbe start_probe(uint32_t addr)
{
    RunningProbe p;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return p;
    std::fflush(nullptr);
    p.pid = fork();
    if (p.pid == 0) {
        close(fds[0]);
        int32_t r = KQ_ZR_en_ping(addr);
        _exit(write(fds[1], &r, sizeof r) == static_cast<ssize_t>(sizeof r) ? 0 : 1);
    }
    close(fds[1]);
    if (p.pid < 0) {
        close(fds[0]);
        return p;
    }
    p.fd = fds[0];
    return p;
}

// The probe's result; probed here when the child could not be started or gave none.
int finish_probe(RunningProbe &p, uint32_t addr)
{
    int32_t r = 0;
    bool got = false;
    if (p.fd >= 0) {
        ssize_t n;
        while ((n = read(p.fd, &r, sizeof r)) < 0 && errno == EINTR) {
        }
        got = n == static_cast<ssize_t>(sizeof r);
        close(p.fd);
    }
    if (p.pid > 0)
        while (waitpid(p.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    return got ? r : KQ_ZR_en_ping(addr);
}

// Every handheld that answers the probe.
int discover(std::vector<Candidate> *found)
{
    std::vector<Candidate> all;
    int r = find_candidates(&all);
    for (const auto &c : all)
        if (c.probe == 0)
            found->push_back(c);
    return r;
}

} // namespace

int find_candidates(std::vector<Candidate> *found)
{
    int h = KQ_ZR_en_init();
    if (h < 0)
        return h;
    zr_enum_rec rec;
    int r;
    while ((r = KQ_ZR_en_next(h, &rec)) == 0)
        found->push_back({rec.addr, rec.slot, ZR_E_END});
    KQ_ZR_en_done(h);
    std::vector<RunningProbe> probes;
    for (const auto &c : *found)
        probes.push_back(start_probe(c.addr));
    for (size_t i = 0; i < found->size(); ++i)
        (*found)[i].probe = finish_probe(probes[i], (*found)[i].addr);
    return r == ZR_E_END ? 0 : r;
}

Library::Library() : ok_(KQ_ZR_1b_init() == 0)
{
    zr_tune tune{10000, 10000};
    if (ok_)
        KQ_ZR_sl_tune(2, &tune);
}

Library::~Library()
{
    if (ok_)
        KQ_ZR_1b_done();
}

std::string addr_text(uint32_t a)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255u, (a >> 8) & 255u,
                  a & 255u);
    return buf;
}

void install_interrupt_handler()
{
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
}

bool interrupted() { return g_interrupted != 0; }

void set_interrupt_socket(int socket)
{
    g_socket = socket;
    if (socket >= 0 && g_interrupted)
        shutdown(socket, SHUT_RDWR);
}

bool show_progress(const Options &opt)
{
    return !opt.quiet && (opt.progress || isatty(STDERR_FILENO));
}

int report(const std::string &what, int code)
{
    if (interrupted()) {
        std::fprintf(stderr, "zrlink: %s: stopped\n", what.c_str());
        return kCancelled;
    }
    std::fprintf(stderr, "zrlink: %s: %s\n", what.c_str(), describe(code).c_str());
    return kFailed;
}

Session::Session(const Options &opt)
{
    if (!lib_.ok())
        exit_code_ = report("starting the socket layer", ZR_E_SOCKET);
    else
        ok_ = choose_device(opt, &addr_, &exit_code_);
}

bool choose_device(const Options &opt, uint32_t *addr, int *exit_code)
{
    if (!opt.addr_text.empty()) {
        int n = zr_p_addr(addr, opt.addr_text.c_str());
        if (n == 0 || opt.addr_text[static_cast<size_t>(n)] != '\0') {
            std::fprintf(stderr, "zrlink: not an address: %s\n", opt.addr_text.c_str());
            *exit_code = kUsage;
            return false;
        }
        return true;
    }
    std::vector<Candidate> found;
    int r = discover(&found);
    if (r < 0) {
        *exit_code = report("discovery", r);
        return false;
    }
    if (found.size() == 1) {
        *addr = found[0].addr;
        return true;
    }
    if (found.empty()) {
        std::fprintf(stderr, "zrlink: no handheld answers (attach one, or name it with --addr)\n");
    } else {
        std::fprintf(stderr, "zrlink: %zu handhelds answer; choose one with --addr:\n", found.size());
        for (const auto &rec : found)
            std::fprintf(stderr, "  %s\n", addr_text(rec.addr).c_str());
    }
    *exit_code = kNoDevice;
    return false;
}

namespace {

const char kUsageText[] =
    "usage: zrlink [--addr A] [-q] COMMAND [ARGS]    (zrlink --version, zrlink --help)\n"
    "\n"
    "Commands:\n"
    "  list                      the attached handhelds, with address and slot\n"
    "  info [--json]             the handheld's identity, storage, battery, versions, screen\n"
    "  ls [-l] [PATH]            a folder of the handheld (default /)\n"
    "  stat PATH...              attributes of handheld paths\n"
    "  mkdir PATH | rmdir PATH | rm PATH\n"
    "  mv FROM TO | cp FROM TO   move or copy on the handheld\n"
    "  push [-j N] LOCAL... REMOTE  send files and folders (recursive) to the handheld\n"
    "  pull [-j N] REMOTE... LOCAL  fetch files and folders (recursive) from the handheld\n"
    "  mount [-f] MOUNTPOINT     the handheld's storage as a folder (FUSE; fusermount3 -u ends it)\n"
    "  sync [--delete] [--dry-run] SRC DST  copy what changed; the handheld's side is :PATH\n"
    "  screenshot OUT.png        the handheld's screen as a PNG picture\n"
    "  osupg IMAGE               install an operating system image found on the handheld\n"
    "  wait [--timeout S]        until a handheld answers (default 30 s)\n"
    "\n"
    "Options:\n"
    "  --addr A    the handheld's address (default: $ZR_ADDR, else the only one attached)\n"
    "  -q          no progress display (shown on a terminal otherwise)\n"
    "  --progress  the progress display also when standard error is not a terminal\n"
    "  -j N        push, pull: N transfers at the same time (default 4; 1 for a handheld\n"
    "              that takes one connection at a time)\n"
    "  --keep-going  push, pull: after a failed file go on with the others (default: stop)\n"
    "\n"
    "Exit codes: 0 done, 1 failed (the reason is printed), 2 bad command line,\n"
    "3 no handheld found, 130 stopped with Ctrl-C.\n";

// The most transfers at the same time that -j takes.
const int kMaxJobs = 64;

// Each command with the number of operands it takes (max -1: any number) and its usage.
struct Command {
    const char *name;
    int (*run)(const Options &);
    int min, max;
    const char *usage;
};

const Command kCommands[] = {
    {"list", cmd_list, 0, 0, "list"},
    {"info", cmd_info, 0, 0, "info [--json]"},
    {"ls", cmd_ls, 0, 1, "ls [-l] [PATH]"},
    {"stat", cmd_stat, 1, -1, "stat PATH..."},
    {"mkdir", cmd_mkdir, 1, 1, "mkdir PATH"},
    {"rmdir", cmd_rmdir, 1, 1, "rmdir PATH"},
    {"rm", cmd_rm, 1, 1, "rm PATH"},
    {"mv", cmd_mv, 2, 2, "mv FROM TO"},
    {"cp", cmd_cp, 2, 2, "cp FROM TO"},
    {"push", cmd_push, 2, -1, "push [-j N] [--keep-going] LOCAL... REMOTE"},
    {"pull", cmd_pull, 2, -1, "pull [-j N] [--keep-going] REMOTE... LOCAL"},
    {"mount", cmd_mount, 1, 1, "mount [-f] MOUNTPOINT"},
    {"sync", cmd_sync, 2, 2, "sync [--delete] [--dry-run] [-j N] SRC DST   (the handheld's side as :PATH)"},
    {"screenshot", cmd_screenshot, 1, 1, "screenshot OUT.png"},
    {"osupg", cmd_osupg, 1, 1, "osupg IMAGE"},
    {"wait", cmd_wait, 0, 0, "wait [--timeout S]"},
};

int usage_error(const char *fmt, const char *what)
{
    std::fprintf(stderr, "zrlink: ");
    std::fprintf(stderr, fmt, what);
    std::fprintf(stderr, "\n%s", kUsageText);
    return kUsage;
}

} // namespace

int run(int argc, char **argv)
{
    Options opt;
    if (const char *env = std::getenv("ZR_ADDR"))
        opt.addr_text = env;
    const Command *command = nullptr;
    bool operands_only = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char *name) -> const char * {
            size_t n = std::strlen(name);
            if (a.size() > n && a.compare(0, n, name) == 0 && a[n] == '=')
                return argv[i] + n + 1;
            if (i + 1 < argc)
                return argv[++i];
            return nullptr;
        };
        if (operands_only || a.empty() || a[0] != '-' || a == "-") {
            if (!command) {
                for (const auto &c : kCommands)
                    if (a == c.name)
                        command = &c;
                if (!command)
                    return usage_error("unknown command: %s", a.c_str());
            } else {
                opt.args.push_back(a);
            }
        } else if (a == "--") {
            operands_only = true;
        } else if (a == "-h" || a == "--help") {
            std::printf("%s", kUsageText);
            return kOk;
        } else if (a == "--version") {
            // The tool comes with the library it was built against: one version for both.
            std::printf("zrlink %d.%d.%d\n", ZR_NET_VERSION_MAJOR, ZR_NET_VERSION_MINOR, ZR_NET_VERSION_PATCH);
            return kOk;
        } else if (a == "-q" || a == "--quiet") {
            opt.quiet = true;
        } else if (a == "--progress") {
            opt.progress = true;
        } else if (a == "--json") {
            opt.json = true;
        } else if (a == "-l") {
            opt.long_list = true;
        } else if (a == "--keep-going") {
            opt.keep_going = true;
        } else if (a == "-f") {
            opt.foreground = true;
        } else if (a == "--delete") {
            opt.delete_extra = true;
        } else if (a == "--dry-run" || a == "-n") {
            opt.dry_run = true;
        } else if (a.compare(0, 2, "-j") == 0 || a.compare(0, 6, "--jobs") == 0) {
            const char *v = a.size() > 2 && a[1] == 'j' ? argv[i] + 2 : value("--jobs");
            char *end = nullptr;
            long n = v ? std::strtol(v, &end, 10) : 0;
            if (!v || *v == '\0' || *end != '\0' || n < 1 || n > kMaxJobs)
                return usage_error("-j needs a number of transfers (1 to %s)", std::to_string(kMaxJobs).c_str());
            opt.jobs = static_cast<int>(n);
        } else if (a.compare(0, 6, "--addr") == 0) {
            const char *v = value("--addr");
            if (!v)
                return usage_error("%s needs an address", "--addr");
            opt.addr_text = v;
        } else if (a.compare(0, 9, "--timeout") == 0) {
            const char *v = value("--timeout");
            char *end = nullptr;
            double s = v ? std::strtod(v, &end) : -1;
            if (!v || *end != '\0' || !(s >= 0 && s <= 86400))
                return usage_error("%s needs a number of seconds", "--timeout");
            opt.wait_seconds = s;
        } else {
            return usage_error("unknown option: %s", a.c_str());
        }
    }
    if (!command)
        return usage_error("%s", "no command given");
    int n = static_cast<int>(opt.args.size());
    if (n < command->min || (command->max >= 0 && n > command->max)) {
        std::fprintf(stderr, "usage: zrlink %s\n", command->usage);
        return kUsage;
    }
    install_interrupt_handler();
    return command->run(opt);
}

} // namespace zrcli
