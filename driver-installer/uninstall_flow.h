// Device search by hardware ID, device removal, deletion of the driver package's INF copies and
// driver files, and the uninstall flow with its unplug prompt and completion box.
#pragma once

#include <string>
#include <string_view>

#include "command_line.h"
#include "installer.h"

namespace kqco {

// Names of the driver package that the clean-up relies on.
inline constexpr wchar_t kInfInstallSection[] = L"RNDIS.NT";
inline constexpr wchar_t kInfModelsSection[] = L"KQDevices.NT.5.1";
inline constexpr wchar_t kInfDeviceKey[] = L"%KQDevice%";
inline constexpr wchar_t kInfCopyPattern[] = L"oem*.inf";
inline constexpr wchar_t kDriverFile[] = L"usb8023y.sys";
inline constexpr wchar_t kMiniportFile[] = L"rndismpy.sys";

// True when an entry of the multi-string hardware-ID list begins with hardwareId (ignoring case).
// The walk stops at the first empty entry or at the end of the text.
bool HardwareIdListMatches(std::wstring_view multiString, std::wstring_view hardwareId);

// True when a present device matches hardwareId.
bool IsDevicePresent(DeviceInstallServices& system, const std::wstring& hardwareId);

// Asks the platform to remove every matching device, present or not. True when at least one
// device matched, whether or not its removal succeeded.
bool RemoveMatchingDevices(DeviceInstallServices& system, const std::wstring& hardwareId);

// Deletes the INF copies (oem*.inf in the INF store) whose installSection's first key name is
// longer than 4 characters and whose key value in modelsSection names hardwareId, together with
// their precompiled .PNF forms. Failures are not reported.
void DeleteInfFiles(DeviceInstallServices& system, const std::wstring& installSection,
                    const std::wstring& modelsSection, const std::wstring& key, const std::wstring& hardwareId);

// Deletes the two driver files from <system>/drivers. Failures are not reported.
void DeleteDriverFiles(DeviceInstallServices& system);

// Returns 0 on success or the exit code of the failure.
int RunUninstallFlow(InstallerContext& ctx, const Switches& sw, const std::wstring& hardwareId);

}  // namespace kqco
