// The few ways the engine reads its environment variables, so that each
// variable means the same kind of thing wherever it is read.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace le {

// One variable of the table in le_env.cpp, as the reference prints it.
struct EnvVar {
  const char* name;
  const char* readBy;
  const char* fallback;  // what holds when it is unset
  const char* meaning;
};
extern const EnvVar kEnvVars[];
extern const size_t kEnvVarCount;

// The value as set (possibly empty), null when unset: for variables whose
// empty value means something of its own.
inline const char* envValue(const char* name) {
  return std::getenv(name);
}

// Set, and its first character is c ("1" and "1yes" both turn on).
inline bool envFirstIs(const char* name, char c) {
  const char* v = envValue(name);
  return v && v[0] == c;
}

// Set to exactly value.
inline bool envIs(const char* name, const char* value) {
  const char* v = envValue(name);
  return v && std::strcmp(v, value) == 0;
}

// The value when set and not empty, else null.
inline const char* envText(const char* name) {
  const char* v = envValue(name);
  return v && *v ? v : nullptr;
}

// The value read as a decimal integer (strtol's rules) when set.
inline bool envLong(const char* name, long* out) {
  const char* v = envValue(name);
  if (!v) return false;
  *out = std::strtol(v, nullptr, 10);
  return true;
}

}  // namespace le
