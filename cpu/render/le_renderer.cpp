#include "render/le_renderer.h"

#include <onnxruntime_cxx_api.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/le_env.h"
#include "base/le_log.h"
#include "base/le_ort.h"
#include "bundle/le_bundle.h"
#include "compute/le_pool.h"
#include "compute/le_simd.h"
#include "le/le.h"
#include "render/gridsample_fast.h"
#include "render/int8conv_vnni.h"
#include "render/le_conv.h"
#include "render/le_custom_op.h"
#include "render/le_director_edits.h"
#include "render/le_onnx_wire.h"
#include "render/le_rewrites.h"
#include "render/le_source_cone.h"
#include "tessera/le_lip_contour.h"

namespace le {
namespace {

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

constexpr size_t kPooled = 65536;
constexpr size_t kFsRed = 262144;
constexpr size_t kKp = size_t(kHostKpRows) * 3;

bool startsWith(const std::string& s, const char* p) {
  return s.rfind(p, 0) == 0;
}
bool isCoreml(const std::string& ep) {
  return startsWith(ep, "coreml");
}

// LE_GS_FAST, or the older name that sets it.
bool gridSampleFastOff() {
  const char* v = le::envValue("LE_GS_FAST");
  if (!v) v = le::envValue("VELMOOR_TAVRIN2_GRIDSAMPLE_FAST");
  return v && v[0] == '0';
}

onnx::Bytes readModel(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) fail("Renderer: cannot open " + path);
  onnx::Bytes bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) fail("Renderer: short read on " + path);
  return bytes;
}

int floorMod(int a, int n) {
  const int m = a % n;
  return m < 0 ? m + n : m;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int SourcePredictor::next(int s, int frames) {
  const int N = frames;
  if (N <= 1) {
    last = s;
    return s;
  }
  const int d = s - last;
  const int newStep = last >= 0 && (d == 1 || d == -1) ? d : step;
  int p;
  if (last == N - 1 && s == 0) {
    // The walk went from the last frame to the first: it loops.
    wrap = true;
    if (N == 2) {
      step = -1;
      p = 1;
    } else {
      p = floorMod(step, N);
    }
  } else {
    step = newStep;
    const int q = s + step;
    if (wrap)
      p = floorMod(q, N);
    else
      p = q < 0 ? 1 : q >= N ? N - 2 : q;
  }
  last = s;
  return p;
}

namespace {

// The weights ONNX Runtime repacks for its kernels, kept once per process:
// every renderer of the same network (each visitor's context has one) shares
// them. It lives as long as the process, as the sessions using it may.
OrtPrepackedWeightsContainer* sharedPrepackedWeights() {
  static OrtPrepackedWeightsContainer* const container = [] {
    OrtPrepackedWeightsContainer* c = nullptr;
    Ort::ThrowOnError(Ort::GetApi().CreatePrepackedWeightsContainer(&c));
    return c;
  }();
  return container;
}

}  // namespace

// Hidden although Renderer is exported: hosts never see the session inside.
struct __attribute__((visibility("hidden"))) Renderer::Impl {
  std::string epLabel;
  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "le"};
  Ort::SessionOptions options;
  unsigned domains = 0;  // the custom domains options carries
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

  // Source-cone ring: the hoisted cone's output per source frame, made by
  // the prep session ahead of need on the prefetch thread.
  struct Slot {
    int index = -1;  // the source frame it holds, -1 = empty
    std::vector<float> data;
    Ort::Value tensor{nullptr};
  };
  bool hoisted = false;
  Ort::SessionOptions prepOptions{nullptr};
  Ort::Session prep{nullptr};
  std::unique_ptr<Ort::IoBinding> prepBinding;
  Ort::Value prepInput{nullptr};
  std::string boundary;
  std::vector<int64_t> boundaryDims;
  size_t boundaryElems = 0;
  std::array<Slot, 2> slots;
  std::mutex ringMutex;
  std::condition_variable ringCv;
  int requestIndex = -1, requestSlot = -1;
  int slotInUse = -1;
  bool stopping = false;
  std::string ringError;
  uint64_t hits = 0, misses = 0;
  SourcePredictor predictor;
  std::thread prefetcher;

  // Lip contour from the bundle's template; when bound, its rasterised mask
  // clips the graph's compose alpha per item.
  std::unique_ptr<tessera::LipContour> lip;
  bool lipBound = false;
  std::vector<float> lipDelivery;
  void rasteriseLip(int slot, const float* kp);

  std::string modelPath;
  std::string modelName;
  std::string note;

  // The builder may run twice (CoreML falls back to the CPU provider once).
  void buildSession(const std::string& ep, int threads, const std::string& bundleDir);
  void resetSession();
  void setOptions(const std::string& ep, int threads, const std::string& bundleDir);
  // Returns whether standard GridSample nodes are to be rewritten.
  bool registerOperators(bool coreml, bool gsFastOff);
  void hoistSourceCone(const std::string& ep, bool warped, const onnx::Bytes& bytes);
  bool tryHoist(const onnx::Bytes& bytes, std::string& reason);
  void discoverAndBind();
  void startRing();
  void stopRing();
  int acquire(int s);
  void runPrep(int s, int slot, std::unique_lock<std::mutex>& lock);
  void requestPrefetch(int s);
  void prefetchLoop();
  const float* run();

  // A construction that fails after the ring started still joins its thread.
  ~Impl() { stopRing(); }
};

