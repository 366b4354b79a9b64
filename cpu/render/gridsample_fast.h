// The engine's minimal ONNX wire codec (reader, writers, message builders
// and the graph rebuild), the GridSampleFast operator of the "com.velmoor"
// domain, and the load-time rewrites that put it in place.
//
// The codec reads and writes the render model as protobuf bytes without any
// protobuf or ONNX library: fields are slices into the model bytes, and every
// edit produces a complete new copy of the model.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

struct OrtCustomOp;
struct OrtShapeInferContext;
struct OrtStatus;
using OrtStatusPtr = OrtStatus*;
namespace Ort {
struct SessionOptions;
struct CustomOpDomain;
}  // namespace Ort

namespace le {

// ---------------------------------------------------------------- reading

using GsBytes = std::vector<uint8_t>;

// A byte range into a buffer; nothing is copied until a string is asked for.
struct GsSlice {
  const uint8_t* p = nullptr;
  size_t n = 0;

  bool empty() const { return n == 0; }
  std::string str() const { return std::string(reinterpret_cast<const char*>(p), n); }
  bool is(const char* s) const;
};

inline GsSlice gsSlice(const GsBytes& b) {
  return {b.data(), b.size()};
}

struct GsField {
  uint32_t num = 0;   // field number
  uint32_t wire = 0;  // wire type, 0 to 5
  uint64_t v = 0;     // the value of a varint field
  GsSlice payload;    // the payload of a length-delimited field
  GsSlice raw;        // the whole field, tag included (for copy-through)
};

// Forward-only cursor over one message's fields. next() throws
// std::runtime_error "onnx: bad varint", "onnx: truncated" or
// "onnx: bad wire type" on malformed bytes.
class GsReader {
 public:
  explicit GsReader(GsSlice s) : p_(s.p), end_(s.p + s.n) {}
  bool next(GsField& f);

