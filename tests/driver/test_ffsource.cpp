#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

#include "bundle/le_bundle.h"
#include "compute/le_simd.h"
#include "driver/le_driver.h"
#include "driver/le_moviedec_ff.h"
#include "support/test_util.h"

using le_test::TempDir;

using le_test::errorOf;

namespace {

// Plane values of frame t; lossless coding hands them back exactly.
uint8_t planeValue(int t, int plane, int x, int y) {
  switch (plane) {
    case 0: return uint8_t(16 + (x * 7 + y * 3 + t * 11) % 220);
    case 1: return uint8_t(60 + (x * 5 + t * 13) % 140);
    default: return uint8_t(70 + (y * 9 + t * 5) % 120);
  }
}

std::string encodePlanes(const std::string& path, le_test::VideoSpec video) {
  video.lossless = true;
  const bool sub = video.pixfmt == "yuv420p";
  return le_test::encodeVideoYuv(path, video, [&](int t, uint8_t* const p[3], const int ls[3]) {
    for (int c = 0; c < 3; ++c) {
      const int w = c && sub ? (video.width + 1) / 2 : video.width;
      const int h = c && sub ? (video.height + 1) / 2 : video.height;
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) p[c][y * ls[c] + x] = planeValue(t, c, x, y);
    }
  });
}

le_test::VideoSpec vs(int w, int h, int frames, const char* encoder = "libx264",
                     const char* pixfmt = "yuv420p", const char* container = "") {
  le_test::VideoSpec s;
  s.width = w;
  s.height = h;
  s.frames = frames;
  s.encoder = encoder;
  s.pixfmt = pixfmt;
  s.container = container;
  return s;
}

uint8_t clamp255(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

// The decoded planes of every frame, read independently of the engine.
const le_test::YuvFrame& decoded(const std::string& path, int t) {
  static std::string cachedPath;
  static std::vector<le_test::YuvFrame> frames;
  if (cachedPath != path) {
    frames = le_test::decodeVideoYuv(path);
    cachedPath = path;
  }
  return frames.at(size_t(t));
}

// The driver's RGB of frame t as the integer formula gives it.
std::vector<uint8_t> expectedDriver(const std::string& path, int t, int w, int h) {
  const le_test::YuvFrame& f = decoded(path, t);
  std::vector<uint8_t> rgb(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int c = 298 * (f.at(0, x, y) - 16) + 128;
      const int d = f.at(1, x / 2, y / 2) - 128;
      const int e = f.at(2, x / 2, y / 2) - 128;
      uint8_t* p = &rgb[(size_t(y) * w + x) * 3];
      p[0] = clamp255((c + 409 * e) >> 8);
      p[1] = clamp255((c - 100 * d - 208 * e) >> 8);
      p[2] = clamp255((c + 516 * d) >> 8);
    }
  return rgb;
}

// The prior's half planes of frame t.
std::vector<uint16_t> expectedPrior(const std::string& path, int t, int n) {
  const le_test::YuvFrame& f = decoded(path, t);
  std::vector<uint16_t> out(size_t(n) * n * 3);
  for (int y = 0; y < n; ++y)
    for (int x = 0; x < n; ++x) {
      const int L = 76312 * (f.at(0, x, y) - 16);
      const int U = f.at(1, x, y) - 128;
      const int V = f.at(2, x, y) - 128;
      const int rgb[3] = {(L + 104600 * V + 32768) >> 16,
                          (L - 25672 * U - 53280 * V + 32768) >> 16, (L + 132200 * U + 32768) >> 16};
      for (int c = 0; c < 3; ++c)
        out[size_t(c) * n * n + size_t(y) * n + x] = le::f32ToF16(float(clamp255(rgb[c])) / 255.f);
    }
  return out;
}

class FfSourceTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("LE_DRIVER_HWDEC", "0", 1); }
  void TearDown() override { ::unsetenv("LE_DRIVER_HWDEC"); }
  TempDir dir;
};

