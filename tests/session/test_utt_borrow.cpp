// The teeth borrow on a live session, on the demo avatar with its generated
// teeth members: attaching, frames through the borrow (on the render thread
// and on the borrow thread), the failure latch and interrupts.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_fixtures.h"
#include "le/le.h"
#include "session/le_utt.h"
#include "support/test_util.h"
#include "tessera/le_bankdec_ff.h"
#include "tessera/le_tessera_stream.h"

namespace {

using Clock = std::chrono::steady_clock;
using le_audio_test::kFrame;

struct Frame {
  le_utt_frame_info info;
  std::vector<uint8_t> rgb;
  std::vector<float> kp;
  int64_t at = -1;
};

// The members as a host hands them over, the bank decoded into donor order.
struct Members {
  std::vector<uint8_t> band;
  int n = 0;
  std::vector<double> cent, aperture;
  double canon[2] = {0, 0};
  int32_t stamp[12] = {};
  std::vector<uint8_t> head;
  std::string headJson, manifest;
};

std::vector<int16_t> pcm(std::initializer_list<int> frames) {
  std::vector<int16_t> out;
  for (float v : le_audio_test::clip(frames))
    out.push_back(int16_t(std::clamp(std::lround(v * 32768.0f), -32768L, 32767L)));
  return out;
}

class BorrowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static le_test::TempDir dirs;
    bundle_ = dirs / "astro";
    const std::string cmd = std::string(VEVER_TOOL) + " demo-bundle " + bundle_ +
                            " --source-frames 6 --frames 4 > /dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    motion_ = bundle_ + "/motion";
    // The demo's own audio frontend; it is chosen once per process.
    ::setenv("W2V_ONNX", (motion_ + "/w2v.onnx").c_str(), 1);

