// The ONNX wire codec: field reading at the protobuf limits, the message
// builders read back through the reader, the graph rebuild, and malformed
// bytes fed to every rewrite.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>

#include "graph_util.h"
#include "render/le_rewrites.h"
#include "render/le_source_cone.h"
#include "render/le_warp.h"

using namespace graph_test;
using le::onnx::Field;
using le::onnx::Reader;
using le::onnx::Slice;

namespace {

std::string readError(const Bytes& b) {
  try {
    Reader r(le::onnx::slice(b));
    Field f;
    while (r.next(f)) {
    }
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(Codec, FieldsAtTheWireLimits) {
  // A ten-byte varint decodes; an eleventh continuation byte does not.
  Bytes ten = {0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01};
  Reader r(le::onnx::slice(ten));
  Field f;
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.num, 1u);
  EXPECT_EQ(f.wire, 0u);
  EXPECT_EQ(f.v, ~uint64_t(0));
  EXPECT_EQ(f.raw.n, ten.size());
  EXPECT_FALSE(r.next(f));
  Bytes eleven = ten;
  eleven.back() = 0xff;
  eleven.push_back(0x01);
  EXPECT_EQ(readError(eleven), "onnx: bad varint");

  EXPECT_EQ(readError({0x80}), "onnx: bad varint");            // tag runs off the end
  EXPECT_EQ(readError({0x08, 0x80}), "onnx: bad varint");      // value runs off the end
  EXPECT_EQ(readError({0x0a, 0x05, 'a'}), "onnx: truncated");  // payload past the end
  EXPECT_EQ(readError({0x0a, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f}),
            "onnx: truncated");                                          // a length of 2^63
  EXPECT_EQ(readError({0x0d, 1, 2, 3}), "onnx: truncated");              // fixed32 short
  EXPECT_EQ(readError({0x09, 1, 2, 3, 4, 5, 6, 7}), "onnx: truncated");  // fixed64 short
  for (uint8_t tag : {0x0b, 0x0c, 0x0e, 0x0f}) EXPECT_EQ(readError({tag}), "onnx: bad wire type");

  // Fixed fields are skipped, their bytes still in the raw slice.
  Bytes fixed = {0x0d, 0, 0, 0x80, 0x3f, 0x11, 1, 2, 3, 4, 5, 6, 7, 8, 0x12, 2, 'h', 'i'};
  Reader fr(le::onnx::slice(fixed));
  ASSERT_TRUE(fr.next(f));
  float one;
  std::memcpy(&one, f.raw.p + 1, 4);
  EXPECT_EQ(one, 1.f);
  ASSERT_TRUE(fr.next(f));
  EXPECT_EQ(f.wire, 1u);
  ASSERT_TRUE(fr.next(f));
  EXPECT_EQ(f.payload.str(), "hi");
  EXPECT_EQ(le::onnx::firstString(le::onnx::slice(fixed), 2), "hi");
  EXPECT_EQ(le::onnx::firstString(le::onnx::slice(fixed), 3), "");
}

TEST(Codec, BuildersReadBack) {
  Bytes attrs;
  const int64_t ints[3] = {5, -1, 7};
  le::onnx::putIntAttr(attrs, "group", 12);
  le::onnx::putIntsAttr(attrs, "pads", ints, 3);
  le::onnx::putModeAttr(attrs, "edge");
  Bytes graph;
  le::onnx::putNode(graph, "Pad", {"x", ""}, "y", "n0", attrs, "com.x");
  const float vals[3] = {1.5f, -2.f, 0.25f};
  le::onnx::putInitializer(graph, "w", 1, {1, 3}, vals, sizeof vals);
  input(graph, "x", {2, 3});
  std::vector<le::onnx::NodeInfo> nodes;
  std::set<std::string> inits, inputs;
  le::onnx::readGraph(le::onnx::slice(graph), nodes, &inits, &inputs);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].op, "Pad");
  EXPECT_EQ(nodes[0].name, "n0");
  EXPECT_EQ(nodes[0].domain, "com.x");
  EXPECT_EQ(nodes[0].inputs, (std::vector<std::string>{"x", ""}));
  EXPECT_EQ(nodes[0].outputs, std::vector<std::string>{"y"});
  EXPECT_EQ(inits, std::set<std::string>{"w"});
  EXPECT_EQ(inputs, std::set<std::string>{"x"});

