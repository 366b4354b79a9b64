#include "tessera/le_lip_contour.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "tessera/le_tessera_json.h"
#include "tessera/le_tessera_pi.h"

namespace le {
namespace tessera {
namespace {

using json::JVal;

constexpr const char* kMember = "lip_template.v1.json";
constexpr const char* kFormat = "lip-template-v1";
constexpr int kMaxFitRows = 8;
constexpr float kAxisStep = 0.955f;
constexpr float kDiagStep = 1.3693f;
constexpr float kFar = 1e10f;

[[noreturn]] void refuse(const std::string& what) {
  throw std::runtime_error(std::string(kMember) + ": " + what);
}

float smoothstep(float e) {
  return e * e * (3.f - 2.f * e);
}

uint8_t alphaByte(float c) {
  if (!(c > 0)) return 0;
  return uint8_t(std::nearbyint(std::min(c, 1.f) * 255.f));
}

}  // namespace

LipContour LipContour::fromTemplateJson(const std::string& text, int canvas) {
  JVal top;
  try {
    top = json::parse(text);
  } catch (const std::exception& e) {
    refuse(std::string("is not parseable JSON (") + e.what() + ")");
  }
  if (!top.isObject()) refuse("is not a JSON object");
  const JVal* format = top.find("format");
  if (!format || !format->isString()) refuse("carries no string `format`");
  if (format->str != kFormat)
    refuse("declares format '" + format->str + "', not '" + kFormat +
           "' \xE2\x80\x94 this runtime cannot read it");
  if (const JVal* edge = top.find("edge")) {
    const std::string e = edge->isString() ? edge->str : std::string();
    if (!edge->isString() || e == "outward")
      refuse("declares edge '" + e +
             "', and the contour feather is OUTWARD \xE2\x80\x94"
             " refusing to serve a mask this runtime does not compute");
  }
  const JVal* c = top.find("canvas");
  if (!c || !c->isNumber()) refuse("carries no numeric `canvas`");
  if (c->num != canvas)
    refuse("was baked on a " + json::numText(c->num) + " canvas but this bundle composes on " +
           std::to_string(canvas) +
           " \xE2\x80\x94 refusing to deform a polygon onto a canvas it does not name");
  const JVal* f = top.find("feather_px");
  if (!f || !f->isNumber()) refuse("carries no numeric `feather_px`");
  if (!(f->num > 0)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f", f->num);
    refuse(std::string("declares feather_px ") + buf + ", which is not positive");
  }
  const JVal* u = top.find("u_canon");
  if (!u || !u->isArray() || u->arr.empty()) refuse("carries no non-empty `u_canon` array");
  LipContour lc;
  lc.n_ = canvas;
  lc.feather_ = float(f->num);
  for (size_t i = 0; i < u->arr.size(); ++i) {
    const JVal& row = u->arr[i];
    if (!row.isArray() || row.arr.size() != 2)
      refuse("u_canon row " + std::to_string(i) +
             " is not a 2-vector \xE2\x80\x94 this is not an nv x 2 template");
    lc.u_.push_back(row.arr[0].num);
    lc.u_.push_back(row.arr[1].num);
  }
  lc.nv_ = int(u->arr.size());
  const JVal* idx = top.find("lip_idx");
  if (!idx || !idx->isArray() || idx->arr.empty())
    refuse("carries a `lip_idx` that is not a non-empty array");
  for (const JVal& v : idx->arr) {
    if (!(v.num >= 0 && v.num < 21))
      refuse("lip_idx names keypoint row " + json::numText(std::trunc(v.num)) +
             ", and a kd row is 0..20");
    lc.lipIdx_.push_back(int(v.num));
  }
  // The fit is defined on at most 8 rows; silently dropping the rest would
  // place the polygon on a lip line the template never described.
  if (lc.lipIdx_.size() > size_t(kMaxFitRows))
    refuse("lip_idx names " + std::to_string(lc.lipIdx_.size()) +
           " keypoint rows, and the polygon fit takes at most 8");
  return lc;
}

void LipContour::polygon(const float* kp, std::vector<double>& verts) const {
  const double half = n_ / 2.0;
  double mx = 0, my = 0;
  for (int r : lipIdx_) {
    mx += (double(kp[3 * r]) + 1.0) * half;
    my += (double(kp[3 * r + 1]) + 1.0) * half;
  }
  mx /= double(lipIdx_.size());
  my /= double(lipIdx_.size());
  double ax = 0, ay = 0;
  for (int r : lipIdx_) {
    ax = std::max(ax, std::fabs((double(kp[3 * r]) + 1.0) * half - mx));
    ay = std::max(ay, std::fabs((double(kp[3 * r + 1]) + 1.0) * half - my));
  }
  ax = std::max(ax, 1e-6);
  ay = std::max(ay, 1e-6);
  verts.resize(size_t(nv_) * 2);
  for (int i = 0; i < nv_; ++i) {
    verts[2 * size_t(i)] = ax * u_[2 * size_t(i)] + mx;
    verts[2 * size_t(i) + 1] = ay * u_[2 * size_t(i) + 1] + my;
  }
}

Box LipContour::box(const std::vector<double>& verts) const {
  double minx = verts[0], maxx = verts[0], miny = verts[1], maxy = verts[1];
  for (int i = 1; i < nv_; ++i) {
    minx = std::min(minx, verts[2 * size_t(i)]);
    maxx = std::max(maxx, verts[2 * size_t(i)]);
    miny = std::min(miny, verts[2 * size_t(i) + 1]);
    maxy = std::max(maxy, verts[2 * size_t(i) + 1]);
  }
  const double grow = double(feather_) + 2.0;
  // Clamped on both sides so that a polygon off the canvas gives an empty box.
  auto lo = [&](double v) { return int(std::clamp(std::floor(v - grow), 0.0, double(n_))); };
  auto hi = [&](double v) { return int(std::clamp(std::ceil(v + grow) + 1, 0.0, double(n_))); };
  Box b{lo(minx), lo(miny), hi(maxx), hi(maxy)};
  b.x1 = std::max(b.x1, b.x0);
  b.y1 = std::max(b.y1, b.y0);
  return b;
}

void LipContour::fillScanline(const std::vector<double>& verts, const Box& box,
                              std::vector<uint8_t>& scratch) const {
  const int w = box.w(), h = box.h();
  scratch.assign(size_t(w) * h, 0);
  if (w == 0 || h == 0) return;
  std::vector<int64_t> px(static_cast<size_t>(nv_)), py(static_cast<size_t>(nv_));
  for (int i = 0; i < nv_; ++i) {
    px[size_t(i)] = int64_t(std::nearbyint(verts[2 * size_t(i)])) - box.x0;
    py[size_t(i)] = int64_t(std::nearbyint(verts[2 * size_t(i) + 1])) - box.y0;
  }
  auto put = [&](int64_t x, int64_t y) {
    if (x >= 0 && x < w && y >= 0 && y < h) scratch[size_t(y) * w + size_t(x)] = 255;
  };
  // Outline, so that thin slivers the scanline pairs miss still count.
  for (int i = 0; i < nv_; ++i) {
    const size_t a = size_t(i == 0 ? nv_ - 1 : i - 1), b = size_t(i);
    int64_t x0 = px[a], y0 = py[a];
    const int64_t x1 = px[b], y1 = py[b];
    const int64_t dx = std::llabs(x1 - x0), dy = -std::llabs(y1 - y0);
    const int64_t stx = x0 < x1 ? 1 : -1, sty = y0 < y1 ? 1 : -1;
    int64_t err = dx + dy;
    for (;;) {
      put(x0, y0);
      if (x0 == x1 && y0 == y1) break;
      const int64_t e2 = 2 * err;
      if (e2 >= dy) {
        err += dy;
        x0 += stx;
      }
      if (e2 <= dx) {
        err += dx;
        y0 += sty;
      }
    }
  }
  // Interior: even-odd crossings in 16.16 fixed point.
  struct Edge {
    int64_t top, bottom, xTop, slope;
  };
  std::vector<Edge> edges;
  for (int i = 0; i < nv_; ++i) {
    const size_t a = size_t(i == 0 ? nv_ - 1 : i - 1), b = size_t(i);
    if (py[a] == py[b]) continue;
    const size_t t = py[a] < py[b] ? a : b, u = py[a] < py[b] ? b : a;
    edges.push_back({py[t], py[u], px[t], (px[u] - px[t]) * 65536 / (py[u] - py[t])});
  }
  std::vector<int64_t> xs;
  for (int64_t row = 0; row < h; ++row) {
    xs.clear();
    for (const Edge& e : edges)
      if (row >= e.top && row < e.bottom) xs.push_back(e.xTop * 65536 + (row - e.top) * e.slope);
    std::sort(xs.begin(), xs.end());
    for (size_t k = 0; k + 1 < xs.size(); k += 2) {
      // ceil and floor of a 16.16 value.
      const int64_t a = std::max<int64_t>(0, -((-xs[k]) >> 16));
      const int64_t b = std::min<int64_t>(w - 1, xs[k + 1] >> 16);
      for (int64_t x = a; x <= b; ++x) scratch[size_t(row) * w + size_t(x)] = 255;
    }
  }
}

void LipContour::contourF32(const std::vector<double>& verts, const Box& box,
                            std::vector<float>& out) {
  const int w = box.w(), h = box.h();
  fillScanline(verts, box, fill_);
  dist_.assign(size_t(w) * h, kFar);
  for (size_t i = 0; i < dist_.size(); ++i)
    if (fill_[i]) dist_[i] = 0.f;
  auto at = [&](int y, int x) -> float& { return dist_[size_t(y) * w + size_t(x)]; };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float d = at(y, x);
      if (y > 0) {
        if (x > 0) d = std::min(d, at(y - 1, x - 1) + kDiagStep);
        d = std::min(d, at(y - 1, x) + kAxisStep);
        if (x + 1 < w) d = std::min(d, at(y - 1, x + 1) + kDiagStep);
      }
      if (x > 0) d = std::min(d, at(y, x - 1) + kAxisStep);
      at(y, x) = d;
    }
  for (int y = h - 1; y >= 0; --y)
    for (int x = w - 1; x >= 0; --x) {
      float d = at(y, x);
      if (y + 1 < h) {
        if (x + 1 < w) d = std::min(d, at(y + 1, x + 1) + kDiagStep);
        d = std::min(d, at(y + 1, x) + kAxisStep);
        if (x > 0) d = std::min(d, at(y + 1, x - 1) + kDiagStep);
      }
      if (x + 1 < w) d = std::min(d, at(y, x + 1) + kAxisStep);
      at(y, x) = d;
    }
  out.resize(size_t(w) * h);
  for (size_t i = 0; i < out.size(); ++i) {
    const float t = 1.f - dist_[i] / feather_;
    out[i] = t <= 0 ? 0.f : smoothstep(std::min(1.f, t));
  }
}

void LipContour::contourF32Canvas(const float* kp, float* out) {
  std::fill(out, out + size_t(n_) * n_, 0.f);
  polygon(kp, verts_);
  const Box b = box(verts_);
  if (b.empty()) return;
  contourF32(verts_, b, box_);
  for (int y = 0; y < b.h(); ++y)
    std::copy_n(box_.data() + size_t(y) * b.w(), b.w(), out + size_t(y + b.y0) * n_ + b.x0);
}

void LipContour::deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out) {
  polygon(kp, verts_);
  const Box b = box(verts_);
  if (b.empty()) {
    std::fill(out, out + size_t(n_) * n_, uint8_t(0));
    return;
  }
  contourF32(verts_, b, box_);
  pi.piU8ShrunkBy(kp, box_.data(), b, out);
}

