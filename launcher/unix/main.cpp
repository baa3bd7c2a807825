// main.cpp -- the program entry of KQ-LumaraLink.
#include <cstdio>
#include <cstring>
#include <string>

#include "launcher.h"
#include "x11_windows.h"

namespace lumara {

namespace {
constexpr char kUsage[] =
    "Usage: kq-lumaralink [FILE...]\n"
    "Starts Lumara Link, the desktop application for calculator-class handhelds; the files named\n"
    "are offered for sending.  A later start brings the running application forward and hands it\n"
    "the files.\n"
    "  --help  this text (nothing is started)\n";
}  // namespace

int LauncherMain(int argc, char** argv) {
  // Alone, --help only prints the usage: no lock, no display, no Java runtime.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }

  // Before any thread talks to X (the splash thread, the Java toolkit).
  InstallQuietXErrorHandler();

  std::string why;
  const InstanceLockResult lock = TakeInstanceLock(&why);
  if (lock == InstanceLockResult::kHeldElsewhere) {
    // A later start: bring the running application forward and hand it the arguments.
    ActivateRunningInstances();
    if (argc > 1) ForwardArguments(argv, argc);
    return 0;  // whatever the forwarding gave
  }
  if (lock == InstanceLockResult::kUnavailable) {
    // Neither a first nor a later start can be told apart: say so rather than end silently.
    ShowLaunchError((std::string(kInstanceLockFailure) + " " + why).c_str());
    return kExitNoInstanceLock;
  }

  SplashParams splash;
  splash.parent = 0;
  splash.resource_name = "BITMAP_SPLASH";
  splash.display_time = static_cast<std::uint16_t>(SplashDisplayTimeMs());
  splash.centre = 1;
  splash.top_most = 0;
  splash.wait = 0;
  splash.x = 0;
  splash.y = 0;
  StartSplashScreen(&splash);
  return StartJavaApplication(argc, argv);
}

}  // namespace lumara

int main(int argc, char** argv) { return lumara::LauncherMain(argc, argv); }
