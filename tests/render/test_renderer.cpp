#include <gtest/gtest.h>
#include <onnxruntime_c_api.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "compute/le_simd.h"
#include "render/le_renderer.h"
#include "support/test_util.h"

using le_test::TempDir;

using le_test::errorOf;

namespace {

// The last line of a construction names the provider; the lines before it
// report the load-time graph edits.
const std::string kCpuLine = "[le] director ep=cpu (ORT CPU EP)\n";
bool endsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Keypoints in the models' normalised crop coordinates; rows 13..20 are the lips.
std::vector<float> keypoints(int seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-0.8f, 0.8f);
  std::vector<float> kp(63);
  for (float& v : kp) v = u(rng);
  return kp;
}

class RendererTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"LE_CONV_BACKEND", "LE_ORT_SPIN", "LE_ORT_PROFILE"}) ::unsetenv(v);
    le_test::writeBundle(dir.path(), 4, 2);
    for (const char* key : {"fs_b1", "fs_b4", "kp22", "dynbatch", "dynrows"})
      le_test::copyFile(std::string(LE_TEST_MODELS) + "/model_" + key + ".onnx",
                        dir / ("model_" + std::string(key) + ".onnx"));
    manifest = le::loadManifest(dir.path());
    identity = std::make_unique<le::Identity>(manifest);
  }
  void TearDown() override {
    for (const char* v : {"LE_CONV_BACKEND", "LE_ORT_SPIN", "LE_ORT_PROFILE"}) ::unsetenv(v);
  }
  // Builds a renderer and returns what it wrote to standard error.
  std::string build(const std::string& model, const std::string& ep = "", int threads = 1) {
    testing::internal::CaptureStderr();
    std::string err;
    try {
      renderer = std::make_unique<le::Renderer>(manifest, *identity, model, threads, ep);
    } catch (const std::runtime_error& e) {
      err = e.what();
    }
    const std::string log = testing::internal::GetCapturedStderr();
    return err.empty() ? log : "ERROR " + err;
  }
  std::vector<float> priorFloats(int s) {
    std::vector<float> p(64 * 64 * 3);
    le::halfToFloat(identity->P(s), p.data(), p.size());
    return p;
  }
  TempDir dir;
  le::Manifest manifest;
  std::unique_ptr<le::Identity> identity;
  std::unique_ptr<le::Renderer> renderer;
};

TEST_F(RendererTest, RendersThePriorForEqualKeypoints) {
  EXPECT_PRED2(endsWith, build("b1"), kCpuLine);
  EXPECT_EQ(renderer->batch(), 1);
  EXPECT_EQ(renderer->ep(), "cpu");
  EXPECT_EQ(renderer->backend(), "ort");
  EXPECT_EQ(renderer->directorNote(), "");
  const auto kp = keypoints(1);
  for (int s : {2, 0}) {
    const float* out = renderer->render(&s, kp.data(), kp.data(), 1);
    const auto want = priorFloats(s);
    double worst = 0;
    for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, double(std::fabs(out[i] - want[i])));
    EXPECT_LT(worst, 1e-4) << "source " << s;
  }
  // Moving the lips changes the crop.
  auto moved = kp;
  for (int r = 14; r <= 16; ++r) moved[size_t(r) * 3 + 1] += 0.08f;
  const int s = 1;
  std::vector<float> a(renderer->render(&s, kp.data(), kp.data(), 1),
                       renderer->render(&s, kp.data(), kp.data(), 1) + 64 * 64 * 3);
  const float* b = renderer->render(&s, kp.data(), moved.data(), 1);
  double diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff = std::max(diff, double(std::fabs(a[i] - b[i])));
  EXPECT_GT(diff, 1e-3);

  testing::internal::CaptureStderr();
  renderer.reset();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(log.rfind("[le-director-ort] 5 frames: ", 0), 0u) << log;
  EXPECT_NE(log.find(" ms/frame in Session::Run (the director this plane serves today; its "
                     "Adreno counterpart prints the same line)\n"),
            std::string::npos);
}

TEST_F(RendererTest, PartialBatchesRepeatTheirLastItem) {
  ASSERT_PRED2(endsWith, build("b4"), kCpuLine);
  ASSERT_EQ(renderer->batch(), 4);
  const auto k0 = keypoints(3), k1 = keypoints(4);
  std::vector<float> src(k0), drv(k0);
  src.insert(src.end(), k1.begin(), k1.end());
  auto k1moved = k1;
  for (int r = 13; r <= 20; ++r) k1moved[size_t(r) * 3 + 1] += 0.05f;
  drv.insert(drv.end(), k1moved.begin(), k1moved.end());
  const int si[2] = {3, 1};
  const float* out = renderer->render(si, src.data(), drv.data(), 2);
  const size_t item = 64 * 64 * 3;
  std::vector<float> batch(out, out + 4 * item);
  for (int j = 2; j < 4; ++j)
    for (size_t i = 0; i < item; ++i) ASSERT_EQ(batch[j * item + i], batch[item + i]) << j;
  // Item 0 is source 3 unmoved: its prior.
  const auto want = priorFloats(3);
  for (size_t i = 0; i < item; i += 97) EXPECT_NEAR(batch[i], want[i], 1e-4);

  EXPECT_EQ(errorOf([&] { renderer->render(si, src.data(), drv.data(), 0); }), "render: bad n");
  EXPECT_EQ(errorOf([&] { renderer->render(si, src.data(), drv.data(), 5); }), "render: bad n");
}

