// 4:2:0 rows to packed RGB with the integer formula, one pass per target.
// Lanes are 32-bit so every intermediate of the formula fits exactly and
// every target gives the bytes of the scalar definition.

#ifndef HWY_WANT_AVX3_DL
#define HWY_WANT_AVX3_DL
#endif

#include <cstddef>
#include <cstdint>

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

inline uint8_t clamp255(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

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

}  // namespace
}  // namespace simd
}  // namespace le
#endif

HWY_BEFORE_NAMESPACE();
namespace le {
namespace simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void Yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step,
                      uint8_t* dst) {
  int x = 0;
#if HWY_TARGET != HWY_SCALAR
  const hn::ScalableTag<int32_t> d32;
  const hn::Rebind<uint8_t, decltype(d32)> d8;
  const int n = int(hn::Lanes(d32));
  // Lane i takes chroma sample i / 2 of the block (step 1) or byte 2 (i / 2)
  // of the interleaved pairs (step 2).
  HWY_ALIGN int32_t pick1[hn::MaxLanes(d32)];
  HWY_ALIGN int32_t pick2[hn::MaxLanes(d32)];
  for (int i = 0; i < n; ++i) {
    pick1[i] = i / 2;
    pick2[i] = 2 * (i / 2);
  }
  const auto idx = hn::SetTableIndices(d32, step == 1 ? pick1 : pick2);
  const auto k16 = hn::Set(d32, 16), k128 = hn::Set(d32, 128), k298 = hn::Set(d32, 298);
  const auto k409 = hn::Set(d32, 409), k100 = hn::Set(d32, 100), k208 = hn::Set(d32, 208);
  const auto k516 = hn::Set(d32, 516);
  // A block reads chroma bytes up to step * (x + n - 2) / 2 + 1 ahead of x;
  // interleaved rows stop one pixel early so v + x + n - 1 stays in the row.
  const int limit = step == 1 ? width - n : width - n - 1;
  for (; x <= limit; x += n) {
    const auto yv = hn::PromoteTo(d32, hn::LoadU(d8, y + x));
    hn::Vec<decltype(d32)> uv, vv;
    if (step == 1) {
      // n / 2 chroma bytes, widened, then spread to two lanes each.
      const hn::Half<decltype(d32)> dh;
      const hn::Rebind<uint8_t, decltype(dh)> dh8;
      const auto uh = hn::PromoteTo(dh, hn::LoadU(dh8, u + x / 2));
      const auto vh = hn::PromoteTo(dh, hn::LoadU(dh8, v + x / 2));
      uv = hn::TableLookupLanes(hn::Combine(d32, uh, uh), idx);
      vv = hn::TableLookupLanes(hn::Combine(d32, vh, vh), idx);
    } else {
      uv = hn::TableLookupLanes(hn::PromoteTo(d32, hn::LoadU(d8, u + x)), idx);
      vv = hn::TableLookupLanes(hn::PromoteTo(d32, hn::LoadU(d8, v + x)), idx);
    }
    const auto c = hn::Add(hn::Mul(hn::Sub(yv, k16), k298), k128);
    const auto dd = hn::Sub(uv, k128);
    const auto e = hn::Sub(vv, k128);
    const auto r = hn::ShiftRight<8>(hn::Add(c, hn::Mul(k409, e)));
    const auto g = hn::ShiftRight<8>(hn::Sub(hn::Sub(c, hn::Mul(k100, dd)), hn::Mul(k208, e)));
    const auto b = hn::ShiftRight<8>(hn::Add(c, hn::Mul(k516, dd)));
    // Saturating narrowing is the clamp to [0, 255].
    hn::StoreInterleaved3(hn::DemoteTo(d8, r), hn::DemoteTo(d8, g), hn::DemoteTo(d8, b), d8,
                          dst + 3 * x);
  }
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
