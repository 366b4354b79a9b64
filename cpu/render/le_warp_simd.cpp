// The WarpDirector kernel, compiled once per instruction-set target and
// dispatched at run time. Every target computes the scalar definition
// operation for operation, never fusing a multiply with an add, so all give
// the same bytes; a row's pixels past its last full vector take the scalar
// definition itself.

// Highway leaves AVX3_DL out unless asked; current server processors have it.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "render/le_warp.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/le_warp_simd.cpp"
#include <hwy/foreach_target.h>  // must precede highway.h
#include <hwy/highway.h>

#ifndef LE_WARP_SHARED
#define LE_WARP_SHARED
namespace le {
namespace {

// The taps of one axis: the clamped 4-sample window around the two bilinear
// taps (neighbour, tap 0, tap 1, neighbour), their weights, and the
// curvature weight e = u (1 - u) / 2 of the unclamped fractional offset.
struct Axis {
  int idx[4];
  float w0, w1, e;
};

inline Axis axisOf(float g, int size) {
  Axis a;
  const float i = ((g + 1.f) * float(size) - 1.f) * 0.5f;
  const float u = i - std::floor(i);
  a.e = u * (1.f - u) * 0.5f;
  // max(0, NaN) is 0: a NaN grid value samples the edge instead of
  // reaching an integer conversion.
  const float c = std::min(std::max(0.f, i), float(size - 1));
  const int t0 = int(c);
  const int t1 = std::min(t0 + 1, size - 1);
  a.w1 = c - float(t0);
  a.w0 = 1.f - a.w1;
  a.idx[0] = std::max(t0 - 1, 0);
  a.idx[1] = t0;
  a.idx[2] = t1;
  a.idx[3] = std::min(t1 + 1, size - 1);
  return a;
}

// One channel at one pixel. b is the 4 x 4 window (rows of ay, columns of
// ax); a tap whose weight is 0 may see a clamped neighbour there, which
// cannot change the result.
inline float warpPixel(const float b[4][4], const Axis& ax, const Axis& ay) {
  float dxx[4][2], dyy[2][2], dxy[2][2];
  for (int r = 0; r < 4; ++r)
    for (int k = 0; k < 2; ++k) dxx[r][k] = b[r][k] - 2.f * b[r][k + 1] + b[r][k + 2];
  for (int k = 0; k < 2; ++k)
    for (int j = 0; j < 2; ++j) {
      dyy[k][j] = b[k][j + 1] - 2.f * b[k + 1][j + 1] + b[k + 2][j + 1];
      dxy[k][j] = dxx[k][j] - 2.f * dxx[k + 1][j] + dxx[k + 2][j];
    }
  const float w00 = ax.w0 * ay.w0, w01 = ax.w1 * ay.w0, w10 = ax.w0 * ay.w1, w11 = ax.w1 * ay.w1;
  auto blend = [&](float a, float bb, float c, float d) {
    return w00 * a + w01 * bb + w10 * c + w11 * d;
  };
  const float bx = blend(b[1][1], b[1][2], b[2][1], b[2][2]);
  const float bxx = blend(dxx[1][0], dxx[1][1], dxx[2][0], dxx[2][1]);
  const float byy = blend(dyy[0][0], dyy[0][1], dyy[1][0], dyy[1][1]);
  const float bxy = blend(dxy[0][0], dxy[0][1], dxy[1][0], dxy[1][1]);
  return bx - ax.e * bxx - ay.e * byy + ax.e * ay.e * bxy;
}

// Every channel of output pixel x of row y; g is the row's grid.
inline void warpScalarPixel(const float* src, const float* g, float* out, int W, int H,
                            size_t plane, int y, int x) {
  const Axis ax = axisOf(g[2 * x], W), ay = axisOf(g[2 * x + 1], H);
  for (int c = 0; c < 3; ++c) {
    const float* p = src + c * plane;
    float b[4][4];
    for (int r = 0; r < 4; ++r) {
      const float* row = p + size_t(ay.idx[r]) * W;
      for (int k = 0; k < 4; ++k) b[r][k] = row[ax.idx[k]];
    }
    out[c * plane + size_t(y) * W + x] = warpPixel(b, ax, ay);
  }
}

}  // namespace
}  // namespace le
#endif  // LE_WARP_SHARED

