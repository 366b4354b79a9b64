#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/le_ort.h"
#include "bundle/le_bundle.h"
#include "compute/le_simd.h"
#include "driver/le_driver.h"
#include "render/graph_util.h"
#include "render/gridsample_fast.h"
#include "render/le_renderer.h"
#include "support/test_util.h"
#include "tessera/le_lip_contour.h"

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
    for (const char* v : kEnv) ::unsetenv(v);
    le_test::writeBundle(dir.path(), 4, 2);
    for (const char* key :
         {"fs_b1", "fs_b4", "kp22", "dynbatch", "dynrows", "gs_fast", "two_concat", "cone_input"})
      le_test::copyFile(std::string(LE_TEST_MODELS) + "/model_" + key + ".onnx",
                        dir / ("model_" + std::string(key) + ".onnx"));
    manifest = le::loadManifest(dir.path());
    identity = std::make_unique<le::Identity>(manifest);
  }
  void TearDown() override {
    for (const char* v : kEnv) ::unsetenv(v);
  }
  static constexpr const char* kEnv[] = {"LE_CONV_BACKEND",
                                         "LE_ORT_SPIN",
                                         "LE_ORT_PROFILE",
                                         "LE_GS_FAST",
                                         "VELMOOR_TAVRIN2_GRIDSAMPLE_FAST",
                                         "LE_GS_REWRITE",
                                         "LE_WARP_NODE"};
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
    for (size_t i = 0; i < want.size(); ++i)
      worst = std::max(worst, double(std::fabs(out[i] - want[i])));
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
  EXPECT_EQ(
      build("b1", "xnnpack")
          .rfind("ERROR Renderer: ep 'xnnpack' is REFUSED. This renderer rewrites its graph to", 0),
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

// The lines of each edit the renderer applies or declines, in their order.
TEST_F(RendererTest, GraphEditLines) {
  const std::string ellipse =
      "[le] !!! compose alpha: ELLIPSE (model_b1.onnx) \xE2\x80\x94 this bundle carries no "
      "lip_template.v1.json, so the director generates the over-covering elliptical region the "
      "contour replaces.\n";
  const std::string gs =
      "[le] std GridSample -> com.velmoor::GridSampleFast load-time rewrite: 1 node(s) "
      "(model_b1.onnx)\n";
  const std::string rest =
      "[le] L3 student blend MatMul -> Gemm load-time normalisation: 1 node(s) (model_b1.onnx)\n"
      "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: 1 "
      "node(s) (model_b1.onnx)\n" +
      kCpuLine;
  const std::string hoist =
      "[le] source-cone hoist: '/cone/concat_output_0' [1,12,64,64] leaves the per-frame graph "
      "and is prefetched per SOURCE FRAME on one spare core (model_b1.onnx)\n";
  EXPECT_EQ(build("b1"), ellipse + hoist + gs + rest);

  ::setenv("LE_GS_REWRITE", "0", 1);
  EXPECT_EQ(build("b1"),
            "[le] LE_GS_REWRITE=0: load-time std GridSample -> com.velmoor::GridSampleFast "
            "rewrite DISABLED (model_b1.onnx); the custom op is still registered, so a baked "
            "bundle loads and runs its baked kernel. A standard bundle now runs ORT's own "
            "GridSample.\n" +
                ellipse + hoist + rest);
  ::unsetenv("LE_GS_REWRITE");

  ::setenv("LE_WARP_NODE", "1", 1);
  EXPECT_EQ(build("b1"),
            "[le] director warp -> com.velmoor::WarpDirector (16 nodes removed, the source cone "
            "with them)\n" +
                ellipse +
                "[le] source-cone hoist SKIPPED (model_b1.onnx): the warp node subsumes the cone "
                "\xE2\x80\x94 there is nothing left to hoist\n" +
                rest);
  std::string log = build("two_concat");
  EXPECT_EQ(log.rfind("[le] director warp NOT moved to one node (not one Concat consuming P_rgb: "
                      "2) \xE2\x80\x94 the graph loads exactly as it did before\n",
                      0),
            0u)
      << log;
  EXPECT_NE(log.find("[le] source-cone hoist NOT applied (model_two_concat.onnx): expected "
                     "exactly one Concat consuming P_rgb, found 2\n"),
            std::string::npos);
  ::setenv("LE_GS_FAST", "0", 1);
  EXPECT_EQ(build("b1"),
            "[le] director warp NOT moved to one node (LE_GS_FAST=0 leaves the com.velmoor domain "
            "unregistered, so the warp node would have no kernel) \xE2\x80\x94 the graph loads "
            "exactly as it did before\n" +
                ellipse + hoist + rest);
  ::unsetenv("LE_WARP_NODE");

  // The flag removes the kernel a baked graph needs: refused, under either name.
  const std::string baked =
      "ERROR Renderer: LE_GS_FAST=0 (or VELMOOR_TAVRIN2_GRIDSAMPLE_FAST=0, "
      "which sets it) was asked for, but " +
      dir / "model_gs_fast.onnx" + " has com.velmoor::GridSampleFast BAKED INTO THE GRAPH.";
  EXPECT_EQ(build("gs_fast").rfind(baked, 0), 0u);
  ::unsetenv("LE_GS_FAST");
  ::setenv("VELMOOR_TAVRIN2_GRIDSAMPLE_FAST", "0", 1);
  EXPECT_EQ(build("gs_fast").rfind(baked, 0), 0u);
  ::unsetenv("VELMOOR_TAVRIN2_GRIDSAMPLE_FAST");
  EXPECT_PRED2(endsWith, build("gs_fast"), kCpuLine);

  EXPECT_NE(build("b4").find("[le] source-cone hoist NOT applied (model_b4.onnx): batch-1 lever; "
                             "this graph declares batch 4\n"),
            std::string::npos);
  EXPECT_NE(build("cone_input")
                .find("[le] source-cone hoist NOT applied (model_cone_input.onnx): "
                      "cone reads graph input 'pooled64'\n"),
            std::string::npos);
}

// The unedited model through ONNX Runtime against every way the renderer
// can load it, on a walk over the source frames with moving lips.
TEST_F(RendererTest, EditedSessionsRenderTheUneditedCrop) {
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "test");
  Ort::SessionOptions one;
  one.SetIntraOpNumThreads(1);  // the runtime's own pool is opaque to the race checker
  Ort::Session plain(env, (dir / "model_b1.onnx").c_str(), one);
  auto reference = [&](int s, const std::vector<float>& src, const std::vector<float>& drv) {
    std::vector<float> pooled(65536), prior = priorFloats(s);
    le::halfToFloat(identity->pooled64(s), pooled.data(), pooled.size());
    auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    const int64_t ps[4] = {1, 64, 32, 32}, pr[4] = {1, 3, 64, 64}, kp[3] = {1, 21, 3};
    std::vector<Ort::Value> in;
    in.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), ps, 4));
    in.push_back(Ort::Value::CreateTensor<float>(mem, prior.data(), prior.size(), pr, 4));
    in.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(drv.data()), 63, kp, 3));
    in.push_back(Ort::Value::CreateTensor<float>(mem, const_cast<float*>(src.data()), 63, kp, 3));
    const char* names[4] = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
    const char* out = "rgb";
    auto o = plain.Run(Ort::RunOptions{nullptr}, names, in.data(), 4, &out, 1);
    const float* p = o[0].GetTensorData<float>();
    return std::vector<float>(p, p + 64 * 64 * 3);
  };
  for (const char* mode : {"default", "LE_GS_REWRITE", "LE_WARP_NODE"}) {
    SCOPED_TRACE(mode);
    if (std::string(mode) == "LE_GS_REWRITE") ::setenv(mode, "0", 1);
    if (std::string(mode) == "LE_WARP_NODE") ::setenv(mode, "1", 1);
    renderer.reset();
    ASSERT_PRED2(endsWith, build("b1"), kCpuLine);
    for (int s : {1, 2, 3, 0, 1}) {
      auto src = keypoints(10 + s), drv = src;
      for (int r = 13; r <= 20; ++r) drv[size_t(r) * 3 + 1] += 0.02f * float(r % 3);
      for (int r = 0; r < 13; ++r) drv[size_t(r) * 3] += 0.011f;
      const float* got = renderer->render(&s, src.data(), drv.data(), 1);
      const auto want = reference(s, src, drv);
      float worst = 0.f;
      for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
      EXPECT_LT(worst, 2e-5f) << "source " << s;
    }
    ::unsetenv(mode);
  }
}

