// The ONNX wire codec and every load-time rewrite on arbitrary model bytes.
// A rewrite either applies, leaving a model that still reads, or does not,
// leaving the bytes as they were (with a reason where it gives one); a
// refusal is one of the codec's own messages.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "render/gridsample_fast.h"
#include "render/le_rewrites.h"
#include "render/le_source_cone.h"
#include "render/le_warp.h"

namespace {

using le::onnx::Bytes;

// Walks every top-level field and the graph's fields.
void readAll(const Bytes& model) {
  le::onnx::Field f;
  le::onnx::Reader top(le::onnx::slice(model));
  while (top.next(f)) {
  }
  le::onnx::Reader graph(le::onnx::graphOf(model));
  while (graph.next(f)) {
  }
}

bool codecMessage(const std::string& what) {
  return what == "onnx: bad varint" || what == "onnx: truncated" || what == "onnx: bad wire type";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes input(data, data + size);
  try {
    readAll(input);
  } catch (const std::runtime_error& e) {
    if (!codecMessage(e.what())) le_fuzz::broken(e.what());
  }
  struct Rewrite {
    bool givesReason;
    std::function<size_t(Bytes&, std::string&)> run;
  };
  int canvas = 0, batch = 0;
  const Rewrite rewrites[] = {
      {false, [](Bytes& m, std::string&) { return le::rewriteGridSampleToFast(m); }},
      {false, [](Bytes& m, std::string&) { return le::normaliseStudentBlend(m); }},
      {false, [](Bytes& m, std::string&) { return le::rewriteHeadCubicResize(m); }},
      {true, [](Bytes& m, std::string& r) { return le::rewriteWarpBlockToCustomOp(m, r); }},
      {true,
       [&](Bytes& m, std::string& r) {
         return size_t(le::rewriteBindLipContour(m, r, canvas, batch));
       }},
      {false, [](Bytes& m, std::string&) { return size_t(le::graphHasBakedGridSampleFast(m)); }},
  };
  for (const Rewrite& rw : rewrites) {
    Bytes m = input;
    std::string reason;
    try {
      if (rw.run(m, reason) == 0) {
        if (m != input) le_fuzz::broken("a rewrite that did not apply changed the bytes");
        if (rw.givesReason && reason.empty())
          le_fuzz::broken("a rewrite declined without a reason");
      } else {
        readAll(m);
      }
    } catch (const std::runtime_error& e) {
      if (!codecMessage(e.what())) le_fuzz::broken(e.what());
      if (m != input) le_fuzz::broken("a refused rewrite changed the bytes");
    }
  }
  // The source-cone split reads the model and writes a separate one.
  std::string boundary, reason;
  try {
    if (le::findSourceConeBoundary(input, boundary) == 1) {
      Bytes prep;
      if (le::buildSourceConePrep(input, boundary, prep, reason))
        readAll(prep);
      else if (reason.empty())
        le_fuzz::broken("the source cone was refused without a reason");
    }
  } catch (const std::runtime_error& e) {
    if (!codecMessage(e.what())) le_fuzz::broken(e.what());
  }
  return 0;
}
