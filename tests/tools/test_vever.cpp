#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstdio>
#include <string>

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

}  // namespace
