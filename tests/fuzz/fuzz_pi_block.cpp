// The pi block of the manifest's unified block. The first byte picks the canvas
// side; the rest is the document.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "tessera/le_tessera_pi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const int canvas = 16 + data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  try {
    le::tessera::UnifiedPi::fromManifestJson(text, canvas);
  } catch (const std::runtime_error&) {
  }
  return 0;
}
