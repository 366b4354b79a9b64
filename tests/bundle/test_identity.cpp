#include <gtest/gtest.h>

#include <atomic>

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "bundle/le_bundle.h"
#include "driver/le_driver.h"
#include "support/test_util.h"

using le_test::TempDir;
using le_test::writeFile;

using le_test::errorOf;

namespace {

class IdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("LE_DRIVER_HWDEC", "0", 1);
    le_test::writeBundle(dir.path(), 4, 2);
  }
  void TearDown() override { ::unsetenv("LE_DRIVER_HWDEC"); }
  le::Manifest manifest() { return le::loadManifest(dir.path()); }
  void setManifestExtra(const std::string& extra, int msrcW = 64, int msrcH = 48) {
    std::string text = le_test::manifestText(4, 64, 48, 2, extra, 64);
    auto swap = [&](const std::string& from, const std::string& to) {
      text.replace(text.find(from), from.size(), to);
    };
    swap("\"M_src_w\": 64", "\"M_src_w\": " + std::to_string(msrcW));
    swap("\"M_src_h\": 48", "\"M_src_h\": " + std::to_string(msrcH));
    writeFile(dir / "manifest.json", text);
  }
  std::string priorMovie(const std::string& name, int frames = 4) {
    le_test::VideoSpec video;
    video.width = video.height = 64;
    video.frames = frames;
    video.encoder = "libx265";
    video.pixfmt = "yuv444p";
    return le_test::encodeVideo(dir / name, video, [](int t, uint8_t* rgb) {
      for (int i = 0; i < 64 * 64 * 3; ++i) rgb[i] = uint8_t(i * 3 + t * 40);
    });
  }
  TempDir dir;
};

TEST_F(IdentityTest, MapsMembersAndKeepsTransforms) {
  le::Identity id(manifest());
  EXPECT_EQ(id.NT, 4);
  EXPECT_EQ(id.crop, 64);
  EXPECT_TRUE(id.hasP());
  EXPECT_FALSE(id.hasFsRed());
  EXPECT_EQ(id.pooled64(2)[5], uint16_t(0x3c00 + (2 * 65536 + 5) % 7));
  EXPECT_EQ(id.P(3)[100], uint16_t(0x3800 + (3 * 64 * 64 * 3 + 100) % 13));
  EXPECT_FLOAT_EQ(id.M(2)[2], 10.f);  // stamp equals the canvas: unchanged
  EXPECT_FLOAT_EQ(id.M(2)[5], 8.f);
  EXPECT_EQ(id.priorBackend(), "mmap P.f16");
  EXPECT_EQ(id.priorSeeks(), 0u);
  EXPECT_EQ(id.priorResidentBytes(), 0u);
  id.walkP(1);  // nothing to walk with a mapped prior
}

TEST_F(IdentityTest, RescalesFromThePasteSpace) {
  setManifestExtra("", 32, 24);
  le::Identity id(manifest());
  EXPECT_FLOAT_EQ(id.M(1)[0], 2.f);
  EXPECT_FLOAT_EQ(id.M(1)[2], 18.f);
  EXPECT_FLOAT_EQ(id.M(1)[4], 2.f);
  EXPECT_FLOAT_EQ(id.M(1)[5], 16.f);
  le::Manifest unstamped = manifest();
  unstamped.M_src_w = 0;
  EXPECT_EQ(errorOf([&] { id.rescaleM(unstamped); }),
            "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) \xE2\x80\x94 "
            "refusing to paste M without knowing the space it was authored in");
}

