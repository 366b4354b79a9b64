// A read-only view of one ONNX graph for the load-time rewrites: its nodes
// with their producers and consumers, initializers and graph inputs and
// outputs. Slices point into the model bytes, which must outlive the view.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "render/le_onnx_wire.h"

namespace le {

struct GraphView {
  std::vector<onnx::NodeInfo> nodes;
  std::set<std::string> inputs;
  std::vector<std::string> outputs;
  std::map<std::string, onnx::Slice> inits;      // TensorProto payloads
  std::map<std::string, onnx::Slice> inputInfo;  // ValueInfoProto payloads
  std::map<std::string, size_t> producer;
  std::map<std::string, std::vector<size_t>> consumers;

  // Throws what the codec's reader throws on malformed bytes.
  explicit GraphView(onnx::Slice graph);

  const onnx::NodeInfo* producerOf(const std::string& v) const {
    auto it = producer.find(v);
    return it == producer.end() ? nullptr : &nodes[it->second];
  }
  // The nodes that read v, each once, in graph order.
  const std::vector<size_t>& readers(const std::string& v) const;
  bool isOutput(const std::string& v) const {
    return std::find(outputs.begin(), outputs.end(), v) != outputs.end();
  }
  // A graph input that is not also an initializer.
  bool isInput(const std::string& v) const { return inputs.count(v) && !inits.count(v); }
  std::string label(size_t i) const { return nodes[i].name.empty() ? nodes[i].op : nodes[i].name; }
  static onnx::Slice payload(const onnx::NodeInfo& n) { return onnx::payloadOf(n.raw); }

  // The TensorProto of an initializer or of a Constant node's value.
  bool constTensor(const std::string& v, onnx::Slice& t) const;
  // A graph input's declared dims.
  bool inputDims(const std::string& v, std::vector<int64_t>& dims) const {
    auto it = inputInfo.find(v);
    return it != inputInfo.end() && onnx::valueInfoDims(it->second, dims);
  }
};

}  // namespace le
