// The motion generator's C interface. Most entry points empty the last error
// first, so it describes the latest call.
#include <string>

#include "audio/le_motion_generator.h"
#include "base/le_guard.h"
#include "le/le.h"

using le::motionError;
using le::capi::guard;

extern "C" {

le_motion* le_motion_create(const char* motion_dir, int threads, const char* ep) {
  motionError().clear();
  return guard(motionError(), "le_motion_create", nullptr, [&]() -> le_motion* {
    if (!motion_dir) {
      motionError() = "le_motion_create: NULL motion_dir";
      return nullptr;
    }
    return new le_motion(motion_dir, threads, ep ? ep : "");
  });
}

void le_motion_destroy(le_motion* m) {
  delete m;
}

const char* le_motion_last_error(void) {
  return motionError().c_str();
}

int le_motion_push(le_motion* m, const float* samples, int count) {
  motionError().clear();
  return guard(motionError(), "le_motion_push", 0, [&] {
    if (!m || !samples || count < 0 || m->finished) {
      motionError() = "le_motion_push: bad args / already finished";
      return 0;
    }
    m->audio.insert(m->audio.end(), samples, samples + count);
    return 1;
  });
}

void le_motion_finish(le_motion* m) {
  if (!m) return;
  guard(motionError(), "le_motion_finish", [&] { m->finish(); });
}

int le_motion_total(le_motion* m) {
  return m && m->finished ? int(m->total) : -1;
}

int le_motion_avail(le_motion* m) {
  motionError().clear();
  return guard(motionError(), "le_motion_avail", 0, [&] {
    if (!m) {
      motionError() = "le_motion_avail: NULL generator";
      return 0;
    }
    return int(m->available());
  });
}

int le_motion_pull(le_motion* m, int* corpus_index, float* base_kp, float* driven_kp,
                   int max_frames) {
  // A failure still reports the frames that left before it.
  int written = 0;
  motionError().clear();
  guard(motionError(), "le_motion_pull", [&] {
    if (!m || !base_kp || !driven_kp || max_frames < 1) {
      motionError() = "le_motion_pull: bad args";
      return;
    }
    m->pull(corpus_index, base_kp, driven_kp, max_frames, written);
  });
  return written;
}

void le_motion_reset(le_motion* m, int start, int direction, int loop) {
  if (m) m->reset(start, direction, loop);
}

void le_motion_set_eager(le_motion* m, int eager) {
  if (m) m->eager = eager;
}

int le_motion_nt(const le_motion* m) {
  return m ? m->NT : 0;
}

}  // extern "C"
