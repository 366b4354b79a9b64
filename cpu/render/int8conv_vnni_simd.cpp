// Int8ConvVNNI's integer kernels, compiled once per Highway target and
// chosen at run time. Every target gives the same integer sums (they are
// exact) and the same floats (the epilogue computes sc * float(acc - zw) +
// bias on every target), so results do not depend on the processor.

// Highway leaves AVX3_DL out unless asked; it is the target with 8-bit dot products.
#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "render/int8conv_vnni.h"
#include "render/int8conv_vnni_simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "render/int8conv_vnni_simd.cpp"
#include <hwy/foreach_target.h>  // must precede highway.h
#include <hwy/highway.h>

#ifndef LE_INT8CONV_SIMD_SHARED
#define LE_INT8CONV_SIMD_SHARED
namespace le {
namespace int8conv {
namespace {

// ---------------------------------------------------------------- scalar definitions
//
// The reference every target must reproduce, and the code of targets
// without fixed-size vectors.

void minMaxScalar(const float* x, size_t n, float& lo, float& hi) {
  for (size_t i = 0; i < n; ++i) {
    lo = x[i] < lo ? x[i] : lo;
    hi = x[i] > hi ? x[i] : hi;
  }
}

uint32_t quantOne(float x, float s, int zp) {
  const float q = std::nearbyint(x / s) + float(zp);
  return uint32_t(q >= 255.f ? 255.f : q > 0.f ? q : 0.f);  // NaN -> 0
}

template <int kBytes>
void quantRowScalar(const float* const* src, size_t count, Quant qp, uint8_t* dst, size_t step) {
  for (size_t p = 0; p < count; ++p) {
    uint8_t* out = dst + p * step;
    for (int c = 0; c < 4; ++c) {
      const uint32_t q = quantOne(src[c][p], qp.s, qp.zp);
      out[kBytes * c] = uint8_t(q);
      if (kBytes == 2) out[kBytes * c + 1] = 0;
    }
  }
}

template <int P>
void tileScalar(const uint8_t* x, ptrdiff_t pixStep, const ptrdiff_t* off, const int* tap, int taps,
                const int8_t* w, int cin4, int32_t* out) {
  int32_t acc[P][kBlock] = {};
  for (int k = 0; k < taps; ++k) {
    const int8_t* wt = w + ptrdiff_t(tap[k]) * cin4 * 64;
    for (int p = 0; p < P; ++p) {
      const uint8_t* xp = x + p * pixStep + off[k];
      for (int c = 0; c < cin4; ++c) {
        const uint8_t* q = xp + 4 * c;
        const int8_t* wc = wt + 64 * c;
        for (int o = 0; o < kBlock; ++o)
          acc[p][o] += int32_t(q[0]) * wc[4 * o] + int32_t(q[1]) * wc[4 * o + 1] +
                       int32_t(q[2]) * wc[4 * o + 2] + int32_t(q[3]) * wc[4 * o + 3];
      }
    }
  }
  std::memcpy(out, acc, sizeof acc);
}

void borderScalar(const uint8_t* const* xs, const int* taps, int n, const int8_t* w, int cin4,
                  int32_t* out) {
  int32_t acc[kBlock] = {};
  for (int k = 0; k < n; ++k) {
    const int8_t* wt = w + ptrdiff_t(taps[k]) * cin4 * 64;
    for (int c = 0; c < cin4; ++c) {
      const uint8_t* q = xs[k] + 4 * c;
      const int8_t* wc = wt + 64 * c;
      for (int o = 0; o < kBlock; ++o)
        acc[o] += int32_t(q[0]) * wc[4 * o] + int32_t(q[1]) * wc[4 * o + 1] +
                  int32_t(q[2]) * wc[4 * o + 2] + int32_t(q[3]) * wc[4 * o + 3];
    }
  }
  std::memcpy(out, acc, sizeof acc);
}

void epilogueScalar(const int32_t* acc, const int32_t* zw, int64_t ow, const float* sc,
                    const float* bi, int nco, float* y, size_t plane) {
  for (int o = 0; o < nco; ++o) {
    float* yr = y + size_t(o) * plane;
    for (int64_t x = 0; x < ow; ++x) {
      const size_t i = size_t(x) * kBlock + size_t(o);
      yr[x] = sc[o] * float(acc[i] - zw[i]) + bi[o];
    }
  }
}

}  // namespace
}  // namespace int8conv
}  // namespace le
#endif  // LE_INT8CONV_SIMD_SHARED

