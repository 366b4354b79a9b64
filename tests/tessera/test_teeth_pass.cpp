// The teeth pass: its blend head against a direct evaluation, and its
// per-frame behaviour (delay, skipped frames, blends with known answers,
// the held donor set across frames).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/test_util.h"
#include "tessera/le_tessera.h"
#include "tessera/tessera_fixtures.h"

using le::tessera::BankData;
using le::tessera::FrameResult;
using le::tessera::HeadWeights;
using le::tessera::TeethPass;
using le_test::errorOf;

namespace {

// 32x24 window at (16, 24) on a 64 canvas; band rows [4, 12), columns
// [6, 22); pad 4, margin 2: stored patches are 12 x 20.
constexpr int kN = 64, kWx = 16, kWy = 24, kW = 32, kH = 24;
constexpr int kR0 = 4, kR1 = 12, kC0 = 6, kC1 = 22, kPad = 4, kMargin = 2;
constexpr int kSh = kR1 - kR0 + 2 * kMargin, kSw = kC1 - kC0 + 2 * kMargin;
// The canonical mouth centre (x, y): the middle of the band on the canvas.
constexpr double kCx = kWx + (kC0 + kC1) / 2.0, kCy = kWy + (kR0 + kR1) / 2.0;

le::GeometryStamp stamp() {
  le::GeometryStamp s;
  s.canvas_w = s.canvas_h = kN;
  s.window_x0 = kWx;
  s.window_y0 = kWy;
  s.window_w = kW;
  s.window_h = kH;
  s.pad = kPad;
  s.band_r0 = kR0;
  s.band_r1 = kR1;
  s.band_c0 = kC0;
  s.band_c1 = kC1;
  s.shift_margin = kMargin;
  return s;
}

HeadWeights randomHead(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-0.3f, 0.3f);
  HeadWeights h;
  auto fill = [&](std::vector<float>& v, size_t n) {
    v.resize(n);
    for (float& x : v) x = u(rng);
  };
  fill(h.cand0_weight, 16 * 7 * 9);
  fill(h.cand0_bias, 16);
  fill(h.cand2_weight, 16 * 16 * 9);
  fill(h.cand2_bias, 16);
  fill(h.cand4_weight, 16 * 9);
  fill(h.cand4_bias, 1);
  return h;
}

le::ServeConfig config(int K, int hysteresis, int lookahead) {
  le::ServeConfig c;
  c.kshort = 4;
  c.aperture_tol = 1.0;
  c.cut = 4;
  c.K = K;
  c.hysteresis = hysteresis;
  c.lookahead = lookahead;
  return c;
}

// A canvas frame: skin everywhere, `teeth` inside the band, and a compose
// mask of 255 over the band's canvas rectangle, 100 on the two rows above it.
struct Frame {
  std::vector<uint8_t> rgb = std::vector<uint8_t>(size_t(kN) * kN * 3);
  std::vector<uint8_t> mask = std::vector<uint8_t>(size_t(kN) * kN, 0);
  explicit Frame(const uint8_t teeth[3], unsigned seed = 1) {
    std::mt19937 rng(seed);
    for (size_t i = 0; i < rgb.size(); i += 3) {
      rgb[i] = uint8_t(170 + rng() % 20);
      rgb[i + 1] = uint8_t(110 + rng() % 20);
      rgb[i + 2] = uint8_t(90 + rng() % 20);
    }
    for (int y = kWy + kR0 - 2; y < kWy + kR1; ++y)
      for (int x = kWx + kC0; x < kWx + kC1; ++x) {
        // The rows above the band are soft: in the blend, not in the centroid.
        mask[size_t(y) * kN + x] = y < kWy + kR0 ? 100 : 255;
        if (y >= kWy + kR0)
          for (int c = 0; c < 3; ++c)
            rgb[(size_t(y) * kN + x) * 3 + c] = uint8_t(teeth[c] + (x % 3));
      }
  }
  // The stored patch a donor centred on c_canon would carry for this frame.
  std::vector<uint8_t> patch() const {
    std::vector<uint8_t> p(size_t(kSh) * kSw * 3);
    for (int r = 0; r < kSh; ++r)
      for (int c = 0; c < kSw; ++c)
        for (int k = 0; k < 3; ++k)
          p[(size_t(r) * kSw + c) * 3 + k] =
              rgb[(size_t(kWy + kR0 - kMargin + r) * kN + size_t(kWx + kC0 - kMargin + c)) * 3 + k];
    return p;
  }
  std::vector<uint8_t> window() const {
    std::vector<uint8_t> w(size_t(kH) * kW * 3);
    for (int i = 0; i < kH; ++i)
      std::copy_n(&rgb[(size_t(kWy + i) * kN + kWx) * 3], kW * 3, &w[size_t(i) * kW * 3]);
    return w;
  }
};

