// The blend-head checkpoint reader (ZIP container and pickled state).
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "tessera/le_head_checkpoint.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    le::tessera::loadHeadPt(data, size);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
