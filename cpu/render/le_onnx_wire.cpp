#include "render/le_onnx_wire.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace le {
namespace onnx {

namespace {

[[noreturn]] void fail(const char* msg) {
  throw std::runtime_error(msg);
}

// A varint of at most 10 bytes that ends inside [p, end).
uint64_t readVarint(const uint8_t*& p, const uint8_t* end) {
  uint64_t v = 0;
  for (int i = 0; i < 10; ++i) {
    if (p >= end) fail("onnx: bad varint");
    const uint8_t b = *p++;
    v |= uint64_t(b & 0x7f) << (7 * i);
    if (!(b & 0x80)) return v;
  }
  fail("onnx: bad varint");
}

}  // namespace

// ---------------------------------------------------------------- reading

bool Slice::is(const char* s) const {
  const size_t len = std::strlen(s);
  return len == n && (n == 0 || std::memcmp(p, s, n) == 0);
}

bool Reader::next(Field& f) {
  if (p_ >= end_) return false;
  const uint8_t* start = p_;
  const uint64_t tag = readVarint(p_, end_);
  f.num = uint32_t(tag >> 3);
  f.wire = uint32_t(tag & 7);
  f.v = 0;
  f.payload = {};
  switch (f.wire) {
    case 0:
      f.v = readVarint(p_, end_);
      break;
    case 2: {
      const uint64_t len = readVarint(p_, end_);
      if (len > uint64_t(end_ - p_)) fail("onnx: truncated");
      f.payload = {p_, size_t(len)};
      p_ += len;
      break;
    }
    case 1:
    case 5: {
      const size_t len = f.wire == 1 ? 8 : 4;
      if (len > size_t(end_ - p_)) fail("onnx: truncated");
      p_ += len;
      break;
    }
    default:
      fail("onnx: bad wire type");
  }
  f.raw = {start, size_t(p_ - start)};
  return true;
}

Slice graphOf(const Bytes& model) {
  Reader r(slice(model));
  Field f;
  while (r.next(f))
    if (f.num == 7 && f.wire == 2) return f.payload;
  return {};
}

std::string firstString(Slice msg, uint32_t n) {
  Reader r(msg);
  Field f;
  while (r.next(f))
    if (f.num == n && f.wire == 2) return f.payload.str();
  return "";
}

void allStrings(Slice msg, uint32_t n, std::vector<std::string>& out) {
  Reader r(msg);
  Field f;
  while (r.next(f))
    if (f.num == n && f.wire == 2) out.push_back(f.payload.str());
}

Slice payloadOf(Slice field) {
  Reader r(field);
  Field f;
  if (r.next(f) && f.wire == 2) return f.payload;
  return {};
}

bool tensorDims(Slice tensor, std::vector<int64_t>& out) {
  out.clear();
  Reader r(tensor);
  Field f;
  while (r.next(f)) {
    if (f.num != 1) continue;
    if (f.wire == 0) {
      out.push_back(int64_t(f.v));
    } else if (f.wire == 2) {
      const uint8_t* p = f.payload.p;
      const uint8_t* end = p + f.payload.n;
      while (p < end) out.push_back(int64_t(readVarint(p, end)));
    }
  }
  return true;
}

bool tensorFloats(Slice tensor, std::vector<float>& out) {
  out.clear();
  int64_t dataType = 0;
  Slice raw;
  bool hasRaw = false;
  std::vector<float> listed;
  Reader r(tensor);
  Field f;
  while (r.next(f)) {
    if (f.num == 2 && f.wire == 0) dataType = int64_t(f.v);
    if (f.num == 9 && f.wire == 2) raw = f.payload, hasRaw = true;
    if (f.num == 4 && f.wire == 5) {
      float v;
      std::memcpy(&v, f.raw.p + f.raw.n - 4, 4);
      listed.push_back(v);
    }
    if (f.num == 4 && f.wire == 2) {
      for (size_t i = 0; i + 4 <= f.payload.n; i += 4) {
        float v;
        std::memcpy(&v, f.payload.p + i, 4);
        listed.push_back(v);
      }
    }
  }
  if (dataType != 1) return false;
  if (hasRaw) {
    out.resize(raw.n / 4);
    if (!out.empty()) std::memcpy(out.data(), raw.p, out.size() * 4);
  } else {
    out = std::move(listed);
  }
  return true;
}

bool findAttr(Slice node, const char* name, Slice& attr) {
  Reader r(node);
  Field f;
  while (r.next(f))
    if (f.num == 5 && f.wire == 2) {
      Reader a(f.payload);
      Field af;
      while (a.next(af))
        if (af.num == 1 && af.wire == 2) {
          if (af.payload.is(name)) {
            attr = f.payload;
            return true;
          }
          break;
        }
    }
  return false;
}

namespace {

// The first field numbered num with wire type wire of an AttributeProto.
bool attrField(Slice attr, uint32_t num, uint32_t wire, Field& f) {
  Reader r(attr);
  while (r.next(f))
    if (f.num == num && f.wire == wire) return true;
  return false;
}

}  // namespace

bool attrString(Slice attr, std::string& out) {
  Field f;
  if (!attrField(attr, 4, 2, f)) return false;
  out = f.payload.str();
  return true;
}

bool attrInt(Slice attr, int64_t& out) {
  Field f;
  if (!attrField(attr, 3, 0, f)) return false;
  out = int64_t(f.v);
  return true;
}

bool attrFloat(Slice attr, float& out) {
  Field f;
  if (!attrField(attr, 2, 5, f)) return false;
  std::memcpy(&out, f.raw.p + f.raw.n - 4, 4);
  return true;
}

Slice constantValue(Slice node) {
  Reader r(node);
  Field f;
  while (r.next(f))
    if (f.num == 5 && f.wire == 2) {
      Reader a(f.payload);
      Field af;
      while (a.next(af))
        if (af.num == 5 && af.wire == 2) return af.payload;
    }
  return {};
}

bool valueInfoDims(Slice valueInfo, std::vector<int64_t>& out) {
  out.clear();
  // ValueInfoProto.type -> TypeProto.tensor_type -> Tensor.shape -> dims.
  Slice type, tensor, shape;
  bool hasShape = false;
  Reader r(valueInfo);
  Field f;
  while (r.next(f))
    if (f.num == 2 && f.wire == 2) type = f.payload;
  Reader t(type);
  while (t.next(f))
    if (f.num == 1 && f.wire == 2) tensor = f.payload;
  Reader s(tensor);
  while (s.next(f))
    if (f.num == 2 && f.wire == 2) shape = f.payload, hasShape = true;
  if (!hasShape) return false;
  Reader d(shape);
  while (d.next(f)) {
    if (f.num != 1 || f.wire != 2) continue;
    int64_t v = -1;
    Reader dim(f.payload);
    Field df;
    while (dim.next(df))
      if (df.num == 1 && df.wire == 0) v = int64_t(df.v);
    out.push_back(v);
  }
  return true;
}

void readGraph(Slice graph, std::vector<NodeInfo>& nodes, std::set<std::string>* inits,
               std::set<std::string>* inputs) {
  nodes.clear();
  if (inits) inits->clear();
  if (inputs) inputs->clear();
  Reader r(graph);
  Field f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.num == 1) {
      NodeInfo n;
      n.raw = f.raw;
      Reader nr(f.payload);
      Field nf;
      while (nr.next(nf)) {
        if (nf.wire != 2) continue;
        switch (nf.num) {
          case 1:
            n.inputs.push_back(nf.payload.str());
            break;
          case 2:
            n.outputs.push_back(nf.payload.str());
            break;
          case 3:
            n.name = nf.payload.str();
            break;
          case 4:
            n.op = nf.payload.str();
            break;
          case 7:
            n.domain = nf.payload.str();
            break;
          default:
            break;
        }
      }
      nodes.push_back(std::move(n));
    } else if (f.num == 5 && inits) {
      inits->insert(firstString(f.payload, 8));
    } else if (f.num == 11 && inputs) {
      inputs->insert(firstString(f.payload, 1));
    }
  }
}

