// Speech audio for the engine: any file FFmpeg reads, as 16 kHz mono PCM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vever {

// Decodes the first audio stream of path and resamples it to 16 kHz mono
// 16-bit. Throws std::runtime_error naming the file and what failed.
std::vector<int16_t> readSpeech16k(const std::string& path);

// Speaks text with espeak-ng into a WAV file at path. Throws when espeak-ng
// is missing or fails.
void synthesizeSpeech(const std::string& text, const std::string& path);

}  // namespace vever
