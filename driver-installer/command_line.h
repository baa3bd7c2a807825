// The installer's command line: switches, the argument pair and the media root directory.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/devinst.h"

namespace kqco {

struct Switches {
  bool install = false;        // -n
  bool forceInstall = false;   // -f: install as -n, outside the conflict test
  bool uninstall = false;      // -u: uninstall, the device must be unplugged first
  bool removeAnyway = false;   // -r: uninstall without waiting for the unplug
  bool silent = false;         // -s: no message boxes
  bool noInteraction = false;  // -i: no wizard handling on install, no completion box on uninstall
};

struct InstallArguments {
  std::wstring infFileName;  // lower case, without double quotes
  std::wstring hardwareId;   // upper case, without double quotes
};

// Longest command line the entry keeps after converting it to wide text (a 520-character
// buffer, terminating NUL included). Longer command lines are cut.
inline constexpr size_t kMaxCommandLine = 519;

// True when a token of the command line (split at space, tab, line feed, carriage return and form
// feed, within its first 259 characters) begins with the two characters of sw, ignoring case.
bool HasSwitch(const std::wstring& commandLine, const wchar_t (&sw)[3]);

Switches ReadSwitches(const std::wstring& commandLine);

// The last token (split at spaces only, within the first 259 characters) that contains ".inf"
// once lower-cased gives the INF name; otherwise the last one that contains "VID_" once
// upper-cased gives the hardware ID. Double quotes are dropped.
InstallArguments ParseInstallArguments(const std::wstring& commandLine);

// The installer's own folder with a trailing separator, from the program path as it was started
// (programArgs[0]), or the current folder when there is no program path. nullopt when the folder
// cannot be determined or does not fit in a path buffer.
std::optional<std::wstring> MediaRootDirectory(DeviceInstallServices& system,
                                               const std::vector<std::wstring>& programArgs);

}  // namespace kqco