TEST_F(FfSourceTest, DriverDecodesExactlyAndSeeksForward) {
  const std::string mp4 = dir / "drive.mp4";
  ASSERT_EQ(encodePlanes(mp4, vs(64, 48, 20)), "");
  testing::internal::CaptureStderr();
  auto src = le::driver::openMp4(mp4, 20, 64, 48);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[le-driver] LE_DRIVER_HWDEC=0 \xE2\x80\x94 h264_cuvid not attempted; the software "
            "decoder is the one decoder on this fleet (same samples)\n");
  EXPECT_EQ(src->name(), "mp4/" + le::libavcodecVersion() + " h264");
  EXPECT_EQ(src->frameBytes(), 64u * 48 * 3);
  std::vector<uint8_t> frame(64 * 48 * 3);
  for (int t = 0; t < 12; ++t) {
    ASSERT_TRUE(src->next(frame.data()));
    ASSERT_EQ(frame, expectedDriver(mp4, t, 64, 48)) << "frame " << t;
  }
  src->seek(15);  // forward from 12
  ASSERT_TRUE(src->next(frame.data()));
  EXPECT_EQ(frame, expectedDriver(mp4, 15, 64, 48));
  src->seek(0);  // behind: from the start
  ASSERT_TRUE(src->next(frame.data()));
  EXPECT_EQ(frame, expectedDriver(mp4, 0, 64, 48));
  src->seek(19);
  ASSERT_TRUE(src->next(frame.data()));
  EXPECT_FALSE(src->next(frame.data()));
  src->rewind();
  ASSERT_TRUE(src->next(frame.data()));
  EXPECT_EQ(frame, expectedDriver(mp4, 0, 64, 48));
  EXPECT_EQ(errorOf([&] { src->seek(20); }), "le_driver: seek outside the member");
  // Decoder frames in flight (at least one thread's and five) plus the largest packet.
  EXPECT_GT(src->residentBytes(), 6u * 64 * 48 * 3 / 2);

  // Through a cursor, across the loop boundary.
  auto cursor = le::DriverCursor::over(le::driver::openMp4(mp4, 20, 64, 48), 2, 11);
  int idx = -1;
  for (int i = 0; i < 45; ++i) {
    const uint8_t* p = cursor->pull(idx);
    ASSERT_EQ(idx, i % 20);
    ASSERT_EQ(0, std::memcmp(p, expectedDriver(mp4, idx, 64, 48).data(), frame.size()));
  }
  EXPECT_EQ(cursor->seeks(), 0u);
}

TEST_F(FfSourceTest, DriverRefusals) {
  const std::string mp4 = dir / "drive.mp4";
  ASSERT_EQ(encodePlanes(mp4, vs(64, 48, 12)), "");
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(mp4, 12, 32, 48); }),
            "le_driver: " + mp4 +
                " is 64x48, the manifest says 32x48 \xE2\x80\x94 refusing to rescale the driver");
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(mp4, 13, 64, 48); }),
            "le_driver: " + mp4 +
                " carries 12 frames, the manifest says NT=13 \xE2\x80\x94 member/manifest "
                "mismatch, refusing");
  le_test::writeFile(dir / "junk.mp4", "definitely not a video");
  EXPECT_EQ(errorOf([&] { le::driver::openMp4(dir / "junk.mp4", 12, 64, 48); }),
            "le_driver: " + dir / "junk.mp4" + " is not a readable container");

  // A container that declares no frame count is accepted; a short one fails
  // in the cursor once it runs out.
  const std::string mkv = dir / "drive.mkv";
  ASSERT_EQ(encodePlanes(mkv, vs(64, 48, 6)), "");
  auto cursor = le::DriverCursor::over(le::driver::openMp4(mkv, 8, 64, 48), 2, 11);
  int idx = -1;
  for (int i = 0; i < 6; ++i) cursor->pull(idx);
  EXPECT_EQ(errorOf([&] { cursor->pull(idx); }),
            "le_driver: mp4/" + le::libavcodecVersion() +
                " h264 ended after 6 frames, the manifest says NT=8 \xE2\x80\x94 a short driver is "
                "a session that stops part way through the loop, refusing");

  // A 4:4:4 driver is not the 4:2:0 the conversion is written for.
  const std::string full = dir / "full.mp4";
  le_test::VideoSpec video = vs(64, 48, 3);
  video.pixfmt = "yuv444p";
  ASSERT_EQ(encodePlanes(full, video), "");
  // A stream whose frames change size part way: two raw H.264 streams of
  // different sizes back to back, the first long enough that probing the
  // stream sees only its size.
  const std::string big = dir / "big.h264", small = dir / "small.h264";
  ASSERT_EQ(encodePlanes(big, vs(64, 48, 30, "libx264", "yuv420p", "h264")), "");
  ASSERT_EQ(encodePlanes(small, vs(32, 24, 3, "libx264", "yuv420p", "h264")), "");
  const std::string resized = dir / "resized.h264";
  le_test::writeFile(resized, le_test::readFile(big) + le_test::readFile(small));
  {
    auto src = le::driver::openMp4(resized, 33, 64, 48);
    std::vector<uint8_t> frame(64 * 48 * 3);
    EXPECT_EQ(errorOf([&] {
                for (int t = 0; t < 33; ++t) src->next(frame.data());
              }),
              "le_driver: " + resized + " changed size mid-stream \xE2\x80\x94 refusing");
  }

  auto src = le::driver::openMp4(full, 3, 64, 48);
  std::vector<uint8_t> frame(64 * 48 * 3);
  EXPECT_EQ(errorOf([&] { src->next(frame.data()); }),
            "le_driver: " + full +
                " decoded to yuv444p, not the 4:2:0 layout the canvas conversion is written for "
                "(yuv420p / nv12) \xE2\x80\x94 refusing rather than pasting onto a different pixel "
                "domain");
}

