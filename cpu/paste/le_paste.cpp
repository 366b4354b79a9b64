// The paste compositor: unsharp mask of the crop, inverse mapping of the
// frame footprint in 1/1024-pixel fixed point, and the per-row blend.

#include "paste/le_paste.h"
#include "base/le_env.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "base/le_log.h"
#include "compute/le_pool.h"
#include "paste/le_paste_simd.h"

namespace le {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kPhases = 32;
// Fixed-point terms at most this large keep every sum of a row term and a
// column term well inside 32 bits.
constexpr double kFixedLimit = 536870912.0;  // 2^29
// A position that fails the kernel's skip test.
constexpr int kOutside = std::numeric_limits<int>::min() / 2;

// Reflection without repeating the edge sample, folded as often as needed
// so that kernels wider than the plane still land inside it.
inline int reflectIndex(int q, int n) {
  if (n == 1) return 0;
  const int period = 2 * (n - 1);
  q = q < 0 ? -q : q;
  q %= period;
  return q < n ? q : period - q;
}

double lanczos4(double x) {
  const double px = kPi * x;
  return 4.0 * std::sin(px) * std::sin(px / 4.0) / (px * px);
}

float clamp255(float v) {
  v = v > 0.f ? v : 0.f;
  return v < 255.f ? v : 255.f;
}

}  // namespace

Paste::Paste(std::vector<uint8_t> maskBytes, int side_, Unsharp unsharp)
    : side(side_),
      ksize(unsharp.ksize),
      padSide(0),
      amount(unsharp.amount),
      fastMode(0),
      mask(std::move(maskBytes)) {
  if (uint64_t(mask.size()) != uint64_t(int64_t(side) * int64_t(side))) {
    throw std::runtime_error("paste: mask size");
  }
  if (ksize % 2 == 0) throw std::runtime_error("paste: ksize must be odd");
  if (side < 1) throw std::runtime_error("paste: side must be positive");
  if (ksize < 1) throw std::runtime_error("paste: ksize must be positive");

  long v = 0;
  if (envLong("LE_PASTE_FAST", &v) && (v == 1 || v == 2)) fastMode = int(v);
  if (envLong("LE_PASTE_KSIZE", &v) && v > 2 && v % 2 == 1 && v <= ksize) ksize = int(v);
  padSide = side + ksize - 1;

  // A sigma of zero (or NaN) would make every tap NaN; its limit, a single
  // centre tap, leaves the plane unblurred instead.
  gauss.assign(size_t(ksize), 0.f);
  const double denom = 2.0 * double(unsharp.sigma) * double(unsharp.sigma);
  const int c = (ksize - 1) / 2;
  if (denom > 0) {
    std::vector<double> g(static_cast<size_t>(ksize));
    double sum = 0;
    for (int i = 0; i < ksize; ++i) {
      const double d = double(i - c);
      g[size_t(i)] = std::exp(-(d * d) / denom);
      sum += g[size_t(i)];
    }
    for (int i = 0; i < ksize; ++i) gauss[size_t(i)] = float(g[size_t(i)] / sum);
  } else {
    gauss[size_t(c)] = 1.f;
  }

  lanczosTab.assign(kPhases * 8, 0.f);
  bilinearTab.assign(kPhases * 2, 0.f);
  bicubicTab.assign(kPhases * 4, 0.f);
  for (int f = 0; f < kPhases; ++f) {
    const double t = double(f) / kPhases;
    float* lz = &lanczosTab[size_t(f) * 8];
    if (t < 1e-7) {
      lz[3] = 1.f;
    } else {
      double w[8], sum = 0;
      for (int j = 0; j < 8; ++j) {
        w[j] = lanczos4(t + 3 - j);
        sum += w[j];
      }
      for (int j = 0; j < 8; ++j) lz[j] = float(w[j] / sum);
    }
    const float tf = float(f) / kPhases;
    bilinearTab[size_t(f) * 2] = 1.f - tf;
    bilinearTab[size_t(f) * 2 + 1] = tf;
    const double t1 = t + 1, s = 1 - t;
    const float w0 = float(((-0.75 * t1 + 3.75) * t1 - 6) * t1 + 3);
    const float w1 = float((1.25 * t - 2.25) * t * t + 1);
    const float w2 = float((1.25 * s - 2.25) * s * s + 1);
    float* bc = &bicubicTab[size_t(f) * 4];
    bc[0] = w0;
    bc[1] = w1;
    bc[2] = w2;
    bc[3] = 1.f - w0 - w1 - w2;
  }
  lanczosTab4.assign(kPhases * 32, 0.f);
  for (size_t i = 0; i < lanczosTab4.size(); ++i) lanczosTab4[i] = lanczosTab[i / 4];

  const size_t area = size_t(side) * size_t(side);
  for (auto& p : planes) p.assign(area, 0.f);
  padded.assign(size_t(padSide) * size_t(padSide), 0.f);
  blurRows.assign(padded.size(), 0.f);
  interleaved.assign(area * 4, 0.f);
}

