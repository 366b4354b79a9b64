// Row conversion of 4:2:0 video to packed RGB, run-time dispatched.
#pragma once

#include <cstdint>

namespace le {
namespace simd {

// One row: pixel x takes chroma u[step * (x / 2)] and v[step * (x / 2)]
// (step 1 for planar yuv420p, 2 for interleaved nv12) and gives, with
// C = 298 (Y - 16) + 128, D = U - 128, E = V - 128:
//   R = (C + 409 E) >> 8, G = (C - 100 D - 208 E) >> 8, B = (C + 516 D) >> 8
// each clamped to [0, 255]. Every target gives identical bytes.
void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step,
                      uint8_t* dst);

}  // namespace simd
}  // namespace le
