#include "tessera/le_tessera_pi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera_json.h"

namespace le {
namespace tessera {
namespace {

using json::JVal;

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

float smoothstep(float e) {
  return e * e * (3.f - 2.f * e);
}

std::string fixed2(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

struct CorpusGeometry {
  const char* name;
  float padX, padY, down;
};
constexpr CorpusGeometry kCorpus[] = {
    {"v1", 0.05f, 0.08f, 0.015f},
    {"v2", 0.1f, 0.08f, 0.074f},
    {"v3", 0.14f, 0.08f, 0.074f},
};

constexpr double kMatchPx = 8.0;
constexpr double kAmbiguousPx = 3.0;
constexpr int kKpRows = 21;

}  // namespace

UnifiedPi UnifiedPi::fromManifestJson(const std::string& text, int canvas) {
  const JVal top = json::parse(text);
  const JVal* unified = top.find("unified");
  if (!unified || !unified->isObject())
    fail(
        "teeth-pi: manifest has no `unified` block \xE2\x80\x94"
        " this bundle predates the unified compose and cannot state the pi geometry it was "
        "baked with; refusing to guess one");
  const JVal& pi = unified->req("pi");
  const JVal& mode = pi.req("mode");
  if (!mode.isString()) fail("teeth-pi: unified.pi.mode is not a string");
  if (mode.str != "prop")
    fail("teeth-pi: unified.pi.mode '" + mode.str +
         "' is a compose-mask geometry this port cannot name \xE2\x80\x94"
         " fail loud, never adapt (the stamped-geometry rule)");
  UnifiedPi p;
  p.N = canvas;
  p.mode = mode.str;
  if (const JVal* cr = pi.find("corner_recovery")) {
    if (cr->kind == JVal::Kind::Bool)
      p.cornerRecovery = cr->b;
    else if (cr->isString() && cr->str == "lip_landmark_half")
      p.cornerRecovery = true;
    else
      fail(
          "teeth-pi: unknown unified.pi.corner_recovery \xE2\x80\x94"
          " a compose-mask geometry a consumer cannot name must never be guessed");
  }
  p.propGateScale = float(pi.req("prop_gate_scale").num);
  const JVal* idx = pi.find("lip_idx");
  if (!idx || !idx->isArray() || idx->arr.empty())
    fail("teeth-pi: unified.pi.lip_idx is not a non-empty array");
  for (const JVal& v : idx->arr) {
    // A row outside the keypoint set would read past the frame's 63 floats.
    if (!(v.num >= 0 && v.num < kKpRows))
      fail("teeth-pi: unified.pi.lip_idx names keypoint row " + json::numText(std::trunc(v.num)) +
           ", and a kd row is 0..20");
    p.lipIdx.push_back(int(v.num));
  }
  const JVal& geom = pi.req("lip_geom_params");
  if (!geom.isArray() || geom.arr.size() != 3 ||
      !std::all_of(geom.arr.begin(), geom.arr.end(), [](const JVal& v) { return v.isNumber(); }))
    fail("teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  p.padX = float(geom.arr[0].num);
  p.padY = float(geom.arr[1].num);
  p.down = float(geom.arr[2].num);
  if (const JVal* crop = unified->find("crop")) {
    if (const JVal* c = crop->find("canvas")) {
      if (c->num != canvas)
        fail("teeth-pi: engine renders at canvas " + std::to_string(canvas) +
             " but unified.crop.canvas is " + json::numText(c->num));
    }
  }
  p.gx.resize(size_t(std::max(0, canvas)));
  for (int j = 0; j < canvas; ++j)
    p.gx[size_t(j)] = canvas == 1 ? -1.f : float(2.0 * j / (canvas - 1) - 1.0);
  p.gy = p.gx;
  return p;
}

UnifiedPi UnifiedPi::corpusFromManifestJson(const std::string& text, int canvas, const float* xs,
                                            int frames, const double* cCanon,
                                            std::string* geometry) {
  if (!xs || frames < 1)
    fail(
        "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was "
        "supplied \xE2\x80\x94"
        " refusing to fall back to the stamped geometry, which is the GRAPH's compose field");
  UnifiedPi base = fromManifestJson(text, canvas);
  struct Dist {
    int g;
    double d;
  };
  std::vector<Dist> dist;
  for (int g = 0; g < 3; ++g) {
    UnifiedPi p = base;
    p.padX = kCorpus[g].padX;
    p.padY = kCorpus[g].padY;
    p.down = kCorpus[g].down;
    double cx = 0, cy = 0;
    if (!p.canonicalCentroid(xs, frames, cx, cy))
      fail(
          "teeth-pi: pi is empty on every source frame \xE2\x80\x94"
          " cannot derive the canonical centroid this bundle's frame is identified by");
    dist.push_back({g, std::hypot(cx - cCanon[0], cy - cCanon[1])});
  }
  std::stable_sort(dist.begin(), dist.end(),
                   [](const Dist& a, const Dist& b) { return a.d < b.d; });
  std::string listing;
  for (const Dist& d : dist)
    listing += std::string(" ") + kCorpus[d.g].name + "=" + fixed2(d.d) + "px";
  if (dist[0].d > kMatchPx)
    fail("teeth-pi: no corpus pi geometry matches this bank's c_canon (" + fixed2(cCanon[0]) + "," +
         fixed2(cCanon[1]) + ") within " + fixed2(kMatchPx) + "px \xE2\x80\x94" + listing +
         " \xE2\x80\x94"
         " the bank's pi frame is unknown and donors will NOT be placed against a frame nobody "
         "can name");
  if (dist[1].d - dist[0].d <= kAmbiguousPx)
    fail("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within " + fixed2(kAmbiguousPx) +
         "px) \xE2\x80\x94" + listing + " \xE2\x80\x94 refusing to guess the bank frame");
  const CorpusGeometry& best = kCorpus[dist[0].g];
  base.padX = best.padX;
  base.padY = best.padY;
  base.down = best.down;
  if (geometry) *geometry = best.name;
  return base;
}

UnifiedPi::LipStats UnifiedPi::stats(const float* kp) const {
  LipStats s{0, 0, 0, 0};
  for (int r : lipIdx) {
    s.cx += kp[3 * r];
    s.cy += kp[3 * r + 1];
  }
  s.cx /= float(lipIdx.size());
  s.cy /= float(lipIdx.size());
  for (int r : lipIdx) {
    s.ex = std::max(s.ex, std::fabs(kp[3 * r] - s.cx));
    s.ey = std::max(s.ey, std::fabs(kp[3 * r + 1] - s.cy));
  }
  return s;
}

float UnifiedPi::cornerScale(const float* kp, const LipStats& s) const {
  if (!cornerRecovery) return 1.f;
  const float hx0 = std::max(0.1f, s.ex + padX);
  const float hy0 = std::max(0.1f, s.ey + padY);
  const float r0 = std::sqrt(hx0 * hy0) * 256.f;
  float f = 0;
  for (int r : lipIdx) {
    const float u = (kp[3 * r] - s.cx) / hx0;
    const float v = (kp[3 * r + 1] - s.cy - down) / hy0;
    f = std::max(f, std::sqrt(u * u + v * v));
  }
  return std::max(1.f, 5.f / r0 + f);
}

float UnifiedPi::gateValue(const LipStats& s) const {
  const float ratio = (s.ey - 0.02f) / 0.01f;
  if (ratio < 0) return 0.f;
  return smoothstep(std::min(ratio, 1.f));
}

UnifiedPi::EllParams UnifiedPi::lipParams(const float* kp) const {
  const LipStats s = stats(kp);
  EllParams p;
  p.cx = s.cx;
  p.cy = s.cy + down;
  p.hx = std::max(0.1f, s.ex + padX);
  p.hy = std::max(0.1f, s.ey + padY);
  const float scale = cornerScale(kp, s);
  if (scale != 1.f) {
    p.hx *= scale;
    p.hy *= scale;
  }
  p.r = std::sqrt(p.hx * p.hy) * 256.f;
  return p;
}

UnifiedPi::EllParams UnifiedPi::gateParams(const float* kp, float& gate) const {
  const LipStats s = stats(kp);
  gate = gateValue(s);
  EllParams p;
  p.cx = s.cx;
  p.cy = s.cy;
  p.hx = std::max(0.004f, s.ex);
  p.hy = std::max(0.004f, s.ey);
  if (propGateScale != 1.f) {
    p.hx *= propGateScale;
    p.hy *= propGateScale;
  }
  p.r = std::sqrt(p.hx * p.hy) * 256.f;
  return p;
}

float UnifiedPi::ellValue(const EllParams& p, int x, int y) const {
  const float u = (gx[size_t(x)] - p.cx) / p.hx;
  const float v = (gy[size_t(y)] - p.cy) / p.hy;
  const float t = p.r * (1.f - std::sqrt(u * u + v * v)) / 10.f;
  if (t < 0) return 0.f;
  return smoothstep(std::min(t, 1.f));
}

void UnifiedPi::lipMask(const float* kp, float* out) const {
  const EllParams p = lipParams(kp);
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x) out[size_t(y) * N + x] = ellValue(p, x, y);
}

void UnifiedPi::propTeethGate(const float* kp, float* out) const {
  float g = 0;
  const EllParams p = gateParams(kp, g);
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x) out[size_t(y) * N + x] = g * ellValue(p, x, y);
}

Box UnifiedPi::ellBox(const EllParams& p) const {
  if (N < 2) return Box{0, 0, std::max(N, 0), std::max(N, 0)};
  const double s = (N - 1) / 2.0;
  auto lo = [&](double c, double h) {
    return std::clamp(int(std::floor((c - h + 1) * s)) - 1, 0, N);
  };
  auto hi = [&](double c, double h) {
    return std::clamp(int(std::ceil((c + h + 1) * s)) + 2, 0, N);
  };
  // A centre far off the canvas must still give a box inside it.
  Box b;
  b.x0 = lo(p.cx, p.hx);
  b.x1 = std::max(b.x0, hi(p.cx, p.hx));
  b.y0 = lo(p.cy, p.hy);
  b.y1 = std::max(b.y0, hi(p.cy, p.hy));
  return b;
}

Box UnifiedPi::supportBox(const float* kp) const {
  float g = 0;
  const Box a = ellBox(lipParams(kp));
  const Box b = ellBox(gateParams(kp, g));
  if (a.empty()) return b;
  if (b.empty()) return a;
  return Box{std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1),
             std::max(a.y1, b.y1)};
}

uint8_t UnifiedPi::piByte(const EllParams& lip, const EllParams& gate, float g, int x,
                          int y) const {
  const float pi = std::max(ellValue(lip, x, y), g * ellValue(gate, x, y));
  return uint8_t(std::nearbyint(std::min(pi, 1.f) * 255.f));
}

void UnifiedPi::piU8(const float* kp, uint8_t* out) const {
  float g = 0;
  const EllParams lip = lipParams(kp);
  const EllParams gate = gateParams(kp, g);
  for (int y = 0; y < N; ++y)
    for (int x = 0; x < N; ++x) out[size_t(y) * N + x] = piByte(lip, gate, g, x, y);
}

void UnifiedPi::piU8Boxed(const float* kp, uint8_t* out) const {
  std::fill(out, out + size_t(N) * N, uint8_t(0));
  float g = 0;
  const EllParams lip = lipParams(kp);
  const EllParams gate = gateParams(kp, g);
  const Box b = supportBox(kp);
  for (int y = b.y0; y < b.y1; ++y)
    for (int x = b.x0; x < b.x1; ++x) out[size_t(y) * N + x] = piByte(lip, gate, g, x, y);
}

void UnifiedPi::piU8ShrunkBy(const float* kp, const float* contour, const Box& box,
                             uint8_t* out) const {
  std::fill(out, out + size_t(N) * N, uint8_t(0));
  float g = 0;
  const EllParams lip = lipParams(kp);
  const EllParams gate = gateParams(kp, g);
  const Box s = supportBox(kp);
  const int x0 = std::max(box.x0, s.x0), x1 = std::min(box.x1, s.x1);
  const int y0 = std::max(box.y0, s.y0), y1 = std::min(box.y1, s.y1);
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      const float c = contour[size_t(y - box.y0) * box.w() + (x - box.x0)];
      if (!(c > 0)) continue;
      const float pi = std::max(ellValue(lip, x, y), g * ellValue(gate, x, y));
      out[size_t(y) * N + x] = uint8_t(std::nearbyint(std::min(1.f, std::min(c, pi)) * 255.f));
    }
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, double& cx, double& cy) const {
  return piU8Centroid(mask, Box{0, 0, N, N}, cx, cy);
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, const Box& box, double& cx, double& cy) const {
  double sx = 0, sy = 0;
  uint64_t n = 0;
  for (int y = box.y0; y < box.y1; ++y)
    for (int x = box.x0; x < box.x1; ++x)
      if (mask[size_t(y) * N + x] >= 128) {
        sx += x;
        sy += y;
        ++n;
      }
  if (n == 0) return false;
  cx = sx / double(n);
  cy = sy / double(n);
  return true;
}

bool UnifiedPi::piU8AndShift(const float* kp, const double* cCanon, uint8_t* out, int& sy,
                             int& sx) const {
  const Box b = supportBox(kp);
  piU8Boxed(kp, out);
  double cx = 0, cy = 0;
  if (!piU8Centroid(out, b, cx, cy)) return false;
  sy = int(std::nearbyint(cy - cCanon[1]));
  sx = int(std::nearbyint(cx - cCanon[0]));
  return true;
}

bool UnifiedPi::canonicalCentroid(const float* xs, int frames, double& cx, double& cy) const {
  std::vector<uint8_t> mask(size_t(N) * N);
  double sx = 0, sy = 0;
  int n = 0;
  for (int f = 0; f < frames; ++f) {
    const float* kp = xs + size_t(f) * 3 * kKpRows;
    piU8Boxed(kp, mask.data());
    double fx = 0, fy = 0;
    if (!piU8Centroid(mask.data(), supportBox(kp), fx, fy)) continue;
    sx += fx;
    sy += fy;
    ++n;
  }
  if (n == 0) return false;
  cx = sx / n;
  cy = sy / n;
  return true;
}

}  // namespace tessera
}  // namespace le
