#include "audio/le_a2x.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "base/le_files.h"
#include "bundle/le_bundle.h"

namespace le {
namespace {

constexpr size_t kKp = kKpFloats;

// What cannot be read counts as absent: the refusals below name the member.
template <class Read>
auto orEmpty(Read read) -> decltype(read()) {
  try {
    return read();
  } catch (const std::exception&) {
    return {};
  }
}

// Position just behind the colon that follows the first "key", or npos.
size_t metaValue(const std::string& text, const char* key) {
  const std::string quoted = std::string("\"") + key + "\"";
  const size_t at = text.find(quoted);
  if (at == std::string::npos) return at;
  const size_t colon = text.find(':', at + quoted.size());
  return colon == std::string::npos ? colon : colon + 1;
}

int metaInt(const std::string& text, const char* key, int fallback) {
  const size_t at = metaValue(text, key);
  if (at == std::string::npos) return fallback;
  const long long v = std::strtoll(text.c_str() + at, nullptr, 10);
  return int(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

int metaTruth(const std::string& text, const char* key) {
  size_t at = metaValue(text, key);
  if (at == std::string::npos) return 0;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  if (text.compare(at, 4, "true") == 0) return 1;
  if (text.compare(at, 5, "false") == 0) return 0;
  return std::strtoll(text.c_str() + at, nullptr, 10) != 0 ? 1 : 0;
}

}  // namespace

A2xMeta readA2xMeta(const std::string& text) {
  A2xMeta m;
  m.h = metaInt(text, "h", 256);
  m.window = metaInt(text, "window", -1);
  m.left = metaInt(text, "left", -1);
  if (m.window < 0 || m.left < 0)
    throw Refusal("le_a2x_create: meta lacks causal window/left (not a streaming a2x)");
  m.layers = metaInt(text, "layers", 6);
  // Non-positive widths would divide by zero, negative layers would make the
  // encoder's context shorter than the frames it must produce.
  if (m.h < 1)
    throw Refusal("le_a2x_create: meta h=" + std::to_string(m.h) + " is not a positive width");
  if (m.layers < 0)
    throw Refusal("le_a2x_create: meta layers=" + std::to_string(m.layers) + " is negative");
  m.width = metaTruth(text, "width");
  m.silencePrime = metaInt(text, "silence_prime", 0);
  m.w2vRight = metaInt(text, "w2v_right", -1);
  if (m.w2vRight < -1 || (m.w2vRight == -1 && metaValue(text, "w2v_right") != std::string::npos))
    throw Refusal("le_a2x_create: meta w2v_right=" + std::to_string(m.w2vRight) +
                  " is not a look-ahead in frames (0 or more)");
  return m;
}

A2xBundle readA2xBundle(const std::string& dir) {
  const std::string text = orEmpty([&] { return readText(dir + "/a2x_meta.json"); });
  if (text.empty()) throw Refusal("le_a2x_create: a2x_meta.json missing in " + dir);
  A2xBundle b;
  b.meta = readA2xMeta(text);
  b.positions = orEmpty([&] { return readFloats(dir + "/a2x_pos.f32"); });
  b.norm = orEmpty([&] { return readFloats(dir + "/a2x_norm.f32"); });
  b.corpus = orEmpty([&] { return readCorpusKeypoints(dir, -1); });
  if (int64_t(b.positions.size()) < 2 * int64_t(b.meta.h) || b.norm.size() < 2 * kKp ||
      b.corpus.size() < kKp)
    throw Refusal("le_a2x_create: pos/norm/xs_target read failed");
  return b;
}

}  // namespace le
