#include "audio/le_motion.h"

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "audio/le_motion_generator.h"
#include "base/le_env.h"
#include "base/le_files.h"
#include "base/le_ort.h"
#include "bundle/le_bundle.h"
#include "compute/le_pool.h"
#include "render/le_renderer.h"

namespace le {
namespace {

using motion::fail;

// The number after `"key"` and a colon; `required` false gives `fallback`.
double metaNumber(const std::string& text, const std::string& key, bool required, double fallback) {
  const std::string quoted = "\"" + key + "\"";
  for (size_t at = text.find(quoted); at != std::string::npos; at = text.find(quoted, at + 1)) {
    size_t p = at + quoted.size();
    while (p < text.size() && std::isspace(static_cast<unsigned char>(text[p]))) ++p;
    if (p >= text.size() || text[p] != ':') continue;
    const char* start = text.c_str() + p + 1;
    char* end = nullptr;
    const double v = std::strtod(start, &end);
    if (end == start || !std::isfinite(v)) fail("meta.json: bad " + key);
    return v;
  }
  if (required) fail("meta.json: missing " + key);
  return fallback;
}

int metaCount(const std::string& text, const std::string& key) {
  const double v = metaNumber(text, key, true, 0);
  if (v < 1 || v > 1e7 || v != std::floor(v)) fail("meta.json: bad " + key);
  return int(v);
}

}  // namespace

namespace motion {

void dumpFloats(const std::string& dir, const char* name, const float* v, size_t n, bool append) {
  if (dir.empty()) return;
  const std::string path = dir + "/" + name;
  FILE* f = std::fopen(path.c_str(), append ? "ab" : "wb");
  if (!f) return;  // a diagnostic aid never fails the generator
  if (n) std::fwrite(v, sizeof(float), n, f);
  std::fclose(f);
}

void Net::open(Ort::Env& env, const std::string& path, const Ort::SessionOptions& options) {
  path_ = path;
  session_ = Ort::Session(env, path.c_str(), options);
  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < session_.GetInputCount(); ++i) {
    inNames_.push_back(session_.GetInputNameAllocated(i, alloc).get());
    inShapes_.push_back(session_.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape());
  }
  for (size_t i = 0; i < session_.GetOutputCount(); ++i)
    outNames_.push_back(session_.GetOutputNameAllocated(i, alloc).get());
  if (outNames_.size() != 1) fail(path + ": expected one output");
}

void Net::run(std::initializer_list<std::pair<const float*, size_t>> inputs, float* out,
              std::initializer_list<int64_t> outShape) {
  if (inputs.size() != inNames_.size())
    fail(path_ + ": expected " + std::to_string(inNames_.size()) + " inputs");
  std::vector<Ort::Value> values;
  std::vector<const char*> names;
  size_t i = 0;
  for (const auto& in : inputs) {
    const std::vector<int64_t> shape = fit(inShapes_[i], in.second, inNames_[i]);
    values.push_back(Ort::Value::CreateTensor<float>(memory_, const_cast<float*>(in.first),
                                                     in.second, shape.data(), shape.size()));
    names.push_back(inNames_[i].c_str());
    ++i;
  }
  size_t n = 1;
  for (int64_t d : outShape) n *= size_t(d);
  Ort::Value o =
      Ort::Value::CreateTensor<float>(memory_, out, n, outShape.begin(), outShape.size());
  const char* outName = outNames_[0].c_str();
  const auto t0 = std::chrono::steady_clock::now();
  session_.Run(Ort::RunOptions{nullptr}, names.data(), values.data(), values.size(), &outName, &o,
               1);
  seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ++runs;
}

std::vector<int64_t> Net::fit(std::vector<int64_t> shape, size_t count, const std::string& name) {
  size_t known = 1;
  int open = -1;
  for (size_t d = 0; d < shape.size(); ++d) {
    if (shape[d] < 0) {
      if (open >= 0)
        shape[d] = 1;  // a second symbolic axis: the batch
      else
        open = int(d);
    } else {
      known *= size_t(shape[d]);
    }
  }
  if (open >= 0 && known > 0 && count % known == 0) shape[size_t(open)] = int64_t(count / known);
  size_t total = 1;
  for (int64_t d : shape) total *= size_t(d);
  if (total != count)
    fail(path_ + ": input " + name + " cannot take " + std::to_string(count) + " values");
  return shape;
}

}  // namespace motion