bool isStandardDomain(const std::string& domain) {
  return domain.empty() || domain == "ai.onnx";
}

// ---------------------------------------------------------------- writing

void putVarint(Bytes& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(uint8_t(v | 0x80));
    v >>= 7;
  }
  out.push_back(uint8_t(v));
}

void putTag(Bytes& out, uint32_t n, uint32_t wire) {
  putVarint(out, (uint64_t(n) << 3) | wire);
}

void putBytes(Bytes& out, uint32_t n, const void* data, size_t len) {
  putTag(out, n, 2);
  putVarint(out, len);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  out.insert(out.end(), p, p + len);
}

void putBytes(Bytes& out, uint32_t n, const std::string& s) {
  putBytes(out, n, s.data(), s.size());
}

void putRaw(Bytes& out, Slice s) {
  out.insert(out.end(), s.p, s.p + s.n);
}

namespace {

void putVarintField(Bytes& out, uint32_t n, uint64_t v) {
  putTag(out, n, 0);
  putVarint(out, v);
}

void wrapAttr(Bytes& attrs, const Bytes& attr) {
  putBytes(attrs, 5, attr.data(), attr.size());
}

}  // namespace

void putIntAttr(Bytes& attrs, const char* name, int64_t v) {
  Bytes a;
  putBytes(a, 1, name);
  putVarintField(a, 3, uint64_t(v));
  putVarintField(a, 20, 2);
  wrapAttr(attrs, a);
}

