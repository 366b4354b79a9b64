#include "render/gridsample_fast.h"

#include <immintrin.h>
#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

#include "compute/le_tsan.h"
#include "render/le_warp.h"

namespace le {

const char* const kVelmoorDomain = "com.velmoor";

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

bool GsSlice::is(const char* s) const {
  const size_t len = std::strlen(s);
  return len == n && (n == 0 || std::memcmp(p, s, n) == 0);
}

bool GsReader::next(GsField& f) {
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

GsSlice gsGraphOf(const GsBytes& model) {
  GsReader r(gsSlice(model));
  GsField f;
  while (r.next(f))
    if (f.num == 7 && f.wire == 2) return f.payload;
  return {};
}

std::string gsFirstStr(GsSlice msg, uint32_t n) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.num == n && f.wire == 2) return f.payload.str();
  return "";
}

void gsAllStr(GsSlice msg, uint32_t n, std::vector<std::string>& out) {
  GsReader r(msg);
  GsField f;
  while (r.next(f))
    if (f.num == n && f.wire == 2) out.push_back(f.payload.str());
}

GsSlice hcPayload(GsSlice field) {
  GsReader r(field);
  GsField f;
  if (r.next(f) && f.wire == 2) return f.payload;
  return {};
}

bool hcTensorDims(GsSlice tensor, std::vector<int64_t>& out) {
  out.clear();
  GsReader r(tensor);
  GsField f;
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

bool hcTensorFloats(GsSlice tensor, std::vector<float>& out) {
  out.clear();
  int64_t dataType = 0;
  GsSlice raw;
  bool hasRaw = false;
  std::vector<float> listed;
  GsReader r(tensor);
  GsField f;
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

bool gsFindAttr(GsSlice node, const char* name, GsSlice& attr) {
  GsReader r(node);
  GsField f;
  while (r.next(f))
    if (f.num == 5 && f.wire == 2) {
      GsReader a(f.payload);
      GsField af;
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

bool gsAttrStr(GsSlice attr, std::string& out) {
  GsReader r(attr);
  GsField f;
  while (r.next(f))
    if (f.num == 4 && f.wire == 2) {
      out = f.payload.str();
      return true;
    }
  return false;
}

bool gsAttrInt(GsSlice attr, int64_t& out) {
  GsReader r(attr);
  GsField f;
  while (r.next(f))
    if (f.num == 3 && f.wire == 0) {
      out = int64_t(f.v);
      return true;
    }
  return false;
}

bool gsAttrFloat(GsSlice attr, float& out) {
  GsReader r(attr);
  GsField f;
  while (r.next(f))
    if (f.num == 2 && f.wire == 5) {
      std::memcpy(&out, f.raw.p + f.raw.n - 4, 4);
      return true;
    }
  return false;
}

GsSlice hcConstValue(GsSlice node) {
  GsReader r(node);
  GsField f;
  while (r.next(f))
    if (f.num == 5 && f.wire == 2) {
      GsReader a(f.payload);
      GsField af;
      while (a.next(af))
        if (af.num == 5 && af.wire == 2) return af.payload;
    }
  return {};
}

bool gsValueInfoDims(GsSlice valueInfo, std::vector<int64_t>& out) {
  out.clear();
  // ValueInfoProto.type -> TypeProto.tensor_type -> Tensor.shape -> dims.
  GsSlice type, tensor, shape;
  bool hasShape = false;
  GsReader r(valueInfo);
  GsField f;
  while (r.next(f))
    if (f.num == 2 && f.wire == 2) type = f.payload;
  GsReader t(type);
  while (t.next(f))
    if (f.num == 1 && f.wire == 2) tensor = f.payload;
  GsReader s(tensor);
  while (s.next(f))
    if (f.num == 2 && f.wire == 2) shape = f.payload, hasShape = true;
  if (!hasShape) return false;
  GsReader d(shape);
  while (d.next(f)) {
    if (f.num != 1 || f.wire != 2) continue;
    int64_t v = -1;
    GsReader dim(f.payload);
    GsField df;
    while (dim.next(df))
      if (df.num == 1 && df.wire == 0) v = int64_t(df.v);
    out.push_back(v);
  }
  return true;
}

void gsReadGraph(GsSlice graph, std::vector<GsNodeInfo>& nodes, std::set<std::string>* inits,
                 std::set<std::string>* inputs) {
  nodes.clear();
  if (inits) inits->clear();
  if (inputs) inputs->clear();
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.num == 1) {
      GsNodeInfo n;
      n.raw = f.raw;
      GsReader nr(f.payload);
      GsField nf;
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
      inits->insert(gsFirstStr(f.payload, 8));
    } else if (f.num == 11 && inputs) {
      inputs->insert(gsFirstStr(f.payload, 1));
    }
  }
}

// ---------------------------------------------------------------- writing

void gsPutVarint(GsBytes& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(uint8_t(v | 0x80));
    v >>= 7;
  }
  out.push_back(uint8_t(v));
}

void gsPutTag(GsBytes& out, uint32_t n, uint32_t wire) {
  gsPutVarint(out, (uint64_t(n) << 3) | wire);
}

void gsPutBytes(GsBytes& out, uint32_t n, const void* data, size_t len) {
  gsPutTag(out, n, 2);
  gsPutVarint(out, len);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  out.insert(out.end(), p, p + len);
}

void gsPutBytes(GsBytes& out, uint32_t n, const std::string& s) {
  gsPutBytes(out, n, s.data(), s.size());
}

void gsPutRaw(GsBytes& out, GsSlice s) {
  out.insert(out.end(), s.p, s.p + s.n);
}

namespace {

void putVarintField(GsBytes& out, uint32_t n, uint64_t v) {
  gsPutTag(out, n, 0);
  gsPutVarint(out, v);
}

void wrapAttr(GsBytes& attrs, const GsBytes& attr) {
  gsPutBytes(attrs, 5, attr.data(), attr.size());
}

}  // namespace

void hcAttrI(GsBytes& attrs, const char* name, int64_t v) {
  GsBytes a;
  gsPutBytes(a, 1, name);
  putVarintField(a, 3, uint64_t(v));
  putVarintField(a, 20, 2);
  wrapAttr(attrs, a);
}

void hcAttrIs(GsBytes& attrs, const char* name, const int64_t* values, size_t count) {
  GsBytes a;
  gsPutBytes(a, 1, name);
  for (size_t i = 0; i < count; ++i) putVarintField(a, 8, uint64_t(values[i]));
  putVarintField(a, 20, 7);
  wrapAttr(attrs, a);
}

void hcAttrS(GsBytes& attrs, const std::string& value) {
  GsBytes a;
  gsPutBytes(a, 1, "mode");
  gsPutBytes(a, 4, value);
  putVarintField(a, 20, 3);
  wrapAttr(attrs, a);
}

void hcNode(GsBytes& graph, const std::string& op, const std::vector<std::string>& inputs,
            const std::string& output, const std::string& name, const GsBytes& attrs,
            const std::string& domain) {
  GsBytes n;
  for (const auto& in : inputs) gsPutBytes(n, 1, in);
  gsPutBytes(n, 2, output);
  gsPutBytes(n, 3, name);
  gsPutBytes(n, 4, op);
  n.insert(n.end(), attrs.begin(), attrs.end());
  if (!domain.empty()) gsPutBytes(n, 7, domain);
  gsPutBytes(graph, 1, n.data(), n.size());
}

void hcInit(GsBytes& graph, const std::string& name, int dataType, const std::vector<int64_t>& dims,
            const void* data, size_t bytes) {
  GsBytes t;
  for (int64_t d : dims) putVarintField(t, 1, uint64_t(d));
  putVarintField(t, 2, uint64_t(dataType));
  gsPutBytes(t, 8, name);
  gsPutBytes(t, 9, data, bytes);
  gsPutBytes(graph, 5, t.data(), t.size());
}

void gsPutTensorValueInfo(GsBytes& graph, uint32_t n, const std::string& name, const int64_t* dims,
                          int rank) {
  GsBytes shape;
  for (int i = 0; i < rank; ++i) {
    GsBytes dim;
    if (dims && dims[i] > 0) {
      putVarintField(dim, 1, uint64_t(dims[i]));
    } else {
      gsPutBytes(dim, 2, "le_hoist_d" + std::to_string(unsigned(i)));
    }
    gsPutBytes(shape, 1, dim.data(), dim.size());
  }
  GsBytes tensor;
  putVarintField(tensor, 1, 1);  // FLOAT
  gsPutBytes(tensor, 2, shape.data(), shape.size());
  GsBytes type;
  gsPutBytes(type, 1, tensor.data(), tensor.size());
  GsBytes vi;
  gsPutBytes(vi, 1, name);
  gsPutBytes(vi, 2, type.data(), type.size());
  gsPutBytes(graph, n, vi.data(), vi.size());
}

void gsReplaceGraph(const GsBytes& model, const GsBytes& graph, GsBytes& out) {
  // Reserved once: the copy never reallocates.
  const size_t oldGraph = gsGraphOf(model).n;
  GsBytes built;
  built.reserve(model.size() + 256 + (graph.size() > oldGraph ? graph.size() - oldGraph : 0));
  GsReader r(gsSlice(model));
  GsField f;
  bool placed = false;
  while (r.next(f)) {
    if (f.num != 7) {
      gsPutRaw(built, f.raw);
    } else if (f.wire == 2 && !placed) {
      // A second graph field would be merged into the first by a reader.
      gsPutBytes(built, 7, graph.data(), graph.size());
      placed = true;
    }
  }
  out.swap(built);
}

void gsRebuild(const GsBytes& model, const GsGraphEdit& edit, GsBytes& out) {
  const GsSlice old = gsGraphOf(model);
  // Initializers read by the nodes that stay, when unused ones are dropped.
  std::set<std::string> used;
  if (edit.dropUnusedInits) {
    // An initializer that is also a graph input stays: dropping it would
    // turn it into an input the caller must feed.
    std::vector<GsNodeInfo> nodes;
    gsReadGraph(old, nodes, nullptr, &used);
    for (size_t i = 0; i < nodes.size(); ++i)
      if (i >= edit.dropNode.size() || !edit.dropNode[i])
        used.insert(nodes[i].inputs.begin(), nodes[i].inputs.end());
    std::vector<GsNodeInfo> appended;
    gsReadGraph(gsSlice(edit.append), appended, nullptr, nullptr);
    for (const auto& n : appended) used.insert(n.inputs.begin(), n.inputs.end());
  }

  GsBytes graph;
  graph.reserve(old.n + edit.append.size() + 256);
  GsReader r(old);
  GsField f;
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
      keep = used.count(gsFirstStr(f.payload, 8)) > 0;
    } else if (f.num == 11 && f.wire == 2) {
      const bool prgb = gsFirstStr(f.payload, 1) == "P_rgb";
      keep = edit.keepOnlyPrgb ? prgb && !edit.dropPrgb : !(edit.dropPrgb && prgb);
    } else if (f.num == 12) {
      keep = !edit.dropOutputs;
    } else if (f.num == 13 && f.wire == 2 && !edit.valueInfoName.empty()) {
      keep = gsFirstStr(f.payload, 1) != edit.valueInfoName;
    }
    if (keep) gsPutRaw(graph, f.raw);
  }
  if (!appended) graph.insert(graph.end(), edit.append.begin(), edit.append.end());
  if (!edit.valueInfoName.empty() && edit.valueInfoField != 0)
    gsPutTensorValueInfo(graph, edit.valueInfoField, edit.valueInfoName,
                         edit.dims.empty() ? nullptr : edit.dims.data(),
                         edit.dims.empty() ? edit.rank : int(edit.dims.size()));

  gsReplaceGraph(model, graph, out);
}

