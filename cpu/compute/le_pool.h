// The engine's fork-join worker pool and its process-wide thread budget.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "le/le.h"  // LE_API

namespace le {
namespace pool {

// Thread budget: LE_CORE_THREADS, else LE_PASTE_THREADS, else 4, at least 1,
// capped at the hardware threads. Computed once per process.
LE_API int threads();
// Always true: the pool needs nothing beyond the standard threads.
LE_API bool available();
// Parts a range of n items is cut into so that no part has fewer than grain items.
LE_API int parts(uint64_t n, uint64_t grain);

// A non-owning reference to a callable taking [begin, end); never copies it.
class RangeFn {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, RangeFn>>>
  RangeFn(F& f)  // NOLINT(google-explicit-constructor)
      : obj_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, uint64_t b, uint64_t e) { (*static_cast<F*>(o))(b, e); }) {}
  void operator()(uint64_t b, uint64_t e) const { call_(obj_, b, e); }

 private:
  void* obj_;
  void (*call_)(void*, uint64_t, uint64_t);
};

// Runs fn over [0, n) cut into parts(n, grain) contiguous pieces at once:
// part 0 on the calling thread, part i on worker i of the calling thread's
// own pool. A call nested inside a job's part 0 runs serially. If a part
// throws, the first exception is rethrown here once every part has finished.
LE_API void parallelRange(uint64_t n, uint64_t grain, RangeFn fn);

template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, RangeFn>>>
void parallelRange(uint64_t n, uint64_t grain, F&& fn) {
  parallelRange(n, grain, RangeFn(fn));
}

namespace detail {
// parts() for an explicit budget t.
int partsFor(uint64_t n, uint64_t grain, int t);
}  // namespace detail

}  // namespace pool
}  // namespace le
