// Encodes small synthetic videos through libavcodec for the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace le_test {

struct VideoSpec {
  int width = 64;
  int height = 48;
  int frames = 10;
  int fps = 25;
  std::string encoder = "libx264";  // any libavcodec encoder name
  std::string pixfmt = "yuv420p";   // encoder input pixel format
  std::string container;            // muxer name; empty guesses from the file name
  bool lossless = false;            // ask x264/x265 for lossless coding
};

// Fills width x height x 3 RGB bytes for frame t.
using RgbFrameFn = std::function<void(int t, uint8_t* rgb)>;

// Writes the video; returns an empty string on success, else what failed.
std::string encodeVideo(const std::string& path, const VideoSpec& spec, const RgbFrameFn& fill);

// Same, with the frame given directly as planes of the encoder's pixel
// format (yuv420p/yuv444p): fill receives Y, U, V pointers and line sizes.
using YuvFrameFn = std::function<void(int t, uint8_t* const planes[3], const int linesize[3])>;
std::string encodeVideoYuv(const std::string& path, const VideoSpec& spec, const YuvFrameFn& fill);

// Writes width x height x 3 RGB bytes as a JPEG file; false on failure.
bool writeJpg(const std::string& path, const uint8_t* rgb, int width, int height,
              int quality = 95);

}  // namespace le_test