void Renderer::Impl::buildSession(const std::string& ep, int threads,
                                  const std::string& bundleDir) {
  resetSession();
  setOptions(ep, threads, bundleDir);
  DirectorEditPlan plan;
  plan.modelName = modelName;
  plan.coreml = isCoreml(ep);
  plan.gsFastOff = gridSampleFastOff();
  plan.gsRewrite = registerOperators(plan.coreml, plan.gsFastOff);
  plan.lip = lip.get();
  plan.crop = crop;

  // Load-time graph edits work on the model bytes in memory.
  onnx::Bytes bytes = readModel(modelPath);
  const DirectorEdits edits = editDirector(bytes, plan);
  hoistSourceCone(ep, edits.warped, bytes);
  reportDirectorEdits(edits, plan);
  lipBound = edits.lipBound;

  if (!hoisted) {
    session = openWithDomains(domains, [&] {
      if (edits.any())
        return Ort::Session(env, bytes.data(), bytes.size(), options, sharedPrepackedWeights());
      return Ort::Session(env, modelPath.c_str(), options, sharedPrepackedWeights());
    });
  }

  epLabel = ep.empty() ? "cpu" : ep;
  le::log(LogLevel::Info, "le", "director ep=%s (%s)", epLabel.c_str(),
          plan.coreml ? "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept "
                        "in the graph"
                      : "ORT CPU EP");
}

void Renderer::Impl::resetSession() {
  prep = Ort::Session(nullptr);
  hoisted = false;
  lipBound = false;
  boundary.clear();
  boundaryDims.clear();
  boundaryElems = 0;
}

void Renderer::Impl::setOptions(const std::string& ep, int threads, const std::string& bundleDir) {
  options = ort::sessionOptions(threads, ort::Spin::FromEnv);
  profiling = false;
  options.AddConfigEntry("mlas.disable_kleidiai", "1");
  const char* profile = le::envValue("LE_ORT_PROFILE");
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
    ort::appendCoreml(options, ep, bundleDir);
  }
}

bool Renderer::Impl::registerOperators(bool coreml, bool gsFastOff) {
  if (gsFastOff) {
    bool baked = false;
    try {
      baked = graphHasBakedGridSampleFast(readModel(modelPath));
    } catch (const std::exception&) {
    }
    if (baked)
      fail(
          "Renderer: LE_GS_FAST=0 (or VELMOOR_TAVRIN2_GRIDSAMPLE_FAST=0, which sets it) was "
          "asked for, but " +
          modelPath +
          " has com.velmoor::GridSampleFast BAKED INTO THE GRAPH. The flag removes the kernel "
          "that graph needs, so no session could run it; unset the flag to load this bundle.");
    registerInt8ConvVNNI(options);
    domains = kInt8DomainBit;
    return false;
  }
  registerGridSampleFast(options);
  registerInt8ConvVNNI(options);
  domains = kVelmoorDomainBit | kInt8DomainBit;
  const bool gsRewrite = !envFirstIs("LE_GS_REWRITE", '0');
  if (!gsRewrite && !coreml)
    le::log(LogLevel::Warning, "le",
            "LE_GS_REWRITE=0: load-time std GridSample -> com.velmoor::GridSampleFast "
            "rewrite DISABLED (%s); the custom op is still registered, so a baked bundle "
            "loads and runs its baked kernel. A standard bundle now runs ORT's own "
            "GridSample.",
            modelName.c_str());
  return gsRewrite;
}

