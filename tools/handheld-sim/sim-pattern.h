// sim-pattern.h -- the test picture that the handheld simulator shows on its screen.
//
// Header only, so that the simulator, its tests, the link library's tests and later tools
// all compute the same expected image from a screen geometry.
//
// Layout of the image
//   The image is height x width pixels, stored row by row from the top row down, each row
//   from left (x = 0) to right, with no padding between rows.  Its size in bytes is
//   height * width * bitsPerPixel / 8 (rounded down).
//
// Colours
//   For pixel (x, y) three components are derived first:
//     red   = x * 255 / (width - 1)      grows from left to right   (0 when width is 1)
//     green = y * 255 / (height - 1)     grows from top to bottom    (0 when height is 1)
//     blue  = 255 on the dark/light 16 x 16 checker squares where (x / 16 + y / 16) is odd,
//             0 elsewhere
//   They are packed by depth into a pixel value, which is stored little-endian (lowest
//   byte first) in bitsPerPixel / 8 bytes:
//     16 bpp  RGB565:  (red >> 3) << 11 | (green >> 2) << 5 | (blue >> 3)
//     24 bpp  RGB:     red << 16 | green << 8 | blue       (bytes in memory: blue, green, red)
//     32 bpp  XRGB:    red << 16 | green << 8 | blue       (bytes: blue, green, red, 0)
//      8 bpp  grey ramp: (x + y) * 255 / (width + height - 2)   (0 for a 1 x 1 image)
//   Any other depth has no pixel meaning: byte i of the image is (i ^ (i >> 8)) & 0xFF.
//
// Moving pictures (pattern_frame, for --screen-animate)
//   Image number n (counted from 1) is the picture above with two things drawn into it in
//   white (every bit of the pixel set) on black: a 16 x 16 mark whose left edge is at
//   x = (8 * n) mod (width - 15) in the rows 16 to 31 from the bottom (when the screen is
//   large enough), and the number n in decimal in the top left corner, digits of 3 x 5
//   cells of 2 x 2 pixels on a black box.  Depths without pixel meaning are left as they are.
#ifndef ZR_SIM_PATTERN_H
#define ZR_SIM_PATTERN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zrsim {

struct ScreenGeometry {
  uint32_t height = 0;
  uint32_t width = 0;
  uint32_t bits_per_pixel = 0;
};

// Number of bytes of the image.
inline uint64_t image_bytes(const ScreenGeometry &g) {
  return static_cast<uint64_t>(g.height) * g.width * g.bits_per_pixel / 8;
}

inline bool pattern_has_pixels(const ScreenGeometry &g) {
  return g.bits_per_pixel == 8 || g.bits_per_pixel == 16 || g.bits_per_pixel == 24 || g.bits_per_pixel == 32;
}

struct PatternRgb {
  uint8_t red, green, blue;
};

// The colour components of pixel (x, y).
inline PatternRgb pattern_rgb(const ScreenGeometry &g, uint32_t x, uint32_t y) {
  PatternRgb c;
  c.red = g.width > 1 ? static_cast<uint8_t>(uint64_t(x) * 255 / (g.width - 1)) : 0;
  c.green = g.height > 1 ? static_cast<uint8_t>(uint64_t(y) * 255 / (g.height - 1)) : 0;
  c.blue = ((x / 16 + y / 16) & 1) ? 255 : 0;
  return c;
}

// The pixel value of (x, y) in the geometry's depth (8, 16, 24 or 32 bits per pixel;
// 0 for other depths).
inline uint32_t pattern_pixel(const ScreenGeometry &g, uint32_t x, uint32_t y) {
  PatternRgb c = pattern_rgb(g, x, y);
  switch (g.bits_per_pixel) {
    case 8: {
      uint64_t span = uint64_t(g.width) + g.height;
      return span > 2 ? static_cast<uint32_t>((uint64_t(x) + y) * 255 / (span - 2)) : 0;
    }
    case 16: return (uint32_t(c.red >> 3) << 11) | (uint32_t(c.green >> 2) << 5) | uint32_t(c.blue >> 3);
    case 24:
    case 32: return (uint32_t(c.red) << 16) | (uint32_t(c.green) << 8) | c.blue;
    default: return 0;
  }
}

// Byte number `offset` of the image (offset below image_bytes(g)).
inline uint8_t pattern_byte(const ScreenGeometry &g, uint64_t offset) {
  if (!pattern_has_pixels(g) || g.width == 0) return static_cast<uint8_t>((offset ^ (offset >> 8)) & 0xFF);
  uint32_t bytes_per_pixel = g.bits_per_pixel / 8;
  uint64_t pixel = offset / bytes_per_pixel;
  uint32_t shift = static_cast<uint32_t>(offset % bytes_per_pixel) * 8;
  uint32_t x = static_cast<uint32_t>(pixel % g.width);
  uint32_t y = static_cast<uint32_t>(pixel / g.width);
  return static_cast<uint8_t>((pattern_pixel(g, x, y) >> shift) & 0xFF);
}

// The whole image.
inline std::vector<uint8_t> pattern_image(const ScreenGeometry &g) {
  std::vector<uint8_t> image(static_cast<size_t>(image_bytes(g)));
  for (size_t i = 0; i < image.size(); ++i) image[i] = pattern_byte(g, i);
  return image;
}

namespace pattern_detail {

// Sets pixel (x, y) to 0 or to every bit of its depth (x, y inside the image).
inline void put(std::vector<uint8_t> &image, const ScreenGeometry &g, uint32_t x, uint32_t y, bool white) {
  uint32_t bytes = g.bits_per_pixel / 8;
  size_t at = (static_cast<size_t>(y) * g.width + x) * bytes;
  for (uint32_t i = 0; i < bytes; ++i) image[at + i] = white ? 0xFF : 0;
}

// The digits 0 to 9 in 3 x 5 cells, one row of 3 bits (left: 4) per entry.
constexpr uint8_t kDigits[10][5] = {{7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7},
                                    {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1},
                                    {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};

}  // namespace pattern_detail

// Image number n of the moving picture.
inline std::vector<uint8_t> pattern_frame(const ScreenGeometry &g, uint64_t n) {
  std::vector<uint8_t> image = pattern_image(g);
  if (!pattern_has_pixels(g)) return image;
  using pattern_detail::put;
  if (g.width >= 16 && g.height >= 32) {
    uint32_t left = static_cast<uint32_t>((8 * n) % (g.width - 15));
    for (uint32_t y = g.height - 32; y < g.height - 16; ++y)
      for (uint32_t x = left; x < left + 16; ++x) put(image, g, x, y, true);
  }
  std::string digits = std::to_string(n);
  // Each digit takes 4 cells (3 and a space) of 2 x 2 pixels; the box has a cell of margin.
  for (uint32_t cy = 0; cy < 7; ++cy) {
    for (uint32_t cx = 0; cx < 4 * digits.size() + 1; ++cx) {
      bool white = false;
      if (cy >= 1 && cy <= 5 && cx >= 1 && (cx - 1) % 4 < 3) {
        const uint8_t *glyph = pattern_detail::kDigits[digits[(cx - 1) / 4] - '0'];
        white = (glyph[cy - 1] >> (2 - (cx - 1) % 4)) & 1;
      }
      for (uint32_t y = 2 * cy; y < 2 * cy + 2 && y < g.height; ++y)
        for (uint32_t x = 2 * cx; x < 2 * cx + 2 && x < g.width; ++x) put(image, g, x, y, white);
    }
  }
  return image;
}

}  // namespace zrsim

#endif
