// The tolerant JSON reader the tessera code reads its documents with.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace le {
namespace tessera {
namespace json {

// One parsed value. A value of another kind reads its number as 0 and its
// string as empty; objects keep duplicate keys in document order.
struct JVal {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool b = false;
  double num = 0;
  std::string str;
  std::vector<JVal> arr;
  std::vector<std::pair<std::string, JVal>> obj;

  bool isNumber() const { return kind == Kind::Number; }
  bool isString() const { return kind == Kind::String; }
  bool isArray() const { return kind == Kind::Array; }
  bool isObject() const { return kind == Kind::Object; }

  // The value of the first pair whose key matches byte for byte; null when none.
  const JVal* find(std::string_view key) const;
  // Same, failing with "teeth: member JSON lacks key '<key>'".
  const JVal& req(std::string_view key) const;
};

// Single-pass reader over a byte range. It is deliberately tolerant (see the
// comments in the source); semantic checks belong to the callers.
class JParser {
 public:
  JParser(const char* begin, const char* end) : p_(begin), e_(end) {}
  explicit JParser(std::string_view text) : JParser(text.data(), text.data() + text.size()) {}

  JVal val();
  JVal objv();
  JVal arrv();
  std::string strv();

  void skipWs();
  const char* pos() const { return p_; }

 private:
  const char* p_;
  const char* e_;
  int depth_ = 0;
};

// Skips leading whitespace and reads one value; text after it is ignored.
// The reader's own messages pass through.
JVal parse(std::string_view text);
// Same, with every reader error wrapped as
// "teeth: <name> is not readable JSON: <message>".
JVal parseDocument(std::string_view text, const std::string& name);

// Number of a key whose value is a number, else
// "teeth: <context> lacks numeric '<key>'".
double reqNumber(const JVal& o, std::string_view key, const std::string& context);
// String of a key whose value is a string, else dflt.
std::string optString(const JVal& o, std::string_view key, const std::string& dflt);
// A number as a message shows it: an integral value without a fraction,
// any other as %g.
std::string numText(double v);

}  // namespace json
}  // namespace tessera

}  // namespace le
