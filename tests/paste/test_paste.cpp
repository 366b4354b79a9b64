// The paste compositor against a plain re-statement of its definition
// (tables, reflect-padded unsharp mask, 1/1024-pixel inverse mapping, mask
// alpha, Lanczos/cubic/bilinear sampling), byte for byte on every
// instruction-set target this processor runs.

#include <gtest/gtest.h>
#include <hwy/targets.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "compute/le_pool.h"
#include "paste/le_paste.h"
#include "paste/le_paste_simd.h"
#include "support/hwy_targets.h"

namespace {

// ------------------------------------------------------------ helpers

// Sets (value) or clears (null) an environment variable for one scope.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    if ((had_ = old != nullptr)) old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~EnvVar() { had_ ? setenv(name_.c_str(), old_.c_str(), 1) : unsetenv(name_.c_str()); }

 private:
  std::string name_, old_;
  bool had_ = false;
};

struct CleanEnv {
  EnvVar fast{"LE_PASTE_FAST", nullptr}, ks{"LE_PASTE_KSIZE", nullptr};
};

template <class F>
std::string messageOf(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no exception)";
}

// Runs body once per target this processor supports, with the row kernel
// proven to run that target's code.
template <class F>
void forEachTarget(F&& body) {
  struct Reset {
    ~Reset() { hwy::SetSupportedTargetsForTest(0); }
  } reset;
  int ran = 0;
  for (int64_t t : le_test::runnableTargets()) {
    hwy::SetSupportedTargetsForTest(t);
    const std::string name = hwy::TargetName(t);
    ASSERT_STREQ(le::simd::detail::pasteRowTarget(), name.c_str());
    SCOPED_TRACE("target " + name);
    body();
    ++ran;
    if (::testing::Test::HasFatalFailure()) return;
  }
  ASSERT_GE(ran, 2);  // the scalar target and at least one vector target
}

struct Case {
  int side, W, H;
  le::Unsharp us;
  std::vector<float> crop;
  std::vector<uint8_t> mask, frame;
  float M[6];
};

// Random crop and frame; a mask of zero, full and arbitrary patches so that
// every alpha path is taken; rotation, scale, shear and sub-pixel offsets.
Case randomCase(std::mt19937& rng, int side, int W, int H, float tx, float ty,
                le::Unsharp us = {1.3f, 2.0f, 13}) {
  Case c{side,
         W,
         H,
         us,
         std::vector<float>(size_t(3) * side * side),
         std::vector<uint8_t>(size_t(side) * side),
         std::vector<uint8_t>(size_t(W) * H * 3),
         {}};
  std::uniform_real_distribution<float> unit(0.f, 1.f);
  for (auto& v : c.crop) v = unit(rng);
  for (auto& v : c.frame) v = uint8_t(rng() & 255);
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const int region = ((y / 5) + (x / 7)) % 4;
      c.mask[size_t(y) * side + x] = region == 0                     ? 0
                                     : region == 1                   ? 255
                                     : region == 3 && rng() % 4 == 0 ? 0
                                                                     : rng() & 255;
    }
  }
  const float a = unit(rng) - 0.5f, s = 0.6f + 1.1f * unit(rng), k = 0.2f * unit(rng) - 0.1f;
  const float M[6] = {s * std::cos(a), -s * std::sin(a) + k,    tx + unit(rng),
                      s * std::sin(a), s * std::cos(a) - k / 2, ty + unit(rng)};
  std::memcpy(c.M, M, sizeof M);
  return c;
}

size_t changedBytes(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t n = 0;
  for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
  return n;
}

// ------------------------------------------------------------ reference

struct RefTables {
  std::vector<float> gauss, lanczos, bilinear, bicubic;
};

