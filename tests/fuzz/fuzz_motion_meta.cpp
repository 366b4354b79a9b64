// The reader of the motion generator's meta.json, as le_motion_create reads it.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "audio/le_motion.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    le::readMotionMeta(std::string(reinterpret_cast<const char*>(data), size));
  } catch (const std::runtime_error&) {
  }
  return 0;
}
