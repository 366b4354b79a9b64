// Vector kernels, compiled once per instruction-set target and dispatched at
// run time. Every target must reproduce the scalar definitions bit for bit,
// so each kernel keeps the exact operation order of its definition per lane,
// never fuses a multiply with an add, and finishes partial vectors with the
// same code on one-lane vectors.

// Highway leaves AVX3_DL out unless asked; current server processors have it.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif
// These kernels keep vectors in structs, which SVE's sizeless vectors cannot
// be; on Arm they run on NEON.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS (HWY_SVE | HWY_SVE2 | HWY_SVE_256 | HWY_SVE2_128)
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "compute/le_simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "compute/le_simd.cpp"
#include <hwy/foreach_target.h>  // must precede highway.h
#include <hwy/highway.h>

#ifndef LE_SIMD_SHARED_DECLS
#define LE_SIMD_SHARED_DECLS
namespace le {
namespace simd {
namespace {
// half(b / 255) for every byte value b.
const uint16_t* byteHalves();
}  // namespace
}  // namespace simd
}  // namespace le
#endif

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// ---------------------------------------------------------------- halves
//
// F16C (AVX2 and up) converts exactly and rounds to nearest even. Highway's
// fallback for the other targets truncates, turns -0 and tiny negatives
// into +0, keeps overflow (even infinity) finite, and widens half infinity
// and NaN to finite floats, so those targets use the integer versions below
// instead. For NaN these copy what F16C does (quiet NaN, payload kept as
// far as it fits), so that no input makes the targets disagree.

#if HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2
#define LE_SIMD_F16C 1
#else
#define LE_SIMD_F16C 0
#endif

// Half bit patterns held in 32-bit lanes -> float.
template <class DF>
HWY_INLINE hn::Vec<DF> HalfBitsToF32(DF df, hn::Vec<hn::RebindToUnsigned<DF>> h) {
  const hn::RebindToUnsigned<DF> du;
  const hn::RebindToSigned<DF> di;
  const auto em = hn::And(h, hn::Set(du, 0x7fffu));
  const auto em_i = hn::BitCast(di, em);
  const auto sign = hn::ShiftLeft<16>(hn::And(h, hn::Set(du, 0x8000u)));
  // Rebias the exponent from 15 to 127.
  const auto normal = hn::Add(hn::ShiftLeft<13>(em), hn::Set(du, 112u << 23));
  // Infinity and NaN: exponent all ones; NaN becomes quiet.
  const auto quiet = hn::IfThenElseZero(hn::RebindMask(du, hn::Gt(em_i, hn::Set(di, 0x7c00))),
                                        hn::Set(du, 0x400000u));
  const auto inf_nan = hn::Or(hn::Add(normal, hn::Set(du, 112u << 23)), quiet);
  // Zero and subnormals: mantissa * 2^-24, exact in float.
  const auto sub =
      hn::BitCast(du, hn::Mul(hn::ConvertTo(df, em_i), hn::Set(df, 1.0f / 16777216.0f)));
  const auto is_sub = hn::RebindMask(du, hn::Lt(em_i, hn::Set(di, 0x400)));
  const auto is_inf_nan = hn::RebindMask(du, hn::Gt(em_i, hn::Set(di, 0x7bff)));
  const auto bits = hn::IfThenElse(is_sub, sub, hn::IfThenElse(is_inf_nan, inf_nan, normal));
  return hn::BitCast(df, hn::Or(bits, sign));
}

