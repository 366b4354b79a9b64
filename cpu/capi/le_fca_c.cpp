// The frame-chunk audio conditioner's C interface. The last error is kept
// until the next failure.
#include <cstdint>
#include <stdexcept>

#include "audio/le_a2x.h"
#include "audio/le_fca.h"
#include "base/le_guard.h"
#include "le/le.h"

using le::capi::guard;

extern "C" {

le_fca* le_fca_create(const char* audio_model, const char* cond_model, int threads) {
  return guard(le::fcaError(), "le_fca_create", nullptr, [&] {
    if (!audio_model || !cond_model) throw std::runtime_error("NULL model path");
    return le::fca::create(audio_model, cond_model, threads);
  });
}

int le_fca_deltas(le_fca* c, const float* samples, int count, float* deltas, int max_frames) {
  if (count < 1) return 0;
  const int64_t T = (int64_t(count) + le::kA2xFrameSamples - 1) / le::kA2xFrameSamples;
  if (max_frames < T) return -1;
  return guard(le::fcaError(), "le_fca_deltas", -1, [&] {
    if (!c || !samples || !deltas) throw std::runtime_error("NULL conditioner, samples or deltas");
    return le::fca::deltas(*c, samples, count, deltas);
  });
}

void le_fca_destroy(le_fca* c) {
  le::fca::destroy(c);
}

const char* le_fca_last_error(void) {
  return le::fcaError().c_str();
}

}  // extern "C"
