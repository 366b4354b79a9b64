#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "driver/le_driver.h"
#include "driver/le_frame_cache.h"
#include "support/test_util.h"
#include "support/test_video.h"

using le_test::errorOf;

namespace {

constexpr int kW = 64, kH = 48, kNT = 12;
constexpr size_t kFrame = size_t(kW) * kH * 3;

void fillFrame(int t, uint8_t* rgb) {
  for (size_t i = 0; i < kFrame; ++i) rgb[i] = uint8_t((i * 7 + size_t(t) * 29) % 251);
}

class FrameCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("LE_DRIVER_HWDEC", "0", 1);
    ::setenv("LE_DRIVER_CACHE_MIB", "64", 1);
  }
  void TearDown() override {
    ::unsetenv("LE_DRIVER_HWDEC");
    ::unsetenv("LE_DRIVER_CACHE_MIB");
  }
  std::unique_ptr<le::DriverCursor> cursorOn(const std::string& mp4) {
    return le::DriverCursor::over(
        le::driver::shareDecoded(le::driver::openMp4(mp4, kNT, kW, kH), mp4), 2, 3);
  }
  le_test::TempDir dir;
};

TEST_F(FrameCacheTest, CursorsOfOneTrackShareItsFramesExactly) {
  const std::string mp4 = dir / "drive.mp4";
  le_test::VideoSpec video;
  video.frames = kNT;
  ASSERT_EQ(le_test::encodeVideo(mp4, video, fillFrame), "");
  // What the decoder hands out, frame by frame, without the store.
  std::vector<std::vector<uint8_t>> want(kNT, std::vector<uint8_t>(kFrame));
  auto plain = le::driver::openMp4(mp4, kNT, kW, kH);
  for (auto& f : want) ASSERT_TRUE(plain->next(f.data()));

  const uint64_t before = le::driver::frameCacheBytes();
  auto first = cursorOn(mp4);
  auto second = cursorOn(mp4);  // opened while the track is still being decoded
  EXPECT_EQ(le::driver::frameCacheBytes(), before + kNT * kFrame);
  int idx = -1;
  for (int i = 0; i < kNT; ++i) {
    const uint8_t* p = first->pull(idx);
    ASSERT_EQ(0, std::memcmp(p, want[size_t(idx)].data(), kFrame)) << idx;
  }
  // A cursor opened once the track is whole keeps no decoder: its ring alone.
  auto third = cursorOn(mp4);
  for (int t : {7, 3, 4, 11, 0, 1, 9}) {
    const uint8_t* p = third->pullAt(t, idx);
    ASSERT_EQ(idx, t);
    ASSERT_EQ(0, std::memcmp(p, want[size_t(t)].data(), kFrame)) << t;
  }
  EXPECT_EQ(third->residentBytes(), 6u * kFrame);
  // The second cursor moves from its decoder to the store on the way.
  for (int i = 0; i < 2 * kNT + 3; ++i) {
    const uint8_t* p = second->pull(idx);
    ASSERT_EQ(idx, i % kNT);
    ASSERT_EQ(0, std::memcmp(p, want[size_t(idx)].data(), kFrame)) << i;
  }
  // Both read the one copy of the frame in the process.
  EXPECT_EQ(second->pullAt(5, idx), third->pullAt(5, idx));
  EXPECT_EQ(le::driver::frameCacheBytes(), before + kNT * kFrame);
  first.reset();
  second.reset();
  third.reset();
  EXPECT_EQ(le::driver::frameCacheBytes(), before);

  // Off: the source itself.
  ::setenv("LE_DRIVER_CACHE_MIB", "0", 1);
  auto mine = le::driver::openMp4(mp4, kNT, kW, kH);
  auto* raw = mine.get();
  EXPECT_EQ(le::driver::shareDecoded(std::move(mine), mp4).get(), raw);
}

TEST_F(FrameCacheTest, ATrackThatStopsDecodingFailsAlikeWithAndWithoutTheStore) {
  // A JPEG frame directory whose frame 2 is not a picture.
  const std::string jpg = dir / "frames";
  le_test::writeJpgFrames(jpg, 4, kW, kH);
  le_test::writeFile(jpg + "/frame_000002.jpg", "not a picture");
  auto failure = [&](const char* mib) {
    ::setenv("LE_DRIVER_CACHE_MIB", mib, 1);
    auto a = le::DriverCursor::over(
        le::driver::shareDecoded(le::driver::openJpgDir(jpg, 4, kW, kH), jpg), 2, 3);
    auto b = le::DriverCursor::over(
        le::driver::shareDecoded(le::driver::openJpgDir(jpg, 4, kW, kH), jpg), 2, 3);
    std::string seen;
    for (auto* c : {a.get(), b.get()}) {
      int idx = -1;
      c->pull(idx);
      c->pull(idx);
      seen += errorOf([&] { c->pull(idx); }) + "\n";
    }
    return seen;
  };
  const std::string without = failure("0");
  EXPECT_NE(without.find("le_driver: "), std::string::npos) << without;
  EXPECT_EQ(failure("64"), without);
}

}  // namespace