RefTables refTables(int ksize, float sigma) {
  RefTables t;
  t.gauss.assign(size_t(ksize), 0.f);
  const double s2 = 2.0 * double(sigma) * double(sigma);
  const int c = (ksize - 1) / 2;
  double sum = 0;
  for (int i = 0; i < ksize && s2 > 0; ++i) sum += std::exp(-double((i - c) * (i - c)) / s2);
  for (int i = 0; i < ksize; ++i) {
    t.gauss[size_t(i)] =
        s2 > 0 ? float(std::exp(-double((i - c) * (i - c)) / s2) / sum) : float(i == c);
  }
  const double pi = std::acos(-1.0);
  for (int f = 0; f < 32; ++f) {
    const double tt = f / 32.0;
    double w[8] = {0, 0, 0, 1, 0, 0, 0, 0};
    if (tt >= 1e-7) {
      double wsum = 0;
      for (int j = 0; j < 8; ++j) {
        const double x = tt + 3 - j;
        wsum += w[j] = 4.0 * std::sin(pi * x) * std::sin(pi * x / 4.0) / ((pi * x) * (pi * x));
      }
      for (double& v : w) v /= wsum;
    }
    for (double v : w) t.lanczos.push_back(float(v));
    t.bilinear.insert(t.bilinear.end(), {1.f - f / 32.f, f / 32.f});
    const double a = tt + 1, b = 1 - tt;
    const float w0 = float(((-0.75 * a + 3.75) * a - 6) * a + 3);
    const float w1 = float((1.25 * tt - 2.25) * tt * tt + 1);
    const float w2 = float((1.25 * b - 2.25) * b * b + 1);
    t.bicubic.insert(t.bicubic.end(), {w0, w1, w2, 1.f - w0 - w1 - w2});
  }
  return t;
}

float clampByte(float v) {
  return v < 0.f ? 0.f : v > 255.f ? 255.f : v;
}

// One channel's 8 x 8 Lanczos sum in double precision, at(k, j) the tap of
// row k, column j: what the engine's float sums are held to.
template <class P>
double exactLanczos(const float* wx, const float* wy, P&& at) {
  double s = 0;
  for (int k = 0; k < 8; ++k)
    for (int j = 0; j < 8; ++j) s += double(wy[k]) * double(wx[j]) * double(at(k, j));
  return s;
}

// Mirror about both edges (edge not repeated) until inside [0, n).
int mirror(int q, int n) {
  while (n > 1 && (q < 0 || q >= n)) q = q < 0 ? -q : 2 * n - q - 2;
  return n > 1 ? q : 0;
}

std::vector<float> refUnsharp(const std::vector<float>& p, int side, int ksize, float amount,
                              const std::vector<float>& g) {
  std::vector<float> out(p.size());
  if (ksize == 1) {
    for (size_t i = 0; i < p.size(); ++i) out[i] = clampByte(p[i]);
    return out;
  }
  const int r = ksize / 2;
  std::vector<float> h(size_t(side + 2 * r) * side);  // rows -r .. side + r - 1
  for (int y = -r; y < side + r; ++y) {
    for (int x = 0; x < side; ++x) {
      float s = 0.f;
      for (int j = 0; j < ksize; ++j) {
        s = s + g[size_t(j)] * p[size_t(mirror(y, side)) * side + mirror(x - r + j, side)];
      }
      h[size_t(y + r) * side + x] = s;
    }
  }
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      float b = 0.f;
      for (int j = 0; j < ksize; ++j) b = b + g[size_t(j)] * h[size_t(y + j) * side + x];
      const float v = p[size_t(y) * side + x];
      out[size_t(y) * side + x] = clampByte((amount + 1.f) * v - amount * b);
    }
  }
  return out;
}

