#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "capi/le_capi.h"
#include "compute/le_pool.h"
#include "driver/le_image.h"
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
  EXPECT_EQ(le_crop(ctx), 64);
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

  // A render model that is not ONNX at all is refused by the runtime, in one message.
  le_test::writeBundle(e.path(), 4, 3);
  le_test::writeFile(e / "model_b1.onnx", "{\"not\": \"a model\"}");
  EXPECT_EQ(le_create(e.path().c_str(), "b1", 1, nullptr), nullptr);
  EXPECT_EQ(std::string(le_last_error()), "le_create: Load model from " + e / "model_b1.onnx" +
                                              " failed:Protobuf parsing failed.");

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

  // No name climbs out of the bundle, whether a host's member or model key.
  EXPECT_EQ(le_bundle_resolve_member(d.path().c_str(), "drive/../../P.f16", out, sizeof out), -1);
  EXPECT_STREQ(le_last_error(),
               "le_bundle_resolve_member: bundle: member \"drive/../../P.f16\" leads outside the "
               "bundle directory");
  EXPECT_EQ(le_bundle_resolve_member(d.path().c_str(), "/etc/passwd", out, sizeof out), -1);
  EXPECT_EQ(le_create(d.path().c_str(), "x/../../b1", 1, nullptr), nullptr);
  EXPECT_STREQ(le_last_error(),
               "le_create: bundle: member \"model_x/../../b1.onnx\" leads outside the bundle "
               "directory");

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
  video.width = video.height = 64;
  video.frames = 4;
  video.encoder = "libx265";
  video.pixfmt = "yuv444p";
  ASSERT_EQ(le_test::encodeVideo(d / "P_hevc.mov", video,
                                 [](int t, uint8_t* rgb) {
                                   for (int i = 0; i < 64 * 64 * 3; ++i) rgb[i] = uint8_t(i + t);
                                 }),
            "");
  le_prior* prior = le_prior_open(d.path().c_str(), 0, -1);
  ASSERT_NE(prior, nullptr) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  // Look-ahead 0 means 2, history -1 means 0: a ring of three rows.
  // (the source's own estimate grows by the largest packet it has read).
  const uint64_t fresh = le::driver::openPriorHevc(d / "P_hevc.mov", 4, 64)->residentBytes();
  const uint64_t ring = prior->cursor->residentBytes() - 3 * prior->cursor->frameBytes;
  EXPECT_GE(ring, fresh);
  EXPECT_LT(ring, fresh + prior->cursor->frameBytes);
  const size_t rowBytes = le_prior_row_bytes(prior);
  EXPECT_EQ(rowBytes, 64u * 64 * 3 * 2);
  EXPECT_EQ(std::string(le_prior_backend(prior)), prior->cursor->name);
  EXPECT_STREQ(le_prior_backend(nullptr), "");
  EXPECT_EQ(le_prior_row_bytes(nullptr), 0u);

  std::vector<uint8_t> row(rowBytes), direct(rowBytes);
  auto src = le::driver::openPriorHevc(d / "P_hevc.mov", 4, 64);
  for (int t = 0; t < 3; ++t) ASSERT_TRUE(src->next(direct.data()));
  EXPECT_EQ(le_prior_row(prior, 2, row.data(), row.size()), 1);
  EXPECT_EQ(row, direct);
  EXPECT_EQ(le_prior_row(prior, 2, row.data(), row.size() - 1), 0);
  EXPECT_EQ(std::string(le_last_error()), "le_prior_row: cap " + std::to_string(rowBytes - 1) +
                                              " < row bytes " + std::to_string(rowBytes));
  EXPECT_EQ(le_prior_row(prior, 4, row.data(), row.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: le_driver: seek(4) outside [0,4)");
  EXPECT_EQ(le_prior_row(nullptr, 0, row.data(), row.size()), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: NULL prior/out");
  EXPECT_EQ(le_prior_row(prior, 0, row.data(), row.size()), 1);  // still usable
  le_prior_close(prior);
  le_prior_close(nullptr);
  ::unsetenv("LE_DRIVER_HWDEC");
}

// ---------------------------------------------------------------------------

class CapiRender : public ::testing::Test {
 protected:
  void SetUp() override {
    le_test::writeBundle(dir.path(), 4, 3);
    // Crop 64 scaled by a half into the 64 x 48 frame, moved one pixel per frame.
    std::vector<float> m(4 * 6);
    for (int t = 0; t < 4; ++t) {
      const float row[6] = {0.5f, 0.f, float(12 + t), 0.f, 0.5f, 6.f};
      std::copy(row, row + 6, m.begin() + t * 6);
    }
    le_test::writeVector(dir / "M.f32", m);
  }
  void TearDown() override { le_destroy(ctx); }
  void open() {
    ctx = le_create(dir.path().c_str(), "b1", 1, nullptr);
    ASSERT_NE(ctx, nullptr) << le_last_error();
  }
  // Crop-space distance from the mask's centre, in crop widths, of frame pixel (x, y).
  static double maskRadius(int t, int x, int y) {
    const double u = (x - (12 + t)) / 0.5, v = (y - 6) / 0.5;
    const double dx = (u + 0.5) / 64 - 0.5, dy = (v + 0.5) / 64 - 0.5;
    return std::sqrt(dx * dx + dy * dy);
  }
  TempDir dir;
  le_ctx* ctx = nullptr;
};

TEST_F(CapiRender, DriveFramesEndToEnd) {
  open();
  const int W = le_width(ctx), H = le_height(ctx);
  std::vector<uint8_t> rgba(size_t(W) * H * 4);
  for (int i = 0; i < le_drive_frames(ctx); ++i) {
    ASSERT_EQ(le_render_drive_rgba(ctx, i, rgba.data(), rgba.size()), 1) << le_last_error();
    const int t = ctx->drive.si[size_t(i)];
    std::vector<float> crop(ctx->last, ctx->last + 64 * 64 * 3);
    const uint8_t* target = le_target_frame(ctx, t);
    ASSERT_NE(target, nullptr);
    int outside = 0, inside = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const uint8_t* o = &rgba[(size_t(y) * W + x) * 4];
        ASSERT_EQ(o[3], 255);
        const double r = maskRadius(t, x, y);
        for (int c = 0; c < 3; ++c) {
          if (r > 0.5) {
            // Beyond the mask and the kernel's reach: the driver frame as it was.
            ASSERT_EQ(o[c], target[(size_t(y) * W + x) * 3 + c]) << x << "," << y;
          } else if (r < 0.2) {
            // The mask's core takes the (sharpened) rendered crop.
            const int u = (x - (12 + t)) * 2, v = (y - 6) * 2;
            ASSERT_NEAR(o[c], 255.f * crop[size_t(c) * 64 * 64 + size_t(v) * 64 + u], 4.f);
          }
        }
        outside += r > 0.5;
        inside += r < 0.2;
      }
    EXPECT_GT(outside, 500);
    EXPECT_GT(inside, 50);
  }
  // One finished frame as a picture to look at, kept in the build tree.
  {
    const std::string tmp = le_test::scratchRoot();
    std::vector<uint8_t> rgb(size_t(W) * H * 3);
    for (size_t p = 0; p < rgb.size() / 3; ++p)
      for (int c = 0; c < 3; ++c) rgb[p * 3 + c] = rgba[p * 4 + c];
    le_test::makeDirs(tmp);
    le::writePNG(tmp + "/../render_drive_frame.png", rgb.data(), W, H);
  }
}

TEST_F(CapiRender, ZeroMaskLeavesTheDriverFrame) {
  le_test::writeVector(dir / "mask_512.u8", std::vector<uint8_t>(64 * 64, 0));
  open();
  const int W = le_width(ctx), H = le_height(ctx);
  std::vector<uint8_t> out(size_t(W) * H * 3);
  const float* crop = le_render_drive_crop(ctx, 1);
  ASSERT_NE(crop, nullptr);
  ASSERT_EQ(le_paste_crop(ctx, 1, crop, out.data(), out.size()), 1);
  const uint8_t* target = le_target_frame(ctx, 1);
  EXPECT_EQ(std::vector<uint8_t>(target, target + out.size()), out);
}

TEST_F(CapiRender, ArgumentFailures) {
  // A paste mask shorter than crop x crop bytes.
  le_test::writeVector(dir / "mask_512.u8", std::vector<uint8_t>(64 * 64 - 1, 9));
  EXPECT_EQ(le_create(dir.path().c_str(), "b1", 1, nullptr), nullptr);
  EXPECT_STREQ(le_last_error(), "le_create: mask read failed");
  le_test::writeVector(dir / "paste_mask.u8", std::vector<uint8_t>(64 * 64 + 7, 9));
  std::remove((dir / "mask_512.u8").c_str());  // the newer name, longer than needed
  open();

  const int W = le_width(ctx), H = le_height(ctx), NT = le_nt(ctx);
  std::vector<float> kp(63, 0.1f);
  std::vector<uint8_t> out(size_t(W) * H * 4, 7);
  EXPECT_EQ(le_paste_last(ctx, 0), nullptr);
  EXPECT_STREQ(le_last_error(), "le_paste_last: bad args / no prior render");
  EXPECT_EQ(le_render_kp_crop(ctx, NT, kp.data(), kp.data()), nullptr);
  EXPECT_STREQ(le_last_error(), "le_render_kp_crop: bad args");
  EXPECT_EQ(le_render_kp_crop(ctx, 0, nullptr, kp.data()), nullptr);
  EXPECT_NE(le_render_kp_crop(ctx, NT - 1, kp.data(), kp.data()), nullptr);
  EXPECT_STREQ(le_last_error(), "");
  EXPECT_EQ(le_render_drive_crop(ctx, le_drive_frames(ctx)), nullptr);
  EXPECT_STREQ(le_last_error(), "le_render_drive_crop: bad frame index");
  EXPECT_EQ(le_target_frame(ctx, -1), nullptr);
  EXPECT_STREQ(le_last_error(), "le_target_frame: bad args");

  const float* crop = le_render_kp_crop(ctx, 0, kp.data(), kp.data());
  EXPECT_EQ(le_paste_crop(ctx, 0, crop, out.data(), uint64_t(W) * H * 3 - 1), 0);
  EXPECT_STREQ(le_last_error(), "le_paste_crop: bad args / out too small");
  EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 7));  // untouched

  // A too small RGBA buffer: the crop is rendered and remembered all the same.
  EXPECT_EQ(le_render_drive_rgba(ctx, 2, out.data(), uint64_t(W) * H * 3), 0);
  EXPECT_STREQ(le_last_error(), "le_render_*_rgba: out buffer too small");
  EXPECT_NE(le_paste_last(ctx, ctx->drive.si[2]), nullptr);
  EXPECT_EQ(le_render_kp_rgba(ctx, 0, kp.data(), kp.data(), nullptr, 0), 0);
  EXPECT_STREQ(le_last_error(), "le_render_*_rgba: out buffer too small");
  EXPECT_EQ(le_render_kp_rgba(nullptr, 0, kp.data(), kp.data(), out.data(), out.size()), 0);
  EXPECT_STREQ(le_last_error(), "");  // emptied on entry like every entry point

  // Consecutive target frames never seek the driver.
  for (int t = 0; t < NT; ++t) EXPECT_NE(le_target_frame(ctx, t), nullptr);
  const uint64_t seeks = ctx->cursor->seeks();
  for (int t = 0; t < NT; ++t) le_target_frame(ctx, t);
  EXPECT_EQ(ctx->cursor->seeks(), seeks);  // frame 0 is still in the history
}

}  // namespace