  const Slice node = le::onnx::payloadOf(nodes[0].raw);
  Slice a;
  int64_t i = 0;
  std::string s;
  ASSERT_TRUE(le::onnx::findAttr(node, "group", a));
  EXPECT_TRUE(le::onnx::attrInt(a, i));
  EXPECT_EQ(i, 12);
  ASSERT_TRUE(le::onnx::findAttr(node, "mode", a));
  EXPECT_TRUE(le::onnx::attrString(a, s));
  EXPECT_EQ(s, "edge");
  // Each int its own (unpacked) field 8, -1 as a ten-byte varint.
  ASSERT_TRUE(le::onnx::findAttr(node, "pads", a));
  std::vector<int64_t> got;
  Reader r(a);
  Field f;
  while (r.next(f))
    if (f.num == 8) got.push_back(int64_t(f.v));
  EXPECT_EQ(got, (std::vector<int64_t>{5, -1, 7}));
  EXPECT_FALSE(le::onnx::findAttr(node, "absent", a));

  Reader g(le::onnx::slice(graph));
  Slice tensor;
  while (g.next(f))
    if (f.num == 5) tensor = f.payload;
  std::vector<int64_t> dims;
  std::vector<float> floats;
  EXPECT_TRUE(le::onnx::tensorDims(tensor, dims));
  EXPECT_EQ(dims, (std::vector<int64_t>{1, 3}));
  EXPECT_TRUE(le::onnx::tensorFloats(tensor, floats));
  EXPECT_EQ(floats, (std::vector<float>{1.5f, -2.f, 0.25f}));

  // float_data as fixed32 fields and as a packed run; packed dims.
  Bytes t;
  le::onnx::putBytes(t, 1, std::string("\x02\x03", 2));
  le::onnx::putTag(t, 2, 0);
  le::onnx::putVarint(t, 1);
  for (float v : {0.5f, 4.f}) {
    le::onnx::putTag(t, 4, 5);
    t.insert(t.end(), reinterpret_cast<const uint8_t*>(&v),
             reinterpret_cast<const uint8_t*>(&v) + 4);
  }
  le::onnx::putBytes(t, 4, &vals[0], 8);
  EXPECT_TRUE(le::onnx::tensorDims(le::onnx::slice(t), dims));
  EXPECT_EQ(dims, (std::vector<int64_t>{2, 3}));
  EXPECT_TRUE(le::onnx::tensorFloats(le::onnx::slice(t), floats));
  EXPECT_EQ(floats, (std::vector<float>{0.5f, 4.f, 1.5f, -2.f}));
  Bytes i64;
  le::onnx::putTag(i64, 2, 0);
  le::onnx::putVarint(i64, 7);
  EXPECT_FALSE(le::onnx::tensorFloats(le::onnx::slice(i64), floats));

  // A Constant node carries its value as attribute field t.
  Bytes attr, cattrs;
  le::onnx::putBytes(attr, 1, "value");
  le::onnx::putBytes(attr, 5, t.data(), t.size());
  le::onnx::putBytes(cattrs, 5, attr.data(), attr.size());
  Bytes cgraph;
  le::onnx::putNode(cgraph, "Constant", {}, "c", "k", cattrs);
  EXPECT_TRUE(le::onnx::tensorFloats(
      le::onnx::constantValue(le::onnx::payloadOf(le::onnx::slice(cgraph))), floats));
  EXPECT_EQ(floats.size(), 4u);
}

TEST(Codec, ValueInfoNamesUnknownDims) {
  Bytes g;
  const int64_t dims[4] = {1, -1, 64, 64};
  le::onnx::putTensorValueInfo(g, 12, "b", dims, 4);
  const std::string text(g.begin(), g.end());
  EXPECT_NE(text.find("le_hoist_d1"), std::string::npos);
  EXPECT_EQ(text.find("le_hoist_d0"), std::string::npos);
  std::vector<int64_t> back;
  ASSERT_TRUE(le::onnx::valueInfoDims(le::onnx::payloadOf(le::onnx::slice(g)), back));
  EXPECT_EQ(back, (std::vector<int64_t>{1, -1, 64, 64}));
  Bytes none;
  le::onnx::putTensorValueInfo(none, 11, "b", nullptr, 2);
  const std::string t2(none.begin(), none.end());
  EXPECT_NE(t2.find("le_hoist_d0"), std::string::npos);
  EXPECT_NE(t2.find("le_hoist_d1"), std::string::npos);
}