// The whole composite into frame; mode 0 Lanczos, 1 cubic, 2 bilinear.
// Returns the sharpened planes.
std::vector<std::vector<float>> refComposite(const Case& c, int ksize, int mode,
                                             std::vector<uint8_t>& frame) {
  const int side = c.side;
  const size_t area = size_t(side) * side;
  const RefTables t = refTables(ksize, c.us.sigma);
  std::vector<std::vector<float>> pl(3, std::vector<float>(area));
  for (int ch = 0; ch < 3; ++ch) {
    for (size_t i = 0; i < area; ++i) pl[size_t(ch)][i] = 255.f * c.crop[ch * area + i];
    pl[size_t(ch)] = refUnsharp(pl[size_t(ch)], side, ksize, c.us.amount, t.gauss);
  }
  const double m0 = c.M[0], m1 = c.M[1], m2 = c.M[2], m3 = c.M[3], m4 = c.M[4], m5 = c.M[5];
  const double det = m0 * m4 - m1 * m3;
  if (det == 0) return pl;
  double lo[2] = {HUGE_VAL, HUGE_VAL}, hi[2] = {-HUGE_VAL, -HUGE_VAL};
  for (double y : {-4.0, side + 3.0}) {
    for (double x : {-4.0, side + 3.0}) {
      const double X = m0 * x + m1 * y + m2, Y = m3 * x + m4 * y + m5;
      lo[0] = std::min(lo[0], X), hi[0] = std::max(hi[0], X);
      lo[1] = std::min(lo[1], Y), hi[1] = std::max(hi[1], Y);
    }
  }
  const int x0 = std::max(0, int(std::floor(lo[0]))), x1 = std::min(c.W - 1, int(std::ceil(hi[0])));
  const int y0 = std::max(0, int(std::floor(lo[1]))), y1 = std::min(c.H - 1, int(std::ceil(hi[1])));
  const double i00 = m4 / det, i01 = -m1 / det, i10 = -m3 / det, i11 = m0 / det;
  const double i02 = -(m2 * i00 + m5 * i01), i12 = -(m2 * i10 + m5 * i11);

  auto px = [&](int ch, int y, int x) -> float {
    const bool in = x >= 0 && y >= 0 && x < side && y < side;
    return in ? pl[size_t(ch)][size_t(y) * side + x] : 0.f;
  };
  auto mk = [&](int y, int x) -> float {
    const bool in = x >= 0 && y >= 0 && x < side && y < side;
    return in ? float(c.mask[size_t(y) * side + x]) : 0.f;
  };
  for (int Y = y0; Y <= y1; ++Y) {
    const int64_t rowU = int64_t(std::rint((Y * i01 + i02) * 1024)) + 16;
    const int64_t rowV = int64_t(std::rint((Y * i11 + i12) * 1024)) + 16;
    for (int X = x0; X <= x1; ++X) {
      const int64_t u = rowU + int64_t(std::rint(X * i00 * 1024));
      const int64_t v = rowV + int64_t(std::rint(X * i10 * 1024));
      if (u < -1024 || v < -1024 || (u >> 10) >= side || (v >> 10) >= side) continue;
      const int ix = int(u >> 10), iy = int(v >> 10);
      const int fx = int((u >> 5) & 31), fy = int((v >> 5) & 31);
      const float *bx = &t.bilinear[size_t(fx) * 2], *by = &t.bilinear[size_t(fy) * 2];
      const float a = by[0] * (bx[0] * mk(iy, ix) + bx[1] * mk(iy, ix + 1)) +
                      by[1] * (bx[0] * mk(iy + 1, ix) + bx[1] * mk(iy + 1, ix + 1));
      const float alpha = std::nearbyint(a) / 255.f;
      if (alpha <= 0.f) continue;
      uint8_t* f = &frame[(size_t(Y) * c.W + X) * 3];
      for (int ch = 0; ch < 3; ++ch) {
        float s = 0.f;
        if (mode == 0) {
          s = float(exactLanczos(&t.lanczos[size_t(fx) * 8], &t.lanczos[size_t(fy) * 8],
                                 [&](int k, int j) { return px(ch, iy - 3 + k, ix - 3 + j); }));
        } else {
          const int n = mode == 1 ? 4 : 2, lead = mode == 1 ? 1 : 0;
          const float* tab = mode == 1 ? t.bicubic.data() : t.bilinear.data();
          for (int k = 0; k < n; ++k) {
            float row = 0.f;
            for (int j = 0; j < n; ++j) {
              row = row + tab[n * fx + j] * px(ch, iy - lead + k, ix - lead + j);
            }
            s = s + tab[n * fy + k] * row;
          }
        }
        f[ch] = uint8_t(clampByte((1.f - alpha) * f[ch] + alpha * s));
      }
    }
  }
  return pl;
}

