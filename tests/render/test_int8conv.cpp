// Int8ConvVNNI against a float convolution, its kernels on every Highway
// target against the scalar target's, the operator's exact cases through
// ONNX Runtime, and the quantised director against the float one.
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bundle/le_bundle.h"
#include "compute/le_simd.h"
#include "driver/le_driver.h"
#include "render/gridsample_fast.h"
#include "render/int8conv_vnni.h"
#include "render/le_renderer.h"
#include "support/hwy_targets.h"
#include "support/test_util.h"

namespace {

struct Case {
  int64_t n, cin, h, w, cout, kh, kw;
  le::Int8ConvAttrs a;
};

// Zero-padded, grouped float convolution in double with the dequantised
// weights w_q * scale[co].
std::vector<float> floatConv(const Case& c, const std::vector<float>& x,
                             const std::vector<int8_t>& w, const std::vector<float>& scale,
                             const std::vector<float>& bias, int64_t oh, int64_t ow) {
  const auto& a = c.a;
  const int64_t cpg = c.cin / a.group, opg = c.cout / a.group;
  std::vector<float> y(size_t(c.n * c.cout * oh * ow));
  for (int64_t n = 0; n < c.n; ++n)
    for (int64_t co = 0; co < c.cout; ++co)
      for (int64_t oy = 0; oy < oh; ++oy)
        for (int64_t ox = 0; ox < ow; ++ox) {
          double s = 0;
          for (int64_t cg = 0; cg < cpg; ++cg)
            for (int64_t ky = 0; ky < c.kh; ++ky)
              for (int64_t kx = 0; kx < c.kw; ++kx) {
                const int64_t iy = oy * a.strideH - a.padTop + ky * a.dilH;
                const int64_t ix = ox * a.strideW - a.padLeft + kx * a.dilW;
                if (iy < 0 || iy >= c.h || ix < 0 || ix >= c.w) continue;
                const int64_t ci = co / opg * cpg + cg;
                s += double(w[size_t(((co * cpg + cg) * c.kh + ky) * c.kw + kx)]) *
                     scale[size_t(co)] * x[size_t(((n * c.cin + ci) * c.h + iy) * c.w + ix)];
              }
          y[size_t(((n * c.cout + co) * oh + oy) * ow + ox)] = float(s + bias[size_t(co)]);
        }
  return y;
}

le::Int8ConvAttrs attrs(int64_t s, std::array<int64_t, 4> p, int64_t d, int64_t g = 1) {
  le::Int8ConvAttrs a;
  a.strideH = a.strideW = s;
  a.padTop = p[0], a.padLeft = p[1], a.padBottom = p[2], a.padRight = p[3];
  a.dilH = a.dilW = d;
  a.group = g;
  return a;
}

// Random shapes on the scalar target against the float convolution, and on
// every target this processor runs against the scalar target, bit for bit.
//
// The bound. Activations are quantised with s = (max - min) / 255 (min <= 0
// <= max) and zp = round(-min / s); dequantised, x^ = s (q - zp). Unclamped,
// q - zp = round(x / s), so |x - x^| <= s / 2. The clamp to [0, 255] only
// bites at the ends of the range, where zp's own rounding (at most 1/2)
// keeps x^ within s / 2 of x too. The weights are exact (the float
// convolution uses w_q * scale), so for output channel co
//   |y - y_float| <= s / 2 * scale[co] * sum over the kernel of |w_q[co]|,
// plus float rounding of the epilogue, allowed as 1e-5 (1 + |y|).
TEST(Int8Conv, MatchesTheFloatConvolutionWithinTheQuantisationBound) {
  const std::vector<Case> cases = {
      {1, 3, 9, 9, 5, 3, 3, attrs(1, {1, 1, 1, 1}, 1)},
      {1, 7, 13, 10, 17, 3, 3, attrs(2, {1, 1, 1, 1}, 1)},
      {2, 6, 17, 15, 33, 5, 5, attrs(1, {2, 1, 3, 0}, 2)},
      {1, 10, 8, 11, 16, 1, 1, attrs(1, {0, 0, 0, 0}, 1)},
      {1, 5, 12, 23, 18, 3, 3, attrs(2, {0, 2, 1, 1}, 2)},
      {1, 64, 20, 20, 64, 3, 3, attrs(1, {1, 1, 1, 1}, 1)},
      {1, 6, 10, 14, 9, 3, 3, attrs(1, {1, 1, 1, 1}, 1, 3)},  // grouped
      {1, 9, 4, 4, 4, 5, 5, attrs(1, {3, 3, 3, 3}, 1)},       // no interior column
      {1, 3, 2, 2, 5, 3, 3, attrs(1, {4, 4, 4, 4}, 1)},       // rows that meet no input
      {1, 20, 5, 61, 40, 3, 3, attrs(1, {1, 1, 1, 1}, 1)},    // several full tiles per row
  };
  std::mt19937 rng(15);
  for (size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    SCOPED_TRACE("case " + std::to_string(k));
    std::uniform_real_distribution<float> ux(-0.7f, 1.9f);
    std::uniform_int_distribution<int> uw(-127, 127);
    std::uniform_real_distribution<float> us(0.001f, 0.02f), ub(-1.f, 1.f);
    std::vector<float> x(size_t(c.n * c.cin * c.h * c.w));
    for (float& v : x) v = ux(rng);
    std::vector<int8_t> w(size_t(c.cout * c.cin / c.a.group * c.kh * c.kw));
    for (int8_t& v : w) v = int8_t(uw(rng));
    std::vector<float> scale(size_t(c.cout)), bias(size_t(c.cout));
    for (float& v : scale) v = us(rng);
    for (float& v : bias) v = ub(rng);
    const int64_t xs[4] = {c.n, c.cin, c.h, c.w};
    const int64_t ws[4] = {c.cout, c.cin / c.a.group, c.kh, c.kw};

    le::Int8Conv conv(c.a, "conv");
    conv.prepare(w.data(), ws);
    int64_t ys[4];
    conv.outShape(xs, ys);
    const size_t ny = size_t(ys[0] * ys[1] * ys[2] * ys[3]);
    std::vector<float> y(ny);
    std::vector<int32_t> acc(ny);
    {
      le_test::DispatchReset reset;
      hwy::SetSupportedTargetsForTest(HWY_SCALAR);
      ASSERT_STREQ(le::detail::int8ConvTarget(), hwy::TargetName(HWY_SCALAR));
      conv.run(x.data(), xs, scale.data(), bias.data(), y.data(), acc.data());
    }

    const auto ref = floatConv(c, x, w, scale, bias, ys[2], ys[3]);
    float lo = 0.f, hi = 0.f;
    for (float v : x) lo = std::min(lo, v), hi = std::max(hi, v);
    const double s = (double(hi) - lo) / 255.0;
    const size_t plane = size_t(ys[2] * ys[3]);
    double worstRatio = 0;
    for (size_t i = 0; i < ny; ++i) {
      const size_t co = (i / plane) % size_t(c.cout);
      double l1 = 0;
      for (size_t j = 0; j < size_t(ws[1] * c.kh * c.kw); ++j)
        l1 += std::abs(w[co * size_t(ws[1] * c.kh * c.kw) + j]);
      const double bound = s / 2 * scale[co] * l1 + 1e-5 * (1 + std::abs(ref[i]));
      ASSERT_LE(std::abs(double(y[i]) - ref[i]), bound) << "output " << i;
      worstRatio = std::max(worstRatio, std::abs(double(y[i]) - ref[i]) / bound);
    }
    EXPECT_GT(worstRatio, 0.0);  // activations really were quantised

    // Every target gives the scalar target's accumulators and floats.
    le_test::forEachHwyTarget([&](const std::string& name) {
      ASSERT_STREQ(le::detail::int8ConvTarget(), name.c_str());
      std::vector<float> yv(ny);
      std::vector<int32_t> accv(ny);
      conv.run(x.data(), xs, scale.data(), bias.data(), yv.data(), accv.data());
      EXPECT_EQ(accv, acc);
      EXPECT_EQ(std::memcmp(yv.data(), y.data(), ny * sizeof(float)), 0);
    });
  }
}

TEST(Int8Conv, AllPositiveInputKeepsZeroAtZeroPoint0) {
  // min starts at 0, so s = max / 255 and zp = 0: x = k / 255 quantises to k.
  // A NaN neither widens the range nor leaves 0 when quantised.
  const Case c{1, 4, 6, 6, 16, 3, 3, attrs(1, {1, 1, 1, 1}, 1)};
  std::vector<float> x(4 * 36);
  std::vector<int> k(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    k[i] = 64 + int(i * 37 % 192);
    x[i] = float(k[i]) / 255.f;
  }
  x[5] = 1.f, k[5] = 255;
  x[50] = std::nanf(""), k[50] = 0;
  std::vector<int8_t> w(16 * 4 * 9);
  for (size_t i = 0; i < w.size(); ++i) w[i] = int8_t(int(i * 13 % 255) - 127);
  const std::vector<float> scale(16, 1.f), bias(16, 0.f);
  le::Int8Conv conv(c.a, "t");
  const int64_t xs[4] = {1, 4, 6, 6}, ws[4] = {16, 4, 3, 3};
  conv.prepare(w.data(), ws);
  le_test::forEachHwyTarget([&](const std::string&) {
    std::vector<float> y(16 * 36);
    std::vector<int32_t> acc(y.size());
    conv.run(x.data(), xs, scale.data(), bias.data(), y.data(), acc.data());
    for (int co = 0; co < 16; ++co)
      for (int oy = 0; oy < 6; ++oy)
        for (int ox = 0; ox < 6; ++ox) {
          int want = 0;
          for (int ci = 0; ci < 4; ++ci)
            for (int ky = 0; ky < 3; ++ky)
              for (int kx = 0; kx < 3; ++kx) {
                const int iy = oy - 1 + ky, ix = ox - 1 + kx;
                if (iy < 0 || iy >= 6 || ix < 0 || ix >= 6) continue;
                want += k[size_t((ci * 6 + iy) * 6 + ix)] *
                        w[size_t(((co * 4 + ci) * 3 + ky) * 3 + kx)];
              }
          ASSERT_EQ(acc[size_t((co * 6 + oy) * 6 + ox)], want) << co << " " << oy << " " << ox;
        }
  });
}

// ---------------------------------------------------------------- through ONNX Runtime

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_FATAL, "int8_test");
  return e;
}

