#include "render/int8conv_vnni.h"

#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "compute/le_pool.h"
#include "render/le_custom_op.h"

namespace le {

const char* const kInt8Domain = "com.velmoor.int8";

namespace {

constexpr int kBlock = 16;  // output channels per packed block
constexpr int kTile = 6;    // output pixels per interior tile: 12 accumulators + 3 in 16 registers
// Beyond this many products per output a sum of uint8 x int8 may leave int32.
constexpr int64_t kMaxProducts = (int64_t(1) << 31) / (255 * 128);

std::atomic<uint64_t> g_packs{0};

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

int64_t floorDiv(int64_t a, int64_t b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// ---------------------------------------------------------------- range and quantisation

void minMaxScalar(const float* x, size_t n, float& lo, float& hi) {
  for (size_t i = 0; i < n; ++i) {
    lo = x[i] < lo ? x[i] : lo;
    hi = x[i] > hi ? x[i] : hi;
  }
}

__attribute__((target("avx2"))) void minMaxAvx2(const float* x, size_t n, float& lo, float& hi) {
  __m256 vlo = _mm256_set1_ps(lo), vhi = _mm256_set1_ps(hi);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(x + i);
    vlo = _mm256_min_ps(v, vlo);  // a NaN in v leaves the running value
    vhi = _mm256_max_ps(v, vhi);
  }
  float l[8], h[8];
  _mm256_storeu_ps(l, vlo);
  _mm256_storeu_ps(h, vhi);
  for (int k = 0; k < 8; ++k) {
    lo = std::min(lo, l[k]);
    hi = std::max(hi, h[k]);
  }
  minMaxScalar(x + i, n - i, lo, hi);
}

bool haveAvx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}

struct Quant {
  float s = 1.f;
  int zp = 0;
};

uint32_t quantOne(float x, float s, int zp) {
  const float q = std::nearbyint(x / s) + float(zp);
  return uint32_t(q >= 255.f ? 255.f : q > 0.f ? q : 0.f);  // NaN -> 0
}

// Four channel planes of `count` pixels into the pixel-major buffer at
// stride `step` bytes: one 32-bit word of 4 channels per pixel.
void quantRowScalar(const float* const* src, size_t count, Quant qp, uint8_t* dst, size_t step) {
  for (size_t p = 0; p < count; ++p) {
    const uint32_t v = quantOne(src[0][p], qp.s, qp.zp) | quantOne(src[1][p], qp.s, qp.zp) << 8 |
                       quantOne(src[2][p], qp.s, qp.zp) << 16 |
                       quantOne(src[3][p], qp.s, qp.zp) << 24;
    std::memcpy(dst + p * step, &v, 4);
  }
}

// The same rounding as quantOne (division, ties to even), 8 pixels per step.
__attribute__((target("avx2"))) void quantRowAvx2(const float* const* src, size_t count, Quant qp,
                                                  uint8_t* dst, size_t step) {
  const __m256 s = _mm256_set1_ps(qp.s), zp = _mm256_set1_ps(float(qp.zp));
  const __m256 lo = _mm256_setzero_ps(), hi = _mm256_set1_ps(255.f);
  size_t p = 0;
  for (; p + 8 <= count; p += 8) {
    __m256i word = _mm256_setzero_si256();
    for (int c = 0; c < 4; ++c) {
      __m256 q = _mm256_add_ps(_mm256_round_ps(_mm256_div_ps(_mm256_loadu_ps(src[c] + p), s),
                                               _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC),
                               zp);
      q = _mm256_min_ps(_mm256_max_ps(q, lo), hi);  // max(NaN, 0) is 0, as in quantOne
      word = _mm256_or_si256(word, _mm256_slli_epi32(_mm256_cvttps_epi32(q), 8 * c));
    }
    alignas(32) uint32_t w[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(w), word);
    for (int k = 0; k < 8; ++k) std::memcpy(dst + (p + size_t(k)) * step, &w[k], 4);
  }
  const float* rest[4] = {src[0] + p, src[1] + p, src[2] + p, src[3] + p};
  quantRowScalar(rest, count - p, qp, dst + p * step, step);
}

// ---------------------------------------------------------------- integer kernels
//
// Packed weights of one output block: [tap][cin4][16 cout][4 cin]; one
// pixel's quantised input: cin4 words of 4 channel bytes.

int32_t word32(const uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// `P` output pixels `pixStep` bytes apart; the k-th of `taps` taps is kernel
// tap tap[k] and reads pixel p at x + p * pixStep + off[k].
template <int P>
void tilePortable(const uint8_t* x, ptrdiff_t pixStep, const ptrdiff_t* off, const int* tap,
                  int taps, const int8_t* w, int cin4, int32_t* out) {
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

// The VNNI kernels exist twice, the same 256-bit vpdpbusd in two encodings:
// VEX (AVX-VNNI) and EVEX (AVX-512 VNNI with VL). A processor may have either.
// clang-format off
#define LE_INT8_VNNI_KERNELS(ISA, TARGET, DPBUSD)                                                 \
  template <int P>                                                                                \
  __attribute__((target(TARGET))) void tile##ISA(const uint8_t* x, ptrdiff_t pixStep,             \
                                                 const ptrdiff_t* off, const int* tap, int taps,  \
                                                 const int8_t* w, int cin4, int32_t* out) {       \
    __m256i acc[P][2];                                                                            \
    _Pragma("GCC unroll 8") for (int p = 0; p < P; ++p) acc[p][0] = acc[p][1] =                   \
        _mm256_setzero_si256();                                                                   \
    for (int k = 0; k < taps; ++k) {                                                              \
      const uint8_t* xt = x + off[k];                                                             \
      const int8_t* wt = w + ptrdiff_t(tap[k]) * cin4 * 64;                                       \
      for (int c = 0; c < cin4; ++c) {                                                            \
        const __m256i w0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wt + 64 * c));    \
        const __m256i w1 =                                                                        \
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wt + 64 * c + 32));               \
        _Pragma("GCC unroll 8") for (int p = 0; p < P; ++p) {                                     \
          const __m256i b = _mm256_set1_epi32(word32(xt + p * pixStep + 4 * c));                  \
          acc[p][0] = DPBUSD(acc[p][0], b, w0);                                                   \
          acc[p][1] = DPBUSD(acc[p][1], b, w1);                                                   \
        }                                                                                         \
      }                                                                                           \
    }                                                                                             \
    _Pragma("GCC unroll 8") for (int p = 0; p < P; ++p) {                                         \
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + p * kBlock), acc[p][0]);               \
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + p * kBlock + 8), acc[p][1]);           \
    }                                                                                             \
  }                                                                                               \
                                                                                                  \
  __attribute__((target(TARGET))) void border##ISA(const uint8_t* const* xs, const int* taps,     \
                                                   int n, const int8_t* w, int cin4,              \
                                                   int32_t* out) {                                \
    __m256i a0 = _mm256_setzero_si256(), a1 = a0;                                                 \
    for (int k = 0; k < n; ++k) {                                                                 \
      const int8_t* wt = w + ptrdiff_t(taps[k]) * cin4 * 64;                                      \
      for (int c = 0; c < cin4; ++c) {                                                            \
        const __m256i b = _mm256_set1_epi32(word32(xs[k] + 4 * c));                               \
        a0 = DPBUSD(a0, b, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wt + 64 * c)));    \
        a1 = DPBUSD(a1, b,                                                                        \
                    _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wt + 64 * c + 32)));      \
      }                                                                                           \
    }                                                                                             \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), a0);                                     \
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), a1);                                 \
  }

