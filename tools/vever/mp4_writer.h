// H.264 (yuv420p, or yuv444p when exact) in MP4 through libavcodec and libavformat, with an
// optional AAC audio track (libavcodec's native encoder).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vever {

class Mp4Writer {
 public:
  // Throws std::runtime_error naming the file and what failed.
  // audioRate > 0 adds a mono AAC track at that sample rate. `exact` codes
  // full-resolution chroma (yuv444p) at quantiser 0, for pixels that are
  // data rather than pictures; crf is then ignored. tune, when given, is
  // x264's tuning ("fastdecode" for a track played on every frame).
  Mp4Writer(const std::string& path, int width, int height, int fps = 25, int crf = 20,
            int audioRate = 0, bool exact = false, const char* tune = nullptr);
  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  // One RGB frame, width x height x 3 bytes.
  void write(const uint8_t* rgb);
  // Mono 16-bit samples at the audio rate, appended to the audio track.
  void writeAudio(const int16_t* samples, size_t count);
  // Flushes the encoder and writes the trailer; called by the destructor too.
  void finish();
  int frames() const { return frames_; }

 private:
  struct State;
  std::unique_ptr<State> s_;
  int frames_ = 0;
};

}  // namespace vever
