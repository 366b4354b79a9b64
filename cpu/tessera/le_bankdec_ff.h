// Decoding of the reference bank track (one video frame per donor patch)
// into the donor-ordered RGB bytes the teeth pass consumes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "le/le.h"  // LE_API

namespace le {
namespace tessera {

// Decodes the track held in memory: n frames of storedW x storedH, frame k
// landing in donor slot trackOrder[k]. Returns n * storedH * storedW * 3
// bytes of RGB24, donor k at byte offset k * storedH * storedW * 3. Every
// disagreement between the track and the sidecar's geometry, count or order
// is refused with a runtime error; nothing partial is returned.
LE_API std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n, int storedH,
                                            int storedW, const std::vector<int32_t>& trackOrder);

// "libavcodec <version built against> / <configuration of the library in use>".
LE_API std::string bankDecoderBuild();

}  // namespace tessera
}  // namespace le
