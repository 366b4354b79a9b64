#include "render/le_director_edits.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "base/le_env.h"
#include "base/le_log.h"
#include "render/gridsample_fast.h"
#include "render/le_rewrites.h"
#include "render/le_warp.h"
#include "tessera/le_lip_contour.h"

namespace le {
namespace {

// A rewrite that cannot read the model leaves it as it was; the runtime
// then reports what is wrong with it.
template <class Fn>
size_t tryRewrite(Fn fn, std::string* reason = nullptr) {
  try {
    return fn();
  } catch (const std::runtime_error& e) {
    if (reason) *reason = e.what();
    return 0;
  }
}

// LE_WARP_NODE asks for the warp block as one WarpDirector node.
bool moveWarpToNode(onnx::Bytes& bytes, const DirectorEditPlan& plan) {
  const char* warpNode = le::envValue("LE_WARP_NODE");
  const bool warpAsked = warpNode && warpNode[0] != '\0' && warpNode[0] != '0';
  // CoreML keeps the standard GridSample in the graph.
  if (!warpAsked || plan.coreml) return false;
  std::string reason;
  size_t removed = 0;
  if (plan.gsFastOff)
    reason =
        "LE_GS_FAST=0 leaves the com.velmoor domain unregistered, so the warp node would "
        "have no kernel";
  else
    removed = tryRewrite([&] { return rewriteWarpBlockToCustomOp(bytes, reason); }, &reason);
  if (removed > 0) {
    le::log(LogLevel::Info, "le",
            "director warp -> com.velmoor::WarpDirector (%zu nodes removed, the "
            "source cone with them)",
            removed);
    return true;
  }
  le::log(LogLevel::Warning, "le",
          "director warp NOT moved to one node (%s) \xE2\x80\x94 the graph loads "
          "exactly as it did before",
          reason.empty() ? "no reason given" : reason.c_str());
  return false;
}

bool bindLipContour(onnx::Bytes& bytes, const DirectorEditPlan& plan) {
  if (!plan.lip) {
    le::log(LogLevel::Warning, "le",
            "!!! compose alpha: ELLIPSE (%s) \xE2\x80\x94 this bundle carries no %s, so "
            "the director generates the over-covering elliptical region the contour "
            "replaces.",
            plan.modelName.c_str(), "lip_template.v1.json");
    return false;
  }
  std::string reason;
  int canvas = 0, lipBatch = 0;
  size_t bound = 0;
  try {
    bound = size_t(rewriteBindLipContour(bytes, reason, canvas, lipBatch));
  } catch (const std::exception& e) {
    reason = e.what();
  }
  if (bound == 0) {
    le::log(LogLevel::Warning, "le",
            "!!! lip contour NOT bound to the compose alpha (%s): %s \xE2\x80\x94 "
            "this session serves the graph's own ELLIPSE",
            plan.modelName.c_str(), reason.empty() ? "no reason given" : reason.c_str());
    return false;
  }
  if (canvas != plan.crop)
    throw std::runtime_error(
        "Renderer: the director's compose canvas is " + std::to_string(canvas) +
        " and this bundle's manifest declares crop " + std::to_string(plan.crop) +
        " \xE2\x80\x94 refusing to bind a lip contour rasterised on the wrong canvas");
  return true;
}

}  // namespace

DirectorEdits editDirector(onnx::Bytes& bytes, const DirectorEditPlan& plan) {
  DirectorEdits e;
  e.warped = moveWarpToNode(bytes, plan);
  if (!plan.coreml && plan.gsRewrite)
    e.gridSamples = tryRewrite([&] { return rewriteGridSampleToFast(bytes); });
  e.blends = tryRewrite([&] { return normaliseStudentBlend(bytes); });
  e.heads = tryRewrite([&] { return rewriteHeadCubicResize(bytes); });
  e.lipBound = bindLipContour(bytes, plan);
  return e;
}

void reportDirectorEdits(const DirectorEdits& e, const DirectorEditPlan& plan) {
  const char* model = plan.modelName.c_str();
  if (e.gridSamples > 0)
    le::log(LogLevel::Info, "le",
            "std GridSample -> com.velmoor::GridSampleFast load-time rewrite: %zu "
            "node(s) (%s)",
            e.gridSamples, model);
  if (e.blends > 0)
    le::log(LogLevel::Info, "le",
            "L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) "
            "(%s)",
            e.blends, model);
  if (e.heads > 0)
    le::log(LogLevel::Info, "le",
            "head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time "
            "rewrite: %zu node(s) (%s)",
            e.heads, model);
  if (e.lipBound)
    le::log(LogLevel::Info, "le",
            "compose alpha: LIP CONTOUR (%s) \xE2\x80\x94 Min(a, lip_delivery) bound at "
            "load, %d verts, feather %.1f px; the graph's ellipse is not reachable in this "
            "session",
            model, plan.lip->nv(), double(plan.lip->featherPx()));
}

}  // namespace le