HWY_BEFORE_NAMESPACE();
namespace le {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Vectors are held in arrays and structs, which sizeless (scalable) vector
// types cannot be; those targets, like the one-lane one, take the scalar
// definition.
#if HWY_TARGET != HWY_SCALAR && !HWY_HAVE_SCALABLE
#define LE_WARP_LANES 1
#else
#define LE_WARP_LANES 0
#endif

#if LE_WARP_LANES

// Axis, one pixel per lane.
template <class D>
struct AxisLanes {
  // A constructor of our own carries this target's attributes; the implicit
  // one does not, and some targets (NEON) then cannot inline the vectors'.
  HWY_INLINE AxisLanes() {}
  hn::Vec<hn::RebindToSigned<D>> idx[4];
  hn::Vec<D> w0, w1, e;
};

template <class D>
HWY_INLINE AxisLanes<D> AxisOf(D d, hn::Vec<D> g, int size) {
  const hn::RebindToSigned<D> di;
  const auto one = hn::Set(d, 1.f), half = hn::Set(d, 0.5f);
  const auto onei = hn::Set(di, 1), last = hn::Set(di, size - 1);
  AxisLanes<D> a;
  const auto i = hn::Mul(hn::Sub(hn::Mul(hn::Add(g, one), hn::Set(d, float(size))), one), half);
  const auto u = hn::Sub(i, hn::Floor(i));
  a.e = hn::Mul(hn::Mul(u, hn::Sub(one, u)), half);
  // Max(i, 0) gives 0 for NaN, as std::max(0.f, NaN) does.
  const auto c = hn::Min(hn::Max(i, hn::Zero(d)), hn::Set(d, float(size - 1)));
  const auto t0 = hn::ConvertTo(di, c);
  const auto t1 = hn::Min(hn::Add(t0, onei), last);
  a.w1 = hn::Sub(c, hn::ConvertTo(d, t0));
  a.w0 = hn::Sub(one, a.w1);
  a.idx[0] = hn::Max(hn::Sub(t0, onei), hn::Zero(di));
  a.idx[1] = t0;
  a.idx[2] = t1;
  a.idx[3] = hn::Min(hn::Add(t1, onei), last);
  return a;
}

// a - 2 b + c, in that order.
template <class V>
HWY_INLINE V Diff(V a, V b, V c) {
  return hn::Add(hn::Sub(a, hn::Mul(hn::Set(hn::DFromV<V>(), 2.f), b)), c);
}

template <class V>
HWY_INLINE V Blend(const V w[4], V a, V b, V c, V d) {
  return hn::Add(hn::Add(hn::Add(hn::Mul(w[0], a), hn::Mul(w[1], b)), hn::Mul(w[2], c)),
                 hn::Mul(w[3], d));
}

// Every channel of Lanes(d) output pixels from x on; g is the row's grid,
// row the row's offset in a plane.
template <class D>
HWY_INLINE void WarpLanes(D d, const float* src, const float* g, float* out, int W, int H,
                          size_t plane, size_t row, int x) {
  using V = hn::Vec<D>;
  const hn::RebindToSigned<D> di;
  V gx, gy;
  hn::LoadInterleaved2(d, g + 2 * x, gx, gy);
  const AxisLanes<D> ax = AxisOf(d, gx, W), ay = AxisOf(d, gy, H);
  hn::Vec<hn::RebindToSigned<D>> off[4][4];
  for (int r = 0; r < 4; ++r) {
    const auto rowOff = hn::Mul(ay.idx[r], hn::Set(di, W));
    for (int k = 0; k < 4; ++k) off[r][k] = hn::Add(rowOff, ax.idx[k]);
  }
  const V w[4] = {hn::Mul(ax.w0, ay.w0), hn::Mul(ax.w1, ay.w0), hn::Mul(ax.w0, ay.w1),
                  hn::Mul(ax.w1, ay.w1)};
  const V exy = hn::Mul(ax.e, ay.e);
  for (int ch = 0; ch < 3; ++ch) {
    const float* p = src + ch * plane;
    V b[4][4];
    for (int r = 0; r < 4; ++r)
      for (int k = 0; k < 4; ++k) b[r][k] = hn::GatherIndex(d, p, off[r][k]);
    V dxx[4][2], dyy[2][2], dxy[2][2];
    for (int r = 0; r < 4; ++r)
      for (int k = 0; k < 2; ++k) dxx[r][k] = Diff(b[r][k], b[r][k + 1], b[r][k + 2]);
    for (int k = 0; k < 2; ++k)
      for (int j = 0; j < 2; ++j) {
        dyy[k][j] = Diff(b[k][j + 1], b[k + 1][j + 1], b[k + 2][j + 1]);
        dxy[k][j] = Diff(dxx[k][j], dxx[k + 1][j], dxx[k + 2][j]);
      }
    const V bx = Blend(w, b[1][1], b[1][2], b[2][1], b[2][2]);
    const V bxx = Blend(w, dxx[1][0], dxx[1][1], dxx[2][0], dxx[2][1]);
    const V byy = Blend(w, dyy[0][0], dyy[0][1], dyy[1][0], dyy[1][1]);
    const V bxy = Blend(w, dxy[0][0], dxy[0][1], dxy[1][0], dxy[1][1]);
    const V v =
        hn::Add(hn::Sub(hn::Sub(bx, hn::Mul(ax.e, bxx)), hn::Mul(ay.e, byy)), hn::Mul(exy, bxy));
    hn::StoreU(v, d, out + ch * plane + row + x);
  }
}

#endif  // LE_WARP_LANES

// Rows [y0, y1), already within [0, H).
void WarpRows(const float* src, const float* grid, float* out, int W, int H, int y0, int y1) {
#if LE_WARP_LANES
  const size_t plane = size_t(W) * size_t(H);
  const hn::ScalableTag<float> d;
  const int N = int(hn::Lanes(d));
  for (int y = y0; y < y1; ++y) {
    const float* g = grid + size_t(y) * W * 2;
    int x = 0;
    for (; x + N <= W; x += N) WarpLanes(d, src, g, out, W, H, plane, size_t(y) * W, x);
    for (; x < W; ++x) warpScalarPixel(src, g, out, W, H, plane, y, x);
  }
#else
  warpDirectorBandScalar(src, grid, out, W, H, y0, y1);
#endif
}

#undef LE_WARP_LANES

}  // namespace HWY_NAMESPACE
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {

HWY_EXPORT(WarpRows);

void warpDirectorBandScalar(const float* src, const float* grid, float* out, int W, int H, int y0,
                            int y1) {
  y0 = std::max(y0, 0);
  y1 = std::min(y1, H);
  const size_t plane = size_t(W) * size_t(H);
  for (int y = y0; y < y1; ++y)
    for (int x = 0; x < W; ++x)
      warpScalarPixel(src, grid + size_t(y) * W * 2, out, W, H, plane, y, x);
}

void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int y0,
                      int y1) {
  y0 = std::max(y0, 0);
  y1 = std::min(y1, H);
  // 32-bit gather offsets cover one plane of up to 2^31 floats.
  if (size_t(W) * size_t(H) < (size_t(1) << 31))
    HWY_DYNAMIC_DISPATCH(WarpRows)(src, grid, out, W, H, y0, y1);
  else
    warpDirectorBandScalar(src, grid, out, W, H, y0, y1);
}

void warpDirector(const float* src, const float* grid, float* out, int W, int H) {
  warpDirectorBand(src, grid, out, W, H, 0, H);
}

}  // namespace le
#endif  // HWY_ONCE
