// The Lanczos paste row, one pass per target. A pixel's 8 x 8 sample keeps
// the grouping documented in the header on every target: 128-bit targets
// hold one 4-float pixel per vector, AVX2 two and AVX-512 four, and in each
// case lane block b accumulates exactly V_b. Pixels whose taps reach past
// the crop copy their taps into a zero-filled 8 x 8 patch first and then run
// the same vector code, so border and interior never differ in arithmetic.

#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "paste/le_paste_simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "paste/le_paste_simd.cpp"
#include <hwy/foreach_target.h>  // must precede highway.h
#include <hwy/highway.h>

#ifndef LE_PASTE_SIMD_SHARED
#define LE_PASTE_SIMD_SHARED
namespace le {
namespace simd {
namespace {

// Mask alpha at (ix + fx / 32, iy + fy / 32); ix and iy are at least -1.
inline float maskAlpha(const uint8_t* mask, int side, int ix, int iy, const float* bx,
                       const float* by) {
  auto at = [&](int x, int y) -> float {
    return (x >= 0 && x < side && y >= 0 && y < side) ? float(mask[size_t(y) * side + x]) : 0.f;
  };
  const float top = bx[0] * at(ix, iy) + bx[1] * at(ix + 1, iy);
  const float bot = bx[0] * at(ix, iy + 1) + bx[1] * at(ix + 1, iy + 1);
  const float a = by[0] * top + by[1] * bot;
  return std::nearbyint(a) / 255.f;
}

// maskAlpha where the four mask samples are all 0 (alpha 0) or all 255
// (alpha exactly 1: the bilinear weights are multiples of 1/32 that sum to
// 1, so every product and sum is exact); -1 where the arithmetic is needed.
inline float maskAlphaShortcut(const uint8_t* mask, int side, int ix, int iy) {
  if (ix < 0 || iy < 0 || ix + 1 >= side || iy + 1 >= side) return -1.f;
  const uint8_t* m = mask + size_t(iy) * side + ix;
  const unsigned a = m[0], b = m[1], c = m[side], d = m[side + 1];
  if ((a | b | c | d) == 0) return 0.f;
  if ((a & b & c & d) == 255) return 1.f;
  return -1.f;
}

// Clamp to [0, 255]; NaN goes to 0 so the byte conversion stays defined.
inline float clamp255(float v) {
  v = v > 0.f ? v : 0.f;
  return v < 255.f ? v : 255.f;
}

inline void blendPixel(uint8_t* px, float alpha, const float* s) {
  const float keep = 1.f - alpha;
  for (int c = 0; c < 3; ++c) {
    px[c] = uint8_t(clamp255(keep * float(px[c]) + alpha * s[c]));
  }
}

// Copies the 8 x 8 taps around (ix, iy) into patch (8 rows of 8 pixels,
// 32 floats a row), leaving taps outside the crop at 0.
inline void gatherPatch(const float* interleaved, int side, int ix, int iy, float* patch) {
  std::memset(patch, 0, 8 * 32 * sizeof(float));
  for (int k = 0; k < 8; ++k) {
    const int y = iy - 3 + k;
    if (y < 0 || y >= side) continue;
    const int xa = ix - 3 < 0 ? 0 : ix - 3;
    const int xb = ix + 4 < side ? ix + 4 : side - 1;
    if (xa > xb) continue;
    std::memcpy(patch + k * 32 + (xa - (ix - 3)) * 4, interleaved + (size_t(y) * side + xa) * 4,
                size_t(xb - xa + 1) * 4 * sizeof(float));
  }
}

}  // namespace
}  // namespace simd
}  // namespace le
#endif

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The 8 x 8 sample of rows base, base + stride, ... (8 pixels of 4 floats
// each); w4 holds the column taps repeated per lane, wy the row taps.
HWY_INLINE void Sample8x8(const float* base, size_t stride, const float* HWY_RESTRICT w4,
                          const float* HWY_RESTRICT wy, float* HWY_RESTRICT out) {
#if HWY_TARGET == HWY_SCALAR
  for (int c = 0; c < 4; ++c) {
    float v[4];
    for (int b = 0; b < 4; ++b) {
      const float wa = w4[4 * b], wb = w4[4 * (b + 4)];
      float acc = wy[0] * (wa * base[4 * b + c] + wb * base[4 * (b + 4) + c]);
      for (int k = 1; k < 8; ++k) {
        const float* r = base + k * stride;
        acc = acc + wy[k] * (wa * r[4 * b + c] + wb * r[4 * (b + 4) + c]);
      }
      v[b] = acc;
    }
    out[c] = (v[0] + v[2]) + (v[1] + v[3]);
  }
#elif HWY_MAX_BYTES >= 64
  // Four pixels a vector: blocks b of the two halves of a row pair up b and b + 4.
  const hn::Full512<float> d;
  const hn::Full256<float> dh;
  const hn::Full128<float> dq;
  const auto w0 = hn::LoadU(d, w4), w1 = hn::LoadU(d, w4 + 16);
  auto acc = hn::Mul(hn::Set(d, wy[0]), hn::Add(hn::Mul(hn::LoadU(d, base), w0),
                                                hn::Mul(hn::LoadU(d, base + 16), w1)));
  for (int k = 1; k < 8; ++k) {
    const float* r = base + k * stride;
    const auto t = hn::Add(hn::Mul(hn::LoadU(d, r), w0), hn::Mul(hn::LoadU(d, r + 16), w1));
    acc = hn::Add(acc, hn::Mul(hn::Set(d, wy[k]), t));
  }
  const auto h = hn::Add(hn::LowerHalf(dh, acc), hn::UpperHalf(dh, acc));
  hn::StoreU(hn::Add(hn::LowerHalf(dq, h), hn::UpperHalf(dq, h)), dq, out);
#elif HWY_MAX_BYTES >= 32
  // Two pixels a vector: pixels (0, 1) pair with (4, 5) and (2, 3) with (6, 7).
  const hn::Full256<float> d;
  const hn::Full128<float> dq;
  const auto w01 = hn::LoadU(d, w4), w23 = hn::LoadU(d, w4 + 8);
  const auto w45 = hn::LoadU(d, w4 + 16), w67 = hn::LoadU(d, w4 + 24);
  const auto wk0 = hn::Set(d, wy[0]);
  auto a0 = hn::Mul(
      wk0, hn::Add(hn::Mul(hn::LoadU(d, base), w01), hn::Mul(hn::LoadU(d, base + 16), w45)));
  auto a1 = hn::Mul(
      wk0, hn::Add(hn::Mul(hn::LoadU(d, base + 8), w23), hn::Mul(hn::LoadU(d, base + 24), w67)));
  for (int k = 1; k < 8; ++k) {
    const float* r = base + k * stride;
    const auto wk = hn::Set(d, wy[k]);
    a0 = hn::Add(a0, hn::Mul(wk, hn::Add(hn::Mul(hn::LoadU(d, r), w01),
                                         hn::Mul(hn::LoadU(d, r + 16), w45))));
    a1 = hn::Add(a1, hn::Mul(wk, hn::Add(hn::Mul(hn::LoadU(d, r + 8), w23),
                                         hn::Mul(hn::LoadU(d, r + 24), w67))));
  }
  const auto h = hn::Add(a0, a1);
  hn::StoreU(hn::Add(hn::LowerHalf(dq, h), hn::UpperHalf(dq, h)), dq, out);
#else
  // One pixel a vector, one accumulator per V_b.
  const hn::Full128<float> d;
  hn::Vec<decltype(d)> w[8];
  for (int j = 0; j < 8; ++j) w[j] = hn::LoadU(d, w4 + 4 * j);
  hn::Vec<decltype(d)> acc[4];
  for (int b = 0; b < 4; ++b) {
    acc[b] =
        hn::Mul(hn::Set(d, wy[0]), hn::Add(hn::Mul(hn::LoadU(d, base + 4 * b), w[b]),
                                           hn::Mul(hn::LoadU(d, base + 4 * (b + 4)), w[b + 4])));
  }
  for (int k = 1; k < 8; ++k) {
    const float* r = base + k * stride;
    const auto wk = hn::Set(d, wy[k]);
    for (int b = 0; b < 4; ++b) {
      acc[b] =
          hn::Add(acc[b], hn::Mul(wk, hn::Add(hn::Mul(hn::LoadU(d, r + 4 * b), w[b]),
                                              hn::Mul(hn::LoadU(d, r + 4 * (b + 4)), w[b + 4]))));
    }
  }
  hn::StoreU(hn::Add(hn::Add(acc[0], acc[2]), hn::Add(acc[1], acc[3])), d, out);
#endif
}

// Pixels whose samples one call computes side by side: independent
// accumulator chains keep the vector units busy where a single pixel's
// chain of eight dependent additions would leave them waiting.
#if HWY_TARGET == HWY_SCALAR
constexpr int kGroup = 1;
#elif HWY_MAX_BYTES >= 64
constexpr int kGroup = 4;
#else
constexpr int kGroup = 2;
#endif

// Sample8x8 for kGroup pixels at once; per pixel the very same operations
// in the same order, so every pixel's floats equal Sample8x8's.
HWY_INLINE void SampleGroup(const float* const* base, size_t stride, const float* const* w4,
                            const float* const* wy, float* const* out) {
#if HWY_TARGET == HWY_SCALAR
  Sample8x8(base[0], stride, w4[0], wy[0], out[0]);
#elif HWY_MAX_BYTES >= 64
  const hn::Full512<float> d;
  const hn::Full256<float> dh;
  const hn::Full128<float> dq;
  hn::Vec<decltype(d)> w0[kGroup], w1[kGroup], acc[kGroup];
  for (int p = 0; p < kGroup; ++p) {
    w0[p] = hn::LoadU(d, w4[p]);
    w1[p] = hn::LoadU(d, w4[p] + 16);
    acc[p] = hn::Mul(hn::Set(d, wy[p][0]), hn::Add(hn::Mul(hn::LoadU(d, base[p]), w0[p]),
                                                   hn::Mul(hn::LoadU(d, base[p] + 16), w1[p])));
  }
  for (int k = 1; k < 8; ++k) {
    for (int p = 0; p < kGroup; ++p) {
      const float* r = base[p] + k * stride;
      const auto t = hn::Add(hn::Mul(hn::LoadU(d, r), w0[p]), hn::Mul(hn::LoadU(d, r + 16), w1[p]));
      acc[p] = hn::Add(acc[p], hn::Mul(hn::Set(d, wy[p][k]), t));
    }
  }
  for (int p = 0; p < kGroup; ++p) {
    const auto h = hn::Add(hn::LowerHalf(dh, acc[p]), hn::UpperHalf(dh, acc[p]));
    hn::StoreU(hn::Add(hn::LowerHalf(dq, h), hn::UpperHalf(dq, h)), dq, out[p]);
  }
#else
  for (int p = 0; p < kGroup; ++p) Sample8x8(base[p], stride, w4[p], wy[p], out[p]);
#endif
}

// blendPixel for the n pixels at columns xs (ascending, at most x1), one
// vector per pixel: the same operations per channel, a fourth lane spare.
HWY_INLINE void BlendPixels(uint8_t* frameRow, const int* xs, const float* alphas,
                            const float* samples, int n, int x1) {
#if HWY_TARGET == HWY_SCALAR
  (void)x1;
  for (int i = 0; i < n; ++i) blendPixel(frameRow + size_t(xs[i]) * 3, alphas[i], samples + 4 * i);
#else
  const hn::Full128<float> df;
  const hn::Full128<int32_t> di;
  const hn::Simd<uint8_t, 4, 0> d8;
  const auto zero = hn::Zero(df), top = hn::Set(df, 255.f);
  HWY_ALIGN int32_t out[4];
  for (int i = 0; i < n; ++i) {
    uint8_t* px = frameRow + size_t(xs[i]) * 3;
    if (xs[i] == x1) {  // reading four bytes would pass the last pixel of the row
      blendPixel(px, alphas[i], samples + 4 * i);
      continue;
    }
    const auto frame = hn::ConvertTo(df, hn::PromoteTo(di, hn::LoadU(d8, px)));
    const auto keep = hn::Set(df, 1.f - alphas[i]);
    auto v = hn::Add(hn::Mul(keep, frame),
                     hn::Mul(hn::Set(df, alphas[i]), hn::LoadU(df, samples + 4 * i)));
    v = hn::IfThenElseZero(hn::Gt(v, zero), v);  // NaN goes to 0 as well
    v = hn::IfThenElse(hn::Lt(v, top), v, top);
    hn::Store(hn::ConvertTo(di, v), di, out);  // truncates, as the byte conversion does
    px[0] = uint8_t(out[0]);
    px[1] = uint8_t(out[1]);
    px[2] = uint8_t(out[2]);
  }
#endif
}

void PasteLanczos8Row(const PasteRowInput& in, const int* colU, const int* colV, int rowU, int rowV,
                      int x0, int x1, uint8_t* frameRow) {
  const int side = in.side;
  const size_t stride = size_t(side) * 4;
  // A row goes in chunks of columns: first the positions, skip tests and
  // alphas, then the interior samples kGroup at a time, then the blends.
  constexpr int kChunk = 128;
  HWY_ALIGN float patch[8 * 32];
  HWY_ALIGN float samples[(kChunk + kGroup) * 4];
  const float* base[kChunk + kGroup];
  const float* w4[kChunk + kGroup];
  const float* wy[kChunk + kGroup];
  float* dst[kChunk + kGroup];  // where each interior pixel's sample goes
  float alphas[kChunk];
  int xs[kChunk];
  for (int c0 = x0; c0 <= x1; c0 += kChunk) {
    const int c1 = c0 + kChunk - 1 < x1 ? c0 + kChunk - 1 : x1;
    int n = 0, m = 0;
    for (int X = c0; X <= c1; ++X) {
      const int u = rowU + colU[X - x0];
      const int v = rowV + colV[X - x0];
      if (u < -1024 || v < -1024 || (u >> 10) >= side || (v >> 10) >= side) continue;
      const int ix = u >> 10, iy = v >> 10;
      const int fx = (u >> 5) & 31, fy = (v >> 5) & 31;
      float alpha = maskAlphaShortcut(in.mask, side, ix, iy);
      if (alpha < 0.f) {
        alpha = maskAlpha(in.mask, side, ix, iy, in.bilinearTab + 2 * fx, in.bilinearTab + 2 * fy);
      }
      if (!(alpha > 0.f)) continue;
      xs[n] = X;
      alphas[n] = alpha;
      const float* wx4 = in.lanczosTab4 + 32 * fx;
      const float* wyk = in.lanczosTab + 8 * fy;
      if (ix >= 3 && ix + 4 < side && iy >= 3 && iy + 4 < side) {
        base[m] = in.interleaved + (size_t(iy - 3) * side + size_t(ix - 3)) * 4;
        w4[m] = wx4;
        wy[m] = wyk;
        dst[m++] = samples + 4 * n;
      } else {
        gatherPatch(in.interleaved, side, ix, iy, patch);
        Sample8x8(patch, 32, wx4, wyk, samples + 4 * n);
      }
      ++n;
    }
    // A partial last group repeats its last pixel into a spare slot.
    const int groups = (m + kGroup - 1) / kGroup;
    for (int i = m; i < groups * kGroup; ++i) {
      base[i] = base[m - 1];
      w4[i] = w4[m - 1];
      wy[i] = wy[m - 1];
      dst[i] = dst[m - 1];
    }
    for (int g = 0; g < groups; ++g) {
      const int at = g * kGroup;
      SampleGroup(base + at, stride, w4 + at, wy + at, dst + at);
    }
    BlendPixels(frameRow, xs, alphas, samples, n, x1);
  }
}

void PasteBlurH(const float* in, float* out, size_t n, const float* g, int taps) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    auto acc = hn::Zero(d);
    for (int j = 0; j < taps; ++j) {
      acc = hn::Add(acc, hn::Mul(hn::Set(d, g[j]), hn::LoadU(d, in + i + size_t(j))));
    }
    hn::StoreU(acc, d, out + i);
  }
  for (; i < n; ++i) {
    float acc = 0.f;
    for (int j = 0; j < taps; ++j) acc = acc + g[j] * in[i + size_t(j)];
    out[i] = acc;
  }
}

