#include "render/le_warp.h"
#include "compute/le_tsan.h"
#include "render/int8conv_vnni.h"

#include <immintrin.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <stdexcept>

namespace le {

const char* const kLipInputName = "lip_delivery";
const char* const kLipMinName = "tessera_lipdel_min";
const char* const kLipShrunkName = "tessera_lipdel_alpha";

// ---------------------------------------------------------------- sampling

namespace {

constexpr int kBand = 16;

// The taps of one axis: the clamped 4-sample window around the two bilinear
// taps (neighbour, tap 0, tap 1, neighbour), their weights, and the
// curvature weight e = u (1 - u) / 2 of the unclamped fractional offset.
struct Axis {
  int idx[4];
  float w0, w1, e;
};

inline Axis axisOf(float g, int size) {
  Axis a;
  const float i = ((g + 1.f) * float(size) - 1.f) * 0.5f;
  const float u = i - std::floor(i);
  a.e = u * (1.f - u) * 0.5f;
  // max(0, NaN) is 0: a NaN grid value samples the edge instead of
  // reaching an integer conversion.
  const float c = std::min(std::max(0.f, i), float(size - 1));
  const int t0 = int(c);
  const int t1 = std::min(t0 + 1, size - 1);
  a.w1 = c - float(t0);
  a.w0 = 1.f - a.w1;
  a.idx[0] = std::max(t0 - 1, 0);
  a.idx[1] = t0;
  a.idx[2] = t1;
  a.idx[3] = std::min(t1 + 1, size - 1);
  return a;
}

// One channel at one pixel. b is the 4 x 4 window (rows of ay, columns of
// ax); a tap whose weight is 0 may see a clamped neighbour there, which
// cannot change the result.
inline float warpPixel(const float b[4][4], const Axis& ax, const Axis& ay) {
  float dxx[4][2], dyy[2][2], dxy[2][2];
  for (int r = 0; r < 4; ++r)
    for (int k = 0; k < 2; ++k) dxx[r][k] = b[r][k] - 2.f * b[r][k + 1] + b[r][k + 2];
  for (int k = 0; k < 2; ++k)
    for (int j = 0; j < 2; ++j) {
      dyy[k][j] = b[k][j + 1] - 2.f * b[k + 1][j + 1] + b[k + 2][j + 1];
      dxy[k][j] = dxx[k][j] - 2.f * dxx[k + 1][j] + dxx[k + 2][j];
    }
  const float w00 = ax.w0 * ay.w0, w01 = ax.w1 * ay.w0, w10 = ax.w0 * ay.w1, w11 = ax.w1 * ay.w1;
  auto blend = [&](float a, float bb, float c, float d) {
    return w00 * a + w01 * bb + w10 * c + w11 * d;
  };
  const float bx = blend(b[1][1], b[1][2], b[2][1], b[2][2]);
  const float bxx = blend(dxx[1][0], dxx[1][1], dxx[2][0], dxx[2][1]);
  const float byy = blend(dyy[0][0], dyy[0][1], dyy[1][0], dyy[1][1]);
  const float bxy = blend(dxy[0][0], dxy[0][1], dxy[1][0], dxy[1][1]);
  return bx - ax.e * bxx - ay.e * byy + ax.e * ay.e * bxy;
}

}  // namespace

namespace {

#define LE_AVX2 __attribute__((target("avx2"), always_inline)) inline

struct AxisV {
  __m256i idx[4];
  __m256 w0, w1, e;
};

LE_AVX2 AxisV axisV(__m256 g, int size) {
  const __m256 one = _mm256_set1_ps(1.f), half = _mm256_set1_ps(0.5f);
  const __m256i onei = _mm256_set1_epi32(1), last = _mm256_set1_epi32(size - 1);
  AxisV a;
  const __m256 i = _mm256_mul_ps(
      _mm256_sub_ps(_mm256_mul_ps(_mm256_add_ps(g, one), _mm256_set1_ps(float(size))), one), half);
  const __m256 u = _mm256_sub_ps(i, _mm256_floor_ps(i));
  a.e = _mm256_mul_ps(_mm256_mul_ps(u, _mm256_sub_ps(one, u)), half);
  // max_ps gives its second operand for NaN, as std::max(0.f, NaN) gives 0.
  const __m256 c =
      _mm256_min_ps(_mm256_max_ps(i, _mm256_setzero_ps()), _mm256_set1_ps(float(size - 1)));
  const __m256i t0 = _mm256_cvttps_epi32(c);
  const __m256i t1 = _mm256_min_epi32(_mm256_add_epi32(t0, onei), last);
  a.w1 = _mm256_sub_ps(c, _mm256_cvtepi32_ps(t0));
  a.w0 = _mm256_sub_ps(one, a.w1);
  a.idx[0] = _mm256_max_epi32(_mm256_sub_epi32(t0, onei), _mm256_setzero_si256());
  a.idx[1] = t0;
  a.idx[2] = t1;
  a.idx[3] = _mm256_min_epi32(_mm256_add_epi32(t1, onei), last);
  return a;
}

// a - 2 b + c, in that order.
LE_AVX2 __m256 diffV(__m256 a, __m256 b, __m256 c) {
  return _mm256_add_ps(_mm256_sub_ps(a, _mm256_mul_ps(_mm256_set1_ps(2.f), b)), c);
}

LE_AVX2 __m256 blendV(const __m256 w[4], __m256 a, __m256 b, __m256 c, __m256 d) {
  return _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(w[0], a), _mm256_mul_ps(w[1], b)),
                                     _mm256_mul_ps(w[2], c)),
                       _mm256_mul_ps(w[3], d));
}

