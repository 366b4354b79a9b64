#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>

#include "bundle/le_bundle.h"
#include "support/test_util.h"

using le_test::manifestText;
using le_test::TempDir;
using le_test::writeFile;
using le_test::writeVector;

using le_test::errorOf;

namespace {

std::string loadError(const std::string& dir) {
  return errorOf([&] { le::loadManifest(dir); });
}

const char kAmbiguousTail[] =
    "). A loader that picks one silently installs a number nobody checks. Rename the colliding "
    "key (a nested block must not reuse a name the bundle loader reads: NT/frame_count, H, W, "
    "crop/crop_size, amount, sigma, ksize, frames, M_src_w/paste_source_width, "
    "M_src_h/paste_source_height), or produce the bundle with the legacy manifest layout.";

// ---------------------------------------------------------------------------

TEST(ManifestKeys, FindsKeysWithDepthAndScalarFlag) {
  const std::string text =
      R"({"NT": 10, "inner": {"NT" :  [1], "x": {"NT":{}}}, "s": "\"NT\": 3", "NT"  :"str"})";
  auto hits = le::manifest_key::keyHits(text, "NT");
  ASSERT_EQ(hits.size(), 4u);
  EXPECT_EQ(hits[0].pos, text.find("10"));
  EXPECT_EQ(hits[0].depth, 1);
  EXPECT_TRUE(hits[0].scalar);
  EXPECT_EQ(hits[1].pos, text.find("[1]"));
  EXPECT_EQ(hits[1].depth, 2);
  EXPECT_FALSE(hits[1].scalar);
  EXPECT_EQ(hits[2].depth, 3);
  EXPECT_FALSE(hits[2].scalar);
  EXPECT_EQ(hits[3].pos, text.find("\"str\""));
  EXPECT_EQ(hits[3].depth, 1);
  EXPECT_TRUE(hits[3].scalar);
  // A key with nothing after its colon is not a scalar occurrence.
  auto end = le::manifest_key::keyHits(R"({"W":)", "W");
  ASSERT_EQ(end.size(), 1u);
  EXPECT_FALSE(end[0].scalar);
  // A string that is not followed by a colon is a value, not a key.
  EXPECT_TRUE(le::manifest_key::keyHits(R"({"a": "W", "b": ["W"]})", "W").empty());
}

TEST(ManifestKeys, AmbiguityRule) {
  using le::manifest_key::scalarValuePos;
  // The top level wins over a nested scalar of the same name.
  std::string t1 = R"({"inner": {"NT": 5}, "NT": 10})";
  EXPECT_EQ(scalarValuePos(t1, "NT"), int64_t(t1.find("10")));
  // No top-level occurrence: the one nested scalar counts.
  std::string t2 = R"({"a": {"crop": 256}, "b": {"crop": [1, 2]}})";
  EXPECT_EQ(scalarValuePos(t2, "crop"), int64_t(t2.find("256")));
  EXPECT_EQ(scalarValuePos(t2, "missing"), -1);
  EXPECT_EQ(scalarValuePos(R"({"crop": {"w": 1}})", "crop"), -1);

  std::string t3 = R"({"W": 1, "W": 22})";
  EXPECT_EQ(errorOf([&] { scalarValuePos(t3, "W"); }),
            "manifest: key \"W\" is AMBIGUOUS \xE2\x80\x94 2 scalar occurrences (byte " +
                std::to_string(t3.find("1")) + ", byte " + std::to_string(t3.find("22")) +
                kAmbiguousTail);
  // Two top-level ones are listed without the nested one.
  std::string t4 = R"({"W": 1, "n": {"W": 5}, "W": 2})";
  EXPECT_NE(errorOf([&] { scalarValuePos(t4, "W"); }).find("AMBIGUOUS \xE2\x80\x94 2 scalar"),
            std::string::npos);
  // Nested only: all scalar occurrences are listed.
  std::string t5 = R"({"a": {"crop": 1}, "b": {"crop": 2}, "c": {"crop": 3}})";
  EXPECT_EQ(errorOf([&] { scalarValuePos(t5, "crop"); }),
            "manifest: key \"crop\" is AMBIGUOUS \xE2\x80\x94 3 scalar occurrences (byte " +
                std::to_string(t5.find("1")) + ", byte " + std::to_string(t5.find("2")) +
                ", byte " + std::to_string(t5.find("3")) + kAmbiguousTail);
}

