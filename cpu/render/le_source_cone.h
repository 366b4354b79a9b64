// The director's source cone: the nodes that compute from P_rgb alone up to
// the one Concat that reads it (the boundary). The cone is hoisted out of
// the per-frame graph by cutting the model there: a prep model computes the
// boundary from P_rgb once per source frame, and the per-frame model takes
// the boundary as an input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/le_graph_view.h"
#include "render/le_onnx_wire.h"

namespace le {

// Number of Concat nodes reading P_rgb; when 1, `name` is that Concat's output.
int findSourceConeBoundary(const onnx::Bytes& model, std::string& name);
// P_rgb -> boundary.
bool buildSourceConePrep(const onnx::Bytes& model, const std::string& boundary, onnx::Bytes& prep,
                         std::string& reason);
// The model without the cone, the boundary an input of the given dims.
bool buildSourceConePerFrame(const onnx::Bytes& model, const std::string& boundary,
                             const int64_t* dims, int rank, onnx::Bytes& perFrame,
                             std::string& reason);

// ---------------------------------------------------------------- analysis

// Number of Concat nodes reading P_rgb; `name` is the first one's output.
int coneBoundary(const GraphView& g, std::string& name);
// The nodes behind `boundary` up to P_rgb, initializers and Constant nodes,
// flagged per node in graph order; false with a reason when the cone reads
// another graph input or a value nobody makes.
bool coneNodes(const GraphView& g, const std::string& boundary, std::vector<uint8_t>& cone,
               std::string& reason);
// A value made by a cone node (other than `cut`) that a node outside
// `allowed` reads, or that leaves the graph.
bool coneEscapes(const GraphView& g, const std::vector<uint8_t>& cone,
                 const std::vector<uint8_t>& allowed, const std::string& cut, std::string& reason);

}  // namespace le
