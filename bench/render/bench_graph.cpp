// The engine's operators next to what they replace, in one run, every side
// through ONNX Runtime's Session::Run with the same thread count:
//  - gs/ort vs gs/fast: the standard GridSample (bilinear, border,
//    align_corners 0) and GridSampleFast on X [1, C, S, S] with a smooth
//    [1, S, S, 2] warp grid, C in {3, 12}, S in {256, 512};
//  - warp/subgraph vs warp/node: the source cone (edge Pad, three depthwise
//    second differences, 12-channel Concat), GridSample and recombination,
//    and the WarpDirector node the rewrite puts in their place;
//  - director/single vs director/hoist: the renderer's per-frame time on the
//    synthetic director (crop 512) walking the source frames in loop order,
//    without the source-cone hoist (the edited graph run whole, as the
//    renderer runs a model it cannot hoist) and with it (the renderer, its
//    ring and prefetch thread).
// Threads 1 and 2 each. After the table: every pair's times and ratio.

#include <benchmark/benchmark.h>
#include <onnxruntime_cxx_api.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "compute/le_simd.h"
#include "driver/le_driver.h"
#include "render/gridsample_fast.h"
#include "render/le_renderer.h"
#include "render/le_rewrites.h"
#include "render/le_warp.h"
#include "support/test_util.h"

namespace {

using le::onnx::Bytes;

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "bench");
  return e;
}

Ort::SessionOptions options(int threads) {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads);
  o.SetInterOpNumThreads(1);
  o.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  o.AddConfigEntry("mlas.disable_kleidiai", "1");
  le::registerGridSampleFast(o);
  return o;
}

void strAttr(Bytes& attrs, const char* name, const char* value) {
  Bytes a;
  le::onnx::putBytes(a, 1, name);
  le::onnx::putBytes(a, 4, value);
  le::onnx::putTag(a, 20, 0);
  le::onnx::putVarint(a, 3);
  le::onnx::putBytes(attrs, 5, a.data(), a.size());
}

Bytes model(const Bytes& graph) {
  Bytes m, op;
  le::onnx::putTag(m, 1, 0);
  le::onnx::putVarint(m, 8);
  le::onnx::putBytes(op, 1, "");
  le::onnx::putTag(op, 2, 0);
  le::onnx::putVarint(op, 17);
  le::onnx::putBytes(m, 8, op.data(), op.size());
  le::onnx::putBytes(m, 7, graph.data(), graph.size());
  return m;
}

void valueInfo(Bytes& g, uint32_t field, const std::string& name, std::vector<int64_t> dims) {
  le::onnx::putTensorValueInfo(g, field, name, dims.data(), int(dims.size()));
}

void gridSample(Bytes& g, const std::string& x, const std::string& grid, const std::string& y) {
  Bytes attrs;
  strAttr(attrs, "mode", "bilinear");
  strAttr(attrs, "padding_mode", "border");
  le::onnx::putIntAttr(attrs, "align_corners", 0);
  le::onnx::putNode(g, "GridSample", {x, grid}, y, y + "_node", attrs);
}

Bytes gridSampleModel(int C, int S) {
  Bytes g;
  gridSample(g, "X", "grid", "Y");
  valueInfo(g, 11, "X", {1, C, S, S});
  valueInfo(g, 11, "grid", {1, S, S, 2});
  valueInfo(g, 12, "Y", {1, C, S, S});
  return model(g);
}

