// The frame-chunk audio conditioner (le_fca): one 63-value keypoint delta per
// 40 ms frame of a whole clip, from the legacy audio model's features.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "le/le.h"

namespace le {

// Mean of layers 4 to 9 of the legacy model, one 768-value row per frame.
constexpr int kFcaFirstLayer = 4;
constexpr int kFcaLastLayer = 9;
constexpr int kFcaOffsets[7] = {-1, 0, 1, 2, 3, 4, 5};

// Subtracts from every row the running mean of the clip's louder rows:
// row t joins the baseline when t < 7 and its energy is above 0, or when its
// energy is above the 20th percentile of the energies of rows 0 .. t.
void fcaRemoveBaseline(std::vector<float>& rows, int64_t frames, int64_t width);

// The family's last error on the calling thread (le_fca_last_error).
std::string& fcaError();

// One call per C entry point, for the C interface: arguments are checked
// there; a failure throws.
namespace fca {
le_fca* create(const char* audioModel, const char* condModel, int threads);
void destroy(le_fca* c);
int deltas(le_fca& c, const float* samples, int count, float* out);
}  // namespace fca

}  // namespace le
