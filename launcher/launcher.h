// launcher.h -- KQ-LumaraLink: the program that the user starts.
//
// The first instance in a user session takes the instance lock "Orvane-Connect", shows the
// splash on a thread of its own and runs the Java desktop application in this process on the
// primary thread.  A later instance raises the running application's main window, forwards its
// arguments to the application's listener on TCP port 46001 of the loopback address, and exits 0.
//
// This header holds what every platform shares: the names the launcher has in common with the
// desktop application, the string table's ids and the timing settings.  The platform's own
// layer (unix/launcher-unix.h, win/launcher-win.h) declares the rest: the instance lock, window
// activation, forwarding, the splash, the Java start and the program entry.
#ifndef KQ_LAUNCHER_H
#define KQ_LAUNCHER_H

namespace lumara {

// ---- names shared with the desktop application ---------------------------------------------
inline constexpr const char kInstanceLockName[] = "Orvane-Connect";
inline constexpr const char kMainWindowClass[] = "com.kq.vlx.qxconnect.gui.MainFrame";  // ignoring case
inline constexpr const char kMainWindowTitlePart[] = "Orvane-Connect";                  // with case
inline constexpr unsigned short kForwardPort = 46001;
inline constexpr const char kForwardHost[] = "localhost";
inline constexpr int kForwardAttempts = 5;

// The Java side: the application's main class and method.
inline constexpr const char kJavaStringClass[] = "java/lang/String";
inline constexpr const char kJavaMainClass[] = "com/kq/vlx/qxconnect/ApplicationMain";
inline constexpr const char kJavaMainMethod[] = "main";
inline constexpr const char kJavaMainSignature[] = "([Ljava/lang/String;)V";
inline constexpr const char kJavaCreateEntry[] = "JNI_CreateJavaVM";

// ---- string table ----------------------------------------------------------------------------
enum StringId : int {
  kStrProductTitle = 2,
  kStrNoJvmLibrary = 4,
  kStrNoMainClass = 5,
  kStrNoJvm = 6,
  kStrErrorCaption = 7,
};

// ---- timing (the real values unless the environment says otherwise) --------------------------
// KQ_LAUNCHER_RETRY_PAUSE_MS   pause after each failed forwarding attempt (5000)
// KQ_LAUNCHER_SPLASH_TIME_MS   longest time the splash stays up (65535, at most 65535)
// KQ_LAUNCHER_SPLASH_LINGER_MS time the splash stays after the main window appears (2000)
int RetryPauseMs();
int SplashDisplayTimeMs();
int SplashLingerMs();
// The environment variable `name` as a count of milliseconds in [0, max], else `fallback`.
int MillisecondsFromEnvironment(const char* name, int fallback, int max);

}  // namespace lumara

#if defined(_WIN32)
#include "win/launcher-win.h"
#else
#include "unix/launcher-unix.h"
#endif

#endif
