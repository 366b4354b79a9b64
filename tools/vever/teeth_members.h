// The teeth-borrow members of a bundle built from the bundle itself: donor
// mouths rendered by its own director with the mouth open by different
// amounts, their bank track, its sidecar with the stamp, and the blend head
// with its configuration.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vever {

struct TeethOptions {
  int donors = 8;
  // The blend-head checkpoint to ship as tessera_head.v1.pt.
  std::string headCheckpoint;
  // The rest keypoints (63 floats) with the mouth open by `amount` in [0, 1].
  std::function<std::vector<float>(const std::vector<float>& rest, double amount)> openMouth;
  // Paints what the render leaves out between parted lips into a donor's
  // C x C RGB crop, given the rest and the opened keypoints; empty: donors
  // as rendered.
  std::function<void(uint8_t* rgb, int C, const float* rest, const float* open)> paintInside;
};

// Writes tessera_bank.v1.mp4, tessera_bank.v1.json, tessera_head.v1.pt and
// tessera_head.v1.json into the bundle directory. The bundle must open
// (render model included), carry xs_target.bin and a manifest with a
// unified.pi block; the bank is cut on the v1 corpus geometry, which the
// borrow then identifies. Throws std::runtime_error on failure.
void writeTeethMembers(const std::string& bundleDir, const TeethOptions& options);

}  // namespace vever
