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
    return s->readiness(&uttError());
  });
}

int le_utt_push_audio(le_utt* s, const int16_t* samples, int count) {
  return guard(uttError(), "le_utt_push_audio", 0, [&] {
    if (!s || !samples || count < 0) {
      uttError() = "le_utt_push_audio: bad args";
      return 0;
    }
    return s->pushAudio(samples, count, &uttError()) ? 1 : 0;
  });
}

void le_utt_end_utterance(le_utt* s) {
  if (!s) return;
  guard(uttError(), "le_utt_end_utterance", [&] { s->endUtterance(); });
}

void le_utt_interrupt(le_utt* s) {
  if (!s) return;
  guard(uttError(), "le_utt_interrupt", [&] { s->interrupt(); });
}

int64_t le_utt_held_audio(le_utt* s) {
  if (!s) return 0;
  return guard(uttError(), "le_utt_held_audio", int64_t(0), [&] { return s->heldAudio(); });
}

int le_utt_frames_available(le_utt* s) {
  if (!s) return 0;
  return guard(uttError(), "le_utt_frames_available", 0, [&] { return s->framesAvailable(); });
}

namespace {
int pull(le_utt* s, uint8_t* dst, uint64_t cap, le_utt_frame_info* info, int64_t* audio_at,
         int16_t* voice) {
  return guard(uttError(), "le_utt_pull_frame", 0, [&] {
    if (!s || (!dst && cap != 0)) {
      uttError() = "le_utt_pull_frame: bad args";
      return 0;
    }
    switch (s->pull(dst, cap, info, audio_at, voice)) {
      case Pulled::Frame:
        return 1;
      case Pulled::TooSmall:
        uttError() = "le_utt_pull_frame: buffer too small";
        return 0;
      case Pulled::None:
        break;
    }
    return 0;
  });
}
}  // namespace

int le_utt_pull_frame(le_utt* s, uint8_t* dst, uint64_t cap, le_utt_frame_info* info) {
  if (!dst) {
    uttError() = "le_utt_pull_frame: bad args";
    return 0;
  }
  return pull(s, dst, cap, info, nullptr, nullptr);
}

int le_utt_pull_frame_at(le_utt* s, uint8_t* dst, uint64_t cap, le_utt_frame_info* info,
                         int64_t* audio_at) {
  return pull(s, dst, cap, info, audio_at, nullptr);
}

int le_utt_pull_frame_voice(le_utt* s, uint8_t* dst, uint64_t cap, le_utt_frame_info* info,
                            int64_t* audio_at, int16_t* voice) {
  return pull(s, dst, cap, info, audio_at, voice);
}

int le_utt_peek_frame(le_utt* s, le_utt_frame_info* info, int64_t* audio_at) {
  if (!s) return 0;
  return guard(uttError(), "le_utt_peek_frame", 0, [&] { return s->peek(info, audio_at) ? 1 : 0; });
}

void le_utt_get_stats(le_utt* s, le_utt_stats* stats) {
  if (!s || !stats) return;
  guard(uttError(), "le_utt_get_stats", [&] { *stats = s->statsNow(); });
}

int le_utt_render_status(le_utt* s, char* text, int len, int64_t* failures) {
  if (text && len > 0) text[0] = '\0';
  if (failures) *failures = 0;
  if (!s) return 0;
  return guard(uttError(), "le_utt_render_status", 0, [&] {
    std::string last;
    int64_t count = 0;
    const bool fatal = s->renderStatus(&last, &count);
    le::capi::copyMessage(text, len, last);
    if (failures) *failures = count;
    return fatal ? -1 : 0;
  });
}

}  // extern "C"
