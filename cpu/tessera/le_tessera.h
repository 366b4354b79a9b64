// The teeth pass: the per-frame pass that retrieves donor mouths from the
// reference bank and blends them into the borrow window with the blend head.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tessera/le_bundle_tessera.h"
#include "tessera/le_head_checkpoint.h"

#include "le/le.h"  // LE_API

namespace le {
namespace tessera {

// The reference bank as the pass receives it.
struct BankData {
  std::vector<uint8_t> donors;      // n_donors patches of stored_h x stored_w x 3 RGB, donor order
  std::vector<double> cent;         // (x, y) per donor, interleaved
  std::array<double, 2> c_canon{};  // (x, y)
  std::vector<double> aperture;
  GeometryStamp stamp;
  int n_donors = 0;
};

// A bank from a caller's arrays, as the C interface takes them: `stamp`
// (already validated) gives the patch size; band holds nDonors patches of
// stored_h x stored_w x 3 bytes, cent nDonors (x, y) pairs, aperture
// nDonors values, cCanon one pair.
BankData bankFromArrays(const GeometryStamp& stamp, const uint8_t* band, int nDonors,
                        const double* cent, const double* cCanon, const double* aperture);

// One emitted frame: the borrow window (window_h x window_w x 3 RGB) with the
// mouth interior replaced, or a skipped frame and why.
struct FrameResult {
  std::vector<uint8_t> rgb;
  bool skipped = false;
  std::string reason;
  int nCandidates = 0;
  float synthMean = 0;
  float synthMax = 0;
};

// 256 x 256 table of |half(a/255) - half(b/255)| rounded to half, built once
// per process.
const float* dTable();

// Per-frame core of the teeth borrow. Frames are pushed in order; each push
// emits the frame pushed before it (one frame of delay, so the next frame's
// best donors can join the current set), and flush() emits the last one.
// One thread at a time; work inside a call fans out over the worker pool.
class LE_API TeethPass {
 public:
  using Shift = std::pair<int, int>;  // (sy, sx)

  // Validates the stamp and the bank against it and indexes every donor.
  TeethPass(BankData bank, HeadWeights head, ServeConfig config);

  // rgb: canvas_w x canvas_h x 3; mask: canvas_w x canvas_h compose mask
  // (255 inside the mouth). givenShift overrides the shift derived from the
  // mask's centroid. Returns true when `result` holds the previous frame.
  bool push(int frameIndex, const uint8_t* rgb, const uint8_t* mask,
            std::optional<Shift> givenShift, FrameResult& result);
  // Emits the held frame without lookahead; false when none is held.
  bool flush(FrameResult& result);

  // Window rows [r0, r1) of donor k's canonical window (3 planes of H x W halves).
  void canonicalWindowF16Rows(int donor, uint16_t* out, int r0, int r1) const;

  // The blend head on m donor windows and the target (planar floats 3 x H x W
  // each, values /255): Y (3 x H x W) and m + 1 weight planes (H x W each).
  void headForward(const std::vector<std::vector<float>>& donors, int m,
                   const std::vector<float>& target, const std::vector<uint8_t>& valid,
                   std::vector<float>& Y, std::vector<float>& weights) const;

  struct SynthStats {
    int64_t frames = 0;
    int64_t pixels = 0;
    double sumMeans = 0;
    float max = 0;
  };
  const SynthStats& synthStats() const { return synth_; }
  const GeometryStamp& stamp() const { return stamp_; }
  const ServeConfig& config() const { return cfg_; }
  // Donor set of the last emitted frame, in the order the head saw it.
  const std::vector<int>& lastDonors() const { return lastDonors_; }
  int windowH() const { return H_; }
  int windowW() const { return W_; }

  // Milliseconds spent per stage since construction, for benchmarks.
  struct Timing {
    double retrieveMs = 0, headMs = 0, blendMs = 0;
  };
  const Timing& timing() const { return timing_; }
  // Retrieval scores every donor with the exact term instead of the pooled
  // short list (a benchmark's reference strategy); off by default.
  void setExactAll(bool on) { exactAll_ = on; }

