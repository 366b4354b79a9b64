// Voice activity: the Silero VAD v5 network run on 32 ms chunks of 16 kHz
// mono audio, for hosts that must find where a live speaker starts and stops.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <array>
#include <string>

namespace le {

constexpr int kVadChunk = 512;    // samples of one call: 32 ms at 16 kHz
constexpr int kVadContext = 64;   // samples of the previous chunk the network sees again
constexpr int kVadStateRows = 2;  // the network's recurrent state is 2 x 1 x 128
constexpr int kVadStateWidth = 128;

// One audio stream's detector. Not for two threads at once: the state
// belongs to the stream.
class Vad {
 public:
  // Opens the network at path; throws std::runtime_error naming the file and
  // what differs when it cannot be read or is not this network.
  explicit Vad(const std::string& path);
  Vad(const Vad&) = delete;
  Vad& operator=(const Vad&) = delete;

  // The chance (0..1) that kVadChunk samples, following those of the previous
  // call, hold speech. Samples beyond [-1, 1] are clipped; a sample that is
  // not finite is refused (throws) and the stream's state stays as it was.
  float chance(const float* samples);
  // A new stream: state and context back to zero.
  void reset();

 private:
  std::string path_;
  Ort::Env env_{ORT_LOGGING_LEVEL_WARNING, "le_vad"};
  Ort::Session session_{nullptr};
  Ort::MemoryInfo memory_{nullptr};
  std::array<float, kVadContext + kVadChunk> input_{};  // context, then the chunk
  std::array<float, kVadStateRows * kVadStateWidth> state_{}, next_{};
};

}  // namespace le
