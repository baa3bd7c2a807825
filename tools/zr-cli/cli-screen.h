// cli-screen.h -- the handheld's screen in zrlink: reading images, PNG pictures, the live
// window and recordings.
//
// A screen image is height x width pixels, row by row from the top, no row padding, in the
// handheld's pixel format for its depth: 16 bits RGB565 little-endian, 24 bits B,G,R bytes,
// 32 bits B,G,R,X bytes, 8 bits grey.  Each image is one screen request.
#ifndef ZRLINK_SCREEN_H
#define ZRLINK_SCREEN_H

#include "zr-net.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zrcli {

struct ScreenImage {
  unsigned width = 0, height = 0, bpp = 0;
  std::vector<uint8_t> pixels;  // as the handheld sends them
};

// ---- images and pictures (cli-screen.cpp) ------------------------------------------------
// The screen's geometry from the handheld's info record: 0 with width, height and bpp set
// (pixels sized to hold an image), a negative result code, or kFailed when the geometry
// has no picture format (the message printed, prefixed by `what`).
int screen_geometry(const zr_info &info, ScreenImage *image, const char *what);
// One image, in one screen request: 0, or a negative result code; ZR_E_SHORT when the
// handheld sent fewer bytes than the image holds (*got, may be null, says how many).
int read_screen(uint32_t addr, ScreenImage *image, size_t *got = nullptr);
// The image as 8-bit R,G,B bytes, row by row.
std::vector<uint8_t> screen_rgb(const ScreenImage &image);
// Writes the image as a PNG picture beside `path` first and puts it in place only when it
// is whole; false (nothing left behind) when that failed.
bool write_png(const std::string &path, const ScreenImage &image);
// "screenshot-20261208-094512.png" in local time; with `unused`, "-2", "-3" ... are added
// until the name names nothing in the current folder.
std::string dated_name(bool unused = false);

// ---- text in pictures (cli-screen-text.cpp, in zrlink and in the module) ----------------
// Writes `text` in white into a picture of R,G,B bytes, width x height, its first character's
// top left corner at x, y, in cells of 6 x 9 pixels of a built-in 5 x 7 font (upper case,
// digits and . : - , ( ) ' /; other characters as spaces); characters past the right edge are
// left out, and nothing is written when the line does not fit below y.
void write_text(std::vector<uint8_t> &rgb, unsigned width, unsigned height, unsigned x, unsigned y,
                const std::string &text);
// Greys the picture (half as bright) and writes the line in white on a black band across
// its middle (as many characters as fit).
void grey_with_line(std::vector<uint8_t> &rgb, unsigned width, unsigned height, const std::string &line);

// ---- the screen module ------------------------------------------------------------------
// The window and the recorder live in a module of their own, zrlink-screen.so (installed in
// LIBDIR/zrlink), loaded by the screen command alone: SDL2 and FFmpeg bring some 150
// libraries with them, which every other command would load for nothing at each start.
// The module exports the entry points below by these unmangled names (cli-screen-window.cpp,
// cli-record.cpp); ScreenWindow::open and the Recorder's static functions load it on first
// use (cli-screen-module.cpp) and fail with the reason when it cannot be loaded.
class ScreenWindow;
class Recorder;
extern "C" {
ScreenWindow *zrlink_screen_window(const std::string &title, unsigned width, unsigned height, unsigned scale,
                                   std::string *why);
Recorder *zrlink_screen_recorder(const std::string &path, unsigned width, unsigned height, unsigned scale,
                                 std::string *why);
bool zrlink_screen_known_format(const std::string &path);
}
// Whether the module loads; false with the reason in *why (may be null).
bool screen_module_loads(std::string *why);

// ---- the window (cli-screen-window.cpp, SDL2) --------------------------------------------
// A window of the screen's size times `scale`; resizing scales the picture without
// blurring and keeps its aspect.  Only the thread that opened it uses it.
class ScreenWindow {
 public:
  enum class Event { kNone, kSave, kClose };
  virtual ~ScreenWindow() = default;
  // Null with the reason in *why when no window can be opened (no display, say).
  static std::unique_ptr<ScreenWindow> open(const std::string &title, unsigned width, unsigned height, unsigned scale,
                                            std::string *why);
  virtual void set_title(const std::string &title) = 0;
  // Shows an image of the window's size (R,G,B bytes); greyed with `line` written across
  // it when line is not empty.
  virtual void show(const std::vector<uint8_t> &rgb, const std::string &line) = 0;
  // Waits at most `ms` for the next event: `s` saves, `q`, Escape or the window's close
  // button close.
  virtual Event next_event(int ms) = 0;
};

// ---- recordings (cli-record.cpp, FFmpeg) --------------------------------------------------
// A video file by its name's extension: .mp4 (H.264), .webm (VP9) or .gif, of the screen's
// size times `scale` (every pixel a square of scale x scale), each image shown from the
// time it is given until the next one.  The file is written beside its name and put in
// place by finish() only: a recording that fails or is abandoned leaves nothing.
class Recorder {
 public:
  virtual ~Recorder() = default;
  // Whether the name's extension is one of the recorder's formats.
  static bool known_format(const std::string &path);
  // Null with the reason in *why when the file cannot be made.
  static std::unique_ptr<Recorder> open(const std::string &path, unsigned width, unsigned height, unsigned scale,
                                        std::string *why);
  // An image (R,G,B bytes of the screen's size) at `seconds` after the recording began;
  // times that do not grow are moved just after the last one.  false with *why on failure.
  virtual bool add(const std::vector<uint8_t> &rgb, double seconds, std::string *why) = 0;
  // Ends the file at `seconds` (the last image is shown until then) and puts it in place.
  virtual bool finish(double seconds, std::string *why) = 0;
  virtual int images() const = 0;
};

}  // namespace zrcli

#endif
