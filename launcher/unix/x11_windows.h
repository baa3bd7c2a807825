// x11_windows.h -- finding the desktop application's main window among the X top-level windows.
#ifndef KQ_LAUNCHER_X11_WINDOWS_H
#define KQ_LAUNCHER_X11_WINDOWS_H

#include <X11/Xlib.h>

#include <string>
#include <vector>

namespace lumara {

// Makes X protocol errors harmless for the whole process (a window may vanish between two
// requests).  Called once on the primary thread before any other thread talks to X; the Java
// runtime's toolkit, when it starts, installs its own handler, which ignores errors it does not
// expect as well.
void InstallQuietXErrorHandler();

// The top-level windows, in the order the server gives them: the window manager's
// _NET_CLIENT_LIST when it has one, else the root's children and, for each, its own children
// (the client windows that a reparenting window manager puts one level down).
std::vector<Window> TopLevelWindows(Display* display);

// True when the window is viewable, or iconic by its WM_STATE.
bool WindowIsViewable(Display* display, Window window);
bool WindowIsIconic(Display* display, Window window);

// The window's title: _NET_WM_NAME, else WM_NAME; empty when it has none.
std::string WindowTitle(Display* display, Window window);

// The class part of the window's WM_CLASS hint; false when it has none.
bool WindowClass(Display* display, Window window, std::string* res_class);

// ASCII comparison ignoring case.
bool EqualsIgnoringCase(const std::string& a, const char* b);

// True when the window is the running application's main window: viewable or iconic, a title
// containing "Orvane-Connect" and the class "com.kq.vlx.qxconnect.gui.MainFrame".
bool IsApplicationMainWindow(Display* display, Window window);

// The first viewable or iconic top-level window of the main window's class, whatever its title;
// 0 when there is none.
Window FindMainWindowByClass(Display* display);

// Restores the window when iconic, raises it and asks the window manager to make it active
// (_NET_ACTIVE_WINDOW); without a window manager that knows that message it takes the input focus.
void ActivateWindow(Display* display, Window window);

}  // namespace lumara

#endif
