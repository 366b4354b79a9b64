#include "render/gridsample_fast.h"

#include <algorithm>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "compute/le_tsan.h"
#include "render/le_custom_op.h"
#include "render/le_warp.h"

namespace le {

const char* const kVelmoorDomain = "com.velmoor";

// ---------------------------------------------------------------- kernel

namespace {

constexpr int kBand = 16;

struct SampleJob {
  const float* X;
  const float* grid;
  float* Y;
  int C, H, W;
};

// Parallel-for callback: band `band` of kBand rows of the job `context` points to.
void sampleBand(void* context, size_t band) {
  tsanAcquire(context);
  const SampleJob& j = *static_cast<const SampleJob*>(context);
  const int y0 = int(band) * kBand;
  gridSampleFastBand(j.X, j.grid, j.Y, j.C, j.H, j.W, y0, std::min(j.H, y0 + kBand));
  tsanRelease(context);
}

}  // namespace

void gridSampleFast(const float* X, const float* grid, float* Y, int C, int H, int W) {
  SampleJob job{X, grid, Y, C, H, W};
  for (size_t b = 0; b < size_t((H + kBand - 1) / kBand); ++b) sampleBand(&job, b);
}

// ---------------------------------------------------------------- operator

namespace {

struct GridSampleFastKernel {
  static constexpr const char* kName = "GridSampleFast";
  static constexpr ONNXTensorElementDataType kInputTypes[] = {ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT,
                                                              ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT};
  static constexpr bool kOutputShapeOfInput0 = true;

  GridSampleFastKernel(const OrtApi&, const OrtKernelInfo*) {}

  void compute(Ort::KernelContext& ctx) {
    auto x = ctx.GetInput(0);
    auto g = ctx.GetInput(1);
    const auto xs = x.GetTensorTypeAndShapeInfo().GetShape();
    const auto gs = g.GetTensorTypeAndShapeInfo().GetShape();
    // The kernel indexes the grid by X's spatial size: anything but
    // [N, H, W, 2] would be read out of bounds.
    if (xs.size() != 4 || gs.size() != 4 || gs[0] != xs[0] || gs[1] != xs[2] || gs[2] != xs[3] ||
        gs[3] != 2)
      throw std::runtime_error(
          "com.velmoor::GridSampleFast: the grid is " + shapeText(gs) + " for X " + shapeText(xs) +
          "; this kernel samples an H x W output from an H x W input and needs the grid [N, "
          "H, W, 2]. REFUSING rather than reading past the grid.");
    auto y = ctx.GetOutput(0, xs);
    const int64_t N = xs[0], C = xs[1], H = xs[2], W = xs[3];
    if (N == 0 || C == 0 || H == 0 || W == 0) return;
    const float* X = x.GetTensorData<float>();
    const float* G = g.GetTensorData<float>();
    float* Y = y.GetTensorMutableData<float>();
    const size_t img = size_t(C) * H * W, gimg = size_t(H) * W * 2;
    for (int64_t n = 0; n < N; ++n) {
      SampleJob job{X + n * img, G + n * gimg, Y + n * img, int(C), int(H), int(W)};
      tsanRelease(&job);
      ctx.ParallelFor(sampleBand, size_t((H + kBand - 1) / kBand), 0, &job);
      tsanAcquire(&job);
    }
  }
};

}  // namespace

Ort::CustomOpDomain& velmoorDomain() {
  // Sessions keep pointers to the domain and its operators until they are
  // destroyed, which may be during process exit: never free them.
  static Ort::CustomOpDomain* domain = [] {
    auto* d = new Ort::CustomOpDomain(kVelmoorDomain);
    d->Add(cpuOp<GridSampleFastKernel>());
    d->Add(warpDirectorOp());
    return d;
  }();
  return *domain;
}

void registerGridSampleFast(Ort::SessionOptions& options) {
  options.Add(velmoorDomain());
}

// ---------------------------------------------------------------- rewrite

namespace {

// Known tensor shapes of the graph: its inputs, outputs and value_info.
std::map<std::string, std::vector<int64_t>> knownShapes(onnx::Slice graph) {
  std::map<std::string, std::vector<int64_t>> shapes;
  onnx::Reader r(graph);
  onnx::Field f;
  while (r.next(f)) {
    if (f.wire != 2 || (f.num != 11 && f.num != 12 && f.num != 13)) continue;
    std::vector<int64_t> dims;
    if (onnx::valueInfoDims(f.payload, dims)) shapes[onnx::firstString(f.payload, 1)] = dims;
  }
  return shapes;
}

// The grid's spatial size must equal X's; skipped only when both are known
// to differ, the kernel refuses the rest at run time.
bool shapesDiffer(const std::map<std::string, std::vector<int64_t>>& shapes,
                  const std::vector<std::string>& inputs) {
  if (inputs.size() < 2) return false;
  auto x = shapes.find(inputs[0]), g = shapes.find(inputs[1]);
  if (x == shapes.end() || g == shapes.end()) return false;
  const auto& xs = x->second;
  const auto& gs = g->second;
  if (xs.size() != 4 || gs.size() != 4) return true;
  for (auto [a, b] :
       {std::pair<int64_t, int64_t>{xs[0], gs[0]}, {xs[2], gs[1]}, {xs[3], gs[2]}, {2, gs[3]}})
    if (a > 0 && b > 0 && a != b) return true;
  return false;
}

}  // namespace

bool isRewritableGridSample(onnx::Slice node) {
  if (onnx::firstString(node, 4) != "GridSample" ||
      !onnx::isStandardDomain(onnx::firstString(node, 7)))
    return false;
  onnx::Slice attr;
  std::string mode, pad;
  if (!onnx::findAttr(node, "mode", attr) || !onnx::attrString(attr, mode)) return false;
  if (mode != "bilinear" && mode != "linear") return false;
  if (!onnx::findAttr(node, "padding_mode", attr) || !onnx::attrString(attr, pad) ||
      pad != "border")
    return false;
  int64_t ac = 0;
  if (onnx::findAttr(node, "align_corners", attr) && onnx::attrInt(attr, ac) && ac != 0)
    return false;
  return true;
}

size_t rewriteGridSampleToFast(onnx::Bytes& model) {
  const onnx::Slice graph = onnx::graphOf(model);
  const auto shapes = knownShapes(graph);
  auto pick = [&](onnx::Slice node) {
    if (!isRewritableGridSample(node)) return false;
    std::vector<std::string> inputs;
    onnx::allStrings(node, 1, inputs);
    return !shapesDiffer(shapes, inputs);
  };
  onnx::Bytes tail;
  onnx::putBytes(tail, 4, "GridSampleFast");
  onnx::putBytes(tail, 7, kVelmoorDomain);
  const bool hadImport = onnx::hasOpsetImport(model, kVelmoorDomain);
  const size_t count = onnx::rewriteNodes(model, pick, [&](onnx::Bytes& out, onnx::Slice node) {
    onnx::putNodeWithout(out, node, {4, 5, 7}, tail);
  });
  if (count > 0 && !hadImport) onnx::addOpsetImport(model, kVelmoorDomain, 1);
  return count;
}

bool graphHasBakedGridSampleFast(const onnx::Bytes& model) {
  std::vector<onnx::NodeInfo> nodes;
  onnx::readGraph(onnx::graphOf(model), nodes, nullptr, nullptr);
  for (const auto& n : nodes)
    if (n.op == "GridSampleFast" && n.domain == kVelmoorDomain) return true;
  return false;
}

}  // namespace le
