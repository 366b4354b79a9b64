// The utterance session's C interface. Every entry point runs under the
// family's guard: a failure becomes "<fn>: <reason>" in le_utt_last_error and
// the entry's failure value; nothing is thrown into the host.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "base/le_guard.h"
#include "capi/le_capi.h"
#include "render/le_renderer.h"
#include "session/le_utt.h"

using le::capi::guard;
using namespace le::utt;

extern "C" {

le_utt* le_utt_create(le_ctx* ctx, const le_utt_opts* opts) {
  uttError().clear();
  return guard(uttError(), "le_utt_create", nullptr, [&]() -> le_utt* {
    if (!ctx || !opts) {
      uttError() = "le_utt_create: NULL ctx/opts";
      return nullptr;
    }
    return new le_utt(ctx, *opts);
  });
}

le_utt* le_utt_open(le_ctx* ctx, const char* motion_dir) {
  le_utt_opts o{};
  o.motion_dir = motion_dir;
  return le_utt_create(ctx, &o);
}

void le_utt_destroy(le_utt* s) {
  // A destructor that failed to join has nothing left to report to.
  le::capi::guardWith([](const std::exception*) {}, [&] { delete s; });
}

const char* le_utt_last_error(void) {
  return uttError().c_str();
}

int le_utt_ready(le_utt* s) {
  return guard(uttError(), "le_utt_ready", -1, [&] {
    if (!s) return -1;
    std::lock_guard<std::mutex> lk(s->mu);
    if (s->warmFailed) {
      uttError() = s->warmError;
      return -1;
    }
    return s->source ? 1 : 0;
  });
}

int le_utt_push_audio(le_utt* s, const int16_t* samples, int count) {
  return guard(uttError(), "le_utt_push_audio", 0, [&] {
    if (!s || !samples || count < 0) {
      uttError() = "le_utt_push_audio: bad args";
      return 0;
    }
    {
      std::lock_guard<std::mutex> lk(s->mu);
      if (s->heldSamples + size_t(count) > size_t(LE_UTT_MAX_HELD_SAMPLES)) {
        uttError() = "le_utt_push_audio: refusing " + std::to_string(count) +
                     " samples: " + std::to_string(s->heldSamples) +
                     " are held unspoken, and a session holds at most " +
                     std::to_string(LE_UTT_MAX_HELD_SAMPLES) + " (" +
                     std::to_string(LE_UTT_MAX_HELD_SAMPLES / 16000) + " s of audio)";
        return 0;
      }
      s->heldSamples += size_t(count);
      const size_t at = s->pushed.size();
      s->pushed.resize(at + size_t(count));
      for (int i = 0; i < count; ++i)
        s->pushed[at + size_t(i)] = float(samples[i]) * (1.0f / 32768.0f);
      const double now = nowMs();
      s->latestPushMs = now;
      if (!s->audioStarted) {
        s->audioStarted = true;
        s->firstPushes.push_back(now);
      }
    }
    s->cv.notify_all();
    s->pasteCv.notify_all();
    return 1;
  });
}

void le_utt_end_utterance(le_utt* s) {
  if (!s) return;
  guard(uttError(), "le_utt_end_utterance", [&] {
    {
      std::lock_guard<std::mutex> lk(s->mu);
      // A second request with no audio between ends the same utterance.
      if (s->endMarks.empty() || s->endMarks.back() != s->pushed.size())
        s->endMarks.push_back(s->pushed.size());
      // The next push opens the next utterance and starts its clock.
      s->audioStarted = false;
    }
    s->cv.notify_all();
  });
}

void le_utt_interrupt(le_utt* s) {
  if (!s) return;
  guard(uttError(), "le_utt_interrupt", [&] {
    {
      std::lock_guard<std::mutex> lk(s->mu);
      // The frame being rendered is no longer wanted: end its render now so the
      // ramp starts sooner. Cancelled before the epoch moves, so the ramp's own
      // render, which starts only after the run thread sees the new epoch, runs.
      if (s->source) {  // warm-up's own renders are left to finish
        s->ctx->renderer->cancel();
        if (s->chunk) s->chunk->cancel();
      }
      s->heldSamples -= s->pushed.size();
      s->pushedBase += int64_t(s->pushed.size());  // dropped audio keeps its place
      s->pushed.clear();
      s->endMarks.clear();
      s->firstPushes.clear();
      s->audioStarted = false;
      s->readPos = s->writePos;
      s->pasteQueue.clear();
      ++s->epoch;
    }
    s->cv.notify_all();
    s->borrowCv.notify_all();
  });
}

int64_t le_utt_held_audio(le_utt* s) {
  if (!s) return 0;
  return guard(uttError(), "le_utt_held_audio", int64_t(0), [&] {
    std::lock_guard<std::mutex> lk(s->mu);
    return int64_t(s->heldSamples);
  });
}

int le_utt_frames_available(le_utt* s) {
  if (!s) return 0;
  return guard(uttError(), "le_utt_frames_available", 0, [&] {
    std::lock_guard<std::mutex> lk(s->mu);
    return s->pullableLocked();
  });
}

namespace {
void describe(const le_utt::Slot& slot, le_utt_frame_info* info, int64_t* audio_at) {
  if (info) {
    info->seq = slot.seq;
    info->kind = slot.kind;
    info->index = slot.index;
    info->number = slot.number;
  }
  if (audio_at) *audio_at = slot.at;
}
}  // namespace

int le_utt_pull_frame(le_utt* s, uint8_t* dst, uint64_t cap, le_utt_frame_info* info) {
  return guard(uttError(), "le_utt_pull_frame", 0, [&] {
    if (!dst) {
      uttError() = "le_utt_pull_frame: bad args";
      return 0;
    }
    return le_utt_pull_frame_at(s, dst, cap, info, nullptr);
  });
}

int le_utt_pull_frame_at(le_utt* s, uint8_t* dst, uint64_t cap, le_utt_frame_info* info,
                         int64_t* audio_at) {
  return guard(uttError(), "le_utt_pull_frame", 0, [&] {
    if (!s || (!dst && cap != 0)) {
      uttError() = "le_utt_pull_frame: bad args";
      return 0;
    }
    {
      std::lock_guard<std::mutex> lk(s->mu);
      if (s->readPos >= s->writePos) {
        if (s->speaking) ++s->underruns;
        return 0;
      }
      if (s->pullableLocked() < 1) return 0;  // the utterance's first frames are held back
      le_utt::Slot& slot = s->ring[s->readPos % le_utt::kRing];
      if (dst && cap < slot.rgb.size()) {
        uttError() = "le_utt_pull_frame: buffer too small";
        return 0;
      }
      if (dst) std::memcpy(dst, slot.held ? slot.held : slot.rgb.data(), slot.rgb.size());
      describe(slot, info, audio_at);
      s->hasLast = true;
      s->lastKind = slot.kind;
      s->lastIndex = slot.index;
      std::memcpy(s->lastKp, slot.kp, sizeof s->lastKp);
      ++s->readPos;
      ++s->stats.frames_out;
      if (slot.kind == LE_UTT_KIND_SPEECH) ++s->stats.speech_frames_out;
    }
    s->cv.notify_all();
    return 1;
  });
}

int le_utt_peek_frame(le_utt* s, le_utt_frame_info* info, int64_t* audio_at) {
  if (!s) return 0;
  return guard(uttError(), "le_utt_peek_frame", 0, [&] {
    std::lock_guard<std::mutex> lk(s->mu);
    if (s->pullableLocked() < 1) return 0;
    describe(s->ring[s->readPos % le_utt::kRing], info, audio_at);
    return 1;
  });
}

void le_utt_get_stats(le_utt* s, le_utt_stats* stats) {
  if (!s || !stats) return;
  guard(uttError(), "le_utt_get_stats", [&] {
    std::lock_guard<std::mutex> lk(s->mu);
    *stats = s->stats;
  });
}

int le_utt_render_status(le_utt* s, char* text, int len, int64_t* failures) {
  if (text && len > 0) text[0] = '\0';
  if (failures) *failures = 0;
  if (!s) return 0;
  return guard(uttError(), "le_utt_render_status", 0, [&] {
    std::lock_guard<std::mutex> lk(s->mu);
    if (text && len > 0) {
      const size_t n = std::min(s->failText.size(), size_t(len) - 1);
      std::memcpy(text, s->failText.data(), n);
      text[n] = '\0';
    }
    if (failures) *failures = s->failures;
    return s->fatal ? -1 : 0;
  });
}

}  // extern "C"