// Composites c with a fresh compositor and returns the frame; with refFrame,
// also runs the reference and compares the sharpened planes bit for bit.
std::vector<uint8_t> runPaste(const Case& c, std::vector<uint8_t>* refFrame = nullptr,
                              int refMode = 0) {
  le::Paste p(c.mask, c.side, c.us);
  std::vector<uint8_t> out = c.frame;
  p.composite(c.crop.data(), 255.f, c.M, out.data(), c.W, c.H);
  if (refFrame) {
    *refFrame = c.frame;
    const auto pl = refComposite(c, p.ksize, refMode, *refFrame);
    for (int ch = 0; ch < 3; ++ch) {
      EXPECT_EQ(0, std::memcmp(pl[size_t(ch)].data(), p.planes[ch].data(),
                               pl[size_t(ch)].size() * sizeof(float)))
          << "sharpened plane " << ch;
    }
  }
  return out;
}

// ------------------------------------------------------------ construction

TEST(PasteConstruct, RefusalsCarryTheirMessages) {
  CleanEnv env;
  auto make = [](size_t maskBytes, int side, int ksize) {
    return messageOf([&] { le::Paste(std::vector<uint8_t>(maskBytes), side, {1.3f, 2.f, ksize}); });
  };
  EXPECT_EQ(make(15, 4, 13), "paste: mask size");
  EXPECT_EQ(make(17, 4, 13), "paste: mask size");
  EXPECT_EQ(make(16, 4, 12), "paste: ksize must be odd");
  EXPECT_EQ(make(16, 4, 0), "paste: ksize must be odd");
  // Sizes that would otherwise make the working planes negative.
  EXPECT_EQ(make(16, 4, -3), "paste: ksize must be positive");
  EXPECT_EQ(make(0, 0, 13), "paste: side must be positive");
  EXPECT_EQ(make(4, -2, 13), "paste: side must be positive");
}

TEST(PasteConstruct, EnvironmentKnobs) {
  CleanEnv env;
  const std::vector<uint8_t> mask(64, 255);
  const std::pair<const char*, int> ks[] = {{"7", 7}, {"15", 13}, {"8", 13},    {"1", 13},
                                            {"", 13}, {"5x", 5},  {nullptr, 13}};
  for (const auto& [value, want] : ks) {
    EnvVar e("LE_PASTE_KSIZE", value);
    le::Paste p(mask, 8, {1.3f, 2.f, 13});
    EXPECT_EQ(p.ksize, want) << (value ? value : "unset");
    EXPECT_EQ(p.padSide, 8 + want - 1);
    EXPECT_EQ(p.gauss.size(), size_t(want));
    EXPECT_EQ(p.blurRows.size(), size_t(p.padSide) * p.padSide);
  }
  const std::pair<const char*, int> fast[] = {{"1", 1}, {"2", 2},   {"3", 0},    {"-1", 0},
                                              {"0", 0}, {"2.5", 2}, {nullptr, 0}};
  for (const auto& [value, want] : fast) {
    EnvVar e("LE_PASTE_FAST", value);
    EXPECT_EQ(le::Paste(mask, 8, {1.3f, 2.f, 13}).fastMode, want) << (value ? value : "unset");
  }
}

TEST(PasteConstruct, DegenerateSigmaGivesACentreTap) {
  CleanEnv env;
  for (float sigma : {0.f, std::nanf("")}) {
    le::Paste p(std::vector<uint8_t>(16, 255), 4, {1.3f, sigma, 5});
    EXPECT_EQ(p.gauss, (std::vector<float>{0.f, 0.f, 1.f, 0.f, 0.f})) << sigma;
  }
  // Only the square of sigma matters.
  EXPECT_EQ(le::Paste(std::vector<uint8_t>(16), 4, {1.3f, -2.f, 5}).gauss,
            le::Paste(std::vector<uint8_t>(16), 4, {1.3f, 2.f, 5}).gauss);
}

