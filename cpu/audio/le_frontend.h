// The process-wide audio frontends that turn 16 kHz audio into 12 x 768
// feature rows per 40 ms frame, and the session helpers they share with the
// streams that use them.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace le {

constexpr int64_t kA2xFrameSamples = 640;
constexpr int64_t kA2xRowValues = 12 * 768;
constexpr int64_t kA2xLegacySamples = 128000;
constexpr int64_t kA2xLegacyFrames = 200;

// The short-window trunk reads 2 s of audio and has 640 channels; its head
// turns this many frames at a time into feature rows.
constexpr int64_t kTrunkWindowSamples = 32000;
constexpr int64_t kTrunkChannels = 640;
constexpr int64_t kHeadFrames = 8;
// Frames between the starts of two legacy windows.
constexpr int64_t kLegacyHop = 100;

// In place: zero mean and unit variance over the whole buffer, accumulated in
// double precision (the frontends and the conditioner share it).
void normalizeAudioWindow(float* x, size_t n);

// Each value rounded to half precision and back: feature rows are kept at the
// precision the frontends compute them in.
void roundThroughHalf(const float* src, float* dst, size_t n);
// Row j of a legacy output [12, 200, 768], layer-major, rounded through half.
void legacyRow(const float* emb, int64_t j, float* row);

// Appends the CUDA provider when LE_A2X_CUDA=1 asks for it (only the "w2v"
// tag unless LE_A2X_CUDA_ALL=1); a failed append leaves the options on the CPU.
void le_a2x_maybe_cuda(Ort::SessionOptions& options, const char* tag);
// Opens a session; a float16 Gelu left behind by the optimiser is retried at
// the basic level, which then stays set on the options.
Ort::Session le_a2x_open_session(Ort::Env& env, const std::string& path,
                                 Ort::SessionOptions& options);
std::string outputName(const Ort::Session& s, size_t i);

// $W2V_ONNX, the legacy model; null when unset or empty.
const char* legacyModelPath();

// The short-window pair: a trunk with a float16 output [1, 640, LT] and a
// head that turns kHeadFrames columns sampled from it into feature rows.
struct ShortWindowFrontend {
  Ort::Session trunk{nullptr};
  Ort::Session head{nullptr};
  std::string trunkOutput;
  // LT as the trunk declares it, or 0 until the first run shows it; streams
  // on several threads may read and set it at once.
  std::atomic<int64_t> length{0};

  // The head's input, kHeadFrames x 640 values rounded through half, for
  // frames [first, first + kHeadFrames) of the legacy frame grid: each
  // frame's column interpolated from the output of a trunk window that
  // starts at sample windowStart. Refuses an output of another type or shape.
  void headInput(const Ort::Value& trunkOut, int64_t first, int64_t windowStart, float* out);
};

// The frontends every stream of the process shares. They are created on first
// use and live until the process ends: never destroyed, so no static
// destructor races the runtime's own shutdown. One lock guards their creation;
// once handed out they are only run, which needs no lock.
class AudioFrontends {
 public:
  static AudioFrontends& process();

  // The legacy session, created once; later calls return it whatever path
  // they name.
  Ort::Session* legacy(const std::string& path, int threads);
  // The short-window pair, or null when it is not deployed or failed to load;
  // the attempt to load it is made once.
  ShortWindowFrontend* shortWindow(int threads, const std::string& legacyPath);
  // The legacy model's output for 8 s of digital silence, computed once.
  const std::vector<float>& silenceEmbedding(Ort::Session& legacy);

 private:
  AudioFrontends() = default;
  Ort::Env& env();

  std::mutex mutex_;
  std::unique_ptr<Ort::Env> env_;
  std::unique_ptr<Ort::Session> legacy_;
  std::unique_ptr<ShortWindowFrontend> shortWindow_;
  bool shortWindowTried_ = false;
  std::vector<float> silence_;
};

}  // namespace le
