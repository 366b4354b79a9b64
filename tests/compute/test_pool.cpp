#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "compute/le_pool.h"

namespace {

// The budget is computed once per process, so each environment gets a
// process of its own.
int budgetUnder(const std::string& assignments) {
  std::string cmd = "env -u LE_CORE_THREADS -u LE_PASTE_THREADS " + assignments + " " +
                    std::string(LE_POOL_PROBE);
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -100;
  int v = -100;
  if (std::fscanf(p, "%d", &v) != 1) v = -100;
  pclose(p);
  return v;
}

TEST(PoolBudget, EnvironmentRequestCappedAtHardwareThreads) {
  const int hc = int(std::thread::hardware_concurrency());
  ASSERT_GT(hc, 0);
  auto capped = [&](int request) { return std::min(request, hc); };
  EXPECT_EQ(budgetUnder(""), capped(4));
  EXPECT_EQ(budgetUnder("LE_CORE_THREADS=8"), capped(8));
  EXPECT_EQ(budgetUnder("LE_CORE_THREADS=64"), capped(64));
  EXPECT_EQ(budgetUnder("LE_CORE_THREADS=0"), 1);
  EXPECT_EQ(budgetUnder("LE_CORE_THREADS=-3"), 1);
  EXPECT_EQ(budgetUnder("LE_CORE_THREADS=1"), 1);
  EXPECT_EQ(budgetUnder("LE_CORE_THREADS=2x"), capped(2));  // leading number counts
  EXPECT_EQ(budgetUnder("LE_CORE_THREADS=abc"), 1);         // no number reads as 0
  EXPECT_EQ(budgetUnder("LE_CORE_THREADS= LE_PASTE_THREADS=2"), capped(2));
  EXPECT_EQ(budgetUnder("LE_CORE_THREADS=1 LE_PASTE_THREADS=3"), 1);  // core setting wins
  EXPECT_EQ(budgetUnder("LE_CORE_THREADS=99999999999999999999"), hc);
}

TEST(PoolParts, CutsByGrainAndBudget) {
  using le::pool::detail::partsFor;
  EXPECT_EQ(partsFor(100, 0, 4), 4);  // grain 0 counts as 1
  EXPECT_EQ(partsFor(7, 4, 4), 1);    // 7 / 4 = 1 part
  EXPECT_EQ(partsFor(8, 4, 4), 2);
  EXPECT_EQ(partsFor(3, 1, 4), 3);
  EXPECT_EQ(partsFor(1, 1, 4), 1);
  EXPECT_EQ(partsFor(0, 1, 4), 1);
  EXPECT_EQ(partsFor(1000, 1, 1), 1);
  EXPECT_EQ(partsFor(1000, 1, 0), 1);
  EXPECT_EQ(partsFor(~0ull, 1, 16), 16);
  EXPECT_EQ(le::pool::parts(1000, 1), std::max(1, le::pool::threads()));
  EXPECT_TRUE(le::pool::available());
}

struct Call {
  uint64_t b, e;
  std::thread::id tid;
};

std::vector<Call> record(uint64_t n, uint64_t grain) {
  std::mutex mu;
  std::vector<Call> calls;
  le::pool::parallelRange(n, grain, [&](uint64_t b, uint64_t e) {
    std::lock_guard<std::mutex> lk(mu);
    calls.push_back({b, e, std::this_thread::get_id()});
  });
  std::sort(calls.begin(), calls.end(), [](const Call& x, const Call& y) { return x.b < y.b; });
  return calls;
}

TEST(PoolParallelRange, EmptyRangeIsOneCall) {
  auto calls = record(0, 5);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].b, 0u);
  EXPECT_EQ(calls[0].e, 0u);
  EXPECT_EQ(calls[0].tid, std::this_thread::get_id());
}

