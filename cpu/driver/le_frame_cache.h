// Decoded frames of a track kept once per process, so that every context and
// session playing the same driver video or warp prior decodes it once.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "driver/le_driver.h"

namespace le::driver {

// Wraps `inner`, a source over the file or folder at `path`. The wrapper hands
// out exactly the frames, in the order and with the failures, of `inner`;
// once one source of the same track has decoded every frame of it, all of
// them copy frames from the shared store and close their decoders. Returns
// `inner` itself when the store is off, or the track does not fit in what is
// left of its budget.
std::unique_ptr<Source> shareDecoded(std::unique_ptr<Source> inner, const std::string& path);

// The store's budget in bytes: LE_DRIVER_CACHE_MIB MiB (default 1024; 0 turns
// the store off), read on every call.
uint64_t frameCacheBudget();
// Bytes the tracks in the store hold (reserved whole when a track is first opened).
uint64_t frameCacheBytes();

}  // namespace le::driver