void putIntsAttr(Bytes& attrs, const char* name, const int64_t* values, size_t count) {
  Bytes a;
  putBytes(a, 1, name);
  for (size_t i = 0; i < count; ++i) putVarintField(a, 8, uint64_t(values[i]));
  putVarintField(a, 20, 7);
  wrapAttr(attrs, a);
}

void putModeAttr(Bytes& attrs, const std::string& value) {
  Bytes a;
  putBytes(a, 1, "mode");
  putBytes(a, 4, value);
  putVarintField(a, 20, 3);
  wrapAttr(attrs, a);
}

void putNode(Bytes& graph, const std::string& op, const std::vector<std::string>& inputs,
             const std::string& output, const std::string& name, const Bytes& attrs,
             const std::string& domain) {
  Bytes n;
  for (const auto& in : inputs) putBytes(n, 1, in);
  putBytes(n, 2, output);
  putBytes(n, 3, name);
  putBytes(n, 4, op);
  n.insert(n.end(), attrs.begin(), attrs.end());
  if (!domain.empty()) putBytes(n, 7, domain);
  putBytes(graph, 1, n.data(), n.size());
}

void putNodeWithout(Bytes& graph, Slice node, std::initializer_list<uint32_t> drop,
                    const Bytes& tail) {
  Bytes n;
  n.reserve(node.n + tail.size());
  Reader r(node);
  Field f;
  while (r.next(f))
    if (std::find(drop.begin(), drop.end(), f.num) == drop.end()) putRaw(n, f.raw);
  n.insert(n.end(), tail.begin(), tail.end());
  putBytes(graph, 1, n.data(), n.size());
}

void putInitializer(Bytes& graph, const std::string& name, int dataType,
                    const std::vector<int64_t>& dims, const void* data, size_t bytes) {
  Bytes t;
  for (int64_t d : dims) putVarintField(t, 1, uint64_t(d));
  putVarintField(t, 2, uint64_t(dataType));
  putBytes(t, 8, name);
  putBytes(t, 9, data, bytes);
  putBytes(graph, 5, t.data(), t.size());
}

void putTensorValueInfo(Bytes& graph, uint32_t n, const std::string& name, const int64_t* dims,
                        int rank) {
  Bytes shape;
  for (int i = 0; i < rank; ++i) {
    Bytes dim;
    if (dims && dims[i] > 0) {
      putVarintField(dim, 1, uint64_t(dims[i]));
    } else {
      putBytes(dim, 2, "le_hoist_d" + std::to_string(unsigned(i)));
    }
    putBytes(shape, 1, dim.data(), dim.size());
  }
  Bytes tensor;
  putVarintField(tensor, 1, 1);  // FLOAT
  putBytes(tensor, 2, shape.data(), shape.size());
  Bytes type;
  putBytes(type, 1, tensor.data(), tensor.size());
  Bytes vi;
  putBytes(vi, 1, name);
  putBytes(vi, 2, type.data(), type.size());
  putBytes(graph, n, vi.data(), vi.size());
}