    char err[512];
    le_tessera_members* m = le_tessera_members_open(bundle_.c_str(), err, sizeof err);
    ASSERT_NE(m, nullptr) << err;
    Members& t = members_;
    t.n = le_tessera_members_n_donors(m);
    t.cent.assign(le_tessera_members_cent(m), le_tessera_members_cent(m) + 2 * t.n);
    t.aperture.assign(le_tessera_members_aperture(m), le_tessera_members_aperture(m) + t.n);
    std::memcpy(t.canon, le_tessera_members_c_canon(m), sizeof t.canon);
    std::memcpy(t.stamp, le_tessera_members_stamp(m), sizeof t.stamp);
    t.head.assign(le_tessera_members_head_pt(m),
                  le_tessera_members_head_pt(m) + le_tessera_members_head_pt_len(m));
    t.headJson = le_tessera_members_head_json(m);
    t.manifest = le_tessera_members_manifest_json(m);
    const std::string track = le_test::readFile(le_tessera_members_bank_track_path(m));
    std::vector<int32_t> order(size_t(t.n));
    for (int i = 0; i < t.n; ++i) order[size_t(i)] = i;
    t.band = le::tessera::decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()),
                                          track.size(), t.n, le_tessera_members_band_h(m),
                                          le_tessera_members_band_w(m), order);
    le_tessera_members_close(m);
    const std::string xs = le_test::readFile(motion_ + "/xs_target.bin");
    corpus_.resize(xs.size() / sizeof(float));
    std::memcpy(corpus_.data(), xs.data(), xs.size());
  }

  void SetUp() override {
    for (const char* v : {"LE_UTT_PIPELINE_PASTE", "LE_UTT_STAGE_REPORT", "LE_UTT_HYBRID"})
      ::unsetenv(v);
    ctx_ = le_create(bundle_.c_str(), "b1", 1, nullptr);
    ASSERT_NE(ctx_, nullptr) << le_last_error();
    bytes_ = size_t(le_width(ctx_)) * size_t(le_height(ctx_)) * 3;
  }
  void TearDown() override {
    le_utt_destroy(s_);
    le_destroy(ctx_);
  }

  void open(bool pipelined, const std::string& motion = "") {
    ::setenv("LE_UTT_PIPELINE_PASTE", pipelined ? "1" : "0", 1);
    le_utt_opts o{};
    const std::string dir = motion.empty() ? motion_ : motion;
    o.motion_dir = dir.c_str();
    o.steady_model = "-";
    o.end_silence_s = -1;
    s_ = le_utt_create(ctx_, &o);
    ASSERT_NE(s_, nullptr) << le_utt_last_error();
  }

  int attach(const Members& t, std::string* error = nullptr) {
    char err[1024] = "untouched";
    const int rc = le_utt_tessera_attach(
        s_, t.band.data(), t.n, t.cent.data(), t.canon, t.aperture.data(), t.stamp, t.head.data(),
        int64_t(t.head.size()), t.headJson.c_str(), t.manifest.c_str(), err, sizeof err);
    if (error) *error = err;
    return rc;
  }

  bool waitFor(const std::function<bool()>& done, double seconds = 60) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
      if (Clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  std::vector<Frame> pullUntil(const std::function<bool(const std::vector<Frame>&)>& stop,
                               double seconds = 60) {
    std::vector<Frame> got;
    Frame f;
    f.rgb.resize(bytes_);
    waitFor(
        [&] {
          while (!stop(got) &&
                 le_utt_pull_frame_at(s_, f.rgb.data(), f.rgb.size(), &f.info, &f.at) == 1) {
            f.kp.assign(s_->ring.lastDelivered().kp, s_->ring.lastDelivered().kp + le_utt::kKp);
            got.push_back(f);
          }
          return stop(got);
        },
        seconds);
    return got;
  }

  int64_t applied(int* status = nullptr, std::string* reason = nullptr) {
    int64_t a = -1, k = -1;
    char text[256];
    const int rc = le_utt_tessera_stats(s_, &a, &k, text, sizeof text);
    if (status) *status = rc;
    if (reason) *reason = text;
    return a;
  }

  // What the borrow should make of the session's crop frames: each rendered
  // from its own keypoints, pushed through a borrow of its own in delivery
  // order and pasted once its window came back.
  std::vector<std::vector<uint8_t>> reference(const std::vector<Frame>& frames) {
    le_ctx* ref = le_create(bundle_.c_str(), "b1", 1, nullptr);
    EXPECT_NE(ref, nullptr) << le_last_error();
    le::tessera::BankData bank;
    bank.donors = members_.band;
    bank.cent = members_.cent;
    bank.aperture = members_.aperture;
    bank.c_canon = {members_.canon[0], members_.canon[1]};
    for (int i = 0; i < 12; ++i) bank.stamp.at(i) = members_.stamp[i];
    bank.n_donors = members_.n;
    std::string geometry;
    const int C = le_crop(ref);
    le::tessera::StreamBorrow borrow(
        bank, le::tessera::loadHeadPt(members_.head),
        le::ServeConfig::fromHeadMemberJson(members_.headJson),
        le::tessera::UnifiedPi::corpusFromManifestJson(members_.manifest, C, corpus_.data(),
                                                       le_nt(ref), members_.canon, &geometry),
        le_test::readFile(bundle_ + "/lip_template.v1.json"));
    std::vector<std::vector<uint8_t>> out;
    std::vector<float> held;
    int heldIndex = 0;
    auto paste = [&](const le::tessera::FrameResult& r) {
      EXPECT_FALSE(r.skipped) << r.reason;
      le::tessera::StreamBorrow::writeWindowDelta(held.data(), C, r, borrow.stamp());
      std::vector<uint8_t> rgb(bytes_);
      EXPECT_EQ(le_paste_crop(ref, heldIndex, held.data(), rgb.data(), rgb.size()), 1);
      out.push_back(std::move(rgb));
    };
    le::tessera::FrameResult r;
    for (const Frame& f : frames) {
      const float* base = corpus_.data() + size_t(f.info.index) * 63;
      const float* face = le_render_kp_crop(ref, f.info.index, base, f.kp.data());
      EXPECT_NE(face, nullptr) << le_last_error();
      if (borrow.push(face, f.kp.data(), r)) paste(r);
      held.assign(face, face + size_t(C) * size_t(C) * 3);
      heldIndex = f.info.index;
    }
    if (borrow.flush(r)) paste(r);
    le_destroy(ref);
    return out;
  }

  static int count(const std::vector<Frame>& v, int kind) {
    return int(
        std::count_if(v.begin(), v.end(), [&](const Frame& f) { return f.info.kind == kind; }));
  }

  static std::string bundle_, motion_;
  static Members members_;
  static std::vector<float> corpus_;
  le_ctx* ctx_ = nullptr;
  le_utt* s_ = nullptr;
  size_t bytes_ = 0;
};