TEST(ManifestKeys, OptionalString) {
  using le::manifest_key::optionalString;
  EXPECT_EQ(optionalString(R"({"P_hevc": "prior.mov"})", "P_hevc").value_or("-"), "prior.mov");
  EXPECT_FALSE(optionalString(R"({"P_hevc": 5, "x": "y"})", "P_hevc"));
  EXPECT_FALSE(optionalString(R"({"P_hevc": "unterminated)", "P_hevc"));
  EXPECT_FALSE(optionalString(R"({"other": "x"})", "P_hevc"));
}

// ---------------------------------------------------------------------------

class ManifestLoad : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv("TAVRIN2_MSRC_MISSING_OK"); }
  void TearDown() override { ::unsetenv("TAVRIN2_MSRC_MISSING_OK"); }
  void write(const std::string& text) { writeFile(dir / "manifest.json", text); }
  TempDir dir;
};

TEST_F(ManifestLoad, ReadsEveryField) {
  write(manifestText(7, 64, 48, 3));
  writeFile(dir / "lip_template.v1.json", "{\"lip\": 1}");
  le::Manifest m = le::loadManifest(dir.path());
  EXPECT_EQ(m.dir, dir.path());
  EXPECT_EQ(m.agent, "test");
  EXPECT_EQ(m.NT, 7);
  EXPECT_EQ(m.W, 64);
  EXPECT_EQ(m.H, 48);
  EXPECT_EQ(m.crop, 32);
  EXPECT_FLOAT_EQ(m.amount, 1.5f);
  EXPECT_FLOAT_EQ(m.sigma, 2.5f);
  EXPECT_EQ(m.ksize, 9);
  EXPECT_EQ(m.frames, 3);
  EXPECT_EQ(m.M_src_w, 64);
  EXPECT_EQ(m.M_src_h, 48);
  EXPECT_EQ(m.lipTemplate, "{\"lip\": 1}");
  le::Unsharp u = m.unsharp();
  EXPECT_FLOAT_EQ(u.amount, 1.5f);
  EXPECT_EQ(u.ksize, 9);
  EXPECT_EQ(m.modelPath("b1"), dir / "model_b1.onnx");
}

TEST_F(ManifestLoad, AliasesAndTruncation) {
  write(R"({"format": "le-bundle-v0", "agent": "a", "NT": -1e300, "frame_count": 12.9,
            "H": 48.7, "W": -0, "crop_size": 256, "amount": 1, "sigma": 2, "ksize": 13,
            "frames": 0, "paste_source_width": 640, "paste_source_height": 480,
            "meta": {"NT": 99}})");
  // W of -0 truncates to 0: refused as bad dims.
  EXPECT_EQ(loadError(dir.path()), "manifest: bad dims");
  write(R"({"format": "le-bundle-v0", "agent": "a", "NT": -1e300, "frame_count": 12.9,
            "H": 48.7, "W": 64, "crop_size": 256, "amount": 1, "sigma": 2, "ksize": 13,
            "frames": 0, "paste_source_width": 640, "paste_source_height": 480,
            "meta": {"NT": 99}})");
  le::Manifest m = le::loadManifest(dir.path());
  EXPECT_EQ(m.NT, 12);
  EXPECT_EQ(m.H, 48);
  EXPECT_EQ(m.crop, 256);
  EXPECT_EQ(m.M_src_w, 640);
  EXPECT_EQ(m.M_src_h, 480);
  EXPECT_TRUE(m.lipTemplate.empty());
}