// The scalar arithmetic on 8 pixels of a row, operation for operation (no
// fused multiply-adds), so both give the same result bit for bit. Returns
// the first pixel it did not do.
__attribute__((target("avx2"))) int warpRowAvx2(const float* src, const float* g, float* out, int W,
                                                int H, int y) {
  const size_t plane = size_t(W) * size_t(H);
  int x = 0;
  for (; x + 8 <= W; x += 8) {
    const __m256 g0 = _mm256_loadu_ps(g + 2 * x), g1 = _mm256_loadu_ps(g + 2 * x + 8);
    // De-interleave (x, y) pairs; the shuffle leaves lanes in 0 1 4 5 2 3 6 7 order.
    const __m256 gx = _mm256_castpd_ps(
        _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(g0, g1, 0x88)), 0xD8));
    const __m256 gy = _mm256_castpd_ps(
        _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(g0, g1, 0xDD)), 0xD8));
    const AxisV ax = axisV(gx, W), ay = axisV(gy, H);
    __m256i off[4][4];
    for (int r = 0; r < 4; ++r) {
      const __m256i row = _mm256_mullo_epi32(ay.idx[r], _mm256_set1_epi32(W));
      for (int k = 0; k < 4; ++k) off[r][k] = _mm256_add_epi32(row, ax.idx[k]);
    }
    const __m256 w[4] = {_mm256_mul_ps(ax.w0, ay.w0), _mm256_mul_ps(ax.w1, ay.w0),
                         _mm256_mul_ps(ax.w0, ay.w1), _mm256_mul_ps(ax.w1, ay.w1)};
    const __m256 exy = _mm256_mul_ps(ax.e, ay.e);
    for (int ch = 0; ch < 3; ++ch) {
      const float* p = src + ch * plane;
      __m256 b[4][4];
      for (int r = 0; r < 4; ++r)
        for (int k = 0; k < 4; ++k) b[r][k] = _mm256_i32gather_ps(p, off[r][k], 4);
      __m256 dxx[4][2], dyy[2][2], dxy[2][2];
      for (int r = 0; r < 4; ++r)
        for (int k = 0; k < 2; ++k) dxx[r][k] = diffV(b[r][k], b[r][k + 1], b[r][k + 2]);
      for (int k = 0; k < 2; ++k)
        for (int j = 0; j < 2; ++j) {
          dyy[k][j] = diffV(b[k][j + 1], b[k + 1][j + 1], b[k + 2][j + 1]);
          dxy[k][j] = diffV(dxx[k][j], dxx[k + 1][j], dxx[k + 2][j]);
        }
      const __m256 bx = blendV(w, b[1][1], b[1][2], b[2][1], b[2][2]);
      const __m256 bxx = blendV(w, dxx[1][0], dxx[1][1], dxx[2][0], dxx[2][1]);
      const __m256 byy = blendV(w, dyy[0][0], dyy[0][1], dyy[1][0], dyy[1][1]);
      const __m256 bxy = blendV(w, dxy[0][0], dxy[0][1], dxy[1][0], dxy[1][1]);
      const __m256 v = _mm256_add_ps(
          _mm256_sub_ps(_mm256_sub_ps(bx, _mm256_mul_ps(ax.e, bxx)), _mm256_mul_ps(ay.e, byy)),
          _mm256_mul_ps(exy, bxy));
      _mm256_storeu_ps(out + ch * plane + size_t(y) * W + x, v);
    }
  }
  return x;
}

bool haveAvx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}

}  // namespace

void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int y0,
                      int y1) {
  y0 = std::max(y0, 0);
  y1 = std::min(y1, H);
  const size_t plane = size_t(W) * size_t(H);
  // 32-bit gather offsets cover one plane of up to 2^31 floats.
  const bool vec = haveAvx2() && plane < (size_t(1) << 31);
  for (int y = y0; y < y1; ++y) {
    const float* g = grid + size_t(y) * W * 2;
    for (int x = vec ? warpRowAvx2(src, g, out, W, H, y) : 0; x < W; ++x) {
      const Axis ax = axisOf(g[2 * x], W), ay = axisOf(g[2 * x + 1], H);
      for (int c = 0; c < 3; ++c) {
        const float* p = src + c * plane;
        float b[4][4];
        for (int r = 0; r < 4; ++r) {
          const float* row = p + size_t(ay.idx[r]) * W;
          for (int k = 0; k < 4; ++k) b[r][k] = row[ax.idx[k]];
        }
        out[c * plane + size_t(y) * W + x] = warpPixel(b, ax, ay);
      }
    }
  }
}