TEST_F(RendererTest, ExecutionProviderRules) {
  EXPECT_EQ(build("b1", "cpu"), "ERROR Renderer: unknown ep 'cpu'");
  EXPECT_EQ(build("b1", "xnnpack").rfind(
                "ERROR Renderer: ep 'xnnpack' is REFUSED. This renderer rewrites its graph to", 0),
            0u);
  const std::string neon = build("b1", "neon");
  EXPECT_EQ(neon.rfind("[le] fp16 NEON backend requested but unavailable on this build/CPU; "
                       "using ORT\n",
                       0),
            0u);
  EXPECT_PRED2(endsWith, neon, kCpuLine);
  EXPECT_EQ(renderer->ep(), "cpu");
  ::setenv("LE_CONV_BACKEND", "neon", 1);
  EXPECT_EQ(build("b1").rfind("[le] fp16 NEON backend requested but unavailable", 0), 0u);
  ::unsetenv("LE_CONV_BACKEND");

  // This runtime has no CoreML provider: one fallback to the CPU provider.
  for (const char* ep : {"coreml", "coreml:ane", "coreml-gpu"}) {
    const std::string log = build("b1", ep);
    EXPECT_EQ(log.rfind("[le] CoreML EP session refused: ", 0), 0u) << log;
    EXPECT_NE(log.find(" \xE2\x80\x94 falling back to the ORT CPU EP\n"), std::string::npos) << log;
    EXPECT_PRED2(endsWith, log, kCpuLine);
    EXPECT_EQ(renderer->ep(), "cpu");
  }
  const char* version = OrtGetApiBase()->GetVersionString();
  EXPECT_EQ(le::coremlCacheDir("/b"), std::string("/b/.coreml_cache/ort") + version);
}

TEST_F(RendererTest, InputContractRefusals) {
  const std::string path = dir / "model_kp22.onnx";
  EXPECT_EQ(build("kp22"),
            "ERROR Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + path +
                " \xE2\x80\x94 the graph declares kp_driving with 22 keypoint rows, and this "
                "renderer feeds 21 (le::kHostKpRows, le/le.h). That is the recipe_v4 / kd_v4 "
                "shape: row 21 is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's second "
                "output. This engine has no width feed, so that row would be read from past the "
                "end of every host keypoint set. REFUSING AT LOAD rather than dying inside ORT at "
                "the first Run.");
  EXPECT_EQ(build("dynbatch"), "ERROR pooled64 input not found / bad shape");
  EXPECT_PRED2(endsWith, build("dynrows"), kCpuLine);
  EXPECT_EQ(build("missing"), "ERROR Renderer: cannot open " + dir / "model_missing.onnx");
  EXPECT_EQ(build("fs_b1"), "ERROR FeatSynth graph but bundle lacks fs_red.f16");
}

TEST_F(RendererTest, FeatSynthFamily) {
  std::vector<uint16_t> fs(size_t(4) * 262144);
  for (size_t i = 0; i < fs.size(); ++i) fs[i] = le::f32ToF16(float(i % 101) / 100.f);
  le_test::writeVector(dir / "fs_red.f16", fs);
  identity = std::make_unique<le::Identity>(manifest);
  ASSERT_PRED2(endsWith, build("fs_b4"), kCpuLine);
  EXPECT_EQ(renderer->batch(), 4);
  const auto kp = keypoints(5);
  const int si[1] = {2};
  std::vector<float> a(renderer->render(si, kp.data(), kp.data(), 1),
                       renderer->render(si, kp.data(), kp.data(), 1) + 64 * 64 * 3);
  const int other[1] = {0};
  const float* b = renderer->render(other, kp.data(), kp.data(), 1);
  double diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff = std::max(diff, double(std::fabs(a[i] - b[i])));
  EXPECT_GT(diff, 1e-4);  // the source frame's features reach the crop

  // An m4b model without any warp prior is refused.
  std::remove((dir / "P.f16").c_str());
  identity = std::make_unique<le::Identity>(manifest);
  const std::string err = build("b1");
  EXPECT_EQ(err.rfind("ERROR m4b graph (P_rgb input) but this bundle carries no warp prior: "
                      "neither P.f16, nor fs_red.f16, nor a P_hevc.mov to play in place is present",
                      0),
            0u);
  EXPECT_EQ(err.substr(err.size() - 29), "REFUSING to create a session.");
}

TEST_F(RendererTest, ProfilingWritesItsFile) {
  ::setenv("LE_ORT_PROFILE", (dir / "prof").c_str(), 1);
  ASSERT_PRED2(endsWith, build("b1"), kCpuLine);
  const auto kp = keypoints(6);
  const int s = 0;
  renderer->render(&s, kp.data(), kp.data(), 1);
  testing::internal::CaptureStderr();
  renderer.reset();
  const std::string log = testing::internal::GetCapturedStderr();
  const size_t at = log.find("[le_ort_profile] ");
  ASSERT_NE(at, std::string::npos) << log;
  std::string file = log.substr(at + 17);
  file = file.substr(0, file.find('\n'));
  EXPECT_EQ(file.rfind(dir / "prof", 0), 0u);
  EXPECT_TRUE(le_test::fileExists(file)) << file;
}

}  // namespace
