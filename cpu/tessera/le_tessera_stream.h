// The teeth pass fitted to the renderer's output: each rendered face crop
// (the compose canvas) and its keypoints become a compose mask and a mouth
// shift, go through the pass with one frame of delay, and the borrow window
// that comes back is written into the held crop before it is pasted.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_lip_contour.h"
#include "tessera/le_tessera.h"
#include "tessera/le_tessera_pi.h"

#include "le/le.h"  // LE_API

namespace le {
namespace tessera {

class LE_API StreamBorrow {
 public:
  // Builds the pass and checks that the stamp, the compose geometry and the
  // crop agree; a non-empty lip template clips the mask to the lip contour.
  StreamBorrow(BankData bank, HeadWeights head, ServeConfig config, UnifiedPi pi,
               const std::string& lipTemplate);

  // crop: planar float, 3 planes of N x N in [0, 1]; keypoints: 63 floats.
  // Each returns true when `result` holds the frame pushed before this one.
  bool push(const float* crop, const float* keypoints, FrameResult& result);
  // rgba: N x N x 4 bytes; alpha is ignored.
  bool pushRgba(const uint8_t* rgba, const float* keypoints, FrameResult& result);
  // The canvas bytes already hold the frame.
  bool pushSynth(const float* keypoints, FrameResult& result);
  // Emits the held frame; false when none is held.
  bool flush(FrameResult& result);

  // Writes an emitted window back into a planar float crop (N x N per
  // plane), keeping the crop's detail below one byte step. Nothing for a
  // skipped result.
  static void writeWindowDelta(float* crop, int N, const FrameResult& result,
                               const GeometryStamp& stamp);
  // Same for an N x N x 4 byte canvas, whose alpha becomes opaque.
  static void writeWindowDeltaRgba(uint8_t* rgba, int N, const FrameResult& result,
                                   const GeometryStamp& stamp);

  // The borrow does all its work itself.
  bool hostSplit(std::vector<int>& out) const {
    out.clear();
    return false;
  }
  const char* backend() const { return "cpu"; }

  int canvas() const { return N_; }
  const TeethPass& pass() const { return pass_; }
  const GeometryStamp& stamp() const { return pass_.stamp(); }

 private:
  // Ahead of the pass, which takes the bank over.
  std::array<double, 2> cCanon_{};
  TeethPass pass_;
  UnifiedPi pi_;
  std::optional<LipContour> lip_;
  int N_ = 0;
  int frame_ = 0;
  std::vector<uint8_t> canvas_;  // N x N x 3, interleaved
  std::vector<uint8_t> mask_;    // N x N
};

// The reference bank of a bundle's loaded teeth members, decoded from its
// track into donor order.
BankData loadBundleBank(const TesseraAttachInputs& members);

// The teeth borrow a bundle carries, set up the way a session attaches it:
// members loaded, bank decoded, head read, the corpus geometry identified
// from the bundle's own corpus keypoints (`geometry` gets its name). Null
// when the bundle carries no complete set of members; throws when they do
// not load.
LE_API std::unique_ptr<StreamBorrow> openBundleBorrow(const Manifest& manifest,
                                                      std::string* geometry = nullptr);

}  // namespace tessera
}  // namespace le
