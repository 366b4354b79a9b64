#include "audio/le_frontend.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "base/le_env.h"
#include "base/le_log.h"
#include "base/le_ort.h"
#include "compute/le_pool.h"
#include "compute/le_simd.h"

namespace le {
namespace {

constexpr int64_t kLayerValues = 768;
constexpr int64_t kTrunkHop = 80;                          // samples per trunk time step
constexpr double kTrunkStepsPerFrame = 8.030150753768844;  // 1598 / 199

const std::pair<const char*, const char*> kPairs[] = {
    {"audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx"},
    {"w2v_trunk32.onnx", "w2v_head32.onnx"},
};

bool canRead(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

long long fileBytes(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

float roundHalf(float v) {
  float out;
  const uint16_t h = f32ToF16(v);
  halfToFloat(&h, &out, 1);
  return out;
}

Ort::SessionOptions frontendOptions(int threads) {
  Ort::SessionOptions o =
      le::ort::sessionOptions(threads < 1 ? pool::threads() : threads, le::ort::Spin::Off);
  le_a2x_maybe_cuda(o, "w2v");
  return o;
}

// The sibling pair beside the legacy model, as (trunk, head); empty if none.
std::pair<std::string, std::string> siblingPair(const std::string& legacyPath) {
  const size_t slash = legacyPath.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : legacyPath.substr(0, slash);
  for (const auto& p : kPairs) {
    const std::string trunk = dir + "/" + p.first, head = dir + "/" + p.second;
    if (canRead(trunk) && canRead(head)) return {trunk, head};
  }
  return {};
}

// The pair named by the environment, else the one beside the legacy model.
std::pair<std::string, std::string> shortWindowPaths(const std::string& legacyPath) {
  const char* trunk = envText("LE_A2X_W2V_WIN_ONNX");
  const char* head = envText("LE_A2X_W2V_HEAD_ONNX");
  if (trunk && head) return {trunk, head};
  if (!legacyPath.empty()) return siblingPair(legacyPath);
  return {};
}

}  // namespace

void normalizeAudioWindow(float* x, size_t n) {
  if (n == 0) return;
  double sum = 0;
  for (size_t i = 0; i < n; ++i) sum += x[i];
  const double mean = sum / double(n);
  double sq = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = double(x[i]) - mean;
    sq += d * d;
  }
  const double var = sq / double(n);
  const float scale = 1.0f / std::sqrt(float(var) + 1e-7f);
  for (size_t i = 0; i < n; ++i) x[i] = float((double(x[i]) - mean) * double(scale));
}

void roundThroughHalf(const float* src, float* dst, size_t n) {
  uint16_t half[1024];
  for (size_t i = 0; i < n; i += 1024) {
    const size_t k = std::min<size_t>(1024, n - i);
    simd::f32ToF16(src + i, half, k);
    simd::f16ToF32(half, dst + i, k);
  }
}

void legacyRow(const float* emb, int64_t j, float* row) {
  for (int64_t l = 0; l < 12; ++l)
    roundThroughHalf(emb + (l * kA2xLegacyFrames + j) * kLayerValues, row + l * kLayerValues,
                     kLayerValues);
}

void le_a2x_maybe_cuda(Ort::SessionOptions& options, const char* tag) {
  if (!envIs("LE_A2X_CUDA", "1")) return;
  if (!envIs("LE_A2X_CUDA_ALL", "1") && std::strcmp(tag, "w2v") != 0) return;
  size_t mib = 3072;
  if (const char* v = le::envValue("LE_A2X_CUDA_MEM_MIB")) {
    const long long m = std::strtoll(v, nullptr, 10);
    if (m > 0 && uint64_t(m) <= std::numeric_limits<size_t>::max() / 1048576) mib = size_t(m);
  }
  try {
    const OrtApi& api = Ort::GetApi();
    OrtCUDAProviderOptionsV2* raw = nullptr;
    Ort::ThrowOnError(api.CreateCUDAProviderOptions(&raw));
    std::unique_ptr<OrtCUDAProviderOptionsV2, void (*)(OrtCUDAProviderOptionsV2*)> cuda(
        raw, [](OrtCUDAProviderOptionsV2* p) { Ort::GetApi().ReleaseCUDAProviderOptions(p); });
    const std::string limit = std::to_string(uint64_t(mib) * 1048576ull);
    const char* keys[] = {"device_id", "arena_extend_strategy", "gpu_mem_limit",
                          "cudnn_conv_use_max_workspace", "use_tf32"};
    const char* values[] = {"0", "kSameAsRequested", limit.c_str(), "0", "0"};
    Ort::ThrowOnError(api.UpdateCUDAProviderOptions(cuda.get(), keys, values, 5));
    options.AppendExecutionProvider_CUDA_V2(*cuda);
    le::log(LogLevel::Info, "le_a2x", "CUDA EP appended (%s, V2: no-max-workspace, mem<=%zuMiB)",
            tag, mib);
  } catch (const std::exception& e) {
    le::log(LogLevel::Warning, "le_a2x", "CUDA EP append failed (%s): %s -- falling back to CPU",
            tag, e.what());
  }
}

Ort::Session le_a2x_open_session(Ort::Env& env, const std::string& path,
                                 Ort::SessionOptions& options) {
  try {
    return Ort::Session(env, path.c_str(), options);
  } catch (const std::exception& e) {
    const std::string text = e.what();
    if (text.find("Gelu") == std::string::npos || text.find("float16") == std::string::npos) throw;
    le::log(LogLevel::Info, "le_a2x",
            "%s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu "
            "this runtime has no CPU kernel for; reopening at ORT_ENABLE_BASIC",
            path.c_str());
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_BASIC);
    return Ort::Session(env, path.c_str(), options);
  }
}

std::string outputName(const Ort::Session& s, size_t i) {
  Ort::AllocatorWithDefaultOptions alloc;
  return s.GetOutputNameAllocated(i, alloc).get();
}

const char* legacyModelPath() {
  return envText("W2V_ONNX");
}

void ShortWindowFrontend::headInput(const Ort::Value& trunkOut, int64_t first, int64_t windowStart,
                                    float* out) {
  auto info = trunkOut.GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16)
    throw std::runtime_error("w2v_win: trunk output is not float16");
  const auto shape = info.GetShape();
  if (shape.size() != 3 || shape[0] != 1 || shape[1] != kTrunkChannels || shape[2] < 1)
    throw std::runtime_error("w2v_win: trunk output is not [1, 640, LT]");
  int64_t lt = length.load();
  if (lt == 0) {
    int64_t expected = 0;
    length.compare_exchange_strong(expected, shape[2]);
    lt = length.load();
  }
  // A trunk shorter than the length it declared would be read past its end.
  if (shape[2] < lt) throw std::runtime_error("w2v_win: trunk output shorter than LT");
  const int64_t stride = shape[2];
  const uint16_t* trunk = static_cast<const uint16_t*>(trunkOut.GetTensorRawData());

