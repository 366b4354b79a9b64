// The engine's operators against their definitions, and every load-time
// rewrite against the graph it replaces: the synthetic director is run
// through ONNX Runtime before and after, and must give the same crop.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

#include "graph_util.h"
#include "render/le_conv.h"
#include "render/le_rewrites.h"
#include "render/le_source_cone.h"
#include "render/le_warp.h"
#include "support/hwy_targets.h"

using namespace graph_test;

namespace {

constexpr int kCrop = 64;  // the generated models' crop
// Float rounding of a reordered computation; a wrong tap, weight or edge is
// far above it.
constexpr float kTol = 2e-5f;

std::vector<float> uniform(size_t n, unsigned seed, float lo, float hi) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

// Director inputs for `batch` items: a detailed prior, keypoints near the
// rest pose, and driving keypoints with the mouth open and the face moved
// by fractions of a pixel (the curvature correction and the mouth both act).
std::vector<Feed> directorFeeds(int batch, unsigned seed) {
  std::vector<Feed> f = {
      {"pooled64", uniform(size_t(batch) * 65536, seed, 0.f, 1.f), {batch, 64, 32, 32}},
      {"P_rgb", {}, {batch, 3, kCrop, kCrop}},
      {"kp_driving", {}, {batch, 21, 3}},
      {"kp_source", {}, {batch, 21, 3}}};
  for (int b = 0; b < batch; ++b) {
    for (int c = 0; c < 3; ++c)
      for (int y = 0; y < kCrop; ++y)
        for (int x = 0; x < kCrop; ++x)
          f[1].data.push_back(0.5f + 0.4f * std::sin(0.8f * y + 0.5f * c + float(b + seed)) *
                                         std::cos(0.6f * x + 0.3f * float(b)));
    auto src = uniform(63, seed + 10 + unsigned(b), -0.6f, 0.6f);
    for (int r = 13; r < 21; ++r) {  // the lips: an ellipse around the mouth
      const double t = (r - 13) * M_PI / 4;
      src[size_t(r) * 3] = float(0.22 * std::cos(t));
      src[size_t(r) * 3 + 1] = float(0.45 + 0.08 * std::sin(t));
    }
    auto drv = src;
    for (int r = 0; r < 13; ++r) drv[size_t(r) * 3] += 0.013f, drv[size_t(r) * 3 + 1] -= 0.021f;
    for (int r = 14; r <= 16; ++r) drv[size_t(r) * 3 + 1] += 0.03f * float(b + 1);
    f[2].data.insert(f[2].data.end(), drv.begin(), drv.end());
    f[3].data.insert(f[3].data.end(), src.begin(), src.end());
  }
  return f;
}

// Runs the model before and after `rewrite` on the same inputs (batch 1
// and 4); returns the largest difference and checks the rewrite applied.
template <class Rewrite>
float beforeAfter(Rewrite rewrite, size_t expected) {
  float worst = 0.f;
  for (int batch : {1, 4}) {
    Bytes model = modelBytes("b" + std::to_string(batch));
    auto plain = session(model);
    EXPECT_EQ(rewrite(model), expected) << "batch " << batch;
    auto edited = session(model);
    const auto feeds = directorFeeds(batch, 3);
    const auto a = run(plain, feeds), b = run(edited, feeds);
    EXPECT_GT(maxAbsDiff(a, feeds[1].data), 0.05f);  // the inputs exercise the graph
    worst = std::max(worst, maxAbsDiff(a, b));
  }
  return worst;
}

void attrS(Bytes& attrs, const char* name, const char* value) {
  Bytes a;
  le::onnx::putBytes(a, 1, name);
  le::onnx::putBytes(a, 4, value);
  le::onnx::putTag(a, 20, 0);
  le::onnx::putVarint(a, 3);
  le::onnx::putBytes(attrs, 5, a.data(), a.size());
}

// One sampler node: "GridSample" (bilinear, border) or an engine operator.
Bytes samplerModel(const std::string& op, std::vector<int64_t> x, std::vector<int64_t> grid) {
  Bytes g, attrs;
  std::string domain = le::kVelmoorDomain;
  if (op == "GridSample") {
    attrS(attrs, "mode", "bilinear");
    attrS(attrs, "padding_mode", "border");
    le::onnx::putIntAttr(attrs, "align_corners", 0);
    domain.clear();
  }
  le::onnx::putNode(g, op, {"X", "grid"}, "Y", "sampler", attrs, domain);
  input(g, "X", x);
  input(g, "grid", grid);
  output(g, "Y", {x[0], x[1], grid[1], grid[2]});
  return makeModel(g, true);
}

std::string runError(const Bytes& model, std::vector<int64_t> x, std::vector<int64_t> grid) {
  try {
    auto s = session(model);
    size_t nx = 1, ng = 1;
    for (auto d : x) nx *= size_t(d);
    for (auto d : grid) ng *= size_t(d);
    run(s, {{"X", std::vector<float>(nx, 0.5f), x}, {"grid", std::vector<float>(ng, 0.f), grid}},
        "Y");
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// Border, align_corners 0 bilinear sampling in double precision.
double bilinearRef(const float* img, int H, int W, double gx, double gy) {
  const double ix = std::clamp((gx + 1) * W / 2 - 0.5, 0.0, double(W - 1));
  const double iy = std::clamp((gy + 1) * H / 2 - 0.5, 0.0, double(H - 1));
  const int x0 = int(ix), y0 = int(iy), x1 = std::min(x0 + 1, W - 1), y1 = std::min(y0 + 1, H - 1);
  const double fx = ix - x0, fy = iy - y0;
  auto at = [&](int y, int x) { return double(img[size_t(y) * W + x]); };
  return (1 - fx) * (1 - fy) * at(y0, x0) + fx * (1 - fy) * at(y0, x1) +
         (1 - fx) * fy * at(y1, x0) + fx * fy * at(y1, x1);
}

TEST(GridSampleFast, KernelSamplesBilinearWithBorder) {
  const int C = 5, H = 21, W = 19;  // W leaves a remainder after 8-pixel steps
  const auto X = uniform(size_t(C) * H * W, 1, 0.f, 1.f);
  auto grid = uniform(size_t(H) * W * 2, 2, -1.3f, 1.3f);
  grid[0] = -1.f, grid[1] = -1.f;  // pixel (0, 0): X[0][0]
  grid[2] = 1.f, grid[3] = 1.f;    // pixel (0, 1): X[H-1][W-1]
  grid[4] = NAN, grid[5] = 1e30f;  // no integer conversion of these
  std::vector<float> scalar(X.size()), vec(X.size(), -1.f);
  le::gridSampleFastBandScalar(X.data(), grid.data(), scalar.data(), C, H, W, -5, H + 5);
  for (int c = 0; c < C; ++c) {
    const float* p = X.data() + size_t(c) * H * W;
    EXPECT_EQ(scalar[size_t(c) * H * W], p[0]);
    EXPECT_EQ(scalar[size_t(c) * H * W + 1], p[size_t(H) * W - 1]);
    for (int i = 3; i < H * W; ++i)
      ASSERT_NEAR(scalar[size_t(c) * H * W + i], bilinearRef(p, H, W, grid[2 * i], grid[2 * i + 1]),
                  1e-5)
          << "channel " << c << " pixel " << i;
  }
  le_test::forEachHwyTarget([&](const std::string&) {
    std::fill(vec.begin(), vec.end(), -1.f);
    le::gridSampleFastBand(X.data(), grid.data(), vec.data(), C, H, W, 3, 9);
    for (int c = 0; c < C; ++c)
      for (int i = 0; i < H * W; ++i) {
        const size_t k = size_t(c) * H * W + i;
        const int y = i / W;
        if (y >= 3 && y < 9)
          ASSERT_NEAR(vec[k], scalar[k], 1e-6) << k;
        else
          ASSERT_EQ(vec[k], -1.f) << "row outside the band written";
      }
  });
}

TEST(GridSampleFast, RewriteKeepsTheDirectorsOutput) {
  EXPECT_LT(beforeAfter([](Bytes& m) { return le::rewriteGridSampleToFast(m); }, 1), kTol);

  Bytes m = modelBytes("b1");
  EXPECT_FALSE(le::graphHasBakedGridSampleFast(m));
  ASSERT_EQ(le::rewriteGridSampleToFast(m), 1u);
  EXPECT_TRUE(le::graphHasBakedGridSampleFast(m));
  EXPECT_TRUE(le::onnx::hasOpsetImport(m, le::kVelmoorDomain));
  const Bytes once = m;
  EXPECT_EQ(le::rewriteGridSampleToFast(m), 0u);
  EXPECT_TRUE(m == once);
  EXPECT_TRUE(le::graphHasBakedGridSampleFast(modelBytes("gs_fast")));

  // Zeros padding is another operator; an existing import is not repeated.
  Bytes zeros = modelBytes("gs_zeros");
  EXPECT_EQ(le::rewriteGridSampleToFast(zeros), 0u);
  Bytes vel = modelBytes("velmoor_opset");
  ASSERT_EQ(le::rewriteGridSampleToFast(vel), 1u);
  int imports = 0;
  le::onnx::Reader r(le::onnx::slice(vel));
  le::onnx::Field f;
  while (r.next(f))
    imports += f.num == 8 && le::onnx::firstString(f.payload, 1) == le::kVelmoorDomain;
  EXPECT_EQ(imports, 1);
}

// The kernels index the grid by X's spatial size: any other grid is refused
// (it used to be read out of bounds), and the rewrite leaves a node alone
// when the graph declares such shapes.
TEST(GridSampleFast, GridOfAnotherSizeIsRefused) {
  const std::vector<int64_t> x = {1, 2, 8, 8}, small = {1, 4, 4, 2}, same = {1, 8, 8, 2};
  const std::string err = runError(samplerModel("GridSampleFast", x, small), x, small);
  EXPECT_NE(err.find("com.velmoor::GridSampleFast: the grid is [1,4,4,2] for X [1,2,8,8]"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("REFUSING"), std::string::npos);
  EXPECT_EQ(runError(samplerModel("GridSampleFast", x, same), x, same), "");
  const std::vector<int64_t> x3 = {1, 3, 8, 8};
  EXPECT_NE(runError(samplerModel("WarpDirector", x3, small), x3, small)
                .find("com.velmoor::WarpDirector: the grid is [1,4,4,2] for the source [1,3,8,8]"),
            std::string::npos);

  Bytes differ = samplerModel("GridSample", x, small), equal = samplerModel("GridSample", x, same);
  EXPECT_EQ(le::rewriteGridSampleToFast(differ), 0u);
  EXPECT_EQ(le::rewriteGridSampleToFast(equal), 1u);
}

TEST(StudentBlend, BecomesGemmWithTheSameOutput) {
  EXPECT_LT(beforeAfter([](Bytes& m) { return le::normaliseStudentBlend(m); }, 1), 1e-6f);
  Bytes g;
  le::onnx::putNode(g, "MatMul", {"a", "b", "c"}, "y", "/s2/blend", {});
  Bytes m = makeModel(g);
  EXPECT_EQ(le::normaliseStudentBlend(m), 0u);
}

TEST(HeadResize, DepthwiseConvReproducesTheCubicResize) {
  float taps[4];
  le::cubicTaps(0.5f, -0.75f, taps);
  EXPECT_FLOAT_EQ(taps[0], -0.09375f);
  EXPECT_FLOAT_EQ(taps[1], 0.59375f);
  EXPECT_FLOAT_EQ(taps[2], 0.59375f);
  EXPECT_FLOAT_EQ(taps[3], -0.09375f);
  le::cubicTaps(0.25f, -0.5f, taps);
  EXPECT_NEAR(taps[0] + taps[1] + taps[2] + taps[3], 1.0, 1e-6);

  // Compared through the whole director, and on the upsampled features
  // themselves, where a wrong phase or tap shows at full size.
  EXPECT_LT(beforeAfter([](Bytes& m) { return le::rewriteHeadCubicResize(m); }, 1), kTol);
  auto resizeModel = [](const char* ctm) {
    Bytes g, attrs;
    attrS(attrs, "mode", "cubic");
    attrS(attrs, "coordinate_transformation_mode", ctm);
    le::onnx::putNode(g, "Resize", {"X", "", "scales"}, "up", "/Resize", attrs);
    const float scales[4] = {1, 1, 2, 2};
    le::onnx::putInitializer(g, "scales", 1, {4}, scales, sizeof scales);
    const auto w = uniform(6 * 3 * 9, 4, -1.f, 1.f);
    le::onnx::putInitializer(g, "w", 1, {6, 3, 3, 3}, w.data(), w.size() * 4);
    Bytes cattrs;
    le::onnx::putIntAttr(cattrs, "group", 2);
    le::onnx::putNode(g, "Conv", {"up", "w"}, "Y", "conv", cattrs);
    input(g, "X", {2, 6, 7, 9});
    output(g, "Y", {2, 6, 12, 16});
    return makeModel(g);
  };
  Bytes m = resizeModel("half_pixel");
  auto plain = session(m);
  ASSERT_EQ(le::rewriteHeadCubicResize(m), 1u);
  std::vector<le::onnx::NodeInfo> nodes;
  le::onnx::readGraph(le::onnx::graphOf(m), nodes, nullptr, nullptr);
  ASSERT_EQ(nodes.size(), 4u);  // in the Resize's place, ahead of the Conv
  EXPECT_EQ(nodes[0].op + nodes[1].op + nodes[2].op + nodes[3].op, "PadConvDepthToSpaceConv");
  auto edited = session(m);
  const std::vector<Feed> feeds = {{"X", uniform(2 * 6 * 7 * 9, 5, 0.f, 1.f), {2, 6, 7, 9}}};
  EXPECT_LT(maxAbsDiff(run(plain, feeds, "Y"), run(edited, feeds, "Y")), 1e-5f);

  Bytes corners = resizeModel("align_corners");
  EXPECT_EQ(le::rewriteHeadCubicResize(corners), 0u);
  Bytes two = modelBytes("two_resize");
  EXPECT_EQ(le::rewriteHeadCubicResize(two), 0u);
}

// The definition, tap by tap with clamped 3 x 3 neighbourhoods, in double.
double warpRef(const float* img, int H, int W, double gx, double gy) {
  auto X = [&](int y, int x) {
    return double(img[size_t(std::clamp(y, 0, H - 1)) * W + std::clamp(x, 0, W - 1)]);
  };
  auto dxx = [&](int y, int x) { return X(y, x - 1) - 2 * X(y, x) + X(y, x + 1); };
  auto dyy = [&](int y, int x) { return X(y - 1, x) - 2 * X(y, x) + X(y + 1, x); };
  auto dxy = [&](int y, int x) {
    return dxx(std::max(y - 1, 0), x) - 2 * dxx(y, x) + dxx(std::min(y + 1, H - 1), x);
  };
  const double ix = ((gx + 1) * W - 1) / 2, iy = ((gy + 1) * H - 1) / 2;
  const double u = ix - std::floor(ix), v = iy - std::floor(iy);
  const double cx = std::clamp(ix, 0.0, double(W - 1)), cy = std::clamp(iy, 0.0, double(H - 1));
  const int x0 = int(cx), y0 = int(cy), x1 = std::min(x0 + 1, W - 1), y1 = std::min(y0 + 1, H - 1);
  const double fx = cx - x0, fy = cy - y0;
  auto B = [&](auto f) {
    return (1 - fx) * (1 - fy) * f(y0, x0) + fx * (1 - fy) * f(y0, x1) + (1 - fx) * fy * f(y1, x0) +
           fx * fy * f(y1, x1);
  };
  const double ex = u * (1 - u) / 2, ey = v * (1 - v) / 2;
  return B(X) - ex * B(dxx) - ey * B(dyy) + ex * ey * B(dxy);
}

TEST(WarpDirector, KernelIsTheCurvatureCorrectedSample) {
  const int H = 13, W = 19;
  const auto src = uniform(size_t(3) * H * W, 6, 0.f, 1.f);
  auto grid = uniform(size_t(H) * W * 2, 7, -1.3f, 1.3f);
  // The last pixel of each row (a row's remainder after 8- or 16-pixel
  // steps) samples where its first does: on every target the two paths
  // must agree bit for bit.
  for (int y = 0; y < H; ++y)
    for (int k = 0; k < 2; ++k) grid[(size_t(y) * W + W - 1) * 2 + k] = grid[size_t(y) * W * 2 + k];
  std::vector<float> out(src.size());
  le_test::forEachHwyTarget([&](const std::string&) {
    le::warpDirector(src.data(), grid.data(), out.data(), W, H);
    for (size_t row = 0; row < size_t(3) * H; ++row) ASSERT_EQ(out[row * W], out[row * W + W - 1]);
    for (int c = 0; c < 3; ++c)
      for (int i = 0; i < H * W; ++i)
        ASSERT_NEAR(out[size_t(c) * H * W + i],
                    warpRef(src.data() + size_t(c) * H * W, H, W, grid[2 * i], grid[2 * i + 1]),
                    1e-5)
            << "channel " << c << " pixel " << i;
  });
  // All differences vanish on a constant image.
  const std::vector<float> flat(src.size(), 0.375f);
  le::warpDirector(flat.data(), grid.data(), out.data(), W, H);
  for (float v : out) ASSERT_FLOAT_EQ(v, 0.375f);

  const std::vector<int64_t> x4 = {1, 4, 8, 8}, g = {1, 8, 8, 2};
  EXPECT_NE(runError(samplerModel("WarpDirector", x4, g), x4, g)
                .find("com.velmoor::WarpDirector: this node warps the director's 3-channel source "
                      "and the graph handed it C=4. REFUSING rather than writing a frame nobody "
                      "asked for."),
            std::string::npos);
}

TEST(WarpDirector, RewriteReplacesConeSamplerAndRecombination) {
  std::string reason;
  const float d =
      beforeAfter([&](Bytes& m) { return le::rewriteWarpBlockToCustomOp(m, reason); }, 16);
  EXPECT_LT(d, kTol) << reason;

  Bytes m = modelBytes("gs_fast");  // an already fast sampler goes too
  EXPECT_EQ(le::rewriteWarpBlockToCustomOp(m, reason), 16u) << reason;
  le::WarpBlock block;
  EXPECT_EQ(le::findWarpBlock(m, &block, reason), 0u);
  EXPECT_EQ(reason, "not one Concat consuming P_rgb: 0");
  EXPECT_EQ(le::findWarpBlock(m, nullptr, reason), 0u);
  EXPECT_EQ(reason, "no out param");

  const std::pair<const char*, const char*> refused[] = {
      {"two_concat", "not one Concat consuming P_rgb: 2"},
      {"gs_zeros", "the fused GridSample is not bilinear/border/align_corners=0"},
      {"cone_input", "cone reads graph input 'pooled64'"},
  };
  for (const auto& [key, why] : refused) {
    Bytes v = modelBytes(key);
    const Bytes before = v;
    reason.clear();
    EXPECT_EQ(le::rewriteWarpBlockToCustomOp(v, reason), 0u) << key;
    EXPECT_EQ(reason, why) << key;
    EXPECT_TRUE(v == before) << key;
  }
}

TEST(SourceCone, PrepThenPerFrameEqualsTheWholeGraph) {
  Bytes model = modelBytes("b1");
  le::rewriteGridSampleToFast(model);
  std::string boundary, reason;
  ASSERT_EQ(le::findSourceConeBoundary(model, boundary), 1);
  EXPECT_EQ(boundary, "/cone/concat_output_0");
  Bytes prepBytes, perBytes;
  ASSERT_TRUE(le::buildSourceConePrep(model, boundary, prepBytes, reason)) << reason;
  auto prep = session(prepBytes);
  ASSERT_EQ(prep.GetInputCount(), 1u);
  ASSERT_EQ(prep.GetOutputCount(), 1u);
  const auto dims = prep.GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
  EXPECT_EQ(dims, (std::vector<int64_t>{1, 12, kCrop, kCrop}));
  ASSERT_TRUE(le::buildSourceConePerFrame(model, boundary, dims.data(), 4, perBytes, reason))
      << reason;
  auto per = session(perBytes);
  auto whole = session(modelBytes("b1"));

  auto feeds = directorFeeds(1, 8);
  const auto cut = run(prep, {feeds[1]}, boundary.c_str());
  std::vector<Feed> perFeeds = {feeds[0], feeds[2], feeds[3], {boundary, cut, dims}};
  EXPECT_LT(maxAbsDiff(run(per, perFeeds), run(whole, feeds)), kTol);

  int count = le::findSourceConeBoundary(modelBytes("two_concat"), boundary);
  EXPECT_EQ(count, 2);
  const std::pair<const char*, const char*> refused[] = {
      {"cone_input", "cone reads graph input 'pooled64'"},
      {"prior_prgb", "P_rgb is also read outside the cone by /compose/prior"},
  };
  for (const auto& [key, why] : refused) {
    const Bytes v = modelBytes(key);
    ASSERT_EQ(le::findSourceConeBoundary(v, boundary), 1);
    EXPECT_FALSE(le::buildSourceConePrep(v, boundary, prepBytes, reason));
    EXPECT_EQ(reason, why);
    EXPECT_FALSE(le::buildSourceConePerFrame(v, boundary, dims.data(), 4, perBytes, reason));
    EXPECT_EQ(reason, why);
  }
}

TEST(LipContour, MinWithTheDeliveredMaskClipsTheAlpha) {
  for (int batch : {1, 4}) {
    Bytes model = modelBytes("b" + std::to_string(batch));
    auto plain = session(model);
    std::string reason;
    int canvas = 0, b = 0;
    ASSERT_EQ(le::rewriteBindLipContour(model, reason, canvas, b), 1) << reason;
    EXPECT_EQ(canvas, kCrop);
    EXPECT_EQ(b, batch);
    std::vector<le::onnx::NodeInfo> nodes;
    std::set<std::string> inputs;
    le::onnx::readGraph(le::onnx::graphOf(model), nodes, nullptr, &inputs);
    EXPECT_EQ(inputs.count(le::kLipInputName), 1u);
    for (const auto& n : nodes) {
      const bool readsAlpha =
          std::find(n.inputs.begin(), n.inputs.end(), "/alpha/clip_output_0") != n.inputs.end();
      EXPECT_EQ(readsAlpha, n.name == le::kLipMinName) << n.name;
      if (n.name == "/compose/inv" || n.name == "/compose/mouth") {
        EXPECT_NE(std::find(n.inputs.begin(), n.inputs.end(), le::kLipShrunkName), n.inputs.end());
      }
    }

    auto bound = session(model);
    auto feeds = directorFeeds(batch, 9);
    const auto ref = run(plain, feeds);
    feeds.push_back({le::kLipInputName,
                     std::vector<float>(size_t(batch) * kCrop * kCrop, 1.f),
                     {batch, 1, kCrop, kCrop}});
    EXPECT_LT(maxAbsDiff(run(bound, feeds), ref), 1e-6f);
    std::fill(feeds.back().data.begin(), feeds.back().data.end(), 0.f);
    EXPECT_GT(maxAbsDiff(run(bound, feeds), ref), 1e-3f);  // no mouth where the mask is 0
  }
  std::string reason;
  int canvas = 0, b = 0;
  Bytes lip = modelBytes("lip_input");
  EXPECT_EQ(le::rewriteBindLipContour(lip, reason, canvas, b), 0);
  EXPECT_EQ(reason, "the graph already carries an input named lip_delivery");
  Bytes fs = modelBytes("fs_b1");
  EXPECT_EQ(le::rewriteBindLipContour(fs, reason, canvas, b), 0);
  EXPECT_EQ(reason, "the graph does not carry the unified compose tail");
}

// The renderer's edits in its order: the lip binding must accept a graph
// the earlier edits changed, and the whole still gives the original crop.
TEST(Rewrites, AllEditsTogetherKeepTheOutput) {
  for (int batch : {1, 4}) {
    Bytes model = modelBytes("b" + std::to_string(batch));
    auto plain = session(model);
    EXPECT_EQ(le::rewriteGridSampleToFast(model) + le::normaliseStudentBlend(model) +
                  le::rewriteHeadCubicResize(model),
              3u);
    std::string reason;
    int canvas = 0, b = 0;
    ASSERT_EQ(le::rewriteBindLipContour(model, reason, canvas, b), 1) << reason;
    auto edited = session(model);
    auto feeds = directorFeeds(batch, 12);
    const auto ref = run(plain, feeds);
    feeds.push_back({le::kLipInputName,
                     std::vector<float>(size_t(batch) * kCrop * kCrop, 1.f),
                     {batch, 1, kCrop, kCrop}});
    EXPECT_LT(maxAbsDiff(run(edited, feeds), ref), kTol);
  }
}

// An initializer-only model is enough for the backend's recogniser.
Bytes convModel(const std::vector<std::pair<std::string, std::vector<int64_t>>>& inits) {
  Bytes g;
  for (const auto& [name, dims] : inits) le::onnx::putInitializer(g, name, 1, dims, nullptr, 0);
  return makeModel(g);
}

TEST(ConvBackend, RecognisesTheFusedGraphByItsInitializers) {
  EXPECT_FALSE(le::ConvBackend::available());
  try {
    le::ConvBackend::create("x", 1);
    ADD_FAILURE() << "create must refuse";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "le_conv: built without NEON fp16 support");
  }
  const std::vector<std::pair<std::string, std::vector<int64_t>>> fixed = {
      {"s.e0.conv.weight", {96, 96, 3, 3}},
      {"s.e0.conv.bias", {96}},
      {"s.e1.conv.weight", {144, 96, 3, 3}},
      {"s.e1.conv.bias", {144}},
      {"s.e2.conv.weight", {192, 144, 3, 3}},
      {"s.e2.conv.bias", {192}},
      {"s.d1.conv.weight", {144, 336, 3, 3}},
      {"s.d1.conv.bias", {144}},
      {"s.d0.conv.weight", {96, 240, 3, 3}},
      {"s.d0.conv.bias", {96}},
      {"s.ref.conv.weight", {48, 96, 3, 3}},
      {"s.ref.conv.bias", {48}},
      {"s.mask.weight", {22, 48, 3, 3}},
      {"s.mask.bias", {22}},
      {"s.occ.weight", {1, 48, 3, 3}},
      {"s.occ.bias", {1}},
      {"s.corr.0.conv.weight", {24, 7, 3, 3}},
      {"s.corr.0.conv.bias", {24}},
      {"s.corr.1.conv.weight", {24, 24, 3, 3}},
      {"s.corr.1.conv.bias", {24}},
      {"s.corr.2.weight", {12, 24, 3, 3}},
      {"s.corr.2.bias", {12}},
      {"s.tile.0.conv.weight", {32, 7, 3, 3}},
      {"s.tile.0.conv.bias", {32}},
      {"s.tile.1.conv.weight", {32, 32, 3, 3}},
      {"s.tile.1.conv.bias", {32}},
      {"s.tile.2.conv.weight", {32, 32, 3, 3}},
      {"s.tile.2.conv.bias", {32}},
      {"s.tile.3.weight", {3, 32, 3, 3}},
      {"s.tile.3.bias", {3}},
      {"s.grid64", {64, 64, 2}},
      {"s.feather", {1, 1, 256, 208}},
      {"s.wmlp.0.weight", {128, 255}},
      {"s.wmlp.0.bias", {128}},
      {"s.wmlp.2.weight", {64, 128}},
      {"s.wmlp.2.bias", {64}},
  };
  le_test::TempDir dir;
  auto supported = [&](std::vector<std::pair<std::string, std::vector<int64_t>>> drifting) {
    auto all = fixed;
    all.insert(all.end(), drifting.begin(), drifting.end());
    const Bytes m = convModel(all);
    le_test::writeFile(dir / "m.onnx", m.data(), m.size());
    return le::ConvBackend::graphSupported(dir / "m.onnx");
  };
  EXPECT_TRUE(supported({{"onnx::MatMul_338", {64, 196608}},
                         {"onnx::Sub_316", {1, 1, 32, 32, 2}},
                         {"onnx::Conv_313", {96, 85, 1, 1}},
                         {"onnx::Conv_314", {96}}}));
  // Renamed but the only one of its shape.
  EXPECT_TRUE(supported({{"onnx::MatMul_338", {64, 196608}},
                         {"onnx::Sub_999", {1, 1, 32, 32, 2}},
                         {"onnx::Conv_313", {96, 85, 1, 1}},
                         {"onnx::Conv_314", {96}}}));
  // The bias must follow its weight.
  EXPECT_FALSE(supported({{"onnx::MatMul_338", {64, 196608}},
                          {"onnx::Sub_316", {1, 1, 32, 32, 2}},
                          {"onnx::Conv_313", {96, 85, 1, 1}},
                          {"onnx::Conv_315", {96}}}));
  // Two candidates of the grid's shape, none of the usual name.
  EXPECT_FALSE(supported({{"onnx::MatMul_338", {64, 196608}},
                          {"a", {1, 1, 32, 32, 2}},
                          {"b", {1, 1, 32, 32, 2}},
                          {"onnx::Conv_313", {96, 85, 1, 1}},
                          {"onnx::Conv_314", {96}}}));
  EXPECT_FALSE(le::ConvBackend::graphSupported(dir / "missing.onnx"));
  EXPECT_FALSE(le::ConvBackend::graphSupported(std::string(LE_TEST_MODELS) + "/model_b1.onnx"));
}

}  // namespace