void PasteSharpenRow(const float* const* rows, const float* g, int taps, float keep, float amount,
                     const float* src, float scale, float* dst, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto vKeep = hn::Set(d, keep), vAmount = hn::Set(d, amount), vScale = hn::Set(d, scale);
  const auto zero = hn::Zero(d), top = hn::Set(d, 255.f);
  size_t x = 0;
  for (; x + N <= n; x += N) {
    auto blur = hn::Zero(d);
    for (int j = 0; j < taps; ++j) {
      blur = hn::Add(blur, hn::Mul(hn::Set(d, g[j]), hn::LoadU(d, rows[j] + x)));
    }
    const auto p = hn::Mul(vScale, hn::LoadU(d, src + x));
    auto v = hn::Sub(hn::Mul(vKeep, p), hn::Mul(vAmount, blur));
    v = hn::IfThenElseZero(hn::Gt(v, zero), v);  // NaN goes to 0 as well
    hn::StoreU(hn::IfThenElse(hn::Lt(v, top), v, top), d, dst + x);
  }
  for (; x < n; ++x) {
    float blur = 0.f;
    for (int j = 0; j < taps; ++j) blur = blur + g[j] * rows[j][x];
    dst[x] = clamp255(keep * (scale * src[x]) - amount * blur);
  }
}

