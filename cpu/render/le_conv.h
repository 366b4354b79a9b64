// Selection hook for a native half-precision convolution backend that can
// serve one particular render graph (the fused m4b director) instead of ONNX
// Runtime. This build carries no such backend; what remains is the
// recogniser that tells from the model file alone whether a model is that
// graph.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace le {

// An initializer whose name changes between exports, found by its shape.
struct M4bDrifting {
  const char* usualName;
  std::vector<int64_t> dims;
};

// Initializer names with their dims, in file order.
using TensorShapes = std::vector<std::pair<std::string, std::vector<int64_t>>>;

class ConvBackend {
 public:
  virtual ~ConvBackend() = default;

  // False in this build.
  static bool available();
  // Throws std::runtime_error "le_conv: built without NEON fp16 support".
  static std::unique_ptr<ConvBackend> create(const std::string& modelPath, int threads);
  // True only for the fused m4b graph; false on any failure.
  static bool graphSupported(const std::string& modelPath);

  // The renderer's one question about this backend. A request for it (ep
  // "neon", or no ep and $LE_CONV_BACKEND=neon) is answered here: ep is
  // cleared and the line saying why ONNX Runtime serves instead is written.
  // Any other ep is left alone.
  static void answerRequest(std::string& ep, const std::string& modelPath, int crop);
};

}  // namespace le
