// Utterance sessions end to end: a small bundle, a synthetic a2x motion
// directory, audio pushed from the test and frames pulled as a host would.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "audio/audio_fixtures.h"
#include "le/le.h"
#include "session/le_utt.h"
#include "support/test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using le_audio_test::kFrame;

constexpr int kNT = 4;  // the generated motion-generator directory's corpus

struct Frame {
  le_utt_frame_info info;
  std::vector<uint8_t> rgb;
  std::vector<float> kp;  // the driven keypoints the session kept for it
  int64_t at = -1;        // where its voice is in the audio pushed
  std::vector<int16_t> voice = std::vector<int16_t>(LE_UTT_FRAME_SAMPLES);  // the voice it brought
};

double residentMiB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

std::vector<int16_t> pcm(std::initializer_list<int> frames) {
  std::vector<int16_t> out;
  for (float v : le_audio_test::clip(frames))
    out.push_back(int16_t(std::clamp(std::lround(v * 32768.0f), -32768L, 32767L)));
  return out;
}

class UttTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The legacy audio frontend is chosen once per process: no pair beside it.
    static le_test::TempDir dirs;
    le_audio_test::link(le_audio_test::model("w2v.onnx"), dirs / "w2v.onnx");
    ::setenv("W2V_ONNX", (dirs / "w2v.onnx").c_str(), 1);
    bundle_ = dirs / "bundle";
    le_test::writeBundle(bundle_, kNT, 3);
    le_test::copyFile(std::string(LE_TEST_MODELS) + "/model_b24_fp32.onnx",
                      bundle_ + "/model_b24_fp32.onnx");
    motion_ = dirs / "motion";
    le_audio_test::Meta meta;
    meta.NT = kNT;
    le_audio_test::writeMotionDir(motion_, meta);
  }

  void SetUp() override {
    for (const char* v :
         {"LE_STEADY_MODEL", "LE_UTT_HYBRID", "LE_UTT_PIPELINE_PASTE", "LE_UTT_STAGE_REPORT"})
      ::unsetenv(v);
    ctx_ = le_create(bundle_.c_str(), "b1", 1, nullptr);
    ASSERT_NE(ctx_, nullptr) << le_last_error();
    bytes_ = size_t(le_width(ctx_)) * size_t(le_height(ctx_)) * 3;
  }
  void TearDown() override {
    le_utt_destroy(s_);
    le_destroy(ctx_);
  }

  le_utt_opts opts(const char* steady = "-") const {
    le_utt_opts o{};
    o.motion_dir = motion_.c_str();
    o.steady_model = steady;
    o.end_silence_s = -1;  // utterances end when the test says so
    return o;
  }

  void open(const le_utt_opts& o) {
    s_ = le_utt_create(ctx_, &o);
    ASSERT_NE(s_, nullptr) << le_utt_last_error();
  }

  bool waitFor(const std::function<bool()>& done, double seconds = 60) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
      if (Clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

  void waitReady() {
    ASSERT_TRUE(waitFor([&] { return le_utt_ready(s_) == 1; }));
  }

  // Pulls frames until stop says so (given every frame so far) or time runs out.
  std::vector<Frame> pullUntil(const std::function<bool(const std::vector<Frame>&)>& stop,
                               double seconds = 60) {
    std::vector<Frame> got;
    Frame f;
    f.rgb.resize(bytes_);
    waitFor(
        [&] {
          while (!stop(got) && le_utt_pull_frame_voice(s_, f.rgb.data(), f.rgb.size(), &f.info,
                                                       &f.at, f.voice.data()) == 1) {
            f.kp.assign(
                s_->ring.lastDelivered().kp,
                s_->ring.lastDelivered().kp + le_utt::kKp);  // written by this thread's pull
            got.push_back(f);
          }
          return stop(got);
        },
        seconds);
    return got;
  }

  // Renders and pastes each speech and ramp frame on a context of its own
  // and compares, allowing tolerance levels for a batched render.
  void expectRendersOfTheirKeypoints(const std::vector<Frame>& frames, int tolerance) {
    le_ctx* ref = le_create(bundle_.c_str(), "b1", 1, nullptr);
    ASSERT_NE(ref, nullptr) << le_last_error();
    std::vector<uint8_t> want(bytes_);
    int checked = 0;
    for (const Frame& f : frames) {
      if (f.info.kind == 0) continue;
      std::vector<float> base(63);
      for (int c = 0; c < 63; ++c) base[size_t(c)] = le_audio_test::targetOf(f.info.index, c);
      const float* face = le_render_kp_crop(ref, f.info.index, base.data(), f.kp.data());
      ASSERT_NE(face, nullptr) << le_last_error();
      ASSERT_EQ(le_paste_crop(ref, f.info.index, face, want.data(), want.size()), 1);
      int worst = 0;
      for (size_t k = 0; k < bytes_; ++k)
        worst = std::max(worst, std::abs(int(want[k]) - int(f.rgb[k])));
      EXPECT_LE(worst, tolerance) << "seq " << f.info.seq << " kind " << f.info.kind;
      ++checked;
    }
    EXPECT_GT(checked, 0);
    le_destroy(ref);
  }

  // Closes the session and the context and opens both again on bundle.
  void reopenOn(const std::string& bundle) {
    le_utt_destroy(s_);
    s_ = nullptr;
    le_destroy(ctx_);
    ctx_ = le_create(bundle.c_str(), "b1", 1, nullptr);
    ASSERT_NE(ctx_, nullptr) << le_last_error();
    open(opts());
    waitReady();
  }

  // The last four frames are idle ones.
  static bool endsIdle(const std::vector<Frame>& v) {
    return v.size() > 4 &&
           std::all_of(v.end() - 4, v.end(), [](const Frame& f) { return f.info.kind == 0; });
  }

  static int count(const std::vector<Frame>& v, int kind) {
    return int(
        std::count_if(v.begin(), v.end(), [&](const Frame& f) { return f.info.kind == kind; }));
  }

  static std::string bundle_, motion_;
  le_ctx* ctx_ = nullptr;
  le_utt* s_ = nullptr;
  size_t bytes_ = 0;
};