BankData bank(const std::vector<std::vector<uint8_t>>& patches) {
  BankData b;
  b.stamp = stamp();
  b.n_donors = int(patches.size());
  for (const auto& p : patches) {
    b.donors.insert(b.donors.end(), p.begin(), p.end());
    b.cent.push_back(kCx);
    b.cent.push_back(kCy);
    b.aperture.push_back(1.0);
  }
  b.c_canon = {kCx, kCy};
  return b;
}

const uint8_t kWhite[3] = {225, 222, 215};
const uint8_t kGrey[3] = {160, 158, 150};
const uint8_t kIvory[3] = {200, 190, 170};

// ---------------------------------------------------------------------------
// Head.

// 3x3 convolution, zero padding, written out per output pixel.
std::vector<float> conv(const std::vector<float>& in, int cin, int h, int w,
                        const std::vector<float>& wt, const std::vector<float>& b, int cout,
                        bool relu) {
  std::vector<float> out(size_t(cout) * h * w);
  for (int o = 0; o < cout; ++o)
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        float acc = 0;
        for (int ky = 0; ky < 3; ++ky)
          for (int kx = 0; kx < 3; ++kx)
            for (int ci = 0; ci < cin; ++ci) {
              const int yy = y + ky - 1, xx = x + kx - 1;
              if (yy < 0 || yy >= h || xx < 0 || xx >= w) continue;
              acc += wt[((size_t(o) * cin + ci) * 3 + ky) * 3 + kx] *
                     in[(size_t(ci) * h + yy) * w + xx];
            }
        const float v = b[size_t(o)] + acc;
        out[(size_t(o) * h + y) * w + x] = relu ? std::max(v, 0.f) : v;
      }
  return out;
}

std::vector<float> pool2(const std::vector<float>& in, int c, int h, int w) {
  std::vector<float> out(size_t(c) * (h / 2) * (w / 2));
  for (int k = 0; k < c; ++k)
    for (int y = 0; y < h / 2; ++y)
      for (int x = 0; x < w / 2; ++x) {
        const float* p = &in[(size_t(k) * h + 2 * y) * w + 2 * x];
        out[(size_t(k) * (h / 2) + y) * (w / 2) + x] = (p[0] + p[1] + p[w] + p[w + 1]) / 4.f;
      }
  return out;
}

// Bilinear x2 with half-pixel centres, clamped at the edges.
float upsampled(const std::vector<float>& s, int h2, int w2, int y, int x) {
  auto coord = [](int j, int size, int& i0, int& i1) {
    const double c = std::max(0.0, (j + 0.5) / 2 - 0.5);
    i0 = int(c);
    i1 = std::min(i0 + 1, size - 1);
    return c - i0;
  };
  int y0, y1, x0, x1;
  const double fy = coord(y, h2, y0, y1), fx = coord(x, w2, x0, x1);
  auto at = [&](int r, int c) { return double(s[size_t(r) * w2 + c]); };
  return float((at(y0, x0) * (1 - fx) + at(y0, x1) * fx) * (1 - fy) +
               (at(y1, x0) * (1 - fx) + at(y1, x1) * fx) * fy);
}

