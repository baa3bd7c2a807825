// cli-screen.cpp -- screen images: reading them, PNG pictures, and the screenshot command.
#include "cli-screen.h"
#include "cli.h"
#include "zr-net.h"

#include <png.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace zrcli {

namespace {

// Converts one row of the handheld's pixels to 8-bit RGB.
void to_rgb(const uint8_t *in, unsigned width, unsigned bpp, uint8_t *out) {
  for (unsigned x = 0; x < width; ++x, out += 3) {
    switch (bpp) {
      case 16: {
        unsigned v = in[2 * x] | (in[2 * x + 1] << 8);
        unsigned r = (v >> 11) & 31, g = (v >> 5) & 63, b = v & 31;
        out[0] = static_cast<uint8_t>((r << 3) | (r >> 2));
        out[1] = static_cast<uint8_t>((g << 2) | (g >> 4));
        out[2] = static_cast<uint8_t>((b << 3) | (b >> 2));
        break;
      }
      case 24:
      case 32: {
        const uint8_t *p = in + x * (bpp / 8);
        out[0] = p[2];
        out[1] = p[1];
        out[2] = p[0];
        break;
      }
      default: /* 8 */ out[0] = out[1] = out[2] = in[x];
    }
  }
}

// Writes the picture to an open stream; false when libpng or the stream failed.
bool write_png_to(FILE *f, const ScreenImage &image) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  std::vector<uint8_t> row(static_cast<size_t>(image.width) * 3);
  // Set only outside the setjmp region, so a libpng error cannot leave it stale.
  volatile bool ok = png && info;
  if (ok && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    size_t stride = static_cast<size_t>(image.width) * image.bpp / 8;
    for (unsigned y = 0; y < image.height; ++y) {
      to_rgb(image.pixels.data() + y * stride, image.width, image.bpp, row.data());
      png_write_row(png, row.data());
    }
    png_write_end(png, info);
  } else {
    ok = false;
  }
  png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
  return ok;
}

bool ends_in_png(const std::string &name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  for (auto &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".png";
}

}  // namespace

int screen_geometry(const zr_info &in, ScreenImage *image, const char *what) {
  unsigned height = in.sgeo[0], width = in.sgeo[1], bpp = in.sgeo[2];
  if (width == 0 || height == 0 || (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)) {
    std::fprintf(stderr,
                 "zrlink: %s: the handheld reports a screen of %u x %u at %u "
                 "bits per pixel, which has no picture format\n",
                 what, width, height, bpp);
    return kFailed;
  }
  image->width = width;
  image->height = height;
  image->bpp = bpp;
  image->pixels.assign(static_cast<size_t>(width) * height * bpp / 8, 0);
  return 0;
}

int read_screen(uint32_t addr, ScreenImage *image, size_t *got) {
  // The whole image in one request: every request costs the pause before its connection.
  const size_t total = image->pixels.size();
  int r = KQ_ZR_sr_scrn(addr, image->pixels.data(), 0, static_cast<int>(total));
  if (got) *got = r < 0 ? 0 : static_cast<size_t>(r);
  if (r < 0) return r;
  return static_cast<size_t>(r) < total ? ZR_E_SHORT : 0;
}

std::vector<uint8_t> screen_rgb(const ScreenImage &image) {
  std::vector<uint8_t> rgb(static_cast<size_t>(image.width) * image.height * 3);
  size_t stride = static_cast<size_t>(image.width) * image.bpp / 8;
  for (unsigned y = 0; y < image.height; ++y)
    to_rgb(image.pixels.data() + y * stride, image.width, image.bpp,
           rgb.data() + static_cast<size_t>(y) * image.width * 3);
  return rgb;
}

bool write_png(const std::string &path, const ScreenImage &image) {
  std::string tmp = path + ".part";
  FILE *f = std::fopen(tmp.c_str(), "wb");
  if (!f) return false;
  bool ok = write_png_to(f, image);
  ok = std::fclose(f) == 0 && ok;
  if (ok && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
  std::remove(tmp.c_str());
  return false;
}

std::string dated_name(bool unused) {
  time_t now = std::time(nullptr);
  struct tm tm;
  char buf[64];
  std::string base = "screenshot";
  if (localtime_r(&now, &tm) && std::strftime(buf, sizeof buf, "screenshot-%Y%m%d-%H%M%S", &tm)) base = buf;
  std::string name = base + ".png";
  for (int n = 2; unused && access(name.c_str(), F_OK) == 0; ++n) name = base + "-" + std::to_string(n) + ".png";
  return name;
}

int cmd_screenshot(const Options &opt) {
  const std::string out = opt.args.empty() ? dated_name() : opt.args[0];
  const bool to_stdout = out == "-";
  if (!to_stdout && !ends_in_png(out)) {
    std::fprintf(stderr,
                 "zrlink: screenshot: %s: the picture is written as PNG; give a name ending in .png "
                 "(or - for standard output)\nusage: zrlink screenshot [OUT.png | -]\n",
                 out.c_str());
    return kUsage;
  }
  Session s(opt);
  if (!s.ok()) return s.exit_code();
  const uint32_t addr = s.addr();
  zr_info in;
  int r = s.info(&in);
  if (r != 0) return r;
  ScreenImage image;
  if ((r = screen_geometry(in, &image, "screenshot")) != 0) return r;
  size_t got = 0;
  r = read_screen(addr, &image, &got);
  if (r == ZR_E_SHORT) {
    std::fprintf(stderr, "zrlink: screenshot: the handheld sent %zu of %zu bytes\n", got, image.pixels.size());
    return kFailed;
  }
  if (r < 0) return report("screen image", r);
  count_bytes(image.pixels.size());
  if (to_stdout) {
    if (!write_png_to(stdout, image) || std::fflush(stdout) != 0) {
      std::fprintf(stderr, "zrlink: screenshot: writing standard output failed\n");
      return kFailed;
    }
    return kOk;
  }
  if (!write_png(out, image)) {
    std::fprintf(stderr, "zrlink: screenshot: cannot write %s\n", out.c_str());
    return kFailed;
  }
  std::printf("%s: %u x %u\n", out.c_str(), image.width, image.height);
  return kOk;
}

}  // namespace zrcli