  for (int64_t k = 0; k < kHeadFrames; ++k) {
    // Past the first legacy window a frame sits where the legacy window that
    // produces it would put it.
    const int64_t f = first + k;
    int64_t windowAt = 0, inWindow = f;
    if (f > kA2xLegacyFrames - 1) {
      const int64_t v = f / kLegacyHop - 1;
      windowAt = kLegacyHop * v * kA2xFrameSamples;
      inWindow = f - kLegacyHop * v;
    }
    const double p =
        double(windowAt - windowStart) / double(kTrunkHop) + double(inWindow) * kTrunkStepsPerFrame;
    const int64_t i0 = int64_t(std::floor(p));
    if (i0 < 0 || i0 >= lt) throw std::runtime_error("w2v_win: trunk pos out of range");
    const int64_t i1 = std::min(i0 + 1, lt - 1);
    const double t = p - double(i0);
    for (int64_t c = 0; c < kTrunkChannels; ++c) {
      float v0, v1;
      halfToFloat(trunk + c * stride + i0, &v0, 1);
      halfToFloat(trunk + c * stride + i1, &v1, 1);
      const double v = double(v0) * (1.0 - t) + double(v1) * t;
      out[k * kTrunkChannels + c] = roundHalf(float(v));
    }
  }
}

AudioFrontends& AudioFrontends::process() {
  static AudioFrontends* const frontends = new AudioFrontends;
  return *frontends;
}

