// Small POSIX file helpers of the Linux platform layer (posix_files.h).
#include "platform/linux/posix_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "wide_text.h"

namespace kqco::linux_platform {

ReadResult ReadFileBounded(const std::string& path, std::size_t maxBytes, std::string& out) {
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kError;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return ReadResult::kError;
  }
  if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
    ::close(fd);
    return ReadResult::kTooLarge;
  }
  char buf[65536];
  ReadResult result = ReadResult::kOk;
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      result = ReadResult::kError;
      break;
    }
    if (n == 0) break;
    if (out.size() + static_cast<std::size_t>(n) > maxBytes) {  // the file grew meanwhile
      result = ReadResult::kTooLarge;
      break;
    }
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (result != ReadResult::kOk) out.clear();
  return result;
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::vector<std::string> ListDirectory(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string FindIgnoringCase(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) return path;
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::wstring last = DecodeUtf8(slash == std::string::npos ? path : path.substr(slash + 1));
  if (last.empty()) return path;
  for (const auto& name : ListDirectory(dir)) {
    if (EqualsNoCase(DecodeUtf8(name), last)) return path.substr(0, slash == std::string::npos ? 0 : slash + 1) + name;
  }
  return path;
}

std::string CurrentFolder() {
  std::string buf(256, '\0');
  while (buf.size() <= (1u << 20)) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) {
      buf.resize(std::char_traits<char>::length(buf.c_str()));
      return buf;
    }
    if (errno != ERANGE) return {};
    buf.resize(buf.size() * 2);
  }
  return {};
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty()) return {};
  std::string full = path;
  if (full.front() != '/') {
    const std::string cwd = CurrentFolder();
    if (cwd.empty()) return {};
    full = cwd + "/" + path;
  }
  const bool trailing = full.back() == '/';
  std::vector<std::string> parts;
  std::size_t pos = 0;
  while (pos <= full.size()) {
    std::size_t end = full.find('/', pos);
    if (end == std::string::npos) end = full.size();
    const std::string part = full.substr(pos, end - pos);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    pos = end + 1;
  }
  std::string out;
  for (const auto& p : parts) out += "/" + p;
  if (out.empty() || trailing) out += "/";
  return out;
}

bool WildcardMatchNoCase(const std::wstring& name, const std::wstring& pattern) {
  std::size_t n = 0, p = 0, starP = std::wstring::npos, starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == L'?' || AsciiLower(pattern[p]) == AsciiLower(name[n]))) {
      ++n, ++p;
    } else if (p < pattern.size() && pattern[p] == L'*') {
      starP = p++;
      starN = n;
    } else if (starP != std::wstring::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

}  // namespace kqco::linux_platform
