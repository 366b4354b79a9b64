// A short video read frame by frame at the engine's 25 frames a second,
// refused from its header when too long, too short or too large.
#pragma once

#include <memory>
#include <string>

#include "picture_file.h"

namespace vever {

constexpr double kMinVideoSeconds = 1, kMaxVideoSeconds = 60;
constexpr int kMaxVideoSide = 4096;

class VideoReader {
 public:
  // Throws std::runtime_error naming the file and what is wrong with it.
  explicit VideoReader(const std::string& path);
  ~VideoReader();
  VideoReader(const VideoReader&) = delete;
  VideoReader& operator=(const VideoReader&) = delete;

  int width() const;
  int height() const;
  // The next frame at 25 frames a second (a frame is repeated or skipped to
  // keep that rate); false after the last. Throws past kMaxVideoSeconds.
  bool next(Picture& frame);
  // The time of the frame next() gave last, in seconds from the first.
  double time() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vever
