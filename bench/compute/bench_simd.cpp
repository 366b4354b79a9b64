// Throughput of the vector kernels on every target this processor runs,
// next to a plain scalar loop of each definition and a memcpy moving the
// same number of bytes (what memory bandwidth alone allows).
//
// Bytes counted are bytes read plus bytes written; "<kernel>/memcpy" copies
// half that many, so its traffic is the same.

#include <benchmark/benchmark.h>
#include <hwy/targets.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "compute/le_simd.h"

namespace {

constexpr size_t kPixels = 512 * 512;
constexpr size_t kPlanar = 3 * kPixels;  // one planar RGB image
constexpr int kCin = 16, kCout = 16, kSide = 64;

const int64_t kCandidates[] = {HWY_AVX3_DL, HWY_AVX3, HWY_AVX2, HWY_SSE4, HWY_SSSE3, HWY_SCALAR};

// Kernels run the given target while this lives.
struct UseTarget {
  explicit UseTarget(int64_t t) { hwy::SetSupportedTargetsForTest(t); }
  ~UseTarget() { hwy::SetSupportedTargetsForTest(0); }
  UseTarget(const UseTarget&) = delete;
  UseTarget& operator=(const UseTarget&) = delete;
};

float round16(float x) {
  const uint16_t h = le::f32ToF16(x);
  float f;
  le::halfToFloat(&h, &f, 1);
  return f;
}

float halfFloat(uint16_t h) {
  float f;
  le::halfToFloat(&h, &f, 1);
  return f;
}

// Inputs shaped like the engine's: images of values in [0, 1].
struct Inputs {
  std::vector<float> f32;
  std::vector<uint16_t> f16, a, b, wh;
  std::vector<uint8_t> rgb;
  std::vector<float> wf, convIn, convW, convBias;

  Inputs() {
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> unit(0.f, 1.f);
    f32.resize(kPlanar);
    for (float& x : f32) x = unit(rng);
    f16.resize(kPlanar);
    for (size_t i = 0; i < kPlanar; ++i) f16[i] = le::f32ToF16(f32[i]);
    a = f16;
    b.resize(kPlanar);
    for (size_t i = 0; i < kPlanar; ++i) b[i] = le::f32ToF16(unit(rng));
    wh.resize(kPixels);
    wf.resize(kPixels);
    for (size_t i = 0; i < kPixels; ++i) {
      wf[i] = i % 7 == 0 ? 0.f : unit(rng);
      wh[i] = le::f32ToF16(wf[i]);
    }
    rgb.resize(3 * kPixels);
    for (uint8_t& x : rgb) x = uint8_t(rng());
    convIn.resize(size_t(kCin) * kSide * kSide);
    for (float& x : convIn) x = unit(rng) - 0.5f;
    convW.resize(size_t(kCout) * kCin * 9);
    for (float& x : convW) x = (unit(rng) - 0.5f) * 0.2f;
    convBias.resize(kCout);
    for (float& x : convBias) x = unit(rng) - 0.5f;
  }
};

const Inputs& inputs() {
  static const Inputs in;
  return in;
}

// ------------------------------------------------------------ scalar loops

void scalarF16ToF32(const uint16_t* src, float* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) le::halfToFloat(src + i, dst + i, 1);
}

void scalarF32ToF16(const float* src, uint16_t* dst, size_t n) {
  for (size_t i = 0; i < n; ++i) dst[i] = le::f32ToF16(src[i]);
}

void scalarRgb(const uint8_t* rgb, uint16_t* dst, size_t n) {
  for (size_t c = 0; c < 3; ++c) {
    for (size_t i = 0; i < n; ++i) dst[c * n + i] = le::f32ToF16(float(rgb[3 * i + c]) / 255.f);
  }
}

void scalarConv(const float* in, int Cin, int H, int W, const float* wt, const float* bias,
                int Cout, float* out) {
  for (int o = 0; o < Cout; ++o) {
    for (int y = 0; y < H; ++y) {
      for (int x = 0; x < W; ++x) {
        float acc = 0.f;
        for (int ky = 0; ky < 3; ++ky) {
          for (int kx = 0; kx < 3; ++kx) {
            for (int ci = 0; ci < Cin; ++ci) {
              const int yy = y + ky - 1, xx = x + kx - 1;
              if (yy < 0 || yy >= H || xx < 0 || xx >= W) continue;
              const float p = wt[((o * Cin + ci) * 3 + ky) * 3 + kx] * in[(ci * H + yy) * W + xx];
              acc += p;
            }
          }
        }
        out[(o * H + y) * W + x] = bias[o] + acc;
      }
    }
  }
}

float scalarDiff(const uint16_t* a, const uint16_t* b, size_t n, size_t i) {
  float d[3];
  for (size_t c = 0; c < 3; ++c) {
    d[c] = std::fabs(round16(halfFloat(a[c * n + i]) - halfFloat(b[c * n + i])));
  }
  return round16((d[0] + d[1] + d[2]) / 3.f);
}

float scalarPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  float s = 0.f;
  for (size_t i = 0; i < n; ++i) s += round16(scalarDiff(a, b, n, i) * halfFloat(w[i]));
  return s;
}

float scalarExact(const uint16_t* a, const uint16_t* b, const float* w, size_t n) {
  float s = 0.f;
  for (size_t i = 0; i < n; ++i) {
    if (w[i] != 0.f) s += w[i] * scalarDiff(a, b, n, i);
  }
  return s;
}

// ------------------------------------------------------------ kernels

