// The motion generator's log-mel front end on the kept FFT library.
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include "audio/le_motion_generator.h"

namespace le {
namespace {

using motion::fail;

constexpr int kFft = 512;
constexpr int kHop = 320;
constexpr int kPad = 256;

// The planner of FFTW is not thread-safe; executing a plan is.
std::mutex& fftwPlannerMutex() {
  static std::mutex m;
  return m;
}

struct FftWork {
  float* in = nullptr;
  fftwf_complex* out = nullptr;
  fftwf_plan plan = nullptr;
  FftWork() {
    std::lock_guard<std::mutex> lock(fftwPlannerMutex());
    in = fftwf_alloc_real(kFft);
    out = fftwf_alloc_complex(kFft / 2 + 1);
    if (in && out) plan = fftwf_plan_dft_r2c_1d(kFft, in, out, FFTW_ESTIMATE);
  }
  ~FftWork() {
    std::lock_guard<std::mutex> lock(fftwPlannerMutex());
    if (plan) fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
  }
  FftWork(const FftWork&) = delete;
  FftWork& operator=(const FftWork&) = delete;
};

FftWork& fftWork() {
  thread_local FftWork work;
  if (!work.plan) fail("le_motion: FFT plan failed");
  return work;
}

}  // namespace

void motionSpectrum(const float* frame512, float* mag257) {
  FftWork& w = fftWork();
  std::copy_n(frame512, kFft, w.in);
  fftwf_execute(w.plan);
  for (int k = 0; k < kMotionFftBins; ++k)
    mag257[k] = std::sqrt(w.out[k][0] * w.out[k][0] + w.out[k][1] * w.out[k][1]);
}

void motionLogMel(const float* samples, const float* window512, const float* binmat,
                  float* out1680) {
  thread_local std::vector<float> padded(kMotionWindowSamples + 2 * kPad);
  thread_local std::vector<float> frame(kFft), mag(kMotionFftBins);
  const int n = kMotionWindowSamples;
  for (int i = 0; i < kPad; ++i) {
    padded[size_t(i)] = samples[kPad - i];
    padded[size_t(kPad + n + i)] = samples[n - 2 - i];
  }
  std::copy_n(samples, n, padded.data() + kPad);
  float mel[kMotionMelBands];
  for (int t = 0; t < kMotionMelFrames; ++t) {
    const float* x = padded.data() + size_t(t) * kHop;
    for (int i = 0; i < kFft; ++i) frame[size_t(i)] = x[i] * window512[i];
    motionSpectrum(frame.data(), mag.data());
    std::fill(mel, mel + kMotionMelBands, 0.f);
    for (int k = 0; k < kMotionFftBins; ++k) {
      const float m = mag[size_t(k)];
      const float* row = binmat + size_t(k) * kMotionMelBands;
      for (int b = 0; b < kMotionMelBands; ++b) mel[b] += m * row[b];
    }
    for (int b = 0; b < kMotionMelBands; ++b)
      out1680[b * kMotionMelFrames + t] = std::log(mel[b] + 1e-8f);
  }
}

}  // namespace le
