// Encodes small synthetic videos through libavcodec for the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
std::string encodeVideo(const std::string& path, const VideoSpec& video, const RgbFrameFn& fill);

// Same, with the frame given directly as planes of the encoder's pixel
// format (yuv420p/yuv444p): fill receives Y, U, V pointers and line sizes.
using YuvFrameFn = std::function<void(int t, uint8_t* const planes[3], const int linesize[3])>;
std::string encodeVideoYuv(const std::string& path, const VideoSpec& video, const YuvFrameFn& fill);

// A decoded frame's planes, tightly packed, as FFmpeg hands them out.
struct YuvFrame {
  std::string format;
  int width[3] = {0, 0, 0};
  int height[3] = {0, 0, 0};
  std::vector<uint8_t> planes[3];
  uint8_t at(int c, int x, int y) const { return planes[c][size_t(y) * width[c] + x]; }
};
// Every frame of the first video stream, decoded straight through FFmpeg.
std::vector<YuvFrame> decodeVideoYuv(const std::string& path);

// Writes width x height x 3 RGB bytes as a JPEG file; false on failure.
bool writeJpg(const std::string& path, const uint8_t* rgb, int width, int height,
              int quality = 95);

}  // namespace le_test
