// The few ways the engine reads its environment variables, so that each
// variable means the same kind of thing wherever it is read.
#pragma once

#include <cstdlib>
#include <cstring>

namespace le {

// Set, and its first character is c ("1" and "1yes" both turn on).
inline bool envFirstIs(const char* name, char c) {
  const char* v = std::getenv(name);
  return v && v[0] == c;
}

// Set to exactly value.
inline bool envIs(const char* name, const char* value) {
  const char* v = std::getenv(name);
  return v && std::strcmp(v, value) == 0;
}

// The value when set and not empty, else null.
inline const char* envText(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? v : nullptr;
}

// The value read as a decimal integer (strtol's rules) when set.
inline bool envLong(const char* name, long* out) {
  const char* v = std::getenv(name);
  if (!v) return false;
  *out = std::strtol(v, nullptr, 10);
  return true;
}

}  // namespace le
