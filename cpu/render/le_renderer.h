// The ONNX Runtime session that renders the face crop from keypoints.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "le/le.h"  // LE_API

namespace le {

struct Manifest;
class Identity;

// Guesses the source frame the next render asks for from the walk so far:
// a step of +1 or -1 that wraps around (a loop) once the walk has been seen
// to go from the last frame to the first, and bounces at both ends before
// (a back-and-forth walk).
struct SourcePredictor {
  int last = -1;
  int step = 1;
  bool wrap = false;

  // Records source s of `frames` and returns the prediction for the next one.
  int next(int s, int frames);
};

class LE_API Renderer {
 public:
  // model names the member "model_" + model + ".onnx"; threads < 1 uses the
  // engine's thread budget; ep is "", "coreml[<sep><unit>]" or "neon".
  // The identity must outlive the renderer. Throws std::runtime_error.
  Renderer(const Manifest& manifest, Identity& identity, const std::string& model, int threads,
           const std::string& ep);
  ~Renderer();
  Renderer(const Renderer&) = delete;
  Renderer& operator=(const Renderer&) = delete;

  // n in [1, batch()] items: source frame indices, source and driving
  // keypoint sets of 63 floats each. Returns batch() crops of 3 x C x C
  // floats (R, G, B planes), valid until the next call; a partial batch is
  // padded with its last item.
  const float* render(const int* sourceIndex, const float* kpSource, const float* kpDriving, int n);

  // Ends a render in progress on another thread (that call throws); a render
  // that starts afterwards runs normally. For hosts that no longer want the
  // frame being made, such as a session that was interrupted.
  void cancel();

  int batch() const;
  // "cpu" for the default CPU provider, else the ep that was used.
  const std::string& ep() const;
  std::string backend() const;
  const std::string& directorNote() const;
  // Hits and misses of the source-cone ring (both 0 without the hoist).
  std::pair<uint64_t, uint64_t> ringCounts() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace le
