// The driver video's costs next to their peers, in one run:
//  - yuv420/<target>: a 1920x1080 yuv420p frame to packed RGB by
//    yuv420RowToRgb24 on each target (and "best", the normal dispatch),
//    next to libswscale converting the same frame on one thread;
//  - driver/cursor: a 60-frame 1080p H.264 clip played in a loop through a
//    DriverCursor (ahead 2, behind 11) with sequential pulls, next to
//    driver/raw, the same source decoded and converted by next() with no
//    cursor in between.
// Ratios of each pair, from the fastest and the median repetitions, are
// printed after the table. Results are checked, not just timed: the conversion
// against the integer formula, the cursor for frame order and zero seeks.

#include <benchmark/benchmark.h>
#include <hwy/targets.h>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "compute/le_simd.h"
#include "driver/le_driver.h"
#include "driver/le_yuv2rgb_simd.h"
#include "support/test_video.h"

namespace {

constexpr int kW = 1920, kH = 1080, kFrames = 60;

const int64_t kCandidates[] = {HWY_AVX3_DL, HWY_AVX3, HWY_AVX2, HWY_SSE4, HWY_SSSE3, HWY_SCALAR};

struct UseTarget {
  explicit UseTarget(int64_t t) { hwy::SetSupportedTargetsForTest(t); }
  ~UseTarget() { hwy::SetSupportedTargetsForTest(0); }
  UseTarget(const UseTarget&) = delete;
  UseTarget& operator=(const UseTarget&) = delete;
};

// ------------------------------------------------------------ one frame

// A decoded frame's planes: gradients over the byte range with texture,
// laid out with padded strides as FFmpeg's frames are.
struct Frame {
  int strideY = kW + 64, strideC = kW / 2 + 32;
  std::vector<uint8_t> y, u, v;
  std::vector<uint8_t> want;  // the formula's RGB

  Frame() : y(size_t(strideY) * kH), u(size_t(strideC) * (kH / 2)), v(size_t(strideC) * (kH / 2)) {
    std::mt19937 rng(3);
    for (int r = 0; r < kH; ++r) {
      for (int x = 0; x < kW; ++x) y[size_t(r) * strideY + x] = uint8_t((x + r) / 12 + rng() % 24);
    }
    for (int r = 0; r < kH / 2; ++r) {
      for (int x = 0; x < kW / 2; ++x) {
        u[size_t(r) * strideC + x] = uint8_t(x * 255 / (kW / 2) + rng() % 8);
        v[size_t(r) * strideC + x] = uint8_t(r * 255 / (kH / 2) + rng() % 8);
      }
    }
    want.resize(size_t(kW) * kH * 3);
    auto clamp = [](int a) { return uint8_t(a < 0 ? 0 : a > 255 ? 255 : a); };
    for (int r = 0; r < kH; ++r) {
      for (int x = 0; x < kW; ++x) {
        const int c = 298 * (y[size_t(r) * strideY + x] - 16) + 128;
        const int d = u[size_t(r / 2) * strideC + x / 2] - 128;
        const int e = v[size_t(r / 2) * strideC + x / 2] - 128;
        uint8_t* o = &want[(size_t(r) * kW + x) * 3];
        o[0] = clamp((c + 409 * e) >> 8);
        o[1] = clamp((c - 100 * d - 208 * e) >> 8);
        o[2] = clamp((c + 516 * d) >> 8);
      }
    }
  }