TEST_F(FfSourceTest, HardwareDecoderFallsBack) {
  ::unsetenv("LE_DRIVER_HWDEC");
  const std::string mp4 = dir / "drive.mp4";
  ASSERT_EQ(encodePlanes(mp4, vs(64, 48, 4)), "");
  testing::internal::CaptureStderr();
  auto src = le::driver::openMp4(mp4, 4, 64, 48);
  const std::string log = testing::internal::GetCapturedStderr();
  std::vector<uint8_t> frame(64 * 48 * 3);
  ASSERT_TRUE(src->next(frame.data()));
  EXPECT_EQ(frame, expectedDriver(mp4, 0, 64, 48));
  if (avcodec_find_decoder_by_name("h264_cuvid")) {
    // This FFmpeg knows the decoder; without a usable GPU it refuses to open.
    if (src->name().find("h264_cuvid") == std::string::npos) {
      // FFmpeg's own complaint may come first.
      const std::string line = "[le-driver] h264_cuvid refused " + mp4 +
                               " \xE2\x80\x94 falling back to the software h264 decoder (same "
                               "samples, more CPU)\n";
      ASSERT_GE(log.size(), line.size());
      EXPECT_EQ(log.substr(log.size() - line.size()), line);
    }
  } else {
    EXPECT_EQ(log, "");
    EXPECT_EQ(src->name(), "mp4/" + le::libavcodecVersion() + " h264");
  }
}

TEST_F(FfSourceTest, PriorDecodesToHalfPlanes) {
  const std::string mov = dir / "P_hevc.mov";
  le_test::VideoSpec video = vs(32, 32, 6);
  video.encoder = "libx265";
  video.pixfmt = "yuv444p";
  ASSERT_EQ(encodePlanes(mov, video), "");
  auto src = le::driver::openPriorHevc(mov, 6, 32);
  EXPECT_EQ(src->name(), "hevc444/" + le::libavcodecVersion() + " hevc");
  EXPECT_EQ(src->frameBytes(), 32u * 32 * 3 * 2);
  std::vector<uint16_t> frame(32 * 32 * 3);
  for (int t = 0; t < 6; ++t) {
    ASSERT_TRUE(src->next(reinterpret_cast<uint8_t*>(frame.data())));
    ASSERT_EQ(frame, expectedPrior(mov, t, 32)) << "frame " << t;
  }
  src->seek(2);
  ASSERT_TRUE(src->next(reinterpret_cast<uint8_t*>(frame.data())));
  EXPECT_EQ(frame, expectedPrior(mov, 2, 32));

  const std::string sub = dir / "sub.mov";
  le_test::VideoSpec s420 = video;
  s420.pixfmt = "yuv420p";
  ASSERT_EQ(encodePlanes(sub, s420), "");
  auto bad = le::driver::openPriorHevc(sub, 6, 32);
  EXPECT_EQ(errorOf([&] { bad->next(reinterpret_cast<uint8_t*>(frame.data())); }),
            "le_driver: " + sub +
                " decoded to yuv420p, not the yuv444p a warp prior is authored in \xE2\x80\x94 a "
                "subsampled prior is a different mouth, refusing");
}

TEST(MovieDecoder, BuildText) {
  const std::string b = le::movieDecoderBuild();
  const std::string head = le::libavcodecVersion() + " / ";
  EXPECT_EQ(b.substr(0, head.size()), head);
  EXPECT_EQ(le::libavcodecVersion(), "libavcodec " + std::to_string(LIBAVCODEC_VERSION_MAJOR) +
                                         "." + std::to_string(LIBAVCODEC_VERSION_MINOR) + "." +
                                         std::to_string(LIBAVCODEC_VERSION_MICRO));
  EXPECT_GT(b.size(), head.size());
}

// ---------------------------------------------------------------------------

class DriverOpen : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv("LE_DRIVER_PREFER_MP4");
    ::setenv("LE_DRIVER_HWDEC", "0", 1);
    le_test::writeBundle(dir.path(), 4, 2);
    manifest = le::loadManifest(dir.path());
  }
  void TearDown() override {
    ::unsetenv("LE_DRIVER_PREFER_MP4");
    ::unsetenv("LE_DRIVER_HWDEC");
  }
  std::string openLog() {
    testing::internal::CaptureStderr();
    std::string err;
    try {
      cursor = le::DriverCursor::open(manifest, 2, 11);
    } catch (const std::runtime_error& e) {
      err = e.what();
    }
    const std::string log = testing::internal::GetCapturedStderr();
    return err.empty() ? log : "ERROR " + err;
  }
  TempDir dir;
  le::Manifest manifest;
  std::unique_ptr<le::DriverCursor> cursor;
};

