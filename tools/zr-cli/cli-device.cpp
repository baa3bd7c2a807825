// cli-device.cpp -- list, info, wait and osupg.
#include "cli.h"
#include "zr-net.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace zrcli {

namespace {

std::string dotted(const uint8_t *v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += (i ? "." : "") + std::to_string(v[i]);
  return s;
}

std::string storage(uint32_t bytes) {
  char buf[48];
  if (bytes >= 1024u * 1024u)
    std::snprintf(buf, sizeof buf, "%.1f MiB", bytes / (1024.0 * 1024.0));
  else
    std::snprintf(buf, sizeof buf, "%u KiB", bytes / 1024u);
  return buf;
}

// The installation's progress in percent: one line redrawn on a terminal, else a line for
// each new value (with --progress).
struct InstallProgress {
  bool enabled = false, terminal = false;
  int shown = -1;
  std::string name;
};
InstallProgress g_install;

int install_progress(int value) {
  InstallProgress &p = g_install;
  if (p.enabled && value >= 0) {
    int pct = value > 100 ? 100 : value;
    if (pct != p.shown) {
      p.shown = pct;
      std::fprintf(stderr, p.terminal ? "\rinstalling %s: %3d%%\033[K" : "installing %s: %d%%\n", p.name.c_str(), pct);
      std::fflush(stderr);
    }
  }
  return interrupted() ? 1 : 0;
}

}  // namespace

bool confirmed(const std::string &question) {
  std::fprintf(stderr, "%s [y/N] ", question.c_str());
  std::fflush(stderr);
  char line[64];
  if (!std::fgets(line, sizeof line, stdin)) return false;
  std::string answer(line);
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
  return answer == "y" || answer == "Y" || answer == "yes" || answer == "YES";
}

int cmd_list(const Options &opt) {
  Library lib;
  // Every answering handheld is asked for its info at the same time, each right after its
  // probe.
  std::vector<Handheld> found;
  int r = attached_handhelds(&found, [](uint32_t addr) {
    zr_info in;
    if (KQ_ZR_sr_info(addr, 1, &in) != 0) return std::string();
    return std::string(reinterpret_cast<const char *>(&in), sizeof in);
  });
  int answering = 0;
  std::string json;
  for (size_t i = 0; i < found.size(); ++i) {
    const Handheld &h = found[i];
    const int ping = h.probe;
    const char *state = h.addr == 0        ? "no address yet"
                        : ping == 0        ? "answering"
                        : ping == ZR_E_END ? "silent"
                                           : "not a handheld";
    std::string name, serial = h.serial;
    if (ping == 0) ++answering;
    if (h.asked.size() == sizeof(zr_info)) {
      zr_info in;
      std::memcpy(&in, h.asked.data(), sizeof in);
      name = member_text(in.name, sizeof in.name);
      serial = member_text(in.eid, sizeof in.eid);
    }
    const std::string address = h.addr ? addr_text(h.addr) : "", slot = h.slot >= 0 ? std::to_string(h.slot) : "";
    if (opt.json) {
      auto or_null = [](const std::string &v) { return v.empty() ? std::string("null") : json_string(v); };
      json += std::string(json.empty() ? "" : ",\n") + "  {\"address\": " + or_null(address) +
              ", \"slot\": " + (slot.empty() ? "null" : slot) + ", \"state\": " + json_string(state) +
              ", \"answering\": " + (ping == 0 ? "true" : "false") + ", \"name\": " + json_string(name) +
              ", \"serial\": " + json_string(serial) + ", \"interface\": " + or_null(h.interface) +
              ", \"usbPort\": " + or_null(h.usb_port) + "}";
      continue;
    }
    std::printf("%-15s  slot %-3s  %-14s", address.empty() ? "-" : address.c_str(), slot.empty() ? "-" : slot.c_str(),
                state);
    if (ping == 0 || !serial.empty())
      std::printf("  name %-8s  serial %s", name.empty() ? "-" : name.c_str(), serial.empty() ? "-" : serial.c_str());
    if (!h.interface.empty()) std::printf("  interface %s", h.interface.c_str());
    if (!h.usb_port.empty()) std::printf("  USB port %s", h.usb_port.c_str());
    std::printf("\n");
  }
  if (r < 0) return report("discovery", r);
  if (opt.json) {
    std::printf("{\"handhelds\": [%s%s%s]}\n", json.empty() ? "" : "\n", json.c_str(), json.empty() ? "" : "\n");
    return kOk;
  }
  if (found.empty()) std::printf("no handheld attached\n");
  if (answering == 0) hint_unaddressed_adapters();
  return kOk;
}

