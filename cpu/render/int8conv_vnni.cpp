// Int8ConvVNNI's operator, weight packing and row driver, compiled once. The
// integer kernels they call are compiled per Highway target
// (int8conv_vnni_simd.cpp), and a run takes all of them from one target.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "compute/le_pool.h"
#include "render/int8conv_vnni.h"
#include "render/int8conv_vnni_simd.h"
#include "render/le_custom_op.h"

namespace le {

const char* const kInt8Domain = "com.velmoor.int8";

namespace {

using int8conv::kBlock;
using int8conv::Kernels;
using int8conv::MinMaxFn;
using int8conv::Quant;
using int8conv::QuantRowFn;

// Beyond this many products per output a sum of uint8 x int8 may leave int32.
constexpr int64_t kMaxProducts = (int64_t(1) << 31) / (255 * 128);

std::atomic<uint64_t> g_packs{0};

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

int64_t floorDiv(int64_t a, int64_t b) {
  return a >= 0 ? a / b : -((-a + b - 1) / b);
}

}  // namespace

uint64_t int8ConvPackCount() {
  return g_packs.load();
}

// ---------------------------------------------------------------- Int8Conv

Int8Conv::Int8Conv(const Int8ConvAttrs& attrs, std::string where)
    : a_(attrs), where_(std::move(where)) {
  if (a_.group < 1)
    fail(where_ + ": group=" + std::to_string(a_.group) +
         " is not a group count; REFUSING to create the kernel.");
  if (a_.strideH < 1 || a_.strideW < 1 || a_.dilH < 1 || a_.dilW < 1 || a_.padTop < 0 ||
      a_.padLeft < 0 || a_.padBottom < 0 || a_.padRight < 0)
    fail(where_ + ": strides and dilations must be at least 1 and pads at least 0 (strides " +
         std::to_string(a_.strideH) + "," + std::to_string(a_.strideW) + ", dilations " +
         std::to_string(a_.dilH) + "," + std::to_string(a_.dilW) + ", pads " +
         std::to_string(a_.padTop) + "," + std::to_string(a_.padLeft) + "," +
         std::to_string(a_.padBottom) + "," + std::to_string(a_.padRight) +
         "); REFUSING to create the kernel.");
}

int64_t Int8Conv::outSize(int64_t in, int64_t padA, int64_t padB, int64_t k, int64_t dil,
                          int64_t stride) {
  const int64_t span = in + padA + padB - (k - 1) * dil - 1;
  return span < 0 ? -1 : span / stride + 1;
}

void Int8Conv::prepare(const int8_t* w, const int64_t (&ws)[4]) {
  std::call_once(packed_, [&] {
    if (ws[0] < 1 || ws[1] < 1 || ws[2] < 1 || ws[3] < 1)
      fail(where_ + ": the weights are " + shapeText(ws, 4) + "; REFUSING an empty kernel.");
    if (ws[0] % a_.group != 0)
      fail(where_ + ": " + std::to_string(ws[0]) +
           " output channels do not split into group=" + std::to_string(a_.group) + "; REFUSING.");
    const int64_t cin = ws[1] * a_.group, cin4 = (cin + 3) / 4, taps = ws[2] * ws[3];
    if (cin4 * 4 * taps > kMaxProducts)
      fail(where_ + ": " + std::to_string(cin4 * 4 * taps) +
           " products per output could overflow the 32-bit accumulators; REFUSING.");
    const int64_t blocks = (ws[0] + kBlock - 1) / kBlock;
    std::vector<int8_t> packed(size_t(blocks * taps * cin4 * 64), 0);
    std::vector<int32_t> wsum(size_t(blocks * kBlock), 0);
    std::vector<int32_t> tapSum(size_t(taps * blocks * kBlock), 0);
    const int64_t coutPerGroup = ws[0] / a_.group;
    for (int64_t co = 0; co < ws[0]; ++co) {
      const int64_t g = co / coutPerGroup, b = co / kBlock, o = co % kBlock;
      for (int64_t cg = 0; cg < ws[1]; ++cg) {
        const int64_t ci = g * ws[1] + cg;
        for (int64_t t = 0; t < taps; ++t) {
          const int8_t v = w[(co * ws[1] + cg) * taps + t];
          packed[size_t(((b * taps + t) * cin4 + ci / 4) * 64 + o * 4 + ci % 4)] = v;
          wsum[size_t(co)] += v;
          tapSum[size_t(t * blocks * kBlock + co)] += v;
        }
      }
    }
    cout_ = ws[0];
    cinPerGroup_ = ws[1];
    cin_ = cin;
    kh_ = ws[2];
    kw_ = ws[3];
    cin4_ = cin4;
    blocks_ = blocks;
    w_.swap(packed);
    wsum_.swap(wsum);
    tapSum_.swap(tapSum);
    ++g_packs;
  });
  if (ws[0] != cout_ || ws[1] != cinPerGroup_ || ws[2] != kh_ || ws[3] != kw_)
    fail(where_ + ": the weights are " + shapeText(ws, 4) + " but were packed as [" +
         std::to_string(cout_) + "," + std::to_string(cinPerGroup_) + "," + std::to_string(kh_) +
         "," + std::to_string(kw_) + "]; this operator takes its weights as constant. REFUSING.");
}

void Int8Conv::outShape(const int64_t (&xs)[4], int64_t (&ys)[4]) const {
  if (xs[1] != cin_)
    fail(where_ + ": X is " + shapeText(xs, 4) + " but the weights expect " + std::to_string(cin_) +
         " input channels; REFUSING.");
  ys[0] = xs[0];
  ys[1] = cout_;
  ys[2] = outSize(xs[2], a_.padTop, a_.padBottom, kh_, a_.dilH, a_.strideH);
  ys[3] = outSize(xs[3], a_.padLeft, a_.padRight, kw_, a_.dilW, a_.strideW);
  if (ys[2] < 1 || ys[3] < 1)
    fail(where_ + ": a " + std::to_string(kh_) + "x" + std::to_string(kw_) +
         " kernel does not fit X " + shapeText(xs, 4) + " with its pads and dilations; REFUSING.");
}

namespace {

// The range of the whole tensor, always containing 0, as one uint8 scale and
// zero point.
Quant quantParams(const Kernels& kern, const float* x, size_t count) {
  float lo = 0.f, hi = 0.f;
  const MinMaxFn minMax = kern.minMax;
  const int parts = pool::parts(count, 4096);
  if (parts >= 2) {
    std::vector<float> plo(size_t(parts), 0.f), phi(size_t(parts), 0.f);
    const size_t chunk = (count + size_t(parts) - 1) / size_t(parts);
    pool::parallelRange(count, 4096, [&](uint64_t b, uint64_t e) {
      const size_t k = size_t(b / chunk);
      minMax(x + b, size_t(e - b), plo[k], phi[k]);
    });
    for (int k = 0; k < parts; ++k) {
      lo = std::min(lo, plo[size_t(k)]);
      hi = std::max(hi, phi[size_t(k)]);
    }
  } else {
    minMax(x, count, lo, hi);
  }
  Quant qp;
  qp.s = (hi - lo) / 255.f;
  if (!(qp.s > 0.f) || !std::isfinite(qp.s)) qp.s = 1.f;
  qp.zp = int(std::clamp(std::nearbyint(-lo / qp.s), 0.f, 255.f));
  return qp;
}

// X [N, C, plane] into pixel-major rows: per pixel cin4 groups of 4 channel
// values; padding channels hold zp.
void quantiseImage(const Kernels& kern, const float* x, int64_t N, int64_t C, size_t plane,
                   int64_t cin4, Quant qp, uint8_t* xq) {
  const size_t group = size_t(kern.actBytes) * 4, pixBytes = size_t(cin4) * group;
  const QuantRowFn quantRow = kern.quantRow;
  pool::parallelRange(uint64_t(N) * plane, 1, [&](uint64_t b, uint64_t e) {
    // Blocks of pixels whose quantised bytes stay in cache while every
    // channel group is written into them, and long enough that each channel
    // plane is read as one stream.
    const size_t block = std::max<size_t>(64, (size_t(1) << 18) / pixBytes / 8 * 8);
    // A padding channel is 0 in float, so it quantises to zp.
    const std::vector<float> zeros(C % 4 ? block : 0, 0.f);
    while (b < e) {
      const size_t n = size_t(b / plane), p0 = size_t(b % plane);
      const size_t len = std::min<size_t>({size_t(e - b), plane - p0, block});
      const float* img = x + n * size_t(C) * plane;
      uint8_t* dst = xq + (n * plane + p0) * pixBytes;
      for (int64_t c4 = 0; c4 < cin4; ++c4) {
        const float* src[4];
        for (int j = 0; j < 4; ++j) {
          const int64_t c = c4 * 4 + j;
          src[j] = c < C ? img + size_t(c) * plane + p0 : zeros.data();
        }
        quantRow(src, len, qp, dst + group * size_t(c4), pixBytes);
      }
      b += len;
    }
  });
}

}  // namespace

// Output rows of the convolution on the quantised input, one at a time: the
// taps whose rows meet the image, then per block of 16 output channels the
// integer sums (packed tiles for interior pixels, the generic path that
// checks every tap for border ones) and the float epilogue. One per range
// of rows; the scratch buffers are its own.
struct Int8Conv::Rows {
  // Shared by every range.
  const Int8Conv* k = nullptr;
  const uint8_t* xq = nullptr;
  int64_t H = 0, W = 0, OH = 0, OW = 0;
  size_t pixBytes = 0, plane = 0, outPlane = 0;
  Quant qp;
  const float* scale = nullptr;
  const float* bias = nullptr;
  float* y = nullptr;
  int32_t* accOut = nullptr;
  int64_t ox0 = 0, ox1 = 0;  // interior columns: every tap column inside the image
  int taps = 0, cin4 = 0;
  ptrdiff_t pixStep = 0;
  const Kernels* kern = nullptr;