TEST_F(ManifestLoad, Refusals) {
  const std::string ok = manifestText();
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string t = ok;
    t.replace(t.find(from), from.size(), to);
    return t;
  };
  struct Case {
    std::string text, error;
  } cases[] = {
      {replaced("\"W\": 64", "\"Wx\": 64"), "manifest: missing key W"},
      {replaced("\"NT\": 4", "\"NTx\": 4"), "manifest: missing key NT/frame_count"},
      {replaced("\"NT\": 4", "\"NT\": -1e300"), "manifest: missing key NT/frame_count"},
      {replaced("\"crop\": 32", "\"cropx\": 32"), "manifest: missing key crop/crop_size"},
      {replaced("\"le-bundle-v0\"", "\"le-bundle-v1\""), "not an le-bundle-v0: " + dir.path()},
      {replaced("\"le-bundle-v0\"", "\"le-bundle-v0 \""), "not an le-bundle-v0: " + dir.path()},
      {replaced("\"format\"", "\"formatx\""), "manifest: missing key format"},
      // A non-string value must not pick up quoted text of a later key.
      {replaced("\"agent\": \"test\"", "\"agent\": 5"), "manifest: bad string agent"},
      {replaced("\"H\": 48", "\"H\": 0"), "manifest: bad dims"},
      {replaced("\"crop\": 32", "\"crop\": -32"), "manifest: bad dims"},
      {replaced("\"NT\": 4", "\"NT\": 1e12"),
       "manifest: key NT holds 1000000000000, which does not fit an int"},
      {replaced("\"W\": 64", "\"W\": 2147483648"),
       "manifest: key W holds 2147483648, which does not fit an int"},
      {replaced("\"frames\": 3", "\"frames\": -1"), "manifest: bad frames (must be >= 0)"},
      {replaced("\"M_src_w\": 64", "\"M_src_w\": 0"),
       "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)"},
      {replaced("\"H\": 48", "\"H\": 48, \"H\": 49"), "manifest: key \"H\" is AMBIGUOUS"},
      // Sizes that would be allocated from are bounded before anything is.
      {replaced("\"W\": 64", "\"W\": 16385"), "manifest: key W holds 16385, above the limit 16384"},
      {replaced("\"H\": 48", "\"H\": 100000"),
       "manifest: key H holds 100000, above the limit 16384"},
      {replaced("\"crop\": 32", "\"crop\": 4097"),
       "manifest: key crop holds 4097, above the limit 4096"},
      {replaced("\"ksize\": 9", "\"ksize\": 33"),
       "manifest: key ksize holds 33, above the crop 32"},
      {replaced("\"ksize\": 9", "\"ksize\": -3"), "manifest: key ksize holds -3, below 1"},
  };
  for (const Case& c : cases) {
    write(c.text);
    std::string err = loadError(dir.path());
    EXPECT_EQ(err.substr(0, c.error.size()), c.error) << c.text;
  }
  // An unterminated string value.
  write("{\"format\": \"le-bundle-v0\", \"agent\": \"abc");
  EXPECT_EQ(loadError(dir.path()), "manifest: bad string agent");

  TempDir empty;
  EXPECT_EQ(loadError(empty.path()), "cannot open " + empty.path() + "/manifest.json");
}

TEST_F(ManifestLoad, PasteSpaceStampMissing) {
  std::string text = manifestText();
  text.replace(text.find(",\n  \"M_src_h\": 48"), std::string(",\n  \"M_src_h\": 48").size(), "");
  write(text);
  const std::string err = loadError(dir.path());
  const std::string head = dir.path() +
                           "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka "
                           "paste_source_width/height) \xE2\x80\x94 the canvas is 64x48, so M "
                           "cannot be placed: absence is not evidence that M was authored at "
                           "that size.";
  EXPECT_EQ(err.substr(0, head.size()), head);
  const std::string tail = "or set TAVRIN2_MSRC_MISSING_OK=1 to restore the legacy assumption.";
  ASSERT_GE(err.size(), tail.size());
  EXPECT_EQ(err.substr(err.size() - tail.size()), tail);

  for (const char* v : {"true", "11", "", "0"}) {
    ::setenv("TAVRIN2_MSRC_MISSING_OK", v, 1);
    EXPECT_EQ(loadError(dir.path()), err) << v;
  }
  ::setenv("TAVRIN2_MSRC_MISSING_OK", "1", 1);
  testing::internal::CaptureStderr();
  le::Manifest m = le::loadManifest(dir.path());
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(m.M_src_w, 64);
  EXPECT_EQ(m.M_src_h, 48);
  const std::string line = "[le] WARNING TAVRIN2_MSRC_MISSING_OK=1: " + dir.path() +
                           "/manifest.json carries no paste-space stamp; ASSUMING M was "
                           "authored on this 64x48 canvas. If it was not, the face pastes "
                           "off-target";
  EXPECT_EQ(log.substr(0, line.size()), line);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
  EXPECT_EQ(log.back(), '\n');
}

