// The installer's seam to the platform's window services: message boxes, the main window, and
// the command sent to a top-level window of another component found by its title.
#pragma once

#include <string>

namespace kqco {

// Button and command identifiers as the platform numbers them.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;

enum class BoxButtons { kOk, kOkCancel };

// What the main window shows. The numbers are those of the installer's string table.
struct MainWindowTexts {
  std::wstring title;       // string 103
  std::wstring className;   // string 109
  std::wstring line;        // string 106, drawn centred from the top of the client area
  std::wstring aboutTitle;  // caption of the About box (dialog 103)
  std::wstring aboutText;
};

// Menu and accelerator commands of the main window.
inline constexpr int kCmdAbout = 104;
inline constexpr int kCmdExit = 105;

class WindowServices {
 public:
  virtual ~WindowServices() = default;
  // MessageBoxW without an owner. An empty caption stands for the platform's default caption.
  // Returns the button that ended the box (kIdOk, kIdCancel), or 0 when no box could be shown.
  virtual int ShowMessageBox(const std::wstring& text, const std::wstring& caption, BoxButtons buttons) = 0;
  // FindWindowW for a top-level window with exactly this title, then SendMessageW with
  // WM_COMMAND, the command identifier and no control. False when no such window was found.
  virtual bool SendCommand(const std::wstring& windowTitle, int commandId) = 0;
  // Creates the main window, shows it with the show command and runs its message loop until it
  // is destroyed. False when the window cannot be created.
  virtual bool RunMainWindow(const MainWindowTexts& texts, int showCommand) = 0;
};

}  // namespace kqco
