// The frame-chunk audio conditioner.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "audio/audio_fixtures.h"
#include "audio/le_fca.h"
#include "le/le.h"

using namespace le_audio_test;

TEST(FcaBaseline, LouderRowsFormTheRunningBaseline) {
  // Two channels, (v, -v): energies are |v| * sqrt(2). Rows 0..6 join when
  // not silent; later rows when above the 20th percentile of the energies so far.
  const std::vector<float> v = {0, 1, 2, 3, 4, 5, 6, 0.5f, 10};
  std::vector<float> rows;
  for (float x : v) rows.insert(rows.end(), {x, -x});
  le::fcaRemoveBaseline(rows, int64_t(v.size()), 2);
  // Row 7 (0.5) is below the percentile 0.7 and stays out; row 8 (10) is
  // above 0.8 and joins: baseline (1 + ... + 6 + 10) / 7.
  const std::vector<float> expected = {0, 0, 0.5f, 1, 1.5f, 2, 2.5f, -3, 10 - 31.f / 7};
  for (size_t t = 0; t < v.size(); ++t) {
    EXPECT_NEAR(rows[2 * t], expected[t], 1e-6f) << t;
    EXPECT_NEAR(rows[2 * t + 1], -expected[t], 1e-6f) << t;
  }
  // Silence: nothing joins, rows pass unchanged.
  std::vector<float> zeros(10 * 3, 0.f);
  le::fcaRemoveBaseline(zeros, 10, 3);
  EXPECT_EQ(zeros, std::vector<float>(30, 0.f));
}

namespace {

class FcaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    c = le_fca_create(model("w2v.onnx").c_str(), model("fca_stream.onnx").c_str(), 1);
    ASSERT_NE(c, nullptr) << le_fca_last_error();
  }
  void TearDown() override { le_fca_destroy(c); }
  std::vector<float> deltas(const std::vector<float>& audio) {
    const int T = int((audio.size() + kFrame - 1) / kFrame);
    std::vector<float> out(size_t(T) * kKp);
    EXPECT_EQ(le_fca_deltas(c, audio.data(), int(audio.size()), out.data(), T), T);
    return out;
  }
  le_fca* c = nullptr;
};

}  // namespace

TEST_F(FcaTest, ReturnCodesAndErrors) {
  const std::string a2x = le_a2x_last_error();
  EXPECT_EQ(le_fca_create("/nonexistent/w2v.onnx", model("fca_stream.onnx").c_str(), 1), nullptr);
  const std::string created = le_fca_last_error();
  EXPECT_EQ(created.rfind("le_fca_create: ", 0), 0u) << created;
  EXPECT_EQ(le_a2x_last_error(), a2x);  // each family keeps its own

  const float one = 0.25f;
  float out[63 * 5];
  EXPECT_EQ(le_fca_deltas(c, &one, 0, out, 2), 0);
  EXPECT_EQ(le_fca_deltas(c, &one, 1, out, 1), 1);
  const std::vector<float> audio = clip({2, 3});
  EXPECT_EQ(le_fca_deltas(c, audio.data(), int(audio.size()), out, 4), -1);
  EXPECT_EQ(le_fca_last_error(), created);  // too small an output is not an error message
  EXPECT_EQ(le_fca_deltas(nullptr, audio.data(), int(audio.size()), out, 5), -1);
  EXPECT_STREQ(le_fca_last_error(), "le_fca_deltas: NULL conditioner, samples or deltas");
}

TEST_F(FcaTest, SpeechOpensTheLipsWithFiveFramesOfLookAhead) {
  // The third burst lies in the frames of the second 8-second window.
  const std::vector<float> a = clip({10, 20, 10, 20, 150, 30, 20});
  const std::vector<float> out = deltas(a);
  const int lower = 3 * 15 + 1, upper = 3 * 19 + 1;
  auto mean = [&](int c, int from, int to) {
    double s = 0;
    for (int t = from; t < to; ++t) s += out[size_t(t) * kKp + c];
    return s / (to - from);
  };
  EXPECT_GT(mean(lower, 14, 30) - mean(lower, 34, 40), 0.1);
  EXPECT_LT(mean(upper, 14, 30) - mean(upper, 34, 40), -0.1);
  EXPECT_GT(mean(lower, 214, 240) - mean(lower, 244, 260), 0.1);

  // Silencing frames 47 onwards leaves frames 0..41 as they were and changes
  // frame 42, whose condition reaches five frames ahead.
  std::vector<float> b = a;
  std::fill(b.begin() + 47 * kFrame, b.end(), 0.f);
  const std::vector<float> changed = deltas(b);
  for (size_t i = 0; i < 42 * kKp; ++i) ASSERT_EQ(changed[i], out[i]) << "frame " << i / kKp;
  bool differs = false;
  for (size_t i = 42 * kKp; i < 43 * kKp; ++i) differs |= changed[i] != out[i];
  EXPECT_TRUE(differs);
}
