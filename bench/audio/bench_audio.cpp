// Audio-to-motion costs per 40 ms frame of audio, on the synthetic audio
// models (tools/gen_audio_models.py), in one run:
//  - a2x/live_short_window: a 20-second clip pushed in 20 ms pieces through
//    an a2x stream whose frontend is the short-window pair (one 2-second
//    trunk window and one 8-frame head run per block of 8 frames), pulling
//    whatever is ready after every push, then finishing;
//  - a2x/batch_legacy: le_a2x_deltas over the same clip, whose frontend is
//    the legacy model (one 8-second window per 100 frames).
// Counters, per frame of audio: frontend_ms (frontend model runs),
// enc_dec_ms (encoder and decoder runs) and engine_us, the stream's own work:
// wall time minus the time inside Session::Run. The goal for engine_us is
// under 1000 (1 ms) per frame.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/le_a2x.h"
#include "le/le.h"
#include "support/test_util.h"

namespace {

constexpr int kFrame = 640;
constexpr int kClipFrames = 500;  // 20 s

std::string audioModel(const std::string& name) {
  return std::string(LE_BENCH_AUDIO_MODELS) + "/" + name;
}

// Speech-like audio: vowels of varying pitch with pauses, on 16-bit levels.
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
      a[size_t(from + i)] = float(std::lround(0.2 * v * 32767) / 32768.0);
    }
  }
  return a;
}

// A motion directory on the generated models, with the short-window pair
// beside the legacy model.
struct Fixture {
  le_test::TempDir dir;
  std::vector<float> audio = speech();
  Fixture() {
    auto link = [](const std::string& target, const std::string& at) {
      if (::symlink(target.c_str(), at.c_str()) != 0) std::perror(at.c_str());
    };
    for (const char* m : {"w2v.onnx", "audio_encoder_fp16_window_trunk.onnx",
                          "audio_encoder_fp16_window_head.onnx", "a2x_dec.onnx"})
      link(audioModel(m), dir / m);
    link(audioModel("a2x_enc_stream.onnx"), dir / "a2x_enc_stream.onnx");
    le_test::writeFile(dir / "a2x_meta.json",
                       "{\"h\": 32, \"window\": 1, \"left\": 4, \"layers\": 2}\n");
    std::vector<float> pos(256 * 32), norm(126, 0.05f), target(50 * 63, 0.f);
    for (size_t i = 0; i < pos.size(); ++i) pos[i] = 0.1f * float(std::sin(0.37 * double(i)));
    le_test::writeVector(dir / "a2x_pos.f32", pos);
    le_test::writeVector(dir / "a2x_norm.f32", norm);
    le_test::writeVector(dir / "xs_target.bin", target);
    ::setenv("W2V_ONNX", (dir / "w2v.onnx").c_str(), 1);
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

// Counters per frame from the totals of all iterations.
void report(benchmark::State& state, double wall, double run, double front, int64_t frames) {
  const double n = double(std::max<int64_t>(frames, 1));
  state.counters["frontend_ms"] = 1e3 * front / n;
  state.counters["enc_dec_ms"] = 1e3 * (run - front) / n;
  state.counters["engine_us"] = 1e6 * (wall - run) / n;
}

void liveShortWindow(benchmark::State& state) {
  Fixture& fx = fixture();
  le_a2x* s = le_a2x_create(fx.dir.path().c_str(), 1);
  if (!s || !le::a2xStats(s).shortWindow) {
    state.SkipWithError(s ? "short-window frontend not deployed" : le_a2x_last_error());
    le_a2x_destroy(s);
    return;
  }
  std::vector<int> idx(64);
  std::vector<float> base(64 * 63), driven(64 * 63);
  double wall = 0, run = 0, front = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    const le::A2xStats before = le::a2xStats(s);
    const auto t0 = std::chrono::steady_clock::now();
    le_a2x_reset(s, 0, 1, 1);
    int64_t pulled = 0;
    for (size_t at = 0; at < fx.audio.size(); at += 320) {
      le_a2x_push(s, fx.audio.data() + at, 320);
      while (le_a2x_avail(s) > 0)
        pulled += le_a2x_pull(s, idx.data(), base.data(), driven.data(), 64);
    }
    le_a2x_finish(s);
    for (int k; (k = le_a2x_pull(s, idx.data(), base.data(), driven.data(), 64)) > 0;) pulled += k;
    const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const le::A2xStats after = le::a2xStats(s);
    if (pulled != kClipFrames) state.SkipWithError("stream lost frames");
    wall += dt;
    run += after.runSeconds - before.runSeconds;
    front += after.frontendSeconds - before.frontendSeconds;
    frames += pulled;
  }
  report(state, wall, run, front, frames);
  le_a2x_destroy(s);
}

void batchLegacy(benchmark::State& state) {
  Fixture& fx = fixture();
  le_a2x* s = le_a2x_create(fx.dir.path().c_str(), 1);
  if (!s) {
    state.SkipWithError(le_a2x_last_error());
    return;
  }
  std::vector<float> deltas(size_t(kClipFrames) * 63);
  double wall = 0, run = 0, front = 0;
  int64_t frames = 0;
  for (auto _ : state) {
    const le::A2xStats before = le::a2xStats(s);
    const auto t0 = std::chrono::steady_clock::now();
    const int n =
        le_a2x_deltas(s, fx.audio.data(), int(fx.audio.size()), deltas.data(), kClipFrames);
    const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const le::A2xStats after = le::a2xStats(s);
    if (n != kClipFrames) state.SkipWithError(le_a2x_last_error());
    wall += dt;
    run += after.runSeconds - before.runSeconds;
    front += after.frontendSeconds - before.frontendSeconds;
    frames += n;
  }
  report(state, wall, run, front, frames);
  le_a2x_destroy(s);
}

BENCHMARK(liveShortWindow)
    ->Name("a2x/live_short_window")
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);
BENCHMARK(batchLegacy)->Name("a2x/batch_legacy")->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
