// strings.cpp -- the launcher's string table (Linux has no resource string tables).
#include "launcher.h"

namespace lumara {

namespace {
struct StringEntry {
  int id;
  const char* text;
};
constexpr StringEntry kStringTable[] = {
    {kStrProductTitle, "Lumara Link 0.1.0"},
    {kStrNoJvmLibrary, "Unable to launch the application. The Java virtual machine library cannot be found."},
    {kStrNoMainClass, "Unable to launch the application. The application main class cannot be found."},
    {kStrNoJvm, "Unable to launch the application. The java virtual machine cannot be created."},
    {kStrErrorCaption, "Error"},
};
}  // namespace

const char* LoadLauncherString(int id) {
  for (const auto& entry : kStringTable) {
    if (entry.id == id) return entry.text;
  }
  return nullptr;
}

}  // namespace lumara