  void convert(uint8_t* dst) const {
    for (int r = 0; r < kH; ++r) {
      le::simd::yuv420RowToRgb24(&y[size_t(r) * strideY], &u[size_t(r / 2) * strideC],
                                 &v[size_t(r / 2) * strideC], kW, 1, dst + size_t(r) * kW * 3);
    }
  }
};

const Frame& frame() {
  static const Frame f;
  return f;
}

void convertOn(benchmark::State& st, int64_t target) {
  const Frame& f = frame();
  std::vector<uint8_t> out(f.want.size());
  std::unique_ptr<UseTarget> use;
  if (target) {
    use = std::make_unique<UseTarget>(target);
    // The compute kernels share the process-wide target choice and are built
    // for the same targets; they confirm the switch took.
    if (std::strcmp(le::simd::detail::dispatchedTarget(), hwy::TargetName(target)) != 0) {
      st.SkipWithError("target not reached");
      return;
    }
  }
  for (auto _ : st) {
    f.convert(out.data());
    benchmark::ClobberMemory();
  }
  if (out != f.want) st.SkipWithError("bytes differ from the integer formula");
  st.SetItemsProcessed(int64_t(st.iterations()) * kW * kH);
}

void swscale(benchmark::State& st, int flags) {
  const Frame& f = frame();
  std::vector<uint8_t> out(f.want.size());
  SwsContext* sws = sws_getContext(kW, kH, AV_PIX_FMT_YUV420P, kW, kH, AV_PIX_FMT_RGB24, flags,
                                   nullptr, nullptr, nullptr);
  int64_t threads = 0;
  if (!sws || av_opt_get_int(sws, "threads", 0, &threads) < 0 || threads != 1) {
    st.SkipWithError("no single-threaded swscale context for the conversion");
    sws_freeContext(sws);
    return;
  }
  const uint8_t* src[3] = {f.y.data(), f.u.data(), f.v.data()};
  const int srcStride[3] = {f.strideY, f.strideC, f.strideC};
  uint8_t* dst[1] = {out.data()};
  const int dstStride[1] = {kW * 3};
  for (auto _ : st) {
    sws_scale(sws, src, srcStride, 0, kH, dst, dstStride);
    benchmark::ClobberMemory();
  }
  sws_freeContext(sws);
  st.SetItemsProcessed(int64_t(st.iterations()) * kW * kH);
}

// ------------------------------------------------------------ the clip

// A 60-frame 1080p clip written once per run and removed at exit.
class Clip {
 public:
  Clip() {
    path_ = (std::filesystem::temp_directory_path() /
             ("bench_driver_" + std::to_string(getpid()) + ".mp4"))
                .string();
    le_test::VideoSpec video;
    video.width = kW;
    video.height = kH;
    video.frames = kFrames;
    video.encoder = "libx264";
    video.pixfmt = "yuv420p";
    // Moving gradients with grain: the decoder has real residuals to work on.
    std::mt19937 rng(5);
    error_ = le_test::encodeVideoYuv(
        path_, video, [&](int t, uint8_t* const planes[3], const int ls[3]) {
          for (int r = 0; r < kH; ++r) {
            uint8_t* row = planes[0] + size_t(r) * ls[0];
            for (int x = 0; x < kW; ++x)
              row[x] = uint8_t(((x + 4 * t) ^ (r - 2 * t)) / 4 + rng() % 6);
          }
          for (int p = 1; p < 3; ++p) {
            for (int r = 0; r < kH / 2; ++r) {
              uint8_t* row = planes[p] + size_t(r) * ls[p];
              for (int x = 0; x < kW / 2; ++x)
                row[x] = uint8_t(p == 1 ? (x + 3 * t) / 4 : 64 + (r + t) / 3);
            }
          }
        });
  }
  ~Clip() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }

 private:
  std::string path_, error_;
};

const Clip& clip() {
  static const Clip c;
  return c;
}

// Both sides play the clip in a loop, as a session does: the source or the
// cursor is opened once, a warm-up pass fills caches and the ring, and each
// iteration is one pass of all frames, wrap-around included.

void driverCursor(benchmark::State& st) {
  const Clip& c = clip();
  if (!c.error().empty()) {
    st.SkipWithError(("encoding the clip failed: " + c.error()).c_str());
    return;
  }
  auto cursor = le::DriverCursor::over(le::driver::openMp4(c.path(), kFrames, kW, kH), 2, 11);
  uint64_t sum = 0;
  const auto pass = [&]() {
    for (int i = 0; i < kFrames; ++i) {
      int idx = -1;
      const uint8_t* px = cursor->pull(idx);
      if (idx != i) {
        st.SkipWithError(
            ("pull gave frame " + std::to_string(idx) + " for " + std::to_string(i)).c_str());
        return false;
      }
      sum += px[size_t(i) * 4099];
    }
    return true;
  };
  if (!pass()) return;
  for (auto _ : st) {
    if (!pass()) return;
  }
  benchmark::DoNotOptimize(sum);
  const uint64_t seeks = cursor->seeks();
  if (seeks != 0) {
    st.SkipWithError(("sequential pulls caused " + std::to_string(seeks) + " seeks").c_str());
    return;
  }
  st.counters["seeks"] = double(seeks);
  st.SetItemsProcessed(int64_t(st.iterations()) * kFrames);
}

void driverRaw(benchmark::State& st) {
  const Clip& c = clip();
  if (!c.error().empty()) {
    st.SkipWithError(("encoding the clip failed: " + c.error()).c_str());
    return;
  }
  auto source = le::driver::openMp4(c.path(), kFrames, kW, kH);
  std::vector<uint8_t> dst(size_t(kW) * kH * 3);
  uint64_t sum = 0;
  const auto pass = [&]() {
    source->rewind();
    for (int i = 0; i < kFrames; ++i) {
      if (!source->next(dst.data())) {
        st.SkipWithError(("the source ended at frame " + std::to_string(i)).c_str());
        return false;
      }
      sum += dst[size_t(i) * 4099];
    }
    return true;
  };
  if (!pass()) return;
  for (auto _ : st) {
    if (!pass()) return;
  }
  benchmark::DoNotOptimize(sum);
  st.SetItemsProcessed(int64_t(st.iterations()) * kFrames);
}

