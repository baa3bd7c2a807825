// sim-options.cpp -- the handheld simulator's command line.
#include "sim-options.h"

#include <vector>

#include "sim-escape.h"
#include "sim-text.h"

namespace zrsim {

std::string usage_text() {
  return R"(Usage: zr-handheld-sim [options]

Stands in for an attached handheld: answers one-line text commands on a TCP port, one
request per connection, each connection served on its own thread.  Once listening it prints
"ready <addr> <port>" on standard output.  SIGTERM or SIGINT stops it (exit code 0).

Options (a value may also be given as --option=value):
  --addr A            IPv4 address to listen on (default 127.0.0.1)
  --port P            TCP port (default 10001; 0 picks a free port, the ready line tells)
  --profile FILE      device profile: key=value lines in the reply syntax; blank lines and
                      lines starting with '#' are skipped (may be repeated, read in order)
  --set KEY=VALUE     override one member after the profiles (repeatable)
  --storage DIR       serve the file services from the folder DIR, which stands for the
                      handheld's storage (without it every file service answers 1001)
  --rate N            send the content of a fetched file (fget) at most N bytes per
                      second on each connection, as a slow link does (0: no limit)
  --log FILE          append every request received to FILE, one line per request:
                      "<connection number> <request>", the request escaped (\n, \r, \\,
                      \xNN for other control bytes and bytes from 0x80)
  --help              show this text and exit

Profile members (numbers in decimal, several values separated by commas; a member given
fewer values than it has gets 0 in the rest):
  addr   1 x 32-bit   default: the listening address (dotted text is accepted too)
  mask   1 x 32-bit   default: 255.255.255.252 (dotted text is accepted too)
  scrn   1 x 32-bit   default: the screen image's byte count (follows sgeo)
  disk   3 x 32-bit   default: 16777216,12582912,0 (total, available, missing for an OS)
  ram    2 x 32-bit   default: 8388608,6291456
  sgeo   4 x 16-bit   default: 240,320,16,0 (image height, width, bits per pixel, spare)
  bat    8 x 16-bit   default: 85,0,0,0,0,0,0,0 (element 0: battery level)
  clk    1 x 16-bit   default: 150
  run    1 x 16-bit   default: 1
  ready  2 x 16-bit   default: 1,0 (element 0: ready for an OS installation)
  ser    8 x 8-bit    default: 83,73,77,0,0,0,0,1
  eid    24 characters default: ZRSIM-0000-0000-0001
  ver, b1v, b2v, hwv   4 x 8-bit  defaults: 1,2,0,0  1,0,0,0  1,1,0,0  0,0,1,0
  name   8 characters default: ZR-SIM
  rtime, xtime        the simulator's own time-out pair in milliseconds (default 10000
                      each; 0 = no limit): how long it waits for a request line, and for
                      the client to take reply data

Commands answered (status line, then key=value lines or data, then the connection closes):
  info 1              the info record's members
  stat 1 | stat 3     the simulator's traffic counters xpay0, xpay1, rpay0, rpay1 (3 resets
                      them first)
  tune 1              the time-out pair rtime, xtime
  tune 2              followed by the lines "rtime=N" and "xtime=N": keeps that pair (a
                      value of 4294967295 leaves its member unchanged), then replies as tune 1
  scrn 1 OFFSET MAX   "0 N" then N bytes of the screen image from byte OFFSET (N capped at
                      MAX unless MAX is 0; 0 bytes past the end).  The picture is described
                      in sim-pattern.h.
File services, on the --storage folder.  Paths are escaped ("\ " a space, "\\" a
backslash); "/" separates names, "." and empty names are skipped, ".." goes up but never
above the top folder; a link is never followed; names of more than 255 bytes and paths of
more than 1024 are too long; a name may not hold a control byte or any of \ : * ? " < > |.
  dir PATH            "0", then per entry (sorted by name; "." and "..", links and names
                      that cannot travel on one line are left out): the name line,
                      "size=", "time=", "type=" (0 file, 1 folder) and "bits=" (permission
                      bits) lines, an empty line
  attr PATH           "0", the four attribute lines, an empty line
  fdel PATH | mkdir PATH | rmdir PATH (empty folders only)
  copy FROM TO        a file to a new name     move FROM TO   a file or folder, new name
                      (these five answer the status line alone; none replaces a target)
  fput PATH SIZE OPT  "0", then SIZE bytes of content are taken and the final status
                      answered ("0": stored; an existing file is replaced).  SIZE above the
                      profile's available storage (disk, second value) is refused with 1021.
  fget PATH OPT       "0 SIZE", then SIZE bytes of the file
  osupg IMAGE NAME    "0" (or "0 V" with --osupg-first), then one line per step of the
                      --osupg script; the connection then closes.  With --storage the image
                      must be a file there.  Nothing is installed.

