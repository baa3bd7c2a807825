// The installer's entry behind both platforms' main: command-line checks, the install or
// uninstall flow and the main window (installer.h).
#include "installer.h"

#include <algorithm>
#include <system_error>

#include "command_line.h"
#include "install_flow.h"
#include "messages.h"
#include "uninstall_flow.h"

namespace kqco {

bool StartStdThread(std::thread& out, std::function<void()> body) {
  try {
    out = std::thread(std::move(body));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

bool SleepUntil(const std::function<bool()>& done, std::chrono::milliseconds duration) {
  using Clock = std::chrono::steady_clock;
  const auto end = Clock::now() + duration;
  constexpr auto kSlice = std::chrono::milliseconds(5);
  while (!done()) {
    const auto now = Clock::now();
    if (now >= end) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(kSlice, end - now));
  }
  return true;
}

MainWindowTexts MainWindowStrings() {
  MainWindowTexts t;
  t.title = L"KQCoInstaller";
  t.className = L"KQCOINSTALLER";
  t.line = L"The Orvane device driver setup has finished. You may close this window.";
  t.aboutTitle = L"About KQCoInstaller";
  t.aboutText = L"KQCoInstaller\nUSB network driver installer for the Orvane device";
  return t;
}

namespace {

void Box(InstallerContext& ctx, const Switches& sw, const wchar_t* text) {
  if (!sw.silent) ctx.windows.ShowMessageBox(text, kCaptionError, BoxButtons::kOk);
}

}  // namespace

int RunInstaller(InstallerContext& ctx, const std::wstring& commandLine, const std::vector<std::wstring>& programArgs,
                 int showCommand) {
  const Switches sw = ReadSwitches(commandLine);
  const InstallArguments args = ParseInstallArguments(commandLine);

  if ((sw.install && sw.uninstall) || (sw.install && sw.removeAnyway) || (sw.removeAnyway && sw.uninstall)) {
    Box(ctx, sw, kTextSwitchConflict);
    return kExitSwitchConflict;
  }
  if ((sw.install || sw.forceInstall) && (args.hardwareId.empty() || args.infFileName.empty())) {
    Box(ctx, sw, kTextInstallUsage);
    return kExitInstallArguments;
  }
  const bool uninstall = sw.uninstall || sw.removeAnyway;
  if (uninstall && args.hardwareId.empty()) {
    Box(ctx, sw, kTextUninstallUsage);
    return kExitUninstallArguments;
  }

  const auto mediaRoot = MediaRootDirectory(ctx.system, programArgs);
  if (!mediaRoot) return kExitNoMediaRoot;

  int result;
  if (uninstall) {
    result = RunUninstallFlow(ctx, sw, args.hardwareId);
  } else if (sw.install || sw.forceInstall) {
    result = RunInstallFlow(ctx, sw, *mediaRoot, args);
  } else {
    Box(ctx, sw, kTextIncorrectSwitch);
    return kExitNoSwitch;
  }
  if (result != 0) return result;

  return ctx.windows.RunMainWindow(MainWindowStrings(), showCommand) ? kExitDone : kExitNoMainWindow;
}

}  // namespace kqco