  // Scratch.
  std::vector<int32_t> acc, zw;
  std::vector<const uint8_t*> bx;
  std::vector<int> btaps, rowTap;
  std::vector<ptrdiff_t> rowOff;

  // The row being made.
  int64_t n = 0, oy = 0, iyBase = 0;
  const uint8_t* img = nullptr;
  const uint8_t* base = nullptr;
  int nt = 0;

  void allocate() {
    acc.resize(size_t(OW) * kBlock);
    zw.resize(size_t(OW) * kBlock);
    bx.resize(size_t(taps));
    btaps.resize(size_t(taps));
    rowTap.resize(size_t(taps));
    rowOff.resize(size_t(taps));
  }

  void row(uint64_t r) {
    n = int64_t(r) / OH;
    oy = int64_t(r) % OH;
    img = xq + size_t(n) * plane * pixBytes;
    iyBase = oy * k->a_.strideH - k->a_.padTop;
    rowTaps();
    for (int64_t b = 0; b < k->blocks_; ++b) {
      sums(b);
      finish(b);
    }
  }

  // The taps whose input rows lie inside the image: all of them inside the
  // interior, fewer in border rows. Offsets from the first such row.
  void rowTaps() {
    const Int8ConvAttrs& a = k->a_;
    nt = 0;
    int64_t kyFirst = -1;
    for (int64_t ky = 0; ky < k->kh_; ++ky) {
      const int64_t iy = iyBase + ky * a.dilH;
      if (iy < 0 || iy >= H) continue;
      if (kyFirst < 0) kyFirst = ky;
      for (int64_t kx = 0; kx < k->kw_; ++kx) {
        rowTap[size_t(nt)] = int(ky * k->kw_ + kx);
        rowOff[size_t(nt++)] =
            ptrdiff_t(((ky - kyFirst) * a.dilH * W + kx * a.dilW) * int64_t(pixBytes));
      }
    }
    base =
        nt > 0 && ox1 > ox0
            ? img + size_t((iyBase + kyFirst * a.dilH) * W + ox0 * a.strideW - a.padLeft) * pixBytes
            : nullptr;
  }

