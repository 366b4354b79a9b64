#include "render/le_graph_view.h"

namespace le {

GraphView::GraphView(onnx::Slice graph) {
  onnx::readGraph(graph, nodes, nullptr, &inputs);
  onnx::Reader r(graph);
  onnx::Field f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.num == 5) inits.emplace(onnx::firstString(f.payload, 8), f.payload);
    if (f.num == 11) inputInfo.emplace(onnx::firstString(f.payload, 1), f.payload);
    if (f.num == 12) outputs.push_back(onnx::firstString(f.payload, 1));
  }
  for (size_t i = 0; i < nodes.size(); ++i) {
    for (const auto& o : nodes[i].outputs)
      if (!o.empty()) producer.emplace(o, i);
    std::set<std::string> seen;
    for (const auto& in : nodes[i].inputs)
      if (!in.empty() && seen.insert(in).second) consumers[in].push_back(i);
  }
}

const std::vector<size_t>& GraphView::readers(const std::string& v) const {
  static const std::vector<size_t> none;
  auto it = consumers.find(v);
  return it == consumers.end() ? none : it->second;
}

bool GraphView::constTensor(const std::string& v, onnx::Slice& t) const {
  auto it = inits.find(v);
  if (it != inits.end()) {
    t = it->second;
    return true;
  }
  const onnx::NodeInfo* p = producerOf(v);
  if (!p || p->op != "Constant") return false;
  t = onnx::constantValue(payload(*p));
  return !t.empty();
}

}  // namespace le