MotionMeta readMotionMeta(const std::string& text) {
  MotionMeta m;
  m.nt = metaCount(text, "nt");
  m.nSrc = metaCount(text, "n_src");
  m.nEmo = metaCount(text, "n_emo");
  m.sBridge = float(metaNumber(text, "s_bridge", true, 0));
  m.deltaPitch = float(metaNumber(text, "delta_pitch", false, 0));
  if (m.nt != m.nSrc) fail("le_motion: n_src != nt unsupported");
  return m;
}

}  // namespace le

using le::kMotionCond;
using le::kMotionDim;
using le::kMotionPose;
using le::kMotionSrcRow;
using le::motion::fail;
using le::motion::kAdvance;
using le::motion::kChunk;
using le::motion::kFrame;
using le::motion::kKp;
using le::motion::kOverlap;

le_motion::le_motion(const std::string& dir, int threads, const std::string& ep) {
  const char* d = le::envValue("LE_MOTION_DUMP");
  dump = d ? d : "";
  const le::MotionMeta meta = le::readMotionMeta(le::readText(dir + "/meta.json"));
  NT = meta.nt;
  nSrc = meta.nSrc;
  nEmo = meta.nEmo;
  sBridge = meta.sBridge;
  deltaPitch = meta.deltaPitch;

  auto member = [&](const char* name, int64_t count) {
    return le::readFloatCount(dir + "/" + name, uint64_t(count));
  };
  window = member("hubert_stft_window.bin", 512);
  binmat = member("hubert_stft_binmat.bin", int64_t(le::kMotionFftBins) * le::kMotionMelBands);
  fmean = member("hubert_fmean.bin", le::kMotionFeat);
  fstd = member("hubert_fstd.bin", le::kMotionFeat);
  emo = member("emo.bin", int64_t(nEmo) * 8);
  chXs = member("ch_xs_info.bin", kMotionSrcRow);
  chSc = member("ch_sc.bin", kKp);
  chEyeOpen = member("ch_eye_open.bin", 2);
  chEyeBall = member("ch_eye_ball.bin", 6);
  vMinMax = member("v_min_max.bin", 2 * kMotionDim);
  srcXs = member("src_xs_info.bin", int64_t(nSrc) * kMotionSrcRow);
  target = le::readCorpusKeypoints(dir, NT);
  if (srcXs[258] == 0.f) fail("le_motion: source row 0 has scale 0");
  lipGain = chXs[258] / srcXs[258];

  // The character's pose and expression, in motion-vector order.
  baseMotion.reserve(kMotionDim);
  baseMotion.push_back(chXs[258] - 1.f);
  baseMotion.insert(baseMotion.end(), chXs.begin() + 126, chXs.begin() + 192);
  baseMotion.insert(baseMotion.end(), chXs.begin() + 262, chXs.begin() + 328);
  baseMotion.insert(baseMotion.end(), chXs.begin() + 192, chXs.begin() + 258);
  baseMotion.insert(baseMotion.end(), chXs.begin() + 259, chXs.begin() + 262);
  baseMotion.insert(baseMotion.end(), chXs.begin(), chXs.begin() + 63);

  options =
      le::ort::sessionOptions(threads < 1 ? le::pool::threads() : threads, le::ort::Spin::FromEnv);
  if (ep.empty()) {
    // The CPU provider.
  } else if (ep.rfind("coreml", 0) == 0) {
    le::ort::appendCoreml(options, ep, dir);
  } else {
    fail("le_motion: unknown ep '" + ep + "'");
  }
  hubert.open(env, dir + "/hubert_student.onnx", options);
  lmdm.open(env, dir + "/lmdm.onnx", options);
  stitch.open(env, dir + "/stitch.onnx", options);

  samples.resize(le::kMotionWindowSamples);
  mel.resize(size_t(le::kMotionMelBands) * le::kMotionMelFrames);
  feat.resize(size_t(le::motion::kFeatFrames) * le::kMotionFeat);
  aud.resize(size_t(kChunk) * kMotionCond);
  pred.resize(size_t(kChunk) * kMotionDim);
  reset(0, 1, 1);
}