  const int32_t* tapSum(int t, int64_t b) const {
    return k->tapSum_.data() + size_t(t) * size_t(k->blocks_) * kBlock + size_t(b) * kBlock;
  }

  // Integer sums of block b for every pixel of the row, and zw: zp times
  // the weights that met the image.
  void sums(int64_t b) {
    const int8_t* wb = k->w_.data() + size_t(b) * size_t(taps) * size_t(cin4) * 64;
    int32_t rowZw[kBlock] = {};
    for (int t = 0; t < nt; ++t) {
      const int32_t* ts = tapSum(rowTap[size_t(t)], b);
      for (int o = 0; o < kBlock; ++o) rowZw[o] += ts[o];
    }
    for (int o = 0; o < kBlock; ++o) rowZw[o] *= qp.zp;
    for (int64_t ox = 0; ox < ox0; ++ox) borderPixel(b, wb, ox);
    for (int64_t ox = ox0; ox < ox1;) {
      const int p = int(std::min<int64_t>(kern->tile, ox1 - ox));
      if (nt > 0)
        kern->tiles[p](base + (ox - ox0) * pixStep, pixStep, rowOff.data(), rowTap.data(), nt, wb,
                       cin4, &acc[size_t(ox) * kBlock]);
      else
        std::fill_n(&acc[size_t(ox) * kBlock], p * kBlock, 0);
      for (int j = 0; j < p; ++j) std::memcpy(&zw[size_t(ox + j) * kBlock], rowZw, sizeof rowZw);
      ox += p;
    }
    for (int64_t ox = ox1; ox < OW; ++ox) borderPixel(b, wb, ox);
  }