// Float -> half bit pattern (in 32-bit lanes), round to nearest even.
template <class DF>
HWY_INLINE hn::Vec<hn::RebindToUnsigned<DF>> F32ToHalfBits(DF df, hn::Vec<DF> v) {
  const hn::RebindToUnsigned<DF> du;
  const hn::RebindToSigned<DF> di;
  const auto bits = hn::BitCast(du, v);
  const auto abs = hn::And(bits, hn::Set(du, 0x7fffffffu));
  const auto abs_i = hn::BitCast(di, abs);
  const auto sign = hn::And(hn::ShiftRight<16>(bits), hn::Set(du, 0x8000u));
  // Normal halves: rebias the exponent (-112 << 23) and round the 13 dropped
  // bits to nearest even; a carry may run into the exponent, up to infinity.
  const auto odd = hn::And(hn::ShiftRight<13>(abs), hn::Set(du, 1u));
  const auto normal = hn::ShiftRight<13>(hn::Add(hn::Add(abs, hn::Set(du, 0xC8000FFFu)), odd));
  // Subnormal halves and zero: adding 0.5 leaves the half's mantissa in the
  // float's low bits, rounded to nearest even by the addition itself.
  const auto sub = hn::Sub(hn::BitCast(du, hn::Add(hn::BitCast(df, abs), hn::Set(df, 0.5f))),
                           hn::Set(du, 0x3F000000u));
  // Overflow and infinity give infinity; NaN gives a quiet NaN.
  const auto nan =
      hn::Or(hn::Set(du, 0x200u), hn::ShiftRight<13>(hn::And(abs, hn::Set(du, 0x7fffffu))));
  const auto is_nan = hn::RebindMask(du, hn::Gt(abs_i, hn::Set(di, 0x7f800000)));
  const auto inf_nan = hn::Or(hn::Set(du, 0x7c00u), hn::IfThenElseZero(is_nan, nan));
  const auto is_sub = hn::RebindMask(du, hn::Lt(abs_i, hn::Set(di, 113 << 23)));
  const auto is_inf_nan = hn::RebindMask(du, hn::Gt(abs_i, hn::Set(di, (143 << 23) - 1)));
  const auto r = hn::IfThenElse(is_inf_nan, inf_nan, hn::IfThenElse(is_sub, sub, normal));
  return hn::Or(r, sign);
}

template <class DF>
HWY_INLINE hn::Vec<DF> LoadHalf(DF df, const uint16_t* HWY_RESTRICT p) {
  const hn::Rebind<uint16_t, DF> du16;
#if LE_SIMD_F16C
  const hn::Rebind<hwy::float16_t, DF> df16;
  return hn::PromoteTo(df, hn::BitCast(df16, hn::LoadU(du16, p)));
#else
  const hn::RebindToUnsigned<DF> du;
  return HalfBitsToF32(df, hn::PromoteTo(du, hn::LoadU(du16, p)));
#endif
}

template <class DF>
HWY_INLINE void StoreHalf(DF df, hn::Vec<DF> v, uint16_t* HWY_RESTRICT p) {
  const hn::Rebind<uint16_t, DF> du16;
#if LE_SIMD_F16C
  const hn::Rebind<hwy::float16_t, DF> df16;
  hn::StoreU(hn::BitCast(du16, hn::DemoteTo(df16, v)), du16, p);
#else
  const hn::RebindToSigned<DF> di;
  // Values fit in 16 bits, so the saturating narrowing is a plain one.
  hn::StoreU(hn::DemoteTo(du16, hn::BitCast(di, F32ToHalfBits(df, v))), du16, p);
#endif
}

// v rounded to the nearest half, as a float.
template <class DF>
HWY_INLINE hn::Vec<DF> Round16(DF df, hn::Vec<DF> v) {
#if LE_SIMD_F16C
  const hn::Rebind<hwy::float16_t, DF> df16;
  return hn::PromoteTo(df, hn::DemoteTo(df16, v));
#else
  return HalfBitsToF32(df, F32ToHalfBits(df, v));
#endif
}

void F16ToF32(const uint16_t* HWY_RESTRICT src, float* HWY_RESTRICT dst, uint64_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + 2 * N <= n; i += 2 * N) {
    const auto v0 = LoadHalf(df, src + i);
    const auto v1 = LoadHalf(df, src + i + N);
    hn::StoreU(v0, df, dst + i);
    hn::StoreU(v1, df, dst + i + N);
  }
  for (; i + N <= n; i += N) hn::StoreU(LoadHalf(df, src + i), df, dst + i);
  const hn::CappedTag<float, 1> d1;
  for (; i < n; ++i) hn::StoreU(LoadHalf(d1, src + i), d1, dst + i);
}

void F32ToF16(const float* HWY_RESTRICT src, uint16_t* HWY_RESTRICT dst, uint64_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  size_t i = 0;
  for (; i + 2 * N <= n; i += 2 * N) {
    const auto v0 = hn::LoadU(df, src + i);
    const auto v1 = hn::LoadU(df, src + i + N);
    StoreHalf(df, v0, dst + i);
    StoreHalf(df, v1, dst + i + N);
  }
  for (; i + N <= n; i += N) StoreHalf(df, hn::LoadU(df, src + i), dst + i);
  const hn::CappedTag<float, 1> d1;
  for (; i < n; ++i) StoreHalf(d1, hn::LoadU(d1, src + i), dst + i);
}

// ---------------------------------------------------------------- RGB bytes

// Multiplying by the rounded reciprocal of 255 yields, for every one of the
// 256 byte values, the same half as dividing by 255 (the tests check all
// 256 on every target), and costs far less than a division.
constexpr float kInv255 = 1.0f / 255.0f;

