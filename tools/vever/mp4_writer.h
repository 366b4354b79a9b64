// H.264 (yuv420p) in MP4 through libavcodec and libavformat.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vever {

class Mp4Writer {
 public:
  // Throws std::runtime_error naming the file and what failed.
  Mp4Writer(const std::string& path, int width, int height, int fps = 25, int crf = 20);
  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  // One RGB frame, width x height x 3 bytes.
  void write(const uint8_t* rgb);
  // Flushes the encoder and writes the trailer; called by the destructor too.
  void finish();
  int frames() const { return frames_; }

 private:
  struct State;
  std::unique_ptr<State> s_;
  int frames_ = 0;
};

}  // namespace vever
