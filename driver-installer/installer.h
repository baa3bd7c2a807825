// The installer's entry: checks the command line, runs the install or the uninstall flow and
// ends with the main window. The flows reach the system only through the context's services.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/devinst.h"
#include "platform/window.h"

namespace kqco {

// The installer's waits. The defaults are those of the finished program; tests shorten them.
struct Timing {
  std::chrono::milliseconds wizardDelay{500};      // before the hardware wizard is cancelled
  std::chrono::milliseconds watcherDelay{500};     // before the unplug watcher starts polling
  std::chrono::milliseconds watcherPollPause{20};  // between two polls of the unplug watcher
  std::chrono::milliseconds doneBoxDelay{600};     // life of the completion box
  std::chrono::milliseconds closeRetryPause{50};   // between attempts to close a box not yet up
};

// Starts body on a new thread stored in out; false when no thread could be created.
using ThreadStarter = std::function<bool(std::thread& out, std::function<void()> body)>;
bool StartStdThread(std::thread& out, std::function<void()> body);

struct InstallerContext {
  InstallerContext(DeviceInstallServices& sys, WindowServices& win) : system(sys), windows(win) {}
  DeviceInstallServices& system;
  WindowServices& windows;
  Timing timing;
  ThreadStarter startThread = StartStdThread;
};

// Show commands of the main window (the platform's values).
inline constexpr int kShowHide = 0;
inline constexpr int kShowDefault = 10;

// Runs the whole program: commandLine is the text after the program name, programArgs the split
// full command line (element 0 the program as it was started; may be empty). Returns the exit
// code.
int RunInstaller(InstallerContext& ctx, const std::wstring& commandLine, const std::vector<std::wstring>& programArgs,
                 int showCommand);

// Sleeps for duration or until done() gives true, whichever comes first; returns done().
bool SleepUntil(const std::function<bool()>& done, std::chrono::milliseconds duration);

}  // namespace kqco
