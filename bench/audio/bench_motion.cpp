// The motion generator on the synthetic motion directory
// (tools/gen_motion_models.py):
//  - motion/live: a 20-second clip pushed in 20 ms pieces, pulling whatever
//    is ready after every push, then finishing. Counters per 40 ms frame of
//    audio: model_ms (the three networks' Session::Run time) and engine_us,
//    the generator's own work (front end, smoothing, cross-fade, emit): wall
//    time minus the time inside Session::Run. The goal for engine_us is
//    under 1000 (1 ms) per frame.
//  - logmel/fftw and logmel/direct_dft: the log-mel front end of one 5-frame
//    window (21 spectra of 512 points) through the FFT library, and the same
//    with a straightforward DFT (precomputed twiddles); compare their times
//    for the ratio.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/le_motion.h"
#include "le/le.h"

namespace {

constexpr int kFrame = 640;
constexpr int kClipFrames = 500;  // 20 s

std::string member(const std::string& name) {
  return std::string(LE_BENCH_MOTION_DIR) + "/" + name;
}

std::vector<float> floats(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<float> v(bytes.size() / 4);
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * 4);
  return v;
}

// Vowels of varying pitch with pauses.
std::vector<float> speech() {
  std::vector<float> a(size_t(kClipFrames) * kFrame, 0.f);
  for (int seg = 0; seg < kClipFrames / 25; ++seg) {
    const int from = seg * 25 * kFrame, n = 18 * kFrame;
    const double f0 = 110 + 15 * (seg % 5);
    for (int i = 0; i < n; ++i) {
      double v = 0;
      for (int k = 1; k <= 12; ++k)
        v += std::exp(-std::pow((k * f0 - 700) / 300, 2)) *
             std::sin(2 * M_PI * k * f0 * i / 16000.0);
      a[size_t(from + i)] = float(0.2 * v);
    }
  }
  return a;
}

void BM_MotionLive(benchmark::State& state) {
  le_motion* m = le_motion_create(LE_BENCH_MOTION_DIR, 1, nullptr);
  if (!m) {
    state.SkipWithError(le_motion_last_error());
    return;
  }
  const std::vector<float> audio = speech();
  std::vector<int> idx(kClipFrames);
  std::vector<float> base(size_t(kClipFrames) * 63), driven(base.size());
  double wall = 0, inRun = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    le_motion_reset(m, 0, 1, 1);
    const le::MotionStats before = le::motionStats(m);
    const auto t0 = std::chrono::steady_clock::now();
    int pulled = 0;
    for (size_t at = 0; at < audio.size(); at += kFrame / 2) {
      le_motion_push(m, audio.data() + at, kFrame / 2);
      const int n = le_motion_avail(m);
      if (n > 0) pulled += le_motion_pull(m, idx.data(), base.data(), driven.data(), n);
    }
    le_motion_finish(m);
    while (const int n = le_motion_avail(m))
      pulled += le_motion_pull(m, idx.data(), base.data(), driven.data(), n);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    inRun += le::motionStats(m).runSeconds - before.runSeconds;
    frames += pulled;
    if (pulled != kClipFrames) state.SkipWithError("not every frame came out");
  }
  le_motion_destroy(m);
  state.counters["model_ms"] = 1e3 * inRun / double(frames);
  state.counters["engine_us"] = 1e6 * (wall - inRun) / double(frames);
}
BENCHMARK(BM_MotionLive)->Name("motion/live")->Unit(benchmark::kMillisecond)->Iterations(3);

struct FrontEnd {
  std::vector<float> window = floats(member("hubert_stft_window.bin"));
  std::vector<float> binmat = floats(member("hubert_stft_binmat.bin"));
  std::vector<float> clip = speech();
  std::vector<float> samples =
      std::vector<float>(clip.begin() + 20000, clip.begin() + 20000 + le::kMotionWindowSamples);
  std::vector<float> out = std::vector<float>(80 * 21);
};

void BM_LogMelFftw(benchmark::State& state) {
  FrontEnd f;
  for (auto _ : state) {
    le::motionLogMel(f.samples.data(), f.window.data(), f.binmat.data(), f.out.data());
    benchmark::DoNotOptimize(f.out.data());
  }
}
BENCHMARK(BM_LogMelFftw)->Name("logmel/fftw")->Unit(benchmark::kMicrosecond);

void BM_LogMelDirectDft(benchmark::State& state) {
  FrontEnd f;
  std::vector<float> cosT(512 * 257), sinT(512 * 257);
  for (int k = 0; k < 257; ++k)
    for (int n = 0; n < 512; ++n) {
      cosT[size_t(k * 512 + n)] = float(std::cos(2 * M_PI * k * n / 512));
      sinT[size_t(k * 512 + n)] = float(std::sin(2 * M_PI * k * n / 512));
    }
  std::vector<float> padded(6992), frame(512), mag(257);
  for (auto _ : state) {
    const float* x = f.samples.data();
    for (int i = 0; i < 256; ++i) {
      padded[size_t(i)] = x[256 - i];
      padded[size_t(256 + 6480 + i)] = x[6478 - i];
    }
    std::copy_n(x, 6480, padded.data() + 256);
    for (int t = 0; t < 21; ++t) {
      for (int n = 0; n < 512; ++n)
        frame[size_t(n)] = padded[size_t(320 * t + n)] * f.window[size_t(n)];
      for (int k = 0; k < 257; ++k) {
        float re = 0, im = 0;
        for (int n = 0; n < 512; ++n) {
          re += frame[size_t(n)] * cosT[size_t(k * 512 + n)];
          im -= frame[size_t(n)] * sinT[size_t(k * 512 + n)];
        }
        mag[size_t(k)] = std::sqrt(re * re + im * im);
      }
      for (int b = 0; b < 80; ++b) {
        float e = 0;
        for (int k = 0; k < 257; ++k) e += mag[size_t(k)] * f.binmat[size_t(k * 80 + b)];
        f.out[size_t(b * 21 + t)] = std::log(e + 1e-8f);
      }
    }
    benchmark::DoNotOptimize(f.out.data());
  }
}
BENCHMARK(BM_LogMelDirectDft)->Name("logmel/direct_dft")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
