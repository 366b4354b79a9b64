#include "audio/le_vad.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/le_ort.h"

namespace le {
namespace {

constexpr int64_t kWindow = kVadContext + kVadChunk;
constexpr int64_t kSampleRate = 16000;

// A port as this engine feeds or reads it; the file's dimension may also be
// symbolic.
struct Port {
  const char* name;
  ONNXTensorElementDataType type;
  std::vector<int64_t> dims;
};

const Port kInputs[] = {
    {"input", ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, {1, kWindow}},
    {"state", ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, {kVadStateRows, 1, kVadStateWidth}},
    {"sr", ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64, {}},
};
const Port kOutputs[] = {
    {"output", ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, {1, 1}},
    {"stateN", ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, {kVadStateRows, 1, kVadStateWidth}},
};

std::string typeName(ONNXTensorElementDataType t) {
  if (t == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) return "float32";
  if (t == ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64) return "int64";
  return "element type " + std::to_string(int(t));
}

std::string describe(ONNXTensorElementDataType t, const std::vector<int64_t>& dims) {
  std::string s = typeName(t) + " [";
  for (size_t i = 0; i < dims.size(); ++i)
    s += (i ? ", " : "") + (dims[i] < 0 ? std::string("?") : std::to_string(dims[i]));
  return s + "]";
}

// Empty when the file's ports are those of `want` (same names, in any order),
// else what differs.
std::string mismatch(const char* kind, size_t count, const Port* want, size_t wantCount,
                     const std::function<std::string(size_t)>& nameOf,
                     const std::function<Ort::TypeInfo(size_t)>& typeOf) {
  std::vector<std::string> names;
  std::string listed, wanted;
  for (size_t i = 0; i < count; ++i) {
    names.push_back(nameOf(i));
    // The names come from the file: the message quotes only the first few.
    if (listed.size() < 200)
      listed += (i ? ", " : "") + names.back().substr(0, 64);
    else if (i + 1 == count)
      listed += ", ...";
  }
  for (size_t i = 0; i < wantCount; ++i) wanted += (i ? ", " : "") + std::string(want[i].name);
  if (count != wantCount)
    return std::string("its ") + kind + "s are " + listed + "; expected " + wanted;
  for (const Port* p = want; p != want + wantCount; ++p) {
    const auto at = std::find(names.begin(), names.end(), p->name);
    if (at == names.end())
      return std::string("it has no ") + kind + " '" + p->name + "' (its " + kind + "s are " +
             listed + ")";
    const Ort::TypeInfo info = typeOf(size_t(at - names.begin()));
    const std::string expected = describe(p->type, p->dims);
    if (info.GetONNXType() != ONNX_TYPE_TENSOR)
      return std::string(kind) + " '" + p->name + "' is not a tensor, expected " + expected;
    const auto tensor = info.GetTensorTypeAndShapeInfo();
    const std::vector<int64_t> dims = tensor.GetShape();
    bool same = tensor.GetElementType() == p->type && dims.size() == p->dims.size();
    for (size_t d = 0; same && d < dims.size(); ++d) same = dims[d] < 0 || dims[d] == p->dims[d];
    if (!same)
      return std::string(kind) + " '" + p->name + "' is " +
             describe(tensor.GetElementType(), dims) + ", expected " + expected;
  }
  return "";
}

}  // namespace

Vad::Vad(const std::string& path) : path_(path) {
  // One thread and no spinning: the network is tiny and runs beside live sessions.
  const Ort::SessionOptions options = ort::sessionOptions(1, ort::Spin::Off);
  try {
    session_ = Ort::Session(env_, path.c_str(), options);
  } catch (const std::exception& e) {
    throw std::runtime_error(path + ": cannot open as an ONNX model: " + e.what());
  }
  Ort::AllocatorWithDefaultOptions alloc;
  std::string why = mismatch(
      "input", session_.GetInputCount(), kInputs, std::size(kInputs),
      [&](size_t i) { return std::string(session_.GetInputNameAllocated(i, alloc).get()); },
      [&](size_t i) { return session_.GetInputTypeInfo(i); });
  if (why.empty())
    why = mismatch(
        "output", session_.GetOutputCount(), kOutputs, std::size(kOutputs),
        [&](size_t i) { return std::string(session_.GetOutputNameAllocated(i, alloc).get()); },
        [&](size_t i) { return session_.GetOutputTypeInfo(i); });
  if (!why.empty()) throw std::runtime_error(path + " is not the Silero VAD v5 network: " + why);
  memory_ = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
}

void Vad::reset() {
  input_.fill(0.f);
  state_.fill(0.f);
}

float Vad::chance(const float* samples) {
  for (int i = 0; i < kVadChunk; ++i) {
    if (!std::isfinite(samples[i]))
      throw std::runtime_error("sample " + std::to_string(i) + " of the chunk is not finite");
    input_[size_t(kVadContext + i)] = std::clamp(samples[i], -1.f, 1.f);
  }
  const int64_t inShape[2] = {1, kWindow};
  const int64_t stateShape[3] = {kVadStateRows, 1, kVadStateWidth};
  const int64_t outShape[2] = {1, 1};
  int64_t rate = kSampleRate;
  float out = -1.f;
  Ort::Value in[3] = {
      Ort::Value::CreateTensor<float>(memory_, input_.data(), input_.size(), inShape, 2),
      Ort::Value::CreateTensor<float>(memory_, state_.data(), state_.size(), stateShape, 3),
      Ort::Value::CreateTensor<int64_t>(memory_, &rate, 1, nullptr, 0)};
  Ort::Value res[2] = {
      Ort::Value::CreateTensor<float>(memory_, &out, 1, outShape, 2),
      Ort::Value::CreateTensor<float>(memory_, next_.data(), next_.size(), stateShape, 3)};
  const char* inNames[3] = {"input", "state", "sr"};
  const char* outNames[2] = {"output", "stateN"};
  try {
    session_.Run(Ort::RunOptions{nullptr}, inNames, in, 3, outNames, res, 2);
  } catch (const std::exception& e) {
    throw std::runtime_error(path_ + ": " + e.what());
  }
  // A broken result must not become the next call's state.
  if (!(out >= 0.f && out <= 1.f))
    throw std::runtime_error(path_ + ": the network returned " + std::to_string(out) +
                             ", not a chance");
  state_ = next_;
  std::copy(input_.end() - kVadContext, input_.end(), input_.begin());
  return out;
}

}  // namespace le