int cmd_info(const Options &opt) {
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  const uint32_t addr = s.addr();
  zr_info in;
  if (int r = s.info(&in)) return r;
  std::string name = member_text(in.name, sizeof in.name);
  std::string eid = member_text(in.eid, sizeof in.eid);
  uint32_t bytes = static_cast<uint32_t>(in.sgeo[0]) * in.sgeo[1] * in.sgeo[2] / 8;
  if (opt.json) {
    std::printf("{\n");
    std::printf("  \"address\": %s,\n", json_string(addr_text(addr)).c_str());
    std::printf("  \"name\": %s,\n", json_string(name).c_str());
    std::printf("  \"serial\": %s,\n", json_string(eid).c_str());
    std::printf("  \"ip\": %s, \"mask\": %s,\n", json_string(addr_text(in.addr)).c_str(),
                json_string(addr_text(in.mask)).c_str());
    std::printf("  \"storage\": {\"total\": %u, \"available\": %u, \"missingForOS\": %u},\n", in.disk[0], in.disk[1],
                in.disk[2]);
    std::printf("  \"memory\": {\"total\": %u, \"free\": %u},\n", in.ram[0], in.ram[1]);
    std::printf("  \"battery\": %u,\n", in.bat[0]);
    std::printf("  \"osInstallReady\": %s,\n", in.ready[0] ? "true" : "false");
    std::printf(
        "  \"screen\": {\"width\": %u, \"height\": %u, \"bitsPerPixel\": %u, "
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
  std::printf("%-18s %s total, %s available\n", "storage", storage(in.disk[0]).c_str(), storage(in.disk[1]).c_str());
  if (in.disk[2]) std::printf("%-18s %s more needed for an OS installation\n", "", storage(in.disk[2]).c_str());
  std::printf("%-18s %s total, %s free\n", "memory", storage(in.ram[0]).c_str(), storage(in.ram[1]).c_str());
  std::printf("%-18s %u%%\n", "battery", in.bat[0]);
  std::printf("%-18s %u x %u, %u bits per pixel (%u bytes)\n", "screen", in.sgeo[1], in.sgeo[0], in.sgeo[2], bytes);
  std::printf("%-18s %s\n", "OS version", dotted(in.ver, 4).c_str());
  std::printf("%-18s %s / %s\n", "boot versions", dotted(in.b1v, 4).c_str(), dotted(in.b2v, 4).c_str());
  std::printf("%-18s %s\n", "hardware version", dotted(in.hwv, 4).c_str());
  std::printf("%-18s %s\n", "OS install ready", in.ready[0] ? "yes" : "no");
  return kOk;
}

// Each round looks once (the table or discovery, every probe at the same time), then waits
// a moment before the next; the rounds end at the time-out or with Ctrl-C.
int cmd_wait(const Options &opt) {
  Library lib;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<long>(opt.wait_seconds * 1000));
  auto next_round = [&]() {
    if (interrupted() || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return !interrupted();
  };

  if (opt.wait_gone) {
    // The handheld chosen as every command chooses it; none there has gone already.
    uint32_t addr = 0;
    int code = kOk;
    if (!opt.addr_text.empty()) {
      if (!choose_device(opt, &addr, &code)) return code;
    } else if (!opt.serial.empty()) {
      std::string why;
      int r = find_by_serial(opt.serial, &addr, &why);
      if (r < 0) return report("discovery", r);
      if (r == 0) return kOk;
    } else {
      std::vector<Handheld> found;
      int r = answering_handhelds(&found);
      if (r < 0) return report("discovery", r);
      if (found.size() > 1) return several_answer(found);
      if (found.empty()) return kOk;
      addr = found[0].addr;
    }
    // Gone: it does not answer the probe (five tries in a second).
    do {
      if (KQ_ZR_en_ping(addr) != 0) {
        std::printf("%s\n", addr_text(addr).c_str());
        return kOk;
      }
    } while (next_round());
    if (interrupted()) return cancelled_exit_code();
    std::fprintf(stderr, "zrlink: the handheld %s still answers after %g s\n", addr_text(addr).c_str(),
                 opt.wait_seconds);
    return kFailed;
  }

  const size_t count = opt.wait_count > 0 ? static_cast<size_t>(opt.wait_count) : 1;
  size_t most = 0;
  do {
    if (!opt.addr_text.empty()) {
      uint32_t addr = 0;
      int code = kOk;
      if (!choose_device(opt, &addr, &code)) return code;
      if (KQ_ZR_en_ping(addr) == 0) {
        std::printf("%s\n", addr_text(addr).c_str());
        return kOk;
      }
    } else if (!opt.serial.empty()) {
      // Only that handheld will do; another one that answers is not it.
      uint32_t addr = 0;
      std::string why;
      if (find_by_serial(opt.serial, &addr, &why) == 1) {
        std::printf("%s\n", addr_text(addr).c_str());
        return kOk;
      }
    } else {
      std::vector<Handheld> found;
      answering_handhelds(&found);  // a failed discovery is tried again, as silence is
      most = std::max(most, found.size());
      if (found.size() >= count) {
        for (size_t i = 0; i < (opt.wait_count > 0 ? found.size() : 1); ++i)
          std::printf("%s\n", addr_text(found[i].addr).c_str());
        return kOk;
      }
    }
  } while (next_round());
  if (interrupted()) return cancelled_exit_code();
  if (!opt.serial.empty() && opt.addr_text.empty())
    std::fprintf(stderr, "zrlink: no handheld with the serial %s answered within %g s\n", opt.serial.c_str(),
                 opt.wait_seconds);
  else if (opt.wait_count > 0)
    std::fprintf(stderr, "zrlink: %zu of %d handhelds answered within %g s\n", most, opt.wait_count, opt.wait_seconds);
  else
    std::fprintf(stderr, "zrlink: no handheld answered within %g s\n", opt.wait_seconds);
  return kNoDevice;
}

int cmd_osupg(const Options &opt) {
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  const uint32_t addr = s.addr();
  const std::string &image = opt.args[0];
  // A host file is sent to the handheld's top folder first; otherwise IMAGE names a file
  // that is on the handheld already.
  struct stat st;
  const bool local = stat(image.c_str(), &st) == 0;
  if (local && !S_ISREG(st.st_mode)) {
    std::fprintf(stderr, "zrlink: osupg: %s is not a regular file\n", image.c_str());
    return kFailed;
  }
  zr_info in;
  int r = s.info(&in);
  if (r != 0) return r;
  if (!in.ready[0] && !opt.force) {
    std::fprintf(stderr,
                 "zrlink: osupg: the handheld is not ready for an OS installation (zrlink info "
                 "tells its battery and storage); --force installs anyway\n");
    return kFailed;
  }
  std::string name = member_text(in.name, sizeof in.name);
  if (!opt.yes && isatty(STDIN_FILENO) &&
      !confirmed("Install the OS image " + image + " on the handheld " + name + " (" + addr_text(addr) + ")?")) {
    std::fprintf(stderr, "zrlink: osupg: nothing installed\n");
    return interrupted() ? cancelled_exit_code() : kFailed;
  }
  std::string remote = image;
  if (local) {
    std::string base = image.substr(image.rfind('/') == std::string::npos ? 0 : image.rfind('/') + 1);
    remote = "/" + base;
    std::vector<Transfer> send{{image, remote, static_cast<uint64_t>(st.st_size)}};
    Options one = opt;
    one.jobs = 1;
    int c = run_transfers(addr, ZR_FM_PUT, send, one, nullptr);
    if (c != kOk) return c;
  }
  g_install = InstallProgress();
  g_install.enabled = show_progress(opt);
  g_install.terminal = isatty(STDERR_FILENO) != 0;
  g_install.name = remote;
  r = KQ_ZR_os_upg(addr, remote.c_str(), "-", install_progress);
  if (g_install.enabled && g_install.terminal && g_install.shown >= 0) std::fputc('\n', stderr);
  g_install.enabled = false;
  if (r == 0) {
    std::printf("installation of %s finished\n", remote.c_str());
    return kOk;
  }
  // The handheld reports a failed installation as an error word: bit 15 set and reason
  // bits in the low byte (0x8000..0x80FF as a 16-bit value).  Everything else is a result
  // code of the library or a refusal status.
  if (r >= -32768 && r <= -32513) {
    std::fprintf(stderr, "zrlink: osupg: %s\n", describe_install_word(r).c_str());
    return kFailed;
  }
  Context context;
  context.doing = Doing::kInstall;
  context.remote = remote;
  return report("osupg " + remote, r, context);
}

}  // namespace zrcli
