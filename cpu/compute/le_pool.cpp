#include "compute/le_pool.h"

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/le_env.h"

namespace le {
namespace pool {
namespace {

int budgetFromEnvironment() {
  long request = 4;
  const char* v = le::envValue("LE_CORE_THREADS");
  if (!v || !*v) v = le::envValue("LE_PASTE_THREADS");
  if (v && *v) {
    request = std::strtol(v, nullptr, 10);
    if (request < 1) request = 1;
    if (request > INT_MAX) request = INT_MAX;
  }
  const unsigned hc = std::thread::hardware_concurrency();
  if (hc > 0 && long(hc) < request) request = long(hc);
  return int(request);
}

struct Pool {
  explicit Pool(int t) : T(t) {
    workers.reserve(T > 1 ? size_t(T - 1) : 0);
    for (int i = 1; i < T; ++i) workers.emplace_back([this, i] { workerLoop(i); });
  }

  ~Pool() {
    {
      std::lock_guard<std::mutex> lk(mu);
      stop = true;
      ++generation;
    }
    work.notify_all();
    for (auto& w : workers) w.join();
  }

  static void runPart(const RangeFn& fn, uint64_t n, int p, int k) {
    const uint64_t c = (n + uint64_t(p) - 1) / uint64_t(p);
    const uint64_t b = uint64_t(k) * c;
    if (b < n) fn(b, std::min(n, b + c));
  }

  void workerLoop(int i) {
    uint64_t served = 0;
    for (;;) {
      std::unique_lock<std::mutex> lk(mu);
      work.wait(lk, [&] { return generation != served; });
      served = generation;
      if (stop) return;
      const RangeFn* fn = job;
      const uint64_t jn = n;
      const int jp = p;
      lk.unlock();
      std::exception_ptr err;
      if (i < jp) {
        try {
          runPart(*fn, jn, jp, i);
        } catch (...) {
          err = std::current_exception();
        }
      }
      lk.lock();
      if (err && !error) error = err;
      if (--pending == 0) done.notify_one();
    }
  }

  const int T;
  std::vector<std::thread> workers;
  std::mutex mu;
  std::condition_variable work;
  std::condition_variable done;
  const RangeFn* job = nullptr;
  uint64_t n = 0;
  int p = 0;
  int pending = 0;
  uint64_t generation = 0;
  bool stop = false;
  std::exception_ptr error;  // first exception a worker's part threw
};

thread_local std::unique_ptr<Pool> t_pool;
thread_local bool g_inRegion = false;

}  // namespace

int threads() {
  static const int budget = budgetFromEnvironment();
  return budget;
}

bool available() {
  return true;
}

namespace detail {
int partsFor(uint64_t n, uint64_t grain, int t) {
  if (t <= 1) return 1;
  if (grain == 0) grain = 1;
  const uint64_t q = n / grain;
  if (q <= 1) return 1;
  return q < uint64_t(t) ? int(q) : t;
}
}  // namespace detail

int parts(uint64_t n, uint64_t grain) {
  return detail::partsFor(n, grain, threads());
}

void parallelRange(uint64_t n, uint64_t grain, RangeFn fn) {
  const int p = parts(n, grain);
  if (g_inRegion || p < 2) {
    fn(0, n);
    return;
  }
  if (!t_pool) t_pool = std::make_unique<Pool>(threads());
  Pool& pool = *t_pool;

  struct RegionGuard {
    RegionGuard() { g_inRegion = true; }
    ~RegionGuard() { g_inRegion = false; }
  } region;

  {
    std::lock_guard<std::mutex> lk(pool.mu);
    pool.job = &fn;
    pool.n = n;
    pool.p = p;
    pool.pending = int(pool.workers.size());
    pool.error = nullptr;
    ++pool.generation;
  }
  pool.work.notify_all();

  std::exception_ptr err;
  try {
    Pool::runPart(fn, n, p, 0);
  } catch (...) {
    err = std::current_exception();
  }

  std::unique_lock<std::mutex> lk(pool.mu);
  pool.done.wait(lk, [&] { return pool.pending == 0; });
  pool.job = nullptr;
  if (!err) err = pool.error;
  pool.error = nullptr;
  lk.unlock();
  if (err) std::rethrow_exception(err);
}

}  // namespace pool
}  // namespace le
