// 4:2:0 rows to packed RGB with the integer formula, one pass per target.
//
// Vector blocks work in 16-bit lanes, even and odd pixels in separate
// vectors against the same chroma lanes, so chroma is never duplicated.
// A channel's sum A = C + W (W its chroma part) needs 18 bits, but its byte
// clamp(A >> 8) only needs T = floor(A / 2) clamped to 16 bits: sat(T) >> 7,
// clamped to [0, 255] by the saturating pack. T is the sum of a luma term
// 149 Y - 2320 - k and a chroma term floor(W / 2) + k; with k = 4096 both
// fit 16 bits, and one saturating add joins them. Blue's W / 2 = 258 D is
// too wide, so blue uses floor(A / 4) = floor(luma term / 2) + 129 D + k / 2
// and >> 6 instead. The tests check every (Y, U, V) on every target.

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

#include "driver/le_yuv2rgb_simd.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "driver/le_yuv2rgb_simd.cpp"
#include <hwy/foreach_target.h>  // must precede highway.h
#include <hwy/highway.h>

#ifndef LE_YUV2RGB_SCALAR
#define LE_YUV2RGB_SCALAR
namespace le {
namespace simd {
namespace {

inline uint8_t clamp255(int v) {
  return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

// The definition, for row tails and one-lane targets.
inline void rowScalar(const uint8_t* y, const uint8_t* u, const uint8_t* v, int x0, int width,
                      int step, uint8_t* dst) {
  for (int x = x0; x < width; ++x) {
    const int c = 298 * (y[x] - 16) + 128;
    const int d = u[step * (x / 2)] - 128;
    const int e = v[step * (x / 2)] - 128;
    dst[3 * x + 0] = clamp255((c + 409 * e) >> 8);
    dst[3 * x + 1] = clamp255((c - 100 * d - 208 * e) >> 8);
    dst[3 * x + 2] = clamp255((c + 516 * d) >> 8);
  }
}

// Packed channel vectors hold 16 pixels per 128-bit block, even pixels
// first: pixel q of a block is byte (q & 1) * 8 + q / 2.
constexpr uint8_t packedByte(int q) {
  return uint8_t((q & 1) * 8 + q / 2);
}

// Byte shuffles that spread a block's packed channels over its 48 output
// bytes, three chunks of 16; 0x80 leaves a byte for another channel.
struct ChunkTables {
  uint8_t t[3][3][16];  // [chunk][channel][byte]
};
constexpr ChunkTables makeChunkTables() {
  ChunkTables c{};
  for (int chunk = 0; chunk < 3; ++chunk) {
    for (int ch = 0; ch < 3; ++ch) {
      for (int i = 0; i < 16; ++i) {
        const int o = 16 * chunk + i;
        c.t[chunk][ch][i] = o % 3 == ch ? packedByte(o / 3) : uint8_t(0x80);
      }
    }
  }
  return c;
}
alignas(16) constexpr ChunkTables kChunks = makeChunkTables();

// Whole-vector byte permutes for 64-byte vectors: output vector i takes red
// and green in one two-source permute, then blue where bMask is set.
struct WideTables {
  uint8_t rg[3][64];
  uint8_t b[3][64];
  uint64_t bMask[3];
};
constexpr WideTables makeWideTables() {
  WideTables w{};
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 64; ++j) {
      const int o = 64 * i + j, q = o / 3, ch = o % 3;
      const uint8_t src = uint8_t(16 * (q / 16) + packedByte(q % 16));
      w.rg[i][j] = ch == 1 ? uint8_t(64 + src) : src;
      w.b[i][j] = src;
      if (ch == 2) w.bMask[i] |= uint64_t(1) << j;
    }
  }
  return w;
}
alignas(64) constexpr WideTables kWide = makeWideTables();

}  // namespace
}  // namespace simd
}  // namespace le
#endif

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR

