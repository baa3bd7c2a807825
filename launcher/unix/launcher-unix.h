// launcher-unix.h -- the launcher's Linux layer: X11 windows, a flock()ed instance lock,
// libpng for the splash picture, the JVM loaded with dlopen.  Included by launcher.h.
#ifndef KQ_LAUNCHER_UNIX_H
#define KQ_LAUNCHER_UNIX_H

#include <cstdint>
#include <string>
#include <vector>

namespace lumara {

// The text of `id` in the launcher's string table, or null when the table has no such entry.
const char* LoadLauncherString(int id);

// ---- single instance --------------------------------------------------------------------------
// Takes the session's instance lock: a flock()ed file named after kInstanceLockName in a folder
// that only the user may write: the user's runtime folder ($XDG_RUNTIME_DIR when it is such a
// folder), else the folder /tmp/<kInstanceLockName>-<user id>, made for it with mode 0700.  The
// lock lives as long as the process (the kernel drops it when the process ends, however it ends)
// and its descriptor is not inherited by programs the process starts.  kHeldElsewhere when
// another process holds it; kUnavailable, with the reason in *why, when it cannot be taken at all
// (that folder or the lock file is not the user's own, or the system refuses).
enum class InstanceLockResult { kTaken, kHeldElsewhere, kUnavailable };
// What a start without the lock shows (followed by the reason) and its exit code.
inline constexpr const char kInstanceLockFailure[] =
    "Unable to launch the application. The single-instance lock cannot be taken:";
inline constexpr int kExitNoInstanceLock = -1;
InstanceLockResult TakeInstanceLock(std::string* why = nullptr);
std::string InstanceLockPath();

// ---- second instance -------------------------------------------------------------------------
// Walks the X top-level windows of $DISPLAY and activates each main window of the running
// application (restored when iconic, raised, made active).  Returns how many were activated;
// 0 without a display.
int ActivateRunningInstances();

// Sends argv[1..argc-1] back to back on one connection to port 46001 of the loopback address
// ("localhost" looked up by name): 0 when sent, -1 when no socket, no address or no connection
// after kForwardAttempts attempts (each failure followed by RetryPauseMs()).
int ForwardArguments(char** argv, int argc);

// ---- first instance ---------------------------------------------------------------------------
// Record that configures one splash screen.
struct SplashParams {
  unsigned long parent = 0;             // X window the splash belongs to; 0 for none
  const char* resource_name = nullptr;  // picture among the program's resources (type "SPLASH")
  std::uint16_t display_time = 0;       // longest time up, milliseconds
  int centre = 0;                       // non-zero: centred on the screen
  int top_most = 0;                     // non-zero: kept above other windows
  int wait = 0;                         // non-zero: the starter waits for the splash thread
  int x = 0, y = 0;                     // centre point when `centre` is zero
};
// Starts the splash thread on a copy of `params`; returns at once unless params->wait is set.
// Null: no splash.
void StartSplashScreen(const SplashParams* params);

// Loads the Java runtime, creates the virtual machine and runs the application's main class
// with the arguments; returns the process exit code.
int StartJavaApplication(int argc, char** argv);

// The virtual-machine options for `argc`/`argv`: the fixed ones, then one per argument that
// names an existing path.
std::vector<std::string> JvmOptionsFor(int argc, char** argv);

// The UTF-16 form of a UTF-8 argument; bytes that are not UTF-8 become U+FFFD.
std::u16string Utf16FromUtf8(const std::string& text);

// Shows `text` in a top-most "Error" box with an OK button on $DISPLAY and waits for it to
// be dismissed; the text always goes to standard error as well.
void ShowLaunchError(const char* text);

// The program entry behind main().
int LauncherMain(int argc, char** argv);

}  // namespace lumara

#endif
