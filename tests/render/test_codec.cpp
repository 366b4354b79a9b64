// The ONNX wire codec: field reading at the protobuf limits, the message
// builders read back through the reader, the graph rebuild, and malformed
// bytes fed to every rewrite.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <stdexcept>

#include "graph_util.h"
#include "render/le_warp.h"

using namespace graph_test;
using le::GsField;
using le::GsReader;
using le::GsSlice;

namespace {

std::string readError(const GsBytes& b) {
  try {
    GsReader r(le::gsSlice(b));
    GsField f;
    while (r.next(f)) {
    }
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(Codec, FieldsAtTheWireLimits) {
  // A ten-byte varint decodes; an eleventh continuation byte does not.
  GsBytes ten = {0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01};
  GsReader r(le::gsSlice(ten));
  GsField f;
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.num, 1u);
  EXPECT_EQ(f.wire, 0u);
  EXPECT_EQ(f.v, ~uint64_t(0));
  EXPECT_EQ(f.raw.n, ten.size());
  EXPECT_FALSE(r.next(f));
  GsBytes eleven = ten;
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
  GsBytes fixed = {0x0d, 0, 0, 0x80, 0x3f, 0x11, 1, 2, 3, 4, 5, 6, 7, 8, 0x12, 2, 'h', 'i'};
  GsReader fr(le::gsSlice(fixed));
  ASSERT_TRUE(fr.next(f));
  float one;
  std::memcpy(&one, f.raw.p + 1, 4);
  EXPECT_EQ(one, 1.f);
  ASSERT_TRUE(fr.next(f));
  EXPECT_EQ(f.wire, 1u);
  ASSERT_TRUE(fr.next(f));
  EXPECT_EQ(f.payload.str(), "hi");
  EXPECT_EQ(le::gsFirstStr(le::gsSlice(fixed), 2), "hi");
  EXPECT_EQ(le::gsFirstStr(le::gsSlice(fixed), 3), "");
}

TEST(Codec, BuildersReadBack) {
  GsBytes attrs;
  const int64_t ints[3] = {5, -1, 7};
  le::hcAttrI(attrs, "group", 12);
  le::hcAttrIs(attrs, "pads", ints, 3);
  le::hcAttrS(attrs, "edge");
  GsBytes graph;
  le::hcNode(graph, "Pad", {"x", ""}, "y", "n0", attrs, "com.x");
  const float vals[3] = {1.5f, -2.f, 0.25f};
  le::hcInit(graph, "w", 1, {1, 3}, vals, sizeof vals);
  input(graph, "x", {2, 3});
  std::vector<le::GsNodeInfo> nodes;
  std::set<std::string> inits, inputs;
  le::gsReadGraph(le::gsSlice(graph), nodes, &inits, &inputs);
  ASSERT_EQ(nodes.size(), 1u);
  EXPECT_EQ(nodes[0].op, "Pad");
  EXPECT_EQ(nodes[0].name, "n0");
  EXPECT_EQ(nodes[0].domain, "com.x");
  EXPECT_EQ(nodes[0].inputs, (std::vector<std::string>{"x", ""}));
  EXPECT_EQ(nodes[0].outputs, std::vector<std::string>{"y"});
  EXPECT_EQ(inits, std::set<std::string>{"w"});
  EXPECT_EQ(inputs, std::set<std::string>{"x"});

  const GsSlice node = le::hcPayload(nodes[0].raw);
  GsSlice a;
  int64_t i = 0;
  std::string s;
  ASSERT_TRUE(le::gsFindAttr(node, "group", a));
  EXPECT_TRUE(le::gsAttrInt(a, i));
  EXPECT_EQ(i, 12);
  ASSERT_TRUE(le::gsFindAttr(node, "mode", a));
  EXPECT_TRUE(le::gsAttrStr(a, s));
  EXPECT_EQ(s, "edge");
  // Each int its own (unpacked) field 8, -1 as a ten-byte varint.
  ASSERT_TRUE(le::gsFindAttr(node, "pads", a));
  std::vector<int64_t> got;
  GsReader r(a);
  GsField f;
  while (r.next(f))
    if (f.num == 8) got.push_back(int64_t(f.v));
  EXPECT_EQ(got, (std::vector<int64_t>{5, -1, 7}));
  EXPECT_FALSE(le::gsFindAttr(node, "absent", a));

  GsReader g(le::gsSlice(graph));
  GsSlice tensor;
  while (g.next(f))
    if (f.num == 5) tensor = f.payload;
  std::vector<int64_t> dims;
  std::vector<float> floats;
  EXPECT_TRUE(le::hcTensorDims(tensor, dims));
  EXPECT_EQ(dims, (std::vector<int64_t>{1, 3}));
  EXPECT_TRUE(le::hcTensorFloats(tensor, floats));
  EXPECT_EQ(floats, (std::vector<float>{1.5f, -2.f, 0.25f}));

  // float_data as fixed32 fields and as a packed run; packed dims.
  GsBytes t;
  le::gsPutBytes(t, 1, std::string("\x02\x03", 2));
  le::gsPutTag(t, 2, 0);
  le::gsPutVarint(t, 1);
  for (float v : {0.5f, 4.f}) {
    le::gsPutTag(t, 4, 5);
    t.insert(t.end(), reinterpret_cast<const uint8_t*>(&v),
             reinterpret_cast<const uint8_t*>(&v) + 4);
  }
  le::gsPutBytes(t, 4, &vals[0], 8);
  EXPECT_TRUE(le::hcTensorDims(le::gsSlice(t), dims));
  EXPECT_EQ(dims, (std::vector<int64_t>{2, 3}));
  EXPECT_TRUE(le::hcTensorFloats(le::gsSlice(t), floats));
  EXPECT_EQ(floats, (std::vector<float>{0.5f, 4.f, 1.5f, -2.f}));
  GsBytes i64;
  le::gsPutTag(i64, 2, 0);
  le::gsPutVarint(i64, 7);
  EXPECT_FALSE(le::hcTensorFloats(le::gsSlice(i64), floats));

  // A Constant node carries its value as attribute field t.
  GsBytes attr, cattrs;
  le::gsPutBytes(attr, 1, "value");
  le::gsPutBytes(attr, 5, t.data(), t.size());
  le::gsPutBytes(cattrs, 5, attr.data(), attr.size());
  GsBytes cgraph;
  le::hcNode(cgraph, "Constant", {}, "c", "k", cattrs);
  EXPECT_TRUE(le::hcTensorFloats(le::hcConstValue(le::hcPayload(le::gsSlice(cgraph))), floats));
  EXPECT_EQ(floats.size(), 4u);
}

TEST(Codec, ValueInfoNamesUnknownDims) {
  GsBytes g;
  const int64_t dims[4] = {1, -1, 64, 64};
  le::gsPutTensorValueInfo(g, 12, "b", dims, 4);
  const std::string text(g.begin(), g.end());
  EXPECT_NE(text.find("le_hoist_d1"), std::string::npos);
  EXPECT_EQ(text.find("le_hoist_d0"), std::string::npos);
  std::vector<int64_t> back;
  ASSERT_TRUE(le::gsValueInfoDims(le::hcPayload(le::gsSlice(g)), back));
  EXPECT_EQ(back, (std::vector<int64_t>{1, -1, 64, 64}));
  GsBytes none;
  le::gsPutTensorValueInfo(none, 11, "b", nullptr, 2);
  const std::string t2(none.begin(), none.end());
  EXPECT_NE(t2.find("le_hoist_d0"), std::string::npos);
  EXPECT_NE(t2.find("le_hoist_d1"), std::string::npos);
}

TEST(Codec, RebuildCopiesAndEdits) {
  const GsBytes model = modelBytes("b1");
  GsBytes out;
  le::gsRebuild(model, {}, out);
  EXPECT_TRUE(out == model);  // the generator writes minimal varints

  std::vector<le::GsNodeInfo> before, after;
  std::set<std::string> inBefore, inAfter;
  le::gsReadGraph(le::gsGraphOf(model), before, nullptr, &inBefore);
  le::GsGraphEdit e;
  e.dropNode = {0, 1};  // the second node only
  e.dropPrgb = true;
  e.dropOutputs = true;
  e.valueInfoName = "extra";
  e.dims = {3, 4};
  e.valueInfoField = 12;
  le::gsRebuild(model, e, out);
  le::gsReadGraph(le::gsGraphOf(out), after, nullptr, &inAfter);
  ASSERT_EQ(after.size(), before.size() - 1);
  EXPECT_EQ(after[0].name, before[0].name);
  EXPECT_EQ(after[1].name, before[2].name);
  EXPECT_EQ(inAfter.count("P_rgb"), 0u);
  EXPECT_EQ(inAfter.size(), inBefore.size() - 1);
  std::vector<std::string> outputs;
  le::gsAllStr(le::gsGraphOf(out), 12, outputs);
  EXPECT_EQ(outputs.size(), 1u);  // "rgb" dropped, "extra" declared
  // Every field outside the graph is unchanged, in order.
  EXPECT_EQ(le::gsFirstStr(le::gsSlice(out), 2), le::gsFirstStr(le::gsSlice(model), 2));

  e = {};
  e.keepOnlyPrgb = true;
  le::gsRebuild(model, e, out);
  le::gsReadGraph(le::gsGraphOf(out), after, nullptr, &inAfter);
  EXPECT_EQ(inAfter, std::set<std::string>{"P_rgb"});
}

// Truncated, cut at a varint, or randomly corrupted model bytes: every
// rewrite either rewrites or reports, never crashes, and leaves the bytes as
// they were when it does not apply.
TEST(Codec, MalformedModelsAreReportedNotFollowed) {
  const GsBytes good = modelBytes("b1");
  using Rewrite = std::function<size_t(GsBytes&)>;
  std::string reason;
  int canvas = 0, batch = 0;
  const std::vector<Rewrite> rewrites = {
      [](GsBytes& m) { return le::rewriteGridSampleToFast(m); },
      [](GsBytes& m) { return le::normaliseStudentBlend(m); },
      [](GsBytes& m) { return le::rewriteHeadCubicResize(m); },
      [&](GsBytes& m) { return le::rewriteWarpBlockToCustomOp(m, reason); },
      [&](GsBytes& m) { return size_t(le::rewriteBindLipContour(m, reason, canvas, batch)); },
      [&](GsBytes& m) {
        GsBytes out;
        return size_t(le::buildSourceConePrep(m, "/cone/concat_output_0", out, reason));
      },
      [](GsBytes& m) { return size_t(le::graphHasBakedGridSampleFast(m)); },
  };
  auto check = [&](const GsBytes& bad) {
    for (size_t k = 0; k < rewrites.size(); ++k) {
      GsBytes m = bad;
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
    check(GsBytes(good.begin(), good.begin() + long(cut)));
  std::mt19937 rng(7);
  for (int i = 0; i < 150; ++i) {
    GsBytes bad = good;
    for (int k = 0; k < 1 + i % 4; ++k) bad[rng() % bad.size()] = uint8_t(rng());
    check(bad);
  }
  // A varint cut in the middle, and one with the continuation bit stuck.
  check({0x3a, 0x85});
  GsBytes stuck = good;
  std::fill(stuck.begin() + 2, stuck.begin() + 14, 0xff);
  check(stuck);
}

}  // namespace