// One Int8ConvVNNI node named "q" over X [N, Cin, H, W] with the given attributes.
le::onnx::Bytes model(const std::vector<int8_t>& wt, const std::vector<float>& scale,
                      const std::vector<float>& bias, int64_t kh, const le::onnx::Bytes& attrs) {
  const int64_t cout = int64_t(scale.size());
  le::onnx::Bytes g;
  le::onnx::putNode(g, "Int8ConvVNNI", {"X", "W", "S", "B"}, "Y", "q", attrs, le::kInt8Domain);
  le::onnx::putInitializer(g, "W", 3, {cout, int64_t(wt.size()) / (cout * kh * kh), kh, kh},
                           wt.data(), wt.size());
  le::onnx::putInitializer(g, "S", 1, {cout}, scale.data(), scale.size() * 4);
  le::onnx::putInitializer(g, "B", 1, {cout}, bias.data(), bias.size() * 4);
  le::onnx::putTensorValueInfo(g, 11, "X", nullptr, 4);
  le::onnx::putTensorValueInfo(g, 12, "Y", nullptr, 4);
  le::onnx::Bytes m;
  le::onnx::putTag(m, 1, 0);
  le::onnx::putVarint(m, 8);
  le::onnx::addOpsetImport(m, "", 17);
  le::onnx::addOpsetImport(m, le::kInt8Domain, 1);
  le::onnx::putBytes(m, 7, g.data(), g.size());
  return m;
}

