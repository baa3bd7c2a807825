// zr-wine-desktop-keeper.exe: keeps Wine's desktop open for the length of a test run.
//
// Wine closes its desktop process (explorer.exe /desktop) a second after the last program
// using the desktop ends, and the next window-owning program starts it again.  That new
// desktop process inherits the standard handles of whichever test program started it, and
// as it lives on, the test runner waits for that test's output pipe until the test's time
// runs out.  scripts/test-windows.sh starts this program first, with its output on the null
// device: it owns a hidden window for as long as the Wine server runs, so the desktop is
// never closed during the tests.
//
// Usage: zr-wine-desktop-keeper.exe READY-FILE
//   READY-FILE is created once the window exists.  The program ends on WM_QUIT or when the
//   Wine server is shut down.
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  int argc = 0;
  LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 2) return 2;

  WNDCLASSW cls{};
  cls.lpfnWndProc = DefWindowProcW;
  cls.hInstance = instance;
  cls.lpszClassName = L"ZrWineDesktopKeeper";
  if (RegisterClassW(&cls) == 0) return 1;
  HWND window = CreateWindowExW(0, cls.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) return 1;

  HANDLE ready = CreateFileW(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (ready == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(ready);
  LocalFree(argv);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
  return 0;
}
