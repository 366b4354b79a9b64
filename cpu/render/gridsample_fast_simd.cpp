// The GridSampleFast kernel, compiled once per instruction-set target and
// dispatched at run time.
//
// The scalar definition rounds every product and sum. Its vector form, on
// targets with fused multiply-add, fuses the coordinate's scale and offset
// and the weighted sum of the four taps, and does so for each row's pixels
// up to its last multiple of 8, leaving the rest to the scalar definition:
// every such target gives the same bytes, and the others give the scalar
// definition's.

// Highway leaves AVX3_DL out unless asked; current server processors have it.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "render/gridsample_fast.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/gridsample_fast_simd.cpp"
#include <hwy/foreach_target.h>  // must precede highway.h
#include <hwy/highway.h>

#ifndef LE_GRIDSAMPLE_FAST_SHARED
#define LE_GRIDSAMPLE_FAST_SHARED
namespace le {
namespace {

// Unnormalised coordinates beyond [-1, size] clamp both taps to the same
// edge pixel whatever the weights, so limiting them there changes nothing
// and keeps huge grid values from reaching an integer conversion.
inline float limitCoord(float v, int size) {
  return std::min(std::max(v, -1.f), float(size));
}

// Every channel of output pixel x of a row by the scalar definition; g is
// the row's grid, o the pixel's offset in a plane.
inline void samplePixel(const float* X, const float* g, float* Y, int C, int H, int W, size_t plane,
                        size_t o, int x) {
  const float ix = limitCoord((g[2 * x] + 1.f) * float(W) / 2.f - 0.5f, W);
  const float iy = limitCoord((g[2 * x + 1] + 1.f) * float(H) / 2.f - 0.5f, H);
  const float fx0 = std::floor(ix), fy0 = std::floor(iy);
  const float fx = ix - fx0, fy = iy - fy0;
  const int x0 = int(fx0), yy0 = int(fy0);
  const int xa = std::clamp(x0, 0, W - 1), xb = std::clamp(x0 + 1, 0, W - 1);
  const int ya = std::clamp(yy0, 0, H - 1), yb = std::clamp(yy0 + 1, 0, H - 1);
  const float w00 = (1.f - fx) * (1.f - fy), w01 = fx * (1.f - fy);
  const float w10 = (1.f - fx) * fy, w11 = fx * fy;
  const size_t a = size_t(ya) * W + xa, b = size_t(ya) * W + xb;
  const size_t c = size_t(yb) * W + xa, d = size_t(yb) * W + xb;
  for (int ch = 0; ch < C; ++ch) {
    const float* p = X + ch * plane;
    Y[ch * plane + o] = w00 * p[a] + w01 * p[b] + w10 * p[c] + w11 * p[d];
  }
}

}  // namespace
}  // namespace le
#endif  // LE_GRIDSAMPLE_FAST_SHARED