std::string BorrowTest::bundle_, BorrowTest::motion_;
Members BorrowTest::members_;
std::vector<float> BorrowTest::corpus_;

TEST_F(BorrowTest, AttachRefusesWhatItCannotArm) {
  const std::string dash = "\xE2\x80\x94";
  std::string e;
  char err[256] = "untouched";
  EXPECT_EQ(le_utt_tessera_attach(nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  0, nullptr, nullptr, err, sizeof err),
            1);
  EXPECT_STREQ(err, "le_utt_tessera_attach: null session");
  EXPECT_EQ(le_utt_tessera_stats(nullptr, nullptr, nullptr, nullptr, 0), 0);

  // A motion directory without the corpus keypoints cannot name the pi frame.
  le_test::TempDir bare;
  for (const char* name : {"w2v.onnx", "a2x_enc_stream.onnx", "a2x_dec.onnx", "a2x_meta.json",
                           "a2x_pos.f32", "a2x_norm.f32"})
    le_audio_test::link(motion_ + "/" + name, bare / name);
  open(true, bare.path());
  EXPECT_EQ(attach(members_, &e), 1);
  EXPECT_EQ(e,
            "le_utt_tessera_attach: xs_target.bin is absent or the wrong length, so this "
            "bundle's corpus pi frame cannot be identified " +
                dash + " refusing to arm the borrow against the manifest's compose-field geometry");
  le_utt_destroy(s_);
  s_ = nullptr;

  open(false);
  Members t = members_;
  EXPECT_EQ(le_utt_tessera_attach(s_, t.band.data(), t.n, t.cent.data(), t.canon, t.aperture.data(),
                                  t.stamp, nullptr, 0, t.headJson.c_str(), t.manifest.c_str(), err,
                                  sizeof err),
            1);
  EXPECT_EQ(std::string(err), "le_utt_tessera_attach: a required member is null " + dash +
                                  " this ABI has no partial-attach state");
  t.n = 0;
  EXPECT_EQ(attach(t, &e), 1);
  EXPECT_EQ(e, "le_utt_tessera_attach: n_donors <= 0");
  t = members_;
  t.stamp[6] = 0;  // pad
  EXPECT_EQ(attach(t, &e), 1);
  EXPECT_EQ(e.rfind("le_utt_tessera_attach: teeth: GeometryStamp incoherent:", 0), 0u) << e;
  t = members_;
  t.stamp[0] = t.stamp[1] = 240;
  EXPECT_EQ(attach(t, &e), 1);
  EXPECT_EQ(e, "le_utt_tessera_attach: bank canvas 240x240 != this bundle's render crop 256");
  t = members_;
  t.canon[1] += 40;  // no corpus geometry centres its mouth there
  EXPECT_EQ(attach(t, &e), 1);
  EXPECT_EQ(e.rfind("le_utt_tessera_attach: teeth-pi: no corpus pi geometry matches", 0), 0u) << e;
  // The message is cut to the buffer and terminated.
  char shortErr[12];
  EXPECT_EQ(
      le_utt_tessera_attach(s_, t.band.data(), 0, t.cent.data(), t.canon, t.aperture.data(),
                            t.stamp, t.head.data(), int64_t(t.head.size()), t.headJson.c_str(),
                            t.manifest.c_str(), shortErr, sizeof shortErr),
      1);
  EXPECT_STREQ(shortErr, "le_utt_tess");

  // Nothing refused left a borrow behind.
  char geometry[8] = "x";
  EXPECT_EQ(le_utt_tessera_geometry(s_, geometry, sizeof geometry), 0);
  EXPECT_STREQ(geometry, "");
  EXPECT_EQ(le_utt_tessera_stats(s_, nullptr, nullptr, nullptr, 0), 0);
  double mean = -1, max = -1;
  int64_t frames = -1;
  EXPECT_EQ(le_utt_tessera_synth_w(s_, &mean, &max, &frames), 0);
  EXPECT_EQ(frames, 0);

  // The bundle's own members arm the same borrow in one call.
  EXPECT_EQ(le_utt_tessera_attach_bundle(nullptr, err, sizeof err), 1);
  EXPECT_STREQ(err, "le_utt_tessera_attach_bundle: null session");
  EXPECT_EQ(le_utt_tessera_attach_bundle(s_, err, sizeof err), 0) << err;
  EXPECT_STREQ(err, "");
  EXPECT_EQ(le_utt_tessera_geometry(s_, geometry, sizeof geometry), 1);
  EXPECT_STREQ(geometry, "v1");
}

