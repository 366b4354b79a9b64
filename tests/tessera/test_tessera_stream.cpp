// The teeth pass in the frame streams: the offline C run, the adapter that
// feeds it rendered crops, and the write-back into the crop.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "le/le.h"
#include "support/test_util.h"
#include "tessera/le_tessera_pi.h"
#include "tessera/le_tessera_stream.h"
#include "tessera/tessera_fixtures.h"

using le::tessera::BankData;
using le::tessera::FrameResult;
using le::tessera::StreamBorrow;
using le::tessera::UnifiedPi;
using le_test::errorOf;

namespace {

// The fixture stamp: a 32x24 window at (16, 24) on a 64 canvas, band rows
// [4, 12) and columns [6, 22), pad 4, margin 2: stored patches 12 x 20.
constexpr int kN = 64, kWx = 16, kWy = 24, kW = 32, kH = 24;
constexpr int kR0 = 4, kR1 = 12, kC0 = 6, kC1 = 22, kMargin = 2;
constexpr int kSh = kR1 - kR0 + 2 * kMargin, kSw = kC1 - kC0 + 2 * kMargin;
constexpr double kCx = kWx + (kC0 + kC1) / 2.0, kCy = kWy + (kR0 + kR1) / 2.0;
const int32_t kStamp[12] = {kN, kN, kWx, kWy, kW, kH, 4, kR0, kR1, kC0, kC1, kMargin};

le::GeometryStamp stamp() {
  le::GeometryStamp s;
  for (int i = 0; i < 12; ++i) s.at(i) = kStamp[i];
  return s;
}

const char kConfig[] =
    R"({"retrieval": {"kshort": 4, "aperture_tol": 1.0, "cut": 4, "K": 3},
        "temporal": {"hysteresis": 2, "lookahead": 1}})";

// A canvas of skin with teeth of colour `teeth` in the band and a compose
// mask of 255 over the band's canvas rectangle.
struct Canvas {
  std::vector<uint8_t> rgb = std::vector<uint8_t>(size_t(kN) * kN * 3);
  std::vector<uint8_t> mask = std::vector<uint8_t>(size_t(kN) * kN, 0);
  Canvas(uint8_t teeth, unsigned seed) {
    std::mt19937 rng(seed);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(100 + rng() % 60);
    for (int y = kWy + kR0; y < kWy + kR1; ++y)
      for (int x = kWx + kC0; x < kWx + kC1; ++x) {
        mask[size_t(y) * kN + x] = 255;
        for (int c = 0; c < 3; ++c) rgb[(size_t(y) * kN + x) * 3 + c] = uint8_t(teeth - 5 * c);
      }
  }
  std::vector<uint8_t> patch() const {
    std::vector<uint8_t> p(size_t(kSh) * kSw * 3);
    for (int r = 0; r < kSh; ++r)
      std::memcpy(&p[size_t(r) * kSw * 3],
                  &rgb[(size_t(kWy + kR0 - kMargin + r) * kN + kWx + kC0 - kMargin) * 3], kSw * 3);
    return p;
  }
  std::vector<uint8_t> window() const {
    std::vector<uint8_t> w(size_t(kH) * kW * 3);
    for (int i = 0; i < kH; ++i)
      std::memcpy(&w[size_t(i) * kW * 3], &rgb[(size_t(kWy + i) * kN + kWx) * 3], kW * 3);
    return w;
  }
};

struct Bank {
  std::vector<uint8_t> band;
  std::vector<double> cent, aperture;
  double canon[2] = {kCx, kCy};
  explicit Bank(const std::vector<std::vector<uint8_t>>& patches) {
    for (const auto& p : patches) {
      band.insert(band.end(), p.begin(), p.end());
      cent.insert(cent.end(), {kCx, kCy});
      aperture.push_back(1.0);
    }
  }
  BankData data() const {
    BankData b;
    b.donors = band;
    b.cent = cent;
    b.aperture = aperture;
    b.c_canon = {canon[0], canon[1]};
    b.stamp = stamp();
    b.n_donors = int(aperture.size());
    return b;
  }
};

