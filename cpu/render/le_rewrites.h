// The director's other load-time edits: binding an engine-supplied lip mask
// to the compose alpha, replacing the head's cubic x2 Resize, and the
// student blend's MatMul as a Gemm.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "render/le_onnx_wire.h"

#include "le/le.h"  // LE_API

namespace le {

// ---------------------------------------------------------------- lip contour

extern const char* const kLipInputName;   // "lip_delivery"
extern const char* const kLipMinName;     // "tessera_lipdel_min"
extern const char* const kLipShrunkName;  // "tessera_lipdel_alpha"

// Clips the compose alpha with the new input "lip_delivery" [batch, 1, C, C].
// 1 when bound (the bytes are replaced; canvas C and batch reported), else
// 0 with a reason.
LE_API int rewriteBindLipContour(onnx::Bytes& model, std::string& reason, int& canvas, int& batch);

// ---------------------------------------------------------------- head resize

// The one cubic half-pixel x2 Resize -> Pad(edge, 2) + depthwise 5x5 Conv +
// DepthToSpace(2, CRD). Returns the number of nodes replaced (0 or 1).
LE_API size_t rewriteHeadCubicResize(onnx::Bytes& model);
// Cubic-convolution taps for fractional offset t and coefficient a,
// normalised to sum 1.
void cubicTaps(float t, float a, float taps[4]);

// The attributes of a Resize node that decide whether it is the head's.
struct ResizeAttrs {
  std::string mode;
  std::string coordinateTransformationMode;
  bool hasCubicCoeffA = false;
  float cubicCoeffA = -0.75f;
  int64_t excludeOutside = 0;
  int64_t antialias = 0;
  std::string keepAspectRatioPolicy;
  bool hasAxes = false;
};
ResizeAttrs readResizeAttrs(onnx::Slice node);

// ---------------------------------------------------------------- student blend

// The 2-input MatMul "/s2/blend" -> Gemm. Returns the count.
LE_API size_t normaliseStudentBlend(onnx::Bytes& model);
bool isStudentBlendMatMul(onnx::Slice node);

}  // namespace le
