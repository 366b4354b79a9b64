// Shared by the fuzz targets: a private scratch directory for the readers
// that take a path, and the one way a target reports a broken promise.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace le_fuzz {

// A directory of its own under the system's temporary folder, removed when
// the process ends normally (a crash leaves it for inspection).
inline const std::string& scratch() {
  static const std::string dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "le_fuzz.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    return pattern;
  }();
  static const struct Cleanup {
    ~Cleanup() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  } cleanup;
  return dir;
}

inline void writeFile(const std::string& path, const void* data, size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  const bool ok = n == 0 || std::fwrite(data, 1, n, f) == n;
  if (std::fclose(f) != 0 || !ok) std::abort();
}

// A reader broke its contract (not a refusal): stop with the reason, so
// libFuzzer keeps the input.
[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "fuzz: %s\n", what);
  std::abort();
}

}  // namespace le_fuzz
