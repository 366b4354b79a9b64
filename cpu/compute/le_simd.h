// Run-time dispatched vector kernels. Every kernel gives the same result,
// bit for bit, on every instruction-set target it is compiled for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "le/le.h"  // LE_API

namespace le {

// Exact half -> float, one element at a time.
void halfToFloat(const uint16_t* src, float* dst, size_t n);
// Float -> half bit pattern, round to nearest even; overflow (and NaN) gives
// infinity of the input's sign.
uint16_t f32ToF16(float x);

namespace simd {

LE_API void f16ToF32(const uint16_t* src, float* dst, uint64_t n);
LE_API void f32ToF16(const float* src, uint16_t* dst, uint64_t n);

// Interleaved RGB bytes -> three half planes `stride` elements apart:
// dst[c * stride + i] = half(rgb[3 * i + c] / 255.f).
LE_API void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, uint64_t stride, uint64_t n);

// 3x3 convolution, stride 1, zero padding 1, for output planes [p0, p1) of
// the [N][Cout][H][W] output (plane p = batch p / Cout, channel p % Cout).
LE_API void conv3x3Range(const float* in, int N, int Cin, int H, int W, const float* weight,
                         const float* bias, int Cout, float* out, int p0, int p1);

// Retrieval terms between two planar half images (planes n apart).
LE_API float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w,
                                uint64_t n);
LE_API float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w, uint64_t n);
LE_API float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* w,
                                    uint64_t stride, uint64_t begin, uint64_t end);

// Highway's name of the best target this processor supports.
LE_API const char* target();

namespace detail {
// Highway's name of the target whose code the kernels run now. Lets tests
// prove that every target they select is really compiled in and reached.
const char* dispatchedTarget();
}  // namespace detail

}  // namespace simd
}  // namespace le
