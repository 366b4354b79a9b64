#include "render/le_rewrites.h"

#include <algorithm>
#include <set>
#include <vector>

#include "render/int8conv_vnni.h"
#include "render/le_graph_view.h"

namespace le {

const char* const kLipInputName = "lip_delivery";
const char* const kLipMinName = "tessera_lipdel_min";
const char* const kLipShrunkName = "tessera_lipdel_alpha";

// ---------------------------------------------------------------- lip contour

namespace {

bool isOneFloat(const GraphView& g, const std::string& v) {
  onnx::Slice t;
  std::vector<float> values;
  return g.constTensor(v, t) && onnx::tensorFloats(t, values) && values.size() == 1 &&
         values[0] == 1.f;
}

// The alpha a of out = Add(Mul(Sub(1, a), prior), Mul(a, mouth)), a = Clip(..).
bool composeAlpha(const GraphView& g, std::string& alpha) {
  if (g.outputs.empty()) return false;
  const onnx::NodeInfo* n = g.producerOf(g.outputs[0]);
  for (int i = 0; i < 4 && n && (n->op == "Identity" || n->op == "Cast"); ++i)
    n = n->inputs.empty() ? nullptr : g.producerOf(n->inputs[0]);
  std::vector<const onnx::NodeInfo*> todo{n};
  size_t next = 0;
  int visited = 0;
  while (next < todo.size() && visited < 64) {
    const onnx::NodeInfo* add = todo[next++];
    if (!add || add->op != "Add") continue;
    ++visited;
    for (const auto& in : add->inputs) todo.push_back(g.producerOf(in));
    if (add->inputs.size() != 2) continue;
    const onnx::NodeInfo* muls[2] = {g.producerOf(add->inputs[0]), g.producerOf(add->inputs[1])};
    if (!muls[0] || !muls[1] || muls[0]->op != "Mul" || muls[1]->op != "Mul") continue;
    for (int k = 0; k < 2; ++k)
      for (const auto& in : muls[k]->inputs) {
        const onnx::NodeInfo* sub = g.producerOf(in);
        if (!sub || sub->op != "Sub" || sub->inputs.size() != 2) continue;
        const std::string& a = sub->inputs[1];
        const onnx::NodeInfo* clip = g.producerOf(a);
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

void putNodeRenamed(onnx::Bytes& graph, onnx::Slice node, const std::string& from,
                    const std::string& to) {
  onnx::Bytes n;
  n.reserve(node.n + to.size());
  onnx::Reader r(node);
  onnx::Field f;
  while (r.next(f)) {
    if (f.num == 1 && f.wire == 2 && f.payload.is(from.c_str()))
      onnx::putBytes(n, 1, to);
    else
      onnx::putRaw(n, f.raw);
  }
  onnx::putBytes(graph, 1, n.data(), n.size());
}

// Reads the bound graph back: what the binding promised must be there.
bool checkBound(const onnx::Bytes& model, const std::string& alpha, std::string& reason) {
  const GraphView g(onnx::graphOf(model));
  if (!g.isInput(kLipInputName)) {
    reason = "self-check: the input did not survive the rebuild";
    return false;
  }
  if (std::none_of(g.nodes.begin(), g.nodes.end(), [](const onnx::NodeInfo& n) {
        return n.name == kLipMinName && n.op == "Min";
      })) {
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

int rewriteBindLipContour(onnx::Bytes& model, std::string& reason, int& canvas, int& batch) {
  const onnx::Slice graph = onnx::graphOf(model);
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
    onnx::Slice t;
    std::vector<int64_t> dims;
    if (size == 0 && g.constTensor(in, t) && onnx::tensorDims(t, dims) && dims.size() >= 2 &&
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
  onnx::Bytes built;
  built.reserve(graph.n + 256);
  onnx::Reader r(graph);
  onnx::Field f;
  size_t node = 0;
  while (r.next(f)) {
    if (f.num != 1 || f.wire != 2) {
      onnx::putRaw(built, f.raw);
      continue;
    }
    const auto& readers = g.readers(alpha);
    if (std::find(readers.begin(), readers.end(), node) != readers.end())
      putNodeRenamed(built, f.payload, alpha, kLipShrunkName);
    else
      onnx::putRaw(built, f.raw);
    if (node == clip)
      onnx::putNode(built, "Min", {alpha, kLipInputName}, kLipShrunkName, kLipMinName, {});
    ++node;
  }
  const int64_t shape[4] = {b, 1, size, size};
  onnx::putTensorValueInfo(built, 11, kLipInputName, shape, 4);
  onnx::Bytes out;
  onnx::replaceGraph(model, built, out);
  if (!checkBound(out, alpha, reason)) return 0;
  model.swap(out);
  canvas = int(size);
  batch = int(b);
  return 1;
}

// ---------------------------------------------------------------- head resize

void cubicTaps(float t, float a, float taps[4]) {
  const double d[4] = {double(t) + 1, double(t), 1 - double(t), 2 - double(t)};
  double w[4], sum = 0;
  for (int i = 0; i < 4; ++i) {
    const double x = d[i];
    w[i] = x <= 1 ? ((a + 2) * x - (a + 3)) * x * x + 1 : ((x - 5) * x + 8) * x * a - 4 * a;
    sum += w[i];
  }
  for (int i = 0; i < 4; ++i) taps[i] = float(w[i] / sum);
}

ResizeAttrs readResizeAttrs(onnx::Slice node) {
  ResizeAttrs h;
  onnx::Slice a;
  if (onnx::findAttr(node, "mode", a)) onnx::attrString(a, h.mode);
  if (onnx::findAttr(node, "coordinate_transformation_mode", a))
    onnx::attrString(a, h.coordinateTransformationMode);
  if (onnx::findAttr(node, "cubic_coeff_a", a))
    h.hasCubicCoeffA = onnx::attrFloat(a, h.cubicCoeffA);
  if (onnx::findAttr(node, "exclude_outside", a)) onnx::attrInt(a, h.excludeOutside);
  if (onnx::findAttr(node, "antialias", a)) onnx::attrInt(a, h.antialias);
  if (onnx::findAttr(node, "keep_aspect_ratio_policy", a))
    onnx::attrString(a, h.keepAspectRatioPolicy);
  h.hasAxes = onnx::findAttr(node, "axes", a);
  return h;
}

namespace {

bool isHeadResize(const GraphView& g, const onnx::NodeInfo& n) {
  if (n.op != "Resize" || !onnx::isStandardDomain(n.domain) || n.inputs.size() != 3 ||
      !n.inputs[1].empty() || n.outputs.size() != 1)
    return false;
  const ResizeAttrs h = readResizeAttrs(GraphView::payload(n));
  if (h.mode != "cubic" || h.coordinateTransformationMode != "half_pixel" ||
      h.excludeOutside != 0 || h.antialias != 0 || h.hasAxes ||
      !(h.keepAspectRatioPolicy.empty() || h.keepAspectRatioPolicy == "stretch"))
    return false;
  onnx::Slice t;
  std::vector<float> scales;
  return g.constTensor(n.inputs[2], t) && onnx::tensorFloats(t, scales) &&
         scales == std::vector<float>{1.f, 1.f, 2.f, 2.f};
}

// The channel count of the Resize's output, from the one Conv that reads it
// (a quantised director's Int8ConvVNNI has the same weights layout); 0 when
// it cannot be read.
int64_t upsampledChannels(const GraphView& g, const onnx::NodeInfo& rz) {
  const auto& readers = g.readers(rz.outputs[0]);
  if (readers.size() != 1) return 0;
  const onnx::NodeInfo& conv = g.nodes[readers[0]];
  onnx::Slice weight, attr;
  std::vector<int64_t> wdims;
  const bool isConv =
      conv.op == "Conv" || (conv.op == "Int8ConvVNNI" && conv.domain == kInt8Domain);
  if (!isConv || conv.inputs.size() < 2 || !g.constTensor(conv.inputs[1], weight) ||
      !onnx::tensorDims(weight, wdims) || wdims.size() != 4)
    return 0;
  int64_t group = 1;
  if (onnx::findAttr(GraphView::payload(conv), "group", attr)) onnx::attrInt(attr, group);
  constexpr int64_t kMaxC = 1048576;
  if (group < 1 || group > kMaxC || wdims[1] < 1 || wdims[1] > kMaxC || group * wdims[1] > kMaxC)
    return 0;
  return group * wdims[1];
}

// The depthwise kernels [4 C, 1, 5, 5]: per channel one 5 x 5 window per
// output phase (row parity, column parity).
std::vector<float> phaseKernels(int64_t C, float a) {
  // Half-pixel x2: even outputs sit 0.75 past the tap before them, odd
  // ones 0.25; both as 5-tap windows centred on the input pixel.
  float phase[2][5] = {};
  cubicTaps(0.75f, a, phase[0]);
  cubicTaps(0.25f, a, phase[1] + 1);
  std::vector<float> w(size_t(C) * 4 * 25);
  for (int64_t c = 0; c < C; ++c)
    for (int py = 0; py < 2; ++py)
      for (int px = 0; px < 2; ++px) {
        float* k = &w[size_t(4 * c + 2 * py + px) * 25];
        for (int r = 0; r < 5; ++r)
          for (int s = 0; s < 5; ++s) k[r * 5 + s] = phase[py][r] * phase[px][s];
      }
  return w;
}

}  // namespace

size_t rewriteHeadCubicResize(onnx::Bytes& model) {
  const onnx::Slice graph = onnx::graphOf(model);
  if (graph.empty()) return 0;
  const GraphView g(graph);
  std::vector<size_t> hits;
  for (size_t i = 0; i < g.nodes.size(); ++i)
    if (isHeadResize(g, g.nodes[i])) hits.push_back(i);
  if (hits.size() != 1) return 0;
  const size_t i = hits[0];
  const onnx::NodeInfo& rz = g.nodes[i];
  const int64_t C = upsampledChannels(g, rz);
  if (C == 0) return 0;
  const ResizeAttrs h = readResizeAttrs(GraphView::payload(rz));
  const std::vector<float> w = phaseKernels(C, h.hasCubicCoeffA ? h.cubicCoeffA : -0.75f);

  const std::string tag = "rz" + std::to_string(i);
  const std::string R = rz.name.empty() ? "/Resize" : rz.name;
  const int64_t pads[8] = {0, 0, 2, 2, 0, 0, 2, 2};
  onnx::GraphEdit e;
  onnx::putInitializer(e.append, tag + "_pads", 7, {8}, pads, sizeof pads);
  onnx::putInitializer(e.append, tag + "_dw_w", 1, {4 * C, 1, 5, 5}, w.data(),
                       w.size() * sizeof(float));
  onnx::Bytes attrs;
  onnx::putModeAttr(attrs, "edge");
  onnx::putNode(e.append, "Pad", {rz.inputs[0], tag + "_pads"}, tag + "_padout", R + "/pad", attrs);
  attrs.clear();
  const int64_t ones[2] = {1, 1}, k5[2] = {5, 5}, zeros[4] = {0, 0, 0, 0};
  onnx::putIntsAttr(attrs, "dilations", ones, 2);
  onnx::putIntAttr(attrs, "group", C);
  onnx::putIntsAttr(attrs, "kernel_shape", k5, 2);
  onnx::putIntsAttr(attrs, "pads", zeros, 4);
  onnx::putIntsAttr(attrs, "strides", ones, 2);
  onnx::putNode(e.append, "Conv", {tag + "_padout", tag + "_dw_w"}, tag + "_convout", R + "/dwconv",
                attrs);
  attrs.clear();
  onnx::putIntAttr(attrs, "blocksize", 2);
  onnx::putModeAttr(attrs, "CRD");
  onnx::putNode(e.append, "DepthToSpace", {tag + "_convout"}, rz.outputs[0], R + "/d2s", attrs);
  e.dropNode.assign(g.nodes.size(), 0);
  e.dropNode[i] = 1;
  // In the Resize's place, so the node order stays topological.
  e.appendBefore = i;
  e.dropUnusedInits = true;
  onnx::Bytes out;
  onnx::rebuild(model, e, out);
  model.swap(out);
  return 1;
}

// ---------------------------------------------------------------- student blend

bool isStudentBlendMatMul(onnx::Slice node) {
  size_t inputs = 0, attrs = 0;
  onnx::Reader r(node);
  onnx::Field f;
  while (r.next(f)) {
    if (f.num == 1) ++inputs;
    if (f.num == 5) ++attrs;
  }
  return onnx::firstString(node, 3) == "/s2/blend" && onnx::firstString(node, 4) == "MatMul" &&
         attrs == 0 && inputs == 2 && onnx::isStandardDomain(onnx::firstString(node, 7));
}

size_t normaliseStudentBlend(onnx::Bytes& model) {
  // Gemm with no attributes is alpha 1, beta 1, no transposes: Y = A B.
  onnx::Bytes tail;
  onnx::putBytes(tail, 4, "Gemm");
  return onnx::rewriteNodes(model, isStudentBlendMatMul, [&](onnx::Bytes& out, onnx::Slice node) {
    onnx::putNodeWithout(out, node, {4, 7}, tail);
  });
}

}  // namespace le
