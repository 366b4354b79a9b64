// Builds the demo avatar bundle from the astronaut portrait.
#pragma once

#include <string>

namespace vever {

struct DemoOptions {
  std::string image;      // the portrait (512 x 512 RGB PNG)
  std::string model;      // a director at this bundle's crop (cropFor), batch 1
  int sourceFrames = 50;  // idle-loop length (2 s at 25 fps)
  int driveFrames = 125;  // drive track length (5 s)
  // The procedural motion models (w2v.onnx, a2x_enc_stream.onnx, a2x_dec.onnx);
  // empty: no motion directory.
  std::string motionModels;
  // The blend-head checkpoint of the teeth borrow; empty: no teeth members.
  std::string teethHead;
  // The scene: the portrait's own 512 x 512, or a larger frame into which
  // the portrait is scaled to fit and centred on a backdrop.
  int width = 512, height = 512;
};

// The face crop of a demo bundle of that scene: 256 at the portrait's own
// size, 512 in a larger scene. Throws for a scene smaller than the portrait.
int cropFor(const DemoOptions& options);

// Writes a complete bundle into dir (created if needed), and with motion
// models a motion directory for it in dir/motion; throws on failure.
void writeDemoBundle(const std::string& dir, const DemoOptions& options);

}  // namespace vever
