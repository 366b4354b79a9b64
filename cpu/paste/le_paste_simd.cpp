// The Lanczos paste row, one pass per target. A pixel's 8 x 8 sample keeps
// the grouping documented in the header on every target: 128-bit targets
// hold one 4-float pixel per vector, AVX2 two and AVX-512 four, and in each
// case lane block b accumulates exactly V_b. Pixels whose taps reach past
// the crop copy their taps into a zero-filled 8 x 8 patch first and then run
// the same vector code, so border and interior never differ in arithmetic.

#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif
// The sampler picks its vector width by size and keeps arrays of vectors,
// which SVE's sizeless vectors cannot serve; on Arm it runs on NEON.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS (HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128)
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

// A position that fails the row kernel's skip test (pads a last partial vector).
constexpr int kOutside = -(1 << 30);

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
  auto acc = hn::Mul(hn::Set(d, wy[0]),
                     hn::MulAdd(hn::LoadU(d, base + 16), w1, hn::Mul(hn::LoadU(d, base), w0)));
  for (int k = 1; k < 8; ++k) {
    const float* r = base + k * stride;
    const auto t = hn::MulAdd(hn::LoadU(d, r + 16), w1, hn::Mul(hn::LoadU(d, r), w0));
    acc = hn::MulAdd(hn::Set(d, wy[k]), t, acc);
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
  auto a0 =
      hn::Mul(wk0, hn::MulAdd(hn::LoadU(d, base + 16), w45, hn::Mul(hn::LoadU(d, base), w01)));
  auto a1 =
      hn::Mul(wk0, hn::MulAdd(hn::LoadU(d, base + 24), w67, hn::Mul(hn::LoadU(d, base + 8), w23)));
  for (int k = 1; k < 8; ++k) {
    const float* r = base + k * stride;
    const auto wk = hn::Set(d, wy[k]);
    a0 = hn::MulAdd(wk, hn::MulAdd(hn::LoadU(d, r + 16), w45, hn::Mul(hn::LoadU(d, r), w01)), a0);
    a1 = hn::MulAdd(wk, hn::MulAdd(hn::LoadU(d, r + 24), w67, hn::Mul(hn::LoadU(d, r + 8), w23)),
                    a1);
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
    acc[b] = hn::Mul(hn::Set(d, wy[0]), hn::MulAdd(hn::LoadU(d, base + 4 * (b + 4)), w[b + 4],
                                                   hn::Mul(hn::LoadU(d, base + 4 * b), w[b])));
  }
  for (int k = 1; k < 8; ++k) {
    const float* r = base + k * stride;
    const auto wk = hn::Set(d, wy[k]);
    for (int b = 0; b < 4; ++b) {
      acc[b] = hn::MulAdd(wk,
                          hn::MulAdd(hn::LoadU(d, r + 4 * (b + 4)), w[b + 4],
                                     hn::Mul(hn::LoadU(d, r + 4 * b), w[b])),
                          acc[b]);
    }
  }
  hn::StoreU(hn::Add(hn::Add(acc[0], acc[2]), hn::Add(acc[1], acc[3])), d, out);
#endif
}