bool gsHasOpsetImport(const GsBytes& model, const char* domain) {
  GsReader r(gsSlice(model));
  GsField f;
  while (r.next(f))
    if (f.num == 8 && f.wire == 2 && gsFirstStr(f.payload, 1) == domain) return true;
  return false;
}

void gsAddOpsetImport(GsBytes& model, const char* domain, int64_t version) {
  GsBytes op;
  gsPutBytes(op, 1, domain);
  putVarintField(op, 2, uint64_t(version));
  gsPutBytes(model, 8, op.data(), op.size());
}

bool gsIsStandardDomain(const std::string& domain) {
  return domain.empty() || domain == "ai.onnx";
}

// ---------------------------------------------------------------- sampling

namespace {

constexpr int kBand = 16;

// Unnormalised coordinates beyond [-1, size] clamp both taps to the same
// edge pixel whatever the weights, so limiting them there changes nothing
// and keeps NaN and huge grid values from reaching an integer conversion.
inline float limitCoord(float v, int size) {
  return std::min(std::max(v, -1.f), float(size));
}

bool haveAvx2Fma() {
  static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return yes;
}

struct GsJob {
  const float* X;
  const float* grid;
  float* Y;
  int C, H, W;
};

}  // namespace

void gridsample_fast_band(const float* X, const float* grid, float* Y, int C, int H, int W, int y0,
                          int y1) {
  y0 = std::max(y0, 0);
  y1 = std::min(y1, H);
  const size_t plane = size_t(H) * size_t(W);
  for (int y = y0; y < y1; ++y) {
    const float* g = grid + size_t(y) * W * 2;
    for (int x = 0; x < W; ++x) {
      const float ix = limitCoord((g[2 * x] + 1.f) * float(W) / 2.f - 0.5f, W);
      const float iy = limitCoord((g[2 * x + 1] + 1.f) * float(H) / 2.f - 0.5f, H);
      const float fx0 = std::floor(ix), fy0 = std::floor(iy);
      const float fx = ix - fx0, fy = iy - fy0;
      const int x0 = int(fx0), yy0 = int(fy0);
      const int xa = std::clamp(x0, 0, W - 1), xb = std::clamp(x0 + 1, 0, W - 1);
      const int ya = std::clamp(yy0, 0, H - 1), yb = std::clamp(yy0 + 1, 0, H - 1);
      const float w00 = (1.f - fx) * (1.f - fy), w01 = fx * (1.f - fy);
      const float w10 = (1.f - fx) * fy, w11 = fx * fy;
      const size_t a = size_t(ya) * W + xa, b = size_t(ya) * W + xb;
      const size_t c = size_t(yb) * W + xa, d = size_t(yb) * W + xb;
      const size_t o = size_t(y) * W + x;
      for (int ch = 0; ch < C; ++ch) {
        const float* p = X + ch * plane;
        Y[ch * plane + o] = w00 * p[a] + w01 * p[b] + w10 * p[c] + w11 * p[d];
      }
    }
  }
}

