// The batch stream renderer: its render-ahead pipeline, and whole clips on a
// small generated bundle.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "session/le_stream.h"
#include "support/test_util.h"

using le_test::TempDir;

namespace {

constexpr int kKp = 63;

TEST(StreamPipeline, DeliversInOrderWithTheRendererAtMostFourCropsAhead) {
  const size_t n = 16;
  std::vector<float> slots, scratch(n);
  std::atomic<int> begun{0};
  std::atomic<int> lead{0}, maxLead{0};
  std::vector<int> delivered;
  auto render = [&](int k) {
    lead = k - begun.load();
    maxLead = std::max(maxLead.load(), lead.load());
    EXPECT_LE(lead.load(), 5) << k;
    std::fill(scratch.begin(), scratch.end(), float(k));  // one buffer, reused like a context's
    return scratch.data();
  };
  auto paste = [&](int k, const float* crop) {
    EXPECT_EQ(crop[0], float(k));
    EXPECT_EQ(crop[n - 1], float(k));
    return true;
  };
  auto deliver = [&](int k) {
    ++begun;
    delivered.push_back(k);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  };
  ASSERT_EQ(le::streamPipeline(30, n, slots, render, paste, deliver), 30);
  std::vector<int> expected(30);
  for (int k = 0; k < 30; ++k) expected[size_t(k)] = k;
  EXPECT_EQ(delivered, expected);
  EXPECT_GE(maxLead.load(), 2);  // it does work ahead
  EXPECT_EQ(le::streamPipeline(0, n, slots, render, paste, deliver), 0);
  EXPECT_EQ(delivered.size(), 30u);
}

TEST(StreamPipeline, AFailureStopsDeliveryAndDropsWaitingCrops) {
  const size_t n = 8;
  std::vector<float> slots, scratch(n, 0.f);
  // Render fails at frame 5 while frame 0 is being delivered: frames 1 to 4
  // are rendered and waiting, and are dropped.
  std::atomic<bool> reached{false};
  std::vector<int> delivered;
  auto render = [&](int k) -> const float* {
    if (k == 5) {
      reached = true;
      return nullptr;
    }
    return scratch.data();
  };
  auto ok = [](int, const float*) { return true; };
  auto deliver = [&](int k) {
    delivered.push_back(k);
    for (int i = 0; i < 5000 && k == 0 && !reached; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  EXPECT_EQ(le::streamPipeline(12, n, slots, render, ok, deliver), -1);
  EXPECT_EQ(delivered, std::vector<int>{0});

  // A failed paste stops at that frame, with the renderer waiting for room.
  delivered.clear();
  auto renderAll = [&](int) { return scratch.data(); };
  auto pasteFails = [](int k, const float*) { return k != 2; };
  EXPECT_EQ(le::streamPipeline(40, n, slots, renderAll, pasteFails, deliver), -1);
  EXPECT_EQ(delivered, (std::vector<int>{0, 1}));
}

// A bundle of NT corpus frames whose render model is the test director, with
// the conditioner's model and corpus keypoints near a rest pose.
struct StreamBundle {
  TempDir dir;
  std::vector<float> corpus;
  explicit StreamBundle(int nt) {
    le_test::writeBundle(dir.path(), nt, 3);
    le_test::copyFile(std::string(LE_TEST_MODELS) + "/model_b1.onnx", dir / "model_render.onnx");
    le_test::copyFile(audioModel("fca_stream.onnx"), dir / "fca_stream.onnx");
    for (int r = 0; r < nt; ++r)
      for (int k = 0; k < 21; ++k) {
        const double a = 2 * M_PI * k / 21;
        corpus.insert(corpus.end(), {float(0.5 * std::cos(a) + 0.02 * r),
                                     float(0.4 * std::sin(a) - 0.01 * r), 0.f});
      }
    le_test::writeVector(dir / "xs_target.bin", corpus);
  }
  static std::string audioModel(const std::string& name) {
    return std::string(LE_TEST_AUDIO_MODELS) + "/" + name;
  }
};

struct Delivery {
  std::vector<int> numbers;
  std::vector<std::vector<uint8_t>> frames;
  static void onFrame(void* user, int frame, const uint8_t* rgb, int w, int h) {
    auto* d = static_cast<Delivery*>(user);
    d->numbers.push_back(frame);
    d->frames.emplace_back(rgb, rgb + size_t(w) * size_t(h) * 3);
  }
};

// A speech-like clip: silence, then a vowel, in whole frames.
std::vector<float> speech(int silent, int voiced) {
  std::vector<float> a(size_t(silent + voiced) * 640, 0.f);
  for (size_t i = size_t(silent) * 640; i < a.size(); ++i)
    a[i] = float(0.2 * std::sin(2 * M_PI * 140 * double(i) / 16000) +
                 0.1 * std::sin(2 * M_PI * 700 * double(i) / 16000));
  return a;
}

int maxDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int d = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i)
    d = std::max(d, std::abs(int(a[i]) - int(b[i])));
  return a.size() == b.size() ? d : 256;
}

}  // namespace