// ------------------------------------------------------------ unsharp

TEST(PasteUnsharp, MatchesReferenceForEverySideAndKernelWidth) {
  CleanEnv env;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> d(-20.f, 275.f);
  // Sides below the kernel's reach fold the reflection more than once.
  for (int side : {1, 2, 3, 5, 12, 37}) {
    for (int ks : {3, 5, 13, 31}) {
      SCOPED_TRACE("side " + std::to_string(side) + " ksize " + std::to_string(ks));
      le::Paste p(std::vector<uint8_t>(size_t(side) * side), side, {1.3f, 2.f, ks});
      std::vector<float> plane(size_t(side) * side);
      for (auto& v : plane) v = d(rng);
      const auto want = refUnsharp(plane, side, ks, 1.3f, refTables(ks, 2.f).gauss);
      p.unsharpPlane(plane);
      ASSERT_EQ(0, std::memcmp(want.data(), plane.data(), plane.size() * sizeof(float)));
    }
  }
}

// The unsharp passes, and the one-pass sharpening inside composite, are
// vector kernels too: their floats must not depend on the target either.
TEST(PasteUnsharp, SameFloatsOnEveryTarget) {
  CleanEnv env;
  std::mt19937 rng(21);
  std::uniform_real_distribution<float> d(-20.f, 275.f);
  const int side = 70;  // not a multiple of any vector width
  std::vector<float> plane(size_t(side) * side);
  for (auto& v : plane) v = d(rng);
  const Case c = randomCase(rng, side, 150, 120, 30, 20, {1.3f, 2.f, 9});
  forEachTarget([&] {
    for (int ks : {5, 13}) {
      le::Paste p(std::vector<uint8_t>(plane.size()), side, {1.3f, 2.f, ks});
      std::vector<float> got = plane;
      p.unsharpPlane(got);
      const auto want = refUnsharp(plane, side, ks, 1.3f, refTables(ks, 2.f).gauss);
      EXPECT_EQ(0, std::memcmp(want.data(), got.data(), got.size() * sizeof(float))) << ks;
    }
    std::vector<uint8_t> frame;
    runPaste(c, &frame);  // checks the planes composite sharpened against the reference
  });
}

TEST(PasteUnsharp, KsizeOneOnlyClamps) {
  CleanEnv env;
  le::Paste p(std::vector<uint8_t>(9, 255), 3, {1.3f, 2.f, 1});
  std::vector<float> plane = {-5.f, 0.f, 17.25f, 100.f, 254.9f, 255.f, 300.f, 1.f, 37.f};
  p.unsharpPlane(plane);
  EXPECT_EQ(plane, (std::vector<float>{0.f, 0.f, 17.25f, 100.f, 254.9f, 255.f, 255.f, 1.f, 37.f}));
}

TEST(PasteUnsharp, SideAbove1024RefusedAtFirstComposite) {
  CleanEnv env;
  const int side = 1025;
  le::Paste p(std::vector<uint8_t>(size_t(side) * side, 255), side, {1.3f, 2.f, 3});
  std::vector<float> crop(size_t(3) * side * side, 0.5f);
  std::vector<uint8_t> frame(64 * 64 * 3, 9);
  const float M[6] = {0.05f, 0, 2, 0, 0.05f, 2};
  EXPECT_EQ(messageOf([&] { p.composite(crop.data(), 255.f, M, frame.data(), 64, 64); }),
            "paste: side > 1024");
  EXPECT_EQ(frame, std::vector<uint8_t>(64 * 64 * 3, 9));
}

// ------------------------------------------------------------ kernel

// The blend truncates to bytes, which hides most rounding differences, so
// the sample itself is compared as floats for every pair of phases.
// The Lanczos sample's float sums (fused multiply-adds where the target has
// them) stay within kSampleError of the exact sum on every target: the worst
// error of the plain multiply-and-add sums, the same on every target, was
// 5.29e-5 here. The composites are held to the exact sum byte for byte.
constexpr double kSampleError = 5.3e-5;