void warpDirector(const float* src, const float* grid, float* out, int W, int H) {
  warpDirectorBand(src, grid, out, W, H, 0, H);
}

// ---------------------------------------------------------------- operator

namespace {

struct WarpJob {
  const float* src;
  const float* grid;
  float* out;
  int W, H;
};

void warp_band_fn(void* context, size_t band) {
  tsanAcquire(context);
  const WarpJob& j = *static_cast<const WarpJob*>(context);
  const int y0 = int(band) * kBand;
  warpDirectorBand(j.src, j.grid, j.out, j.W, j.H, y0, std::min(j.H, y0 + kBand));
  tsanRelease(context);
}

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? "," : "") + std::to_string(s[i]);
  return t + "]";
}

struct WarpKernel {
  int lastW = 0, lastH = 0;

  OrtStatusPtr ComputeV2(OrtKernelContext* context) {
    try {
      Ort::KernelContext ctx(context);
      auto x = ctx.GetInput(0);
      auto g = ctx.GetInput(1);
      const auto xs = x.GetTensorTypeAndShapeInfo().GetShape();
      const auto gs = g.GetTensorTypeAndShapeInfo().GetShape();
      if (xs.size() == 4 && xs[1] != 3)
        throw std::runtime_error(
            "com.velmoor::WarpDirector: this node warps the director's 3-channel source and the "
            "graph handed it C=" +
            std::to_string(xs[1]) + ". REFUSING rather than writing a frame nobody asked for.");
      // The grid is indexed by the source's spatial size.
      if (xs.size() != 4 || gs.size() != 4 || gs[0] != xs[0] || gs[1] != xs[2] || gs[2] != xs[3] ||
          gs[3] != 2)
        throw std::runtime_error("com.velmoor::WarpDirector: the grid is " + shapeText(gs) +
                                 " for the source " + shapeText(xs) +
                                 "; this node needs the grid [N, H, W, 2]. REFUSING rather "
                                 "than reading past the grid.");
      auto y = ctx.GetOutput(0, xs);
      const int64_t N = xs[0], H = xs[2], W = xs[3];
      lastW = int(W), lastH = int(H);
      if (N == 0 || H == 0 || W == 0) return nullptr;
      const float* X = x.GetTensorData<float>();
      const float* G = g.GetTensorData<float>();
      float* Y = y.GetTensorMutableData<float>();
      const size_t img = size_t(3) * H * W, gimg = size_t(H) * W * 2;
      for (int64_t n = 0; n < N; ++n) {
        WarpJob job{X + n * img, G + n * gimg, Y + n * img, int(W), int(H)};
        tsanRelease(&job);
        ctx.ParallelFor(warp_band_fn, size_t((H + kBand - 1) / kBand), 0, &job);
        tsanAcquire(&job);
      }
      return nullptr;
    } catch (const std::exception& e) {
      return Ort::GetApi().CreateStatus(ORT_RUNTIME_EXCEPTION, e.what());
    }
  }
};

struct WarpOp : Ort::CustomOpBase<WarpOp, WarpKernel, true> {
  WarpOp() { InferOutputShapeFn = sameShapeAsInput0; }
  OrtStatusPtr CreateKernelV2(const OrtApi&, const OrtKernelInfo*, void** kernel) const {
    *kernel = new WarpKernel();
    return nullptr;
  }
  const char* GetName() const { return "WarpDirector"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 2; }
  ONNXTensorElementDataType GetInputType(size_t) const {
    return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const {
    return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
};

}  // namespace

const OrtCustomOp* warpDirectorOp() {
  static const WarpOp* op = new WarpOp();  // sessions may outlive static destruction
  return op;
}

void registerWarpDirector(Ort::SessionOptions& options) {
  registerGridSampleFast(options);
}

// ---------------------------------------------------------------- graph view

namespace {

// Producers, consumers, initializers and graph inputs/outputs of one graph.
struct GraphView {
  std::vector<GsNodeInfo> nodes;
  std::set<std::string> inputs;
  std::vector<std::string> outputs;
  std::map<std::string, GsSlice> inits;      // TensorProto payloads
  std::map<std::string, GsSlice> inputInfo;  // ValueInfoProto payloads
  std::map<std::string, size_t> producer;
  std::map<std::string, std::vector<size_t>> consumers;

  explicit GraphView(GsSlice graph) {
    gsReadGraph(graph, nodes, nullptr, &inputs);
    GsReader r(graph);
    GsField f;
    while (r.next(f)) {
      if (f.wire != 2) continue;
      if (f.num == 5) inits.emplace(gsFirstStr(f.payload, 8), f.payload);
      if (f.num == 11) inputInfo.emplace(gsFirstStr(f.payload, 1), f.payload);
      if (f.num == 12) outputs.push_back(gsFirstStr(f.payload, 1));
    }
    for (size_t i = 0; i < nodes.size(); ++i) {
      for (const auto& o : nodes[i].outputs)
        if (!o.empty()) producer.emplace(o, i);
      std::set<std::string> seen;
      for (const auto& in : nodes[i].inputs)
        if (!in.empty() && seen.insert(in).second) consumers[in].push_back(i);
    }
  }