void Renderer::Impl::hoistSourceCone(const std::string& ep, bool warped, const onnx::Bytes& bytes) {
  const std::string unit = ep.size() > 7 ? ep.substr(7) : "all";
  if (isCoreml(ep) && (unit == "all" || unit == "gpu")) {
    if (warped)
      le::log(LogLevel::Info, "le",
              "source-cone hoist SKIPPED (%s): the warp node subsumes the cone "
              "\xE2\x80\x94 there is nothing left to hoist",
              modelName.c_str());
    else
      le::log(LogLevel::Warning, "le",
              "source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the "
              "director on the GPU and the 12.58 MB boundary input would cross that "
              "partition every frame (measured 0.61x on an M4) \xE2\x80\x94 the cone stays "
              "in the graph",
              modelName.c_str(), unit.c_str());
  } else if (warped) {
    le::log(LogLevel::Info, "le",
            "source-cone hoist SKIPPED (%s): the warp node subsumes the cone "
            "\xE2\x80\x94 there is nothing left to hoist",
            modelName.c_str());
  } else if ((identity->hasP() || !identity->priorPath().empty()) && !bytes.empty()) {
    std::string reason;
    if (!tryHoist(bytes, reason))
      le::log(LogLevel::Warning, "le", "source-cone hoist NOT applied (%s): %s", modelName.c_str(),
              reason.c_str());
  }
}

// Cuts the model at the source cone's boundary: a prep session computes the
// boundary from P_rgb once per source frame, the main session takes it as an
// input. On success the main session exists.
bool Renderer::Impl::tryHoist(const onnx::Bytes& bytes, std::string& reason) {
  try {
    std::string name;
    const int count = findSourceConeBoundary(bytes, name);
    if (count != 1) {
      reason = "expected exactly one Concat consuming P_rgb, found " + std::to_string(count);
      return false;
    }
    onnx::Bytes prepBytes;
    if (!buildSourceConePrep(bytes, name, prepBytes, reason)) return false;
    prepOptions = ort::sessionOptions(1, ort::Spin::Off);
    prepOptions.AddConfigEntry("mlas.disable_kleidiai", "1");
    // The cone of a quantised director carries Int8ConvVNNI nodes.
    registerInt8ConvVNNI(prepOptions);
    prep = openWithDomains(kInt8DomainBit, [&] {
      return Ort::Session(env, prepBytes.data(), prepBytes.size(), prepOptions,
                          sharedPrepackedWeights());
    });

    const auto in = prep.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    if (in.size() != 4 || in[0] != 1) {
      reason = "batch-1 lever; this graph declares batch " +
               (in.empty() ? std::string("of no rank") : std::to_string(in[0]));
      prep = Ort::Session(nullptr);
      return false;
    }
    const auto out = prep.GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    size_t elems = 1;
    for (int64_t d : out) elems *= size_t(std::max<int64_t>(d, 0));
    if (out.size() != 4 || elems == 0) {
      reason = "boundary shape is not static";
      prep = Ort::Session(nullptr);
      return false;
    }
    onnx::Bytes perFrame;
    if (!buildSourceConePerFrame(bytes, name, out.data(), 4, perFrame, reason)) {
      prep = Ort::Session(nullptr);
      return false;
    }
    session = openWithDomains(domains, [&] {
      return Ort::Session(env, perFrame.data(), perFrame.size(), options, sharedPrepackedWeights());
    });
    boundary = name;
    boundaryDims = out;
    boundaryElems = elems;
    hoisted = true;
    le::log(LogLevel::Info, "le",
            "source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph "
            "and is prefetched per SOURCE FRAME on one spare core (%s)",
            name.c_str(), (long long)out[0], (long long)out[1], (long long)out[2],
            (long long)out[3], modelName.c_str());
    return true;
  } catch (const std::exception& e) {
    reason = e.what();
    prep = Ort::Session(nullptr);
    session = Ort::Session(nullptr);
    return false;
  }
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
    fail(
        "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor "
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
    tensors.push_back(Ort::Value::CreateTensor<float>(memory, buf.data(), buf.size(), shape.data(),
                                                      shape.size()));
    if (isOutput)
      binding->BindOutput(name, tensors.back());
    else
      binding->BindInput(name, tensors.back());
  };
  const int64_t b = batch, c = crop;
  tensors.reserve(7);
  if (featSynth) {
    bind(priorName, prior, {b, 64, 64, 64}, false);
  } else if (hoisted) {
    startRing();
  } else {
    bind(priorName, prior, {b, 3, c, c}, false);
  }
  bind(pooledName, pooled, {b, 64, 32, 32}, false);
  bind(kdName, kpDriving, {b, kHostKpRows, 3}, false);
  bind(ksName, kpSource, {b, kHostKpRows, 3}, false);
  bind("rgb", output, {b, 3, c, c}, true);
  if (lipBound) {
    // All ones until the first frame: Min with 1 leaves the alpha as it is.
    lipDelivery.assign(B * C * C, 1.f);
    bind(kLipInputName, lipDelivery, {b, 1, c, c}, false);
  }
}