TEST(PasteKernel, SampleIsWithinItsBoundOfTheExactSumOnEveryTarget) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> d(-40.f, 300.f);
  const size_t stride = 44;  // 11 pixels a row; the taps start at pixel 2
  std::vector<float> img(8 * stride);
  for (auto& v : img) v = d(rng);
  const float* base = img.data() + 8;
  const RefTables t = refTables(13, 2.f);
  std::vector<float> w4(32 * 32), got(32 * 32 * 4);
  std::vector<double> want(got.size());
  for (size_t i = 0; i < w4.size(); ++i) w4[i] = t.lanczos[i / 4];
  for (int f = 0; f < 32 * 32; ++f) {
    for (int c = 0; c < 4; ++c) {
      want[size_t(f) * 4 + c] =
          exactLanczos(&t.lanczos[size_t(f % 32) * 8], &t.lanczos[size_t(f / 32) * 8],
                       [&](int k, int j) { return base[size_t(k) * stride + size_t(j) * 4 + c]; });
    }
  }
  forEachTarget([&] {
    for (int f = 0; f < 32 * 32; ++f) {
      le::simd::detail::pasteSample8x8(base, stride, &w4[size_t(f % 32) * 32],
                                       &t.lanczos[size_t(f / 32) * 8], &got[size_t(f) * 4]);
    }
    double worst = 0;
    for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
    EXPECT_LE(worst, kSampleError);
  });
}

// ------------------------------------------------------------ composite

TEST(PasteComposite, MatchesReferenceOnEveryTarget) {
  CleanEnv env;
  std::mt19937 rng(20240611);
  std::vector<Case> cases;
  // Inside the frame, over the left/top edges, over the right/bottom edges,
  // one large enough for every pass to be split over threads, and crops
  // smaller than the kernels (every tap folds or falls off the crop).
  cases.push_back(randomCase(rng, 48, 120, 100, 30, 20));
  cases.push_back(randomCase(rng, 40, 90, 80, -25, -18));
  cases.push_back(randomCase(rng, 33, 70, 60, 45, 38));
  cases.push_back(randomCase(rng, 9, 40, 30, 10, 8, {0.7f, 1.1f, 5}));
  cases.push_back(randomCase(rng, 160, 300, 260, 20, 10));
  for (int side : {1, 2, 3, 7}) {
    cases.push_back(randomCase(rng, side, 24, 20, 6, 5));
    Case& c = cases.back();
    std::fill(c.mask.begin(), c.mask.end(), 255);
    c.M[0] *= 3.f;
    c.M[4] *= 3.f;
  }
  for (const Case& c : cases) {
    SCOPED_TRACE("side " + std::to_string(c.side));
    std::vector<uint8_t> want;
    runPaste(c, &want);
    ASSERT_GT(changedBytes(want, c.frame), 0u) << "the case must paste something";
    forEachTarget([&] { EXPECT_EQ(changedBytes(runPaste(c), want), 0u); });
  }
}

// The pass over the frame covers only the box around the mask's non-zero
// bytes: an island of them in one corner, under rotation, scale and shear,
// must still give every byte the whole footprint would.
TEST(PasteComposite, MaskIslandMatchesReferenceOnEveryTarget) {
  CleanEnv env;
  std::mt19937 rng(31);
  for (int i = 0; i < 4; ++i) {
    Case c = randomCase(rng, 64, 160, 140, 30, 25);
    std::fill(c.mask.begin(), c.mask.end(), 0);
    const int ox = i % 2 ? 44 : 3, oy = i / 2 ? 47 : 2;
    for (int y = oy; y < oy + 12; ++y) {
      for (int x = ox; x < ox + 9; ++x) c.mask[size_t(y) * c.side + x] = uint8_t(40 + 17 * (x + y));
    }
    std::vector<uint8_t> want;
    runPaste(c, &want);
    ASSERT_GT(changedBytes(want, c.frame), 0u) << "case " << i;
    forEachTarget([&] { EXPECT_EQ(changedBytes(runPaste(c), want), 0u) << "case " << i; });
  }
}

