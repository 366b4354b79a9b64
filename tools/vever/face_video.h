// A short video of a face as the avatar's idle loop: read at 25 frames a
// second, the face found in the first frame and followed frame to frame,
// its landmarks smoothed without lag, and the loop cut where it closes with
// the least jump (or played forwards then backwards when it closes nowhere).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "face_landmarks.h"
#include "portrait.h"

namespace vever {

struct VideoLoopOptions {
  int face = 0;                          // as the avatar command's --face
  double seconds = 10;                   // the longest loop
  std::function<void(double)> progress;  // 0..1 through the video's two reads
};

// The loop's portraits in the order it shows them. Throws naming the video
// and what was refused (length, size, no face, the face lost too often).
std::vector<Portrait> videoLoop(const std::string& path, const FaceFinder& finder,
                                const VideoLoopOptions& options);

}  // namespace vever
