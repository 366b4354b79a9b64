// The paste compositor next to the same job done with OpenCV, in one run:
// a 512 x 512 crop (three float planes in [0, 1]) sharpened with a 13-tap
// unsharp mask (amount 1.3, sigma 2), warped by a rotation and scale with
// sub-pixel offsets into a 1920 x 1080 RGB frame, and blended with the
// paste mask as alpha.
//  - paste/le:     le::Paste::composite, mode 0 (8 x 8 Lanczos);
//  - paste/opencv: planes merged and scaled, GaussianBlur-based unsharp,
//    warpAffine (INTER_LANCZOS4) of the crop and (INTER_LINEAR) of the
//    mask over the same footprint, per-pixel alpha blend.
// Both run on 2 threads. After the table: both times (wall, and the whole
// process's CPU, which another load on the machine inflates less), their
// ratios, and the PSNR between the two outputs over the footprint.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "compute/le_pool.h"
#include "paste/le_paste.h"
#include "paste/le_paste_simd.h"

#if LE_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kW = 1920, kH = 1080, kSide = 512, kThreads = 2;
constexpr float kAmount = 1.3f, kSigma = 2.f;
constexpr int kKsize = 13;

struct Job {
  std::vector<float> crop;    // 3 planes
  std::vector<uint8_t> mask;  // side x side
  std::vector<uint8_t> frame;
  float M[6];
  int x0, x1, y0, y1;  // the footprint, as the compositor computes it

  Job() : crop(size_t(3) * kSide * kSide), mask(size_t(kSide) * kSide), frame(size_t(kW) * kH * 3) {
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> noise(-0.04f, 0.04f);
    for (int c = 0; c < 3; ++c) {
      for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
          const float v = 0.5f + 0.3f * std::sin(x / (11.f + 3 * c)) * std::cos(y / 17.f) +
                          0.1f * ((x / 24 + y / 24) % 2) + noise(rng);
          crop[(size_t(c) * kSide + y) * kSide + x] = std::min(1.f, std::max(0.f, v));
        }
      }
    }
    // A feathered ellipse, like a face mask.
    for (int y = 0; y < kSide; ++y) {
      for (int x = 0; x < kSide; ++x) {
        const float dx = (x - 256.f) / 230.f, dy = (y - 260.f) / 245.f;
        const float a = (1.f - (dx * dx + dy * dy)) / 0.15f;
        mask[size_t(y) * kSide + x] = uint8_t(255.f * std::min(1.f, std::max(0.f, a)));
      }
    }
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        uint8_t* p = &frame[(size_t(y) * kW + x) * 3];
        p[0] = uint8_t((x * 255) / kW);
        p[1] = uint8_t((y * 255) / kH);
        p[2] = uint8_t(rng() % 64 + 96);
      }
    }
    const double s = 1.3, t = 0.06;
    M[0] = float(s * std::cos(t));
    M[1] = float(-s * std::sin(t));
    M[2] = 700.37f;
    M[3] = float(s * std::sin(t));
    M[4] = float(s * std::cos(t));
    M[5] = 150.61f;
    double lo[2] = {1e9, 1e9}, hi[2] = {-1e9, -1e9};
    for (double cy : {-4.0, kSide + 3.0}) {
      for (double cx : {-4.0, kSide + 3.0}) {
        const double X = M[0] * cx + M[1] * cy + M[2], Y = M[3] * cx + M[4] * cy + M[5];
        lo[0] = std::min(lo[0], X);
        hi[0] = std::max(hi[0], X);
        lo[1] = std::min(lo[1], Y);
        hi[1] = std::max(hi[1], Y);
      }
    }
    x0 = std::max(0, int(std::floor(lo[0])));
    x1 = std::min(kW - 1, int(std::ceil(hi[0])));
    y0 = std::max(0, int(std::floor(lo[1])));
    y1 = std::min(kH - 1, int(std::ceil(hi[1])));
  }
};

const Job& job() {
  static const Job j;
  return j;
}

void pasteLe(benchmark::State& st) {
  const Job& j = job();
  le::Paste p(j.mask, kSide, {kAmount, kSigma, kKsize});
  std::vector<uint8_t> frame = j.frame;
  for (auto _ : st) {
    p.composite(j.crop.data(), 255.f, j.M, frame.data(), kW, kH);
    benchmark::ClobberMemory();
  }
  st.counters["footprint_px"] = double(j.x1 - j.x0 + 1) * (j.y1 - j.y0 + 1);
}

#if LE_BENCH_OPENCV
struct CvPaste {
  cv::Mat maskF;  // the mask as alpha in [0, 1], made once like the compositor's mask
  cv::Mat src, blur, sharp, warped, warpedMask, frameF, alpha3;

  CvPaste() {
    cv::Mat(kSide, kSide, CV_8U, const_cast<uint8_t*>(job().mask.data()))
        .convertTo(maskF, CV_32F, 1.0 / 255);
  }

