#include "base/le_ort.h"

#include "base/le_env.h"

namespace le {

std::string coremlCacheDir(const std::string& dir) {
  const char* v = OrtGetApiBase()->GetVersionString();
  return dir + "/.coreml_cache/ort" + (v && *v ? v : "unknown");
}

namespace ort {

Ort::SessionOptions sessionOptions(int threads, Spin spin) {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads);
  o.SetInterOpNumThreads(1);
  o.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  if (spin == Spin::Off || (spin == Spin::FromEnv && !envFirstIs("LE_ORT_SPIN", '1')))
    o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  return o;
}

void appendCoreml(Ort::SessionOptions& options, const std::string& ep,
                  const std::string& cacheRoot) {
  const std::string unit = ep.size() > 7 ? ep.substr(7) : "all";
  const char* units = unit == "cpu"   ? "CPUOnly"
                      : unit == "gpu" ? "CPUAndGPU"
                      : unit == "ane" ? "CPUAndNeuralEngine"
                                      : "ALL";
  options.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                             {"MLComputeUnits", units},
                                             {"ModelCacheDirectory", coremlCacheDir(cacheRoot)}});
}

}  // namespace ort
}  // namespace le
