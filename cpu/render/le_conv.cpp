#include "render/le_conv.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "base/le_env.h"
#include "base/le_log.h"
#include "render/le_onnx_wire.h"

namespace le {
namespace {

struct FixedInit {
  const char* name;
  std::vector<int64_t> dims;
};

const std::vector<FixedInit>& fixedInits() {
  static const std::vector<FixedInit> table = {
      {"s.e0.conv.weight", {96, 96, 3, 3}},
      {"s.e0.conv.bias", {96}},
      {"s.e1.conv.weight", {144, 96, 3, 3}},
      {"s.e1.conv.bias", {144}},
      {"s.e2.conv.weight", {192, 144, 3, 3}},
      {"s.e2.conv.bias", {192}},
      {"s.d1.conv.weight", {144, 336, 3, 3}},
      {"s.d1.conv.bias", {144}},
      {"s.d0.conv.weight", {96, 240, 3, 3}},
      {"s.d0.conv.bias", {96}},
      {"s.ref.conv.weight", {48, 96, 3, 3}},
      {"s.ref.conv.bias", {48}},
      {"s.mask.weight", {22, 48, 3, 3}},
      {"s.mask.bias", {22}},
      {"s.occ.weight", {1, 48, 3, 3}},
      {"s.occ.bias", {1}},
      {"s.corr.0.conv.weight", {24, 7, 3, 3}},
      {"s.corr.0.conv.bias", {24}},
      {"s.corr.1.conv.weight", {24, 24, 3, 3}},
      {"s.corr.1.conv.bias", {24}},
      {"s.corr.2.weight", {12, 24, 3, 3}},
      {"s.corr.2.bias", {12}},
      {"s.tile.0.conv.weight", {32, 7, 3, 3}},
      {"s.tile.0.conv.bias", {32}},
      {"s.tile.1.conv.weight", {32, 32, 3, 3}},
      {"s.tile.1.conv.bias", {32}},
      {"s.tile.2.conv.weight", {32, 32, 3, 3}},
      {"s.tile.2.conv.bias", {32}},
      {"s.tile.3.weight", {3, 32, 3, 3}},
      {"s.tile.3.bias", {3}},
      {"s.grid64", {64, 64, 2}},
      {"s.feather", {1, 1, 256, 208}},
      {"s.wmlp.0.weight", {128, 255}},
      {"s.wmlp.0.bias", {128}},
      {"s.wmlp.2.weight", {64, 128}},
      {"s.wmlp.2.bias", {64}},
  };
  return table;
}

const M4bDrifting kBasis{"onnx::MatMul_338", {64, 196608}};
const M4bDrifting kGrid32{"onnx::Sub_316", {1, 1, 32, 32, 2}};
const M4bDrifting kPreWeight{"onnx::Conv_313", {96, 85, 1, 1}};

TensorShapes readShapes(const std::string& path) {
  onnx::Bytes bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("cannot open " + path);
  uint8_t buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  TensorShapes shapes;
  onnx::Reader r(onnx::graphOf(bytes));
  onnx::Field field;
  while (r.next(field)) {
    if (field.num != 5 || field.wire != 2) continue;
    std::vector<int64_t> dims;
    onnx::tensorDims(field.payload, dims);
    shapes.emplace_back(onnx::firstString(field.payload, 8), std::move(dims));
  }
  return shapes;
}

const std::vector<int64_t>* dimsOf(const TensorShapes& shapes, const std::string& name) {
  for (const auto& s : shapes)
    if (s.first == name) return &s.second;
  return nullptr;
}

// The usual name when it has the expected dims, else the one initializer
// of those dims; "" when absent or ambiguous.
std::string resolveByShape(const TensorShapes& shapes, const M4bDrifting& d) {
  const auto* usual = dimsOf(shapes, d.usualName);
  if (usual && *usual == d.dims) return d.usualName;
  std::string found;
  int count = 0;
  for (const auto& s : shapes)
    if (s.second == d.dims) found = s.first, ++count;
  return count == 1 ? found : "";
}

bool supported(const std::string& path, std::string& why) {
  const TensorShapes shapes = readShapes(path);
  for (const auto& fi : fixedInits()) {
    const auto* dims = dimsOf(shapes, fi.name);
    if (!dims || *dims != fi.dims) {
      why = std::string(dims ? "wrong dims for " : "missing ") + fi.name;
      return false;
    }
  }
  const std::string pre = resolveByShape(shapes, kPreWeight);
  if (pre.empty()) {
    why = "pre weight (96,85,1,1) absent or ambiguous";
    return false;
  }
  if (resolveByShape(shapes, kGrid32).empty()) {
    why = "grid32 (1,1,32,32,2) absent or ambiguous";
    return false;
  }
  if (resolveByShape(shapes, kBasis).empty()) {
    why = "basis (64,196608) absent or ambiguous";
    return false;
  }
  // The exporter numbers values in order: the bias follows its weight.
  size_t digits = pre.size();
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(pre[digits - 1]))) --digits;
  if (digits == pre.size() || pre.size() - digits > 18) {
    why = "pre weight name carries no SSA counter";
    return false;
  }
  const std::string bias =
      pre.substr(0, digits) + std::to_string(std::stoll(pre.substr(digits)) + 1);
  const auto* bdims = dimsOf(shapes, bias);
  if (!bdims || *bdims != std::vector<int64_t>{96}) {
    why = "pre bias " + bias + " absent or not (96)";
    return false;
  }
  return true;
}

}  // namespace

bool ConvBackend::available() {
  return false;
}

std::unique_ptr<ConvBackend> ConvBackend::create(const std::string&, int) {
  throw std::runtime_error("le_conv: built without NEON fp16 support");
}

bool ConvBackend::graphSupported(const std::string& modelPath) {
  try {
    std::string why;
    return supported(modelPath, why);
  } catch (const std::exception&) {
    return false;
  }
}

void ConvBackend::answerRequest(std::string& ep, const std::string& modelPath, int crop) {
  const char* conv = le::envValue("LE_CONV_BACKEND");
  if (ep != "neon" && !(ep.empty() && conv && std::strcmp(conv, "neon") == 0)) return;
  ep.clear();
  if (!available()) {
    le::log(LogLevel::Warning, "le",
            "fp16 NEON backend requested but unavailable on this build/CPU; using ORT");
  } else if (!graphSupported(modelPath)) {
    const size_t slash = modelPath.find_last_of('/');
    le::log(LogLevel::Warning, "le",
            "NEON backend refused: %s is not the fused m4b graph (golden/unified "
            "director?); using ORT",
            modelPath.substr(slash == std::string::npos ? 0 : slash + 1).c_str());
  } else {
    // A build with the backend would hand it the session from here.
    if (crop != 512) throw std::runtime_error("le_conv: only crop=512 m4b bundles");
    create(modelPath, 0);
  }
}

}  // namespace le
