#include "driver/le_image.h"

#include <cstring>
#include <memory>
#include <stdexcept>

// stb's code is compiled here with internal linkage, so a host that links its
// own copy of stb cannot clash with ours.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#include <stb_image.h>
#include <stb_image_write.h>
#pragma GCC diagnostic pop

namespace le {
namespace {

struct StbFree {
  void operator()(unsigned char* p) const { stbi_image_free(p); }
};

std::unique_ptr<unsigned char, StbFree> decode(const std::string& path, int& w, int& h) {
  int channels = 0;
  std::unique_ptr<unsigned char, StbFree> px(stbi_load(path.c_str(), &w, &h, &channels, 3));
  if (!px) throw std::runtime_error("decode failed: " + path);
  return px;
}

}  // namespace

std::vector<uint8_t> loadImageRGB(const std::string& path, int& width, int& height) {
  auto px = decode(path, width, height);
  return std::vector<uint8_t>(px.get(), px.get() + size_t(width) * size_t(height) * 3);
}

bool loadImageRGBInto(const std::string& path, uint8_t* dst, int& width, int& height) {
  const int wantW = width, wantH = height;
  auto px = decode(path, width, height);
  if (width != wantW || height != wantH) return false;
  std::memcpy(dst, px.get(), size_t(width) * size_t(height) * 3);
  return true;
}

void writePNG(const std::string& path, const uint8_t* rgb, int width, int height) {
  if (!rgb || width < 1 || height < 1 ||
      !stbi_write_png(path.c_str(), width, height, 3, rgb, width * 3))
    throw std::runtime_error("png write failed: " + path);
}

}  // namespace le
