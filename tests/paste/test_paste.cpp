// The paste compositor against a plain re-statement of its definition:
// tables, reflect-padded unsharp mask, 1/1024-pixel inverse mapping, mask
// alpha and Lanczos/cubic/bilinear sampling, compared byte for byte on
// every instruction-set target this processor runs.

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

namespace {

// ------------------------------------------------------------ helpers

// Sets (or clears, with null) an environment variable for one scope.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~EnvVar() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

// Both knobs cleared, so that the machine's environment cannot leak in.
struct CleanEnv {
  EnvVar fast{"LE_PASTE_FAST", nullptr};
  EnvVar ks{"LE_PASTE_KSIZE", nullptr};
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

const int64_t kCandidates[] = {HWY_AVX3_DL, HWY_AVX3, HWY_AVX2, HWY_SSE4, HWY_SSSE3, HWY_SCALAR};

struct DispatchReset {
  ~DispatchReset() { hwy::SetSupportedTargetsForTest(0); }
};

// Runs body once per target this processor supports, with the row kernel
// proven to run that target's code.
template <class F>
void forEachTarget(F&& body) {
  DispatchReset reset;
  hwy::SetSupportedTargetsForTest(0);
  const int64_t supported = hwy::SupportedTargets();
  int ran = 0;
  for (int64_t t : kCandidates) {
    if (!(supported & t)) continue;
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
  int side;
  int W, H;
  le::Unsharp us;
  std::vector<float> crop;
  std::vector<uint8_t> mask;
  std::vector<uint8_t> frame;
  float M[6];
};

std::vector<float> randomCrop(std::mt19937& rng, int side) {
  std::uniform_real_distribution<float> d(0.f, 1.f);
  std::vector<float> c(size_t(3) * side * side);
  for (auto& v : c) v = d(rng);
  return c;
}

// Zero rows, full blocks and arbitrary bytes, so every alpha path is taken.
std::vector<uint8_t> randomMask(std::mt19937& rng, int side) {
  std::vector<uint8_t> m(size_t(side) * side);
  std::uniform_int_distribution<int> byte(0, 255), pick(0, 3);
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const int region = ((y / 5) + (x / 7)) % 4;
      uint8_t v = 0;
      if (region == 1) v = 255;
      if (region == 2) v = uint8_t(byte(rng));
      if (region == 3) v = pick(rng) == 0 ? 0 : uint8_t(byte(rng));
      m[size_t(y) * side + x] = v;
    }
  }
  return m;
}

std::vector<uint8_t> randomFrame(std::mt19937& rng, int W, int H) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<uint8_t> f(size_t(W) * H * 3);
  for (auto& v : f) v = uint8_t(byte(rng));
  return f;
}

