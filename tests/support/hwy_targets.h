// Runs a test body once per Highway target this processor can run, with the
// engine's kernels dispatched to that target.
#pragma once

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cstdint>
#include <string>
#include <vector>

#include "compute/le_simd.h"

namespace le_test {

inline std::vector<int64_t> runnableTargets() {
  hwy::SetSupportedTargetsForTest(0);
  const int64_t supported = hwy::SupportedTargets();
  std::vector<int64_t> out;
  // A build may leave targets out (HWY_DISABLED_TARGETS); those are not run.
  for (int64_t t : {HWY_AVX3_DL, HWY_AVX3, HWY_AVX2, HWY_SSE4, HWY_SSSE3, HWY_SCALAR})
    if ((supported & t) && !(t & (HWY_DISABLED_TARGETS))) out.push_back(t);
  return out;
}

// The dispatch choice is process-wide; every test restores it however it ends.
struct DispatchReset {
  ~DispatchReset() { hwy::SetSupportedTargetsForTest(0); }
};

// body(name) runs once per target. The switch is checked through the compute
// kernels, which every vector unit of the engine builds for the same targets.
template <class F>
void forEachHwyTarget(F&& body) {
  DispatchReset reset;
  const std::vector<int64_t> targets = runnableTargets();
  ASSERT_FALSE(targets.empty());
  for (int64_t t : targets) {
    hwy::SetSupportedTargetsForTest(t);
    const std::string name = hwy::TargetName(t);
    ASSERT_STREQ(le::simd::target(), name.c_str());
    ASSERT_STREQ(le::simd::detail::dispatchedTarget(), name.c_str());
    SCOPED_TRACE("target " + name);
    body(name);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace le_test