// ---------------------------------------------------------------------------

TEST(MemberNames, OlderNameFirstThenNewer) {
  TempDir d;
  EXPECT_EQ(le::resolveMember(d.path(), "P.f16"), d / "P.f16");
  writeFile(d / "source_frames.f16", "x");
  EXPECT_EQ(le::resolveMember(d.path(), "P.f16"), d / "source_frames.f16");
  writeFile(d / "P.f16", "x");
  EXPECT_EQ(le::resolveMember(d.path(), "P.f16"), d / "P.f16");

  writeFile(d / "idle_loop/source_index.i32", "x");
  EXPECT_EQ(le::resolveMember(d.path(), "drive/si.i32"), d / "idle_loop/source_index.i32");
  writeFile(d / "idle_loop/driven_keypoints.f32", "x");
  EXPECT_EQ(le::resolveMember(d.path(), "drive/xd.f32"), d / "idle_loop/driven_keypoints.f32");
  writeFile(d / "idle_loop/extra", "x");
  EXPECT_EQ(le::resolveMember(d.path(), "drive/extra"), d / "idle_loop/extra");
  writeFile(d / "idle_loop/si.a.b", "x");
  EXPECT_EQ(le::resolveMember(d.path(), "drive/si.a.b"), d / "drive/si.a.b");  // stem "si" renamed
  writeFile(d / "idle_loop/source_index.a.b", "x");
  EXPECT_EQ(le::resolveMember(d.path(), "drive/si.a.b"), d / "idle_loop/source_index.a.b");

  writeFile(d / "render_model.batch4.onnx", "x");
  writeFile(d / "render_model.batch4.int8.onnx", "x");
  writeFile(d / "render_model.batch16.a_b.onnx", "x");
  EXPECT_EQ(le::resolveMember(d.path(), "model_b4.onnx"), d / "render_model.batch4.onnx");
  EXPECT_EQ(le::resolveMember(d.path(), "model_b4_int8.onnx"), d / "render_model.batch4.int8.onnx");
  EXPECT_EQ(le::resolveMember(d.path(), "model_b16_a_b.onnx"), d / "render_model.batch16.a_b.onnx");
  // Twelve bytes is too short for the batch rule.
  writeFile(d / "render_model.batch.onnx", "x");
  EXPECT_EQ(le::resolveMember(d.path(), "model_b.onnx"), d / "model_b.onnx");

  for (auto [older, newer] : std::initializer_list<std::pair<const char*, const char*>>{
           {"P_hevc.mov", "source_frames.hevc"},
           {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
           {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
           {"M.f32", "paste_transform.f32"},
           {"mask_512.u8", "paste_mask.u8"},
           {"pooled64.f16", "pooled_features.f16"},
           {"fs_red.f16", "feature_synth.f16"},
           {"xs_target.bin", "target_keypoints.bin"}}) {
    EXPECT_EQ(le::resolveMember(d.path(), older), d / older);
    writeFile(d / newer, "x");
    EXPECT_EQ(le::resolveMember(d.path(), older), d / newer);
  }
  EXPECT_EQ(le::resolveMember(d.path(), "other.bin"), d / "other.bin");
}

// ---------------------------------------------------------------------------

TEST(DriveTables, LoadsAndChecks) {
  TempDir d;
  le_test::writeSpineBundle(d.path(), 4, 3);
  le::Manifest m = le::loadManifest(d.path());
  le::Drive drive = le::loadDrive(m);
  ASSERT_EQ(drive.frames, 3);
  ASSERT_EQ(drive.xs.size(), 3u * 63);
  ASSERT_EQ(drive.xd.size(), 3u * 63);
  EXPECT_FLOAT_EQ(drive.xs[5], 1.25f);
  EXPECT_FLOAT_EQ(drive.xd[100], -100.f);
  EXPECT_EQ(drive.si, (std::vector<int32_t>{0, 1, 2}));

  // One float too many.
  std::vector<float> longer(3 * 63 + 1, 0.f);
  writeVector(d / "drive/xd.f32", longer);
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "size mismatch " + d / "drive/xd.f32");
  longer.resize(3 * 63 - 1);
  writeVector(d / "drive/xd.f32", longer);
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "size mismatch " + d / "drive/xd.f32");
  longer.resize(3 * 63);
  writeVector(d / "drive/xd.f32", longer);

  // A frame count far beyond the members is refused before it is allocated.
  TempDir hostile;
  le_test::writeSpineBundle(hostile.path(), 4, 3);
  le_test::writeFile(hostile / "manifest.json", le_test::manifestText(4, 64, 48, 2000000000));
  EXPECT_EQ(errorOf([&] { le::loadDrive(le::loadManifest(hostile.path())); }),
            "size mismatch " + hostile / "drive/xs.f32");

  for (int32_t bad : {-1, 4}) {
    writeVector(d / "drive/si.i32", std::vector<int32_t>{0, bad, 1});
    EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "drive: si out of range");
  }
  // Newer names are found when the older ones are absent.
  le_test::removeAll(d / "drive");
  EXPECT_EQ(errorOf([&] { le::loadDrive(m); }), "cannot open " + d / "drive/xs.f32");
  writeVector(d / "idle_loop/source_keypoints.f32", std::vector<float>(3 * 63, 1.f));
  writeVector(d / "idle_loop/driven_keypoints.f32", std::vector<float>(3 * 63, 2.f));
  writeVector(d / "idle_loop/source_index.i32", std::vector<int32_t>{3, 2, 1});
  drive = le::loadDrive(m);
  EXPECT_EQ(drive.si, (std::vector<int32_t>{3, 2, 1}));
  EXPECT_FLOAT_EQ(drive.xd[0], 2.f);
}

