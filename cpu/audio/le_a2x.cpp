#include "audio/le_a2x.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/le_env.h"
#include "base/le_guard.h"
#include "base/le_log.h"
#include "base/le_ort.h"
#include "bundle/le_bundle.h"
#include "bundle/le_imx.h"
#include "compute/le_pool.h"

namespace le {
namespace {

constexpr int64_t kFrame = kA2xFrameSamples;
// Live, the frontends run once per block of frames, one head input each.
constexpr int64_t kBlockFrames = kHeadFrames;
constexpr int64_t kBlockSamples = kBlockFrames * kFrame;
constexpr int64_t kKp = kKpFloats;
constexpr int64_t kStreamChunk = 64;
constexpr int64_t kBatchChunk = 24;
constexpr int64_t kPrimeMax = 200;

int64_t ceilFrames(int64_t samples) {
  return (samples + kFrame - 1) / kFrame;
}

// Positional row of absolute frame f: beyond the table it cycles through the
// table's second half.
int64_t posRow(int64_t f, int64_t rows) {
  if (f < rows) return f;
  const int64_t half = rows / 2;
  return half + (f - rows) % (rows - half);
}

}  // namespace
}  // namespace le

// ---------------------------------------------------------------------------
// The stream.

using le::kA2xLegacyFrames;
using le::kA2xLegacySamples;
using le::kA2xRowValues;
using le::kBatchChunk;
using le::kBlockFrames;
using le::kBlockSamples;
using le::kFrame;
using le::kKp;
using le::kLegacyHop;
using le::kPrimeMax;
using le::kStreamChunk;

