// Window services on an X display through Xlib, with the core font "fixed".
//
// Message boxes are small top-level windows with the caption as their title, the text and the
// buttons. A command reaches a window of another thread or process as a ClientMessage of type
// KQCO_WM_COMMAND (format 32, l[0] the command identifier), sent to the top-level window found by
// its title (_NET_WM_NAME, else WM_NAME). A box takes kIdOk or kIdCancel this way as if the button
// had been pressed; the main window takes its menu commands.
//
// Without a display, a message box writes "<caption>: <text>" to the fallback stream (standard
// error) and returns 0, the result of a box that could not be shown; the main window cannot be
// created then.
#pragma once

#include <cstdio>
#include <string>

#include "platform/window.h"

// Xlib types, declared here so that users of this header do not get Xlib's macros.
struct _XDisplay;

namespace kqco::linux_platform {

using XDisplay = ::_XDisplay;
using XWindowId = unsigned long;

inline constexpr char kCommandAtomName[] = "KQCO_WM_COMMAND";

class X11WindowServices final : public WindowServices {
 public:
  // displayName empty: the DISPLAY environment variable.
  explicit X11WindowServices(std::string displayName = {}, std::FILE* fallback = stderr);

  int ShowMessageBox(const std::wstring& text, const std::wstring& caption, BoxButtons buttons) override;
  bool SendCommand(const std::wstring& windowTitle, int commandId) override;
  bool RunMainWindow(const MainWindowTexts& texts, int showCommand) override;

 private:
  std::string displayName_;
  std::FILE* fallback_;
};

// Finds a top-level window (a child of the root, or a child of one when a window manager has
// reparented it) whose title is titleUtf8. Searches from the top of the stacking order.
bool FindTopLevelWindow(XDisplay* display, const std::string& titleUtf8, XWindowId* found);

// The title of a window: _NET_WM_NAME, else WM_NAME converted to UTF-8. Empty when it has none.
std::string WindowTitle(XDisplay* display, XWindowId window);

// Installs Xlib error handlers that neither print nor end the process (once per process).
void InstallQuietXErrorHandlers();

}  // namespace kqco::linux_platform