TEST(TesseraRun, EveryFrameIsEmittedAndAnUnplacedOneIsSkipped) {
  const Canvas f(220, 3);
  Canvas empty(220, 3);
  std::fill(empty.mask.begin(), empty.mask.end(), uint8_t(0));
  const Bank bank({f.patch(), f.patch(), f.patch()});
  const auto head = tessera_test::headFixture("full");
  const std::vector<const Canvas*> frames = {&f, &f, &empty, &f, &f};
  const int F = int(frames.size());
  std::vector<uint8_t> canvases, masks;
  for (const Canvas* c : frames) {
    canvases.insert(canvases.end(), c->rgb.begin(), c->rgb.end());
    masks.insert(masks.end(), c->mask.begin(), c->mask.end());
  }
  const size_t window = size_t(kW) * kH * 3;

  // Shifts: derived for every frame but the last, which is placed out of reach.
  const std::vector<int32_t> shifts = {-10000, 0, -10000, 0, -10000, 0, -10000, 0, 5, 0};
  for (const bool withShifts : {false, true}) {
    SCOPED_TRACE(withShifts ? "le_tessera_run_shift" : "le_tessera_run");
    std::vector<uint8_t> out(window * size_t(F), 0xAB);
    std::vector<int32_t> skipped(size_t(F), 7);
    char err[256] = "untouched";
    const int rc =
        withShifts
            ? le_tessera_run_shift(bank.band.data(), 3, bank.cent.data(), bank.canon,
                                   bank.aperture.data(), kStamp, head.data(), int64_t(head.size()),
                                   kConfig, canvases.data(), masks.data(), shifts.data(), F,
                                   out.data(), skipped.data(), err, sizeof err)
            : le_tessera_run(bank.band.data(), 3, bank.cent.data(), bank.canon,
                             bank.aperture.data(), kStamp, head.data(), int64_t(head.size()),
                             kConfig, canvases.data(), masks.data(), F, out.data(), skipped.data(),
                             err, sizeof err);
    ASSERT_EQ(rc, 0) << err;
    EXPECT_STREQ(err, "");
    const std::vector<int32_t> want = {0, 0, 1, 0, withShifts ? 1 : 0};
    EXPECT_EQ(skipped, want);
    for (int k = 0; k < F; ++k) {
      const std::vector<uint8_t> got(out.begin() + long(k * window),
                                     out.begin() + long((k + 1) * window));
      // Donors equal to the target give the target back; skipped slots stay as they were.
      EXPECT_EQ(got, want[size_t(k)] ? std::vector<uint8_t>(window, 0xAB) : f.window())
          << "frame " << k;
    }
  }

  // A refusal comes back in the buffer, cut to its length and terminated.
  int32_t bad[12];
  std::memcpy(bad, kStamp, sizeof bad);
  bad[6] = 0;  // pad 0
  std::vector<uint8_t> out(window * size_t(F));
  std::vector<int32_t> skipped(static_cast<size_t>(F));
  char err[256];
  ASSERT_EQ(le_tessera_run(bank.band.data(), 3, bank.cent.data(), bank.canon, bank.aperture.data(),
                           bad, head.data(), int64_t(head.size()), kConfig, canvases.data(),
                           masks.data(), F, out.data(), skipped.data(), err, sizeof err),
            1);
  EXPECT_EQ(std::string(err).rfind("teeth: GeometryStamp incoherent:", 0), 0u) << err;
  char shortErr[8];
  ASSERT_EQ(le_tessera_run(bank.band.data(), 3, bank.cent.data(), bank.canon, bank.aperture.data(),
                           kStamp, head.data(), int64_t(head.size()), "{\"retrieval\": {}}",
                           canvases.data(), masks.data(), F, out.data(), skipped.data(), shortErr,
                           sizeof shortErr),
            1);
  EXPECT_STREQ(shortErr, "teeth: ");
  ASSERT_EQ(le_tessera_run(nullptr, 3, bank.cent.data(), bank.canon, bank.aperture.data(), kStamp,
                           head.data(), int64_t(head.size()), kConfig, canvases.data(),
                           masks.data(), F, out.data(), skipped.data(), err, sizeof err),
            1);
  EXPECT_STREQ(err, "teeth: a required argument is null");
}