struct le_a2x {
  // Runtime environment, options shared by encoder and decoder, and the memory
  // description of every input tensor.
  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "le_a2x"};
  Ort::SessionOptions options;
  Ort::MemoryInfo memory{nullptr};
  Ort::RunOptions runOptions{nullptr};
  Ort::Session* legacyFrontend = nullptr;          // shared, not owned
  le::ShortWindowFrontend* shortWindow = nullptr;  // shared; null when the legacy one serves
  Ort::Session encoder{nullptr};
  Ort::Session decoder{nullptr};

  // The bundle's model.
  int64_t hiddenSize = 256;                     // values of a context row and of the decoder state
  int64_t layerAhead = 0, layerBehind = 0;      // frames one encoder layer sees ahead, behind
  int64_t contextAhead = 0, contextBehind = 0;  // the same through all layers
  std::vector<float> positions;                 // positionRows rows of hiddenSize
  int64_t positionRows = 0;
  std::vector<float> deltaMean, deltaScale;  // the decoder's output normalisation
  std::vector<float> corpus;                 // corpusFrames keypoint rows
  int64_t corpusFrames = 0;
  std::string contextOutput, widthOutput;  // the encoder's output names
  bool hasWidth = false;                   // the encoder has the width output
  // Frames of audio a frontend window reaches past its last row, and frames
  // of audio a row waits for before it is produced.
  int64_t rightContext = 12, rowLag = 12;

  // The pushed audio and the corpus walk.
  std::vector<float> audio;
  bool finished = false;
  int64_t pulled = 0;
  int64_t walkStart = 0;
  int direction = 1;
  bool loop = true;
  int eager = -1;

  std::vector<float> features;  // kA2xRowValues per frame; rows not produced yet are zero
  int64_t nextWindow = 0;       // first frame of the frontend's next window
  int64_t featureRows = 0;      // feature rows produced

  std::vector<float> contexts, widths;  // encoder output per encoded frame
  int64_t encoded = 0;
  std::vector<float> deltas, decoderPrev, decoderHidden;
  int64_t decoded = 0;
  std::string failure;  // the latest failed extension, for the engine's own callers
  std::vector<float> primedPrev, primedHidden;  // decoder state after silence; empty if unprimed
  std::vector<float> batchWidths;               // widths of the last le_a2x_deltas clip

  // Scratch reused by every call.
  std::vector<float> audioWindow, encoderPositions, encoderMask, encodedContext, encodedWidth,
      stepPrev, stepHidden, headIn, headOut, legacyOut;
  int64_t runs = 0;
  double runSeconds = 0, frontendSeconds = 0;

  void timed(const Ort::Session& s, std::chrono::steady_clock::time_point t0) {
    const double dt = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    runSeconds += dt;
    if (&s != &encoder && &s != &decoder) frontendSeconds += dt;
    ++runs;
  }
  void run(Ort::Session& s, const char* const* inNames, const Ort::Value* in, size_t nIn,
           const char* const* outNames, Ort::Value* out, size_t nOut) {
    const auto t0 = std::chrono::steady_clock::now();
    s.Run(runOptions, inNames, in, nIn, outNames, out, nOut);
    timed(s, t0);
  }
  std::vector<Ort::Value> run(Ort::Session& s, const char* const* inNames, const Ort::Value* in,
                              size_t nIn, const char* const* outNames, size_t nOut) {
    const auto t0 = std::chrono::steady_clock::now();
    auto out = s.Run(runOptions, inNames, in, nIn, outNames, nOut);
    timed(s, t0);
    return out;
  }
  Ort::Value tensor(float* data, size_t n, std::initializer_list<int64_t> shape) {
    return Ort::Value::CreateTensor<float>(memory, data, n, shape.begin(), shape.size());
  }

  // --- frame bookkeeping ---------------------------------------------------
  int64_t pushed() const { return int64_t(audio.size()); }
  // Samples the frontends may use: live, whole blocks, a block counting once
  // its last frame has a sample.
  int64_t usable() const {
    const int64_t n = pushed();
    if (finished) return n;
    const int64_t blocks = (n + kFrame - 1) / kBlockSamples * kBlockSamples;
    return std::min(n, blocks);
  }
  int64_t frames() const { return le::ceilFrames(usable()); }
  int64_t ready() const {
    const int64_t total = frames();
    return finished ? total : std::max<int64_t>(0, total - std::max(contextAhead, rowLag));
  }

  int corpusIndex(int64_t p) const {
    if (corpusFrames < 2) return 0;
    const int64_t n = corpusFrames;
    const int64_t g = walkStart + direction * p;
    if (loop) return int(((g % n) + n) % n);
    const int64_t period = 2 * (n - 1);
    const int64_t q = ((g % period) + period) % period;
    return int(q <= n - 1 ? q : period - q);
  }

  void ensureFeatureRows(int64_t rows) {
    if (int64_t(features.size()) < rows * kA2xRowValues)
      features.resize(size_t(rows * kA2xRowValues), 0.f);
  }

  // --- frontends -------------------------------------------------------------
  const float* runLegacy(int64_t firstSample, int64_t availSamples) {
    audioWindow.assign(kA2xLegacySamples, 0.f);
    const int64_t n = std::clamp<int64_t>(availSamples - firstSample, 0, kA2xLegacySamples);
    if (n > 0) std::copy_n(audio.data() + firstSample, n, audioWindow.data());
    le::normalizeAudioWindow(audioWindow.data(), audioWindow.size());
    legacyOut.resize(size_t(12 * kA2xLegacyFrames * 768));
    Ort::Value in = tensor(audioWindow.data(), audioWindow.size(), {1, kA2xLegacySamples});
    Ort::Value out = tensor(legacyOut.data(), legacyOut.size(), {12, kA2xLegacyFrames, 768});
    const char* inName = "input_values";
    const char* outName = "audio_emb";
    run(*legacyFrontend, &inName, &in, 1, &outName, &out, 1);
    return legacyOut.data();
  }

  // Legacy rows up to `rows`: 8-second windows every 100 frames; live, a
  // window keeps only rows with rowLag frames of audio behind them and is run
  // again later.
  void produceLegacy(int64_t rows) {
    ensureFeatureRows(rows);
    const int64_t avail = usable(), total = frames();
    while (featureRows < rows) {
      const int64_t first = nextWindow;
      const float* emb = runLegacy(first * kFrame, avail);
      const int64_t valid =
          finished ? first + kA2xLegacyFrames
                   : std::min(first + kA2xLegacyFrames, std::max<int64_t>(0, total - rowLag));
      ensureFeatureRows(std::min(valid, first + kA2xLegacyFrames));
      for (int64_t j = first == 0 ? 0 : 50; j < kA2xLegacyFrames; ++j) {
        const int64_t f = first + j;
        if (f < featureRows) continue;
        if (f >= valid) break;
        le::legacyRow(emb, j, features.data() + f * kA2xRowValues);
      }
      featureRows = std::max(featureRows, std::min(valid, first + kA2xLegacyFrames));
      if (!finished && valid <= first + kA2xLegacyFrames - 1) break;
      nextWindow = first + kLegacyHop;
    }
  }

  // Short-window rows up to `rows`: one 2-second trunk window per block of 8,
  // ending rightContext frames after the block.
  void produceShortWindow(int64_t rows) {
    ensureFeatureRows(rows);
    const int64_t avail = usable();
    while (featureRows < rows) {
      const int64_t first = nextWindow;
      const int64_t end = kFrame * (first + kBlockFrames + rightContext);
      if (!finished && end > avail) break;
      const int64_t begin = end - le::kTrunkWindowSamples;
      audioWindow.assign(le::kTrunkWindowSamples, 0.f);
      for (int64_t x = std::max<int64_t>(begin, 0), stop = std::min(end, avail); x < stop; ++x)
        audioWindow[size_t(x - begin)] = audio[size_t(x)];
      le::normalizeAudioWindow(audioWindow.data(), audioWindow.size());

      Ort::Value in = tensor(audioWindow.data(), audioWindow.size(), {1, le::kTrunkWindowSamples});
      const char* inName = "input_values";
      const char* trunkOut = shortWindow->trunkOutput.c_str();
      auto out = run(shortWindow->trunk, &inName, &in, 1, &trunkOut, 1);
      headIn.resize(size_t(kBlockFrames * le::kTrunkChannels));
      shortWindow->headInput(out[0], first, begin, headIn.data());

      headOut.resize(size_t(kBlockFrames * kA2xRowValues));
      Ort::Value hin = tensor(headIn.data(), headIn.size(), {kBlockFrames, le::kTrunkChannels});
      Ort::Value hout = tensor(headOut.data(), headOut.size(), {kBlockFrames, 12, 768});
      const char* headInName = "x";
      const char* headOutName = "emb";
      run(shortWindow->head, &headInName, &hin, 1, &headOutName, &hout, 1);
      ensureFeatureRows(first + kBlockFrames);
      le::roundThroughHalf(headOut.data(), features.data() + first * kA2xRowValues,
                           size_t(kBlockFrames * kA2xRowValues));
      nextWindow = featureRows = first + kBlockFrames;
    }
  }

  // --- encoder and decoder -----------------------------------------------------
  // Runs the encoder over context frames [c0, c0 + T) whose feature rows are
  // at rows; fills encodedContext (T x hiddenSize) and, when asked,
  // encodedWidth (T).
  void runEncoder(int64_t c0, int64_t T, const float* rows, bool wantWidth) {
    const int64_t h = hiddenSize;
    encoderPositions.resize(size_t(T * h));
    for (int64_t r = 0; r < T; ++r)
      std::copy_n(positions.data() + le::posRow(c0 + r, positionRows) * h, h,
                  encoderPositions.data() + r * h);
    encoderMask.assign(size_t(T * T), -std::numeric_limits<float>::infinity());
    for (int64_t i = 0; i < T; ++i)
      for (int64_t j = std::max<int64_t>(0, i - layerBehind); j <= std::min(T - 1, i + layerAhead);
           ++j)
        encoderMask[size_t(i * T + j)] = 0.f;
    Ort::Value in[3] = {
        tensor(const_cast<float*>(rows), size_t(T * kA2xRowValues), {1, T, 12, 768}),
        tensor(encoderPositions.data(), encoderPositions.size(), {1, T, h}),
        tensor(encoderMask.data(), encoderMask.size(), {1, 1, T, T})};
    const char* inNames[3] = {"feat", "pos_window", "attn"};
    const char* outNames[2] = {contextOutput.c_str(), widthOutput.c_str()};
    // The runtime allocates the outputs: the width output may be [1, T] or
    // [1, T, 1]; only the value counts are checked before copying.
    auto out = run(encoder, inNames, in, 3, outNames, wantWidth ? 2 : 1);
    auto take = [&](Ort::Value& v, const std::string& name, int64_t n, std::vector<float>& dst) {
      const size_t got = v.GetTensorTypeAndShapeInfo().GetElementCount();
      if (got != size_t(n))
        throw std::runtime_error("encoder output " + name + " holds " + std::to_string(got) +
                                 " values for " + std::to_string(T) + " frames, expected " +
                                 std::to_string(n));
      const float* p = v.GetTensorData<float>();
      dst.assign(p, p + n);
    };
    take(out[0], contextOutput, T * h, encodedContext);
    if (wantWidth) take(out[1], widthOutput, T, encodedWidth);
  }

  // One decoder step from prevState and hidState, which it updates.
  void decodeStep(const float* ctxRow, std::vector<float>& prevState,
                  std::vector<float>& hidState) {
    const int64_t h = hiddenSize;
    stepPrev.resize(kKp);
    stepHidden.resize(size_t(h));
    Ort::Value in[3] = {tensor(const_cast<float*>(ctxRow), size_t(h), {1, h}),
                        tensor(prevState.data(), prevState.size(), {1, kKp}),
                        tensor(hidState.data(), hidState.size(), {1, 1, h})};
    const char* inNames[3] = {"ctx_t", "prev", "h"};
    Ort::Value out[2] = {tensor(stepPrev.data(), stepPrev.size(), {1, kKp}),
                         tensor(stepHidden.data(), stepHidden.size(), {1, 1, h})};
    const char* outNames[2] = {"m", "h_out"};
    run(decoder, inNames, in, 3, outNames, out, 2);
    prevState.swap(stepPrev);
    hidState.swap(stepHidden);
  }

  void denormalize(const float* m, float* out) const {
    for (int64_t c = 0; c < kKp; ++c) out[c] = m[c] * deltaScale[size_t(c)] + deltaMean[size_t(c)];
  }

  // --- extend, pull, reset -------------------------------------------------------
  // Encodes frames up to t in chunks; a chunk's context reaches contextBehind
  // frames back and contextAhead frames ahead, and stays inside the
  // positional table while the chunk starts in it.
  void encodeUpTo(int64_t t, int64_t available) {
    const int64_t h = hiddenSize;
    while (encoded < t) {
      const int64_t s = encoded;
      int64_t e = std::min(t, s + kStreamChunk);
      const int64_t c0 = std::max<int64_t>(0, s - contextBehind);
      int64_t c1 = std::min(e + contextAhead, available);
      if (s < positionRows) {
        e = std::min(e, positionRows);
        c1 = std::min(c1, positionRows);
      }
      runEncoder(c0, c1 - c0, features.data() + c0 * kA2xRowValues, hasWidth);
      contexts.resize(size_t(e * h));
      widths.resize(size_t(e));
      std::copy_n(encodedContext.data() + (s - c0) * h, (e - s) * h, contexts.data() + s * h);
      if (hasWidth) std::copy_n(encodedWidth.data() + (s - c0), e - s, widths.data() + s);
      encoded = e;
    }
  }

  void extend(int64_t t) {
    t = std::min(t, ready());
    if (t <= decoded) return;
    try {
      const int64_t available = frames();
      const int64_t rows = std::min(t + contextAhead, available);
      if (shortWindow)
        produceShortWindow(rows);
      else
        produceLegacy(rows);
      ensureFeatureRows(rows);
      encodeUpTo(t, available);
      deltas.resize(size_t(t * kKp));
      while (decoded < t) {
        decodeStep(contexts.data() + decoded * hiddenSize, decoderPrev, decoderHidden);
        denormalize(decoderPrev.data(), deltas.data() + decoded * kKp);
        ++decoded;
      }
    } catch (const std::exception& e) {
      le::a2xError() = std::string("le_a2x extend: ") + e.what();
      failure = le::a2xError();
    }
  }

  int avail() {
    const int64_t rdy = ready();
    if (decoded < rdy) extend(std::min(rdy, decoded + (shortWindow ? kBlockFrames : kStreamChunk)));
    return int(std::clamp<int64_t>(decoded - pulled, 0, INT_MAX));
  }

  int pull(int* index, float* base, float* driven, float* width, int m) {
    if (m <= 0) return 0;
    const int64_t rdy = ready();
    if (pulled >= decoded) extend(std::min(rdy, pulled + m));
    const int64_t limit = std::min(decoded, rdy);
    int k = 0;
    for (; pulled < limit && k < m; ++k, ++pulled) {
      const int i = corpusIndex(pulled);
      const float* row = corpus.data() + int64_t(i) * kKp;
      const float* d = deltas.data() + pulled * kKp;
      if (index) index[k] = i;
      if (base) std::copy_n(row, kKp, base + int64_t(k) * kKp);
      if (driven)
        for (int64_t c = 0; c < kKp; ++c) driven[int64_t(k) * kKp + c] = row[c] + d[c];
      if (width)
        width[k] = hasWidth && pulled < int64_t(widths.size()) ? widths[size_t(pulled)] : 0.f;
    }
    return k;
  }

  void reset(int startFrame, int dir, int loopOn) {
    walkStart = startFrame < 0 ? corpusIndex(pulled) : startFrame;
    audio.clear();
    features.clear();
    nextWindow = featureRows = 0;
    contexts.clear();
    widths.clear();
    deltas.clear();
    pulled = encoded = decoded = 0;
    finished = false;
    if (!primedPrev.empty() && !primedHidden.empty()) {
      decoderPrev = primedPrev;
      decoderHidden = primedHidden;
    } else {
      decoderPrev.assign(kKp, 0.f);
      decoderHidden.assign(size_t(hiddenSize), 0.f);
    }
    direction = dir >= 0 ? 1 : -1;
    loop = loopOn != 0;
  }

  // Decoder state after n frames of silence, so an utterance starts from rest.
  void prime(int64_t n) {
    try {
      const int64_t T = std::min(n, kPrimeMax);
      const std::vector<float>& zero =
          le::AudioFrontends::process().silenceEmbedding(*legacyFrontend);
      std::vector<float> rows(size_t(T * kA2xRowValues));
      for (int64_t f = 0; f < T; ++f)
        le::legacyRow(zero.data(), f, rows.data() + f * kA2xRowValues);
      runEncoder(0, T, rows.data(), false);
      std::vector<float> p(kKp, 0.f), hid(size_t(hiddenSize), 0.f);
      const std::vector<float> ctx = encodedContext;
      for (int64_t f = 0; f < T; ++f) decodeStep(ctx.data() + f * hiddenSize, p, hid);
      primedPrev = std::move(p);
      primedHidden = std::move(hid);
      le::log(le::LogLevel::Info, "le_a2x", "silence-primed AR state cached (%d frames)", int(T));
    } catch (const std::exception& e) {
      primedPrev.clear();
      primedHidden.clear();
      le::log(le::LogLevel::Warning, "le_a2x", "silence-prime failed (%s) -- legacy zero state",
              e.what());
    }
  }

  // Feature rows of a whole clip through the legacy frontend, each frame from
  // the first window that produces it.
  std::vector<float> batchFeatures(const float* samples, int64_t count, int64_t T) {
    std::vector<float> rows(size_t(T * kA2xRowValues), 0.f);
    std::vector<float> win(kA2xLegacySamples);
    const int64_t shape[2] = {1, kA2xLegacySamples};
    legacyOut.resize(size_t(12 * kA2xLegacyFrames * 768));
    int64_t taken = 0;
    for (int64_t s = 0; s < T; s += kLegacyHop) {
      std::fill(win.begin(), win.end(), 0.f);
      const int64_t n = std::clamp<int64_t>(count - s * kFrame, 0, kA2xLegacySamples);
      std::copy_n(samples + s * kFrame, n, win.data());
      le::normalizeAudioWindow(win.data(), win.size());
      Ort::Value in = Ort::Value::CreateTensor<float>(memory, win.data(), win.size(), shape, 2);
      Ort::Value o = tensor(legacyOut.data(), legacyOut.size(), {12, kA2xLegacyFrames, 768});
      const char* inName = "input_values";
      const char* outName = "audio_emb";
      run(*legacyFrontend, &inName, &in, 1, &outName, &o, 1);
      for (int64_t j = s == 0 ? 0 : 50; j < kA2xLegacyFrames && s + j < T; ++j) {
        if (s + j < taken) continue;
        le::legacyRow(legacyOut.data(), j, rows.data() + (s + j) * kA2xRowValues);
      }
      taken = std::min(T, s + kA2xLegacyFrames);
    }
    return rows;
  }

  // Whole clip through the legacy frontend; the stream's state is untouched.
  int64_t batchDeltas(const float* samples, int64_t count, float* out) {
    const int64_t T = le::ceilFrames(count), h = hiddenSize;
    const std::vector<float> rows = batchFeatures(samples, count, T);

    std::vector<float> ctx(size_t(T * h));
    batchWidths.assign(size_t(T), 0.f);
    for (int64_t s = 0; s < T; s += kBatchChunk) {
      const int64_t e = std::min(T, s + kBatchChunk);
      const int64_t c0 = std::max<int64_t>(0, s - contextBehind),
                    c1 = std::min(e + contextAhead, T);
      runEncoder(c0, c1 - c0, rows.data() + c0 * kA2xRowValues, hasWidth);
      std::copy_n(encodedContext.data() + (s - c0) * h, (e - s) * h, ctx.data() + s * h);
      if (hasWidth) std::copy_n(encodedWidth.data() + (s - c0), e - s, batchWidths.data() + s);
    }

    const bool primed = !primedPrev.empty() && !primedHidden.empty();
    std::vector<float> p = primed ? primedPrev : std::vector<float>(kKp, 0.f);
    std::vector<float> hid = primed ? primedHidden : std::vector<float>(size_t(h), 0.f);
    for (int64_t f = 0; f < T; ++f) {
      decodeStep(ctx.data() + f * h, p, hid);
      denormalize(p.data(), out + f * kKp);
    }
    return T;
  }
};