  const GsNodeInfo* producerOf(const std::string& v) const {
    auto it = producer.find(v);
    return it == producer.end() ? nullptr : &nodes[it->second];
  }
  const std::vector<size_t>& readers(const std::string& v) const {
    static const std::vector<size_t> none;
    auto it = consumers.find(v);
    return it == consumers.end() ? none : it->second;
  }
  bool isOutput(const std::string& v) const {
    return std::find(outputs.begin(), outputs.end(), v) != outputs.end();
  }
  bool isInput(const std::string& v) const { return inputs.count(v) && !inits.count(v); }
  std::string label(size_t i) const { return nodes[i].name.empty() ? nodes[i].op : nodes[i].name; }
  static GsSlice payload(const GsNodeInfo& n) { return hcPayload(n.raw); }

  // The TensorProto of an initializer or of a Constant node's value.
  bool constTensor(const std::string& v, GsSlice& t) const {
    auto it = inits.find(v);
    if (it != inits.end()) {
      t = it->second;
      return true;
    }
    const GsNodeInfo* p = producerOf(v);
    if (!p || p->op != "Constant") return false;
    t = hcConstValue(payload(*p));
    return !t.empty();
  }
  bool inputDims(const std::string& v, std::vector<int64_t>& dims) const {
    auto it = inputInfo.find(v);
    return it != inputInfo.end() && gsValueInfoDims(it->second, dims);
  }
};

int boundaryOf(const GraphView& g, std::string& name) {
  int count = 0;
  for (const auto& n : g.nodes)
    if (n.op == "Concat" &&
        std::find(n.inputs.begin(), n.inputs.end(), "P_rgb") != n.inputs.end()) {
      if (++count == 1 && !n.outputs.empty()) name = n.outputs[0];
    }
  return count;
}

// The nodes behind `boundary` up to P_rgb, initializers and Constant nodes.
bool coneNodes(const GraphView& g, const std::string& boundary, std::vector<uint8_t>& cone,
               std::string& reason) {
  cone.assign(g.nodes.size(), 0);
  std::vector<std::string> todo{boundary};
  while (!todo.empty()) {
    const std::string v = todo.back();
    todo.pop_back();
    if (v.empty() || v == "P_rgb" || g.inits.count(v)) continue;
    if (g.isInput(v)) {
      reason = "cone reads graph input '" + v + "'";
      return false;
    }
    auto it = g.producer.find(v);
    if (it == g.producer.end()) {
      reason = "cone leaf '" + v + "' has no producer";
      return false;
    }
    const size_t i = it->second;
    if (g.nodes[i].op == "Constant" || cone[i]) continue;
    cone[i] = 1;
    for (const auto& in : g.nodes[i].inputs) todo.push_back(in);
  }
  return true;
}

// A value made by a cone node (other than `cut`) that a node outside
// `allowed` reads, or that leaves the graph.
bool coneEscapes(const GraphView& g, const std::vector<uint8_t>& cone,
                 const std::vector<uint8_t>& allowed, const std::string& cut, std::string& reason) {
  for (size_t i = 0; i < g.nodes.size(); ++i) {
    if (!cone[i]) continue;
    for (const auto& o : g.nodes[i].outputs) {
      if (o.empty() || o == cut) continue;
      if (g.isOutput(o)) {
        reason = "cone value '" + o + "' escapes to the graph output";
        return true;
      }
      for (size_t c : g.readers(o))
        if (!allowed[c]) {
          reason = "cone value '" + o + "' escapes to " + g.label(c);
          return true;
        }
    }
  }
  return false;
}

// The cone that the hoist cuts out: everything P_rgb feeds, nothing else.
bool hoistCone(const GraphView& g, const std::string& boundary, std::vector<uint8_t>& cone,
               std::string& reason) {
  if (!coneNodes(g, boundary, cone, reason)) return false;
  if (coneEscapes(g, cone, cone, boundary, reason)) return false;
  for (size_t c : g.readers("P_rgb"))
    if (!cone[c]) {
      reason = "P_rgb is also read outside the cone by " + g.label(c);
      return false;
    }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- warp block

size_t findWarpBlock(const GsBytes& model, WarpBlock* block, std::string& reason) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return 0;
  }
  if (!block) {
    reason = "no out param";
    return 0;
  }
  const GraphView g(graph);
  std::string boundary;
  const int concats = boundaryOf(g, boundary);
  if (concats != 1) {
    reason = "not one Concat consuming P_rgb: " + std::to_string(concats);
    return 0;
  }

