// x11_windows.cpp -- the X top-level window walk, titles, class hints and activation.
#include "x11_windows.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "launcher.h"

namespace lumara {

namespace {

int IgnoreXError(Display*, XErrorEvent*) { return 0; }

// The 32-bit items of a property of the given type (any type when `type` is AnyPropertyType).
std::vector<unsigned long> CardinalProperty(Display* display, Window window, Atom property, Atom type) {
  std::vector<unsigned long> items;
  Atom actual_type = None;
  int actual_format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  if (XGetWindowProperty(display, window, property, 0, 65536, False, type, &actual_type, &actual_format, &count, &after,
                         &data) == Success &&
      data != nullptr && actual_format == 32) {
    const auto* values = reinterpret_cast<const unsigned long*>(data);  // Xlib hands 32-bit items as longs
    items.assign(values, values + count);
  }
  if (data != nullptr) XFree(data);
  return items;
}

bool HasProperty(Display* display, Window window, Atom property) {
  Atom actual_type = None;
  int actual_format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  const bool found = XGetWindowProperty(display, window, property, 0, 0, False, AnyPropertyType, &actual_type,
                                        &actual_format, &count, &after, &data) == Success &&
                     actual_type != None;
  if (data != nullptr) XFree(data);
  return found;
}

std::vector<Window> Children(Display* display, Window parent) {
  std::vector<Window> out;
  Window root = 0, up = 0;
  Window* kids = nullptr;
  unsigned int count = 0;
  if (XQueryTree(display, parent, &root, &up, &kids, &count) != 0 && kids != nullptr) out.assign(kids, kids + count);
  if (kids != nullptr) XFree(kids);
  return out;
}

bool WindowManagerSupports(Display* display, Atom what) {
  const Atom supported = XInternAtom(display, "_NET_SUPPORTED", False);
  const auto atoms = CardinalProperty(display, DefaultRootWindow(display), supported, XA_ATOM);
  return std::find(atoms.begin(), atoms.end(), what) != atoms.end();
}

}  // namespace

void InstallQuietXErrorHandler() { XSetErrorHandler(IgnoreXError); }

std::vector<Window> TopLevelWindows(Display* display) {
  const Window root = DefaultRootWindow(display);
  const Atom client_list = XInternAtom(display, "_NET_CLIENT_LIST", False);
  if (HasProperty(display, root, client_list)) {
    const auto clients = CardinalProperty(display, root, client_list, XA_WINDOW);
    return std::vector<Window>(clients.begin(), clients.end());
  }
  std::vector<Window> out;
  for (Window top : Children(display, root)) {
    out.push_back(top);
    for (Window inner : Children(display, top)) out.push_back(inner);
  }
  return out;
}

bool WindowIsViewable(Display* display, Window window) {
  XWindowAttributes attributes{};
  return XGetWindowAttributes(display, window, &attributes) != 0 && attributes.map_state == IsViewable;
}

bool WindowIsIconic(Display* display, Window window) {
  const Atom wm_state = XInternAtom(display, "WM_STATE", False);
  const auto state = CardinalProperty(display, window, wm_state, wm_state);
  return !state.empty() && state[0] == IconicState;
}

std::string WindowTitle(Display* display, Window window) {
  const Atom net_wm_name = XInternAtom(display, "_NET_WM_NAME", False);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  Atom actual_type = None;
  int actual_format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(display, window, net_wm_name, 0, 1024, False, utf8, &actual_type, &actual_format, &count,
                         &after, &data) == Success &&
      data != nullptr && actual_type == utf8 && actual_format == 8) {
    title.assign(reinterpret_cast<const char*>(data), count);
  }
  if (data != nullptr) XFree(data);
  if (!title.empty()) return title;
  XTextProperty text{};
  if (XGetWMName(display, window, &text) != 0 && text.value != nullptr) {
    if (text.format == 8) title.assign(reinterpret_cast<const char*>(text.value), text.nitems);
    XFree(text.value);
  }
  return title;
}

bool WindowClass(Display* display, Window window, std::string* res_class) {
  XClassHint hint{};
  if (XGetClassHint(display, window, &hint) == 0) return false;
  const bool has = hint.res_class != nullptr;
  if (has) *res_class = hint.res_class;
  if (hint.res_name != nullptr) XFree(hint.res_name);
  if (hint.res_class != nullptr) XFree(hint.res_class);
  return has;
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  const std::size_t n = std::strlen(b);
  if (a.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

namespace {
bool HasMainWindowClass(Display* display, Window window) {
  std::string res_class;
  return WindowClass(display, window, &res_class) && EqualsIgnoringCase(res_class, kMainWindowClass);
}
}  // namespace

bool IsApplicationMainWindow(Display* display, Window window) {
  if (!WindowIsViewable(display, window) && !WindowIsIconic(display, window)) return false;
  const std::string title = WindowTitle(display, window);
  if (title.empty() || title.find(kMainWindowTitlePart) == std::string::npos) return false;
  return HasMainWindowClass(display, window);
}

Window FindMainWindowByClass(Display* display) {
  for (Window w : TopLevelWindows(display)) {
    if ((WindowIsViewable(display, w) || WindowIsIconic(display, w)) && HasMainWindowClass(display, w)) return w;
  }
  return 0;
}

void ActivateWindow(Display* display, Window window) {
  const Window root = DefaultRootWindow(display);
  // Mapping an iconic window restores it (ICCCM 4.1.4); for a shown one this only raises it.
  XMapRaised(display, window);
  const Atom active = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  if (WindowManagerSupports(display, active)) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = active;
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;  // the request comes from a tool acting for the user
    event.xclient.data.l[1] = CurrentTime;
    event.xclient.data.l[2] = 0;
    XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
  } else {
    // No window manager to ask: take the focus ourselves once the window is viewable.
    XSync(display, False);
    if (WindowIsViewable(display, window)) XSetInputFocus(display, window, RevertToPointerRoot, CurrentTime);
  }
  XFlush(display);
}

int ActivateRunningInstances() {
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return 0;
  int activated = 0;
  for (Window w : TopLevelWindows(display)) {
    if (!IsApplicationMainWindow(display, w)) continue;
    ActivateWindow(display, w);
    ++activated;
  }
  XSync(display, False);
  XCloseDisplay(display);
  return activated;
}

}  // namespace lumara
