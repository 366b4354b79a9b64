#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "tessera/le_tessera_json.h"
#include "tessera_fixtures.h"

using le::tessera::json::JParser;
using le::tessera::json::JVal;
using le_test::errorOf;

namespace json = le::tessera::json;

namespace {

TEST(TesseraJson, ReadsValuesAndKeepsDocumentOrder) {
  const JVal v = json::parse(
      " \r\n\t{\"a\": [1, -2.5e1, true, false, null, \"s\"], \"b\": {}, \"c\": [], \"d\": {\"e\": "
      "0x10}}");
  ASSERT_TRUE(v.isObject());
  ASSERT_EQ(v.obj.size(), 4u);
  EXPECT_EQ(v.obj[0].first, "a");
  EXPECT_EQ(v.obj[3].first, "d");
  const JVal& a = v.req("a");
  ASSERT_EQ(a.arr.size(), 6u);
  EXPECT_EQ(a.arr[0].num, 1.0);
  EXPECT_EQ(a.arr[1].num, -25.0);
  EXPECT_EQ(a.arr[2].kind, JVal::Kind::Bool);
  EXPECT_TRUE(a.arr[2].b);
  EXPECT_FALSE(a.arr[3].b);
  EXPECT_EQ(a.arr[4].kind, JVal::Kind::Null);
  EXPECT_EQ(a.arr[5].str, "s");
  EXPECT_TRUE(v.req("b").isObject() && v.req("b").obj.empty());
  EXPECT_TRUE(v.req("c").isArray() && v.req("c").arr.empty());
  // The C conversion also takes hexadecimal.
  EXPECT_EQ(v.req("d").req("e").num, 16.0);
  // Other kinds read as 0 and "".
  EXPECT_EQ(a.arr[5].num, 0.0);
  EXPECT_EQ(a.arr[0].str, "");
}

TEST(TesseraJson, ToleratesWhatTheWriterGetsWrong) {
  // A missing colon.
  EXPECT_EQ(json::parse("{\"k\" 5}").req("k").num, 5.0);
  // Trailing text after the top value.
  EXPECT_EQ(json::parse("[1] trailing {{{").arr.size(), 1u);
  // Words by prefix: the rest is left unread.
  JParser p("nullx");
  EXPECT_EQ(p.val().kind, JVal::Kind::Null);
  EXPECT_EQ(*p.pos(), 'x');
  // Duplicate keys are kept; lookups see the first.
  const JVal d = json::parse("{\"k\": 1, \"k\": 2}");
  EXPECT_EQ(d.obj.size(), 2u);
  EXPECT_EQ(d.req("k").num, 1.0);
  // Keys match byte for byte.
  EXPECT_EQ(d.find("K"), nullptr);
}

TEST(TesseraJson, StringEscapes) {
  EXPECT_EQ(json::parse(R"("a\"b\\c\/d\n\t\r\b\f\q")").str, "a\"b\\c/d\n\t\r\b\fq");
  // \u with four hex digits is one question mark.
  EXPECT_EQ(json::parse(R"("x\u00e9y")").str, "x?y");
  // Fewer than four characters left: nothing more is skipped.
  EXPECT_EQ(json::parse(R"("x\u12)").str, "x?12");
  // A backslash at the very end ends the string; so does the end of input.
  EXPECT_EQ(json::parse("\"ab\\").str, "ab");
  EXPECT_EQ(json::parse("\"open").str, "open");
  // Bytes pass through unvalidated.
  EXPECT_EQ(json::parse("\"\xff\xfe\"").str, "\xff\xfe");
}

TEST(TesseraJson, ReaderErrors) {
  EXPECT_EQ(errorOf([] { json::parse(" \n "); }), "teeth: JSON truncated");
  EXPECT_EQ(errorOf([] { json::parse("{\"a\": "); }), "teeth: JSON truncated");
  EXPECT_EQ(errorOf([] { json::parse("{\"a\": @}"); }), "teeth: bad JSON number");
  EXPECT_EQ(errorOf([] { json::parse("{\"a\": 1 \"b\": 2}"); }), "teeth: malformed JSON object");
  EXPECT_EQ(errorOf([] { json::parse("{\"a\": 1"); }), "teeth: malformed JSON object");
  EXPECT_EQ(errorOf([] { json::parse("[1 2]"); }), "teeth: malformed JSON array");
  EXPECT_EQ(errorOf([] { json::parse("[1,"); }), "teeth: JSON truncated");
  EXPECT_EQ(errorOf([] { json::parseDocument("[1 2]", "side.json"); }),
            "teeth: side.json is not readable JSON: teeth: malformed JSON array");
}

TEST(TesseraJson, Lookups) {
  const JVal v = json::parse(R"({"n": 2.5, "s": "text", "t": 7})");
  EXPECT_EQ(errorOf([&] { v.req("gone"); }), "teeth: member JSON lacks key 'gone'");
  EXPECT_EQ(json::reqNumber(v, "n", "doc"), 2.5);
  EXPECT_EQ(errorOf([&] { json::reqNumber(v, "s", "doc.geometry"); }),
            "teeth: doc.geometry lacks numeric 's'");
  EXPECT_EQ(errorOf([&] { json::reqNumber(v, "x", "doc"); }), "teeth: doc lacks numeric 'x'");
  EXPECT_EQ(json::optString(v, "s", "dflt"), "text");
  EXPECT_EQ(json::optString(v, "t", "dflt"), "dflt");
  EXPECT_EQ(json::optString(v, "x", "dflt"), "dflt");
}

// Hostile nesting is refused instead of running the reader off its stack.
TEST(TesseraJson, DeepNestingIsRefused) {
  const std::string deep(200000, '[');
  EXPECT_EQ(errorOf([&] { json::parse(deep); }), "teeth: JSON nests deeper than 256 levels");
  std::string objects;
  for (int i = 0; i < 100000; ++i) objects += "{\"a\":";
  EXPECT_EQ(errorOf([&] { json::parse(objects); }), "teeth: JSON nests deeper than 256 levels");
  // Realistic depth reads.
  std::string ok(200, '[');
  ok += std::string(200, ']');
  EXPECT_TRUE(json::parse(ok).isArray());
}

// Numbers are never read past the end of the range, which need not be
// terminated.
TEST(TesseraJson, NumbersStayInsideTheRange) {
  const std::string text = "[12345]";
  JParser p(text.data() + 1, text.data() + 3);  // "12"
  EXPECT_EQ(p.val().num, 12.0);
  EXPECT_EQ(p.pos(), text.data() + 3);
}

// Truncated and bit-flipped documents give a value or a clean runtime
// error, never a crash or another kind of exception.
TEST(TesseraJson, FuzzedDocumentsFailCleanly) {
  const std::string base = tessera_test::sidecarText() + tessera_test::headConfigText();
  int refused = 0, read = 0;
  auto attempt = [&](const std::string& text) {
    try {
      json::parseDocument(text, "fuzz.json");
      ++read;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("teeth: fuzz.json is not readable JSON: ", 0), 0u)
          << e.what();
      ++refused;
    }
  };
  for (size_t n = 0; n <= base.size(); ++n) attempt(base.substr(0, n));
  uint64_t state = 0x9e3779b97f4a7c15ull;
  auto next = [&] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  for (int i = 0; i < 4000; ++i) {
    std::string t = base;
    const int flips = 1 + int(next() % 4);
    for (int f = 0; f < flips; ++f) t[size_t(next() % t.size())] ^= char(1u << (next() % 8));
    attempt(t);
  }
  // Both outcomes occur: the mutations reach the reader's refusals.
  EXPECT_GT(refused, 100);
  EXPECT_GT(read, 100);
}

}  // namespace
