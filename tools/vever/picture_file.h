// A still picture in any format FFmpeg decodes (JPEG, PNG, WebP, ...),
// refused from its header when too large.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vever {

constexpr int kMaxPictureSide = 8192;

struct Picture {
  int width = 0, height = 0;
  std::vector<uint8_t> rgb;  // width x height x 3
};

// Throws std::runtime_error naming the file and what is wrong with it.
Picture readPicture(const std::string& path);

// True when FFmpeg opens the file as a still picture, not as a video.
bool opensAsPicture(const std::string& path);

}  // namespace vever
