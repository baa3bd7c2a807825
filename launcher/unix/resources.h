// resources.h -- data compiled into the program: the splash picture and its decoding.
#ifndef KQ_LAUNCHER_RESOURCES_H
#define KQ_LAUNCHER_RESOURCES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumara {

// The bytes of the resource `name` of type `type` ("SPLASH", "BITMAP_SPLASH"); false when the
// program holds none.
bool FindResource(const char* name, const char* type, const unsigned char** data, std::size_t* size);

// A decoded picture: width x height pixels, 4 bytes each in the order R, G, B, A, rows top down.
struct RgbaImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;
};

// Decodes a PNG held in memory; false when it is not a PNG libpng can read.
bool DecodePng(const unsigned char* data, std::size_t size, RgbaImage* out);

}  // namespace lumara

#endif