  std::vector<size_t> tips;
  for (size_t c : g.readers(boundary)) {
    const auto& n = g.nodes[c];
    const bool sampler =
        n.op == "GridSample" || (n.op == "GridSampleFast" && n.domain == kVelmoorDomain);
    if (sampler && !n.inputs.empty() && n.inputs[0] == boundary) tips.push_back(c);
  }
  if (tips.empty()) {
    reason = "no GridSample consuming '" + boundary + "'";
    return 0;
  }
  if (tips.size() > 1) {
    reason = "two GridSamples on the cone's tip";
    return 0;
  }
  const size_t gs = tips[0];
  const GsNodeInfo& sampler = g.nodes[gs];
  const bool fast = sampler.op == "GridSampleFast";
  if (!fast && !gsIsRewritableGridSample(GraphView::payload(sampler))) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return 0;
  }
  if (sampler.outputs.empty() || sampler.outputs[0].empty()) {
    reason = "the fused GridSample has no output";
    return 0;
  }
  if (sampler.inputs.size() < 2) {
    reason = "the grid has no producer";
    return 0;
  }

  // The recombination: Slices of the samples, then the arithmetic on them.
  std::vector<uint8_t> inside(g.nodes.size(), 0);
  std::set<std::string> made(sampler.outputs.begin(), sampler.outputs.end());
  inside[gs] = 1;
  for (size_t c : g.readers(sampler.outputs[0]))
    if (g.nodes[c].op == "Slice") {
      inside[c] = 1;
      made.insert(g.nodes[c].outputs.begin(), g.nodes[c].outputs.end());
    }
  for (bool grown = true; grown;) {
    grown = false;
    for (size_t i = 0; i < g.nodes.size(); ++i) {
      const auto& n = g.nodes[i];
      if (inside[i] || (n.op != "Mul" && n.op != "Sub" && n.op != "Add")) continue;
      if (std::none_of(n.inputs.begin(), n.inputs.end(),
                       [&](const std::string& v) { return made.count(v) > 0; }))
        continue;
      inside[i] = 1;
      made.insert(n.outputs.begin(), n.outputs.end());
      grown = true;
    }
  }
  std::set<std::string> exits;
  for (const auto& v : made) {
    if (v.empty()) continue;
    if (g.isOutput(v)) exits.insert(v);
    for (size_t c : g.readers(v))
      if (!inside[c]) exits.insert(v);
  }
  if (exits.size() != 1) {
    reason = "the recombination has " + std::to_string(exits.size()) + " exits, not 1";
    return 0;
  }
  const std::string grid = sampler.inputs[1];
  if (!g.producer.count(grid)) {
    reason = "the grid has no producer";
    return 0;
  }

  // The warp node computes from P_rgb alone: a cone that reads anything
  // else, or whose values are needed elsewhere, cannot go with it.
  std::vector<uint8_t> cone;
  if (!coneNodes(g, boundary, cone, reason)) return 0;
  std::vector<uint8_t> members(g.nodes.size(), 0);
  for (size_t i = 0; i < members.size(); ++i) members[i] = cone[i] | inside[i];
  if (coneEscapes(g, cone, members, "", reason)) return 0;

  block->gridSample = gs;
  block->fast = fast;
  block->grid = grid;
  block->exit = *exits.begin();
  block->nodes = members;
  return size_t(std::count(members.begin(), members.end(), 1));
}

size_t rewriteWarpBlockToCustomOp(GsBytes& model, std::string& reason) {
  WarpBlock b;
  const size_t removed = findWarpBlock(model, &b, reason);
  if (removed == 0) return 0;
  const GraphView g(gsGraphOf(model));
  if (b.gridSample >= g.nodes.size() || b.nodes.size() != g.nodes.size() ||
      (g.nodes[b.gridSample].op != "GridSample" && g.nodes[b.gridSample].op != "GridSampleFast") ||
      g.nodes[b.gridSample].inputs.size() < 2 || g.nodes[b.gridSample].inputs[1] != b.grid) {
    reason = "the GridSample moved between passes";
    return 0;
  }
  GsGraphEdit e;
  e.dropNode = b.nodes;
  e.dropUnusedInits = true;
  // Where the exit was made: its readers come later, the grid earlier.
  e.appendBefore = g.producer.at(b.exit);
  hcNode(e.append, "WarpDirector", {"P_rgb", b.grid}, b.exit, "le_warp_director", {},
         kVelmoorDomain);
  GsBytes out;
  gsRebuild(model, e, out);
  if (!gsHasOpsetImport(out, kVelmoorDomain)) gsAddOpsetImport(out, kVelmoorDomain, 1);
  model.swap(out);
  return removed;
}

// ---------------------------------------------------------------- source cone

int findSourceConeBoundary(const GsBytes& model, std::string& name) {
  const GraphView g(gsGraphOf(model));
  std::string found;
  const int count = boundaryOf(g, found);
  if (count == 1) name = found;
  return count;
}