HWY_BEFORE_NAMESPACE();
namespace le {
namespace int8conv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Tiles hold their accumulators in arrays, which sizeless (scalable) vector
// types cannot be; those targets, like the one-lane one, run the scalar
// definitions.
#if HWY_TARGET != HWY_SCALAR && !HWY_HAVE_SCALABLE
#define LE_INT8_LANES 1
#else
#define LE_INT8_LANES 0
#endif

#if LE_INT8_LANES

// ---------------------------------------------------------------- integer sums
//
// A "quads" policy multiplies one pixel's group of 4 input channels with a
// block's 16 x 4 weights and accumulates the 16 sums.

// Int32 lanes that carry a block's 16 output channels: 4, 8 or 16.
constexpr size_t kLanes32 = HWY_MIN(size_t(16), size_t(HWY_MAX_BYTES / 4));

// Highway's widening multiply-add on 16-bit lanes, one group of 4 inputs
// broadcast to every 64 bits. The 64 weight bytes of a group widen to
// kVecs vectors, each kLanes32 / 2 output channels x 4 inputs; the pairwise
// products give two partial sums per output channel (inputs 0 + 1 and
// 2 + 3), added together when the tile is stored.
struct MaddQuads {
  using D32 = hn::CappedTag<int32_t, kLanes32>;
  using D16 = hn::Repartition<int16_t, D32>;
  using D8 = hn::Rebind<int8_t, D16>;
  using D64 = hn::Repartition<uint64_t, D32>;
  using V32 = hn::Vec<D32>;
  using V16 = hn::Vec<D16>;
  static constexpr int kVecs = int(32 / kLanes32);
  static constexpr int kActBytes = 2;
  // Register budget: pixels x kVecs accumulators besides the weights.
  static constexpr int kTile = kLanes32 >= 16 ? 12 : kLanes32 == 8 ? 3 : 1;

  // Constructors of their own, so that they carry the target's attributes:
  // implicit ones do not, and cannot inline the vectors' constructors.
  struct Acc {
    HWY_INLINE Acc() {}
    V32 sum0[kVecs], sum1[kVecs];  // sum1 holds the halves some targets keep apart
  };
  struct Weights {
    HWY_INLINE Weights() {}
    V16 w[kVecs];
  };