// The message of the ONNX Runtime error f throws.
std::string ortError(const std::function<void()>& f) {
  try {
    f();
  } catch (const Ort::Exception& e) {
    return e.what();
  }
  return "<no error>";
}

Ort::Session session(const le::onnx::Bytes& m) {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(1);
  le::registerInt8ConvVNNI(o);
  return Ort::Session(env(), m.data(), m.size(), o);
}

std::vector<float> run(Ort::Session& s, std::vector<float>& x, std::array<int64_t, 4> xd,
                       std::vector<int64_t>* shape = nullptr) {
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), xd.data(), 4);
  const char* iname = "X";
  const char* oname = "Y";
  auto out = s.Run(Ort::RunOptions{nullptr}, &iname, &in, 1, &oname, 1);
  const auto info = out[0].GetTensorTypeAndShapeInfo();
  if (shape) *shape = info.GetShape();
  const float* p = out[0].GetTensorData<float>();
  return std::vector<float>(p, p + info.GetElementCount());
}

TEST(Int8ConvOp, DefaultsZeroInputAndRefusals) {
  std::vector<int8_t> wt(3 * 5 * 9);
  for (size_t i = 0; i < wt.size(); ++i) wt[i] = int8_t(int(i * 29 % 255) - 127);
  const std::vector<float> scale = {0.01f, 0.02f, 0.005f}, bias = {0.25f, -1.5f, 3.f};
  // No attributes: stride 1, no padding, dilation 1.
  auto s = session(model(wt, scale, bias, 3, {}));
  std::vector<float> x(5 * 7 * 9);
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-1.f, 1.f);
  for (float& v : x) v = u(rng);
  std::vector<int64_t> shape;
  const auto y = run(s, x, {1, 5, 7, 9}, &shape);
  EXPECT_EQ(shape, (std::vector<int64_t>{1, 3, 5, 7}));
  Case c{1, 5, 7, 9, 3, 3, 3, attrs(1, {0, 0, 0, 0}, 1)};
  const auto ref = floatConv(c, x, wt, scale, bias, 5, 7);
  for (size_t i = 0; i < y.size(); ++i) EXPECT_NEAR(y[i], ref[i], 0.05) << i;

  // All-zero X: s = 1, zp = 0, Y = bias exactly.
  std::fill(x.begin(), x.end(), 0.f);
  const auto z = run(s, x, {1, 5, 7, 9});
  for (size_t i = 0; i < z.size(); ++i) ASSERT_EQ(z[i], bias[i / 35]) << i;

  // A kernel that does not fit and a channel mismatch are refused, not read past.
  std::vector<float> small(5 * 2 * 9);
  EXPECT_NE(ortError([&] {
              run(s, small, {1, 5, 2, 9});
            })
                .find("com.velmoor.int8::Int8ConvVNNI node 'q': a 3x3 kernel does not fit X "
                      "[1,5,2,9]"),
            std::string::npos);
  std::vector<float> four(4 * 7 * 9);
  EXPECT_NE(ortError([&] {
              run(s, four, {1, 4, 7, 9});
            }).find("but the weights expect 5 input channels"),
            std::string::npos);

  // group below 1 is refused when the session creates the kernel.
  le::onnx::Bytes bad;
  le::onnx::putIntAttr(bad, "group", 0);
  EXPECT_NE(ortError([&] { session(model(wt, scale, bias, 3, bad)); })
                .find("com.velmoor.int8::Int8ConvVNNI node 'q': group=0 is not a group count; "
                      "REFUSING to create the kernel."),
            std::string::npos);
}