// The director's warp block on its own: ex and ey come in as inputs, as
// they stay in the graph when the block is replaced.
Bytes warpSubgraph(int S) {
  Bytes g, attrs;
  le::onnx::putNode(g, "Identity", {"grid_in"}, "grid", "grid", {});
  const int64_t pads[8] = {0, 0, 1, 1, 0, 0, 1, 1};
  le::onnx::putInitializer(g, "pads", 7, {8}, pads, sizeof pads);
  le::onnx::putModeAttr(attrs, "edge");
  le::onnx::putNode(g, "Pad", {"P_rgb", "pads"}, "padded", "pad", attrs);
  const float d[3] = {1, -2, 1};
  float k[3][27] = {};
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        k[0][c * 9 + 3 + j] = d[j];
        k[1][c * 9 + i * 3 + 1] = d[i];
        k[2][c * 9 + i * 3 + j] = d[i] * d[j];
      }
  const char* names[3] = {"dxx", "dyy", "dxy"};
  for (int n = 0; n < 3; ++n) {
    le::onnx::putInitializer(g, std::string("k_") + names[n], 1, {3, 1, 3, 3}, k[n], sizeof k[n]);
    Bytes ca;
    const int64_t ks[2] = {3, 3};
    le::onnx::putIntAttr(ca, "group", 3);
    le::onnx::putIntsAttr(ca, "kernel_shape", ks, 2);
    le::onnx::putNode(g, "Conv", {"padded", std::string("k_") + names[n]}, names[n], names[n], ca);
  }
  attrs.clear();
  le::onnx::putIntAttr(attrs, "axis", 1);
  le::onnx::putNode(g, "Concat", {"P_rgb", "dxx", "dyy", "dxy"}, "tip", "concat", attrs);
  gridSample(g, "tip", "grid", "s");
  for (int64_t b : {0, 3, 6, 9, 12, 1})
    le::onnx::putInitializer(g, "c" + std::to_string(b), 7, {1}, &b, 8);
  const char* parts[4] = {"s0", "sxx", "syy", "sxy"};
  for (int p = 0; p < 4; ++p)
    le::onnx::putNode(g, "Slice",
                      {"s", "c" + std::to_string(3 * p), "c" + std::to_string(3 * p + 3), "c1"},
                      parts[p], parts[p], {});
  le::onnx::putNode(g, "Mul", {"ex", "ey"}, "exy", "exy", {});
  le::onnx::putNode(g, "Mul", {"ex", "sxx"}, "t_xx", "t_xx", {});
  le::onnx::putNode(g, "Sub", {"s0", "t_xx"}, "r_xx", "r_xx", {});
  le::onnx::putNode(g, "Mul", {"ey", "syy"}, "t_yy", "t_yy", {});
  le::onnx::putNode(g, "Sub", {"r_xx", "t_yy"}, "r_yy", "r_yy", {});
  le::onnx::putNode(g, "Mul", {"exy", "sxy"}, "t_xy", "t_xy", {});
  le::onnx::putNode(g, "Add", {"r_yy", "t_xy"}, "out", "out", {});
  valueInfo(g, 11, "P_rgb", {1, 3, S, S});
  valueInfo(g, 11, "grid_in", {1, S, S, 2});
  valueInfo(g, 11, "ex", {1, 1, S, S});
  valueInfo(g, 11, "ey", {1, 1, S, S});
  valueInfo(g, 12, "out", {1, 3, S, S});
  return model(g);
}

struct Inputs {
  std::vector<float> img, grid, ex, ey;
  std::vector<int64_t> imgShape, gridShape, eShape;
};

// A smooth warp of a few pixels, and the curvature weights it implies.
Inputs inputs(int C, int S) {
  Inputs in;
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(0.f, 1.f);
  in.img.resize(size_t(C) * S * S);
  for (auto& v : in.img) v = u(rng);
  in.grid.resize(size_t(S) * S * 2);
  in.ex.resize(size_t(S) * S);
  in.ey.resize(size_t(S) * S);
  for (int y = 0; y < S; ++y)
    for (int x = 0; x < S; ++x) {
      const float px = (2.f * x + 1) / S - 1, py = (2.f * y + 1) / S - 1;
      const float gx = px + 0.02f * std::sin(3 * py), gy = py + 0.015f * std::cos(2 * px);
      const size_t i = size_t(y) * S + x;
      in.grid[2 * i] = gx, in.grid[2 * i + 1] = gy;
      auto e = [&](float g) {
        const float c = ((g + 1) * S - 1) * 0.5f, f = c - std::floor(c);
        return f * (1 - f) * 0.5f;
      };
      in.ex[i] = e(gx), in.ey[i] = e(gy);
    }
  in.imgShape = {1, C, S, S};
  in.gridShape = {1, S, S, 2};
  in.eShape = {1, 1, S, S};
  return in;
}

// One session with its inputs bound once; each iteration is one Run.
struct Bound {
  Ort::Session session{nullptr};
  std::unique_ptr<Ort::IoBinding> binding;
  std::vector<Ort::Value> values;
  Inputs in;

