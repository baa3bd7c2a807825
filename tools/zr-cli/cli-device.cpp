// cli-device.cpp -- list, info, wait and osupg.
#include "cli-progress.h"
#include "cli.h"
#include "zr-net.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>


namespace zrcli {

namespace {

std::string dotted(const uint8_t *v, int n)
{
    std::string s;
    for (int i = 0; i < n; ++i)
        s += (i ? "." : "") + std::to_string(v[i]);
    return s;
}

std::string text_member(const char *p, size_t n)
{
    size_t len = 0;
    while (len < n && p[len])
        ++len;
    return std::string(p, len);
}

std::string json_string(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string storage(uint32_t bytes)
{
    char buf[48];
    if (bytes >= 1024u * 1024u)
        std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024.0 * 1024.0));
    else
        std::snprintf(buf, sizeof buf, "%u KiB", bytes / 1024u);
    return buf;
}

Progress *g_install = nullptr;

int install_progress(int value)
{
    if (g_install && value >= 0)
        g_install->update(static_cast<uint64_t>(value > 100 ? 100 : value), 100);
    return interrupted() ? 1 : 0;
}

} // namespace

int cmd_list(const Options &)
{
    Library lib;
    std::vector<Candidate> found;
    int r = find_candidates(&found);
    int answering = 0, candidates = 0;
    for (const auto &rec : found) {
        ++candidates;
        int ping = rec.probe;
        if (ping == 0)
            ++answering;
        std::printf("%-15s  slot %-3u  %s\n", addr_text(rec.addr).c_str(), rec.slot,
                    ping == 0 ? "answering" : ping == ZR_E_END ? "silent" : "not a handheld");
    }
    if (r < 0)
        return report("discovery", r);
    if (candidates == 0)
        std::printf("no handheld attached\n");
    if (answering == 0)
        hint_unaddressed_adapters();
    return kOk;
}

int cmd_info(const Options &opt)
{
    Session s(opt);
    if (!s.ok())
        return s.exit_code();
    const uint32_t addr = s.addr();
    zr_info in;
    int r = KQ_ZR_sr_info(addr, 1, &in);
    if (r < 0)
        return report("info", r);
    std::string name = text_member(in.name, sizeof in.name);
    std::string eid = text_member(in.eid, sizeof in.eid);
    uint32_t bytes = static_cast<uint32_t>(in.sgeo[0]) * in.sgeo[1] * in.sgeo[2] / 8;
    if (opt.json) {
        std::printf("{\n");
        std::printf("  \"address\": %s,\n", json_string(addr_text(addr)).c_str());
        std::printf("  \"name\": %s,\n", json_string(name).c_str());
        std::printf("  \"serial\": %s,\n", json_string(eid).c_str());
        std::printf("  \"ip\": %s, \"mask\": %s,\n", json_string(addr_text(in.addr)).c_str(),
                    json_string(addr_text(in.mask)).c_str());
        std::printf("  \"storage\": {\"total\": %u, \"available\": %u, \"missingForOS\": %u},\n",
                    in.disk[0], in.disk[1], in.disk[2]);
        std::printf("  \"memory\": [%u, %u],\n", in.ram[0], in.ram[1]);
        std::printf("  \"battery\": %u,\n", in.bat[0]);
        std::printf("  \"osInstallReady\": %u,\n", in.ready[0]);
        std::printf("  \"screen\": {\"width\": %u, \"height\": %u, \"bitsPerPixel\": %u, "
                    "\"bytes\": %u, \"size\": %u},\n",
                    in.sgeo[1], in.sgeo[0], in.sgeo[2], bytes, in.scrn);
        std::printf("  \"versions\": {\"os\": %s, \"boot1\": %s, \"boot2\": %s, \"hardware\": %s},\n",
                    json_string(dotted(in.ver, 4)).c_str(), json_string(dotted(in.b1v, 4)).c_str(),
                    json_string(dotted(in.b2v, 4)).c_str(), json_string(dotted(in.hwv, 4)).c_str());
        std::printf("  \"serialBytes\": %s\n", json_string(dotted(in.ser, 8)).c_str());
        std::printf("}\n");
        return kOk;
    }
    std::printf("%-18s %s\n", "handheld", addr_text(addr).c_str());
    std::printf("%-18s %s\n", "name", name.c_str());
    std::printf("%-18s %s\n", "serial", eid.c_str());
    std::printf("%-18s %s / %s\n", "network", addr_text(in.addr).c_str(), addr_text(in.mask).c_str());
    std::printf("%-18s %s total, %s available\n", "storage", storage(in.disk[0]).c_str(),
                storage(in.disk[1]).c_str());
    if (in.disk[2])
        std::printf("%-18s %s more needed for an OS installation\n", "", storage(in.disk[2]).c_str());
    std::printf("%-18s %s, %s\n", "memory", storage(in.ram[0]).c_str(), storage(in.ram[1]).c_str());
    std::printf("%-18s %u%%\n", "battery", in.bat[0]);
    std::printf("%-18s %u x %u, %u bits per pixel (%u bytes)\n", "screen", in.sgeo[1], in.sgeo[0],
                in.sgeo[2], bytes);
    std::printf("%-18s %s\n", "OS version", dotted(in.ver, 4).c_str());
    std::printf("%-18s %s / %s\n", "boot versions", dotted(in.b1v, 4).c_str(),
                dotted(in.b2v, 4).c_str());
    std::printf("%-18s %s\n", "hardware version", dotted(in.hwv, 4).c_str());
    std::printf("%-18s %s\n", "OS install ready", in.ready[0] ? "yes" : "no");
    return kOk;
}

int cmd_wait(const Options &opt)
{
    Library lib;
    uint32_t addr = 0;
    if (!opt.addr_text.empty()) {
        int code;
        if (!choose_device(opt, &addr, &code))
            return code;
    }
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long>(opt.wait_seconds * 1000));
    do {
        if (addr) {
            if (KQ_ZR_en_ping(addr) == 0) {
                std::printf("%s\n", addr_text(addr).c_str());
                return kOk;
            }
        } else {
            std::vector<Candidate> found;
            find_candidates(&found); // a failed enumeration is tried again, as silence is
            for (const auto &rec : found) {
                if (rec.probe == 0) {
                    std::printf("%s\n", addr_text(rec.addr).c_str());
                    return kOk;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        if (interrupted())
            return kCancelled;
    } while (std::chrono::steady_clock::now() < deadline);
    std::fprintf(stderr, "zrlink: no handheld answered within %g s\n", opt.wait_seconds);
    return kNoDevice;
}

int cmd_osupg(const Options &opt)
{
    Session s(opt);
    if (!s.ok())
        return s.exit_code();
    const uint32_t addr = s.addr();
    Progress progress(show_progress(opt), 0, 1);
    g_install = &progress;
    progress.start_file("installing " + opt.args[0], 100);
    int r = KQ_ZR_os_upg(addr, opt.args[0].c_str(), "-", install_progress);
    g_install = nullptr;
    progress.end_file(r == 0);
    if (r == 0) {
        std::printf("installation of %s finished\n", opt.args[0].c_str());
        return kOk;
    }
    // The handheld reports a failed installation as an error word: bit 15 set and reason
    // bits in the low byte (0x8000..0x80FF as a 16-bit value).  Everything else is a result
    // code of the library or a refusal status.
    if (r >= -32768 && r <= -32513) {
        std::fprintf(stderr, "zrlink: osupg: %s\n", describe_install_word(r).c_str());
        return kFailed;
    }
    return report("osupg", r);
}

} // namespace zrcli