std::string UttTest::bundle_, UttTest::motion_;

TEST_F(UttTest, IdleFramesAreTheDriverFramesInCorpusOrder) {
  open(opts());
  le_ctx* ref = le_create(bundle_.c_str(), "b1", 1, nullptr);
  ASSERT_NE(ref, nullptr);
  auto frames = pullUntil([](const std::vector<Frame>& v) { return v.size() >= 2 * kNT + 2; });
  ASSERT_EQ(frames.size(), size_t(2 * kNT + 2));
  for (size_t i = 0; i < frames.size(); ++i) {
    const le_utt_frame_info& in = frames[i].info;
    EXPECT_EQ(in.seq, int64_t(i));
    EXPECT_EQ(in.kind, 0);
    EXPECT_EQ(in.index, int(i % kNT));
    EXPECT_EQ(in.number, -1);
    const uint8_t* want = le_target_frame(ref, in.index);
    ASSERT_NE(want, nullptr);
    EXPECT_TRUE(std::equal(want, want + bytes_, frames[i].rgb.begin())) << "frame " << i;
  }
  le_destroy(ref);
  le_utt_stats st{};
  le_utt_get_stats(s_, &st);
  EXPECT_EQ(st.frames_out, int64_t(frames.size()));
  EXPECT_EQ(st.speech_frames_out, 0);
  EXPECT_EQ(st.utterances_started, 0);
}