// pipelined paste (the borrow on its own thread), else on the render thread
class BorrowForms : public BorrowTest, public ::testing::WithParamInterface<bool> {};

TEST_P(BorrowForms, EveryFrameIsDeliveredWithTheBorrowedMouth) {
  const bool pipelined = GetParam();
  ::setenv("LE_UTT_STAGE_REPORT", "1", 1);
  open(pipelined);
  ASSERT_EQ(attach(members_), 0);
  char geometry[8];
  EXPECT_EQ(le_utt_tessera_geometry(s_, geometry, sizeof geometry), 1);
  EXPECT_STREQ(geometry, "v1");
  ASSERT_TRUE(waitFor([&] { return le_utt_ready(s_) == 1; }));
  ASSERT_TRUE(waitFor([&] { return le_utt_frames_available(s_) == 1; }));

  const auto audio = pcm({2, 12, 2});
  const int n = int(audio.size() / kFrame);
  le_utt_push_audio(s_, audio.data(), int(audio.size()));
  le_utt_end_utterance(s_);
  auto frames = pullUntil([&](const std::vector<Frame>& v) {
    return v.size() > 1 && v.back().info.kind == 0 && count(v, 2) > 0;
  });
  ASSERT_EQ(count(frames, 1), n);
  EXPECT_EQ(count(frames, 2), 6);
  for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(frames[i].info.seq, int64_t(i));
  // A frame the borrow held back keeps the place of its voice.
  for (const Frame& f : frames) EXPECT_EQ(f.at, f.info.kind == 1 ? kFrame * f.info.number : -1);

  int status = 0;
  std::string reason;
  EXPECT_EQ(applied(&status, &reason), n + 6);
  EXPECT_EQ(status, 1) << reason;
  EXPECT_EQ(reason, "");
  double mean = -1, max = -1;
  int64_t synth = 0;
  EXPECT_EQ(le_utt_tessera_synth_w(s_, &mean, &max, &synth), 1);
  EXPECT_EQ(synth, n + 6);
  EXPECT_GE(mean, 0);
  EXPECT_GE(max, mean);

  // Both forms deliver exactly what the borrow makes of the frames' own renders.
  std::vector<Frame> crops;
  for (const Frame& f : frames)
    if (f.info.kind != 0) crops.push_back(f);
  const auto want = reference(crops);
  ASSERT_EQ(want.size(), crops.size());
  le_ctx* plain = le_create(bundle_.c_str(), "b1", 1, nullptr);
  int changed = 0;
  for (size_t i = 0; i < crops.size(); ++i) {
    EXPECT_TRUE(want[i] == crops[i].rgb) << "crop frame " << i;
    // The borrow really changed the mouth of an open-mouthed frame.
    const float* base = corpus_.data() + size_t(crops[i].info.index) * 63;
    const float* face = le_render_kp_crop(plain, crops[i].info.index, base, crops[i].kp.data());
    std::vector<uint8_t> without(bytes_);
    le_paste_crop(plain, crops[i].info.index, face, without.data(), without.size());
    changed += without != crops[i].rgb;
  }
  le_destroy(plain);
  EXPECT_GT(changed, n / 2);

  testing::internal::CaptureStderr();
  le_utt_destroy(s_);
  s_ = nullptr;
  const std::string report = testing::internal::GetCapturedStderr();
  if (pipelined) {
    EXPECT_NE(report.find("[le_utt-stage] pipe=1 jobsB="), std::string::npos) << report;
    EXPECT_EQ(report.find("jobsB=0 "), std::string::npos) << report;
  } else {
    EXPECT_NE(report.find("(pipe=0 jobsB=0 jobsC=0"), std::string::npos) << report;
  }
}

