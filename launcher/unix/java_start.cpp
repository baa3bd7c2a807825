// java_start.cpp -- runs the Java desktop application inside this process.
//
// The runtime library is loaded by path at run time, the virtual machine created through the
// invocation interface with the fixed options (plus one per argument that names an existing
// path), and the application's static main called on this, the primary, thread.  The process's
// exit code is the result of the virtual machine's teardown.
#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "java_main.h"
#include "launcher.h"

namespace lumara {

namespace {

constexpr const char kJvmLibrary[] = "jre/lib/server/libjvm.so";
constexpr const char* kFixedOptions[] = {
    "-Djava.class.path=lib/qxconnect.jar:",
    "-Djava.library.path=lib",
    "-Xms24m",
    "-Xmx128m",
    // The application names its windows' X class itself (the toolkit's awtAppClassName).
    "--add-opens=java.desktop/sun.awt.X11=ALL-UNNAMED",
};

std::string ProgramFolder() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  path[n] = '\0';
  std::string folder(path);
  const auto slash = folder.rfind('/');
  return slash == std::string::npos ? std::string() : folder.substr(0, slash);
}

// Loads the runtime library: beside the launcher's own program first, then against the
// current folder.  0 when loaded (with or without the entry point, stored in `entry`), -1
// when not.  The library is never unloaded.
int BindJavaRuntime(const char* relative, CreateJavaVmEntry* entry) {
  *entry = nullptr;
  void* library = nullptr;
  const std::string beside = ProgramFolder();
  if (!beside.empty()) library = ::dlopen((beside + "/" + relative).c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (library == nullptr) library = ::dlopen((std::string("./") + relative).c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (library == nullptr) return -1;
  *entry = reinterpret_cast<CreateJavaVmEntry>(::dlsym(library, kJavaCreateEntry));
  return 0;
}

}  // namespace

std::u16string Utf16FromUtf8(const std::string& text) {
  std::u16string out;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned c = s[i];
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (c < 0x80) {
      len = 1, cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      len = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4, cp = c & 0x07, min = 0x10000;
    }
    bool ok = len != 0 && i + len <= n;
    for (std::size_t k = 1; ok && k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80)
        ok = false;
      else
        cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(u'\uFFFD');
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return out;
}

std::vector<std::string> JvmOptionsFor(int argc, char** argv) {
  std::vector<std::string> options(std::begin(kFixedOptions), std::end(kFixedOptions));
  for (int i = 1; i < argc; ++i) {
    struct stat st {};
    // Only an argument that names an existing path becomes an option, as it stands; one that
    // starts with '-' gets "./" in front so that it still names that path and can never be read
    // as a virtual-machine switch.  Other arguments add nothing.
    if (argv[i][0] == '\0' || ::stat(argv[i], &st) != 0) continue;
    options.push_back(argv[i][0] == '-' ? std::string("./") + argv[i] : std::string(argv[i]));
  }
  return options;
}

int StartJavaApplication(int argc, char** argv) {
  CreateJavaVmEntry entry = nullptr;
  if (BindJavaRuntime(kJvmLibrary, &entry) != 0) {
    const char* text = LoadLauncherString(kStrNoJvmLibrary);
    if (text != nullptr) ShowLaunchError(text);
    return -1;
  }
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Utf16FromUtf8(argv[i]));
  return RunJavaApplication(entry, JvmOptionsFor(argc, argv), args);
}

}  // namespace lumara