LE_INT8_VNNI_KERNELS(AvxVnni, "avx2,avxvnni", _mm256_dpbusd_avx_epi32)
LE_INT8_VNNI_KERNELS(Avx512Vnni, "avx2,avx512f,avx512vl,avx512vnni", _mm256_dpbusd_epi32)
#undef LE_INT8_VNNI_KERNELS
// clang-format on

using TileFn = void (*)(const uint8_t*, ptrdiff_t, const ptrdiff_t*, const int*, int, const int8_t*,
                        int, int32_t*);

// Tile functions by pixel count 1 .. kTile.
const TileFn kPortable[kTile + 1] = {nullptr,         tilePortable<1>, tilePortable<2>,
                                     tilePortable<3>, tilePortable<4>, tilePortable<5>,
                                     tilePortable<6>};
const TileFn kAvxVnni[kTile + 1] = {nullptr,        tileAvxVnni<1>, tileAvxVnni<2>, tileAvxVnni<3>,
                                    tileAvxVnni<4>, tileAvxVnni<5>, tileAvxVnni<6>};
const TileFn kAvx512Vnni[kTile + 1] = {nullptr,           tileAvx512Vnni<1>, tileAvx512Vnni<2>,
                                       tileAvx512Vnni<3>, tileAvx512Vnni<4>, tileAvx512Vnni<5>,
                                       tileAvx512Vnni<6>};