TEST_P(BorrowForms, TheFirstSkippedFrameLatchesUntilAttachedAgain) {
  open(GetParam());
  // c_canon moved up by 7 px still names the v1 geometry, but an opening
  // mouth then lies further than the pad from it: its frame cannot be placed.
  Members far = members_;
  far.canon[1] -= 7;
  std::string e;
  ASSERT_EQ(attach(far, &e), 0) << e;
  ASSERT_TRUE(waitFor([&] { return le_utt_ready(s_) == 1; }));
  const auto audio = pcm({2, 20, 2});
  le_utt_push_audio(s_, audio.data(), int(audio.size()));
  le_utt_end_utterance(s_);
  int status = 0;
  std::string reason;
  ASSERT_TRUE(waitFor([&] {
    std::vector<uint8_t> sink(bytes_);
    while (le_utt_pull_frame(s_, sink.data(), sink.size(), nullptr) == 1) {
    }
    applied(&status, &reason);
    return status == 255;
  }));
  EXPECT_EQ(reason, "shift-out-of-range");
  int64_t skipped = 0;
  le_utt_tessera_stats(s_, nullptr, &skipped, nullptr, 0);
  EXPECT_EQ(skipped, 1);
  // A failed borrow delivers nothing, idle frames included, once the frames
  // finished before the failure have arrived.
  std::vector<uint8_t> sink(bytes_);
  const auto settle = Clock::now() + std::chrono::milliseconds(300);
  while (Clock::now() < settle) {
    while (le_utt_pull_frame(s_, sink.data(), sink.size(), nullptr) == 1) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const int64_t latched = applied();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(le_utt_frames_available(s_), 0);
  EXPECT_EQ(applied(&status), latched);
  EXPECT_EQ(status, 255);

  // Attaching again clears the latch and the counters; frames flow again.
  ASSERT_EQ(attach(members_, &e), 0) << e;
  EXPECT_EQ(applied(&status, &reason), 0);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(reason, "");
  auto frames = pullUntil([](const std::vector<Frame>& v) { return v.size() >= 3; });
  EXPECT_EQ(frames.size(), 3u);
}

TEST_P(BorrowForms, AnInterruptDiscardsTheHeldFrame) {
  open(GetParam());
  ASSERT_EQ(attach(members_), 0);
  ASSERT_TRUE(waitFor([&] { return le_utt_ready(s_) == 1; }));
  const auto audio = pcm({2, 60});
  le_utt_push_audio(s_, audio.data(), int(audio.size()));
  le_utt_end_utterance(s_);
  auto before = pullUntil([](const std::vector<Frame>& v) { return count(v, 1) >= 3; });
  ASSERT_GE(count(before, 1), 3);
  le_utt_interrupt(s_);
  const Frame last = before.back();
  auto after = pullUntil(
      [](const std::vector<Frame>& v) { return v.size() >= 5 && v.back().info.kind == 0; });
  ASSERT_GE(after.size(), 5u);
  // The speech frame the borrow held when the interrupt came is not
  // delivered after it: the ramp comes first, from the last pulled frame.
  for (int r = 0; r < 4; ++r) {
    EXPECT_EQ(after[size_t(r)].info.kind, 2) << r;
    EXPECT_EQ(after[size_t(r)].info.index, (last.info.index + 1 + r) % le_nt(ctx_)) << r;
  }
  int status = 0;
  std::string reason;
  applied(&status, &reason);
  EXPECT_EQ(status, 1) << reason;
}

INSTANTIATE_TEST_SUITE_P(Forms, BorrowForms, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& p) {
                           return p.param ? "Pipelined" : "Synchronous";
                         });

}  // namespace