void le_motion::reset(int start, int dir, int loopOn) {
  audio.clear();
  finished = false;
  total = 0;
  nextWindow = 0;
  rows.clear();
  motion.clear();
  chunk = 0;
  chunkCond = baseMotion;
  finalStore.clear();
  built = false;
  emitted = 0;
  haveRef = false;
  provRows = 0;
  provChunk = false;
  savedLen = 0;
  savedTail.clear();
  lastF = 0;
  regularChunkRan = false;
  provLimit = 0;
  walk = std::clamp(start, 0, NT - 1);
  direction = dir >= 0 ? 1 : -1;
  loop = loopOn != 0;
}

void le_motion::processWindow(int64_t w) {
  const int64_t from = kFrame * w - le::motion::kLookBehind;
  const int64_t n = int64_t(audio.size());
  for (int64_t i = 0; i < le::kMotionWindowSamples; ++i) {
    const int64_t s = from + i;
    samples[size_t(i)] = s >= 0 && s < n ? audio[size_t(s)] : 0.f;
  }
  le::motionLogMel(samples.data(), window.data(), binmat.data(), mel.data());
  hubert.run({{mel.data(), mel.size()}}, feat.data(),
             {1, le::motion::kFeatFrames, le::kMotionFeat});
  for (int t = 0; t < le::motion::kFeatFrames; ++t)
    for (int c = 0; c < le::kMotionFeat; ++c) {
      float& v = feat[size_t(t) * le::kMotionFeat + size_t(c)];
      v = v * fstd[size_t(c)] + fmean[size_t(c)];
    }
  if (w == 0) {
    le::motion::dumpFloats(dump, "mel0.bin", mel.data(), mel.size());
    le::motion::dumpFloats(dump, "feat0.bin", feat.data(), feat.size());
  }
  for (int64_t j = 0; j < le::motion::kWindowFrames; ++j) {
    const float* a = feat.data() + size_t(6 + 2 * j) * le::kMotionFeat;
    const float* b = a + le::kMotionFeat;
    const size_t at = rows.size();
    rows.resize(at + kMotionCond);
    float* row = rows.data() + at;
    for (int c = 0; c < le::kMotionFeat; ++c) row[c] = 0.5f * (a[c] + b[c]);
    float* p = row + le::kMotionFeat;
    const float* e = emo.data() + size_t((w + j) % nEmo) * 8;
    p = std::copy(e, e + 8, p);
    p = std::copy(chEyeOpen.begin(), chEyeOpen.end(), p);
    p = std::copy(chEyeBall.begin(), chEyeBall.end(), p);
    std::copy(chSc.begin(), chSc.end(), p);
  }
}

void le_motion::smooth(int64_t from, int64_t to) {
  const int64_t len = length();
  const int64_t first = std::max<int64_t>(from, 0), last = std::min(to, len);
  if (first >= last) return;
  // Means are taken over the frames as they were before this pass; only the
  // frames it reads are copied, not the whole store.
  const int64_t lo0 = std::max<int64_t>(first - 1, 0), hi0 = std::min(last, len - 1);
  const std::vector<float> copy(motion.begin() + std::ptrdiff_t(lo0 * kMotionDim),
                                motion.begin() + std::ptrdiff_t((hi0 + 1) * kMotionDim));
  for (int64_t i = first; i < last; ++i) {
    const int64_t lo = std::max<int64_t>(i - 1, 0), hi = std::min(i + 1, len - 1);
    for (int c = 0; c < kMotionPose; ++c) {
      float s = 0;
      for (int64_t j = lo; j <= hi; ++j) s += copy[size_t(j - lo0) * kMotionDim + size_t(c)];
      motion[size_t(i) * kMotionDim + size_t(c)] = s / float(hi - lo + 1);
    }
  }
}