TEST(TeethPass, HeadForwardMatchesDirectEvaluation) {
  const HeadWeights head = randomHead(5);
  Frame f(kWhite);
  TeethPass pass(bank({f.patch()}), head, config(2, 1, 1));
  std::mt19937 rng(9);
  std::uniform_real_distribution<float> u(0.f, 1.f);
  const size_t hw = size_t(kH) * kW;
  std::vector<std::vector<float>> donors(2, std::vector<float>(3 * hw));
  std::vector<float> target(3 * hw);
  std::vector<uint8_t> valid(hw);
  for (auto& d : donors)
    for (float& v : d) v = u(rng);
  for (float& v : target) v = u(rng);
  for (auto& v : valid) v = uint8_t(rng() % 2);
  std::vector<float> Y, weights;
  pass.headForward(donors, 2, target, valid, Y, weights);
  ASSERT_EQ(Y.size(), 3 * hw);
  ASSERT_EQ(weights.size(), 3 * hw);

  const int h2 = kH / 2, w2 = kW / 2;
  const auto pt = pool2(target, 3, kH, kW);
  std::vector<std::vector<float>> score;
  for (const auto& d : donors) {
    auto x = pool2(d, 3, kH, kW);
    x.insert(x.end(), pt.begin(), pt.end());
    for (int q = 0; q < h2 * w2; ++q) {
      float s = 0;
      for (int c = 0; c < 3; ++c)
        s += std::fabs(x[size_t(c) * h2 * w2 + q] - pt[size_t(c) * h2 * w2 + q]);
      x.push_back(s / 3.f);
    }
    auto a = conv(x, 7, h2, w2, head.cand0_weight, head.cand0_bias, 16, true);
    a = conv(a, 16, h2, w2, head.cand2_weight, head.cand2_bias, 16, true);
    score.push_back(conv(a, 16, h2, w2, head.cand4_weight, head.cand4_bias, 1, false));
  }
  double worstW = 0, worstY = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x) {
      const size_t q = size_t(y) * kW + x;
      const double s0 = upsampled(score[0], h2, w2, y, x), s1 = upsampled(score[1], h2, w2, y, x);
      const double w0 = 1 / (1 + std::exp(s1 - s0)), w1 = 1 - w0;
      worstW = std::max({worstW, std::fabs(weights[q] - w0), std::fabs(weights[hw + q] - w1)});
      EXPECT_EQ(weights[2 * hw + q], 0.f);
      for (int c = 0; c < 3; ++c) {
        const size_t i = c * hw + q;
        const double want = valid[q] ? w0 * donors[0][i] + w1 * donors[1][i] : target[i];
        worstY = std::max(worstY, std::fabs(Y[i] - want));
      }
    }
  EXPECT_LT(worstW, 1e-5);
  EXPECT_LT(worstY, 1e-5);
}

// ---------------------------------------------------------------------------
// Frames.

// Runs frames through a pass with one frame of delay and collects every result.
std::vector<FrameResult> runAll(TeethPass& pass, const std::vector<const Frame*>& frames,
                                const std::vector<int>& indices,
                                std::optional<TeethPass::Shift> shift = TeethPass::Shift{0, 0}) {
  std::vector<FrameResult> out;
  for (size_t i = 0; i < frames.size(); ++i) {
    FrameResult r;
    const bool emitted =
        pass.push(indices[i], frames[i]->rgb.data(), frames[i]->mask.data(), shift, r);
    EXPECT_EQ(emitted, i > 0);
    if (emitted) out.push_back(r);
  }
  FrameResult r;
  EXPECT_TRUE(pass.flush(r));
  out.push_back(r);
  EXPECT_FALSE(pass.flush(r));
  return out;
}