bool buildSourceConePrep(const GsBytes& model, const std::string& boundary, GsBytes& prep,
                         std::string& reason) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  const GraphView g(graph);
  if (!g.isInput("P_rgb")) {
    reason = "no P_rgb input";
    return false;
  }
  std::vector<uint8_t> cone;
  if (!hoistCone(g, boundary, cone, reason)) return false;
  if (std::count(cone.begin(), cone.end(), 1) == 0) {
    reason = "empty cone";
    return false;
  }
  GsGraphEdit e;
  e.dropNode.resize(g.nodes.size());
  for (size_t i = 0; i < g.nodes.size(); ++i)
    e.dropNode[i] = !cone[i] && g.nodes[i].op != "Constant";
  e.keepOnlyPrgb = true;
  e.dropOutputs = true;
  e.dropUnusedInits = true;
  // The shape is left to the runtime's inference; the caller reads it back.
  e.valueInfoName = boundary;
  e.rank = 4;
  e.valueInfoField = 12;
  gsRebuild(model, e, prep);
  return true;
}

bool buildSourceConePerFrame(const GsBytes& model, const std::string& boundary, const int64_t* dims,
                             int rank, GsBytes& perFrame, std::string& reason) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return false;
  }
  const GraphView g(graph);
  if (!g.isInput("P_rgb")) {
    reason = "no P_rgb input";
    return false;
  }
  std::vector<uint8_t> cone;
  if (!hoistCone(g, boundary, cone, reason)) return false;
  GsGraphEdit e;
  e.dropNode = cone;
  e.dropPrgb = true;
  e.dropUnusedInits = true;
  e.valueInfoName = boundary;
  if (dims) e.dims.assign(dims, dims + rank);
  e.rank = rank;
  e.valueInfoField = 11;
  gsRebuild(model, e, perFrame);
  return true;
}

// ---------------------------------------------------------------- lip contour

namespace {

bool isOneFloat(const GraphView& g, const std::string& v) {
  GsSlice t;
  std::vector<float> values;
  return g.constTensor(v, t) && hcTensorFloats(t, values) && values.size() == 1 && values[0] == 1.f;
}

// The alpha a of out = Add(Mul(Sub(1, a), prior), Mul(a, mouth)), a = Clip(..).
bool composeAlpha(const GraphView& g, std::string& alpha) {
  if (g.outputs.empty()) return false;
  const GsNodeInfo* n = g.producerOf(g.outputs[0]);
  for (int i = 0; i < 4 && n && (n->op == "Identity" || n->op == "Cast"); ++i)
    n = n->inputs.empty() ? nullptr : g.producerOf(n->inputs[0]);
  std::vector<const GsNodeInfo*> todo{n};
  size_t next = 0;
  int visited = 0;
  while (next < todo.size() && visited < 64) {
    const GsNodeInfo* add = todo[next++];
    if (!add || add->op != "Add") continue;
    ++visited;
    for (const auto& in : add->inputs) todo.push_back(g.producerOf(in));
    if (add->inputs.size() != 2) continue;
    const GsNodeInfo* muls[2] = {g.producerOf(add->inputs[0]), g.producerOf(add->inputs[1])};
    if (!muls[0] || !muls[1] || muls[0]->op != "Mul" || muls[1]->op != "Mul") continue;
    for (int k = 0; k < 2; ++k)
      for (const auto& in : muls[k]->inputs) {
        const GsNodeInfo* sub = g.producerOf(in);
        if (!sub || sub->op != "Sub" || sub->inputs.size() != 2) continue;
        const std::string& a = sub->inputs[1];
        const GsNodeInfo* clip = g.producerOf(a);
        const auto& other = muls[1 - k]->inputs;
        if (isOneFloat(g, sub->inputs[0]) && clip && clip->op == "Clip" && other.size() == 2 &&
            (other[0] == a) != (other[1] == a)) {
          alpha = a;
          return true;
        }
      }
  }
  return false;
}

void putNodeRenamed(GsBytes& graph, GsSlice node, const std::string& from, const std::string& to) {
  GsBytes n;
  n.reserve(node.n + to.size());
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.num == 1 && f.wire == 2 && f.payload.is(from.c_str()))
      gsPutBytes(n, 1, to);
    else
      gsPutRaw(n, f.raw);
  }
  gsPutBytes(graph, 1, n.data(), n.size());
}

// Reads the bound graph back: what the binding promised must be there.
bool checkBound(const GsBytes& model, const std::string& alpha, std::string& reason) {
  const GraphView g(gsGraphOf(model));
  if (!g.isInput(kLipInputName)) {
    reason = "self-check: the input did not survive the rebuild";
    return false;
  }
  if (std::none_of(g.nodes.begin(), g.nodes.end(),
                   [](const GsNodeInfo& n) { return n.name == kLipMinName && n.op == "Min"; })) {
    reason = "self-check: the Min node did not survive the rebuild";
    return false;
  }
  for (size_t c : g.readers(alpha))
    if (g.nodes[c].name != kLipMinName) {
      reason = "self-check: rewire did not take: " + g.label(c) + " still reads '" + alpha +
               "' \xE2\x80\x94 refusing a graph that would serve the ellipse with the input "
               "attached and ignored";
      return false;
    }
  std::set<std::string> ready(g.inputs.begin(), g.inputs.end());
  for (const auto& kv : g.inits) ready.insert(kv.first);
  for (const auto& n : g.nodes) {
    for (const auto& in : n.inputs)
      if (!in.empty() && !ready.count(in)) {
        reason = "self-check: node " + (n.name.empty() ? n.op : n.name) + " reads '" + in +
                 "' before it is made \xE2\x80\x94 the rewritten graph is not topologically "
                 "ordered";
        return false;
      }
    ready.insert(n.outputs.begin(), n.outputs.end());
  }
  return true;
}

}  // namespace