// Pixels whose samples one call computes side by side: independent
// accumulator chains keep the vector units busy where a single pixel's
// chain of eight dependent additions would leave them waiting. On AVX-512
// four pixels already fill the two FMA units; eight ran out of registers
// and spilled (13% slower).
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
  hn::Vec<decltype(d)> w0[kGroup], w1[kGroup], acc[kGroup];
  for (int p = 0; p < kGroup; ++p) {
    w0[p] = hn::LoadU(d, w4[p]);
    w1[p] = hn::LoadU(d, w4[p] + 16);
    acc[p] = hn::Mul(hn::Set(d, wy[p][0]), hn::MulAdd(hn::LoadU(d, base[p] + 16), w1[p],
                                                      hn::Mul(hn::LoadU(d, base[p]), w0[p])));
  }
  for (int k = 1; k < 8; ++k) {
    for (int p = 0; p < kGroup; ++p) {
      const float* r = base[p] + k * stride;
      const auto t = hn::MulAdd(hn::LoadU(d, r + 16), w1[p], hn::Mul(hn::LoadU(d, r), w0[p]));
      acc[p] = hn::MulAdd(hn::Set(d, wy[p][k]), t, acc[p]);
    }
  }
  HWY_ALIGN static constexpr int32_t kBlocks[16] = {0, 1, 2, 3, 8,  9,  10, 11,
                                                    4, 5, 6, 7, 12, 13, 14, 15};
  const auto swap = hn::SetTableIndices(d, kBlocks);  // blocks 0 2 1 3
  for (int q = 0; q < kGroup; q += 4) {
    const auto s01 = hn::Add(hn::ConcatLowerLower(d, acc[q + 1], acc[q]),
                             hn::ConcatUpperUpper(d, acc[q + 1], acc[q]));
    const auto s23 = hn::Add(hn::ConcatLowerLower(d, acc[q + 3], acc[q + 2]),
                             hn::ConcatUpperUpper(d, acc[q + 3], acc[q + 2]));
    const auto t01 = hn::TableLookupLanes(s01, swap), t23 = hn::TableLookupLanes(s23, swap);
    const auto sums = hn::Add(hn::ConcatLowerLower(d, t23, t01), hn::ConcatUpperUpper(d, t23, t01));
    float* const* o = out + q;
    if (o[1] == o[0] + 4 && o[2] == o[0] + 8 && o[3] == o[0] + 12) {
      hn::StoreU(sums, d, o[0]);
    } else {
      HWY_ALIGN float all[16];
      hn::Store(sums, d, all);
      for (int p = 0; p < 4; ++p) std::memcpy(o[p], all + 4 * p, 4 * sizeof(float));
    }
  }
#else
  for (int p = 0; p < kGroup; ++p) Sample8x8(base[p], stride, w4[p], wy[p], out[p]);
#endif
}

// One frame pixel of the single-pixel blend, one vector: blendPixel's
// operations per channel, a fourth lane spare.
HWY_INLINE void BlendOne(uint8_t* px, float alpha, const float* sample, bool lastOfRow) {
#if HWY_TARGET == HWY_SCALAR
  (void)lastOfRow;
  blendPixel(px, alpha, sample);
#else
  if (lastOfRow) {  // reading four bytes would pass the last pixel of the row
    blendPixel(px, alpha, sample);
    return;
  }
  const hn::Full128<float> df;
  const hn::Full128<int32_t> di;
  const hn::Simd<uint8_t, 4, 0> d8;
  const auto frame = hn::ConvertTo(df, hn::PromoteTo(di, hn::LoadU(d8, px)));
  const auto a = hn::Set(df, alpha);
  auto v = hn::Add(hn::Mul(hn::Set(df, 1.f - alpha), frame), hn::Mul(a, hn::LoadU(df, sample)));
  v = hn::IfThenElseZero(hn::Gt(v, hn::Zero(df)), v);  // NaN goes to 0 as well
  v = hn::IfThenElse(hn::Lt(v, hn::Set(df, 255.f)), v, hn::Set(df, 255.f));
  HWY_ALIGN int32_t out[4];
  hn::Store(hn::ConvertTo(di, v), di, out);  // truncates, as the byte conversion does
  px[0] = uint8_t(out[0]);
  px[1] = uint8_t(out[1]);
  px[2] = uint8_t(out[2]);
#endif
}

#if HWY_TARGET != HWY_SCALAR && HWY_MAX_BYTES >= 64
// BlendOne for four neighbouring pixels at px in one vector; the 16 bytes
// read end before the footprint's last pixel.
HWY_INLINE void BlendFour(uint8_t* px, const float* alphas, const float* samples) {
  const hn::Full512<float> df;
  const hn::Full512<int32_t> di;
  const hn::Full128<uint8_t> d8;
  HWY_ALIGN static constexpr uint8_t kSpread[16] = {0, 1, 2, 0, 3, 4,  5,  0,
                                                    6, 7, 8, 0, 9, 10, 11, 0};
  HWY_ALIGN static constexpr uint8_t kPack[16] = {0,  1,  2,  4,  5, 6, 8, 9,
                                                  10, 12, 13, 14, 0, 0, 0, 0};
  HWY_ALIGN static constexpr int32_t kEach4[16] = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};
  const auto frame = hn::ConvertTo(
      df, hn::PromoteTo(di, hn::TableLookupBytes(hn::LoadU(d8, px), hn::Load(d8, kSpread))));
  const auto a = hn::TableLookupLanes(hn::LoadU(df, alphas), hn::SetTableIndices(df, kEach4));
  auto v =
      hn::Add(hn::Mul(hn::Sub(hn::Set(df, 1.f), a), frame), hn::Mul(a, hn::LoadU(df, samples)));
  v = hn::IfThenElseZero(hn::Gt(v, hn::Zero(df)), v);
  v = hn::IfThenElse(hn::Lt(v, hn::Set(df, 255.f)), v, hn::Set(df, 255.f));
  HWY_ALIGN uint8_t out[16];
  hn::Store(hn::TableLookupBytes(hn::DemoteTo(d8, hn::ConvertTo(di, v)), hn::Load(d8, kPack)), d8,
            out);
  // Exactly the 12 bytes: the next four pixels' 16-byte read must not
  // overlap this write, or it waits for the write to retire.
  std::memcpy(px, out, 12);
}
#endif