template <class DF, class V8>
HWY_INLINE void StoreBytesAsHalf(DF df, V8 bytes, uint16_t* HWY_RESTRICT p) {
  const hn::RebindToSigned<DF> di;
  const auto f = hn::ConvertTo(df, hn::PromoteTo(di, bytes));
  StoreHalf(df, hn::Mul(f, hn::Set(df, kInv255)), p);
}

void Rgb8ToPlanarF16(const uint8_t* HWY_RESTRICT rgb, uint16_t* HWY_RESTRICT dst, uint64_t stride,
                     uint64_t n) {
  uint64_t i = 0;
#if LE_SIMD_F16C
  // One byte vector per channel, widened a quarter at a time to floats.
  // Without F16C the table below is faster than converting.
  const hn::ScalableTag<uint8_t> d8;
  const hn::Half<decltype(d8)> dh;
  const hn::Half<decltype(dh)> dq;
  const hn::Rebind<float, decltype(dq)> df;
  const size_t N8 = hn::Lanes(d8);
  const size_t NF = hn::Lanes(df);
  for (; i + N8 <= n; i += N8) {
    hn::Vec<decltype(d8)> ch[3];
    hn::LoadInterleaved3(d8, rgb + 3 * i, ch[0], ch[1], ch[2]);
    for (int c = 0; c < 3; ++c) {
      uint16_t* out = dst + c * stride + i;
      const auto lo = hn::LowerHalf(dh, ch[c]);
      const auto hi = hn::UpperHalf(dh, ch[c]);
      StoreBytesAsHalf(df, hn::LowerHalf(dq, lo), out);
      StoreBytesAsHalf(df, hn::UpperHalf(dq, lo), out + NF);
      StoreBytesAsHalf(df, hn::LowerHalf(dq, hi), out + 2 * NF);
      StoreBytesAsHalf(df, hn::UpperHalf(dq, hi), out + 3 * NF);
    }
  }
#endif
  if (i == n) return;
  const uint16_t* half_of = byteHalves();
  for (; i < n; ++i) {
    for (uint64_t c = 0; c < 3; ++c) dst[c * stride + i] = half_of[rgb[3 * i + c]];
  }
}

// ---------------------------------------------------------------- 3x3 conv
//
// Lanes are neighbouring output pixels of one row; each lane accumulates its
// taps in the order ky, kx, ci. Rows outside the image are skipped. Columns
// outside it are fed as zeros, which is the same as skipping them: a float
// sum is -0 only when both terms are, so acc, starting at +0, is never -0,
// and adding a +-0 product leaves it unchanged.
//
// Input planes of a power-of-two size lie a multiple of 4 KiB apart, so the
// ci-innermost order would make every tap of a pixel compete for one L1
// set. Where it fits, the rows in use are therefore first copied into a
// small stack tile (three rows per input channel, zero-padded at the image
// edges) and shared by all output channels of that batch item. With too
// many input channels for that, rows are read in place and each load serves
// four output channels.

// Stack tile size in floats; a tile row holds a chunk of columns plus one
// column either side.
constexpr size_t kTileFloats = 8192;

// Where output vectors read: for each ky the row of input channel 0
// (nullptr if outside the image); channel ci lies ci * cstride further on.
struct ConvSrc {
  const float* rows[3];
  size_t cstride;
  int cin;
  const float* wt;  // tile path: weights of its output channel, [cin][3][3]
};

// Lane shifts for a row's first and last vectors when reading the image
// directly: their kx = 0 and kx = 2 taps run off the row, so lane j takes
// lane j - 1 (first) or j + 1 (last) and the lane from outside is zero.
template <class D>
struct RowEnds {
  using DI = hn::RebindToSigned<D>;
  using Idx = decltype(hn::IndicesFromVec(D(), hn::Zero(DI())));
  using Mask = decltype(hn::FirstN(D(), 1));
  explicit RowEnds(D d)
      : up(hn::IndicesFromVec(d, hn::Max(hn::Iota(DI(), -1), hn::Zero(DI())))),
        down(hn::IndicesFromVec(
            d, hn::Min(hn::Iota(DI(), 1), hn::Set(DI(), static_cast<int>(hn::Lanes(d)) - 1)))),
        first(hn::FirstN(d, 1)),
        all_but_last(hn::FirstN(d, hn::Lanes(d) - 1)) {}
  Idx up, down;
  Mask first, all_but_last;
};

