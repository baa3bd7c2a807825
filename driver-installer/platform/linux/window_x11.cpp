// Window services on an X display: message boxes, the main window, finding windows by title
// (window_x11.h).
#include "platform/linux/window_x11.h"

#include <X11/Xlib.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "installer.h"
#include "wide_text.h"

namespace kqco::linux_platform {

namespace {

thread_local int g_lastXError = 0;

int QuietError(Display*, XErrorEvent* event) {
  g_lastXError = event->error_code;
  return 0;
}

int QuietIoError(Display*) { return 0; }

// One connection to the display, owned by one thread. A broken connection is flagged instead of
// ending the process.
class Connection {
 public:
  explicit Connection(const std::string& name) {
    InstallQuietXErrorHandlers();
    display_ = XOpenDisplay(name.empty() ? nullptr : name.c_str());
    if (display_ != nullptr) XSetIOErrorExitHandler(display_, &Connection::OnIoError, this);
  }
  ~Connection() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  Display* get() const { return display_; }
  bool broken() const { return broken_; }

  // Waits for the next event; false when the connection has broken.
  bool NextEvent(XEvent& event) {
    while (!broken_) {
      if (XPending(display_) > 0) {
        XNextEvent(display_, &event);
        return !broken_;
      }
      if (broken_) break;
      pollfd p{ConnectionNumber(display_), POLLIN, 0};
      ::poll(&p, 1, 250);
    }
    return false;
  }

 private:
  static void OnIoError(Display*, void* self) { static_cast<Connection*>(self)->broken_ = true; }
  Display* display_ = nullptr;
  bool broken_ = false;
};

std::string Latin1(std::wstring_view text) {
  std::string out;
  for (const wchar_t c : text) out.push_back(static_cast<unsigned>(c) < 256 ? static_cast<char>(c) : '?');
  return out;
}

std::vector<std::string> Lines(const std::wstring& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  for (;;) {
    const std::size_t nl = text.find(L'\n', pos);
    lines.push_back(
        Latin1(std::wstring_view(text).substr(pos, nl == std::wstring::npos ? std::wstring::npos : nl - pos)));
    if (nl == std::wstring::npos) break;
    pos = nl + 1;
  }
  return lines;
}

Atom CommandAtom(Display* d) { return XInternAtom(d, kCommandAtomName, False); }

void SetWindowTitle(Display* d, Window w, const std::wstring& title) {
  const std::string utf8 = EncodeUtf8(title);
  const std::string latin1 = Latin1(title);
  XChangeProperty(d, w, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(latin1.data()), static_cast<int>(latin1.size()));
  XChangeProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False), XInternAtom(d, "UTF8_STRING", False), 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));
}