 private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// The payload of the model's graph (ModelProto field 7), or an empty slice.
GsSlice gsGraphOf(const GsBytes& model);
// The first length-delimited field number n as a string, or "".
std::string gsFirstStr(GsSlice msg, uint32_t n);
// Every length-delimited field number n, in order.
void gsAllStr(GsSlice msg, uint32_t n, std::vector<std::string>& out);
// The payload of the first field when it is length-delimited, else empty
// (turns a field's raw slice into its message).
GsSlice hcPayload(GsSlice field);
// TensorProto dims, plain or packed. False on malformed packed data.
bool hcTensorDims(GsSlice tensor, std::vector<int64_t>& out);
// The values of a float TensorProto (raw_data, else float_data); false for
// any other data type.
bool hcTensorFloats(GsSlice tensor, std::vector<float>& out);
// The TensorProto carried by a Constant node's attribute, or empty.
GsSlice hcConstValue(GsSlice node);
// The payload of the node's attribute `name`; false when it has none.
bool gsFindAttr(GsSlice node, const char* name, GsSlice& attr);
// An attribute's s, i and f fields; false when the field is absent.
bool gsAttrStr(GsSlice attr, std::string& out);
bool gsAttrInt(GsSlice attr, int64_t& out);
bool gsAttrFloat(GsSlice attr, float& out);
// ValueInfoProto -> tensor dims (-1 for a named or missing dim); false
// when the value carries no tensor shape.
bool gsValueInfoDims(GsSlice valueInfo, std::vector<int64_t>& out);

struct GsNodeInfo {
  std::string op;
  std::string name;
  std::string domain;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  GsSlice raw;  // the whole GraphProto field, tag included
};

// One entry per node in graph order, plus initializer and graph input names.
void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::set<std::string>* inits,
                 std::set<std::string>* inputs);

// ---------------------------------------------------------------- writing

void gsPutVarint(GsBytes& out, uint64_t v);
void gsPutTag(GsBytes& out, uint32_t n, uint32_t wire);
void gsPutBytes(GsBytes& out, uint32_t n, const void* data, size_t len);
void gsPutBytes(GsBytes& out, uint32_t n, const std::string& s);
void gsPutRaw(GsBytes& out, GsSlice s);

// Attributes, each wrapped as NodeProto field 5.
void hcAttrI(GsBytes& attrs, const char* name, int64_t v);
void hcAttrIs(GsBytes& attrs, const char* name, const int64_t* values, size_t count);
// The string attribute "mode".
void hcAttrS(GsBytes& attrs, const std::string& value);
// A NodeProto wrapped as GraphProto field 1; a non-empty domain is written
// as field 7.
void hcNode(GsBytes& graph, const std::string& op, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const GsBytes& attrs,
            const std::string& domain = "");
// A TensorProto initializer wrapped as GraphProto field 5 (data as raw_data).
void hcInit(GsBytes& graph, const std::string& name, int dataType, const std::vector<int64_t>& dims,
            const void* data, size_t bytes);
// A float ValueInfoProto wrapped as GraphProto field n. Dims above 0 are
// written as values, the others (all `rank` of them when dims is null) as
// the parameter "le_hoist_d<index>".
void gsPutTensorValueInfo(GsBytes& graph, uint32_t n, const std::string& name, const int64_t* dims,
                          int rank);

// How gsRebuild changes the graph.
struct GsGraphEdit {
  std::vector<uint8_t> dropNode;   // per node in graph order; non-zero drops it
  bool dropPrgb = false;           // drop the graph input P_rgb
  bool keepOnlyPrgb = false;       // keep no graph input but P_rgb
  bool dropOutputs = false;        // drop every graph output
  bool dropUnusedInits = false;    // drop initializers no kept or appended node reads
  std::string valueInfoName;       // value_info of this name is dropped ...
  std::vector<int64_t> dims;       // ... and, with a field number, declared afresh
  int rank = 0;                    //     (rank used when dims is empty)
  uint32_t valueInfoField = 0;     //     as field 11 (input), 12 (output) or not (0)
  GsBytes append;                  // nodes and initializers added to the graph ...
  size_t appendBefore = SIZE_MAX;  // ... before this node (index in the old graph),
                                   //     at the end by default
};

// The whole model with its graph rebuilt; every other field is copied.
void gsRebuild(const GsBytes& model, const GsGraphEdit& edit, GsBytes& out);
// The model with its graph payload replaced, every other field copied.
void gsReplaceGraph(const GsBytes& model, const GsBytes& graph, GsBytes& out);
bool gsHasOpsetImport(const GsBytes& model, const char* domain);
// Appends OperatorSetIdProto {domain, version} as ModelProto field 8.
void gsAddOpsetImport(GsBytes& model, const char* domain, int64_t version);

// ---------------------------------------------------------------- operator

// The custom domain, created on first use and shared by every session.
Ort::CustomOpDomain& velmoorDomain();
// Adds GridSampleFast and WarpDirector to the domain (each created once).
void domainOps(Ort::CustomOpDomain& domain);
void registerGridSampleFast(Ort::SessionOptions& options);

// Bilinear, border, align_corners 0 sampling of an H x W grid from a C x H x W
// image; the grid holds H x W normalised (x, y) pairs.
void gridsample_fast(const float* X, const float* grid, float* Y, int C, int H, int W);
// Output rows [max(y0, 0), min(y1, H)).
void gridsample_fast_band(const float* X, const float* grid, float* Y, int C, int H, int W, int y0,
                          int y1);
// The same band, 8 pixels per step. Only on a processor with AVX2 and FMA.
void gs_avx2(const float* X, const float* grid, float* Y, int C, int H, int W, int y0, int y1);
// Parallel-for callback: band `band` of 16 rows of the job `context` points to.
void band_fn(void* context, size_t band);
// Shape inference of both operators: the output has X's shape.
OrtStatusPtr sameShapeAsInput0(const OrtCustomOp* op, OrtShapeInferContext* ctx);

// ---------------------------------------------------------------- rewrites

// Standard bilinear/border/align_corners 0 GridSample nodes -> GridSampleFast.
// Returns the count; 0 leaves the bytes unchanged.
size_t rewriteGridSampleToFast(GsBytes& model);
bool graphHasBakedGridSampleFast(const GsBytes& model);
// The 2-input MatMul "/s2/blend" -> Gemm. Returns the count.
size_t normaliseStudentBlend(GsBytes& model);
bool gsIsStudentBlendMatMul(GsSlice node);

// Shared with the other rewrites.
bool gsIsStandardDomain(const std::string& domain);
bool gsIsRewritableGridSample(GsSlice node);
extern const char* const kVelmoorDomain;

}  // namespace le
