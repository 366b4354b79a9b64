// What the host's calls do to the session: its audio in, the ring out, and
// what it may read of the session's state. Each call takes the main lock for
// as long as it touches what the run and paste threads share.
#include <cstring>
#include <mutex>
#include <string>

#include "render/le_renderer.h"
#include "session/le_context.h"
#include "session/le_utt.h"

using namespace le::utt;

int le_utt::readiness(std::string* error) {
  std::lock_guard<std::mutex> lk(mu);
  if (warmFailed) {
    *error = warmError;
    return -1;
  }
  return source ? 1 : 0;
}

bool le_utt::pushAudio(const int16_t* samples, int count, std::string* error) {
  {
    std::lock_guard<std::mutex> lk(mu);
    if (heldSamples + size_t(count) > size_t(LE_UTT_MAX_HELD_SAMPLES)) {
      *error = "le_utt_push_audio: refusing " + std::to_string(count) +
               " samples: " + std::to_string(heldSamples) +
               " are held unspoken, and a session holds at most " +
               std::to_string(LE_UTT_MAX_HELD_SAMPLES) + " (" +
               std::to_string(LE_UTT_MAX_HELD_SAMPLES / 16000) + " s of audio)";
      return false;
    }
    heldSamples += size_t(count);
    const size_t at = pushed.size();
    pushed.resize(at + size_t(count));
    for (int i = 0; i < count; ++i) pushed[at + size_t(i)] = float(samples[i]) * (1.0f / 32768.0f);
    const double now = nowMs();
    latestPushMs = now;
    if (!audioStarted) {
      audioStarted = true;
      firstPushes.push_back(now);
    }
  }
  cv.notify_all();
  pasteCv.notify_all();
  return true;
}

void le_utt::endUtterance() {
  {
    std::lock_guard<std::mutex> lk(mu);
    // A second request with no audio between ends the same utterance.
    if (endMarks.empty() || endMarks.back() != pushed.size()) endMarks.push_back(pushed.size());
    // The next push opens the next utterance and starts its clock.
    audioStarted = false;
  }
  cv.notify_all();
}

void le_utt::interrupt() {
  {
    std::lock_guard<std::mutex> lk(mu);
    // The frame being rendered is no longer wanted: end its render now so the
    // ramp starts sooner. Cancelled before the epoch moves, so the ramp's own
    // render, which starts only after the run thread sees the new epoch, runs.
    if (source) {  // warm-up's own renders are left to finish
      ctx->renderer->cancel();
      if (chunk) chunk->cancel();
    }
    heldSamples -= pushed.size();
    pushedBase += int64_t(pushed.size());  // dropped audio keeps its place
    pushed.clear();
    endMarks.clear();
    firstPushes.clear();
    audioStarted = false;
    ring.dropAll();
    pasteQueue.clear();
    ++epoch;
  }
  cv.notify_all();
  borrowCv.notify_all();
}

int64_t le_utt::heldAudio() {
  std::lock_guard<std::mutex> lk(mu);
  return int64_t(heldSamples);
}

int le_utt::framesAvailable() {
  std::lock_guard<std::mutex> lk(mu);
  return ring.pullable(nowMs());
}

namespace {
void describe(const le_utt::Slot& slot, le_utt_frame_info* info, int64_t* at) {
  if (info) {
    info->seq = slot.seq;
    info->kind = slot.f.kind;
    info->index = slot.f.index;
    info->number = slot.f.number;
  }
  if (at) *at = slot.f.at;
}
}  // namespace

Pulled le_utt::pull(uint8_t* dst, uint64_t cap, le_utt_frame_info* info, int64_t* at,
                    int16_t* voice) {
  {
    std::lock_guard<std::mutex> lk(mu);
    if (ring.waiting() < 1) {
      if (speaking) ++underruns;
      return Pulled::None;
    }
    // The utterance's first frames may be held back.
    if (ring.pullable(nowMs()) < 1) return Pulled::None;
    const Slot& slot = ring.front();
    if (dst && cap < slot.rgb.size()) return Pulled::TooSmall;
    if (dst) std::memcpy(dst, slot.pixels(), slot.rgb.size());
    describe(slot, info, at);
    if (voice) std::memcpy(voice, slot.f.voice, sizeof slot.f.voice);
    ++stats.frames_out;
    if (slot.f.kind == LE_UTT_KIND_SPEECH) ++stats.speech_frames_out;
    ring.pop();
  }
  cv.notify_all();
  return Pulled::Frame;
}

bool le_utt::peek(le_utt_frame_info* info, int64_t* at) {
  std::lock_guard<std::mutex> lk(mu);
  if (ring.pullable(nowMs()) < 1) return false;
  describe(ring.front(), info, at);
  return true;
}

le_utt_stats le_utt::statsNow() {
  std::lock_guard<std::mutex> lk(mu);
  return stats;
}

bool le_utt::renderStatus(std::string* text, int64_t* count) {
  std::lock_guard<std::mutex> lk(mu);
  *text = failText;
  *count = failures;
  return fatal;
}

int le_utt::borrowStatus(int64_t* applied, int64_t* skipped, std::string* reason) {
  std::lock_guard<std::mutex> lk(mu);
  if (!tess) return LE_BORROW_NONE;
  *applied = tessApplied;
  *skipped = tessSkipped;
  *reason = tessReason;
  return tessFailed ? LE_BORROW_FAILED : LE_BORROW_HEALTHY;
}

bool le_utt::borrowSynthWeight(double* mean, double* max, int64_t* frames) {
  std::lock_guard<std::mutex> lk(mu);
  if (!tess || tessSynthFrames < 1) return false;
  *mean = tessSynthSum / double(tessSynthFrames);
  *max = tessSynthMax;
  *frames = tessSynthFrames;
  return true;
}

bool le_utt::borrowGeometry(std::string* geometry) {
  std::lock_guard<std::mutex> lk(mu);
  if (!tess) return false;
  *geometry = tessGeometry;
  return true;
}