  Bound(const Bytes& bytes, int threads, Inputs data, bool warp) : in(std::move(data)) {
    session = Ort::Session(env(), bytes.data(), bytes.size(), options(threads));
    binding = std::make_unique<Ort::IoBinding>(session);
    auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    auto bind = [&](const char* name, std::vector<float>& v, std::vector<int64_t>& shape) {
      values.push_back(
          Ort::Value::CreateTensor<float>(mem, v.data(), v.size(), shape.data(), shape.size()));
      binding->BindInput(name, values.back());
    };
    bind(warp ? "P_rgb" : "X", in.img, in.imgShape);
    bind(warp ? "grid_in" : "grid", in.grid, in.gridShape);
    if (warp) {
      bind("ex", in.ex, in.eShape);
      bind("ey", in.ey, in.eShape);
    }
    binding->BindOutput(warp ? "out" : "Y", mem);
  }
  void run() { session.Run(Ort::RunOptions{nullptr}, *binding); }
  std::vector<float> output() {
    auto outs = binding->GetOutputValues();
    const float* p = outs[0].GetTensorData<float>();
    return std::vector<float>(p, p + outs[0].GetTensorTypeAndShapeInfo().GetElementCount());
  }
};

float maxDiff(const std::vector<float>& a, const std::vector<float>& b) {
  float m = 0;
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return a.size() == b.size() ? m : INFINITY;
}

std::map<std::string, float> agreement;  // pair name -> largest output difference

