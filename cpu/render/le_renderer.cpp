#include "render/le_renderer.h"

#include <onnxruntime_cxx_api.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "bundle/le_bundle.h"
#include "compute/le_pool.h"
#include "compute/le_simd.h"
#include "le/le.h"

namespace le {
namespace {

[[noreturn]] void fail(const std::string& msg) { throw std::runtime_error(msg); }

constexpr size_t kPooled = 65536;
constexpr size_t kFsRed = 262144;
constexpr size_t kKp = size_t(kHostKpRows) * 3;

bool startsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }
bool isCoreml(const std::string& ep) { return startsWith(ep, "coreml"); }

bool envFirstIs(const char* name, char c) {
  const char* v = std::getenv(name);
  return v && v[0] == c;
}

std::vector<char> readModel(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) fail("Renderer: cannot open " + path);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) fail("Renderer: short read on " + path);
  return bytes;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string coremlCacheDir(const std::string& dir) {
  const char* v = OrtGetApiBase()->GetVersionString();
  return dir + "/.coreml_cache/ort" + (v && *v ? v : "unknown");
}

struct Renderer::Impl {
  std::string epLabel;
  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "le"};
  Ort::SessionOptions options;
  Ort::Session session{nullptr};
  std::unique_ptr<Ort::IoBinding> binding;
  Ort::RunOptions runOptions;
  bool profiling = false;
  double runMs = 0;
  int64_t runs = 0;
  Identity* identity = nullptr;
  int batch = 0;
  int crop = 0;
  size_t perPooled = kPooled;
  size_t perP = 0;
  size_t perFsRed = kFsRed;
  bool featSynth = false;

  // Bound buffers: allocated once, filled per render.
  std::vector<float> pooled, prior, kpDriving, kpSource, output;
  std::vector<Ort::Value> tensors;
  Ort::MemoryInfo memory{nullptr};

  std::string modelPath;
  std::string modelName;
  std::string note;

  // The builder may run twice (CoreML falls back to the CPU provider once).
  void buildSession(const std::string& ep, int threads, const std::string& bundleDir);
  void discoverAndBind();
};

void Renderer::Impl::buildSession(const std::string& ep, int threads, const std::string& bundleDir) {
  options = Ort::SessionOptions();
  profiling = false;
  options.SetIntraOpNumThreads(threads);
  options.SetInterOpNumThreads(1);
  options.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  if (!envFirstIs("LE_ORT_SPIN", '1')) options.AddConfigEntry("session.intra_op.allow_spinning", "0");
  options.AddConfigEntry("mlas.disable_kleidiai", "1");
  const char* profile = std::getenv("LE_ORT_PROFILE");
  if (profile && *profile) {
    options.EnableProfiling(profile);
    profiling = true;
  }

  if (ep.empty()) {
    // The CPU provider.
  } else if (startsWith(ep, "xnnpack")) {
    fail("Renderer: ep '" + ep +
         "' is REFUSED. This renderer rewrites its graph to carry the engine's own custom-domain "
         "nodes, and the XNNPACK provider crashes while partitioning a graph that carries them. "
         "The default ep (\"\", the CPU provider) opens the same bundle.");
  } else if (!isCoreml(ep)) {
    fail("Renderer: unknown ep '" + ep + "'");
  } else {
    const std::string unit = ep.size() > 7 ? ep.substr(7) : "all";
    const char* units = unit == "cpu"   ? "CPUOnly"
                        : unit == "gpu" ? "CPUAndGPU"
                        : unit == "ane" ? "CPUAndNeuralEngine"
                                        : "ALL";
    options.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                               {"MLComputeUnits", units},
                                               {"ModelCacheDirectory", coremlCacheDir(bundleDir)}});
  }

  // Load-time graph edits work on the model bytes in memory; a model that no
  // edit changed is opened from its path.
  const std::vector<char> bytes = readModel(modelPath);
  size_t edits = 0;
  if (edits > 0)
    session = Ort::Session(env, bytes.data(), bytes.size(), options);
  else
    session = Ort::Session(env, modelPath.c_str(), options);

  epLabel = ep.empty() ? "cpu" : ep;
  std::fprintf(stderr, "[le] director ep=%s (%s)\n", epLabel.c_str(),
               isCoreml(ep) ? "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept "
                              "in the graph"
                            : "ORT CPU EP");
}

