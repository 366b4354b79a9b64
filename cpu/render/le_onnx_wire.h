// The engine's minimal ONNX wire codec: a reader, writers, message builders
// and the graph rebuild.
//
// It reads and writes the render model as protobuf bytes without any
// protobuf or ONNX library: fields are slices into the model bytes, and every
// edit produces a complete new copy of the model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

namespace le {
namespace onnx {

// ---------------------------------------------------------------- reading

using Bytes = std::vector<uint8_t>;

// A byte range into a buffer; nothing is copied until a string is asked for.
struct Slice {
  const uint8_t* p = nullptr;
  size_t n = 0;

  bool empty() const { return n == 0; }
  std::string str() const { return std::string(reinterpret_cast<const char*>(p), n); }
  bool is(const char* s) const;
};

inline Slice slice(const Bytes& b) {
  return {b.data(), b.size()};
}

struct Field {
  uint32_t num = 0;   // field number
  uint32_t wire = 0;  // wire type, 0 to 5
  uint64_t v = 0;     // the value of a varint field
  Slice payload;      // the payload of a length-delimited field
  Slice raw;          // the whole field, tag included (for copy-through)
};

// Forward-only cursor over one message's fields. next() throws
// std::runtime_error "onnx: bad varint", "onnx: truncated" or
// "onnx: bad wire type" on malformed bytes.
class Reader {
 public:
  explicit Reader(Slice s) : p_(s.p), end_(s.p + s.n) {}
  bool next(Field& f);

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// The payload of the model's graph (ModelProto field 7), or an empty slice.
Slice graphOf(const Bytes& model);
// The first length-delimited field number n as a string, or "".
std::string firstString(Slice msg, uint32_t n);
// Every length-delimited field number n, in order.
void allStrings(Slice msg, uint32_t n, std::vector<std::string>& out);
// The payload of the first field when it is length-delimited, else empty
// (turns a field's raw slice into its message).
Slice payloadOf(Slice field);
// TensorProto dims, plain or packed. False on malformed packed data.
bool tensorDims(Slice tensor, std::vector<int64_t>& out);
// The values of a float TensorProto (raw_data, else float_data); false for
// any other data type.
bool tensorFloats(Slice tensor, std::vector<float>& out);
// The TensorProto carried by a Constant node's attribute, or empty.
Slice constantValue(Slice node);
// The payload of the node's attribute `name`; false when it has none.
bool findAttr(Slice node, const char* name, Slice& attr);
// An attribute's s, i and f fields; false when the field is absent.
bool attrString(Slice attr, std::string& out);
bool attrInt(Slice attr, int64_t& out);
bool attrFloat(Slice attr, float& out);
// ValueInfoProto -> tensor dims (-1 for a named or missing dim); false
// when the value carries no tensor shape.
bool valueInfoDims(Slice valueInfo, std::vector<int64_t>& out);

struct NodeInfo {
  std::string op;
  std::string name;
  std::string domain;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  Slice raw;  // the whole GraphProto field, tag included
};

// One entry per node in graph order, plus initializer and graph input names.
void readGraph(Slice graph, std::vector<NodeInfo>& nodes, std::set<std::string>* inits,
               std::set<std::string>* inputs);

// The default ONNX domain, by either of its names.
bool isStandardDomain(const std::string& domain);

// ---------------------------------------------------------------- writing

void putVarint(Bytes& out, uint64_t v);
void putTag(Bytes& out, uint32_t n, uint32_t wire);
void putBytes(Bytes& out, uint32_t n, const void* data, size_t len);
void putBytes(Bytes& out, uint32_t n, const std::string& s);
void putRaw(Bytes& out, Slice s);

// Attributes, each wrapped as NodeProto field 5.
void putIntAttr(Bytes& attrs, const char* name, int64_t v);
void putIntsAttr(Bytes& attrs, const char* name, const int64_t* values, size_t count);
// The string attribute "mode".
void putModeAttr(Bytes& attrs, const std::string& value);
// A NodeProto wrapped as GraphProto field 1; a non-empty domain is written
// as field 7.
void putNode(Bytes& graph, const std::string& op, const std::vector<std::string>& inputs,
             const std::string& output, const std::string& name, const Bytes& attrs,
             const std::string& domain = "");
// A copy of the node without the fields in `drop`, `tail` appended, wrapped
// as GraphProto field 1.
void putNodeWithout(Bytes& graph, Slice node, std::initializer_list<uint32_t> drop,
                    const Bytes& tail);
// A TensorProto initializer wrapped as GraphProto field 5 (data as raw_data).
void putInitializer(Bytes& graph, const std::string& name, int dataType,
                    const std::vector<int64_t>& dims, const void* data, size_t bytes);
// A float ValueInfoProto wrapped as GraphProto field n. Dims above 0 are
// written as values, the others (all `rank` of them when dims is null) as
// the parameter "le_hoist_d<index>".
void putTensorValueInfo(Bytes& graph, uint32_t n, const std::string& name, const int64_t* dims,
                        int rank);

// ---------------------------------------------------------------- model edits

// How rebuild changes the graph.
struct GraphEdit {
  std::vector<uint8_t> dropNode;   // per node in graph order; non-zero drops it
  bool dropPrgb = false;           // drop the graph input P_rgb
  bool keepOnlyPrgb = false;       // keep no graph input but P_rgb
  bool dropOutputs = false;        // drop every graph output
  bool dropUnusedInits = false;    // drop initializers no kept or appended node reads
  std::string valueInfoName;       // value_info of this name is dropped ...
  std::vector<int64_t> dims;       // ... and, with a field number, declared afresh
  int rank = 0;                    //     (rank used when dims is empty)
  uint32_t valueInfoField = 0;     //     as field 11 (input), 12 (output) or not (0)
  Bytes append;                    // nodes and initializers added to the graph ...
  size_t appendBefore = SIZE_MAX;  // ... before this node (index in the old graph),
                                   //     at the end by default
};

// The whole model with its graph rebuilt; every other field is copied.
void rebuild(const Bytes& model, const GraphEdit& edit, Bytes& out);
// The model with its graph payload replaced, every other field copied.
void replaceGraph(const Bytes& model, const Bytes& graph, Bytes& out);
bool hasOpsetImport(const Bytes& model, const char* domain);
// Appends OperatorSetIdProto {domain, version} as ModelProto field 8.
void addOpsetImport(Bytes& model, const char* domain, int64_t version);

// Rebuilds the graph with every node that pick(node) selects written by
// rewrite(graph, node) instead of copied. Returns the count; at 0 the model
// is left as it was.
template <class Pick, class Rewrite>
size_t rewriteNodes(Bytes& model, Pick pick, Rewrite rewrite) {
  const Slice graph = graphOf(model);
  size_t count = 0;
  Bytes built;
  built.reserve(graph.n + 256);
  Reader r(graph);
  Field f;
  while (r.next(f)) {
    if (f.num == 1 && f.wire == 2 && pick(f.payload)) {
      rewrite(built, f.payload);
      ++count;
    } else {
      putRaw(built, f.raw);
    }
  }
  if (count == 0) return 0;
  Bytes out;
  replaceGraph(model, built, out);
  model.swap(out);
  return count;
}

}  // namespace onnx
}  // namespace le