// Border pixels: only the taps inside the image, each with its own weights.
void borderPortable(const uint8_t* const* xs, const int* taps, int n, const int8_t* w, int cin4,
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

using BorderFn = void (*)(const uint8_t* const*, const int*, int, const int8_t*, int, int32_t*);

// ---------------------------------------------------------------- float epilogue
//
// One row of one output block: acc and zw (zp times the weights that met the
// image) per pixel and channel, [ow][16]; y is channel 0's row, planes
// `plane` floats apart. acc - zw is exact in 32 bits (the accumulator limit
// covers it), so both versions compute sc * float(acc - zw) + bias alike.

void epilogueScalar(const int32_t* acc, const int32_t* zw, int64_t ow, const float* sc,
                    const float* bi, int nco, float* y, size_t plane) {
  for (int o = 0; o < nco; ++o) {
    float* yr = y + size_t(o) * plane;
    for (int64_t x = 0; x < ow; ++x) {
      const size_t i = size_t(x) * kBlock + size_t(o);
      yr[x] = sc[o] * float(int64_t(acc[i]) - zw[i]) + bi[o];
    }
  }
}

__attribute__((target("avx2"))) void epilogueAvx2(const int32_t* acc, const int32_t* zw, int64_t ow,
                                                  const float* sc, const float* bi, int nco,
                                                  float* y, size_t plane) {
  int64_t x = 0;
  for (; x + 8 <= ow; x += 8)
    for (int h = 0; h * 8 < nco; ++h) {
      const __m256 s = _mm256_loadu_ps(sc + 8 * h), b = _mm256_loadu_ps(bi + 8 * h);
      __m256 r[8];
      for (int p = 0; p < 8; ++p) {
        const size_t i = size_t(x + p) * kBlock + size_t(8 * h);
        const __m256i d = _mm256_sub_epi32(_mm256_loadu_si256((const __m256i*)(acc + i)),
                                           _mm256_loadu_si256((const __m256i*)(zw + i)));
        r[p] = _mm256_add_ps(_mm256_mul_ps(s, _mm256_cvtepi32_ps(d)), b);
      }
      // 8 pixels x 8 channels -> 8 channels x 8 pixels.
      const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
      const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
      const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
      const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
      const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
      const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
      const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
      const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
      const __m256 c[8] = {
          _mm256_permute2f128_ps(u0, u4, 0x20), _mm256_permute2f128_ps(u1, u5, 0x20),
          _mm256_permute2f128_ps(u2, u6, 0x20), _mm256_permute2f128_ps(u3, u7, 0x20),
          _mm256_permute2f128_ps(u0, u4, 0x31), _mm256_permute2f128_ps(u1, u5, 0x31),
          _mm256_permute2f128_ps(u2, u6, 0x31), _mm256_permute2f128_ps(u3, u7, 0x31)};
      for (int k = 0; k < 8 && 8 * h + k < nco; ++k)
        _mm256_storeu_ps(y + size_t(8 * h + k) * plane + size_t(x), c[k]);
    }
  if (x < ow)
    epilogueScalar(acc + size_t(x) * kBlock, zw + size_t(x) * kBlock, ow - x, sc, bi, nco,
                   y + size_t(x), plane);
}

using EpilogueFn = void (*)(const int32_t*, const int32_t*, int64_t, const float*, const float*,
                            int, float*, size_t);

}  // namespace

bool int8ConvHasVnni() {
  // AVX-VNNI is CPUID leaf 7, sub-leaf 1, EAX bit 4; read directly because
  // not every compiler's __builtin_cpu_supports knows the name "avxvnni".
  static const bool yes = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __builtin_cpu_supports("avx2") && __get_cpuid_count(7, 1, &a, &b, &c, &d) &&
           (a & (1u << 4)) != 0;
  }();
  return yes;
}

bool int8ConvHasAvx512Vnni() {
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
                          __builtin_cpu_supports("avx512vl") &&
                          __builtin_cpu_supports("avx512vnni");
  return yes;
}

uint64_t int8ConvPackCount() {
  return g_packs.load();
}

// ---------------------------------------------------------------- Int8Conv