bool LipContour::shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask) {
  polygon(kp, verts_);
  const Box p = this->box(verts_);
  const Box o{std::max(box.x0, p.x0), std::max(box.y0, p.y0), std::min(box.x1, p.x1),
              std::min(box.y1, p.y1)};
  if (p.empty() || o.empty()) {
    for (int y = box.y0; y < box.y1; ++y)
      std::fill_n(mask + size_t(y) * n_ + box.x0, box.w(), uint8_t(0));
    return false;
  }
  contourF32(verts_, p, box_);
  bool any = false;
  for (int y = box.y0; y < box.y1; ++y)
    for (int x = box.x0; x < box.x1; ++x) {
      uint8_t& m = mask[size_t(y) * n_ + x];
      if (x < p.x0 || x >= p.x1 || y < p.y0 || y >= p.y1) {
        m = 0;
        continue;
      }
      m = std::min(m, alphaByte(box_[size_t(y - p.y0) * p.w() + size_t(x - p.x0)]));
      any = any || m != 0;
    }
  return any;
}

bool LipContour::deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double* cCanon,
                                     uint8_t* out, int& sy, int& sx) {
  const bool placed = pi.piU8AndShift(kp, cCanon, out, sy, sx);
  const bool kept = shrinkU8InPlace(kp, pi.supportBox(kp), out);
  return placed && kept;
}

}  // namespace tessera
}  // namespace le