  void run(const Job& j, uint8_t* frame) {
    const size_t area = size_t(kSide) * kSide;
    std::vector<cv::Mat> planes;
    for (int c = 0; c < 3; ++c) {
      planes.emplace_back(kSide, kSide, CV_32F, const_cast<float*>(j.crop.data() + c * area));
    }
    cv::merge(planes, src);
    src.convertTo(src, CV_32FC3, 255.0);
    cv::GaussianBlur(src, blur, cv::Size(kKsize, kKsize), kSigma, kSigma, cv::BORDER_REFLECT_101);
    cv::addWeighted(src, 1.0 + kAmount, blur, -kAmount, 0.0, sharp);
    cv::min(sharp, 255.0, sharp);
    cv::max(sharp, 0.0, sharp);
    // The footprint's own frame: shift the transform by its origin.
    const cv::Mat A =
        (cv::Mat_<double>(2, 3) << j.M[0], j.M[1], j.M[2] - j.x0, j.M[3], j.M[4], j.M[5] - j.y0);
    const cv::Size size(j.x1 - j.x0 + 1, j.y1 - j.y0 + 1);
    cv::warpAffine(sharp, warped, A, size, cv::INTER_LANCZOS4, cv::BORDER_CONSTANT, cv::Scalar());
    cv::warpAffine(maskF, warpedMask, A, size, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    cv::Mat roi = cv::Mat(kH, kW, CV_8UC3, frame)(cv::Rect(j.x0, j.y0, size.width, size.height));
    roi.convertTo(frameF, CV_32FC3);
    cv::merge(std::vector<cv::Mat>{warpedMask, warpedMask, warpedMask}, alpha3);
    cv::Mat out = frameF + (warped - frameF).mul(alpha3);
    out.convertTo(roi, CV_8UC3);
  }
};

void pasteOpenCV(benchmark::State& st) {
  const Job& j = job();
  CvPaste p;
  std::vector<uint8_t> frame = j.frame;
  for (auto _ : st) {
    p.run(j, frame.data());
    benchmark::ClobberMemory();
  }
}

// The "Parallel framework:" entry of OpenCV's build information.
std::string parallelFramework() {
  const std::string info = cv::getBuildInformation();
  const size_t at = info.find("Parallel framework:");
  if (at == std::string::npos) return "parallel framework unknown";
  std::string line = info.substr(at, info.find('\n', at) - at);
  line.erase(
      std::unique(line.begin(), line.end(), [](char a, char b) { return a == ' ' && b == ' '; }),
      line.end());
  return line;
}

// PSNR of the two outputs over the footprint, each pasted once into a fresh frame.
double psnr() {
  const Job& j = job();
  std::vector<uint8_t> a = j.frame, b = j.frame;
  le::Paste p(j.mask, kSide, {kAmount, kSigma, kKsize});
  p.composite(j.crop.data(), 255.f, j.M, a.data(), kW, kH);
  CvPaste cvp;
  cvp.run(j, b.data());
  double se = 0;
  size_t n = 0;
  for (int y = j.y0; y <= j.y1; ++y) {
    for (int x = j.x0; x <= j.x1; ++x) {
      for (int c = 0; c < 3; ++c) {
        const double d = double(a[(size_t(y) * kW + x) * 3 + c]) - b[(size_t(y) * kW + x) * 3 + c];
        se += d * d;
        ++n;
      }
    }
  }
  return se == 0 ? INFINITY : 10.0 * std::log10(255.0 * 255.0 / (se / double(n)));
}
#endif

// Keeps the best seconds per iteration of every benchmark over its
// repetitions (the machine is shared; the minimum is the least disturbed);
// when only aggregates are reported, their medians.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (r.error_occurred || r.iterations <= 0 || (r.run_type != Run::RT_Iteration && !median)) {
        continue;
      }
      const double sec = r.real_accumulated_time / double(r.iterations);
      auto [it, fresh] = seconds.emplace(r.run_name.function_name, sec);
      if (!fresh && sec < it->second) it->second = sec;
      const double cpu = r.cpu_accumulated_time / double(r.iterations);
      auto [ct, cfresh] = cpuSeconds.emplace(r.run_name.function_name, cpu);
      if (!cfresh && cpu < ct->second) ct->second = cpu;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds, cpuSeconds;
};

}  // namespace

int main(int argc, char** argv) {
  // Both sides get the same two threads.
  setenv("LE_CORE_THREADS", std::to_string(kThreads).c_str(), 1);
#if LE_BENCH_OPENCV
  cv::setNumThreads(kThreads);
#endif
  benchmark::RegisterBenchmark("paste/le", pasteLe)
      ->Unit(benchmark::kMillisecond)
      ->MeasureProcessCPUTime()
      ->UseRealTime();
#if LE_BENCH_OPENCV
  benchmark::RegisterBenchmark("paste/opencv", pasteOpenCV)
      ->Unit(benchmark::kMillisecond)
      ->MeasureProcessCPUTime()
      ->UseRealTime();
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const Job& j = job();
  std::printf("\n512 crop into %dx%d, footprint %dx%d, ksize %d, threads %d, row kernel %s\n", kW,
              kH, j.x1 - j.x0 + 1, j.y1 - j.y0 + 1, kKsize, le::pool::threads(),
              le::simd::detail::pasteRowTarget());
  const auto& s = reporter.seconds;
  const auto& cpu = reporter.cpuSeconds;
  const auto le = s.find("paste/le");
  if (le != s.end()) {
    std::printf("paste/le      %8.3f ms/frame, CPU %.3f ms/frame\n", 1e3 * le->second,
                1e3 * cpu.at("paste/le"));
  }
#if LE_BENCH_OPENCV
  const auto cv = s.find("paste/opencv");
  if (cv != s.end()) {
    std::printf("paste/opencv  %8.3f ms/frame, CPU %.3f ms/frame\n", 1e3 * cv->second,
                1e3 * cpu.at("paste/opencv"));
  }
  std::printf("              (OpenCV %s, %d threads, %s)\n", CV_VERSION, cv::getNumThreads(),
              parallelFramework().c_str());
  if (le != s.end() && cv != s.end()) {
    std::printf("speed-up      %8.2fx the OpenCV pipeline (CPU: %.2fx)\n", cv->second / le->second,
                cpu.at("paste/opencv") / cpu.at("paste/le"));
  }
  std::printf("PSNR          %8.2f dB between the two outputs over the footprint\n", psnr());
#else
  std::printf("paste/opencv  not built: OpenCV (core, imgproc) was not found at configure time\n");
#endif
  benchmark::Shutdown();
  return 0;
}