void Renderer::Impl::rasteriseLip(int slot, const float* kp) {
  if (lipDelivery.empty()) return;
  lip->contourF32Canvas(kp, lipDelivery.data() + size_t(slot) * crop * crop);
}

void Renderer::Impl::startRing() {
  for (Slot& slot : slots) {
    slot.index = -1;
    slot.data.assign(boundaryElems, 0.f);
    slot.tensor = Ort::Value::CreateTensor<float>(memory, slot.data.data(), slot.data.size(),
                                                  boundaryDims.data(), boundaryDims.size());
  }
  prepBinding = std::make_unique<Ort::IoBinding>(prep);
  const int64_t shape[4] = {1, 3, crop, crop};
  prepInput = Ort::Value::CreateTensor<float>(memory, prior.data(), perP, shape, 4);
  prepBinding->BindInput("P_rgb", prepInput);
  prefetcher = std::thread([this] { prefetchLoop(); });
}

void Renderer::Impl::stopRing() {
  if (!prefetcher.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(ringMutex);
    stopping = true;
  }
  ringCv.notify_all();
  prefetcher.join();
}

// Runs the prep for source s into `slot` with the ring mutex released; the
// slot is marked empty beforehand, so nobody reads it half-written.
void Renderer::Impl::runPrep(int s, int slot, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  std::string error;
  try {
    identity->withP(s, [&](const uint16_t* p) { simd::f16ToF32(p, prior.data(), perP); });
    prepBinding->BindOutput(boundary.c_str(), slots[size_t(slot)].tensor);
    prep.Run(Ort::RunOptions{nullptr}, *prepBinding);
  } catch (const std::exception& e) {
    error = *e.what() ? e.what() : "unknown error";
  } catch (...) {
    error = "unknown error";
  }
  lock.lock();
  if (!error.empty()) {
    if (ringError.empty()) ringError = error;
  } else {
    slots[size_t(slot)].index = s;
  }
}

// The first slot other than the one in use that does not already hold s.
static int freeSlot(const std::array<Renderer::Impl::Slot, 2>& slots, int inUse, int s) {
  for (int k = 0; k < int(slots.size()); ++k)
    if (k != inUse && (slots[size_t(k)].index < 0 || slots[size_t(k)].index != s)) return k;
  return -1;
}

int Renderer::Impl::acquire(int s) {
  std::unique_lock<std::mutex> lock(ringMutex);
  slotInUse = -1;
  while (ringError.empty()) {
    for (int k = 0; k < int(slots.size()); ++k)
      if (slots[size_t(k)].index == s) {
        ++hits;
        slotInUse = k;
        return k;
      }
    if (requestSlot < 0) {
      const int k = freeSlot(slots, slotInUse, s);
      if (k < 0) fail("Renderer: source-cone ring exhausted");
      ++misses;
      slots[size_t(k)].index = -1;
      runPrep(s, k, lock);
      continue;
    }
    ringCv.wait(lock);
  }
  fail("Renderer: the hoisted source cone failed in ORT \xE2\x80\x94 " + ringError);
}

void Renderer::Impl::requestPrefetch(int s) {
  const int p = predictor.next(s, identity->NT);
  std::lock_guard<std::mutex> lock(ringMutex);
  if (requestSlot >= 0 || !ringError.empty()) return;
  for (const Slot& slot : slots)
    if (slot.index == p) return;
  const int k = freeSlot(slots, slotInUse, p);
  if (k < 0) return;
  slots[size_t(k)].index = -1;
  requestIndex = p;
  requestSlot = k;
  ringCv.notify_all();
}

void Renderer::Impl::prefetchLoop() {
  std::unique_lock<std::mutex> lock(ringMutex);
  while (!stopping) {
    if (requestSlot < 0) {
      ringCv.wait(lock);
      continue;
    }
    runPrep(requestIndex, requestSlot, lock);
    requestIndex = requestSlot = -1;
    ringCv.notify_all();
  }
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
  if (!manifest.lipTemplate.empty())
    d.lip = std::make_unique<tessera::LipContour>(
        tessera::LipContour::fromTemplateJson(manifest.lipTemplate, manifest.crop));

  std::string ep = epIn;
  ConvBackend::answerRequest(ep, d.modelPath, d.crop);

  try {
    d.buildSession(ep, threads, manifest.dir);
  } catch (const std::exception& e) {
    if (!isCoreml(ep)) throw;
    le::log(LogLevel::Warning, "le",
            "CoreML EP session refused: %s \xE2\x80\x94 falling back to the ORT CPU EP", e.what());
    d.session = Ort::Session(nullptr);
    d.buildSession("", threads, manifest.dir);
  }
  d.discoverAndBind();
}

