// Builds the demo avatar bundle from the astronaut portrait.
#pragma once

#include <string>

namespace vever {

struct DemoOptions {
  std::string image;      // the portrait (512 x 512 RGB PNG)
  std::string model;      // a director at crop 256, batch 1
  int sourceFrames = 50;  // idle-loop length (2 s at 25 fps)
  int driveFrames = 125;  // drive track length (5 s)
  // The procedural motion models (w2v.onnx, a2x_enc_stream.onnx, a2x_dec.onnx);
  // empty: no motion directory.
  std::string motionModels;
  // The blend-head checkpoint of the teeth borrow; empty: no teeth members.
  std::string teethHead;
};

// Writes a complete bundle into dir (created if needed), and with motion
// models a motion directory for it in dir/motion; throws on failure.
void writeDemoBundle(const std::string& dir, const DemoOptions& options);

}  // namespace vever
