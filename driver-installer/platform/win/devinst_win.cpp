// Device-installation services on Windows: SetupAPI, the configuration manager, the profile
// calls and the wide-name file calls (devinst_win.h).
#include "platform/win/devinst_win.h"

#include <windows.h>
// windows.h first: the device-installation headers rely on its types.
#include <cfgmgr32.h>
#include <io.h>
#include <setupapi.h>

#include <algorithm>
#include <vector>

#include "platform/paths.h"

namespace kqco::win_platform {
namespace {

class WinDeviceList final : public DeviceList {
 public:
  explicit WinDeviceList(HDEVINFO set) : set_(set) {}
  ~WinDeviceList() override { SetupDiDestroyDeviceInfoList(set_); }
  WinDeviceList(const WinDeviceList&) = delete;
  WinDeviceList& operator=(const WinDeviceList&) = delete;

  bool EnumDevice(unsigned index) override {
    SP_DEVINFO_DATA data;
    return Device(index, data);
  }

  PropertyRead HardwareIds(unsigned index, std::wstring& multiString) override {
    multiString.clear();
    SP_DEVINFO_DATA data;
    if (!Device(index, data)) return PropertyRead::kFailed;
    // First the size, then the property; a property that grows between the two calls is
    // asked for again with the larger size.
    DWORD type = 0, needed = 0;
    std::vector<BYTE> buffer;
    for (;;) {
      const BOOL ok = SetupDiGetDeviceRegistryPropertyW(set_, &data, SPDRP_HARDWAREID, &type,
                                                        buffer.empty() ? nullptr : buffer.data(),
                                                        static_cast<DWORD>(buffer.size()), &needed);
      if (ok) break;
      const DWORD error = GetLastError();
      if (error == ERROR_INVALID_DATA) return PropertyRead::kNoData;
      if (error != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size() || needed > kMaxHardwareIdBytes)
        return PropertyRead::kFailed;
      buffer.assign(needed, 0);
    }
    const std::size_t chars = std::min<std::size_t>(needed, buffer.size()) / sizeof(wchar_t);
    multiString.assign(reinterpret_cast<const wchar_t*>(buffer.data()), chars);
    // A well-formed list ends with an empty entry; one that does not is ended here.
    if (multiString.empty() || multiString.back() != L'\0') multiString.push_back(L'\0');
    if (multiString.size() < 2 || multiString[multiString.size() - 2] != L'\0') multiString.push_back(L'\0');
    return PropertyRead::kOk;
  }

  bool RemoveDevice(unsigned index) override {
    SP_DEVINFO_DATA data;
    if (!Device(index, data)) return false;
    SP_REMOVEDEVICE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(set_, &data, &params.ClassInstallHeader, sizeof(params))) return false;
    return SetupDiCallClassInstaller(DIF_REMOVE, set_, &data) != FALSE;
  }

 private:
  bool Device(unsigned index, SP_DEVINFO_DATA& data) {
    data = {};
    data.cbSize = sizeof(SP_DEVINFO_DATA);
    return SetupDiEnumDeviceInfo(set_, index, &data) != FALSE;
  }
  HDEVINFO set_;
};

// Calls fill(buffer, size) for a path of the system; nullopt when it fails or does not fit
// into the installer's path buffers.
template <typename Fill>
std::optional<std::wstring> FixedPath(Fill fill) {
  wchar_t buffer[kMaxPath];
  const DWORD n = fill(buffer, static_cast<UINT>(kMaxPath));
  if (n == 0 || n >= kMaxPath) return std::nullopt;
  return std::wstring(buffer, n);
}

}  // namespace

std::unique_ptr<DeviceList> WinDeviceInstallServices::GetClassDevs(bool presentOnly) {
  const DWORD flags = DIGCF_ALLCLASSES | (presentOnly ? DIGCF_PRESENT : 0);
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, flags);
  if (set == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<WinDeviceList>(set);
}

bool WinDeviceInstallServices::CopyOemInf(const std::wstring& sourcePath) {
  if (sourcePath.empty() || sourcePath.size() >= kMaxPath || sourcePath.find(L'\0') != std::wstring::npos) return false;
  return SetupCopyOEMInfW(sourcePath.c_str(), nullptr, SPOST_PATH, 0, nullptr, 0, nullptr, nullptr) != FALSE;
}

bool WinDeviceInstallServices::ReenumerateDeviceTree() {
  DEVINST root = 0;
  if (CM_Locate_DevNode_ExW(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL, nullptr) != CR_SUCCESS) return false;
  return CM_Reenumerate_DevNode_Ex(root, CM_REENUMERATE_NORMAL, nullptr) == CR_SUCCESS;
}