Int8Conv::Int8Conv(const Int8ConvAttrs& attrs, std::string where, Path path)
    : a_(attrs), where_(std::move(where)) {
  if (a_.group < 1)
    fail(where_ + ": group=" + std::to_string(a_.group) +
         " is not a group count; REFUSING to create the kernel.");
  if (a_.strideH < 1 || a_.strideW < 1 || a_.dilH < 1 || a_.dilW < 1 || a_.padTop < 0 ||
      a_.padLeft < 0 || a_.padBottom < 0 || a_.padRight < 0)
    fail(where_ + ": strides and dilations must be at least 1 and pads at least 0 (strides " +
         std::to_string(a_.strideH) + "," + std::to_string(a_.strideW) + ", dilations " +
         std::to_string(a_.dilH) + "," + std::to_string(a_.dilW) + ", pads " +
         std::to_string(a_.padTop) + "," + std::to_string(a_.padLeft) + "," +
         std::to_string(a_.padBottom) + "," + std::to_string(a_.padRight) +
         "); REFUSING to create the kernel.");
  if (path == Path::Auto)
    path = int8ConvHasVnni()         ? Path::Vnni
           : int8ConvHasAvx512Vnni() ? Path::Avx512Vnni
                                     : Path::Portable;
  if ((path == Path::Vnni && !int8ConvHasVnni()) ||
      (path == Path::Avx512Vnni && !int8ConvHasAvx512Vnni()))
    fail(where_ + ": the processor lacks the integer path that was asked for");
  path_ = path;
}

int64_t Int8Conv::outSize(int64_t in, int64_t padA, int64_t padB, int64_t k, int64_t dil,
                          int64_t stride) {
  const int64_t span = in + padA + padB - (k - 1) * dil - 1;
  return span < 0 ? -1 : span / stride + 1;
}

void Int8Conv::prepare(const int8_t* w, const int64_t (&ws)[4]) {
  std::call_once(packed_, [&] {
    if (ws[0] < 1 || ws[1] < 1 || ws[2] < 1 || ws[3] < 1)
      fail(where_ + ": the weights are " + shapeText(ws, 4) + "; REFUSING an empty kernel.");
    if (ws[0] % a_.group != 0)
      fail(where_ + ": " + std::to_string(ws[0]) +
           " output channels do not split into group=" + std::to_string(a_.group) + "; REFUSING.");
    const int64_t cin = ws[1] * a_.group, cin4 = (cin + 3) / 4, taps = ws[2] * ws[3];
    if (cin4 * 4 * taps > kMaxProducts)
      fail(where_ + ": " + std::to_string(cin4 * 4 * taps) +
           " products per output could overflow the 32-bit accumulators; REFUSING.");
    const int64_t blocks = (ws[0] + kBlock - 1) / kBlock;
    std::vector<int8_t> packed(size_t(blocks * taps * cin4 * 64), 0);
    std::vector<int32_t> wsum(size_t(blocks * kBlock), 0);
    std::vector<int32_t> tapSum(size_t(taps * blocks * kBlock), 0);
    const int64_t coutPerGroup = ws[0] / a_.group;
    for (int64_t co = 0; co < ws[0]; ++co) {
      const int64_t g = co / coutPerGroup, b = co / kBlock, o = co % kBlock;
      for (int64_t cg = 0; cg < ws[1]; ++cg) {
        const int64_t ci = g * ws[1] + cg;
        for (int64_t t = 0; t < taps; ++t) {
          const int8_t v = w[(co * ws[1] + cg) * taps + t];
          packed[size_t(((b * taps + t) * cin4 + ci / 4) * 64 + o * 4 + ci % 4)] = v;
          wsum[size_t(co)] += v;
          tapSum[size_t(t * blocks * kBlock + co)] += v;
        }
      }
    }
    cout_ = ws[0];
    cinPerGroup_ = ws[1];
    cin_ = cin;
    kh_ = ws[2];
    kw_ = ws[3];
    cin4_ = cin4;
    blocks_ = blocks;
    w_.swap(packed);
    wsum_.swap(wsum);
    tapSum_.swap(tapSum);
    ++g_packs;
  });
  if (ws[0] != cout_ || ws[1] != cinPerGroup_ || ws[2] != kh_ || ws[3] != kw_)
    fail(where_ + ": the weights are " + shapeText(ws, 4) + " but were packed as [" +
         std::to_string(cout_) + "," + std::to_string(cinPerGroup_) + "," + std::to_string(kh_) +
         "," + std::to_string(kw_) + "]; this operator takes its weights as constant. REFUSING.");
}

