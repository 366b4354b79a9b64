// Streaming audio-to-expression (le_a2x): keypoint deltas for a corpus walk,
// from the feature rows of the process-wide audio frontends.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/le_frontend.h"
#include "le/le.h"

namespace le {

// The settings of a2x_meta.json. Refuses a meta without the causal window
// and left context, a width below 1 and a negative layer count, with the
// message le_a2x_create reports.
struct A2xMeta {
  int h = 256;
  int window = -1;
  int left = -1;
  int64_t layers = 6;
  int width = 0;  // the "width" flag, 0 or 1
  long long silencePrime = 0;
  // The audio frontend's look-ahead in frames the directory's model was made
  // for ("w2v_right"); -1 when it does not say.
  int w2vRight = -1;
};
A2xMeta readA2xMeta(const std::string& text);

// A refusal of le_a2x_create whose text is already the full last-error message.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What a stream reads from its bundle: the meta, the positional table (rows
// of h values), the delta normalisation (63 means, then 63 scales) and the
// corpus keypoints (rows of 63). Refuses a table too short to use.
struct A2xBundle {
  A2xMeta meta;
  std::vector<float> positions, norm, corpus;
};
A2xBundle readA2xBundle(const std::string& dir);

// Introspection for tests and benchmarks.
struct A2xStats {
  bool shortWindow = false;
  const Ort::Session* frontend = nullptr;  // the shared legacy session
  int64_t runs = 0;                        // Session::Run calls of this stream
  double runSeconds = 0;                   // time spent inside them
  double frontendSeconds = 0;              // the part of it in frontend models
  int64_t featureRows = 0, encoded = 0, decoded = 0, pulled = 0;
  const float* features = nullptr;  // featureRows rows of kA2xRowValues, until the next call
};
A2xStats a2xStats(const le_a2x* s);

// The legacy frontend a stream on motion directory dir uses: $W2V_ONNX when
// set, else the directory's own w2v.onnx when it has one, else "".
std::string a2xFrontendFor(const std::string& dir);
// le_a2x_create with the frontend given (empty: refused as le_a2x_create
// refuses an unset $W2V_ONNX). Throws std::runtime_error with the message
// le_a2x_create would leave.
le_a2x* a2xOpen(const std::string& dir, int threads, const std::string& frontend);

// The stream's calls for hosts inside the engine: a failure throws
// std::runtime_error with its message instead of becoming the last error.
void a2xReset(le_a2x* s, int start, int direction, int loop);
int a2xAvail(le_a2x* s);
int a2xPull(le_a2x* s, int* corpusIndex, float* baseKp, float* drivenKp, int maxFrames);

// The family's last error on the calling thread (le_a2x_last_error).
std::string& a2xError();

// One call per C entry point, for the C interface: arguments are checked
// there; a failure throws.
namespace a2x {
le_a2x* create(const char* bundleDir, int threads);  // with $W2V_ONNX's frontend
void destroy(le_a2x* s);
void push(le_a2x& s, const float* samples, int count);
void finish(le_a2x& s);
int total(const le_a2x& s);  // -1 before finish
int avail(le_a2x& s);
int pull(le_a2x& s, int* corpusIndex, float* baseKp, float* drivenKp, float* width, int maxFrames);
void setEager(le_a2x& s, int eager);  // recorded only
int corpusFrames(const le_a2x& s);
bool hasWidth(const le_a2x& s);
// A whole clip's deltas (and widths when width is given); -2 when maxFrames
// is short of the clip.
int deltas(le_a2x& s, const float* samples, int count, float* out, float* width, int maxFrames);
}  // namespace a2x

}  // namespace le
