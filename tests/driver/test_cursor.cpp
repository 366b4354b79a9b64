#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "driver/le_driver.h"
#include "driver/le_image.h"
#include "support/test_util.h"

using le_test::errorOf;

namespace {

// A source whose frame t is filled with the byte t; it can fail, run short
// or stall on request, and counts the seeks that reach it.
class FakeSource : public le::driver::Source {
 public:
  struct Shared {
    std::atomic<int> seeks{0};
    std::atomic<int> decoded{0};
    int failAt = -1;          // next() of this frame throws
    int endAfter = -1;        // next() returns false after this many frames
    bool failSeek = false;
    std::chrono::milliseconds delay{0};
  };
  FakeSource(int nt, std::shared_ptr<Shared> s) : nt_(nt), s_(std::move(s)) {}
  int NT() const override { return nt_; }
  int W() const override { return 4; }
  int H() const override { return 2; }
  bool next(uint8_t* dst) override {
    if (pos_ >= nt_ || (s_->endAfter >= 0 && sinceStart_ >= s_->endAfter)) return false;
    if (s_->delay.count()) std::this_thread::sleep_for(s_->delay);
    if (pos_ == s_->failAt) throw std::runtime_error("frame " + std::to_string(pos_) + " is broken");
    std::memset(dst, pos_, size_t(frameBytes()));
    ++pos_;
    ++sinceStart_;
    ++s_->decoded;
    return true;
  }
  void rewind() override { pos_ = sinceStart_ = 0; }
  void seek(int t) override {
    ++s_->seeks;
    if (s_->failSeek) throw std::runtime_error("cannot seek");
    pos_ = t;
    sinceStart_ = 0;
  }
  std::string name() const override { return "fake"; }
  uint64_t residentBytes() const override { return 1000; }

