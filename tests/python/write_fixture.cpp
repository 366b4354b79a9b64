// Writes the Python binding tests' fixtures with the same helpers as the
// session tests: DIR/bundle (5 source frames, 64x48, crop 64, JPEG driver),
// DIR/motion (a2x motion directory), DIR/motion_fails (the same with a decoder
// that fails on voiced frames) and DIR/w2v/w2v.onnx (the legacy audio
// frontend, alone in its folder so no window pair is picked up beside it).
#include <cstdio>
#include <string>

#include "audio/audio_fixtures.h"
#include "support/test_util.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const int nt = 5;
  le_test::writeBundle(dir + "/bundle", nt, 3);
  le_test::copyFile(std::string(LE_TEST_MODELS) + "/model_b24_fp32.onnx",
                    dir + "/bundle/model_b24_fp32.onnx");
  le_audio_test::Meta meta;
  meta.NT = nt;
  le_audio_test::writeMotionDir(dir + "/motion", meta);
  meta.decoder = "a2x_dec_fails_voiced.onnx";
  le_audio_test::writeMotionDir(dir + "/motion_fails", meta);
  le_test::makeDirs(dir + "/w2v");
  le_audio_test::link(le_audio_test::model("w2v.onnx"), dir + "/w2v/w2v.onnx");
  return 0;
}
