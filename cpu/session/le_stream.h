// The batch stream renderer (le_stream): a whole clip's frames from the
// frame-chunk conditioner's deltas, rendered one thread ahead of delivery.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "le/le.h"

namespace le {

// The clip's frames after `skip`: corpus index i mod NT (0 when NT < 2), the
// corpus row and that row plus gain x delta row i.
struct StreamPlan {
  std::vector<int> index;
  std::vector<float> base, driven;  // 63 floats per frame
  int frames() const { return int(index.size()); }
};
StreamPlan streamPlan(const std::vector<float>& corpus, int NT, const float* deltas, int T,
                      int skip, float gain);

// Renders frames 0 .. M - 1 on a second thread, at most 4 crops ahead, into
// `slots` (4 crops of cropFloats), and pastes and delivers them in order on
// the calling thread. render(k) returns frame k's crop (valid until the next
// render) or null on failure; paste(k, crop) returns false on failure;
// deliver(k) runs after the crop's slot is free again. Returns the frames
// delivered, or -1 after a failure: no frame at or after the failing one is
// delivered, and crops rendered but not yet delivered by then are dropped.
int streamPipeline(int M, size_t cropFloats, std::vector<float>& slots,
                   const std::function<const float*(int)>& render,
                   const std::function<bool(int, const float*)>& paste,
                   const std::function<void(int)>& deliver);

}  // namespace le
