#include "tessera/le_tessera_stream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "base/le_files.h"
#include "base/le_log.h"
#include "compute/le_pool.h"
#include "tessera/le_bankdec_ff.h"
#include "tessera/le_head_checkpoint.h"

namespace le {
namespace tessera {
namespace {

constexpr float kInv255 = 0.003921569f;

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

// A crop value as the byte the canvas holds: rounded half to even, with
// anything not above 0 (NaN included) as 0.
inline uint8_t toByte(float v) {
  if (!(v > 0)) return 0;
  return uint8_t(std::nearbyint(std::min(v, 1.f) * 255.f));
}

// The window must lie inside the N x N canvas and the result must carry it.
void checkWindow(int N, const FrameResult& result, const GeometryStamp& s) {
  const size_t want = size_t(std::max(s.window_h, 0)) * size_t(std::max(s.window_w, 0)) * 3;
  if (result.rgb.size() != want)
    fail("teeth stream: window " + std::to_string(result.rgb.size()) +
         " bytes does not match the stamp window " + std::to_string(s.window_h) + "x" +
         std::to_string(s.window_w) + " \xE2\x80\x94 refusing to write back");
  if (s.window_x0 < 0 || s.window_y0 < 0 || int64_t(s.window_x0) + s.window_w > N ||
      int64_t(s.window_y0) + s.window_h > N)
    fail("teeth stream: the stamp window " + std::to_string(s.window_h) + "x" +
         std::to_string(s.window_w) + " at (" + std::to_string(s.window_y0) + ", " +
         std::to_string(s.window_x0) + ") does not fit a " + std::to_string(N) + "x" +
         std::to_string(N) + " canvas \xE2\x80\x94 refusing to write back");
}

}  // namespace

StreamBorrow::StreamBorrow(BankData bank, HeadWeights head, ServeConfig config, UnifiedPi pi,
                           const std::string& lipTemplate)
    : cCanon_(bank.c_canon), pass_(std::move(bank), std::move(head), config), pi_(std::move(pi)) {
  const GeometryStamp& s = pass_.stamp();
  if (s.canvas_w != s.canvas_h)
    fail("teeth stream: non-square compose canvas " + std::to_string(s.canvas_w) + "x" +
         std::to_string(s.canvas_h) + " \xE2\x80\x94 le_core renders a square crop");
  if (pi_.N != s.canvas_w)
    fail("teeth stream: manifest pi canvas " + std::to_string(pi_.N) + " != bank compose canvas " +
         std::to_string(s.canvas_w) +
         " \xE2\x80\x94 refusing to compose a mouth on a canvas the stamp does not name");
  N_ = s.canvas_w;
  if (!lipTemplate.empty()) {
    lip_ = LipContour::fromTemplateJson(lipTemplate, N_);
    le::log(LogLevel::Info, "borrow",
            "delivery mask: LIP CONTOUR (%d verts, feather %.1f px) \xE2\x80\x94 the "
            "ellipse is not reachable in this session",
            lip_->nv(), double(lip_->featherPx()));
  } else {
    le::log(LogLevel::Warning, "borrow",
            "!!! delivery mask: ELLIPSE \xE2\x80\x94 this bundle carries no %s, so it "
            "serves the over-covering elliptical mask the contour replaces. Bake the template "
            "with the avatar builder that fits lip polygons to the corpus keypoints and ship "
            "it beside manifest.json.",
            "lip_template.v1.json");
  }
  canvas_.resize(size_t(N_) * size_t(N_) * 3);
  mask_.resize(size_t(N_) * size_t(N_));
}

bool StreamBorrow::push(const float* crop, const float* keypoints, FrameResult& result) {
  const size_t plane = size_t(N_) * size_t(N_);
  uint8_t* out = canvas_.data();
  for (int c = 0; c < 3; ++c) {
    const float* src = crop + size_t(c) * plane;
    pool::parallelRange(plane, 4096, [&](uint64_t b, uint64_t e) {
      for (uint64_t i = b; i < e; ++i) out[i * 3 + uint64_t(c)] = toByte(src[i]);
    });
  }
  return pushSynth(keypoints, result);
}

bool StreamBorrow::pushRgba(const uint8_t* rgba, const float* keypoints, FrameResult& result) {
  const size_t px = size_t(N_) * size_t(N_);
  for (size_t i = 0; i < px; ++i) std::memcpy(&canvas_[i * 3], &rgba[i * 4], 3);
  return pushSynth(keypoints, result);
}

bool StreamBorrow::pushSynth(const float* keypoints, FrameResult& result) {
  int sy = 0, sx = 0;
  const bool placed =
      lip_ ? lip_->deliveredU8AndShift(keypoints, pi_, cCanon_.data(), mask_.data(), sy, sx)
           : pi_.piU8AndShift(keypoints, cCanon_.data(), mask_.data(), sy, sx);
  const std::optional<TeethPass::Shift> shift =
      placed ? std::optional<TeethPass::Shift>(TeethPass::Shift{sy, sx}) : std::nullopt;
  const bool emitted = pass_.push(frame_, canvas_.data(), mask_.data(), shift, result);
  ++frame_;
  return emitted;
}

bool StreamBorrow::flush(FrameResult& result) {
  return pass_.flush(result);
}

void StreamBorrow::writeWindowDelta(float* crop, int N, const FrameResult& result,
                                    const GeometryStamp& stamp) {
  if (result.skipped) return;
  checkWindow(N, result, stamp);
  const size_t plane = size_t(N) * size_t(N);
  const int h = stamp.window_h, w = stamp.window_w;
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < h; ++i) {
      float* row = crop + size_t(c) * plane + size_t(stamp.window_y0 + i) * size_t(N) +
                   size_t(stamp.window_x0);
      const uint8_t* src = result.rgb.data() + size_t(i) * size_t(w) * 3 + size_t(c);
      for (int j = 0; j < w; ++j) {
        const float u = row[j];
        const float q = float(toByte(u)) * kInv255;
        const float v = float(src[size_t(j) * 3]) * kInv255 - q + u;
        row[j] = std::clamp(v, 0.f, 1.f);
      }
    }
}

void StreamBorrow::writeWindowDeltaRgba(uint8_t* rgba, int N, const FrameResult& result,
                                        const GeometryStamp& stamp) {
  if (result.skipped) return;
  checkWindow(N, result, stamp);
  const size_t px = size_t(N) * size_t(N);
  for (size_t i = 0; i < px; ++i) rgba[i * 4 + 3] = 255;
  // A byte canvas has no detail below a byte step: the window's bytes are the delta.
  for (int i = 0; i < stamp.window_h; ++i)
    for (int j = 0; j < stamp.window_w; ++j)
      std::memcpy(
          &rgba[(size_t(stamp.window_y0 + i) * size_t(N) + size_t(stamp.window_x0 + j)) * 4],
          &result.rgb[(size_t(i) * size_t(stamp.window_w) + size_t(j)) * 3], 3);
}

BankData loadBundleBank(const TesseraAttachInputs& in) {
  std::vector<uint8_t> track;
  {
    const std::string bytes = readText(in.bank_track_path);
    track.assign(bytes.begin(), bytes.end());
  }
  BankData bank;
  bank.donors = decodeBankTrack(track.data(), track.size(), in.n_donors, in.band_h, in.band_w,
                                in.track_order);
  bank.cent = in.cent;
  bank.c_canon = in.c_canon;
  bank.aperture = in.aperture;
  bank.stamp = in.stamp;
  bank.n_donors = in.n_donors;
  return bank;
}

std::unique_ptr<StreamBorrow> openBundleBorrow(const Manifest& m, std::string* geometry) {
  if (!tesseraCarriage(m).complete) return nullptr;
  const TesseraAttachInputs in = loadTesseraMembers(m);
  BankData bank = loadBundleBank(in);
  const std::vector<float> corpus = readCorpusKeypoints(m.dir, m.NT);
  UnifiedPi pi = UnifiedPi::corpusFromManifestJson(in.manifest_json, m.crop, corpus.data(), m.NT,
                                                   in.c_canon.data(), geometry);
  return std::make_unique<StreamBorrow>(std::move(bank), loadHeadPt(in.head_pt),
                                        ServeConfig::fromHeadMemberJson(in.head_json),
                                        std::move(pi), m.lipTemplate);
}

}  // namespace tessera
}  // namespace le
