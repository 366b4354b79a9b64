// The run thread's decisions, each tried alone on the state that calls for it.
#include <gtest/gtest.h>

#include "le/le.h"
#include "session/le_utt_plan.h"

namespace {

using le::utt::nextStep;
using le::utt::PlanView;
using le::utt::Step;

PlanView speaking(int pending, int batch, int stillAvail, bool jobPosted) {
  PlanView v;
  v.state = LE_UTT_STATE_SPEAKING;
  v.hasSource = v.inUtt = true;
  v.pending = pending;
  v.batch = batch;
  v.stillAvail = stillAvail;
  v.jobPosted = jobPosted;
  return v;
}

TEST(UttPlan, SpeechRendersAloneFirstThenInFullBatches) {
  EXPECT_EQ(nextStep(speaking(5, 0, 30, true)).frames, 1);  // no speech rendered yet: batch 0
  EXPECT_EQ(nextStep(speaking(30, 24, 0, true)).frames, 24);
  // A batch the source already holds is waited for while its job runs...
  const auto wait = nextStep(speaking(10, 24, 20, true));
  EXPECT_EQ(wait.step, Step::Speech);
  EXPECT_EQ(wait.frames, 0);
  // ...but not when no job will bring it, nor when there is no full batch to come.
  EXPECT_EQ(nextStep(speaking(10, 24, 20, false)).frames, 1);
  EXPECT_EQ(nextStep(speaking(10, 24, 5, true)).frames, 1);
  PlanView full = speaking(10, 0, 0, true);
  full.fill = 8;  // the ring is full: nothing this pass
  EXPECT_EQ(nextStep(full).step, Step::Nothing);
}

TEST(UttPlan, RampIdleAndTheUtterancesEnd) {
  PlanView ramp;
  ramp.state = LE_UTT_STATE_RAMP;
  ramp.rampLeft = 2;
  ramp.fill = 7;
  EXPECT_EQ(nextStep(ramp).step, Step::Ramp);
  ramp.fill = 8;
  EXPECT_EQ(nextStep(ramp).step, Step::Nothing);  // no idle frame while ramping either

  PlanView idle;  // an idle frame only when none waits or is on its way
  EXPECT_EQ(nextStep(idle).step, Step::Idle);
  idle.queued = 1;
  EXPECT_EQ(nextStep(idle).step, Step::Nothing);

  PlanView over = speaking(0, 0, 0, false);
  over.finishSent = true;
  over.total = over.received = 12;
  EXPECT_EQ(nextStep(over).step, Step::UtteranceOver);
  over.total = 13;  // one frame still to come
  EXPECT_EQ(nextStep(over).step, Step::Nothing);
  over.motionFailed = true;  // the source failed: it ends with what it has
  EXPECT_EQ(nextStep(over).step, Step::UtteranceOver);
}

TEST(UttPlan, MotionJobsAndTheHybridEagerValue) {
  PlanView v = speaking(8, 0, 0, false);
  EXPECT_FALSE(le::utt::wantsMotionJob(v));  // enough in hand, nothing to send
  v.pending = 7;
  EXPECT_TRUE(le::utt::wantsMotionJob(v));
  v.pending = 8;
  v.stagingEmpty = false;
  EXPECT_TRUE(le::utt::wantsMotionJob(v));
  v.jobPosted = true;  // one job at a time
  EXPECT_FALSE(le::utt::wantsMotionJob(v));

  int level = 0;
  EXPECT_EQ(le::utt::hybridEager(&level, 23), 3);
  EXPECT_EQ(le::utt::hybridEager(&level, 24), 24);
  EXPECT_EQ(le::utt::hybridEager(&level, 12), 24);  // no flapping in between
  EXPECT_EQ(le::utt::hybridEager(&level, 11), 3);
}

}  // namespace