TEST(Readers, ExactSizes) {
  TempDir d;
  writeVector(d / "a.u16", std::vector<uint16_t>{1, 2, 3});
  EXPECT_EQ(le::readRaw<uint16_t>(d / "a.u16", 3), (std::vector<uint16_t>{1, 2, 3}));
  EXPECT_EQ(errorOf([&] { le::readRaw<uint16_t>(d / "a.u16", 2); }),
            "size mismatch " + d / "a.u16");
  EXPECT_EQ(errorOf([&] { le::readRaw<uint16_t>(d / "a.u16", 4); }),
            "size mismatch " + d / "a.u16");
  // A count whose byte size overflows is refused before anything is allocated.
  EXPECT_NE(errorOf([&] { le::readRaw<float>(d / "a.u16", ~0ull / 2); }).find("overflows"),
            std::string::npos);
  EXPECT_EQ(errorOf([&] { le::readRaw<float>(d / "none", 1); }), "cannot open " + d / "none");

  le::MappedFile map(d / "a.u16", 6);
  ASSERT_EQ(map.size(), 6u);
  EXPECT_EQ(map.as<uint16_t>()[2], 3);
  le::MappedFile moved = std::move(map);
  EXPECT_EQ(map.data(), nullptr);
  EXPECT_EQ(moved.as<uint16_t>()[0], 1);
  EXPECT_EQ(errorOf([&] { le::MappedFile(d / "a.u16", 8); }), "size mismatch " + d / "a.u16");
  EXPECT_EQ(errorOf([&] { le::MappedFile(d / "none", 8); }), "cannot open " + d / "none");
  writeFile(d / "empty", "");
  EXPECT_EQ(le::MappedFile(d / "empty", 0).size(), 0u);

  EXPECT_EQ(le::readText(d / "a.u16").size(), 6u);
  EXPECT_EQ(errorOf([&] { le::readText(d / "none"); }), "cannot open " + d / "none");
  EXPECT_EQ(le::checkedBytes({3, 4, 5}, "x"), 60u);
  EXPECT_EQ(errorOf([&] {
              le::checkedBytes({1ull << 40, 1ull << 30}, "P.f16");
            }),
            "byte count of P.f16 overflows 64 bits");
}

}  // namespace
