#include <gtest/gtest.h>

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

}  // namespace
