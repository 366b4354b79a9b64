// The a2x stream on the legacy frontend: this process never deploys the
// short-window pair (test_frontends.cpp covers it in fresh processes).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_fixtures.h"
#include "le/le.h"

using namespace le_audio_test;

namespace {

struct Frames {
  std::vector<int> index;
  std::vector<float> base, driven, width;
  size_t size() const { return index.size(); }
  float delta(size_t f, int c) const { return driven[f * kKp + c] - base[f * kKp + c]; }
};

class A2xTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* v : {"LE_A2X_W2V_WIN_ONNX", "LE_A2X_W2V_HEAD_ONNX", "LE_A2X_SILENCE_PRIME",
                          "LE_A2X_W2V_RIGHT", "LE_A2X_CUDA"})
      ::unsetenv(v);
    // A legacy model with no pair beside it, kept for the life of the process.
    static le_test::TempDir w2vDir;
    link(model("w2v.onnx"), w2vDir / "w2v.onnx");
    ::setenv("W2V_ONNX", (w2vDir / "w2v.onnx").c_str(), 1);
  }
  void TearDown() override { le_a2x_destroy(s); }

  // Opens a stream on a fresh motion directory; "" or the refusal message.
  std::string open(const Meta& m, const std::string& file = "", const std::string& text = "") {
    le_a2x_destroy(s);
    writeMotionDir(dir.path(), m);
    if (!file.empty()) le_test::writeFile(dir / file, text);
    s = le_a2x_create(dir.path().c_str(), 1);
    return s ? "" : le_a2x_last_error();
  }
  // Pushes the whole clip, finishes and pulls up to n frames.
  Frames finished(const std::vector<float>& audio, int n = 1 << 20) {
    le_a2x_push(s, audio.data(), int(audio.size()));
    le_a2x_finish(s);
    return pull(n);
  }
  Frames pull(int n, Frames f = {}) {
    int idx[16];
    float base[16 * kKp], driven[16 * kKp], wn[16];
    for (int k; int(f.size()) < n &&
                (k = le_a2x_pull_wn(s, idx, base, driven, wn, std::min(16, n - int(f.size()))));) {
      f.index.insert(f.index.end(), idx, idx + k);
      f.base.insert(f.base.end(), base, base + k * kKp);
      f.driven.insert(f.driven.end(), driven, driven + k * kKp);
      f.width.insert(f.width.end(), wn, wn + k);
    }
    return f;
  }

  le_test::TempDir dir;
  le_a2x* s = nullptr;
};

}  // namespace

TEST_F(A2xTest, CreationRefusalsAndTheWidthRow) {
  const std::string fca = le_fca_last_error();
  ASSERT_EQ(le_a2x_create(dir.path().c_str(), 1), nullptr);
  EXPECT_STREQ(le_a2x_last_error(),
               ("le_a2x_create: a2x_meta.json missing in " + dir.path()).c_str());
  const std::string causal = "le_a2x_create: meta lacks causal window/left (not a streaming a2x)";
  EXPECT_EQ(open({}, "a2x_meta.json", "{\"h\": 32, \"left\": 3}"), causal);
  EXPECT_EQ(open({}, "a2x_meta.json", "{\"h\": 32, \"window\": -1, \"left\": 3}"), causal);
  const std::string files = "le_a2x_create: pos/norm/xs_target read failed";
  EXPECT_EQ(open({}, "a2x_pos.f32", std::string(4 * (2 * kH - 1), '\0')), files);
  EXPECT_EQ(open({}, "a2x_norm.f32", std::string(4 * 125, '\0')), files);
  EXPECT_EQ(open({}, "xs_target.bin", std::string(4 * 62, '\0')), files);
  // A zero width would divide the positional table by zero.
  EXPECT_EQ(open({}, "a2x_meta.json", "{\"h\": 0, \"window\": 1, \"left\": 1}"),
            "le_a2x_create: meta h=0 is not a positive width");
  // Each family's last error is its own, per thread.
  std::string other = "<unset>";
  std::thread([&] { other = le_a2x_last_error(); }).join();
  EXPECT_EQ(other, "");
  EXPECT_EQ(le_fca_last_error(), fca);
  ::unsetenv("W2V_ONNX");
  EXPECT_EQ(open({}), "le_a2x_create: $W2V_ONNX not set");
  SetUp();

  // The encoder's outputs decide the width row, whatever the meta says.
  Meta m;
  m.width = 1;
  testing::internal::CaptureStderr();
  ASSERT_EQ(open(m), "");
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "[le_a2x] WARNING: a2x_meta width=1 but the encoder declares 1 output(s) "
                "\xE2\x80\x94 serving the GRAPH (width=0). Repackage this bundle.\n"),
            std::string::npos);
  EXPECT_EQ(le_a2x_width(s), 0);
  std::vector<float> audio = clip({3}), d(3 * kKp), w(3);
  EXPECT_EQ(le_a2x_deltas_wn(s, audio.data(), int(audio.size()), d.data(), w.data(), 3), -3);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_deltas_wn: encoder declares no wn output");
  m.wnEncoder = true;
  ASSERT_EQ(open(m), "");
  EXPECT_EQ(le_a2x_width(s), 1);
  EXPECT_EQ(le_a2x_nt(s), 5);
  EXPECT_EQ(le_a2x_nt(nullptr), 0);
}