void Int8Conv::outShape(const int64_t (&xs)[4], int64_t (&ys)[4]) const {
  if (xs[1] != cin_)
    fail(where_ + ": X is " + shapeText(xs, 4) + " but the weights expect " + std::to_string(cin_) +
         " input channels; REFUSING.");
  ys[0] = xs[0];
  ys[1] = cout_;
  ys[2] = outSize(xs[2], a_.padTop, a_.padBottom, kh_, a_.dilH, a_.strideH);
  ys[3] = outSize(xs[3], a_.padLeft, a_.padRight, kw_, a_.dilW, a_.strideW);
  if (ys[2] < 1 || ys[3] < 1)
    fail(where_ + ": a " + std::to_string(kh_) + "x" + std::to_string(kw_) +
         " kernel does not fit X " + shapeText(xs, 4) + " with its pads and dilations; REFUSING.");
}

namespace {

// The range of the whole tensor, always containing 0, as one uint8 scale and
// zero point.
Quant quantParams(const float* x, size_t count) {
  float lo = 0.f, hi = 0.f;
  auto minMax = haveAvx2() ? minMaxAvx2 : minMaxScalar;
  const int parts = pool::parts(count, 4096);
  if (parts >= 2) {
    std::vector<float> plo(size_t(parts), 0.f), phi(size_t(parts), 0.f);
    const size_t chunk = (count + size_t(parts) - 1) / size_t(parts);
    pool::parallelRange(count, 4096, [&](uint64_t b, uint64_t e) {
      const size_t k = size_t(b / chunk);
      minMax(x + b, size_t(e - b), plo[k], phi[k]);
    });
    for (int k = 0; k < parts; ++k) {
      lo = std::min(lo, plo[size_t(k)]);
      hi = std::max(hi, phi[size_t(k)]);
    }
  } else {
    minMax(x, count, lo, hi);
  }
  Quant qp;
  qp.s = (hi - lo) / 255.f;
  if (!(qp.s > 0.f) || !std::isfinite(qp.s)) qp.s = 1.f;
  qp.zp = int(std::clamp(std::nearbyint(-lo / qp.s), 0.f, 255.f));
  return qp;
}

// X [N, C, plane] into pixel-major rows: per pixel cin4 words of 4 channel
// bytes; padding channels hold zp.
void quantiseImage(const float* x, int64_t N, int64_t C, size_t plane, int64_t cin4, Quant qp,
                   uint8_t* xq) {
  const size_t pixBytes = size_t(cin4) * 4;
  auto quantRow = haveAvx2() ? quantRowAvx2 : quantRowScalar;
  pool::parallelRange(uint64_t(N) * plane, 1, [&](uint64_t b, uint64_t e) {
    // Blocks of pixels whose quantised bytes stay in cache while every
    // channel group is written into them, and long enough that each channel
    // plane is read as one stream.
    const size_t block = std::max<size_t>(64, (size_t(1) << 18) / pixBytes / 8 * 8);
    // A padding channel is 0 in float, so it quantises to zp.
    const std::vector<float> zeros(C % 4 ? block : 0, 0.f);
    while (b < e) {
      const size_t n = size_t(b / plane), p0 = size_t(b % plane);
      const size_t len = std::min<size_t>({size_t(e - b), plane - p0, block});
      const float* img = x + n * size_t(C) * plane;
      uint8_t* dst = xq + (n * plane + p0) * pixBytes;
      for (int64_t c4 = 0; c4 < cin4; ++c4) {
        const float* src[4];
        for (int j = 0; j < 4; ++j) {
          const int64_t c = c4 * 4 + j;
          src[j] = c < C ? img + size_t(c) * plane + p0 : zeros.data();
        }
        quantRow(src, len, qp, dst + 4 * c4, pixBytes);
      }
      b += len;
    }
  });
}

}  // namespace

// Output rows of the convolution on the quantised input, one at a time: the
// taps whose rows meet the image, then per block of 16 output channels the
// integer sums (packed tiles for interior pixels, the generic path that
// checks every tap for border ones) and the float epilogue. One per range
// of rows; the scratch buffers are its own.
struct Int8Conv::Rows {
  // Shared by every range.
  const Int8Conv* k = nullptr;
  const uint8_t* xq = nullptr;
  int64_t H = 0, W = 0, OH = 0, OW = 0;
  size_t pixBytes = 0, plane = 0, outPlane = 0;
  Quant qp;
  const float* scale = nullptr;
  const float* bias = nullptr;
  float* y = nullptr;
  int32_t* accOut = nullptr;
  int64_t ox0 = 0, ox1 = 0;  // interior columns: every tap column inside the image
  int taps = 0, cin4 = 0;
  ptrdiff_t pixStep = 0;
  const TileFn* tiles = nullptr;
  BorderFn border = nullptr;
  EpilogueFn epilogue = nullptr;