void Paste::fillPlanes(const float* crop, float scale) {
  const size_t area = size_t(side) * size_t(side);
  for (int c = 0; c < 3; ++c) {
    const float* src = crop + size_t(c) * area;
    float* dst = planes[c].data();
    for (size_t i = 0; i < area; ++i) dst[i] = scale * src[i];
  }
}

void Paste::unsharpPlane(std::vector<float>& plane) {
  // Checked first: crops above 1024 are outside what the compositor is sized for.
  if (side > 1024) throw std::runtime_error("paste: side > 1024");
  if (plane.size() != size_t(side) * size_t(side)) throw std::runtime_error("paste: plane size");
  if (ksize == 1) {
    // A one-tap blur is the plane itself; (amount + 1) p - amount p would
    // only add rounding error, which truncation can turn into a byte lower.
    for (float& v : plane) v = clamp255(v);
    return;
  }
  const int r = ksize / 2;
  const size_t ps = size_t(padSide);
  const float* src = plane.data();
  float* pad = padded.data();
  float* hb = blurRows.data();
  const float* g = gauss.data();
  const int taps = ksize;

  pool::parallelRange(uint64_t(padSide), 64, [&](uint64_t b, uint64_t e) {
    for (uint64_t i = b; i < e; ++i) {
      const float* s = src + size_t(reflectIndex(int(i) - r, side)) * side;
      float* d = pad + i * ps;
      for (int x = 0; x < r; ++x) {
        d[x] = s[reflectIndex(x - r, side)];
        d[r + side + x] = s[reflectIndex(side + x, side)];
      }
      std::memcpy(d + r, s, size_t(side) * sizeof(float));
    }
  });

  // Flat over the padded plane: the last ksize - 1 outputs of a row mix in
  // the next row, but only the first side columns are ever read.
  const size_t flat = ps * ps - size_t(taps - 1);
  std::fill(hb + flat, hb + ps * ps, 0.f);
  pool::parallelRange(uint64_t(flat), 64, [&](uint64_t b, uint64_t e) {
    simd::pasteBlurH(pad + b, hb + b, size_t(e - b), g, taps);
  });

  const float keep = amount + 1.f;
  float* dst = plane.data();
  pool::parallelRange(uint64_t(side), 64, [&](uint64_t b, uint64_t e) {
    std::vector<const float*> rows(static_cast<size_t>(taps));
    for (uint64_t a = b; a < e; ++a) {
      for (int j = 0; j < taps; ++j) rows[j] = hb + (a + size_t(j)) * ps;
      float* p = dst + a * size_t(side);
      simd::pasteSharpenRow(rows.data(), g, taps, keep, amount, p, 1.f, p, size_t(side));
    }
  });
}

void Paste::sharpenCrop(const float* crop, float scale, const int* window) {
  if (side > 1024) throw std::runtime_error("paste: side > 1024");
  const size_t area = size_t(side) * size_t(side);
  const int r = ksize / 2;
  const size_t ps = size_t(padSide);
  const float* g = gauss.data();
  const int taps = ksize;
  const float keep = amount + 1.f;
  // Each part keeps the horizontally blurred rows its crop rows need in a
  // ring of ksize rows, one channel after the other so that the ring stays
  // in the first-level cache; a part recomputes the ksize - 1 rows it
  // shares with the part before it.
  pool::parallelRange(uint64_t(side), 64, [&](uint64_t b, uint64_t e) {
    std::vector<float> ring(size_t(taps) * size_t(side)), pad(ps);
    std::vector<const float*> rows(static_cast<size_t>(taps));
    const int a0 = int(b), a1 = int(e);
    for (int c = 0; c < 3; ++c) {
      const float* src = crop + size_t(c) * area;
      float* out = planes[c].data();
      if (taps == 1) {
        // A one-tap blur is the plane itself: only the clamp, as unsharpPlane.
        for (size_t i = size_t(a0) * side; i < size_t(a1) * side; ++i) {
          out[i] = clamp255(scale * src[i]);
        }
        continue;
      }
      for (int i = a0; i < a1 + taps - 1; ++i) {
        const float* s = src + size_t(reflectIndex(i - r, side)) * side;
        for (int x = 0; x < r; ++x) {
          pad[size_t(x)] = scale * s[reflectIndex(x - r, side)];
          pad[size_t(r + side + x)] = scale * s[reflectIndex(side + x, side)];
        }
        simd::pasteScaleRow(s, scale, pad.data() + r, size_t(side));
        simd::pasteBlurH(pad.data(), ring.data() + size_t(i % taps) * side, size_t(side), g, taps);
        const int a = i - (taps - 1);  // the crop row whose taps are all in now
        if (a < a0) continue;
        for (int j = 0; j < taps; ++j) rows[j] = ring.data() + size_t((a + j) % taps) * side;
        const size_t at = size_t(a) * side;
        simd::pasteSharpenRow(rows.data(), g, taps, keep, amount, src + at, scale, out + at,
                              size_t(side));
      }
    }
    if (window && window[0] <= window[2]) {
      const size_t width = size_t(window[2] - window[0] + 1);
      for (int a = std::max(a0, window[1]); a < std::min(a1, window[3] + 1); ++a) {
        const size_t at = size_t(a) * side + size_t(window[0]);
        simd::pasteInterleave(planes[0].data() + at, planes[1].data() + at, planes[2].data() + at,
                              interleaved.data() + 4 * at, width);
      }
    }
  });
  interleavedFresh_ = window != nullptr;
}

