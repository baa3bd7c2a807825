// main.cpp -- the program entry of KQ-LumaraLink.exe and the second instance's window search.
#include "launcher.h"

#include <shellapi.h>

#include <cstring>

namespace lumara {

BOOL CALLBACK ActivateRunningInstance(HWND window, LPARAM) {
  if (!IsWindowVisible(window)) return TRUE;

  // The title is asked for with a time limit: a window whose thread hangs must not hang this
  // start with it.
  char text[kTextBufferChars] = {};
  DWORD_PTR copied = 0;
  if (SendMessageTimeoutA(window, WM_GETTEXT, kTextBufferChars, reinterpret_cast<LPARAM>(text),
                          SMTO_ABORTIFHUNG | SMTO_BLOCK, kWindowTextTimeoutMs, &copied) == 0 ||
      copied == 0) {
    return TRUE;
  }
  text[kTextBufferChars - 1] = '\0';
  if (std::strstr(text, kMainWindowTitlePart) == nullptr) return TRUE;

  char class_name[kTextBufferChars] = {};
  if (GetClassNameA(window, class_name, kTextBufferChars) == 0) return TRUE;
  if (lstrcmpiA(class_name, kMainWindowClass) != 0) return TRUE;

  if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
  SetForegroundWindow(window);
  return TRUE;
}

namespace {

int LauncherMain(HINSTANCE module) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) argc = 0;

  // The first instance keeps the mutex, owned, until the process ends.
  HANDLE instance = CreateMutexA(nullptr, TRUE, kInstanceLockName);
  if (instance == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
    EnumWindows(ActivateRunningInstance, 0);
    if (argc > 1) ForwardArguments(argv, argc);
    return 0;  // whatever the forwarding gave
  }

  SplashParams splash{};
  splash.parent = nullptr;
  splash.module = module;
  splash.resource_module = module;
  splash.resource_name = kSplashResourceName;
  splash.display_time = static_cast<WORD>(SplashDisplayTimeMs());
  splash.centre = TRUE;
  splash.top_most = FALSE;
  splash.wait = FALSE;
  splash.x = 0;
  splash.y = 0;
  StartSplashScreen(&splash);
  return StartJavaApplication(module, argc, argv);
}

}  // namespace

}  // namespace lumara

int WINAPI WinMain(HINSTANCE module, HINSTANCE, LPSTR, int) { return lumara::LauncherMain(module); }