TEST_F(UttTest, HostCallsRefuseBadArgumentsAndKeepTheFrame) {
  le_utt_opts o = opts();
  EXPECT_EQ(le_utt_create(nullptr, &o), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: NULL ctx/opts");
  o.motion_dir = "";
  EXPECT_EQ(le_utt_create(ctx_, &o), nullptr);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_create: opts.motion_dir required");
  EXPECT_EQ(le_utt_ready(nullptr), -1);
  EXPECT_EQ(le_utt_frames_available(nullptr), 0);
  EXPECT_EQ(le_utt_render_status(nullptr, nullptr, 0, nullptr), 0);

  open(opts());
  EXPECT_STREQ(le_utt_last_error(), "");
  int16_t one = 0;
  EXPECT_EQ(le_utt_push_audio(s_, nullptr, 1), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_push_audio: bad args");
  EXPECT_EQ(le_utt_push_audio(s_, &one, -1), 0);
  EXPECT_EQ(le_utt_push_audio(s_, &one, 0), 1);
  EXPECT_EQ(le_utt_pull_frame(s_, nullptr, 1 << 20, nullptr), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: bad args");

  ASSERT_TRUE(waitFor([&] { return le_utt_frames_available(s_) == 1; }));
  std::vector<uint8_t> rgb(bytes_);
  le_utt_frame_info info{};
  // A peek leaves the frame; a pull without pixels takes it all the same.
  EXPECT_EQ(le_utt_peek_frame(s_, &info, nullptr), 1);
  EXPECT_EQ(info.seq, 0);
  EXPECT_EQ(le_utt_pull_frame_at(s_, nullptr, 1, nullptr, nullptr), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: bad args");
  EXPECT_EQ(le_utt_pull_frame_at(s_, nullptr, 0, &info, nullptr), 1);
  EXPECT_EQ(info.seq, 0);

  ASSERT_TRUE(waitFor([&] { return le_utt_frames_available(s_) == 1; }));
  EXPECT_EQ(le_utt_pull_frame(s_, rgb.data(), bytes_ - 1, &info), 0);
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: buffer too small");
  EXPECT_EQ(le_utt_pull_frame(s_, rgb.data(), bytes_, &info), 1);
  EXPECT_EQ(info.seq, 1);  // the frame refused for size is the one delivered
  // Nothing waiting is no error: the last error stays as it was.
  while (le_utt_pull_frame(s_, rgb.data(), bytes_, &info) == 1) {
  }
  EXPECT_STREQ(le_utt_last_error(), "le_utt_pull_frame: buffer too small");
}

TEST_F(UttTest, WarmUpFailureLeavesTheIdleLoopRunning) {
  le_test::TempDir empty;
  le_utt_opts o = opts();
  o.motion_dir = empty.path().c_str();
  open(o);
  ASSERT_TRUE(waitFor([&] { return le_utt_ready(s_) != 0; }));
  EXPECT_EQ(le_utt_ready(s_), -1);
  EXPECT_EQ(std::string(le_utt_last_error()).rfind("le_motion_create: ", 0), 0u)
      << le_utt_last_error();
  auto speech = pcm({0, 20});
  le_utt_push_audio(s_, speech.data(), int(speech.size()));
  le_utt_end_utterance(s_);
  auto frames = pullUntil([](const std::vector<Frame>& v) { return v.size() >= 12; });
  ASSERT_EQ(frames.size(), 12u);
  EXPECT_EQ(count(frames, 0), 12);  // the audio had nothing to speak with
}

TEST_F(UttTest, HeldAudioIsBoundedAndGivenBackWhenSpokenOrDropped) {
  open(opts());
  waitReady();
  // One sample past the bound: refused whole, naming the limit.
  std::vector<int16_t> audio(size_t(LE_UTT_MAX_HELD_SAMPLES) + 1, 0);
  EXPECT_EQ(le_utt_push_audio(s_, audio.data(), int(audio.size())), 0);
  EXPECT_NE(std::string(le_utt_last_error()).find("holds at most 4800000 (300 s of audio)"),
            std::string::npos)
      << le_utt_last_error();
  EXPECT_EQ(le_utt_held_audio(s_), 0);
  // Spoken to the end: all of it is given back.
  auto speech = pcm({0, 20});
  ASSERT_EQ(le_utt_push_audio(s_, speech.data(), int(speech.size())), 1);
  le_utt_end_utterance(s_);
  EXPECT_GT(le_utt_held_audio(s_), 0);
  auto frames = pullUntil([](const std::vector<Frame>& v) {
    return !v.empty() && count(v, 2) > 0 && v.back().info.kind == 0;
  });
  EXPECT_GT(count(frames, 1), 0);
  EXPECT_EQ(le_utt_held_audio(s_), 0);
  // Up to the bound is taken. Nobody pulls, so at most the ring and the paste
  // queue (16 frames) are spoken before the next push, which cannot fit.
  audio.pop_back();
  ASSERT_EQ(le_utt_push_audio(s_, audio.data(), int(audio.size())), 1) << le_utt_last_error();
  EXPECT_EQ(le_utt_push_audio(s_, audio.data(), 16000), 0);
  // An interrupt gives back what it drops.
  le_utt_interrupt(s_);
  ASSERT_TRUE(waitFor([&] { return le_utt_held_audio(s_) == 0; }, 30));
  EXPECT_EQ(le_utt_push_audio(s_, speech.data(), int(speech.size())), 1);
}

TEST_F(UttTest, AFrameTheDirectorFailsOnIsGivenUpAndSpeechGoesOn) {
  // The same bundle with a director that fails on corpus frame 2.
  le_test::TempDir dir;
  const std::string bundle = dir / "bundle";
  le_test::writeBundle(bundle, kNT, 3);
  le_test::copyFile(std::string(LE_TEST_MODELS) + "/model_fails_on_frame.onnx",
                    bundle + "/model_b1.onnx");
  reopenOn(bundle);
  // Speech starts after the waiting idle frame: put frame 1 there, so the
  // first utterance loses its frame 0 and still counts as started.
  le_utt_frame_info next{};
  ASSERT_TRUE(waitFor([&] {
    if (le_utt_peek_frame(s_, &next, nullptr) != 1) return false;
    return next.index == 1 || le_utt_pull_frame_at(s_, nullptr, 0, nullptr, nullptr) != 1;
  }));
  for (int round = 0; round < 2; ++round) {
    auto speech = pcm({0, 24});
    le_utt_push_audio(s_, speech.data(), int(speech.size()));
    le_utt_end_utterance(s_);
    auto frames = pullUntil([](const std::vector<Frame>& v) { return count(v, 1) && endsIdle(v); });
    // Every speech frame but those of frame 2 arrives, numbered as spoken.
    std::vector<int> numbers;
    for (const Frame& f : frames)
      if (f.info.kind == 1) {
        EXPECT_NE(f.info.index, 2);
        numbers.push_back(f.info.number);
      }
    ASSERT_FALSE(numbers.empty());
    EXPECT_EQ(numbers.back(), 23) << "round " << round;
    EXPECT_EQ(int(numbers.size()), 24 - 24 / kNT) << "round " << round;
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
  }
  char text[512];
  int64_t failures = 0;
  EXPECT_EQ(le_utt_render_status(s_, text, sizeof text, &failures), -1);
  // The latest failure is a speech ("render") or ramp frame's, with ONNX Runtime's words.
  EXPECT_TRUE(std::regex_search(text, std::regex("^ep=cpu (render|ramp): .*Gather"))) << text;
  EXPECT_GE(failures, 2 * 2 * (24 / kNT));
  le_utt_stats st{};
  le_utt_get_stats(s_, &st);
  EXPECT_EQ(st.utterances_started, 2);
  EXPECT_GT(st.first_frame_ms, 0);
}

TEST_F(UttTest, ADriverFrameThatDoesNotDecodeIsSkippedNotSpunOn) {
  // The driver's frame 2 is not a JPEG.
  le_test::TempDir dir;
  const std::string bundle = dir / "bundle";
  le_test::writeBundle(bundle, kNT, 3);
  le_test::writeFile(bundle + "/target_frames/frame_000002.jpg", "not a picture");
  auto backToIdle = [](const std::vector<Frame>& v) { return count(v, 1) && endsIdle(v); };
  for (const char* pipelined : {"1", "0"}) {
    SCOPED_TRACE(std::string("pipelined paste ") + pipelined);
    ::setenv("LE_UTT_PIPELINE_PASTE", pipelined, 1);
    reopenOn(bundle);
    // The idle loop goes on past the frame, after a pause, without spinning.
    auto idle = pullUntil([](const std::vector<Frame>& v) { return v.size() >= 9; }, 10);
    ASSERT_EQ(idle.size(), 9u);
    for (const Frame& f : idle) EXPECT_NE(f.info.index, 2);
    char text[512];
    int64_t failures = 0;
    EXPECT_EQ(le_utt_render_status(s_, text, sizeof text, &failures), 0) << text;  // not fatal
    EXPECT_NE(std::string(text).find(" paste: le_driver: decode failed: "), std::string::npos)
        << text;
    EXPECT_GE(failures, 2);
    EXPECT_LE(failures, 5);
    // Speech over it: the frames on frame 2 are lost (fatal) and leave their
    // numbers unused; the rest speak and the session returns to idle.
    auto speech = pcm({0, 24});
    le_utt_push_audio(s_, speech.data(), int(speech.size()));
    le_utt_end_utterance(s_);
    auto frames = pullUntil(backToIdle);
    ASSERT_TRUE(backToIdle(frames));
    std::vector<int> numbers;
    for (const Frame& f : frames) {
      EXPECT_NE(f.info.index, 2);
      if (f.info.kind == 1) numbers.push_back(f.info.number);
    }
    EXPECT_GT(numbers.size(), 12u);
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    EXPECT_EQ(le_utt_render_status(s_, text, sizeof text, &failures), -1) << text;
    EXPECT_EQ(le_utt_held_audio(s_), 0);
  }
}

TEST_F(UttTest, EachEndClosesItsOwnUtteranceAndItsClock) {
  open(opts());
  waitReady();
  auto speech = pcm({0, 24});
  auto push = [&] {
    ASSERT_EQ(le_utt_push_audio(s_, speech.data(), int(speech.size())), 1);
    le_utt_end_utterance(s_);
  };
  push();
  // Nobody pulls: the first utterance fills the ring and cannot finish, so the
  // next two wait in the session, 100 ms apart.
  ASSERT_TRUE(waitFor([&] { return le_utt_frames_available(s_) == 8; }));
  push();
  le_utt_end_utterance(s_);  // twice, nothing between: the same end
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  push();
  std::vector<double> firsts;  // first_frame_ms as each utterance's first frame arrives
  std::vector<uint8_t> rgb(bytes_);
  le_utt_frame_info info{};
  int tail = 0;
  ASSERT_TRUE(waitFor([&] {
    while (le_utt_pull_frame(s_, rgb.data(), rgb.size(), &info) == 1) {
      if (info.kind == 1 && info.number == 0) {
        le_utt_stats st{};
        le_utt_get_stats(s_, &st);
        firsts.push_back(st.first_frame_ms);
      }
      tail = firsts.size() == 3 && info.kind == 0 ? tail + 1 : 0;
    }
    return tail >= 4;
  }));
  ASSERT_EQ(firsts.size(), 3u);
  // The second utterance was pushed 100 ms before the third and waited for
  // the first to be pulled: its latency counts from its own push.
  EXPECT_GE(firsts[1], 100) << firsts[1] << " " << firsts[2];
  le_utt_stats st{};
  le_utt_get_stats(s_, &st);
  EXPECT_EQ(st.utterances_started, 3);
  EXPECT_EQ(st.speech_frames_out, 3 * 24);
}

// Audio pushed as it is spoken comes out of the a2x stream a block at a time,
// its first block short: a host pulling in step must still get a speech
// frame on every pull from the first to the last.
TEST_F(UttTest, LiveAudioSpeaksWithoutAGapToAHostPullingInStep) {
  open(opts());
  waitReady();
  const auto audio = pcm({2, 44, 2});
  std::thread pusher([&] {
    auto next = Clock::now();
    for (size_t at = 0; at < audio.size(); at += 320) {
      le_utt_push_audio(s_, audio.data() + at, int(std::min<size_t>(320, audio.size() - at)));
      std::this_thread::sleep_until(next += std::chrono::milliseconds(20));
    }
    le_utt_end_utterance(s_);
  });
  std::vector<int> kinds;  // per 40 ms tick, -1 when nothing was there
  std::vector<uint8_t> rgb(bytes_);
  le_utt_frame_info info{};
  for (auto next = Clock::now(); kinds.size() < 250; next += std::chrono::milliseconds(40)) {
    std::this_thread::sleep_until(next);
    kinds.push_back(le_utt_pull_frame(s_, rgb.data(), rgb.size(), &info) == 1 ? info.kind : -1);
    if (kinds.back() == LE_UTT_KIND_RAMP) break;
  }
  pusher.join();
  const auto first = std::find(kinds.begin(), kinds.end(), int(LE_UTT_KIND_SPEECH));
  const auto last = std::find(first, kinds.end(), int(LE_UTT_KIND_RAMP));
  ASSERT_NE(last, kinds.end());
  EXPECT_EQ(std::count(first, last, -1), 0) << "empty pulls during speech";
  EXPECT_EQ(std::count(first, last, int(LE_UTT_KIND_SPEECH)), 48);
}

TEST_F(UttTest, AFailingMotionModelEndsItsUtteranceAndTheNextOneSpeaks) {
  le_test::TempDir dir;
  le_audio_test::Meta meta;
  meta.NT = kNT;
  meta.decoder = "a2x_dec_fails_voiced.onnx";
  le_audio_test::writeMotionDir(dir / "motion", meta);
  le_utt_opts o = opts();
  const std::string motion = dir / "motion";
  o.motion_dir = motion.c_str();
  open(o);
  waitReady();
  char text[512];
  int64_t failures = 0;
  int64_t pushedSoFar = 0;
  for (int round = 0; round < 2; ++round) {
    // Voiced audio: the decoder fails on it; the session reports, ends the
    // utterance and keeps delivering idle frames.
    auto voiced = pcm({2, 30});
    le_utt_push_audio(s_, voiced.data(), int(voiced.size()));
    pushedSoFar += int64_t(voiced.size());
    le_utt_end_utterance(s_);
    auto frames = pullUntil(
        [&](const std::vector<Frame>& v) {
          return le_utt_render_status(s_, text, sizeof text, &failures) < 0 && endsIdle(v);
        },
        20);
    ASSERT_TRUE(endsIdle(frames)) << frames.size() << " frames";
    EXPECT_EQ(std::string(text).rfind("ep=", 0), 0u) << text;
    EXPECT_NE(std::string(text).find(" motion: "), std::string::npos) << text;
    EXPECT_EQ(le_utt_held_audio(s_), 0);
    // Audio the model can take (silence) is spoken from a reset source.
    auto speech = pcm({22});
    le_utt_push_audio(s_, speech.data(), int(speech.size()));
    le_utt_end_utterance(s_);
    frames =
        pullUntil([&](const std::vector<Frame>& v) { return count(v, 1) > 0 && endsIdle(v); }, 20);
    EXPECT_EQ(count(frames, 1), 22) << "round " << round;
    // Each speech frame names its own audio, past the failed utterance's.
    for (const Frame& f : frames)
      EXPECT_EQ(f.at, f.info.kind == 1 ? pushedSoFar + 640 * f.info.number : -1) << round;
    pushedSoFar += int64_t(speech.size());
  }
  EXPECT_GE(failures, 2);
}

// Pushes one utterance into a session that shows idle frame 0 and pulls
// every frame up to the first idle frame after its ramp.
struct Utterance {
  std::vector<Frame> frames;
  le_utt_stats stats{};
};

// pipelined paste, hybrid mode, chunk renderer, motion generator (else a2x)
class UttConfigs : public UttTest,
                   public ::testing::WithParamInterface<std::tuple<bool, bool, const char*, bool>> {
};

TEST_P(UttConfigs, OneUtteranceSpeaksThenRampsBackToTheIdleLoop) {
  const auto [pipelined, hybrid, steady, generator] = GetParam();
  ::setenv("LE_UTT_PIPELINE_PASTE", pipelined ? "1" : "0", 1);
  le_utt_opts o = opts(steady);
  if (generator) o.motion_dir = LE_TEST_MOTION_DIR;
  o.eager = hybrid ? -2 : 0;
  open(o);
  waitReady();
  // Without a pull exactly one idle frame waits, so speech starts at corpus frame 1.
  ASSERT_TRUE(waitFor([&] { return le_utt_frames_available(s_) == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(le_utt_frames_available(s_), 1);

  const auto audio = pcm({3, 30, 4});  // 37 frames: the chunk renderer gets a full batch
  const int n = int((audio.size() + kFrame - 1) / kFrame);
  for (size_t at = 0; at < audio.size(); at += 320)
    ASSERT_EQ(
        le_utt_push_audio(s_, audio.data() + at, int(std::min<size_t>(320, audio.size() - at))), 1);
  le_utt_end_utterance(s_);
  auto frames = pullUntil([&](const std::vector<Frame>& v) {
    return v.size() > size_t(n + 7) && v.back().info.kind == 0;
  });
  ASSERT_EQ(frames.size(), size_t(n + 8));
  // Each speech frame brings the 640 samples it speaks, silence past the
  // end; idle and ramp frames bring silence.
  for (const Frame& f : frames) {
    std::vector<int16_t> want(LE_UTT_FRAME_SAMPLES);
    for (size_t k = 0; f.info.kind == 1 && k < want.size(); ++k)
      if (size_t(f.at) + k < audio.size()) want[k] = audio[size_t(f.at) + k];
    EXPECT_EQ(f.voice, want) << "frame " << f.info.seq;
  }

  for (size_t i = 0; i < frames.size(); ++i) {
    const auto& in = frames[i].info;
    SCOPED_TRACE("frame " + std::to_string(i));
    EXPECT_EQ(in.seq, int64_t(i));
    EXPECT_EQ(in.index, int(i % kNT));  // speech, ramp and idle continue one corpus walk
    const int want = i == 0 ? 0 : int(i) <= n ? 1 : int(i) <= n + 6 ? 2 : 0;
    EXPECT_EQ(in.kind, want);
    EXPECT_EQ(in.number, want == 1 ? int(i) - 1 : -1);
  }
  // Ramp frame j of 6 keeps (6 - j) / 6 of the last speech frame's offset
  // from the corpus, so the last one shows the corpus keypoints.
  const Frame& last = frames[size_t(n)];
  for (int j = 1; j <= 6; ++j) {
    const Frame& r = frames[size_t(n + j)];
    for (int c = 0; c < 63; c += 7) {
      const float offset = last.kp[size_t(c)] - le_audio_test::targetOf(last.info.index, c);
      EXPECT_NEAR(r.kp[size_t(c)] - le_audio_test::targetOf(r.info.index, c),
                  offset * float(6 - j) / 6.0f, 1e-4)
          << "ramp frame " << j << " value " << c;
    }
  }

  le_utt_stats st{};
  le_utt_get_stats(s_, &st);
  EXPECT_EQ(st.frames_out, int64_t(frames.size()));
  EXPECT_EQ(st.speech_frames_out, n);
  EXPECT_EQ(st.utterances_started, 1);
  EXPECT_GT(st.first_frame_ms, 0);
  EXPECT_GT(st.frame_cost_ms, 0);
  char text[256];
  int64_t failures = -1;
  EXPECT_EQ(le_utt_render_status(s_, text, sizeof text, &failures), 0) << text;
  EXPECT_EQ(failures, 0) << text;

  // Every speech and ramp frame is the bundle's render of the frame's own
  // keypoints pasted into its driver frame, whichever path made it.
  expectRendersOfTheirKeypoints(frames, std::string(steady) == "-" ? 0 : 2);
}

INSTANTIATE_TEST_SUITE_P(Paths, UttConfigs,
                         ::testing::Values(std::make_tuple(true, false, "-", false),
                                           std::make_tuple(false, false, "-", false),
                                           std::make_tuple(true, true, "-", false),
                                           std::make_tuple(true, false, "b24_fp32", false),
                                           std::make_tuple(false, true, "b24_fp32", false),
                                           std::make_tuple(false, false, "-", true),
                                           std::make_tuple(true, true, "b24_fp32", true)));
TEST_F(UttTest, InterruptRampsFromTheLastPulledFrameAndKeepsLaterAudio) {
  open(opts());
  waitReady();
  const auto longAudio = pcm({2, 100});
  le_utt_push_audio(s_, longAudio.data(), int(longAudio.size()));
  le_utt_end_utterance(s_);
  auto before = pullUntil([](const std::vector<Frame>& v) { return count(v, 1) >= 3; });
  ASSERT_GE(count(before, 1), 3);
  ASSERT_TRUE(waitFor([&] { return le_utt_frames_available(s_) >= 2; }));
  le_utt_interrupt(s_);
  // Audio pushed right after the interrupt opens the next utterance.
  const auto next = pcm({0, 12});
  le_utt_push_audio(s_, next.data(), int(next.size()));
  le_utt_end_utterance(s_);
  const Frame last = before.back();
  auto after = pullUntil(
      [](const std::vector<Frame>& v) { return count(v, 1) >= 12 && v.back().info.kind == 0; });
  ASSERT_GE(after.size(), 4u + 12u + 6u);
  for (int r = 0; r < 4; ++r) {
    EXPECT_EQ(after[size_t(r)].info.kind, 2) << r;
    EXPECT_EQ(after[size_t(r)].info.index, (last.info.index + 1 + r) % kNT) << r;
  }
  int64_t seq = last.info.seq;
  int number = -1;
  for (const Frame& f : after) {
    EXPECT_GT(f.info.seq, seq);
    seq = f.info.seq;
    if (f.info.kind == 1) {
      EXPECT_EQ(f.info.number, ++number);
    }
  }
  EXPECT_EQ(number, 11);  // the whole second utterance, numbered from 0
  EXPECT_GT(after.front().info.seq, last.info.seq + 1);  // dropped frames keep their numbers
  le_utt_stats st{};
  le_utt_get_stats(s_, &st);
  EXPECT_EQ(st.utterances_started, 2);
}

TEST_F(UttTest, DestroyReturnsPromptlyInEveryState) {
  const auto audio = pcm({0, 150});
  auto timeDestroy = [&] {
    const auto t0 = Clock::now();
    le_utt_destroy(s_);
    s_ = nullptr;
    return std::chrono::duration<double>(Clock::now() - t0).count();
  };
  for (const std::string state : {"warming up", "speaking", "ramping", "ring full"}) {
    SCOPED_TRACE(state);
    open(opts("b24_fp32"));
    if (state != "warming up") {
      waitReady();
      // Five speech frames and the six of the ramp overflow the ring of eight,
      // so the ramp waits for a pull and stays to be seen.
      le_utt_push_audio(s_, audio.data(), state == "ramping" ? kFrame * 5 : int(audio.size()));
      if (state == "ramping") le_utt_end_utterance(s_);
      le_utt_stats st{};
      ASSERT_TRUE(waitFor([&] {
        le_utt_get_stats(s_, &st);
        if (state == "speaking") return st.state == 2;
        if (state == "ramping") return st.state == 3;
        return le_utt_frames_available(s_) == 8;
      }));
    }
    EXPECT_LT(timeDestroy(), 2.0);
  }
}

TEST_F(UttTest, StageReportAndTelemetry) {
  le_tel_pending_json();
  le_tel_flush();
  ::setenv("LE_UTT_STAGE_REPORT", "1", 1);
  for (bool pipelined : {false, true}) {
    ::setenv("LE_UTT_PIPELINE_PASTE", pipelined ? "1" : "0", 1);
    open(opts());
    waitReady();
    const auto audio = pcm({1, 8});
    le_utt_push_audio(s_, audio.data(), int(audio.size()));
    le_utt_end_utterance(s_);
    auto frames = pullUntil([](const std::vector<Frame>& v) { return count(v, 2) == 6; });
    ASSERT_EQ(count(frames, 1), 9);
    testing::internal::CaptureStderr();
    le_utt_destroy(s_);
    s_ = nullptr;
    const std::string err = testing::internal::GetCapturedStderr();
    if (pipelined) {
      EXPECT_NE(err.find("[le_utt-stage] pipe=0 jobsB=0 jobsC="), std::string::npos) << err;
      EXPECT_NE(err.find(" over 9 speech frames\n"), std::string::npos) << err;
    } else {
      EXPECT_NE(
          err.find("[le_utt-stage] MEASURED NOTHING \xE2\x80\x94 the stage report was asked for "
                   "and the paste-job counter never advanced (pipe=0 jobsB=0 jobsC=0, 0 speech "
                   "frames delivered)."),
          std::string::npos)
          << err;
    }
  }
  const std::string json = le_tel_pending_json();
  EXPECT_NE(json.find("\"name\": \"utt.speech_frames\", \"value\": 9}"), std::string::npos) << json;
  EXPECT_NE(json.find("\"utt.first_frame_ms\""), std::string::npos) << json;
  le_tel_record("after.listing", 1);
  EXPECT_GE(le_tel_flush(), 10);
  const std::string rest = le_tel_pending_json();
  EXPECT_NE(rest.find("after.listing"), std::string::npos) << rest;
  EXPECT_EQ(rest.find("utt.speech_frames"), std::string::npos) << rest;
}

// Three host threads at once: one pushes audio in random pieces with random
// ends and interrupts, one pulls at 25 fps, one reads stats and status.
TEST_F(UttTest, SoakWithConcurrentHostThreads) {
  const char* env = std::getenv("LE_UTT_SOAK_SECONDS");
  const double seconds = env ? std::atof(env) : 20;
  const double rssStart = residentMiB();
  le_utt_opts o = opts("b24_fp32");
  o.end_silence_s = 0.3;
  open(o);
  waitReady();
  std::atomic<bool> done{false};
  std::atomic<int> interrupts{0};
  std::vector<le_utt_frame_info> frames;  // only the records: a long soak keeps them all
  std::thread pusher([&] {
    std::mt19937 rng(7);
    const auto audio = pcm({2, 40, 3, 20});
    size_t at = 0;
    while (!done) {
      const int n = int(rng() % 3000);
      std::vector<int16_t> piece(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) piece[size_t(i)] = audio[(at + size_t(i)) % audio.size()];
      at += size_t(n);
      le_utt_push_audio(s_, piece.data(), n);
      const int roll = int(rng() % 100);
      if (roll < 4) {
        le_utt_interrupt(s_);
        ++interrupts;
      } else if (roll < 10) {
        le_utt_end_utterance(s_);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 200));
    }
  });
  std::thread watcher([&] {
    char text[128];
    while (!done) {
      le_utt_stats st{};
      le_utt_get_stats(s_, &st);
      EXPECT_GE(st.state, 0);
      EXPECT_LE(st.state, 3);
      int64_t failures = 0;
      le_utt_render_status(s_, text, sizeof text, &failures);
      EXPECT_EQ(failures, 0) << text;
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
  });
  const auto t0 = Clock::now();
  Frame f;
  f.rgb.resize(bytes_);
  double rssWarm = -1;
  int minute = 0;
  for (auto next = t0; std::chrono::duration<double>(Clock::now() - t0).count() < seconds;) {
    next += std::chrono::milliseconds(40);
    if (le_utt_pull_frame(s_, f.rgb.data(), bytes_, &f.info) == 1) frames.push_back(f.info);
    std::this_thread::sleep_until(next);
    if (std::chrono::duration<double>(Clock::now() - t0).count() >= 60.0 * (minute + 1)) {
      ++minute;
      const double rss = residentMiB();
      if (minute == 1) rssWarm = rss;
      std::printf("[soak] minute %d: RSS %.1f MiB\n", minute, rss);
      std::fflush(stdout);
    }
  }
  done = true;
  pusher.join();
  watcher.join();

  int gaps = 0;
  for (size_t i = 1; i < frames.size(); ++i) {
    const auto &a = frames[i - 1], &b = frames[i];
    ASSERT_GT(b.seq, a.seq);
    gaps += b.seq != a.seq + 1;
    if (b.kind == 1) {
      // Speech numbers run on within an utterance; a new one starts at 0
      // after an idle or ramp frame.
      EXPECT_EQ(b.number, a.kind == 1 ? a.number + 1 : 0) << "frame " << i;
    }
  }
  EXPECT_LE(gaps, interrupts.load());
  le_utt_stats st{};
  le_utt_get_stats(s_, &st);
  EXPECT_GE(st.utterances_started, 2);
  // Speech waits for its audio's look-ahead, so only liveness is asked of the rate.
  EXPECT_GE(frames.size(), size_t(seconds * 5));
  std::printf(
      "[soak] %.0f s: %zu frames, %lld speech, %lld utterances, %d interrupts, "
      "RSS %.1f MiB at start, %.1f MiB at end\n",
      seconds, frames.size(), (long long)st.speech_frames_out, (long long)st.utterances_started,
      interrupts.load(), rssStart, residentMiB());
  if (rssWarm >= 0) std::printf("rss_mib_warm=%.1f rss_mib_end=%.1f\n", rssWarm, residentMiB());
}

}  // namespace
