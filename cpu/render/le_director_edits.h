// The renderer's load-time edits of the director model, made on its bytes
// before the session is created, with the log lines that tell what was and
// was not done.
#pragma once

#include <cstddef>
#include <string>

#include "render/le_onnx_wire.h"

namespace le {

namespace tessera {
class LipContour;
}  // namespace tessera

// What the renderer asks of the edits.
struct DirectorEditPlan {
  std::string modelName;                     // names the model in the log lines
  bool coreml = false;                       // the CoreML provider runs the model
  bool gsFastOff = false;                    // LE_GS_FAST=0: no com.velmoor domain
  bool gsRewrite = false;                    // std GridSample -> GridSampleFast
  const tessera::LipContour* lip = nullptr;  // the bundle's lip template, if it has one
  int crop = 0;                              // the manifest's crop
};

// What was done.
struct DirectorEdits {
  bool warped = false;     // the warp block is one WarpDirector node
  size_t gridSamples = 0;  // GridSample nodes -> GridSampleFast
  size_t blends = 0;       // student blend MatMul -> Gemm
  size_t heads = 0;        // head cubic Resize -> Pad + Conv + DepthToSpace
  bool lipBound = false;   // the lip contour clips the compose alpha

  bool any() const { return warped || gridSamples > 0 || blends > 0 || heads > 0 || lipBound; }
};

// Edits the bytes, telling on stderr which edits were asked for and not
// made. A rewrite that cannot read the model leaves it as it was; the
// runtime then reports what is wrong with it. Throws std::runtime_error when
// the compose canvas is not the manifest's crop.
DirectorEdits editDirector(onnx::Bytes& bytes, const DirectorEditPlan& plan);
// The log lines of the edits that were made.
void reportDirectorEdits(const DirectorEdits& edits, const DirectorEditPlan& plan);

}  // namespace le
