// The bank track decoder from memory, with the geometry of the seed tracks:
// three donors of 20x12, stored in reverse order.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "fuzz_util.h"
#include "tessera/le_bankdec_ff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr int kDonors = 3, kH = 12, kW = 20;
  try {
    const std::vector<uint8_t> rgb =
        le::tessera::decodeBankTrack(data, size, kDonors, kH, kW, {2, 1, 0});
    if (rgb.size() != size_t(kDonors) * kH * kW * 3) le_fuzz::broken("partial bank returned");
  } catch (const std::runtime_error&) {
  }
  return 0;
}
