// The engine's diagnostic lines. Each is one line, "[<subsystem>] <text>",
// handed to the host's log callback, or written to standard error when the
// host set none.
#pragma once

namespace le {

enum class LogLevel { Info = 1, Warning = 2 };

// Formats one line, "[" + subsystem + "] " + the formatted text (formats carry
// no newline of their own), and hands it on.
void log(LogLevel level, const char* subsystem, const char* format, ...) noexcept
    __attribute__((format(printf, 3, 4)));

// The host's callback; null restores standard error. `user` is passed back
// with every line.
using LogSink = void (*)(void* user, int level, const char* subsystem, const char* line);
void setLogSink(LogSink sink, void* user);

}  // namespace le
