// The voice-activity detector on the real network, with speech from espeak-ng.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "audio/audio_fixtures.h"
#include "le/le.h"

namespace {

constexpr size_t kChunk = LE_VAD_CHUNK_SAMPLES;

// A sentence from espeak-ng (16-bit mono WAV), linearly resampled to 16 kHz.
std::vector<float> speech() {
  FILE* p = popen("espeak-ng --stdout 'The quick brown fox jumps over the lazy dog.'", "r");
  std::vector<unsigned char> b;
  for (int c; p && (c = std::fgetc(p)) != EOF;) b.push_back(static_cast<unsigned char>(c));
  if (p) pclose(p);
  if (b.size() < 44 || std::string(b.begin() + 36, b.begin() + 40) != "data") return {};
  const double rate = b[24] | b[25] << 8 | b[26] << 16;
  std::vector<float> in, out;
  for (size_t i = 44; i + 1 < b.size(); i += 2)
    in.push_back(int16_t(b[i] | b[i + 1] << 8) / 32768.f);
  for (double t = 0; t + 1 < in.size(); t += rate / 16000) {
    const size_t i = size_t(t);
    out.push_back(float(in[i] + (in[i + 1] - in[i]) * (t - double(i))));
  }
  return out;
}

}  // namespace

TEST(Vad, SpeechScoresHighSilenceLowAndRefusalsLeaveTheStreamAlone) {
  le_vad* vad = le_vad_open(LE_VAD_MODEL);
  ASSERT_NE(vad, nullptr) << le_last_error() << " (scripts/setup installs the model)";
  std::vector<float> audio(16000, 0.f), voice = speech();
  ASSERT_GT(voice.size(), 16000u) << "espeak-ng gave no speech";
  audio.insert(audio.end(), voice.begin(), voice.end());
  audio.resize(audio.size() + 16000, 0.f);
  const size_t chunks = audio.size() / kChunk, speechEnd = (16000 + voice.size()) / kChunk;
  std::vector<float> first;
  for (size_t c = 0; c < chunks; ++c)
    first.push_back(le_vad_chance(vad, &audio[c * kChunk], kChunk));
  size_t voiced = 0, high = 0;
  for (size_t c = 0; c < chunks; ++c) {
    double energy = 0;
    for (size_t i = 0; i < kChunk; ++i) energy += audio[c * kChunk + i] * audio[c * kChunk + i];
    if (c < 16000 / kChunk || c > speechEnd + 10) {
      EXPECT_LT(first[c], 0.1f) << "silent chunk " << c;
    }
    if (std::sqrt(energy / kChunk) > 0.05) ++voiced, high += first[c] > 0.9f;
  }
  EXPECT_GT(voiced, 20u);
  EXPECT_GE(high, voiced * 9 / 10) << high << " of " << voiced << " voiced chunks scored above 0.9";

  // A new stream repeats the first exactly, refused calls in between changing nothing.
  le_vad_reset(vad);
  std::vector<float> nan(kChunk, std::numeric_limits<float>::quiet_NaN());
  for (size_t c = 0; c < chunks; ++c) {
    if (c % 7 == 3) {
      EXPECT_EQ(le_vad_chance(vad, &audio[c * kChunk], kChunk - 1), -1.f);
      EXPECT_NE(std::string(le_last_error()).find("511 samples"), std::string::npos)
          << le_last_error();
      EXPECT_EQ(le_vad_chance(vad, nan.data(), kChunk), -1.f);
      EXPECT_NE(std::string(le_last_error()).find("not finite"), std::string::npos)
          << le_last_error();
    }
    ASSERT_EQ(le_vad_chance(vad, &audio[c * kChunk], kChunk), first[c]) << "chunk " << c;
  }
  le_vad_close(vad);
}

TEST(Vad, RefusesFilesThatAreNotTheNetworkNamingThem) {
  le_test::TempDir dir;
  std::ifstream in(LE_VAD_MODEL, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  const std::string cut = dir / "truncated.onnx";
  std::ofstream(cut, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size() / 2));
  const std::string other = le_audio_test::model("fca_stream.onnx");
  for (const std::string& path : {cut, other, dir / "absent.onnx"}) {
    EXPECT_EQ(le_vad_open(path.c_str()), nullptr) << path;
    const std::string error = le_last_error();
    EXPECT_NE(error.find(path), std::string::npos) << error;
    if (path == other) {
      EXPECT_NE(error.find("not the Silero VAD v5 network"), std::string::npos) << error;
    }
  }
}