 private:
  int nt_;
  std::shared_ptr<Shared> s_;
  int pos_ = 0;
  int sinceStart_ = 0;
};

struct Rig {
  explicit Rig(int nt, int ahead = 2, int behind = 11,
               std::function<void(FakeSource::Shared&)> setup = nullptr)
      : shared(std::make_shared<FakeSource::Shared>()) {
    if (setup) setup(*shared);
    cursor = le::DriverCursor::over(std::make_unique<FakeSource>(nt, shared), ahead, behind);
  }
  std::shared_ptr<FakeSource::Shared> shared;
  std::unique_ptr<le::DriverCursor> cursor;
};

TEST(DriverCursor, SequentialPlaybackLoopsWithoutSeeks) {
  Rig rig(7);
  EXPECT_EQ(rig.cursor->NT, 7);
  EXPECT_EQ(rig.cursor->frameBytes, 24u);
  EXPECT_EQ(rig.cursor->name, "fake");
  for (int i = 0; i < 7 * 3 + 2; ++i) {
    int idx = -1;
    const uint8_t* p = rig.cursor->pull(idx);
    ASSERT_EQ(idx, i % 7);
    EXPECT_EQ(p[0], uint8_t(i % 7));
    EXPECT_EQ(p[23], uint8_t(i % 7));
    EXPECT_EQ(rig.cursor->position(), (i + 1) % 7);
  }
  uint8_t buf[24];
  EXPECT_EQ(rig.cursor->pull(buf), 2);
  EXPECT_EQ(buf[5], 2);
  EXPECT_EQ(rig.cursor->seeks(), 0u);
  EXPECT_EQ(rig.shared->seeks.load(), 0);
}

TEST(DriverCursor, HistoryServesElevenBackAndSeeksBeyond) {
  for (int back : {1, 5, 11, 12, 13}) {
    Rig rig(40);
    int idx = -1;
    for (int i = 0; i <= 20; ++i) rig.cursor->pull(idx);
    const uint8_t* p = rig.cursor->pullAt(20 - back, idx);
    EXPECT_EQ(idx, 20 - back);
    EXPECT_EQ(p[0], uint8_t(20 - back));
    EXPECT_EQ(rig.cursor->seeks(), back <= 11 ? 0u : 1u) << "back " << back;
    EXPECT_EQ(rig.shared->seeks.load(), back <= 11 ? 0 : 1) << "back " << back;
    // Reading on from there is sequential again.
    rig.cursor->pull(idx);
    EXPECT_EQ(idx, 21 - back);
    EXPECT_EQ(rig.cursor->seeks(), back <= 11 ? 0u : 1u);
  }
}

TEST(DriverCursor, ForwardJumpsWithinLookAheadAndFarSeeks) {
  Rig rig(30);
  int idx = -1;
  rig.cursor->pull(idx);                       // 0; 1 and 2 are decoded ahead
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(rig.cursor->pullAt(2, idx)[0], 2);  // skips 1 inside the look-ahead
  EXPECT_EQ(rig.cursor->seeks(), 0u);
  EXPECT_EQ(rig.cursor->pullAt(25, idx)[0], 25);
  EXPECT_EQ(rig.cursor->seeks(), 1u);
  rig.cursor->seek(10);
  EXPECT_EQ(rig.cursor->position(), 10);
  EXPECT_EQ(rig.cursor->pull(idx)[0], 10);
  EXPECT_EQ(rig.cursor->seeks(), 2u);
  uint8_t buf[24];
  EXPECT_EQ(rig.cursor->pullAt(26, buf), 26);
  EXPECT_EQ(buf[0], 26);
}

TEST(DriverCursor, WritableFramesLeaveTheHistory) {
  Rig rig(30);
  int idx = -1;
  for (int i = 0; i < 5; ++i) rig.cursor->pull(idx);
  uint8_t* w = rig.cursor->pullMut(idx);
  ASSERT_EQ(idx, 5);
  std::memset(w, 0xEE, 24);  // the caller draws on it
  rig.cursor->pull(idx);
  rig.cursor->pull(idx);
  // Frame 5 is decoded afresh, not served scribbled from the ring.
  const uint8_t* again = rig.cursor->pullAt(5, idx);
  EXPECT_EQ(again[0], 5);
  EXPECT_EQ(rig.cursor->seeks(), 1u);
  // Frames before a writable pull are not searched either.
  EXPECT_EQ(rig.cursor->pullAt(3, idx)[0], 3);
  EXPECT_EQ(rig.cursor->seeks(), 2u);

  uint8_t* m = rig.cursor->pullMutAt(9, idx);
  EXPECT_EQ(idx, 9);
  m[0] = 0;
  EXPECT_EQ(rig.cursor->pullAt(9, idx)[0], 9);
}

TEST(DriverCursor, RangeErrorsLeaveTheCursorUsable) {
  Rig rig(5);
  int idx = -1;
  EXPECT_EQ(errorOf([&] { rig.cursor->pullAt(5, idx); }), "le_driver: seek(5) outside [0,5)");
  EXPECT_EQ(errorOf([&] { rig.cursor->seek(-1); }), "le_driver: seek(-1) outside [0,5)");
  EXPECT_EQ(rig.cursor->pull(idx)[0], 0);
  EXPECT_EQ(rig.cursor->pullAt(4, idx)[0], 4);
}

TEST(DriverCursor, FailuresAreStickyAndCarryTheirOrigin) {
  {
    Rig rig(10, 2, 11, [](FakeSource::Shared& s) { s.failAt = 3; });
    int idx = -1;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(rig.cursor->pull(idx)[0], i);
    const std::string msg = "le_driver: frame 3 is broken";
    EXPECT_EQ(errorOf([&] { rig.cursor->pull(idx); }), msg);
    EXPECT_EQ(errorOf([&] { rig.cursor->pullAt(0, idx); }), msg);
    EXPECT_EQ(errorOf([&] { rig.cursor->seek(1); }), msg);
    // A range error is still reported as such.
    EXPECT_EQ(errorOf([&] { rig.cursor->pullAt(10, idx); }), "le_driver: seek(10) outside [0,10)");
  }
  {
    Rig rig(10, 2, 11, [](FakeSource::Shared& s) { s.endAfter = 6; });
    int idx = -1;
    for (int i = 0; i < 6; ++i) rig.cursor->pull(idx);
    EXPECT_EQ(errorOf([&] { rig.cursor->pull(idx); }),
              "le_driver: fake ended after 6 frames, the manifest says NT=10 \xE2\x80\x94 a short "
              "driver is a session that stops part way through the loop, refusing");
  }
  {
    Rig rig(10, 2, 11, [](FakeSource::Shared& s) { s.failSeek = true; });
    int idx = -1;
    EXPECT_EQ(errorOf([&] { rig.cursor->pullAt(8, idx); }),
              "le_driver: seek failed: cannot seek");
  }
}

TEST(DriverCursor, ClampsAndResidentBytes) {
  Rig rig(6, 0, -3);  // ring of 2
  EXPECT_EQ(rig.cursor->residentBytes(), 2u * 24 + 1000);
  int idx = -1;
  for (int i = 0; i < 8; ++i) EXPECT_EQ(rig.cursor->pull(idx)[0], i % 6);
  // No history: one back costs a seek.
  EXPECT_EQ(rig.cursor->pullAt(0, idx)[0], 0);
  EXPECT_EQ(rig.cursor->seeks(), 1u);
  Rig big(6, 2, 11);
  EXPECT_EQ(big.cursor->residentBytes(), 14u * 24 + 1000);
}

TEST(DriverCursor, DestructionNeverHangs) {
  // While the thread is inside a slow decode.
  for (int i = 0; i < 3; ++i) {
    Rig rig(50, 2, 11, [](FakeSource::Shared& s) { s.delay = std::chrono::milliseconds(30); });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // While it waits for space, and right after creation.
  {
    Rig rig(50);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  { Rig rig(50); }
  // After it died.
  {
    Rig rig(50, 2, 11, [](FakeSource::Shared& s) { s.failAt = 0; });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  SUCCEED();
}

TEST(DriverCursor, RandomAccessKeepsFramesRight) {
  Rig rig(37, 2, 11);
  std::mt19937 rng(7);
  int last = 0;
  for (int i = 0; i < 3000; ++i) {
    int idx = -1;
    const int kind = int(rng() % 6);
    if (kind < 3) {
      const uint8_t* p = rig.cursor->pull(idx);
      ASSERT_EQ(idx, (last + 1) % 37);
      ASSERT_EQ(p[i % 24], uint8_t(idx));
    } else {
      const int t = kind == 3 ? int(rng() % 37) : (last + 37 - int(rng() % 14)) % 37;
      const uint8_t* p = kind == 5 ? rig.cursor->pullMutAt(t, idx) : rig.cursor->pullAt(t, idx);
      ASSERT_EQ(idx, t);
      ASSERT_EQ(p[23], uint8_t(t));
      ASSERT_EQ(p[0], uint8_t(t));
    }
    last = idx;
  }
}

// ---------------------------------------------------------------------------

TEST(JpgDirSource, DecodesFramesAndRefusesWrongSizes) {
  le_test::TempDir d;
  le_test::writeJpgFrames(d / "f", 5, 64, 48);
  auto src = le::driver::openJpgDir(d / "f", 5, 64, 48);
  EXPECT_EQ(src->name(), "jpg/stb");
  EXPECT_EQ(src->residentBytes(), 0u);
  EXPECT_EQ(src->frameBytes(), 64u * 48 * 3);
  std::vector<uint8_t> frame(64 * 48 * 3);
  src->seek(3);
  ASSERT_TRUE(src->next(frame.data()));
  int w = 0, h = 0;
  EXPECT_EQ(le::loadImageRGB(d / "f/frame_000003.jpg", w, h), frame);
  EXPECT_TRUE(src->next(frame.data()));
  EXPECT_FALSE(src->next(frame.data()));
  src->rewind();
  EXPECT_TRUE(src->next(frame.data()));
  EXPECT_EQ(errorOf([&] { src->seek(5); }), "le_driver: seek outside the member");

  // A wrong-size frame fails the pull that needs it and every later one,
  // with the origin's prefix doubled by the decoding thread.
  auto small = le_test::driverFrame(0, 32, 48);
  le_test::writeJpg(d / "f/frame_000002.jpg", small.data(), 32, 48);
  auto cursor = le::DriverCursor::over(le::driver::openJpgDir(d / "f", 5, 64, 48), 2, 11);
  int idx = -1;
  cursor->pull(idx);
  cursor->pull(idx);
  const std::string msg = "le_driver: le_driver: " + d / "f/frame_000002.jpg" +
                          " is 32x48, the manifest says 64x48 \xE2\x80\x94 refusing";
  EXPECT_EQ(errorOf([&] { cursor->pull(idx); }), msg);
  EXPECT_EQ(errorOf([&] { cursor->pullAt(0, idx); }), msg);

  std::remove((d / "f/frame_000001.jpg").c_str());
  auto missing = le::DriverCursor::over(le::driver::openJpgDir(d / "f", 5, 64, 48), 2, 11);
  missing->pull(idx);
  EXPECT_EQ(errorOf([&] { missing->pull(idx); }),
            "le_driver: decode failed: " + d / "f/frame_000001.jpg");
}

TEST(ImageFiles, PngRoundTripAndFailures) {
  le_test::TempDir d;
  auto rgb = le_test::driverFrame(3, 20, 10);
  le::writePNG(d / "a.png", rgb.data(), 20, 10);
  int w = 0, h = 0;
  EXPECT_EQ(le::loadImageRGB(d / "a.png", w, h), rgb);
  EXPECT_EQ(w, 20);
  EXPECT_EQ(h, 10);
  EXPECT_EQ(errorOf([&] { le::writePNG(d / "no/such/dir/a.png", rgb.data(), 20, 10); }),
            "png write failed: " + d / "no/such/dir/a.png");
  le_test::writeFile(d / "junk.jpg", "not an image");
  EXPECT_EQ(errorOf([&] { le::loadImageRGB(d / "junk.jpg", w, h); }),
            "decode failed: " + d / "junk.jpg");
}

}  // namespace
