// The motion generator on the synthetic directory of
// tools/gen_motion_models.py (corpus of 4 frames).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_fixtures.h"
#include "audio/le_motion.h"
#include "le/le.h"
#include "support/test_util.h"

using namespace le_audio_test;

namespace {

const std::string kDir = LE_TEST_MOTION_DIR;
constexpr int kMotion = 265;

std::vector<float> floats(const std::string& path) {
  const std::string bytes = le_test::readFile(path);
  std::vector<float> v(bytes.size() / 4);
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * 4);
  return v;
}

// A copy of the generated directory that a test may change.
void copyMotionDir(const std::string& to) {
  for (const char* name :
       {"meta.json", "hubert_stft_window.bin", "hubert_stft_binmat.bin", "hubert_fmean.bin",
        "hubert_fstd.bin", "emo.bin", "ch_xs_info.bin", "ch_sc.bin", "ch_eye_open.bin",
        "ch_eye_ball.bin", "v_min_max.bin", "src_xs_info.bin", "xs_target.bin"})
    le_test::copyFile(kDir + "/" + name, to + "/" + name);
  for (const char* name : {"hubert_student.onnx", "lmdm.onnx", "stitch.onnx"})
    link(kDir + "/" + name, to + "/" + name);
}

struct Frames {
  std::vector<int> index;
  std::vector<float> base, driven;
  int size() const { return int(index.size()); }
};

// Pulls up to max frames (all available when max < 0) onto `out`.
int pullInto(le_motion* m, Frames& out, int max = -1) {
  const int avail = le_motion_avail(m);
  const int n = max < 0 ? avail : std::min(max, avail);
  if (n < 1) return 0;
  std::vector<int> idx(static_cast<size_t>(n));
  std::vector<float> b(size_t(n) * kKp), d(size_t(n) * kKp);
  const int got = le_motion_pull(m, idx.data(), b.data(), d.data(), n);
  EXPECT_EQ(got, n) << le_motion_last_error();
  out.index.insert(out.index.end(), idx.begin(), idx.begin() + got);
  out.base.insert(out.base.end(), b.begin(), b.begin() + got * kKp);
  out.driven.insert(out.driven.end(), d.begin(), d.begin() + got * kKp);
  return got;
}

// The generator's live count: regular windows every 5 frames once 4480
// samples from their start are in, chunks of 80 rows advancing by 70, and
// the last 11 motion frames held back for the next cross-fade.
int liveAvail(int64_t samples, int emitted) {
  const int64_t windows = samples >= 4480 ? (samples - 4480) / 3200 + 1 : 0;
  const int64_t rows = 5 * windows;
  const int64_t length = rows < 80 ? 0 : 80 + 70 * ((rows - 80) / 70);
  return int(std::max<int64_t>(0, std::min(rows - 1, length - 11) - emitted));
}

// Mean lip opening (lower-lip y minus its corpus value) over frames [a, b).
double lipOpening(const Frames& f, int a, int b) {
  double s = 0;
  for (int t = a; t < b; ++t)
    s += f.driven[size_t(t) * kKp + 3 * 14 + 1] - f.base[size_t(t) * kKp + 3 * 14 + 1];
  return s / (b - a);
}

class Motion : public ::testing::Test {
 protected:
  void SetUp() override {
    m = le_motion_create(kDir.c_str(), 1, nullptr);
    ASSERT_NE(m, nullptr) << le_motion_last_error();
  }
  void TearDown() override { le_motion_destroy(m); }
  le_motion* m = nullptr;
};

}  // namespace

TEST(MotionFrontEnd, FftAndLogMelMatchADirectDft) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> u(-0.5f, 0.5f);
  std::vector<float> x(le::kMotionWindowSamples);
  for (float& v : x) v = u(rng);
  auto dft = [](const float* in, int k) {
    std::complex<double> s = 0;
    for (int n = 0; n < 512; ++n) s += double(in[n]) * std::polar(1.0, -2 * M_PI * k * n / 512);
    return std::abs(s);
  };
  float mag[257];
  le::motionSpectrum(x.data(), mag);
  for (int k = 0; k < 257; ++k) ASSERT_NEAR(mag[k], dft(x.data(), k), 1e-3) << k;

  // The whole window: reflect padding of 256, hop 320, window, mel, log.
  const std::vector<float> window = floats(kDir + "/hubert_stft_window.bin");
  const std::vector<float> binmat = floats(kDir + "/hubert_stft_binmat.bin");
  std::vector<float> mel(80 * 21);
  le::motionLogMel(x.data(), window.data(), binmat.data(), mel.data());
  std::vector<float> padded;
  for (int i = 256; i >= 1; --i) padded.push_back(x[size_t(i)]);
  padded.insert(padded.end(), x.begin(), x.end());
  for (int i = 6478; i >= 6479 - 256; --i) padded.push_back(x[size_t(i)]);
  ASSERT_EQ(padded.size(), 6992u);
  for (int t : {0, 10, 20}) {
    float frame[512];
    for (int n = 0; n < 512; ++n) frame[n] = padded[size_t(320 * t + n)] * window[size_t(n)];
    for (int b : {0, 17, 79}) {
      double e = 0;
      for (int k = 0; k < 257; ++k) e += dft(frame, k) * binmat[size_t(k * 80 + b)];
      EXPECT_NEAR(mel[size_t(b * 21 + t)], std::log(e + 1e-8), 1e-4) << t << " " << b;
    }
  }
}

