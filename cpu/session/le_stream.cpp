#include "session/le_stream.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace le {
namespace {

constexpr int kKp = kKpFloats;
constexpr int kAhead = 4;

}  // namespace

StreamPlan streamPlan(const std::vector<float>& corpus, int NT, const float* deltas, int T,
                      int skip, float gain) {
  StreamPlan plan;
  for (int i = std::max(skip, 0); i < T; ++i) {
    const int index = NT < 2 ? 0 : i % NT;
    const float* row = corpus.data() + size_t(index) * kKp;
    const float* delta = deltas + size_t(i) * kKp;
    plan.index.push_back(index);
    for (int c = 0; c < kKp; ++c) {
      plan.base.push_back(row[c]);
      plan.driven.push_back(row[c] + gain * delta[c]);
    }
  }
  return plan;
}

int streamPipeline(int M, size_t cropFloats, std::vector<float>& slots,
                   const std::function<const float*(int)>& render,
                   const std::function<bool(int, const float*)>& paste,
                   const std::function<void(int)>& deliver) {
  slots.resize(kAhead * cropFloats);
  std::mutex mutex;
  std::condition_variable produce, consume;
  int produced = 0, consumed = 0;
  bool done = false, stop = false;
  std::atomic<bool> failed{false};

  std::thread renderer([&] {
    for (int k = 0; k < M && !failed; ++k) {
      const float* crop = render(k);
      std::unique_lock<std::mutex> lock(mutex);
      if (!crop) {
        failed = true;
        break;
      }
      produce.wait(lock, [&] { return produced - consumed < kAhead || stop || failed; });
      if (stop || failed) break;
      std::copy_n(crop, cropFloats, slots.data() + size_t(k % kAhead) * cropFloats);
      ++produced;
      consume.notify_one();
    }
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    consume.notify_one();
  });
  // Whatever way the delivering loop ends, the render thread is released
  // from its wait and joined before the shared state goes away.
  struct Join {
    std::thread& t;
    std::mutex& m;
    std::condition_variable& c;
    bool& stop;
    ~Join() {
      {
        std::lock_guard<std::mutex> lock(m);
        stop = true;
      }
      c.notify_all();
      t.join();
    }
  } join{renderer, mutex, produce, stop};

  int delivered = 0;
  for (int k = 0; k < M; ++k) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      consume.wait(lock, [&] { return produced > consumed || failed || done; });
      if (failed || produced == consumed) break;
    }
    if (!paste(k, slots.data() + size_t(k % kAhead) * cropFloats)) {
      failed = true;
      break;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++consumed;
    }
    produce.notify_one();
    deliver(k);
    ++delivered;
  }
  return failed ? -1 : delivered;
}

}  // namespace le