TEST(PasteComposite, FastModesMatchReference) {
  std::mt19937 rng(99);
  EnvVar ks("LE_PASTE_KSIZE", nullptr);
  for (int mode : {1, 2}) {
    EnvVar fast("LE_PASTE_FAST", std::to_string(mode).c_str());
    for (int i = 0; i < 3; ++i) {
      const Case c = randomCase(rng, 36, 80, 70, i == 1 ? -20.f : 15.f, i == 2 ? 40.f : 12.f);
      std::vector<uint8_t> want;
      const auto got = runPaste(c, &want, mode);
      ASSERT_GT(changedBytes(want, c.frame), 0u);
      EXPECT_EQ(changedBytes(got, want), 0u) << "mode " << mode << " case " << i;
    }
  }
}

TEST(PasteComposite, ZeroMaskLeavesFrameUnchanged) {
  CleanEnv env;
  std::mt19937 rng(3);
  Case c = randomCase(rng, 48, 100, 90, 20, 15);
  std::fill(c.mask.begin(), c.mask.end(), 0);
  forEachTarget([&] { EXPECT_EQ(runPaste(c), c.frame); });
}

TEST(PasteComposite, IdentityTakesTheSharpenedPixel) {
  CleanEnv env;
  std::mt19937 rng(4);
  const int side = 32;
  Case c = randomCase(rng, side, side, side, 0, 0);
  std::fill(c.mask.begin(), c.mask.end(), 255);
  const float M[6] = {1, 0, 0, 0, 1, 0};
  std::memcpy(c.M, M, sizeof M);
  std::vector<float> sharp[3];
  for (int ch = 0; ch < 3; ++ch) {
    std::vector<float> p(size_t(side) * side);
    for (size_t i = 0; i < p.size(); ++i) p[i] = 255.f * c.crop[ch * p.size() + i];
    sharp[ch] = refUnsharp(p, side, 13, 1.3f, refTables(13, 2.f).gauss);
  }
  // Full alpha and phase 0: every pixel is the truncated sharpened value,
  // the border ones (outer taps off the crop) included.
  forEachTarget([&] {
    const auto got = runPaste(c);
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i], uint8_t(sharp[i % 3][i / 3])) << "pixel " << i / 3 << " ch " << i % 3;
    }
  });
}

TEST(PasteComposite, DegenerateOrDistantTransformsChangeNothing) {
  CleanEnv env;
  std::mt19937 rng(8);
  const Case c = randomCase(rng, 24, 60, 50, 10, 10);
  le::Paste p(c.mask, c.side, c.us);
  const float nan = std::nanf(""), inf = HUGE_VALF;
  const float Ms[][6] = {
      {1, 2, 5, 2, 4, 5},     {0, 0, 5, 0, 0, 5},     // det = 0
      {1, 0, -200, 0, 1, 10}, {1, 0, 10, 0, 1, 80},   // wholly left of / below the frame
      {1, 0, 3e9f, 0, 1, 10},                         // beyond any int
      {nan, 0, 10, 0, 1, 10}, {1, 0, inf, 0, 1, 10},  // not a transform
  };
  for (const auto& M : Ms) {
    std::vector<uint8_t> f = c.frame;
    p.composite(c.crop.data(), 255.f, M, f.data(), c.W, c.H);
    EXPECT_EQ(f, c.frame) << M[0] << " " << M[1] << " " << M[2];
  }
  p.composite(c.crop.data(), 255.f, c.M, nullptr, 0, 0);  // an empty frame has no footprint
  // None of them got as far as sharpening.
  EXPECT_EQ(p.planes[0], std::vector<float>(size_t(24) * 24, 0.f));
}

