// The voice-activity detector's C interface; failures go to le_last_error().
#include <stdexcept>
#include <string>

#include "audio/le_vad.h"
#include "base/le_guard.h"
#include "capi/le_capi.h"
#include "le/le.h"

using le::capi::guard;
using le::capi::lastError;

static_assert(LE_VAD_CHUNK_SAMPLES == le::kVadChunk, "le.h and the detector disagree on a chunk");

struct le_vad {
  explicit le_vad(const char* path) : vad(path) {}
  le::Vad vad;
};

extern "C" {

le_vad* le_vad_open(const char* model_path) {
  lastError().clear();
  return guard(lastError(), "le_vad_open", nullptr, [&] {
    if (!model_path) throw std::runtime_error("NULL model_path");
    return new le_vad(model_path);
  });
}

float le_vad_chance(le_vad* vad, const float* samples, size_t n) {
  lastError().clear();
  return guard(lastError(), "le_vad_chance", -1.f, [&] {
    if (!vad || !samples) throw std::runtime_error("NULL detector or samples");
    if (n != LE_VAD_CHUNK_SAMPLES)
      throw std::runtime_error(std::to_string(n) + " samples, expected exactly " +
                               std::to_string(LE_VAD_CHUNK_SAMPLES));
    return vad->vad.chance(samples);
  });
}

void le_vad_reset(le_vad* vad) {
  if (vad) vad->vad.reset();
}

void le_vad_close(le_vad* vad) {
  delete vad;
}

}  // extern "C"
