// The blend head's weights and the reader of the checkpoint they ship in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "le/le.h"  // LE_API

namespace le {
namespace tessera {

// Float tensors of the blend head, row-major. The cand.* layers are always
// present; the syn.* branch only in the full head.
struct HeadWeights {
  std::vector<float> cand0_weight;  // [16, 7, 3, 3]
  std::vector<float> cand0_bias;    // [16]
  std::vector<float> cand2_weight;  // [16, 16, 3, 3]
  std::vector<float> cand2_bias;    // [16]
  std::vector<float> cand4_weight;  // [1, 16, 3, 3]
  std::vector<float> cand4_bias;    // [1]
  std::vector<float> syn0_weight;   // [16, 3, 3, 3]
  std::vector<float> syn0_bias;     // [16]
  std::vector<float> syn2_weight;   // [1, 16, 3, 3]
  std::vector<float> syn2_bias;     // [1]
  float envelope = 12.0f / 255.0f;

  // Total element count of the ten tensors: 4,082 for BlendHead(16),
  // 3,489 for BlendHead8(16).
  int params() const;
};

// Reads a blend-head checkpoint (a ZIP archive of stored entries holding a
// pickled state dictionary and one raw storage per tensor). Anything outside
// the subset such a checkpoint uses is refused with a runtime error.
LE_API HeadWeights loadHeadPt(const uint8_t* data, size_t size);
LE_API HeadWeights loadHeadPt(const std::vector<uint8_t>& bytes);

}  // namespace tessera
}  // namespace le
