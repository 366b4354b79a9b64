// Per-frame cost of the teeth pass at canvas 256 with 64 donors, K = 4, on
// two pool threads, split into retrieval, blend head and blend; and the
// retrieval's pooled short list against the exact term over every donor,
// both passes fed the same frames in alternating blocks.
//   bench_teeth [FRAMES]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <vector>

#include "compute/le_pool.h"
#include "tessera/le_tessera.h"

namespace {

using le::tessera::TeethPass;
using Clock = std::chrono::steady_clock;

constexpr int kCanvas = 256, kDonors = 64;

le::GeometryStamp stamp() {
  le::GeometryStamp s;
  s.canvas_w = s.canvas_h = kCanvas;
  s.window_x0 = 80;
  s.window_y0 = 150;
  s.window_w = 96;
  s.window_h = 64;
  s.pad = 8;
  s.band_r0 = 16;
  s.band_r1 = 48;
  s.band_c0 = 16;
  s.band_c1 = 80;
  s.shift_margin = 4;
  return s;
}

// Teeth-like bytes: bright, nearly grey, with a per-donor tint and noise.
uint8_t tooth(std::mt19937& rng, int base) {
  return uint8_t(std::clamp(base + int(rng() % 24) - 12, 0, 255));
}

struct Frame {
  std::vector<uint8_t> rgb, mask;
};

std::vector<Frame> frames(const le::GeometryStamp& s, int count, std::mt19937& rng) {
  std::vector<Frame> out(static_cast<size_t>(count));
  const double cx = s.window_x0 + (s.band_c0 + s.band_c1) / 2.0;
  const double cy = s.window_y0 + (s.band_r0 + s.band_r1) / 2.0;
  for (int f = 0; f < count; ++f) {
    Frame& fr = out[size_t(f)];
    fr.rgb.resize(size_t(kCanvas) * kCanvas * 3);
    fr.mask.assign(size_t(kCanvas) * kCanvas, 0);
    const int base = 170 + 8 * f;
    for (int y = 0; y < kCanvas; ++y)
      for (int x = 0; x < kCanvas; ++x) {
        const size_t p = size_t(y) * kCanvas + x;
        const double u = (x - cx - f % 3) / 34.0, v = (y - cy) / 14.0;
        const double r = std::sqrt(u * u + v * v);
        fr.mask[p] = uint8_t(std::clamp(int((1.15 - r) * 4 * 255), 0, 255));
        const bool inside = r < 1;
        fr.rgb[p * 3] = inside ? tooth(rng, base) : uint8_t(180 + rng() % 10);
        fr.rgb[p * 3 + 1] = inside ? tooth(rng, base - 4) : uint8_t(120 + rng() % 10);
        fr.rgb[p * 3 + 2] = inside ? tooth(rng, base - 10) : uint8_t(100 + rng() % 10);
      }
  }
  return out;
}

le::tessera::BankData bank(const le::GeometryStamp& s, std::mt19937& rng) {
  le::tessera::BankData b;
  b.stamp = s;
  b.n_donors = kDonors;
  const size_t patch = size_t(s.storedH()) * size_t(s.storedW()) * 3;
  b.donors.resize(patch * kDonors);
  b.c_canon = {s.window_x0 + (s.band_c0 + s.band_c1) / 2.0,
               s.window_y0 + (s.band_r0 + s.band_r1) / 2.0};
  for (int k = 0; k < kDonors; ++k) {
    const int base = 140 + (k * 37) % 100;
    for (size_t i = 0; i < patch; i += 3) {
      b.donors[size_t(k) * patch + i] = tooth(rng, base);
      b.donors[size_t(k) * patch + i + 1] = tooth(rng, base - 4);
      b.donors[size_t(k) * patch + i + 2] = tooth(rng, base - 10);
    }
    b.cent.push_back(b.c_canon[0] + double(int(rng() % 7) - 3));
    b.cent.push_back(b.c_canon[1] + double(int(rng() % 7) - 3));
    b.aperture.push_back(0.8 + 0.4 * double(rng() % 1000) / 1000.0);
  }
  return b;
}

le::tessera::HeadWeights head(std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-0.2f, 0.2f);
  le::tessera::HeadWeights h;
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

struct Totals {
  double wall = 0;
  int frames = 0;
};

void run(TeethPass& pass, const std::vector<Frame>& in, int first, int count, Totals& t) {
  le::tessera::FrameResult r;
  for (int i = 0; i < count; ++i) {
    const Frame& f = in[size_t(first + i) % in.size()];
    const auto t0 = Clock::now();
    pass.push(first + i, f.rgb.data(), f.mask.data(), std::nullopt, r);
    t.wall += std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    ++t.frames;
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The pool's budget is read once per process: set it before any pool use.
  ::setenv("LE_CORE_THREADS", "2", 1);
  int total = 120;
  for (int i = 1; i < argc; ++i)
    if (std::atoi(argv[i]) > 0) total = std::atoi(argv[i]);
  std::mt19937 rng(11);
  const le::GeometryStamp s = stamp();
  const auto in = frames(s, 6, rng);
  const auto b = bank(s, rng);
  const auto h = head(rng);
  le::ServeConfig cfg;
  cfg.kshort = 8;
  cfg.aperture_tol = 0.3;
  cfg.cut = 8;
  cfg.K = 4;
  cfg.hysteresis = 2;
  cfg.lookahead = 2;
  TeethPass pooled(b, h, cfg), exact(b, h, cfg);
  exact.setExactAll(true);

  // Warm-up, then alternating blocks so both strategies see the same machine.
  Totals warm;
  run(pooled, in, 0, 4, warm);
  run(exact, in, 0, 4, warm);
  const auto p0 = pooled.timing(), e0 = exact.timing();
  Totals tp, te;
  const int block = 10;
  for (int done = 0; done < total; done += block) {
    run(pooled, in, 4 + done, block, tp);
    run(exact, in, 4 + done, block, te);
  }
  const auto p1 = pooled.timing(), e1 = exact.timing();
  const double n = tp.frames;
  const double pr = (p1.retrieveMs - p0.retrieveMs) / n, ph = (p1.headMs - p0.headMs) / n,
               pb = (p1.blendMs - p0.blendMs) / n;
  const double er = (e1.retrieveMs - e0.retrieveMs) / te.frames;
  std::printf("teeth pass, canvas %d, %d donors, K=%d, window %dx%d, %d pool threads, %d frames\n",
              kCanvas, kDonors, cfg.K, s.window_w, s.window_h, le::pool::threads(), tp.frames);
  std::printf("  per frame: %.3f ms (retrieval %.3f, head %.3f, blend %.3f)\n", tp.wall / n, pr, ph,
              pb);
  std::printf(
      "  retrieval: pooled then exact on %d donors %.3f ms, exact on all %d %.3f ms: "
      "exact-all / pooled-then-exact = %.2fx\n",
      cfg.kshort, pr, kDonors, er, er / pr);
  return 0;
}