// The pixels of one chunk of a row that the blend changes (n of them, in
// column order) and, of those, the ones whose 8 x 8 taps all lie inside
// the crop (m of them), sampled kGroup at a time.
struct RowChunk {
  static constexpr int kSize = 128;
  static constexpr int kPad = 16 + kGroup;  // a last partial vector or group
  int n = 0, m = 0;
  HWY_ALIGN int32_t xs[kSize + kPad];
  HWY_ALIGN float alpha[kSize + kPad];
  HWY_ALIGN int32_t tap0[kSize + kPad];  // offset of the first tap in the interleaved pixels
  HWY_ALIGN int32_t wx[kSize + kPad];    // offset of the column taps in lanczosTab4
  HWY_ALIGN int32_t wy[kSize + kPad];    // offset of the row taps in lanczosTab
  HWY_ALIGN int32_t slot[kSize + kPad];  // which of the n pixels the sample is for
  // One vector's lanes, for the pixels that need a closer look.
  HWY_ALIGN int32_t lx[16], ly[16], lfx[16], lfy[16], lvalid[16], linner[16];
  HWY_ALIGN float lalpha[16];
};

// Takes pixel X with its alpha; samples it now when its taps reach past the
// crop, else queues it for the grouped samples.
HWY_INLINE void TakePixel(const PasteRowInput& in, int X, int ix, int iy, int fx, int fy,
                          float alpha, RowChunk& ck, float* samples) {
  const int side = in.side;
  const int n = ck.n++;
  ck.xs[n] = X;
  ck.alpha[n] = alpha;
  if (ix >= 3 && ix + 4 < side && iy >= 3 && iy + 4 < side) {
    const int m = ck.m++;
    ck.tap0[m] = ((iy - 3) * side + (ix - 3)) * 4;
    ck.wx[m] = 32 * fx;
    ck.wy[m] = 8 * fy;
    ck.slot[m] = n;
  } else {
    HWY_ALIGN float patch[8 * 32];
    gatherPatch(in.interleaved, side, ix, iy, patch);
    Sample8x8(patch, 32, in.lanczosTab4 + 32 * fx, in.lanczosTab + 8 * fy, samples + 4 * n);
  }
}

