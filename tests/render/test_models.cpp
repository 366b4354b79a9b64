// The synthetic render models written by tools/gen_models.py at build time:
// they must declare the inputs the renderer binds and behave like a director
// (equal keypoints give the prior back, moved lips change the mouth and
// nothing far from it), or the renderer and rewrite tests built on them
// prove nothing.

#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#ifndef LE_TEST_MODELS
#error "LE_TEST_MODELS must name the directory of the generated models"
#endif

namespace {

constexpr int kRows = 21;
constexpr int kLip0 = 13, kLip1 = 21;  // lip rows of the generator's convention

// The generator's rest pose (x, y in normalised crop coordinates; z unused).
std::vector<float> neutralKp(int rows = kRows) {
  static const float face[13][2] = {
      {-0.55f, -0.30f}, {-0.35f, -0.38f}, {-0.15f, -0.30f}, {0.15f, -0.30f}, {0.35f, -0.38f},
      {0.55f, -0.30f},  {-0.35f, -0.15f}, {0.35f, -0.15f},  {0.00f, -0.05f}, {0.00f, 0.15f},
      {-0.70f, 0.20f},  {0.70f, 0.20f},   {0.00f, 0.85f}};
  std::vector<float> kp(size_t(rows) * 3, 0.f);
  for (int r = 0; r < rows; ++r) {
    float x, y;
    if (r < 13) {
      x = face[r][0], y = face[r][1];
    } else if (r < kLip1) {
      const double t = (r - kLip0) * M_PI / 4;
      x = float(0.22 * std::cos(t)), y = float(0.45 + 0.08 * std::sin(t));
    } else {
      x = 0.9f, y = -0.9f;  // extra rows of the 22-row model
    }
    kp[size_t(r) * 3] = x, kp[size_t(r) * 3 + 1] = y, kp[size_t(r) * 3 + 2] = 0.25f * float(r);
  }
  return kp;
}

// Opens the mouth: lower lip (rows 14..16) down, upper lip (18..20) up.
std::vector<float> openMouth(std::vector<float> kp, float down = 0.08f, float up = 0.03f) {
  for (int r = 14; r <= 16; ++r) kp[size_t(r) * 3 + 1] += down;
  for (int r = 18; r <= 20; ++r) kp[size_t(r) * 3 + 1] -= up;
  return kp;
}

std::string modelPath(const std::string& key) {
  return std::string(LE_TEST_MODELS) + "/model_" + key + ".onnx";
}

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "test_models");
  return e;
}

Ort::Session open(const std::string& key) {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(1);
  o.SetInterOpNumThreads(1);
  return Ort::Session(env(), modelPath(key).c_str(), o);
}

std::map<std::string, std::vector<int64_t>> inputShapes(Ort::Session& s) {
  Ort::AllocatorWithDefaultOptions alloc;
  std::map<std::string, std::vector<int64_t>> out;
  for (size_t i = 0; i < s.GetInputCount(); ++i)
    out[s.GetInputNameAllocated(i, alloc).get()] =
        s.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
  return out;
}

struct Feed {
  std::string name;
  std::vector<float> data;
  std::vector<int64_t> shape;
};

std::vector<float> run(Ort::Session& s, std::vector<Feed>& feeds, std::vector<int64_t>* shape = nullptr) {
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  std::vector<const char*> names;
  for (auto& f : feeds) {
    values.push_back(Ort::Value::CreateTensor<float>(mem, f.data.data(), f.data.size(),
                                                     f.shape.data(), f.shape.size()));
    names.push_back(f.name.c_str());
  }
  const char* outName = "rgb";
  auto outs = s.Run(Ort::RunOptions{nullptr}, names.data(), values.data(), values.size(), &outName, 1);
  auto info = outs[0].GetTensorTypeAndShapeInfo();
  if (shape) *shape = info.GetShape();
  const float* p = outs[0].GetTensorData<float>();
  return std::vector<float>(p, p + info.GetElementCount());
}