TEST(Codec, RebuildCopiesAndEdits) {
  const Bytes model = modelBytes("b1");
  Bytes out;
  le::onnx::rebuild(model, {}, out);
  EXPECT_TRUE(out == model);  // the generator writes minimal varints

  std::vector<le::onnx::NodeInfo> before, after;
  std::set<std::string> inBefore, inAfter;
  le::onnx::readGraph(le::onnx::graphOf(model), before, nullptr, &inBefore);
  le::onnx::GraphEdit e;
  e.dropNode = {0, 1};  // the second node only
  e.dropPrgb = true;
  e.dropOutputs = true;
  e.valueInfoName = "extra";
  e.dims = {3, 4};
  e.valueInfoField = 12;
  le::onnx::rebuild(model, e, out);
  le::onnx::readGraph(le::onnx::graphOf(out), after, nullptr, &inAfter);
  ASSERT_EQ(after.size(), before.size() - 1);
  EXPECT_EQ(after[0].name, before[0].name);
  EXPECT_EQ(after[1].name, before[2].name);
  EXPECT_EQ(inAfter.count("P_rgb"), 0u);
  EXPECT_EQ(inAfter.size(), inBefore.size() - 1);
  std::vector<std::string> outputs;
  le::onnx::allStrings(le::onnx::graphOf(out), 12, outputs);
  EXPECT_EQ(outputs.size(), 1u);  // "rgb" dropped, "extra" declared
  // Every field outside the graph is unchanged, in order.
  EXPECT_EQ(le::onnx::firstString(le::onnx::slice(out), 2),
            le::onnx::firstString(le::onnx::slice(model), 2));

  e = {};
  e.keepOnlyPrgb = true;
  le::onnx::rebuild(model, e, out);
  le::onnx::readGraph(le::onnx::graphOf(out), after, nullptr, &inAfter);
  EXPECT_EQ(inAfter, std::set<std::string>{"P_rgb"});
}

// Truncated, cut at a varint, or randomly corrupted model bytes: every
// rewrite either rewrites or reports, never crashes, and leaves the bytes as
// they were when it does not apply.
TEST(Codec, MalformedModelsAreReportedNotFollowed) {
  const Bytes good = modelBytes("b1");
  using Rewrite = std::function<size_t(Bytes&)>;
  std::string reason;
  int canvas = 0, batch = 0;
  const std::vector<Rewrite> rewrites = {
      [](Bytes& m) { return le::rewriteGridSampleToFast(m); },
      [](Bytes& m) { return le::normaliseStudentBlend(m); },
      [](Bytes& m) { return le::rewriteHeadCubicResize(m); },
      [&](Bytes& m) { return le::rewriteWarpBlockToCustomOp(m, reason); },
      [&](Bytes& m) { return size_t(le::rewriteBindLipContour(m, reason, canvas, batch)); },
      [&](Bytes& m) {
        Bytes out;
        return size_t(le::buildSourceConePrep(m, "/cone/concat_output_0", out, reason));
      },
      [](Bytes& m) { return size_t(le::graphHasBakedGridSampleFast(m)); },
  };
  auto check = [&](const Bytes& bad) {
    for (size_t k = 0; k < rewrites.size(); ++k) {
      Bytes m = bad;
      try {
        if (rewrites[k](m) == 0) {
          ASSERT_TRUE(m == bad) << "rewrite " << k;
        }
      } catch (const std::runtime_error& e) {
        const std::string what = e.what();
        ASSERT_TRUE(what == "onnx: bad varint" || what == "onnx: truncated" ||
                    what == "onnx: bad wire type")
            << what;
        ASSERT_TRUE(m == bad) << "rewrite " << k;
      }
    }
  };
  for (size_t cut = 0; cut < good.size(); cut += 1 + good.size() / 97)
    check(Bytes(good.begin(), good.begin() + long(cut)));
  std::mt19937 rng(7);
  for (int i = 0; i < 150; ++i) {
    Bytes bad = good;
    for (int k = 0; k < 1 + i % 4; ++k) bad[rng() % bad.size()] = uint8_t(rng());
    check(bad);
  }
  // A varint cut in the middle, and one with the continuation bit stuck.
  check({0x3a, 0x85});
  Bytes stuck = good;
  std::fill(stuck.begin() + 2, stuck.begin() + 14, 0xff);
  check(stuck);
}

}  // namespace
