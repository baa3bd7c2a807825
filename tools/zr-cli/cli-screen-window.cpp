// cli-screen-window.cpp -- the window that mirrors the handheld's screen, drawn with SDL2
// (X11, Wayland and the other desktops SDL serves).
//
// The picture is drawn at the screen's own size into a renderer whose logical size is the
// screen's: SDL scales it to the window with nearest-neighbour sampling (no blur) and keeps
// the aspect with bars.  The line over a greyed picture is written with a small built-in
// font of 5 x 7 cells, so the window needs no font files.
#include "cli-screen.h"

#include <SDL.h>

#include <cctype>
#include <string>
#include <vector>

namespace zrcli {

namespace {

// Rows of 5 bits (left: 16) of the characters the window writes; lower case is written as
// upper case, other characters as spaces.
struct Glyph {
  char c;
  uint8_t rows[7];
};
const Glyph kGlyphs[] = {
    {'A', {14, 17, 17, 31, 17, 17, 17}}, {'B', {30, 17, 17, 30, 17, 17, 30}}, {'C', {14, 17, 16, 16, 16, 17, 14}},
    {'D', {30, 17, 17, 17, 17, 17, 30}}, {'E', {31, 16, 16, 30, 16, 16, 31}}, {'F', {31, 16, 16, 30, 16, 16, 16}},
    {'G', {14, 17, 16, 23, 17, 17, 15}}, {'H', {17, 17, 17, 31, 17, 17, 17}}, {'I', {14, 4, 4, 4, 4, 4, 14}},
    {'J', {7, 2, 2, 2, 2, 18, 12}},      {'K', {17, 18, 20, 24, 20, 18, 17}}, {'L', {16, 16, 16, 16, 16, 16, 31}},
    {'M', {17, 27, 21, 21, 17, 17, 17}}, {'N', {17, 17, 25, 21, 19, 17, 17}}, {'O', {14, 17, 17, 17, 17, 17, 14}},
    {'P', {30, 17, 17, 30, 16, 16, 16}}, {'Q', {14, 17, 17, 17, 21, 18, 13}}, {'R', {30, 17, 17, 30, 20, 18, 17}},
    {'S', {15, 16, 16, 14, 1, 1, 30}},   {'T', {31, 4, 4, 4, 4, 4, 4}},       {'U', {17, 17, 17, 17, 17, 17, 14}},
    {'V', {17, 17, 17, 17, 17, 10, 4}},  {'W', {17, 17, 17, 21, 21, 21, 10}}, {'X', {17, 17, 10, 4, 10, 17, 17}},
    {'Y', {17, 17, 17, 10, 4, 4, 4}},    {'Z', {31, 1, 2, 4, 8, 16, 31}},     {'0', {14, 17, 19, 21, 25, 17, 14}},
    {'1', {4, 12, 4, 4, 4, 4, 14}},      {'2', {14, 17, 1, 2, 4, 8, 31}},     {'3', {31, 2, 4, 2, 1, 17, 14}},
    {'4', {2, 6, 10, 18, 31, 2, 2}},     {'5', {31, 16, 30, 1, 1, 17, 14}},   {'6', {6, 8, 16, 30, 17, 17, 14}},
    {'7', {31, 1, 2, 4, 8, 8, 8}},       {'8', {14, 17, 17, 14, 17, 17, 14}}, {'9', {14, 17, 17, 15, 1, 2, 12}},
    {'.', {0, 0, 0, 0, 0, 12, 12}},      {':', {0, 12, 12, 0, 12, 12, 0}},    {'-', {0, 0, 0, 31, 0, 0, 0}},
    {',', {0, 0, 0, 0, 12, 4, 8}},       {'(', {2, 4, 8, 8, 8, 4, 2}},        {')', {8, 4, 2, 2, 2, 4, 8}},
    {'\'', {12, 4, 8, 0, 0, 0, 0}},      {'/', {1, 1, 2, 4, 8, 16, 16}},
};

const uint8_t *glyph(char c) {
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const Glyph &g : kGlyphs)
    if (g.c == c) return g.rows;
  return nullptr;
}

// Greys the picture and writes the line in white on a black band across its middle, in
// cells of 6 x 9 pixels (as many characters as fit).
void grey_with_line(std::vector<uint8_t> &rgb, unsigned width, unsigned height, const std::string &line) {
  for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
    uint8_t v = static_cast<uint8_t>((rgb[i] * 77 + rgb[i + 1] * 150 + rgb[i + 2] * 29) >> 9);  // grey, half as bright
    rgb[i] = rgb[i + 1] = rgb[i + 2] = v;
  }
  if (height < 11) return;
  unsigned top = height / 2 - 5;
  for (unsigned y = top; y < top + 11; ++y)
    for (unsigned x = 0; x < width; ++x)
      for (int k = 0; k < 3; ++k) rgb[(static_cast<size_t>(y) * width + x) * 3 + k] = 0;
  size_t fit = width / 6;
  std::string text = line.size() > fit ? line.substr(0, fit) : line;
  unsigned left = static_cast<unsigned>((width - text.size() * 6) / 2);
  for (size_t i = 0; i < text.size(); ++i) {
    const uint8_t *rows = glyph(text[i]);
    if (!rows) continue;
    for (unsigned gy = 0; gy < 7; ++gy)
      for (unsigned gx = 0; gx < 5; ++gx)
        if ((rows[gy] >> (4 - gx)) & 1) {
          size_t at = (static_cast<size_t>(top + 2 + gy) * width + left + i * 6 + gx) * 3;
          rgb[at] = rgb[at + 1] = rgb[at + 2] = 255;
        }
  }
}

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
                               static_cast<int>(width * scale), static_cast<int>(height * scale), SDL_WINDOW_RESIZABLE);
    if (!window_) return fail(why);
    SDL_SetWindowMinimumSize(window_, static_cast<int>(width), static_cast<int>(height));
    renderer_ = SDL_CreateRenderer(window_, -1, 0);
    if (!renderer_) return fail(why);
    SDL_RenderSetLogicalSize(renderer_, static_cast<int>(width), static_cast<int>(height));
    texture_ = SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_RGB24, SDL_TEXTUREACCESS_STREAMING, static_cast<int>(width),
                                 static_cast<int>(height));
    if (!texture_) return fail(why);
    shown_.assign(static_cast<size_t>(width) * height * 3, 0);
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
