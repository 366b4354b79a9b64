#include "audio/le_fca.h"

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/le_frontend.h"
#include "base/le_ort.h"
#include "compute/le_pool.h"
#include "le/le.h"

namespace le {
namespace {

constexpr int64_t kFrame = kA2xFrameSamples;
constexpr int64_t kWidth = 768;
constexpr int64_t kCond = 7 * kWidth;
constexpr int64_t kHidden = 384;
constexpr int64_t kKp = kKpFloats;
constexpr int64_t kHop = 100;
constexpr int64_t kWarmup = 7;

}  // namespace

void fcaRemoveBaseline(std::vector<float>& rows, int64_t frames, int64_t width) {
  std::vector<double> sorted;
  sorted.reserve(size_t(frames));
  std::vector<double> sum(static_cast<size_t>(width), 0.0);
  std::vector<float> mean(static_cast<size_t>(width));
  int64_t count = 0;
  for (int64_t t = 0; t < frames; ++t) {
    float* row = rows.data() + t * width;
    double sq = 0;
    for (int64_t c = 0; c < width; ++c) sq += double(row[c]) * double(row[c]);
    const double e = std::sqrt(sq);
    sorted.insert(std::upper_bound(sorted.begin(), sorted.end(), e), e);
    bool joins;
    if (t < kWarmup) {
      joins = e > 0;
    } else {
      const double p = 0.2 * double(t);
      const size_t lo = size_t(std::floor(p)), hi = size_t(std::ceil(p));
      const double q = sorted[lo] + (sorted[hi] - sorted[lo]) * (p - std::floor(p));
      joins = e > q;
    }
    if (joins) {
      for (int64_t c = 0; c < width; ++c) sum[size_t(c)] += row[c];
      ++count;
    }
    const double n = double(std::max<int64_t>(count, 1));
    for (int64_t c = 0; c < width; ++c) mean[size_t(c)] = float(sum[size_t(c)] / n);
    for (int64_t c = 0; c < width; ++c) row[c] -= mean[size_t(c)];
  }
}

}  // namespace le

using le::kCond;
using le::kFrame;
using le::kHidden;
using le::kHop;
using le::kKp;
using le::kWidth;

struct le_fca {
  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "le_fca"};
  Ort::SessionOptions options;
  Ort::Session audio{nullptr};
  Ort::Session cond{nullptr};
  Ort::MemoryInfo memory{nullptr};
  Ort::RunOptions runOptions{nullptr};

  le_fca(const char* audioPath, const char* condPath, int threads) {
    options = le::ort::sessionOptions(threads < 1 ? le::pool::threads() : threads,
                                      le::ort::Spin::Default);
    audio = Ort::Session(env, audioPath, options);
    cond = Ort::Session(env, condPath, options);
    memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  }

  Ort::Value tensor(float* data, size_t n, std::initializer_list<int64_t> shape) {
    return Ort::Value::CreateTensor<float>(memory, data, n, shape.begin(), shape.size());
  }

  // One 768-value row per frame: the mean of layers 4 to 9, each frame from
  // the first 8-second window that produces it.
  std::vector<float> features(const float* samples, int64_t count, int64_t T) {
    std::vector<float> rows(size_t(T * kWidth), 0.f);
    std::vector<float> win(le::kA2xLegacySamples);
    std::vector<float> emb(size_t(12 * le::kA2xLegacyFrames * kWidth));
    int64_t taken = 0;
    for (int64_t s = 0; s < T; s += kHop) {
      std::fill(win.begin(), win.end(), 0.f);
      const int64_t n = std::clamp<int64_t>(count - s * kFrame, 0, le::kA2xLegacySamples);
      std::copy_n(samples + s * kFrame, n, win.data());
      le::normalizeAudioWindow(win.data(), win.size());
      Ort::Value in = tensor(win.data(), win.size(), {1, le::kA2xLegacySamples});
      Ort::Value out = tensor(emb.data(), emb.size(), {12, le::kA2xLegacyFrames, kWidth});
      const char* inName = "input_values";
      const char* outName = "audio_emb";
      audio.Run(runOptions, &inName, &in, 1, &outName, &out, 1);
      for (int64_t j = s == 0 ? 0 : 50; j < le::kA2xLegacyFrames && s + j < T; ++j) {
        if (s + j < taken) continue;
        float* row = rows.data() + (s + j) * kWidth;
        for (int l = le::kFcaFirstLayer; l <= le::kFcaLastLayer; ++l) {
          const float* src = emb.data() + (int64_t(l) * le::kA2xLegacyFrames + j) * kWidth;
          for (int64_t c = 0; c < kWidth; ++c) row[c] += src[c];
        }
        const float layers = float(le::kFcaLastLayer - le::kFcaFirstLayer + 1);
        for (int64_t c = 0; c < kWidth; ++c) row[c] /= layers;
      }
      taken = std::min(T, s + le::kA2xLegacyFrames);
    }
    return rows;
  }

  int64_t deltas(const float* samples, int64_t count, float* out) {
    const int64_t T = (count + kFrame - 1) / kFrame;
    std::vector<float> rows = features(samples, count, T);
    le::fcaRemoveBaseline(rows, T, kWidth);

    std::vector<float> c(kCond), prev(kKp, 0.f), h(kHidden, 0.f), m(kKp), hn(kHidden);
    const char* inNames[3] = {"cond", "prev", "h"};
    const char* outNames[2] = {"m", "hn"};
    for (int64_t t = 0; t < T; ++t) {
      for (int k = 0; k < 7; ++k) {
        const int64_t f = std::clamp<int64_t>(t + le::kFcaOffsets[k], 0, T - 1);
        std::copy_n(rows.data() + f * kWidth, kWidth, c.data() + k * kWidth);
      }
      Ort::Value in[3] = {tensor(c.data(), c.size(), {1, kCond}),
                          tensor(prev.data(), prev.size(), {1, kKp}),
                          tensor(h.data(), h.size(), {1, 1, kHidden})};
      Ort::Value o[2] = {tensor(m.data(), m.size(), {1, kKp}),
                         tensor(hn.data(), hn.size(), {1, 1, kHidden})};
      cond.Run(runOptions, inNames, in, 3, outNames, o, 2);
      std::copy_n(m.data(), kKp, out + t * kKp);
      prev.swap(m);
      h.swap(hn);
    }
    return T;
  }
};

namespace le {

std::string& fcaError() {
  thread_local std::string error;
  return error;
}

namespace fca {

le_fca* create(const char* audioModel, const char* condModel, int threads) {
  return new le_fca(audioModel, condModel, threads);
}

void destroy(le_fca* c) {
  delete c;
}

int deltas(le_fca& c, const float* samples, int count, float* out) {
  return int(c.deltas(samples, count, out));
}

}  // namespace fca
}  // namespace le