void Renderer::Impl::discoverAndBind() {
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t count = session.GetInputCount();
  std::vector<std::string> names(count);
  std::vector<std::vector<int64_t>> shapes(count);
  for (size_t i = 0; i < count; ++i) {
    names[i] = session.GetInputNameAllocated(i, alloc).get();
    shapes[i] = session.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
    if (names[i] == "fs_red") featSynth = true;
  }
  const char* pooledName = featSynth ? "pooled" : "pooled64";
  const char* kdName = featSynth ? "kd" : "kp_driving";
  const char* ksName = featSynth ? "ks" : "kp_source";
  const char* priorName = featSynth ? "fs_red" : "P_rgb";

  for (size_t i = 0; i < count; ++i)
    if (names[i] == pooledName && shapes[i].size() == 4 && shapes[i][0] > 0)
      batch = int(shapes[i][0]);
  if (batch < 1) fail(std::string(pooledName) + " input not found / bad shape");

  for (size_t i = 0; i < count; ++i) {
    if (names[i] != kdName && names[i] != ksName) continue;
    const auto& s = shapes[i];
    if (s.size() == 3 && s[1] > 0 && s[1] != kHostKpRows) {
      const std::string rows = std::to_string(s[1]);
      std::string msg = "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + modelPath +
                        " \xE2\x80\x94 the graph declares " + names[i] + " with " + rows +
                        " keypoint rows, and this renderer feeds " + std::to_string(kHostKpRows) +
                        " (le::kHostKpRows, le/le.h). ";
      if (s[1] == 22)
        msg += "That is the recipe_v4 / kd_v4 shape: row " + std::to_string(kHostKpRows) +
               " is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's second output. This "
               "engine has no width feed, so that row would be read from past the end of every "
               "host keypoint set. ";
      msg += "REFUSING AT LOAD rather than dying inside ORT at the first Run.";
      fail(msg);
    }
  }

  if (featSynth && !identity->hasFsRed()) fail("FeatSynth graph but bundle lacks fs_red.f16");
  if (!featSynth && !identity->hasP() && identity->priorPath().empty())
    fail("m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor "
         "fs_red.f16, nor a P_hevc.mov to play in place is present \xE2\x80\x94 the renderer would "
         "read its prior through a null pointer. REFUSING to create a session.");

  const size_t B = size_t(batch), C = size_t(crop);
  perP = C * C * 3;
  pooled.assign(B * perPooled, 0.f);
  prior.assign(B * (featSynth ? perFsRed : perP), 0.f);
  kpDriving.assign(B * kKp, 0.f);
  kpSource.assign(B * kKp, 0.f);
  output.assign(B * perP, 0.f);

  memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  binding = std::make_unique<Ort::IoBinding>(session);
  auto bind = [&](const char* name, std::vector<float>& buf, std::vector<int64_t> shape,
                  bool isOutput) {
    tensors.push_back(Ort::Value::CreateTensor<float>(memory, buf.data(), buf.size(),
                                                      shape.data(), shape.size()));
    if (isOutput)
      binding->BindOutput(name, tensors.back());
    else
      binding->BindInput(name, tensors.back());
  };
  const int64_t b = batch, c = crop;
  tensors.reserve(6);
  bind(pooledName, pooled, {b, 64, 32, 32}, false);
  if (featSynth)
    bind(priorName, prior, {b, 64, 64, 64}, false);
  else
    bind(priorName, prior, {b, 3, c, c}, false);
  bind(kdName, kpDriving, {b, kHostKpRows, 3}, false);
  bind(ksName, kpSource, {b, kHostKpRows, 3}, false);
  bind("rgb", output, {b, 3, c, c}, true);
}

