// The vector kernels against plain loops of their definitions, on every
// instruction-set target this processor can run. Results must agree bit for
// bit, so floats are compared as bit patterns throughout.

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "compute/le_simd.h"
#include "support/hwy_targets.h"

namespace {

// ------------------------------------------------------------ targets

template <class F>
void forEachTarget(F&& body) {
  le_test::forEachHwyTarget(body);
}

uint32_t bitsOf(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

float fromBits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// ------------------------------------------------------------ references

// Value of a half, decoded independently of the library.
double halfValue(uint16_t h) {
  const int e = (h >> 10) & 0x1f;
  const int m = h & 0x3ff;
  double v;
  if (e == 0) {
    v = std::ldexp(double(m), -24);
  } else if (e == 31) {
    v = m ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
  } else {
    v = std::ldexp(double(1024 + m), e - 25);
  }
  return (h & 0x8000) ? -v : v;
}

bool isNanHalf(uint16_t h) {
  return (h & 0x7c00) == 0x7c00 && (h & 0x3ff);
}

// Nearest half to a finite or infinite x, ties to even; magnitudes from
// 65520 on (halfway from 65504 to 2^16) become infinity.
uint16_t refHalf(float x) {
  const uint16_t sign = std::signbit(x) ? 0x8000 : 0;
  const double a = std::fabs(double(x));
  if (a >= 65520.0) return sign | 0x7c00;
  // Largest non-negative half not above a; halves grow with their bits.
  uint16_t lo = 0, hi = 0x7bff;
  while (lo < hi) {
    const uint16_t mid = uint16_t((lo + hi + 1) / 2);
    if (halfValue(mid) <= a) {
      lo = mid;
    } else {
      hi = uint16_t(mid - 1);
    }
  }
  const double below = halfValue(lo);
  const double above = lo == 0x7bff ? 65536.0 : halfValue(uint16_t(lo + 1));
  // 2a and below + above are exact in double.
  const double twice = 2 * a, sum = below + above;
  uint16_t h = lo;
  if (twice > sum || (twice == sum && (lo & 1))) ++h;
  return sign | h;
}

float halfFloat(uint16_t h) {
  return float(halfValue(h));
}
float round16(float x) {
  return halfFloat(refHalf(x));
}

void refConv(const float* in, int N, int Cin, int H, int W, const float* wt, const float* bias,
             int Cout, float* out, int p0, int p1) {
  (void)N;
  for (int p = p0; p < p1; ++p) {
    const int n = p / Cout, o = p % Cout;
    for (int y = 0; y < H; ++y) {
      for (int x = 0; x < W; ++x) {
        float acc = 0.f;
        for (int ky = 0; ky < 3; ++ky) {
          for (int kx = 0; kx < 3; ++kx) {
            for (int ci = 0; ci < Cin; ++ci) {
              const int yy = y + ky - 1, xx = x + kx - 1;
              if (yy < 0 || yy >= H || xx < 0 || xx >= W) continue;
              const float prod = wt[((o * Cin + ci) * 3 + ky) * 3 + kx] *
                                 in[((size_t(n) * Cin + ci) * H + yy) * W + xx];
              acc = acc + prod;
            }
          }
        }
        out[(size_t(p) * H + y) * W + x] = bias[o] + acc;
      }
    }
  }
}

float refPixelDiff(const uint16_t* a, const uint16_t* b, size_t stride, size_t i) {
  float d[3];
  for (size_t c = 0; c < 3; ++c) {
    d[c] = std::fabs(round16(halfFloat(a[c * stride + i]) - halfFloat(b[c * stride + i])));
  }
  return round16((d[0] + d[1] + d[2]) / 3.f);
}

float refPooled(const uint16_t* a, const uint16_t* b, const uint16_t* w, size_t n) {
  float score = 0.f;
  for (size_t i = 0; i < n; ++i) {
    score += round16(refPixelDiff(a, b, n, i) * halfFloat(w[i]));
  }
  return score;
}

float refExactRange(const uint16_t* a, const uint16_t* b, const float* w, size_t stride,
                    size_t begin, size_t end) {
  float score = 0.f;
  for (size_t i = begin; i < end; ++i) {
    if (w[i] == 0.f) continue;
    score += w[i] * refPixelDiff(a, b, stride, i);
  }
  return score;
}

// ------------------------------------------------------------ inputs

// Counts around every vector width, plus a long odd one.
std::vector<size_t> testCounts() {
  std::vector<size_t> n;
  for (size_t i = 0; i <= 67; ++i) n.push_back(i);
  n.push_back(100003);
  return n;
}

// A random half of moderate size, as pixels are: mostly in [-1, 2], some
// tiny or subnormal, some exactly zero of either sign.
uint16_t randomPixel(std::mt19937& rng) {
  const uint32_t r = rng() % 16;
  if (r == 0) return uint16_t(rng() % 0x400 | (rng() & 1 ? 0x8000 : 0));  // subnormal
  if (r == 1) return (rng() & 1) ? 0x8000 : 0;
  std::uniform_real_distribution<float> u(-1.f, 2.f);
  return refHalf(u(rng));
}

// Finite floats of every exponent.
float randomFinite(std::mt19937& rng) {
  for (;;) {
    const float f = fromBits(uint32_t(rng()));
    if (std::isfinite(f)) return f;
  }
}

// Floats where rounding to half is decided: every finite half, the midpoint
// to its upper neighbour and the floats either side of it, both signs.
const std::vector<float>& boundaryFloats() {
  static const std::vector<float> v = [] {
    std::vector<float> out;
    for (uint32_t h = 0; h <= 0x7bff; ++h) {
      const double lo = halfValue(uint16_t(h));
      const double hi = h == 0x7bff ? 65536.0 : halfValue(uint16_t(h + 1));
      const float mid = float((lo + hi) / 2);  // exact: one bit more than a half
      const float inf = std::numeric_limits<float>::infinity();
      for (float f : {float(lo), mid, std::nextafter(mid, 0.f), std::nextafter(mid, inf)}) {
        out.push_back(f);
        out.push_back(-f);
      }
    }
    for (float f : {65504.f, 65519.f, 65519.996f, 65520.f, 65536.f, 1e5f, 3.4e38f, 1e-9f, 1e-30f,
                    1e-40f, 1e-45f, 0x1p-25f, 0x1.000002p-25f, 0x1p-24f, 0x1.8p-24f, 0x1p-14f,
                    0x1.ffcp-15f, 0x1.ffep-15f, 0x1.ffe002p-15f}) {
      out.push_back(f);
      out.push_back(-f);
    }
    return out;
  }();
  return v;
}

constexpr uint16_t kCanary16 = 0xa5c3;
constexpr float kCanary32 = -1234.5f;

// ------------------------------------------------------------ tests

TEST(SimdTargets, EveryRunnableTargetIsCompiledInAndSelectable) {
  const std::vector<int64_t> targets = le_test::runnableTargets();
  ASSERT_FALSE(targets.empty());
  EXPECT_EQ(targets.back(), HWY_SCALAR);  // always runnable
  std::string names;
  int visited = 0;
  forEachTarget([&](const std::string& name) {
    names += " " + name;
    ++visited;
  });
  EXPECT_EQ(visited, int(targets.size()));
  std::printf("[ targets  ]%s\n", names.c_str());

  // Without a mock the best target is chosen, and it is compiled in.
  hwy::SetSupportedTargetsForTest(0);
  const int64_t all = hwy::SupportedTargets();
  EXPECT_STREQ(le::simd::target(), hwy::TargetName(all & -all));
  EXPECT_STREQ(le::simd::detail::dispatchedTarget(), hwy::TargetName(targets.front()));
  if (HWY_DISABLED_TARGETS == 0) {
    EXPECT_STREQ(le::simd::target(), hwy::TargetName(targets.front()));
  }
}

TEST(HalfScalar, F32ToF16KnownValues) {
  struct Case {
    float x;
    uint16_t h;
  };
  const float inf = std::numeric_limits<float>::infinity();
  const Case cases[] = {
      {65519.f, 0x7bff},    {65520.f, 0x7c00},    {-65520.f, 0xfc00},     {65504.f, 0x7bff},
      {1e-9f, 0x0000},      {-1e-9f, 0x8000},     {0.f, 0x0000},          {-0.f, 0x8000},
      {1.f, 0x3c00},        {0x1p-24f, 0x0001},   {0x1p-25f, 0x0000},     {0x1.000002p-25f, 0x0001},
      {0x1.8p-24f, 0x0002}, {0x1.4p-23f, 0x0002}, {0x1.ffep-15f, 0x0400}, {0x1.002p0f, 0x3c00},
      {0x1.006p0f, 0x3c02}, {inf, 0x7c00},        {-inf, 0xfc00},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(le::f32ToF16(c.x), c.h) << c.x;
    EXPECT_EQ(refHalf(c.x), c.h) << c.x;  // the test's own reference agrees
  }
  EXPECT_EQ(le::f32ToF16(std::numeric_limits<float>::quiet_NaN()), 0x7c00);
  EXPECT_EQ(le::f32ToF16(-std::numeric_limits<float>::quiet_NaN()), 0xfc00);
}

TEST(HalfScalar, F32ToF16MatchesReference) {
  for (float f : boundaryFloats()) ASSERT_EQ(le::f32ToF16(f), refHalf(f)) << f;
  std::mt19937 rng(7);
  for (int i = 0; i < 200000; ++i) {
    const float f = randomFinite(rng);
    ASSERT_EQ(le::f32ToF16(f), refHalf(f)) << f;
  }
}

TEST(HalfScalar, HalfToFloatAllPatterns) {
  std::vector<uint16_t> h(65536);
  for (uint32_t i = 0; i < 65536; ++i) h[i] = uint16_t(i);
  std::vector<float> f(65536);
  le::halfToFloat(h.data(), f.data(), h.size());
  for (uint32_t i = 0; i < 65536; ++i) {
    if (isNanHalf(uint16_t(i))) {
      EXPECT_TRUE(std::isnan(f[i])) << i;
      EXPECT_EQ(std::signbit(f[i]), bool(i & 0x8000)) << i;
    } else {
      ASSERT_EQ(bitsOf(f[i]), bitsOf(halfFloat(uint16_t(i)))) << std::hex << i;
    }
  }
}

TEST(HalfVector, F16ToF32AllPatternsEveryTarget) {
  std::vector<uint16_t> h(65536);
  for (uint32_t i = 0; i < 65536; ++i) h[i] = uint16_t(i);
  std::vector<float> first;
  forEachTarget([&](const std::string&) {
    std::vector<float> f(65536);
    le::simd::f16ToF32(h.data(), f.data(), h.size());
    for (uint32_t i = 0; i < 65536; ++i) {
      if (isNanHalf(uint16_t(i))) {
        ASSERT_TRUE(std::isnan(f[i])) << i;
      } else {
        ASSERT_EQ(bitsOf(f[i]), bitsOf(halfFloat(uint16_t(i)))) << std::hex << i;
      }
    }
    // NaN too: every target gives the same quiet NaN.
    if (first.empty()) first = f;
    ASSERT_EQ(0, std::memcmp(first.data(), f.data(), f.size() * sizeof(float)));
  });
}

TEST(HalfVector, F32ToF16BoundariesAndRandomEveryTarget) {
  std::vector<float> src = boundaryFloats();
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> pixel(-70000.f, 70000.f);
  for (int i = 0; i < 100000; ++i) src.push_back(randomFinite(rng));
  for (int i = 0; i < 100000; ++i) src.push_back(pixel(rng));
  std::vector<uint16_t> want(src.size());
  for (size_t i = 0; i < src.size(); ++i) want[i] = refHalf(src[i]);
  forEachTarget([&](const std::string&) {
    std::vector<uint16_t> got(src.size());
    le::simd::f32ToF16(src.data(), got.data(), src.size());
    for (size_t i = 0; i < src.size(); ++i) ASSERT_EQ(got[i], want[i]) << src[i];
  });
}

TEST(HalfVector, NanConvertsAlikeOnEveryTarget) {
  const float nans[] = {fromBits(0x7fc00000), fromBits(0xffc00001), fromBits(0x7f802000),
                        fromBits(0x7fbfffff), fromBits(0x7f800001)};
  std::vector<uint16_t> first;
  forEachTarget([&](const std::string&) {
    std::vector<uint16_t> got(5);
    le::simd::f32ToF16(nans, got.data(), 5);
    for (uint16_t h : got) EXPECT_TRUE(isNanHalf(h)) << std::hex << h;
    if (first.empty()) first = got;
    EXPECT_EQ(got, first);
  });
}

TEST(HalfVector, CountsAndTailsEveryTarget) {
  std::mt19937 rng(3);
  forEachTarget([&](const std::string&) {
    for (size_t n : testCounts()) {
      SCOPED_TRACE("n=" + std::to_string(n));
      std::vector<float> f(n);
      for (float& x : f) x = randomFinite(rng) * 0x1p-100f;  // mostly within half range
      std::vector<uint16_t> h(n + 8, kCanary16);
      le::simd::f32ToF16(f.data(), h.data(), n);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(h[i], refHalf(f[i])) << i;
      for (size_t i = n; i < n + 8; ++i) ASSERT_EQ(h[i], kCanary16);
      const std::vector<uint16_t> src(h.begin(), h.begin() + n);  // no slack to read into
      std::vector<float> back(n + 8, kCanary32);
      le::simd::f16ToF32(src.data(), back.data(), n);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(bitsOf(back[i]), bitsOf(halfFloat(h[i]))) << i;
      for (size_t i = n; i < n + 8; ++i) ASSERT_EQ(bitsOf(back[i]), bitsOf(kCanary32));
    }
  });
}

TEST(Rgb8ToPlanarF16, AllByteValuesCountsAndStrideEveryTarget) {
  std::mt19937 rng(5);
  forEachTarget([&](const std::string&) {
    std::vector<size_t> counts = testCounts();
    counts.push_back(256);
    for (size_t n : counts) {
      SCOPED_TRACE("n=" + std::to_string(n));
      std::vector<uint8_t> rgb(3 * n);
      for (size_t i = 0; i < n; ++i) {
        // With n = 256 each channel takes every byte value once.
        rgb[3 * i + 0] = uint8_t(i);
        rgb[3 * i + 1] = uint8_t(255 - i);
        rgb[3 * i + 2] = n == 256 ? uint8_t(i * 37 + 11) : uint8_t(rng());
      }
      const size_t stride = n + 5;  // gaps between the planes must stay untouched
      std::vector<uint16_t> dst(3 * stride + 4, kCanary16);
      le::simd::rgb8ToPlanarF16(rgb.data(), dst.data(), stride, n);
      for (size_t c = 0; c < 3; ++c) {
        for (size_t i = 0; i < n; ++i) {
          const uint16_t want = refHalf(float(rgb[3 * i + c]) / 255.f);
          ASSERT_EQ(dst[c * stride + i], want) << "c=" << c << " byte=" << int(rgb[3 * i + c]);
        }
        for (size_t i = n; i < stride; ++i) ASSERT_EQ(dst[c * stride + i], kCanary16);
      }
      for (size_t i = 3 * stride; i < dst.size(); ++i) ASSERT_EQ(dst[i], kCanary16);
    }
  });
}

// ------------------------------------------------------------ convolution

struct ConvCase {
  int N, Cin, H, W, Cout;
  std::vector<float> in, wt, bias;
};

ConvCase randomConv(std::mt19937& rng, int N, int Cin, int H, int W, int Cout) {
  ConvCase c{N, Cin, H, W, Cout, {}, {}, {}};
  std::uniform_real_distribution<float> u(-1.f, 1.f);
  auto value = [&] {
    const uint32_t r = rng() % 10;
    return r == 0 ? 0.f : r == 1 ? -0.f : u(rng);
  };
  c.in.resize(size_t(N) * Cin * H * W);
  for (float& x : c.in) x = value();
  c.wt.resize(size_t(Cout) * Cin * 9);
  for (float& x : c.wt) x = value();
  c.bias.resize(Cout);
  for (float& x : c.bias) x = value();
  return c;
}

// Runs planes [p0, p1) and checks them against the definition, and that
// every other plane is left as it was.
void checkConv(const ConvCase& c, int p0, int p1) {
  const size_t plane = size_t(c.H) * c.W;
  const size_t total = size_t(c.N) * c.Cout * plane;
  std::vector<float> want(total, kCanary32), got(total + 8, kCanary32);
  refConv(c.in.data(), c.N, c.Cin, c.H, c.W, c.wt.data(), c.bias.data(), c.Cout, want.data(), p0,
          p1);
  le::simd::conv3x3Range(c.in.data(), c.N, c.Cin, c.H, c.W, c.wt.data(), c.bias.data(), c.Cout,
                         got.data(), p0, p1);
  for (size_t i = 0; i < total; ++i) {
    ASSERT_EQ(bitsOf(got[i]), bitsOf(want[i]))
        << "plane " << i / plane << " y " << i % plane / c.W << " x " << i % c.W;
  }
  for (size_t i = total; i < got.size(); ++i) ASSERT_EQ(bitsOf(got[i]), bitsOf(kCanary32));
}

TEST(Conv3x3Range, MatchesDefinitionOnOddShapesEveryTarget) {
  std::mt19937 rng(17);
  forEachTarget([&](const std::string&) {
    for (int W : {1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 17, 18, 19, 33, 35, 100}) {
      for (int H : {1, 2, 3, 7}) {
        for (int Cin = 1; Cin <= 3; ++Cin) {
          SCOPED_TRACE("W=" + std::to_string(W) + " H=" + std::to_string(H) +
                       " Cin=" + std::to_string(Cin));
          const ConvCase c = randomConv(rng, 2, Cin, H, W, 2);
          checkConv(c, 0, 4);
          if (::testing::Test::HasFatalFailure()) return;
        }
      }
    }
  });
}

TEST(Conv3x3Range, WideRowsAndManyInputChannelsEveryTarget) {
  // Rows wider than fit at once are done in column chunks; with very many
  // input channels rows are read in place, several output channels at once
  // (planes 2..8 split 3 + 4 across the two batch items).
  std::mt19937 rng(41);
  std::vector<ConvCase> chunked, many;
  for (int W : {60, 100, 130}) chunked.push_back(randomConv(rng, 1, 40, 3, W, 2));
  for (int W : {3, 4, 5, 8, 9, 16, 17, 40}) many.push_back(randomConv(rng, 2, 700, 2, W, 5));
  forEachTarget([&](const std::string&) {
    for (const ConvCase& c : chunked) {
      SCOPED_TRACE("W=" + std::to_string(c.W) + " Cin=" + std::to_string(c.Cin));
      checkConv(c, 0, 2);
      if (::testing::Test::HasFatalFailure()) return;
    }
    for (const ConvCase& c : many) {
      SCOPED_TRACE("W=" + std::to_string(c.W) + " Cin=" + std::to_string(c.Cin));
      checkConv(c, 0, 10);
      checkConv(c, 2, 9);
      if (::testing::Test::HasFatalFailure()) return;
    }
  });
}

TEST(Conv3x3Range, PlaneSubrangesLeaveOtherPlanesUntouchedEveryTarget) {
  std::mt19937 rng(19);
  const ConvCase c = randomConv(rng, 2, 3, 5, 37, 3);  // planes 0..5
  forEachTarget([&](const std::string&) {
    for (auto r : {std::make_pair(0, 6), std::make_pair(1, 4), std::make_pair(3, 4),
                   std::make_pair(5, 6), std::make_pair(2, 2)}) {
      SCOPED_TRACE("planes " + std::to_string(r.first) + ".." + std::to_string(r.second));
      checkConv(c, r.first, r.second);
    }
  });
}

TEST(Conv3x3Range, OneByOneImageUsesCentreTapOnlyEveryTarget) {
  // Two input channels of one pixel; the off-centre weights are huge so any
  // misplaced tap would show.
  const float in[2] = {0.75f, -1.5f};
  std::vector<float> wt(2 * 2 * 9, 1e30f);
  wt[0 * 9 + 4] = 0.5f;   // o=0, ci=0
  wt[1 * 9 + 4] = 3.0f;   // o=0, ci=1
  wt[2 * 9 + 4] = -2.0f;  // o=1, ci=0
  wt[3 * 9 + 4] = 0.25f;  // o=1, ci=1
  const float bias[2] = {0.125f, -4.f};
  forEachTarget([&](const std::string&) {
    float out[2] = {kCanary32, kCanary32};
    le::simd::conv3x3Range(in, 1, 2, 1, 1, wt.data(), bias, 2, out, 0, 2);
    EXPECT_EQ(out[0], 0.125f + (0.75f * 0.5f + -1.5f * 3.0f));
    EXPECT_EQ(out[1], -4.f + (0.75f * -2.0f + -1.5f * 0.25f));
  });
}

TEST(Conv3x3Range, SignedZerosFollowTheDefinitionEveryTarget) {
  // Every product is -0 and the bias is -0: the sum starts at +0, so each
  // output is -0 + +0 = +0. Starting from the bias would give -0.
  for (int W : {1, 3, 9, 40}) {
    const int H = 3, Cin = 2, Cout = 2;
    std::vector<float> in(size_t(Cin) * H * W, 0.f);
    std::vector<float> wt(size_t(Cout) * Cin * 9, -1.f);
    const float bias[2] = {-0.f, -0.f};
    forEachTarget([&](const std::string&) {
      std::vector<float> out(size_t(Cout) * H * W, kCanary32);
      le::simd::conv3x3Range(in.data(), 1, Cin, H, W, wt.data(), bias, Cout, out.data(), 0, 2);
      for (float v : out) ASSERT_EQ(bitsOf(v), 0u) << "W=" << W;
    });
  }
}

// ------------------------------------------------------------ retrieval

struct Images {
  size_t n;
  std::vector<uint16_t> a, b, wh;
  std::vector<float> wf;
};

Images randomImages(std::mt19937& rng, size_t n) {
  Images im{n, std::vector<uint16_t>(3 * n), std::vector<uint16_t>(3 * n), std::vector<uint16_t>(n),
            std::vector<float>(n)};
  std::uniform_real_distribution<float> weight(0.f, 4.f);
  for (size_t i = 0; i < 3 * n; ++i) {
    im.a[i] = randomPixel(rng);
    im.b[i] = rng() % 8 == 0 ? im.a[i] : randomPixel(rng);  // some equal pixels
  }
  for (size_t i = 0; i < n; ++i) {
    const uint32_t r = rng() % 8;
    im.wh[i] = r == 0 ? 0 : refHalf(weight(rng));
    im.wf[i] = r == 0 ? 0.f : r == 1 ? -0.f : weight(rng);
  }
  return im;
}

TEST(RetrieveTerm, IdenticalImagesScoreZeroEveryTarget) {
  std::mt19937 rng(23);
  const Images im = randomImages(rng, 1001);
  forEachTarget([&](const std::string&) {
    EXPECT_EQ(bitsOf(le::simd::retrieveTermPooled(im.a.data(), im.a.data(), im.wh.data(), im.n)),
              0u);
    EXPECT_EQ(bitsOf(le::simd::retrieveTermExact(im.a.data(), im.a.data(), im.wf.data(), im.n)),
              0u);
  });
}

TEST(RetrieveTerm, RandomImagesMatchDefinitionEveryTarget) {
  std::mt19937 rng(29);
  std::vector<size_t> counts = testCounts();
  counts.back() = 20011;  // the long count, kept modest: the reference is slow
  std::vector<Images> images;
  std::vector<float> pooled, exact;
  for (size_t n : counts) {
    images.push_back(randomImages(rng, n));
    const Images& im = images.back();
    pooled.push_back(refPooled(im.a.data(), im.b.data(), im.wh.data(), n));
    exact.push_back(refExactRange(im.a.data(), im.b.data(), im.wf.data(), n, 0, n));
  }
  forEachTarget([&](const std::string&) {
    for (size_t k = 0; k < images.size(); ++k) {
      const Images& im = images[k];
      SCOPED_TRACE("n=" + std::to_string(im.n));
      const float p = le::simd::retrieveTermPooled(im.a.data(), im.b.data(), im.wh.data(), im.n);
      const float e = le::simd::retrieveTermExact(im.a.data(), im.b.data(), im.wf.data(), im.n);
      const float r =
          le::simd::retrieveTermExactRange(im.a.data(), im.b.data(), im.wf.data(), im.n, 0, im.n);
      ASSERT_EQ(bitsOf(p), bitsOf(pooled[k]));
      ASSERT_EQ(bitsOf(e), bitsOf(exact[k]));
      ASSERT_EQ(bitsOf(r), bitsOf(e));
    }
  });
}

TEST(RetrieveTerm, ZeroWeightPixelContributesNothingEveryTarget) {
  // Pixel 5 differs by more than the largest half in every channel, so its
  // channel differences round to infinity; with weight zero (either sign)
  // the exact terms must skip it entirely.
  std::mt19937 rng(31);
  for (float zero : {0.f, -0.f}) {
    Images im = randomImages(rng, 23);
    for (size_t c = 0; c < 3; ++c) {
      im.a[c * im.n + 5] = 0x7bff;  // 65504
      im.b[c * im.n + 5] = 0xfbff;  // -65504
    }
    im.wf[5] = zero;
    im.wh[5] = 0;
    const float want = refExactRange(im.a.data(), im.b.data(), im.wf.data(), im.n, 0, im.n);
    ASSERT_TRUE(std::isfinite(want));
    forEachTarget([&](const std::string&) {
      EXPECT_EQ(bitsOf(le::simd::retrieveTermExact(im.a.data(), im.b.data(), im.wf.data(), im.n)),
                bitsOf(want));
      EXPECT_EQ(bitsOf(le::simd::retrieveTermExactRange(im.a.data(), im.b.data(), im.wf.data(),
                                                        im.n, 3, 9)),
                bitsOf(refExactRange(im.a.data(), im.b.data(), im.wf.data(), im.n, 3, 9)));
      // The pooled term has no such skip: infinity times zero poisons it.
      EXPECT_TRUE(
          std::isnan(le::simd::retrieveTermPooled(im.a.data(), im.b.data(), im.wh.data(), im.n)));
    });
  }
}

TEST(RetrieveTerm, ExactRangeSubrangesWithWideStrideEveryTarget) {
  std::mt19937 rng(37);
  const size_t n = 150, stride = 211;
  std::vector<uint16_t> a(3 * stride), b(3 * stride);
  for (size_t i = 0; i < a.size(); ++i) {
    // Gaps between planes hold values that would change any sum they entered.
    const bool gap = i % stride >= n;
    a[i] = gap ? 0x7bff : randomPixel(rng);
    b[i] = gap ? 0xfbff : randomPixel(rng);
  }
  std::vector<float> w(n);
  std::uniform_real_distribution<float> u(-2.f, 2.f);
  for (float& x : w) x = rng() % 6 == 0 ? 0.f : u(rng);
  const std::pair<size_t, size_t> ranges[] = {{0, 150}, {0, 0},   {7, 7},    {0, 1},
                                              {1, 2},   {3, 70},  {17, 150}, {149, 150},
                                              {31, 64}, {5, 100}, {64, 81}};
  std::vector<float> want;
  for (const auto& r : ranges) {
    want.push_back(refExactRange(a.data(), b.data(), w.data(), stride, r.first, r.second));
  }
  forEachTarget([&](const std::string&) {
    for (size_t k = 0; k < std::size(ranges); ++k) {
      const float got = le::simd::retrieveTermExactRange(a.data(), b.data(), w.data(), stride,
                                                         ranges[k].first, ranges[k].second);
      EXPECT_EQ(bitsOf(got), bitsOf(want[k]))
          << "[" << ranges[k].first << ", " << ranges[k].second << ")";
    }
  });
}

}  // namespace