void SetCommonProperties(Display* d, Window w, const std::wstring& title, const std::string& className, bool dialog) {
  SetWindowTitle(d, w, title);
  std::string resName = "kqcoinstaller";
  std::string resClass = className;
  XClassHint hint{resName.data(), resClass.data()};
  XSetClassHint(d, w, &hint);
  Atom deleteWindow = XInternAtom(d, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(d, w, &deleteWindow, 1);
  if (dialog) {
    Atom type = XInternAtom(d, "_NET_WM_WINDOW_TYPE_DIALOG", False);
    XChangeProperty(d, w, XInternAtom(d, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&type), 1);
  }
}

bool IsDeleteWindow(Display* d, const XClientMessageEvent& ev) {
  return ev.message_type == XInternAtom(d, "WM_PROTOCOLS", False) && ev.format == 32 &&
         static_cast<Atom>(ev.data.l[0]) == XInternAtom(d, "WM_DELETE_WINDOW", False);
}

struct Button {
  std::string label;
  int id;
  int x = 0, y = 0, w = 0, h = 0;
  bool Contains(int px, int py) const { return px >= x && px < x + w && py >= y && py < y + h; }
};

// A modal box with lines of text and a row of buttons. Returns the identifier of the button that
// ended it, or 0 when it could not be shown or the display went away.
int RunBox(const std::string& displayName, const std::wstring& title, const std::wstring& text,
           std::vector<Button> buttons, int escapeId, Window owner) {
  Connection conn(displayName);
  Display* d = conn.get();
  if (d == nullptr) return 0;
  XFontStruct* font = XLoadQueryFont(d, "fixed");
  if (font == nullptr) return 0;

  const std::vector<std::string> lines = Lines(text);
  const int lineHeight = font->ascent + font->descent;
  constexpr int kMargin = 14, kGap = 10;
  int textWidth = 0;
  for (const auto& l : lines) textWidth = std::max(textWidth, XTextWidth(font, l.data(), static_cast<int>(l.size())));
  int buttonWidth = 75;
  for (const auto& b : buttons) {
    buttonWidth = std::max(buttonWidth, XTextWidth(font, b.label.data(), static_cast<int>(b.label.size())) + 24);
  }
  const int buttonHeight = lineHeight + 12;
  const int rowWidth = static_cast<int>(buttons.size()) * buttonWidth + (static_cast<int>(buttons.size()) - 1) * kGap;
  const int width = std::max({textWidth, rowWidth, 200}) + 2 * kMargin;
  const int height = kMargin + static_cast<int>(lines.size()) * lineHeight + kMargin + buttonHeight + kMargin;
  int x = (width - rowWidth) / 2;
  for (auto& b : buttons) {
    b.x = x, b.y = height - kMargin - buttonHeight, b.w = buttonWidth, b.h = buttonHeight;
    x += buttonWidth + kGap;
  }

  const int screen = DefaultScreen(d);
  const int left = std::max(0, (DisplayWidth(d, screen) - width) / 2);
  const int top = std::max(0, (DisplayHeight(d, screen) - height) / 2);
  const unsigned long black = BlackPixel(d, screen), white = WhitePixel(d, screen);
  const Window w = XCreateSimpleWindow(d, RootWindow(d, screen), left, top, static_cast<unsigned>(width),
                                       static_cast<unsigned>(height), 1, black, white);
  SetCommonProperties(d, w, title, "KQCoInstaller", true);
  XSizeHints* hints = XAllocSizeHints();
  if (hints != nullptr) {
    hints->flags = PPosition | PMinSize | PMaxSize;
    hints->x = left, hints->y = top;
    hints->min_width = hints->max_width = width;
    hints->min_height = hints->max_height = height;
    XSetWMNormalHints(d, w, hints);
    XFree(hints);
  }
  if (owner != None) XSetTransientForHint(d, w, owner);
  XSelectInput(d, w, ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask);
  GC gc = XCreateGC(d, w, 0, nullptr);
  XSetFont(d, gc, font->fid);
  XMapRaised(d, w);
  XFlush(d);

  const Atom commandAtom = CommandAtom(d);
  int focus = 0, pressed = -1, result = 0;
  const auto paint = [&] {
    XClearWindow(d, w);
    XSetForeground(d, gc, black);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      XDrawString(d, w, gc, kMargin, kMargin + font->ascent + static_cast<int>(i) * lineHeight, lines[i].data(),
                  static_cast<int>(lines[i].size()));
    }
    for (std::size_t i = 0; i < buttons.size(); ++i) {
      const Button& b = buttons[i];
      const bool down = static_cast<int>(i) == pressed;
      XSetForeground(d, gc, down ? black : white);
      XFillRectangle(d, w, gc, b.x, b.y, static_cast<unsigned>(b.w), static_cast<unsigned>(b.h));
      XSetForeground(d, gc, down ? white : black);
      XDrawRectangle(d, w, gc, b.x, b.y, static_cast<unsigned>(b.w - 1), static_cast<unsigned>(b.h - 1));
      if (static_cast<int>(i) == focus) {
        XDrawRectangle(d, w, gc, b.x + 2, b.y + 2, static_cast<unsigned>(b.w - 5), static_cast<unsigned>(b.h - 5));
      }
      const int tw = XTextWidth(font, b.label.data(), static_cast<int>(b.label.size()));
      XDrawString(d, w, gc, b.x + (b.w - tw) / 2, b.y + (b.h - lineHeight) / 2 + font->ascent, b.label.data(),
                  static_cast<int>(b.label.size()));
    }
    XFlush(d);
  };
  const auto hit = [&](int px, int py) {
    for (std::size_t i = 0; i < buttons.size(); ++i) {
      if (buttons[i].Contains(px, py)) return static_cast<int>(i);
    }
    return -1;
  };

  XEvent ev;
  while (result == 0 && conn.NextEvent(ev)) {
    if (ev.xany.window != w) continue;
    switch (ev.type) {
      case Expose:
        if (ev.xexpose.count == 0) paint();
        break;
      case MapNotify:
        g_lastXError = 0;
        XSetInputFocus(d, w, RevertToParent, CurrentTime);
        break;
      case ButtonPress:
        if (ev.xbutton.button == Button1) {
          pressed = hit(ev.xbutton.x, ev.xbutton.y);
          if (pressed >= 0) focus = pressed;
          paint();
        }
        break;
      case ButtonRelease:
        if (ev.xbutton.button == Button1) {
          if (pressed >= 0 && hit(ev.xbutton.x, ev.xbutton.y) == pressed) result = buttons[pressed].id;
          pressed = -1;
          if (result == 0) paint();
        }
        break;
      case KeyPress: {
        const KeySym key = XLookupKeysym(&ev.xkey, 0);
        const int count = static_cast<int>(buttons.size());
        if (key == XK_Return || key == XK_KP_Enter || key == XK_space) {
          result = buttons[focus].id;
        } else if (key == XK_Escape) {
          result = escapeId;
        } else if (key == XK_Tab || key == XK_Right) {
          focus = (focus + 1) % count;
          paint();
        } else if (key == XK_Left || key == XK_ISO_Left_Tab) {
          focus = (focus + count - 1) % count;
          paint();
        }
        break;
      }
      case ClientMessage:
        if (IsDeleteWindow(d, ev.xclient)) {
          result = escapeId;
        } else if (ev.xclient.message_type == commandAtom && ev.xclient.format == 32) {
          const long id = ev.xclient.data.l[0];
          for (const auto& b : buttons) {
            if (b.id == id) result = b.id;
          }
          if (result == 0 && id == kIdCancel) result = escapeId;
        }
        break;
      default: break;
    }
  }
  // Also after a broken connection: Xlib then only releases its client-side memory.
  XFreeGC(d, gc);
  XDestroyWindow(d, w);
  XFreeFont(d, font);
  if (!conn.broken()) XSync(d, False);
  return result;
}

}  // namespace

void InstallQuietXErrorHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(QuietError);
    XSetIOErrorHandler(QuietIoError);
  });
}

X11WindowServices::X11WindowServices(std::string displayName, std::FILE* fallback)
    : displayName_(std::move(displayName)), fallback_(fallback) {
  InstallQuietXErrorHandlers();
}

int X11WindowServices::ShowMessageBox(const std::wstring& text, const std::wstring& caption, BoxButtons buttons) {
  const std::wstring title = caption.empty() ? L"Error" : caption;
  std::vector<Button> row{{"OK", kIdOk}};
  if (buttons == BoxButtons::kOkCancel) row.push_back({"Cancel", kIdCancel});
  const int escapeId = buttons == BoxButtons::kOkCancel ? kIdCancel : kIdOk;
  const int result = RunBox(displayName_, title, text, row, escapeId, None);
  if (result == 0 && fallback_ != nullptr) {
    const std::string line = EncodeUtf8(title + L": " + text) + "\n";
    std::fwrite(line.data(), 1, line.size(), fallback_);
    std::fflush(fallback_);
  }
  return result;
}

std::string WindowTitle(Display* d, Window w) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string title;
  if (XGetWindowProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False), 0, 1024, False,
                         XInternAtom(d, "UTF8_STRING", False), &type, &format, &count, &after, &data) == Success &&
      data != nullptr && format == 8 && count > 0) {
    title.assign(reinterpret_cast<char*>(data), count);
  }
  if (data != nullptr) XFree(data);
  if (!title.empty()) return title;
  char* name = nullptr;
  if (XFetchName(d, w, &name) != 0 && name != nullptr) {
    std::wstring wide;
    for (const char* p = name; *p != '\0'; ++p) wide.push_back(static_cast<unsigned char>(*p));
    title = EncodeUtf8(wide);
    XFree(name);
  }
  return title;
}

bool FindTopLevelWindow(Display* d, const std::string& titleUtf8, Window* found) {
  const auto children = [d](Window parent) {
    std::vector<Window> list;
    Window rootReturn = None, parentReturn = None;
    Window* kids = nullptr;
    unsigned count = 0;
    if (XQueryTree(d, parent, &rootReturn, &parentReturn, &kids, &count) != 0 && kids != nullptr) {
      list.assign(kids, kids + count);
      XFree(kids);
    }
    std::reverse(list.begin(), list.end());  // top of the stacking order first
    return list;
  };
  for (const Window top : children(DefaultRootWindow(d))) {
    if (WindowTitle(d, top) == titleUtf8) {
      *found = top;
      return true;
    }
    for (const Window inner : children(top)) {
      if (WindowTitle(d, inner) == titleUtf8) {
        *found = inner;
        return true;
      }
    }
  }
  return false;
}

bool X11WindowServices::SendCommand(const std::wstring& windowTitle, int commandId) {
  Connection conn(displayName_);
  Display* d = conn.get();
  if (d == nullptr) return false;
  Window target = None;
  if (!FindTopLevelWindow(d, EncodeUtf8(windowTitle), &target)) return false;
  XEvent ev{};
  ev.xclient.type = ClientMessage;
  ev.xclient.window = target;
  ev.xclient.message_type = CommandAtom(d);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = commandId;
  ev.xclient.data.l[1] = 0;
  g_lastXError = 0;
  XSendEvent(d, target, False, NoEventMask, &ev);
  XSync(d, False);
  return !conn.broken() && g_lastXError == 0;
}

