// Builds an avatar bundle from a photograph of a face: the face and its
// landmarks found by dlib, the picture turned into a portrait with the face
// where the render model expects it, an idle loop that sways it gently, and
// every member a session reads.
#pragma once

#include <functional>
#include <string>

namespace vever {

struct AvatarOptions {
  std::string input;             // a photograph, or a video of 1 to 60 s, FFmpeg decodes
  int face = 0;                  // which face, 1 = the largest; 0: the picture must hold one
  std::string landmarkModel;     // dlib's 68-point predictor; empty: the installed one
  std::string agent = "avatar";  // the manifest's name for it
  std::string model;             // a director at this bundle's crop (cropFor), batch 1
  int sourceFrames = 50;         // a photograph's idle-loop length (2 s at 25 fps)
  double seconds = 10;           // a video's longest idle loop
  int driveFrames = 125;         // drive track length (5 s)
  // The procedural motion models (w2v.onnx, a2x_enc_stream.onnx, a2x_dec.onnx);
  // empty: no motion directory.
  std::string motionModels;
  // The blend-head checkpoint of the teeth borrow; empty: no teeth members.
  std::string teethHead;
  // A photograph whose parted lips show the upper teeth: the donors' teeth.
  // Empty: the donors show what the render model makes of an open mouth.
  std::string teethPhoto;
  // The scene: the 512 x 512 portrait, or a larger frame into which the
  // portrait is scaled to fit and centred on a backdrop.
  int width = 512, height = 512;
  // Told each stage as it starts (a short phrase) and how far the build is (0..1).
  std::function<void(const char* stage, double done)> progress;
};

// The face crop of a bundle of that scene: 256 at the portrait's own size,
// 512 in a larger scene. Throws for a scene smaller than the portrait.
int cropFor(const AvatarOptions& options);

// Writes a complete bundle into dir, and with motion models a motion
// directory for it in dir/motion. The bundle is built beside dir and put in
// its place at the end, so a failure leaves nothing half-written; a dir that
// exists must be empty or a bundle. Throws std::runtime_error naming the input
// and what was refused. Returns the number of source frames (the idle loop's).
int writeAvatarBundle(const std::string& dir, const AvatarOptions& options);

}  // namespace vever
