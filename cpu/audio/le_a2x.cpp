#include "audio/le_a2x.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "bundle/le_bundle.h"
#include "bundle/le_imx.h"
#include "compute/le_pool.h"
#include "compute/le_simd.h"

namespace le {
namespace {

constexpr int64_t kFrame = kA2xFrameSamples;
constexpr int64_t kBlockFrames = 8;
constexpr int64_t kBlockSamples = kBlockFrames * kFrame;
constexpr int64_t kLayerValues = 768;
constexpr int64_t kKp = 63;
constexpr int64_t kLegacyHop = 100;
constexpr int64_t kWinSamples = 32000;
constexpr int64_t kTrunkChannels = 640;
constexpr int64_t kTrunkHop = 80;                          // samples per trunk time step
constexpr double kTrunkStepsPerFrame = 8.030150753768844;  // 1598 / 199
constexpr int64_t kStreamChunk = 64;
constexpr int64_t kBatchChunk = 24;
constexpr int64_t kPrimeMax = 200;

// ---------------------------------------------------------------------------
// Process-wide frontend state. Sessions live until the process ends: they are
// shared by every stream and never destroyed, so no static destructor races
// the runtime's own shutdown.

std::mutex g_w2v_mtx;
Ort::Env* g_w2v_env = nullptr;
Ort::Session* g_w2v_session = nullptr;
Ort::Session* g_w2vwin_trunk = nullptr;
Ort::Session* g_w2vwin_head = nullptr;
bool g_w2vwin_tried = false;
std::string g_w2vwin_trunk_out;
// Learnt from the first trunk run when the model does not declare it; streams
// on several threads may read and set it at once.
std::atomic<int64_t> g_w2vwin_LT{0};
std::vector<float> g_zeroemb;
std::mutex g_zeroemb_mtx;

const std::pair<const char*, const char*> kPairs[] = {
    {"audio_encoder_fp16_window_trunk.onnx", "audio_encoder_fp16_window_head.onnx"},
    {"w2v_trunk32.onnx", "w2v_head32.onnx"},
};

std::string& a2xError() {
  thread_local std::string error;
  return error;
}

// A refusal whose text is already the full last-error message.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

bool envIs(const char* name, const char* value) {
  const char* v = std::getenv(name);
  return v && std::strcmp(v, value) == 0;
}

const char* envNonEmpty(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? v : nullptr;
}

bool canRead(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

long long w2v_file_bytes(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Whole file as raw float32; empty when it cannot be read in full.
std::vector<float> readFloats(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return {};
  struct stat st;
  std::vector<float> v;
  if (::fstat(::fileno(f), &st) == 0 && S_ISREG(st.st_mode)) {
    v.resize(size_t(st.st_size) / sizeof(float));
    if (std::fread(v.data(), sizeof(float), v.size(), f) != v.size()) v.clear();
  }
  std::fclose(f);
  return v;
}

std::string readMeta(const std::string& path) {
  std::string text;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return text;
  char buf[4096];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, got);
  std::fclose(f);
  return text;
}

// Position just behind the colon that follows the first "key", or npos.
size_t metaValue(const std::string& text, const char* key) {
  const std::string quoted = std::string("\"") + key + "\"";
  const size_t at = text.find(quoted);
  if (at == std::string::npos) return at;
  const size_t colon = text.find(':', at + quoted.size());
  return colon == std::string::npos ? colon : colon + 1;
}

int metaInt(const std::string& text, const char* key, int fallback) {
  const size_t at = metaValue(text, key);
  if (at == std::string::npos) return fallback;
  const long long v = std::strtoll(text.c_str() + at, nullptr, 10);
  return int(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

int metaTruth(const std::string& text, const char* key) {
  size_t at = metaValue(text, key);
  if (at == std::string::npos) return 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (text.compare(at, 4, "true") == 0) return 1;
  if (text.compare(at, 5, "false") == 0) return 0;
  return std::strtoll(text.c_str() + at, nullptr, 10) != 0 ? 1 : 0;
}

// Each value rounded to half precision and back.
void roundThroughHalf(const float* src, float* dst, size_t n) {
  uint16_t half[1024];
  for (size_t i = 0; i < n; i += 1024) {
    const size_t k = std::min<size_t>(1024, n - i);
    simd::f32ToF16(src + i, half, k);
    simd::f16ToF32(half, dst + i, k);
  }
}

float roundHalf(float v) {
  float out;
  const uint16_t h = f32ToF16(v);
  halfToFloat(&h, &out, 1);
  return out;
}

// Row j of a legacy output [12, 200, 768], layer-major, rounded through half.
void legacyRow(const float* emb, int64_t j, float* row) {
  for (int64_t l = 0; l < 12; ++l)
    roundThroughHalf(emb + (l * kA2xLegacyFrames + j) * kLayerValues, row + l * kLayerValues,
                     kLayerValues);
}

Ort::SessionOptions frontendOptions(int threads) {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads < 1 ? pool::threads() : threads);
  o.SetInterOpNumThreads(1);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  o.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  le_a2x_maybe_cuda(o, "w2v");
  return o;
}

Ort::Env& frontendEnv() {
  if (!g_w2v_env) g_w2v_env = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "le_a2x_w2v");
  return *g_w2v_env;
}

std::string outputName(const Ort::Session& s, size_t i) {
  Ort::AllocatorWithDefaultOptions alloc;
  return s.GetOutputNameAllocated(i, alloc).get();
}

// The sibling pair beside the legacy model, as (trunk, head); empty if none.
std::pair<std::string, std::string> w2v_win_sibling_pair(const std::string& w2vPath) {
  const size_t slash = w2vPath.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : w2vPath.substr(0, slash);
  for (const auto& p : kPairs) {
    const std::string trunk = dir + "/" + p.first, head = dir + "/" + p.second;
    if (canRead(trunk) && canRead(head)) return {trunk, head};
  }
  return {};
}

// The legacy model's output for 8 s of digital silence, computed once.
const std::vector<float>& silenceEmbedding(Ort::Session& w2v) {
  std::lock_guard<std::mutex> lock(g_zeroemb_mtx);
  if (g_zeroemb.empty()) {
    std::vector<float> zeros(kA2xLegacySamples, 0.f);
    const int64_t shape[2] = {1, kA2xLegacySamples};
    Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::Value in = Ort::Value::CreateTensor<float>(mem, zeros.data(), zeros.size(), shape, 2);
    const char* inName = "input_values";
    const char* outName = "audio_emb";
    auto out = w2v.Run(Ort::RunOptions{nullptr}, &inName, &in, 1, &outName, 1);
    const size_t n = out[0].GetTensorTypeAndShapeInfo().GetElementCount();
    if (n != size_t(12 * kA2xLegacyFrames * kLayerValues))
      throw std::runtime_error("w2v: audio_emb has " + std::to_string(n) +
                               " values, expected 12 x 200 x 768");
    const float* p = out[0].GetTensorData<float>();
    g_zeroemb.assign(p, p + n);
  }
  return g_zeroemb;
}

int64_t ceilFrames(int64_t samples) {
  return (samples + kFrame - 1) / kFrame;
}

// Positional row of absolute frame f: beyond the table it cycles through the
// table's second half.
int64_t posRow(int64_t f, int64_t P) {
  if (f < P) return f;
  const int64_t H = P / 2;
  return H + (f - P) % (P - H);
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared helpers.

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

void le_a2x_maybe_cuda(Ort::SessionOptions& options, const char* tag) {
  if (!envIs("LE_A2X_CUDA", "1")) return;
  if (!envIs("LE_A2X_CUDA_ALL", "1") && std::strcmp(tag, "w2v") != 0) return;
  size_t mib = 3072;
  if (const char* v = std::getenv("LE_A2X_CUDA_MEM_MIB")) {
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
    std::fprintf(stderr, "[le_a2x] CUDA EP appended (%s, V2: no-max-workspace, mem<=%zuMiB)\n", tag,
                 mib);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[le_a2x] CUDA EP append failed (%s): %s -- falling back to CPU\n", tag,
                 e.what());
  }
}

Ort::Session le_a2x_open_session(Ort::Env& env, const std::string& path,
                                 Ort::SessionOptions& options) {
  try {
    return Ort::Session(env, path.c_str(), options);
  } catch (const std::exception& e) {
    const std::string text = e.what();
    if (text.find("Gelu") == std::string::npos || text.find("float16") == std::string::npos) throw;
    std::fprintf(stderr,
                 "[le_a2x] %s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu "
                 "this runtime has no CPU kernel for; reopening at ORT_ENABLE_BASIC\n",
                 path.c_str());
    options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_BASIC);
    return Ort::Session(env, path.c_str(), options);
  }
}

Ort::Session* get_shared_w2v(const std::string& path, int threads) {
  std::lock_guard<std::mutex> lock(g_w2v_mtx);
  if (g_w2v_session) return g_w2v_session;
  Ort::Env& env = frontendEnv();
  Ort::SessionOptions options = frontendOptions(threads);
  g_w2v_session = new Ort::Session(le_a2x_open_session(env, path, options));
  return g_w2v_session;
}

bool get_shared_w2v_win(int threads, const std::string& w2vPath) {
  std::lock_guard<std::mutex> lock(g_w2v_mtx);
  if (g_w2vwin_trunk && g_w2vwin_head) return true;
  if (g_w2vwin_tried) return false;
  g_w2vwin_tried = true;

  std::string trunkPath, headPath;
  const char* trunkEnv = envNonEmpty("LE_A2X_W2V_WIN_ONNX");
  const char* headEnv = envNonEmpty("LE_A2X_W2V_HEAD_ONNX");
  if (trunkEnv && headEnv) {
    trunkPath = trunkEnv;
    headPath = headEnv;
  } else if (!w2vPath.empty()) {
    std::tie(trunkPath, headPath) = w2v_win_sibling_pair(w2vPath);
  }
  if (trunkPath.empty()) {
    std::fprintf(stderr,
                 "[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                 "LE_A2X_W2V_WIN_ONNX/LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside "
                 "$W2V_ONNX (%s) as audio_encoder_fp16_window_{trunk,head}.onnx (legacy "
                 "w2v_trunk32.onnx/w2v_head32.onnx). Serving the LEGACY 8s window \xE2\x80\x94 "
                 "same reference quality, 2.8-3.9x the audio hop cost. Ship the pair beside the "
                 "encoder (tools/export_w2v_window.py).\n",
                 w2vPath.c_str());
    return false;
  }

  try {
    Ort::Env& env = frontendEnv();
    Ort::SessionOptions options = frontendOptions(threads);
    g_w2vwin_trunk = new Ort::Session(le_a2x_open_session(env, trunkPath, options));
    g_w2vwin_head = new Ort::Session(le_a2x_open_session(env, headPath, options));
    g_w2vwin_trunk_out = outputName(*g_w2vwin_trunk, 0);
    const auto shape = g_w2vwin_trunk->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    g_w2vwin_LT = shape.size() == 3 && shape[2] > 0 ? shape[2] : 0;
    const int64_t lt = g_w2vwin_LT;
    const std::string ltText = lt > 0 ? std::to_string(lt) : "from-first-run";
    std::fprintf(stderr,
                 "[le_a2x] short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s "
                 "(%lld B)\n",
                 ltText.c_str(), trunkPath.c_str(), w2v_file_bytes(trunkPath), headPath.c_str(),
                 w2v_file_bytes(headPath));
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "[le_a2x] short-window w2v load FAILED (%s) \xE2\x80\x94 legacy 8s path\n",
                 e.what());
    delete g_w2vwin_trunk;
    delete g_w2vwin_head;
    g_w2vwin_trunk = g_w2vwin_head = nullptr;
    g_w2vwin_trunk_out.clear();
    g_w2vwin_LT = 0;
    return false;
  }
}

}  // namespace le

