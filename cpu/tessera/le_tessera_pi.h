// Compose geometry of the teeth borrow: the "pi" mouth mask a bundle states in
// its manifest's unified.pi block, evaluated per frame from the keypoints on
// the square compose canvas, and its centroid that places the mouth.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tessera/le_lip_contour.h"

#include "le/le.h"  // LE_API

namespace le {
namespace tessera {

class LE_API UnifiedPi {
 public:
  // Ellipse in normalised canvas units; r is its mean radius in pixels of a
  // 512 canvas, the feather scale.
  struct EllParams {
    float cx = 0, cy = 0, hx = 0, hy = 0, r = 0;
  };

  int N = 0;
  std::string mode;
  bool cornerRecovery = false;
  float propGateScale = 1;
  std::vector<int> lipIdx;
  float padX = 0, padY = 0, down = 0;
  std::vector<float> gx, gy;

  // Reads manifest.json's unified.pi block for a canvas of `canvas` pixels.
  static UnifiedPi fromManifestJson(const std::string& text, int canvas);
  // Same, with (padX, padY, down) replaced by the corpus geometry whose
  // canonical centroid over the source frames `xs` (frames x 63 floats)
  // lies at c_canon (x, y); *geometry receives its name.
  static UnifiedPi corpusFromManifestJson(const std::string& text, int canvas, const float* xs,
                                          int frames, const double* cCanon, std::string* geometry);

  // Full-canvas float masks (N x N).
  void lipMask(const float* kp, float* out) const;
  void propTeethGate(const float* kp, float* out) const;
  EllParams lipParams(const float* kp) const;
  EllParams gateParams(const float* kp, float& gate) const;
  Box ellBox(const EllParams& p) const;
  Box supportBox(const float* kp) const;

  // Byte masks (N x N).
  void piU8(const float* kp, uint8_t* out) const;
  void piU8Boxed(const float* kp, uint8_t* out) const;
  // pi clipped by contour values (box.w() x box.h() floats over `box`).
  void piU8ShrunkBy(const float* kp, const float* contour, const Box& box, uint8_t* out) const;

  // Mean column (cx) and row (cy) of the pixels >= 128; false when none.
  bool piU8Centroid(const uint8_t* mask, double& cx, double& cy) const;
  bool piU8Centroid(const uint8_t* mask, const Box& box, double& cx, double& cy) const;
  // Boxed pi mask and the rounded shift of its centroid from c_canon (x, y).
  bool piU8AndShift(const float* kp, const double* cCanon, uint8_t* out, int& sy, int& sx) const;
  // Mean centroid over the frames whose pi mask is not empty; false when none.
  bool canonicalCentroid(const float* xs, int frames, double& cx, double& cy) const;

 private:
  struct LipStats {
    float cx, cy, ex, ey;
  };
  LipStats stats(const float* kp) const;
  float cornerScale(const float* kp, const LipStats& s) const;
  float gateValue(const LipStats& s) const;
  float ellValue(const EllParams& p, int x, int y) const;
  uint8_t piByte(const EllParams& lip, const EllParams& gate, float g, int x, int y) const;
};

}  // namespace tessera
}  // namespace le
