// cli-screen.cpp -- screenshot: the handheld's screen image as a PNG file.
//
// The image is height x width pixels, row by row from the top, no row padding, in the
// handheld's pixel format for its depth: 16 bits RGB565 little-endian, 24 bits B,G,R bytes,
// 32 bits B,G,R,X bytes, 8 bits grey.
#include "cli.h"
#include "zr-net.h"

#include <png.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

namespace zrcli {

namespace {

const int kPiece = 64 * 1024;

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
bool write_png_to(FILE *f, const std::vector<uint8_t> &image, unsigned width, unsigned height, unsigned bpp) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
  // Set only outside the setjmp region, so a libpng error cannot leave it stale.
  volatile bool ok = png && info;
  if (ok && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    size_t stride = static_cast<size_t>(width) * bpp / 8;
    for (unsigned y = 0; y < height; ++y) {
      to_rgb(image.data() + y * stride, width, bpp, row.data());
      png_write_row(png, row.data());
    }
    png_write_end(png, info);
  } else {
    ok = false;
  }
  png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
  return ok;
}

// Writes the picture beside the file first and puts it in place only when it is whole.
bool write_png(const std::string &path, const std::vector<uint8_t> &image, unsigned width, unsigned height,
               unsigned bpp) {
  std::string tmp = path + ".part";
  FILE *f = std::fopen(tmp.c_str(), "wb");
  if (!f) return false;
  bool ok = write_png_to(f, image, width, height, bpp);
  ok = std::fclose(f) == 0 && ok;
  if (ok && std::rename(tmp.c_str(), path.c_str()) == 0) return true;
  std::remove(tmp.c_str());
  return false;
}

bool ends_in_png(const std::string &name) {
  if (name.size() < 4) return false;
  std::string ext = name.substr(name.size() - 4);
  for (auto &c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".png";
}

}  // namespace

std::string screenshot_name() {
  time_t now = std::time(nullptr);
  struct tm tm;
  char buf[64];
  if (!localtime_r(&now, &tm) || !std::strftime(buf, sizeof buf, "screenshot-%Y%m%d-%H%M%S.png", &tm))
    return "screenshot.png";
  return buf;
}

int cmd_screenshot(const Options &opt) {
  const std::string out = opt.args.empty() ? screenshot_name() : opt.args[0];
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
  int r = KQ_ZR_sr_info(addr, 1, &in);
  if (r < 0) return report("info", r);
  unsigned height = in.sgeo[0], width = in.sgeo[1], bpp = in.sgeo[2];
  if (width == 0 || height == 0 || (bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)) {
    std::fprintf(stderr,
                 "zrlink: screenshot: the handheld reports a screen of %u x %u at %u "
                 "bits per pixel, which has no picture format\n",
                 width, height, bpp);
    return kFailed;
  }
  size_t total = static_cast<size_t>(width) * height * bpp / 8;
  std::vector<uint8_t> image(total);
  size_t have = 0;
  while (have < total) {
    int want = total - have < static_cast<size_t>(kPiece) ? static_cast<int>(total - have) : kPiece;
    int got = KQ_ZR_sr_scrn(addr, image.data() + have, static_cast<uint32_t>(have), want);
    if (got < 0) return report("screen image", got);
    have += static_cast<size_t>(got);
    // Every piece asked for lies inside the image, so a shorter answer means the
    // handheld stopped early.
    if (got < want) {
      std::fprintf(stderr, "zrlink: screenshot: the handheld sent %zu of %zu bytes\n", have, total);
      return kFailed;
    }
  }
  count_bytes(total);
  if (to_stdout) {
    if (!write_png_to(stdout, image, width, height, bpp) || std::fflush(stdout) != 0) {
      std::fprintf(stderr, "zrlink: screenshot: writing standard output failed\n");
      return kFailed;
    }
    return kOk;
  }
  if (!write_png(out, image, width, height, bpp)) {
    std::fprintf(stderr, "zrlink: screenshot: cannot write %s\n", out.c_str());
    return kFailed;
  }
  std::printf("%s: %u x %u\n", out.c_str(), width, height);
  return kOk;
}

}  // namespace zrcli
