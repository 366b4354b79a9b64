// Compose geometry: the pi mouth mask against a direct per-pixel evaluation,
// the manifest and template readers' refusals, the corpus-geometry choice and
// the lip contour's clipping.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "support/test_util.h"
#include "tessera/le_lip_contour.h"
#include "tessera/le_tessera_pi.h"

using le::tessera::Box;
using le::tessera::LipContour;
using le::tessera::UnifiedPi;
using le_test::errorOf;

namespace {

const std::string kDash = "\xE2\x80\x94";
const std::vector<int> kLipRows = {13, 14, 15, 16, 17, 18, 19, 20};

std::string manifest(const std::string& pi, const std::string& extra = "") {
  return "{\"format\": \"le-bundle-v0\", \"unified\": {" + extra + "\"pi\": {" + pi + "}}}";
}
std::string piBlock(const std::string& corner = "false",
                    const std::string& geom = "[0.1, 0.08, 0.074]") {
  return "\"mode\": \"prop\", \"corner_recovery\": " + corner +
         ", \"prop_gate_scale\": 1.3, \"lip_idx\": [13, 14, 15, 16, 17, 18, 19, 20], "
         "\"lip_geom_params\": " +
         geom;
}

// Lips on an ellipse around (cx, cy); `open` parts them vertically.
std::vector<float> mouth(float cx, float cy, float halfW, float open) {
  std::vector<float> kp(63, 0.f);
  for (int r = 0; r < 13; ++r) {
    kp[3 * r] = -0.6f + 0.1f * r;
    kp[3 * r + 1] = -0.5f;
  }
  for (int i = 0; i < 8; ++i) {
    const double t = i * M_PI / 4;
    kp[3 * (13 + i)] = cx + halfW * float(std::cos(t));
    kp[3 * (13 + i) + 1] = cy + open * float(std::sin(t));
  }
  return kp;
}

// The pi mask written straight from its definition, one pixel at a time.
struct RefPi {
  int n;
  float padX, padY, down, gateScale;
  bool corner;

