// The audio frontends: session helpers in this process, and everything that
// depends on the once-per-process frontend choice in fresh processes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/audio_fixtures.h"
#include "audio/le_frontend.h"
#include "le/le.h"

using namespace le_audio_test;

namespace {

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<float> readFloats(const std::string& path) {
  const std::string bytes = le_test::readFile(path);
  std::vector<float> v(bytes.size() / sizeof(float));
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

}  // namespace

TEST(A2xFrontendHelpers, NormalisesInDoublePrecision) {
  // A small signal on a large offset, which single-precision sums would lose.
  std::vector<float> y(128000);
  for (size_t i = 0; i < y.size(); ++i) y[i] = i % 2 ? 1000.001f : 999.999f;
  le::normalizeAudioWindow(y.data(), y.size());
  double sum = 0, sq = 0;
  for (float v : y) sum += v, sq += double(v) * v;
  const double half = (double(1000.001f) - double(999.999f)) / 2, var = half * half;
  EXPECT_NEAR(sum / double(y.size()), 0.0, 1e-3);
  EXPECT_NEAR(sq / double(y.size()), var / (var + 1e-7), 1e-3);
}

TEST(A2xFrontendHelpers, CudaProviderIsForTheFrontendUnlessAllAreAsked) {
  Ort::Env env(ORT_LOGGING_LEVEL_FATAL, "test");
  auto attempt = [&](const char* cuda, const char* all, const char* tag) {
    ::setenv("LE_A2X_CUDA", cuda, 1);
    ::setenv("LE_A2X_CUDA_ALL", all, 1);
    Ort::SessionOptions o;
    testing::internal::CaptureStderr();
    le::le_a2x_maybe_cuda(o, tag);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NO_THROW(Ort::Session(env, model("a2x_dec.onnx").c_str(), o));  // the CPU serves
    return err;
  };
  EXPECT_EQ(attempt("true", "", "w2v"), "");
  // This runtime has no CUDA provider: the append fails and says so.
  const std::string w2v = attempt("1", "", "w2v");
  EXPECT_NE(w2v.find("[le_a2x] CUDA EP append failed (w2v): "), std::string::npos) << w2v;
  EXPECT_NE(w2v.find(" -- falling back to CPU\n"), std::string::npos) << w2v;
  EXPECT_EQ(attempt("1", "", "enc/dec"), "");
  EXPECT_NE(attempt("1", "1", "enc/dec").find("[le_a2x] CUDA EP append failed (enc/dec): "),
            std::string::npos);
  ::unsetenv("LE_A2X_CUDA");
  ::unsetenv("LE_A2X_CUDA_ALL");
}

TEST(A2xFrontendHelpers, OpenSessionRetriesOnlyTheGeluFailure) {
  Ort::Env env(ORT_LOGGING_LEVEL_FATAL, "test");
  Ort::SessionOptions o;
  const std::string gelu = model("gelu_f16.onnx");
  testing::internal::CaptureStderr();
  EXPECT_THROW(le::le_a2x_open_session(env, gelu, o), Ort::Exception);  // the retry fails too
  EXPECT_EQ(count(testing::internal::GetCapturedStderr(),
                  "[le_a2x] " + gelu +
                      ": ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this "
                      "runtime has no CPU kernel for; reopening at ORT_ENABLE_BASIC\n"),
            1u);
  testing::internal::CaptureStderr();
  EXPECT_THROW(le::le_a2x_open_session(env, model("missing.onnx"), o), Ort::Exception);
  EXPECT_EQ(count(testing::internal::GetCapturedStderr(), "[le_a2x]"), 0u);
}

TEST(A2xFrontendHelpers, OneLegacySessionServesTheProcess) {
  ::unsetenv("W2V_ONNX");
  EXPECT_EQ(le_a2x_preload_w2v(nullptr), 0);
  EXPECT_STREQ(le_a2x_last_error(), "le_a2x_preload_w2v: no path and $W2V_ONNX unset");
  EXPECT_EQ(le_a2x_preload_w2v(model("w2v.onnx").c_str()), 1);
  le::AudioFrontends& frontends = le::AudioFrontends::process();
  Ort::Session* first = frontends.legacy(model("w2v.onnx"), 1);
  EXPECT_EQ(frontends.legacy(model("missing.onnx"), 1), first);
}

namespace {

class ProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The legacy model alone, beside the current pair names, beside the older ones.
    for (const char* d : {"legacy", "pair", "pair32"}) {
      le_test::makeDirs(root / d);
      link(model("w2v.onnx"), root / d + "/w2v.onnx");
    }
    const std::string trunk = model("audio_encoder_fp16_window_trunk.onnx");
    const std::string head = model("audio_encoder_fp16_window_head.onnx");
    link(trunk, root / "pair/audio_encoder_fp16_window_trunk.onnx");
    link(head, root / "pair/audio_encoder_fp16_window_head.onnx");
    link(trunk, root / "pair32/w2v_trunk32.onnx");
    link(head, root / "pair32/w2v_head32.onnx");
  }
  std::string motionDir(const std::string& name, const Meta& m) {
    le_test::makeDirs(root / name);
    writeMotionDir(root / name, m);
    return root / name;
  }
  std::string audioFile(const std::vector<float>& audio) {
    le_test::writeVector(root / "audio.f32", audio);
    return root / "audio.f32";
  }
  // Runs the probe in a fresh process; its standard error lands in err.
  std::string probe(const std::string& env, const std::string& args, const std::string& cwd = "") {
    const std::string cmd = (cwd.empty() ? "" : "cd '" + cwd + "' && ") +
                            "env -u LE_A2X_W2V_WIN_ONNX -u LE_A2X_W2V_HEAD_ONNX -u "
                            "LE_A2X_W2V_RIGHT -u LE_A2X_SILENCE_PRIME -u LE_A2X_CUDA " +
                            env + " '" + LE_A2X_PROBE + "' " + args + " 2>'" + root / "err" + "'";
    std::string out;
    FILE* p = ::popen(cmd.c_str(), "r");
    char buf[4096];
    for (size_t n; p && (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    EXPECT_EQ(p ? ::pclose(p) : -1, 0) << cmd << "\n" << out;
    err = le_test::readFile(root / "err");
    return out;
  }

  le_test::TempDir root;
  std::string err;
};

// Largest opening of the lower lip in a probe's frames (index, base, driven, width).
float largestOpening(const std::vector<float>& frames) {
  float best = 0;
  const int c = 3 * 15 + 1;
  for (size_t f = 0; f + 128 <= frames.size(); f += 128)
    best = std::max(best, frames[f + 64 + c] - frames[f + 1 + c] - meanOf(c));
  return best;
}

}  // namespace

TEST_F(ProbeTest, PushSizeInvarianceWithBothFrontends) {
  std::vector<float> audio = clip({6, 25, 8, 30, 12});
  audio.resize(audio.size() + 300, 0.f);
  const std::string audioPath = audioFile(audio);
  Meta legacy, shortWindow;
  legacy.window = 0;  // live legacy rows stop R frames short of the audio
  legacy.layers = shortWindow.layers = 2;
  legacy.wnEncoder = shortWindow.wnEncoder = true;
  for (const char* kind : {"legacy", "short"}) {
    SCOPED_TRACE(kind);
    const std::string dir = motionDir(kind, kind[0] == 'l' ? legacy : shortWindow);
    const std::string out = root / kind, w2v = root / (kind[0] == 'l' ? "legacy" : "pair");
    const std::string text =
        probe("W2V_ONNX='" + w2v + "/w2v.onnx'",
              "stream '" + dir + "' '" + audioPath + "' '" + out + "' 1 333 5120 0");
    EXPECT_NE(text.find("frontend=" + std::string(kind) + "\nfeatures_half=1\nerror=\n"),
              std::string::npos)
        << text;
    const std::vector<float> whole = readFloats(out + ".0");
    ASSERT_EQ(whole.size(), (audio.size() + 639) / 640 * 128);
    EXPECT_GT(largestOpening(whole), 0.02f);
    for (const char* piece : {"1", "333", "5120"})
      EXPECT_TRUE(readFloats(out + "." + piece) == whole) << "pieces of " << piece;
  }
  // The short-window run announced its pair once, with sizes.
  const std::string trunk = root / "pair/audio_encoder_fp16_window_trunk.onnx";
  const std::string head = root / "pair/audio_encoder_fp16_window_head.onnx";
  struct stat t, h;
  ASSERT_EQ(::stat(trunk.c_str(), &t) + ::stat(head.c_str(), &h), 0);
  EXPECT_EQ(count(err, "[le_a2x] short-window w2v frontend loaded (LT=400) trunk=" + trunk + " (" +
                           std::to_string(t.st_size) + " B) head=" + head + " (" +
                           std::to_string(h.st_size) + " B)\n"),
            1u)
      << err;
  EXPECT_EQ(count(err,
                  "[le_a2x] live cadence: block-320 (one trunk window per 8 frames), "
                  "push-size invariant, threads=1\n"),
            1u);
}

TEST_F(ProbeTest, ShortWindowFollowsTheLegacyFrameGrid) {
  // Bursts on both sides of frame 200, where the legacy grid moves to its
  // second window; the batch call always uses the legacy frontend.
  Meta m;
  m.layers = 2;
  const std::string out = root / "run";
  probe("W2V_ONNX='" + root / "pair/w2v.onnx'",
        "stream '" + motionDir("m", m) + "' '" + audioFile(clip({20, 30, 40, 30, 60, 40, 30, 50})) +
            "' '" + out + "' 0");
  const std::vector<float> frames = readFloats(out + ".0"), batch = readFloats(out + ".batch");
  ASSERT_EQ(frames.size(), 300u * 128);
  ASSERT_EQ(batch.size(), 300u * 63);
  EXPECT_GT(largestOpening(frames), 0.02f);
  float worst = 0;
  for (size_t t = 0; t < 300; ++t)
    for (size_t c = 0; c < 63; ++c)
      worst = std::max(
          worst, std::fabs(frames[t * 128 + 64 + c] - frames[t * 128 + 1 + c] - batch[t * 63 + c]));
  EXPECT_LT(worst, 2e-3f);
}

TEST_F(ProbeTest, PairSearchAndFallbacks) {
  const std::string dir = motionDir("m", Meta{}), create = "concurrent '" + dir + "' 1";
  // A bare model name is searched for in the working directory.
  EXPECT_NE(probe("W2V_ONNX=w2v.onnx", create, root / "pair").find("frontend=short"),
            std::string::npos);
  EXPECT_NE(err.find("trunk=./audio_encoder_fp16_window_trunk.onnx"), std::string::npos) << err;
  EXPECT_NE(probe("W2V_ONNX='" + root / "pair32/w2v.onnx'", create).find("frontend=short"),
            std::string::npos);
  EXPECT_NE(err.find("trunk=" + root / "pair32/w2v_trunk32.onnx"), std::string::npos) << err;
  // Both overrides set: the pair beside the model is not looked at.
  EXPECT_NE(probe("W2V_ONNX='" + root / "pair/w2v.onnx' LE_A2X_W2V_WIN_ONNX=/nonexistent/t.onnx "
                                        "LE_A2X_W2V_HEAD_ONNX=/nonexistent/h.onnx",
                  create)
                .find("frontend=legacy"),
            std::string::npos);
  EXPECT_NE(err.find("[le_a2x] short-window w2v load FAILED ("), std::string::npos) << err;
  EXPECT_NE(err.find(") \xE2\x80\x94 legacy 8s path\n"), std::string::npos) << err;
  EXPECT_NE(probe("W2V_ONNX='" + root / "legacy/w2v.onnx'", create).find("frontend=legacy"),
            std::string::npos);
  EXPECT_NE(err.find("[le_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                     "LE_A2X_W2V_WIN_ONNX/LE_A2X_W2V_HEAD_ONNX are set nor is the pair beside "
                     "$W2V_ONNX (" +
                     root / "legacy/w2v.onnx" +
                     ") as audio_encoder_fp16_window_{trunk,head}.onnx (legacy "
                     "w2v_trunk32.onnx/w2v_head32.onnx). Serving the LEGACY 8s window \xE2\x80\x94 "
                     "same reference quality, 2.8-3.9x the audio hop cost. Ship the pair beside "
                     "the encoder (tools/export_w2v_window.py).\n"),
            std::string::npos)
      << err;

  // A trunk that does not declare its length learns it from the first run.
  const std::string audio = audioFile(clip({3, 20, 7}));
  std::string text =
      probe("W2V_ONNX='" + root / "legacy/w2v.onnx' LE_A2X_W2V_WIN_ONNX='" +
                model("audio_encoder_fp16_window_trunk_dyn.onnx") + "' LE_A2X_W2V_HEAD_ONNX='" +
                model("audio_encoder_fp16_window_head.onnx") + "'",
            "stream '" + dir + "' '" + audio + "' '" + root / "dyn" + "' 0");
  EXPECT_NE(text.find("frontend=short\nfeatures_half=1\nerror=\n"), std::string::npos) << text;
  EXPECT_NE(err.find("frontend loaded (LT=from-first-run)"), std::string::npos) << err;
  EXPECT_EQ(readFloats(root / "dyn.0").size(), 30u * 128);
  // A look-ahead that puts the legacy frame grid outside the trunk window.
  text = probe("W2V_ONNX='" + root / "pair/w2v.onnx' LE_A2X_W2V_RIGHT=300",
               "stream '" + dir + "' '" + audio + "' '" + root / "far" + "' 0");
  EXPECT_NE(text.find("error=le_a2x extend: w2v_win: trunk pos out of range\n"), std::string::npos)
      << text;
  EXPECT_EQ(readFloats(root / "far.0").size(), 0u);
}

TEST_F(ProbeTest, FrontendIsCreatedOnceUnderConcurrentCreation) {
  Meta m;
  m.prime = 3;
  const std::string text =
      probe("W2V_ONNX='" + root / "pair/w2v.onnx'", "concurrent '" + motionDir("m", m) + "' 4");
  EXPECT_NE(text.find("created=4\nsame_frontend=1\nshort=4\n"), std::string::npos) << text << err;
  EXPECT_EQ(count(err, "[le_a2x] short-window w2v frontend loaded"), 1u) << err;
  EXPECT_EQ(count(err, "[le_a2x] silence-primed AR state cached (3 frames)\n"), 4u) << err;
  EXPECT_EQ(count(err, "[le_a2x] live cadence:"), 1u) << err;
}