// Each session owns its kernel; concurrent first runs of one kernel pack once.
TEST(Int8ConvOp, ConcurrentFirstRunsPackOnce) {
  std::vector<int8_t> wt(32 * 16 * 9);
  for (size_t i = 0; i < wt.size(); ++i) wt[i] = int8_t(int(i * 7 % 200) - 100);
  const std::vector<float> scale(32, 0.01f), bias(32, 0.5f);
  le::onnx::Bytes attrs;
  const int64_t pads[4] = {1, 1, 1, 1};
  le::onnx::putIntsAttr(attrs, "pads", pads, 4);
  const auto m = model(wt, scale, bias, 3, attrs);
  auto a = session(m), b = session(m);
  std::vector<float> x(16 * 24 * 24);
  for (size_t i = 0; i < x.size(); ++i) x[i] = float(i % 17) / 8.f - 1.f;
  const uint64_t before = le::int8ConvPackCount();
  std::vector<std::vector<float>> out(4);
  std::vector<std::thread> threads;
  std::atomic<int> ready{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      std::vector<float> xt = x;
      ++ready;
      while (ready.load() < 4) std::this_thread::yield();
      out[size_t(t)] = run(t % 2 ? b : a, xt, {1, 16, 24, 24});
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(le::int8ConvPackCount() - before, 2u);
  for (int t = 1; t < 4; ++t) EXPECT_EQ(out[size_t(t)], out[0]);
}

// ---------------------------------------------------------------- the quantised director

TEST(Int8Director, RendersTheTestAvatarCloseToTheFloatDirector) {
  le_test::TempDir dir;
  const int nt = 4, crop = 64;
  le_test::writeBundle(dir.path(), nt, 2);
  // A textured prior and features, so the convolutions have something to quantise.
  std::vector<uint16_t> p(size_t(nt) * crop * crop * 3), pooled(size_t(nt) * 65536);
  for (size_t i = 0; i < p.size(); ++i) {
    const double xx = double(i % crop), yy = double(i / crop % crop), c = double(i / (crop * crop));
    p[i] = le::f32ToF16(
        float(0.5 + 0.35 * std::sin(0.31 * xx + 0.17 * yy + c) * std::cos(0.23 * yy - 0.11 * xx) +
              ((int(xx) / 8 + int(yy) / 8) % 2 ? 0.1 : -0.1)));
  }
  for (size_t i = 0; i < pooled.size(); ++i)
    pooled[i] = le::f32ToF16(float(0.6 * std::sin(0.013 * double(i)) + 0.2));
  le_test::writeFile(dir / "P.f16", p.data(), p.size() * 2);
  le_test::writeFile(dir / "pooled64.f16", pooled.data(), pooled.size() * 2);
  le_test::copyFile(std::string(LE_TEST_MODELS) + "/model_int8.onnx", dir / "model_int8.onnx");
  const auto manifest = le::loadManifest(dir.path());
  le::Identity identity(manifest);
  testing::internal::CaptureStderr();
  le::Renderer fp(manifest, identity, "b1", 1, "");
  le::Renderer q8(manifest, identity, "int8", 1, "");
  testing::internal::GetCapturedStderr();

  std::mt19937 rng(8);
  std::uniform_real_distribution<float> u(-0.04f, 0.04f);
  double se = 0, n = 0;
  for (int s : {0, 1, 2, 3}) {
    std::vector<float> src(63), drv(63);
    for (int r = 0; r < 21; ++r)
      for (int k = 0; k < 3; ++k) src[size_t(r * 3 + k)] = float(std::sin(r * 1.3 + k)) * 0.6f;
    for (size_t i = 0; i < 63; ++i) drv[i] = src[i] + u(rng);
    const float* a = fp.render(&s, src.data(), drv.data(), 1);
    std::vector<float> want(a, a + 3 * crop * crop);
    const float* b = q8.render(&s, src.data(), drv.data(), 1);
    for (size_t i = 0; i < want.size(); ++i) se += double(b[i] - want[i]) * (b[i] - want[i]);
    n += double(want.size());
  }
  const double psnr = 10 * std::log10(1.0 / (se / n));
  std::printf("[int8 director] PSNR against the float director: %.1f dB\n", psnr);
  EXPECT_GE(psnr, 35.0);
  EXPECT_TRUE(std::isfinite(psnr));  // the quantised convolutions changed something
}

}  // namespace