// ---------------------------------------------------------------- model edits

void replaceGraph(const Bytes& model, const Bytes& graph, Bytes& out) {
  // Reserved once: the copy never reallocates.
  const size_t oldGraph = graphOf(model).n;
  Bytes built;
  built.reserve(model.size() + 256 + (graph.size() > oldGraph ? graph.size() - oldGraph : 0));
  Reader r(slice(model));
  Field f;
  bool placed = false;
  while (r.next(f)) {
    if (f.num != 7) {
      putRaw(built, f.raw);
    } else if (f.wire == 2 && !placed) {
      // A second graph field would be merged into the first by a reader.
      putBytes(built, 7, graph.data(), graph.size());
      placed = true;
    }
  }
  out.swap(built);
}

void rebuild(const Bytes& model, const GraphEdit& edit, Bytes& out) {
  const Slice old = graphOf(model);
  // Initializers read by the nodes that stay, when unused ones are dropped.
  std::set<std::string> used;
  if (edit.dropUnusedInits) {
    // An initializer that is also a graph input stays: dropping it would
    // turn it into an input the caller must feed.
    std::vector<NodeInfo> nodes;
    readGraph(old, nodes, nullptr, &used);
    for (size_t i = 0; i < nodes.size(); ++i)
      if (i >= edit.dropNode.size() || !edit.dropNode[i])
        used.insert(nodes[i].inputs.begin(), nodes[i].inputs.end());
    std::vector<NodeInfo> appended;
    readGraph(slice(edit.append), appended, nullptr, nullptr);
    for (const auto& n : appended) used.insert(n.inputs.begin(), n.inputs.end());
  }

  Bytes graph;
  graph.reserve(old.n + edit.append.size() + 256);
  Reader r(old);
  Field f;
  size_t node = 0;
  bool appended = false;
  while (r.next(f)) {
    bool keep = true;
    if (f.num == 1 && f.wire == 2) {
      if (node == edit.appendBefore) {
        graph.insert(graph.end(), edit.append.begin(), edit.append.end());
        appended = true;
      }
      keep = node >= edit.dropNode.size() || !edit.dropNode[node];
      ++node;
    } else if (f.num == 5 && f.wire == 2 && edit.dropUnusedInits) {
      keep = used.count(firstString(f.payload, 8)) > 0;
    } else if (f.num == 11 && f.wire == 2) {
      const bool prgb = firstString(f.payload, 1) == "P_rgb";
      keep = edit.keepOnlyPrgb ? prgb && !edit.dropPrgb : !(edit.dropPrgb && prgb);
    } else if (f.num == 12) {
      keep = !edit.dropOutputs;
    } else if (f.num == 13 && f.wire == 2 && !edit.valueInfoName.empty()) {
      keep = firstString(f.payload, 1) != edit.valueInfoName;
    }
    if (keep) putRaw(graph, f.raw);
  }
  if (!appended) graph.insert(graph.end(), edit.append.begin(), edit.append.end());
  if (!edit.valueInfoName.empty() && edit.valueInfoField != 0)
    putTensorValueInfo(graph, edit.valueInfoField, edit.valueInfoName,
                       edit.dims.empty() ? nullptr : edit.dims.data(),
                       edit.dims.empty() ? edit.rank : int(edit.dims.size()));

  replaceGraph(model, graph, out);
}

bool hasOpsetImport(const Bytes& model, const char* domain) {
  Reader r(slice(model));
  Field f;
  while (r.next(f))
    if (f.num == 8 && f.wire == 2 && firstString(f.payload, 1) == domain) return true;
  return false;
}

void addOpsetImport(Bytes& model, const char* domain, int64_t version) {
  Bytes op;
  putBytes(op, 1, domain);
  putVarintField(op, 2, uint64_t(version));
  putBytes(model, 8, op.data(), op.size());
}

}  // namespace onnx
}  // namespace le
