// Image files: JPEG/PNG decoding to RGB and PNG writing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "le/le.h"  // LE_API

namespace le {

// Decodes a JPEG or PNG file to 8-bit RGB, width x height x 3 bytes row-major.
LE_API std::vector<uint8_t> loadImageRGB(const std::string& path, int& width, int& height);
// Decodes into dst (width x height x 3 bytes) when the file has exactly that
// size; returns false and sets the file's size otherwise.
bool loadImageRGBInto(const std::string& path, uint8_t* dst, int& width, int& height);
// Writes width x height x 3 RGB bytes (row stride width x 3) as PNG.
LE_API void writePNG(const std::string& path, const uint8_t* rgb, int width, int height);

}  // namespace le
