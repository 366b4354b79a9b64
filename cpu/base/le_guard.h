// The one rule every C entry point keeps: no exception crosses into the host.
// What a body throws becomes the entry's failure value and is reported the
// way its family reports failures.
#pragma once

#include <algorithm>
#include <cstring>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>

namespace le {
namespace capi {

// The failure value takes its type from the body's result.
template <class T>
struct Same {
  using type = T;
};

// Runs body(); on an exception calls report(e), e being null for one that is
// not a std::exception, and returns fail. A report that throws in turn (out of
// memory while building a message) is swallowed: the failure value still
// reaches the caller.
template <class Report, class Body, class R = std::invoke_result_t<Body&>>
R guardWith(typename Same<R>::type fail, Report&& report, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    try {
      report(&e);
    } catch (...) {
    }
  } catch (...) {
    try {
      report(static_cast<const std::exception*>(nullptr));
    } catch (...) {
    }
  }
  return fail;
}

// The same for an entry point without a result.
template <class Report, class Body>
void guardWith(Report&& report, Body&& body) noexcept {
  guardWith(0, std::forward<Report>(report), [&] {
    std::forward<Body>(body)();
    return 0;
  });
}

// "<fn>: <what>", or "<fn>: unknown error" for an exception without a text.
inline std::string failureText(const char* fn, const std::exception* e) {
  return std::string(fn) + ": " + (e ? e->what() : "unknown error");
}

// The common rule: the family's last error becomes failureText(fn, e).
template <class Body, class R = std::invoke_result_t<Body&>>
R guard(std::string& lastError, const char* fn, typename Same<R>::type fail, Body&& body) noexcept {
  return guardWith(
      fail, [&](const std::exception* e) { lastError = failureText(fn, e); },
      std::forward<Body>(body));
}

template <class Body>
void guard(std::string& lastError, const char* fn, Body&& body) noexcept {
  guardWith([&](const std::exception* e) { lastError = failureText(fn, e); },
            std::forward<Body>(body));
}

// The rule of the entry points that report into a caller's buffer: at most
// len - 1 bytes of text, always terminated; nothing for a null buffer.
inline void copyMessage(char* buf, int len, const std::string& text) {
  if (!buf || len <= 0) return;
  const size_t n = std::min(text.size(), size_t(len) - 1);
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
}

}  // namespace capi
}  // namespace le