  // Scratch.
  std::vector<int32_t> acc, zw;
  std::vector<const uint8_t*> bx;
  std::vector<int> btaps, rowTap;
  std::vector<ptrdiff_t> rowOff;

  // The row being made.
  int64_t n = 0, oy = 0, iyBase = 0;
  const uint8_t* img = nullptr;
  const uint8_t* base = nullptr;
  int nt = 0;

  void allocate() {
    acc.resize(size_t(OW) * kBlock);
    zw.resize(size_t(OW) * kBlock);
    bx.resize(size_t(taps));
    btaps.resize(size_t(taps));
    rowTap.resize(size_t(taps));
    rowOff.resize(size_t(taps));
  }

  void row(uint64_t r) {
    n = int64_t(r) / OH;
    oy = int64_t(r) % OH;
    img = xq + size_t(n) * plane * pixBytes;
    iyBase = oy * k->a_.strideH - k->a_.padTop;
    rowTaps();
    for (int64_t b = 0; b < k->blocks_; ++b) {
      sums(b);
      finish(b);
    }
  }

  // The taps whose input rows lie inside the image: all of them inside the
  // interior, fewer in border rows. Offsets from the first such row.
  void rowTaps() {
    const Int8ConvAttrs& a = k->a_;
    nt = 0;
    int64_t kyFirst = -1;
    for (int64_t ky = 0; ky < k->kh_; ++ky) {
      const int64_t iy = iyBase + ky * a.dilH;
      if (iy < 0 || iy >= H) continue;
      if (kyFirst < 0) kyFirst = ky;
      for (int64_t kx = 0; kx < k->kw_; ++kx) {
        rowTap[size_t(nt)] = int(ky * k->kw_ + kx);
        rowOff[size_t(nt++)] =
            ptrdiff_t(((ky - kyFirst) * a.dilH * W + kx * a.dilW) * int64_t(pixBytes));
      }
    }
    base =
        nt > 0 && ox1 > ox0
            ? img + size_t((iyBase + kyFirst * a.dilH) * W + ox0 * a.strideW - a.padLeft) * pixBytes
            : nullptr;
  }

  const int32_t* tapSum(int t, int64_t b) const {
    return k->tapSum_.data() + size_t(t) * size_t(k->blocks_) * kBlock + size_t(b) * kBlock;
  }

  // Integer sums of block b for every pixel of the row, and zw: zp times
  // the weights that met the image.
  void sums(int64_t b) {
    const int8_t* wb = k->w_.data() + size_t(b) * size_t(taps) * size_t(cin4) * 64;
    int32_t rowZw[kBlock] = {};
    for (int t = 0; t < nt; ++t) {
      const int32_t* ts = tapSum(rowTap[size_t(t)], b);
      for (int o = 0; o < kBlock; ++o) rowZw[o] += ts[o];
    }
    for (int o = 0; o < kBlock; ++o) rowZw[o] *= qp.zp;
    for (int64_t ox = 0; ox < ox0; ++ox) borderPixel(b, wb, ox);
    for (int64_t ox = ox0; ox < ox1;) {
      const int p = int(std::min<int64_t>(kTile, ox1 - ox));
      if (nt > 0)
        tiles[p](base + (ox - ox0) * pixStep, pixStep, rowOff.data(), rowTap.data(), nt, wb, cin4,
                 &acc[size_t(ox) * kBlock]);
      else
        std::fill_n(&acc[size_t(ox) * kBlock], p * kBlock, 0);
      for (int j = 0; j < p; ++j) std::memcpy(&zw[size_t(ox + j) * kBlock], rowZw, sizeof rowZw);
      ox += p;
    }
    for (int64_t ox = ox1; ox < OW; ++ox) borderPixel(b, wb, ox);
  }

