// What Int8ConvVNNI's operator and its per-target integer kernels share: the
// packed weight layout, the quantised activation layout and the table of one
// target's kernels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace le {
namespace int8conv {

constexpr int kBlock = 16;    // output channels per packed block
constexpr int kMaxTile = 12;  // most output pixels per interior tile on any target

struct Quant {
  float s = 1.f;
  int zp = 0;
};

// Packed weights of one output block: [tap][cin4][16 cout][4 cin]. One
// pixel's quantised input: cin4 groups of 4 channel values, each value one
// byte or, where the target multiplies 16-bit lanes, two (little endian).
//
// A tile is `P` output pixels `pixStep` bytes apart; the k-th of `taps` taps
// is kernel tap tap[k] and reads pixel p at x + p * pixStep + off[k]. It
// writes the pixels' sums to out [P][16].
using TileFn = void (*)(const uint8_t* x, ptrdiff_t pixStep, const ptrdiff_t* off, const int* tap,
                        int taps, const int8_t* w, int cin4, int32_t* out);
// One border pixel: only the n taps inside the image, tap taps[k] reading xs[k].
using BorderFn = void (*)(const uint8_t* const* xs, const int* taps, int n, const int8_t* w,
                          int cin4, int32_t* out);
// One row of one output block: acc and zw (zp times the weights that met the
// image) per pixel and channel, [ow][16]; y is channel 0's row, planes
// `plane` floats apart. acc - zw is exact in 32 bits (the accumulator limit
// covers it), so every version computes sc * float(acc - zw) + bias alike.
using EpilogueFn = void (*)(const int32_t* acc, const int32_t* zw, int64_t ow, const float* sc,
                            const float* bi, int nco, float* y, size_t plane);
// Folds x[0, n) into [lo, hi]; NaN is skipped.
using MinMaxFn = void (*)(const float* x, size_t n, float& lo, float& hi);
// Four channel planes of `count` pixels into the pixel-major buffer, one
// group of 4 values per pixel at stride `step` bytes.
using QuantRowFn = void (*)(const float* const* src, size_t count, Quant qp, uint8_t* dst,
                            size_t step);

// One target's kernels. A run takes them all from one target, so the
// activation layout and the tiles that read it always agree.
struct Kernels {
  int64_t target;
  int tile;                    // pixels per interior tile, at most kMaxTile
  int actBytes;                // bytes per quantised activation value: 1 or 2
  TileFn tiles[kMaxTile + 1];  // by pixel count 1 .. tile
  BorderFn border;
  EpilogueFn epilogue;
  MinMaxFn minMax;
  QuantRowFn quantRow;
};

// The kernels of the best target the processor runs (or of the one tests
// allowed). A run takes every kernel from one table.
const Kernels& bestKernels();

}  // namespace int8conv
}  // namespace le