// Positions, skip test and mask alpha of pixels X0 .. X0 + len - 1, as
// many at a time as a vector holds. The alpha is maskAlpha's arithmetic in
// each lane (the bilinear weights are the table's, f / 32 and 1 - f / 32),
// computed here where all four mask taps lie inside the crop and the four
// bytes read from each mask row stay in that row; the other pixels take
// maskAlpha itself. A vector whose pixels need no closer look is queued
// (or skipped) whole.
HWY_INLINE void ChunkPixels(const PasteRowInput& in, const int* colU, const int* colV, int rowU,
                            int rowV, int X0, int len, RowChunk& ck, float* samples) {
  const hn::ScalableTag<int32_t> di;
  const hn::Rebind<float, decltype(di)> df;
  const int N = int(hn::Lanes(di));
  const int side = in.side;
  HWY_ALIGN int32_t cu[RowChunk::kSize + 16], cv[RowChunk::kSize + 16];
  std::memcpy(cu, colU, size_t(len) * sizeof(int32_t));
  std::memcpy(cv, colV, size_t(len) * sizeof(int32_t));
  for (int i = len; i < len + N; ++i) cu[i] = cv[i] = kOutside;
  const auto ru = hn::Set(di, rowU), rv = hn::Set(di, rowV), sideV = hn::Set(di, side);
  const auto lo = hn::Set(di, -1025), byte = hn::Set(di, 0xFF), phase = hn::Set(di, 31);
  const auto neg = hn::Set(di, -1), two = hn::Set(di, 2);
  const auto innerX = hn::Set(di, side - 3), innerY = hn::Set(di, side - 1);
  const auto tapsIn = hn::Set(di, side - 4);
  const auto zero = hn::Zero(df), one = hn::Set(df, 1.f), k32 = hn::Set(df, 1.f / 32.f);
  // Narrow crops would read past their mask; they take the per-pixel path.
  const bool gather = side >= 4;
  const int32_t* maskWords = reinterpret_cast<const int32_t*>(in.mask);
  ck.n = ck.m = 0;
  for (int i = 0; i < len; i += N) {
    const auto u = hn::Add(ru, hn::LoadU(di, cu + i));
    const auto v = hn::Add(rv, hn::LoadU(di, cv + i));
    const auto ix = hn::ShiftRight<10>(u), iy = hn::ShiftRight<10>(v);
    const auto fx = hn::And(hn::ShiftRight<5>(u), phase), fy = hn::And(hn::ShiftRight<5>(v), phase);
    const auto valid = hn::And(hn::And(hn::Gt(u, lo), hn::Gt(v, lo)),
                               hn::And(hn::Lt(ix, sideV), hn::Lt(iy, sideV)));
    const auto inner = gather ? hn::And(hn::And(valid, hn::And(hn::Gt(ix, neg), hn::Gt(iy, neg))),
                                        hn::And(hn::Lt(ix, innerX), hn::Lt(iy, innerY)))
                              : hn::FirstN(di, 0);
    auto alpha = zero;
    if (!hn::AllFalse(di, inner)) {
      const auto off = hn::IfThenElseZero(inner, hn::Add(hn::Mul(iy, sideV), ix));
      const auto top = hn::GatherOffset(di, maskWords, off);
      const auto bot =
          hn::GatherOffset(di, maskWords, hn::IfThenElseZero(inner, hn::Add(off, sideV)));
      // Bytes 0 and 1 of each word are the taps at ix and ix + 1.
      const auto m00 = hn::ConvertTo(df, hn::And(top, byte));
      const auto m01 = hn::ConvertTo(df, hn::And(hn::ShiftRight<8>(top), byte));
      const auto m10 = hn::ConvertTo(df, hn::And(bot, byte));
      const auto m11 = hn::ConvertTo(df, hn::And(hn::ShiftRight<8>(bot), byte));
      const auto bx1 = hn::Mul(hn::ConvertTo(df, fx), k32), bx0 = hn::Sub(one, bx1);
      const auto by1 = hn::Mul(hn::ConvertTo(df, fy), k32), by0 = hn::Sub(one, by1);
      const auto t = hn::Add(hn::Mul(bx0, m00), hn::Mul(bx1, m01));
      const auto b = hn::Add(hn::Mul(bx0, m10), hn::Mul(bx1, m11));
      const auto a = hn::Add(hn::Mul(by0, t), hn::Mul(by1, b));
      alpha = hn::Div(hn::Round(a), hn::Set(df, 255.f));
    }
    const auto taps = hn::And(hn::And(hn::Gt(ix, two), hn::Lt(ix, tapsIn)),
                              hn::And(hn::Gt(iy, two), hn::Lt(iy, tapsIn)));
    const auto blends = hn::RebindMask(di, hn::Gt(alpha, zero));
    // Nothing to blend: every lane fails the skip test or has alpha 0.
    if (hn::AllFalse(di, hn::And(valid, hn::Or(hn::Not(inner), blends)))) continue;
    // Every lane that passes the skip test has its alpha here and its taps
    // inside the crop: queue the ones that blend, in column order.
    if (hn::AllTrue(di, hn::Or(hn::Not(valid), hn::And(inner, taps)))) {
      const auto take = hn::And(valid, blends);
      const auto lane = hn::Iota(di, 0);
      const auto tap0 =
          hn::Add(hn::Mul(hn::Sub(iy, hn::Set(di, 3)), sideV), hn::Sub(ix, hn::Set(di, 3)));
      // Compressed in registers and stored whole (a compressing store to
      // memory is slow on some processors); lanes past the count are
      // overwritten by the next vector's.
      hn::StoreU(hn::Compress(hn::Add(lane, hn::Set(di, X0 + i)), take), di, ck.xs + ck.n);
      hn::StoreU(hn::Compress(alpha, hn::RebindMask(df, take)), df, ck.alpha + ck.n);
      hn::StoreU(hn::Compress(hn::ShiftLeft<2>(tap0), take), di, ck.tap0 + ck.m);
      hn::StoreU(hn::Compress(hn::ShiftLeft<5>(fx), take), di, ck.wx + ck.m);
      hn::StoreU(hn::Compress(hn::ShiftLeft<3>(fy), take), di, ck.wy + ck.m);
      hn::StoreU(hn::Add(lane, hn::Set(di, ck.n)), di, ck.slot + ck.m);
      const int count = int(hn::CountTrue(di, take));
      ck.n += count;
      ck.m += count;
      continue;
    }
    hn::Store(ix, di, ck.lx);
    hn::Store(iy, di, ck.ly);
    hn::Store(fx, di, ck.lfx);
    hn::Store(fy, di, ck.lfy);
    hn::Store(hn::VecFromMask(di, valid), di, ck.lvalid);
    hn::Store(hn::VecFromMask(di, inner), di, ck.linner);
    hn::Store(alpha, df, ck.lalpha);
    const int lanes = len - i < N ? len - i : N;
    for (int l = 0; l < lanes; ++l) {
      if (!ck.lvalid[l]) continue;
      const int lx = ck.lx[l], ly = ck.ly[l], lfx = ck.lfx[l], lfy = ck.lfy[l];
      const float a = ck.linner[l] ? ck.lalpha[l]
                                   : maskAlpha(in.mask, side, lx, ly, in.bilinearTab + 2 * lfx,
                                               in.bilinearTab + 2 * lfy);
      if (a > 0.f) TakePixel(in, X0 + i + l, lx, ly, lfx, lfy, a, ck, samples);
    }
  }
}