// ---------------------------------------------------------------------------
// The stream.

using le::kA2xLegacyFrames;
using le::kA2xLegacySamples;
using le::kBatchChunk;
using le::kBlockFrames;
using le::kBlockSamples;
using le::kFrame;
using le::kKp;
using le::kLegacyHop;
using le::kPrimeMax;
using le::kStreamChunk;
using le::kTrunkChannels;
using le::kTrunkHop;
using le::kTrunkStepsPerFrame;
using le::kWinSamples;

struct le_a2x {
  // Runtime environment, options shared by encoder and decoder, and the memory
  // description of every input tensor.
  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "le_a2x"};
  Ort::SessionOptions options;
  Ort::MemoryInfo memory{nullptr};
  Ort::RunOptions runOptions{nullptr};
  Ort::Session* w2v = nullptr;  // shared, not owned
  Ort::Session enc{nullptr};
  Ort::Session dec{nullptr};
  int64_t h = 256, window = 0, left = 0, NT = 0;
  int64_t L = 0, W = 0, R = 12, R0 = 12;
  bool shortWindow = false;
  std::vector<float> pos, mean, scale, target;
  int64_t P = 0;
  std::string out0, out1;
  bool widthFlag = false;

  std::vector<float> audio;
  bool finished = false;
  int64_t pulled = 0;
  int64_t start = 0;
  int direction = 1;
  bool loop = true;
  int eager = -1;

  std::vector<float> feat;  // kA2xRowValues per frame; rows not produced yet are zero
  int64_t winCursor = 0;    // s: first frame of the frontend's next window
  int64_t produced = 0;     // D: feature rows produced

  std::vector<float> ctxStore, widthStore;
  int64_t encoded = 0;
  std::vector<float> deltas, prev, hidden;
  int64_t decoded = 0;
  std::vector<float> primedPrev, primedHidden;
  std::vector<float> batchWidth;

  // Scratch reused by every call.
  std::vector<float> window_, encPos, encMask, encOut0, encOut1, mOut, hOut, headIn, headOut,
      legacyOut;
  int64_t runs = 0;
  double runSeconds = 0, frontendSeconds = 0;

  void timed(const Ort::Session& s, std::chrono::steady_clock::time_point t0) {
    const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    runSeconds += dt;
    if (&s != &enc && &s != &dec) frontendSeconds += dt;
    ++runs;
  }
  void run(Ort::Session& s, const char* const* inNames, const Ort::Value* in, size_t nIn,
           const char* const* outNames, Ort::Value* out, size_t nOut) {
    const auto t0 = std::chrono::steady_clock::now();
    s.Run(runOptions, inNames, in, nIn, outNames, out, nOut);
    timed(s, t0);
  }
  std::vector<Ort::Value> run(Ort::Session& s, const char* const* inNames, const Ort::Value* in,
                              size_t nIn, const char* const* outNames, size_t nOut) {
    const auto t0 = std::chrono::steady_clock::now();
    auto out = s.Run(runOptions, inNames, in, nIn, outNames, nOut);
    timed(s, t0);
    return out;
  }
  Ort::Value tensor(float* data, size_t n, std::initializer_list<int64_t> shape) {
    return Ort::Value::CreateTensor<float>(memory, data, n, shape.begin(), shape.size());
  }

  // --- frame bookkeeping ---------------------------------------------------
  int64_t pushed() const { return int64_t(audio.size()); }
  // Samples the frontends may use: live, whole blocks, a block counting once
  // its last frame has a sample.
  int64_t usable() const {
    const int64_t n = pushed();
    if (finished) return n;
    const int64_t B = (n + kFrame - 1) / kBlockSamples * kBlockSamples;
    return std::min(n, B);
  }
  int64_t frames() const { return le::ceilFrames(usable()); }
  int64_t ready() const {
    const int64_t F = frames();
    return finished ? F : std::max<int64_t>(0, F - std::max(W, R));
  }

  int corpusIndex(int64_t p) const {
    if (NT < 2) return 0;
    const int64_t g = start + direction * p;
    if (loop) return int(((g % NT) + NT) % NT);
    const int64_t period = 2 * (NT - 1);
    const int64_t q = ((g % period) + period) % period;
    return int(q <= NT - 1 ? q : period - q);
  }

  void ensureFeatRows(int64_t rows) {
    if (int64_t(feat.size()) < rows * le::kA2xRowValues)
      feat.resize(size_t(rows * le::kA2xRowValues), 0.f);
  }

  // --- frontends -------------------------------------------------------------
  const float* runLegacy(int64_t firstSample, int64_t availSamples) {
    window_.assign(kA2xLegacySamples, 0.f);
    const int64_t n = std::clamp<int64_t>(availSamples - firstSample, 0, kA2xLegacySamples);
    if (n > 0) std::copy_n(audio.data() + firstSample, n, window_.data());
    le::normalizeAudioWindow(window_.data(), window_.size());
    legacyOut.resize(size_t(12 * kA2xLegacyFrames * 768));
    Ort::Value in = tensor(window_.data(), window_.size(), {1, kA2xLegacySamples});
    Ort::Value out = tensor(legacyOut.data(), legacyOut.size(), {12, kA2xLegacyFrames, 768});
    const char* inName = "input_values";
    const char* outName = "audio_emb";
    run(*w2v, &inName, &in, 1, &outName, &out, 1);
    return legacyOut.data();
  }

  // Legacy rows up to G: 8-second windows every 100 frames; live, a window
  // keeps only rows with R frames of audio behind them and is run again later.
  void legacyProduce(int64_t G) {
    ensureFeatRows(G);
    const int64_t np = usable(), F = frames();
    while (produced < G) {
      const int64_t s = winCursor;
      const float* emb = runLegacy(s * kFrame, np);
      const int64_t V = finished ? s + kA2xLegacyFrames
                                 : std::min(s + kA2xLegacyFrames, std::max<int64_t>(0, F - R));
      ensureFeatRows(std::min(V, s + kA2xLegacyFrames));
      for (int64_t j = s == 0 ? 0 : 50; j < kA2xLegacyFrames; ++j) {
        const int64_t f = s + j;
        if (f < produced) continue;
        if (f >= V) break;
        le::legacyRow(emb, j, feat.data() + f * le::kA2xRowValues);
      }
      produced = std::max(produced, std::min(V, s + kA2xLegacyFrames));
      if (!finished && V <= s + kA2xLegacyFrames - 1) break;
      winCursor = s + kLegacyHop;
    }
  }

  // Short-window rows up to G: one 2-second trunk window per block of 8,
  // ending R0 frames after the block.
  void fill_feat_win(int64_t G) {
    ensureFeatRows(G);
    const int64_t np = usable();
    while (produced < G) {
      const int64_t s = winCursor;
      const int64_t e = kFrame * (s + kBlockFrames + R0);
      if (!finished && e > np) break;
      const int64_t w0 = e - kWinSamples;
      window_.assign(kWinSamples, 0.f);
      for (int64_t x = std::max<int64_t>(w0, 0), end = std::min(e, np); x < end; ++x)
        window_[size_t(x - w0)] = audio[size_t(x)];
      le::normalizeAudioWindow(window_.data(), window_.size());

      Ort::Value in = tensor(window_.data(), window_.size(), {1, kWinSamples});
      const char* inName = "input_values";
      const char* trunkOut = le::g_w2vwin_trunk_out.c_str();
      auto out = run(*le::g_w2vwin_trunk, &inName, &in, 1, &trunkOut, 1);
      auto info = out[0].GetTensorTypeAndShapeInfo();
      if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16)
        throw std::runtime_error("w2v_win: trunk output is not float16");
      const auto shape = info.GetShape();
      if (shape.size() != 3 || shape[0] != 1 || shape[1] != kTrunkChannels || shape[2] < 1)
        throw std::runtime_error("w2v_win: trunk output is not [1, 640, LT]");
      int64_t LT = le::g_w2vwin_LT.load();
      if (LT == 0) {
        int64_t expected = 0;
        le::g_w2vwin_LT.compare_exchange_strong(expected, shape[2]);
        LT = le::g_w2vwin_LT.load();
      }
      // A trunk shorter than the length it declared would be read past its end.
      if (shape[2] < LT) throw std::runtime_error("w2v_win: trunk output shorter than LT");
      const int64_t stride = shape[2];
      const uint16_t* trunk = static_cast<const uint16_t*>(out[0].GetTensorRawData());

      headIn.resize(size_t(kBlockFrames * kTrunkChannels));
      for (int64_t k = 0; k < kBlockFrames; ++k) {
        const int64_t f = s + k;
        int64_t a = 0, i = f;
        if (f > kA2xLegacyFrames - 1) {
          const int64_t v = f / kLegacyHop - 1;
          a = kLegacyHop * v * kFrame;
          i = f - kLegacyHop * v;
        }
        const double p = double(a - w0) / double(kTrunkHop) + double(i) * kTrunkStepsPerFrame;
        const int64_t i0 = int64_t(std::floor(p));
        if (i0 < 0 || i0 >= LT) throw std::runtime_error("w2v_win: trunk pos out of range");
        const int64_t i1 = std::min(i0 + 1, LT - 1);
        const double t = p - double(i0);
        for (int64_t c = 0; c < kTrunkChannels; ++c) {
          float v0, v1;
          le::halfToFloat(trunk + c * stride + i0, &v0, 1);
          le::halfToFloat(trunk + c * stride + i1, &v1, 1);
          const double v = double(v0) * (1.0 - t) + double(v1) * t;
          headIn[size_t(k * kTrunkChannels + c)] = le::roundHalf(float(v));
        }
      }

      headOut.resize(size_t(kBlockFrames * le::kA2xRowValues));
      Ort::Value hin = tensor(headIn.data(), headIn.size(), {kBlockFrames, kTrunkChannels});
      Ort::Value hout = tensor(headOut.data(), headOut.size(), {kBlockFrames, 12, 768});
      const char* headInName = "x";
      const char* headOutName = "emb";
      run(*le::g_w2vwin_head, &headInName, &hin, 1, &headOutName, &hout, 1);
      ensureFeatRows(s + kBlockFrames);
      le::roundThroughHalf(headOut.data(), feat.data() + s * le::kA2xRowValues,
                           size_t(kBlockFrames * le::kA2xRowValues));
      winCursor = produced = s + kBlockFrames;
    }
  }

  // --- encoder and decoder -----------------------------------------------------
  // Runs the encoder over context frames [c0, c0 + T) whose feature rows are
  // at rows; fills encOut0 (T x h) and, when asked, encOut1 (T).
  void runEncoder(int64_t c0, int64_t T, const float* rows, bool wantWidth) {
    encPos.resize(size_t(T * h));
    for (int64_t r = 0; r < T; ++r)
      std::copy_n(pos.data() + le::posRow(c0 + r, P) * h, h, encPos.data() + r * h);
    encMask.assign(size_t(T * T), -std::numeric_limits<float>::infinity());
    for (int64_t i = 0; i < T; ++i)
      for (int64_t j = std::max<int64_t>(0, i - left); j <= std::min(T - 1, i + window); ++j)
        encMask[size_t(i * T + j)] = 0.f;
    Ort::Value in[3] = {
        tensor(const_cast<float*>(rows), size_t(T * le::kA2xRowValues), {1, T, 12, 768}),
        tensor(encPos.data(), encPos.size(), {1, T, h}),
        tensor(encMask.data(), encMask.size(), {1, 1, T, T})};
    const char* inNames[3] = {"feat", "pos_window", "attn"};
    const char* outNames[2] = {out0.c_str(), out1.c_str()};
    // The runtime allocates the outputs: the width output may be [1, T] or
    // [1, T, 1]; only the value counts are checked before copying.
    auto out = run(enc, inNames, in, 3, outNames, wantWidth ? 2 : 1);
    auto take = [&](Ort::Value& v, const std::string& name, int64_t n, std::vector<float>& dst) {
      const size_t got = v.GetTensorTypeAndShapeInfo().GetElementCount();
      if (got != size_t(n))
        throw std::runtime_error("encoder output " + name + " holds " + std::to_string(got) +
                                 " values for " + std::to_string(T) + " frames, expected " +
                                 std::to_string(n));
      const float* p = v.GetTensorData<float>();
      dst.assign(p, p + n);
    };
    take(out[0], out0, T * h, encOut0);
    if (wantWidth) take(out[1], out1, T, encOut1);
  }

  // One decoder step from prev and hidden, which it updates.
  void decodeStep(const float* ctxRow, std::vector<float>& prevState,
                  std::vector<float>& hidState) {
    mOut.resize(kKp);
    hOut.resize(size_t(h));
    Ort::Value in[3] = {tensor(const_cast<float*>(ctxRow), size_t(h), {1, h}),
                        tensor(prevState.data(), prevState.size(), {1, kKp}),
                        tensor(hidState.data(), hidState.size(), {1, 1, h})};
    const char* inNames[3] = {"ctx_t", "prev", "h"};
    Ort::Value out[2] = {tensor(mOut.data(), mOut.size(), {1, kKp}),
                         tensor(hOut.data(), hOut.size(), {1, 1, h})};
    const char* outNames[2] = {"m", "h_out"};
    run(dec, inNames, in, 3, outNames, out, 2);
    prevState.swap(mOut);
    hidState.swap(hOut);
  }

  void denormalize(const float* m, float* out) const {
    for (int64_t c = 0; c < kKp; ++c) out[c] = m[c] * scale[size_t(c)] + mean[size_t(c)];
  }

  // --- extend, pull, reset -------------------------------------------------------
  void extend(int64_t t) {
    t = std::min(t, ready());
    if (t <= decoded) return;
    try {
      const int64_t F = frames();
      const int64_t G = std::min(t + W, F);
      if (shortWindow)
        fill_feat_win(G);
      else
        legacyProduce(G);
      ensureFeatRows(G);

      while (encoded < t) {
        const int64_t s = encoded;
        int64_t e = std::min(t, s + kStreamChunk);
        const int64_t c0 = std::max<int64_t>(0, s - L);
        int64_t c1 = std::min(e + W, F);
        if (s < P) {
          e = std::min(e, P);
          c1 = std::min(c1, P);
        }
        const int64_t T = c1 - c0;
        runEncoder(c0, T, feat.data() + c0 * le::kA2xRowValues, widthFlag);
        ctxStore.resize(size_t(e * h));
        widthStore.resize(size_t(e));
        std::copy_n(encOut0.data() + (s - c0) * h, (e - s) * h, ctxStore.data() + s * h);
        if (widthFlag) std::copy_n(encOut1.data() + (s - c0), e - s, widthStore.data() + s);
        encoded = e;
      }

      deltas.resize(size_t(t * kKp));
      while (decoded < t) {
        decodeStep(ctxStore.data() + decoded * h, prev, hidden);
        denormalize(prev.data(), deltas.data() + decoded * kKp);
        ++decoded;
      }
    } catch (const std::exception& e) {
      le::a2xError() = std::string("le_a2x extend: ") + e.what();
    }
  }

  int avail() {
    const int64_t rdy = ready();
    if (decoded < rdy) extend(std::min(rdy, decoded + (shortWindow ? kBlockFrames : kStreamChunk)));
    return int(std::clamp<int64_t>(decoded - pulled, 0, INT_MAX));
  }

  int le_a2x_pull_core(int* index, float* base, float* driven, float* width, int m) {
    if (m <= 0) return 0;
    const int64_t rdy = ready();
    if (pulled >= decoded) extend(std::min(rdy, pulled + m));
    const int64_t limit = std::min(decoded, rdy);
    int k = 0;
    for (; pulled < limit && k < m; ++k, ++pulled) {
      const int i = corpusIndex(pulled);
      const float* row = target.data() + int64_t(i) * kKp;
      const float* d = deltas.data() + pulled * kKp;
      if (index) index[k] = i;
      if (base) std::copy_n(row, kKp, base + int64_t(k) * kKp);
      if (driven)
        for (int64_t c = 0; c < kKp; ++c) driven[int64_t(k) * kKp + c] = row[c] + d[c];
      if (width)
        width[k] =
            widthFlag && pulled < int64_t(widthStore.size()) ? widthStore[size_t(pulled)] : 0.f;
    }
    return k;
  }

  void reset(int startFrame, int dir, int loopOn) {
    start = startFrame < 0 ? corpusIndex(pulled) : startFrame;
    audio.clear();
    feat.clear();
    winCursor = produced = 0;
    ctxStore.clear();
    widthStore.clear();
    deltas.clear();
    pulled = encoded = decoded = 0;
    finished = false;
    if (!primedPrev.empty() && !primedHidden.empty()) {
      prev = primedPrev;
      hidden = primedHidden;
    } else {
      prev.assign(kKp, 0.f);
      hidden.assign(size_t(h), 0.f);
    }
    direction = dir >= 0 ? 1 : -1;
    loop = loopOn != 0;
  }

  // Decoder state after n frames of silence, so an utterance starts from rest.
  void prime(int64_t n) {
    try {
      const int64_t T = std::min(n, kPrimeMax);
      const std::vector<float>& zero = le::silenceEmbedding(*w2v);
      std::vector<float> rows(size_t(T * le::kA2xRowValues));
      for (int64_t f = 0; f < T; ++f)
        le::legacyRow(zero.data(), f, rows.data() + f * le::kA2xRowValues);
      runEncoder(0, T, rows.data(), false);
      std::vector<float> p(kKp, 0.f), hid(size_t(h), 0.f);
      const std::vector<float> ctx = encOut0;
      for (int64_t f = 0; f < T; ++f) decodeStep(ctx.data() + f * h, p, hid);
      primedPrev = std::move(p);
      primedHidden = std::move(hid);
      std::fprintf(stderr, "[le_a2x] silence-primed AR state cached (%d frames)\n", int(T));
    } catch (const std::exception& e) {
      primedPrev.clear();
      primedHidden.clear();
      std::fprintf(stderr, "[le_a2x] silence-prime failed (%s) -- legacy zero state\n", e.what());
    }
  }

  // Whole clip through the legacy frontend; the stream's state is untouched.
  int64_t batchDeltas(const float* samples, int64_t count, float* out) {
    const int64_t T = le::ceilFrames(count);
    std::vector<float> rows(size_t(T * le::kA2xRowValues), 0.f);
    std::vector<float> win(kA2xLegacySamples);
    const int64_t shape[2] = {1, kA2xLegacySamples};
    legacyOut.resize(size_t(12 * kA2xLegacyFrames * 768));
    int64_t taken = 0;
    for (int64_t s = 0; s < T; s += kLegacyHop) {
      std::fill(win.begin(), win.end(), 0.f);
      const int64_t n = std::clamp<int64_t>(count - s * kFrame, 0, kA2xLegacySamples);
      std::copy_n(samples + s * kFrame, n, win.data());
      le::normalizeAudioWindow(win.data(), win.size());
      Ort::Value in = Ort::Value::CreateTensor<float>(memory, win.data(), win.size(), shape, 2);
      Ort::Value o = tensor(legacyOut.data(), legacyOut.size(), {12, kA2xLegacyFrames, 768});
      const char* inName = "input_values";
      const char* outName = "audio_emb";
      run(*w2v, &inName, &in, 1, &outName, &o, 1);
      for (int64_t j = s == 0 ? 0 : 50; j < kA2xLegacyFrames && s + j < T; ++j) {
        if (s + j < taken) continue;
        le::legacyRow(legacyOut.data(), j, rows.data() + (s + j) * le::kA2xRowValues);
      }
      taken = std::min(T, s + kA2xLegacyFrames);
    }

    std::vector<float> ctx(size_t(T * h));
    batchWidth.assign(size_t(T), 0.f);
    for (int64_t s = 0; s < T; s += kBatchChunk) {
      const int64_t e = std::min(T, s + kBatchChunk);
      const int64_t c0 = std::max<int64_t>(0, s - L), c1 = std::min(e + W, T);
      runEncoder(c0, c1 - c0, rows.data() + c0 * le::kA2xRowValues, widthFlag);
      std::copy_n(encOut0.data() + (s - c0) * h, (e - s) * h, ctx.data() + s * h);
      if (widthFlag) std::copy_n(encOut1.data() + (s - c0), e - s, batchWidth.data() + s);
    }

    const bool primed = !primedPrev.empty() && !primedHidden.empty();
    std::vector<float> p = primed ? primedPrev : std::vector<float>(kKp, 0.f);
    std::vector<float> hid = primed ? primedHidden : std::vector<float>(size_t(h), 0.f);
    for (int64_t f = 0; f < T; ++f) {
      decodeStep(ctx.data() + f * h, p, hid);
      denormalize(p.data(), out + f * kKp);
    }
    return T;
  }
};