TEST_F(Motion, EmitMatchesAnIndependentReference) {
  const std::vector<float> src = floats(kDir + "/src_xs_info.bin");
  const std::vector<float> ch = floats(kDir + "/ch_xs_info.bin");
  const std::vector<float> target = floats(kDir + "/xs_target.bin");
  const double sBridge = 0.75, deltaPitch = 2.5;  // meta.json of the generator
  const double lipGain = double(ch[258]) / double(src[258]);

  auto angle = [](const float* v) {
    double mx = *std::max_element(v, v + 66), s = 0, w = 0;
    for (int i = 0; i < 66; ++i) {
      s += std::exp(v[i] - mx);
      w += std::exp(v[i] - mx) * i;
    }
    return 3 * w / s - 97.5;
  };
  auto rotation = [](double pitch, double yaw, double roll, double R[3][3]) {
    const double a = pitch * M_PI / 180, b = yaw * M_PI / 180, c = roll * M_PI / 180;
    const double r[3][3] = {{std::cos(b) * std::cos(c), std::cos(b) * std::sin(c), -std::sin(b)},
                            {std::sin(a) * std::sin(b) * std::cos(c) - std::cos(a) * std::sin(c),
                             std::cos(a) * std::cos(c) + std::sin(a) * std::sin(b) * std::sin(c),
                             std::sin(a) * std::cos(b)},
                            {std::sin(a) * std::sin(c) + std::cos(a) * std::sin(b) * std::cos(c),
                             std::cos(a) * std::sin(b) * std::sin(c) - std::sin(a) * std::cos(c),
                             std::cos(a) * std::cos(b)}};
    std::memcpy(R, r, sizeof r);
  };
  // Expected driven row for source row s when the lips move by `lips` from
  // the reference expression.
  auto expected = [&](int s, const std::vector<double>& lips) {
    const float* row = src.data() + s * 328;
    double R[3][3], Rd[3][3];
    const double a = angle(row + 126), b = angle(row + 262), c = angle(row + 192);
    rotation(a, b, c, R);
    rotation(a + deltaPitch, b, c, Rd);
    std::vector<double> out(63);
    for (int k = 0; k < 21; ++k)
      for (int j = 0; j < 3; ++j) {
        double rs = 0, rd = 0;
        for (int i = 0; i < 3; ++i) {
          rs += row[63 + 3 * k + i] * R[i][j];
          rd += row[63 + 3 * k + i] * Rd[i][j];
        }
        const double t = j < 2 ? row[259 + j] : 0.0;
        const double xs = row[258] * (rs + row[3 * k + j]) + t;
        const double xd = row[258] * (rd + row[3 * k + j] + lipGain * lips[size_t(3 * k + j)]) + t;
        const double stitched = xd + 0.1 * (xs - xd) + 0.02 * std::tanh(xd);
        out[size_t(3 * k + j)] = target[size_t(s * 63 + 3 * k + j)] + sBridge * (stitched - xs);
      }
    return out;
  };

  // A constant motion vector sets the reference; a second one opens the
  // lips (and moves a non-lip point, which must not count).
  std::vector<float> m0(kMotion, 0.1f), m1 = m0;
  m1[202 + 3 * 14 + 1] += 0.3f;
  m1[202 + 3 * 12 + 0] -= 0.2f;
  m1[202 + 3 * 3 + 0] += 0.5f;
  std::vector<double> lips(63, 0.0);
  float base[63], driven[63];
  le::motionEmit(m, m0.data(), 1, base, driven);
  std::vector<double> want = expected(1, lips);
  for (int i = 0; i < 63; ++i) {
    EXPECT_EQ(base[i], target[size_t(63 + i)]);
    EXPECT_NEAR(driven[i], want[size_t(i)], 1e-4) << i;
  }
  lips[3 * 14 + 1] = 0.3;
  lips[3 * 12 + 0] = -0.2;
  le::motionEmit(m, m1.data(), 2, base, driven);
  want = expected(2, lips);
  for (int i = 0; i < 63; ++i) EXPECT_NEAR(driven[i], want[size_t(i)], 1e-4) << i;
  // The lip point really moved, by about its share of the lip gain.
  const std::vector<double> still = expected(2, std::vector<double>(63, 0.0));
  EXPECT_GT(want[3 * 14 + 1] - still[3 * 14 + 1], 0.1);
}

