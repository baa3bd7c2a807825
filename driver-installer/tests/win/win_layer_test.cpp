// The Win32 device-installation layer against the system it runs on (under Wine in CI): the
// device database and hardware IDs, the INF store, the profile calls and the file calls.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/win/devinst_win.h"
#include "uninstall_flow.h"
#include "wide_text.h"
#include "win_support.h"

namespace kqco {
namespace {

using win_platform::WinDeviceInstallServices;
using zrtest::TempDir;

// Splits a multi-string into its entries; false when it is not ended by an empty entry.
bool SplitMultiString(const std::wstring& multi, std::vector<std::wstring>& entries) {
  entries.clear();
  if (multi.size() < 2 || multi[multi.size() - 1] != L'\0' || multi[multi.size() - 2] != L'\0') return false;
  std::size_t start = 0;
  while (start < multi.size() && multi[start] != L'\0') {
    const std::size_t end = multi.find(L'\0', start);
    entries.push_back(multi.substr(start, end - start));
    start = end + 1;
  }
  return true;
}

TEST(WinLayer, DeviceListEnumeratesDevicesAndReadsTheirHardwareIds) {
  WinDeviceInstallServices sys;
  auto all = sys.GetClassDevs(false);
  ASSERT_NE(all, nullptr);
  unsigned count = 0, withIds = 0;
  for (; count < 4096 && all->EnumDevice(count); ++count) {
    std::wstring multi;
    const PropertyRead read = all->HardwareIds(count, multi);
    ASSERT_NE(read, PropertyRead::kFailed) << "device " << count;
    if (read == PropertyRead::kNoData) continue;
    std::vector<std::wstring> ids;
    ASSERT_TRUE(SplitMultiString(multi, ids)) << "device " << count;
    EXPECT_FALSE(ids.empty()) << "device " << count;
    for (const auto& id : ids) EXPECT_EQ(id.find(L'\0'), std::wstring::npos);
    ++withIds;
  }
  EXPECT_GT(count, 0u) << "the system lists no device at all";
  EXPECT_GT(withIds, 0u);
  // Past the end nothing is listed, read or removed.
  std::wstring multi = L"stale";
  EXPECT_FALSE(all->EnumDevice(count));
  EXPECT_EQ(all->HardwareIds(count, multi), PropertyRead::kFailed);
  EXPECT_TRUE(multi.empty());
  EXPECT_FALSE(all->RemoveDevice(count));

  // The present devices are among all devices.
  auto present = sys.GetClassDevs(true);
  ASSERT_NE(present, nullptr);
  unsigned presentCount = 0;
  while (presentCount < 4096 && present->EnumDevice(presentCount)) ++presentCount;
  EXPECT_LE(presentCount, count);
}

TEST(WinLayer, DeviceSearchFindsAPresentDeviceByTheBeginningOfItsHardwareId) {
  WinDeviceInstallServices sys;
  auto present = sys.GetClassDevs(true);
  ASSERT_NE(present, nullptr);
  std::wstring id;
  for (unsigned i = 0; i < 4096 && id.empty() && present->EnumDevice(i); ++i) {
    std::wstring multi;
    if (present->HardwareIds(i, multi) == PropertyRead::kOk && !multi.empty() && multi[0] != L'\0') id = multi.c_str();
  }
  if (id.empty()) GTEST_SKIP() << "no present device with hardware IDs";
  EXPECT_TRUE(IsDevicePresent(sys, id)) << wintest::Narrow(id);
  std::wstring prefix = id.substr(0, std::max<std::size_t>(1, id.size() / 2));
  AsciiLowerInPlace(prefix);
  EXPECT_TRUE(IsDevicePresent(sys, prefix)) << wintest::Narrow(prefix);
  EXPECT_FALSE(IsDevicePresent(sys, id + L"&NO_SUCH_REVISION"));
  EXPECT_FALSE(IsDevicePresent(sys, L"USB\\VID_4407&PID_77F0"));
}

TEST(WinLayer, CopyOemInfPutsThePackageIntoTheInfStore) {
  WinDeviceInstallServices sys;
  TempDir dir;
  const std::wstring name = wintest::UniqueName(L"kqcotest", L".inf");
  const std::string marker = wintest::Narrow(name);
  ASSERT_TRUE(wintest::WriteText(dir.wfile(name), wintest::PackageInf("USB\\VID_4407&PID_7705", marker)));
  const auto windowsDir = sys.WindowsDirectory();
  ASSERT_TRUE(windowsDir.has_value());
  const std::wstring store = *windowsDir + L"\\inf\\";

  ASSERT_TRUE(sys.CopyOemInf(dir.wfile(name)));
  // Other tests may copy packages at the same time: only the copies with this marker count.
  std::vector<std::wstring> copies;
  for (const auto& f : sys.FindFiles(store + L"*.inf"))
    if (sys.ProfileString(store + f, L"Strings", L"Marker", L"") == std::wstring(marker.begin(), marker.end()))
      copies.push_back(f);
  ASSERT_EQ(copies.size(), 1u);
  // Windows names the copy oemN.inf; Wine keeps the source's name.
  const bool oemName = copies[0].size() > 7 && _wcsnicmp(copies[0].c_str(), L"oem", 3) == 0;
  EXPECT_TRUE(oemName || _wcsicmp(copies[0].c_str(), name.c_str()) == 0) << wintest::Narrow(copies[0]);
  const std::wstring copy = store + copies[0];
  EXPECT_EQ(sys.ProfileString(copy, L"RNDIS.NT", L"BusType", L"none"), L"15");
  EXPECT_TRUE(sys.RemoveFile(copy));
  EXPECT_FALSE(wintest::FileExists(copy));

  // A missing source, an empty path and one too long for the path buffers are refused.
  EXPECT_FALSE(sys.CopyOemInf(dir.wfile(L"missing.inf")));
  EXPECT_FALSE(sys.CopyOemInf(L""));
  EXPECT_FALSE(sys.CopyOemInf(dir.wpath() + L"\\" + std::wstring(300, L'a') + L".inf"));
}

TEST(WinLayer, ProfileCallsReadSectionKeysAndValues) {
  WinDeviceInstallServices sys;
  TempDir dir;
  const std::wstring inf = dir.wfile(L"pkg.inf");
  ASSERT_TRUE(wintest::WriteText(inf, wintest::PackageInf("USB\\VID_4407&PID_7705")));
  EXPECT_EQ(sys.ProfileSectionKeys(inf, L"rndis.nt"),
            (std::vector<std::wstring>{L"Characteristics", L"BusType", L"CopyFiles"}));
  EXPECT_EQ(sys.ProfileString(inf, L"Strings", L"Orvane", L"-"), L"Orvane");
  EXPECT_EQ(sys.ProfileString(inf, L"Strings", L"Missing", L"fallback"), L"fallback");
  EXPECT_TRUE(sys.ProfileSectionKeys(inf, L"NoSuchSection").empty());
  EXPECT_TRUE(sys.ProfileSectionKeys(dir.wfile(L"missing.inf"), L"RNDIS.NT").empty());
  EXPECT_EQ(sys.ProfileString(dir.wfile(L"missing.inf"), L"Strings", L"Orvane", L"fb"), L"fb");

  // A long section still comes back whole.
  std::string big = "[Big]\r\n";
  for (int i = 0; i < 800; ++i) big += "Key" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
  ASSERT_TRUE(wintest::WriteText(inf, big));
  const auto keys = sys.ProfileSectionKeys(inf, L"Big");
  ASSERT_EQ(keys.size(), 800u);
  EXPECT_EQ(keys.back(), L"Key799");
}

TEST(WinLayer, FileCallsFindTimeAndRemoveFiles) {
  WinDeviceInstallServices sys;
  TempDir dir;
  for (const wchar_t* name : {L"oem1.inf", L"OEM22.INF", L"other.inf", L"oem3.pnf", L"\u00e9t\u00e9.inf"})
    ASSERT_TRUE(wintest::WriteText(dir.wfile(name), "x"));
  auto found = sys.FindFiles(dir.wpath() + L"\\oem*.inf");
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::wstring>{L"OEM22.INF", L"oem1.inf"}));
  EXPECT_EQ(sys.FindFiles(dir.wpath() + L"\\\u00e9t\u00e9.*"), std::vector<std::wstring>{L"\u00e9t\u00e9.inf"});
  EXPECT_TRUE(sys.FindFiles(dir.wpath() + L"\\none*.inf").empty());

