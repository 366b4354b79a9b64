#include "tessera/le_tessera_json.h"
#include <cmath>
#include <cstdio>

#include <locale.h>

#include <cstdlib>
#include <cstring>

namespace le {
namespace tessera {
namespace json {
namespace {

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

bool isWs(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Far beyond any member document; keeps hostile nesting off the stack.
constexpr int kMaxDepth = 256;

// Numbers are read in the C locale whatever locale the host has set, so a
// decimal comma locale cannot turn 0.25 into 0.
locale_t cLocale() {
  static const locale_t loc = ::newlocale(LC_ALL_MASK, "C", locale_t(0));
  return loc;
}

// Bytes the C decimal conversion might consume after its leading blanks
// (digits, signs, point, exponents, hex, inf/nan and nan(...) payloads).
bool numberByte(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+' ||
         c == '-' || c == '.' || c == '(' || c == ')' || c == '_';
}
bool cSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

struct DepthGuard {
  explicit DepthGuard(int& d) : depth(d) {
    if (++depth > kMaxDepth)
      fail("teeth: JSON nests deeper than " + std::to_string(kMaxDepth) + " levels");
  }
  ~DepthGuard() { --depth; }
  int& depth;
};

}  // namespace

const JVal* JVal::find(std::string_view key) const {
  for (const auto& kv : obj)
    if (kv.first == key) return &kv.second;
  return nullptr;
}

const JVal& JVal::req(std::string_view key) const {
  const JVal* v = find(key);
  if (!v) fail("teeth: member JSON lacks key '" + std::string(key) + "'");
  return *v;
}

void JParser::skipWs() {
  while (p_ < e_ && isWs(*p_)) ++p_;
}

JVal JParser::val() {
  skipWs();
  if (p_ >= e_) fail("teeth: JSON truncated");
  JVal v;
  const char c = *p_;
  if (c == '{') return objv();
  if (c == '[') return arrv();
  if (c == '"') {
    v.kind = JVal::Kind::String;
    v.str = strv();
    return v;
  }
  // Words are matched as prefixes; what follows is left for the caller.
  auto word = [&](const char* w) {
    const size_t n = std::strlen(w);
    return size_t(e_ - p_) >= n && std::memcmp(p_, w, n) == 0;
  };
  if (word("true")) {
    p_ += 4;
    v.kind = JVal::Kind::Bool;
    v.b = true;
    return v;
  }
  if (word("false")) {
    p_ += 5;
    v.kind = JVal::Kind::Bool;
    return v;
  }
  if (word("null")) {
    p_ += 4;
    return v;
  }
  // The C conversion needs a terminated string and the range need not be
  // one: convert a terminated copy of the bytes it could possibly consume.
  const char* q = p_;
  while (q < e_ && cSpace(*q)) ++q;
  while (q < e_ && numberByte(*q)) ++q;
  const std::string tok(p_, q);
  char* end = nullptr;
  const locale_t loc = cLocale();
  const double d = loc ? ::strtod_l(tok.c_str(), &end, loc) : std::strtod(tok.c_str(), &end);
  if (end == tok.c_str()) fail("teeth: bad JSON number");
  p_ += end - tok.c_str();
  v.kind = JVal::Kind::Number;
  v.num = d;
  return v;
}

JVal JParser::objv() {
  DepthGuard guard(depth_);
  JVal v;
  v.kind = JVal::Kind::Object;
  ++p_;
  skipWs();
  if (p_ < e_ && *p_ == '}') {
    ++p_;
    return v;
  }
  for (;;) {
    skipWs();
    std::string key = strv();
    skipWs();
    if (p_ < e_ && *p_ == ':') ++p_;  // a missing colon is tolerated
    JVal value = val();
    v.obj.emplace_back(std::move(key), std::move(value));
    skipWs();
    if (p_ < e_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ < e_ && *p_ == '}') {
      ++p_;
      return v;
    }
    fail("teeth: malformed JSON object");
  }
}

JVal JParser::arrv() {
  DepthGuard guard(depth_);
  JVal v;
  v.kind = JVal::Kind::Array;
  ++p_;
  skipWs();
  if (p_ < e_ && *p_ == ']') {
    ++p_;
    return v;
  }
  for (;;) {
    v.arr.push_back(val());
    skipWs();
    if (p_ < e_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ < e_ && *p_ == ']') {
      ++p_;
      return v;
    }
    fail("teeth: malformed JSON array");
  }
}

std::string JParser::strv() {
  // The opening byte is taken as the quote without looking at it.
  if (p_ < e_) ++p_;
  std::string s;
  while (p_ < e_) {
    const char c = *p_++;
    if (c == '"') return s;
    if (c != '\\') {
      s += c;
      continue;
    }
    if (p_ >= e_) break;  // a backslash at the very end ends the string
    const char x = *p_++;
    switch (x) {
      case 'b':
        s += '\b';
        break;
      case 'f':
        s += '\f';
        break;
      case 'n':
        s += '\n';
        break;
      case 'r':
        s += '\r';
        break;
      case 't':
        s += '\t';
        break;
      case 'u':
        // No member needs non-ASCII text: an escaped code point reads as one marker.
        s += '?';
        if (e_ - p_ >= 4) p_ += 4;
        break;
      default:
        s += x;
        break;
    }
  }
  return s;  // unterminated: ends at the end of the input
}

JVal parse(std::string_view text) {
  JParser p(text);
  p.skipWs();
  return p.val();
}

JVal parseDocument(std::string_view text, const std::string& name) {
  try {
    return parse(text);
  } catch (const std::runtime_error& e) {
    fail("teeth: " + name + " is not readable JSON: " + e.what());
  }
}

double reqNumber(const JVal& o, std::string_view key, const std::string& context) {
  const JVal* v = o.find(key);
  if (!v || !v->isNumber()) fail("teeth: " + context + " lacks numeric '" + std::string(key) + "'");
  return v->num;
}

std::string optString(const JVal& o, std::string_view key, const std::string& dflt) {
  const JVal* v = o.find(key);
  return v && v->isString() ? v->str : dflt;
}

std::string numText(double v) {
  char buf[64];
  if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15)
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v));
  else
    std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

}  // namespace json
}  // namespace tessera
}  // namespace le