int rewriteBindLipContour(GsBytes& model, std::string& reason, int& canvas, int& batch) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return 0;
  }
  const GraphView g(graph);
  if (g.inputs.count(kLipInputName)) {
    reason = std::string("the graph already carries an input named ") + kLipInputName;
    return 0;
  }
  std::string alpha;
  if (!composeAlpha(g, alpha)) {
    reason = "the graph does not carry the unified compose tail";
    return 0;
  }
  const size_t clip = g.producer.at(alpha);

  // The canvas: a square constant of the alpha's producer, else P_rgb's size.
  int64_t size = 0;
  for (const auto& in : g.nodes[clip].inputs) {
    GsSlice t;
    std::vector<int64_t> dims;
    if (size == 0 && g.constTensor(in, t) && hcTensorDims(t, dims) && dims.size() >= 2 &&
        dims.back() > 0 && dims.back() == dims[dims.size() - 2])
      size = dims.back();
  }
  std::vector<int64_t> dims;
  if (size == 0 && g.inputDims("P_rgb", dims) && dims.size() == 4 && dims[3] > 0) size = dims[3];
  if (size <= 0 || size > (int64_t(1) << 20)) {
    reason = "cannot read the compose canvas off the graph";
    return 0;
  }
  int64_t b = -1;
  if (g.inputDims("pooled64", dims) && !dims.empty()) b = dims[0];
  if (b <= 0 && g.inputDims("kp_driving", dims) && !dims.empty()) b = dims[0];
  if (b > (int64_t(1) << 20)) b = -1;

  // Every reader of the alpha reads the clipped one; the Min follows the
  // alpha's producer so the node order stays topological.
  GsBytes built;
  built.reserve(graph.n + 256);
  GsReader r(graph);
  GsField f;
  size_t node = 0;
  while (r.next(f)) {
    if (f.num != 1 || f.wire != 2) {
      gsPutRaw(built, f.raw);
      continue;
    }
    const auto& readers = g.readers(alpha);
    if (std::find(readers.begin(), readers.end(), node) != readers.end())
      putNodeRenamed(built, f.payload, alpha, kLipShrunkName);
    else
      gsPutRaw(built, f.raw);
    if (node == clip) hcNode(built, "Min", {alpha, kLipInputName}, kLipShrunkName, kLipMinName, {});
    ++node;
  }
  const int64_t shape[4] = {b, 1, size, size};
  gsPutTensorValueInfo(built, 11, kLipInputName, shape, 4);
  GsBytes out;
  gsReplaceGraph(model, built, out);
  if (!checkBound(out, alpha, reason)) return 0;
  model.swap(out);
  canvas = int(size);
  batch = int(b);
  return 1;
}

// ---------------------------------------------------------------- head resize

void hcTaps(float t, float a, float taps[4]) {
  const double d[4] = {double(t) + 1, double(t), 1 - double(t), 2 - double(t)};
  double w[4], sum = 0;
  for (int i = 0; i < 4; ++i) {
    const double x = d[i];
    w[i] = x <= 1 ? ((a + 2) * x - (a + 3)) * x * x + 1 : ((x - 5) * x + 8) * x * a - 4 * a;
    sum += w[i];
  }
  for (int i = 0; i < 4; ++i) taps[i] = float(w[i] / sum);
}

HcAttrs hcReadAttrs(GsSlice node) {
  HcAttrs h;
  GsSlice a;
  if (gsFindAttr(node, "mode", a)) gsAttrStr(a, h.mode);
  if (gsFindAttr(node, "coordinate_transformation_mode", a))
    gsAttrStr(a, h.coordinateTransformationMode);
  if (gsFindAttr(node, "cubic_coeff_a", a)) h.hasCubicCoeffA = gsAttrFloat(a, h.cubicCoeffA);
  if (gsFindAttr(node, "exclude_outside", a)) gsAttrInt(a, h.excludeOutside);
  if (gsFindAttr(node, "antialias", a)) gsAttrInt(a, h.antialias);
  if (gsFindAttr(node, "keep_aspect_ratio_policy", a)) gsAttrStr(a, h.keepAspectRatioPolicy);
  h.hasAxes = gsFindAttr(node, "axes", a);
  return h;
}