TEST(PasteComposite, PositionJustLeftOfTheCropStillBlends) {
  CleanEnv env;
  std::mt19937 rng(12);
  Case c = randomCase(rng, 16, 40, 30, 0, 0);
  std::fill(c.mask.begin(), c.mask.end(), 255);
  // Frame column 10 maps to crop x = -0.5 (u = -496, ix = -1, phase 16);
  // column 9 to x = -1.5 (u = -1520), which is skipped.
  const float M[6] = {1, 0, 10.5f, 0, 1, 5};
  std::memcpy(c.M, M, sizeof M);
  std::vector<uint8_t> want;
  const auto got = runPaste(c, &want);
  EXPECT_EQ(changedBytes(got, want), 0u);
  auto px = [&](const std::vector<uint8_t>& f, int x, int y) {
    const size_t at = (size_t(y) * c.W + x) * 3;
    return std::vector<uint8_t>(f.begin() + at, f.begin() + at + 3);
  };
  // Column 10 takes half the mask weight (alpha 128 / 255) from crop column 0.
  int blended = 0;
  for (int y = 5; y < 5 + c.side; ++y) {
    EXPECT_EQ(px(got, 9, y), px(c.frame, 9, y)) << y;
    blended += px(got, 10, y) != px(c.frame, 10, y);
  }
  EXPECT_GE(blended, c.side - 2);
}

TEST(PasteComposite, SqueezedTransformKeepsExactPositions) {
  CleanEnv env;
  std::mt19937 rng(13);
  Case c = randomCase(rng, 20, 60, 40, 0, 0);
  std::fill(c.mask.begin(), c.mask.end(), 255);
  // Squeezed over 10^6 times horizontally: the inverse's column terms are
  // near 10^11 (far past 32 bits), yet frame column 30 maps back to crop
  // x = 6.373 (u = 6526, phase 11) exactly.
  const float M[6] = {3e-7f, 0, 30.f - 0x1p-19f, 0, 1, 6};
  std::memcpy(c.M, M, sizeof M);
  std::vector<uint8_t> want;
  forEachTarget([&] {
    const auto got = runPaste(c, &want);
    EXPECT_EQ(changedBytes(got, want), 0u);
    EXPECT_GT(changedBytes(got, c.frame), 0u);
  });
}

// ------------------------------------------------------------ log line

// Runs in a child process of its own, where no composite has happened yet;
// exits 0 only if standard error received exactly the expected line, once.
void compositeThrice() {
  unsetenv("LE_PASTE_KSIZE");
  unsetenv("LE_PASTE_FAST");
  const std::string want =
      "[le-paste] executor=cpu (side=12, ksize=5, threads=" + std::to_string(le::pool::threads()) +
      ") — 1080p composite\n";
  std::FILE* cap = std::tmpfile();
  if (!cap) std::exit(4);
  std::fflush(stderr);
  const int saved = dup(2);
  dup2(fileno(cap), 2);

  le::Paste p(std::vector<uint8_t>(144, 200), 12, {1.3f, 2.f, 5});
  std::vector<float> crop(3 * 144, 0.5f);
  std::vector<uint8_t> frame(30 * 30 * 3, 1);
  const float flat[6] = {1, 1, 0, 1, 1, 0};
  const float M[6] = {1, 0, 3, 0, 1, 4};
  p.composite(crop.data(), 255.f, flat, frame.data(), 30, 30);  // det 0: no line yet
  p.composite(crop.data(), 255.f, M, frame.data(), 30, 30);
  p.composite(crop.data(), 255.f, M, frame.data(), 30, 30);

  std::fflush(stderr);
  dup2(saved, 2);
  std::string got;
  std::rewind(cap);
  for (int ch; (ch = std::fgetc(cap)) != EOF;) got += char(ch);
  if (got != want) {
    std::fprintf(stderr, "standard error was:\n%s", got.c_str());
    std::exit(1);
  }
  std::exit(frame[(7 * 30 + 8) * 3] != 1 ? 0 : 3);  // and the composite did paste
}

TEST(PasteLogDeathTest, FirstCompositeLogsOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(compositeThrice(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