// Inputs of kernel column KX for the output vector at p when reading the
// image itself.
template <int KX, bool kFirst, bool kLast, class D>
HWY_INLINE hn::Vec<D> DirectTap(D d, const float* p, const RowEnds<D>& e) {
  if constexpr (KX == 0 && kFirst) {
    return hn::IfThenZeroElse(e.first, hn::TableLookupLanes(hn::LoadU(d, p), e.up));
  } else if constexpr (KX == 2 && kLast) {
    return hn::IfThenElseZero(e.all_but_last, hn::TableLookupLanes(hn::LoadU(d, p), e.down));
  } else {
    return hn::LoadU(d, p + KX - 1);
  }
}

// Adds the taps of kernel column KX, all input channels in order, to the
// accumulators of K vectors at tile columns xs[0..K).
template <int KX, int K, class D, class V>
HWY_INLINE void TileColumn(D d, const ConvSrc& s, const float* row, const float* wk,
                           const size_t* xs, V& acc0, V& acc1, V& acc2, V& acc3) {
  for (int ci = 0; ci < s.cin; ++ci) {
    const float* r = row + ci * s.cstride + KX;
    const auto wv = hn::Set(d, wk[ci * 9 + KX]);
    acc0 = hn::Add(acc0, hn::Mul(wv, hn::LoadU(d, r + xs[0])));
    if constexpr (K > 1) acc1 = hn::Add(acc1, hn::Mul(wv, hn::LoadU(d, r + xs[1])));
    if constexpr (K > 2) acc2 = hn::Add(acc2, hn::Mul(wv, hn::LoadU(d, r + xs[2])));
    if constexpr (K > 3) acc3 = hn::Add(acc3, hn::Mul(wv, hn::LoadU(d, r + xs[3])));
  }
}

// K vectors of one output row from the tile, sharing every weight and
// keeping K independent dependency chains in flight.
template <int K, class D>
HWY_INLINE void TileGroup(D d, const ConvSrc& s, const size_t* xs, float bias, float* out) {
  auto acc0 = hn::Zero(d);
  auto acc1 = hn::Zero(d);
  auto acc2 = hn::Zero(d);
  auto acc3 = hn::Zero(d);
  for (int ky = 0; ky < 3; ++ky) {
    const float* row = s.rows[ky];
    if (row == nullptr) continue;
    const float* wk = s.wt + ky * 3;
    TileColumn<0, K>(d, s, row, wk, xs, acc0, acc1, acc2, acc3);
    TileColumn<1, K>(d, s, row, wk, xs, acc0, acc1, acc2, acc3);
    TileColumn<2, K>(d, s, row, wk, xs, acc0, acc1, acc2, acc3);
  }
  const auto b = hn::Set(d, bias);
  hn::StoreU(hn::Add(b, acc0), d, out + xs[0]);
  if constexpr (K > 1) hn::StoreU(hn::Add(b, acc1), d, out + xs[1]);
  if constexpr (K > 2) hn::StoreU(hn::Add(b, acc2), d, out + xs[2]);
  if constexpr (K > 3) hn::StoreU(hn::Add(b, acc3), d, out + xs[3]);
}

// Output columns [0, w) of one row from the tile (w >= N), in groups of up
// to four vectors. The last vector ends at w and may overlap the one
// before: the pixels both compute come out identical.
template <class D>
HWY_INLINE void TileRow(D d, const ConvSrc& s, size_t w, float bias, float* out) {
  const size_t N = hn::Lanes(d);
  const size_t v = (w + N - 1) / N;
  for (size_t g = 0; g < v; g += 4) {
    const size_t k = HWY_MIN(size_t{4}, v - g);
    size_t xs[4];
    for (size_t j = 0; j < k; ++j) xs[j] = g + j + 1 == v ? w - N : (g + j) * N;
    if (k == 1) TileGroup<1>(d, s, xs, bias, out);
    if (k == 2) TileGroup<2>(d, s, xs, bias, out);
    if (k == 3) TileGroup<3>(d, s, xs, bias, out);
    if (k == 4) TileGroup<4>(d, s, xs, bias, out);
  }
}

// Adds the taps of kernel column KX, all input channels in order, for one
// output vector at column x of P output channels: each input is loaded once
// for all of them.
template <int KX, int P, bool kFirst, bool kLast, class D, class V>
HWY_INLINE void PlanesColumn(D d, const ConvSrc& s, const float* row, const float* const* wk,
                             size_t x, const RowEnds<D>& e, V& acc0, V& acc1, V& acc2, V& acc3) {
  for (int ci = 0; ci < s.cin; ++ci) {
    const auto v = DirectTap<KX, kFirst, kLast>(d, row + ci * s.cstride + x, e);
    const size_t k = static_cast<size_t>(ci) * 9 + KX;
    acc0 = hn::Add(acc0, hn::Mul(hn::Set(d, wk[0][k]), v));
    if constexpr (P > 1) acc1 = hn::Add(acc1, hn::Mul(hn::Set(d, wk[1][k]), v));
    if constexpr (P > 2) acc2 = hn::Add(acc2, hn::Mul(hn::Set(d, wk[2][k]), v));
    if constexpr (P > 3) acc3 = hn::Add(acc3, hn::Mul(hn::Set(d, wk[3][k]), v));
  }
}

