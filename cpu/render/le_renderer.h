// The ONNX Runtime session that renders the face crop from keypoints.
#pragma once

#include <memory>
#include <string>

namespace le {

struct Manifest;
class Identity;

// dir + "/.coreml_cache/ort" + the runtime's version ("unknown" without one).
std::string coremlCacheDir(const std::string& dir);

class Renderer {
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

  int batch() const;
  // "cpu" for the default CPU provider, else the ep that was used.
  const std::string& ep() const;
  std::string backend() const;
  const std::string& directorNote() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace le