  struct Pending {
    int frame = 0;
    std::vector<uint8_t> rgb, mask;
    std::vector<int> candidates;
    int sy = 0, sx = 0;
    bool ok = false;
    std::string reason;
  };
  struct RetrieveWork {
    std::vector<float> weight;           // H x W
    std::vector<uint16_t> pooledTarget;  // 3 x H4 x W4
    std::vector<uint16_t> pooledWeight;  // H4 x W4
    float ws = 1, pws = 1e-4f;
    int rowBegin = 0, rowEnd = 0;
    int originY = 0, originX = 0;
    std::vector<uint8_t> target;  // the shifted target window, H x W x 3 bytes
  };

 private:
  void buildIndex();
  void canonicalWindowU8(int k, int sy, int sx, uint8_t* out, uint8_t* cover) const;
  void canonicalWindowF16(int k, uint16_t* out) const;
  bool deriveShift(const uint8_t* mask, std::optional<Shift> given, Pending& p) const;
  void retrievePrepare(const uint8_t* rgb, const uint8_t* mask, int sy, int sx);
  std::vector<int> retrieve(const uint8_t* rgb, const uint8_t* mask, int sy, int sx);
  std::vector<int> retrieveSelect(const std::vector<float>& pooled,
                                  const std::vector<float>& exact) const;
  float exactTermFromBand(int k) const;
  void gatherWindowsU8(const std::vector<int>& D, int sy, int sx,
                       std::vector<std::vector<uint8_t>>& windows,
                       std::vector<std::vector<uint8_t>>& cover) const;
  void emit(const Pending& p, const std::vector<int>* lookahead, FrameResult& result);
  // The steps of emit, in order.
  // Donors for frame p: the held set when p follows the last emitted frame,
  // then the next frame's best, then p's own; at most K.
  std::vector<int> donorSet(const Pending& p, const std::vector<int>* lookahead) const;
  // Windows as planar floats (3 x H x W, values /255).
  std::vector<std::vector<float>> planarWindows(
      const std::vector<std::vector<uint8_t>>& windows) const;
  // Pixels the head may fill: the band, and mouth pixels above it that every donor covers.
  std::vector<uint8_t> blendable(const std::vector<uint8_t>& mask,
                                 const std::vector<std::vector<uint8_t>>& cover) const;
  // The unshifted borrow window of the frame, planar floats.
  std::vector<float> targetWindow(const std::vector<uint8_t>& rgb) const;
  // Synthesis weight over the blendable pixels, per frame and in total.
  void recordSynth(const std::vector<float>& weights, int m, const std::vector<uint8_t>& valid,
                   FrameResult& result);
  // Keeps the hysteresis count of donors that carried the most weight.
  void holdHeaviest(const std::vector<int>& D, const std::vector<float>& weights);
  // Mask-weighted mix of the window and the head's output, as bytes.
  void composite(const std::vector<uint8_t>& mask, const std::vector<float>& target,
                 const std::vector<float>& Y, std::vector<uint8_t>& rgb) const;

  GeometryStamp stamp_;
  ServeConfig cfg_;
  HeadWeights head_;
  int n_ = 0;
  int H_ = 0, W_ = 0, H4_ = 0, W4_ = 0;
  int64_t storedH_ = 0, storedW_ = 0;
  std::vector<uint8_t> donors_;
  std::vector<double> aperture_;
  std::array<double, 2> cCanon_{};
  std::vector<int> dy_, dx_;
  std::vector<uint8_t> band_;    // H x W, 1 inside the band
  std::vector<uint8_t> canon_;   // n x H x W x 3 canonical windows
  std::vector<uint16_t> index_;  // n x 3 x H4 x W4 pooled halves

  std::vector<float> prevWeight_;
  bool hasPrev_ = false;
  Pending held_;
  bool hasHeld_ = false;
  std::vector<int> heldSet_;
  int lastEmitted_ = -2;
  std::vector<int> lastDonors_;
  SynthStats synth_;
  RetrieveWork work_;
  Timing timing_;
  bool exactAll_ = false;
};

}  // namespace tessera
}  // namespace le