// A bundle with a lip template: the contour is bound, fed per item from the
// driving keypoints, and clips the mouth alpha; a bad template refuses.
TEST_F(RendererTest, LipTemplateClipsTheComposeAlpha) {
  // Rest pose of the generated models: lips on an ellipse around (0, 0.45).
  std::vector<float> src(63, 0.f);
  for (int r = 0; r < 13; ++r) src[size_t(r) * 3] = -0.6f + 0.1f * float(r);
  for (int k = 0; k < 8; ++k) {
    src[size_t(13 + k) * 3] = 0.22f * float(std::cos(k * M_PI / 4));
    src[size_t(13 + k) * 3 + 1] = 0.45f + 0.08f * float(std::sin(k * M_PI / 4));
  }
  auto drv = src;
  for (int r = 14; r <= 16; ++r) drv[size_t(r) * 3 + 1] += 0.06f;
  const size_t item = 64 * 64 * 3, plane = 64 * 64;
  std::vector<std::vector<float>> ellipse;  // per model, the crop without a template
  for (const char* model : {"b1", "b4"}) {
    renderer.reset();  // its timing line is not part of the next build's log
    ASSERT_PRED2(endsWith, build(model), kCpuLine);
    const int s[2] = {1, 1};
    const float* out = renderer->render(s, src.data(), drv.data(), 1);
    ellipse.emplace_back(out, out + item);
  }

  const std::string tmpl =
      "{\"format\": \"lip-template-v1\", \"canvas\": 64, \"feather_px\": 2, "
      "\"u_canon\": [[0,-1],[1,0],[0,1],[-1,0]], \"lip_idx\": [13,14,15,16,17,18,19,20]}";
  le_test::writeFile(dir / "lip_template.v1.json", tmpl);
  manifest = le::loadManifest(dir.path());
  le::tessera::LipContour lc = le::tessera::LipContour::fromTemplateJson(tmpl, 64);
  std::vector<float> contour(plane);
  lc.contourF32Canvas(drv.data(), contour.data());
  int k = 0;
  for (const char* model : {"b1", "b4"}) {
    SCOPED_TRACE(model);
    renderer.reset();
    const std::string log = build(model);
    EXPECT_EQ(log.find("ELLIPSE"), std::string::npos) << log;
    EXPECT_NE(log.find("[le] compose alpha: LIP CONTOUR (model_" + std::string(model) +
                       ".onnx) \xE2\x80\x94 Min(a, lip_delivery) bound at load, 4 verts, "
                       "feather 2.0 px; the graph's ellipse is not reachable in this session\n"),
              std::string::npos)
        << log;
    // Item 0 rests (nothing to clip), item 1 moves its lips.
    std::vector<float> srcs(src), drvs(src);
    srcs.insert(srcs.end(), src.begin(), src.end());
    drvs.insert(drvs.end(), drv.begin(), drv.end());
    const int s[2] = {1, 1};
    const int n = renderer->batch() == 1 ? 1 : 2;
    const float* out =
        renderer->render(s, srcs.data() + 63 * (2 - n), drvs.data() + 63 * (2 - n), n);
    const float* moved = out + item * size_t(n - 1);
    double inside = 0, clipped = 0;
    for (size_t c = 0; c < 3; ++c)
      for (size_t i = 0; i < plane; ++i) {
        const float a = ellipse[size_t(k)][c * plane + i], b = moved[c * plane + i];
        if (contour[i] >= 1.f) inside = std::max(inside, double(std::fabs(a - b)));
        if (contour[i] == 0.f) clipped += std::fabs(a - b);
      }
    EXPECT_LT(inside, 1e-5);  // where the contour is 1 the alpha is the graph's own
    EXPECT_GT(clipped, 0.5);  // outside it the mouth no longer reaches
    ++k;
  }

  // A graph the binding cannot edit keeps its ellipse and says why.
  le_test::copyFile(std::string(LE_TEST_MODELS) + "/model_lip_input.onnx",
                    dir / "model_lip_input.onnx");
  renderer.reset();
  EXPECT_NE(build("lip_input")
                .find("[le] !!! lip contour NOT bound to the compose alpha "
                      "(model_lip_input.onnx): the graph already carries an input "
                      "named lip_delivery \xE2\x80\x94 this session serves the "
                      "graph's own ELLIPSE\n"),
            std::string::npos);
  le_test::writeFile(dir / "lip_template.v1.json",
                     "{\"format\": \"lip-template-v1\", \"canvas\": 64, \"feather_px\": 0}");
  manifest = le::loadManifest(dir.path());
  EXPECT_EQ(build("b1"),
            "ERROR lip_template.v1.json: declares feather_px 0.000000, which is not positive");
}

