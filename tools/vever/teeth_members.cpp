#include "teeth_members.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "le/le.h"
#include "mp4_writer.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera_pi.h"

namespace vever {
namespace {

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error("teeth members: " + msg);
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("cannot open " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), std::streamsize(bytes.size()));
  if (!f) fail("cannot write " + path);
}

// The v1 corpus geometry's pads: the bank is cut where its pi mask is centred.
constexpr float kV1PadX = 0.05f, kV1PadY = 0.08f, kV1Down = 0.015f;

// Pixel coordinate of a normalised keypoint coordinate on a C-pixel crop.
double toPx(float v, int C) {
  return (double(v) + 1.0) * C / 2.0 - 0.5;
}

// The bank's window around the canonical mouth, scaled with the crop.
le::GeometryStamp stampFor(int C, const double canon[2]) {
  const double s = C / 256.0;
  auto r4 = [](double v) { return 4 * std::max(1, int(std::lround(v / 4))); };
  le::GeometryStamp st;
  st.canvas_w = st.canvas_h = C;
  st.window_w = r4(112 * s);
  st.window_h = r4(64 * s);
  st.window_x0 = std::clamp(int(std::lround(canon[0])) - st.window_w / 2, 0, C - st.window_w);
  st.window_y0 = std::clamp(int(std::lround(canon[1])) - st.window_h / 2, 0, C - st.window_h);
  st.pad = std::max(2, int(std::lround(8 * s)));
  st.shift_margin = std::max(1, int(std::lround(4 * s)));
  st.band_r0 = int(std::lround(12 * s));
  st.band_r1 = st.window_h - st.band_r0;
  st.band_c0 = int(std::lround(20 * s));
  st.band_c1 = st.window_w - st.band_c0;
  st.validate();
  return st;
}

// What the bank's sidecar lists of its donors, as JSON arrays in the making.
struct DonorLists {
  std::string cent = "[", aperture = "[", order = "[";
};

// Renders donor k with its mouth opened by the rule, writes its patch to the
// bank track and notes where its mouth is and how far it is open.
void writeDonor(le_ctx* ctx, const le::tessera::UnifiedPi& pi, const le::GeometryStamp& st,
                const std::vector<float>& rest, const TeethOptions& o, int k, Mp4Writer& track,
                DonorLists& lists) {
  const int C = st.canvas_w, sh = int(st.storedH()), sw = int(st.storedW());
  const size_t plane = size_t(C) * size_t(C);
  std::vector<uint8_t> rgb(plane * 3), mask(plane), patch(size_t(sh) * size_t(sw) * 3);
  const std::vector<float> kp = o.openMouth(rest, double(k) / (o.donors - 1));
  const float* crop = le_render_kp_crop(ctx, 0, rest.data(), kp.data());
  if (!crop) fail(std::string("render: ") + le_last_error());
  for (size_t p = 0; p < plane; ++p)
    for (int c = 0; c < 3; ++c) {
      const float v = crop[size_t(c) * plane + p];
      rgb[p * 3 + size_t(c)] = v > 0 ? uint8_t(std::nearbyint(std::min(v, 1.f) * 255.f)) : 0;
    }
  if (o.paintInside) o.paintInside(rgb.data(), C, rest.data(), kp.data());
  for (int r = 0; r < sh; ++r)
    std::copy_n(&rgb[(size_t(st.window_y0 + st.band_r0 - st.shift_margin + r) * size_t(C) +
                      size_t(st.window_x0 + st.band_c0 - st.shift_margin)) *
                     3],
                size_t(sw) * 3, &patch[size_t(r) * size_t(sw) * 3]);
  track.write(patch.data());

  // Where this donor's mouth is, and how far it is open.
  double cx = 0, cy = 0;
  pi.piU8Boxed(kp.data(), mask.data());
  if (!pi.piU8Centroid(mask.data(), pi.supportBox(kp.data()), cx, cy))
    fail("donor " + std::to_string(k) + " has an empty pi mask");
  const double gap = (toPx(kp[14 * 3 + 1], C) + toPx(kp[15 * 3 + 1], C) + toPx(kp[16 * 3 + 1], C) -
                      toPx(kp[18 * 3 + 1], C) - toPx(kp[19 * 3 + 1], C) - toPx(kp[20 * 3 + 1], C)) /
                     3;
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s[%.4f, %.4f]", k ? ", " : "", cx, cy);
  lists.cent += buf;
  std::snprintf(buf, sizeof buf, "%s%.4f", k ? ", " : "", std::max(gap, 0.5));
  lists.aperture += buf;
  lists.order += (k ? ", " : "") + std::to_string(k);
}

