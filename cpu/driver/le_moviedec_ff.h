// Build facts of the FFmpeg the engine decodes video with.
#pragma once

#include <string>

namespace le {

// "libavcodec X.Y.Z" of the headers the engine was built against.
std::string libavcodecVersion();
// "libavcodec X.Y.Z / " followed by FFmpeg's own build configuration.
std::string movieDecoderBuild();

}  // namespace le