TEST(StreamBorrow, WriteWindowDeltaKeepsSubByteDetail) {
  const le::GeometryStamp s = stamp();
  const size_t plane = size_t(kN) * kN;
  std::vector<float> crop(plane * 3);
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-0.05f, 1.05f);
  for (float& v : crop) v = u(rng);
  FrameResult r;
  r.rgb.resize(size_t(kW) * kH * 3);
  for (size_t i = 0; i < r.rgb.size(); ++i) r.rgb[i] = uint8_t(rng() % 256);
  std::vector<float> out = crop;
  StreamBorrow::writeWindowDelta(out.data(), kN, r, s);
  int inside = 0;
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < kN; ++y)
      for (int x = 0; x < kN; ++x) {
        const size_t at = size_t(c) * plane + size_t(y) * kN + x;
        const bool in = y >= kWy && y < kWy + kH && x >= kWx && x < kWx + kW;
        if (!in) {
          ASSERT_EQ(out[at], crop[at]) << c << " " << y << " " << x;
          continue;
        }
        ++inside;
        const float v = crop[at];
        // What the crop was below its own byte step, carried onto the new byte.
        const double own = v <= 0 ? 0.0 : std::nearbyint(std::min(v, 1.f) * 255.0);
        const double b = r.rgb[(size_t(y - kWy) * kW + size_t(x - kWx)) * 3 + size_t(c)];
        const double want = std::clamp(b / 255 + (v - own / 255), 0.0, 1.0);
        ASSERT_NEAR(out[at], want, 2e-7) << c << " " << y << " " << x;
        if (v >= 0 && v <= 1 && want > 0 && want < 1) {
          // The rounded byte is the borrowed one (out-of-range values carry
          // their excess, as they would have without the borrow).
          ASSERT_EQ(std::nearbyint(out[at] * 255.0), b);
        }
      }
  EXPECT_EQ(inside, 3 * kW * kH);

  // A skipped result writes nothing; a window of another size is refused.
  FrameResult skipped;
  skipped.skipped = true;
  std::vector<float> same = crop;
  StreamBorrow::writeWindowDelta(same.data(), kN, skipped, s);
  EXPECT_EQ(same, crop);
  r.rgb.pop_back();
  EXPECT_EQ(errorOf([&] { StreamBorrow::writeWindowDelta(same.data(), kN, r, s); }),
            "teeth stream: window 2303 bytes does not match the stamp window 24x32 \xE2\x80\x94 "
            "refusing to write back");

  // On an RGBA canvas the window's bytes land as they are and alpha is opaque.
  r.rgb.push_back(9);
  std::vector<uint8_t> rgba(plane * 4, 3);
  StreamBorrow::writeWindowDeltaRgba(rgba.data(), kN, r, s);
  for (int y = 0; y < kN; ++y)
    for (int x = 0; x < kN; ++x) {
      const uint8_t* p = &rgba[(size_t(y) * kN + x) * 4];
      ASSERT_EQ(p[3], 255);
      const bool in = y >= kWy && y < kWy + kH && x >= kWx && x < kWx + kW;
      for (int c = 0; c < 3; ++c)
        ASSERT_EQ(p[c], in ? r.rgb[(size_t(y - kWy) * kW + size_t(x - kWx)) * 3 + size_t(c)] : 3);
    }
}

// Lips of a mouth around (0, -0.1) in normalised canvas units, parted by `open`.
std::vector<float> mouthKp(float open) {
  std::vector<float> kp(63, 0.f);
  for (int r = 0; r < 13; ++r) kp[3 * r] = -0.6f + 0.1f * r, kp[3 * r + 1] = -0.5f;
  for (int i = 0; i < 8; ++i) {
    const double t = i * M_PI / 4;
    kp[3 * (13 + i)] = 0.2f * float(std::cos(t));
    kp[3 * (13 + i) + 1] = -0.1f + open * float(std::sin(t));
  }
  return kp;
}

std::string manifestPi() {
  return "{\"unified\": {\"pi\": {\"mode\": \"prop\", \"corner_recovery\": false, "
         "\"prop_gate_scale\": 1.3, \"lip_idx\": [13, 14, 15, 16, 17, 18, 19, 20], "
         "\"lip_geom_params\": [0.05, 0.08, 0.015]}}}";
}

