// Builds the demo avatar bundle from the astronaut portrait.
#pragma once

#include <string>

namespace vever {

struct DemoOptions {
  std::string image;  // the portrait (512 x 512 RGB PNG)
  std::string model;  // a director at crop 256, batch 1
  int sourceFrames = 50;  // idle-loop length (2 s at 25 fps)
  int driveFrames = 125;  // drive track length (5 s)
};

// Writes a complete bundle into dir (created if needed); throws on failure.
void writeDemoBundle(const std::string& dir, const DemoOptions& options);

}  // namespace vever
