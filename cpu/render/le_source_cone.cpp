#include "render/le_source_cone.h"

#include <algorithm>
#include <memory>

namespace le {

int coneBoundary(const GraphView& g, std::string& name) {
  int count = 0;
  for (const auto& n : g.nodes)
    if (n.op == "Concat" &&
        std::find(n.inputs.begin(), n.inputs.end(), "P_rgb") != n.inputs.end()) {
      if (++count == 1 && !n.outputs.empty()) name = n.outputs[0];
    }
  return count;
}

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

namespace {

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

int findSourceConeBoundary(const onnx::Bytes& model, std::string& name) {
  const GraphView g(onnx::graphOf(model));
  std::string found;
  const int count = coneBoundary(g, found);
  if (count == 1) name = found;
  return count;
}

namespace {

// The view of a model with a P_rgb input and the cone its boundary hoists;
// null with the reason otherwise.
std::unique_ptr<GraphView> hoistedCone(const onnx::Bytes& model, const std::string& boundary,
                                       std::vector<uint8_t>& cone, std::string& reason) {
  const onnx::Slice graph = onnx::graphOf(model);
  if (graph.empty()) {
    reason = "no graph";
    return nullptr;
  }
  auto g = std::make_unique<GraphView>(graph);
  if (!g->isInput("P_rgb")) {
    reason = "no P_rgb input";
    return nullptr;
  }
  if (!hoistCone(*g, boundary, cone, reason)) return nullptr;
  return g;
}

}  // namespace

bool buildSourceConePrep(const onnx::Bytes& model, const std::string& boundary, onnx::Bytes& prep,
                         std::string& reason) {
  std::vector<uint8_t> cone;
  const std::unique_ptr<GraphView> view = hoistedCone(model, boundary, cone, reason);
  if (!view) return false;
  const GraphView& g = *view;
  if (std::count(cone.begin(), cone.end(), 1) == 0) {
    reason = "empty cone";
    return false;
  }
  onnx::GraphEdit e;
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
  onnx::rebuild(model, e, prep);
  return true;
}

bool buildSourceConePerFrame(const onnx::Bytes& model, const std::string& boundary,
                             const int64_t* dims, int rank, onnx::Bytes& perFrame,
                             std::string& reason) {
  std::vector<uint8_t> cone;
  if (!hoistedCone(model, boundary, cone, reason)) return false;
  onnx::GraphEdit e;
  e.dropNode = cone;
  e.dropPrgb = true;
  e.dropUnusedInits = true;
  e.valueInfoName = boundary;
  if (dims) e.dims.assign(dims, dims + rank);
  e.rank = rank;
  e.valueInfoField = 11;
  onnx::rebuild(model, e, perFrame);
  return true;
}

}  // namespace le
