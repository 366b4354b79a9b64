// How every model of the engine opens in ONNX Runtime: one set of session
// options, so the renderer and the audio models cannot drift apart on
// threads, optimisation or spinning.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <string>

namespace le {
namespace ort {

// Whether ONNX Runtime's intra-op threads may spin while they wait.
enum class Spin {
  Off,      // never: the engine's own threads need the cores between calls
  FromEnv,  // off unless LE_ORT_SPIN starts with '1'
  Default,  // the runtime's own choice
};

// `threads` intra-op threads (the caller resolves its default), one inter-op
// thread, every graph optimisation.
Ort::SessionOptions sessionOptions(int threads, Spin spin);

// Appends the CoreML provider for an ep of the form "coreml[-cpu|-gpu|-ane]",
// its compiled models cached under coremlCacheDir(cacheRoot).
void appendCoreml(Ort::SessionOptions& options, const std::string& ep,
                  const std::string& cacheRoot);

}  // namespace ort

// dir + "/.coreml_cache/ort" + the runtime's version ("unknown" without one).
std::string coremlCacheDir(const std::string& dir);

}  // namespace le
