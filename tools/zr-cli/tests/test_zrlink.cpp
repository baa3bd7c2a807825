// zrlink as a user runs it: exit codes, output and the files it leaves.
#include "private_network.h"
#include "sim-pattern.h"
#include "sim_process.h"
#include "test_files.h"

#include <gtest/gtest.h>
#include <png.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

// Runs zrlink with args and returns its exit code and both output streams.
Result zrlink(const std::vector<std::string> &args)
{
    char out_name[] = "/tmp/zrlink-out-XXXXXX", err_name[] = "/tmp/zrlink-err-XXXXXX";
    int out = mkstemp(out_name), err = mkstemp(err_name);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> argv{const_cast<char *>(ZRLINK_PATH)};
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        unsetenv("ZR_ADDR");
        execv(ZRLINK_PATH, argv.data());
        _exit(127);
    }
    Result r;
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    auto slurp = [](int fd) {
        std::string s;
        char buf[4096];
        lseek(fd, 0, SEEK_SET);
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            s.append(buf, static_cast<size_t>(n));
        close(fd);
        return s;
    };
    r.out = slurp(out);
    r.err = slurp(err);
    unlink(out_name);
    unlink(err_name);
    return r;
}

using TempDir = zrtest::TempDir;

TEST(ZrlinkCommandLine, UsageErrorsExitWith2)
{
    EXPECT_EQ(zrlink({}).status, 2);
    Result r = zrlink({"frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown command"), std::string::npos);
    EXPECT_EQ(zrlink({"info", "--bogus"}).status, 2);
    EXPECT_EQ(zrlink({"--addr", "not an address!", "info"}).status, 2);
    EXPECT_EQ(zrlink({"--addr", "127.0.0.1", "mv", "only-one"}).status, 2);
    EXPECT_EQ(zrlink({"wait", "--timeout", "soon"}).status, 2);
    for (const char *jobs : {"0", "x", "65", "-1", ""})
        EXPECT_EQ(zrlink({"--addr", "127.0.0.1", "push", "-j", jobs, "a", "/b"}).status, 2) << jobs;
    EXPECT_EQ(zrlink({"--addr", "127.0.0.1", "pull", "/a", "b", "-j"}).status, 2);
    Result help = zrlink({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("screenshot OUT.png"), std::string::npos);
}

TEST(ZrlinkDevice, InfoAsTableAndJson)
{
    zrtest::SimProcess sim({"--set", "name=CALC-9", "--set", "disk=8388608,2097152,0", "--set",
                            "bat=64,0,0,0,0,0,0,0", "--set", "ver=2,1,0,7"});
    ASSERT_TRUE(sim.ok());
    Result r = zrlink({"--addr", sim.addr_text(), "info"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("CALC-9"), std::string::npos);
    EXPECT_NE(r.out.find("8.0 MiB total, 2.0 MiB available"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("64%"), std::string::npos);
    EXPECT_NE(r.out.find("2.1.0.7"), std::string::npos);
    EXPECT_NE(r.out.find("320 x 240, 16 bits per pixel"), std::string::npos);

    Result j = zrlink({"info", "--json", "--addr=" + sim.addr_text()});
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_NE(j.out.find("\"name\": \"CALC-9\""), std::string::npos) << j.out;
    EXPECT_NE(j.out.find("\"battery\": 64"), std::string::npos);
    EXPECT_NE(j.out.find("\"total\": 8388608"), std::string::npos);
    EXPECT_EQ(j.out.front(), '{');
}

TEST(ZrlinkDevice, FailuresNameTheCode)
{
    zrtest::SimProcess sim({"--status", "1001"});
    ASSERT_TRUE(sim.ok());
    Result r = zrlink({"--addr", sim.addr_text(), "info"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("status 1001 (permission denied)"), std::string::npos) << r.err;

    uint32_t nobody = zrtest::fresh_loopback();
    std::string text = zrtest::addr_text(nobody);
    Result none = zrlink({"--addr", "127.0.0.1", "--addr", text, "info"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("ZR_E_CONNECT (-211)"), std::string::npos) << none.err;
}

// Decodes a PNG into 8-bit RGB rows.
bool read_png(const std::string &path, unsigned *w, unsigned *h, std::vector<uint8_t> *rgb)
{
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    bool ok = false;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_read_info(png, info);
        *w = png_get_image_width(png, info);
        *h = png_get_image_height(png, info);
        if (png_get_color_type(png, info) == PNG_COLOR_TYPE_RGB &&
            png_get_bit_depth(png, info) == 8) {
            rgb->resize(static_cast<size_t>(*w) * *h * 3);
            for (unsigned y = 0; y < *h; ++y)
                png_read_row(png, rgb->data() + static_cast<size_t>(y) * *w * 3, nullptr);
            ok = true;
        }
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return ok;
}

TEST(ZrlinkScreenshot, PngShowsTheTestPattern)
{
    for (const char *geo : {"sgeo=240,320,16,0", "sgeo=64,48,32,0", "sgeo=30,40,8,0"}) {
        zrtest::SimProcess sim({"--set", geo});
        ASSERT_TRUE(sim.ok());
        TempDir dir;
        std::string out = dir.path() + "/screen.png";
        Result r = zrlink({"--addr", sim.addr_text(), "screenshot", out});
        ASSERT_EQ(r.status, 0) << r.err;
        unsigned w = 0, h = 0;
        std::vector<uint8_t> rgb;
        ASSERT_TRUE(read_png(out, &w, &h, &rgb)) << geo;
        zrsim::ScreenGeometry g;
        std::sscanf(geo, "sgeo=%u,%u,%u", &g.height, &g.width, &g.bits_per_pixel);
        ASSERT_EQ(w, g.width);
        ASSERT_EQ(h, g.height);
        for (unsigned y = 0; y < h; y += 7) {
            for (unsigned x = 0; x < w; x += 5) {
                auto want = zrsim::pattern_rgb(g, x, y);
                const uint8_t *p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
                if (g.bits_per_pixel == 16) {
                    // RGB565 keeps the top 5, 6 and 5 bits.
                    EXPECT_EQ(p[0] >> 3, want.red >> 3) << geo << " " << x << "," << y;
                    EXPECT_EQ(p[1] >> 2, want.green >> 2);
                    EXPECT_EQ(p[2] >> 3, want.blue >> 3);
                } else if (g.bits_per_pixel == 8) {
                    EXPECT_EQ(p[0], zrsim::pattern_pixel(g, x, y)) << x << "," << y;
                } else {
                    EXPECT_EQ(p[0], want.red);
                    EXPECT_EQ(p[1], want.green);
                    EXPECT_EQ(p[2], want.blue);
                }
            }
        }
    }
}

TEST(ZrlinkScreenshot, ShortImageFailsWithoutLeavingAFile)
{
    zrtest::SimProcess sim({"--fault-cmd", "scrn", "--reply", "0 100\\nabc"});
    ASSERT_TRUE(sim.ok());
    TempDir dir;
    std::string out = dir.path() + "/screen.png";
    Result r = zrlink({"--addr", sim.addr_text(), "screenshot", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(access(out.c_str(), F_OK), 0);
    EXPECT_NE(access((out + ".part").c_str(), F_OK), 0);
}

} // namespace

namespace {

// A simulator serving a storage folder with a few files and folders.
struct Storage {
    TempDir dir;
    std::string root;
    explicit Storage() : root(dir.path() + "/storage")
    {
        std::system(("mkdir -p '" + root + "/docs/deep' '" + root + "/empty'").c_str());
        write(root + "/notes.txt", "hello handheld\n");
        write(root + "/docs/a b.txt", std::string(5000, 'a'));
        write(root + "/docs/deep/z.bin", std::string(70000, 'z'));
    }
    static void write(const std::string &path, const std::string &content) { zrtest::WriteFile(path, content); }
    static std::string read(const std::string &path) { return zrtest::ReadFile(path).value_or("<missing>"); }
};

// Every file below a folder with its content, for comparing trees.
std::string tree(const std::string &root)
{
    std::string cmd = "cd '" + root + "' && find . -type f -o -type d | LC_ALL=C sort";
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[512];
    while (p && std::fgets(buf, sizeof buf, p)) {
        std::string line(buf);
        line.pop_back();
        out += line;
        struct stat st;
        if (::stat((root + "/" + line).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            out += " " + std::to_string(st.st_size);
        out += "\n";
    }
    if (p)
        pclose(p);
    return out;
}

TEST(ZrlinkFiles, ListingAndAttributes)
{
    Storage st;
    zrtest::SimProcess sim({"--storage", st.root});
    ASSERT_TRUE(sim.ok());
    Result r = zrlink({"--addr", sim.addr_text(), "ls", "/"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "docs/\nempty/\nnotes.txt\n");
    Result l = zrlink({"--addr", sim.addr_text(), "ls", "-l", "/docs"});
    ASSERT_EQ(l.status, 0) << l.err;
    EXPECT_NE(l.out.find("-       5000  "), std::string::npos) << l.out;
    EXPECT_NE(l.out.find("a b.txt\n"), std::string::npos);
    EXPECT_NE(l.out.find("deep/\n"), std::string::npos);
    Result s = zrlink({"--addr", sim.addr_text(), "stat", "/notes.txt", "/docs"});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find("size   15 bytes"), std::string::npos) << s.out;
    EXPECT_NE(s.out.find("type   folder"), std::string::npos);
    Result missing = zrlink({"--addr", sim.addr_text(), "ls", "/nope"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("1022"), std::string::npos) << missing.err;
}

TEST(ZrlinkFiles, OperationsAndTheirRefusals)
{
    Storage st;
    zrtest::SimProcess sim({"--storage", st.root});
    ASSERT_TRUE(sim.ok());
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"--addr", sim.addr_text()});
        return zrlink(args);
    };
    EXPECT_EQ(run({"mkdir", "/new"}).status, 0);
    Result again = run({"mkdir", "/new"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("status 1035 (already exists)"), std::string::npos) << again.err;
    EXPECT_EQ(run({"cp", "/notes.txt", "/new/copy.txt"}).status, 0);
    EXPECT_EQ(Storage::read(st.root + "/new/copy.txt"), "hello handheld\n");
    EXPECT_EQ(run({"mv", "/new/copy.txt", "/moved.txt"}).status, 0);
    EXPECT_EQ(Storage::read(st.root + "/moved.txt"), "hello handheld\n");
    Result notempty = run({"rmdir", "/docs"});
    EXPECT_EQ(notempty.status, 1);
    EXPECT_NE(notempty.err.find("1034"), std::string::npos);
    EXPECT_EQ(run({"rm", "/moved.txt"}).status, 0);
    EXPECT_EQ(run({"rmdir", "/new"}).status, 0);
    EXPECT_EQ(Storage::read(st.root + "/moved.txt"), "<missing>");
    // A path with a line break never reaches the handheld.
    Result smuggle = run({"rm", "/notes.txt\nfdel /docs/a b.txt"});
    EXPECT_EQ(smuggle.status, 1);
    EXPECT_EQ(Storage::read(st.root + "/docs/a b.txt"), std::string(5000, 'a'));
}

TEST(ZrlinkFiles, PushAndPullWholeFolders)
{
    Storage st;
    zrtest::SimProcess sim({"--storage", st.root});
    ASSERT_TRUE(sim.ok());
    TempDir host;
    Result pull = zrlink({"--addr", sim.addr_text(), "pull", "/docs", "/notes.txt", host.path()});
    ASSERT_EQ(pull.status, 0) << pull.err;
    EXPECT_EQ(tree(host.path()), ".\n./docs\n./docs/a b.txt 5000\n./docs/deep\n./docs/deep/z.bin 70000\n"
                               "./notes.txt 15\n");
    EXPECT_EQ(Storage::read(host.path() + "/docs/deep/z.bin"), std::string(70000, 'z'));
    // Not a terminal: one line per file instead of a progress display.
    EXPECT_NE(pull.out.find("/docs/deep/z.bin -> "), std::string::npos) << pull.out;

    Storage::write(host.path() + "/docs/added.txt", "new on the host");
    Result push = zrlink({"--addr", sim.addr_text(), "-q", "push", host.path() + "/docs", "/empty"});
    ASSERT_EQ(push.status, 0) << push.err;
    EXPECT_EQ(push.out, "");
    EXPECT_EQ(tree(st.root + "/empty"), ".\n./docs\n./docs/a b.txt 5000\n./docs/added.txt 15\n"
                                        "./docs/deep\n./docs/deep/z.bin 70000\n");
    // One file to a new name.
    Result one = zrlink({"--addr", sim.addr_text(), "-q", "push", host.path() + "/notes.txt", "/n2.txt"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(Storage::read(st.root + "/n2.txt"), "hello handheld\n");
}

TEST(ZrlinkFiles, FailedPullLeavesNothingPartial)
{
    Storage st;
    zrtest::SimProcess sim({"--storage", st.root, "--xfer-close", "20000"});
    ASSERT_TRUE(sim.ok());
    TempDir host;
    Storage::write(host.path() + "/z.bin", "the host's own content");
    std::string before = tree(host.path());
    Result r = zrlink({"--addr", sim.addr_text(), "pull", "/docs/deep/z.bin", host.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(tree(host.path()), before);
    EXPECT_EQ(Storage::read(host.path() + "/z.bin"), "the host's own content");
    Result fresh = zrlink({"--addr", sim.addr_text(), "pull", "/docs/deep/z.bin", host.path() + "/new.bin"});
    EXPECT_EQ(fresh.status, 1);
    EXPECT_EQ(tree(host.path()), before);
}

// Starts zrlink, lets the transfer reach the handheld's stall, presses Ctrl-C.
Result interrupted_run(const std::vector<std::string> &args)
{
    char err_name[] = "/tmp/zrlink-err-XXXXXX";
    int err = mkstemp(err_name);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(err, 2);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        std::vector<char *> argv{const_cast<char *>(ZRLINK_PATH)};
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(ZRLINK_PATH, argv.data());
        _exit(127);
    }
    usleep(700 * 1000);
    kill(pid, SIGINT);
    Result r;
    int st = 0;
    for (int i = 0; i < 100 && waitpid(pid, &st, WNOHANG) == 0; ++i)
        usleep(50 * 1000);
    if (waitpid(pid, &st, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        r.status = -1; // did not stop within 5 s
    } else {
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    char buf[4096];
    lseek(err, 0, SEEK_SET);
    ssize_t n = read(err, buf, sizeof buf);
    r.err.assign(buf, n > 0 ? static_cast<size_t>(n) : 0);
    close(err);
    unlink(err_name);
    return r;
}

TEST(ZrlinkFiles, CtrlCStopsAStalledPullPromptlyAndLeavesTheHostAsItWas)
{
    Storage st;
    Storage::write(st.root + "/big.bin", std::string(1 << 20, 'b'));
    zrtest::SimProcess sim({"--storage", st.root, "--xfer-stall", "300000"});
    ASSERT_TRUE(sim.ok());
    TempDir host;
    Storage::write(host.path() + "/big.bin", "keep me");
    std::string before = tree(host.path());
    Result r = interrupted_run({"--addr", sim.addr_text(), "pull", "/big.bin", "/notes.txt", host.path()});
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_EQ(tree(host.path()), before);
    EXPECT_EQ(Storage::read(host.path() + "/big.bin"), "keep me");

    TempDir fresh;
    Result f = interrupted_run({"--addr", sim.addr_text(), "pull", "/", fresh.path() + "/all"});
    EXPECT_EQ(f.status, 130) << f.err;
    EXPECT_EQ(tree(fresh.path()), ".\n");
}

// A host folder of many files in three folders (sizes from empty to several progress
// steps), for the transfers that run several at a time.
void many_files(const std::string &root)
{
    for (int d = 0; d < 3; ++d) {
        std::string dir = root + "/d" + std::to_string(d);
        std::system(("mkdir -p '" + dir + "'").c_str());
        for (int f = 0; f < 12; ++f) {
            size_t size = f == 0 ? 0 : static_cast<size_t>(f * 997 + d * 40000);
            std::string content(size, '\0');
            for (size_t i = 0; i < size; ++i)
                content[i] = static_cast<char>('a' + (i * 7 + static_cast<size_t>(f + d)) % 26);
            Storage::write(dir + "/f" + std::to_string(f), content);
        }
    }
}

bool same_trees(const std::string &a, const std::string &b)
{
    return std::system(("diff -r '" + a + "' '" + b + "' >/dev/null").c_str()) == 0;
}

TEST(ZrlinkFiles, ManyFilesMoveSeveralAtATimeWithFoldersMadeFirst)
{
    Storage st;
    zrtest::SimProcess sim({"--storage", st.root});
    ASSERT_TRUE(sim.ok());
    TempDir host;
    many_files(host.path() + "/up");
    Result push = zrlink({"--addr", sim.addr_text(), "-q", "push", host.path() + "/up", "/up"});
    ASSERT_EQ(push.status, 0) << push.err;
    EXPECT_TRUE(same_trees(host.path() + "/up", st.root + "/up"));
    // Each handheld folder was made before any file went into it.
    std::vector<std::string> requests = sim.requests();
    for (size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].rfind("fput ", 0) != 0)
            continue;
        std::string path = requests[i].substr(5, requests[i].find(' ', 5) - 5);
        std::string mkdir = "mkdir " + path.substr(0, path.rfind('/')) + "\n";
        EXPECT_NE(std::find(requests.begin(), requests.begin() + static_cast<long>(i), mkdir),
                  requests.begin() + static_cast<long>(i))
            << requests[i];
    }

    for (const char *jobs : {"1", "8"}) {
        std::string to = host.path() + "/down" + jobs;
        Result pull = zrlink({"--addr", sim.addr_text(), "pull", "-j", jobs, "/up", to});
        ASSERT_EQ(pull.status, 0) << pull.err;
        EXPECT_TRUE(same_trees(host.path() + "/up", to)) << "-j " << jobs;
        // Not a terminal: one line per file, from whichever transfer ended.
        EXPECT_EQ(std::count(pull.out.begin(), pull.out.end(), '\n'), 36) << pull.out;
    }
}

TEST(ZrlinkFiles, FirstFailureStopsTheOtherTransfersUnlessKeepGoing)
{
    Storage st;
    zrtest::SimProcess sim({"--storage", st.root});
    ASSERT_TRUE(sim.ok());
    TempDir host;
    std::string src = host.path() + "/src";
    std::system(("mkdir -p '" + src + "'").c_str());
    // A name holding a line break never reaches the handheld: that transfer fails first.
    Storage::write(src + "/a\nbad", "x");
    for (int i = 0; i < 20; ++i)
        Storage::write(src + "/b" + std::to_string(100 + i), std::string(1024, 'b'));
    Result stop = zrlink({"--addr", sim.addr_text(), "-q", "push", src, "/stop"});
    EXPECT_EQ(stop.status, 1);
    EXPECT_NE(stop.err.find("bad: ZR_E_COMMAND (-1022)"), std::string::npos) << stop.err;
    EXPECT_EQ(stop.err.find("zrlink: push "), stop.err.rfind("zrlink: push "))
        << "only the first failure is reported: " << stop.err;
    size_t stopped = 0;
    for (int i = 0; i < 20; ++i)
        stopped += Storage::read(st.root + "/stop/b" + std::to_string(100 + i)) != "<missing>";
    EXPECT_LE(stopped, 4u) << "at most the transfers already running went on";

    Result all = zrlink({"--addr", sim.addr_text(), "-q", "push", "--keep-going", src, "/all"});
    EXPECT_EQ(all.status, 1);
    EXPECT_NE(all.err.find("bad: ZR_E_COMMAND (-1022)"), std::string::npos) << all.err;
    EXPECT_NE(all.err.find("1 of 21 files failed"), std::string::npos) << all.err;
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(Storage::read(st.root + "/all/b" + std::to_string(100 + i)), std::string(1024, 'b'));
}

// zrlink's own discovery in a private network: the simulator behind 172.16.0.2 and three
// adapters with nobody behind them.  The probes run at the same time, so the silent
// candidates cost one probe time (about a second) in all, not one each.
TEST(ZrlinkDiscovery, ListProbesEveryCandidateAtTheSameTime)
{
    zrtest::PrivateNetwork net(3);
    if (!net.ok())
        GTEST_SKIP() << "no private network namespace: " << net.why();
    RecordProperty("network", net.how());
    zrtest::SimProcess sim({"--set", "name=NSCALC"}, "172.16.0.2");
    ASSERT_TRUE(sim.ok()) << sim.error();

    std::vector<double> seconds;
    for (int run = 0; run < 3; ++run) {
        auto start = std::chrono::steady_clock::now();
        Result r = zrlink({"list"});
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("172.16.0.2 "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("answering"), std::string::npos) << r.out;
        for (const char *silent : {"172.16.0.6 ", "172.16.0.10 ", "172.16.0.14 "})
            EXPECT_NE(r.out.find(silent), std::string::npos) << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out;
        size_t silent = 0;
        for (size_t at = r.out.find("silent"); at != std::string::npos; at = r.out.find("silent", at + 1))
            ++silent;
        EXPECT_EQ(silent, 3u) << r.out;
    }
    std::sort(seconds.begin(), seconds.end());
    EXPECT_LT(seconds[1], 1.5) << "median of three runs";

    // The handheld that every command uses by default, and wait.
    Result info = zrlink({"info"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("NSCALC"), std::string::npos);
    Result wait = zrlink({"wait", "--timeout", "5"});
    ASSERT_EQ(wait.status, 0) << wait.err;
    EXPECT_EQ(wait.out, "172.16.0.2\n");
}

} // namespace
