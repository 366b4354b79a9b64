// The landmarks of a 720p video frame: the avatar builder's way (the face
// looked for near where it was in the frame before, then its 68 points)
// against dlib's own detector on the whole frame and its shape predictor,
// called as an application would call them alone. Both start from the same
// RGB frame, so both pay for handing it to dlib.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wdeprecated-copy"
#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#pragma GCC diagnostic pop

#include "driver/le_image.h"
#include "face_landmarks.h"

namespace {

constexpr int kW = 1280, kH = 720;

// The astronaut portrait enlarged 1.3 times in the middle of a 720p frame.
const std::vector<uint8_t>& frame() {
  static const std::vector<uint8_t> rgb = [] {
    int w = 0, h = 0;
    const std::vector<uint8_t> src = le::loadImageRGB(LE_BENCH_DEMO_IMAGE, w, h);
    std::vector<uint8_t> out(size_t(kW) * kH * 3, 128);
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const int u = int(std::lround((x - kW / 2) / 1.3 + w / 2.0));
        const int v = int(std::lround((y - kH / 2) / 1.3 + h / 2.0));
        if (u < 0 || v < 0 || u >= w || v >= h) continue;
        for (int c = 0; c < 3; ++c)
          out[(size_t(y) * kW + x) * 3 + c] = src[(size_t(v) * w + u) * 3 + c];
      }
    return out;
  }();
  return rgb;
}

void BM_DlibAlone(benchmark::State& state) {
  const std::vector<uint8_t>& rgb = frame();
  dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
  dlib::shape_predictor predictor;
  dlib::deserialize(vever::defaultLandmarkModel()) >> predictor;
  dlib::matrix<dlib::rgb_pixel> img(kH, kW);
  for (auto _ : state) {
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        const uint8_t* p = &rgb[(size_t(y) * kW + x) * 3];
        img(y, x) = dlib::rgb_pixel(p[0], p[1], p[2]);
      }
    const std::vector<dlib::rectangle> faces = detector(img);
    if (faces.empty()) state.SkipWithError("dlib found no face");
    benchmark::DoNotOptimize(predictor(img, faces[0]));
  }
}
BENCHMARK(BM_DlibAlone)->Unit(benchmark::kMillisecond);

void BM_Follow(benchmark::State& state) {
  const std::vector<uint8_t>& rgb = frame();
  const vever::FaceFinder finder;
  const std::vector<vever::Face> faces = finder.find(rgb.data(), kW, kH);
  if (faces.empty()) {
    state.SkipWithError("no face found");
    return;
  }
  vever::Face now;
  for (auto _ : state)
    if (!finder.follow(rgb.data(), kW, kH, faces[0], now)) state.SkipWithError("face not followed");
}
BENCHMARK(BM_Follow)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
