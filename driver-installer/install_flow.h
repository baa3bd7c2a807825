// The install flow: decides from the driver time stamps whether the package is to be installed,
// clears out an older installation of a plugged-in device, copies the INF into the system's INF
// store and has the device tree re-enumerated.
#pragma once

#include <string>

#include "command_line.h"
#include "installer.h"

namespace kqco {

struct DriverTimeResult {
  int comparison = 0;  // -1 installed driver older, 0 same, 1 newer (or -1 forced by the OS check)
  bool ok = false;     // true when the OS check or a comparison decided
};

// Compares the installed driver <system>/drivers/usb8023y.sys with the one beside the installer.
DriverTimeResult CompareDriverFileTimes(DeviceInstallServices& system, const std::wstring& mediaRoot);

// True when the platform reports device installations still pending.
bool InstallationInProgress(DeviceInstallServices& system);

// Copies mediaRoot + infFileName into the INF store. False on failure, and when the full path
// does not fit in a path buffer.
bool InstallInfFile(DeviceInstallServices& system, const std::wstring& mediaRoot, const std::wstring& infFileName);

// Re-enumerates the device tree from its root. True when that could be asked for.
bool DeviceRescan(DeviceInstallServices& system);

// Helper-thread body: waits, then cancels the platform's new-hardware wizard if it is up.
void CancelHardwareWizardThread(InstallerContext& ctx);

// Returns 0 on success or the exit code of the failure.
int RunInstallFlow(InstallerContext& ctx, const Switches& sw, const std::wstring& mediaRoot,
                   const InstallArguments& args);

}  // namespace kqco