// One output vector at column x of P output channels of one batch item,
// read straight from the image. kFirst / kLast: x is the row's first / last
// vector.
template <int P, bool kFirst, bool kLast, class D>
HWY_INLINE void PlanesGroup(D d, const ConvSrc& s, const float* const* wt, const float* bias,
                            float* const* out, size_t x, const RowEnds<D>& e) {
  auto acc0 = hn::Zero(d);
  auto acc1 = hn::Zero(d);
  auto acc2 = hn::Zero(d);
  auto acc3 = hn::Zero(d);
  for (int ky = 0; ky < 3; ++ky) {
    const float* row = s.rows[ky];
    if (row == nullptr) continue;
    const float* wk[4];
    for (int j = 0; j < P; ++j) wk[j] = wt[j] + ky * 3;
    PlanesColumn<0, P, kFirst, kLast>(d, s, row, wk, x, e, acc0, acc1, acc2, acc3);
    PlanesColumn<1, P, kFirst, kLast>(d, s, row, wk, x, e, acc0, acc1, acc2, acc3);
    PlanesColumn<2, P, kFirst, kLast>(d, s, row, wk, x, e, acc0, acc1, acc2, acc3);
  }
  hn::StoreU(hn::Add(hn::Set(d, bias[0]), acc0), d, out[0] + x);
  if constexpr (P > 1) hn::StoreU(hn::Add(hn::Set(d, bias[1]), acc1), d, out[1] + x);
  if constexpr (P > 2) hn::StoreU(hn::Add(hn::Set(d, bias[2]), acc2), d, out[2] + x);
  if constexpr (P > 3) hn::StoreU(hn::Add(hn::Set(d, bias[3]), acc3), d, out[3] + x);
}

template <int P, class D>
HWY_INLINE void PlanesRow(D d, const ConvSrc& s, const float* const* wt, const float* bias,
                          float* const* out, size_t w, const RowEnds<D>& e) {
  const size_t N = hn::Lanes(d);
  const size_t v = (w + N - 1) / N;
  if (v == 1) return PlanesGroup<P, true, true>(d, s, wt, bias, out, 0, e);
  PlanesGroup<P, true, false>(d, s, wt, bias, out, 0, e);
  for (size_t j = 1; j + 1 < v; ++j) PlanesGroup<P, false, false>(d, s, wt, bias, out, j * N, e);
  PlanesGroup<P, false, true>(d, s, wt, bias, out, w - N, e);
}

struct ConvShape {
  const float* in;
  int cin, h, w, cout;
  const float* weight;
  const float* bias;
  float* out;
};

// Output planes [p0, p1), rows read straight from the image, four output
// channels at a time. Needs W >= N.
template <class D>
void ConvDirect(D d, const ConvShape& c, int p0, int p1) {
  const RowEnds<D> e(d);
  const size_t W = static_cast<size_t>(c.w);
  const size_t plane = static_cast<size_t>(c.h) * W;
  for (int q0 = p0; q0 < p1;) {
    const int n = q0 / c.cout;
    const int q1 = HWY_MIN(p1, (n + 1) * c.cout);
    const float* in = c.in + static_cast<size_t>(n) * c.cin * plane;
    ConvSrc s;
    s.cstride = plane;
    s.cin = c.cin;
    for (int y = 0; y < c.h; ++y) {
      for (int ky = 0; ky < 3; ++ky) {
        const int yy = y + ky - 1;
        s.rows[ky] = yy < 0 || yy >= c.h ? nullptr : in + static_cast<size_t>(yy) * W;
      }
      for (int p = q0; p < q1; p += 4) {
        const int k = HWY_MIN(4, q1 - p);
        const float* wt[4] = {};
        float bias[4];
        float* out[4];
        for (int j = 0; j < k; ++j) {
          const int o = (p + j) % c.cout;
          wt[j] = c.weight + static_cast<size_t>(o) * c.cin * 9;
          bias[j] = c.bias[o];
          out[j] = c.out + static_cast<size_t>(p + j) * plane + static_cast<size_t>(y) * W;
        }
        if (k == 1) PlanesRow<1>(d, s, wt, bias, out, W, e);
        if (k == 2) PlanesRow<2>(d, s, wt, bias, out, W, e);
        if (k == 3) PlanesRow<3>(d, s, wt, bias, out, W, e);
        if (k == 4) PlanesRow<4>(d, s, wt, bias, out, W, e);
      }
    }
    q0 = q1;
  }
}