// Saturates 16-bit lanes to [0, 255] and packs two vectors: block k of the
// result holds a's lanes 8k..8k+7, then b's.
template <class D16, class V = hn::Vec<D16>>
HWY_INLINE hn::Vec<hn::Repartition<uint8_t, D16>> PackBlocks(D16 d16, V a, V b) {
  const hn::Repartition<uint8_t, D16> d8;
  using V8 = hn::Vec<decltype(d8)>;
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
  (void)d16;
  return V8{_mm512_packus_epi16(a.raw, b.raw)};
#elif HWY_TARGET == HWY_AVX2
  (void)d16;
  return V8{_mm256_packus_epi16(a.raw, b.raw)};
#elif HWY_TARGET == HWY_SSE4
  (void)d16;
  return V8{_mm_packus_epi16(a.raw, b.raw)};
#else
  // The portable form; SSSE3 takes it too, so the tests cover it.
  const auto zero = hn::Zero(d16);
  const auto k255 = hn::Set(d16, 255);
  const V8 ca = hn::BitCast(d8, hn::Min(hn::Max(a, zero), k255));
  const V8 cb = hn::BitCast(d8, hn::Min(hn::Max(b, zero), k255));
  alignas(16) static constexpr uint8_t kLow[16] = {0,    2,    4,    6,    8,    10,   12,   14,
                                                   0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
  alignas(16) static constexpr uint8_t kHigh[16] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                                    0,    2,    4,    6,    8,    10,   12,   14};
  return hn::Or(hn::TableLookupBytesOr0(ca, hn::LoadDup128(d8, kLow)),
                hn::TableLookupBytesOr0(cb, hn::LoadDup128(d8, kHigh)));
#endif
}

// One 16-byte part of each block's output from the three channels.
template <class D8, class V8 = hn::Vec<D8>>
HWY_INLINE V8 Chunk(D8 d8, V8 r, V8 g, V8 b, const uint8_t (*table)[16]) {
  const V8 t0 = hn::TableLookupBytesOr0(r, hn::LoadDup128(d8, table[0]));
  const V8 t1 = hn::TableLookupBytesOr0(g, hn::LoadDup128(d8, table[1]));
  const V8 t2 = hn::TableLookupBytesOr0(b, hn::LoadDup128(d8, table[2]));
  return hn::Or(hn::Or(t0, t1), t2);
}