void PasteLanczos8Row(const PasteRowInput& in, const int* colU, const int* colV, int rowU, int rowV,
                      int x0, int x1, uint8_t* frameRow) {
  const size_t stride = size_t(in.side) * 4;
  // A row goes in chunks of columns: first the positions, skip tests and
  // alphas, then the interior samples kGroup at a time, then the blends.
  constexpr int kChunk = RowChunk::kSize;
  RowChunk ck;
  HWY_ALIGN float samples[(kChunk + kGroup) * 4];
  for (int c0 = x0; c0 <= x1; c0 += kChunk) {
    const int len = x1 - c0 + 1 < kChunk ? x1 - c0 + 1 : kChunk;
    ChunkPixels(in, colU + (c0 - x0), colV + (c0 - x0), rowU, rowV, c0, len, ck, samples);
    const int n = ck.n, m = ck.m;
    // A partial last group repeats its last pixel.
    for (int i = m; i < m + kGroup - 1 && m > 0; ++i) {
      ck.tap0[i] = ck.tap0[m - 1];
      ck.wx[i] = ck.wx[m - 1];
      ck.wy[i] = ck.wy[m - 1];
      ck.slot[i] = ck.slot[m - 1];
    }
    for (int g = 0; g < m; g += kGroup) {
      const float* base[kGroup];
      const float* w4[kGroup];
      const float* wy[kGroup];
      float* dst[kGroup];
      for (int p = 0; p < kGroup; ++p) {
        base[p] = in.interleaved + ck.tap0[g + p];
        w4[p] = in.lanczosTab4 + ck.wx[g + p];
        wy[p] = in.lanczosTab + ck.wy[g + p];
        dst[p] = samples + 4 * ck.slot[g + p];
      }
      SampleGroup(base, stride, w4, wy, dst);
    }
    for (int i = 0; i < n;) {
      const int X = ck.xs[i];
#if HWY_TARGET != HWY_SCALAR && HWY_MAX_BYTES >= 64
      // xs ascends, so four pixels three columns apart are neighbours.
      if (i + 4 <= n && ck.xs[i + 3] == X + 3 && X + 5 <= x1) {
        BlendFour(frameRow + size_t(X) * 3, ck.alpha + i, samples + 4 * i);
        i += 4;
        continue;
      }
#endif
      BlendOne(frameRow + size_t(X) * 3, ck.alpha[i], samples + 4 * i, X == x1);
      ++i;
    }
  }
}

