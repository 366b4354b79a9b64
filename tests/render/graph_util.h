// Helpers for the graph tests: model bytes, small hand-built models, and
// sessions that run model bytes with the engine's operators registered.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "render/gridsample_fast.h"
#include "support/test_util.h"

namespace graph_test {

using le::onnx::Bytes;

inline Bytes modelBytes(const std::string& key) {
  const std::string s = le_test::readFile(std::string(LE_TEST_MODELS) + "/model_" + key + ".onnx");
  return Bytes(s.begin(), s.end());
}

// A model around hand-built graph fields (opset 17, plus com.velmoor when asked).
inline Bytes makeModel(const Bytes& graph, bool velmoor = false) {
  Bytes m;
  le::onnx::putTag(m, 1, 0);
  le::onnx::putVarint(m, 8);
  Bytes op;
  le::onnx::putBytes(op, 1, "");
  le::onnx::putTag(op, 2, 0);
  le::onnx::putVarint(op, 17);
  le::onnx::putBytes(m, 8, op.data(), op.size());
  if (velmoor) le::onnx::addOpsetImport(m, le::kVelmoorDomain, 1);
  le::onnx::putBytes(m, 7, graph.data(), graph.size());
  return m;
}

inline void input(Bytes& g, const std::string& name, std::vector<int64_t> dims) {
  le::onnx::putTensorValueInfo(g, 11, name, dims.data(), int(dims.size()));
}
inline void output(Bytes& g, const std::string& name, std::vector<int64_t> dims) {
  le::onnx::putTensorValueInfo(g, 12, name, dims.data(), int(dims.size()));
}

inline Ort::Env& env() {
  // Quiet: some tests make a kernel fail on purpose.
  static Ort::Env e(ORT_LOGGING_LEVEL_FATAL, "graph_test");
  return e;
}

// One intra-op thread: the runtime's own pool is opaque to the race checker.
inline Ort::Session session(const Bytes& model) {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(1);
  o.SetInterOpNumThreads(1);
  le::registerGridSampleFast(o);
  return Ort::Session(env(), model.data(), model.size(), o);
}

struct Feed {
  std::string name;
  std::vector<float> data;
  std::vector<int64_t> shape;
};

inline std::vector<float> run(Ort::Session& s, const std::vector<Feed>& feeds,
                              const char* out = "rgb") {
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  std::vector<const char*> names;
  for (auto& f : feeds) {
    values.push_back(Ort::Value::CreateTensor<float>(
        mem, const_cast<float*>(f.data.data()), f.data.size(), f.shape.data(), f.shape.size()));
    names.push_back(f.name.c_str());
  }
  auto outs = s.Run(Ort::RunOptions{nullptr}, names.data(), values.data(), values.size(), &out, 1);
  const float* p = outs[0].GetTensorData<float>();
  return std::vector<float>(p, p + outs[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

inline float maxAbsDiff(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return INFINITY;
  float m = 0.f;
  for (size_t i = 0; i < a.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

}  // namespace graph_test