// Rotation, scale, a little shear and sub-pixel offsets.
void randomM(std::mt19937& rng, float tx, float ty, float* M) {
  std::uniform_real_distribution<float> ang(-0.5f, 0.5f), sc(0.6f, 1.7f), sh(-0.1f, 0.1f),
      frac(0.f, 1.f);
  const float a = ang(rng), s = sc(rng), k = sh(rng);
  M[0] = s * std::cos(a);
  M[1] = -s * std::sin(a) + k;
  M[2] = tx + frac(rng);
  M[3] = s * std::sin(a);
  M[4] = s * std::cos(a) - k * 0.5f;
  M[5] = ty + frac(rng);
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
  if (s2 > 0) {
    double sum = 0;
    for (int i = 0; i < ksize; ++i) sum += std::exp(-double((i - c) * (i - c)) / s2);
    for (int i = 0; i < ksize; ++i) {
      t.gauss[size_t(i)] = float(std::exp(-double((i - c) * (i - c)) / s2) / sum);
    }
  } else {
    t.gauss[size_t(c)] = 1.f;
  }
  const double pi = std::acos(-1.0);
  for (int f = 0; f < 32; ++f) {
    const double tt = f / 32.0;
    double w[8] = {0, 0, 0, 1, 0, 0, 0, 0};
    if (tt >= 1e-7) {
      double sum = 0;
      for (int j = 0; j < 8; ++j) {
        const double x = tt + 3 - j;
        w[j] = 4.0 * std::sin(pi * x) * std::sin(pi * x / 4.0) / ((pi * x) * (pi * x));
        sum += w[j];
      }
      for (double& v : w) v /= sum;
    }
    for (double v : w) t.lanczos.push_back(float(v));
    t.bilinear.push_back(1.f - f / 32.f);
    t.bilinear.push_back(f / 32.f);
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

// The 8 x 8 Lanczos sum of one channel, P(k, j) the tap at row k, column j:
// V_b = sum over k of wy[k] (wx[b] P(k, b) + wx[b + 4] P(k, b + 4)),
// sample = (V_0 + V_2) + (V_1 + V_3).
template <class P>
float refLanczos(const float* wx, const float* wy, P&& at) {
  float V[4];
  for (int b = 0; b < 4; ++b) {
    float acc = 0.f;
    for (int k = 0; k < 8; ++k) {
      const float term = wy[k] * (wx[b] * at(k, b) + wx[b + 4] * at(k, b + 4));
      acc = k == 0 ? term : acc + term;
    }
    V[b] = acc;
  }
  return (V[0] + V[2]) + (V[1] + V[3]);
}

// Mirror index about both edges until it lands inside [0, n).
int mirror(int q, int n) {
  if (n == 1) return 0;
  while (q < 0 || q >= n) q = q < 0 ? -q : 2 * n - q - 2;
  return q;
}

std::vector<float> refUnsharp(const std::vector<float>& p, int side, int ksize, float amount,
                              const std::vector<float>& g) {
  std::vector<float> out(p.size());
  if (ksize == 1) {
    for (size_t i = 0; i < p.size(); ++i) out[i] = clampByte(p[i]);
    return out;
  }
  const int r = ksize / 2;
  auto at = [&](int y, int x) { return p[size_t(mirror(y, side)) * side + mirror(x, side)]; };
  // Rows y in [-r, side + r), columns x in [0, side).
  std::vector<float> h(size_t(side + 2 * r) * side);
  for (int y = -r; y < side + r; ++y) {
    for (int x = 0; x < side; ++x) {
      float s = 0.f;
      for (int j = 0; j < ksize; ++j) s = s + g[size_t(j)] * at(y, x - r + j);
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

// The whole composite; mode 0 Lanczos, 1 cubic, 2 bilinear. Returns the
// sharpened planes.
std::vector<std::vector<float>> refComposite(const Case& c, int ksize, int mode,
                                             std::vector<uint8_t>& frame) {
  const int side = c.side;
  const RefTables t = refTables(ksize, c.us.sigma);
  std::vector<std::vector<float>> pl(3);
  const size_t area = size_t(side) * side;
  for (int ch = 0; ch < 3; ++ch) {
    std::vector<float> p(area);
    for (size_t i = 0; i < area; ++i) p[i] = 255.f * c.crop[ch * area + i];
    pl[size_t(ch)] = refUnsharp(p, side, ksize, c.us.amount, t.gauss);
  }
  const double m0 = c.M[0], m1 = c.M[1], m2 = c.M[2], m3 = c.M[3], m4 = c.M[4], m5 = c.M[5];
  const double det = m0 * m4 - m1 * m3;
  if (det == 0) return pl;
  double xs[4], ys[4];
  const double cx[4] = {-4.0, side + 3.0, -4.0, side + 3.0};
  const double cy[4] = {-4.0, -4.0, side + 3.0, side + 3.0};
  for (int i = 0; i < 4; ++i) {
    xs[i] = m0 * cx[i] + m1 * cy[i] + m2;
    ys[i] = m3 * cx[i] + m4 * cy[i] + m5;
  }
  const int x0 =
      std::max(0, int(std::floor(std::min(std::min(xs[0], xs[1]), std::min(xs[2], xs[3])))));
  const int x1 =
      std::min(c.W - 1, int(std::ceil(std::max(std::max(xs[0], xs[1]), std::max(xs[2], xs[3])))));
  const int y0 =
      std::max(0, int(std::floor(std::min(std::min(ys[0], ys[1]), std::min(ys[2], ys[3])))));
  const int y1 =
      std::min(c.H - 1, int(std::ceil(std::max(std::max(ys[0], ys[1]), std::max(ys[2], ys[3])))));
  if (x1 < x0 || y1 < y0) return pl;
  const double i00 = m4 / det, i01 = -m1 / det, i10 = -m3 / det, i11 = m0 / det;
  const double i02 = -(m2 * i00 + m5 * i01), i12 = -(m2 * i10 + m5 * i11);

  auto px = [&](int ch, int y, int x) -> float {
    if (x < 0 || y < 0 || x >= side || y >= side) return 0.f;
    return pl[size_t(ch)][size_t(y) * side + x];
  };
  auto mk = [&](int y, int x) -> float {
    if (x < 0 || y < 0 || x >= side || y >= side) return 0.f;
    return float(c.mask[size_t(y) * side + x]);
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
      const float* bx = &t.bilinear[size_t(fx) * 2];
      const float* by = &t.bilinear[size_t(fy) * 2];
      const float a = by[0] * (bx[0] * mk(iy, ix) + bx[1] * mk(iy, ix + 1)) +
                      by[1] * (bx[0] * mk(iy + 1, ix) + bx[1] * mk(iy + 1, ix + 1));
      const float alpha = std::nearbyint(a) / 255.f;
      if (alpha <= 0.f) continue;
      float s[3];
      for (int ch = 0; ch < 3; ++ch) {
        if (mode == 0) {
          s[ch] = refLanczos(&t.lanczos[size_t(fx) * 8], &t.lanczos[size_t(fy) * 8],
                             [&](int k, int j) { return px(ch, iy - 3 + k, ix - 3 + j); });
        } else {
          const int n = mode == 1 ? 4 : 2, lead = mode == 1 ? 1 : 0;
          const float* tab = mode == 1 ? t.bicubic.data() : t.bilinear.data();
          const float* wx = tab + n * fx;
          const float* wy = tab + n * fy;
          float acc = 0.f;
          for (int k = 0; k < n; ++k) {
            float row = 0.f;
            for (int j = 0; j < n; ++j) row = row + wx[j] * px(ch, iy - lead + k, ix - lead + j);
            acc = acc + wy[k] * row;
          }
          s[ch] = acc;
        }
      }
      uint8_t* f = &frame[(size_t(Y) * c.W + X) * 3];
      for (int ch = 0; ch < 3; ++ch) {
        f[ch] = uint8_t(clampByte((1.f - alpha) * f[ch] + alpha * s[ch]));
      }
    }
  }
  return pl;
}

Case randomCase(std::mt19937& rng, int side, int W, int H, float tx, float ty,
                le::Unsharp us = {1.3f, 2.0f, 13}) {
  Case c;
  c.side = side;
  c.W = W;
  c.H = H;
  c.us = us;
  c.crop = randomCrop(rng, side);
  c.mask = randomMask(rng, side);
  c.frame = randomFrame(rng, W, H);
  randomM(rng, tx, ty, c.M);
  return c;
}

// Composites c with a fresh compositor; returns the frame and checks the
// sharpened planes against the reference.
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

size_t changedBytes(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  size_t n = 0;
  for (size_t i = 0; i < a.size(); ++i) n += a[i] != b[i];
  return n;
}

// ------------------------------------------------------------ construction

TEST(PasteConstruct, RefusalsCarryTheirMessages) {
  CleanEnv env;
  EXPECT_EQ("paste: mask size", messageOf([] {
              le::Paste(std::vector<uint8_t>(15), 4, {1.3f, 2.f, 13});
            }));
  EXPECT_EQ("paste: mask size", messageOf([] {
              le::Paste(std::vector<uint8_t>(17), 4, {1.3f, 2.f, 13});
            }));
  EXPECT_EQ("paste: ksize must be odd", messageOf([] {
              le::Paste(std::vector<uint8_t>(16), 4, {1.3f, 2.f, 12});
            }));
  EXPECT_EQ("paste: ksize must be odd", messageOf([] {
              le::Paste(std::vector<uint8_t>(16), 4, {1.3f, 2.f, 0});
            }));
  // Sizes that would otherwise give negative working planes.
  EXPECT_EQ("paste: ksize must be positive", messageOf([] {
              le::Paste(std::vector<uint8_t>(16), 4, {1.3f, 2.f, -3});
            }));
  EXPECT_EQ("paste: side must be positive", messageOf([] {
              le::Paste(std::vector<uint8_t>(), 0, {1.3f, 2.f, 13});
            }));
  EXPECT_EQ("paste: side must be positive", messageOf([] {
              le::Paste(std::vector<uint8_t>(4), -2, {1.3f, 2.f, 13});
            }));
}

TEST(PasteConstruct, KsizeOverride) {
  EnvVar fast("LE_PASTE_FAST", nullptr);
  const std::vector<uint8_t> mask(64, 255);
  struct {
    const char* env;
    int want;
  } cases[] = {{"7", 7}, {"15", 13}, {"8", 13}, {"1", 13}, {"", 13}, {"5x", 5}, {nullptr, 13}};
  for (const auto& k : cases) {
    EnvVar ks("LE_PASTE_KSIZE", k.env);
    le::Paste p(mask, 8, {1.3f, 2.f, 13});
    SCOPED_TRACE(k.env ? k.env : "(unset)");
    EXPECT_EQ(p.ksize, k.want);
    EXPECT_EQ(p.padSide, 8 + k.want - 1);
    EXPECT_EQ(p.gauss.size(), size_t(k.want));
    EXPECT_EQ(p.blurRows.size(), size_t(p.padSide) * p.padSide);
  }
}

TEST(PasteConstruct, FastModeValues) {
  EnvVar ks("LE_PASTE_KSIZE", nullptr);
  const std::vector<uint8_t> mask(64, 255);
  struct {
    const char* env;
    int want;
  } cases[] = {{"1", 1}, {"2", 2}, {"3", 0}, {"-1", 0}, {"0", 0}, {"2.5", 2}, {nullptr, 0}};
  for (const auto& k : cases) {
    EnvVar fast("LE_PASTE_FAST", k.env);
    SCOPED_TRACE(k.env ? k.env : "(unset)");
    EXPECT_EQ(le::Paste(mask, 8, {1.3f, 2.f, 13}).fastMode, k.want);
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
  // Sides below the kernel's reach fold the reflection more than once.
  for (int side : {1, 2, 3, 5, 12, 37}) {
    for (int ks : {3, 5, 13, 31}) {
      SCOPED_TRACE("side " + std::to_string(side) + " ksize " + std::to_string(ks));
      le::Paste p(std::vector<uint8_t>(size_t(side) * side, 255), side, {1.3f, 2.f, ks});
      std::vector<float> plane(size_t(side) * side);
      std::uniform_real_distribution<float> d(-20.f, 275.f);
      for (auto& v : plane) v = d(rng);
      const auto want = refUnsharp(plane, side, ks, 1.3f, refTables(ks, 2.f).gauss);
      p.unsharpPlane(plane);
      ASSERT_EQ(0, std::memcmp(want.data(), plane.data(), plane.size() * sizeof(float)));
    }
  }
}

TEST(PasteUnsharp, KsizeOneOnlyClamps) {
  CleanEnv env;
  le::Paste p(std::vector<uint8_t>(9, 255), 3, {1.3f, 2.f, 1});
  std::vector<float> plane = {-5.f, 0.f, 17.25f, 100.f, 254.9f, 255.f, 300.f, 1.f, 37.f};
  const std::vector<float> want = {0.f, 0.f, 17.25f, 100.f, 254.9f, 255.f, 255.f, 1.f, 37.f};
  p.unsharpPlane(plane);
  EXPECT_EQ(plane, want);
}

TEST(PasteUnsharp, SideAbove1024RefusedAtFirstComposite) {
  CleanEnv env;
  const int side = 1025;
  le::Paste p(std::vector<uint8_t>(size_t(side) * side, 255), side, {1.3f, 2.f, 3});
  std::vector<float> crop(size_t(3) * side * side, 0.5f);
  std::vector<uint8_t> frame(64 * 64 * 3, 9);
  const float M[6] = {0.05f, 0, 2, 0, 0.05f, 2};
  EXPECT_EQ("paste: side > 1024",
            messageOf([&] { p.composite(crop.data(), 255.f, M, frame.data(), 64, 64); }));
  EXPECT_EQ(frame, std::vector<uint8_t>(64 * 64 * 3, 9));
}

// ------------------------------------------------------------ composite

// The blend truncates to bytes, which hides most rounding differences, so
// the sample itself is compared as floats for every pair of phases.
TEST(PasteKernel, SampleIsBitExactOnEveryTarget) {
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> d(-40.f, 300.f);
  const size_t stride = 44;  // 11 pixels a row, the 8 taps start at pixel 2
  std::vector<float> img(8 * stride);
  for (auto& v : img) v = d(rng);
  const RefTables t = refTables(13, 2.f);
  std::vector<float> w4(32 * 32);
  for (size_t i = 0; i < w4.size(); ++i) w4[i] = t.lanczos[i / 4];
  const float* base = img.data() + 8;
  std::vector<float> want(32 * 32 * 4);
  for (int fy = 0; fy < 32; ++fy) {
    for (int fx = 0; fx < 32; ++fx) {
      for (int c = 0; c < 4; ++c) {
        want[size_t(fy * 32 + fx) * 4 + c] =
            refLanczos(&t.lanczos[size_t(fx) * 8], &t.lanczos[size_t(fy) * 8],
                       [&](int k, int j) { return base[size_t(k) * stride + size_t(j) * 4 + c]; });
      }
    }
  }
  forEachTarget([&] {
    std::vector<float> got(want.size());
    for (int fy = 0; fy < 32; ++fy) {
      for (int fx = 0; fx < 32; ++fx) {
        le::simd::detail::pasteSample8x8(base, stride, &w4[size_t(fx) * 32],
                                         &t.lanczos[size_t(fy) * 8],
                                         &got[size_t(fy * 32 + fx) * 4]);
      }
    }
    EXPECT_EQ(0, std::memcmp(got.data(), want.data(), want.size() * sizeof(float)));
  });
}

TEST(PasteComposite, MatchesReferenceOnEveryTarget) {
  CleanEnv env;
  std::mt19937 rng(20240611);
  std::vector<Case> cases;
  // Inside the frame, over the left/top edges, over the right/bottom edges,
  // and one large enough for the rows to be split over threads.
  cases.push_back(randomCase(rng, 48, 120, 100, 30, 20));
  cases.push_back(randomCase(rng, 40, 90, 80, -25, -18));
  cases.push_back(randomCase(rng, 33, 70, 60, 45, 38));
  cases.push_back(randomCase(rng, 9, 40, 30, 10, 8, {0.7f, 1.1f, 5}));
  cases.push_back(randomCase(rng, 160, 300, 260, 20, 10));
  for (auto& c : cases) {
    std::vector<uint8_t> want;
    runPaste(c, &want);
    ASSERT_GT(changedBytes(want, c.frame), want.size() / 20) << "the case must paste something";
    forEachTarget([&] {
      const auto got = runPaste(c);
      EXPECT_EQ(changedBytes(got, want), 0u);
    });
  }
}

TEST(PasteComposite, FastModesMatchReference) {
  std::mt19937 rng(99);
  for (const char* mode : {"1", "2"}) {
    EnvVar fast("LE_PASTE_FAST", mode);
    EnvVar ks("LE_PASTE_KSIZE", nullptr);
    for (int i = 0; i < 3; ++i) {
      Case c = randomCase(rng, 36, 80, 70, i == 1 ? -20.f : 15.f, i == 2 ? 40.f : 12.f);
      std::vector<uint8_t> want;
      const auto got = runPaste(c, &want, std::atoi(mode));
      ASSERT_GT(changedBytes(want, c.frame), 0u);
      EXPECT_EQ(changedBytes(got, want), 0u) << "mode " << mode << " case " << i;
    }
  }
}

TEST(PasteComposite, FastModeThreeIsLanczos) {
  std::mt19937 rng(5);
  const Case c = randomCase(rng, 30, 64, 64, 10, 12);
  EnvVar ks("LE_PASTE_KSIZE", nullptr);
  std::vector<uint8_t> lanczos, three;
  {
    EnvVar fast("LE_PASTE_FAST", nullptr);
    lanczos = runPaste(c);
  }
  {
    EnvVar fast("LE_PASTE_FAST", "3");
    three = runPaste(c);
  }
  EnvVar fast("LE_PASTE_FAST", "2");
  const auto bilinear = runPaste(c);
  EXPECT_EQ(three, lanczos);
  EXPECT_NE(bilinear, lanczos);  // the modes do differ, so the equality above means something
}

TEST(PasteComposite, KsizeOverrideChangesTheSharpening) {
  std::mt19937 rng(11);
  EnvVar fast("LE_PASTE_FAST", nullptr);
  const Case c = randomCase(rng, 40, 80, 80, 15, 15);
  EnvVar ks("LE_PASTE_KSIZE", "7");
  std::vector<uint8_t> want;
  const auto got = runPaste(c, &want);  // the reference runs with the ksize in effect, 7
  EXPECT_EQ(changedBytes(got, want), 0u);
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
  forEachTarget([&] {
    const auto got = runPaste(c);
    // Full alpha, phase 0: every pixel is the truncated sharpened value,
    // including the border ones whose outer taps fall off the crop.
    for (int y = 0; y < side; ++y) {
      for (int x = 0; x < side; ++x) {
        for (int ch = 0; ch < 3; ++ch) {
          ASSERT_EQ(got[(size_t(y) * side + x) * 3 + ch], uint8_t(sharp[ch][size_t(y) * side + x]))
              << x << "," << y << " ch " << ch;
        }
      }
    }
  });
}

TEST(PasteComposite, DegenerateOrDistantTransformsChangeNothing) {
  CleanEnv env;
  std::mt19937 rng(8);
  Case c = randomCase(rng, 24, 60, 50, 10, 10);
  le::Paste p(c.mask, c.side, c.us);
  const float nan = std::nanf("");
  const float inf = HUGE_VALF;
  const float Ms[][6] = {
      {1, 2, 5, 2, 4, 5},      // det = 0
      {0, 0, 5, 0, 0, 5},      // det = 0
      {1, 0, -200, 0, 1, 10},  // wholly left of the frame
      {1, 0, 10, 0, 1, 80},    // wholly below
      {1, 0, 3e9f, 0, 1, 10},  // far beyond any int
      {nan, 0, 10, 0, 1, 10},  // not a transform
      {1, 0, inf, 0, 1, 10},
  };
  for (const auto& M : Ms) {
    std::vector<uint8_t> f = c.frame;
    p.composite(c.crop.data(), 255.f, M, f.data(), c.W, c.H);
    EXPECT_EQ(f, c.frame) << M[0] << " " << M[1] << " " << M[2];
  }
  // An empty frame has no footprint either.
  p.composite(c.crop.data(), 255.f, c.M, nullptr, 0, 0);
  // None of them got as far as sharpening.
  EXPECT_EQ(p.planes[0], std::vector<float>(size_t(24) * 24, 0.f));
}

TEST(PasteComposite, PositionJustLeftOfTheCropStillBlends) {
  CleanEnv env;
  std::mt19937 rng(12);
  Case c = randomCase(rng, 16, 40, 30, 0, 0);
  std::fill(c.mask.begin(), c.mask.end(), 255);
  // Frame column 10 maps to crop x = -0.5: u = -496, ix = -1, phase 16.
  // Column 9 maps to x = -1.5, u = -1520, which is skipped.
  const float M[6] = {1, 0, 10.5f, 0, 1, 5};
  std::memcpy(c.M, M, sizeof M);
  std::vector<uint8_t> want;
  const auto got = runPaste(c, &want);
  EXPECT_EQ(changedBytes(got, want), 0u);
  auto px = [&](const std::vector<uint8_t>& f, int x, int y) {
    return std::vector<uint8_t>(f.begin() + (size_t(y) * c.W + x) * 3,
                                f.begin() + (size_t(y) * c.W + x) * 3 + 3);
  };
  // Every covered row: column 9 untouched, column 10 blended with half
  // the mask weight from crop column 0.
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
  // The crop squeezed 10^7 times horizontally: the column terms of the
  // inverse are near 10^12 / 1024 pixels, yet frame column 30 maps back to
  // crop column 0 exactly.
  const float M[6] = {1e-7f, 0, 30, 0, 1, 6};
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
// exits 0 only if standard error received exactly one line, the expected one.
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