  static HWY_INLINE void Zero(Acc& a) {
    for (int j = 0; j < kVecs; ++j) a.sum0[j] = a.sum1[j] = hn::Zero(D32());
  }
  static HWY_INLINE Weights Load(const int8_t* wc) {
    Weights r;
    for (int j = 0; j < kVecs; ++j)
      r.w[j] = hn::PromoteTo(D16(), hn::LoadU(D8(), wc + j * 2 * int(kLanes32)));
    return r;
  }
  // q: the pixel's group of 4 values, 16 bits each.
  static HWY_INLINE void Add(Acc& a, const uint8_t* q, const Weights& w) {
    uint64_t bits;
    std::memcpy(&bits, q, 8);
    const V16 x = hn::BitCast(D16(), hn::Set(D64(), bits));
    for (int j = 0; j < kVecs; ++j)
      a.sum0[j] = hn::ReorderWidenMulAccumulate(D32(), x, w.w[j], a.sum0[j], a.sum1[j]);
  }
  static HWY_INLINE void Store(const Acc& a, int32_t* out) {
    const D32 d;
    for (int j = 0; j < kVecs; j += 2) {
      const V32 lo = hn::RearrangeToOddPlusEven(a.sum0[j], a.sum1[j]);
      const V32 hi = hn::RearrangeToOddPlusEven(a.sum0[j + 1], a.sum1[j + 1]);
      hn::StoreU(hn::Add(hn::ConcatEven(d, hi, lo), hn::ConcatOdd(d, hi, lo)), d,
                 out + j * int(kLanes32) / 2);
    }
  }
};

#if HWY_TARGET == HWY_AVX3_DL
// The one target-specific part. Highway 1.0 has no 8-bit dot product, and
// its widening multiply-add does half the work per instruction: with the
// tiles above the convolution took 1.4 to 1.9 times as long as with
// vpdpbusd. Highway admits this target only on processors with AVX-512 VNNI,
// whose vpdpbusd adds four uint8 x int8 products to each int32 lane; its
// flags for the compiler say "avxvnni" instead, hence the attribute on the
// functions that use it.
#define LE_INT8_ATTR __attribute__((target(HWY_TARGET_STR ",avx512vnni")))
struct DotQuads {
  using D32 = hn::ScalableTag<int32_t>;
  using D8 = hn::Repartition<int8_t, D32>;
  using V32 = hn::Vec<D32>;
  static_assert(hn::MaxLanes(D32()) == kBlock, "one vector holds a block's outputs");
  static constexpr int kActBytes = 1;
  static constexpr int kTile = 12;

  struct Acc {
    HWY_INLINE Acc() {}
    V32 sum;
  };
  struct Weights {
    HWY_INLINE Weights() {}
    V32 w;
  };

  static HWY_INLINE void Zero(Acc& a) { a.sum = hn::Zero(D32()); }
  static HWY_INLINE Weights Load(const int8_t* wc) {
    Weights r;
    r.w = hn::BitCast(D32(), hn::LoadU(D8(), wc));
    return r;
  }
  LE_INT8_ATTR static HWY_INLINE void Add(Acc& a, const uint8_t* q, const Weights& w) {
    int32_t word;
    std::memcpy(&word, q, 4);
    a.sum = V32{_mm512_dpbusd_epi32(a.sum.raw, hn::Set(D32(), word).raw, w.w.raw)};
  }
  static HWY_INLINE void Store(const Acc& a, int32_t* out) { hn::StoreU(a.sum, D32(), out); }
};
using Quads = DotQuads;
#else
#define LE_INT8_ATTR
using Quads = MaddQuads;
#endif

template <int P>
LE_INT8_ATTR void Tile(const uint8_t* x, ptrdiff_t pixStep, const ptrdiff_t* off, const int* tap,
                       int taps, const int8_t* w, int cin4, int32_t* out) {
  typename Quads::Acc acc[P];
  HWY_UNROLL(16)
  for (int p = 0; p < P; ++p) Quads::Zero(acc[p]);
  constexpr int kStep = 4 * Quads::kActBytes;
  for (int k = 0; k < taps; ++k) {
    const uint8_t* xt = x + off[k];
    const int8_t* wt = w + ptrdiff_t(tap[k]) * cin4 * 64;
    for (int c = 0; c < cin4; ++c) {
      const typename Quads::Weights wc = Quads::Load(wt + 64 * c);
      HWY_UNROLL(16)
      for (int p = 0; p < P; ++p) Quads::Add(acc[p], xt + p * pixStep + kStep * c, wc);
    }
  }
  HWY_UNROLL(16)
  for (int p = 0; p < P; ++p) Quads::Store(acc[p], out + p * kBlock);
}

LE_INT8_ATTR void Border(const uint8_t* const* xs, const int* taps, int n, const int8_t* w,
                         int cin4, int32_t* out) {
  typename Quads::Acc acc;
  Quads::Zero(acc);
  constexpr int kStep = 4 * Quads::kActBytes;
  for (int k = 0; k < n; ++k) {
    const int8_t* wt = w + ptrdiff_t(taps[k]) * cin4 * 64;
    for (int c = 0; c < cin4; ++c) Quads::Add(acc, xs[k] + kStep * c, Quads::Load(wt + 64 * c));
  }
  Quads::Store(acc, out);
}

// ---------------------------------------------------------------- range and quantisation

void MinMax(const float* HWY_RESTRICT x, size_t n, float& lo, float& hi) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  auto vlo = hn::Set(d, lo), vhi = hn::Set(d, hi);
  size_t i = 0;
  for (; i + N <= n; i += N) {
    const auto v = hn::LoadU(d, x + i);
    // Compare and select as the scalar loop does: a NaN never wins, on any target.
    vlo = hn::IfThenElse(hn::Lt(v, vlo), v, vlo);
    vhi = hn::IfThenElse(hn::Gt(v, vhi), v, vhi);
  }
  HWY_ALIGN float l[HWY_MAX_BYTES / 4], h[HWY_MAX_BYTES / 4];
  hn::Store(vlo, d, l);
  hn::Store(vhi, d, h);
  minMaxScalar(l, N, lo, hi);
  minMaxScalar(h, N, lo, hi);
  minMaxScalar(x + i, n - i, lo, hi);
}

