// What the run thread does next, decided from a copy of what it knows: no
// threads, no locks and no state of its own, so each rule can be tried alone.
#pragma once

namespace le {
namespace utt {

struct PlanView {
  int state = 0;     // LE_UTT_STATE_*
  int rampLeft = 0;  // ramp frames still to make
  int fill = 0;      // frames waiting in the ring
  int queued = 0;    // frames on their way to it
  bool hasSource = false;
  bool inUtt = false, ended = false, finishSent = false, jobPosted = false;
  bool motionFailed = false;
  bool stagingEmpty = true;  // no audio waits to be sent to the motion source
  int pending = 0;           // motion frames not yet rendered
  int stillAvail = 0;        // frames the motion source holds beyond those
  int received = 0, total = -1;
  int batch = 0;  // the chunk renderer's batch once speech was rendered, else 0
};

enum class Step { Nothing, Ramp, Speech, UtteranceOver, Idle };

struct Decision {
  Step step = Step::Nothing;
  int frames = 0;  // speech frames to render now; 0 waits for a full batch
};

// Every frame of an utterance whose audio was all sent has arrived.
bool allReceived(const PlanView& v);
// The eager value in hybrid mode: 24 frames while the backlog is long, 3
// while it is short, with a gap between so it does not flap.
int hybridEager(int* level, int backlog);
// Whether to post a motion job: audio to send, the end to tell, or frames
// to fetch while few are in hand.
bool wantsMotionJob(const PlanView& v);
// The one kind of work of this pass, by the first rule that applies.
Decision nextStep(const PlanView& v);

}  // namespace utt
}  // namespace le