// Writes the 3 * Lanes(d8) bytes of packed channel vectors as RGB.
template <class D8, class V8 = hn::Vec<D8>>
HWY_INLINE void StoreRgb(D8 d8, V8 r, V8 g, V8 b, uint8_t* HWY_RESTRICT dst) {
#if HWY_TARGET == HWY_AVX3_DL
  // Byte permutes across the whole vector need no block shuffles.
  for (int i = 0; i < 3; ++i) {
    const __m512i rg = _mm512_permutex2var_epi8(r.raw, hn::Load(d8, kWide.rg[i]).raw, g.raw);
    const __m512i rgb =
        _mm512_mask_permutexvar_epi8(rg, kWide.bMask[i], hn::Load(d8, kWide.b[i]).raw, b.raw);
    hn::StoreU(V8{rgb}, d8, dst + 64 * i);
  }
#else
  // Block k of a, b and c holds output bytes 48k.. 48k + 47 in three parts.
  const V8 a = Chunk(d8, r, g, b, kChunks.t[0]);
  const V8 bb = Chunk(d8, r, g, b, kChunks.t[1]);
  const V8 c = Chunk(d8, r, g, b, kChunks.t[2]);
#if HWY_TARGET == HWY_AVX3
  // Blocks to memory order: A0 B0 C0 A1 | B1 C1 A2 B2 | C2 A3 B3 C3, each
  // vector from two two-source permutes of 64-bit lanes.
  const __m512i A = a.raw, B = bb.raw, C = c.raw;
  const __m512i o0 = _mm512_permutex2var_epi64(
      _mm512_permutex2var_epi64(A, _mm512_setr_epi64(0, 1, 8, 9, 0, 0, 2, 3), B),
      _mm512_setr_epi64(0, 1, 2, 3, 8, 9, 6, 7), C);
  const __m512i o1 = _mm512_permutex2var_epi64(
      _mm512_permutex2var_epi64(B, _mm512_setr_epi64(2, 3, 10, 11, 0, 0, 4, 5), C),
      _mm512_setr_epi64(0, 1, 2, 3, 12, 13, 6, 7), A);
  const __m512i o2 = _mm512_permutex2var_epi64(
      _mm512_permutex2var_epi64(A, _mm512_setr_epi64(0, 0, 6, 7, 14, 15, 0, 0), B),
      _mm512_setr_epi64(12, 13, 2, 3, 4, 5, 14, 15), C);
  hn::StoreU(V8{o0}, d8, dst);
  hn::StoreU(V8{o1}, d8, dst + 64);
  hn::StoreU(V8{o2}, d8, dst + 128);
#elif HWY_TARGET == HWY_AVX2
  hn::StoreU(hn::ConcatLowerLower(d8, bb, a), d8, dst);
  hn::StoreU(hn::ConcatUpperLower(d8, a, c), d8, dst + 32);
  hn::StoreU(hn::ConcatUpperUpper(d8, c, bb), d8, dst + 64);
#else
  constexpr size_t kBlocks = hn::MaxLanes(d8) / 16;
  if constexpr (kBlocks == 1) {
    hn::StoreU(a, d8, dst);
    hn::StoreU(bb, d8, dst + 16);
    hn::StoreU(c, d8, dst + 32);
  } else {
    // Other wide targets: through memory, a block at a time.
    HWY_ALIGN uint8_t parts[3][hn::MaxLanes(d8)];
    hn::Store(a, d8, parts[0]);
    hn::Store(bb, d8, parts[1]);
    hn::Store(c, d8, parts[2]);
    for (size_t k = 0; k < hn::Lanes(d8) / 16; ++k) {
      for (int p = 0; p < 3; ++p) std::memcpy(dst + 48 * k + 16 * p, parts[p] + 16 * k, 16);
    }
  }
#endif
#endif
}

// The formula's constants, made once per row (k = 4096 above).
template <class D8>
struct Consts {
  using D16 = hn::Repartition<int16_t, D8>;
  using DU16 = hn::Repartition<uint16_t, D8>;
  // Spelled out: an implicit constructor would miss the target's attributes.
  HWY_INLINE Consts()
      : lowByte(hn::Set(du16, 0xFF)),
        k409h(hn::Set(du16, 409 << 7)),
        k149(hn::Set(d16, 149)),
        kL(hn::Set(d16, -2320 - 4096)),
        kR(hn::Set(d16, -409 * 128 / 2 + 4096)),
        kM50(hn::Set(d16, -50)),
        kM104(hn::Set(d16, -104)),
        kG(hn::Set(d16, (50 + 104) * 128 + 4096)),
        k129(hn::Set(d16, 129)),
        kB(hn::Set(d16, -129 * 128 + 4096 / 2)) {}
  D8 d8;
  D16 d16;
  DU16 du16;
  hn::Vec<DU16> lowByte, k409h;
  hn::Vec<D16> k149, kL, kR, kM50, kM104, kG, k129, kB;
};

