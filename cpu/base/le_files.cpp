#include "base/le_files.h"

#include <sys/stat.h>

#include <cstdio>
#include <limits>
#include <memory>
#include <stdexcept>

namespace le {
namespace {

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

}  // namespace

uint64_t checkedBytes(std::initializer_list<uint64_t> factors, const std::string& what) {
  uint64_t total = 1;
  for (uint64_t f : factors) {
    if (f != 0 && total > std::numeric_limits<uint64_t>::max() / f)
      fail("byte count of " + what + " overflows 64 bits");
    total *= f;
  }
  return total;
}

namespace {

// Exactly `count` elements of T; `mismatch` words the refusal of any other
// size from the bytes the file holds.
template <class T, class Mismatch>
std::vector<T> readExact(const std::string& path, uint64_t count, Mismatch mismatch) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) fail("cannot open " + path);
  const uint64_t bytes = checkedBytes({count, sizeof(T)}, path);
  // Check the size before allocating, so a bad count cannot ask for more
  // memory than the file could ever fill.
  struct stat st;
  if (::fstat(::fileno(f.get()), &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) != bytes)
    fail(mismatch(uint64_t(st.st_size)));
  std::vector<T> v(count);
  const size_t got = std::fread(v.data(), 1, bytes, f.get());
  if (got != bytes) fail(mismatch(got));
  if (std::fgetc(f.get()) != EOF) fail(mismatch(bytes + 1));
  return v;
}

}  // namespace

template <class T>
std::vector<T> readRaw(const std::string& path, uint64_t count) {
  return readExact<T>(path, count, [&](uint64_t) { return "size mismatch " + path; });
}

std::vector<float> readFloatCount(const std::string& path, uint64_t count) {
  return readExact<float>(path, count, [&](uint64_t bytes) {
    return path + ": " + std::to_string(bytes / sizeof(float)) + " floats, expected " +
           std::to_string(count);
  });
}

template std::vector<uint8_t> readRaw<uint8_t>(const std::string&, uint64_t);
template std::vector<uint16_t> readRaw<uint16_t>(const std::string&, uint64_t);
template std::vector<int32_t> readRaw<int32_t>(const std::string&, uint64_t);
template std::vector<float> readRaw<float>(const std::string&, uint64_t);

std::string readText(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) fail("cannot open " + path);
  std::string out;
  char buf[65536];
  for (;;) {
    size_t got = std::fread(buf, 1, sizeof buf, f.get());
    out.append(buf, got);
    if (got < sizeof buf) break;
  }
  if (std::ferror(f.get())) fail("short read " + path);
  return out;
}

std::vector<float> readFloats(const std::string& path) {
  File f(std::fopen(path.c_str(), "rb"));
  if (!f) fail("cannot open " + path);
  struct stat st;
  if (::fstat(::fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) fail("short read " + path);
  std::vector<float> v(size_t(st.st_size) / sizeof(float));
  if (std::fread(v.data(), sizeof(float), v.size(), f.get()) != v.size())
    fail("short read " + path);
  return v;
}

}  // namespace le
