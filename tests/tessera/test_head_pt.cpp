#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tessera/le_head_checkpoint.h"
#include "tessera_fixtures.h"

using le::tessera::HeadWeights;
using le::tessera::loadHeadPt;
using le_test::errorOf;
using tessera_test::headFixture;

namespace {

const std::string kDash = "\xE2\x80\x94";

// The value rule of make_head_pt.py: element j of the k-th tensor of the
// table is (k + 1) + j / 4096.
void expectTensor(const std::vector<float>& t, int k, size_t count, const char* name) {
  ASSERT_EQ(t.size(), count) << name;
  for (size_t j = 0; j < count; ++j)
    ASSERT_EQ(t[j], float(double(k + 1) + double(j) / 4096.0)) << name << "[" << j << "]";
}

void expectCand(const HeadWeights& w) {
  expectTensor(w.cand0_weight, 0, 16 * 7 * 9, "cand.0.weight");
  expectTensor(w.cand0_bias, 1, 16, "cand.0.bias");
  expectTensor(w.cand2_weight, 2, 16 * 16 * 9, "cand.2.weight");
  expectTensor(w.cand2_bias, 3, 16, "cand.2.bias");
  expectTensor(w.cand4_weight, 4, 16 * 9, "cand.4.weight");
  expectTensor(w.cand4_bias, 5, 1, "cand.4.bias");
}

std::string loadError(const std::vector<uint8_t>& bytes) {
  return errorOf([&] { loadHeadPt(bytes); });
}

uint32_t rd32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}
void wr32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}
// Offset of the first central-directory record of an archive without comment.
size_t centralDirectory(const std::vector<uint8_t>& b) {
  return rd32(b, b.size() - 22 + 16);
}

TEST(HeadPt, LoadsTheFullHead) {
  const HeadWeights w = loadHeadPt(headFixture("full"));
  EXPECT_EQ(w.params(), 4082);
  expectCand(w);
  // The biases share one storage at different element offsets.
  expectTensor(w.syn0_weight, 6, 16 * 27, "syn.0.weight");
  expectTensor(w.syn0_bias, 7, 16, "syn.0.bias");
  expectTensor(w.syn2_weight, 8, 16 * 9, "syn.2.weight");
  expectTensor(w.syn2_bias, 9, 1, "syn.2.bias");
  EXPECT_EQ(w.envelope, 12.0f / 255.0f);
}

TEST(HeadPt, LoadsTheHeadWithoutSynthesisBranch) {
  const HeadWeights w = loadHeadPt(headFixture("small"));  // archive prefix "tessera_head"
  EXPECT_EQ(w.params(), 3489);
  expectCand(w);
  EXPECT_TRUE(w.syn0_weight.empty() && w.syn2_bias.empty());
}

TEST(HeadPt, ReadsLongMemoAndTrailingComment) {
  // More than 256 memo entries: LONG_BINPUT and LONG_BINGET.
  expectCand(loadHeadPt(headFixture("long_memo")));
  // The end record is found behind an archive comment.
  EXPECT_EQ(loadHeadPt(headFixture("comment")).params(), 4082);
}

TEST(HeadPt, RefusesWhatItDoesNotModel) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"deflate", "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED " + kDash +
                      " refusing to guess at a compressed member"},
      {"double", "teeth: head .pt storage is torch DoubleStorage, not torch FloatStorage " + kDash +
                     " refusing to reinterpret it"},
      {"shape",
       "teeth: head 'cand.0.weight' has shape [16,6,3,3] " + kDash + " not the BlendHead(16) arch"},
      {"missing", "teeth: head .pt lacks 'cand.2.bias'"},
      {"syn_partial", "teeth: head .pt lacks 'syn.0.bias'"},
      {"dup", "teeth: head .pt names 'cand.0.bias' 2 times " + kDash + " ambiguous"},
      {"callable", "teeth: head .pt calls __builtin__ eval " + kDash +
                       " this reader refuses code it does not model"},
      {"rebuild", "teeth: malformed _rebuild_tensor_v2"},
      {"persid", "teeth: unexpected persistent id in head .pt"},
      {"proto4", "teeth: unsupported pickle opcode 0x95 in head .pt"},
      {"storage_missing", "teeth: head storage 2 missing"},
      {"storage_small", "teeth: head storage biases too small"},
      {"no_pkl", "teeth: head .pt has no data.pkl"},
      {"empty_state", "teeth: head .pt state_dict is empty"},
      {"binget", "teeth: pickle BINGET out of range"},
      {"long_binget", "teeth: pickle LONG_BINGET out of range"},
      {"truncated", "teeth: pickle truncated"},
  };
  for (const auto& [variant, message] : cases)
    EXPECT_EQ(loadError(headFixture(variant)), message) << variant;
}