  // Only the taps inside the image, each with its own weights.
  void borderPixel(int64_t b, const int8_t* wb, int64_t ox) {
    const Int8ConvAttrs& a = k->a_;
    const int64_t ixBase = ox * a.strideW - a.padLeft;
    int bt = 0;
    int32_t* z = &zw[size_t(ox) * kBlock];
    std::fill(z, z + kBlock, 0);
    for (int64_t ky = 0; ky < k->kh_; ++ky) {
      const int64_t iy = iyBase + ky * a.dilH;
      if (iy < 0 || iy >= H) continue;
      for (int64_t kx = 0; kx < k->kw_; ++kx) {
        const int64_t ix = ixBase + kx * a.dilW;
        if (ix < 0 || ix >= W) continue;
        const int t = int(ky * k->kw_ + kx);
        btaps[size_t(bt)] = t;
        bx[size_t(bt++)] = img + size_t(iy * W + ix) * pixBytes;
        const int32_t* ts = tapSum(t, b);
        for (int o = 0; o < kBlock; ++o) z[o] += ts[o];
      }
    }
    for (int o = 0; o < kBlock; ++o) z[o] *= qp.zp;
    border(bx.data(), btaps.data(), bt, wb, cin4, &acc[size_t(ox) * kBlock]);
  }

  // Float epilogue. zp times the weights that met the image is the zero
  // point's share of the accumulator, so padding counts as 0 in float.
  void finish(int64_t b) {
    const int64_t co0 = b * kBlock;
    const int nco = int(std::min<int64_t>(kBlock, k->cout_ - co0));
    float sc[kBlock] = {}, bi[kBlock] = {};
    for (int o = 0; o < nco; ++o) {
      sc[o] = qp.s * scale[co0 + o];
      bi[o] = bias[co0 + o];
    }
    const size_t at = (size_t(n) * size_t(k->cout_) + size_t(co0)) * outPlane + size_t(oy * OW);
    epilogue(acc.data(), zw.data(), OW, sc, bi, nco, y + at, outPlane);
    if (accOut)
      for (int o = 0; o < nco; ++o)
        for (int64_t ox = 0; ox < OW; ++ox)
          accOut[at + size_t(o) * outPlane + size_t(ox)] = acc[size_t(ox) * kBlock + size_t(o)];
  }
};

void Int8Conv::run(const float* x, const int64_t (&xs)[4], const float* scale, const float* bias,
                   float* y, int32_t* accOut) const {
  int64_t ys[4];
  outShape(xs, ys);
  const int64_t N = xs[0], C = xs[1], H = xs[2], W = xs[3], OH = ys[2], OW = ys[3];
  if (N == 0) return;

  const Quant qp = quantParams(x, size_t(N * C * H * W));
  const size_t pixBytes = size_t(cin4_) * 4, plane = size_t(H * W);
  thread_local std::vector<uint8_t> xqBuf;
  xqBuf.resize(size_t(N) * plane * pixBytes);
  quantiseImage(x, N, C, plane, cin4_, qp, xqBuf.data());

  Rows shared;
  shared.k = this;
  shared.xq = xqBuf.data();
  shared.H = H, shared.W = W, shared.OH = OH, shared.OW = OW;
  shared.pixBytes = pixBytes, shared.plane = plane, shared.outPlane = size_t(OH * OW);
  shared.qp = qp;
  shared.scale = scale, shared.bias = bias, shared.y = y, shared.accOut = accOut;
  shared.ox0 = std::min((a_.padLeft + a_.strideW - 1) / a_.strideW, OW);
  shared.ox1 = std::max(
      shared.ox0, std::min(floorDiv(W - 1 + a_.padLeft - (kw_ - 1) * a_.dilW, a_.strideW) + 1, OW));
  shared.taps = int(kh_ * kw_), shared.cin4 = int(cin4_);
  shared.pixStep = ptrdiff_t(a_.strideW * int64_t(pixBytes));
  shared.tiles = path_ == Path::Vnni         ? kAvxVnni
                 : path_ == Path::Avx512Vnni ? kAvx512Vnni
                                             : kPortable;
  shared.border = path_ == Path::Vnni         ? borderAvxVnni
                  : path_ == Path::Avx512Vnni ? borderAvx512Vnni
                                              : borderPortable;
  shared.epilogue = haveAvx2() ? epilogueAvx2 : epilogueScalar;
  pool::parallelRange(uint64_t(N * OH), 1, [&](uint64_t rb, uint64_t re) {
    Rows rows = shared;
    rows.allocate();
    for (uint64_t r = rb; r < re; ++r) rows.row(r);
  });
}

// ---------------------------------------------------------------- operator