namespace le {

A2xStats a2xStats(const le_a2x* s) {
  A2xStats st;
  if (!s) return st;
  st.shortWindow = s->shortWindow;
  st.frontend = s->w2v;
  st.runs = s->runs;
  st.runSeconds = s->runSeconds;
  st.frontendSeconds = s->frontendSeconds;
  st.featureRows = s->produced;
  st.features = s->feat.data();
  st.encoded = s->encoded;
  st.decoded = s->decoded;
  st.pulled = s->pulled;
  return st;
}

A2xMeta readA2xMeta(const std::string& text) {
  A2xMeta m;
  m.h = metaInt(text, "h", 256);
  m.window = metaInt(text, "window", -1);
  m.left = metaInt(text, "left", -1);
  if (m.window < 0 || m.left < 0)
    throw Refusal("le_a2x_create: meta lacks causal window/left (not a streaming a2x)");
  m.layers = metaInt(text, "layers", 6);
  // Non-positive widths would divide by zero, negative layers would make the
  // encoder's context shorter than the frames it must produce.
  if (m.h < 1)
    throw Refusal("le_a2x_create: meta h=" + std::to_string(m.h) + " is not a positive width");
  if (m.layers < 0)
    throw Refusal("le_a2x_create: meta layers=" + std::to_string(m.layers) + " is negative");
  m.width = metaTruth(text, "width");
  m.silencePrime = metaInt(text, "silence_prime", 0);
  return m;
}

namespace {

std::once_flag g_cadenceOnce;

std::unique_ptr<le_a2x> createStream(const char* bundle, int threads) {
  auto s = std::make_unique<le_a2x>();
  const int budget = pool::threads();
  if (threads < 1 || threads >= budget) threads = budget;
  s->memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::call_once(g_cadenceOnce, [threads] {
    std::fprintf(stderr,
                 "[le_a2x] live cadence: block-%d (one trunk window per %d frames), push-size "
                 "invariant, threads=%d\n",
                 320, 8, threads);
  });
  s->options.SetIntraOpNumThreads(threads);
  s->options.SetInterOpNumThreads(1);
  s->options.AddConfigEntry("session.intra_op.allow_spinning", "0");
  s->options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  le_a2x_maybe_cuda(s->options, "enc/dec");

  const std::string dir = resolveBundlePath(bundle);
  const std::string text = readMeta(dir + "/a2x_meta.json");
  if (text.empty()) throw Refusal("le_a2x_create: a2x_meta.json missing in " + dir);
  const A2xMeta meta = readA2xMeta(text);
  s->h = meta.h;
  s->window = meta.window;
  s->left = meta.left;
  s->L = s->left * meta.layers;
  s->W = s->window * meta.layers;
  s->R = 12;
  if (const char* r = std::getenv("LE_A2X_W2V_RIGHT"))
    s->R = std::max<long long>(0, std::min<long long>(std::strtoll(r, nullptr, 10), INT_MAX));

  s->pos = readFloats(dir + "/a2x_pos.f32");
  const std::vector<float> norm = readFloats(dir + "/a2x_norm.f32");
  s->target = readFloats(resolveMember(dir, "xs_target.bin"));
  if (int64_t(s->pos.size()) < 2 * s->h || norm.size() < 2 * size_t(kKp) ||
      s->target.size() < size_t(kKp))
    throw Refusal("le_a2x_create: pos/norm/xs_target read failed");
  s->P = int64_t(s->pos.size()) / s->h;
  s->mean.assign(norm.begin(), norm.begin() + kKp);
  s->scale.assign(norm.begin() + kKp, norm.begin() + 2 * kKp);
  s->NT = int64_t(s->target.size()) / kKp;

  const char* w2vPath = envNonEmpty("W2V_ONNX");
  if (!w2vPath) throw Refusal("le_a2x_create: $W2V_ONNX not set");
  s->w2v = get_shared_w2v(w2vPath, threads);
  if (!s->w2v) throw Refusal("le_a2x_create: shared w2v load failed");
  s->R0 = s->R;
  if (get_shared_w2v_win(threads, w2vPath)) {
    s->shortWindow = true;
    s->R = s->R0 + kBlockFrames;
  }

  s->enc = le_a2x_open_session(s->env, resolveMember(dir, "a2x_enc_stream.onnx"), s->options);
  const size_t outputs = s->enc.GetOutputCount();
  s->out0 = outputName(s->enc, 0);
  if (outputs > 1) {
    s->out1 = outputName(s->enc, 1);
    s->widthFlag = true;
  }
  const int metaWidth = meta.width;
  if (metaWidth != int(s->widthFlag))
    std::fprintf(stderr,
                 "[le_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) "
                 "\xE2\x80\x94 serving the GRAPH (width=%d). Repackage this bundle.\n",
                 metaWidth, outputs, int(s->widthFlag));
  s->dec = le_a2x_open_session(s->env, resolveMember(dir, "a2x_dec.onnx"), s->options);

  const char* primeEnv = std::getenv("LE_A2X_SILENCE_PRIME");
  const long long n = primeEnv ? std::strtoll(primeEnv, nullptr, 10) : meta.silencePrime;
  if (n > 0) s->prime(n);
  s->reset(0, 1, 1);
  return s;
}

}  // namespace
}  // namespace le