TEST_F(Motion, PushSizesGiveTheSameFramesAndLiveCountsFollowTheRule) {
  // 200 frames: silence and vowels, so lips open and close.
  const std::vector<float> audio = clip({20, 40, 15, 50, 25, 50});
  ASSERT_EQ(audio.size(), 200u * kFrame);
  Frames whole;
  for (int piece : {int(audio.size()), 1, 640, 4479, 4480}) {
    le_motion_reset(m, 0, 1, 1);
    Frames got;
    for (size_t at = 0; at < audio.size(); at += size_t(piece)) {
      const int n = int(std::min(audio.size() - at, size_t(piece)));
      ASSERT_EQ(le_motion_push(m, audio.data() + at, n), 1);
      const int avail = le_motion_avail(m);
      ASSERT_EQ(avail, liveAvail(int64_t(at) + n, got.size())) << piece << " at " << at;
      pullInto(m, got, 7);
    }
    EXPECT_EQ(le_motion_total(m), -1);
    le_motion_finish(m);
    EXPECT_EQ(le_motion_total(m), 200);
    pullInto(m, got);
    ASSERT_EQ(got.size(), 200) << piece;
    EXPECT_EQ(le_motion_avail(m), 0);
    if (piece == int(audio.size())) {
      whole = got;
      continue;
    }
    EXPECT_EQ(got.index, whole.index) << piece;
    EXPECT_EQ(got.base, whole.base) << piece;
    EXPECT_EQ(got.driven, whole.driven) << piece;
  }
  for (int t = 0; t < 200; ++t) ASSERT_EQ(whole.index[size_t(t)], t % 4);
  // Voiced stretches open the lips, silent ones close them.
  EXPECT_GT(lipOpening(whole, 25, 55) - lipOpening(whole, 62, 72), 0.02);
  EXPECT_GT(lipOpening(whole, 80, 120) - lipOpening(whole, 128, 142), 0.02);
  EXPECT_NEAR(lipOpening(whole, 2, 15), lipOpening(whole, 62, 72), 2e-3);

  // A partial last frame counts as a frame; nothing pushed gives nothing.
  le_motion_reset(m, 0, 1, 1);
  ASSERT_EQ(le_motion_push(m, audio.data(), 641), 1);
  le_motion_finish(m);
  EXPECT_EQ(le_motion_total(m), 2);
  EXPECT_EQ(le_motion_avail(m), 2);
  le_motion_reset(m, 0, 1, 1);
  le_motion_finish(m);
  EXPECT_EQ(le_motion_total(m), 0);
  EXPECT_EQ(le_motion_avail(m), 0);
}

TEST_F(Motion, EagerFramesComeEarlyAndAreReplacedByRegularOnes) {
  const std::vector<float> audio = clip({5, 90, 25});
  Frames regular;
  ASSERT_EQ(le_motion_push(m, audio.data(), int(audio.size())), 1);
  le_motion_finish(m);
  pullInto(m, regular);
  ASSERT_EQ(regular.size(), 120);

  le_motion_reset(m, 0, 1, 1);
  ASSERT_EQ(le_motion_push(m, audio.data(), 20 * kFrame), 1);
  EXPECT_EQ(le_motion_avail(m), 0);  // regular motion needs 80 rows first
  le_motion_set_eager(m, 1);
  Frames eager;
  EXPECT_EQ(pullInto(m, eager), 19);
  // The last early frames lacked the audio their motion looks ahead to.
  for (int t = 0; t < 16; ++t)
    ASSERT_EQ(eager.driven[size_t(t) * kKp + 43], regular.driven[size_t(t) * kKp + 43]) << t;
  EXPECT_GT(std::abs(eager.driven[18 * kKp + 43] - regular.driven[18 * kKp + 43]), 1e-3);

  // Provisional motion for the frames not yet pulled gives way to regular
  // motion as the audio arrives.
  for (size_t at = 20 * kFrame; at < audio.size(); at += 1000) {
    ASSERT_EQ(le_motion_push(m, audio.data() + at, int(std::min<size_t>(1000, audio.size() - at))),
              1);
    EXPECT_GE(le_motion_avail(m), 1);
  }
  le_motion_finish(m);
  pullInto(m, eager);
  ASSERT_EQ(eager.size(), 120);
  EXPECT_EQ(eager.index, regular.index);
  for (int t = 19; t < 120; ++t)
    for (int i = 0; i < kKp; ++i)
      ASSERT_EQ(eager.driven[size_t(t * kKp + i)], regular.driven[size_t(t * kKp + i)]) << t;
}