Renderer::~Renderer() {
  Impl& d = *impl_;
  if (d.runs > 0)
    le::log(LogLevel::Info, "le-director-ort",
            "%ld frames: %.2f ms/frame in Session::Run (the director this "
            "plane serves today; its Adreno counterpart prints the same line)",
            long(d.runs), d.runMs / double(d.runs));
  d.stopRing();
  if (d.profiling && d.session) {
    try {
      Ort::AllocatorWithDefaultOptions alloc;
      auto file = d.session.EndProfilingAllocated(alloc);
      le::log(LogLevel::Info, "le_ort_profile", "%s", file.get());
    } catch (const std::exception&) {
    }
  }
}

const float* Renderer::render(const int* sourceIndex, const float* kpSource, const float* kpDriving,
                              int n) {
  Impl& d = *impl_;
  if (n < 1 || n > d.batch) fail("render: bad n");
  if (d.hoisted) {
    // The hoisted graph has batch 1: item 0 only, its cone from the ring.
    const int s = sourceIndex[0];
    const int slot = d.acquire(s);
    d.binding->BindInput(d.boundary.c_str(), d.slots[size_t(slot)].tensor);
    simd::f16ToF32(d.identity->pooled64(s), d.pooled.data(), d.perPooled);
    std::memcpy(d.kpSource.data(), kpSource, kKp * 4);
    std::memcpy(d.kpDriving.data(), kpDriving, kKp * 4);
    d.rasteriseLip(0, kpDriving);
    d.requestPrefetch(s);
    return d.run();
  }
  const size_t perPrior = d.featSynth ? d.perFsRed : d.perP;
  for (int j = 0; j < d.batch; ++j) {
    const int c = j < n ? j : n - 1;
    float* pooled = d.pooled.data() + size_t(j) * d.perPooled;
    float* prior = d.prior.data() + size_t(j) * perPrior;
    if (j < n) {
      const int s = sourceIndex[j];
      simd::f16ToF32(d.identity->pooled64(s), pooled, d.perPooled);
      if (d.featSynth)
        simd::f16ToF32(d.identity->fsRed(s), prior, perPrior);
      else
        d.identity->withP(s, [&](const uint16_t* p) { simd::f16ToF32(p, prior, perPrior); });
    } else {
      // Padding repeats the last item without converting it again.
      std::memcpy(pooled, d.pooled.data() + size_t(n - 1) * d.perPooled, d.perPooled * 4);
      std::memcpy(prior, d.prior.data() + size_t(n - 1) * perPrior, perPrior * 4);
    }
    std::memcpy(d.kpSource.data() + size_t(j) * kKp, kpSource + size_t(c) * kKp, kKp * 4);
    std::memcpy(d.kpDriving.data() + size_t(j) * kKp, kpDriving + size_t(c) * kKp, kKp * 4);
    if (d.lipDelivery.empty()) continue;
    const size_t plane = size_t(d.crop) * d.crop;
    if (j < n)
      d.rasteriseLip(j, kpDriving + size_t(j) * kKp);
    else
      std::memcpy(d.lipDelivery.data() + size_t(j) * plane,
                  d.lipDelivery.data() + size_t(n - 1) * plane, plane * 4);
  }
  return d.run();
}

const float* Renderer::Impl::run() {
  const auto t0 = std::chrono::steady_clock::now();
  runOptions.UnsetTerminate();  // a cancel ends the render it meets, not this one
  session.Run(runOptions, *binding);
  const auto t1 = std::chrono::steady_clock::now();
  runMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
  ++runs;
  return output.data();
}

void Renderer::cancel() {
  impl_->runOptions.SetTerminate();
}

int Renderer::batch() const {
  return impl_->batch;
}
const std::string& Renderer::ep() const {
  return impl_->epLabel;
}
std::string Renderer::backend() const {
  return "ort";
}
const std::string& Renderer::directorNote() const {
  return impl_->note;
}

std::pair<uint64_t, uint64_t> Renderer::ringCounts() const {
  std::lock_guard<std::mutex> lock(impl_->ringMutex);
  return {impl_->hits, impl_->misses};
}

}  // namespace le