__attribute__((target("avx2,fma"))) void gs_avx2(const float* X, const float* grid, float* Y, int C,
                                                 int H, int W, int y0, int y1) {
  y0 = std::max(y0, 0);
  y1 = std::min(y1, H);
  const size_t plane = size_t(H) * size_t(W);
  const __m256 one = _mm256_set1_ps(1.f), half = _mm256_set1_ps(0.5f);
  const __m256 sx = _mm256_set1_ps(float(W) * 0.5f), sy = _mm256_set1_ps(float(H) * 0.5f);
  const __m256 loC = _mm256_set1_ps(-1.f);
  const __m256 hiX = _mm256_set1_ps(float(W)), hiY = _mm256_set1_ps(float(H));
  const __m256i zero = _mm256_setzero_si256(), onei = _mm256_set1_epi32(1);
  const __m256i maxX = _mm256_set1_epi32(W - 1), maxY = _mm256_set1_epi32(H - 1);
  const __m256i width = _mm256_set1_epi32(W);
  for (int y = y0; y < y1; ++y) {
    const float* g = grid + size_t(y) * W * 2;
    const size_t row = size_t(y) * W;
    int x = 0;
    for (; x + 8 <= W; x += 8) {
      const __m256 g0 = _mm256_loadu_ps(g + 2 * x), g1 = _mm256_loadu_ps(g + 2 * x + 8);
      // De-interleave (x, y) pairs; the shuffle leaves lanes in 0 1 4 5 2 3 6 7 order.
      const __m256 gx = _mm256_castpd_ps(
          _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(g0, g1, 0x88)), 0xD8));
      const __m256 gy = _mm256_castpd_ps(
          _mm256_permute4x64_pd(_mm256_castps_pd(_mm256_shuffle_ps(g0, g1, 0xDD)), 0xD8));
      // max(v, lo) yields lo for NaN, as limitCoord does.
      const __m256 ix =
          _mm256_min_ps(_mm256_max_ps(_mm256_fmsub_ps(_mm256_add_ps(gx, one), sx, half), loC), hiX);
      const __m256 iy =
          _mm256_min_ps(_mm256_max_ps(_mm256_fmsub_ps(_mm256_add_ps(gy, one), sy, half), loC), hiY);
      const __m256 fx0 = _mm256_floor_ps(ix), fy0 = _mm256_floor_ps(iy);
      const __m256 fx = _mm256_sub_ps(ix, fx0), fy = _mm256_sub_ps(iy, fy0);
      const __m256i x0 = _mm256_cvttps_epi32(fx0), yy0 = _mm256_cvttps_epi32(fy0);
      const __m256i xa = _mm256_min_epi32(_mm256_max_epi32(x0, zero), maxX);
      const __m256i xb = _mm256_min_epi32(_mm256_max_epi32(_mm256_add_epi32(x0, onei), zero), maxX);
      const __m256i ya =
          _mm256_mullo_epi32(_mm256_min_epi32(_mm256_max_epi32(yy0, zero), maxY), width);
      const __m256i yb = _mm256_mullo_epi32(
          _mm256_min_epi32(_mm256_max_epi32(_mm256_add_epi32(yy0, onei), zero), maxY), width);
      const __m256i a = _mm256_add_epi32(ya, xa), b = _mm256_add_epi32(ya, xb);
      const __m256i c = _mm256_add_epi32(yb, xa), d = _mm256_add_epi32(yb, xb);
      const __m256 gxw = _mm256_sub_ps(one, fx), gyw = _mm256_sub_ps(one, fy);
      const __m256 w00 = _mm256_mul_ps(gxw, gyw), w01 = _mm256_mul_ps(fx, gyw);
      const __m256 w10 = _mm256_mul_ps(gxw, fy), w11 = _mm256_mul_ps(fx, fy);
      for (int ch = 0; ch < C; ++ch) {
        const float* p = X + ch * plane;
        __m256 v = _mm256_mul_ps(w00, _mm256_i32gather_ps(p, a, 4));
        v = _mm256_fmadd_ps(w01, _mm256_i32gather_ps(p, b, 4), v);
        v = _mm256_fmadd_ps(w10, _mm256_i32gather_ps(p, c, 4), v);
        v = _mm256_fmadd_ps(w11, _mm256_i32gather_ps(p, d, 4), v);
        _mm256_storeu_ps(Y + ch * plane + row + x, v);
      }
    }
    // The row's remainder, one pixel at a time.
    if (x < W) {
      for (; x < W; ++x) {
        const float ix = limitCoord((g[2 * x] + 1.f) * float(W) / 2.f - 0.5f, W);
        const float iy = limitCoord((g[2 * x + 1] + 1.f) * float(H) / 2.f - 0.5f, H);
        const float fx0 = std::floor(ix), fy0 = std::floor(iy);
        const float fx = ix - fx0, fy = iy - fy0;
        const int x0 = int(fx0), yy0 = int(fy0);
        const int xa = std::clamp(x0, 0, W - 1), xb = std::clamp(x0 + 1, 0, W - 1);
        const int ya = std::clamp(yy0, 0, H - 1), yb = std::clamp(yy0 + 1, 0, H - 1);
        const float w00 = (1.f - fx) * (1.f - fy), w01 = fx * (1.f - fy);
        const float w10 = (1.f - fx) * fy, w11 = fx * fy;
        for (int ch = 0; ch < C; ++ch) {
          const float* p = X + ch * plane;
          Y[ch * plane + row + x] = w00 * p[size_t(ya) * W + xa] + w01 * p[size_t(ya) * W + xb] +
                                    w10 * p[size_t(yb) * W + xa] + w11 * p[size_t(yb) * W + xb];
        }
      }
    }
  }
}