  // Only the taps inside the image, each with its own weights.
  void borderPixel(int64_t b, const int8_t* wb, int64_t ox) {
    const Int8ConvAttrs& a = k->a_;
    const int64_t ixBase = ox * a.strideW - a.padLeft;
    int bt = 0;
    int32_t* z = &zw[size_t(ox) * kBlock];
    std::fill(z, z + kBlock, 0);
    for (int64_t ky = 0; ky < k->kh_; ++ky) {
      const int64_t iy = iyBase + ky * a.dilH;
      if (iy < 0 || iy >= H) continue;
      for (int64_t kx = 0; kx < k->kw_; ++kx) {
        const int64_t ix = ixBase + kx * a.dilW;
        if (ix < 0 || ix >= W) continue;
        const int t = int(ky * k->kw_ + kx);
        btaps[size_t(bt)] = t;
        bx[size_t(bt++)] = img + size_t(iy * W + ix) * pixBytes;
        const int32_t* ts = tapSum(t, b);
        for (int o = 0; o < kBlock; ++o) z[o] += ts[o];
      }
    }
    for (int o = 0; o < kBlock; ++o) z[o] *= qp.zp;
    kern->border(bx.data(), btaps.data(), bt, wb, cin4, &acc[size_t(ox) * kBlock]);
  }