void Paste::composite(const float* crop, float scale, const float* M, uint8_t* frame, int W,
                      int H) {
  double m[6];
  for (int i = 0; i < 6; ++i) {
    m[i] = M[i];
    if (!std::isfinite(m[i])) return;
  }
  const double det = m[0] * m[4] - m[1] * m[3];
  if (det == 0 || !std::isfinite(det)) return;

  // The crop square widened by the Lanczos reach of 4 pixels.
  double minX = HUGE_VAL, maxX = -HUGE_VAL, minY = HUGE_VAL, maxY = -HUGE_VAL;
  for (int cy = 0; cy < 2; ++cy) {
    for (int cx = 0; cx < 2; ++cx) {
      const double x = cx ? side + 3 : -4, y = cy ? side + 3 : -4;
      const double X = m[0] * x + m[1] * y + m[2];
      const double Y = m[3] * x + m[4] * y + m[5];
      minX = std::min(minX, X);
      maxX = std::max(maxX, X);
      minY = std::min(minY, Y);
      maxY = std::max(maxY, Y);
    }
  }
  // Compared as doubles: a far-away footprint must not overflow an int.
  const double fx0 = std::max(0.0, std::floor(minX));
  const double fx1 = std::min(double(W) - 1, std::ceil(maxX));
  const double fy0 = std::max(0.0, std::floor(minY));
  const double fy1 = std::min(double(H) - 1, std::ceil(maxY));
  if (!(fx1 >= fx0) || !(fy1 >= fy0)) return;
  const int fx0i = int(fx0), fx1i = int(fx1), fy0i = int(fy0), fy1i = int(fy1);

  const double i00 = m[4] / det, i01 = -m[1] / det, i10 = -m[3] / det, i11 = m[0] / det;
  const double i02 = -(m[2] * i00 + m[5] * i01);
  const double i12 = -(m[2] * i10 + m[5] * i11);

  // Only frame pixels near the mask's non-zero bytes can change: the box
  // around them, widened by 2 crop pixels (the 2 x 2 alpha taps reach one,
  // the fixed-point positions stray by well under 1/32), narrows the pass
  // over the frame and keeps the rows the threads split on the face.
  int x0 = fx0i, x1 = fx1i, y0 = fy0i, y1 = fy1i;
  int mb[4];
  const bool maskFound = maskBox(mb);
  if (!maskFound) {
    x1 = x0 - 1;
  } else {
    double lo[2] = {HUGE_VAL, HUGE_VAL}, hi[2] = {-HUGE_VAL, -HUGE_VAL};
    for (const int cy : {mb[1] - 2, mb[3] + 2}) {
      for (const int cx : {mb[0] - 2, mb[2] + 2}) {
        const double X = m[0] * cx + m[1] * cy + m[2], Y = m[3] * cx + m[4] * cy + m[5];
        lo[0] = std::min(lo[0], X);
        hi[0] = std::max(hi[0], X);
        lo[1] = std::min(lo[1], Y);
        hi[1] = std::max(hi[1], Y);
      }
    }
    x0 = int(std::max(double(x0), std::floor(lo[0])));
    x1 = int(std::min(double(x1), std::ceil(hi[0])));
    y0 = int(std::max(double(y0), std::floor(lo[1])));
    y1 = int(std::min(double(y1), std::ceil(hi[1])));
    if (y1 < y0) x1 = x0 - 1;
  }
  const size_t n = x1 >= x0 ? size_t(x1 - x0) + 1 : 0;
  colU.resize(n);
  colV.resize(n);
  colUd_.resize(n);
  colVd_.resize(n);
  wideCols_ = false;
  for (int X = x0; X <= x1; ++X) {
    const size_t k = size_t(X - x0);
    const double u = std::rint(X * i00 * 1024), v = std::rint(X * i10 * 1024);
    colUd_[k] = u;
    colVd_[k] = v;
    if (std::fabs(u) <= kFixedLimit && std::fabs(v) <= kFixedLimit) {
      colU[k] = int(u);
      colV[k] = int(v);
    } else {
      colU[k] = colV[k] = kOutside;
      wideCols_ = true;
    }
  }

  static std::once_flag logged;
  std::call_once(logged, [&] {
    le::log(LogLevel::Info, "le-paste",
            "executor=%s (side=%d, ksize=%d, threads=%d) — 1080p composite", "cpu", side, ksize,
            pool::threads());
  });

  // fillPlanes and unsharpPlane on each plane, in one pass (same floats).
  // The Lanczos pass reads interleaved pixels only within its 4-pixel reach
  // of the mask's non-zero box; the rest need not be written.
  const int reach[4] = {std::max(0, mb[0] - 4), std::max(0, mb[1] - 4),
                        std::min(side - 1, mb[2] + 4), std::min(side - 1, mb[3] + 4)};
  sharpenCrop(crop, scale, fastMode == 0 && maskFound ? reach : nullptr);
  compositeTail(frame, W, x0, x1, y0, i01, i11, i02, i12, y1);
}

