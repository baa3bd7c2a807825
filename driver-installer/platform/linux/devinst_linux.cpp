// Device-installation services for Linux under a system root folder (devinst_linux.h).
#include "platform/linux/devinst_linux.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "ini_reader.h"
#include "platform/linux/device_db.h"
#include "platform/linux/posix_files.h"
#include "platform/linux/sysfs_usb.h"
#include "wide_text.h"

namespace kqco::linux_platform {

namespace {

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? value : fallback;
}

std::string RealPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string out = resolved;
  std::free(resolved);
  return out;
}

struct ListedDevice {
  std::wstring instance;
  std::wstring hardwareIds;  // multi-string
  bool idsTooLong = false;
  bool inDatabase = false;
};

class LinuxDeviceList final : public DeviceList {
 public:
  LinuxDeviceList(LinuxDeviceInstallServices& owner, std::vector<ListedDevice> devices)
      : owner_(owner), devices_(std::move(devices)) {}

  bool EnumDevice(unsigned index) override { return index < devices_.size(); }

  PropertyRead HardwareIds(unsigned index, std::wstring& multiString) override {
    if (index >= devices_.size()) return PropertyRead::kFailed;
    const auto& dev = devices_[index];
    if (dev.idsTooLong) return PropertyRead::kFailed;
    if (dev.hardwareIds.empty()) return PropertyRead::kNoData;
    multiString = dev.hardwareIds;
    return PropertyRead::kOk;
  }

  bool RemoveDevice(unsigned index) override {
    if (index >= devices_.size() || !devices_[index].inDatabase) return false;
    return owner_.RemoveDatabaseEntry(devices_[index].instance);
  }

 private:
  LinuxDeviceInstallServices& owner_;
  std::vector<ListedDevice> devices_;
};

bool AttachedUsbMatches(const std::wstring& multiString, const std::vector<UsbDevice>& usb) {
  std::size_t pos = 0;
  while (pos < multiString.size()) {
    std::size_t end = multiString.find(L'\0', pos);
    if (end == std::wstring::npos) end = multiString.size();
    if (end == pos) break;
    if (const auto ids = ParseUsbVidPid(std::wstring_view(multiString).substr(pos, end - pos))) {
      for (const auto& dev : usb) {
        if (dev.vendor == ids->first && dev.product == ids->second) return true;
      }
    }
    pos = end + 1;
  }
  return false;
}

std::string PnfText(const std::string& source, const std::string& bytes, const IniDocument& doc) {
  std::wstring text =
      L"KQCO precompiled INF 1\nsource=" + DecodeUtf8(source) + L"\nsize=" + std::to_wstring(bytes.size()) + L"\n";
  for (const auto& section : doc.sections()) {
    text += L"[" + section.name + L"]\n";
    for (const auto& e : section.entries) text += e.key + L"=" + e.value + L"\n";
  }
  return EncodeUtf8(text);
}

bool IsInfSignature(const std::wstring& signature) {
  return EqualsNoCase(signature, L"$Windows NT$") || EqualsNoCase(signature, L"$Chicago$") ||
         EqualsNoCase(signature, L"$Windows 95$");
}

}  // namespace

LinuxSystemOptions LinuxSystemOptions::FromEnvironment() {
  LinuxSystemOptions o;
  o.systemRoot = EnvOr("KQCO_SYSTEM_ROOT", kDefaultSystemRoot);
  o.sysfsUsbDevices = EnvOr("KQCO_SYSFS_USB_DEVICES", kDefaultSysfsUsbDevices);
  return o;
}

LinuxDeviceInstallServices::LinuxDeviceInstallServices(LinuxSystemOptions options)
    : sysfs_(std::move(options.sysfsUsbDevices)) {
  root_ = AbsolutePath(options.systemRoot.empty() ? kDefaultSystemRoot : options.systemRoot);
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

bool LinuxDeviceInstallServices::InsideRoot(const std::string& path) const {
  const std::size_t slash = path.rfind('/');
  if (path.empty() || path.front() != '/' || slash == std::string::npos) return false;
  const std::string name = path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return false;
  const std::string rootReal = RealPath(root_);
  const std::string dirReal = RealPath(slash == 0 ? "/" : path.substr(0, slash));
  if (rootReal.empty() || dirReal.empty()) return false;
  if (rootReal == "/") return true;
  return dirReal == rootReal || dirReal.compare(0, rootReal.size() + 1, rootReal + "/") == 0;
}

bool LinuxDeviceInstallServices::EnsureFolder(const std::string& path) const {
  // Folders are made from the root down; nothing above the root is created.
  if (path.compare(0, root_.size(), root_) != 0) return false;
  std::string current = root_;
  if (::mkdir(current.c_str(), 0755) != 0 && errno != EEXIST) return false;
  std::size_t pos = root_.size();
  while (pos < path.size()) {
    std::size_t next = path.find('/', pos + 1);
    if (next == std::string::npos) next = path.size();
    current = path.substr(0, next);
    if (!InsideRoot(current)) return false;
    if (::mkdir(current.c_str(), 0755) != 0 && errno != EEXIST) return false;
    pos = next;
  }
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int LinuxDeviceInstallServices::LockDatabase() const {
  if (!EnsureFolder(root_)) return -1;
  const std::string lockPath = root_ + "/devices.db.lock";
  if (!InsideRoot(lockPath)) return -1;
  const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd);
      return -1;
    }
  }
  return fd;
}