// Output planes [p0, p1) through the stack tile, chunk by chunk of at most
// `chunk` columns (chunk >= N, and W >= N).
template <class D>
void ConvTiled(D d, const ConvShape& c, int p0, int p1, size_t chunk) {
  const size_t N = hn::Lanes(d);
  const size_t W = static_cast<size_t>(c.w);
  const size_t plane = static_cast<size_t>(c.h) * W;
  // Equal chunks, each a whole number of vectors where possible.
  chunk = chunk / N * N;
  const size_t chunks = (W + chunk - 1) / chunk;
  chunk = HWY_MIN(W, HWY_MIN(chunk, ((W + chunks - 1) / chunks + N - 1) / N * N));
  HWY_ALIGN float tile[kTileFloats];
  const size_t t = chunk + 2;  // tile row length
  const size_t cstride = 3 * t;
  // Planes of one batch item share their tile.
  for (int q0 = p0; q0 < p1;) {
    const int n = q0 / c.cout;
    const int q1 = HWY_MIN(p1, (n + 1) * c.cout);
    const float* in = c.in + static_cast<size_t>(n) * c.cin * plane;
    for (size_t x0 = 0; x0 < W; x0 += chunk) {
      // A short last chunk is moved left to full width, overlapping its
      // neighbour; the overlap is computed twice, identically.
      x0 = HWY_MIN(x0, W - chunk);
      // Tile column j holds input column x0 - 1 + j, zero outside the image.
      const size_t lo = x0 == 0 ? 1 : 0;
      const size_t hi = x0 + chunk == W ? t - 1 : t;
      const auto load_row = [&](int y) {
        for (int ci = 0; ci < c.cin; ++ci) {
          float* dst = tile + ci * cstride + (y % 3) * t;
          const float* src = in + ci * plane + static_cast<size_t>(y) * W + (x0 + lo - 1);
          dst[0] = 0.0f;
          dst[t - 1] = 0.0f;
          std::memcpy(dst + lo, src, (hi - lo) * sizeof(float));
        }
      };
      load_row(0);
      for (int y = 0; y < c.h; ++y) {
        if (y + 1 < c.h) load_row(y + 1);
        ConvSrc s;
        s.cstride = cstride;
        s.cin = c.cin;
        for (int ky = 0; ky < 3; ++ky) {
          const int yy = y + ky - 1;
          s.rows[ky] = yy < 0 || yy >= c.h ? nullptr : tile + (yy % 3) * t;
        }
        for (int p = q0; p < q1; ++p) {
          const int o = p % c.cout;
          s.wt = c.weight + static_cast<size_t>(o) * c.cin * 9;
          float* out = c.out + static_cast<size_t>(p) * plane + static_cast<size_t>(y) * W + x0;
          TileRow(d, s, chunk, c.bias[o], out);
        }
      }
    }
    q0 = q1;
  }
}

// The definition itself, for images too narrow for any vector.
void ConvScalar(const ConvShape& c, int p0, int p1) {
  const size_t plane = static_cast<size_t>(c.h) * c.w;
  for (int p = p0; p < p1; ++p) {
    const int n = p / c.cout, o = p % c.cout;
    const float* in = c.in + static_cast<size_t>(n) * c.cin * plane;
    const float* wt = c.weight + static_cast<size_t>(o) * c.cin * 9;
    for (int y = 0; y < c.h; ++y) {
      for (int x = 0; x < c.w; ++x) {
        float acc = 0.0f;
        for (int ky = 0; ky < 3; ++ky) {
          const int yy = y + ky - 1;
          if (yy < 0 || yy >= c.h) continue;
          for (int kx = 0; kx < 3; ++kx) {
            const int xx = x + kx - 1;
            if (xx < 0 || xx >= c.w) continue;
            for (int ci = 0; ci < c.cin; ++ci) {
              const float prod =
                  wt[ci * 9 + ky * 3 + kx] * in[ci * plane + static_cast<size_t>(yy) * c.w + xx];
              acc += prod;
            }
          }
        }
        c.out[p * plane + static_cast<size_t>(y) * c.w + x] = c.bias[o] + acc;
      }
    }
  }
}