// The bank's sidecar, the head's configuration and its checkpoint.
void writeSidecars(const std::string& dir, const TeethOptions& o, const le::GeometryStamp& st,
                   const double canon[2], const DonorLists& lists) {
  const std::string& cent = lists.cent;
  const std::string& aperture = lists.aperture;
  const std::string& order = lists.order;
  std::string stamp = "{";
  for (int i = 0; i < le::GeometryStamp::kFields; ++i)
    stamp += std::string(i ? ", " : "") + "\"" + le::GeometryStamp::keys()[size_t(i)] +
             "\": " + std::to_string(st.at(i));
  stamp += "}";
  char canonText[64];
  std::snprintf(canonText, sizeof canonText, "[%.4f, %.4f]", canon[0], canon[1]);
  writeAll(dir + "/tessera_bank.v1.json",
           "{\n  \"format\": \"tessera_bank.v1\",\n  \"n_donors\": " + std::to_string(o.donors) +
               ",\n  \"geometry\": " + stamp + ",\n  \"track_order\": " + order +
               "],\n  \"cent\": " + cent + "],\n  \"aperture\": " + aperture +
               "],\n  \"c_canon\": " + canonText +
               ",\n  \"codec\": {\"codec\": \"h264\", \"pix_fmt\": \"yuv444p\"}\n}\n");
  const int n = o.donors;
  writeAll(dir + "/tessera_head.v1.json",
           "{\"retrieval\": {\"kshort\": " + std::to_string(n) +
               ", \"aperture_tol\": 0.35, \"cut\": " + std::to_string(n) +
               ", \"K\": 2},\n \"temporal\": {\"hysteresis\": 1, \"lookahead\": 1},\n "
               "\"decode\": {\"envelope_clamp_255\": 12}}\n");
  writeAll(dir + "/tessera_head.v1.pt", readAll(o.headCheckpoint));
}

}  // namespace

void writeTeethMembers(const std::string& dir, const TeethOptions& o) {
  if (o.donors < 2) fail("at least two donors are needed");
  if (!o.openMouth) fail("no mouth-opening rule given");
  const std::string manifest = readAll(dir + "/manifest.json");
  le_ctx* ctx = le_create(dir.c_str(), "b1", 0, nullptr);
  if (!ctx) fail(std::string("the bundle does not open: ") + le_last_error());
  try {
    const int C = le_crop(ctx), NT = le_nt(ctx);
    const std::string xsBytes = readAll(dir + "/xs_target.bin");
    if (xsBytes.size() != size_t(NT) * 63 * sizeof(float)) fail("xs_target.bin is not NT x 63");
    std::vector<float> xs(size_t(NT) * 63);
    std::copy_n(xsBytes.data(), xsBytes.size(), reinterpret_cast<char*>(xs.data()));

    le::tessera::UnifiedPi pi = le::tessera::UnifiedPi::fromManifestJson(manifest, C);
    pi.padX = kV1PadX;
    pi.padY = kV1PadY;
    pi.down = kV1Down;
    double canon[2];
    if (!pi.canonicalCentroid(xs.data(), NT, canon[0], canon[1]))
      fail("the pi mask is empty on every source frame");
    std::string geometry;
    le::tessera::UnifiedPi::corpusFromManifestJson(manifest, C, xs.data(), NT, canon, &geometry);
    if (geometry != "v1") fail("the corpus geometry came out as " + geometry + ", not v1");

    const le::GeometryStamp st = stampFor(C, canon);
    const std::vector<float> rest(xs.begin(), xs.begin() + 63);
    DonorLists lists;
    Mp4Writer track(dir + "/tessera_bank.v1.mp4", int(st.storedW()), int(st.storedH()), 25, 0, 0,
                    true);
    for (int k = 0; k < o.donors; ++k) writeDonor(ctx, pi, st, rest, o, k, track, lists);
    track.finish();
    writeSidecars(dir, o, st, canon, lists);
  } catch (...) {
    le_destroy(ctx);
    throw;
  }
  le_destroy(ctx);
}

}  // namespace vever
