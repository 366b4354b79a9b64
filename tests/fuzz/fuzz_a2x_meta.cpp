// The reader of a2x_meta.json, as le_a2x_create reads it.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "audio/le_a2x.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    le::readA2xMeta(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const std::runtime_error&) {
  }
  return 0;
}
