// The motion generator (le_motion): log-mel front end, speech-feature
// network, chunked motion network and per-frame keypoint emit.
#pragma once

#include <cstdint>
#include <string>

#include "le/le.h"

namespace le {

constexpr int kMotionDim = 265;    // scale - 1, three 66-bin angles, translation, expression
constexpr int kMotionPose = 202;   // the smoothed part of a motion vector
constexpr int kMotionCond = 1103;  // speech features, emotion, eyes, character
constexpr int kMotionFeat = 1024;
constexpr int kMotionSrcRow = 328;
constexpr int kMotionWindowSamples = 6480;  // 2000 before a 5-frame window, 4480 from it
constexpr int kMotionMelBands = 80;
constexpr int kMotionMelFrames = 21;
constexpr int kMotionFftBins = 257;

// |FFT| of 512 samples (257 bins) through the kept FFT library; its plan
// and buffers belong to the calling thread.
void motionSpectrum(const float* frame512, float* mag257);

// 6480 samples -> 80 x 21 log-mel values (band-major): reflect padding of
// 256 at each end, 21 frames of hop 320 under the 512-value window, |FFT|,
// the 257 x 80 mel matrix, log(energy + 1e-8).
void motionLogMel(const float* samples, const float* window512, const float* binmat,
                  float* out1680);

// Angle in degrees from a 66-bin distribution: softmax, 3 x E[bin] - 97.5.
float motionBin66(const float* logits);

// Emits one frame from a motion vector for corpus index `index`, exactly as
// a pull does (the first emit after a reset sets the expression reference),
// without touching the walk or the frame count. Throws std::runtime_error.
void motionEmit(le_motion* m, const float* motion, int index, float* base, float* driven);

// The settings of a motion directory's meta.json; a missing or malformed
// value is refused with a runtime error naming its key.
struct MotionMeta {
  int nt = 0, nSrc = 0, nEmo = 0;
  float sBridge = 0, deltaPitch = 0;
};
MotionMeta readMotionMeta(const std::string& text);

// Introspection for benchmarks: the three networks' runs and the time spent
// inside them, and the smoothed cost of a provisional advance.
struct MotionStats {
  int64_t runs = 0;
  double runSeconds = 0;
  double eagerCostMs = 0;
};
MotionStats motionStats(const le_motion* m);

}  // namespace le