void Conv3x3Range(const float* HWY_RESTRICT in, int N, int Cin, int H, int W,
                  const float* HWY_RESTRICT weight, const float* HWY_RESTRICT bias, int Cout,
                  float* HWY_RESTRICT out, int p0, int p1) {
  (void)N;
  if (H <= 0 || W <= 0 || Cout <= 0 || p0 >= p1) return;
  const ConvShape c{in, Cin, H, W, Cout, weight, bias, out};
  const hn::ScalableTag<float> d;
  const hn::CappedTag<float, 4> d4;
  const size_t w = static_cast<size_t>(W);
  // Widest chunk whose three rows per input channel fit the tile.
  const size_t rows = 3 * static_cast<size_t>(HWY_MAX(Cin, 1));
  const size_t chunk = kTileFloats / rows > 2 ? kTileFloats / rows - 2 : 0;
  // Full vectors beat narrow ones even without the tile.
  if (w >= hn::Lanes(d) && chunk >= hn::Lanes(d)) {
    ConvTiled(d, c, p0, p1, chunk);
  } else if (w >= hn::Lanes(d)) {
    ConvDirect(d, c, p0, p1);
  } else if (w >= hn::Lanes(d4) && chunk >= hn::Lanes(d4)) {
    ConvTiled(d4, c, p0, p1, chunk);
  } else if (w >= hn::Lanes(d4)) {
    ConvDirect(d4, c, p0, p1);
  } else {
    ConvScalar(c, p0, p1);
  }
}

// ---------------------------------------------------------------- retrieval

// |round16(a - b)| for the halves at a and b.
template <class DF>
HWY_INLINE hn::Vec<DF> ChannelDiff(DF df, const uint16_t* HWY_RESTRICT a,
                                   const uint16_t* HWY_RESTRICT b) {
  return hn::Abs(Round16(df, hn::Sub(LoadHalf(df, a), LoadHalf(df, b))));
}

// Per pixel: m = round16((d0 + d1 + d2) / 3), channels stride apart.
template <class DF>
HWY_INLINE hn::Vec<DF> PooledDiff(DF df, const uint16_t* HWY_RESTRICT a,
                                  const uint16_t* HWY_RESTRICT b, uint64_t stride, uint64_t i) {
  const auto d0 = ChannelDiff(df, a + i, b + i);
  const auto d1 = ChannelDiff(df, a + stride + i, b + stride + i);
  const auto d2 = ChannelDiff(df, a + 2 * stride + i, b + 2 * stride + i);
  return Round16(df, hn::Div(hn::Add(hn::Add(d0, d1), d2), hn::Set(df, 3.0f)));
}

// The per-pixel terms are vectorised; the sum runs through them in pixel
// order so that it rounds exactly like the sequential definition.
float RetrieveTermPooled(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                         const uint16_t* HWY_RESTRICT w, uint64_t n) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  HWY_ALIGN float t[HWY_LANES(float)];
  float score = 0.0f;
  uint64_t i = 0;
  for (; i + N <= n; i += N) {
    const auto m = PooledDiff(df, a, b, n, i);
    hn::Store(Round16(df, hn::Mul(m, LoadHalf(df, w + i))), df, t);
    for (size_t j = 0; j < N; ++j) score += t[j];
  }
  const hn::CappedTag<float, 1> d1;
  for (; i < n; ++i) {
    const auto m = PooledDiff(d1, a, b, n, i);
    score += hn::GetLane(Round16(d1, hn::Mul(m, LoadHalf(d1, w + i))));
  }
  return score;
}

// Pixels of zero weight are skipped. Their lanes add +0 instead, which is
// the same: the score starts at +0 and a float sum is -0 only when both
// terms are, so the score is never -0 and adding +0 leaves it unchanged.
template <class DF>
HWY_INLINE hn::Vec<DF> ExactTerm(DF df, const uint16_t* HWY_RESTRICT a,
                                 const uint16_t* HWY_RESTRICT b, const float* HWY_RESTRICT w,
                                 uint64_t stride, uint64_t i) {
  const auto wv = hn::LoadU(df, w + i);
  const auto t = hn::Mul(wv, PooledDiff(df, a, b, stride, i));
  return hn::IfThenZeroElse(hn::Eq(wv, hn::Zero(df)), t);
}

float RetrieveTermExactRange(const uint16_t* HWY_RESTRICT a, const uint16_t* HWY_RESTRICT b,
                             const float* HWY_RESTRICT w, uint64_t stride, uint64_t begin,
                             uint64_t end) {
  const hn::ScalableTag<float> df;
  const size_t N = hn::Lanes(df);
  HWY_ALIGN float t[HWY_LANES(float)];
  float score = 0.0f;
  uint64_t i = begin;
  for (; i + N <= end; i += N) {
    hn::Store(ExactTerm(df, a, b, w, stride, i), df, t);
    for (size_t j = 0; j < N; ++j) score += t[j];
  }
  const hn::CappedTag<float, 1> d1;
  for (; i < end; ++i) score += hn::GetLane(ExactTerm(d1, a, b, w, stride, i));
  return score;
}

