// zrlink as a user runs it: exit codes, output and the files it leaves.
#include "sim-pattern.h"
#include "sim_process.h"

#include <gtest/gtest.h>
#include <png.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

struct TempDir {
    std::string path;
    TempDir()
    {
        char t[] = "/tmp/zrlink-test-XXXXXX";
        path = mkdtemp(t);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
};

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
    std::string text = std::to_string(nobody >> 24) + "." + std::to_string((nobody >> 16) & 255) +
                       "." + std::to_string((nobody >> 8) & 255) + "." + std::to_string(nobody & 255);
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
        std::string out = dir.path + "/screen.png";
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
    std::string out = dir.path + "/screen.png";
    Result r = zrlink({"--addr", sim.addr_text(), "screenshot", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(access(out.c_str(), F_OK), 0);
    EXPECT_NE(access((out + ".part").c_str(), F_OK), 0);
}

} // namespace