TEST_F(A2xTest, ReleasesWholeBlocksWithLookAhead) {
  ASSERT_EQ(open({}), "");
  const std::vector<float> audio = clip({4, 20, 6});
  int idx[32], at = 0;
  float base[32 * kKp], driven[32 * kKp];
  auto pushTo = [&](int n) {
    le_a2x_push(s, audio.data() + at, n - at);
    at = n;
    return le_a2x_avail(s);
  };
  EXPECT_EQ(pushTo(4480), 0);
  EXPECT_EQ(le_a2x_pull(s, idx, base, driven, 32), 0);
  EXPECT_EQ(le_a2x_total(s), -1);
  EXPECT_EQ(pushTo(9600), 0);  // 4481 .. 9600 samples: one block, no look-ahead yet
  EXPECT_EQ(pushTo(9601), 4);  // two blocks: 16 frames less 12 of look-ahead
  EXPECT_EQ(le_a2x_pull(s, idx, base, driven, 32), 4);
  EXPECT_EQ(pushTo(3 * 5120 - 639), 8);
  EXPECT_EQ(le_a2x_pull(s, idx, base, driven, 32), 8);
  EXPECT_EQ(le_a2x_pull(s, idx, base, driven, 32), 0);

  // A directory that states a look-ahead of 2 releases 14 of the 16; the
  // environment's still wins.
  Meta shortSight;
  shortSight.right = 2;
  for (const char* env : {"", "12"}) {
    if (*env) ::setenv("LE_A2X_W2V_RIGHT", env, 1);
    ASSERT_EQ(open(shortSight), "");
    at = 0;
    EXPECT_EQ(pushTo(9601), *env ? 4 : 14) << env;
  }
  ::unsetenv("LE_A2X_W2V_RIGHT");
  shortSight.right = -3;
  EXPECT_EQ(open(shortSight),
            "le_a2x_create: meta w2v_right=-3 is not a look-ahead in frames (0 or more)");
  ASSERT_EQ(open({}), "");

  le_a2x_reset(s, 0, 1, 1);
  at = 0;
  EXPECT_EQ(pushTo(4481), 0);
  le_a2x_finish(s);
  EXPECT_EQ(le_a2x_total(s), 8);
  EXPECT_EQ(le_a2x_pull(s, idx, base, driven, 32), 8);
  le_a2x_push(s, audio.data(), 640);  // audio pushed after finish still counts
  EXPECT_EQ(le_a2x_total(s), 9);
  EXPECT_EQ(le_a2x_pull(s, idx, base, driven, 32), 1);
}

TEST_F(A2xTest, CorpusWalkLoopsBouncesAndContinues) {
  ASSERT_EQ(open({}), "");
  auto walk = [&](int start, int dir, int loop, int n) {
    le_a2x_reset(s, start, dir, loop);
    return finished(clip({12}), n).index;
  };
  EXPECT_EQ(walk(0, 1, 0, 10), (std::vector<int>{0, 1, 2, 3, 4, 3, 2, 1, 0, 1}));
  EXPECT_EQ(walk(0, 1, 1, 7), (std::vector<int>{0, 1, 2, 3, 4, 0, 1}));
  EXPECT_EQ(walk(0, -1, 1, 6), (std::vector<int>{0, 4, 3, 2, 1, 0}));
  walk(0, 1, 1, 7);
  EXPECT_EQ(walk(-1, 1, 1, 3), (std::vector<int>{2, 3, 4}));
  // The walk stands at 0; backwards without looping it bounces off the start.
  EXPECT_EQ(walk(-1, -5, 0, 4), (std::vector<int>{0, 1, 2, 3}));
  le_a2x_reset(s, 3, 1, 1);
  const Frames f = finished(clip({2}));
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f.base[0], targetOf(3, 0));
  EXPECT_EQ(f.base[kKp + 62], targetOf(4, 62));
}

TEST_F(A2xTest, VoicedAudioOpensTheMouthAndSilenceReturnsToTheCorpus) {
  ASSERT_EQ(open({}), "");
  const Frames f = finished(clip({10, 20, 30}));
  ASSERT_EQ(f.size(), 60u);
  for (size_t t = 0; t < 60; ++t)
    for (int r : {14, 15, 16, 18, 19, 20}) {
      const int c = 3 * r + 1;
      const float open = f.delta(t, c) - meanOf(c), down = r < 17 ? open : -open;
      if (t < 8) {  // nothing voiced within the attention band yet
        EXPECT_NEAR(open, 0.f, 1e-6f) << t;
      } else if (t >= 12 && t < 30) {
        EXPECT_GT(down, 0.02f) << "row " << r << ", frame " << t;
      } else if (t >= 50) {
        EXPECT_NEAR(open, 0.f, 1e-4f) << t;
      }
    }
}

