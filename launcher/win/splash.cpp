// splash.cpp -- the splash screen: the program's PNG resource decoded by GDI+ and shown in a
// borderless window on a thread of its own, until the application's main window has been up
// for SplashLingerMs() or the display time runs out.
#include <objbase.h>
#include <ole2.h>
// GDI+'s headers use min and max unqualified.
#include <algorithm>
namespace Gdiplus {
using std::max;
using std::min;
}  // namespace Gdiplus
#include <gdiplus.h>

#include <cstring>

#include "launcher.h"

namespace lumara {

namespace {

using Gdiplus::GpBitmap;
using Gdiplus::GpGraphics;
using Gdiplus::GpImage;
namespace gdip = Gdiplus::DllExports;

constexpr UINT_PTR kCloseTimer = 1;  // display time, later the linger time: closes the splash
constexpr UINT_PTR kPollTimer = 2;   // looks for the application's main window
constexpr UINT kPollPeriodMs = 250;

// Owns a GDI+ bitmap.
class BitmapHolder {
 public:
  BitmapHolder() = default;
  BitmapHolder(const BitmapHolder&) = delete;
  BitmapHolder& operator=(const BitmapHolder&) = delete;
  virtual ~BitmapHolder() { ReleaseBitmap(); }

  GpBitmap* bitmap() const { return bitmap_; }
  UINT Width() const {
    UINT width = 0;
    if (bitmap_ == nullptr || gdip::GdipGetImageWidth(bitmap_, &width) != Gdiplus::Ok) return 0;
    return width;
  }
  UINT Height() const {
    UINT height = 0;
    if (bitmap_ == nullptr || gdip::GdipGetImageHeight(bitmap_, &height) != Gdiplus::Ok) return 0;
    return height;
  }

 protected:
  void ReleaseBitmap() {
    if (bitmap_ != nullptr) gdip::GdipDisposeImage(bitmap_);
    bitmap_ = nullptr;
  }
  GpBitmap* bitmap_ = nullptr;
};

// A bitmap decoded from a resource, with the movable memory block that holds the copy of the
// resource's bytes behind the bitmap's stream; the block stays allocated and locked as long as
// the bitmap lives.
class ResourceBitmap : public BitmapHolder {
 public:
  ~ResourceBitmap() override { Release(); }

  bool LoadFromResource(const char* name, const char* type, HMODULE module) {
    Release();
    HRSRC found = FindResourceA(module, name, type);
    if (found == nullptr) return false;
    const DWORD size = SizeofResource(module, found);
    HGLOBAL loaded = size != 0 ? LoadResource(module, found) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) return false;

    memory_ = GlobalAlloc(GMEM_MOVEABLE, size);
    if (memory_ == nullptr) return false;
    void* copy = GlobalLock(memory_);
    if (copy == nullptr) {
      FreeMemory(false);
      return false;
    }
    std::memcpy(copy, bytes, size);

    IStream* stream = nullptr;
    if (CreateStreamOnHGlobal(memory_, FALSE, &stream) != S_OK || stream == nullptr) {
      FreeMemory(true);
      return false;
    }
    const Gdiplus::Status status = gdip::GdipCreateBitmapFromStream(stream, &bitmap_);
    stream->Release();
    if (bitmap_ != nullptr && status == Gdiplus::Ok) return true;
    Release();
    return false;
  }

 private:
  void Release() {
    ReleaseBitmap();
    if (memory_ != nullptr) FreeMemory(true);
  }
  void FreeMemory(bool locked) {
    if (locked) GlobalUnlock(memory_);
    GlobalFree(memory_);
    memory_ = nullptr;
  }

