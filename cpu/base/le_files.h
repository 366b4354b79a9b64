// Reading the engine's own files whole. Every refusal names the file:
// "cannot open <path>", "size mismatch <path>", "short read <path>"; the
// motion generator's members word their size refusal as a float count.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace le {

// Product of sizes derived from file values, refused when it overflows 64 bits.
uint64_t checkedBytes(std::initializer_list<uint64_t> factors, const std::string& what);

// Exactly `count` raw little-endian elements: a file of any other size is
// refused. Instantiated for uint8_t, uint16_t, int32_t and float.
template <class T>
std::vector<T> readRaw(const std::string& path, uint64_t count);

// Exactly `count` float32 values; any other size is refused with
// "<path>: <n> floats, expected <count>".
std::vector<float> readFloatCount(const std::string& path, uint64_t count);

// The whole file as text.
std::string readText(const std::string& path);

// The whole of a float32 file (a trailing partial value is ignored).
std::vector<float> readFloats(const std::string& path);

}  // namespace le