TEST(SourcePredictor, FollowsLoopsAndBounces) {
  auto walk = [](std::vector<int> steps, int frames) {
    le::SourcePredictor p;
    int next = -1;
    for (int s : steps) next = p.next(s, frames);
    return next;
  };
  EXPECT_EQ(walk({3, 4}, 10), 5);
  EXPECT_EQ(walk({8, 9}, 10), 8);                             // bounce at the end
  EXPECT_EQ(walk({9, 0}, 10), 1);                             // wrapped: a loop, step +1
  EXPECT_EQ(walk({9, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 10), 0);  // after wrap, 9 goes on to 0
  EXPECT_EQ(walk({5, 4}, 10), 3);                             // walking backwards
  EXPECT_EQ(walk({1, 0}, 10), 1);                             // and bouncing at the start
  EXPECT_EQ(walk({0}, 10), 1);                                // no history: forwards
  EXPECT_EQ(walk({1, 0}, 2), 1);                              // two frames: wrap makes the step -1
  EXPECT_EQ(walk({4, 4}, 1), 4);                              // one frame
  EXPECT_EQ(walk({2, 7}, 10), 8);                             // a jump keeps the old step
}

TEST_F(RendererTest, RingPrefetchesTheNextSourceFrame) {
  ASSERT_PRED2(endsWith, build("b1"), kCpuLine);
  const auto kp = keypoints(2);
  auto render = [&](int s) { renderer->render(&s, kp.data(), kp.data(), 1); };
  // A miss runs the prep on the caller and then finds the frame: every
  // render ends in a hit, the misses count the preps the prefetch missed.
  auto misses = [&](uint64_t renders) {
    const auto c = renderer->ringCounts();
    EXPECT_EQ(c.first, renders);
    return c.second;
  };
  render(0);
  EXPECT_EQ(misses(1), 1u);
  render(0);  // the same frame again: no prep
  EXPECT_EQ(misses(2), 1u);
  for (int s : {1, 2, 3}) render(s);  // each prefetched while the previous one rendered
  EXPECT_EQ(misses(5), 1u);
  render(0);  // 3 -> 0 was predicted as a bounce to 2
  EXPECT_EQ(misses(6), 2u);
  for (int s : {1, 2, 3, 0, 1}) render(s);  // now known to loop
  EXPECT_EQ(misses(11), 2u);
}

// A cone whose run fails for one source frame: Gather at an index read from
// the frame's largest value.
TEST_F(RendererTest, RingPrepFailureIsSticky) {
  using le::onnx::Bytes;
  Bytes g, attrs;
  le::onnx::putIntAttr(attrs, "keepdims", 0);
  le::onnx::putNode(g, "ReduceMax", {"P_rgb"}, "mx", "max", attrs);
  attrs.clear();
  le::onnx::putIntAttr(attrs, "to", 7);
  le::onnx::putNode(g, "Cast", {"mx"}, "idx", "cast", attrs);
  attrs.clear();
  le::onnx::putIntAttr(attrs, "axis", 1);
  le::onnx::putNode(g, "Gather", {"P_rgb", "idx"}, "plane", "gather", attrs);
  const int64_t one[1] = {1}, zero[1] = {0}, three[1] = {3};
  le::onnx::putInitializer(g, "one", 7, {1}, one, 8);
  le::onnx::putInitializer(g, "zero", 7, {1}, zero, 8);
  le::onnx::putInitializer(g, "three", 7, {1}, three, 8);
  le::onnx::putNode(g, "Unsqueeze", {"plane", "one"}, "plane4", "unsq", {});
  attrs.clear();
  le::onnx::putIntAttr(attrs, "axis", 1);
  le::onnx::putNode(g, "Concat", {"P_rgb", "plane4"}, "tip", "concat", attrs);
  le::onnx::putNode(g, "Slice", {"tip", "zero", "three", "one"}, "rgb", "slice", {});
  for (auto [name, dims] :
       std::vector<std::pair<const char*, std::vector<int64_t>>>{{"pooled64", {1, 64, 32, 32}},
                                                                 {"P_rgb", {1, 3, 64, 64}},
                                                                 {"kp_driving", {1, 21, 3}},
                                                                 {"kp_source", {1, 21, 3}}})
    le::onnx::putTensorValueInfo(g, 11, name, dims.data(), int(dims.size()));
  const int64_t out[4] = {1, 3, 64, 64};
  le::onnx::putTensorValueInfo(g, 12, "rgb", out, 4);
  const Bytes m = graph_test::makeModel(g);
  le_test::writeFile(dir / "model_gather.onnx", m.data(), m.size());
  // Frame 2 holds 7.0 everywhere: index 7 of 3 channels.
  std::vector<uint16_t> P(size_t(4) * 64 * 64 * 3, le::f32ToF16(0.25f));
  std::fill(P.begin() + 2 * 64 * 64 * 3, P.begin() + 3 * 64 * 64 * 3, le::f32ToF16(7.f));
  le_test::writeVector(dir / "P.f16", P);
  identity = std::make_unique<le::Identity>(manifest);

  const std::string log = build("gather");
  ASSERT_NE(log.find("[le] source-cone hoist: 'tip' [1,4,64,64]"), std::string::npos) << log;
  const auto kp = keypoints(3);
  int s = 0;
  EXPECT_EQ(renderer->render(&s, kp.data(), kp.data(), 1)[5], 0.25f);
  s = 2;
  const std::string err = errorOf([&] { renderer->render(&s, kp.data(), kp.data(), 1); });
  EXPECT_EQ(err.rfind("Renderer: the hoisted source cone failed in ORT \xE2\x80\x94 ", 0), 0u)
      << err;
  s = 0;  // still in the ring, but the ring has failed
  EXPECT_EQ(errorOf([&] { renderer->render(&s, kp.data(), kp.data(), 1); }), err);
}

}  // namespace