// The same rounding as quantOne (division, ties to even), a vector of pixels per step.
template <int kBytes>
void QuantRow(const float* const* src, size_t count, Quant qp, uint8_t* dst, size_t step) {
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  const hn::RebindToUnsigned<decltype(d)> du;
  const size_t N = hn::Lanes(d);
  const auto s = hn::Set(d, qp.s), zp = hn::Set(d, float(qp.zp));
  const auto zero = hn::Zero(d), top = hn::Set(d, 255.f);
  HWY_ALIGN uint32_t words[2][HWY_MAX_BYTES / 4];
  size_t p = 0;
  for (; p + N <= count; p += N) {
    hn::Vec<decltype(du)> word[2] = {hn::Zero(du), hn::Zero(du)};
    for (int c = 0; c < 4; ++c) {
      auto q = hn::Add(hn::Round(hn::Div(hn::LoadU(d, src[c] + p), s)), zp);
      q = hn::Min(hn::IfThenElse(hn::Gt(q, zero), q, zero), top);  // NaN -> 0, as in quantOne
      const auto v = hn::BitCast(du, hn::ConvertTo(di, q));
      const int at = c * kBytes * 8;  // bit position of value c in its 32-bit word
      word[at / 32] = hn::Or(word[at / 32], hn::ShiftLeftSame(v, at % 32));
    }
    for (int k = 0; k < kBytes; ++k) hn::Store(word[k], du, words[k]);
    for (size_t k = 0; k < N; ++k)
      for (int h = 0; h < kBytes; ++h) std::memcpy(dst + (p + k) * step + 4 * h, &words[h][k], 4);
  }
  const float* rest[4] = {src[0] + p, src[1] + p, src[2] + p, src[3] + p};
  quantRowScalar<kBytes>(rest, count - p, qp, dst + p * step, step);
}

// ---------------------------------------------------------------- float epilogue

// Lanes of the epilogue's square transposes: 8 pixels x 8 channels where
// vectors have 256 bits or more, 4 x 4 on 128-bit targets.
constexpr size_t kSquare = HWY_MAX_BYTES >= 32 ? 8 : 4;

