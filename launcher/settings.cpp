// settings.cpp -- the launcher's timing settings.
#include <cerrno>
#include <cstdlib>

#include "launcher.h"

namespace lumara {

int MillisecondsFromEnvironment(const char* name, int fallback, int max) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || value < 0 || value > max) return fallback;
  return static_cast<int>(value);
}

int RetryPauseMs() { return MillisecondsFromEnvironment("KQ_LAUNCHER_RETRY_PAUSE_MS", 5000, 600000); }
int SplashDisplayTimeMs() { return MillisecondsFromEnvironment("KQ_LAUNCHER_SPLASH_TIME_MS", 0xFFFF, 0xFFFF); }
int SplashLingerMs() { return MillisecondsFromEnvironment("KQ_LAUNCHER_SPLASH_LINGER_MS", 2000, 600000); }

}  // namespace lumara