void le_motion::runChunk(int64_t k, std::vector<float>& cond) {
  const int64_t n = rowCount();
  if (n == 0) fail("le_motion: no conditioning rows for a motion chunk");
  for (int64_t i = 0; i < kChunk; ++i) {
    const int64_t r = std::min(kAdvance * k + i, n - 1);
    std::copy_n(rows.data() + size_t(r) * kMotionCond, kMotionCond,
                aud.data() + size_t(i) * kMotionCond);
  }
  lmdm.run({{cond.data(), cond.size()}, {aud.data(), aud.size()}}, pred.data(),
           {1, kChunk, kMotionDim});
  if (k == 0) {
    le::motion::dumpFloats(dump, "lmdm0_kp.bin", cond.data(), cond.size());
    le::motion::dumpFloats(dump, "lmdm0_aud.bin", aud.data(), aud.size());
    le::motion::dumpFloats(dump, "lmdm0_pred.bin", pred.data(), pred.size());
  }
  const int64_t c = length();
  if (c == 0) {
    motion = pred;
    smooth(0, kChunk);
  } else {
    for (int64_t j = 0; j < kOverlap; ++j) {
      float* old = motion.data() + size_t(c - kOverlap + j) * kMotionDim;
      const float* nw = pred.data() + size_t(j) * kMotionDim;
      const float t = float(j) / float(kOverlap);
      for (int i = 0; i < kMotionDim; ++i) old[i] = (1.f - t) * old[i] + t * nw[i];
    }
    motion.insert(motion.end(), pred.begin() + kOverlap * kMotionDim, pred.end());
    smooth(c - kOverlap, c + 1);
  }
  const float* carry = motion.data() + size_t(length() - 11) * kMotionDim;
  std::copy_n(carry, kMotionPose, cond.data());
}

void le_motion::processDue() {
  while (windowDue(nextWindow)) {
    withdrawRows();
    processWindow(nextWindow);
    nextWindow += le::motion::kWindowFrames;
  }
  while (chunkDue(chunk)) {
    withdrawProvisional();
    runChunk(chunk, chunkCond);
    ++chunk;
    regularChunkRan = true;
  }
}

void le_motion::eagerAdvance(int64_t F) {
  const auto t0 = std::chrono::steady_clock::now();
  withdrawRows();
  for (int64_t w = nextWindow; w < F; w += le::motion::kWindowFrames) {
    processWindow(w);
    provRows += le::motion::kWindowFrames;
  }
  undoChunk();
  if (F > kAdvance * chunk) {
    savedLen = length();
    const int64_t keep = std::min<int64_t>(savedLen, kOverlap);
    savedTail.assign(motion.end() - std::ptrdiff_t(keep * kMotionDim), motion.end());
    provChunk = true;
    std::vector<float> cond = chunkCond;
    for (int64_t k = chunk; kAdvance * k < F; ++k) runChunk(k, cond);
  }
  lastF = F;
  regularChunkRan = false;
  provLimit = std::max(provLimit, F - 1);
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  costMs = costMs == 0 ? ms : 0.7 * costMs + 0.3 * ms;
}

int64_t le_motion::available() {
  if (finished) {
    processDue();
    if (!built) buildFinal();
    return int64_t(finalStore.size()) / kMotionDim - emitted;
  }
  if (eager == 0) withdrawProvisional();
  processDue();
  if (eager != 0) {
    const int64_t F = frames();
    const int64_t step =
        eager >= 1 ? eager : std::clamp<int64_t>(int64_t(std::floor(costMs / 40.0 + 0.999)), 1, 8);
    if (regularChunkRan || (F > lastF && (emitted == 0 || F - lastF >= step))) eagerAdvance(F);
    return std::max<int64_t>(0, std::min(length() - 1, provLimit) - emitted);
  }
  return std::max<int64_t>(0, std::min(rowCount() - 1, length() - 11) - emitted);
}

void le_motion::finish() {
  if (finished && built) return;  // a second finish must not smooth the motion again
  if (!finished) total = frames();
  finished = true;
  withdrawProvisional();
  processDue();
  buildFinal();
}

void le_motion::buildFinal() {
  const int64_t n = std::min(total, length());
  motion.resize(size_t(n) * kMotionDim);
  smooth(0, n);
  le::motion::dumpFloats(dump, "res_post.bin", motion.data(), motion.size());
  finalStore = motion;
  for (size_t i = 0; i < finalStore.size(); ++i) {
    const size_t c = i % kMotionDim;
    finalStore[i] = std::clamp(finalStore[i], vMinMax[c], vMinMax[kMotionDim + c]);
  }
  le::motion::dumpFloats(dump, "final.bin", finalStore.data(), finalStore.size());
  built = true;
}

namespace le {

MotionStats motionStats(const le_motion* m) {
  MotionStats s;
  for (const motion::Net* n : {&m->hubert, &m->lmdm, &m->stitch}) {
    s.runs += n->runs;
    s.runSeconds += n->seconds;
  }
  s.eagerCostMs = m->costMs;
  return s;
}

std::string& motionError() {
  thread_local std::string error;
  return error;
}

}  // namespace le