TEST(StreamBorrow, CropsGoThroughThePassOneFrameLate) {
  const Canvas f(210, 5);
  // c_canon where this mouth's pi mask has its centroid: every frame is placed.
  const UnifiedPi pi = UnifiedPi::fromManifestJson(manifestPi(), kN);
  const auto kp = mouthKp(0.06f);
  std::vector<uint8_t> m(size_t(kN) * kN);
  int sy = 0, sx = 0;
  const double origin[2] = {0, 0};
  ASSERT_TRUE(pi.piU8AndShift(kp.data(), origin, m.data(), sy, sx));
  Bank bank({f.patch(), f.patch()});
  bank.canon[0] = sx;
  bank.canon[1] = sy;
  const Canvas& target = f;
  const auto head = le::tessera::loadHeadPt(tessera_test::headFixture("full"));
  const le::ServeConfig config = le::ServeConfig::fromHeadMemberJson(kConfig);

  // The float crop sits half a byte step off for some values: the canvas
  // takes them rounded half to even, as the byte form of the same crop does.
  const size_t plane = size_t(kN) * kN;
  std::vector<float> crop(plane * 3);
  std::vector<uint8_t> rgba(plane * 4, 0);
  for (size_t p = 0; p < plane; ++p)
    for (int c = 0; c < 3; ++c) {
      const uint8_t b = target.rgb[p * 3 + size_t(c)];
      const bool half = (p % 5) == 0 && b < 255;
      crop[size_t(c) * plane + p] = half ? (float(b) + 0.5f) / 255.f : float(b) / 255.f;
      rgba[p * 4 + size_t(c)] = half ? uint8_t(b + (b % 2)) : b;
    }
  testing::internal::CaptureStderr();
  StreamBorrow a(bank.data(), head, config, pi, "");
  StreamBorrow b(bank.data(), head, config, pi, "");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("[borrow] !!! delivery mask: ELLIPSE \xE2\x80\x94 this bundle carries no "
                     "lip_template.v1.json, so it serves the over-covering elliptical mask the "
                     "contour replaces."),
            std::string::npos)
      << log;
  std::vector<int> hostParts = {1};
  EXPECT_FALSE(a.hostSplit(hostParts));
  EXPECT_STREQ(a.backend(), "cpu");

  std::vector<FrameResult> fromCrop, fromRgba;
  FrameResult r;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(a.push(crop.data(), kp.data(), r), i > 0);
    if (i > 0) fromCrop.push_back(r);
    EXPECT_EQ(b.pushRgba(rgba.data(), kp.data(), r), i > 0);
    if (i > 0) fromRgba.push_back(r);
  }
  ASSERT_TRUE(a.flush(r));
  fromCrop.push_back(r);
  ASSERT_TRUE(b.flush(r));
  fromRgba.push_back(r);
  EXPECT_FALSE(a.flush(r));
  ASSERT_EQ(fromCrop.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_FALSE(fromCrop[i].skipped) << fromCrop[i].reason;
    EXPECT_EQ(fromCrop[i].rgb, fromRgba[i].rgb) << i;
  }
  // A mouth the pi cannot see is skipped as "empty-pi".
  const auto closed = std::vector<float>(63, 5.f);
  a.push(crop.data(), closed.data(), r);
  ASSERT_TRUE(a.flush(r));
  EXPECT_TRUE(r.skipped);
  EXPECT_EQ(r.reason, "empty-pi");
}

TEST(StreamBorrow, ConstructionRefusesACanvasTheStampDoesNotName) {
  const Canvas f(200, 1);
  const Bank bank({f.patch()});
  const auto head = le::tessera::loadHeadPt(tessera_test::headFixture("full"));
  const le::ServeConfig config = le::ServeConfig::fromHeadMemberJson(kConfig);
  EXPECT_EQ(errorOf([&] {
              StreamBorrow(bank.data(), head, config, UnifiedPi::fromManifestJson(manifestPi(), 96),
                           "");
            }),
            "teeth stream: manifest pi canvas 96 != bank compose canvas 64 \xE2\x80\x94 refusing "
            "to compose a mouth on a canvas the stamp does not name");
}

}  // namespace