bool X11WindowServices::RunMainWindow(const MainWindowTexts& texts, int showCommand) {
  Connection conn(displayName_);
  Display* d = conn.get();
  if (d == nullptr) return false;
  XFontStruct* font = XLoadQueryFont(d, "fixed");
  if (font == nullptr) return false;

  const int screen = DefaultScreen(d);
  const unsigned long black = BlackPixel(d, screen), white = WhitePixel(d, screen);
  const int lineHeight = font->ascent + font->descent;
  const std::string line = Latin1(texts.line);
  const int lineWidth = XTextWidth(font, line.data(), static_cast<int>(line.size()));
  // The window gets room for its menu strip and its line; X has no window of height 0.
  const int menuHeight = lineHeight + 8;
  const unsigned width = static_cast<unsigned>(std::max(360, lineWidth + 40));
  const unsigned height = static_cast<unsigned>(menuHeight + 3 * lineHeight + 16);
  g_lastXError = 0;
  const Window w = XCreateSimpleWindow(d, RootWindow(d, screen), 40, 40, width, height, 1, black, white);
  XSync(d, False);
  if (w == None || g_lastXError != 0 || conn.broken()) {
    XFreeFont(d, font);
    return false;
  }
  SetCommonProperties(d, w, texts.title, EncodeUtf8(texts.className), false);
  XSelectInput(d, w, ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask);
  GC gc = XCreateGC(d, w, 0, nullptr);
  XSetFont(d, gc, font->fid);
  if (showCommand != kShowHide) XMapRaised(d, w);
  XFlush(d);

  struct MenuItem {
    std::string label;
    int command;
    int x, w;
  };
  std::vector<MenuItem> menu{{"About", kCmdAbout, 0, 0}, {"Exit", kCmdExit, 0, 0}};
  int mx = 6;
  for (auto& item : menu) {
    item.x = mx;
    item.w = XTextWidth(font, item.label.data(), static_cast<int>(item.label.size())) + 12;
    mx += item.w + 4;
  }
  const Atom commandAtom = CommandAtom(d);

  const auto paint = [&] {
    XClearWindow(d, w);
    XSetForeground(d, gc, black);
    for (const auto& item : menu) {
      XDrawString(d, w, gc, item.x + 6, 4 + font->ascent, item.label.data(), static_cast<int>(item.label.size()));
    }
    XDrawLine(d, w, gc, 0, menuHeight, static_cast<int>(width), menuHeight);
    XWindowAttributes attrs{};
    const int clientWidth = XGetWindowAttributes(d, w, &attrs) != 0 ? attrs.width : static_cast<int>(width);
    // Centred horizontally, from the top edge of the client area.
    XDrawString(d, w, gc, std::max(0, (clientWidth - lineWidth) / 2), menuHeight + 4 + font->ascent, line.data(),
                static_cast<int>(line.size()));
    XFlush(d);
  };

  bool destroying = false;
  const auto command = [&](long id) {
    if (id == kCmdAbout) {
      RunBox(displayName_, texts.aboutTitle, texts.aboutText, {{"OK", kIdOk}}, kIdCancel, w);
    } else if (id == kCmdExit && !destroying) {
      destroying = true;
      XDestroyWindow(d, w);
      XFlush(d);
    }
  };

  XEvent ev;
  bool destroyed = false;
  while (!destroyed && conn.NextEvent(ev)) {
    if (ev.xany.window != w) continue;
    switch (ev.type) {
      case Expose:
        if (ev.xexpose.count == 0 && !destroying) paint();
        break;
      case ButtonRelease:
        if (ev.xbutton.button == Button1 && ev.xbutton.y < menuHeight) {
          for (const auto& item : menu) {
            if (ev.xbutton.x >= item.x && ev.xbutton.x < item.x + item.w) command(item.command);
          }
        }
        break;
      case KeyPress: {
        // Accelerators: F1 for About; Escape or Ctrl+Q for Exit.
        const KeySym key = XLookupKeysym(&ev.xkey, 0);
        if (key == XK_F1)
          command(kCmdAbout);
        else if (key == XK_Escape || (key == XK_q && (ev.xkey.state & ControlMask)))
          command(kCmdExit);
        break;
      }
      case ClientMessage:
        if (IsDeleteWindow(d, ev.xclient))
          command(kCmdExit);
        else if (ev.xclient.message_type == commandAtom && ev.xclient.format == 32)
          command(ev.xclient.data.l[0]);
        break;
      case DestroyNotify: destroyed = true; break;
      default: break;
    }
  }
  XFreeGC(d, gc);
  XFreeFont(d, font);
  return true;
}

}  // namespace kqco::linux_platform
