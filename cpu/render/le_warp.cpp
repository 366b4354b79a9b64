#include "render/le_warp.h"

#include <algorithm>
#include <set>
#include <stdexcept>

#include "compute/le_tsan.h"
#include "render/gridsample_fast.h"
#include "render/le_custom_op.h"
#include "render/le_graph_view.h"
#include "render/le_source_cone.h"

namespace le {

// ---------------------------------------------------------------- operator

namespace {

constexpr int kBand = 16;

struct WarpJob {
  const float* src;
  const float* grid;
  float* out;
  int W, H;
};

// Parallel-for callback: band `band` of kBand rows of the job `context` points to.
void warpBand(void* context, size_t band) {
  tsanAcquire(context);
  const WarpJob& j = *static_cast<const WarpJob*>(context);
  const int y0 = int(band) * kBand;
  warpDirectorBand(j.src, j.grid, j.out, j.W, j.H, y0, std::min(j.H, y0 + kBand));
  tsanRelease(context);
}

struct WarpDirectorKernel {
  static constexpr const char* kName = "WarpDirector";
  static constexpr ONNXTensorElementDataType kInputTypes[] = {ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT,
                                                              ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT};
  static constexpr bool kOutputShapeOfInput0 = true;

  WarpDirectorKernel(const OrtApi&, const OrtKernelInfo*) {}

  void compute(Ort::KernelContext& ctx) {
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
    if (N == 0 || H == 0 || W == 0) return;
    const float* X = x.GetTensorData<float>();
    const float* G = g.GetTensorData<float>();
    float* Y = y.GetTensorMutableData<float>();
    const size_t img = size_t(3) * H * W, gimg = size_t(H) * W * 2;
    for (int64_t n = 0; n < N; ++n) {
      WarpJob job{X + n * img, G + n * gimg, Y + n * img, int(W), int(H)};
      tsanRelease(&job);
      ctx.ParallelFor(warpBand, size_t((H + kBand - 1) / kBand), 0, &job);
      tsanAcquire(&job);
    }
  }
};

}  // namespace

const OrtCustomOp* warpDirectorOp() {
  return cpuOp<WarpDirectorKernel>();
}

void registerWarpDirector(Ort::SessionOptions& options) {
  registerGridSampleFast(options);
}

// ---------------------------------------------------------------- warp block

namespace {

// The one sampler (GridSample, or GridSampleFast of our domain) on the
// cone's tip, reading the boundary as its image; false with a reason when
// there is none, more than one, or one the warp node cannot stand for.
bool findTipSampler(const GraphView& g, const std::string& boundary, size_t& at,
                    std::string& reason) {
  std::vector<size_t> tips;
  for (size_t c : g.readers(boundary)) {
    const auto& n = g.nodes[c];
    const bool sampler =
        n.op == "GridSample" || (n.op == "GridSampleFast" && n.domain == kVelmoorDomain);
    if (sampler && !n.inputs.empty() && n.inputs[0] == boundary) tips.push_back(c);
  }
  if (tips.empty()) {
    reason = "no GridSample consuming '" + boundary + "'";
    return false;
  }
  if (tips.size() > 1) {
    reason = "two GridSamples on the cone's tip";
    return false;
  }
  const onnx::NodeInfo& sampler = g.nodes[tips[0]];
  if (sampler.op != "GridSampleFast" && !isRewritableGridSample(GraphView::payload(sampler))) {
    reason = "the fused GridSample is not bilinear/border/align_corners=0";
    return false;
  }
  if (sampler.outputs.empty() || sampler.outputs[0].empty()) {
    reason = "the fused GridSample has no output";
    return false;
  }
  if (sampler.inputs.size() < 2) {
    reason = "the grid has no producer";
    return false;
  }
  at = tips[0];
  return true;
}

// The recombination: the sampler, the Slices of its samples, then the Mul,
// Sub and Add arithmetic on them, flagged in `inside`. Returns the values
// it makes that are read outside it or leave the graph.
std::set<std::string> recombinationExits(const GraphView& g, size_t sampler,
                                         std::vector<uint8_t>& inside) {
  const onnx::NodeInfo& s = g.nodes[sampler];
  inside.assign(g.nodes.size(), 0);
  std::set<std::string> made(s.outputs.begin(), s.outputs.end());
  inside[sampler] = 1;
  for (size_t c : g.readers(s.outputs[0]))
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
  return exits;
}

}  // namespace

size_t findWarpBlock(const onnx::Bytes& model, WarpBlock* block, std::string& reason) {
  const onnx::Slice graph = onnx::graphOf(model);
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
  const int concats = coneBoundary(g, boundary);
  if (concats != 1) {
    reason = "not one Concat consuming P_rgb: " + std::to_string(concats);
    return 0;
  }
  size_t gs = 0;
  if (!findTipSampler(g, boundary, gs, reason)) return 0;
  std::vector<uint8_t> inside;
  const std::set<std::string> exits = recombinationExits(g, gs, inside);
  if (exits.size() != 1) {
    reason = "the recombination has " + std::to_string(exits.size()) + " exits, not 1";
    return 0;
  }
  const std::string grid = g.nodes[gs].inputs[1];
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
  block->fast = g.nodes[gs].op == "GridSampleFast";
  block->grid = grid;
  block->exit = *exits.begin();
  block->nodes = members;
  return size_t(std::count(members.begin(), members.end(), 1));
}

size_t rewriteWarpBlockToCustomOp(onnx::Bytes& model, std::string& reason) {
  WarpBlock b;
  const size_t removed = findWarpBlock(model, &b, reason);
  if (removed == 0) return 0;
  const GraphView g(onnx::graphOf(model));
  if (b.gridSample >= g.nodes.size() || b.nodes.size() != g.nodes.size() ||
      (g.nodes[b.gridSample].op != "GridSample" && g.nodes[b.gridSample].op != "GridSampleFast") ||
      g.nodes[b.gridSample].inputs.size() < 2 || g.nodes[b.gridSample].inputs[1] != b.grid) {
    reason = "the GridSample moved between passes";
    return 0;
  }
  onnx::GraphEdit e;
  e.dropNode = b.nodes;
  e.dropUnusedInits = true;
  // Where the exit was made: its readers come later, the grid earlier.
  e.appendBefore = g.producer.at(b.exit);
  onnx::putNode(e.append, "WarpDirector", {"P_rgb", b.grid}, b.exit, "le_warp_director", {},
                kVelmoorDomain);
  onnx::Bytes out;
  onnx::rebuild(model, e, out);
  if (!onnx::hasOpsetImport(out, kVelmoorDomain)) onnx::addOpsetImport(out, kVelmoorDomain, 1);
  model.swap(out);
  return removed;
}

}  // namespace le
