// Int8ConvVNNI: convolutions whose weights were quantised to int8 offline,
// as the custom operator of the "com.velmoor.int8" domain.
//
// Activations are quantised per call to uint8 (one scale and zero point for
// the whole tensor), multiplied with the int8 weights in exact integer
// arithmetic by the kernels of the best Highway target the processor runs,
// and brought back to float with per-output-channel weight scales and bias.
// Every target gives the same results. Parallel work runs on the engine's
// pool, not on ONNX Runtime's.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace Ort {
struct SessionOptions;
struct CustomOpDomain;
}  // namespace Ort

namespace le {

extern const char* const kInt8Domain;  // "com.velmoor.int8"

// The domain, created once per process and shared by every session.
Ort::CustomOpDomain& int8Domain();
// Adds the "com.velmoor.int8" domain (with Int8ConvVNNI) to the options.
void registerInt8ConvVNNI(Ort::SessionOptions& options);

struct Int8ConvAttrs {
  int64_t strideH = 1, strideW = 1;
  int64_t padTop = 0, padLeft = 0, padBottom = 0, padRight = 0;
  int64_t dilH = 1, dilW = 1;
  // Grouped convolutions are computed grouped: packing spreads each group's
  // weights over its own input channels and leaves the others zero.
  int64_t group = 1;
};

// Weight packings done in this process so far (each kernel packs once).
uint64_t int8ConvPackCount();

// The convolution, independent of ONNX Runtime. Every refusal is a
// std::runtime_error naming `where` (the node).
class Int8Conv {
 public:
  Int8Conv(const Int8ConvAttrs& attrs, std::string where);

  // Output size along one axis; -1 when the kernel does not fit the input.
  static int64_t outSize(int64_t in, int64_t padA, int64_t padB, int64_t k, int64_t dil,
                         int64_t stride);

  // Packs the weights [cout, cinPerGroup, kh, kw] on the first call only;
  // concurrent first calls pack once. Later calls must pass the same shape.
  void prepare(const int8_t* w, const int64_t (&wshape)[4]);

  // The output shape for X of shape xs; refuses X the packed weights do not fit.
  void outShape(const int64_t (&xs)[4], int64_t (&ys)[4]) const;

  // Y [N, Cout, OH, OW] from X [N, Cin, H, W]. With `acc` the integer
  // accumulators (same layout as Y) are written there too.
  void run(const float* x, const int64_t (&xshape)[4], const float* scale, const float* bias,
           float* y, int32_t* acc = nullptr) const;

  const Int8ConvAttrs& attrs() const { return a_; }

 private:
  struct Rows;  // the output rows of one run, defined with run()

  Int8ConvAttrs a_;
  std::string where_;
  std::once_flag packed_;
  // Packed state, written once under packed_.
  int64_t cout_ = 0, cinPerGroup_ = 0, cin_ = 0, kh_ = 0, kw_ = 0;
  int64_t cin4_ = 0, blocks_ = 0;
  std::vector<int8_t> w_;        // [block][tap][cin4][16 cout][4 cin]
  std::vector<int32_t> wsum_;    // [block * 16]: the whole kernel
  std::vector<int32_t> tapSum_;  // [tap][block * 16]: one tap
};

namespace detail {
// Highway's name of the target whose kernels a run takes now (for tests).
const char* int8ConvTarget();
}  // namespace detail

}  // namespace le
