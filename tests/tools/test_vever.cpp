#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "le/le.h"
#include "support/test_util.h"

namespace {

// Runs the tool; returns its exit status and what it printed.
int run(const std::string& args, std::string* out = nullptr) {
  const std::string cmd = std::string(VEVER_TOOL) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  const int status = pclose(p);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double durationSeconds(const std::string& path) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return -1;
  avformat_find_stream_info(fmt, nullptr);
  const AVStream* st = fmt->streams[0];
  const double d = double(st->duration) * av_q2d(st->time_base);
  const double fps = av_q2d(st->avg_frame_rate);
  avformat_close_input(&fmt);
  return fps == 25.0 ? d : -fps;
}

TEST(VeverTool, DemoBundleRendersToAPlayableMp4) {
  le_test::TempDir d;
  std::string out;
  ASSERT_EQ(run("demo-bundle " + d / "astro" + " --source-frames 6 --frames 12", &out), 0) << out;
  ASSERT_EQ(run("info " + d / "astro", &out), 0) << out;
  EXPECT_NE(out.find("engine     opens it with model_b1.onnx"), std::string::npos) << out;
  EXPECT_NE(out.find("canvas     512x512, crop 256"), std::string::npos) << out;

  ASSERT_EQ(run("render " + d / "astro" + " -o " + d / "demo.mp4", &out), 0) << out;
  EXPECT_NE(out.find("rendered 12 frames (512x512, 25 fps)"), std::string::npos) << out;
  // The demo carries teeth members: every frame's mouth is borrowed.
  EXPECT_NE(out.find("teeth borrow: geometry v1, 12 frames borrowed, 0 skipped"), std::string::npos)
      << out;
  const auto frames = le_test::decodeVideoYuv(d / "demo.mp4");
  ASSERT_EQ(frames.size(), 12u);
  EXPECT_EQ(frames[0].format, "yuv420p");
  EXPECT_EQ(frames[0].width[0], 512);
  EXPECT_EQ(frames[0].height[0], 512);
  EXPECT_NEAR(durationSeconds(d / "demo.mp4"), 12 / 25.0, 1e-6);

  ASSERT_EQ(run("frame " + d / "astro" + " 3 -o " + d / "f3.png", &out), 0) << out;
  EXPECT_TRUE(le_test::fileExists(d / "f3.png"));
}

// --int8 puts the quantised director (Int8ConvVNNI nodes) into the bundle.
TEST(VeverTool, Int8DemoBundleRendersThroughTheQuantisedDirector) {
  le_test::TempDir d;
  std::string out;
  ASSERT_EQ(run("demo-bundle " + d / "q" + " --int8 --source-frames 2 --frames 3", &out), 0) << out;
  EXPECT_NE(out.find("3 drive frames, quantised director)"), std::string::npos) << out;
  EXPECT_NE(le_test::readFile(d / "q/model_b1.onnx").find("Int8ConvVNNI"), std::string::npos);
  ASSERT_EQ(run("frame " + d / "q" + " 1 -o " + d / "q1.png", &out), 0) << out;
  EXPECT_TRUE(le_test::fileExists(d / "q1.png"));
}

// --size places the portrait in a larger scene with a face crop of 512: the
// paste transforms must land the crop on the scaled, centred face.
TEST(VeverTool, DemoBundleInAFullHdScene) {
  le_test::TempDir d;
  std::string out;
  ASSERT_EQ(run("demo-bundle " + d / "hd" + " --size 1920x1080 --source-frames 2 --frames 2", &out),
            0)
      << out;
  ASSERT_EQ(run("info " + d / "hd", &out), 0) << out;
  EXPECT_NE(out.find("canvas     1920x1080, crop 512"), std::string::npos) << out;
  EXPECT_FALSE(le_test::fileExists(d / "hd/target_frames/frame_000000.jpg"));
  // The scene is the portrait scaled by 1080 / 512 and centred: the crop's
  // centre lands where the portrait's own bundle puts it, scaled and moved
  // by 420 pixels, and a crop pixel spans twice as many scene pixels at
  // twice the crop.
  ASSERT_EQ(run("demo-bundle " + d / "sd" + " --source-frames 2 --frames 2", &out), 0) << out;
  float M[6], P[6];
  for (auto [name, to] : {std::pair<const char*, float*>{"hd/M.f32", M}, {"sd/M.f32", P}}) {
    const std::string m = le_test::readFile(d / name);
    ASSERT_EQ(m.size(), 2 * 6 * sizeof(float));
    std::memcpy(to, m.data(), 6 * sizeof(float));
  }
  const double s = 1080.0 / 512, c = 255.5, pc = 127.5;
  EXPECT_NEAR(M[0] * c + M[1] * c + M[2], s * (P[0] * pc + P[1] * pc + P[2] + 0.5) - 0.5 + 420,
              0.01);
  EXPECT_NEAR(M[3] * c + M[4] * c + M[5], s * (P[3] * pc + P[4] * pc + P[5] + 0.5) - 0.5, 0.01);
  EXPECT_NEAR(M[0], s * P[0] / 2, 1e-5);

  ASSERT_EQ(run("frame " + d / "hd" + " 1 -o " + d / "hd1.png", &out), 0) << out;
  const std::string png = le_test::readFile(d / "hd1.png");
  ASSERT_GT(png.size(), 24u);
  auto be32 = [&](size_t at) {
    return (uint32_t(uint8_t(png[at])) << 24) | (uint32_t(uint8_t(png[at + 1])) << 16) |
           (uint32_t(uint8_t(png[at + 2])) << 8) | uint32_t(uint8_t(png[at + 3]));
  };
  EXPECT_EQ(be32(16), 1920u);
  EXPECT_EQ(be32(20), 1080u);

  EXPECT_EQ(run("demo-bundle " + d / "small" + " --size 640x480", &out), 2);
  EXPECT_NE(out.find("between 512x512 and 7680x4320, not 640x480"), std::string::npos) << out;
}

TEST(VeverTool, UsageAndEngineErrors) {
  std::string out;
  EXPECT_EQ(run("", &out), 2);
  EXPECT_NE(out.find("usage: vever <command>"), std::string::npos);
  EXPECT_EQ(run("render", &out), 2);
  EXPECT_NE(out.find("vever: render takes one bundle"), std::string::npos);
  EXPECT_EQ(run("frobnicate x", &out), 2);
  EXPECT_EQ(run("render /nonexistent-bundle -o /tmp/x.mp4", &out), 1);
  EXPECT_NE(out.find("vever: le_create: cannot open /nonexistent-bundle/manifest.json"),
            std::string::npos)
      << out;
  EXPECT_EQ(run("info /nonexistent-bundle", &out), 1);
  EXPECT_NE(out.find("REFUSED: cannot open /nonexistent-bundle/manifest.json"), std::string::npos)
      << out;
}

// The reference of every variable the engine reads is the tool's print of
// the table the code reads by, and no source reads one past that table.
TEST(VeverTool, EnvironmentReferenceIsTheTableTheCodeReads) {
  std::string table;
  ASSERT_EQ(run("env", &table), 0) << table;
  const std::string root = LE_SOURCE_DIR;
  const std::string doc = le_test::readFile(root + "/docs/configuration.md");
  EXPECT_NE(doc.find("<!-- vever env -->\n" + table + "<!-- end vever env -->"), std::string::npos)
      << "docs/configuration.md differs from `vever env`:\n"
      << table;
  const std::regex read(R"re(\benv[A-Za-z]*\("([A-Z][A-Z0-9_]*)")re"), raw(R"(\bgetenv\s*\()");
  int reads = 0;
  for (const char* dir : {"/cpu", "/tools/vever"})
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root + dir)) {
      const std::string path = entry.path().string(), ext = entry.path().extension().string();
      if (ext != ".cpp" && ext != ".h") continue;
      const std::string text = le_test::readFile(path);
      if (path.find("/base/le_env.") == std::string::npos) {
        EXPECT_FALSE(std::regex_search(text, raw)) << path << " reads the environment itself";
      }
      for (std::sregex_iterator m(text.begin(), text.end(), read), end; m != end; ++m, ++reads)
        EXPECT_NE(table.find("| `" + (*m)[1].str() + "` |"), std::string::npos)
            << path << " reads " << (*m)[1] << ", which the table lacks";
    }
  EXPECT_GT(reads, 25);
}