std::optional<uint32_t> WinDeviceInstallServices::WaitNoPendingInstallEvents(uint32_t timeoutMs) {
  // Looked up at run time: not every system's setupapi.dll has it.
  HMODULE setupapi = GetModuleHandleW(L"setupapi.dll");
  if (setupapi == nullptr) return std::nullopt;
  using WaitFn = DWORD(WINAPI*)(DWORD);
  const auto wait =
      reinterpret_cast<WaitFn>(reinterpret_cast<void*>(GetProcAddress(setupapi, "CMP_WaitNoPendingInstallEvents")));
  if (wait == nullptr) return std::nullopt;
  return static_cast<uint32_t>(wait(timeoutMs));
}

std::optional<std::pair<unsigned, unsigned>> WinDeviceInstallServices::PlatformVersion() {
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExW(&info)) return std::nullopt;
#pragma GCC diagnostic pop
  return std::make_pair(static_cast<unsigned>(info.dwMajorVersion), static_cast<unsigned>(info.dwMinorVersion));
}

std::optional<std::wstring> WinDeviceInstallServices::WindowsDirectory() {
  return FixedPath([](wchar_t* b, UINT n) { return static_cast<DWORD>(GetWindowsDirectoryW(b, n)); });
}

std::optional<std::wstring> WinDeviceInstallServices::SystemDirectory() {
  return FixedPath([](wchar_t* b, UINT n) { return static_cast<DWORD>(GetSystemDirectoryW(b, n)); });
}

std::optional<uint64_t> WinDeviceInstallServices::LastWriteTime(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  FILETIME written{};
  const BOOL ok = GetFileTime(file, nullptr, nullptr, &written);
  CloseHandle(file);
  if (!ok) return std::nullopt;
  return (static_cast<uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
}

std::vector<std::wstring> WinDeviceInstallServices::FindFiles(const std::wstring& pattern) {
  std::vector<std::wstring> found;
  _wfinddata_t entry{};
  const intptr_t search = _wfindfirst(pattern.c_str(), &entry);
  if (search == -1) return found;
  do {
    found.emplace_back(entry.name);
  } while (_wfindnext(search, &entry) == 0);
  _findclose(search);
  return found;
}

bool WinDeviceInstallServices::RemoveFile(const std::wstring& path) { return DeleteFileW(path.c_str()) != FALSE; }

std::optional<std::wstring> WinDeviceInstallServices::FullPathName(const std::wstring& path) {
  wchar_t buffer[kMaxPath];
  const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(kMaxPath), buffer, nullptr);
  if (n == 0 || n >= kMaxPath) return std::nullopt;
  return std::wstring(buffer, n);
}

std::optional<std::wstring> WinDeviceInstallServices::CurrentDirectory() {
  return FixedPath([](wchar_t* b, UINT n) { return GetCurrentDirectoryW(n, b); });
}

std::vector<std::wstring> WinDeviceInstallServices::ProfileSectionKeys(const std::wstring& path,
                                                                       const std::wstring& section) {
  // The key names come back as a multi-string; a result of size - 2 means it was cut, and the
  // buffer grows until the whole list fits.
  std::vector<wchar_t> buffer(4096);
  DWORD n = 0;
  for (;;) {
    n = GetPrivateProfileStringW(section.c_str(), nullptr, L"", buffer.data(), static_cast<DWORD>(buffer.size()),
                                 path.c_str());
    if (n + 2 < buffer.size() || buffer.size() >= (1u << 20)) break;
    buffer.assign(buffer.size() * 4, L'\0');
  }
  std::vector<std::wstring> keys;
  for (DWORD i = 0; i < n;) {
    std::wstring key(buffer.data() + i);
    i += static_cast<DWORD>(key.size()) + 1;
    if (!key.empty()) keys.push_back(std::move(key));
  }
  return keys;
}

std::wstring WinDeviceInstallServices::ProfileString(const std::wstring& path, const std::wstring& section,
                                                     const std::wstring& key, const std::wstring& fallback) {
  std::vector<wchar_t> buffer(1024);
  DWORD n = 0;
  for (;;) {
    n = GetPrivateProfileStringW(section.c_str(), key.c_str(), fallback.c_str(), buffer.data(),
                                 static_cast<DWORD>(buffer.size()), path.c_str());
    if (n + 1 < buffer.size() || buffer.size() >= (1u << 20)) break;
    buffer.assign(buffer.size() * 4, L'\0');
  }
  return std::wstring(buffer.data(), n);
}

}  // namespace kqco::win_platform
