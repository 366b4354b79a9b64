// The director's warp: the WarpDirector operator that samples the source
// frame with curvature-corrected interpolation, the rewrite that puts it in
// place of the source cone, GridSample and recombination, and the cut of the
// model at the cone's boundary for hoisting the cone out of the per-frame
// graph. Also the other two load-time edits of the director: binding an
// engine-supplied lip mask to the compose alpha, and replacing the head's
// cubic x2 Resize.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "render/gridsample_fast.h"

namespace le {

// ---------------------------------------------------------------- operator

// One 3-channel image: out[c][y][x] from src[c] at grid[y][x] (normalised
// x, y; align_corners 0, border), curvature-corrected.
void warpDirector(const float* src, const float* grid, float* out, int W, int H);
// Rows [max(y0, 0), min(y1, H)).
void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int y0,
                      int y1);
// The operator definition (created once); the domain holds it.
const OrtCustomOp* warpDirectorOp();
// Adds the "com.velmoor" domain (the same one as registerGridSampleFast).
void registerWarpDirector(Ort::SessionOptions& options);

// ---------------------------------------------------------------- warp block

struct WarpBlock {
  size_t gridSample = 0;       // node index of the GridSample on the cone's tip
  bool fast = false;           // it is already a GridSampleFast
  std::string grid;            // its grid input
  std::string exit;            // the recombination's one value read outside the block
  std::vector<uint8_t> nodes;  // per node in graph order: part of the block
};

// Count of block nodes, or 0 with a reason.
size_t findWarpBlock(const GsBytes& model, WarpBlock* block, std::string& reason);
// Number of nodes removed (the bytes are replaced), or 0 with a reason.
size_t rewriteWarpBlockToCustomOp(GsBytes& model, std::string& reason);

// ---------------------------------------------------------------- source cone

// Number of Concat nodes reading P_rgb; when 1, `name` is that Concat's output.
int findSourceConeBoundary(const GsBytes& model, std::string& name);
// P_rgb -> boundary.
bool buildSourceConePrep(const GsBytes& model, const std::string& boundary, GsBytes& prep,
                         std::string& reason);
// The model without the cone, the boundary an input of the given dims.
bool buildSourceConePerFrame(const GsBytes& model, const std::string& boundary, const int64_t* dims,
                             int rank, GsBytes& perFrame, std::string& reason);

// ---------------------------------------------------------------- lip contour

extern const char* const kLipInputName;   // "lip_delivery"
extern const char* const kLipMinName;     // "tessera_lipdel_min"
extern const char* const kLipShrunkName;  // "tessera_lipdel_alpha"

// Clips the compose alpha with the new input "lip_delivery" [batch, 1, C, C].
// 1 when bound (the bytes are replaced; canvas C and batch reported), else
// 0 with a reason.
int rewriteBindLipContour(GsBytes& model, std::string& reason, int& canvas, int& batch);

// ---------------------------------------------------------------- head resize

// The one cubic half-pixel x2 Resize -> Pad(edge, 2) + depthwise 5x5 Conv +
// DepthToSpace(2, CRD). Returns the number of nodes replaced (0 or 1).
size_t rewriteHeadCubicResize(GsBytes& model);
// Cubic-convolution taps for fractional offset t and coefficient a,
// normalised to sum 1.
void hcTaps(float t, float a, float taps[4]);

struct HcAttrs {
  std::string mode;
  std::string coordinateTransformationMode;
  bool hasCubicCoeffA = false;
  float cubicCoeffA = -0.75f;
  int64_t excludeOutside = 0;
  int64_t antialias = 0;
  std::string keepAspectRatioPolicy;
  bool hasAxes = false;
};
HcAttrs hcReadAttrs(GsSlice node);

}  // namespace le
