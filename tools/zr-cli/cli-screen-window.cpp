// cli-screen-window.cpp -- the window that mirrors the handheld's screen, drawn with SDL2
// (X11, Wayland and the other desktops SDL serves).
//
// The picture is drawn at the screen's own size into a renderer whose logical size is the
// screen's: SDL scales it to the window with nearest-neighbour sampling (no blur) and keeps
// the aspect with bars.  The line over a greyed picture is written with the small built-in
// font of cli-screen-text.cpp, so the window needs no font files.
#include "cli-screen.h"

#include <SDL.h>

#include <string>
#include <vector>

namespace zrcli {

namespace {

class SdlWindow : public ScreenWindow {
 public:
  ~SdlWindow() override {
    if (texture_) SDL_DestroyTexture(texture_);
    if (renderer_) SDL_DestroyRenderer(renderer_);
    if (window_) SDL_DestroyWindow(window_);
    // SDL's video stays started until the process ends (the command ends with its window):
    // its end unloads the display libraries it loaded, whose memory LeakSanitizer would then
    // count as leaked, and the D-Bus connection it opened is never freed anyway.
  }

  bool start(const std::string &title, unsigned width, unsigned height, unsigned scale, std::string *why) {
    width_ = width;
    height_ = height;
    // zrlink's own Ctrl-C handling stays in place.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "nearest");
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) return fail(why);
    window_ = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_UNDEFINED, SDL_WINDOWPOS_UNDEFINED,
                               static_cast<int>(width * scale), static_cast<int>(height * scale),
                               SDL_WINDOW_RESIZABLE | SDL_WINDOW_HIDDEN);
    if (!window_) return fail(why);
    SDL_SetWindowMinimumSize(window_, static_cast<int>(width), static_cast<int>(height));
    renderer_ = SDL_CreateRenderer(window_, -1, 0);
    if (!renderer_) return fail(why);
    SDL_RenderSetLogicalSize(renderer_, static_cast<int>(width), static_cast<int>(height));
    texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_RGB24, SDL_TEXTUREACCESS_STREAMING, static_cast<int>(width),
                                 static_cast<int>(height));
    if (!texture_) return fail(why);
    shown_.assign(static_cast<size_t>(width) * height * 3, 0);
    // Shown only now: a renderer that needs another kind of window makes SDL destroy the
    // first one and create it again, which the desktop would see as a window that opens,
    // closes and opens.
    SDL_ShowWindow(window_);
    draw();
    return true;
  }

  void set_title(const std::string &title) override { SDL_SetWindowTitle(window_, title.c_str()); }

  void show(const std::vector<uint8_t> &rgb, const std::string &line) override {
    shown_ = rgb;
    if (!line.empty()) grey_with_line(shown_, width_, height_, line);
    draw();
  }

  Event next_event(int ms) override {
    SDL_Event e;
    if (!SDL_WaitEventTimeout(&e, ms)) return Event::kNone;
    do {
      if (e.type == SDL_QUIT) return Event::kClose;
      if (e.type == SDL_WINDOWEVENT &&
          (e.window.event == SDL_WINDOWEVENT_EXPOSED || e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED))
        draw();
      if (e.type == SDL_KEYDOWN && !e.key.repeat) {
        SDL_Keycode k = e.key.keysym.sym;
        if (k == SDLK_q || k == SDLK_ESCAPE) return Event::kClose;
        if (k == SDLK_s) return Event::kSave;
      }
    } while (SDL_PollEvent(&e));
    return Event::kNone;
  }

 private:
  bool fail(std::string *why) {
    if (why) *why = SDL_GetError();
    return false;
  }

  void draw() {
    SDL_UpdateTexture(texture_, nullptr, shown_.data(), static_cast<int>(width_ * 3));
    SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    SDL_RenderClear(renderer_);
    SDL_RenderCopy(renderer_, texture_, nullptr, nullptr);
    SDL_RenderPresent(renderer_);
  }

  unsigned width_ = 0, height_ = 0;
  SDL_Window *window_ = nullptr;
  SDL_Renderer *renderer_ = nullptr;
  SDL_Texture *texture_ = nullptr;
  std::vector<uint8_t> shown_;
};

}  // namespace

extern "C" ScreenWindow *zrlink_screen_window(const std::string &title, unsigned width, unsigned height, unsigned scale,
                                              std::string *why) {
  auto window = std::make_unique<SdlWindow>();
  if (!window->start(title, width, height, scale, why)) return nullptr;
  return window.release();
}

}  // namespace zrcli
