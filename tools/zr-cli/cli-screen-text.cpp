// cli-screen-text.cpp -- writing into screen pictures with a small built-in font of 5 x 7
// pixels in cells of 6 x 9, so that neither the window nor the grid of screens needs font
// files.
#include "cli-screen.h"

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

}  // namespace

void write_text(std::vector<uint8_t> &rgb, unsigned width, unsigned height, unsigned x, unsigned y,
                const std::string &text) {
  if (y + 7 > height) return;
  for (size_t i = 0; i < text.size() && x + i * 6 + 5 <= width; ++i) {
    const uint8_t *rows = glyph(text[i]);
    if (!rows) continue;
    for (unsigned gy = 0; gy < 7; ++gy)
      for (unsigned gx = 0; gx < 5; ++gx)
        if ((rows[gy] >> (4 - gx)) & 1) {
          size_t at = (static_cast<size_t>(y + gy) * width + x + i * 6 + gx) * 3;
          rgb[at] = rgb[at + 1] = rgb[at + 2] = 255;
        }
  }
}

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
  size_t n = line.size() > fit ? fit : line.size();
  write_text(rgb, width, height, static_cast<unsigned>((width - n * 6) / 2), top + 2, line);
}

}  // namespace zrcli