namespace {

struct Lines {
  std::mutex m;
  std::vector<std::string> text, subsystem;
  std::vector<int> level;
};

void collect(void* user, int level, const char* subsystem, const char* line) {
  auto* lines = static_cast<Lines*>(user);
  std::lock_guard<std::mutex> lock(lines->m);
  lines->text.push_back(line);
  lines->subsystem.push_back(subsystem);
  lines->level.push_back(level);
}

// The host's callback takes every line a context writes, from any thread, in
// place of standard error; without it the same lines reach standard error.
TEST(CapiLog, HostCallbackTakesTheLinesStandardErrorWouldShow) {
  TempDir d;
  le_test::writeBundle(d.path(), 5, 3);
  auto open = [&] {
    le_ctx* ctx = le_create(d.path().c_str(), "b1", 1, nullptr);
    EXPECT_NE(ctx, nullptr) << le_last_error();
    le_destroy(ctx);
  };

  Lines got;
  le_set_log_callback(collect, &got);
  testing::internal::CaptureStderr();
  std::thread other(open);
  open();
  other.join();
  const std::string quiet = testing::internal::GetCapturedStderr();
  le_set_log_callback(nullptr, nullptr);
  EXPECT_EQ(quiet, "");

  testing::internal::CaptureStderr();
  open();
  const std::string err = testing::internal::GetCapturedStderr();

  ASSERT_FALSE(got.text.empty());
  std::string twice;  // the callback saw both contexts' lines
  for (size_t i = 0; i < got.text.size(); ++i) {
    const std::string& line = got.text[i];
    EXPECT_EQ(line.rfind("[" + got.subsystem[i] + "] ", 0), 0u) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    EXPECT_TRUE(got.level[i] == LE_LOG_INFO || got.level[i] == LE_LOG_WARNING);
    twice += line + "\n";
  }
  EXPECT_EQ(std::count(got.text.begin(), got.text.end(), "[le] director ep=cpu (ORT CPU EP)"), 2);
  // Each standard-error line arrived, unchanged, once per context.
  EXPECT_EQ(twice.size(), 2 * err.size()) << err;
  for (size_t at = 0, end; (end = err.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = err.substr(at, end - at);
    EXPECT_EQ(std::count(got.text.begin(), got.text.end(), line), 2) << line;
  }
}

}  // namespace
