// error_box.cpp -- the launcher's error box: a top-most X window captioned "Error" with the text
// and an OK button, shown until it is dismissed.  The text also goes to standard error, which is
// all there is without a display.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "launcher.h"

namespace lumara {

namespace {

constexpr int kMargin = 16;
constexpr int kButtonWidth = 80;
constexpr int kButtonHeight = 26;
constexpr std::size_t kWrapColumns = 56;

std::vector<std::string> WrapText(const std::string& text) {
  std::vector<std::string> lines;
  std::string line, word;
  auto flush_word = [&] {
    if (word.empty()) return;
    if (!line.empty() && line.size() + 1 + word.size() > kWrapColumns) {
      lines.push_back(line);
      line.clear();
    }
    if (!line.empty()) line += ' ';
    line += word;
    word.clear();
  };
  for (char c : text) {
    if (c == '\n') {
      flush_word();
      lines.push_back(line);
      line.clear();
    } else if (c == ' ' || c == '\t') {
      flush_word();
    } else {
      word += c;
    }
  }
  flush_word();
  if (!line.empty() || lines.empty()) lines.push_back(line);
  return lines;
}

void SetAtom(Display* display, Window window, const char* property, const char* value) {
  const Atom atom = XInternAtom(display, value, False);
  XChangeProperty(display, window, XInternAtom(display, property, False), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&atom), 1);
}

void ShowBox(Display* display, const char* caption, const std::string& text) {
  const int screen = DefaultScreen(display);
  XFontStruct* font = XLoadQueryFont(display, "fixed");
  const int char_width = font != nullptr ? font->max_bounds.width : 6;
  const int line_height = font != nullptr ? font->ascent + font->descent + 2 : 15;
  const int ascent = font != nullptr ? font->ascent : 11;

  const auto lines = WrapText(text);
  int text_width = 0;
  for (const auto& l : lines) {
    const int w = font != nullptr ? XTextWidth(font, l.c_str(), static_cast<int>(l.size()))
                                  : static_cast<int>(l.size()) * char_width;
    text_width = std::max(text_width, w);
  }
  const int width = std::max(text_width, kButtonWidth) + 2 * kMargin;
  const int text_height = static_cast<int>(lines.size()) * line_height;
  const int height = kMargin + text_height + kMargin + kButtonHeight + kMargin;
  const int x = (DisplayWidth(display, screen) - width) / 2;
  const int y = (DisplayHeight(display, screen) - height) / 2;
  const int button_x = (width - kButtonWidth) / 2;
  const int button_y = height - kMargin - kButtonHeight;

  const unsigned long white = WhitePixel(display, screen), black = BlackPixel(display, screen);
  XSetWindowAttributes attributes{};
  attributes.background_pixel = white;
  attributes.event_mask = ExposureMask | KeyPressMask | ButtonPressMask | ButtonReleaseMask | StructureNotifyMask;
  const Window window = XCreateWindow(display, RootWindow(display, screen), x, y, static_cast<unsigned>(width),
                                      static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                      CWBackPixel | CWEventMask, &attributes);
  XStoreName(display, window, caption);
  const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
  XChangeProperty(display, window, XInternAtom(display, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(caption), static_cast<int>(std::string(caption).size()));
  XClassHint* hint = XAllocClassHint();
  if (hint != nullptr) {
    hint->res_name = const_cast<char*>("KQ-LumaraLink");
    hint->res_class = const_cast<char*>("KQ-LumaraLink");
    XSetClassHint(display, window, hint);
    XFree(hint);
  }
  XSizeHints* size = XAllocSizeHints();
  if (size != nullptr) {
    size->flags = PPosition | PMinSize | PMaxSize;
    size->x = x;
    size->y = y;
    size->min_width = size->max_width = width;
    size->min_height = size->max_height = height;
    XSetWMNormalHints(display, window, size);
    XFree(size);
  }
  XWMHints* wm = XAllocWMHints();
  if (wm != nullptr) {
    wm->flags = InputHint | StateHint;
    wm->input = True;
    wm->initial_state = NormalState;
    XSetWMHints(display, window, wm);
    XFree(wm);
  }
  SetAtom(display, window, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DIALOG");
  SetAtom(display, window, "_NET_WM_STATE", "_NET_WM_STATE_ABOVE");  // top-most, no owner
  Atom delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(display, window, &delete_window, 1);

  const GC gc = XCreateGC(display, window, 0, nullptr);
  if (font != nullptr) XSetFont(display, gc, font->fid);
  XMapRaised(display, window);

  bool pressed_in_button = false;
  for (bool done = false; !done;) {
    XEvent event;
    XNextEvent(display, &event);
    switch (event.type) {
      case Expose:
        if (event.xexpose.count != 0) break;
        XSetForeground(display, gc, black);
        for (std::size_t i = 0; i < lines.size(); ++i) {
          XDrawString(display, window, gc, kMargin, kMargin + ascent + static_cast<int>(i) * line_height,
                      lines[i].c_str(), static_cast<int>(lines[i].size()));
        }
        XDrawRectangle(display, window, gc, button_x, button_y, kButtonWidth, kButtonHeight);
        XDrawString(display, window, gc, button_x + (kButtonWidth - 2 * char_width) / 2,
                    button_y + (kButtonHeight + ascent) / 2 - 1, "OK", 2);
        break;
      case ButtonPress:
      case ButtonRelease: {
        const bool inside = event.xbutton.x >= button_x && event.xbutton.x < button_x + kButtonWidth &&
                            event.xbutton.y >= button_y && event.xbutton.y < button_y + kButtonHeight;
        if (event.type == ButtonPress) {
          pressed_in_button = inside;
        } else if (pressed_in_button && inside) {
          done = true;
        }
        break;
      }
      case KeyPress: {
        const KeySym key = XLookupKeysym(&event.xkey, 0);
        if (key == XK_Return || key == XK_KP_Enter || key == XK_space || key == XK_Escape) done = true;
        break;
      }
      case ClientMessage:
        if (static_cast<Atom>(event.xclient.data.l[0]) == delete_window) done = true;
        break;
      case DestroyNotify: return;  // destroyed from outside: nothing left to wait for
      default: break;
    }
  }
  XFreeGC(display, gc);
  if (font != nullptr) XFreeFont(display, font);
  XDestroyWindow(display, window);
  XSync(display, False);
}

}  // namespace

void ShowLaunchError(const char* text) {
  if (text == nullptr) return;
  std::fprintf(stderr, "%s\n", text);
  std::fflush(stderr);
  const char* caption = LoadLauncherString(kStrErrorCaption);
  if (caption == nullptr) caption = "Error";
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return;
  ShowBox(display, caption, text);
  XCloseDisplay(display);
}

}  // namespace lumara