TEST_F(IdentityTest, MemberRefusals) {
  // Wrong sizes.
  le_test::writeVector(dir / "P.f16", std::vector<uint16_t>(10));
  EXPECT_EQ(errorOf([&] { le::Identity id(manifest()); }), "size mismatch " + dir / "P.f16");
  std::remove((dir / "P.f16").c_str());
  le_test::writeVector(dir / "M.f32", std::vector<float>(4 * 6 + 1));
  le_test::writeVector(dir / "fs_red.f16", std::vector<uint16_t>(size_t(4) * 262144));
  EXPECT_EQ(errorOf([&] { le::Identity id(manifest()); }), "size mismatch " + dir / "M.f32");
  le_test::writeVector(dir / "M.f32", std::vector<float>(4 * 6));

  // fs_red.f16 alone stands in for the prior.
  {
    le::Identity id(manifest());
    EXPECT_TRUE(id.hasFsRed());
    EXPECT_FALSE(id.hasP());
    EXPECT_EQ(id.priorBackend(), "none");
    EXPECT_EQ(id.priorSeeks(), 0u);
    EXPECT_TRUE(id.priorPath().empty());
  }
  std::remove((dir / "fs_red.f16").c_str());
  EXPECT_EQ(errorOf([&] { le::Identity id(manifest()); }),
            "this bundle carries neither P.f16 nor fs_red.f16, and its manifest names no P_hevc "
            "member to play one from \xE2\x80\x94 the renderer has no warp prior and le::Identity "
            "would hand it a null pointer. REFUSING to create a session.");

  setManifestExtra(",\n  \"P_hevc\": \"gone.mov\"");
  EXPECT_EQ(errorOf([&] { le::Identity id(manifest()); }),
            "this bundle's manifest names P_hevc 'gone.mov' and the file is not there (" +
                dir / "gone.mov" +
                ") \xE2\x80\x94 the renderer has no warp prior. REFUSING to create a session.");

  setManifestExtra(",\n  \"P_rgb\": \"prior_rgb.f16\"");
  writeFile(dir / "prior_rgb.f16", "x");
  EXPECT_EQ(errorOf([&] { le::Identity id(manifest()); }),
            "this bundle's manifest names its raw warp prior 'prior_rgb.f16' (P_rgb) but "
            "le::Identity maps the welded name P.f16 and would find nothing \xE2\x80\x94 it maps "
            "NOTHING silently and Identity::P(si) is then an offset from a null pointer. REFUSING "
            "rather than rendering off a prior nothing will read.");
}

TEST_F(IdentityTest, PriorPlayedFromVideo) {
  std::remove((dir / "P.f16").c_str());
  setManifestExtra(",\n  \"P_hevc\": \"prior.mov\"");
  ASSERT_EQ(priorMovie("prior.mov"), "");
  const auto frames = le_test::decodeVideoYuv(dir / "prior.mov");
  ASSERT_EQ(frames.size(), 4u);
  testing::internal::CaptureStderr();
  {
    le::Identity id(manifest());
    EXPECT_EQ(id.priorPath(), dir / "prior.mov");
    EXPECT_EQ(id.priorResidentBytes(), 0u);  // not opened yet
    // Concurrent first users open the cursor once.
    std::thread a([&] { id.prior(); });
    std::thread b([&] { id.prior(); });
    a.join();
    b.join();
    const le::PriorFrames* first = &id.prior();
    EXPECT_EQ(first, &id.prior());
    EXPECT_EQ(id.priorBackend().substr(0, 8), "hevc444/");
    // Frames come through the cursor and match a straight decode in layout.
    auto direct = le::driver::openPriorHevc(dir / "prior.mov", 4, 64);
    std::vector<uint16_t> want(64 * 64 * 3);
    for (int t = 0; t < 4; ++t) {
      ASSERT_TRUE(direct->next(reinterpret_cast<uint8_t*>(want.data())));
      const uint16_t* got = id.P(t);
      ASSERT_EQ(std::vector<uint16_t>(got, got + want.size()), want) << t;
    }
    id.walkP(0);
    id.walkP(1);
    // The cursor's ring; the decoded track itself lives in the process's shared store.
    EXPECT_GE(id.priorResidentBytes(), 14u * 64 * 64 * 6);
    // A reader through withP gets its frame whole while another thread (the
    // session's paste) walks the prior elsewhere.
    std::vector<std::vector<uint16_t>> all;
    auto again = le::driver::openPriorHevc(dir / "prior.mov", 4, 64);
    for (int t = 0; t < 4; ++t) {
      all.emplace_back(want.size());
      ASSERT_TRUE(again->next(reinterpret_cast<uint8_t*>(all.back().data())));
    }
    std::atomic<bool> done{false};
    std::thread walker([&] {
      for (int i = 0; !done; ++i) id.walkP(i % 4);
    });
    for (int i = 0; i < 100; ++i) {
      const int t = (i * 3) % 4;
      std::vector<uint16_t> got;
      id.withP(t, [&](const uint16_t* p) { got.assign(p, p + want.size()); });
      EXPECT_EQ(got, all[size_t(t)]) << "read " << i;
    }
    done = true;
    walker.join();
  }
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("[le-prior] prior.mov decoded IN PLACE"), std::string::npos) << log;
  const std::string closing = "[le-prior] closed: 0 source seek(s) over the session (hevc444/";
  EXPECT_NE(log.find(closing), std::string::npos) << log;

  // An identity whose prior was never used says nothing on closing.
  testing::internal::CaptureStderr();
  { le::Identity id(manifest()); }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