int64_t ThisTarget() {
  return HWY_TARGET;
}

#undef LE_SIMD_F16C

}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {

void halfToFloat(const uint16_t* src, float* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const uint32_t h = src[i];
    const uint32_t sign = (h & 0x8000u) << 16;
    const uint32_t e = (h >> 10) & 0x1f;
    const uint32_t m = h & 0x3ff;
    uint32_t bits;
    if (e == 0) {
      // Zero or subnormal: m * 2^-24 is exact in float.
      const float f = static_cast<float>(m) * (1.0f / 16777216.0f);
      std::memcpy(&bits, &f, sizeof bits);
      bits |= sign;
    } else if (e == 31) {
      bits = sign | 0x7f800000u | (m << 13) | (m ? 0x400000u : 0u);
    } else {
      bits = sign | ((e + 112) << 23) | (m << 13);
    }
    std::memcpy(&dst[i], &bits, sizeof bits);
  }
}

uint16_t f32ToF16(float x) {
  uint32_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  const uint32_t s = (bits >> 16) & 0x8000u;
  const uint32_t e = (bits >> 23) & 0xff;
  const uint32_t m = bits & 0x7fffffu;
  if (e > 142) return static_cast<uint16_t>(s | 0x7c00u);
  if (e > 112) {
    uint32_t h = ((e - 112) << 10) | (m >> 13);
    const uint32_t dropped = m & 0x1fffu;
    if (dropped > 0x1000u || (dropped == 0x1000u && (h & 1u))) ++h;  // may carry to infinity
    return static_cast<uint16_t>(s | h);
  }
  if (e < 102) return static_cast<uint16_t>(s);
  const uint32_t mant = m | 0x800000u;
  const uint32_t shift = 126 - e;  // 14..24
  uint32_t h = mant >> shift;
  const uint32_t dropped = mant & ((1u << shift) - 1);
  const uint32_t half = 1u << (shift - 1);
  if (dropped > half || (dropped == half && (h & 1u))) ++h;  // may become the smallest normal
  return static_cast<uint16_t>(s | h);
}

namespace simd {
namespace {

const uint16_t* byteHalves() {
  static const struct Table {
    Table() {
      for (int b = 0; b < 256; ++b) h[b] = le::f32ToF16(static_cast<float>(b) / 255.0f);
    }
    uint16_t h[256];
  } table;
  return table.h;
}

}  // namespace

HWY_EXPORT(F16ToF32);
HWY_EXPORT(F32ToF16);
HWY_EXPORT(Rgb8ToPlanarF16);
HWY_EXPORT(Conv3x3Range);
HWY_EXPORT(RetrieveTermPooled);
HWY_EXPORT(RetrieveTermExactRange);
HWY_EXPORT(ThisTarget);

void f16ToF32(const uint16_t* src, float* dst, uint64_t n) {
  HWY_DYNAMIC_DISPATCH(F16ToF32)(src, dst, n);
}

void f32ToF16(const float* src, uint16_t* dst, uint64_t n) {
  HWY_DYNAMIC_DISPATCH(F32ToF16)(src, dst, n);
}

void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, uint64_t stride, uint64_t n) {
  HWY_DYNAMIC_DISPATCH(Rgb8ToPlanarF16)(rgb, dst, stride, n);
}

void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weight,
                  const float* bias, int Cout, float* out, int p0, int p1) {
  HWY_DYNAMIC_DISPATCH(Conv3x3Range)(in, N, Cin, H, W, weight, bias, Cout, out, p0, p1);
}

float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, uint64_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermPooled)(a, b, w, n);
}

float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, uint64_t n) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, w, n, 0, n);
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w, uint64_t stride,
                             uint64_t begin, uint64_t end) {
  return HWY_DYNAMIC_DISPATCH(RetrieveTermExactRange)(a, b, w, stride, begin, end);
}

const char* target() {
  const int64_t t = hwy::SupportedTargets();
  return hwy::TargetName(t & -t);
}

namespace detail {
const char* dispatchedTarget() {
  return hwy::TargetName(HWY_DYNAMIC_DISPATCH(ThisTarget)());
}
}  // namespace detail

}  // namespace simd
}  // namespace le
#endif  // HWY_ONCE
