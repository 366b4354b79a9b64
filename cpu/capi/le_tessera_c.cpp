// C interface of the teeth pass: an offline run over a batch of canvases.
// Nothing escapes: failures return 1 with the message in the caller's buffer.
#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/le_guard.h"
#include "le/le.h"
#include "tessera/le_tessera.h"

namespace {

constexpr int32_t kNoShift = -10000;

int runPass(const uint8_t* band, int nDonors, const double* cent, const double* cCanon,
            const double* aperture, const int32_t* stampFields, const uint8_t* headPt,
            int64_t headPtLen, const char* headJson, const uint8_t* canvases, const uint8_t* masks,
            const int32_t* shifts, int frames, uint8_t* outWindows, int32_t* outSkipped) {
  using namespace le::tessera;
  if (!band || !cent || !cCanon || !aperture || !stampFields || !headPt || !headJson ||
      (frames > 0 && (!canvases || !masks || !outWindows || !outSkipped)))
    throw std::runtime_error("teeth: a required argument is null");
  if (frames < 0 || headPtLen < 0)
    throw std::runtime_error("teeth: negative frame count or checkpoint length");
  le::GeometryStamp stamp;
  for (int i = 0; i < le::GeometryStamp::kFields; ++i) stamp.at(i) = stampFields[i];
  stamp.validate();
  BankData bank = bankFromArrays(stamp, band, nDonors, cent, cCanon, aperture);

  TeethPass pass(std::move(bank), loadHeadPt(headPt, size_t(headPtLen)),
                 le::ServeConfig::fromHeadMemberJson(headJson));
  const le::GeometryStamp& s = pass.stamp();
  const size_t px = size_t(s.canvas_w) * size_t(s.canvas_h);
  const size_t window = size_t(s.window_h) * size_t(s.window_w) * 3;
  int emitted = 0;
  auto deliver = [&](const FrameResult& r) {
    // A pass that emitted more than it was given is reported below, not written.
    if (emitted < frames) {
      outSkipped[emitted] = r.skipped ? 1 : 0;
      if (!r.skipped) {
        if (r.rgb.size() != window)
          throw std::runtime_error("teeth: emitted window of " + std::to_string(r.rgb.size()) +
                                   " bytes, the stamp window holds " + std::to_string(window));
        std::memcpy(outWindows + size_t(emitted) * window, r.rgb.data(), window);
      }
    }
    ++emitted;
  };
  FrameResult r;
  for (int l = 0; l < frames; ++l) {
    std::optional<TeethPass::Shift> shift;
    if (shifts && shifts[2 * size_t(l)] != kNoShift)
      shift = TeethPass::Shift{shifts[2 * size_t(l)], shifts[2 * size_t(l) + 1]};
    if (pass.push(l, canvases + size_t(l) * px * 3, masks + size_t(l) * px, shift, r)) deliver(r);
  }
  if (pass.flush(r)) deliver(r);
  if (emitted != frames)
    throw std::runtime_error("teeth: emitted " + std::to_string(emitted) + " of " +
                             std::to_string(frames) + " frames");
  return 0;
}

}  // namespace

extern "C" {

int le_tessera_run_shift(const uint8_t* band, int n_donors, const double* cent,
                         const double* c_canon, const double* aperture, const int32_t* stamp,
                         const uint8_t* head_pt, int64_t head_pt_len, const char* head_json,
                         const uint8_t* canvases, const uint8_t* masks, const int32_t* shifts,
                         int frames, uint8_t* out_windows, int32_t* out_skipped, char* err,
                         int err_len) {
  le::capi::copyMessage(err, err_len, "");
  auto failed = [&](const std::exception* e) {
    le::capi::copyMessage(err, err_len, e ? e->what() : "teeth: unknown failure");
  };
  return le::capi::guardWith(1, failed, [&] {
    return runPass(band, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json,
                   canvases, masks, shifts, frames, out_windows, out_skipped);
  });
}

int le_tessera_run(const uint8_t* band, int n_donors, const double* cent, const double* c_canon,
                   const double* aperture, const int32_t* stamp, const uint8_t* head_pt,
                   int64_t head_pt_len, const char* head_json, const uint8_t* canvases,
                   const uint8_t* masks, int frames, uint8_t* out_windows, int32_t* out_skipped,
                   char* err, int err_len) {
  return le_tessera_run_shift(band, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len,
                              head_json, canvases, masks, nullptr, frames, out_windows, out_skipped,
                              err, err_len);
}

}  // extern "C"