// One kernel: how to run it with the dispatched vector code and with the
// scalar loop, writing into out (a byte buffer large enough for either).
struct Kernel {
  std::string name;
  double bytes;  // read + written per run
  double items;  // elements, pixels or multiply-adds per run
  size_t outBytes;
  std::function<void(uint8_t*out)> simd, scalar;
};

std::vector<Kernel> kernels() {
  const Inputs& in = inputs();
  std::vector<Kernel> k;
  k.push_back(
      {"f16ToF32", kPlanar * 6.0, double(kPlanar), kPlanar * sizeof(float),
       [&in](uint8_t* o) {
         le::simd::f16ToF32(in.f16.data(), reinterpret_cast<float*>(o), kPlanar);
       },
       [&in](uint8_t* o) { scalarF16ToF32(in.f16.data(), reinterpret_cast<float*>(o), kPlanar); }});
  k.push_back({"f32ToF16", kPlanar * 6.0, double(kPlanar), kPlanar * sizeof(uint16_t),
               [&in](uint8_t* o) {
                 le::simd::f32ToF16(in.f32.data(), reinterpret_cast<uint16_t*>(o), kPlanar);
               },
               [&in](uint8_t* o) {
                 scalarF32ToF16(in.f32.data(), reinterpret_cast<uint16_t*>(o), kPlanar);
               }});
  k.push_back(
      {"rgb8ToPlanarF16", kPixels * 9.0, double(kPixels), kPlanar * sizeof(uint16_t),
       [&in](uint8_t* o) {
         le::simd::rgb8ToPlanarF16(in.rgb.data(), reinterpret_cast<uint16_t*>(o), kPixels, kPixels);
       },
       [&in](uint8_t* o) { scalarRgb(in.rgb.data(), reinterpret_cast<uint16_t*>(o), kPixels); }});
  const size_t plane = size_t(kSide) * kSide;
  k.push_back(
      {"conv3x3_16x16x64x64", 4.0 * (kCin * plane + kCout * kCin * 9 + kCout + kCout * plane),
       double(kCout) * kCin * 9 * plane, kCout * plane * sizeof(float),
       [&in](uint8_t* o) {
         le::simd::conv3x3Range(in.convIn.data(), 1, kCin, kSide, kSide, in.convW.data(),
                                in.convBias.data(), kCout, reinterpret_cast<float*>(o), 0, kCout);
       },
       [&in](uint8_t* o) {
         scalarConv(in.convIn.data(), kCin, kSide, kSide, in.convW.data(), in.convBias.data(),
                    kCout, reinterpret_cast<float*>(o));
       }});
  k.push_back({"retrieveTermPooled", kPixels * 14.0, double(kPixels), sizeof(float),
               [&in](uint8_t* o) {
                 const float s =
                     le::simd::retrieveTermPooled(in.a.data(), in.b.data(), in.wh.data(), kPixels);
                 std::memcpy(o, &s, sizeof s);
               },
               [&in](uint8_t* o) {
                 const float s = scalarPooled(in.a.data(), in.b.data(), in.wh.data(), kPixels);
                 std::memcpy(o, &s, sizeof s);
               }});
  k.push_back({"retrieveTermExact", kPixels * 16.0, double(kPixels), sizeof(float),
               [&in](uint8_t* o) {
                 const float s =
                     le::simd::retrieveTermExact(in.a.data(), in.b.data(), in.wf.data(), kPixels);
                 std::memcpy(o, &s, sizeof s);
               },
               [&in](uint8_t* o) {
                 const float s = scalarExact(in.a.data(), in.b.data(), in.wf.data(), kPixels);
                 std::memcpy(o, &s, sizeof s);
               }});
  return k;
}

void report(benchmark::State& st, const Kernel& k) {
  st.SetBytesProcessed(int64_t(k.bytes * double(st.iterations())));
  st.SetItemsProcessed(int64_t(k.items * double(st.iterations())));
}

void registerAll() {
  hwy::SetSupportedTargetsForTest(0);
  const int64_t supported = hwy::SupportedTargets();
  for (const Kernel& k : kernels()) {
    for (int64_t t : kCandidates) {
      if (!(supported & t)) continue;
      const std::string name = k.name + "/" + hwy::TargetName(t);
      benchmark::RegisterBenchmark(name.c_str(), [k, t](benchmark::State& st) {
        std::vector<uint8_t> want(k.outBytes), got(k.outBytes);
        k.scalar(want.data());
        UseTarget use(t);
        if (std::strcmp(le::simd::detail::dispatchedTarget(), hwy::TargetName(t)) != 0) {
          st.SkipWithError("target not reached");
          return;
        }
        for (auto _ : st) {
          k.simd(got.data());
          benchmark::ClobberMemory();
        }
        // A fast wrong answer is worth nothing.
        if (want != got) st.SkipWithError("result differs from the scalar loop");
        report(st, k);
      });
    }
    benchmark::RegisterBenchmark((k.name + "/scalar_loop").c_str(), [k](benchmark::State& st) {
      std::vector<uint8_t> out(k.outBytes);
      for (auto _ : st) {
        k.scalar(out.data());
        benchmark::ClobberMemory();
      }
      report(st, k);
    });
    benchmark::RegisterBenchmark((k.name + "/memcpy").c_str(), [k](benchmark::State& st) {
      const size_t n = size_t(k.bytes / 2);
      std::vector<uint8_t> src(n, 1), dst(n);
      for (auto _ : st) {
        std::memcpy(dst.data(), src.data(), n);
        benchmark::ClobberMemory();
      }
      report(st, k);
    });
  }
}

// Registered before the benchmark library parses its flags in main().
const bool kRegistered = (registerAll(), true);

}  // namespace

BENCHMARK_MAIN();