// Speech-like audio at 16 kHz: syllables of a vowel (harmonics of 130 Hz
// under two formants) whose loudness follows a random envelope, in phrases
// with pauses between them.
std::vector<float> syllables(int frames, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.15, 1.0);
  std::vector<float> out(size_t(frames) * 640, 0.f);
  double level = 0, target = u(rng);
  for (size_t i = 0; i < out.size(); ++i) {
    const int frame = int(i / 640);
    if (i % 3200 == 0) target = (frame % 40) >= 30 ? 0 : u(rng);  // a pause every 1.6 s
    level += (target - level) * 0.0015;
    double v = 0;
    for (int k = 1; k <= 12; ++k) {
      const double f = 130.0 * k;
      v += (std::exp(-std::pow((f - 650) / 220, 2)) +
            0.5 * std::exp(-std::pow((f - 1150) / 280, 2))) *
           std::sin(2 * M_PI * f * double(i) / 16000.0 + k);
    }
    out[i] = float(0.25 * level * v);
  }
  return out;
}

// Writes mono float audio as a 16-bit WAV with `channels` copies at `rate`
// (nearest-sample resampling is enough to make the tool resample back).
void writeWav(const std::string& path, const std::vector<float>& audio16k, int rate, int channels) {
  const size_t n = size_t(double(audio16k.size()) * rate / 16000.0);
  std::vector<int16_t> pcm;
  for (size_t i = 0; i < n; ++i) {
    const float v = audio16k[std::min(audio16k.size() - 1, size_t(double(i) * 16000.0 / rate))];
    for (int c = 0; c < channels; ++c) pcm.push_back(int16_t(std::lround(v * 32000)));
  }
  auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t bytes = uint32_t(pcm.size() * 2);
  std::string h = "RIFF" + u32(36 + bytes) + "WAVEfmt " + u32(16) + u16(1) +
                  u16(uint16_t(channels)) + u32(uint32_t(rate)) +
                  u32(uint32_t(rate * channels * 2)) + u16(uint16_t(channels * 2)) + u16(16) +
                  "data" + u32(bytes);
  h.append(reinterpret_cast<const char*>(pcm.data()), bytes);
  le_test::writeFile(path, h);
}