  // The time of the last write, in 100-ns units since 1601: close to the system's clock.
  const auto written = sys.LastWriteTime(dir.wfile(L"oem1.inf"));
  ASSERT_TRUE(written.has_value());
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t nowUnits = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  EXPECT_LT(nowUnits - *written, 600ull * 10000000ull);
  EXPECT_FALSE(sys.LastWriteTime(dir.wfile(L"missing.sys")).has_value());
  // A file another handle holds without sharing cannot be opened, so it has no time.
  HANDLE held = CreateFileW(dir.wfile(L"other.inf").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(sys.LastWriteTime(dir.wfile(L"other.inf")).has_value());
  CloseHandle(held);

  EXPECT_TRUE(sys.RemoveFile(dir.wfile(L"oem1.inf")));
  EXPECT_FALSE(sys.RemoveFile(dir.wfile(L"oem1.inf")));
}

TEST(WinLayer, SystemPathsAndVersion) {
  WinDeviceInstallServices sys;
  const auto windowsDir = sys.WindowsDirectory();
  const auto systemDir = sys.SystemDirectory();
  ASSERT_TRUE(windowsDir && systemDir);
  EXPECT_EQ(_wcsnicmp(systemDir->c_str(), windowsDir->c_str(), windowsDir->size()), 0);
  const auto version = sys.PlatformVersion();
  ASSERT_TRUE(version.has_value());
  EXPECT_GE(version->first, 5u);
  const auto cwd = sys.CurrentDirectory();
  ASSERT_TRUE(cwd.has_value());
  const auto full = sys.FullPathName(L"x.inf");
  ASSERT_TRUE(full.has_value());
  EXPECT_EQ(full->substr(0, cwd->size()), *cwd);
  EXPECT_FALSE(sys.FullPathName(std::wstring(300, L'a')).has_value());
}

TEST(WinLayer, PendingInstallationsAndRescanAnswerWithoutHanging) {
  WinDeviceInstallServices sys;
  // setupapi.dll is loaded by this program; the wait is either missing or answers at once.
  const auto wait = sys.WaitNoPendingInstallEvents(0);
  if (wait) {
    EXPECT_TRUE(*wait == 0 || *wait == 258u) << *wait;
  }
  // Wine's configuration manager cannot locate the root node; Windows re-enumerates it. Either
  // way the answer comes back.
  (void)sys.ReenumerateDeviceTree();
}

}  // namespace
}  // namespace kqco
