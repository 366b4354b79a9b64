// The lip-contour template of a bundle ("lip_template.v1.json"): a polygon in
// units of the lip half-extents that, fitted to a frame's lip keypoints and
// feathered inward, clips the elliptical mouth region to the real lip line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "le/le.h"  // LE_API

namespace le {
namespace tessera {

class UnifiedPi;

// Half-open pixel rectangle [x0, x1) x [y0, y1).
struct Box {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  int w() const { return x1 > x0 ? x1 - x0 : 0; }
  int h() const { return y1 > y0 ? y1 - y0 : 0; }
  bool empty() const { return w() == 0 || h() == 0; }
};

class LE_API LipContour {
 public:
  // Reads and checks a template for a canvas of `canvas` pixels per side.
  // Throws std::runtime_error naming the member and what it refuses.
  static LipContour fromTemplateJson(const std::string& text, int canvas);

  int canvas() const { return n_; }
  float featherPx() const { return feather_; }
  int nv() const { return nv_; }
  const std::vector<double>& uCanon() const { return u_; }  // nv (u, v) pairs
  const std::vector<int>& lipIdx() const { return lipIdx_; }

  // The template fitted to one keypoint set (63 floats): nv (x, y) pixel pairs.
  void polygon(const float* kp, std::vector<double>& verts) const;
  // The vertices' bounding box widened by the feather band, clipped to the canvas.
  Box box(const std::vector<double>& verts) const;
  // Outline and even-odd interior of the polygon as 255 bytes in a
  // box-sized buffer (row-major, box.w() x box.h()).
  void fillScanline(const std::vector<double>& verts, const Box& box,
                    std::vector<uint8_t>& scratch) const;
  // Contour alpha in [0, 1] for the box (box.w() x box.h() floats).
  void contourF32(const std::vector<double>& verts, const Box& box, std::vector<float>& out);
  // The same on a zeroed canvas x canvas float plane.
  void contourF32Canvas(const float* kp, float* out);
  // The pi mask clipped by the contour (canvas x canvas bytes).
  void deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out);
  // Clips an existing canvas byte mask inside `box`; true when a clipped
  // pixel stays non-zero.
  bool shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask);
  // pi mask and its shift against c_canon (x, y), then clipped by the contour.
  bool deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double* cCanon, uint8_t* out,
                           int& sy, int& sx);

 private:
  int n_ = 0;
  float feather_ = 0;
  int nv_ = 0;
  std::vector<double> u_;
  std::vector<int> lipIdx_;
  // Scratch reused across frames: the methods that touch it are not const.
  std::vector<double> verts_;
  std::vector<uint8_t> fill_;
  std::vector<float> dist_;
  std::vector<float> box_;
};

}  // namespace tessera
}  // namespace le
