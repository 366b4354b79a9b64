// Int8ConvVNNI next to ONNX Runtime on the same convolutions, in one run,
// every side through Session::Run with the same thread count:
//  - float: ONNX Runtime's Conv with the dequantised weights (w_q * scale);
//  - ortq: ONNX Runtime's own dynamic quantisation, DynamicQuantizeLinear +
//    ConvInteger + Cast, Mul and Add for the float epilogue;
//  - int8: the Int8ConvVNNI node on the best Highway target, and int8-T on
//    each other vector target T this processor runs.
// Shapes: 64->64 and 128->128 channels, 3x3, pads 1, 128x128 and 256x256,
// batch 1. Then the quantised demo director against the float one, the
// renderer walking the source frames (needs LE_BENCH_BUNDLE, the demo
// bundle that scripts/bench writes).
//
// The engine's pool budget is fixed per process, so without LE_CORE_THREADS
// the program runs itself with LE_CORE_THREADS=1 and then 2; ONNX Runtime
// gets the same count. After each table: times, ratios, GOPS (2 operations
// per multiply-add) and, where the kernels run AVX3_DL, the share of this
// processor's peak of the 512-bit vpdpbusd they use, measured here with a
// loop of independent ones.

#include <benchmark/benchmark.h>
#include <hwy/targets.h>
#include <onnxruntime_cxx_api.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bundle/le_bundle.h"
#include "compute/le_pool.h"
#include "driver/le_driver.h"
#include "render/gridsample_fast.h"
#include "render/int8conv_vnni.h"
#include "render/le_renderer.h"
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
  le::registerInt8ConvVNNI(o);
  return o;
}

Bytes model(const Bytes& graph) {
  Bytes m;
  le::onnx::putTag(m, 1, 0);
  le::onnx::putVarint(m, 8);
  le::onnx::addOpsetImport(m, "", 17);
  le::onnx::addOpsetImport(m, le::kInt8Domain, 1);
  le::onnx::putBytes(m, 7, graph.data(), graph.size());
  return m;
}

struct Weights {
  int64_t cout, cin;
  std::vector<int8_t> q;
  std::vector<float> scale, bias;
};

Weights weights(int64_t c) {
  Weights w{c, c, std::vector<int8_t>(size_t(c * c * 9)), std::vector<float>(size_t(c)),
            std::vector<float>(size_t(c))};
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> u(-127, 127);
  std::uniform_real_distribution<float> s(0.001f, 0.01f), b(-0.5f, 0.5f);
  for (auto& v : w.q) v = int8_t(u(rng));
  for (auto& v : w.scale) v = s(rng);
  for (auto& v : w.bias) v = b(rng);
  return w;
}

Bytes pads1() {
  Bytes a;
  const int64_t p[4] = {1, 1, 1, 1};
  le::onnx::putIntsAttr(a, "pads", p, 4);
  return a;
}

void io(Bytes& g, int64_t c, int64_t s) {
  const int64_t x[4] = {1, c, s, s};
  le::onnx::putTensorValueInfo(g, 11, "X", x, 4);
  le::onnx::putTensorValueInfo(g, 12, "Y", x, 4);
}

Bytes floatConv(const Weights& w, int64_t s) {
  std::vector<float> wf(w.q.size());
  for (size_t i = 0; i < wf.size(); ++i) wf[i] = float(w.q[i]) * w.scale[i / size_t(w.cin * 9)];
  Bytes g, a = pads1();
  const int64_t k[2] = {3, 3};
  le::onnx::putIntsAttr(a, "kernel_shape", k, 2);
  le::onnx::putNode(g, "Conv", {"X", "W", "B"}, "Y", "conv", a);
  le::onnx::putInitializer(g, "W", 1, {w.cout, w.cin, 3, 3}, wf.data(), wf.size() * 4);
  le::onnx::putInitializer(g, "B", 1, {w.cout}, w.bias.data(), w.bias.size() * 4);
  io(g, w.cin, s);
  return model(g);
}