Renderer::Renderer(const Manifest& manifest, Identity& identity, const std::string& model,
                   int threads, const std::string& epIn)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.identity = &identity;
  d.crop = manifest.crop;
  d.modelPath = manifest.modelPath(model);
  d.modelName = baseName(d.modelPath);
  if (threads < 1) threads = pool::threads();

  std::string ep = epIn;
  const char* conv = std::getenv("LE_CONV_BACKEND");
  if (ep == "neon" || (ep.empty() && conv && std::strcmp(conv, "neon") == 0)) {
    // No NEON convolution backend exists in this build.
    std::fprintf(stderr, "[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
    ep.clear();
  }

  try {
    d.buildSession(ep, threads, manifest.dir);
  } catch (const std::exception& e) {
    if (!isCoreml(ep)) throw;
    std::fprintf(stderr, "[le] CoreML EP session refused: %s \xE2\x80\x94 falling back to the ORT CPU EP\n",
                 e.what());
    d.session = Ort::Session(nullptr);
    d.buildSession("", threads, manifest.dir);
  }
  d.discoverAndBind();
}

Renderer::~Renderer() {
  Impl& d = *impl_;
  if (d.runs > 0)
    std::fprintf(stderr,
                 "[le-director-ort] %ld frames: %.2f ms/frame in Session::Run (the director this "
                 "plane serves today; its Adreno counterpart prints the same line)\n",
                 long(d.runs), d.runMs / double(d.runs));
  if (d.profiling && d.session) {
    try {
      Ort::AllocatorWithDefaultOptions alloc;
      auto file = d.session.EndProfilingAllocated(alloc);
      std::fprintf(stderr, "[le_ort_profile] %s\n", file.get());
    } catch (const std::exception&) {
    }
  }
}

const float* Renderer::render(const int* sourceIndex, const float* kpSource,
                              const float* kpDriving, int n) {
  Impl& d = *impl_;
  if (n < 1 || n > d.batch) fail("render: bad n");
  const size_t perPrior = d.featSynth ? d.perFsRed : d.perP;
  for (int j = 0; j < d.batch; ++j) {
    const int c = j < n ? j : n - 1;
    float* pooled = d.pooled.data() + size_t(j) * d.perPooled;
    float* prior = d.prior.data() + size_t(j) * perPrior;
    if (j < n) {
      const int s = sourceIndex[j];
      simd::f16ToF32(d.identity->pooled64(s), pooled, d.perPooled);
      simd::f16ToF32(d.featSynth ? d.identity->fsRed(s) : d.identity->P(s), prior, perPrior);
    } else {
      // Padding repeats the last item without converting it again.
      std::memcpy(pooled, d.pooled.data() + size_t(n - 1) * d.perPooled, d.perPooled * 4);
      std::memcpy(prior, d.prior.data() + size_t(n - 1) * perPrior, perPrior * 4);
    }
    std::memcpy(d.kpSource.data() + size_t(j) * kKp, kpSource + size_t(c) * kKp, kKp * 4);
    std::memcpy(d.kpDriving.data() + size_t(j) * kKp, kpDriving + size_t(c) * kKp, kKp * 4);
  }
  const auto t0 = std::chrono::steady_clock::now();
  d.session.Run(d.runOptions, *d.binding);
  const auto t1 = std::chrono::steady_clock::now();
  d.runMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
  ++d.runs;
  return d.output.data();
}

int Renderer::batch() const { return impl_->batch; }
const std::string& Renderer::ep() const { return impl_->epLabel; }
std::string Renderer::backend() const { return "ort"; }
const std::string& Renderer::directorNote() const { return impl_->note; }

}  // namespace le