HWY_BEFORE_NAMESPACE();
namespace le {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_NATIVE_FMA

// Every channel of Lanes(d) output pixels from x on; g is the row's grid,
// row the row's offset in a plane.
template <class D>
HWY_INLINE void SampleLanes(D d, const float* X, const float* g, float* Y, int C, int H, int W,
                            size_t plane, size_t row, int x) {
  using V = hn::Vec<D>;
  const hn::RebindToSigned<D> di;
  const V one = hn::Set(d, 1.f), half = hn::Set(d, 0.5f);
  const auto zero = hn::Zero(di), onei = hn::Set(di, 1);
  V gx, gy;
  hn::LoadInterleaved2(d, g + 2 * x, gx, gy);
  // Max(v, lo) yields lo for NaN, so no NaN reaches the integer conversion.
  const V ix = hn::Min(
      hn::Max(hn::MulSub(hn::Add(gx, one), hn::Set(d, float(W) * 0.5f), half), hn::Set(d, -1.f)),
      hn::Set(d, float(W)));
  const V iy = hn::Min(
      hn::Max(hn::MulSub(hn::Add(gy, one), hn::Set(d, float(H) * 0.5f), half), hn::Set(d, -1.f)),
      hn::Set(d, float(H)));
  const V fx0 = hn::Floor(ix), fy0 = hn::Floor(iy);
  const V fx = hn::Sub(ix, fx0), fy = hn::Sub(iy, fy0);
  const auto x0 = hn::ConvertTo(di, fx0), yy0 = hn::ConvertTo(di, fy0);
  const auto maxX = hn::Set(di, W - 1), maxY = hn::Set(di, H - 1), width = hn::Set(di, W);
  const auto xa = hn::Min(hn::Max(x0, zero), maxX);
  const auto xb = hn::Min(hn::Max(hn::Add(x0, onei), zero), maxX);
  const auto ya = hn::Mul(hn::Min(hn::Max(yy0, zero), maxY), width);
  const auto yb = hn::Mul(hn::Min(hn::Max(hn::Add(yy0, onei), zero), maxY), width);
  const auto a = hn::Add(ya, xa), b = hn::Add(ya, xb);
  const auto c = hn::Add(yb, xa), dd = hn::Add(yb, xb);
  const V gxw = hn::Sub(one, fx), gyw = hn::Sub(one, fy);
  const V w00 = hn::Mul(gxw, gyw), w01 = hn::Mul(fx, gyw);
  const V w10 = hn::Mul(gxw, fy), w11 = hn::Mul(fx, fy);
  for (int ch = 0; ch < C; ++ch) {
    const float* p = X + ch * plane;
    V v = hn::Mul(w00, hn::GatherIndex(d, p, a));
    v = hn::MulAdd(w01, hn::GatherIndex(d, p, b), v);
    v = hn::MulAdd(w10, hn::GatherIndex(d, p, c), v);
    v = hn::MulAdd(w11, hn::GatherIndex(d, p, dd), v);
    hn::StoreU(v, d, Y + ch * plane + row + x);
  }
}

#endif  // HWY_NATIVE_FMA

// Rows [y0, y1), already within [0, H).
void GridSampleRows(const float* X, const float* grid, float* Y, int C, int H, int W, int y0,
                    int y1) {
#if HWY_NATIVE_FMA
  const size_t plane = size_t(H) * size_t(W);
  const hn::ScalableTag<float> d;
  const hn::CappedTag<float, 8> d8;
  const int fused = W - W % 8;
  for (int y = y0; y < y1; ++y) {
    const float* g = grid + size_t(y) * W * 2;
    const size_t row = size_t(y) * W;
    int x = 0;
    for (; x + int(hn::Lanes(d)) <= fused; x += int(hn::Lanes(d)))
      SampleLanes(d, X, g, Y, C, H, W, plane, row, x);
    for (; x + int(hn::Lanes(d8)) <= fused; x += int(hn::Lanes(d8)))
      SampleLanes(d8, X, g, Y, C, H, W, plane, row, x);
    for (; x < W; ++x) samplePixel(X, g, Y, C, H, W, plane, row + x, x);
  }
#else
  gridSampleFastBandScalar(X, grid, Y, C, H, W, y0, y1);
#endif
}

}  // namespace HWY_NAMESPACE
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {

HWY_EXPORT(GridSampleRows);

void gridSampleFastBandScalar(const float* X, const float* grid, float* Y, int C, int H, int W,
                              int y0, int y1) {
  y0 = std::max(y0, 0);
  y1 = std::min(y1, H);
  const size_t plane = size_t(H) * size_t(W);
  for (int y = y0; y < y1; ++y) {
    const float* g = grid + size_t(y) * W * 2;
    for (int x = 0; x < W; ++x) samplePixel(X, g, Y, C, H, W, plane, size_t(y) * W + x, x);
  }
}

void gridSampleFastBand(const float* X, const float* grid, float* Y, int C, int H, int W, int y0,
                        int y1) {
  y0 = std::max(y0, 0);
  y1 = std::min(y1, H);
  // 32-bit gather offsets cover one plane of up to 2^31 floats.
  if (size_t(H) * size_t(W) < (size_t(1) << 31))
    HWY_DYNAMIC_DISPATCH(GridSampleRows)(X, grid, Y, C, H, W, y0, y1);
  else
    gridSampleFastBandScalar(X, grid, Y, C, H, W, y0, y1);
}

}  // namespace le
#endif  // HWY_ONCE