  // Float epilogue. zp times the weights that met the image is the zero
  // point's share of the accumulator, so padding counts as 0 in float.
  void finish(int64_t b) {
    const int64_t co0 = b * kBlock;
    const int nco = int(std::min<int64_t>(kBlock, k->cout_ - co0));
    float sc[kBlock] = {}, bi[kBlock] = {};
    for (int o = 0; o < nco; ++o) {
      sc[o] = qp.s * scale[co0 + o];
      bi[o] = bias[co0 + o];
    }
    const size_t at = (size_t(n) * size_t(k->cout_) + size_t(co0)) * outPlane + size_t(oy * OW);
    kern->epilogue(acc.data(), zw.data(), OW, sc, bi, nco, y + at, outPlane);
    if (accOut)
      for (int o = 0; o < nco; ++o)
        for (int64_t ox = 0; ox < OW; ++ox)
          accOut[at + size_t(o) * outPlane + size_t(ox)] = acc[size_t(ox) * kBlock + size_t(o)];
  }
};

void Int8Conv::run(const float* x, const int64_t (&xs)[4], const float* scale, const float* bias,
                   float* y, int32_t* accOut) const {
  int64_t ys[4];
  outShape(xs, ys);
  const int64_t N = xs[0], C = xs[1], H = xs[2], W = xs[3], OH = ys[2], OW = ys[3];
  if (N == 0) return;

  // One target for the whole run: its quantised layout is what its tiles read.
  const Kernels& kern = int8conv::bestKernels();
  const Quant qp = quantParams(kern, x, size_t(N * C * H * W));
  const size_t pixBytes = size_t(cin4_) * 4 * size_t(kern.actBytes), plane = size_t(H * W);
  thread_local std::vector<uint8_t> xqBuf;
  xqBuf.resize(size_t(N) * plane * pixBytes);
  quantiseImage(kern, x, N, C, plane, cin4_, qp, xqBuf.data());

  Rows shared;
  shared.k = this;
  shared.xq = xqBuf.data();
  shared.H = H, shared.W = W, shared.OH = OH, shared.OW = OW;
  shared.pixBytes = pixBytes, shared.plane = plane, shared.outPlane = size_t(OH * OW);
  shared.qp = qp;
  shared.scale = scale, shared.bias = bias, shared.y = y, shared.accOut = accOut;
  shared.ox0 = std::min((a_.padLeft + a_.strideW - 1) / a_.strideW, OW);
  shared.ox1 = std::max(
      shared.ox0, std::min(floorDiv(W - 1 + a_.padLeft - (kw_ - 1) * a_.dilW, a_.strideW) + 1, OW));
  shared.taps = int(kh_ * kw_), shared.cin4 = int(cin4_);
  shared.pixStep = ptrdiff_t(a_.strideW * int64_t(pixBytes));
  shared.kern = &kern;
  pool::parallelRange(uint64_t(N * OH), 1, [&](uint64_t rb, uint64_t re) {
    Rows rows = shared;
    rows.allocate();
    for (uint64_t r = rb; r < re; ++r) rows.row(r);
  });
}

// ---------------------------------------------------------------- operator

namespace {

void check(OrtStatusPtr st) {
  if (!st) return;
  const std::string msg = Ort::GetApi().GetErrorMessage(st);
  Ort::GetApi().ReleaseStatus(st);
  fail(msg);
}

// An ints attribute, or `fallback` when it is absent or has fewer than `want` values.
std::vector<int64_t> intsAttr(const OrtApi& api, const OrtKernelInfo* info, const char* name,
                              size_t want, std::vector<int64_t> fallback) {
  size_t size = 0;
  OrtStatusPtr st = api.KernelInfoGetAttributeArray_int64(info, name, nullptr, &size);
  if (st) {  // absent
    api.ReleaseStatus(st);
    return fallback;
  }
  if (size < want) return fallback;
  std::vector<int64_t> v(size);
  check(api.KernelInfoGetAttributeArray_int64(info, name, v.data(), &size));
  return v;
}

std::string nodeName(const OrtApi& api, const OrtKernelInfo* info) {
  size_t size = 0;
  if (OrtStatusPtr st = api.KernelInfo_GetNodeName(info, nullptr, &size)) {
    api.ReleaseStatus(st);
    return "";
  }
  std::string s(size, '\0');
  check(api.KernelInfo_GetNodeName(info, s.data(), &size));
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

Int8ConvAttrs readAttrs(const OrtApi& api, const OrtKernelInfo* info) {
  Int8ConvAttrs a;
  const auto strides = intsAttr(api, info, "strides", 2, {1, 1});
  const auto pads = intsAttr(api, info, "pads", 4, {0, 0, 0, 0});
  const auto dil = intsAttr(api, info, "dilations", 2, {1, 1});
  a.strideH = strides[0], a.strideW = strides[1];
  a.padTop = pads[0], a.padLeft = pads[1], a.padBottom = pads[2], a.padRight = pads[3];
  a.dilH = dil[0], a.dilW = dil[1];
  int64_t group = 1;
  if (OrtStatusPtr st = api.KernelInfoGetAttribute_int64(info, "group", &group)) {
    api.ReleaseStatus(st);
    group = 1;
  }
  a.group = group;
  return a;
}

void shapeOf(const Ort::ConstValue& v, int64_t (&out)[4], const std::string& where,
             const char* what) {
  const auto s = v.GetTensorTypeAndShapeInfo().GetShape();
  if (s.size() != 4)
    fail(where + ": " + what + " is " + shapeText(s.data(), s.size()) +
         "; this operator takes 4-dimensional tensors. REFUSING.");
  for (int i = 0; i < 4; ++i) out[i] = s[size_t(i)];
}

struct Int8ConvKernel {
  static constexpr const char* kName = "Int8ConvVNNI";
  static constexpr ONNXTensorElementDataType kInputTypes[] = {
      ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, ONNX_TENSOR_ELEMENT_DATA_TYPE_INT8,
      ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT};
  static constexpr bool kOutputShapeOfInput0 = false;

  std::string where;
  Int8Conv conv;

  Int8ConvKernel(const OrtApi& api, const OrtKernelInfo* info)
      : where("com.velmoor.int8::Int8ConvVNNI node '" + nodeName(api, info) + "'"),
        conv(readAttrs(api, info), where) {}

  void compute(Ort::KernelContext& ctx) {
    auto x = ctx.GetInput(0);
    auto w = ctx.GetInput(1);
    auto scale = ctx.GetInput(2);
    auto bias = ctx.GetInput(3);
    int64_t xs[4], ws[4], ys[4];
    shapeOf(x, xs, where, "X");
    shapeOf(w, ws, where, "the weights");
    for (auto* v : {&scale, &bias})
      if (v->GetTensorTypeAndShapeInfo().GetElementCount() != size_t(ws[0]))
        fail(where + ": the weight scale and the bias need " + std::to_string(ws[0]) +
             " values, one per output channel; REFUSING.");
    conv.prepare(w.GetTensorData<int8_t>(), ws);
    conv.outShape(xs, ys);
    auto y = ctx.GetOutput(0, ys, 4);
    conv.run(x.GetTensorData<float>(), xs, scale.GetTensorData<float>(),
             bias.GetTensorData<float>(), y.GetTensorMutableData<float>());
  }
};

}  // namespace

Ort::CustomOpDomain& int8Domain() {
  // Sessions keep pointers to the domain and its operator until they are
  // destroyed, which may be during process exit: never free them.
  static Ort::CustomOpDomain* domain = [] {
    auto* d = new Ort::CustomOpDomain(kInt8Domain);
    d->Add(cpuOp<Int8ConvKernel>());
    return d;
  }();
  return *domain;
}

void registerInt8ConvVNNI(Ort::SessionOptions& options) {
  options.Add(int8Domain());
}

}  // namespace le
