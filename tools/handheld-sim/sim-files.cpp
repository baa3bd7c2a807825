// sim-files.cpp -- the simulated handheld's storage folder, path resolution inside it, the
// OS upgrade script and the file-service switches.
#include "sim-files.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "sim-text.h"

namespace zrsim {

namespace {

const char *const kDefaultScript = "10,50,90,100";

bool bad_name_byte(unsigned char c) {
  if (c < 0x20 || c == 0x7F) return true;
  switch (c) {
    case '\\':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|': return true;
    default: return false;
  }
}

bool signed_number(const std::string &text, int64_t &value) {
  return parse_signed_decimal(text, 2147483648ull, value) && value <= INT32_MAX;
}

bool parse_step(const std::string &item, OsupgStep &step, std::string &error) {
  step = OsupgStep{};
  if (item == "stall") {
    step.kind = OsupgStep::Kind::Stall;
    return true;
  }
  if (item.rfind("pause:", 0) == 0) {
    uint64_t ms = 0;
    if (!parse_decimal(item.substr(6), 600000, ms)) {
      error = "'" + item + "': a pause is pause:MS with MS from 0 to 600000";
      return false;
    }
    step.kind = OsupgStep::Kind::Pause;
    step.ms = static_cast<uint32_t>(ms);
    return true;
  }
  if (!item.empty() && item[0] == '=') {
    step.line = item.substr(1);
    return true;
  }
  int64_t status = 0, value = 0;
  size_t colon = item.find(':');
  if (colon == std::string::npos) {
    if (!signed_number(item, value)) {
      error = "'" + item + "' is not a progress value";
      return false;
    }
    step.line = "0 " + std::to_string(value);
    return true;
  }
  std::string v = item.substr(colon + 1);
  if (!signed_number(item.substr(0, colon), status) || (!v.empty() && !signed_number(v, value))) {
    error = "'" + item + "': expected STATUS:VALUE or STATUS:";
    return false;
  }
  step.line = std::to_string(status) + (v.empty() ? "" : " " + std::to_string(value));
  return true;
}

}  // namespace

FilePlan::FilePlan() {
  std::string ignored;
  parse_osupg_script(kDefaultScript, osupg, ignored);
}

bool parse_osupg_script(const std::string &text, OsupgScript &script, std::string &error) {
  std::vector<OsupgStep> steps;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item.empty()) {
      error = "empty step in '" + text + "'";
      return false;
    }
    OsupgStep step;
    if (!parse_step(item, step, error)) return false;
    steps.push_back(step);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  script.steps = steps;
  return true;
}

bool is_file_option(const std::string &name) {
  return name == "--storage" || name == "--osupg" || name == "--osupg-first" || name == "--xfer-close" ||
         name == "--xfer-stall" || name == "--xfer-size" || name == "--final-status" || name == "--rate";
}

bool parse_file_option(const std::string &name, const std::string &value, FilePlan &plan, FaultPlan &faults,
                       std::string &error) {
  uint64_t n = 0;
  int64_t s = 0;
  if (name == "--storage") {
    char *real = value.empty() ? nullptr : realpath(value.c_str(), nullptr);
    struct stat st {};
    bool ok = real != nullptr && stat(real, &st) == 0 && S_ISDIR(st.st_mode);
    if (ok) plan.storage = real;
    std::free(real);
    if (!ok) error = "--storage: '" + value + "' is not a folder";
    return ok;
  }
  if (name == "--osupg") {
    std::string why;
    if (!parse_osupg_script(value, plan.osupg, why)) {
      error = "--osupg: " + why;
      return false;
    }
    return true;
  }
  if (name == "--osupg-first" || name == "--final-status") {
    if (!signed_number(value, s)) {
      error = name + ": expected a 32-bit decimal integer, got '" + value + "'";
      return false;
    }
    if (name == "--osupg-first")
      plan.osupg.first = s;
    else
      faults.final_status = s;
    return true;
  }
  if (!parse_decimal(value, UINT32_MAX, n)) {
    error = name + ": expected a decimal number from 0 to " + std::to_string(UINT32_MAX) + ", got '" + value + "'";
    return false;
  }
  if (name == "--rate")
    plan.rate = n;
  else if (name == "--xfer-close")
    faults.xfer_close = n;
  else if (name == "--xfer-stall")
    faults.xfer_stall = n;
  else
    faults.xfer_size = n;
  return true;
}

std::vector<std::string> split_escaped(const std::string &text) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\\')) {
      word += text[++i];
      in_word = true;
    } else if (c == ' ') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

int resolve_path(const std::string &storage, const std::string &path, Resolved &out) {
  out = Resolved{};
  if (storage.empty()) return kStatusNotAllowed;
  if (path.size() > kMaxPathBytes) return kStatusTooLong;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    std::string name = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    start = slash == std::string::npos ? path.size() + 1 : slash + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      if (out.parts.empty()) return kStatusNotFound;
      out.parts.pop_back();
      continue;
    }
    if (name.size() > kMaxNameBytes) return kStatusTooLong;
    for (unsigned char c : name)
      if (bad_name_byte(c)) return kStatusNotFound;
    if (name.rfind(kPartPrefix, 0) == 0) return kStatusNotFound;
    out.parts.push_back(name);
  }

  out.host = storage;
  if (out.parts.empty()) {
    if (lstat(out.host.c_str(), &out.st) != 0) return status_of_errno(errno);
    out.exists = true;
    out.is_dir = true;
    return 0;
  }
  for (size_t i = 0; i < out.parts.size(); ++i) {
    out.host += "/" + out.parts[i];
    bool last = i + 1 == out.parts.size();
    if (lstat(out.host.c_str(), &out.st) != 0) {
      if (errno == ENOENT && last) return 0;  // the path does not exist (yet)
      return errno == ENOENT ? kStatusNotFound : status_of_errno(errno);
    }
    if (S_ISLNK(out.st.st_mode)) return kStatusNotAllowed;
    if (!last && !S_ISDIR(out.st.st_mode)) return kStatusNotFound;
  }
  out.exists = true;
  out.is_dir = S_ISDIR(out.st.st_mode);
  return 0;
}

int status_of_errno(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
    case EINVAL: return kStatusNotFound;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return kStatusNoRoom;
    case EEXIST: return kStatusExists;
    case ENOTEMPTY:
    case EISDIR: return kStatusWrongKind;
    case ENAMETOOLONG: return kStatusTooLong;
    default: return kStatusNotAllowed;  // EACCES, EPERM, EROFS and whatever else the host refuses
  }
}

std::string attribute_lines(const struct stat &st) {
  auto clamp = [](long long v) {
    return std::to_string(v < 0            ? 0ull
                          : v > UINT32_MAX ? static_cast<unsigned long long>(UINT32_MAX)
                                           : static_cast<unsigned long long>(v));
  };
  bool dir = S_ISDIR(st.st_mode);
  return "size=" + clamp(dir ? 0 : static_cast<long long>(st.st_size)) + "\n" +
         "time=" + clamp(static_cast<long long>(st.st_mtime)) + "\n" + "type=" + (dir ? "1" : "0") + "\n" +
         "bits=" + std::to_string(st.st_mode & 0777) + "\n";
}

}  // namespace zrsim
