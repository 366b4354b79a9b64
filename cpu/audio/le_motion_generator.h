// The motion generator's state and the pieces its units share.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "audio/le_motion.h"
#include "le/le.h"

namespace le {
namespace motion {

constexpr int64_t kFrame = 640;
constexpr int64_t kWindowFrames = 5;
constexpr int64_t kLookAhead = 4480;  // samples a window needs from its start
constexpr int64_t kLookBehind = 2000;
constexpr int64_t kChunk = 80;
constexpr int64_t kAdvance = 70;
constexpr int64_t kOverlap = kChunk - kAdvance;
constexpr int kKp = kKpFloats;
constexpr int kFeatFrames = 20;

[[noreturn]] inline void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

// Writes n floats to dir/name, or appends them; nothing when dir is empty.
void dumpFloats(const std::string& dir, const char* name, const float* v, size_t n,
                bool append = false);

// One inference session whose names and input shapes come from the model.
// Inputs are flat buffers; a symbolic input dimension takes what the
// buffer's size leaves for it. The single output is written straight into
// the caller's buffer.
class Net {
 public:
  void open(Ort::Env& env, const std::string& path, const Ort::SessionOptions& options);
  void run(std::initializer_list<std::pair<const float*, size_t>> inputs, float* out,
           std::initializer_list<int64_t> outShape);

  int64_t runs = 0;
  double seconds = 0;  // inside Session::Run

 private:
  std::vector<int64_t> fit(std::vector<int64_t> shape, size_t count, const std::string& name);

  std::string path_;
  Ort::Session session_{nullptr};
  Ort::MemoryInfo memory_ = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<std::string> inNames_, outNames_;
  std::vector<std::vector<int64_t>> inShapes_;
};

}  // namespace motion
}  // namespace le

struct le_motion {
  std::string dump;  // LE_MOTION_DUMP, empty when unset
  int NT = 0, nSrc = 0, nEmo = 0;
  float sBridge = 0, deltaPitch = 0, lipGain = 1;
  std::vector<float> window, binmat, fmean, fstd, emo, chXs, chSc, chEyeOpen, chEyeBall, vMinMax,
      srcXs, target;
  std::vector<float> baseMotion;

  Ort::Env env{ORT_LOGGING_LEVEL_WARNING, "le_motion"};
  Ort::SessionOptions options;
  le::motion::Net hubert, lmdm, stitch;

  std::vector<float> audio;
  bool finished = false;
  int64_t total = 0;
  int64_t nextWindow = 0;     // first frame of the next regular audio window
  std::vector<float> rows;    // conditioning rows, le::kMotionCond each
  std::vector<float> motion;  // motion store, le::kMotionDim each
  int64_t chunk = 0;
  std::vector<float> chunkCond;
  std::vector<float> finalStore;
  bool built = false;
  int64_t emitted = 0;
  int walk = 0, direction = 1;
  bool loop = true;
  std::vector<float> expRef;
  bool haveRef = false;

  // Eager mode: provisional rows and motion, withdrawn before regular work.
  int eager = 0;
  int64_t provRows = 0;
  bool provChunk = false;
  int64_t savedLen = 0;
  std::vector<float> savedTail;
  int64_t lastF = 0;
  bool regularChunkRan = false;
  int64_t provLimit = 0;
  double costMs = 0;

  // Scratch buffers bound to the networks.
  std::vector<float> samples, mel, feat, aud, pred;

  le_motion(const std::string& dir, int threads, const std::string& ep);

  int64_t rowCount() const { return int64_t(rows.size()) / le::kMotionCond; }
  int64_t length() const { return int64_t(motion.size()) / le::kMotionDim; }
  int64_t frames() const {
    return (int64_t(audio.size()) + le::motion::kFrame - 1) / le::motion::kFrame;
  }

  void reset(int start, int dir, int loopOn);
  bool windowDue(int64_t w) const {
    return finished ? w < total
                    : int64_t(audio.size()) >= le::motion::kFrame * w + le::motion::kLookAhead;
  }
  bool chunkDue(int64_t k) const {
    using le::motion::kAdvance;
    const int64_t regular = rowCount() - provRows;
    return finished ? kAdvance * k < std::min(regular, total)
                    : regular > kAdvance * k + le::motion::kChunk - 1;
  }
  void withdrawRows() {
    rows.resize(size_t(rowCount() - provRows) * le::kMotionCond);
    provRows = 0;
  }
  void undoChunk() {
    if (!provChunk) return;
    motion.resize(size_t(savedLen) * le::kMotionDim);
    std::copy(savedTail.begin(), savedTail.end(), motion.end() - std::ptrdiff_t(savedTail.size()));
    provChunk = false;
  }
  void withdrawProvisional() {
    withdrawRows();
    undoChunk();
  }
  void processWindow(int64_t w);
  void runChunk(int64_t k, std::vector<float>& cond);
  void smooth(int64_t from, int64_t to);
  void processDue();
  void eagerAdvance(int64_t F);
  int64_t available();
  void finish();
  void buildFinal();
  void vectorAt(int64_t f, float* out) const;
  void emitFrame(const float* m, int index, float* base, float* driven);
  // Frames are counted in `written` as they leave, so a failure keeps them.
  void pull(int* indices, float* base, float* driven, int max, int& written);
};

namespace le {
// The family's last error on the calling thread (le_motion_last_error).
std::string& motionError();
}  // namespace le