namespace {

bool isHeadResize(const GraphView& g, const GsNodeInfo& n) {
  if (n.op != "Resize" || !gsIsStandardDomain(n.domain) || n.inputs.size() != 3 ||
      !n.inputs[1].empty() || n.outputs.size() != 1)
    return false;
  const HcAttrs h = hcReadAttrs(GraphView::payload(n));
  if (h.mode != "cubic" || h.coordinateTransformationMode != "half_pixel" ||
      h.excludeOutside != 0 || h.antialias != 0 || h.hasAxes ||
      !(h.keepAspectRatioPolicy.empty() || h.keepAspectRatioPolicy == "stretch"))
    return false;
  GsSlice t;
  std::vector<float> scales;
  return g.constTensor(n.inputs[2], t) && hcTensorFloats(t, scales) &&
         scales == std::vector<float>{1.f, 1.f, 2.f, 2.f};
}

}  // namespace

size_t rewriteHeadCubicResize(GsBytes& model) {
  const GsSlice graph = gsGraphOf(model);
  if (graph.empty()) return 0;
  const GraphView g(graph);
  std::vector<size_t> hits;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (isHeadResize(g, g.nodes[i])) hits.push_back(i);
  if (hits.size() != 1) return 0;
  const size_t i = hits[0];
  const GsNodeInfo& rz = g.nodes[i];

  // The channel count from the one Conv that reads the upsampled features
  // (a quantised director's Int8ConvVNNI has the same weights layout).
  const auto& readers = g.readers(rz.outputs[0]);
  if (readers.size() != 1) return 0;
  const GsNodeInfo& conv = g.nodes[readers[0]];
  GsSlice weight, attr;
  std::vector<int64_t> wdims;
  const bool isConv =
      conv.op == "Conv" || (conv.op == "Int8ConvVNNI" && conv.domain == kInt8Domain);
  if (!isConv || conv.inputs.size() < 2 || !g.constTensor(conv.inputs[1], weight) ||
      !hcTensorDims(weight, wdims) || wdims.size() != 4)
    return 0;
  int64_t group = 1;
  if (gsFindAttr(GraphView::payload(conv), "group", attr)) gsAttrInt(attr, group);
  constexpr int64_t kMaxC = 1048576;
  if (group < 1 || group > kMaxC || wdims[1] < 1 || wdims[1] > kMaxC || group * wdims[1] > kMaxC)
    return 0;
  const int64_t C = group * wdims[1];

  const HcAttrs h = hcReadAttrs(GraphView::payload(rz));
  const float a = h.hasCubicCoeffA ? h.cubicCoeffA : -0.75f;
  // Half-pixel x2: even outputs sit 0.75 past the tap before them, odd
  // ones 0.25; both as 5-tap windows centred on the input pixel.
  float phase[2][5] = {};
  hcTaps(0.75f, a, phase[0]);
  hcTaps(0.25f, a, phase[1] + 1);
  std::vector<float> w(size_t(C) * 4 * 25);
  for (int64_t c = 0; c < C; ++c)
    for (int py = 0; py < 2; ++py)
      for (int px = 0; px < 2; ++px) {
        float* k = &w[size_t(4 * c + 2 * py + px) * 25];
        for (int r = 0; r < 5; ++r)
          for (int s = 0; s < 5; ++s) k[r * 5 + s] = phase[py][r] * phase[px][s];
      }

  const std::string tag = "rz" + std::to_string(i);
  const std::string R = rz.name.empty() ? "/Resize" : rz.name;
  const int64_t pads[8] = {0, 0, 2, 2, 0, 0, 2, 2};
  GsGraphEdit e;
  hcInit(e.append, tag + "_pads", 7, {8}, pads, sizeof pads);
  hcInit(e.append, tag + "_dw_w", 1, {4 * C, 1, 5, 5}, w.data(), w.size() * sizeof(float));
  GsBytes attrs;
  hcAttrS(attrs, "edge");
  hcNode(e.append, "Pad", {rz.inputs[0], tag + "_pads"}, tag + "_padout", R + "/pad", attrs);
  attrs.clear();
  const int64_t ones[2] = {1, 1}, k5[2] = {5, 5}, zeros[4] = {0, 0, 0, 0};
  hcAttrIs(attrs, "dilations", ones, 2);
  hcAttrI(attrs, "group", C);
  hcAttrIs(attrs, "kernel_shape", k5, 2);
  hcAttrIs(attrs, "pads", zeros, 4);
  hcAttrIs(attrs, "strides", ones, 2);
  hcNode(e.append, "Conv", {tag + "_padout", tag + "_dw_w"}, tag + "_convout", R + "/dwconv",
         attrs);
  attrs.clear();
  hcAttrI(attrs, "blocksize", 2);
  hcAttrS(attrs, "CRD");
  hcNode(e.append, "DepthToSpace", {tag + "_convout"}, rz.outputs[0], R + "/d2s", attrs);
  e.dropNode.assign(g.nodes.size(), 0);
  e.dropNode[i] = 1;
  // In the Resize's place, so the node order stays topological.
  e.appendBefore = i;
  e.dropUnusedInits = true;
  GsBytes out;
  gsRebuild(model, e, out);
  model.swap(out);
  return 1;
}

}  // namespace le
