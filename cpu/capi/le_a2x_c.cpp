// The streaming audio-to-expression family's C interface. The last error is
// kept until the next failure.
#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>

#include "audio/le_a2x.h"
#include "audio/le_frontend.h"
#include "base/le_guard.h"
#include "compute/le_pool.h"
#include "le/le.h"

using le::a2xError;
using le::capi::guard;

extern "C" {

le_a2x* le_a2x_create(const char* bundle_dir, int threads) {
  // A refusal's text is already the whole message.
  auto report = [](const std::exception* e) {
    a2xError() = dynamic_cast<const le::Refusal*>(e) ? std::string(e->what())
                                                     : le::capi::failureText("le_a2x_create", e);
  };
  return le::capi::guardWith(nullptr, report, [&]() -> le_a2x* {
    if (!bundle_dir) throw le::Refusal("le_a2x_create: NULL bundle path");
    return le::a2x::create(bundle_dir, threads);
  });
}

void le_a2x_destroy(le_a2x* s) {
  le::a2x::destroy(s);
}

const char* le_a2x_last_error(void) {
  return a2xError().c_str();
}

int le_a2x_preload_w2v(const char* path) {
  return guard(a2xError(), "le_a2x_preload_w2v", 0, [&] {
    std::string p = path ? path : "";
    if (p.empty()) {
      const char* env = le::legacyModelPath();
      if (!env) {
        a2xError() = "le_a2x_preload_w2v: no path and $W2V_ONNX unset";
        return 0;
      }
      p = env;
    }
    return le::AudioFrontends::process().legacy(p, le::pool::threads()) ? 1 : 0;
  });
}

int le_a2x_push(le_a2x* s, const float* samples, int count) {
  return guard(a2xError(), "le_a2x_push", 0, [&] {
    if (!s) {
      a2xError() = "le_a2x_push: NULL stream";
      return 0;
    }
    if (count <= 0 || !samples) return 1;
    le::a2x::push(*s, samples, count);
    return 1;
  });
}

void le_a2x_finish(le_a2x* s) {
  if (s) le::a2x::finish(*s);
}

int le_a2x_total(le_a2x* s) {
  return s ? le::a2x::total(*s) : -1;
}

int le_a2x_avail(le_a2x* s) {
  if (!s) return 0;
  return guard(a2xError(), "le_a2x_avail", 0, [&] { return le::a2x::avail(*s); });
}

int le_a2x_pull(le_a2x* s, int* corpus_index, float* base_kp, float* driven_kp, int max_frames) {
  if (!s) return 0;
  return guard(a2xError(), "le_a2x_pull", 0, [&] {
    return le::a2x::pull(*s, corpus_index, base_kp, driven_kp, nullptr, max_frames);
  });
}

int le_a2x_pull_wn(le_a2x* s, int* corpus_index, float* base_kp, float* driven_kp, float* width,
                   int max_frames) {
  if (!s) return 0;
  return guard(a2xError(), "le_a2x_pull_wn", 0, [&] {
    return le::a2x::pull(*s, corpus_index, base_kp, driven_kp, width, max_frames);
  });
}

void le_a2x_reset(le_a2x* s, int start, int direction, int loop) {
  if (!s) return;
  guard(a2xError(), "le_a2x_reset", [&] { le::a2xReset(s, start, direction, loop); });
}

void le_a2x_set_eager(le_a2x* s, int eager) {
  if (s) le::a2x::setEager(*s, eager);
}

int le_a2x_nt(const le_a2x* s) {
  return s ? le::a2x::corpusFrames(*s) : 0;
}

int le_a2x_width(const le_a2x* s) {
  return s && le::a2x::hasWidth(*s) ? 1 : 0;
}

int le_a2x_deltas(le_a2x* s, const float* samples, int count, float* deltas, int max_frames) {
  if (count < 1) return 0;
  return guard(a2xError(), "le_a2x_deltas", -1, [&] {
    if (!s || !samples || !deltas) throw std::runtime_error("NULL stream, samples or deltas");
    return le::a2x::deltas(*s, samples, count, deltas, nullptr, max_frames);
  });
}

int le_a2x_deltas_wn(le_a2x* s, const float* samples, int count, float* deltas, float* width,
                     int max_frames) {
  return guard(a2xError(), "le_a2x_deltas_wn", -1, [&] {
    if (!s) {
      a2xError() = "le_a2x_deltas_wn: NULL stream";
      return -1;
    }
    if (!le::a2x::hasWidth(*s)) {
      a2xError() = "le_a2x_deltas_wn: encoder declares no wn output";
      return -3;
    }
    if (count < 1) return 0;
    return guard(a2xError(), "le_a2x_deltas", -1, [&] {
      if (!samples || !deltas) throw std::runtime_error("NULL stream, samples or deltas");
      return le::a2x::deltas(*s, samples, count, deltas, width, max_frames);
    });
  });
}

}  // extern "C"
