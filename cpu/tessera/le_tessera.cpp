#include "tessera/le_tessera.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "compute/le_pool.h"
#include "compute/le_simd.h"

namespace le {
namespace tessera {
namespace {

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

float round16(float v) {
  const uint16_t h = f32ToF16(v);
  float f = 0;
  halfToFloat(&h, &f, 1);
  return f;
}

// k x k average pool of C planes of H x W; trailing rows and columns dropped.
void avgPool(const float* in, int C, int H, int W, int k, float* out) {
  const int Ho = H / k, Wo = W / k;
  std::fill(out, out + size_t(C) * Ho * Wo, 0.f);
  for (int c = 0; c < C; ++c) {
    const float* src = in + size_t(c) * H * W;
    float* dst = out + size_t(c) * Ho * Wo;
    for (int a = 0; a < k; ++a)
      for (int b = 0; b < k; ++b)
        for (int y = 0; y < Ho; ++y)
          for (int x = 0; x < Wo; ++x)
            dst[size_t(y) * Wo + x] += src[size_t(k * y + a) * W + size_t(k * x + b)];
  }
  const float inv = 1.f / float(k * k);
  for (size_t i = 0; i < size_t(C) * Ho * Wo; ++i) out[i] *= inv;
}

std::vector<int> stableArgsort(const std::vector<float>& v) {
  std::vector<int> order(v.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = int(i);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return v[size_t(a)] < v[size_t(b)]; });
  return order;
}

bool contains(const std::vector<int>& v, int x) {
  return std::find(v.begin(), v.end(), x) != v.end();
}

// Convolution over all N * Cout planes, one plane per pool item.
void conv3x3(const float* in, int N, int Cin, int H, int W, const std::vector<float>& w,
             const std::vector<float>& b, int Cout, float* out, bool relu) {
  pool::parallelRange(uint64_t(N) * Cout, 1, [&](uint64_t p0, uint64_t p1) {
    simd::conv3x3Range(in, N, Cin, H, W, w.data(), b.data(), Cout, out, int(p0), int(p1));
    if (relu)
      for (size_t i = p0 * H * W; i < p1 * H * W; ++i) out[i] = std::max(out[i], 0.f);
  });
}

}  // namespace

const float* dTable() {
  static const std::vector<float> table = [] {
    std::vector<float> v(256), t(256 * 256);
    for (int a = 0; a < 256; ++a) v[size_t(a)] = round16(float(a) / 255.f);
    for (int a = 0; a < 256; ++a)
      for (int b = 0; b < 256; ++b)
        t[size_t(a) * 256 + size_t(b)] = std::fabs(round16(v[size_t(a)] - v[size_t(b)]));
    return t;
  }();
  return table.data();
}

TeethPass::TeethPass(BankData bank, HeadWeights head, ServeConfig config)
    : stamp_(bank.stamp), cfg_(config), head_(std::move(head)) {
  stamp_.validate();
  n_ = bank.n_donors;
  storedH_ = stamp_.storedH();
  storedW_ = stamp_.storedW();
  const uint64_t expected = uint64_t(std::max(n_, 0)) * uint64_t(storedH_) * uint64_t(storedW_) * 3;
  if (n_ < 0 || bank.donors.size() != expected)
    fail("teeth: reference track is " + std::to_string(bank.donors.size()) +
         " bytes, the stamp requires " + std::to_string(expected) +
         " (n * stored_h * stored_w * 3) \xE2\x80\x94"
         " a decoder that delivered a different pixel format would land here");
  if (bank.aperture.size() != size_t(n_) || bank.cent.size() != 2 * size_t(n_))
    fail("teeth: bank sidecar arrays disagree with n_donors");
  // Retrieval picks its best donor from a non-empty short list: an empty
  // bank or an empty list would have nothing to index.
  if (n_ < 1)
    fail("teeth: the reference bank holds no donors \xE2\x80\x94 there is nothing to borrow");
  if (cfg_.kshort < 1 || cfg_.K < 1)
    fail("teeth: retrieval.kshort=" + std::to_string(cfg_.kshort) +
         " and retrieval.K=" + std::to_string(cfg_.K) +
         " must both be at least 1 \xE2\x80\x94 a retrieval that keeps no "
         "donor cannot place one");
  H_ = stamp_.window_h;
  W_ = stamp_.window_w;
  H4_ = H_ / 4;
  W4_ = W_ / 4;
  if (H4_ < 1 || W4_ < 1)
    fail("teeth: the borrow window is " + std::to_string(H_) + "x" + std::to_string(W_) +
         ", smaller than the 4x4 the pooled index needs");
  if (head_.cand0_weight.size() != 16 * 7 * 9 || head_.cand0_bias.size() != 16 ||
      head_.cand2_weight.size() != 16 * 16 * 9 || head_.cand2_bias.size() != 16 ||
      head_.cand4_weight.size() != 16 * 9 || head_.cand4_bias.size() != 1)
    fail(
        "teeth: blend head cand.* tensors are not [16,7,3,3], [16], [16,16,3,3], [16], "
        "[1,16,3,3], [1]");
  for (double v : bank.cent)
    if (!std::isfinite(v)) fail("teeth: bank sidecar cent holds a value that is not finite");
  if (!std::isfinite(bank.c_canon[0]) || !std::isfinite(bank.c_canon[1]))
    fail("teeth: bank sidecar c_canon is not finite");
  donors_ = std::move(bank.donors);
  aperture_ = std::move(bank.aperture);
  cCanon_ = bank.c_canon;
  dy_.resize(size_t(n_));
  dx_.resize(size_t(n_));
  // Offsets are clamped to [0, 2 pad] later; clamping here keeps the int conversion defined.
  const double lim = 4.0 * stamp_.pad + 4;
  for (int k = 0; k < n_; ++k) {
    dy_[size_t(k)] =
        int(std::clamp(std::nearbyint(bank.cent[2 * size_t(k) + 1] - cCanon_[1]), -lim, lim));
    dx_[size_t(k)] =
        int(std::clamp(std::nearbyint(bank.cent[2 * size_t(k)] - cCanon_[0]), -lim, lim));
  }
  band_.assign(size_t(H_) * W_, 0);
  for (int i = stamp_.band_r0; i < stamp_.band_r1; ++i)
    std::fill_n(band_.begin() + size_t(i) * W_ + stamp_.band_c0, stamp_.band_c1 - stamp_.band_c0,
                uint8_t(1));
  buildIndex();
}

void TeethPass::canonicalWindowU8(int k, int sy, int sx, uint8_t* out, uint8_t* cover) const {
  const int P = stamp_.pad, S = stamp_.shift_margin;
  const int oy = std::clamp(P + dy_[size_t(k)] - sy, 0, 2 * P);
  const int ox = std::clamp(P + dx_[size_t(k)] - sx, 0, 2 * P);
  const uint8_t* patch = donors_.data() + size_t(k) * size_t(storedH_) * size_t(storedW_) * 3;
  for (int i = 0; i < H_; ++i) {
    const int64_t pr = int64_t(i) + oy + S - P - stamp_.band_r0;
    for (int j = 0; j < W_; ++j) {
      const int64_t pc = int64_t(j) + ox + S - P - stamp_.band_c0;
      uint8_t* o = out + (size_t(i) * W_ + j) * 3;
      const bool in = pr >= 0 && pr < storedH_ && pc >= 0 && pc < storedW_;
      if (in)
        std::memcpy(o, patch + (size_t(pr) * size_t(storedW_) + size_t(pc)) * 3, 3);
      else
        o[0] = o[1] = o[2] = 0;
      if (cover) cover[size_t(i) * W_ + j] = in;
    }
  }
}

void TeethPass::canonicalWindowF16(int k, uint16_t* out) const {
  const size_t hw = size_t(H_) * W_;
  simd::rgb8ToPlanarF16(canon_.data() + size_t(k) * hw * 3, out, hw, hw);
}

void TeethPass::canonicalWindowF16Rows(int donor, uint16_t* out, int r0, int r1) const {
  if (donor < 0 || donor >= n_)
    fail("teeth: donor " + std::to_string(donor) + " is not in the bank");
  r0 = std::clamp(r0, 0, H_);
  r1 = std::clamp(r1, r0, H_);
  const size_t hw = size_t(H_) * W_;
  for (int c = 0; c < 3; ++c)
    std::fill(out + c * hw + size_t(r0) * W_, out + c * hw + size_t(r1) * W_, uint16_t(0));
  simd::rgb8ToPlanarF16(canon_.data() + size_t(donor) * hw * 3 + size_t(r0) * W_ * 3,
                        out + size_t(r0) * W_, hw, uint64_t(r1 - r0) * W_);
}

void TeethPass::buildIndex() {
  const size_t hw = size_t(H_) * W_, pooled = size_t(H4_) * W4_;
  canon_.resize(size_t(n_) * hw * 3);
  index_.resize(size_t(n_) * 3 * pooled);
  pool::parallelRange(uint64_t(n_), 1, [&](uint64_t b, uint64_t e) {
    std::vector<uint16_t> half(3 * hw);
    std::vector<float> f(3 * hw), p(3 * pooled);
    for (uint64_t k = b; k < e; ++k) {
      canonicalWindowU8(int(k), 0, 0, canon_.data() + k * hw * 3, nullptr);
      canonicalWindowF16(int(k), half.data());
      simd::f16ToF32(half.data(), f.data(), f.size());
      avgPool(f.data(), 3, H_, W_, 4, p.data());
      simd::f32ToF16(p.data(), index_.data() + k * 3 * pooled, p.size());
    }
  });
}

bool TeethPass::deriveShift(const uint8_t* mask, std::optional<Shift> given, Pending& p) const {
  if (given) {
    p.sy = given->first;
    p.sx = given->second;
  } else {
    double sr = 0, sc = 0;
    uint64_t count = 0;
    for (int y = 0; y < stamp_.canvas_h; ++y)
      for (int x = 0; x < stamp_.canvas_w; ++x)
        if (mask[size_t(y) * stamp_.canvas_w + x] >= 128) {
          sr += y;
          sc += x;
          ++count;
        }
    if (count == 0) {
      p.reason = "empty-pi";
      return false;
    }
    p.sy = int(std::nearbyint(sr / double(count) - cCanon_[1]));
    p.sx = int(std::nearbyint(sc / double(count) - cCanon_[0]));
  }
  // A given shift is held to the same range: the donors move at most pad pixels.
  if (std::abs(p.sy) > stamp_.pad || std::abs(p.sx) > stamp_.pad) {
    p.reason = "shift-out-of-range";
    return false;
  }
  return true;
}

void TeethPass::retrievePrepare(const uint8_t* rgb, const uint8_t* mask, int sy, int sx) {
  RetrieveWork& w = work_;
  const size_t hw = size_t(H_) * W_;
  w.originY = stamp_.window_y0 + sy;
  w.originX = stamp_.window_x0 + sx;
  w.weight.assign(hw, 0.f);
  w.target.assign(hw * 3, 0);
  std::vector<uint8_t> inMouth(hw, 0);
  std::vector<float> img(3 * hw);
  int teeth = 0;
  for (int i = 0; i < H_; ++i) {
    const int y = w.originY + i;
    for (int j = 0; j < W_; ++j) {
      const int x = w.originX + j;
      const size_t p = size_t(i) * W_ + j;
      // The shifted window may reach past the canvas: such pixels are black
      // and carry no weight.
      if (y >= 0 && y < stamp_.canvas_h && x >= 0 && x < stamp_.canvas_w) {
        const size_t c = size_t(y) * stamp_.canvas_w + x;
        std::memcpy(&w.target[p * 3], rgb + c * 3, 3);
        inMouth[p] = mask[c] / 255.0 > 0.5;
      }
      const double R = w.target[p * 3], G = w.target[p * 3 + 1], B = w.target[p * 3 + 2];
      if (inMouth[p] && 0.299 * R + 0.587 * G + 0.114 * B >= cfg_.lumaMin &&
          std::fabs(G - R) < cfg_.chromaMax) {
        w.weight[p] = 1.f;
        ++teeth;
      }
      for (int c = 0; c < 3; ++c) img[c * hw + p] = float(w.target[p * 3 + c]) / 255.f;
    }
  }
  if (teeth < cfg_.minTeethPixels)
    for (size_t p = 0; p < hw; ++p) w.weight[p] = inMouth[p] ? 1.f : 0.f;
  if (hasPrev_)
    for (size_t p = 0; p < hw; ++p)
      w.weight[p] = std::max(w.weight[p], float(cfg_.weightDecay) * prevWeight_[p]);
  prevWeight_ = w.weight;
  hasPrev_ = true;

  float sum = 0;
  w.rowBegin = -1;
  w.rowEnd = 0;
  for (int i = 0; i < H_; ++i)
    for (int j = 0; j < W_; ++j) {
      const float v = w.weight[size_t(i) * W_ + j];
      sum += v;
      if (v != 0.f) {
        if (w.rowBegin < 0) w.rowBegin = i;
        w.rowEnd = i + 1;
      }
    }
  if (w.rowBegin < 0) {
    w.rowBegin = 0;
    w.rowEnd = H_;
  }
  w.ws = std::max(1.f, sum);

  const size_t pooled = size_t(H4_) * W4_;
  std::vector<float> p(3 * pooled);
  avgPool(img.data(), 3, H_, W_, 4, p.data());
  w.pooledTarget.resize(3 * pooled);
  simd::f32ToF16(p.data(), w.pooledTarget.data(), p.size());
  avgPool(w.weight.data(), 1, H_, W_, 4, p.data());
  w.pooledWeight.resize(pooled);
  simd::f32ToF16(p.data(), w.pooledWeight.data(), pooled);
  simd::f16ToF32(w.pooledWeight.data(), p.data(), pooled);
  float pws = 0;
  for (size_t i = 0; i < pooled; ++i) pws += p[i];
  w.pws = pws < 1e-4f ? 1e-4f : pws;
}

float TeethPass::exactTermFromBand(int k) const {
  const RetrieveWork& w = work_;
  const float* dt = dTable();
  const uint8_t* donor = canon_.data() + size_t(k) * H_ * W_ * 3;
  float term = 0;
  for (int i = w.rowBegin; i < w.rowEnd; ++i)
    for (int j = 0; j < W_; ++j) {
      const size_t p = size_t(i) * W_ + j;
      const float wt = w.weight[p];
      if (wt == 0.f) continue;
      const uint8_t* t = &w.target[p * 3];
      const uint8_t* d = donor + p * 3;
      const float e = dt[t[0] * 256 + d[0]] + dt[t[1] * 256 + d[1]] + dt[t[2] * 256 + d[2]];
      term += wt * round16(e / 3.f);
    }
  return term;
}

std::vector<int> TeethPass::retrieve(const uint8_t* rgb, const uint8_t* mask, int sy, int sx) {
  retrievePrepare(rgb, mask, sy, sx);
  const size_t pooledN = size_t(H4_) * W4_;
  std::vector<float> pooled(static_cast<size_t>(n_));
  pool::parallelRange(uint64_t(n_), 1, [&](uint64_t b, uint64_t e) {
    for (uint64_t k = b; k < e; ++k)
      pooled[k] = round16(simd::retrieveTermPooled(index_.data() + k * 3 * pooledN,
                                                   work_.pooledTarget.data(),
                                                   work_.pooledWeight.data(), pooledN)) /
                  work_.pws;
  });
  const std::vector<int> order = stableArgsort(pooled);
  const int m = exactAll_ ? n_ : std::min(cfg_.kshort, n_);
  std::vector<float> exact(size_t(n_), 0.f);
  pool::parallelRange(uint64_t(m), 1, [&](uint64_t b, uint64_t e) {
    for (uint64_t j = b; j < e; ++j) {
      const int k = order[j];
      exact[size_t(k)] = exactTermFromBand(k) / work_.ws;
    }
  });
  if (exactAll_) {
    // Reference strategy: the exact term alone ranks every donor.
    pooled = exact;
  }
  return retrieveSelect(pooled, exact);
}

std::vector<int> TeethPass::retrieveSelect(const std::vector<float>& pooled,
                                           const std::vector<float>& exact) const {
  const std::vector<int> order = stableArgsort(pooled);
  const int m = std::min(cfg_.kshort, n_);
  std::vector<float> e(static_cast<size_t>(m));
  for (int j = 0; j < m; ++j) e[size_t(j)] = exact[size_t(order[size_t(j)])];
  const std::vector<int> order2 = stableArgsort(e);
  const int best = order[size_t(order2[0])];
  const double aBest = aperture_[size_t(best)];
  std::vector<int> chosen;
  const int last = std::min(m, cfg_.cut);
  for (int q = 0; q < last && int(chosen.size()) < cfg_.K; ++q) {
    const int donor = order[size_t(order2[size_t(q)])];
    if (std::fabs(aperture_[size_t(donor)] - aBest) <= cfg_.aperture_tol * std::max(aBest, 1e-6))
      chosen.push_back(donor);
  }
  if (chosen.empty()) chosen.push_back(best);
  while (int(chosen.size()) < cfg_.K) chosen.push_back(chosen.back());
  return chosen;
}

void TeethPass::gatherWindowsU8(const std::vector<int>& D, int sy, int sx,
                                std::vector<std::vector<uint8_t>>& windows,
                                std::vector<std::vector<uint8_t>>& cover) const {
  const size_t hw = size_t(H_) * W_;
  windows.resize(D.size());
  cover.resize(D.size());
  pool::parallelRange(D.size(), 1, [&](uint64_t b, uint64_t e) {
    for (uint64_t i = b; i < e; ++i) {
      windows[i].resize(hw * 3);
      cover[i].resize(hw);
      canonicalWindowU8(D[i], sy, sx, windows[i].data(), cover[i].data());
    }
  });
}

bool TeethPass::push(int frameIndex, const uint8_t* rgb, const uint8_t* mask,
                     std::optional<Shift> givenShift, FrameResult& result) {
  const auto t0 = Clock::now();
  const size_t px = size_t(stamp_.canvas_w) * stamp_.canvas_h;
  Pending p;
  p.frame = frameIndex;
  p.rgb.assign(rgb, rgb + px * 3);
  p.mask.assign(mask, mask + px);
  p.ok = deriveShift(mask, givenShift, p);
  if (p.ok) p.candidates = retrieve(rgb, mask, p.sy, p.sx);
  timing_.retrieveMs += msSince(t0);
  bool emitted = false;
  if (hasHeld_) {
    emit(held_, p.ok ? &p.candidates : nullptr, result);
    emitted = true;
  }
  held_ = std::move(p);
  hasHeld_ = true;
  return emitted;
}

bool TeethPass::flush(FrameResult& result) {
  if (!hasHeld_) return false;
  emit(held_, nullptr, result);
  hasHeld_ = false;
  return true;
}

void TeethPass::emit(const Pending& p, const std::vector<int>* lookahead, FrameResult& result) {
  result = FrameResult();
  if (!p.ok) {
    result.skipped = true;
    result.reason = p.reason;
    result.nCandidates = 0;
    return;
  }
  const auto t0 = Clock::now();
  const std::vector<int> D = donorSet(p, lookahead);
  const int m = int(D.size());
  lastDonors_ = D;

  std::vector<std::vector<uint8_t>> windows, cover;
  gatherWindowsU8(D, p.sy, p.sx, windows, cover);
  const std::vector<std::vector<float>> donors = planarWindows(windows);
  const std::vector<uint8_t> valid = blendable(p.mask, cover);
  const std::vector<float> target = targetWindow(p.rgb);
  timing_.blendMs += msSince(t0);

  const auto t1 = Clock::now();
  std::vector<float> Y, weights;
  headForward(donors, m, target, valid, Y, weights);
  timing_.headMs += msSince(t1);

  const auto t2 = Clock::now();
  recordSynth(weights, m, valid, result);
  holdHeaviest(D, weights);
  lastEmitted_ = p.frame;
  composite(p.mask, target, Y, result.rgb);
  result.nCandidates = m;
  timing_.blendMs += msSince(t2);
}

std::vector<int> TeethPass::donorSet(const Pending& p, const std::vector<int>* lookahead) const {
  const std::vector<int> cur(
      p.candidates.begin(),
      p.candidates.begin() + std::min<size_t>(size_t(cfg_.K), p.candidates.size()));
  std::vector<int> look;
  if (lookahead && cfg_.useLookahead)
    look.assign(lookahead->begin(),
                lookahead->begin() +
                    std::min<size_t>(size_t(std::max(cfg_.lookahead, 0)), lookahead->size()));
  std::vector<int> rest;
  for (int d : cur)
    if (!contains(look, d)) rest.push_back(d);
  std::vector<int> D;
  if (heldSet_.empty() || p.frame != lastEmitted_ + 1) {
    D = look;
    D.insert(D.end(), rest.begin(), rest.end());
  } else {
    D = heldSet_;
    for (int d : look)
      if (!contains(D, d)) D.push_back(d);
    for (int d : rest)
      if (!contains(D, d)) D.push_back(d);
  }
  if (D.size() > size_t(cfg_.K)) D.resize(size_t(cfg_.K));
  return D;
}

std::vector<std::vector<float>> TeethPass::planarWindows(
    const std::vector<std::vector<uint8_t>>& windows) const {
  const size_t hw = size_t(H_) * W_;
  std::vector<std::vector<float>> donors(windows.size());
  pool::parallelRange(uint64_t(windows.size()), 1, [&](uint64_t b, uint64_t e) {
    for (uint64_t k = b; k < e; ++k) {
      donors[k].resize(3 * hw);
      for (size_t q = 0; q < hw; ++q)
        for (int c = 0; c < 3; ++c) donors[k][c * hw + q] = float(windows[k][q * 3 + c]) / 255.f;
    }
  });
  return donors;
}

std::vector<uint8_t> TeethPass::blendable(const std::vector<uint8_t>& mask,
                                          const std::vector<std::vector<uint8_t>>& cover) const {
  const int cw = stamp_.canvas_w, wy = stamp_.window_y0, wx = stamp_.window_x0;
  const int m = int(cover.size());
  std::vector<uint8_t> valid = band_;
  for (int i = 0; i < stamp_.band_r0; ++i)
    for (int j = stamp_.band_c0; j < stamp_.band_c1; ++j) {
      if (mask[size_t(wy + i) * cw + size_t(wx + j)] == 0) continue;
      bool all = true;
      for (int k = 0; k < m && all; ++k) all = cover[size_t(k)][size_t(i) * W_ + j] != 0;
      if (all) valid[size_t(i) * W_ + j] = 1;
    }
  return valid;
}

std::vector<float> TeethPass::targetWindow(const std::vector<uint8_t>& rgb) const {
  const int cw = stamp_.canvas_w, wy = stamp_.window_y0, wx = stamp_.window_x0;
  const size_t hw = size_t(H_) * W_;
  std::vector<float> target(3 * hw);
  pool::parallelRange(uint64_t(H_), 8, [&](uint64_t b, uint64_t e) {
    for (uint64_t i = b; i < e; ++i)
      for (int j = 0; j < W_; ++j) {
        const uint8_t* src = &rgb[(size_t(wy + int(i)) * cw + size_t(wx + j)) * 3];
        for (int c = 0; c < 3; ++c) target[c * hw + i * W_ + j] = float(src[c]) / 255.f;
      }
  });
  return target;
}

void TeethPass::recordSynth(const std::vector<float>& weights, int m,
                            const std::vector<uint8_t>& valid, FrameResult& result) {
  const size_t hw = size_t(H_) * W_;
  const float* synth = weights.data() + size_t(m) * hw;
  double sum = 0;
  float mx = 0;
  int64_t count = 0;
  for (size_t q = 0; q < hw; ++q)
    if (valid[q]) {
      sum += synth[q];
      mx = count == 0 ? synth[q] : std::max(mx, synth[q]);
      ++count;
    }
  if (count > 0) {
    result.synthMean = float(sum / double(count));
    result.synthMax = mx;
    synth_.frames += 1;
    synth_.pixels += count;
    synth_.sumMeans += result.synthMean;
    synth_.max = std::max(synth_.max, mx);
  }
}

void TeethPass::holdHeaviest(const std::vector<int>& D, const std::vector<float>& weights) {
  const size_t hw = size_t(H_) * W_;
  const int m = int(D.size());
  std::vector<float> mass(size_t(m), 0.f);
  for (int k = 0; k < m; ++k)
    for (size_t q = 0; q < hw; ++q) mass[size_t(k)] += weights[size_t(k) * hw + q];
  std::vector<int> rank(static_cast<size_t>(m));
  for (int k = 0; k < m; ++k) rank[size_t(k)] = k;
  std::stable_sort(rank.begin(), rank.end(),
                   [&](int a, int b) { return mass[size_t(a)] > mass[size_t(b)]; });
  heldSet_.clear();
  for (int k = 0; k < std::min(std::max(cfg_.hysteresis, 0), m); ++k)
    heldSet_.push_back(D[size_t(rank[size_t(k)])]);
}

void TeethPass::composite(const std::vector<uint8_t>& mask, const std::vector<float>& target,
                          const std::vector<float>& Y, std::vector<uint8_t>& rgb) const {
  const int cw = stamp_.canvas_w, wy = stamp_.window_y0, wx = stamp_.window_x0;
  const size_t hw = size_t(H_) * W_;
  rgb.resize(hw * 3);
  pool::parallelRange(uint64_t(H_), 4, [&](uint64_t b, uint64_t e) {
    for (uint64_t i = b; i < e; ++i)
      for (int j = 0; j < W_; ++j) {
        const float a = float(mask[size_t(wy + int(i)) * cw + size_t(wx + j)]) / 255.f;
        const size_t q = i * W_ + j;
        for (int c = 0; c < 3; ++c) {
          const float v = (1.f - a) * target[c * hw + q] + a * Y[c * hw + q];
          const float o = v < 0 ? 0.f : std::rint(std::min(v, 1.f) * 255.f);
          rgb[q * 3 + c] = uint8_t(std::clamp(o, 0.f, 255.f));
        }
      }
  });
}

void TeethPass::headForward(const std::vector<std::vector<float>>& donors, int m,
                            const std::vector<float>& target, const std::vector<uint8_t>& valid,
                            std::vector<float>& Y, std::vector<float>& weights) const {
  const int H2 = H_ / 2, W2 = W_ / 2;
  const size_t hw = size_t(H_) * W_, p2 = size_t(H2) * W2;
  std::vector<float> pt(3 * p2);
  avgPool(target.data(), 3, H_, W_, 2, pt.data());
  std::vector<float> in(size_t(m) * 7 * p2);
  pool::parallelRange(uint64_t(m), 1, [&](uint64_t b, uint64_t e) {
    for (uint64_t k = b; k < e; ++k) {
      float* x = in.data() + k * 7 * p2;
      avgPool(donors[k].data(), 3, H_, W_, 2, x);
      std::copy(pt.begin(), pt.end(), x + 3 * p2);
      for (size_t q = 0; q < p2; ++q)
        x[6 * p2 + q] = (std::fabs(x[q] - pt[q]) + std::fabs(x[p2 + q] - pt[p2 + q]) +
                         std::fabs(x[2 * p2 + q] - pt[2 * p2 + q])) /
                        3.f;
    }
  });
  std::vector<float> a1(size_t(m) * 16 * p2), a2(size_t(m) * 16 * p2), score(size_t(m) * p2);
  conv3x3(in.data(), m, 7, H2, W2, head_.cand0_weight, head_.cand0_bias, 16, a1.data(), true);
  conv3x3(a1.data(), m, 16, H2, W2, head_.cand2_weight, head_.cand2_bias, 16, a2.data(), true);
  conv3x3(a2.data(), m, 16, H2, W2, head_.cand4_weight, head_.cand4_bias, 1, score.data(), false);

  // Bilinear x2 with half-pixel centres; rows and columns of the output map
  // to (i0, i1, f) once.
  struct Tap {
    int i0, i1;
    float f;
  };
  auto taps = [](int out, int size) {
    std::vector<Tap> t(static_cast<size_t>(out));
    for (int j = 0; j < out; ++j) {
      const float s = std::max(0.f, (float(j) + 0.5f) * 0.5f - 0.5f);
      const int i0 = int(std::floor(s));
      t[size_t(j)] = {i0, std::min(i0 + 1, size - 1), s - float(i0)};
    }
    return t;
  };
  const std::vector<Tap> ty = taps(H_, H2), tx = taps(W_, W2);
  weights.assign(size_t(m + 1) * hw, 0.f);
  pool::parallelRange(uint64_t(m), 1, [&](uint64_t b, uint64_t e) {
    for (uint64_t k = b; k < e; ++k) {
      const float* s = score.data() + k * p2;
      float* o = weights.data() + k * hw;
      for (int y = 0; y < H_; ++y) {
        const Tap& v = ty[size_t(y)];
        for (int x = 0; x < W_; ++x) {
          const Tap& u = tx[size_t(x)];
          const float top =
              s[size_t(v.i0) * W2 + u.i0] * (1.f - u.f) + s[size_t(v.i0) * W2 + u.i1] * u.f;
          const float bot =
              s[size_t(v.i1) * W2 + u.i0] * (1.f - u.f) + s[size_t(v.i1) * W2 + u.i1] * u.f;
          o[size_t(y) * W_ + x] = top * (1.f - v.f) + bot * v.f;
        }
      }
    }
  });
  pool::parallelRange(hw, 256, [&](uint64_t b, uint64_t e) {
    for (uint64_t q = b; q < e; ++q) {
      if (m == 0) continue;
      float mx = weights[q];
      for (int k = 1; k < m; ++k) mx = std::max(mx, weights[size_t(k) * hw + q]);
      float sum = 0;
      for (int k = 0; k < m; ++k) {
        float& w = weights[size_t(k) * hw + q];
        w = std::exp(w - mx);
        sum += w;
      }
      for (int k = 0; k < m; ++k) weights[size_t(k) * hw + q] /= sum;
    }
  });
  Y.resize(3 * hw);
  pool::parallelRange(3 * hw, 256, [&](uint64_t b, uint64_t e) {
    for (uint64_t i = b; i < e; ++i) {
      const size_t q = i % hw;
      if (!valid[q]) {
        Y[i] = target[i];
        continue;
      }
      float acc = 0;
      for (int k = 0; k < m; ++k) acc += weights[size_t(k) * hw + q] * donors[size_t(k)][i];
      Y[i] = acc;
    }
  });
}

BankData bankFromArrays(const GeometryStamp& stamp, const uint8_t* band, int nDonors,
                        const double* cent, const double* cCanon, const double* aperture) {
  BankData bank;
  bank.stamp = stamp;
  const size_t n = size_t(std::max(nDonors, 0));
  bank.n_donors = nDonors;
  bank.donors.assign(band, band + n * size_t(stamp.storedH()) * size_t(stamp.storedW()) * 3);
  bank.cent.assign(cent, cent + 2 * n);
  bank.aperture.assign(aperture, aperture + n);
  bank.c_canon = {cCanon[0], cCanon[1]};
  return bank;
}

}  // namespace tessera
}  // namespace le