TEST_F(A2xTest, BatchMatchesTheFinishedStream) {
  Meta m;
  m.layers = 2;
  m.wnEncoder = true;
  ASSERT_EQ(open(m), "");
  std::vector<float> audio = clip({5, 30, 10, 25, 15});
  audio.resize(audio.size() + 100, 0.f);
  const int T = int((audio.size() + kFrame - 1) / kFrame);
  std::vector<float> d(size_t(T) * kKp), w(static_cast<size_t>(T));
  EXPECT_EQ(le_a2x_deltas_wn(s, audio.data(), int(audio.size()), d.data(), w.data(), T - 1), -2);
  // The stream's 64-frame chunks against the batch's 24, and a batch call
  // between two pulls leaves the stream where it was.
  const Frames first = finished(audio, 10);
  ASSERT_EQ(le_a2x_deltas_wn(s, audio.data(), int(audio.size()), d.data(), w.data(), T), T);
  const Frames f = pull(1 << 20, first);
  ASSERT_EQ(int(f.size()), T);
  int mismatches = 0;
  for (int i = 0; i < T * kKp; ++i) mismatches += f.driven[i] != f.base[i] + d[i];
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(f.width, w);
}

TEST_F(A2xTest, MaskBandAndPositionalRowsShowInTheWidth) {
  // Width = positional channel 1 + speech energy: a two-frame burst at 10-11
  // reaches exactly the frames whose band [t - left, t + window] holds it.
  Meta m;
  m.wnEncoder = true;
  ASSERT_EQ(open(m), "");
  std::vector<float> audio = clip({10, 2, 20}), d(32 * kKp), w(32);
  const Frames f = finished(audio);
  ASSERT_EQ(le_a2x_deltas_wn(s, audio.data(), int(audio.size()), d.data(), w.data(), 32), 32);
  ASSERT_EQ(f.size(), 32u);
  for (int t = 0; t < 32; ++t) {
    if (t >= 8 && t <= 14)
      EXPECT_GT(f.width[t], float(t) / 1024.f + 0.1f) << t;
    else
      EXPECT_EQ(f.width[t], float(t) / 1024.f) << t;
  }
  EXPECT_EQ(w, f.width);

  // 60 silent frames over a 20-row table: beyond it rows cycle through 10..19.
  m.P = 20;
  ASSERT_EQ(open(m), "");
  audio = clip({60});
  d.resize(60 * kKp);
  w.resize(60);
  const Frames g = finished(audio);
  ASSERT_EQ(le_a2x_deltas_wn(s, audio.data(), int(audio.size()), d.data(), w.data(), 60), 60);
  ASSERT_EQ(g.size(), 60u);
  for (int t = 0; t < 60; ++t) {
    EXPECT_EQ(g.width[t], float(t < 20 ? t : 10 + (t - 20) % 10) / 1024.f) << t;
    EXPECT_EQ(w[t], g.width[t]) << t;
  }
}

TEST_F(A2xTest, SilencePrimingSeedsEveryUtterance) {
  const std::vector<float> audio = clip({3, 12, 5});
  const int T = 20;
  std::vector<float> unprimed(T * kKp), primed(T * kKp);
  ASSERT_EQ(open({}), "");
  ASSERT_EQ(le_a2x_deltas(s, audio.data(), int(audio.size()), unprimed.data(), T), T);
  Meta m;
  m.prime = 5;
  testing::internal::CaptureStderr();
  ASSERT_EQ(open(m), "");
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "[le_a2x] silence-primed AR state cached (5 frames)\n"),
            std::string::npos);
  ASSERT_EQ(le_a2x_deltas(s, audio.data(), int(audio.size()), primed.data(), T), T);
  EXPECT_NE(primed, unprimed);
  for (int pass = 0; pass < 2; ++pass) {  // every utterance starts from the primed state
    le_a2x_reset(s, 0, 1, 1);
    const Frames f = finished(audio);
    ASSERT_EQ(int(f.size()), T);
    for (int i = 0; i < T * kKp; ++i) ASSERT_EQ(f.driven[i], f.base[i] + primed[i]) << i;
  }
  ::setenv("LE_A2X_SILENCE_PRIME", "300", 1);
  testing::internal::CaptureStderr();
  ASSERT_EQ(open(m), "");
  EXPECT_NE(testing::internal::GetCapturedStderr().find("AR state cached (200 frames)"),
            std::string::npos);
}