TEST_F(DriverOpen, PicksJpegThenMp4AndRefusesNeither) {
  EXPECT_EQ(openLog(), "[le-driver] target_frames/ (raw jpg, 4 frames) \xE2\x80\x94 read one frame "
                       "per pull\n");
  EXPECT_EQ(cursor->name, "jpg/stb");

  std::remove((dir / "target_frames/frame_000003.jpg").c_str());
  EXPECT_EQ(openLog(), "ERROR this bundle carries neither a populated target_frames/ nor "
                       "target_frames_mp4 (" +
                           dir / "target_frames_mp4" +
                           ") \xE2\x80\x94 there is no driver video to play. REFUSING to create a "
                           "session.");

  ASSERT_EQ(encodePlanes(dir / "target_frames_mp4", vs(64, 48, 4, "libx264", "yuv420p", "mp4")),
            "");
  const std::string mp4Line = "[le-driver] target_frames_mp4 decoded IN PLACE (mp4/" +
                              le::libavcodecVersion() +
                              " h264, 4 frames 64x48, look-ahead 2, history 11) \xE2\x80\x94 no "
                              "frame of the driver is expanded ahead of the paste\n";
  const std::string hwLine =
      "[le-driver] LE_DRIVER_HWDEC=0 \xE2\x80\x94 h264_cuvid not attempted; the software decoder "
      "is the one decoder on this fleet (same samples)\n";
  EXPECT_EQ(openLog(), hwLine + mp4Line);
  int idx = -1;
  EXPECT_EQ(0, std::memcmp(cursor->pullAt(2, idx), expectedDriver(dir / "target_frames_mp4", 2, 64, 48).data(), 64 * 48 * 3));

  // Preferring the MP4 over a populated JPEG directory says so.
  le_test::writeJpgFrames(dir / "target_frames", 4, 64, 48);
  ::setenv("LE_DRIVER_PREFER_MP4", "1", 1);
  EXPECT_EQ(openLog(),
            "[le-driver] LE_DRIVER_PREFER_MP4=1 \xE2\x80\x94 target_frames/ is populated and NOT "
            "used; target_frames_mp4 is the member this consumer reads\n" +
                hwLine + mp4Line);
  std::remove((dir / "target_frames_mp4").c_str());
  EXPECT_EQ(openLog(), "[le-driver] target_frames/ (raw jpg, 4 frames) \xE2\x80\x94 read one frame "
                       "per pull\n");
}

TEST_F(DriverOpen, MemberNamesFromTheManifest) {
  le_test::writeFile(dir / "manifest.json",
                     le_test::manifestText(4, 64, 48, 2,
                                           ",\n  \"target_frames\": \"idle\", "
                                           "\"target_frames_mp4\": \"idle.mp4\""));
  manifest = le::loadManifest(dir.path());
  EXPECT_EQ(openLog().substr(0, 43), "ERROR this bundle carries neither a populat");
  le_test::writeJpgFrames(dir / "idle", 4, 64, 48);
  EXPECT_EQ(openLog(), "[le-driver] idle/ (raw jpg, 4 frames) \xE2\x80\x94 read one frame per pull\n");
}

TEST_F(DriverOpen, PriorNeedsItsMember) {
  EXPECT_EQ(errorOf([&] { le::DriverCursor::openPrior(manifest, 0, -1); }),
            "this bundle carries neither a raw P.f16 nor P_hevc.mov (" + dir / "P_hevc.mov" +
                ") \xE2\x80\x94 there is no warp prior to play. REFUSING to create a session.");
  le_test::VideoSpec video = vs(64, 64, 4);
  video.encoder = "libx265";
  video.pixfmt = "yuv444p";
  ASSERT_EQ(encodePlanes(dir / "source_frames.hevc", video), "");  // the newer name
  testing::internal::CaptureStderr();
  auto prior = le::DriverCursor::openPrior(manifest, 0, -1);
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("[le-prior] P_hevc.mov decoded IN PLACE (hevc444/" + le::libavcodecVersion() +
                     " hevc, 4 frames 64x64 f16 CHW, look-ahead 1, history 0) \xE2\x80\x94 no P.f16 "
                     "is expanded or mapped\n"),
            std::string::npos)
      << log;
  int idx = -1;
  const uint16_t* p = reinterpret_cast<const uint16_t*>(prior->pullAt(3, idx));
  EXPECT_EQ(std::vector<uint16_t>(p, p + 64 * 64 * 3), expectedPrior(dir / "source_frames.hevc", 3, 64));
}

}  // namespace