TEST(TeethPass, DonorsEqualToTheTargetGiveItBackAndEmptyMasksAreSkipped) {
  const Frame f(kWhite, 3);
  Frame empty(kWhite, 3);
  std::fill(empty.mask.begin(), empty.mask.end(), uint8_t(100));  // nothing >= 128
  TeethPass pass(bank({f.patch(), f.patch(), f.patch()}), randomHead(1), config(3, 2, 1));
  const auto results = runAll(pass, {&f, &f, &empty, &f, &f}, {0, 1, 2, 3, 4}, std::nullopt);
  ASSERT_EQ(results.size(), 5u);
  for (size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(i);
    if (i == 2) {
      EXPECT_TRUE(results[i].skipped);
      EXPECT_EQ(results[i].reason, "empty-pi");
      EXPECT_TRUE(results[i].rgb.empty());
      continue;
    }
    EXPECT_FALSE(results[i].skipped);
    EXPECT_EQ(results[i].nCandidates, 3);
    EXPECT_EQ(results[i].rgb, f.window());
  }
  EXPECT_EQ(pass.synthStats().frames, 4);
  EXPECT_EQ(pass.synthStats().max, 0.f);

  // A mouth far from the canonical centre cannot be placed.
  Frame moved(kWhite, 3);
  std::fill(moved.mask.begin(), moved.mask.end(), uint8_t(0));
  moved.mask[size_t(kCy) * kN + size_t(kCx) + kPad + 1] = 255;
  FrameResult r;
  pass.push(10, moved.rgb.data(), moved.mask.data(), std::nullopt, r);
  ASSERT_TRUE(pass.flush(r));
  EXPECT_TRUE(r.skipped);
  EXPECT_EQ(r.reason, "shift-out-of-range");
}

// Expected window for one donor blended at alpha = mask / 255 over the region
// the head may touch: the band, and the rows above it where the mask is set
// and the donor has pixels.
std::vector<uint8_t> oneDonorBlend(const Frame& target, const Frame& donor) {
  std::vector<uint8_t> out = target.window();
  for (int i = 0; i < kH; ++i)
    for (int j = 0; j < kW; ++j) {
      const int y = kWy + i, x = kWx + j;
      const uint8_t m = target.mask[size_t(y) * kN + x];
      const bool band = i >= kR0 && i < kR1 && j >= kC0 && j < kC1;
      const bool above = i < kR0 && j >= kC0 && j < kC1 && m != 0 && i >= kR0 - kMargin;
      if (!band && !above) continue;
      const float a = m / 255.f;
      for (int c = 0; c < 3; ++c) {
        const float t = target.rgb[(size_t(y) * kN + x) * 3 + c] / 255.f;
        const float d = donor.rgb[(size_t(y) * kN + x) * 3 + c] / 255.f;
        out[(size_t(i) * kW + j) * 3 + c] =
            uint8_t(std::rint(std::min((1 - a) * t + a * d, 1.f) * 255.f));
      }
    }
  return out;
}

TEST(TeethPass, OneDonorBlendsByTheComposeMask) {
  const Frame target(kGrey, 4), donor(kIvory, 8);
  TeethPass pass(bank({donor.patch()}), randomHead(2), config(1, 1, 1));
  const auto results = runAll(pass, {&target, &target}, {7, 8});
  const auto want = oneDonorBlend(target, donor);
  for (const auto& r : results) {
    ASSERT_FALSE(r.skipped);
    EXPECT_EQ(r.nCandidates, 1);
    EXPECT_EQ(r.rgb, want);
  }
  // The half-alpha rows above the band really took half of the donor.
  EXPECT_NE(want, target.window());
}

