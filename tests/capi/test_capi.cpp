#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "capi/le_capi.h"
#include "compute/le_pool.h"
#include "le/le.h"
#include "support/test_util.h"

using le_test::TempDir;

namespace {

TEST(CapiContext, CreatesFromASpineBundle) {
  TempDir d;
  le_test::writeBundle(d.path(), 5, 3);
  le_ctx* ctx = le_create(d.path().c_str(), "b1", 3, nullptr);
  ASSERT_NE(ctx, nullptr) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  EXPECT_EQ(le_nt(ctx), 5);
  EXPECT_EQ(le_width(ctx), 64);
  EXPECT_EQ(le_height(ctx), 48);
  EXPECT_EQ(le_crop(ctx), 32);
  EXPECT_EQ(le_drive_frames(ctx), 3);
  EXPECT_EQ(ctx->threads, 3);
  EXPECT_EQ(ctx->ep, "");  // a null provider is the empty one
  EXPECT_EQ(ctx->frame.size(), size_t(64 * 48 * 3));
  EXPECT_EQ(ctx->last, nullptr);
  le_destroy(ctx);

  for (int threads : {0, -2}) {
    ctx = le_create(d.path().c_str(), "b1", threads, "");
    ASSERT_NE(ctx, nullptr) << le_last_error();
    EXPECT_EQ(ctx->threads, le::pool::threads());
    le_destroy(ctx);
  }
}

TEST(CapiContext, NullArgumentsAndAccessors) {
  EXPECT_EQ(le_create(nullptr, "b1", 1, nullptr), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");
  EXPECT_EQ(le_create("/x", nullptr, 1, nullptr), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");
  // Accessors answer 0 for no context and leave the error alone.
  EXPECT_EQ(le_nt(nullptr), 0);
  EXPECT_EQ(le_width(nullptr), 0);
  EXPECT_EQ(le_height(nullptr), 0);
  EXPECT_EQ(le_crop(nullptr), 0);
  EXPECT_EQ(le_drive_frames(nullptr), 0);
  EXPECT_EQ(le_host_kp_rows(), 21);
  EXPECT_EQ(le_host_kp_rows(), le::kHostKpRows);
  EXPECT_STREQ(le_last_error(), "le_create: NULL bundle_dir/model_key");
  le_destroy(nullptr);
}

TEST(CapiContext, FailuresCarryTheEntryPointName) {
  TempDir d;
  le_test::writeFile(d / "manifest.json",
                     "{\"format\": \"le-bundle-v0\", \"agent\": \"a\", \"NT\": 2, \"H\": 4}");
  EXPECT_EQ(le_create(d.path().c_str(), "b1", 1, nullptr), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: manifest: missing key W");

  // A drive table of the wrong size fails the whole creation.
  TempDir e;
  le_test::writeBundle(e.path(), 4, 3);
  le_test::writeVector(e / "drive/si.i32", std::vector<int32_t>{0, 1});
  EXPECT_EQ(le_create(e.path().c_str(), "b1", 1, nullptr), nullptr);
  EXPECT_EQ(std::string(le_last_error()), "le_create: size mismatch " + e / "drive/si.i32");

  // A later success empties the error.
  le_test::writeBundle(e.path(), 4, 3);
  le_ctx* ctx = le_create(e.path().c_str(), "b1", 1, nullptr);
  ASSERT_NE(ctx, nullptr);
  EXPECT_STREQ(le_last_error(), "");
  le_destroy(ctx);
}

TEST(CapiContext, LastErrorIsPerThread) {
  EXPECT_EQ(le_create(nullptr, nullptr, 1, nullptr), nullptr);
  const std::string mine = le_last_error();
  ASSERT_FALSE(mine.empty());

  std::string otherBefore, otherAfter;
  std::thread t([&] {
    otherBefore = le_last_error();
    le_create("/nonexistent-bundle-dir", "b1", 1, nullptr);
    otherAfter = le_last_error();
  });
  t.join();
  EXPECT_EQ(otherBefore, "");
  EXPECT_EQ(otherAfter, "le_create: cannot open /nonexistent-bundle-dir/manifest.json");
  EXPECT_EQ(le_last_error(), mine);

  // Many threads failing differently at once never see each other's text.
  std::vector<std::thread> ts;
  std::vector<int> ok(8, 0);
  for (int i = 0; i < 8; ++i) {
    ts.emplace_back([&, i] {
      const std::string path = "/missing-" + std::to_string(i);
      bool all = true;
      for (int k = 0; k < 50; ++k) {
        le_create(path.c_str(), "b1", 1, nullptr);
        all = all &&
              std::string(le_last_error()) == "le_create: cannot open " + path + "/manifest.json";
      }
      ok[size_t(i)] = all;
    });
  }
  for (auto& th : ts) th.join();
  for (int v : ok) EXPECT_EQ(v, 1);
}

// ---------------------------------------------------------------------------

TEST(CapiBundle, ResolveHandleAndMember) {
  TempDir d;
  le_test::writeBundle(d.path(), 4, 2);
  char out[4096];
  EXPECT_EQ(le_bundle_resolve_handle(d.path().c_str(), out, sizeof out), 1);
  EXPECT_EQ(std::string(out), d.path());
  EXPECT_STREQ(le_last_error(), "");
  EXPECT_EQ(le_bundle_resolve_handle(d.path().c_str(), out, d.path().size()), -1);
  EXPECT_STREQ(out, "");
  EXPECT_STREQ(le_last_error(), "le_bundle_resolve_handle: buffer too small");
  EXPECT_EQ(le_bundle_resolve_handle(nullptr, out, sizeof out), -1);
  EXPECT_STREQ(le_last_error(), "");  // emptied, no message of its own
  EXPECT_EQ(le_bundle_resolve_handle(d.path().c_str(), out, 0), -1);

  // Members: the older name, else the newer; the last error is left alone.
  le_create(nullptr, nullptr, 0, nullptr);
  const std::string before = le_last_error();
  EXPECT_EQ(le_bundle_resolve_member(d.path().c_str(), "P.f16", out, sizeof out), 1);
  EXPECT_EQ(std::string(out), d / "P.f16");
  std::rename((d / "P.f16").c_str(), (d / "source_frames.f16").c_str());
  EXPECT_EQ(le_bundle_resolve_member(d.path().c_str(), "P.f16", out, sizeof out), 1);
  EXPECT_EQ(std::string(out), d / "source_frames.f16");
  EXPECT_EQ(le_bundle_resolve_member(d.path().c_str(), "fs_red.f16", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), d / "fs_red.f16");
  const std::string path = d / "fs_red.f16";
  EXPECT_EQ(le_bundle_resolve_member(d.path().c_str(), "fs_red.f16", out, path.size()), -1);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(le_bundle_resolve_member(d.path().c_str(), nullptr, out, sizeof out), -1);
  EXPECT_EQ(std::string(le_last_error()), before);

  // A container is unwrapped on the first call only.
  const std::string c = d / "box.imx";
  std::string imx("IMX\0\2\0\1\0", 8);
  const std::string name = "manifest.json", body = "{}";
  imx += char(name.size());
  imx += '\0';
  imx += name;
  const uint64_t off = imx.size() + 16;
  for (int i = 0; i < 8; ++i) imx += char((off >> (8 * i)) & 0xff);
  for (int i = 0; i < 8; ++i) imx += char(i == 0 ? body.size() : 0);
  imx += body;
  le_test::writeFile(c, imx);
  testing::internal::CaptureStderr();
  EXPECT_EQ(le_bundle_resolve_handle(c.c_str(), out, sizeof out), 1);
  EXPECT_EQ(std::string(out), d / "box.lebundle");
  EXPECT_EQ(le_bundle_resolve_member(c.c_str(), "manifest.json", out, sizeof out), 1);
  EXPECT_EQ(std::string(out), d / "box.lebundle/manifest.json");
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
}

TEST(CapiPrior, ReadsRowsThroughAHandle) {
  ::setenv("LE_DRIVER_HWDEC", "0", 1);
  TempDir d;
  le_test::writeBundle(d.path(), 4, 2);
  EXPECT_EQ(le_prior_open(nullptr, 2, 11), nullptr);
  EXPECT_STREQ(le_last_error(), "le_prior_open: NULL bundle_dir");
  EXPECT_EQ(le_prior_open(d.path().c_str(), 2, 11), nullptr);
  EXPECT_EQ(std::string(le_last_error()),
            "le_prior_open: this bundle carries neither a raw P.f16 nor P_hevc.mov (" +
                d / "P_hevc.mov" +
                ") \xE2\x80\x94 there is no warp prior to play. REFUSING to create a session.");

  le_test::VideoSpec video;
  video.width = video.height = 32;
  video.frames = 4;
  video.encoder = "libx265";
  video.pixfmt = "yuv444p";
  ASSERT_EQ(le_test::encodeVideo(d / "P_hevc.mov", video,
                                 [](int t, uint8_t* rgb) {
                                   for (int i = 0; i < 32 * 32 * 3; ++i) rgb[i] = uint8_t(i + t);
                                 }),
            "");
  le_prior* prior = le_prior_open(d.path().c_str(), 0, -1);
  ASSERT_NE(prior, nullptr) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  // Look-ahead 0 means 2, history -1 means 0: a ring of three rows.
  // (the source's own estimate grows by the largest packet it has read).
  const uint64_t fresh = le::driver::openPriorHevc(d / "P_hevc.mov", 4, 32)->residentBytes();
  const uint64_t ring = prior->cursor->residentBytes() - 3 * prior->cursor->frameBytes;
  EXPECT_GE(ring, fresh);
  EXPECT_LT(ring, fresh + prior->cursor->frameBytes);
  const size_t rowBytes = le_prior_row_bytes(prior);
  EXPECT_EQ(rowBytes, 32u * 32 * 3 * 2);
  EXPECT_EQ(std::string(le_prior_backend(prior)), prior->cursor->name);
  EXPECT_STREQ(le_prior_backend(nullptr), "");
  EXPECT_EQ(le_prior_row_bytes(nullptr), 0u);

  std::vector<uint8_t> row(rowBytes), direct(rowBytes);
  auto src = le::driver::openPriorHevc(d / "P_hevc.mov", 4, 32);
  for (int t = 0; t < 3; ++t) ASSERT_TRUE(src->next(direct.data()));
  EXPECT_EQ(le_prior_row(prior, 2, row.data(), row.size()), 1);
  EXPECT_EQ(row, direct);
  EXPECT_EQ(le_prior_row(prior, 2, row.data(), row.size() - 1), 0);
  EXPECT_EQ(std::string(le_last_error()),
            "le_prior_row: cap " + std::to_string(rowBytes - 1) + " < row bytes " +
                std::to_string(rowBytes));
  EXPECT_EQ(le_prior_row(prior, 4, row.data(), row.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: le_driver: seek(4) outside [0,4)");
  EXPECT_EQ(le_prior_row(nullptr, 0, row.data(), row.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: NULL prior/out");
  EXPECT_EQ(le_prior_row(prior, 0, row.data(), row.size()), 1);  // still usable
  le_prior_close(prior);
  le_prior_close(nullptr);
  ::unsetenv("LE_DRIVER_HWDEC");
}

}  // namespace
