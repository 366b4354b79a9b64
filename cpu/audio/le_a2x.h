// Streaming audio-to-expression (le_a2x) and the process-wide audio frontends
// that turn 16 kHz audio into 12 x 768 feature rows per 40 ms frame.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "le/le.h"

namespace le {

constexpr int64_t kA2xFrameSamples = 640;
constexpr int64_t kA2xRowValues = 12 * 768;
constexpr int64_t kA2xLegacySamples = 128000;
constexpr int64_t kA2xLegacyFrames = 200;

// In place: zero mean and unit variance over the whole buffer, accumulated in
// double precision (the frontends and the conditioner share it).
void normalizeAudioWindow(float* x, size_t n);

// Process-wide frontends. The legacy session is created once; later calls
// return it whatever path they name.
Ort::Session* get_shared_w2v(const std::string& path, int threads);
// True when the short-window trunk and head are loaded; the attempt to load
// them is made once per process.
bool get_shared_w2v_win(int threads, const std::string& w2vPath);

// Appends the CUDA provider when LE_A2X_CUDA=1 asks for it (only the "w2v"
// tag unless LE_A2X_CUDA_ALL=1); a failed append leaves the options on the CPU.
void le_a2x_maybe_cuda(Ort::SessionOptions& options, const char* tag);
// Opens a session; a float16 Gelu left behind by the optimiser is retried at
// the basic level, which then stays set on the options.
Ort::Session le_a2x_open_session(Ort::Env& env, const std::string& path,
                                 Ort::SessionOptions& options);

// The settings of a2x_meta.json. Refuses a meta without the causal window
// and left context, a width below 1 and a negative layer count, with the
// message le_a2x_create reports.
struct A2xMeta {
  int h = 256;
  int window = -1;
  int left = -1;
  int64_t layers = 6;
  int width = 0;  // the "width" flag, 0 or 1
  long long silencePrime = 0;
};
A2xMeta readA2xMeta(const std::string& text);

// Introspection for tests and benchmarks.
struct A2xStats {
  bool shortWindow = false;
  const Ort::Session* frontend = nullptr;  // the shared legacy session
  int64_t runs = 0;                        // Session::Run calls of this stream
  double runSeconds = 0;                   // time spent inside them
  double frontendSeconds = 0;              // the part of it in frontend models
  int64_t featureRows = 0, encoded = 0, decoded = 0, pulled = 0;
  const float* features = nullptr;  // featureRows rows of kA2xRowValues, until the next call
};
A2xStats a2xStats(const le_a2x* s);

}  // namespace le