void PasteBlurH(const float* in, float* out, size_t n, const float* g, int taps) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  size_t i = 0;
  // Four vectors at a time: four independent chains of additions instead
  // of one that waits on each addition in turn; per lane the same sums.
  for (; i + 4 * N <= n; i += 4 * N) {
    auto a0 = hn::Zero(d), a1 = hn::Zero(d), a2 = hn::Zero(d), a3 = hn::Zero(d);
    for (int j = 0; j < taps; ++j) {
      const auto w = hn::Set(d, g[j]);
      const float* x = in + i + size_t(j);
      a0 = hn::Add(a0, hn::Mul(w, hn::LoadU(d, x)));
      a1 = hn::Add(a1, hn::Mul(w, hn::LoadU(d, x + N)));
      a2 = hn::Add(a2, hn::Mul(w, hn::LoadU(d, x + 2 * N)));
      a3 = hn::Add(a3, hn::Mul(w, hn::LoadU(d, x + 3 * N)));
    }
    hn::StoreU(a0, d, out + i);
    hn::StoreU(a1, d, out + i + N);
    hn::StoreU(a2, d, out + i + 2 * N);
    hn::StoreU(a3, d, out + i + 3 * N);
  }
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
  auto finish = [&](hn::Vec<decltype(d)> blur, size_t x) {
    const auto p = hn::Mul(vScale, hn::LoadU(d, src + x));
    auto v = hn::Sub(hn::Mul(vKeep, p), hn::Mul(vAmount, blur));
    v = hn::IfThenElseZero(hn::Gt(v, zero), v);  // NaN goes to 0 as well
    hn::StoreU(hn::IfThenElse(hn::Lt(v, top), v, top), d, dst + x);
  };
  size_t x = 0;
  // Four vectors at a time, as in PasteBlurH.
  for (; x + 4 * N <= n; x += 4 * N) {
    auto b0 = hn::Zero(d), b1 = hn::Zero(d), b2 = hn::Zero(d), b3 = hn::Zero(d);
    for (int j = 0; j < taps; ++j) {
      const auto w = hn::Set(d, g[j]);
      const float* r = rows[j] + x;
      b0 = hn::Add(b0, hn::Mul(w, hn::LoadU(d, r)));
      b1 = hn::Add(b1, hn::Mul(w, hn::LoadU(d, r + N)));
      b2 = hn::Add(b2, hn::Mul(w, hn::LoadU(d, r + 2 * N)));
      b3 = hn::Add(b3, hn::Mul(w, hn::LoadU(d, r + 3 * N)));
    }
    finish(b0, x);
    finish(b1, x + N);
    finish(b2, x + 2 * N);
    finish(b3, x + 3 * N);
  }
  for (; x + N <= n; x += N) {
    auto blur = hn::Zero(d);
    for (int j = 0; j < taps; ++j) {
      blur = hn::Add(blur, hn::Mul(hn::Set(d, g[j]), hn::LoadU(d, rows[j] + x)));
    }
    finish(blur, x);
  }
  for (; x < n; ++x) {
    float blur = 0.f;
    for (int j = 0; j < taps; ++j) blur = blur + g[j] * rows[j][x];
    dst[x] = clamp255(keep * (scale * src[x]) - amount * blur);
  }
}

void PasteScaleRow(const float* src, float scale, float* dst, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  const auto k = hn::Set(d, scale);
  size_t i = 0;
  for (; i + N <= n; i += N) hn::StoreU(hn::Mul(k, hn::LoadU(d, src + i)), d, dst + i);
  for (; i < n; ++i) dst[i] = scale * src[i];
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
HWY_EXPORT(PasteScaleRow);

void pasteBlurH(const float* in, float* out, size_t n, const float* g, int taps) {
  HWY_DYNAMIC_DISPATCH(PasteBlurH)(in, out, n, g, taps);
}

void pasteSharpenRow(const float* const* rows, const float* g, int taps, float keep, float amount,
                     const float* src, float scale, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(PasteSharpenRow)(rows, g, taps, keep, amount, src, scale, dst, n);
}

void pasteScaleRow(const float* src, float scale, float* dst, size_t n) {
  HWY_DYNAMIC_DISPATCH(PasteScaleRow)(src, scale, dst, n);
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
