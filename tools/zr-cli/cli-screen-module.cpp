// cli-screen-module.cpp -- loading the screen module (the window and the recorder) for the
// screen command: found relative to the running zrlink, in LIBDIR/zrlink beside its bin
// folder, as installed and as built.
#include "cli-screen.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <string>

namespace zrcli {

namespace {

struct Module {
  decltype(&zrlink_screen_window) window = nullptr;
  decltype(&zrlink_screen_recorder) recorder = nullptr;
  decltype(&zrlink_screen_known_format) known_format = nullptr;
  std::string why;  // when it could not be loaded
};

// The module, loaded once (it stays loaded for the life of the process).
const Module &module() {
  static const Module loaded = [] {
    Module m;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string path = ZRLINK_SCREEN_MODULE;
    if (n > 0) {
      std::string self(exe, static_cast<size_t>(n));
      path = self.substr(0, self.rfind('/') + 1) + path;
    }
    void *h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
      m.why = std::string("the screen module cannot be loaded: ") + dlerror();
      return m;
    }
    m.window = reinterpret_cast<decltype(m.window)>(dlsym(h, "zrlink_screen_window"));
    m.recorder = reinterpret_cast<decltype(m.recorder)>(dlsym(h, "zrlink_screen_recorder"));
    m.known_format = reinterpret_cast<decltype(m.known_format)>(dlsym(h, "zrlink_screen_known_format"));
    if (!m.window || !m.recorder || !m.known_format) {
      m.why = path + " is not zrlink's screen module";
      m.window = nullptr;
      m.recorder = nullptr;
      m.known_format = nullptr;
    }
    return m;
  }();
  return loaded;
}

}  // namespace

bool screen_module_loads(std::string *why) {
  if (module().window) return true;
  if (why) *why = module().why;
  return false;
}

std::unique_ptr<ScreenWindow> ScreenWindow::open(const std::string &title, unsigned width, unsigned height,
                                                 unsigned scale, std::string *why) {
  if (!screen_module_loads(why)) return nullptr;
  return std::unique_ptr<ScreenWindow>(module().window(title, width, height, scale, why));
}

bool Recorder::known_format(const std::string &path) { return module().known_format && module().known_format(path); }

std::unique_ptr<Recorder> Recorder::open(const std::string &path, unsigned width, unsigned height, unsigned scale,
                                         std::string *why) {
  if (!screen_module_loads(why)) return nullptr;
  return std::unique_ptr<Recorder>(module().recorder(path, width, height, scale, why));
}

}  // namespace zrcli
