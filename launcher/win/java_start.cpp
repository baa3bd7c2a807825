// java_start.cpp -- runs the Java desktop application inside this process (Win32 layer).
//
// The runtime library "jre\bin\client\jvm.dll" is loaded by the system's library search, which
// looks in the launcher's own folder first; the class path and library path are relative and
// so resolved against the current folder.  An installation holds KQ-LumaraLink.exe, jre\ and
// lib\ (qxconnect.jar, QXConJNI.dll) side by side and is started from its own folder.
#include <string>
#include <vector>

#include "java_main.h"
#include "launcher.h"

namespace lumara {

namespace {

constexpr const char kJvmLibrary[] = "jre\\bin\\client\\jvm.dll";
constexpr const char* kFixedOptions[] = {
    "-Djava.class.path=lib\\qxconnect.jar;",
    "-Djava.library.path=lib",
    "-Xms24m",
    "-Xmx128m",
};

// Loads the runtime library; 0 when loaded (the entry point stored in `entry`, null when the
// library lacks it), -1 when not.  The library is never freed.
int BindJavaRuntime(const char* path, CreateJavaVmEntry* entry) {
  *entry = nullptr;
  HMODULE library = LoadLibraryA(path);
  if (library == nullptr) return -1;
  *entry = reinterpret_cast<CreateJavaVmEntry>(reinterpret_cast<void*>(GetProcAddress(library, kJavaCreateEntry)));
  return 0;
}

// The code page of every conversion: the thread's ANSI code page.  (The x86-64 build runs
// only on NT-family systems of version 5.2 and later, all of which have CP_THREAD_ACP.)
constexpr UINT kConversionCodePage = CP_THREAD_ACP;

}  // namespace

const char* LoadLauncherString(int id) {
  static char buffer[kTextBufferChars];
  buffer[0] = '\0';
  if (LoadStringA(GetModuleHandleA(nullptr), static_cast<UINT>(id), buffer, kTextBufferChars) <= 0) {
    return nullptr;
  }
  return buffer;
}

std::string ConvertToAnsi(const wchar_t* text) {
  if (text == nullptr) return std::string();
  // The size the conversion needs is asked for first: a code page with characters of more
  // than two bytes (UTF-8 as the system's ANSI code page) would not fit twice the length.
  const UINT page = kConversionCodePage;
  const int size = WideCharToMultiByte(page, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<std::size_t>(size), '\0');
  if (WideCharToMultiByte(page, 0, text, -1, &out[0], size, nullptr, nullptr) <= 0) return std::string();
  out.resize(static_cast<std::size_t>(size - 1));  // without the terminating zero
  return out;
}

std::vector<std::string> JvmOptionsFor(int argc, wchar_t** argv) {
  std::vector<std::string> options(std::begin(kFixedOptions), std::end(kFixedOptions));
  for (int i = 1; i < argc; ++i) {
    const std::string path = ConvertToAnsi(argv[i]);
    if (path.empty()) continue;
    // The short form's size (with its terminator) is asked for first; an argument that names
    // no existing path has none and adds nothing.
    const DWORD needed = GetShortPathNameA(path.c_str(), nullptr, 0);
    if (needed == 0) continue;
    std::string short_form(needed, '\0');
    const DWORD written = GetShortPathNameA(path.c_str(), &short_form[0], needed);
    if (written == 0 || written >= needed) continue;
    short_form.resize(written);
    options.push_back(short_form[0] == '-' ? ".\\" + short_form : short_form);
  }
  return options;
}

void ShowLaunchError(const char* text) {
  HMODULE user32 = LoadLibraryA("user32");
  if (user32 == nullptr) RaiseException(kNoUser32Exception, EXCEPTION_NONCONTINUABLE, 0, nullptr);

  char caption[kTextBufferChars] = {};
  if (LoadStringA(GetModuleHandleA(nullptr), kStrErrorCaption, caption, kTextBufferChars) <= 0) {
    lstrcpynA(caption, "Error", kTextBufferChars);
  }
  using MessageBoxEntry = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
  auto message_box = reinterpret_cast<MessageBoxEntry>(reinterpret_cast<void*>(GetProcAddress(user32, "MessageBoxA")));
  if (message_box == nullptr) RaiseException(kNoMessageBoxException, EXCEPTION_NONCONTINUABLE, 0, nullptr);
  message_box(nullptr, text, caption, MB_OK | MB_ICONERROR | MB_TOPMOST);
  FreeLibrary(user32);
}

int StartJavaApplication(HINSTANCE, int argc, wchar_t** argv) {
  CreateJavaVmEntry entry = nullptr;
  if (BindJavaRuntime(kJvmLibrary, &entry) != 0) {
    const char* text = LoadLauncherString(kStrNoJvmLibrary);
    if (text != nullptr) ShowLaunchError(text);
    return -1;
  }
  // main receives the arguments exactly as typed: their UTF-16 form, which holds every
  // character (the ANSI form would not).
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) {
    args.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
  }
  return RunJavaApplication(entry, JvmOptionsFor(argc, argv), args);
}

}  // namespace lumara