bool LinuxDeviceInstallServices::WriteDatabase(const std::string& text) const {
  static std::atomic<unsigned> counter{0};
  const std::string target = DatabasePath();
  const std::string temp = root_ + "/.devices.db." + std::to_string(::getpid()) + "." + std::to_string(counter++);
  if (!InsideRoot(target) || !InsideRoot(temp)) return false;
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, text);
  if (::close(fd) != 0 || !written || ::rename(temp.c_str(), target.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

std::unique_ptr<DeviceList> LinuxDeviceInstallServices::GetClassDevs(bool presentOnly) {
  std::string text;
  const ReadResult read = ReadFileBounded(DatabasePath(), kMaxDatabaseBytes, text);
  if (read != ReadResult::kOk && read != ReadResult::kMissing) return nullptr;

  const std::vector<UsbDevice> usb = ReadUsbDevices(sysfs_);
  std::vector<ListedDevice> devices;
  std::vector<std::wstring> known;
  for (const auto& line : SplitLines(text)) {
    const auto entry = ParseDeviceLine(line);
    if (!entry) continue;
    known.push_back(entry->instance);
    const bool present = entry->present || AttachedUsbMatches(entry->hardwareIds, usb);
    if (presentOnly && !present) continue;
    devices.push_back({entry->instance, entry->hardwareIds, entry->hardwareIdsTooLong, true});
  }
  for (const auto& dev : usb) {
    const std::wstring instance = dev.InstanceName();
    bool listed = false;
    for (const auto& k : known) listed = listed || EqualsNoCase(k, instance);
    if (!listed) devices.push_back({instance, MakeMultiString(dev.HardwareIds()), false, false});
  }
  return std::make_unique<LinuxDeviceList>(*this, std::move(devices));
}

bool LinuxDeviceInstallServices::RemoveDatabaseEntry(const std::wstring& instance) {
  const int lock = LockDatabase();
  if (lock < 0) return false;
  bool removed = false;
  std::string text;
  if (ReadFileBounded(DatabasePath(), kMaxDatabaseBytes, text) == ReadResult::kOk) {
    std::string kept;
    for (const auto& line : SplitLines(text)) {
      const auto entry = ParseDeviceLine(line);
      if (entry && EqualsNoCase(entry->instance, instance)) {
        removed = true;
        continue;
      }
      kept += line + "\n";
    }
    if (removed) removed = WriteDatabase(kept);
  }
  ::close(lock);
  return removed;
}

bool LinuxDeviceInstallServices::ReenumerateDeviceTree() {
  const int lock = LockDatabase();
  if (lock < 0) return false;
  std::string text;
  const ReadResult read = ReadFileBounded(DatabasePath(), kMaxDatabaseBytes, text);
  bool ok = read == ReadResult::kOk || read == ReadResult::kMissing;
  if (ok) {
    std::vector<std::wstring> known;
    for (const auto& line : SplitLines(text)) {
      if (const auto entry = ParseDeviceLine(line)) known.push_back(entry->instance);
    }
    std::string added;
    for (const auto& dev : ReadUsbDevices(sysfs_)) {
      const std::wstring instance = dev.InstanceName();
      bool listed = false;
      for (const auto& k : known) listed = listed || EqualsNoCase(k, instance);
      if (listed) continue;
      // Presence of these entries follows the attached device, so the line itself says 0.
      added += FormatDeviceLine(instance, false, dev.HardwareIds()) + "\n";
      known.push_back(instance);
    }
    if (!added.empty()) {
      if (!text.empty() && text.back() != '\n') text += "\n";
      ok = WriteDatabase(text + added);
    }
  }
  ::close(lock);
  return ok;
}

bool LinuxDeviceInstallServices::CopyOemInf(const std::wstring& sourcePath) {
  // The INF name comes lower-cased from the command line; the file may carry capitals.
  const std::string source = FindIgnoringCase(EncodeUtf8(sourcePath));
  std::string bytes;
  if (ReadFileBounded(source, kMaxInfBytes, bytes) != ReadResult::kOk) return false;
  const IniDocument doc = IniDocument::FromFileBytes(bytes);
  const auto signature = doc.Value(L"Version", L"Signature");
  if (!signature || !IsInfSignature(*signature)) return false;  // not an INF file

  const std::string store = InfDirPath();
  if (!EnsureFolder(store)) return false;
  const std::string pnf = PnfText(source, bytes, doc);
  const auto writeNew = [&](const std::string& path, const std::string& data) {
    if (!InsideRoot(path)) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool ok = WriteAll(fd, data);
    return ::close(fd) == 0 && ok;
  };
  const auto writePnf = [&](const std::string& infPath) {
    const std::string pnfPath = infPath.substr(0, infPath.size() - 3) + "PNF";
    if (!InsideRoot(pnfPath)) return false;
    ::unlink(FindIgnoringCase(pnfPath).c_str());  // an older one, whatever the case of its name
    return writeNew(pnfPath, pnf);
  };

  // A copy with the same content already in the store is used as it is.
  for (const auto& name : ListDirectory(store)) {
    if (!WildcardMatchNoCase(DecodeUtf8(name), L"oem*.inf")) continue;
    std::string existing;
    const std::string path = store + "/" + name;
    if (ReadFileBounded(path, kMaxInfBytes, existing) == ReadResult::kOk && existing == bytes) {
      return writePnf(path);
    }
  }

  for (unsigned n = 0; n <= kMaxOemInfNumber; ++n) {
    const std::string path = store + "/oem" + std::to_string(n) + ".inf";
    if (!InsideRoot(path)) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    const bool written = WriteAll(fd, bytes);
    if (::close(fd) != 0 || !written || !writePnf(path)) {
      ::unlink(path.c_str());
      return false;
    }
    return true;
  }
  return false;
}

std::optional<uint32_t> LinuxDeviceInstallServices::WaitNoPendingInstallEvents(uint32_t) {
  return 0;  // installations are never left pending here
}

std::optional<std::pair<unsigned, unsigned>> LinuxDeviceInstallServices::PlatformVersion() {
  return std::nullopt;  // there is no Windows version to report
}

std::optional<std::wstring> LinuxDeviceInstallServices::WindowsDirectory() { return DecodeUtf8(WindowsDirPath()); }

std::optional<std::wstring> LinuxDeviceInstallServices::SystemDirectory() { return DecodeUtf8(SystemDirPath()); }

std::optional<uint64_t> LinuxDeviceInstallServices::LastWriteTime(const std::wstring& path) {
  const std::string p = FindIgnoringCase(EncodeUtf8(path));
  const int fd = ::open(p.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  // The file must be one that could be opened for writing as well; it is never written.
  if (!regular || ::faccessat(AT_FDCWD, p.c_str(), W_OK, AT_EACCESS) != 0) return std::nullopt;
  constexpr int64_t kEpochDifference = 11644473600;  // seconds from 1601-01-01 to 1970-01-01
  const int64_t seconds = static_cast<int64_t>(st.st_mtim.tv_sec) + kEpochDifference;
  if (seconds < 0) return 0;
  return static_cast<uint64_t>(seconds) * 10000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100u;
}

std::vector<std::wstring> LinuxDeviceInstallServices::FindFiles(const std::wstring& pattern) {
  std::vector<std::wstring> found;
  const std::size_t slash = pattern.rfind(L'/');
  const std::wstring dir = slash == std::wstring::npos ? L"." : pattern.substr(0, slash);
  const std::wstring namePattern = slash == std::wstring::npos ? pattern : pattern.substr(slash + 1);
  for (const auto& name : ListDirectory(EncodeUtf8(dir.empty() ? L"/" : dir))) {
    std::wstring wide = DecodeUtf8(name);
    if (WildcardMatchNoCase(wide, namePattern)) found.push_back(std::move(wide));
  }
  return found;
}

bool LinuxDeviceInstallServices::RemoveFile(const std::wstring& path) {
  // "oemN.PNF" beside "oemN.inf" may be "oemN.pnf" here, as Windows would not tell apart.
  const std::string p = FindIgnoringCase(EncodeUtf8(path));
  if (!InsideRoot(p)) return false;
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  return ::unlink(p.c_str()) == 0;
}

std::optional<std::wstring> LinuxDeviceInstallServices::FullPathName(const std::wstring& path) {
  const std::string full = AbsolutePath(EncodeUtf8(path));
  if (full.empty()) return std::nullopt;
  return DecodeUtf8(full);
}

std::optional<std::wstring> LinuxDeviceInstallServices::CurrentDirectory() {
  const std::string cwd = CurrentFolder();
  if (cwd.empty()) return std::nullopt;
  return DecodeUtf8(cwd);
}

std::vector<std::wstring> LinuxDeviceInstallServices::ProfileSectionKeys(const std::wstring& path,
                                                                         const std::wstring& section) {
  std::string bytes;
  if (ReadFileBounded(EncodeUtf8(path), kMaxInfBytes, bytes) != ReadResult::kOk) return {};
  return IniDocument::FromFileBytes(bytes).SectionKeys(section);
}

std::wstring LinuxDeviceInstallServices::ProfileString(const std::wstring& path, const std::wstring& section,
                                                       const std::wstring& key, const std::wstring& fallback) {
  std::string bytes;
  if (ReadFileBounded(EncodeUtf8(path), kMaxInfBytes, bytes) != ReadResult::kOk) return fallback;
  const auto value = IniDocument::FromFileBytes(bytes).Value(section, key);
  return value ? *value : fallback;
}

}  // namespace kqco::linux_platform
