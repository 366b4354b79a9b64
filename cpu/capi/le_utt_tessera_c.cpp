// The teeth borrow's entry points on an utterance session. Messages go into
// the caller's buffer (at most len - 1 bytes, always terminated).
#include <algorithm>
#include <cstring>
#include <string>

#include "base/le_guard.h"
#include "le/le.h"
#include "session/le_utt.h"

using namespace le::utt;

extern "C" {

int le_utt_tessera_attach(le_utt* s, const uint8_t* band, int n_donors, const double* cent,
                          const double* c_canon, const double* aperture, const int32_t* stamp,
                          const uint8_t* head_pt, int64_t head_pt_len, const char* head_json,
                          const char* manifest_json, char* err, int err_len) {
  le::capi::copyMessage(err, err_len, "");
  std::string error;
  auto failed = [&](const std::exception* e) {
    error = e ? std::string("le_utt_tessera_attach: ") + e->what()
              : "le_utt_tessera_attach: unknown failure";
  };
  const int refused = le::capi::guardWith(1, failed, [&] {
    return attachBorrow(s, band, n_donors, cent, c_canon, aperture, stamp, head_pt, head_pt_len,
                        head_json, manifest_json, error);
  });
  if (refused == 0) return 0;
  le::capi::copyMessage(err, err_len, error);
  return 1;
}

int le_utt_tessera_attach_bundle(le_utt* s, char* err, int err_len) {
  le::capi::copyMessage(err, err_len, "");
  std::string error;
  auto failed = [&](const std::exception* e) {
    error = e ? std::string("le_utt_tessera_attach_bundle: ") + e->what()
              : "le_utt_tessera_attach_bundle: unknown failure";
  };
  const int r = le::capi::guardWith(1, failed, [&] { return attachBundleBorrow(s, error); });
  if (r == 1) le::capi::copyMessage(err, err_len, error);
  return r;
}

int le_utt_tessera_stats(le_utt* s, int64_t* applied, int64_t* skipped, char* reason,
                         int reason_len) {
  if (applied) *applied = 0;
  if (skipped) *skipped = 0;
  le::capi::copyMessage(reason, reason_len, "");
  if (!s) return LE_BORROW_NONE;
  int64_t a = 0, k = 0;
  std::string why;
  const int state = s->borrowStatus(&a, &k, &why);
  if (state == LE_BORROW_NONE) return state;
  if (applied) *applied = a;
  if (skipped) *skipped = k;
  le::capi::copyMessage(reason, reason_len, why);
  return state;
}

int le_utt_tessera_synth_w(le_utt* s, double* mean, double* max, int64_t* frames) {
  if (mean) *mean = 0;
  if (max) *max = 0;
  if (frames) *frames = 0;
  if (!s) return 0;
  double m = 0, x = 0;
  int64_t n = 0;
  if (!s->borrowSynthWeight(&m, &x, &n)) return 0;
  if (mean) *mean = m;
  if (max) *max = x;
  if (frames) *frames = n;
  return 1;
}

int le_utt_tessera_geometry(le_utt* s, char* buf, int len) {
  le::capi::copyMessage(buf, len, "");
  if (!s) return 0;
  std::string geometry;
  if (!s->borrowGeometry(&geometry)) return 0;
  le::capi::copyMessage(buf, len, geometry);
  return 1;
}

}  // extern "C"