TEST(TeethPass, ConsecutiveFramesKeepTheHeldDonorAndAGapRestarts) {
  // Donor 0 matches white teeth, donor 1 grey ones; one donor per frame, no
  // lookahead, so only the held set can carry a donor into the next frame.
  const Frame white(kWhite, 5), grey(kGrey, 6);
  TeethPass pass(bank({white.patch(), grey.patch()}), randomHead(3), config(1, 1, 0));
  FrameResult r;
  std::vector<std::vector<int>> sets;
  const std::vector<std::pair<const Frame*, int>> walk = {
      {&white, 0}, {&grey, 1}, {&grey, 2}, {&grey, 4}, {&white, 5}};
  for (const auto& [frame, index] : walk) {
    if (pass.push(index, frame->rgb.data(), frame->mask.data(), TeethPass::Shift{0, 0}, r))
      sets.push_back(pass.lastDonors());
  }
  ASSERT_TRUE(pass.flush(r));
  sets.push_back(pass.lastDonors());
  const std::vector<std::vector<int>> want = {{0}, {0}, {0}, {1}, {1}};
  EXPECT_EQ(sets, want);
  // The last frame (white teeth, index 5) was blended with the grey donor it held.
  EXPECT_EQ(r.rgb, oneDonorBlend(white, grey));

  // With lookahead the next frame's best donor joins the set first.
  TeethPass ahead(bank({white.patch(), grey.patch()}), randomHead(3), config(2, 1, 1));
  ahead.push(0, white.rgb.data(), white.mask.data(), TeethPass::Shift{0, 0}, r);
  ASSERT_TRUE(ahead.push(1, grey.rgb.data(), grey.mask.data(), TeethPass::Shift{0, 0}, r));
  EXPECT_EQ(ahead.lastDonors(), (std::vector<int>{1, 0}));
}

// The generated "match" checkpoint scores a donor by its difference from the
// target: with both donors in the head, the one like the target wins.
TEST(TeethPass, MatchingHeadPicksTheDonorLikeTheTarget) {
  const HeadWeights head = le::tessera::loadHeadPt(tessera_test::headFixture("match"));
  const Frame white(kWhite, 5), grey(kGrey, 6);
  // Largest byte difference from the target inside the band (the teeth).
  auto bandError = [](const FrameResult& r, const Frame& target) {
    const auto want = target.window();
    int worst = 0;
    for (int i = kR0; i < kR1; ++i)
      for (int j = kC0 * 3; j < kC1 * 3; ++j) {
        const size_t q = size_t(i) * kW * 3 + size_t(j);
        worst = std::max(worst, std::abs(r.rgb[q] - want[q]));
      }
    return worst;
  };
  for (const Frame* target : {&white, &grey}) {
    TeethPass pass(bank({white.patch(), grey.patch()}), head, config(2, 2, 1));
    for (const auto& r : runAll(pass, {target, target}, {0, 1})) {
      ASSERT_EQ(r.nCandidates, 2);
      EXPECT_LE(bandError(r, *target), 1);
    }
  }
  // A head with other weights blends the two: the teeth change.
  TeethPass pass(bank({white.patch(), grey.patch()}), randomHead(4), config(2, 2, 1));
  EXPECT_GT(bandError(runAll(pass, {&white, &white}, {0, 1})[0], white), 5);
}

TEST(TeethPass, ConstructionRefusals) {
  const Frame f(kWhite);
  BankData b = bank({f.patch()});
  b.donors.pop_back();
  EXPECT_EQ(errorOf([&] { TeethPass(b, randomHead(1), config(1, 1, 1)); }),
            "teeth: reference track is " + std::to_string(kSh * kSw * 3 - 1) +
                " bytes, the stamp requires " + std::to_string(kSh * kSw * 3) +
                " (n * stored_h * stored_w * 3) \xE2\x80\x94 a decoder that delivered a "
                "different pixel format would land here");
  b = bank({f.patch()});
  b.aperture.push_back(2);
  EXPECT_EQ(errorOf([&] { TeethPass(b, randomHead(1), config(1, 1, 1)); }),
            "teeth: bank sidecar arrays disagree with n_donors");
  b = bank({f.patch()});
  b.stamp.pad = 0;
  EXPECT_EQ(errorOf([&] {
              TeethPass(b, randomHead(1), config(1, 1, 1));
            }).rfind("teeth: GeometryStamp incoherent:", 0),
            0u);
  EXPECT_NE(errorOf([&] { TeethPass(bank({}), randomHead(1), config(1, 1, 1)); }), "<no error>");
  EXPECT_NE(errorOf([&] { TeethPass(bank({f.patch()}), randomHead(1), config(0, 1, 1)); }),
            "<no error>");
}

}  // namespace