// ---------------------------------------------------------------------------
// C interface.

using le::a2xError;

extern "C" {

le_a2x* le_a2x_create(const char* bundle_dir, int threads) {
  try {
    if (!bundle_dir) throw le::Refusal("le_a2x_create: NULL bundle path");
    return le::createStream(bundle_dir, threads).release();
  } catch (const le::Refusal& e) {
    a2xError() = e.what();
  } catch (const std::exception& e) {
    a2xError() = std::string("le_a2x_create: ") + e.what();
  } catch (...) {
    a2xError() = "le_a2x_create: unknown error";
  }
  return nullptr;
}

void le_a2x_destroy(le_a2x* s) {
  delete s;
}

const char* le_a2x_last_error(void) {
  return a2xError().c_str();
}

int le_a2x_preload_w2v(const char* path) {
  try {
    std::string p = path ? path : "";
    if (p.empty()) {
      const char* env = le::envNonEmpty("W2V_ONNX");
      if (!env) {
        a2xError() = "le_a2x_preload_w2v: no path and $W2V_ONNX unset";
        return 0;
      }
      p = env;
    }
    return le::get_shared_w2v(p, le::pool::threads()) ? 1 : 0;
  } catch (const std::exception& e) {
    a2xError() = std::string("le_a2x_preload_w2v: ") + e.what();
  } catch (...) {
    a2xError() = "le_a2x_preload_w2v: unknown error";
  }
  return 0;
}

int le_a2x_push(le_a2x* s, const float* samples, int count) {
  if (!s) {
    a2xError() = "le_a2x_push: NULL stream";
    return 0;
  }
  if (count <= 0 || !samples) return 1;
  try {
    s->audio.insert(s->audio.end(), samples, samples + count);
    return 1;
  } catch (const std::exception& e) {
    a2xError() = std::string("le_a2x_push: ") + e.what();
  } catch (...) {
    a2xError() = "le_a2x_push: unknown error";
  }
  return 0;
}

void le_a2x_finish(le_a2x* s) {
  if (s) s->finished = true;
}

int le_a2x_total(le_a2x* s) {
  if (!s || !s->finished) return -1;
  return int(std::min<int64_t>(le::ceilFrames(s->pushed()), INT_MAX));
}

int le_a2x_avail(le_a2x* s) {
  if (!s) return 0;
  try {
    return s->avail();
  } catch (const std::exception& e) {
    a2xError() = std::string("le_a2x_avail: ") + e.what();
  } catch (...) {
    a2xError() = "le_a2x_avail: unknown error";
  }
  return 0;
}

int le_a2x_pull(le_a2x* s, int* corpus_index, float* base_kp, float* driven_kp, int max_frames) {
  if (!s) return 0;
  try {
    return s->le_a2x_pull_core(corpus_index, base_kp, driven_kp, nullptr, max_frames);
  } catch (const std::exception& e) {
    a2xError() = std::string("le_a2x_pull: ") + e.what();
  } catch (...) {
    a2xError() = "le_a2x_pull: unknown error";
  }
  return 0;
}

int le_a2x_pull_wn(le_a2x* s, int* corpus_index, float* base_kp, float* driven_kp, float* width,
                   int max_frames) {
  if (!s) return 0;
  try {
    return s->le_a2x_pull_core(corpus_index, base_kp, driven_kp, width, max_frames);
  } catch (const std::exception& e) {
    a2xError() = std::string("le_a2x_pull_wn: ") + e.what();
  } catch (...) {
    a2xError() = "le_a2x_pull_wn: unknown error";
  }
  return 0;
}

void le_a2x_reset(le_a2x* s, int start, int direction, int loop) {
  if (!s) return;
  try {
    s->reset(start, direction, loop);
  } catch (const std::exception& e) {
    a2xError() = std::string("le_a2x_reset: ") + e.what();
  } catch (...) {
    a2xError() = "le_a2x_reset: unknown error";
  }
}

void le_a2x_set_eager(le_a2x* s, int eager) {
  if (s) s->eager = eager;
}

int le_a2x_nt(const le_a2x* s) {
  return s ? int(s->NT) : 0;
}

int le_a2x_width(const le_a2x* s) {
  return s && s->widthFlag ? 1 : 0;
}

int le_a2x_deltas(le_a2x* s, const float* samples, int count, float* deltas, int max_frames) {
  if (count < 1) return 0;
  try {
    if (!s || !samples || !deltas) throw std::runtime_error("NULL stream, samples or deltas");
    const int64_t T = le::ceilFrames(count);
    if (max_frames < T) return -2;
    return int(s->batchDeltas(samples, count, deltas));
  } catch (const std::exception& e) {
    a2xError() = std::string("le_a2x_deltas: ") + e.what();
  } catch (...) {
    a2xError() = "le_a2x_deltas: unknown error";
  }
  return -1;
}

int le_a2x_deltas_wn(le_a2x* s, const float* samples, int count, float* deltas, float* width,
                     int max_frames) {
  if (!s) {
    a2xError() = "le_a2x_deltas_wn: NULL stream";
    return -1;
  }
  if (!s->widthFlag) {
    a2xError() = "le_a2x_deltas_wn: encoder declares no wn output";
    return -3;
  }
  const int r = le_a2x_deltas(s, samples, count, deltas, max_frames);
  if (r >= 0 && width) {
    const int n = int(std::min<size_t>(size_t(r), s->batchWidth.size()));
    std::copy_n(s->batchWidth.data(), n, width);
    std::fill(width + n, width + r, 0.f);
  }
  return r;
}

}  // extern "C"
