// The install flow: driver time stamps, clean-up of an older installation, the INF copy into
// the store and the re-enumeration (install_flow.h).
#include "install_flow.h"

#include "messages.h"
#include "platform/paths.h"
#include "uninstall_flow.h"

namespace kqco {

DriverTimeResult CompareDriverFileTimes(DeviceInstallServices& system, const std::wstring& mediaRoot) {
  DriverTimeResult result;
  if (const auto version = system.PlatformVersion()) {
    const auto [major, minor] = *version;
    // Windows XP and every 6.x release: the package is always installed.
    if ((major == 5 && minor == 1) || major == 6) {
      result.comparison = -1;
      result.ok = true;
      return result;
    }
  }

  const auto systemDir = system.SystemDirectory();
  if (!systemDir || systemDir->size() >= kMaxPath + 1) return result;
  const std::wstring installedPath = *systemDir + kPathSeparator + L"drivers" + kPathSeparator + kDriverFile;
  const auto installed = system.LastWriteTime(installedPath);
  if (!installed) return result;

  const std::wstring mediaPath = mediaRoot + kDriverFile;
  if (mediaPath.size() >= kMaxPath) return result;
  const auto media = system.LastWriteTime(mediaPath);
  if (!media) return result;

  result.comparison = *installed < *media ? -1 : (*installed > *media ? 1 : 0);
  result.ok = true;
  return result;
}

bool InstallationInProgress(DeviceInstallServices& system) {
  const auto wait = system.WaitNoPendingInstallEvents(0);
  return wait && *wait == kWaitTimeout;
}

bool InstallInfFile(DeviceInstallServices& system, const std::wstring& mediaRoot, const std::wstring& infFileName) {
  const std::wstring fullInfPath = mediaRoot + infFileName;
  if (fullInfPath.size() >= kMaxPath) return false;
  return system.CopyOemInf(fullInfPath);
}

bool DeviceRescan(DeviceInstallServices& system) { return system.ReenumerateDeviceTree(); }

void CancelHardwareWizardThread(InstallerContext& ctx) {
  std::this_thread::sleep_for(ctx.timing.wizardDelay);
  ctx.windows.SendCommand(kHardwareWizardTitle, kIdCancel);
}

int RunInstallFlow(InstallerContext& ctx, const Switches& sw, const std::wstring& mediaRoot,
                   const InstallArguments& args) {
  const DriverTimeResult times = CompareDriverFileTimes(ctx.system, mediaRoot);
  const bool installNeeded = times.comparison == -1 || !times.ok;

  // A reinstall over a plugged-in device first takes the old device entries and driver files away.
  if (installNeeded && IsDevicePresent(ctx.system, args.hardwareId)) {
    if (RemoveMatchingDevices(ctx.system, args.hardwareId)) DeleteDriverFiles(ctx.system);
  }

  if (!sw.noInteraction && InstallationInProgress(ctx.system)) {
    std::thread wizardCloser;
    if (ctx.startThread(wizardCloser, [&ctx] { CancelHardwareWizardThread(ctx); })) wizardCloser.join();
  }

  if (installNeeded) {
    if (!InstallInfFile(ctx.system, mediaRoot, args.infFileName)) return kExitCopyInfFailed;
    DeviceRescan(ctx.system);
  }
  return 0;
}

}  // namespace kqco
