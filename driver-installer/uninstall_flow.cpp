// The uninstall flow: device search and removal, deletion of the package's INF copies and
// driver files, the unplug prompt and the completion box (uninstall_flow.h).
#include "uninstall_flow.h"

#include <algorithm>
#include <atomic>

#include "messages.h"
#include "platform/paths.h"
#include "wide_text.h"

namespace kqco {

bool HardwareIdListMatches(std::wstring_view multiString, std::wstring_view hardwareId) {
  size_t pos = 0;
  while (pos < multiString.size()) {
    size_t end = multiString.find(L'\0', pos);
    if (end == std::wstring_view::npos) end = multiString.size();
    const std::wstring_view entry = multiString.substr(pos, end - pos);
    if (entry.empty()) break;  // the list ends with an empty entry
    if (StartsWithNoCase(entry, hardwareId)) return true;
    pos = end + 1;
  }
  return false;
}

namespace {

// Walks every device of the list and tests it against hardwareId; removes the matching ones when
// asked to. True when any device matched.
bool ForEachMatchingDevice(DeviceInstallServices& system, const std::wstring& hardwareId, bool presentOnly,
                           bool remove) {
  const auto list = system.GetClassDevs(presentOnly);
  if (!list) return false;
  bool matched = false;
  std::wstring ids;
  for (unsigned index = 0; list->EnumDevice(index); ++index) {
    ids.clear();
    const PropertyRead read = list->HardwareIds(index, ids);
    if (read == PropertyRead::kNoData) continue;
    if (read == PropertyRead::kFailed) break;
    if (!HardwareIdListMatches(ids, hardwareId)) continue;
    matched = true;
    if (remove) list->RemoveDevice(index);  // a failed removal is not reported
  }
  return matched;
}

struct UnplugWatch {
  std::atomic<bool> deviceGone{false};  // set once by the watcher when the device has gone
  std::atomic<bool> stop{false};        // the primary thread gave up waiting
  std::atomic<bool> promptDone{false};  // the primary thread has left its prompt loop
};

void UnplugWatcherThread(InstallerContext& ctx, const std::wstring& hardwareId, UnplugWatch& watch) {
  const auto stopped = [&watch] { return watch.stop.load(); };
  if (SleepUntil(stopped, ctx.timing.watcherDelay)) return;
  while (IsDevicePresent(ctx.system, hardwareId)) {
    if (SleepUntil(stopped, ctx.timing.watcherPollPause)) return;
  }
  watch.deviceGone = true;
  // Close the prompt as if OK had been pressed. A prompt that is only just being put up is not
  // found yet, so keep at it until the primary thread has left its prompt loop.
  const auto finished = [&watch] { return watch.promptDone.load() || watch.stop.load(); };
  do {
    ctx.windows.SendCommand(kCaptionUnplug, kIdOk);
  } while (!SleepUntil(finished, ctx.timing.closeRetryPause));
}

// Shows the unplug prompt until the device has gone. Returns 0 then, or the exit code.
int WaitForUnplug(InstallerContext& ctx, const std::wstring& hardwareId) {
  UnplugWatch watch;
  std::thread watcher;
  if (!ctx.startThread(watcher, [&] { UnplugWatcherThread(ctx, hardwareId, watch); })) {
    return kExitThreadFailed;
  }
  int result = 0;
  while (!watch.deviceGone) {
    const int answer = ctx.windows.ShowMessageBox(kTextUnplug, kCaptionUnplug, BoxButtons::kOkCancel);
    if (answer == kIdCancel) {
      result = kExitUninstallCancelled;
      break;
    }
    if (answer != kIdOk && !watch.deviceGone) {
      // The prompt could not be shown at all: nobody can answer it, as in silent mode.
      result = kExitPluggedInSilent;
      break;
    }
  }
  if (result != 0) watch.stop = true;
  watch.promptDone = true;
  watcher.join();
  return result;
}

void CloseDoneBoxThread(InstallerContext& ctx, const std::atomic<bool>& boxReturned) {
  const auto returned = [&boxReturned] { return boxReturned.load(); };
  if (SleepUntil(returned, ctx.timing.doneBoxDelay)) return;
  do {
    ctx.windows.SendCommand(kCaptionUninstallDone, kIdOk);
  } while (!SleepUntil(returned, ctx.timing.closeRetryPause));
}

}  // namespace

bool IsDevicePresent(DeviceInstallServices& system, const std::wstring& hardwareId) {
  return ForEachMatchingDevice(system, hardwareId, /*presentOnly=*/true, /*remove=*/false);
}

bool RemoveMatchingDevices(DeviceInstallServices& system, const std::wstring& hardwareId) {
  return ForEachMatchingDevice(system, hardwareId, /*presentOnly=*/false, /*remove=*/true);
}

void DeleteInfFiles(DeviceInstallServices& system, const std::wstring& installSection,
                    const std::wstring& modelsSection, const std::wstring& key, const std::wstring& hardwareId) {
  const auto windowsDir = system.WindowsDirectory();
  if (!windowsDir || windowsDir->empty() || windowsDir->size() >= kMaxPath) return;
  const std::wstring infDir = *windowsDir + kPathSeparator + L"inf";
  for (const auto& name : system.FindFiles(infDir + kPathSeparator + kInfCopyPattern)) {
    const std::wstring path = infDir + kPathSeparator + name;

    // The key list of the section comes in a buffer of kMaxPath characters that ends with two NULs.
    const auto keys = system.ProfileSectionKeys(path, installSection);
    const size_t firstKeyLength = keys.empty() ? 0 : std::min(keys.front().size(), kMaxPath - 2);
    if (firstKeyLength <= 4) continue;

    std::wstring value = system.ProfileString(path, modelsSection, key, L"");
    if (value.size() > kMaxPath - 1) value.resize(kMaxPath - 1);
    AsciiUpperInPlace(value);
    if (value.find(hardwareId) == std::wstring::npos) continue;

    system.RemoveFile(path);
    if (path.size() >= 3) system.RemoveFile(path.substr(0, path.size() - 3) + L"PNF");
  }
}

void DeleteDriverFiles(DeviceInstallServices& system) {
  const auto systemDir = system.SystemDirectory();
  if (!systemDir || systemDir->empty() || systemDir->size() >= kMaxPath + 1) return;
  const std::wstring drivers = *systemDir + kPathSeparator + L"drivers" + kPathSeparator;
  system.RemoveFile(drivers + kDriverFile);
  system.RemoveFile(drivers + kMiniportFile);
}

int RunUninstallFlow(InstallerContext& ctx, const Switches& sw, const std::wstring& hardwareId) {
  if (!sw.removeAnyway && IsDevicePresent(ctx.system, hardwareId)) {
    if (sw.silent) return kExitPluggedInSilent;
    if (const int rc = WaitForUnplug(ctx, hardwareId); rc != 0) return rc;
  }

  DeleteInfFiles(ctx.system, kInfInstallSection, kInfModelsSection, kInfDeviceKey, hardwareId);
  DeleteDriverFiles(ctx.system);
  if (!RemoveMatchingDevices(ctx.system, hardwareId)) return kExitNoMatchingDevice;

  if (!sw.silent && !sw.noInteraction) {
    std::atomic<bool> boxReturned{false};
    std::thread closer;
    if (!ctx.startThread(closer, [&] { CloseDoneBoxThread(ctx, boxReturned); })) {
      ctx.windows.ShowMessageBox(kTextThreadFailed, L"", BoxButtons::kOk);
      return kExitThreadFailed;
    }
    ctx.windows.ShowMessageBox(kTextUninstallDone, kCaptionUninstallDone, BoxButtons::kOkCancel);
    boxReturned = true;
    closer.join();
  }
  return 0;
}

}  // namespace kqco
