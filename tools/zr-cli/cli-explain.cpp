// cli-explain.cpp -- what a failure means where the command knows what it was doing.
//
// The library's codes -1021 and -1022 are also what the handheld's statuses 1021 (no room)
// and 1022 (not found or bad path: also a name the handheld does not take) become, and
// -1004 covers every reason a host file could not be used.  The command that got the code
// knows whether it was sending or fetching, the path it used and the host file's size,
// which settles the reading.
#include "cli.h"
#include "zr-net.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace zrcli {

namespace {

// The largest host file a send takes (2 GiB less one byte).
const long long kMaxSend = 2147483647LL;
// Escaped paths from about this length on are refused by the library before it sends anything.
const size_t kLongPath = 1400;

std::string quoted(const std::string &path) { return path.empty() ? std::string("the path") : path; }

// The library's own code, or the status the handheld answered with.
std::string with_code(const std::string &text, int code) { return text + " (" + std::to_string(code) + ")"; }
std::string with_status(const std::string &text, int code) {
  return text + " (handheld status " + std::to_string(-code) + ")";
}

// Why a host file cannot be sent, or "" when it looks sendable.
std::string unsendable(const std::string &local) {
  struct stat st;
  if (stat(local.c_str(), &st) != 0) return local + ": " + std::strerror(errno);
  if (!S_ISREG(st.st_mode)) return local + " is not a regular file";
  if (st.st_size > kMaxSend)
    return local + " is larger than the link can send (" + std::to_string(st.st_size) +
           " bytes; at most 2 GiB less one byte)";
  if (access(local.c_str(), R_OK) != 0) return local + ": " + std::strerror(errno);
  return "";
}

// The first byte of a path's names that the handheld does not take in a name (a control
// byte, or one of \ : * ? " < > |), or 0.  It answers such a path with the status of a path
// it does not know.
char refused_name_byte(const std::string &path) {
  for (unsigned char ch : path)
    if (ch < 0x20 || ch == 0x7F || std::strchr("\\:*?\"<>|", ch) != nullptr) return static_cast<char>(ch);
  return 0;
}

std::string shown_byte(char ch) {
  switch (ch) {
    case '\t': return "a tab";
    case '\\': return "a backslash";
    default: break;
  }
  if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) return "a control character";
  return std::string("\"") + ch + "\"";
}

}  // namespace

bool unreachable(int code) { return code == ZR_E_CONNECT || code == ZR_E_TIMEOUT; }

std::string explain(const Context &c, int code) {
  const bool on_handheld = c.doing == Doing::kSend || c.doing == Doing::kFileOp || c.doing == Doing::kRemoveFolder ||
                           c.doing == Doing::kInstall;
  switch (code) {
    case ZR_E_WRITE:  // -1021
      if (c.doing == Doing::kFetch)
        return with_code("writing the host file " + quoted(c.local) + " failed (is the host's disk full?)", code);
      if (on_handheld) return with_status("no space left on the handheld for " + quoted(c.remote), code);
      break;
    case ZR_E_COMMAND:  // -1022
      if (c.doing == Doing::kOther) break;
      if (c.remote.find('\n') != std::string::npos || c.remote.find('\r') != std::string::npos)
        return with_code(
            "the handheld path holds a line break, which the link cannot carry; "
            "nothing was sent",
            code);
      if (c.remote.size() >= kLongPath)
        return with_code("the handheld path is too long for the link; nothing was sent", code);
      if (char ch = refused_name_byte(c.remote))
        return with_status("the handheld does not take " + shown_byte(ch) + " in a name (" + json_string(c.remote) +
                               "); names there hold no control characters and none of \\ : * ? \" < > |",
                           code);
      return with_status(quoted(c.remote) + ": no such file or folder on the handheld", code);
    case -ZR_S_FAILED:
      if (c.doing == Doing::kRemoveFolder)
        return with_status(quoted(c.remote) + " is not an empty folder on the handheld", code);
      if (c.doing == Doing::kInstall)
        return with_status(quoted(c.remote) + " is a folder on the handheld, not an OS image", code);
      if (c.doing != Doing::kOther)
        return with_status(quoted(c.remote) +
                               ": a folder where a file is needed, or a file where a folder is "
                               "needed (or a folder that is not empty), on the handheld",
                           code);
      break;
    case -ZR_S_EXISTS:
      if (c.doing != Doing::kOther) return with_status(quoted(c.remote) + " already exists on the handheld", code);
      break;
    case -ZR_S_TOO_LONG:
      if (c.doing != Doing::kOther)
        return with_status("the handheld finds the path " + quoted(c.remote) + " too long", code);
      break;
    case -ZR_S_NOT_ALLOWED:
      if (c.doing != Doing::kOther) return with_status("the handheld does not allow this on " + quoted(c.remote), code);
      break;
    case ZR_E_HOSTFILE:  // -1004
      if (c.doing == Doing::kSend) {
        std::string why = unsendable(c.local);
        if (!why.empty()) return with_code(why, code);
        return with_code("the host file " + quoted(c.local) + " could not be opened", code);
      }
      if (c.doing == Doing::kFetch)
        return with_code("the host file " + quoted(c.local) + " could not be created", code);
      break;
    case ZR_E_CUT:
      return with_code("the handheld cut off the listing" + (c.remote.empty() ? std::string() : " of " + c.remote),
                       code);
    case ZR_E_SOCKET:
      // The library's text covers every failed socket call; a reset has a reason to give.
      if ((c.system_error >= 0 ? c.system_error : KQ_ZR_errno()) == ECONNRESET) return with_code("the handheld reset the connection", code);
      break;
    case ZR_E_CONNECT:
    case ZR_E_TIMEOUT: return with_code("the handheld does not answer", code);
    default: break;
  }
  return describe(code);
}

std::string json_string(const std::string &s) {
  std::string out = "\"";
  for (unsigned char ch : s) {
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += static_cast<char>(ch);
    } else if (ch < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", ch);
      out += buf;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out + "\"";
}

std::string iso_time(uint32_t t) {
  time_t tt = static_cast<time_t>(t);
  struct tm tm;
  char buf[32];
  if (!gmtime_r(&tt, &tm) || !std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm)) return "";
  return buf;
}

std::string entry_json(const std::string &path, const std::string &name, bool folder, uint64_t size, uint32_t time) {
  return "{\"path\": " + json_string(path) + ", \"name\": " + json_string(name) +
         ", \"folder\": " + (folder ? "true" : "false") + ", \"size\": " + std::to_string(size) +
         ", \"time\": " + (time ? json_string(iso_time(time)) : std::string("null")) +
         ", \"timeSeconds\": " + std::to_string(time) + "}";
}

}  // namespace zrcli
