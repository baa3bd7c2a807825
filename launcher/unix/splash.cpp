// splash.cpp -- the splash screen: a borderless window with the product picture, on a thread
// (and X connection) of its own, until the application's main window has been up for a while
// or the display time runs out.
//
// Two timers drive it, as deadlines of its event loop: the closing timer (display time, re-armed
// with the linger time once the main window is seen) and the 250 ms poll for the main window.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "launcher.h"
#include "resources.h"
#include "x11_windows.h"

namespace lumara {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPollPeriodMs = 250;
constexpr const char kSplashResourceType[] = "SPLASH";
constexpr const char kSplashWindowClass[] = "SplashScreenWndClass";

int MaskShift(unsigned long mask) {
  int shift = 0;
  while (mask != 0 && (mask & 1UL) == 0) {
    mask >>= 1;
    ++shift;
  }
  return shift;
}
int MaskBits(unsigned long mask) {
  int bits = 0;
  for (; mask != 0; mask >>= 1) bits += static_cast<int>(mask & 1UL);
  return bits;
}
unsigned long Channel(unsigned value, unsigned long mask) {
  const int bits = MaskBits(mask);
  const unsigned scaled = bits >= 8 ? value << (bits - 8) : value >> (8 - bits);
  return (static_cast<unsigned long>(scaled) << MaskShift(mask)) & mask;
}

// The picture as an image of the screen's visual.  A true-colour window has no alpha of its own,
// so partly transparent pixels are laid over black, the colour of the picture's surroundings.
XImage* MakeXImage(Display* display, const RgbaImage& picture) {
  const int screen = DefaultScreen(display);
  Visual* visual = DefaultVisual(display, screen);
  if (visual->c_class != TrueColor && visual->c_class != DirectColor) return nullptr;
  XImage* image =
      XCreateImage(display, visual, static_cast<unsigned>(DefaultDepth(display, screen)), ZPixmap, 0, nullptr,
                   static_cast<unsigned>(picture.width), static_cast<unsigned>(picture.height), 32, 0);
  if (image == nullptr) return nullptr;
  image->data = static_cast<char*>(std::calloc(static_cast<std::size_t>(image->bytes_per_line), picture.height));
  if (image->data == nullptr) {
    XDestroyImage(image);
    return nullptr;
  }
  const std::uint8_t* p = picture.pixels.data();
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x, p += 4) {
      const unsigned a = p[3];
      const unsigned r = p[0] * a / 255, g = p[1] * a / 255, b = p[2] * a / 255;
      XPutPixel(image, x, y,
                Channel(r, visual->red_mask) | Channel(g, visual->green_mask) | Channel(b, visual->blue_mask));
    }
  }
  return image;
}

void SetAtomProperty(Display* display, Window window, const char* property, const std::vector<const char*>& names) {
  std::vector<Atom> atoms;
  for (const char* n : names) atoms.push_back(XInternAtom(display, n, False));
  XChangeProperty(display, window, XInternAtom(display, property, False), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(atoms.data()), static_cast<int>(atoms.size()));
}

// How the window manager is to treat the splash: no frame, fixed size and place, not on the
// task bar (the tool window of other desktops), above the rest only when asked.
void DescribeSplashWindow(Display* display, Window window, const SplashParams& params, int x, int y, int width,
                          int height) {
  XSizeHints* size = XAllocSizeHints();
  if (size != nullptr) {
    size->flags = USPosition | PPosition | PMinSize | PMaxSize;
    size->x = x;
    size->y = y;
    size->min_width = size->max_width = width;
    size->min_height = size->max_height = height;
    XSetWMNormalHints(display, window, size);
    XFree(size);
  }
  XClassHint* hint = XAllocClassHint();
  if (hint != nullptr) {
    hint->res_name = const_cast<char*>("KQ-LumaraLink");
    hint->res_class = const_cast<char*>(kSplashWindowClass);
    XSetClassHint(display, window, hint);
    XFree(hint);
  }
  XStoreName(display, window, "");
  struct {
    unsigned long flags, functions, decorations;
    long input_mode;
    unsigned long status;
  } motif{2 /* decorations given */, 0, 0 /* none */, 0, 0};
  const Atom motif_hints = XInternAtom(display, "_MOTIF_WM_HINTS", False);
  XChangeProperty(display, window, motif_hints, motif_hints, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&motif), 5);
  SetAtomProperty(display, window, "_NET_WM_WINDOW_TYPE", {"_NET_WM_WINDOW_TYPE_SPLASH"});
  std::vector<const char*> state{"_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"};
  if (params.top_most != 0) state.push_back("_NET_WM_STATE_ABOVE");
  SetAtomProperty(display, window, "_NET_WM_STATE", state);
  if (params.parent != 0) XSetTransientForHint(display, window, params.parent);
}