Bytes ortQuantised(const Weights& w, int64_t s) {
  Bytes g, none, a = pads1();
  le::onnx::Bytes dq;
  // DynamicQuantizeLinear has three outputs: written by hand.
  {
    Bytes n;
    le::onnx::putBytes(n, 1, "X");
    for (const char* o : {"xq", "xs", "xzp"}) le::onnx::putBytes(n, 2, o);
    le::onnx::putBytes(n, 3, "dql");
    le::onnx::putBytes(n, 4, "DynamicQuantizeLinear");
    le::onnx::putBytes(g, 1, n.data(), n.size());
  }
  const int8_t wzp = 0;
  le::onnx::putNode(g, "ConvInteger", {"xq", "W", "xzp", "wzp"}, "acc", "conv", a);
  le::onnx::putNode(g, "Cast", {"acc"}, "accf", "cast", [] {
    Bytes c;
    le::onnx::putIntAttr(c, "to", 1);
    return c;
  }());
  le::onnx::putNode(g, "Mul", {"xs", "S"}, "sc", "scale", none);
  le::onnx::putNode(g, "Mul", {"accf", "sc"}, "ys", "deq", none);
  le::onnx::putNode(g, "Add", {"ys", "B"}, "Y", "bias", none);
  le::onnx::putInitializer(g, "W", 3, {w.cout, w.cin, 3, 3}, w.q.data(), w.q.size());
  le::onnx::putInitializer(g, "wzp", 3, {}, &wzp, 1);
  le::onnx::putInitializer(g, "S", 1, {w.cout, 1, 1}, w.scale.data(), w.scale.size() * 4);
  le::onnx::putInitializer(g, "B", 1, {w.cout, 1, 1}, w.bias.data(), w.bias.size() * 4);
  io(g, w.cin, s);
  return model(g);
}

Bytes int8Conv(const Weights& w, int64_t s) {
  Bytes g;
  le::onnx::putNode(g, "Int8ConvVNNI", {"X", "W", "S", "B"}, "Y", "q", pads1(), le::kInt8Domain);
  le::onnx::putInitializer(g, "W", 3, {w.cout, w.cin, 3, 3}, w.q.data(), w.q.size());
  le::onnx::putInitializer(g, "S", 1, {w.cout}, w.scale.data(), w.scale.size() * 4);
  le::onnx::putInitializer(g, "B", 1, {w.cout}, w.bias.data(), w.bias.size() * 4);
  io(g, w.cin, s);
  return model(g);
}

struct Job {
  std::unique_ptr<Ort::Session> session;
  std::vector<float> x, y;
  std::vector<Ort::Value> values;
  std::unique_ptr<Ort::IoBinding> binding;
};

std::map<std::string, std::unique_ptr<Job>> g_jobs;
std::map<std::string, double> g_ops;

Job& job(const std::string& name, const Bytes& m, int64_t c, int64_t s, int threads) {
  auto j = std::make_unique<Job>();
  j->session = std::make_unique<Ort::Session>(env(), m.data(), m.size(), options(threads));
  j->x.resize(size_t(c * s * s));
  j->y.resize(j->x.size());
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-0.2f, 1.f);  // post-activation-like, some negatives
  for (auto& v : j->x) v = u(rng);
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  const int64_t shape[4] = {1, c, s, s};
  j->binding = std::make_unique<Ort::IoBinding>(*j->session);
  j->values.push_back(Ort::Value::CreateTensor<float>(mem, j->x.data(), j->x.size(), shape, 4));
  j->values.push_back(Ort::Value::CreateTensor<float>(mem, j->y.data(), j->y.size(), shape, 4));
  j->binding->BindInput("X", j->values[0]);
  j->binding->BindOutput("Y", j->values[1]);
  Job& ref = *j;
  g_jobs[name] = std::move(j);
  return ref;
}

void runJob(benchmark::State& st, Job* j) {
  for (auto _ : st) j->session->Run(Ort::RunOptions{nullptr}, *j->binding);
}

// The int8 kernels on one Highway target while this lives.
struct UseTarget {
  explicit UseTarget(int64_t t) { hwy::SetSupportedTargetsForTest(t); }
  ~UseTarget() { hwy::SetSupportedTargetsForTest(0); }
  UseTarget(const UseTarget&) = delete;
  UseTarget& operator=(const UseTarget&) = delete;
};

void runJobOn(benchmark::State& st, Job* j, int64_t target) {
  UseTarget use(target);
  if (std::strcmp(le::detail::int8ConvTarget(), hwy::TargetName(target)) != 0) {
    st.SkipWithError("target not reached");
    return;
  }
  runJob(st, j);
}

// Vector targets below the best one that this processor runs.
std::vector<int64_t> otherTargets() {
  hwy::SetSupportedTargetsForTest(0);
  const int64_t supported = hwy::SupportedTargets();
  std::vector<int64_t> out;
  bool best = true;
  for (int64_t t : {HWY_AVX3_DL, HWY_AVX3, HWY_AVX2, HWY_SSE4, HWY_SSSE3}) {
    if (!(supported & t) || (t & (HWY_DISABLED_TARGETS))) continue;
    if (!best) out.push_back(t);
    best = false;
  }
  return out;
}

// The demo director, float and quantised, through the renderer.
struct Demo {
  le::Manifest manifest;
  std::unique_ptr<le::Identity> identity;
};