// Hostile pickles: a memo index from the file must not size the memo, deep
// nesting must not exhaust the stack, a huge pickle is not run at all, and
// broken stacks are refused instead of read out of bounds.
TEST(HeadPt, RefusesHostilePickles) {
  EXPECT_EQ(loadError(headFixture("memo_huge")),
            "teeth: pickle LONG_BINPUT index 2147483647 is past anything the pickle could have "
            "stored " +
                kDash + " refusing a corrupt head .pt");
  EXPECT_EQ(loadError(headFixture("nested")),
            "teeth: head .pt pickle nests tuples deeper than 64 levels " + kDash + " refusing");
  EXPECT_EQ(loadError(headFixture("big")),
            "teeth: head .pt archive/data.pkl is 1048579 bytes, far beyond a blend head's state "
            "dictionary " +
                kDash + " refusing");
  EXPECT_EQ(loadError(headFixture("underflow")),
            "teeth: head .pt pickle is malformed (stack underflow)");
  EXPECT_EQ(loadError(headFixture("no_mark")),
            "teeth: head .pt pickle is malformed (no MARK to pop back to)");
}

TEST(HeadPt, RefusesBrokenArchives) {
  const std::vector<uint8_t> full = headFixture("full");
  EXPECT_EQ(loadError({full.begin(), full.begin() + 21}), "teeth: head .pt is not a zip");
  EXPECT_EQ(loadError({}), "teeth: head .pt is not a zip");
  EXPECT_EQ(errorOf([] { loadHeadPt(nullptr, 100); }), "teeth: head .pt is not a zip");
  // Cut before the central directory: no end record anywhere.
  EXPECT_EQ(loadError({full.begin(), full.begin() + std::ptrdiff_t(centralDirectory(full))}),
            "teeth: head .pt has no zip EOCD");

  std::vector<uint8_t> b = full;
  wr32(b, b.size() - 22 + 16, 0);  // directory offset at a local header
  EXPECT_EQ(loadError(b), "teeth: head .pt central directory is malformed");
  b = full;
  wr32(b, b.size() - 22 + 16, uint32_t(b.size() - 30));  // record would run past the end
  EXPECT_EQ(loadError(b), "teeth: head .pt central directory is malformed");
  b = full;
  const size_t cd = centralDirectory(full);
  b[cd + 28] = 0xff;  // name length past the end of the file
  b[cd + 29] = 0xff;
  EXPECT_EQ(loadError(b), "teeth: head .pt central directory is malformed");
  b = full;
  wr32(b, cd + 42, 0xfffffff0u);
  EXPECT_EQ(loadError(b), "teeth: head .pt local header out of range");
  b = full;
  wr32(b, cd + 24, 0x7fffffffu);
  EXPECT_EQ(loadError(b), "teeth: head .pt entry out of range");
}

// Truncated and bit-flipped checkpoints give weights or a clean runtime
// error: no crash, no other exception, no runaway allocation.
TEST(HeadPt, FuzzedCheckpointsFailCleanly) {
  const std::vector<uint8_t> full = headFixture("long_memo");
  int refused = 0, loaded = 0;
  auto attempt = [&](const std::vector<uint8_t>& b) {
    try {
      loadHeadPt(b);
      ++loaded;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("teeth: ", 0), 0u) << e.what();
      ++refused;
    }
  };
  for (size_t n = 0; n < full.size(); n += 37)
    attempt({full.begin(), full.begin() + std::ptrdiff_t(n)});
  uint64_t state = 0x2545f4914f6cdd1dull;
  auto next = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  // Most of the file is float data; aim most flips at the pickle (the first
  // entry) and the directory (the end of the file).
  const size_t pickleEnd =
      30 + (full[26] | full[27] << 8) + (full[28] | full[29] << 8) + rd32(full, 22);
  const size_t dirStart = centralDirectory(full);
  for (int i = 0; i < 6000; ++i) {
    std::vector<uint8_t> b = full;
    const int flips = 1 + int(next() % 3);
    for (int f = 0; f < flips; ++f) {
      const uint64_t r = next();
      size_t at;
      if (r % 4 == 0)
        at = size_t(next() % b.size());
      else if (r % 4 == 1)
        at = dirStart + size_t(next() % (b.size() - dirStart));
      else
        at = size_t(next() % pickleEnd);
      b[at] ^= uint8_t(1u << (next() % 8));
    }
    attempt(b);
  }
  EXPECT_GT(refused, 1000);
  EXPECT_GT(loaded, 100);
}

}  // namespace
