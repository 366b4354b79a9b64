// The GridSampleFast operator of the "com.velmoor" domain, its kernel, and
// the load-time rewrite that puts it in place of the standard GridSample.
#pragma once

#include <cstddef>

#include "render/le_onnx_wire.h"

namespace Ort {
struct SessionOptions;
struct CustomOpDomain;
}  // namespace Ort

#include "le/le.h"  // LE_API

namespace le {

extern const char* const kVelmoorDomain;  // "com.velmoor"

// ---------------------------------------------------------------- operator

// The custom domain with GridSampleFast and WarpDirector, created on first
// use and shared by every session.
Ort::CustomOpDomain& velmoorDomain();
// Adds the domain to the options.
void registerGridSampleFast(Ort::SessionOptions& options);

// ---------------------------------------------------------------- kernel

// Bilinear, border, align_corners 0 sampling of an H x W grid from a C x H x W
// image; the grid holds H x W normalised (x, y) pairs.
void gridSampleFast(const float* X, const float* grid, float* Y, int C, int H, int W);
// Output rows [max(y0, 0), min(y1, H)), on the processor's best target.
// Targets with fused multiply-add compute each row's pixels up to its last
// multiple of 8 with fused operations and the rest by the scalar
// definition; the others use the scalar definition throughout.
void gridSampleFastBand(const float* X, const float* grid, float* Y, int C, int H, int W, int y0,
                        int y1);
// The scalar definition of the same band.
void gridSampleFastBandScalar(const float* X, const float* grid, float* Y, int C, int H, int W,
                              int y0, int y1);

// ---------------------------------------------------------------- rewrite

// Standard bilinear/border/align_corners 0 GridSample nodes -> GridSampleFast.
// Returns the count; 0 leaves the bytes unchanged.
LE_API size_t rewriteGridSampleToFast(onnx::Bytes& model);
bool graphHasBakedGridSampleFast(const onnx::Bytes& model);
// A standard GridSample node the kernel can replace.
bool isRewritableGridSample(onnx::Slice node);

}  // namespace le