// A face-sized pattern with detail everywhere, so any displacement shows.
std::vector<float> priorImage(int crop, float phase) {
  std::vector<float> p(size_t(3) * crop * crop);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < crop; ++y)
      for (int x = 0; x < crop; ++x)
        p[(size_t(c) * crop + y) * crop + x] =
            0.5f + 0.4f * std::sin(0.8f * y + 0.5f * c + phase) * std::cos(0.6f * x + phase);
  return p;
}

std::vector<float> uniform(size_t n, unsigned seed, float lo = 0.f, float hi = 1.f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

// One m4b item: pooled features, prior and both keypoint sets.
struct Item {
  std::vector<float> pooled, prior, kpDrv, kpSrc;
};

Item makeItem(int crop, unsigned seed, int rows = kRows) {
  Item it;
  it.pooled = uniform(64 * 32 * 32, seed);
  it.prior = priorImage(crop, 0.37f * float(seed));
  it.kpSrc = neutralKp(rows);
  auto jitter = uniform(it.kpSrc.size(), seed + 100, -0.02f, 0.02f);
  for (size_t i = 0; i < jitter.size(); ++i) it.kpSrc[i] += jitter[i];
  it.kpDrv = it.kpSrc;
  return it;
}

std::vector<float> concat(const std::vector<const std::vector<float>*>& parts) {
  std::vector<float> v;
  for (auto* p : parts) v.insert(v.end(), p->begin(), p->end());
  return v;
}

std::vector<float> runM4b(Ort::Session& s, const std::vector<Item>& items, int crop) {
  const int64_t b = int64_t(items.size());
  const int64_t rows = int64_t(items[0].kpDrv.size() / 3);
  std::vector<Feed> feeds(4);
  feeds[0] = {"pooled64", {}, {b, 64, 32, 32}};
  feeds[1] = {"P_rgb", {}, {b, 3, crop, crop}};
  feeds[2] = {"kp_driving", {}, {b, rows, 3}};
  feeds[3] = {"kp_source", {}, {b, rows, 3}};
  for (auto& it : items) {
    feeds[0].data.insert(feeds[0].data.end(), it.pooled.begin(), it.pooled.end());
    feeds[1].data.insert(feeds[1].data.end(), it.prior.begin(), it.prior.end());
    feeds[2].data.insert(feeds[2].data.end(), it.kpDrv.begin(), it.kpDrv.end());
    feeds[3].data.insert(feeds[3].data.end(), it.kpSrc.begin(), it.kpSrc.end());
  }
  std::vector<int64_t> shape;
  auto out = run(s, feeds, &shape);
  EXPECT_EQ(shape, (std::vector<int64_t>{b, 3, crop, crop}));
  return out;
}

float maxAbsDiff(const float* a, const float* b, size_t n) {
  float m = 0.f;
  for (size_t i = 0; i < n; ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

int cropOf(Ort::Session& s) { return int(inputShapes(s).at("P_rgb").at(3)); }

// Largest change per region between two crops of one item.
struct Regions {
  float mouth = 0.f;  // inside the lips' bounding box grown by 0.1
  float far = 0.f;    // further than 0.6 from every lip keypoint
  long farPixels = 0;
};

Regions compare(const std::vector<float>& a, const std::vector<float>& b, int crop,
                const std::vector<float>& kpA, const std::vector<float>& kpB) {
  float x0 = 9, x1 = -9, y0 = 9, y1 = -9;
  std::vector<std::pair<float, float>> lips;
  for (auto* kp : {&kpA, &kpB})
    for (int r = kLip0; r < kLip1; ++r) {
      const float x = (*kp)[size_t(r) * 3], y = (*kp)[size_t(r) * 3 + 1];
      lips.push_back({x, y});
      x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    }
  Regions r;
  for (int y = 0; y < crop; ++y)
    for (int x = 0; x < crop; ++x) {
      const float nx = (2.f * x + 1.f) / crop - 1.f, ny = (2.f * y + 1.f) / crop - 1.f;
      float d = 1e9f;
      for (auto& l : lips) d = std::min(d, std::hypot(nx - l.first, ny - l.second));
      float m = 0.f;
      for (int c = 0; c < 3; ++c) {
        const size_t i = (size_t(c) * crop + y) * crop + x;
        m = std::max(m, std::fabs(a[i] - b[i]));
      }
      if (nx > x0 - 0.1f && nx < x1 + 0.1f && ny > y0 - 0.1f && ny < y1 + 0.1f)
        r.mouth = std::max(r.mouth, m);
      if (d > 0.6f) r.far = std::max(r.far, m), ++r.farPixels;
    }
  return r;
}

// The director's warp recomputed from its documented definition: the grid
// p + sum_k w_k (src_k - drv_k) / max(1, sum_k w_k), w_k a Gaussian of width
// 0.1 around driving keypoint k, sampled with the curvature-corrected
// bilinear interpolation (align_corners 0, border).
std::vector<float> referenceWarp(const std::vector<float>& img, int crop, const std::vector<float>& drv,
                                 const std::vector<float>& src, bool corrected = true) {
  const int n = crop;
  auto at = [&](int c, int y, int x) {
    y = std::clamp(y, 0, n - 1), x = std::clamp(x, 0, n - 1);
    return double(img[(size_t(c) * n + y) * n + x]);
  };
  auto dxx = [&](int c, int y, int x) { return at(c, y, x - 1) - 2 * at(c, y, x) + at(c, y, x + 1); };
  auto dyy = [&](int c, int y, int x) { return at(c, y - 1, x) - 2 * at(c, y, x) + at(c, y + 1, x); };
  auto dxy = [&](int c, int y, int x) {
    return dxx(c, std::max(y - 1, 0), x) - 2 * dxx(c, y, x) + dxx(c, std::min(y + 1, n - 1), x);
  };
  std::vector<float> out(img.size());
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      const double px = (2.0 * x + 1) / n - 1, py = (2.0 * y + 1) / n - 1;
      double ws = 0, mx = 0, my = 0;
      for (int k = 0; k < kRows; ++k) {
        const double ddx = px - drv[size_t(k) * 3], ddy = py - drv[size_t(k) * 3 + 1];
        const double w = std::exp(-(ddx * ddx + ddy * ddy) / (2 * 0.1 * 0.1));
        ws += w;
        mx += w * (src[size_t(k) * 3] - drv[size_t(k) * 3]);
        my += w * (src[size_t(k) * 3 + 1] - drv[size_t(k) * 3 + 1]);
      }
      const double gx = px + mx / std::max(1.0, ws), gy = py + my / std::max(1.0, ws);
      const double ix = ((gx + 1) * n - 1) / 2, iy = ((gy + 1) * n - 1) / 2;
      const double u = ix - std::floor(ix), v = iy - std::floor(iy);
      const double ex = corrected ? u * (1 - u) / 2 : 0, ey = corrected ? v * (1 - v) / 2 : 0;
      const int x0 = int(std::floor(ix)), y0 = int(std::floor(iy));
      for (int c = 0; c < 3; ++c) {
        auto bil = [&](auto f) {
          auto tap = [&](int yy, int xx) { return f(c, std::clamp(yy, 0, n - 1), std::clamp(xx, 0, n - 1)); };
          return (1 - u) * (1 - v) * tap(y0, x0) + u * (1 - v) * tap(y0, x0 + 1) + (1 - u) * v * tap(y0 + 1, x0) +
                 u * v * tap(y0 + 1, x0 + 1);
        };
        const double r = bil(at) - ex * bil(dxx) - ey * bil(dyy) + ex * ey * bil(dxy);
        out[(size_t(c) * n + y) * n + x] = float(std::clamp(r, 0.0, 1.0));
      }
    }
  return out;
}

TEST(RenderModels, DeclareTheInputsTheRendererBinds) {
  for (int64_t b : {1, 4}) {
    auto s = open("b" + std::to_string(b));
    const int64_t c = cropOf(s);
    EXPECT_GE(c, 8);
    auto in = inputShapes(s);
    EXPECT_EQ(in.size(), 4u);
    EXPECT_EQ(in["pooled64"], (std::vector<int64_t>{b, 64, 32, 32}));
    EXPECT_EQ(in["P_rgb"], (std::vector<int64_t>{b, 3, c, c}));
    EXPECT_EQ(in["kp_driving"], (std::vector<int64_t>{b, kRows, 3}));
    EXPECT_EQ(in["kp_source"], (std::vector<int64_t>{b, kRows, 3}));
    EXPECT_EQ(s.GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape(),
              (std::vector<int64_t>{b, 3, c, c}));
  }
  for (int64_t b : {1, 4}) {
    auto s = open("fs_b" + std::to_string(b));
    auto in = inputShapes(s);
    EXPECT_EQ(in.size(), 4u);
    EXPECT_EQ(in["fs_red"], (std::vector<int64_t>{b, 64, 64, 64}));
    EXPECT_EQ(in["pooled"], (std::vector<int64_t>{b, 64, 32, 32}));
    EXPECT_EQ(in["kd"], (std::vector<int64_t>{b, kRows, 3}));
    EXPECT_EQ(in["ks"], (std::vector<int64_t>{b, kRows, 3}));
  }
  // The shapes the renderer must refuse, and the one it must accept.
  auto kp22 = open("kp22");
  EXPECT_EQ(inputShapes(kp22)["kp_driving"], (std::vector<int64_t>{1, 22, 3}));
  EXPECT_EQ(inputShapes(kp22)["kp_source"], (std::vector<int64_t>{1, 22, 3}));
  auto dynBatch = open("dynbatch");
  EXPECT_LT(inputShapes(dynBatch)["pooled64"].at(0), 0);
  auto dynRows = open("dynrows");
  EXPECT_EQ(inputShapes(dynRows)["pooled64"].at(0), 1);
  EXPECT_LT(inputShapes(dynRows)["kp_driving"].at(1), 0);
  EXPECT_LT(inputShapes(dynRows)["kp_source"].at(1), 0);
}

// Equal keypoints: the identity grid, no mouth tint, so the prior comes back.
TEST(RenderModels, EqualKeypointsGiveThePriorBack) {
  struct Case {
    const char* key;
    int batch, rows;
  };
  const Case cases[] = {{"b1", 1, kRows},         {"b4", 4, kRows},        {"dynbatch", 2, kRows},
                        {"dynrows", 1, kRows},    {"kp22", 1, 22},         {"prior_prgb", 1, kRows},
                        {"two_concat", 1, kRows}, {"gs_zeros", 1, kRows},  {"cone_input", 1, kRows},
                        {"two_resize", 1, kRows}, {"velmoor_opset", 1, kRows}};
  for (const auto& cs : cases) {
    SCOPED_TRACE(cs.key);
    auto s = open(cs.key);
    const int crop = cropOf(s);
    std::vector<Item> items;
    for (int i = 0; i < cs.batch; ++i) items.push_back(makeItem(crop, 11u + unsigned(i), cs.rows));
    auto out = runM4b(s, items, crop);
    const size_t n = size_t(3) * crop * crop;
    for (int i = 0; i < cs.batch; ++i) {
      EXPECT_LT(maxAbsDiff(out.data() + i * n, items[size_t(i)].prior.data(), n), 1e-5f) << "item " << i;
    }
  }
}

TEST(RenderModels, AlreadyBoundAlphaTakesTheLipInput) {
  auto s = open("lip_input");
  const int crop = cropOf(s);
  Item it = makeItem(crop, 5);
  it.kpDrv = openMouth(it.kpSrc);
  const size_t n = size_t(crop) * crop;
  std::vector<Feed> feeds = {{"pooled64", it.pooled, {1, 64, 32, 32}},
                             {"P_rgb", it.prior, {1, 3, crop, crop}},
                             {"kp_driving", it.kpDrv, {1, kRows, 3}},
                             {"kp_source", it.kpSrc, {1, kRows, 3}},
                             {"lip_delivery", std::vector<float>(n, 1.f), {1, 1, crop, crop}}};
  auto open1 = run(s, feeds);
  auto plain = open("b1");
  auto ref = runM4b(plain, {it}, crop);
  // An all-ones mask leaves the ellipse as it is.
  EXPECT_LT(maxAbsDiff(open1.data(), ref.data(), ref.size()), 1e-6f);
  // A zero mask removes the mouth tint: only the warp is left.
  std::fill(feeds[4].data.begin(), feeds[4].data.end(), 0.f);
  auto closed = run(s, feeds);
  EXPECT_GT(maxAbsDiff(closed.data(), ref.data(), ref.size()), 1e-3f);
}

TEST(RenderModels, MovedLipsChangeTheMouthAndNothingFarFromIt) {
  auto s = open("b1");
  const int crop = cropOf(s);
  Item it = makeItem(crop, 3);
  it.kpDrv = openMouth(it.kpSrc);
  auto out = runM4b(s, {it}, crop);
  for (float v : out) ASSERT_TRUE(v >= 0.f && v <= 1.f) << v;
  Regions r = compare(out, it.prior, crop, it.kpDrv, it.kpSrc);
  EXPECT_GT(r.mouth, 0.1f);
  EXPECT_GT(r.farPixels, long(crop) * crop / 4);
  EXPECT_LT(r.far, 1e-5f);

  // Moving one eye keypoint changes nothing around the mouth's far field
  // but does change the eye: the warp follows every keypoint.
  Item eye = makeItem(crop, 3);
  eye.kpDrv[6 * 3 + 1] += 0.05f;
  auto eyeOut = runM4b(s, {eye}, crop);
  float eyeChange = 0.f, chinChange = 0.f;
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < crop; ++y)
      for (int x = 0; x < crop; ++x) {
        const size_t i = (size_t(c) * crop + y) * crop + x;
        const float nx = (2.f * x + 1.f) / crop - 1.f, ny = (2.f * y + 1.f) / crop - 1.f;
        const float d = std::fabs(eyeOut[i] - eye.prior[i]);
        if (std::hypot(nx + 0.35f, ny + 0.15f) < 0.1f) eyeChange = std::max(eyeChange, d);
        if (ny > 0.6f) chinChange = std::max(chinChange, d);
      }
  EXPECT_GT(eyeChange, 0.05f);
  EXPECT_LT(chinChange, 1e-5f);
}

// With the lips still, the output is the warp alone: a face moving by a
// fraction of a pixel, where the curvature correction is far from zero.
TEST(RenderModels, WarpIsTheCurvatureCorrectedKeypointWarp) {
  auto s = open("b1");
  const int crop = cropOf(s);
  Item it = makeItem(crop, 9);
  for (int r = 0; r < kLip0; ++r) {
    it.kpDrv[size_t(r) * 3] += 0.013f + 0.002f * float(r);
    it.kpDrv[size_t(r) * 3 + 1] -= 0.021f;
  }
  auto out = runM4b(s, {it}, crop);
  auto ref = referenceWarp(it.prior, crop, it.kpDrv, it.kpSrc);
  EXPECT_LT(maxAbsDiff(out.data(), ref.data(), ref.size()), 2e-5f);
  EXPECT_GT(maxAbsDiff(out.data(), it.prior.data(), out.size()), 0.1f);
  // Plain bilinear sampling would be far off: the correction is exercised.
  auto plain = referenceWarp(it.prior, crop, it.kpDrv, it.kpSrc, false);
  EXPECT_GT(maxAbsDiff(plain.data(), ref.data(), ref.size()), 0.01f);
}

// The pooled features reach the output only through the mouth tint.
TEST(RenderModels, FeatureBranchActsInsideTheMovingMouthOnly) {
  auto s = open("b1");
  const int crop = cropOf(s);
  Item a = makeItem(crop, 7);
  Item b = a;
  for (auto& v : b.pooled) v = 2.f * v + 0.5f;
  // Equal keypoints: the features have no say at all.
  auto outA = runM4b(s, {a}, crop);
  auto outB = runM4b(s, {b}, crop);
  EXPECT_LT(maxAbsDiff(outA.data(), outB.data(), outA.size()), 1e-7f);
  // Moving lips: the features change the mouth and nothing far from it.
  a.kpDrv = b.kpDrv = openMouth(a.kpSrc);
  outA = runM4b(s, {a}, crop);
  outB = runM4b(s, {b}, crop);
  Regions r = compare(outA, outB, crop, a.kpDrv, a.kpSrc);
  EXPECT_GT(r.mouth, 1e-3f);
  EXPECT_LT(r.far, 1e-6f);

  // The mouth region follows the driving lips, not the source ones.
  for (int row = kLip0; row < kLip1; ++row) a.kpDrv[size_t(row) * 3] = a.kpSrc[size_t(row) * 3] + 0.5f;
  b.kpDrv = a.kpDrv;
  outA = runM4b(s, {a}, crop);
  outB = runM4b(s, {b}, crop);
  auto changeAt = [&](float nx, float ny) {
    const int x = int((nx + 1) * crop / 2), y = int((ny + 1) * crop / 2);
    float m = 0.f;
    for (int c = 0; c < 3; ++c) {
      const size_t i = (size_t(c) * crop + y) * crop + x;
      m = std::max(m, std::fabs(outA[i] - outB[i]));
    }
    return m;
  };
  EXPECT_GT(changeAt(0.6f, 0.45f), 1e-3f);  // inside the driving mouth
  EXPECT_LT(changeAt(-0.2f, 0.45f), 1e-6f);  // source mouth, outside the driving one
}

TEST(RenderModels, BatchOfFourMatchesFourSingleRuns) {
  auto b1 = open("b1");
  auto b4 = open("b4");
  const int crop = cropOf(b1);
  ASSERT_EQ(cropOf(b4), crop);
  std::vector<Item> items;
  for (unsigned i = 0; i < 4; ++i) {
    items.push_back(makeItem(crop, 21 + i));
    if (i > 0) items.back().kpDrv = openMouth(items.back().kpSrc, 0.03f * float(i), 0.01f * float(i));
  }
  auto all = runM4b(b4, items, crop);
  const size_t n = size_t(3) * crop * crop;
  std::vector<std::vector<float>> single;
  for (int i = 0; i < 4; ++i) {
    single.push_back(runM4b(b1, {items[size_t(i)]}, crop));
    EXPECT_LT(maxAbsDiff(all.data() + i * n, single.back().data(), n), 1e-5f) << "item " << i;
  }
  // The items really differ, so a batch that mixed them up would show.
  for (int i = 1; i < 4; ++i) EXPECT_GT(maxAbsDiff(single[0].data(), single[size_t(i)].data(), n), 0.05f);
}

TEST(RenderModels, FeatSynthRunsAndDependsOnEveryInput) {
  auto s = open("fs_b1");
  auto s4 = open("fs_b4");
  std::vector<Feed> feeds = {{"fs_red", uniform(64 * 64 * 64, 1), {1, 64, 64, 64}},
                             {"pooled", uniform(64 * 32 * 32, 2), {1, 64, 32, 32}},
                             {"kd", openMouth(neutralKp()), {1, kRows, 3}},
                             {"ks", neutralKp(), {1, kRows, 3}}};
  std::vector<int64_t> shape;
  auto base = run(s, feeds, &shape);
  ASSERT_EQ(shape.size(), 4u);
  EXPECT_EQ(shape[0], 1);
  EXPECT_EQ(shape[1], 3);
  EXPECT_EQ(shape[2], shape[3]);
  for (float v : base) ASSERT_TRUE(v > 0.f && v < 1.f) << v;
  for (size_t k = 0; k < feeds.size(); ++k) {
    auto changed = feeds;
    for (auto& v : changed[k].data) v = v * 1.5f + 0.25f;
    auto out = run(s, changed);
    EXPECT_GT(maxAbsDiff(out.data(), base.data(), base.size()), 1e-3f) << feeds[k].name;
    // Batch 4 computes every item on its own.
    std::vector<Feed> four = feeds;
    for (size_t j = 0; j < four.size(); ++j) {
      four[j].shape[0] = 4;
      four[j].data = concat({&feeds[j].data, &changed[j].data, &feeds[j].data, &changed[j].data});
    }
    auto out4 = run(s4, four);
    ASSERT_EQ(out4.size(), 4 * base.size());
    EXPECT_LT(maxAbsDiff(out4.data(), base.data(), base.size()), 1e-5f);
    EXPECT_LT(maxAbsDiff(out4.data() + base.size(), out.data(), base.size()), 1e-5f);
  }
}

}  // namespace