void band_fn(void* context, size_t band) {
  tsanAcquire(context);
  const GsJob& j = *static_cast<const GsJob*>(context);
  const int y0 = int(band) * kBand, y1 = std::min(j.H, y0 + kBand);
  // 32-bit gather offsets cover one plane of up to 2^31 floats.
  if (haveAvx2Fma() && size_t(j.H) * size_t(j.W) < (size_t(1) << 31))
    gs_avx2(j.X, j.grid, j.Y, j.C, j.H, j.W, y0, y1);
  else
    gridsample_fast_band(j.X, j.grid, j.Y, j.C, j.H, j.W, y0, y1);
  tsanRelease(context);
}

void gridsample_fast(const float* X, const float* grid, float* Y, int C, int H, int W) {
  GsJob job{X, grid, Y, C, H, W};
  for (size_t b = 0; b < size_t((H + kBand - 1) / kBand); ++b) band_fn(&job, b);
}

// ---------------------------------------------------------------- operator

namespace {

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? "," : "") + std::to_string(s[i]);
  return t + "]";
}

}  // namespace

// Output 0 has input 0's shape. Written against the C interface: the C++
// helper for this leaks inside the runtime when a dimension is symbolic.
OrtStatusPtr sameShapeAsInput0(const OrtCustomOp*, OrtShapeInferContext* ctx) {
  const OrtApi& api = Ort::GetApi();
  OrtTensorTypeAndShapeInfo* info = nullptr;  // owned by the context
  if (OrtStatusPtr st = api.ShapeInferContext_GetInputTypeShape(ctx, 0, &info)) return st;
  return api.ShapeInferContext_SetOutputTypeShape(ctx, 0, info);
}