Ort::Env& AudioFrontends::env() {
  if (!env_) env_ = std::make_unique<Ort::Env>(ORT_LOGGING_LEVEL_WARNING, "le_a2x_w2v");
  return *env_;
}

Ort::Session* AudioFrontends::legacy(const std::string& path, int threads) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (legacy_) return legacy_.get();
  Ort::Env& e = env();
  Ort::SessionOptions options = frontendOptions(threads);
  legacy_ = std::make_unique<Ort::Session>(le_a2x_open_session(e, path, options));
  return legacy_.get();
}

ShortWindowFrontend* AudioFrontends::shortWindow(int threads, const std::string& legacyPath) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shortWindow_) return shortWindow_.get();
  if (shortWindowTried_) return nullptr;
  shortWindowTried_ = true;

  std::string trunkPath, headPath;
  std::tie(trunkPath, headPath) = shortWindowPaths(legacyPath);
  if (trunkPath.empty()) {
    le::log(LogLevel::Warning, "le_a2x",
            "short-window audio frontend NOT DEPLOYED on this plane: neither "
            "LE_A2X_W2V_WIN_ONNX/LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside "
            "$W2V_ONNX (%s) as audio_encoder_fp16_window_{trunk,head}.onnx (legacy "
            "w2v_trunk32.onnx/w2v_head32.onnx). Serving the LEGACY 8s window \xE2\x80\x94 "
            "same reference quality, 2.8-3.9x the audio hop cost. Ship the pair beside the "
            "encoder (tools/export_w2v_window.py).",
            legacyPath.c_str());
    return nullptr;
  }

  try {
    Ort::Env& e = env();
    Ort::SessionOptions options = frontendOptions(threads);
    auto pair = std::make_unique<ShortWindowFrontend>();
    pair->trunk = le_a2x_open_session(e, trunkPath, options);
    pair->head = le_a2x_open_session(e, headPath, options);
    pair->trunkOutput = outputName(pair->trunk, 0);
    const auto shape = pair->trunk.GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    pair->length = shape.size() == 3 && shape[2] > 0 ? shape[2] : 0;
    const int64_t lt = pair->length;
    const std::string ltText = lt > 0 ? std::to_string(lt) : "from-first-run";
    le::log(LogLevel::Info, "le_a2x",
            "short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s "
            "(%lld B)",
            ltText.c_str(), trunkPath.c_str(), fileBytes(trunkPath), headPath.c_str(),
            fileBytes(headPath));
    shortWindow_ = std::move(pair);
    return shortWindow_.get();
  } catch (const std::exception& e) {
    le::log(LogLevel::Warning, "le_a2x",
            "short-window w2v load FAILED (%s) \xE2\x80\x94 legacy 8s path", e.what());
    return nullptr;
  }
}

const std::vector<float>& AudioFrontends::silenceEmbedding(Ort::Session& legacy) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (silence_.empty()) {
    std::vector<float> zeros(kA2xLegacySamples, 0.f);
    const int64_t shape[2] = {1, kA2xLegacySamples};
    Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::Value in = Ort::Value::CreateTensor<float>(mem, zeros.data(), zeros.size(), shape, 2);
    const char* inName = "input_values";
    const char* outName = "audio_emb";
    auto out = legacy.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
    const size_t n = out[0].GetTensorTypeAndShapeInfo().GetElementCount();
    if (n != size_t(12 * kA2xLegacyFrames * kLayerValues))
      throw std::runtime_error("w2v: audio_emb has " + std::to_string(n) +
                               " values, expected 12 x 200 x 768");
    const float* p = out[0].GetTensorData<float>();
    silence_.assign(p, p + n);
  }
  return silence_;
}

}  // namespace le