TEST(MotionCreate, RefusalsAndArgumentChecks) {
  EXPECT_EQ(le_motion_create(nullptr, 1, nullptr), nullptr);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_create: NULL motion_dir");
  EXPECT_EQ(le_motion_create(kDir.c_str(), 1, "cpu"), nullptr);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_create: le_motion: unknown ep 'cpu'");

  le_test::TempDir d;
  copyMotionDir(d.path());
  auto refusal = [&] {
    le_motion* m = le_motion_create(d.path().c_str(), 1, "");
    le_motion_destroy(m);
    return m ? std::string("<created>") : std::string(le_motion_last_error());
  };
  const std::string meta = le_test::readFile(d / "meta.json");
  le_test::writeFile(d / "meta.json", "{\"nt\": 4, \"n_src\": 3, \"n_emo\": 3, \"s_bridge\": 1}");
  EXPECT_EQ(refusal(), "le_motion_create: le_motion: n_src != nt unsupported");
  le_test::writeFile(d / "meta.json", "{\"nt\": 4, \"n_src\": 4, \"n_emo\": 3}");
  EXPECT_EQ(refusal(), "le_motion_create: meta.json: missing s_bridge");
  le_test::writeFile(d / "meta.json", "{\"nt\": 4, \"n_src\": 4, \"n_emo\": x, \"s_bridge\": 1}");
  EXPECT_EQ(refusal(), "le_motion_create: meta.json: bad n_emo");
  le_test::writeFile(d / "meta.json", meta);
  le_test::writeVector(d / "ch_sc.bin", std::vector<float>(62, 0.f));
  EXPECT_EQ(refusal(), "le_motion_create: " + d / "ch_sc.bin" + ": 62 floats, expected 63");
  le_test::writeVector(d / "ch_sc.bin", std::vector<float>(64, 0.f));
  EXPECT_EQ(refusal(), "le_motion_create: " + d / "ch_sc.bin" + ": 64 floats, expected 63");
  ::unlink((d / "ch_sc.bin").c_str());
  EXPECT_EQ(refusal(), "le_motion_create: cannot open " + d / "ch_sc.bin");
  le_test::copyFile(kDir + "/ch_sc.bin", d / "ch_sc.bin");
  EXPECT_EQ(refusal(), "<created>");

  // Push, avail and pull refuse bad arguments and empty the error on entry.
  le_motion* m = le_motion_create(d.path().c_str(), 0, nullptr);
  ASSERT_NE(m, nullptr) << le_motion_last_error();
  EXPECT_STREQ(le_motion_last_error(), "");
  const float one = 0.f;
  float rows[63];
  EXPECT_EQ(le_motion_push(m, &one, 0), 1);
  EXPECT_EQ(le_motion_push(m, &one, -1), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_push: bad args / already finished");
  EXPECT_EQ(le_motion_pull(m, nullptr, rows, nullptr, 1), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_pull: bad args");
  EXPECT_EQ(le_motion_avail(m), 0);
  EXPECT_STREQ(le_motion_last_error(), "");
  le_motion_finish(m);
  EXPECT_EQ(le_motion_push(m, &one, 1), 0);
  EXPECT_STREQ(le_motion_last_error(), "le_motion_push: bad args / already finished");
  le_motion_destroy(m);
}

TEST(MotionWalk, BouncesLoopsAndStaysOnASingleFrame) {
  auto indices = [](le_motion* m, int start, int direction, int loop) {
    le_motion_reset(m, start, direction, loop);
    const std::vector<float> audio = clip({12});
    le_motion_push(m, audio.data(), int(audio.size()));
    le_motion_finish(m);
    Frames f;
    pullInto(m, f);
    return f.index;
  };
  le_motion* m = le_motion_create(kDir.c_str(), 1, nullptr);
  ASSERT_NE(m, nullptr) << le_motion_last_error();
  EXPECT_EQ(indices(m, 0, 1, 0), (std::vector<int>{0, 1, 2, 3, 2, 1, 0, 1, 2, 3, 2, 1}));
  EXPECT_EQ(indices(m, 1, -1, 1), (std::vector<int>{1, 0, 3, 2, 1, 0, 3, 2, 1, 0, 3, 2}));
  EXPECT_EQ(indices(m, 9, -1, 0), (std::vector<int>{3, 2, 1, 0, 1, 2, 3, 2, 1, 0, 1, 2}));
  le_motion_destroy(m);

  // A corpus of one frame: every frame uses it, looping or not.
  le_test::TempDir d;
  copyMotionDir(d.path());
  le_test::writeFile(d / "meta.json",
                     "{\"nt\": 1, \"n_src\": 1, \"n_emo\": 3, \"s_bridge\": 0.75}");
  std::vector<float> src = floats(kDir + "/src_xs_info.bin"), xs = floats(kDir + "/xs_target.bin");
  src.resize(328);
  xs.resize(63);
  le_test::writeVector(d / "src_xs_info.bin", src);
  le_test::writeVector(d / "xs_target.bin", xs);
  m = le_motion_create(d.path().c_str(), 1, nullptr);
  ASSERT_NE(m, nullptr) << le_motion_last_error();
  EXPECT_EQ(le_motion_nt(m), 1);
  EXPECT_EQ(indices(m, 0, 1, 1), std::vector<int>(12, 0));
  EXPECT_EQ(indices(m, 5, -1, 0), std::vector<int>(12, 0));
  le_motion_destroy(m);
}

TEST(MotionDump, WritesTheIntermediateArrays) {
  le_test::TempDir d;
  ::setenv("LE_MOTION_DUMP", d.path().c_str(), 1);
  le_motion* m = le_motion_create(kDir.c_str(), 1, nullptr);
  ::unsetenv("LE_MOTION_DUMP");
  ASSERT_NE(m, nullptr) << le_motion_last_error();
  const std::vector<float> audio = clip({3, 9});
  le_motion_push(m, audio.data(), int(audio.size()));
  le_motion_finish(m);
  Frames f;
  pullInto(m, f);
  ASSERT_EQ(f.size(), 12);
  le_motion_destroy(m);
  const std::pair<const char*, size_t> sizes[] = {
      {"mel0.bin", 1680},           {"feat0.bin", 20 * 1024},     {"lmdm0_kp.bin", 265},
      {"lmdm0_aud.bin", 80 * 1103}, {"lmdm0_pred.bin", 80 * 265}, {"xs.bin", 12 * 63},
      {"xd.bin", 12 * 63},          {"xsla.bin", 12 * 63},        {"xdla.bin", 12 * 63},
      {"res_post.bin", 12 * 265},   {"final.bin", 12 * 265}};
  for (const auto& [name, count] : sizes) EXPECT_EQ(floats(d / name).size(), count) << name;
  // The per-frame files hold the frames as pulled.
  EXPECT_EQ(floats(d / "xdla.bin"), f.driven);
}

TEST(MotionThreads, GeneratorsOnSeparateThreadsAgree) {
  // Each thread has its own FFT plan and front-end buffers; a generator
  // created on one thread may be used on another.
  const std::vector<float> audio = clip({10, 30, 10, 40});
  auto frames = [&](le_motion* m) {
    Frames f;
    for (size_t at = 0; at < audio.size(); at += 3000) {
      le_motion_push(m, audio.data() + at, int(std::min<size_t>(3000, audio.size() - at)));
      pullInto(m, f, 5);
    }
    le_motion_finish(m);
    pullInto(m, f);
    return f;
  };
  le_motion* a = le_motion_create(kDir.c_str(), 1, nullptr);
  le_motion* b = le_motion_create(kDir.c_str(), 1, nullptr);
  ASSERT_TRUE(a && b) << le_motion_last_error();
  Frames fa, fb;
  std::thread ta([&] { fa = frames(a); });
  std::thread tb([&] { fb = frames(b); });
  ta.join();
  tb.join();
  le_motion_reset(a, 0, 1, 1);
  const Frames here = frames(a);
  ASSERT_EQ(here.size(), 90);
  EXPECT_EQ(fa.driven, here.driven);
  EXPECT_EQ(fb.driven, here.driven);
  le_motion_destroy(a);
  le_motion_destroy(b);
}
