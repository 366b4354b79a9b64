// The director's warp: the WarpDirector operator of the "com.velmoor" domain
// that samples the source frame with curvature-corrected interpolation, its
// kernel, and the rewrite that puts it in place of the source cone,
// GridSample and recombination.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "render/le_onnx_wire.h"

struct OrtCustomOp;
namespace Ort {
struct SessionOptions;
}  // namespace Ort

#include "le/le.h"  // LE_API

namespace le {

// ---------------------------------------------------------------- operator

// The operator definition (created once); the domain holds it.
const OrtCustomOp* warpDirectorOp();
// Adds the "com.velmoor" domain (the same one as registerGridSampleFast).
void registerWarpDirector(Ort::SessionOptions& options);

// ---------------------------------------------------------------- kernel

// One 3-channel image: out[c][y][x] from src[c] at grid[y][x] (normalised
// x, y; align_corners 0, border), curvature-corrected.
void warpDirector(const float* src, const float* grid, float* out, int W, int H);
// Rows [max(y0, 0), min(y1, H)), on the processor's best target; every
// target gives the scalar definition's bytes.
void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int y0,
                      int y1);
// The scalar definition of the same band.
void warpDirectorBandScalar(const float* src, const float* grid, float* out, int W, int H, int y0,
                            int y1);

// ---------------------------------------------------------------- warp block

struct WarpBlock {
  size_t gridSample = 0;       // node index of the GridSample on the cone's tip
  bool fast = false;           // it is already a GridSampleFast
  std::string grid;            // its grid input
  std::string exit;            // the recombination's one value read outside the block
  std::vector<uint8_t> nodes;  // per node in graph order: part of the block
};

// Count of block nodes, or 0 with a reason.
size_t findWarpBlock(const onnx::Bytes& model, WarpBlock* block, std::string& reason);
// Number of nodes removed (the bytes are replaced), or 0 with a reason.
LE_API size_t rewriteWarpBlockToCustomOp(onnx::Bytes& model, std::string& reason);

}  // namespace le