void PasteInterleave(const float* r, const float* g, const float* b, float* out, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto zero = hn::Zero(d);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    hn::StoreInterleaved4(hn::LoadU(d, r + i), hn::LoadU(d, g + i), hn::LoadU(d, b + i), zero, d,
                          out + 4 * i);
  }
  for (; i < n; ++i) {
    out[4 * i] = r[i];
    out[4 * i + 1] = g[i];
    out[4 * i + 2] = b[i];
    out[4 * i + 3] = 0.f;
  }
}

int64_t PasteThisTarget() {
  return HWY_TARGET;
}

void PasteSample8x8(const float* base, size_t stride, const float* w4, const float* wy,
                    float* out) {
  HWY_ALIGN float s[4];
  Sample8x8(base, stride, w4, wy, s);
  for (int c = 0; c < 4; ++c) out[c] = s[c];
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {
namespace simd {

HWY_EXPORT(PasteLanczos8Row);
HWY_EXPORT(PasteThisTarget);
HWY_EXPORT(PasteSample8x8);
HWY_EXPORT(PasteBlurH);
HWY_EXPORT(PasteSharpenRow);
HWY_EXPORT(PasteInterleave);

void pasteBlurH(const float* in, float* out, size_t n, const float* g, int taps) {
  HWY_DYNAMIC_DISPATCH(PasteBlurH)(in, out, n, g, taps);
}

void pasteSharpenRow(const float* const* rows, const float* g, int taps, float keep, float amount,
                     const float* src, float scale, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(PasteSharpenRow)(rows, g, taps, keep, amount, src, scale, dst, n);
}

void pasteInterleave(const float* r, const float* g, const float* b, float* out, size_t n) {
  HWY_DYNAMIC_DISPATCH(PasteInterleave)(r, g, b, out, n);
}

void pasteSmallRow(const PasteRowInput& in, const float* const planes[3], const float* tab,
                   int taps, const int* colU, const int* colV, int rowU, int rowV, int x0, int x1,
                   uint8_t* frameRow) {
  const int side = in.side;
  const int lead = taps == 4 ? 1 : 0;  // the cubic starts one pixel before the position
  float s[3];
  for (int X = x0; X <= x1; ++X) {
    const int u = rowU + colU[X - x0];
    const int v = rowV + colV[X - x0];
    if (u < -1024 || v < -1024 || (u >> 10) >= side || (v >> 10) >= side) continue;
    const int ix = u >> 10, iy = v >> 10;
    const int fx = (u >> 5) & 31, fy = (v >> 5) & 31;
    const float alpha =
        maskAlpha(in.mask, side, ix, iy, in.bilinearTab + 2 * fx, in.bilinearTab + 2 * fy);
    if (!(alpha > 0.f)) continue;
    const float* wx = tab + taps * fx;
    const float* wy = tab + taps * fy;
    for (int c = 0; c < 3; ++c) {
      const float* p = planes[c];
      float acc = 0.f;
      for (int k = 0; k < taps; ++k) {
        const int y = iy - lead + k;
        const bool rowIn = y >= 0 && y < side;
        float row = 0.f;
        for (int j = 0; j < taps; ++j) {
          const int x = ix - lead + j;
          const float px = rowIn && x >= 0 && x < side ? p[size_t(y) * side + x] : 0.f;
          row = row + wx[j] * px;
        }
        acc = acc + wy[k] * row;
      }
      s[c] = acc;
    }
    blendPixel(frameRow + size_t(X) * 3, alpha, s);
  }
}

void pasteLanczos8Row(const PasteRowInput& in, const int* colU, const int* colV, int rowU, int rowV,
                      int x0, int x1, uint8_t* frameRow) {
  HWY_DYNAMIC_DISPATCH(PasteLanczos8Row)(in, colU, colV, rowU, rowV, x0, x1, frameRow);
}

namespace detail {
const char* pasteRowTarget() {
  return hwy::TargetName(HWY_DYNAMIC_DISPATCH(PasteThisTarget)());
}

void pasteSample8x8(const float* base, size_t stride, const float* w4, const float* wy,
                    float* out) {
  HWY_DYNAMIC_DISPATCH(PasteSample8x8)(base, stride, w4, wy, out);
}
}  // namespace detail

}  // namespace simd
}  // namespace le
#endif