bool Paste::maskBox(int box[4]) const {
  int bx0 = side, by0 = side, bx1 = -1, by1 = -1;
  for (int y = 0; y < side; ++y) {
    const uint8_t* row = mask.data() + size_t(y) * side;
    int a = 0;
    while (a < side && row[a] == 0) ++a;
    if (a == side) continue;
    int b = side - 1;
    while (row[b] == 0) --b;
    bx0 = std::min(bx0, a);
    bx1 = std::max(bx1, b);
    by0 = std::min(by0, y);
    by1 = y;
  }
  box[0] = bx0;
  box[1] = by0;
  box[2] = bx1;
  box[3] = by1;
  return bx1 >= 0;
}

void Paste::compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, double i01, double i11,
                          double i02, double i12, int y1) {
  const bool fresh = interleavedFresh_;
  interleavedFresh_ = false;
  if (x1 < x0 || y1 < y0) return;
  if (fastMode == 0 && !fresh) {
    const float* pr = planes[0].data();
    const float* pg = planes[1].data();
    const float* pb = planes[2].data();
    float* il = interleaved.data();
    pool::parallelRange(uint64_t(side), 64, [&](uint64_t b, uint64_t e) {
      const size_t i = size_t(b) * side;
      simd::pasteInterleave(pr + i, pg + i, pb + i, il + 4 * i, size_t(e - b) * side);
    });
  }

  const simd::PasteRowInput in{interleaved.data(), mask.data(),        side,
                               lanczosTab.data(),  lanczosTab4.data(), bilinearTab.data()};
  const float* const pl[3] = {planes[0].data(), planes[1].data(), planes[2].data()};
  const size_t rowBytes = size_t(W) * 3;
  const size_t n = size_t(x1 - x0) + 1;

  pool::parallelRange(uint64_t(y1 - y0) + 1, 64, [&](uint64_t b, uint64_t e) {
    std::vector<int> wu, wv;  // per-row positions when they need more than 32 bits
    for (uint64_t row = b; row < e; ++row) {
      const int Y = y0 + int(row);
      const double ru = std::rint((Y * i01 + i02) * 1024) + 16;
      const double rv = std::rint((Y * i11 + i12) * 1024) + 16;
      const int* cu = colU.data();
      const int* cv = colV.data();
      int iu = 0, iv = 0;
      if (!wideCols_ && std::fabs(ru) <= kFixedLimit && std::fabs(rv) <= kFixedLimit) {
        iu = int(ru);
        iv = int(rv);
      } else {
        // Whole positions summed in double (exact below 2^53); any that
        // could pass the kernel's skip test fits an int, the rest (NaN too)
        // become a position the kernel skips.
        auto narrow = [](double p) {
          return p >= -kFixedLimit && p <= kFixedLimit ? int(p) : kOutside;
        };
        wu.resize(n);
        wv.resize(n);
        for (size_t k = 0; k < n; ++k) {
          wu[k] = narrow(ru + colUd_[k]);
          wv[k] = narrow(rv + colVd_[k]);
        }
        cu = wu.data();
        cv = wv.data();
      }
      uint8_t* fr = frame + size_t(Y) * rowBytes;
      if (fastMode == 0) {
        simd::pasteLanczos8Row(in, cu, cv, iu, iv, x0, x1, fr);
      } else if (fastMode == 1) {
        simd::pasteSmallRow(in, pl, bicubicTab.data(), 4, cu, cv, iu, iv, x0, x1, fr);
      } else {
        simd::pasteSmallRow(in, pl, bilinearTab.data(), 2, cu, cv, iu, iv, x0, x1, fr);
      }
    }
  });
}

}  // namespace le