void registerPair(const std::string& name, Bytes peer, Bytes ours, int threads, const Inputs& in,
                  bool warp, const char* peerTag, const char* ourTag) {
  auto a = std::make_shared<Bound>(peer, threads, in, warp);
  auto b = std::make_shared<Bound>(ours, threads, in, warp);
  a->run();
  b->run();
  agreement[name] = maxDiff(a->output(), b->output());
  for (auto [tag, s] : {std::pair{peerTag, a}, std::pair{ourTag, b}})
    benchmark::RegisterBenchmark((name + "/" + tag).c_str(),
                                 [s](benchmark::State& st) {
                                   for (auto _ : st) s->run();
                                 })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

// ---------------------------------------------------------------- director

constexpr int kFrames = 8, kCrop = 512;

struct Bundle {
  le_test::TempDir dir;
  le::Manifest manifest;
  std::unique_ptr<le::Identity> identity;

  Bundle() {
    le_test::writeSpineBundle(dir.path(), kFrames, kFrames, kCrop);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    std::vector<uint16_t> pooled(size_t(kFrames) * 65536), P(size_t(kFrames) * kCrop * kCrop * 3);
    for (auto& v : pooled) v = le::f32ToF16(u(rng));
    for (size_t i = 0; i < P.size(); ++i)
      P[i] = le::f32ToF16(0.5f + 0.4f * std::sin(float(i % 977) * 0.05f + float(i / 786432)));
    le_test::writeVector(dir / "pooled64.f16", pooled);
    le_test::writeVector(dir / "P.f16", P);
    std::vector<float> M(size_t(kFrames) * 6, 0.f);
    le_test::writeVector(dir / "M.f32", M);
    const std::string director = le_test::readFile(std::string(LE_BENCH_MODELS) + "/model_b1.onnx");
    le_test::writeFile(dir / "model_b1.onnx", director);
    manifest = le::loadManifest(dir.path());
    identity = std::make_unique<le::Identity>(manifest);
  }
};

Bundle& bundle() {
  static Bundle b;
  return b;
}

std::vector<float> keypoints(int frame) {
  std::vector<float> kp(63);
  for (int r = 0; r < 21; ++r) {
    kp[size_t(r) * 3] = 0.6f * std::sin(float(r) * 1.3f) + 0.01f * float(frame % 3);
    kp[size_t(r) * 3 + 1] = 0.6f * std::cos(float(r) * 0.7f);
  }
  return kp;
}

// The renderer, source frames in loop order.
void directorHoist(benchmark::State& st, int threads) {
  Bundle& b = bundle();
  le::Renderer r(b.manifest, *b.identity, "b1", threads, "");
  int i = 0;
  for (auto _ : st) {
    const int s = i % kFrames;
    const auto src = keypoints(i), drv = keypoints(i + 1);
    r.render(&s, src.data(), drv.data(), 1);
    ++i;
  }
}

// The same edited graph run whole: the prior converted and bound per frame.
void directorSingle(benchmark::State& st, int threads) {
  Bundle& b = bundle();
  const std::string text = le_test::readFile(b.dir / "model_b1.onnx");
  Bytes bytes(text.begin(), text.end());
  le::rewriteGridSampleToFast(bytes);
  le::normaliseStudentBlend(bytes);
  le::rewriteHeadCubicResize(bytes);
  Ort::Session s(env(), bytes.data(), bytes.size(), options(threads));
  Ort::IoBinding binding(s);
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<float> pooled(65536), prior(size_t(kCrop) * kCrop * 3), kd(63), ks(63),
      out(prior.size());
  std::vector<Ort::Value> v;
  auto bind = [&](const char* name, std::vector<float>& buf, std::vector<int64_t> shape, bool o) {
    v.push_back(
        Ort::Value::CreateTensor<float>(mem, buf.data(), buf.size(), shape.data(), shape.size()));
    o ? binding.BindOutput(name, v.back()) : binding.BindInput(name, v.back());
  };
  bind("pooled64", pooled, {1, 64, 32, 32}, false);
  bind("P_rgb", prior, {1, 3, kCrop, kCrop}, false);
  bind("kp_driving", kd, {1, 21, 3}, false);
  bind("kp_source", ks, {1, 21, 3}, false);
  bind("rgb", out, {1, 3, kCrop, kCrop}, true);
  int i = 0;
  for (auto _ : st) {
    const int f = i % kFrames;
    le::simd::f16ToF32(b.identity->pooled64(f), pooled.data(), pooled.size());
    le::simd::f16ToF32(b.identity->P(f), prior.data(), prior.size());
    ks = keypoints(i), kd = keypoints(i + 1);
    s.Run(Ort::RunOptions{nullptr}, binding);
    ++i;
  }
}

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (r.error_occurred || r.iterations <= 0 || (r.run_type != Run::RT_Iteration && !median))
        continue;
      const double sec = r.real_accumulated_time / double(r.iterations);
      auto [it, fresh] = seconds.emplace(r.run_name.function_name, sec);
      if (!fresh && sec < it->second) it->second = sec;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, std::pair<const char*, const char*>>> pairs;
  for (int threads : {1, 2}) {
    for (int S : {256, 512})
      for (int C : {3, 12}) {
        const std::string name =
            "gs/C" + std::to_string(C) + "/S" + std::to_string(S) + "/t" + std::to_string(threads);
        Bytes peer = gridSampleModel(C, S), ours = peer;
        le::rewriteGridSampleToFast(ours);
        registerPair(name, peer, ours, threads, inputs(C, S), false, "ort", "fast");
        pairs.push_back({name, {"ort", "fast"}});
      }
    const std::string name = "warp/S512/t" + std::to_string(threads);
    Bytes peer = warpSubgraph(512), ours = peer;
    std::string reason;
    if (le::rewriteWarpBlockToCustomOp(ours, reason) == 0) {
      std::fprintf(stderr, "warp rewrite did not apply: %s\n", reason.c_str());
      return 1;
    }
    registerPair(name, peer, ours, threads, inputs(3, 512), true, "subgraph", "node");
    pairs.push_back({name, {"subgraph", "node"}});
  }
  for (int threads : {1, 2}) {
    const std::string name = "director/t" + std::to_string(threads);
    benchmark::RegisterBenchmark((name + "/single").c_str(), directorSingle, threads)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RegisterBenchmark((name + "/hoist").c_str(), directorHoist, threads)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    pairs.push_back({name, {"single", "hoist"}});
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\n%-20s %10s %10s %8s  %s\n", "pair", "peer ms", "ours ms", "ratio", "max |diff|");
  for (const auto& [name, tags] : pairs) {
    auto a = reporter.seconds.find(name + "/" + tags.first);
    auto b = reporter.seconds.find(name + "/" + tags.second);
    if (a == reporter.seconds.end() || b == reporter.seconds.end()) continue;
    auto d = agreement.find(name);
    char diff[32] = "-";
    if (d != agreement.end()) std::snprintf(diff, sizeof diff, "%.1e", double(d->second));
    std::printf("%-20s %10.3f %10.3f %7.2fx  %s\n", name.c_str(), 1e3 * a->second, 1e3 * b->second,
                a->second / b->second, diff);
  }
  benchmark::Shutdown();
  return 0;
}