Statuses:
  0   success
  1   unknown command
  2   operation number not supported by the command (for example "info 2")
  3   missing, extra or malformed arguments or request lines
  4   a request line longer than 4096 bytes
  1001  not allowed: no --storage; the top folder itself (fdel, rmdir, move); a link on
        the way; the host refused
  1021  no room: fput larger than the available storage; the host disk is full
  1022  not found or bad path: a missing path or folder on the way, ".." above the top, a
        bad name
  1034  wrong kind: a folder where a file is needed or the other way round, a folder that
        is not empty, a folder moved into itself
  1035  the target exists (mkdir, copy, move)
  1036  path or name too long

Fault injection (applies to every command, or only to those named by --fault-cmd):
  --fault-cmd WORD    limit the faults below to this command word (repeatable)
  --delay MS          wait MS milliseconds before replying
  --split             send the reply one byte per segment (TCP_NODELAY, one write each)
  --close-after N     close the connection after the first N bytes of the reply
  --status N          reply with the status line "N" only
  --reply TEXT        reply with TEXT verbatim (escapes \n, \r, \t, \\, \xNN decoded)
  --no-final-lf       drop the line feed that ends the reply
  --silent            read the request and never answer; the connection stays open until
                      the client closes it or the simulator stops
  --hold              keep the connection open after the reply until the client closes it
  --reset             end the reply (or the cut of --close-after) with a reset (RST) in
                      place of the end of the stream; reply bytes the client has not read
                      yet may be lost with it
  --fail-first N      close the first N connections at once without reading (not limited
                      by --fault-cmd, as no command has been read)
  --refuse WORD:N:S   answer the Nth request (counted from 1) with the command word WORD
                      with the status line "S" alone, without carrying it out: a handheld
                      that refuses one request among others (repeatable; not limited by
                      --fault-cmd)
The faults change what is sent, not what the simulator does: "stat 3" resets and
"tune 2" keeps its pair even when the reply is replaced or withheld.  For fput, fget and
osupg, --status, --reply and --silent replace the whole exchange (nothing is stored or
played); the other switches shape their replies as they stream (--close-after counts
content too).  Transfers (counted in bytes of file content):
  --xfer-close N      close the connection once N bytes have passed (fput: taken, fget:
                      sent); fput then answers no final status
  --xfer-stall N      once N bytes have passed, send and take nothing more; the connection
                      stays open until the client closes it
  --xfer-size N       fget announces N as the size (and still sends the whole file)
  --final-status N    fput answers N as its final status (and stores nothing unless 0)

OS upgrade script (--osupg SCRIPT, steps separated by commas; default 10,50,90,100):
  V                   the line "0 V" (V may be negative)
  S:V                 the line "S V"          S:    the line "S" (a status alone)
  =TEXT               the line TEXT as it stands (a line without a number, for example)
  pause:MS            wait MS milliseconds     stall  send nothing more; the connection
                                                      stays open until the client closes
  --osupg-first V     the status line carries V ("0 V")

Liveness probe (UDP port 10003 of the listening address, whatever --port says):
  A datagram of exactly the 9 bytes "zr-api4-q" is answered with "orv <name>" (the
  profile's name) to its sender.  Other datagrams are not answered.  Every datagram is
  written to the request log with connection number 0.
  --probe-silent      never answer the probe
  --probe-reply TEXT  answer with TEXT instead (escapes as for --reply)
  --probe-from N      answer only from the Nth probe on (1 = every probe; counted from
                      the start of the simulator)

Exit codes: 0 stopped by a signal, 1 failure while running, 2 bad option, profile or log
file, 3 the address or port (TCP, or UDP 10003 for the probe) cannot be taken.
)";
}

namespace {

struct OptionEntry {
  const char *name;
  bool takes_value;
};

const OptionEntry kOptions[] = {
    {"--addr", true},          {"--port", true},         {"--profile", true},    {"--set", true},
    {"--log", true},           {"--help", false},        {"--fault-cmd", true},  {"--delay", true},
    {"--split", false},        {"--close-after", true},  {"--status", true},     {"--reply", true},
    {"--no-final-lf", false},  {"--silent", false},      {"--hold", false},      {"--fail-first", true},
    {"--probe-silent", false}, {"--probe-reply", true},  {"--probe-from", true}, {"--storage", true},
    {"--osupg", true},         {"--osupg-first", true},  {"--xfer-close", true}, {"--xfer-stall", true},
    {"--xfer-size", true},     {"--final-status", true}, {"--refuse", true},     {"--reset", false},
    {"--rate", true},
};

const OptionEntry *find_option(const std::string &name) {
  for (const OptionEntry &o : kOptions)
    if (name == o.name) return &o;
  return nullptr;
}

bool number_option(const std::string &name, const std::string &value, uint64_t max, uint64_t &out, std::string &error) {
  if (!parse_decimal(value, max, out)) {
    error = name + ": expected a decimal number from 0 to " + std::to_string(max) + ", got '" + value + "'";
    return false;
  }
  return true;
}

}  // namespace