  HGLOBAL memory_ = nullptr;
};

void PaintSplash(HWND window) {
  auto* picture = reinterpret_cast<ResourceBitmap*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  PAINTSTRUCT paint{};
  HDC dc = BeginPaint(window, &paint);
  if (dc != nullptr && picture != nullptr && picture->bitmap() != nullptr) {
    GpGraphics* graphics = nullptr;
    if (gdip::GdipCreateFromHDC(dc, &graphics) == Gdiplus::Ok) {
      const INT height = static_cast<INT>(picture->Height());
      const INT width = static_cast<INT>(picture->Width());
      gdip::GdipDrawImageRectI(graphics, picture->bitmap(), 0, 0, width, height);
      // Released while the paint's device context is still valid.
      gdip::GdipDeleteGraphics(graphics);
    }
  }
  EndPaint(window, &paint);
}

LRESULT CALLBACK SplashWndProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case WM_PAINT: PaintSplash(window); return 0;
    case WM_ERASEBKGND: return 1;  // the picture covers the window: nothing is erased
    case WM_TIMER:
      if (wparam == kCloseTimer) {
        KillTimer(window, kCloseTimer);
        PostMessageA(window, WM_CLOSE, 0, 0);
      } else if (wparam == kPollTimer) {
        if (FindWindowA(kMainWindowClass, nullptr) != nullptr) {
          // The application is up: the splash comes to the front and stays a little longer.
          SetForegroundWindow(window);
          KillTimer(window, kPollTimer);
          SetTimer(window, kCloseTimer, static_cast<UINT>(SplashLingerMs()), nullptr);
        }
      }
      return 0;
    default: return DefWindowProcA(window, message, wparam, lparam);
  }
}

bool RegisterSplashClass(HINSTANCE module) {
  WNDCLASSEXA existing{};
  existing.cbSize = sizeof existing;
  if (GetClassInfoExA(module, kSplashWindowClass, &existing)) return true;
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof wc;
  wc.style = 0;
  wc.lpfnWndProc = SplashWndProc;
  wc.cbClsExtra = 0;
  wc.cbWndExtra = 0;
  wc.hInstance = module;
  wc.hIcon = nullptr;
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = nullptr;
  wc.lpszMenuName = nullptr;
  wc.lpszClassName = kSplashWindowClass;
  wc.hIconSm = nullptr;
  return RegisterClassExA(&wc) != 0;
}

void RunSplash(const SplashParams& params) {
  ResourceBitmap picture;
  // The picture always comes from the program's own module.
  if (!picture.LoadFromResource(params.resource_name, kSplashResourceType, GetModuleHandleA(nullptr))) return;
  if (!RegisterSplashClass(params.module)) return;

  const int width = static_cast<int>(picture.Width());
  const int height = static_cast<int>(picture.Height());
  int x, y;
  if (params.centre) {
    x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  } else {
    x = params.x - width / 2;
    y = params.y - height / 2;
  }
  const DWORD ex_style = WS_EX_TOOLWINDOW | (params.top_most ? WS_EX_TOPMOST : 0);
  HWND window = CreateWindowExA(ex_style, kSplashWindowClass, "", WS_POPUP, x, y, width, height, params.parent, nullptr,
                                params.module, nullptr);
  if (window == nullptr) return;
  // A pointer needs the pointer-sized slot on 64-bit Windows.
  SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&picture));

  if (SetTimer(window, kCloseTimer, params.display_time, nullptr) != 0) {
    ShowWindow(window, SW_SHOW);
  } else {
    PostMessageA(window, WM_CLOSE, 0, 0);
  }
  SetTimer(window, kPollTimer, kPollPeriodMs, nullptr);

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  // The window is gone before `picture` is (it is destroyed before WM_QUIT arrives).
}

DWORD WINAPI SplashThread(LPVOID block) {
  Gdiplus::GdiplusStartupInput input;
  input.GdiplusVersion = 1;
  input.DebugEventCallback = nullptr;
  input.SuppressBackgroundThread = FALSE;
  input.SuppressExternalCodecs = FALSE;
  ULONG_PTR token = 0;
  const bool started = Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok;
  if (started) RunSplash(*static_cast<const SplashParams*>(block));  // every GDI+ object released inside
  GlobalFree(block);
  if (started) Gdiplus::GdiplusShutdown(token);
  return 0;
}

}  // namespace

void StartSplashScreen(const SplashParams* params) {
  // GMEM_FIXED: the handle is the block's address.
  HGLOBAL block = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, sizeof(SplashParams));
  if (block == nullptr) return;
  std::memcpy(block, params, sizeof(SplashParams));
  HANDLE thread = CreateThread(nullptr, 0, SplashThread, block, 0, nullptr);
  if (thread == nullptr) {
    GlobalFree(block);
    return;
  }
  if (params->wait) WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

}  // namespace lumara