struct Streams {
  std::string video, pixfmt, audio;
  double fps = 0, videoSeconds = 0, audioSeconds = 0;
  int audioRate = 0;
};

Streams probe(const std::string& path) {
  Streams s;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return s;
  avformat_find_stream_info(fmt, nullptr);
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVStream* st = fmt->streams[i];
    const double seconds = double(st->duration) * av_q2d(st->time_base);
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      s.video = avcodec_get_name(st->codecpar->codec_id);
      s.pixfmt = av_get_pix_fmt_name(AVPixelFormat(st->codecpar->format));
      s.fps = av_q2d(st->avg_frame_rate);
      s.videoSeconds = seconds;
    } else if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
      s.audio = avcodec_get_name(st->codecpar->codec_id);
      s.audioRate = st->codecpar->sample_rate;
      s.audioSeconds = seconds;
    }
  }
  avformat_close_input(&fmt);
  return s;
}

// The frame counts of the tool's summary line.
std::vector<int> counts(const std::string& out) {
  std::smatch m;
  const std::regex re(
      "(\\d+) frames \\(512x512, 25 fps\\) = (\\d+) idle lead-in \\+ (\\d+) speech \\+ "
      "(\\d+) ramp \\+ (\\d+) idle tail");
  if (!std::regex_search(out, m, re)) return {};
  std::vector<int> v;
  for (size_t i = 1; i < m.size(); ++i) v.push_back(std::stoi(m[i]));
  return v;
}

