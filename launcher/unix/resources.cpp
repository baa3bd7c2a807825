// resources.cpp -- the table of compiled-in resources and the PNG decoder (libpng).
#include "resources.h"

#include <png.h>

#include <cstring>

extern const unsigned char kq_splash_png[];
extern const std::size_t kq_splash_png_size;

namespace lumara {

namespace {
struct Resource {
  const char* name;
  const char* type;
  const unsigned char* data;
  const std::size_t* size;
};
const Resource kResources[] = {
    {"BITMAP_SPLASH", "SPLASH", kq_splash_png, &kq_splash_png_size},
};
}  // namespace

bool FindResource(const char* name, const char* type, const unsigned char** data, std::size_t* size) {
  if (name == nullptr || type == nullptr) return false;
  for (const auto& r : kResources) {
    if (std::strcmp(r.name, name) == 0 && std::strcmp(r.type, type) == 0 && *r.size > 0) {
      *data = r.data;
      *size = *r.size;
      return true;
    }
  }
  return false;
}

bool DecodePng(const unsigned char* data, std::size_t size, RgbaImage* out) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_memory(&image, data, size) == 0) return false;
  image.format = PNG_FORMAT_RGBA;
  // Pictures beyond any screen are refused rather than allocated.
  if (image.width == 0 || image.height == 0 || image.width > 16384 || image.height > 16384) {
    png_image_free(&image);
    return false;
  }
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) == 0) {
    png_image_free(&image);
    return false;
  }
  out->width = static_cast<int>(image.width);
  out->height = static_cast<int>(image.height);
  out->pixels.swap(pixels);
  return true;
}

}  // namespace lumara
