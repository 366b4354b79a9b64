#include "base/le_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

namespace le {
namespace {

struct Sink {
  LogSink fn = nullptr;
  void* user = nullptr;
};

std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

Sink& sink() {
  static Sink s;
  return s;
}

}  // namespace

void setLogSink(LogSink fn, void* user) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  sink() = Sink{fn, user};
}

void log(LogLevel level, const char* subsystem, const char* format, ...) noexcept {
  try {
    std::string line = std::string("[") + subsystem + "] ";
    const size_t head = line.size();
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n > 0) {
      line.resize(head + size_t(n) + 1);
      std::vsnprintf(&line[head], size_t(n) + 1, format, again);
      line.resize(head + size_t(n));
    }
    va_end(again);

    Sink s;
    {
      std::lock_guard<std::mutex> lock(sinkMutex());
      s = sink();
    }
    // The callback runs outside the lock, so it may log or set a new sink itself.
    if (s.fn) {
      s.fn(s.user, int(level), subsystem, line.c_str());
    } else {
      std::fprintf(stderr, "%s\n", line.c_str());
    }
  } catch (...) {
    // A line that cannot be built (out of memory) is dropped: a diagnostic
    // never fails the work it describes.
  }
}

}  // namespace le
