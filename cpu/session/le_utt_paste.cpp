// The session's paste stage: a frame pasted into its driver frame and
// committed to the ring, inline or through the paste queue and its thread.
#include "session/le_utt.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "render/le_renderer.h"
#include "session/le_context.h"

using namespace le::utt;

// ---------------------------------------------------------------------------
// The frame path

bool le_utt::enqueueRaw(const float* face, const FrameRec& f, double* acc) {
  if (pipelined) return enqueuePipe(face, f, acc);
  // The paste stage inline: the same body the paste thread runs.
  double spent = 0;
  const Pasted r = pasteInto(face, f, 0, rs.savedEpoch, &spent);
  if (acc) *acc += spent;
  if (r == Pasted::Dropped) return false;
  rs.fillFailed = r == Pasted::Failed;
  return true;
}

bool le_utt::enqueuePipe(const float* face, const FrameRec& f, double* acc) {
  const double t0 = nowMs();
  return handOver(makeJob(face, f, t0, rs.savedEpoch), pasteQueue, 8, cv, pasteCv, nullptr, t0,
                  acc);
}

bool le_utt::handOver(PasteJob&& j, std::deque<PasteJob>& queue, size_t bound,
                      std::condition_variable& room, std::condition_variable& wake, double* waitMs,
                      double t0, double* acc) {
  std::unique_lock<std::mutex> lk(mu);
  const double t1 = nowMs();
  while (!stop && rs.savedEpoch == epoch) {
    if (queue.size() < bound) {
      const double waited = nowMs() - t1;
      handoffWait += waited;
      if (waitMs) *waitMs += waited;
      queue.push_back(std::move(j));
      lk.unlock();
      wake.notify_all();
      if (acc) *acc += nowMs() - t0;
      return true;
    }
    room.wait_for(lk, kWait);
  }
  return false;
}

le_utt::PasteJob le_utt::makeJob(const float* face, const FrameRec& f, double enqueueMs,
                                 int64_t jobEpoch) {
  PasteJob j;
  if (face) {
    j.crop.assign(face, face + size_t(crop) * size_t(crop) * 3);
    j.hasCrop = 1;
  }
  j.f = f;
  j.epoch = jobEpoch;
  j.enqueueMs = enqueueMs;
  return j;
}

bool le_utt::pushPaste(PasteJob&& j) {
  std::unique_lock<std::mutex> lk(mu);
  while (!stop && j.epoch == epoch) {
    if (pasteQueue.size() < 2) {
      pasteQueue.push_back(std::move(j));
      lk.unlock();
      pasteCv.notify_one();
      return true;
    }
    borrowCv.wait_for(lk, kWait);
  }
  return false;
}

void le_utt::pasteLoop() {
  std::unique_lock<std::mutex> lk(mu);
  for (;;) {
    pasteCv.wait(lk, [this] { return !pasteQueue.empty() || pasteStop || stop; });
    if (pasteStop || stop) return;
    PasteJob j = std::move(pasteQueue.front());
    pasteQueue.pop_front();
    pasteBusy = true;
    cv.notify_all();
    borrowCv.notify_all();
    if (j.epoch == epoch) {
      lk.unlock();
      pasteInto(j.hasCrop ? j.crop.data() : nullptr, j.f, j.enqueueMs, j.epoch);
      ++jobsC;
      cv.notify_all();
      borrowCv.notify_all();
    } else {
      lk.unlock();
      cv.notify_all();
    }
    lk.lock();
    pasteBusy = false;
  }
}

le_utt::Pasted le_utt::pasteInto(const float* face, const FrameRec& f, double enqueueMs,
                                 int64_t jobEpoch, double* spentMs) {
  std::unique_lock<std::mutex> lk(mu);
  for (;;) {
    if (stop || epoch != jobEpoch) return Pasted::Dropped;
    if (ring.hasRoom()) break;
    cv.wait_for(lk, kWait);
  }
  Slot& slot = ring.writeSlot();
  lk.unlock();
  const double t = nowMs();
  const bool filled = fillSlot(slot, face, f.kind, f.index);
  const double spent = nowMs() - t;
  if (spentMs) *spentMs = spent;
  lk.lock();
  // The stage counters count the paste thread's work; inline they stay zero.
  if (pipelined) stageCTotal += spent;
  if (stop || epoch != jobEpoch) return Pasted::Dropped;
  if (!filled) return Pasted::Failed;
  commitLocked(f);
  if (f.kind == LE_UTT_KIND_SPEECH && enqueueMs > 0) {
    ++deliveredSpeech;
    deliverLatency += nowMs() - enqueueMs;
  }
  return Pasted::Committed;
}

bool le_utt::fillSlot(Slot& slot, const float* face, int kind, int index) {
  try {
    // An idle frame the process holds decoded is handed out from there: one
    // copy, into the host's buffer, instead of two.
    slot.held = face ? nullptr : ctx->cursor->held(index);
    if (!slot.held) {
      try {
        ctx->cursor->pullAt(index, slot.rgb.data());
      } catch (const std::exception&) {
        // A driver that failed decoding stops for good: start it again after
        // the frame, so the session goes on with the frames that still decode.
        ctx->cursor->restart((index + 1) % ctx->cursor->NT);
        throw;
      }
    }
    if (face)
      ctx->paste->composite(face, 255.0f, ctx->identity.M(index), slot.rgb.data(), W, H);
    else
      ctx->identity.walkP(index);
    std::lock_guard<std::mutex> lk(mu);
    pathFailures = 0;
    return true;
  } catch (const std::exception& e) {
    // A frame that cannot be made is not delivered; the host sees why. Only a
    // lost speech or ramp frame is fatal.
    noteRenderFail("paste", textOf(e), kind != LE_UTT_KIND_IDLE);
    std::lock_guard<std::mutex> lk(mu);
    ++pathFailures;
    return false;
  }
}

void le_utt::commitLocked(const FrameRec& f) {
  ring.commit(f);
  // Frame 0 may have been given up after its retries: the utterance still
  // started, and its underruns count from here.
  if (f.kind == LE_UTT_KIND_SPEECH && f.utt != startedUtt) {
    startedUtt = f.utt;
    ++stats.utterances_started;
    stats.first_frame_ms = nowMs() - f.uttStartMs;
    speaking = true;
  }
}