namespace {

struct GSFKernel {
  OrtStatusPtr ComputeV2(OrtKernelContext* context) {
    try {
      Ort::KernelContext ctx(context);
      auto x = ctx.GetInput(0);
      auto g = ctx.GetInput(1);
      const auto xs = x.GetTensorTypeAndShapeInfo().GetShape();
      const auto gs = g.GetTensorTypeAndShapeInfo().GetShape();
      // The kernel indexes the grid by X's spatial size: anything but
      // [N, H, W, 2] would be read out of bounds.
      if (xs.size() != 4 || gs.size() != 4 || gs[0] != xs[0] || gs[1] != xs[2] || gs[2] != xs[3] ||
          gs[3] != 2)
        throw std::runtime_error(
            "com.velmoor::GridSampleFast: the grid is " + shapeText(gs) + " for X " +
            shapeText(xs) +
            "; this kernel samples an H x W output from an H x W input and needs the grid [N, "
            "H, W, 2]. REFUSING rather than reading past the grid.");
      auto y = ctx.GetOutput(0, xs);
      const int64_t N = xs[0], C = xs[1], H = xs[2], W = xs[3];
      if (N == 0 || C == 0 || H == 0 || W == 0) return nullptr;
      const float* X = x.GetTensorData<float>();
      const float* G = g.GetTensorData<float>();
      float* Y = y.GetTensorMutableData<float>();
      const size_t img = size_t(C) * H * W, gimg = size_t(H) * W * 2;
      for (int64_t n = 0; n < N; ++n) {
        GsJob job{X + n * img, G + n * gimg, Y + n * img, int(C), int(H), int(W)};
        tsanRelease(&job);
        ctx.ParallelFor(band_fn, size_t((H + kBand - 1) / kBand), 0, &job);
        tsanAcquire(&job);
      }
      return nullptr;
    } catch (const std::exception& e) {
      return Ort::GetApi().CreateStatus(ORT_RUNTIME_EXCEPTION, e.what());
    }
  }
};

struct GSFOp : Ort::CustomOpBase<GSFOp, GSFKernel, true> {
  GSFOp() { InferOutputShapeFn = sameShapeAsInput0; }
  OrtStatusPtr CreateKernelV2(const OrtApi&, const OrtKernelInfo*, void** kernel) const {
    *kernel = new GSFKernel();
    return nullptr;
  }
  const char* GetName() const { return "GridSampleFast"; }
  const char* GetExecutionProviderType() const { return "CPUExecutionProvider"; }
  size_t GetInputTypeCount() const { return 2; }
  ONNXTensorElementDataType GetInputType(size_t) const {
    return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
  size_t GetOutputTypeCount() const { return 1; }
  ONNXTensorElementDataType GetOutputType(size_t) const {
    return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
  }
};

}  // namespace

Ort::CustomOpDomain& velmoorDomain() {
  // Sessions keep pointers to the domain and its operators until they are
  // destroyed, which may be during process exit: never free them.
  static Ort::CustomOpDomain* domain = [] {
    auto* d = new Ort::CustomOpDomain(kVelmoorDomain);
    domainOps(*d);
    return d;
  }();
  return *domain;
}

void domainOps(Ort::CustomOpDomain& domain) {
  static const GSFOp* gsf = new GSFOp();
  domain.Add(gsf);
  domain.Add(warpDirectorOp());
}

void registerGridSampleFast(Ort::SessionOptions& options) {
  options.Add(velmoorDomain());
}

// ---------------------------------------------------------------- rewrites

namespace {

// Known tensor shapes of the graph: its inputs, outputs and value_info.
std::map<std::string, std::vector<int64_t>> knownShapes(GsSlice graph) {
  std::map<std::string, std::vector<int64_t>> shapes;
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.wire != 2 || (f.num != 11 && f.num != 12 && f.num != 13)) continue;
    std::vector<int64_t> dims;
    if (gsValueInfoDims(f.payload, dims)) shapes[gsFirstStr(f.payload, 1)] = dims;
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

// A copy of the node without the fields in `drop`, wrapped as GraphProto field 1.
void putNodeWithout(GsBytes& graph, GsSlice node, std::initializer_list<uint32_t> drop,
                    const GsBytes& tail) {
  GsBytes n;
  n.reserve(node.n + tail.size());
  GsReader r(node);
  GsField f;
  while (r.next(f))
    if (std::find(drop.begin(), drop.end(), f.num) == drop.end()) gsPutRaw(n, f.raw);
  n.insert(n.end(), tail.begin(), tail.end());
  gsPutBytes(graph, 1, n.data(), n.size());
}

// Rebuilds the graph, rewriting the nodes `pick` selects with `rewrite`.
template <class Pick, class Rewrite>
size_t rewriteNodes(GsBytes& model, Pick pick, Rewrite rewrite) {
  const GsSlice graph = gsGraphOf(model);
  size_t count = 0;
  GsBytes built;
  built.reserve(graph.n + 256);
  GsReader r(graph);
  GsField f;
  while (r.next(f)) {
    if (f.num == 1 && f.wire == 2 && pick(f.payload)) {
      rewrite(built, f.payload);
      ++count;
    } else {
      gsPutRaw(built, f.raw);
    }
  }
  if (count == 0) return 0;
  GsBytes out;
  gsReplaceGraph(model, built, out);
  model.swap(out);
  return count;
}

}  // namespace

bool gsIsRewritableGridSample(GsSlice node) {
  if (gsFirstStr(node, 4) != "GridSample" || !gsIsStandardDomain(gsFirstStr(node, 7))) return false;
  GsSlice attr;
  std::string mode, pad;
  if (!gsFindAttr(node, "mode", attr) || !gsAttrStr(attr, mode)) return false;
  if (mode != "bilinear" && mode != "linear") return false;
  if (!gsFindAttr(node, "padding_mode", attr) || !gsAttrStr(attr, pad) || pad != "border")
    return false;
  int64_t ac = 0;
  if (gsFindAttr(node, "align_corners", attr) && gsAttrInt(attr, ac) && ac != 0) return false;
  return true;
}

size_t rewriteGridSampleToFast(GsBytes& model) {
  const GsSlice graph = gsGraphOf(model);
  const auto shapes = knownShapes(graph);
  auto pick = [&](GsSlice node) {
    if (!gsIsRewritableGridSample(node)) return false;
    std::vector<std::string> inputs;
    gsAllStr(node, 1, inputs);
    return !shapesDiffer(shapes, inputs);
  };
  GsBytes tail;
  gsPutBytes(tail, 4, "GridSampleFast");
  gsPutBytes(tail, 7, kVelmoorDomain);
  const bool hadImport = gsHasOpsetImport(model, kVelmoorDomain);
  const size_t count = rewriteNodes(model, pick, [&](GsBytes& out, GsSlice node) {
    putNodeWithout(out, node, {4, 5, 7}, tail);
  });
  if (count > 0 && !hadImport) gsAddOpsetImport(model, kVelmoorDomain, 1);
  return count;
}

bool graphHasBakedGridSampleFast(const GsBytes& model) {
  std::vector<GsNodeInfo> nodes;
  gsReadGraph(gsGraphOf(model), nodes, nullptr, nullptr);
  for (const auto& n : nodes)
    if (n.op == "GridSampleFast" && n.domain == kVelmoorDomain) return true;
  return false;
}

bool gsIsStudentBlendMatMul(GsSlice node) {
  size_t inputs = 0, attrs = 0;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.num == 1) ++inputs;
    if (f.num == 5) ++attrs;
  }
  return gsFirstStr(node, 3) == "/s2/blend" && gsFirstStr(node, 4) == "MatMul" && attrs == 0 &&
         inputs == 2 && gsIsStandardDomain(gsFirstStr(node, 7));
}

size_t normaliseStudentBlend(GsBytes& model) {
  // Gemm with no attributes is alpha 1, beta 1, no transposes: Y = A B.
  GsBytes tail;
  gsPutBytes(tail, 4, "Gemm");
  return rewriteNodes(model, gsIsStudentBlendMatMul, [&](GsBytes& out, GsSlice node) {
    putNodeWithout(out, node, {4, 7}, tail);
  });
}

}  // namespace le