namespace le {

A2xStats a2xStats(const le_a2x* s) {
  A2xStats st;
  if (!s) return st;
  st.shortWindow = s->shortWindow != nullptr;
  st.frontend = s->legacyFrontend;
  st.runs = s->runs;
  st.runSeconds = s->runSeconds;
  st.frontendSeconds = s->frontendSeconds;
  st.featureRows = s->featureRows;
  st.features = s->features.data();
  st.encoded = s->encoded;
  st.decoded = s->decoded;
  st.pulled = s->pulled;
  return st;
}

namespace {

std::once_flag g_cadenceOnce;

void setOptions(le_a2x& s, int threads) {
  std::call_once(g_cadenceOnce, [threads] {
    le::log(LogLevel::Info, "le_a2x",
            "live cadence: block-%d (one trunk window per %d frames), push-size "
            "invariant, threads=%d",
            320, 8, threads);
  });
  s.options = le::ort::sessionOptions(threads, le::ort::Spin::Off);
  le_a2x_maybe_cuda(s.options, "enc/dec");
}

// The model's geometry and tables.
void takeBundle(le_a2x& s, A2xBundle&& bundle) {
  const A2xMeta& meta = bundle.meta;
  s.hiddenSize = meta.h;
  s.layerAhead = meta.window;
  s.layerBehind = meta.left;
  s.contextBehind = s.layerBehind * meta.layers;
  s.contextAhead = s.layerAhead * meta.layers;
  // The directory's own look-ahead, unless the environment sets one.
  s.rowLag = meta.w2vRight >= 0 ? meta.w2vRight : 12;
  if (const char* r = le::envValue("LE_A2X_W2V_RIGHT"))
    s.rowLag = std::max<long long>(0, std::min<long long>(std::strtoll(r, nullptr, 10), INT_MAX));
  s.positions = std::move(bundle.positions);
  s.positionRows = int64_t(s.positions.size()) / s.hiddenSize;
  s.deltaMean.assign(bundle.norm.begin(), bundle.norm.begin() + kKp);
  s.deltaScale.assign(bundle.norm.begin() + kKp, bundle.norm.begin() + 2 * kKp);
  s.corpus = std::move(bundle.corpus);
  s.corpusFrames = int64_t(s.corpus.size()) / kKp;
}

// The shared frontends; the short-window pair, when deployed, makes a row
// wait a block longer.
void attachFrontends(le_a2x& s, int threads, const char* w2vPath) {
  if (!w2vPath || !*w2vPath) throw Refusal("le_a2x_create: $W2V_ONNX not set");
  AudioFrontends& frontends = AudioFrontends::process();
  s.legacyFrontend = frontends.legacy(w2vPath, threads);
  if (!s.legacyFrontend) throw Refusal("le_a2x_create: shared w2v load failed");
  s.rightContext = s.rowLag;
  s.shortWindow = frontends.shortWindow(threads, w2vPath);
  if (s.shortWindow) s.rowLag = s.rightContext + kBlockFrames;
}

void openModels(le_a2x& s, const std::string& dir, const A2xMeta& meta) {
  s.encoder = le_a2x_open_session(s.env, resolveMember(dir, "a2x_enc_stream.onnx"), s.options);
  const size_t outputs = s.encoder.GetOutputCount();
  s.contextOutput = outputName(s.encoder, 0);
  if (outputs > 1) {
    s.widthOutput = outputName(s.encoder, 1);
    s.hasWidth = true;
  }
  const int metaWidth = meta.width;
  if (metaWidth != int(s.hasWidth))
    le::log(LogLevel::Warning, "le_a2x",
            "WARNING: a2x_meta width=%d but the encoder declares %zu output(s) "
            "\xE2\x80\x94 serving the GRAPH (width=%d). Repackage this bundle.",
            metaWidth, outputs, int(s.hasWidth));
  s.decoder = le_a2x_open_session(s.env, resolveMember(dir, "a2x_dec.onnx"), s.options);
}

std::unique_ptr<le_a2x> createStream(const char* bundle, int threads, const char* frontend) {
  auto s = std::make_unique<le_a2x>();
  const int budget = pool::threads();
  if (threads < 1 || threads >= budget) threads = budget;
  s->memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  setOptions(*s, threads);

  const std::string dir = resolveBundlePath(bundle);
  A2xBundle tables = readA2xBundle(dir);
  const A2xMeta meta = tables.meta;
  takeBundle(*s, std::move(tables));
  attachFrontends(*s, threads, frontend);
  openModels(*s, dir, meta);

  const char* primeEnv = le::envValue("LE_A2X_SILENCE_PRIME");
  const long long n = primeEnv ? std::strtoll(primeEnv, nullptr, 10) : meta.silencePrime;
  if (n > 0) s->prime(n);
  s->reset(0, 1, 1);
  return s;
}

}  // namespace
}  // namespace le