TEST(PoolParallelRange, CutsIntoCeilChunksOnFixedThreads) {
  const int T = le::pool::threads();
  for (uint64_t n : {1ull, 2ull, 3ull, 9ull, 10ull, 17ull, 1000ull}) {
    const int p = le::pool::parts(n, 1);
    const uint64_t c = (n + p - 1) / p;
    auto calls = record(n, 1);
    // Contiguous, covering [0, n), every part of size c but the last.
    uint64_t expectB = 0;
    for (size_t k = 0; k < calls.size(); ++k) {
      EXPECT_EQ(calls[k].b, expectB) << "n=" << n;
      EXPECT_EQ(calls[k].e, std::min(n, expectB + c)) << "n=" << n;
      expectB = calls[k].e;
    }
    EXPECT_EQ(expectB, n);
    EXPECT_LE(int(calls.size()), std::max(1, T));
    // Part 0 runs on the caller; every other part on a thread of its own.
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].tid, std::this_thread::get_id());
    for (size_t k = 1; k < calls.size(); ++k) {
      EXPECT_NE(calls[k].tid, std::this_thread::get_id());
      for (size_t j = 1; j < k; ++j) {
        EXPECT_NE(calls[k].tid, calls[j].tid);
      }
    }
  }
}

TEST(PoolParallelRange, SameWorkerServesTheSamePartEveryJob) {
  if (le::pool::threads() < 2) GTEST_SKIP() << "needs a budget of 2 or more";
  auto first = record(100, 1);
  for (int rep = 0; rep < 20; ++rep) {
    auto again = record(100, 1);
    ASSERT_EQ(again.size(), first.size());
    for (size_t k = 0; k < first.size(); ++k) EXPECT_EQ(again[k].tid, first[k].tid);
  }
}

TEST(PoolParallelRange, NestedCallInCallerPartRunsSerially) {
  if (le::pool::threads() < 2) GTEST_SKIP() << "needs a budget of 2 or more";
  std::mutex mu;
  std::vector<Call> inner;
  std::atomic<int> workerInnerCalls{0};
  const auto caller = std::this_thread::get_id();
  le::pool::parallelRange(2, 1, [&](uint64_t b, uint64_t) {
    if (b == 0) {
      le::pool::parallelRange(100, 1, [&](uint64_t ib, uint64_t ie) {
        std::lock_guard<std::mutex> lk(mu);
        inner.push_back({ib, ie, std::this_thread::get_id()});
      });
    } else {
      // A worker's own first-level call may fan out on that worker's pool.
      std::atomic<uint64_t> covered{0};
      le::pool::parallelRange(100, 1, [&](uint64_t ib, uint64_t ie) {
        covered += ie - ib;
        ++workerInnerCalls;
      });
      EXPECT_EQ(covered.load(), 100u);
    }
  });
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(inner[0].b, 0u);
  EXPECT_EQ(inner[0].e, 100u);
  EXPECT_EQ(inner[0].tid, caller);
  EXPECT_EQ(workerInnerCalls.load(), le::pool::parts(100, 1));
}

TEST(PoolParallelRange, ConcurrentCallersDoNotMix) {
  constexpr int kCallers = 4, kJobs = 200;
  std::vector<std::thread> ts;
  std::vector<uint64_t> sums(kCallers, 0);
  for (int t = 0; t < kCallers; ++t) {
    ts.emplace_back([&, t] {
      for (int j = 0; j < kJobs; ++j) {
        std::vector<uint64_t> v(257, 0);
        le::pool::parallelRange(v.size(), 8, [&](uint64_t b, uint64_t e) {
          for (uint64_t i = b; i < e; ++i) v[i] += i + 1;
        });
        for (uint64_t i = 0; i < v.size(); ++i) sums[t] += v[i];
      }
    });
  }
  for (auto& th : ts) th.join();
  for (int t = 0; t < kCallers; ++t) EXPECT_EQ(sums[t], uint64_t(kJobs) * 257 * 258 / 2);
}

TEST(PoolParallelRange, ExceptionReachesCallerAfterAllPartsFinish) {
  if (le::pool::threads() < 2) GTEST_SKIP() << "needs a budget of 2 or more";
  std::atomic<int> finished{0};
  const int p = le::pool::parts(64, 1);
  EXPECT_THROW(le::pool::parallelRange(64, 1,
                                       [&](uint64_t b, uint64_t) {
                                         if (b != 0) {
                                           ++finished;
                                           throw std::runtime_error("part failed");
                                         }
                                         std::this_thread::sleep_for(std::chrono::milliseconds(20));
                                         ++finished;
                                       }),
               std::runtime_error);
  EXPECT_EQ(finished.load(), p);
  // The pool stays usable afterwards.
  EXPECT_EQ(record(64, 1).size(), size_t(p));
}

}  // namespace