TEST(Stream, RendersTheClipAlongTheCorpusWalk) {
  StreamBundle b(3);
  const std::string w2v = StreamBundle::audioModel("w2v.onnx");
  const std::vector<float> clip = speech(2, 5);  // 7 frames

  le_ctx* ref = le_create(b.dir.path().c_str(), "render", 1, "");
  ASSERT_NE(ref, nullptr) << le_last_error();
  std::vector<uint8_t> want(size_t(64) * 48 * 3);
  auto reference = [&](int index, const float* base, const float* driven) {
    const float* crop = le_render_kp_crop(ref, index, base, driven);
    EXPECT_NE(crop, nullptr) << le_last_error();
    EXPECT_EQ(le_paste_crop(ref, index, crop, want.data(), want.size()), 1) << le_last_error();
    return want;
  };

  // Gain 0: every frame is its corpus frame's own keypoints, indices 0 1 2 0 1 2 0.
  le_stream* s = le_stream_create(b.dir.path().c_str(), w2v.c_str(), 1, 0, 0.f);
  ASSERT_NE(s, nullptr) << le_stream_last_error();
  EXPECT_EQ(le_stream_width(s), 64);
  EXPECT_EQ(le_stream_height(s), 48);
  Delivery still;
  ASSERT_EQ(le_stream_run(s, clip.data(), int(clip.size()), &Delivery::onFrame, &still), 7)
      << le_stream_last_error();
  EXPECT_EQ(still.numbers, (std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
  const int indices[7] = {0, 1, 2, 0, 1, 2, 0};
  for (int k = 0; k < 7; ++k) {
    const float* row = b.corpus.data() + indices[k] * kKp;
    EXPECT_LE(maxDiff(still.frames[size_t(k)], reference(indices[k], row, row)), 1) << k;
  }
  // A clip shorter than skip x 640 samples calls nothing.
  le_stream* skipping = le_stream_create(b.dir.path().c_str(), w2v.c_str(), 1, 3, 0.f);
  ASSERT_NE(skipping, nullptr) << le_stream_last_error();
  Delivery none;
  EXPECT_EQ(le_stream_run(skipping, clip.data(), 2 * 640 + 5, &Delivery::onFrame, &none), 0);
  EXPECT_EQ(le_stream_run(skipping, clip.data(), 0, &Delivery::onFrame, &none), 0);
  EXPECT_TRUE(none.numbers.empty());
  le_stream_destroy(skipping);
  le_stream_destroy(s);

  // Skip 2, gain 1: clip frame i + 2 with the conditioner's delta added.
  le_fca* fca = le_fca_create(w2v.c_str(), (b.dir / "fca_stream.onnx").c_str(), 1);
  ASSERT_NE(fca, nullptr) << le_fca_last_error();
  std::vector<float> deltas(7 * kKp);
  ASSERT_EQ(le_fca_deltas(fca, clip.data(), int(clip.size()), deltas.data(), 7), 7);
  le_fca_destroy(fca);
  s = le_stream_create(b.dir.path().c_str(), w2v.c_str(), 1, 2, 1.f);
  ASSERT_NE(s, nullptr) << le_stream_last_error();
  Delivery moved;
  ASSERT_EQ(le_stream_run(s, clip.data(), int(clip.size()), &Delivery::onFrame, &moved), 5);
  int changed = 0;
  for (int k = 0; k < 5; ++k) {
    const int i = k + 2, index = i % 3;
    const float* base = b.corpus.data() + index * kKp;
    std::vector<float> driven(base, base + kKp);
    for (int c = 0; c < kKp; ++c) driven[size_t(c)] += deltas[size_t(i * kKp + c)];
    EXPECT_LE(maxDiff(moved.frames[size_t(k)], reference(index, base, driven.data())), 1) << k;
    changed += maxDiff(moved.frames[size_t(k)], still.frames[size_t(i)]) > 8;
  }
  EXPECT_GT(changed, 0);  // speech moved the mouth
  le_stream_destroy(s);
  le_destroy(ref);
}

TEST(Stream, CreationAndRunFailures) {
  const std::string w2v = StreamBundle::audioModel("w2v.onnx");
  EXPECT_EQ(le_stream_create("/nonexistent-bundle", w2v.c_str(), 1, 0, 1.f), nullptr);
  EXPECT_EQ(std::string(le_stream_last_error()),
            "le_create: le_create: cannot open /nonexistent-bundle/manifest.json");

  StreamBundle b(3);
  ::unlink((b.dir / "fca_stream.onnx").c_str());
  EXPECT_EQ(le_stream_create(b.dir.path().c_str(), w2v.c_str(), 1, 0, 1.f), nullptr);
  EXPECT_EQ(std::string(le_stream_last_error()).rfind("le_fca_create: le_fca_create: ", 0), 0u)
      << le_stream_last_error();
  le_test::copyFile(StreamBundle::audioModel("fca_stream.onnx"), b.dir / "fca_stream.onnx");
  for (size_t floats : {size_t(0), size_t(3 * kKp - 1), size_t(3 * kKp + 1)}) {
    if (floats == 0)
      ::unlink((b.dir / "xs_target.bin").c_str());
    else
      le_test::writeVector(b.dir / "xs_target.bin", std::vector<float>(floats, 0.f));
    EXPECT_EQ(le_stream_create(b.dir.path().c_str(), w2v.c_str(), 1, 0, 1.f), nullptr);
    EXPECT_STREQ(le_stream_last_error(), "le_stream_create: cannot read xs_target.bin (NT*63 f32)");
  }
  le_test::writeVector(b.dir / "xs_target.bin", b.corpus);

  // A driver frame that cannot be decoded fails the paste of frame 2: the
  // run ends there, having delivered nothing at or after it.
  le_test::writeFile(b.dir / "target_frames/frame_000002.jpg", "not a jpeg");
  le_stream* s = le_stream_create(b.dir.path().c_str(), w2v.c_str(), 1, 0, 0.f);
  ASSERT_NE(s, nullptr) << le_stream_last_error();
  const std::vector<float> clip = speech(1, 6);
  Delivery d;
  EXPECT_EQ(le_stream_run(s, clip.data(), int(clip.size()), &Delivery::onFrame, &d), -1);
  EXPECT_STREQ(le_stream_last_error(), "le_stream_run: render/paste failed");
  EXPECT_EQ(d.numbers, (std::vector<int>{0, 1}));
  EXPECT_EQ(le_stream_run(s, nullptr, 640, nullptr, nullptr), -1);
  EXPECT_EQ(std::string(le_stream_last_error()).rfind("le_fca_deltas: ", 0), 0u);
  le_stream_destroy(s);
}
