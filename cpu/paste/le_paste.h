// The paste compositor: sharpens a rendered face crop and blends it into a
// full RGB frame through the inverse of the crop-to-frame transform.
#pragma once

#include <cstdint>
#include <vector>

#include "bundle/le_bundle.h"
#include "le/le.h"  // LE_API

namespace le {

// Built once per context, called once per frame. Not re-entrant: the planes
// and tables are working storage that every composite overwrites.
//
// Environment, read at construction:
//   LE_PASTE_FAST   1: 4 x 4 cubic, 2: 2 x 2 bilinear sampling; anything
//                   else the 8 x 8 Lanczos path.
//   LE_PASTE_KSIZE  a smaller odd unsharp kernel (> 2, <= the bundle's).
class LE_API Paste {
 public:
  // mask: side x side bytes, 0 keeps the frame, 255 takes the crop.
  // Throws std::runtime_error "paste: mask size" or "paste: ksize must be
  // odd"; also "paste: side must be positive" and "paste: ksize must be
  // positive", which would otherwise size the working planes negatively.
  Paste(std::vector<uint8_t> mask, int side, Unsharp unsharp);

  // crop: side x side x 3 floats, channel-major, values in [0, 1]; scale
  // takes them to 8-bit range (255). M maps crop (x, y) to frame
  // (m0 x + m1 y + m2, m3 x + m4 y + m5); frame is W x H RGB bytes, changed
  // in place. A singular or non-finite M, or a footprint that misses the
  // frame, leaves the frame as it is. Throws "paste: side > 1024".
  void composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H);

  // planes[c][i] = scale * crop[c * side * side + i].
  void fillPlanes(const float* crop, float scale);
  // Unsharp mask in place: (amount + 1) p - amount blur(p), clamped to
  // [0, 255]; the blur reflects the plane at its edges.
  void unsharpPlane(std::vector<float>& plane);
  // The per-pixel pass over frame rows y0 .. y1, columns x0 .. x1, with the
  // column terms colU/colV that composite prepared.
  void compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, double i01, double i11,
                     double i02, double i12, int y1);

  int side;
  int ksize;
  int padSide;
  float amount;
  int fastMode;
  std::vector<uint8_t> mask;
  std::vector<float> gauss;
  std::vector<float> lanczosTab;   // 32 phases x 8 taps
  std::vector<float> bilinearTab;  // 32 x 2
  std::vector<float> bicubicTab;   // 32 x 4
  std::vector<float> planes[3];
  std::vector<float> padded;
  std::vector<float> blurRows;
  std::vector<float> interleaved;  // (R, G, B, 0) per crop pixel
  std::vector<int> colU, colV;
  std::vector<float> lanczosTab4;  // lanczosTab with each tap repeated 4 times

 private:
  // Column terms before narrowing, kept for transforms whose fixed-point
  // positions do not fit 32 bits (wideCols_ set).
  std::vector<double> colUd_, colVd_;
  bool wideCols_ = false;
  // fillPlanes and unsharpPlane on all three planes in one pass over the
  // crop, with the same floats; also fills interleaved within window
  // (x0, y0, x1, y1, crop pixels) when given.
  void sharpenCrop(const float* crop, float scale, const int* window);
  // The smallest box (x0, y0, x1, y1) holding every non-zero mask byte;
  // false for a mask of zeros.
  bool maskBox(int box[4]) const;
  // interleaved already holds the planes of this composite where the
  // Lanczos pass reads them.
  bool interleavedFresh_ = false;
};

}  // namespace le