TEST(VeverTool, SpeakWritesTheSessionsFramesWithTheirSound) {
  le_test::TempDir d;
  std::string out;
  ASSERT_EQ(run("demo-bundle " + d / "astro" + " --source-frames 6 --frames 12", &out), 0) << out;
  ASSERT_EQ(run("info " + d / "astro" + " " + d / "astro/motion", &out), 0) << out;
  EXPECT_NE(out.find("source     the streaming a2x stream"), std::string::npos) << out;
  EXPECT_NE(out.find("verdict    complete"), std::string::npos) << out;

  // 3 s of speech in a 22.05 kHz stereo file: the tool resamples it.
  writeWav(d / "in.wav", syllables(75, 1), 22050, 2);
  const std::string speak = "speak " + d / "astro" + " " + d / "astro/motion --wav " + d / "in.wav";
  ASSERT_EQ(run(speak + " -o " + d / "a.mp4", &out), 0) << out;
  const auto c = counts(out);
  ASSERT_EQ(c.size(), 5u) << out;
  EXPECT_EQ(c[2], 75);  // every 40 ms of speech is one speech frame
  EXPECT_EQ(c[3], 6);   // the end ramp
  EXPECT_EQ(c[4], 12);  // half a second of idle tail
  EXPECT_EQ(c[0], c[1] + c[2] + c[3] + c[4]);
  // The demo's teeth members arm the borrow: every speech and ramp crop went through it.
  EXPECT_NE(out.find("teeth borrow: 81 frames borrowed"), std::string::npos) << out;
  const Streams s = probe(d / "a.mp4");
  EXPECT_EQ(s.video, "h264");
  EXPECT_EQ(s.pixfmt, "yuv420p");
  EXPECT_EQ(s.fps, 25.0);
  EXPECT_EQ(s.audio, "aac");
  EXPECT_GE(s.audioRate, 16000);
  EXPECT_NEAR(s.videoSeconds, c[0] / 25.0, 1e-6);
  EXPECT_LT(std::abs(s.audioSeconds - s.videoSeconds), 0.04) << s.audioSeconds;

  // Interrupted one second in: the interrupt ramp, and nothing more is spoken.
  ASSERT_EQ(run(speak + " --interrupt-at 1 -o " + d / "b.mp4", &out), 0) << out;
  EXPECT_NE(out.find("; interrupted"), std::string::npos) << out;
  const auto ci = counts(out);
  ASSERT_EQ(ci.size(), 5u) << out;
  EXPECT_EQ(ci[2], 25);
  EXPECT_EQ(ci[3], 4);

  // A text that looks like espeak-ng's options is spoken as text, never obeyed:
  // "-f FILE" would read a private file aloud.
  {
    std::string words;
    for (int i = 0; i < 600; ++i) words += "private ";
    FILE* f = std::fopen((d / "private.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(words.c_str(), f);
    std::fclose(f);
  }
  ASSERT_EQ(run("speak " + d / "astro" + " " + d / "astro/motion -o " + d / "t.mp4 --text '-f" +
                    d / "private.txt'",
                &out),
            0)
      << out;
  ASSERT_EQ(counts(out).size(), 5u) << out;
  EXPECT_LT(counts(out)[2], 500) << out;  // the path spelt out; the file would take minutes

  EXPECT_EQ(run(speak + " -o " + d / "c.mp4 --text hi", &out), 2);
  EXPECT_NE(out.find("speak needs one of --wav IN.wav and --text"), std::string::npos) << out;
  EXPECT_EQ(run("speak " + d / "astro" + " " + d / "astro/motion --wav " + d / "none.wav -o " +
                    d / "c.mp4",
                &out),
            1);
  EXPECT_NE(out.find("cannot read audio from " + d / "none.wav"), std::string::npos) << out;
}

// The demo motion directory moves the lips with the speech: the driven
// mouth opening follows the loudness of each 40 ms frame.
TEST(VeverTool, DemoMouthFollowsTheSpeechEnvelope) {
  le_test::TempDir d;
  std::string out;
  ASSERT_EQ(run("demo-bundle " + d / "astro" + " --source-frames 6 --frames 12", &out), 0) << out;
  const std::string motion = d / "astro/motion";
  ::setenv("W2V_ONNX", (motion + "/w2v.onnx").c_str(), 1);
  le_a2x* s = le_a2x_create(motion.c_str(), 2);
  ASSERT_NE(s, nullptr) << le_a2x_last_error();
  const int frames = 250;
  const std::vector<float> audio = syllables(frames, 2);
  le_a2x_reset(s, 0, 1, 1);
  le_a2x_push(s, audio.data(), int(audio.size()));
  le_a2x_finish(s);
  std::vector<int> index(frames);
  std::vector<float> base(size_t(frames) * 63), driven(size_t(frames) * 63);
  int got = 0;
  while (got < frames && le_a2x_avail(s) > 0)
    got += le_a2x_pull(s, index.data() + got, base.data() + size_t(got) * 63,
                       driven.data() + size_t(got) * 63, frames - got);
  le_a2x_destroy(s);
  ASSERT_EQ(got, frames);

  std::vector<double> opening, rms;
  for (int f = 0; f < frames; ++f) {
    const float* kp = driven.data() + size_t(f) * 63;
    opening.push_back(kp[15 * 3 + 1] - kp[19 * 3 + 1]);  // lower lip centre below the upper
    double e = 0;
    for (int i = 0; i < 640; ++i)
      e += double(audio[size_t(f) * 640 + size_t(i)]) * audio[size_t(f) * 640 + size_t(i)];
    rms.push_back(std::sqrt(e / 640));
  }
  auto correlation = [&](int lag) {
    double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
    int n = 0;
    for (int f = 0; f < frames; ++f) {
      const int g = f + lag;
      if (g < 0 || g >= frames) continue;
      const double a = rms[size_t(f)], b = opening[size_t(g)];
      sa += a, sb += b, saa += a * a, sbb += b * b, sab += a * b, ++n;
    }
    return (sab - sa * sb / n) / std::sqrt((saa - sa * sa / n) * (sbb - sb * sb / n));
  };
  const double best = std::max({correlation(-1), correlation(0), correlation(1)});
  EXPECT_GE(best, 0.6);
  std::printf("[lip sync] correlation %.3f %.3f %.3f at lags -1 0 +1\n", correlation(-1),
              correlation(0), correlation(1));
}

}  // namespace
