#include "session/le_utt_plan.h"

#include <algorithm>

#include "le/le.h"

namespace le {
namespace utt {
namespace {

// A full batch is pending or the source already holds the rest of one.
bool fullBatchComing(const PlanView& v) {
  return v.batch > 0 && v.pending < v.batch && v.batch <= v.stillAvail + v.pending;
}

}  // namespace

bool allReceived(const PlanView& v) {
  return v.finishSent && !v.jobPosted && v.total >= 0 && v.total <= v.received;
}

int hybridEager(int* level, int backlog) {
  if (*level == 0 && backlog > 23) *level = 1;
  if (*level == 1 && backlog <= 11) *level = 0;
  return *level ? 24 : 3;
}

bool wantsMotionJob(const PlanView& v) {
  if (!v.hasSource || !v.inUtt || v.jobPosted || v.motionFailed) return false;
  // Nothing to send and enough in hand (or all of it): no job.
  const bool nothingToSay = v.stagingEmpty && (!v.ended || v.finishSent);
  return !(nothingToSay && !fullBatchComing(v) && (allReceived(v) || v.pending > 7));
}

Decision nextStep(const PlanView& v) {
  if (v.state == LE_UTT_STATE_RAMP && v.rampLeft > 0 && v.fill <= 7) return {Step::Ramp, 0};
  if (v.inUtt && v.pending >= 1 && v.fill < 8) {
    // The first speech frame renders alone; later ones take a full batch
    // when one is pending, wait for one that is coming, else go one by one.
    int n = 0;
    if (v.pending >= v.batch)
      n = std::max(v.batch, 1);
    else if (v.stillAvail + v.pending < v.batch || !v.jobPosted)
      n = 1;
    return {Step::Speech, n};
  }
  if (v.inUtt && v.pending == 0 && (allReceived(v) || v.motionFailed))
    return {Step::UtteranceOver, 0};
  if (v.state == LE_UTT_STATE_IDLE && v.fill + v.queued < 1) return {Step::Idle, 0};
  return {Step::Nothing, 0};
}

}  // namespace utt
}  // namespace le