namespace le {

std::string& a2xError() {
  thread_local std::string error;
  return error;
}

void a2xReset(le_a2x* s, int start, int direction, int loop) {
  s->reset(start, direction, loop);
}

std::string a2xFrontendFor(const std::string& dir) {
  if (const char* env = legacyModelPath()) return env;
  const std::string own = resolveBundlePath(dir) + "/w2v.onnx";
  struct stat st;
  return ::stat(own.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? own : std::string();
}

le_a2x* a2xOpen(const std::string& dir, int threads, const std::string& frontend) {
  try {
    return createStream(dir.c_str(), threads, frontend.c_str()).release();
  } catch (const Refusal&) {
    throw;
  } catch (const std::exception& e) {
    throw std::runtime_error(capi::failureText("le_a2x_create", &e));
  }
}

// The stream keeps going after a failed extension (the C calls only leave
// its message); here it is thrown.
int a2xAvail(le_a2x* s) {
  s->failure.clear();
  const int n = s->avail();
  if (!s->failure.empty()) throw std::runtime_error(s->failure);
  return n;
}

int a2xPull(le_a2x* s, int* corpusIndex, float* baseKp, float* drivenKp, int maxFrames) {
  s->failure.clear();
  const int n = s->pull(corpusIndex, baseKp, drivenKp, nullptr, maxFrames);
  if (!s->failure.empty()) throw std::runtime_error(s->failure);
  return n;
}

}  // namespace le

namespace le {
namespace a2x {

le_a2x* create(const char* bundleDir, int threads) {
  return createStream(bundleDir, threads, legacyModelPath()).release();
}

void destroy(le_a2x* s) {
  delete s;
}

void push(le_a2x& s, const float* samples, int count) {
  s.audio.insert(s.audio.end(), samples, samples + count);
}

void finish(le_a2x& s) {
  s.finished = true;
}

int total(const le_a2x& s) {
  if (!s.finished) return -1;
  return int(std::min<int64_t>(ceilFrames(s.pushed()), INT_MAX));
}

int avail(le_a2x& s) {
  return s.avail();
}

int pull(le_a2x& s, int* corpusIndex, float* baseKp, float* drivenKp, float* width, int maxFrames) {
  return s.pull(corpusIndex, baseKp, drivenKp, width, maxFrames);
}

void setEager(le_a2x& s, int eager) {
  s.eager = eager;
}

int corpusFrames(const le_a2x& s) {
  return int(s.corpusFrames);
}

bool hasWidth(const le_a2x& s) {
  return s.hasWidth;
}

int deltas(le_a2x& s, const float* samples, int count, float* out, float* width, int maxFrames) {
  const int64_t T = ceilFrames(count);
  if (maxFrames < T) return -2;
  const int r = int(s.batchDeltas(samples, count, out));
  if (r >= 0 && width) {
    const int n = int(std::min<size_t>(size_t(r), s.batchWidths.size()));
    std::copy_n(s.batchWidths.data(), n, width);
    std::fill(width + n, width + r, 0.f);
  }
  return r;
}

}  // namespace a2x
}  // namespace le
