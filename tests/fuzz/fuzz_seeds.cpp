// Writes the seed corpora of the fuzz targets: OUT/<target>/<name>, valid
// inputs of every kind made by the test suite's own helpers. The ONNX
// models and head checkpoints come from the project's generator scripts,
// which scripts/fuzz runs beside this.
extern "C" {
#include <libavutil/log.h>
}

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "audio/audio_fixtures.h"
#include "support/test_util.h"
#include "support/test_video.h"
#include "tessera/tessera_fixtures.h"

namespace {

std::string g_out;

void seed(const std::string& target, const std::string& name, const std::string& bytes) {
  le_test::makeDirs(g_out + "/" + target);
  le_test::writeFile(g_out + "/" + target + "/" + name, bytes);
}

void put(std::string& s, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s += char((v >> (8 * i)) & 0xff);
}

// An IMX v2 container: header, table of contents, payloads in order.
std::string imx(const std::vector<std::pair<std::string, std::string>>& members) {
  uint64_t off = 8;
  for (const auto& m : members) off += 2 + m.first.size() + 16;
  std::string out("IMX\0", 4), payload;
  put(out, 2, 2);
  put(out, members.size(), 2);
  for (const auto& m : members) {
    put(out, m.first.size(), 2);
    out += m.first;
    put(out, off, 8);
    put(out, m.second.size(), 8);
    off += m.second.size();
    payload += m.second;
  }
  return out + payload;
}

std::string track(int frames, const std::string& pixfmt, const std::string& file) {
  le_test::TempDir tmp;
  le_test::VideoSpec v;
  v.width = 20;
  v.height = 12;
  v.frames = frames;
  v.pixfmt = pixfmt;
  const std::string path = tmp.path() + "/" + file;
  const std::string err = le_test::encodeVideo(path, v, [](int t, uint8_t* rgb) {
    for (int i = 0; i < 20 * 12 * 3; ++i) rgb[i] = uint8_t(40 + 60 * t + 7 * (i % 3));
  });
  if (!err.empty()) throw std::runtime_error("bank track: " + err);
  return le_test::readFile(path);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds OUTDIR\n");
    return 2;
  }
  g_out = argv[1];
  av_log_set_level(AV_LOG_ERROR);  // the encoder's statistics are noise here
  try {
    const std::string manifest = le_test::manifestText();
    seed("fuzz_manifest", "plain.json", manifest);
    seed("fuzz_manifest", "aliased.json",
         "{\"format\": \"le-bundle-v0\", \"agent\": \"a\", \"frame_count\": 4, \"H\": 48, "
         "\"W\": 64, \"crop_size\": 32, \"amount\": 1, \"sigma\": 2, \"ksize\": 5, \"frames\": 3, "
         "\"paste_source_width\": 64, \"paste_source_height\": 48, \"P_hevc\": \"P.mov\"}");
    seed("fuzz_manifest", "tessera.json",
         le_test::manifestText(
             4, 64, 48, 3,
             ",\n  \"tessera\": {\"geometry\": " + tessera_test::geometryText() + "}"));

    const std::string rows(3 * 63 * 4, '\0');
    seed("fuzz_imx", "bundle.imx",
         imx({{"manifest.json", manifest}, {"drive/xs.f32", rows}, {"drive/si.i32", "abcd"}}));
    seed("fuzz_imx", "synthetic.imx",
         imx({{"manifest.json", "{\"_imx_synthetic_manifest\": true}"}, {"M.f32", "12345678"}}));

    seed("fuzz_tessera_json", "sidecar.json", tessera_test::sidecarText());
    seed("fuzz_tessera_json", "geometry.json", tessera_test::geometryText());
    seed("fuzz_tessera_json", "head.json", tessera_test::headConfigText());

    seed("fuzz_bankdec", "yuv444.mp4", track(3, "yuv444p", "t.mp4"));
    // The avatar input: the first byte names the file (0 PNG, 1 JPEG, 2 MP4).
    {
      le_test::TempDir tmp;
      std::vector<uint8_t> rgb(64 * 48 * 3);
      for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 7);
      le_test::writeJpg(tmp.path() + "/p.jpg", rgb.data(), 64, 48, 90);
      seed("fuzz_avatar_input", "picture.jpg", "\x01" + le_test::readFile(tmp.path() + "/p.jpg"));
      seed("fuzz_avatar_input", "video.mp4", "\x02" + track(30, "yuv420p", "v.mp4"));
    }
    seed("fuzz_bankdec", "yuv420.mp4", track(3, "yuv420p", "t.mp4"));

    for (const bool width : {false, true}) {
      le_test::TempDir dir;
      le_audio_test::Meta meta;
      meta.width = width;
      meta.prime = width ? 2 : 0;
      le_audio_test::writeMotionDir(dir.path(), meta);
      seed("fuzz_a2x_meta", width ? "width.json" : "plain.json",
           le_test::readFile(dir.path() + "/a2x_meta.json"));
    }

    // The first byte is the canvas side less 16.
    const std::string lip =
        "{\"format\": \"lip-template-v1\", \"canvas\": 96, \"feather_px\": 3, "
        "\"u_canon\": [[-1,-1],[1,-1],[1,1],[-1,1]], \"lip_idx\": [13, 14, 15, 16, 17, 18, 19, "
        "20]}";
    seed("fuzz_lip_template", "square.json", std::string(1, char(96 - 16)) + lip);
    const std::string pi =
        "{\"format\": \"le-bundle-v0\", \"unified\": {\"pi\": {\"mode\": \"prop\", "
        "\"corner_recovery\": true, \"prop_gate_scale\": 1.3, \"lip_idx\": [13, 14, 15, 16, 17, "
        "18, 19, 20], \"lip_geom_params\": [0.1, 0.08, 0.074]}}}";
    seed("fuzz_pi_block", "prop.json", std::string(1, char(96 - 16)) + pi);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz_seeds: %s\n", e.what());
    return 1;
  }
  return 0;
}