int MsUntil(Clock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

void SplashThread(std::unique_ptr<SplashParams> params) {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
  RgbaImage picture;
  if (!FindResource(params->resource_name, kSplashResourceType, &data, &size) || !DecodePng(data, size, &picture)) {
    return;  // nothing to show; nothing reported
  }
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return;
  const int screen = DefaultScreen(display);
  const int width = picture.width, height = picture.height;
  int x, y;
  if (params->centre != 0) {
    x = (DisplayWidth(display, screen) - width) / 2;
    y = (DisplayHeight(display, screen) - height) / 2;
  } else {
    x = params->x - width / 2;
    y = params->y - height / 2;
  }
  XImage* image = MakeXImage(display, picture);
  if (image == nullptr) {
    XCloseDisplay(display);
    return;
  }

  XSetWindowAttributes attributes{};
  attributes.background_pixmap = None;  // never erased: every paint draws the whole picture
  attributes.border_pixel = 0;
  attributes.event_mask = ExposureMask | StructureNotifyMask;
  const Window window = XCreateWindow(display, RootWindow(display, screen), x, y, static_cast<unsigned>(width),
                                      static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                                      CWBackPixmap | CWBorderPixel | CWEventMask, &attributes);
  DescribeSplashWindow(display, window, *params, x, y, width, height);
  const GC gc = XCreateGC(display, window, 0, nullptr);
  XMapWindow(display, window);
  XFlush(display);

  auto close_at = Clock::now() + std::chrono::milliseconds(params->display_time);
  bool polling = true;
  auto poll_at = Clock::now() + std::chrono::milliseconds(kPollPeriodMs);
  const int fd = ConnectionNumber(display);
  for (;;) {
    while (XPending(display) > 0) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == Expose) {
        XPutImage(display, window, gc, image, event.xexpose.x, event.xexpose.y, event.xexpose.x, event.xexpose.y,
                  static_cast<unsigned>(event.xexpose.width), static_cast<unsigned>(event.xexpose.height));
      }
    }
    const auto now = Clock::now();
    if (now >= close_at) break;
    if (polling && now >= poll_at) {
      if (FindMainWindowByClass(display) != 0) {
        // The application is up: the splash comes to the front for its last moments.
        ActivateWindow(display, window);
        polling = false;
        close_at = Clock::now() + std::chrono::milliseconds(SplashLingerMs());
      } else {
        poll_at = now + std::chrono::milliseconds(kPollPeriodMs);
      }
      continue;
    }
    XFlush(display);
    pollfd p{fd, POLLIN, 0};
    const int wait = polling ? std::min(MsUntil(close_at), MsUntil(poll_at)) : MsUntil(close_at);
    ::poll(&p, 1, wait);
  }
  XFreeGC(display, gc);
  XDestroyWindow(display, window);
  XDestroyImage(image);
  XCloseDisplay(display);
}

}  // namespace

void StartSplashScreen(const SplashParams* params) {
  if (params == nullptr) return;
  auto copy = std::make_unique<SplashParams>(*params);
  std::thread thread;
  try {
    thread = std::thread(SplashThread, std::move(copy));
  } catch (const std::exception&) {
    return;  // no thread, no splash; the launcher carries on
  }
  if (params->wait != 0) {
    thread.join();
  } else {
    thread.detach();
  }
}

}  // namespace lumara
