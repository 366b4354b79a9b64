// Hand-over marks for ThreadSanitizer. ONNX Runtime's thread pool passes work
// to its threads and back in code that is not instrumented, so a kernel of
// ours run through its ParallelFor would look unsynchronised with the thread
// that set up its job: release before handing the job over, acquire where it
// is picked up, and the same on the way back. Nothing in other builds.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define LE_TSAN_MARKS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LE_TSAN_MARKS 1
#endif
#endif

#ifdef LE_TSAN_MARKS
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace le {

inline void tsanRelease(const void* p) {
#ifdef LE_TSAN_MARKS
  __tsan_release(const_cast<void*>(p));
#else
  (void)p;
#endif
}

inline void tsanAcquire(const void* p) {
#ifdef LE_TSAN_MARKS
  __tsan_acquire(const_cast<void*>(p));
#else
  (void)p;
#endif
}

}  // namespace le
