// Motion directories and speech-like clips for the audio tests; the generated
// models are described in tools/gen_audio_models.py.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace le_audio_test {

constexpr int kH = 32;  // context width of the generated encoder and decoder
constexpr int kFrame = 640;
constexpr int kKp = 63;

inline std::string model(const std::string& name) {
  return std::string(LE_TEST_AUDIO_MODELS) + "/" + name;
}

inline void link(const std::string& target, const std::string& at) {
  ::unlink(at.c_str());
  if (::symlink(target.c_str(), at.c_str()) != 0) std::perror(at.c_str());
}

// Alternating silence and vowel (harmonics of 140 Hz under two formants), in
// whole frames, on 16-bit PCM levels: clip({silent, voiced, silent, ...}).
inline std::vector<float> clip(std::initializer_list<int> frames) {
  std::vector<float> audio;
  bool voiced = false;
  for (int n : frames) {
    for (int i = 0; i < n * kFrame; ++i) {
      double v = 0;
      for (int k = 1; voiced && k <= 14; ++k) {
        const double f = 140.0 * k;
        v += (std::exp(-std::pow((f - 700) / 250, 2)) +
              0.6 * std::exp(-std::pow((f - 1200) / 300, 2)) + 0.05) *
             std::sin(2 * M_PI * f * i / 16000.0 + 0.7 * k);
      }
      const double ramp = std::min(1.0, std::min(i, n * kFrame - 1 - i) / 80.0);
      audio.push_back(float(std::lround(0.15 * ramp * v * 32767) / 32768.0));
    }
    voiced = !voiced;
  }
  return audio;
}

struct Meta {
  int window = 2, left = 3, layers = 1, width = 0, prime = 0;
  int right = -1;  // "w2v_right", written unless -1
  bool wnEncoder = false;
  int P = 256;  // positional rows
  int NT = 5;
  const char* decoder = "a2x_dec.onnx";  // a2x_dec_fails_voiced.onnx fails on voiced frames
};

// Positional channel 1 of row r is r / 1024 (exact); the encoder's width
// output shows it in silence.
inline float meanOf(int c) {
  return 0.001f * float(c % 7 - 3);
}
inline float scaleOf(int c) {
  return 0.05f + 0.0005f * float(c);
}
inline float targetOf(int r, int c) {
  return float(r) + 0.01f * float(c);
}

inline void writeMotionDir(const std::string& dir, const Meta& m) {
  le_test::writeFile(dir + "/a2x_meta.json",
                     "{\"h\": " + std::to_string(kH) + ", \"window\": " + std::to_string(m.window) +
                         ", \"left\": " + std::to_string(m.left) + ", \"layers\": " +
                         std::to_string(m.layers) + ", \"width\": " + (m.width ? "true" : "false") +
                         ", \"silence_prime\": " + std::to_string(m.prime) +
                         (m.right != -1 ? ", \"w2v_right\": " + std::to_string(m.right) : "") +
                         "}\n");
  std::vector<float> pos(size_t(m.P) * kH), norm, target;
  for (int r = 0; r < m.P; ++r)
    for (int c = 0; c < kH; ++c)
      pos[size_t(r * kH + c)] = c == 1 ? float(r) / 1024.f : 0.1f * float(std::sin(0.37 * r + c));
  for (int c = 0; c < 2 * kKp; ++c) norm.push_back(c < kKp ? meanOf(c) : scaleOf(c - kKp));
  for (int i = 0; i < m.NT * kKp; ++i) target.push_back(targetOf(i / kKp, i % kKp));
  le_test::writeVector(dir + "/a2x_pos.f32", pos);
  le_test::writeVector(dir + "/a2x_norm.f32", norm);
  le_test::writeVector(dir + "/xs_target.bin", target);
  link(model(m.wnEncoder ? "a2x_enc_stream_wn.onnx" : "a2x_enc_stream.onnx"),
       dir + "/a2x_enc_stream.onnx");
  link(model(m.decoder), dir + "/a2x_dec.onnx");
}

}  // namespace le_audio_test
