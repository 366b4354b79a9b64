// The paste compositor's row kernel, run-time dispatched. Every target gives
// the bytes of the scalar definition below.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le {
namespace simd {

// What one frame row of the Lanczos paste reads. Positions are in 1/1024
// crop pixel; the phase of a position p is (p >> 5) & 31.
struct PasteRowInput {
  const float* interleaved;  // side x side pixels of (R, G, B, 0), values in [0, 255]
  const uint8_t* mask;       // side x side bytes
  int side;
  const float* lanczosTab;   // 32 x 8 taps for offsets -3 .. +4
  const float* lanczosTab4;  // 32 x 32: the same taps, each repeated for 4 lanes
  const float* bilinearTab;  // 32 x 2
};

// Pastes frame pixels x0 .. x1 of one row (frameRow is the row's first
// byte, RGB). Pixel X reads u = rowU + colU[X - x0], v = rowV + colV[X - x0]
// and is skipped unless u >= -1024, v >= -1024, (u >> 10) < side and
// (v >> 10) < side. With ix = u >> 10, iy = v >> 10, wx/wy the Lanczos taps
// and bx/by the bilinear weights of the two phases:
//   a = by0 (bx0 m[iy][ix] + bx1 m[iy][ix+1]) + by1 (bx0 m[iy+1][ix] + bx1 m[iy+1][ix+1])
//   alpha = rint(a) / 255, mask samples outside the crop 0; skip if alpha <= 0;
//   per channel, P[k][j] the pixel at row iy - 3 + k, column ix - 3 + j
//   (0 outside the crop), for b = 0 .. 3 and k accumulated from 0 to 7:
//     V_b = sum_k wy[k] (wx[b] P[k][b] + wx[b+4] P[k][b+4])
//   sample = (V_0 + V_2) + (V_1 + V_3)
//   out = (1 - alpha) frame + alpha sample, clamped to [0, 255], truncated.
// This grouping lets one vector hold 1, 2 or 4 pixels of a row while every
// lane keeps the same operations in the same order.
void pasteLanczos8Row(const PasteRowInput& in, const int* colU, const int* colV, int rowU, int rowV,
                      int x0, int x1, uint8_t* frameRow);

// The faster, softer rows: same positions, skip test, alpha and blend as
// pasteLanczos8Row, but the sample is read from the three planes with taps
// = 4 (cubic, rows and columns -1 .. +2, weights tab = 32 x 4) or taps = 2
// (bilinear, 0 .. +1, tab = 32 x 2); per channel, taps outside the crop 0:
//   sample = sum over k (from 0) of wy[k] (sum over j (from 0) of wx[j] P[k][j])
// Plain scalar code, the same on every processor.
void pasteSmallRow(const PasteRowInput& in, const float* const planes[3], const float* tab,
                   int taps, const int* colU, const int* colV, int rowU, int rowV, int x0, int x1,
                   uint8_t* frameRow);

// The unsharp mask's passes, the same floats on every target as the plain
// loops they describe (no fused multiply-add, taps accumulated from 0 in
// order j = 0, 1, ...):
// out[i] = sum_j g[j] in[i + j] for i in [0, n).
void pasteBlurH(const float* in, float* out, size_t n, const float* g, int taps);
// For x in [0, n): blur = sum_j g[j] rows[j][x];
// dst[x] = clamp255(keep (scale src[x]) - amount blur), NaN to 0. src may be dst.
void pasteSharpenRow(const float* const* rows, const float* g, int taps, float keep, float amount,
                     const float* src, float scale, float* dst, size_t n);
// dst[i] = scale * src[i] for i in [0, n).
void pasteScaleRow(const float* src, float scale, float* dst, size_t n);
// out[4 i .. 4 i + 3] = (r[i], g[i], b[i], 0) for i in [0, n).
void pasteInterleave(const float* r, const float* g, const float* b, float* out, size_t n);

namespace detail {
// Highway's name of the target the row kernel runs now (for tests).
const char* pasteRowTarget();
// The row kernel's 8 x 8 sample on its own, so that tests can compare the
// floats before the blend truncates them: rows base + k * stride (k = 0 .. 7)
// of 8 pixels of 4 floats, column taps w4 (one phase of lanczosTab4), row
// taps wy; out receives 4 floats.
void pasteSample8x8(const float* base, size_t stride, const float* w4, const float* wy, float* out);
}  // namespace detail

}  // namespace simd
}  // namespace le