ParseOutcome parse_options(int argc, char **argv, Options &options, std::string &error) {
  std::vector<std::string> profiles;
  std::vector<std::string> sets;
  bool help = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string name = arg;
    std::string value;
    bool inline_value = false;
    size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inline_value = true;
    }
    const OptionEntry *entry = find_option(name);
    if (!entry) {
      error = "unknown option '" + arg + "' (see --help)";
      return ParseOutcome::Error;
    }
    if (entry->takes_value && !inline_value) {
      if (i + 1 >= argc) {
        error = name + " needs a value (see --help)";
        return ParseOutcome::Error;
      }
      value = argv[++i];
    } else if (!entry->takes_value && inline_value) {
      error = name + " takes no value";
      return ParseOutcome::Error;
    }

    uint64_t n = 0;
    FaultPlan &f = options.faults;
    if (name == "--help") {
      help = true;
    } else if (is_file_option(name)) {
      if (!parse_file_option(name, value, options.files, f, error)) return ParseOutcome::Error;
    } else if (name == "--addr") {
      if (!parse_ipv4(value, options.addr)) {
        error = "--addr: '" + value + "' is not an IPv4 address";
        return ParseOutcome::Error;
      }
      options.addr_text = ipv4_text(options.addr);
    } else if (name == "--port") {
      if (!number_option(name, value, 65535, n, error)) return ParseOutcome::Error;
      options.port = static_cast<uint16_t>(n);
    } else if (name == "--profile") {
      profiles.push_back(value);
    } else if (name == "--set") {
      sets.push_back(value);
    } else if (name == "--log") {
      if (value.empty()) {
        error = "--log needs a file name";
        return ParseOutcome::Error;
      }
      options.log_path = value;
    } else if (name == "--fault-cmd") {
      if (value.empty() || value.find_first_of(" \t\r\n") != std::string::npos) {
        error = "--fault-cmd: '" + value + "' is not a command word";
        return ParseOutcome::Error;
      }
      f.commands.insert(value);
    } else if (name == "--delay") {
      if (!number_option(name, value, 600000, n, error)) return ParseOutcome::Error;
      f.delay_ms = static_cast<uint32_t>(n);
    } else if (name == "--split") {
      f.split = true;
    } else if (name == "--close-after") {
      if (!number_option(name, value, UINT32_MAX, n, error)) return ParseOutcome::Error;
      f.close_after = n;
    } else if (name == "--status") {
      int64_t s = 0;
      if (!parse_signed_decimal(value, 2147483648ull, s) || s > INT32_MAX) {
        error = "--status: expected a 32-bit decimal integer, got '" + value + "'";
        return ParseOutcome::Error;
      }
      f.status = s;
    } else if (name == "--reply") {
      std::string decoded, why;
      if (!decode_escapes(value, decoded, &why)) {
        error = "--reply: " + why;
        return ParseOutcome::Error;
      }
      f.reply = decoded;
    } else if (name == "--no-final-lf") {
      f.no_final_lf = true;
    } else if (name == "--silent") {
      f.silent = true;
    } else if (name == "--hold") {
      f.hold = true;
    } else if (name == "--reset") {
      f.reset = true;
    } else if (name == "--fail-first") {
      if (!number_option(name, value, UINT32_MAX, n, error)) return ParseOutcome::Error;
      f.fail_first = static_cast<uint32_t>(n);
    } else if (name == "--refuse") {
      FaultPlan::Refusal refusal;
      size_t first = value.find(':'), second = first == std::string::npos ? first : value.find(':', first + 1);
      if (first == 0 || second == std::string::npos ||
          !parse_decimal(value.substr(first + 1, second - first - 1), UINT32_MAX, refusal.nth) || refusal.nth == 0 ||
          !parse_signed_decimal(value.substr(second + 1), 2147483648ull, refusal.status) ||
          refusal.status > INT32_MAX) {
        error = "--refuse: expected WORD:N:STATUS (N from 1), got '" + value + "'";
        return ParseOutcome::Error;
      }
      refusal.word = value.substr(0, first);
      f.refusals.push_back(refusal);
    } else if (name == "--probe-silent") {
      options.probe.silent = true;
    } else if (name == "--probe-reply") {
      std::string decoded, why;
      if (!decode_escapes(value, decoded, &why)) {
        error = "--probe-reply: " + why;
        return ParseOutcome::Error;
      }
      options.probe.reply = decoded;
    } else if (name == "--probe-from") {
      if (!number_option(name, value, UINT32_MAX, n, error)) return ParseOutcome::Error;
      if (n == 0) {
        error = "--probe-from: probes are counted from 1";
        return ParseOutcome::Error;
      }
      options.probe.from = static_cast<uint32_t>(n);
    }
  }
  if (help) return ParseOutcome::Help;
  if (options.faults.status && options.faults.reply) {
    error = "--status and --reply cannot be combined";
    return ParseOutcome::Error;
  }
  for (const std::string &path : profiles)
    if (!options.profile.load_file(path, error)) return ParseOutcome::Error;
  for (const std::string &s : sets) {
    if (!options.profile.set_line(s, error)) {
      error = "--set " + error;
      return ParseOutcome::Error;
    }
  }
  return ParseOutcome::Run;
}

}  // namespace zrsim