Demo* demo() {
  static std::unique_ptr<Demo> d = []() -> std::unique_ptr<Demo> {
    const char* dir = std::getenv("LE_BENCH_BUNDLE");
    if (!dir || !*dir || !le_test::fileExists(std::string(dir) + "/manifest.json")) return nullptr;
    const std::string q = std::string(dir) + "/model_int8.onnx";
    if (!le_test::fileExists(q)) {
      const std::string m = le_test::readFile(LE_BENCH_INT8_DIRECTOR);
      le_test::writeFile(q, m.data(), m.size());
    }
    auto p = std::make_unique<Demo>();
    p->manifest = le::loadManifest(dir);
    p->identity = std::make_unique<le::Identity>(p->manifest);
    return p;
  }();
  return d.get();
}

// Source and driving keypoints of frame i: the face at rest, the driving
// lips and brows moved, so the whole director (mouth tint, curvature-
// corrected warp) takes part.
void motion(int i, std::vector<float>& src, std::vector<float>& drv) {
  for (int r = 0; r < 21; ++r)
    for (int k = 0; k < 3; ++k) {
      src[size_t(r * 3 + k)] = 0.6f * std::sin(1.3f * float(r) + float(k));
      drv[size_t(r * 3 + k)] = src[size_t(r * 3 + k)] + 0.04f * std::sin(0.7f * float(i + r + k));
    }
}

void director(benchmark::State& st, const char* key, int threads) {
  Demo* d = demo();
  le::Renderer r(d->manifest, *d->identity, key, threads, "");
  const int n = d->identity->NT;
  std::vector<float> src(63), drv(63);
  int i = 0;
  for (auto _ : st) {
    const int s = i % n;
    motion(i, src, drv);
    r.render(&s, src.data(), drv.data(), 1);
    ++i;
  }
}

// PSNR of the quantised director's crops against the float director's over
// a walk of the demo avatar's source frames, crop values in [0, 1].
double directorPsnr() {
  Demo* d = demo();
  le::Renderer a(d->manifest, *d->identity, "b1", 1, ""),
      b(d->manifest, *d->identity, "int8", 1, "");
  const size_t n = size_t(d->identity->crop) * size_t(d->identity->crop) * 3;
  std::vector<float> src(63), drv(63), ref(n);
  double se = 0, count = 0;
  for (int i = 0; i < d->identity->NT; i += 5) {
    motion(i, src, drv);
    const float* pa = a.render(&i, src.data(), drv.data(), 1);
    ref.assign(pa, pa + n);
    const float* pb = b.render(&i, src.data(), drv.data(), 1);
    for (size_t j = 0; j < n; ++j) se += double(pb[j] - ref[j]) * (pb[j] - ref[j]);
    count += double(n);
  }
  return 10 * std::log10(count / se);
}

// Operations per second of independent 512-bit vpdpbusd on one thread: the
// best of a few short trials, so a neighbour's burst does not set the peak.
// Written in assembly: twelve chains that the compiler can neither merge
// nor spill. Only called where the kernels run AVX3_DL.
double dotPeakOne() {
#if defined(__x86_64__)
  const long iters = 2000000;
  double best = 0;
  for (int trial = 0; trial < 5; ++trial) {
    long n = iters;
    const auto t0 = std::chrono::steady_clock::now();
#define LE_DP(r) "vpdpbusd %%zmm13, %%zmm12, %%zmm" #r "\n"
    __asm__ volatile(
        "vpternlogd $0xff, %%zmm12, %%zmm12, %%zmm12\n"
        "vpternlogd $0xff, %%zmm13, %%zmm13, %%zmm13\n"
        "1:\n" LE_DP(0) LE_DP(1) LE_DP(2) LE_DP(3) LE_DP(4) LE_DP(5) LE_DP(6) LE_DP(7) LE_DP(8)
            LE_DP(9) LE_DP(10) LE_DP(11) "dec %0\n"
                                         "jnz 1b\n"
        : "+r"(n)
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
          "xmm11", "xmm12", "xmm13", "cc");
#undef LE_DP
    const double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    best = std::max(best, double(iters) * 12 * 64 * 2 / sec);  // 64 multiply-adds each
  }
  return best;
#else
  return 0;
#endif
}

