// FFmpeg's words for one of its error codes, for the engine's messages.
#pragma once

extern "C" {
#include <libavutil/error.h>
}

#include <string>

namespace le {

inline std::string avError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

}  // namespace le