  static float smooth(float e) { return e * e * (3 - 2 * e); }
  static float ell(float gx, float gy, float cx, float cy, float hx, float hy) {
    const float u = (gx - cx) / hx, v = (gy - cy) / hy;
    const float r = std::sqrt(hx * hy) * 256.f;
    const float t = r * (1.f - std::sqrt(u * u + v * v)) / 10.f;
    return t < 0 ? 0.f : smooth(std::min(t, 1.f));
  }
  std::vector<uint8_t> eval(const std::vector<float>& kp) const {
    float cx = 0, cy = 0, ex = 0, ey = 0;
    for (int r : kLipRows) cx += kp[3 * r], cy += kp[3 * r + 1];
    cx /= 8, cy /= 8;
    for (int r : kLipRows) {
      ex = std::max(ex, std::fabs(kp[3 * r] - cx));
      ey = std::max(ey, std::fabs(kp[3 * r + 1] - cy));
    }
    float hx = std::max(0.1f, ex + padX), hy = std::max(0.1f, ey + padY);
    if (corner) {
      float f = 0;
      for (int r : kLipRows)
        f = std::max(f, std::hypot((kp[3 * r] - cx) / hx, (kp[3 * r + 1] - cy - down) / hy));
      const float s = std::max(1.f, 5.f / (std::sqrt(hx * hy) * 256.f) + f);
      if (s != 1.f) hx *= s, hy *= s;
    }
    const float ratio = (ey - 0.02f) / 0.01f;
    const float g = ratio < 0 ? 0.f : smooth(std::min(ratio, 1.f));
    const float gx0 = std::max(0.004f, ex) * gateScale, gy0 = std::max(0.004f, ey) * gateScale;
    std::vector<uint8_t> out(size_t(n) * n);
    for (int y = 0; y < n; ++y)
      for (int x = 0; x < n; ++x) {
        const float px = float(2.0 * x / (n - 1) - 1), py = float(2.0 * y / (n - 1) - 1);
        const float pi =
            std::max(ell(px, py, cx, cy + down, hx, hy), g * ell(px, py, cx, cy, gx0, gy0));
        out[size_t(y) * n + x] = uint8_t(std::nearbyint(std::min(pi, 1.f) * 255.f));
      }
    return out;
  }
  // Mean column and row of the pixels >= 128.
  static bool centroid(const std::vector<uint8_t>& m, int n, double& cx, double& cy) {
    double sx = 0, sy = 0, k = 0;
    for (int y = 0; y < n; ++y)
      for (int x = 0; x < n; ++x)
        if (m[size_t(y) * n + x] >= 128) sx += x, sy += y, ++k;
    if (k == 0) return false;
    cx = sx / k, cy = sy / k;
    return true;
  }
};

TEST(UnifiedPi, MaskMatchesDirectEvaluationBoxedOrNot) {
  const int n = 96;
  for (const bool corner : {false, true}) {
    const UnifiedPi pi = UnifiedPi::fromManifestJson(
        manifest(piBlock(corner ? "\"lip_landmark_half\"" : "false")), n);
    EXPECT_EQ(pi.cornerRecovery, corner);
    const RefPi ref{n, 0.1f, 0.08f, 0.074f, 1.3f, corner};
    // Closed lips (no teeth gate), open lips, and a mouth near the edge.
    for (const auto& kp : {mouth(0.f, 0.3f, 0.2f, 0.01f), mouth(0.05f, 0.25f, 0.25f, 0.08f),
                           mouth(0.85f, 0.9f, 0.2f, 0.06f)}) {
      const std::vector<uint8_t> want = ref.eval(kp);
      std::vector<uint8_t> full(size_t(n) * n), boxed(size_t(n) * n, 7);
      pi.piU8(kp.data(), full.data());
      pi.piU8Boxed(kp.data(), boxed.data());
      EXPECT_EQ(full, want);
      EXPECT_EQ(boxed, want);
      EXPECT_GT(std::count_if(want.begin(), want.end(), [](uint8_t v) { return v >= 128; }), 50);

      // The shift is the rounded centroid offset from c_canon (x, y).
      double cx = 0, cy = 0;
      ASSERT_TRUE(RefPi::centroid(want, n, cx, cy));
      const double canon[2] = {cx - 3.4, cy + 2.6};
      std::vector<uint8_t> mask(size_t(n) * n);
      int sy = 0, sx = 0;
      ASSERT_TRUE(pi.piU8AndShift(kp.data(), canon, mask.data(), sy, sx));
      EXPECT_EQ(sx, 3);
      EXPECT_EQ(sy, -3);
    }
  }
  // Closed lips: the teeth gate is zero.
  const UnifiedPi pi = UnifiedPi::fromManifestJson(manifest(piBlock()), n);
  std::vector<float> gate(size_t(n) * n, 1.f);
  pi.propTeethGate(mouth(0.f, 0.3f, 0.2f, 0.015f).data(), gate.data());
  EXPECT_TRUE(std::all_of(gate.begin(), gate.end(), [](float v) { return v == 0.f; }));
}

TEST(UnifiedPi, ManifestRefusals) {
  const int n = 64;
  auto err = [&](const std::string& text) {
    return errorOf([&] { UnifiedPi::fromManifestJson(text, n); });
  };
  EXPECT_EQ(err("{\"pi\": {\"mode\": \"nope\"}}"),
            "teeth-pi: manifest has no `unified` block " + kDash +
                " this bundle predates the unified compose and cannot state the pi geometry it "
                "was baked with; refusing to guess one");
  EXPECT_EQ(err("{\"unified\": {}}"), "teeth: member JSON lacks key 'pi'");
  EXPECT_EQ(err(manifest("\"mode\": 3")), "teeth-pi: unified.pi.mode is not a string");
  EXPECT_EQ(
      err(manifest("\"mode\": \"ellipse\"")),
      "teeth-pi: unified.pi.mode 'ellipse' is a compose-mask geometry this port cannot name " +
          kDash + " fail loud, never adapt (the stamped-geometry rule)");
  EXPECT_EQ(err(manifest(piBlock("\"corners\""))),
            "teeth-pi: unknown unified.pi.corner_recovery " + kDash +
                " a compose-mask geometry a consumer cannot name must never be guessed");
  EXPECT_EQ(err(manifest("\"mode\": \"prop\", \"lip_idx\": [1]")),
            "teeth: member JSON lacks key 'prop_gate_scale'");
  EXPECT_EQ(err(manifest("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": []")),
            "teeth-pi: unified.pi.lip_idx is not a non-empty array");
  EXPECT_EQ(err(manifest("\"mode\": \"prop\", \"prop_gate_scale\": 1, \"lip_idx\": [13, 40], "
                         "\"lip_geom_params\": [0, 0, 0]")),
            "teeth-pi: unified.pi.lip_idx names keypoint row 40, and a kd row is 0..20");
  EXPECT_EQ(err(manifest(piBlock("false", "[0.1, 0.08]"))),
            "teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  EXPECT_EQ(err(manifest(piBlock(), "\"crop\": {\"canvas\": 512}, ")),
            "teeth-pi: engine renders at canvas 64 but unified.crop.canvas is 512");
  EXPECT_EQ(err(manifest(piBlock(), "\"crop\": {\"canvas\": 64}, ")), "<no error>");
}

// c_canon at distances a from centroid p and b from centroid q.
void placeCanon(double px, double py, double qx, double qy, double a, double b, double* out) {
  const double d = std::hypot(qx - px, qy - py);
  ASSERT_LE(std::fabs(a - b), d);
  ASSERT_LE(d, a + b);
  const double along = (a * a - b * b + d * d) / (2 * d), across = std::sqrt(a * a - along * along);
  const double ux = (qx - px) / d, uy = (qy - py) / d;
  out[0] = px + along * ux - across * uy;
  out[1] = py + along * uy + across * ux;
}

TEST(UnifiedPi, CorpusGeometryIsChosenByCentroidDistance) {
  const int n = 160;  // v1 and v2 centroids about 4 px apart
  std::vector<float> xs;
  for (float open : {0.01f, 0.04f, 0.07f}) {
    const auto kp = mouth(0.02f, 0.3f, 0.22f, open);
    xs.insert(xs.end(), kp.begin(), kp.end());
  }
  // Reference centroids of v1 and v2 (v3 differs from v2 by a horizontal pad only).
  auto centroid = [&](float padX, float padY, float down, double& cx, double& cy) {
    const RefPi ref{n, padX, padY, down, 1.3f, false};
    double sx = 0, sy = 0;
    for (int f = 0; f < 3; ++f) {
      double x = 0, y = 0;
      ASSERT_TRUE(
          RefPi::centroid(ref.eval({xs.begin() + 63 * f, xs.begin() + 63 * (f + 1)}), n, x, y));
      sx += x, sy += y;
    }
    cx = sx / 3, cy = sy / 3;
  };
  double c1x, c1y, c2x, c2y;
  centroid(0.05f, 0.08f, 0.015f, c1x, c1y);
  centroid(0.1f, 0.08f, 0.074f, c2x, c2y);
  const std::string text = manifest(piBlock());

  double canon[2];
  std::string geometry;
  placeCanon(c1x, c1y, c2x, c2y, 2.0, 5.5, canon);
  const UnifiedPi pi = UnifiedPi::corpusFromManifestJson(text, n, xs.data(), 3, canon, &geometry);
  EXPECT_EQ(geometry, "v1");
  EXPECT_FLOAT_EQ(pi.padX, 0.05f);
  EXPECT_FLOAT_EQ(pi.down, 0.015f);

  placeCanon(c1x, c1y, c2x, c2y, 2.0, 4.0, canon);
  std::string e =
      errorOf([&] { UnifiedPi::corpusFromManifestJson(text, n, xs.data(), 3, canon, &geometry); });
  EXPECT_EQ(e.rfind("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within 3.00px) " + kDash +
                        " v1=2.00px v",
                    0),
            0u)
      << e;
  EXPECT_NE(e.find(" " + kDash + " refusing to guess the bank frame"), std::string::npos) << e;

  canon[0] = c1x + 20, canon[1] = c1y - 25;
  e = errorOf([&] { UnifiedPi::corpusFromManifestJson(text, n, xs.data(), 3, canon, &geometry); });
  char head[160];
  std::snprintf(head, sizeof head,
                "teeth-pi: no corpus pi geometry matches this bank's c_canon (%.2f,%.2f) within "
                "8.00px %s v",
                canon[0], canon[1], kDash.c_str());
  EXPECT_EQ(e.rfind(head, 0), 0u) << e;

  EXPECT_EQ(
      errorOf([&] { UnifiedPi::corpusFromManifestJson(text, n, nullptr, 0, canon, nullptr); }),
      "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was "
      "supplied " +
          kDash +
          " refusing to fall back to the stamped geometry, which is the GRAPH's compose field");
}

std::string lipTemplate(const std::string& fields) {
  return "{\"format\": \"lip-template-v1\", " + fields + "}";
}
const std::string kSquare =
    "\"canvas\": 96, \"feather_px\": 3, \"u_canon\": [[-1,-1],[1,-1],[1,1],[-1,1]], "
    "\"lip_idx\": [13, 14, 15, 16, 17, 18, 19, 20]";

TEST(LipContour, TemplateRefusals) {
  auto err = [](const std::string& text) {
    return errorOf([&] { LipContour::fromTemplateJson(text, 96); });
  };
  const std::string m = "lip_template.v1.json: ";
  EXPECT_EQ(err("{\"a\": ").rfind(m + "is not parseable JSON (", 0), 0u);
  EXPECT_EQ(err("[1]"), m + "is not a JSON object");
  EXPECT_EQ(err("{\"format\": 1}"), m + "carries no string `format`");
  EXPECT_EQ(err("{\"format\": \"lip-template-v2\"}"),
            m + "declares format 'lip-template-v2', not 'lip-template-v1' " + kDash +
                " this runtime cannot read it");
  EXPECT_EQ(err(lipTemplate("\"edge\": \"outward\", " + kSquare)),
            m + "declares edge 'outward', and the contour feather is OUTWARD " + kDash +
                " refusing to serve a mask this runtime does not compute");
  EXPECT_EQ(err(lipTemplate("\"edge\": \"inward\", " + kSquare)), "<no error>");
  EXPECT_EQ(err(lipTemplate("\"canvas\": \"96\"")), m + "carries no numeric `canvas`");
  EXPECT_EQ(err(lipTemplate("\"canvas\": 512")),
            m + "was baked on a 512 canvas but this bundle composes on 96 " + kDash +
                " refusing to deform a polygon onto a canvas it does not name");
  EXPECT_EQ(err(lipTemplate("\"canvas\": 96")), m + "carries no numeric `feather_px`");
  EXPECT_EQ(err(lipTemplate("\"canvas\": 96, \"feather_px\": 0")),
            m + "declares feather_px 0.000000, which is not positive");
  EXPECT_EQ(err(lipTemplate("\"canvas\": 96, \"feather_px\": 2, \"u_canon\": []")),
            m + "carries no non-empty `u_canon` array");
  EXPECT_EQ(err(lipTemplate("\"canvas\": 96, \"feather_px\": 2, \"u_canon\": [[0,1],[1,2,3]]")),
            m + "u_canon row 1 is not a 2-vector " + kDash + " this is not an nv x 2 template");
  EXPECT_EQ(err(lipTemplate("\"canvas\": 96, \"feather_px\": 2, \"u_canon\": [[0,1]], "
                            "\"lip_idx\": {}")),
            m + "carries a `lip_idx` that is not a non-empty array");
  EXPECT_EQ(err(lipTemplate("\"canvas\": 96, \"feather_px\": 2, \"u_canon\": [[0,1]], "
                            "\"lip_idx\": [13, 21]")),
            m + "lip_idx names keypoint row 21, and a kd row is 0..20");
  const LipContour lc = LipContour::fromTemplateJson(lipTemplate(kSquare), 96);
  EXPECT_EQ(lc.nv(), 4);
  EXPECT_FLOAT_EQ(lc.featherPx(), 3.f);
}

TEST(LipContour, ClipsThePiMaskToTheFeatheredPolygon) {
  const int n = 96;
  // A diamond inside the lip box: the ellipse covers pixels the contour must drop.
  LipContour lc = LipContour::fromTemplateJson(
      lipTemplate("\"canvas\": 96, \"feather_px\": 3, \"u_canon\": [[0,-1],[1,0],[0,1],[-1,0]], "
                  "\"lip_idx\": [13, 14, 15, 16, 17, 18, 19, 20]"),
      n);
  const UnifiedPi pi = UnifiedPi::fromManifestJson(manifest(piBlock()), n);
  const auto kp = mouth(0.f, 0.2f, 0.3f, 0.12f);
  std::vector<double> v;
  lc.polygon(kp.data(), v);
  // Lip rows in pixels: centre (48, 57.6), half-extents (14.4, 5.76).
  EXPECT_NEAR(v[0], 48.0, 1e-4);
  EXPECT_NEAR(v[1], 57.6 - 5.76, 1e-4);
  EXPECT_NEAR(v[2], 48.0 + 14.4, 1e-4);

  std::vector<uint8_t> piMask(size_t(n) * n), delivered(size_t(n) * n);
  std::vector<float> contour(size_t(n) * n);
  pi.piU8(kp.data(), piMask.data());
  lc.deliveredU8(kp.data(), pi, delivered.data());
  lc.contourF32Canvas(kp.data(), contour.data());
  // Distance of a pixel outside the diamond |x - 48|/14.4 + |y - 57.6|/5.76 <= 1.
  auto outside = [&](int x, int y) {
    const double a = 14.4, b = 5.76;
    const double s = std::fabs(x - 48.0) / a + std::fabs(y - 57.6) / b - 1;
    return s * a * b / std::hypot(a, b);
  };
  int clipped = 0, inside = 0;
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      const size_t i = size_t(y) * n + x;
      EXPECT_LE(delivered[i], piMask[i]);
      if (outside(x, y) > 3 + 1.5) {  // beyond the feather band (plus rounding of the outline)
        EXPECT_EQ(delivered[i], 0) << x << "," << y;
        EXPECT_EQ(contour[i], 0.f);
        clipped += piMask[i] > 0;
      }
      if (outside(x, y) < -1.5) {  // well inside: the contour is 1, the pi mask passes
        EXPECT_EQ(contour[i], 1.f) << x << "," << y;
        EXPECT_EQ(delivered[i], piMask[i]);
        ++inside;
      }
    }
  EXPECT_GT(clipped, 100);
  EXPECT_GT(inside, 40);

  // The shift variant: the pi mask's shift, the mask clipped like deliveredU8.
  const double canon[2] = {40.0, 60.0};
  std::vector<uint8_t> shifted(size_t(n) * n);
  int sy = 0, sx = 0, psy = 0, psx = 0;
  ASSERT_TRUE(lc.deliveredU8AndShift(kp.data(), pi, canon, shifted.data(), sy, sx));
  ASSERT_TRUE(pi.piU8AndShift(kp.data(), canon, piMask.data(), psy, psx));
  EXPECT_EQ(sy, psy);
  EXPECT_EQ(sx, psx);
  EXPECT_EQ(shifted, delivered);

  // A polygon off the canvas leaves nothing and says so.
  const auto away = mouth(3.f, 3.f, 0.2f, 0.1f);
  std::vector<uint8_t> ones(size_t(n) * n, 255);
  EXPECT_FALSE(lc.shrinkU8InPlace(away.data(), Box{10, 10, 40, 40}, ones.data()));
  EXPECT_EQ(ones[size_t(20) * n + 20], 0);
  EXPECT_EQ(ones[size_t(50) * n + 50], 255);
}

}  // namespace