namespace {

void check(OrtStatusPtr st) {
  if (!st) return;
  const std::string msg = Ort::GetApi().GetErrorMessage(st);
  Ort::GetApi().ReleaseStatus(st);
  fail(msg);
}

// An ints attribute, or `fallback` when it is absent or has fewer than `want` values.
std::vector<int64_t> intsAttr(const OrtApi& api, const OrtKernelInfo* info, const char* name,
                              size_t want, std::vector<int64_t> fallback) {
  size_t size = 0;
  OrtStatusPtr st = api.KernelInfoGetAttributeArray_int64(info, name, nullptr, &size);
  if (st) {  // absent
    api.ReleaseStatus(st);
    return fallback;
  }
  if (size < want) return fallback;
  std::vector<int64_t> v(size);
  check(api.KernelInfoGetAttributeArray_int64(info, name, v.data(), &size));
  return v;
}

std::string nodeName(const OrtApi& api, const OrtKernelInfo* info) {
  size_t size = 0;
  if (OrtStatusPtr st = api.KernelInfo_GetNodeName(info, nullptr, &size)) {
    api.ReleaseStatus(st);
    return "";
  }
  std::string s(size, '\0');
  check(api.KernelInfo_GetNodeName(info, s.data(), &size));
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

Int8ConvAttrs readAttrs(const OrtApi& api, const OrtKernelInfo* info) {
  Int8ConvAttrs a;
  const auto strides = intsAttr(api, info, "strides", 2, {1, 1});
  const auto pads = intsAttr(api, info, "pads", 4, {0, 0, 0, 0});
  const auto dil = intsAttr(api, info, "dilations", 2, {1, 1});
  a.strideH = strides[0], a.strideW = strides[1];
  a.padTop = pads[0], a.padLeft = pads[1], a.padBottom = pads[2], a.padRight = pads[3];
  a.dilH = dil[0], a.dilW = dil[1];
  int64_t group = 1;
  if (OrtStatusPtr st = api.KernelInfoGetAttribute_int64(info, "group", &group)) {
    api.ReleaseStatus(st);
    group = 1;
  }
  a.group = group;
  return a;
}

void shapeOf(const Ort::ConstValue& v, int64_t (&out)[4], const std::string& where,
             const char* what) {
  const auto s = v.GetTensorTypeAndShapeInfo().GetShape();
  if (s.size() != 4)
    fail(where + ": " + what + " is " + shapeText(s.data(), s.size()) +
         "; this operator takes 4-dimensional tensors. REFUSING.");
  for (int i = 0; i < 4; ++i) out[i] = s[size_t(i)];
}

struct Int8ConvKernel {
  static constexpr const char* kName = "Int8ConvVNNI";
  static constexpr ONNXTensorElementDataType kInputTypes[] = {
      ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8,
      ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT};
  static constexpr bool kOutputShapeOfInput0 = false;

  std::string where;
  Int8Conv conv;

  Int8ConvKernel(const OrtApi& api, const OrtKernelInfo* info)
      : where("com.velmoor.int8::Int8ConvVNNI node '" + nodeName(api, info) + "'"),
        conv(readAttrs(api, info), where) {}

  void compute(Ort::KernelContext& ctx) {
    auto x = ctx.GetInput(0);
    auto w = ctx.GetInput(1);
    auto scale = ctx.GetInput(2);
    auto bias = ctx.GetInput(3);
    int64_t xs[4], ws[4], ys[4];
    shapeOf(x, xs, where, "X");
    shapeOf(w, ws, where, "the weights");
    for (auto* v : {&scale, &bias})
      if (v->GetTensorTypeAndShapeInfo().GetElementCount() != size_t(ws[0]))
        fail(where + ": the weight scale and the bias need " + std::to_string(ws[0]) +
             " values, one per output channel; REFUSING.");
    conv.prepare(w.GetTensorData<int8_t>(), ws);
    conv.outShape(xs, ys);
    auto y = ctx.GetOutput(0, ys, 4);
    conv.run(x.GetTensorData<float>(), xs, scale.GetTensorData<float>(),
             bias.GetTensorData<float>(), y.GetTensorMutableData<float>());
  }
};

}  // namespace

Ort::CustomOpDomain& int8Domain() {
  // Sessions keep pointers to the domain and its operator until they are
  // destroyed, which may be during process exit: never free them.
  static Ort::CustomOpDomain* domain = [] {
    auto* d = new Ort::CustomOpDomain(kInt8Domain);
    d->Add(cpuOp<Int8ConvKernel>());
    return d;
  }();
  return *domain;
}

void registerInt8ConvVNNI(Ort::SessionOptions& options) {
  options.Add(int8Domain());
}

}  // namespace le