void Epilogue(const int32_t* acc, const int32_t* zw, int64_t ow, const float* sc, const float* bi,
              int nco, float* y, size_t plane) {
  using D = hn::CappedTag<float, kSquare>;
  using V = hn::Vec<D>;
  const D d;
  const hn::RebindToSigned<D> di;
  const hn::Repartition<uint64_t, D> d64;
  constexpr int L = int(kSquare);
  auto lower64 = [&](V a, V b) {
    return hn::BitCast(d, hn::InterleaveLower(d64, hn::BitCast(d64, a), hn::BitCast(d64, b)));
  };
  auto upper64 = [&](V a, V b) {
    return hn::BitCast(d, hn::InterleaveUpper(d64, hn::BitCast(d64, a), hn::BitCast(d64, b)));
  };
  int64_t x = 0;
  for (; x + L <= ow; x += L)
    for (int h = 0; h * L < nco; ++h) {
      const V s = hn::LoadU(d, sc + L * h), b = hn::LoadU(d, bi + L * h);
      V r[L];  // pixel p, channels L h ..
      for (int p = 0; p < L; ++p) {
        const size_t i = size_t(x + p) * kBlock + size_t(L * h);
        const auto diff = hn::Sub(hn::LoadU(di, acc + i), hn::LoadU(di, zw + i));
        r[p] = hn::Add(hn::Mul(s, hn::ConvertTo(d, diff)), b);
      }
      // Pixels x channels -> channels x pixels, within each 128-bit block first.
      V c[L];  // channel L h + k, pixels x ..
      for (int g = 0; g < L / 4; ++g) {
        const V* q = r + 4 * g;
        const V t0 = hn::InterleaveLower(d, q[0], q[1]), t1 = hn::InterleaveUpper(d, q[0], q[1]);
        const V t2 = hn::InterleaveLower(d, q[2], q[3]), t3 = hn::InterleaveUpper(d, q[2], q[3]);
        V* u = c + 4 * g;
        u[0] = lower64(t0, t2);
        u[1] = upper64(t0, t2);
        u[2] = lower64(t1, t3);
        u[3] = upper64(t1, t3);
      }
#if HWY_MAX_BYTES >= 32
      // Block 0 of c[k] holds channel k, block 1 channel k + 4, for pixels
      // 0..3 (k < 4) or 4..7 (k >= 4).
      for (int k = 0; k < 4; ++k) {
        const V lo = c[k], hi = c[k + 4];
        c[k] = hn::ConcatLowerLower(d, hi, lo);
        c[k + 4] = hn::ConcatUpperUpper(d, hi, lo);
      }
#endif
      for (int k = 0; k < L && L * h + k < nco; ++k)
        hn::StoreU(c[k], d, y + size_t(L * h + k) * plane + size_t(x));
    }
  if (x < ow)
    epilogueScalar(acc + size_t(x) * kBlock, zw + size_t(x) * kBlock, ow - x, sc, bi, nco,
                   y + size_t(x), plane);
}

template <size_t... I>
constexpr Kernels MakeKernels(std::index_sequence<I...>) {
  return Kernels{
      HWY_TARGET,
      Quads::kTile,
      Quads::kActBytes,
      {(I == 0 || int(I) > Quads::kTile ? nullptr
                                        : &Tile<(int(I) <= Quads::kTile ? int(I) : 1)>)...},
      &Border,
      &Epilogue,
      &MinMax,
      &QuantRow<Quads::kActBytes>};
}

const Kernels* Int8Kernels() {
  static constexpr Kernels k = MakeKernels(std::make_index_sequence<kMaxTile + 1>());
  return &k;
}

#undef LE_INT8_ATTR

#else  // !LE_INT8_LANES

template <size_t... I>
constexpr Kernels MakeKernels(std::index_sequence<I...>) {
  return Kernels{HWY_TARGET,
                 6,
                 1,
                 {(I == 0 || I > 6 ? nullptr : &tileScalar<(I <= 6 ? int(I) : 1)>)...},
                 &borderScalar,
                 &epilogueScalar,
                 &minMaxScalar,
                 &quantRowScalar<1>};
}

const Kernels* Int8Kernels() {
  static constexpr Kernels k = MakeKernels(std::make_index_sequence<kMaxTile + 1>());
  return &k;
}

#endif  // LE_INT8_LANES
#undef LE_INT8_LANES

}  // namespace HWY_NAMESPACE
}  // namespace int8conv
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {
namespace int8conv {

HWY_EXPORT(Int8Kernels);

const Kernels& bestKernels() {
  return *HWY_DYNAMIC_DISPATCH(Int8Kernels)();
}

}  // namespace int8conv

namespace detail {
const char* int8ConvTarget() {
  return hwy::TargetName(int8conv::bestKernels().target);
}
}  // namespace detail

}  // namespace le
#endif  // HWY_ONCE
