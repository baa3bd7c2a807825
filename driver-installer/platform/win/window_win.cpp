// Window services on Windows: message boxes, the installer's main window, finding windows by
// title (window_win.h).
#include "platform/win/window_win.h"

#include <windows.h>

namespace kqco::win_platform {
namespace {

// The texts of the running main window (one per process: the installer opens one at most).
const MainWindowTexts* g_texts = nullptr;

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kCmdAbout:
          if (g_texts != nullptr) MessageBoxW(window, g_texts->aboutText.c_str(), g_texts->aboutTitle.c_str(), MB_OK);
          return 0;
        case kCmdExit: DestroyWindow(window); return 0;
        default: return DefWindowProcW(window, message, wParam, lParam);
      }
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT client;
      GetClientRect(window, &client);
      if (g_texts != nullptr) DrawTextW(dc, g_texts->line.c_str(), -1, &client, DT_CENTER);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int WinWindowServices::ShowMessageBox(const std::wstring& text, const std::wstring& caption, BoxButtons buttons) {
  const UINT type = buttons == BoxButtons::kOkCancel ? MB_OKCANCEL : MB_OK;
  const int result = MessageBoxW(nullptr, text.c_str(), caption.empty() ? nullptr : caption.c_str(), type);
  return result == IDOK ? kIdOk : result == IDCANCEL ? kIdCancel : result;
}

bool WinWindowServices::SendCommand(const std::wstring& windowTitle, int commandId) {
  HWND window = FindWindowW(nullptr, windowTitle.c_str());
  if (window == nullptr) return false;
  SendMessageW(window, WM_COMMAND, MAKEWPARAM(commandId, 0), 0);
  return true;
}

bool WinWindowServices::RunMainWindow(const MainWindowTexts& texts, int showCommand) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  HMENU menu = CreateMenu();
  HMENU file = CreatePopupMenu();
  HMENU help = CreatePopupMenu();
  if (menu != nullptr && file != nullptr && help != nullptr) {
    AppendMenuW(file, MF_STRING, kCmdExit, L"E&xit");
    AppendMenuW(help, MF_STRING, kCmdAbout, L"&About ...");
    AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(file), L"&File");
    AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(help), L"&Help");
  }

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = MainWndProc;
  wc.hInstance = instance;
  wc.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = texts.className.c_str();
  RegisterClassExW(&wc);  // a class left from an earlier window is used as it is

  g_texts = &texts;
  HWND window = CreateWindowExW(0, texts.className.c_str(), texts.title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                                CW_USEDEFAULT, 0, nullptr, menu, instance, nullptr);
  if (window == nullptr) {
    if (menu != nullptr) DestroyMenu(menu);
    g_texts = nullptr;
    return false;
  }
  ShowWindow(window, showCommand);
  UpdateWindow(window);

  // The window's commands come from its menu; it has no keyboard accelerators.
  MSG msg;
  BOOL got;
  while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
    if (got == -1) break;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  g_texts = nullptr;
  return true;
}

}  // namespace kqco::win_platform