// Pixels [x, x + Lanes(d8)); x is even.
template <int kStep, class D8>
HWY_INLINE void Block(const Consts<D8>& k, const uint8_t* HWY_RESTRICT y,
                      const uint8_t* HWY_RESTRICT u, const uint8_t* HWY_RESTRICT v, int x,
                      uint8_t* HWY_RESTRICT dst) {
  const D8 d8 = k.d8;
  const auto d16 = k.d16;
  const auto du16 = k.du16;
  // Even pixels are the low bytes of the luma words, odd ones the high.
  const auto y16 = hn::BitCast(du16, hn::LoadU(d8, y + x));
  const auto ye = hn::BitCast(d16, hn::And(y16, k.lowByte));
  const auto yo = hn::BitCast(d16, hn::ShiftRight<8>(y16));
  hn::Vec<decltype(d16)> cu, cv;
  if (kStep == 1) {
    const hn::Rebind<uint8_t, decltype(d16)> d8h;
    cu = hn::PromoteTo(d16, hn::LoadU(d8h, u + x / 2));
    cv = hn::PromoteTo(d16, hn::LoadU(d8h, v + x / 2));
  } else {
    // Every other byte; the one after each belongs to the other plane.
    cu = hn::BitCast(d16, hn::And(hn::BitCast(du16, hn::LoadU(d8, u + x)), k.lowByte));
    cv = hn::BitCast(d16, hn::And(hn::BitCast(du16, hn::LoadU(d8, v + x)), k.lowByte));
  }
  // Chroma terms; products may wrap, the sums land in range. floor(409 V / 2)
  // is the high half of (V << 8) * (409 << 7).
  const auto v8 = hn::BitCast(du16, hn::ShiftLeft<8>(cv));
  const auto wr = hn::Add(hn::BitCast(d16, hn::MulHigh(v8, k.k409h)), k.kR);
  const auto wg = hn::Add(hn::Add(hn::Mul(cu, k.kM50), hn::Mul(cv, k.kM104)), k.kG);
  const auto wb = hn::Add(hn::Mul(cu, k.k129), k.kB);

  const auto le = hn::Add(hn::Mul(ye, k.k149), k.kL);
  const auto lo = hn::Add(hn::Mul(yo, k.k149), k.kL);
  const auto r = PackBlocks(d16, hn::ShiftRight<7>(hn::SaturatedAdd(le, wr)),
                            hn::ShiftRight<7>(hn::SaturatedAdd(lo, wr)));
  const auto g = PackBlocks(d16, hn::ShiftRight<7>(hn::SaturatedAdd(le, wg)),
                            hn::ShiftRight<7>(hn::SaturatedAdd(lo, wg)));
  const auto b = PackBlocks(d16, hn::ShiftRight<6>(hn::SaturatedAdd(hn::ShiftRight<1>(le), wb)),
                            hn::ShiftRight<6>(hn::SaturatedAdd(hn::ShiftRight<1>(lo), wb)));
  StoreRgb(d8, r, g, b, dst + 3 * x);
}

// Converts whole blocks of Lanes(d8) pixels and returns the first pixel
// left for the caller.
template <int kStep>
int Blocks(const uint8_t* HWY_RESTRICT y, const uint8_t* HWY_RESTRICT u,
           const uint8_t* HWY_RESTRICT v, int width, uint8_t* HWY_RESTRICT dst) {
  const Consts<hn::ScalableTag<uint8_t>> k;
  const int n = int(hn::Lanes(k.d8));
  // Last start of a block that stays inside the rows: luma [x, x + n) and,
  // for interleaved chroma, bytes up to x + n - 1 <= 2 * ((width - 1) / 2).
  const int limit = kStep == 1 ? width - n : 2 * ((width - 1) / 2) + 1 - n;
  int x = 0;
  for (; x <= limit; x += n) Block<kStep>(k, y, u, v, x, dst);
  // One more block, overlapping the last, leaves at most two pixels.
  if (x < width && limit > 0) {
    x = limit & ~1;
    Block<kStep>(k, y, u, v, x, dst);
    x += n;
  }
  return x;
}

#endif

void Yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step,
                      uint8_t* dst) {
  int x = 0;
#if HWY_TARGET != HWY_SCALAR
  x = step == 1 ? Blocks<1>(y, u, v, width, dst) : Blocks<2>(y, u, v, width, dst);
#endif
  rowScalar(y, u, v, x, width, step, dst);
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace HWY_NAMESPACE
}  // namespace simd
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {
namespace simd {

HWY_EXPORT(Yuv420RowToRgb24);

void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step,
                      uint8_t* dst) {
  HWY_DYNAMIC_DISPATCH(Yuv420RowToRgb24)(y, u, v, width, step, dst);
}

}  // namespace simd
}  // namespace le
#endif