// ------------------------------------------------------------ ratios

// Every benchmark runs kRepetitions times, interleaved at random with the
// others, and reports the minimum next to the usual statistics: the machine
// is shared, and the least disturbed repetition is the fairest comparison.
// The conversions are single-threaded and compared by the CPU time of their
// thread, which other processes' load does not inflate; the driver keeps
// decoder threads busy and is compared by wall time.
constexpr int kRepetitions = 5;

double minOf(const std::vector<double>& v) {
  return *std::min_element(v.begin(), v.end());
}

// Keeps each benchmark's minimum and median seconds per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred || r.run_type != Run::RT_Aggregate || r.iterations <= 0) continue;
      auto* into = r.aggregate_name == "min"      ? &seconds
                   : r.aggregate_name == "median" ? &medianSeconds
                                                  : nullptr;
      if (!into) continue;
      const bool wall = r.run_name.function_name.rfind("driver/", 0) == 0;
      (*into)[r.run_name.function_name] =
          (wall ? r.real_accumulated_time : r.cpu_accumulated_time) / double(r.iterations);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds, medianSeconds;
};

// Ratios from the fastest repetitions, with those of the medians after them.
void printRatios(const std::map<std::string, double>& s, const std::map<std::string, double>& m) {
  const auto median = [&m](const std::string& name) {
    const auto it = m.find(name);
    return it == m.end() ? 0.0 : it->second;
  };
  // The fastest swscale flavour is the peer.
  std::string peer;
  for (const auto& [name, sec] : s) {
    if (name.rfind("yuv420/swscale_", 0) == 0 && (peer.empty() || sec < s.at(peer))) peer = name;
  }
  std::printf("\nbest of %d repetitions (medians in brackets)\n", kRepetitions);
  if (!peer.empty()) {
    std::printf("%-24s %7.3f ms/frame CPU (%.3f)  peer\n", peer.c_str(), 1e3 * s.at(peer),
                1e3 * median(peer));
    for (const auto& [name, sec] : s) {
      if (name.rfind("yuv420/", 0) != 0 || name.rfind("yuv420/swscale_", 0) == 0) continue;
      std::printf("%-24s %7.3f ms/frame CPU (%.3f)  %5.2fx the peer's speed (%.2fx)\n",
                  name.c_str(), 1e3 * sec, 1e3 * median(name), s.at(peer) / sec,
                  median(peer) / median(name));
    }
  }
  const auto cur = s.find("driver/cursor"), raw = s.find("driver/raw");
  if (cur != s.end() && raw != s.end()) {
    const double rawMed = median(raw->first), curMed = median(cur->first);
    std::printf("driver/raw    %7.1f frames/s (%.1f)\n", kFrames / raw->second, kFrames / rawMed);
    std::printf("driver/cursor %7.1f frames/s (%.1f)  %.3f of the raw rate (%.3f)\n",
                kFrames / cur->second, kFrames / curMed, raw->second / cur->second,
                rawMed / curMed);
  }
}

benchmark::internal::Benchmark* repeated(benchmark::internal::Benchmark* b) {
  return b->Unit(benchmark::kMillisecond)
      ->Repetitions(kRepetitions)
      ->ComputeStatistics("min", minOf)
      ->DisplayAggregatesOnly(true);
}

void registerAll() {
  hwy::SetSupportedTargetsForTest(0);
  const int64_t supported = hwy::SupportedTargets();
  for (int64_t t : kCandidates) {
    if (!(supported & t)) continue;
    repeated(benchmark::RegisterBenchmark((std::string("yuv420/") + hwy::TargetName(t)).c_str(),
                                          [t](benchmark::State& st) { convertOn(st, t); }));
  }
  repeated(
      benchmark::RegisterBenchmark("yuv420/best", [](benchmark::State& st) { convertOn(st, 0); }));
  const std::pair<const char*, int> flavours[] = {
      {"fast_bilinear", SWS_FAST_BILINEAR}, {"bilinear", SWS_BILINEAR}, {"point", SWS_POINT}};
  for (const auto& [name, flags] : flavours) {
    const int f = flags;
    repeated(benchmark::RegisterBenchmark((std::string("yuv420/swscale_") + name).c_str(),
                                          [f](benchmark::State& st) { swscale(st, f); }));
  }
  repeated(benchmark::RegisterBenchmark("driver/raw", driverRaw))->UseRealTime()->Iterations(5);
  repeated(benchmark::RegisterBenchmark("driver/cursor", driverCursor))
      ->UseRealTime()
      ->Iterations(5);
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  registerAll();
  // Interleaving spreads any change in the machine's load over all of them;
  // a later flag on the command line still wins.
  std::vector<char*> args(argv, argv + argc);
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int n = int(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printRatios(reporter.seconds, reporter.medianSeconds);
  benchmark::Shutdown();
  return 0;
}
