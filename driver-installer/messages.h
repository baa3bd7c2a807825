// The installer's user-visible texts, its exit codes and its built-in string table.
#pragma once

#include "platform/window.h"

namespace kqco {

// Exit codes of KQCoInstaller.
inline constexpr int kExitInstallArguments = -1;      // install switch without INF name and hardware ID
inline constexpr int kExitSwitchConflict = -2;        // two of -n, -u, -r together
inline constexpr int kExitNoSwitch = -3;              // none of -n, -f, -u, -r
inline constexpr int kExitNoMediaRoot = -4;           // MediaRootDirectory could not be determined
inline constexpr int kExitThreadFailed = -5;          // a helper thread could not be created
inline constexpr int kExitCopyInfFailed = -6;         // the INF could not be copied into the store
inline constexpr int kExitUninstallArguments = -101;  // uninstall switch without hardware ID
inline constexpr int kExitUninstallCancelled = -102;  // Cancel on the un-plug prompt
inline constexpr int kExitNoMatchingDevice = -103;    // no device entry matches the hardware ID
inline constexpr int kExitPluggedInSilent = -104;     // device plugged in during a silent uninstall
inline constexpr int kExitNoMainWindow = 0;           // work done, main window not created
inline constexpr int kExitDone = 1;                   // work done, main window closed

// Message boxes of the command-line checks.
inline constexpr wchar_t kCaptionError[] = L"ERROR";
inline constexpr wchar_t kTextSwitchConflict[] = L"Cannot use both the switches in single command";
inline constexpr wchar_t kTextInstallUsage[] =
    L"Invalid Command Line Arguments For Installation \n"
    L" USAGE: kqcoinstaller -n \"xxxx.inf\" \"USB\\VID_4407&PID_7705\"";
inline constexpr wchar_t kTextUninstallUsage[] =
    L"Invalid Command Line Arguments For Un-Installation \n"
    L" USAGE: kqcoinstaller -u \"USB\\VID_4407&PID_7705\"";
inline constexpr wchar_t kTextIncorrectSwitch[] = L"Incorrect Switch Used";

// Message boxes of the uninstall flow.
inline constexpr wchar_t kCaptionUnplug[] = L"Driver UnInstallation";
inline constexpr wchar_t kTextUnplug[] = L"Please Un-Plug the Orvane Device to Continue with the UnInstallation";
inline constexpr wchar_t kCaptionUninstallDone[] = L"UnInstallation Done";
inline constexpr wchar_t kTextUninstallDone[] = L"Drivers For Orvane Device Have Been Successfully UnInstalled";
inline constexpr wchar_t kTextThreadFailed[] = L"ERROR: Failed to Create Thread";

// Window of the platform's hardware wizard that the install flow closes.
inline constexpr wchar_t kHardwareWizardTitle[] = L"Found New Hardware Wizard";

// The installer's string table.
MainWindowTexts MainWindowStrings();

}  // namespace kqco