// The same loop on `threads` threads at once, summed.
double dotPeak(int threads) {
  std::vector<double> rate(static_cast<size_t>(threads));
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t) pool.emplace_back([&, t] { rate[size_t(t)] = dotPeakOne(); });
  for (auto& t : pool) t.join();
  double sum = 0;
  for (double r : rate) sum += r;
  return sum;
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
  if (!std::getenv("LE_CORE_THREADS")) {
    // One child per thread count: the pool's budget is read once per process.
    std::string cmd;
    for (int i = 0; i < argc; ++i) cmd += std::string(" '") + argv[i] + "'";
    int status = 0;
    for (const char* t : {"1", "2"}) {
      std::printf("== LE_CORE_THREADS=%s\n", t);
      std::fflush(stdout);
      status |= std::system(("LE_CORE_THREADS=" + std::string(t) + cmd).c_str());
    }
    return status ? 1 : 0;
  }
  const int threads = le::pool::threads();
  const std::string tt = "/t" + std::to_string(threads);
  std::vector<std::string> shapes;
  const std::vector<int64_t> others = otherTargets();
  for (int64_t c : {64, 128})
    for (int64_t s : {128, 256}) {
      const std::string name = "conv" + std::to_string(c) + "/S" + std::to_string(s) + tt;
      const Weights w = weights(c);
      g_ops[name] = 2.0 * double(c * c * 9 * s * s);
      for (auto [tag, m] : {std::pair<const char*, Bytes>{"float", floatConv(w, s)},
                            {"ortq", ortQuantised(w, s)},
                            {"int8", int8Conv(w, s)}}) {
        Job& j = job(name + "/" + tag, m, c, s, threads);
        benchmark::RegisterBenchmark((name + "/" + tag).c_str(), runJob, &j)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
      }
      for (int64_t t : others)
        benchmark::RegisterBenchmark((name + "/int8-" + hwy::TargetName(t)).c_str(), runJobOn,
                                     g_jobs[name + "/int8"].get(), t)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
      shapes.push_back(name);
    }
  const bool haveDemo = demo() != nullptr;
  if (haveDemo)
    for (const char* key : {"b1", "int8"})
      benchmark::RegisterBenchmark(("director" + tt + "/" + key).c_str(), director, key, threads)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime();

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  // Agreement with the float convolution (max |diff|), after the timed runs.
  const std::string target = le::detail::int8ConvTarget();
  const double peak = target == hwy::TargetName(HWY_AVX3_DL) ? dotPeak(threads) : 0;
  std::printf("\nint8 kernels: %s\n", target.c_str());
  std::printf("%-18s %9s %9s %9s %8s %8s %8s %6s  %s\n", "shape", "float ms", "ortq ms", "int8 ms",
              "float/i", "ortq/i", "GOPS", "peak%", "max|i-float|");
  for (const auto& name : shapes) {
    auto f = reporter.seconds.find(name + "/float");
    auto q = reporter.seconds.find(name + "/ortq");
    auto v = reporter.seconds.find(name + "/int8");
    if (f == reporter.seconds.end() || q == reporter.seconds.end() || v == reporter.seconds.end())
      continue;
    const auto& yf = g_jobs[name + "/float"]->y;
    const auto& yv = g_jobs[name + "/int8"]->y;
    double diff = 0;
    for (size_t i = 0; i < yf.size(); ++i) diff = std::max(diff, double(std::fabs(yf[i] - yv[i])));
    const double gops = g_ops[name] / v->second / 1e9;
    std::printf("%-18s %9.3f %9.3f %9.3f %7.2fx %7.2fx %8.1f %5.0f%%  %.1e\n", name.c_str(),
                1e3 * f->second, 1e3 * q->second, 1e3 * v->second, f->second / v->second,
                q->second / v->second, gops, peak > 0 ? 100 * gops * 1e9 / peak : 0.0, diff);
  }
  if (peak > 0)
    std::printf("dot peak (512-bit vpdpbusd, %d thread(s)): %.1f GOPS\n", threads, peak / 1e9);
  // The other targets, each against the best one.
  for (const auto& name : shapes) {
    auto v = reporter.seconds.find(name + "/int8");
    if (v == reporter.seconds.end()) continue;
    for (int64_t t : others) {
      auto o = reporter.seconds.find(name + "/int8-" + hwy::TargetName(t));
      if (o == reporter.seconds.end()) continue;
      std::printf("%-18s %-7s %9.3f ms, %5.2fx the time of %s\n", name.c_str(), hwy::TargetName(t),
                  1e3 * o->second, o->second / v->second, target.c_str());
    }
  }
  auto a = reporter.seconds.find("director" + tt + "/b1");
  auto b = reporter.seconds.find("director" + tt + "/int8");
  if (a != reporter.seconds.end() && b != reporter.seconds.end())
    std::printf("demo director: float %.3f ms, int8 %.3f ms per frame, float/int8 %.2fx\n",
                1e3 * a->second, 1e3 * b->second, a->second / b->second);
  if (haveDemo) std::printf("demo director: int8 against float, PSNR %.1f dB\n", directorPsnr());
  if (!haveDemo) std::printf("demo director: skipped (LE_BENCH_BUNDLE names no bundle)\n");
  g_jobs.clear();
  benchmark::Shutdown();
  return 0;
}
