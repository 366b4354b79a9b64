// The batch stream renderer's C interface: a context, the frame-chunk
// conditioner and the corpus keypoints, driven through streamPipeline.
#include <algorithm>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "base/le_guard.h"
#include "bundle/le_bundle.h"
#include "le/le.h"
#include "session/le_context.h"
#include "session/le_stream.h"

namespace {

std::string& streamError() {
  thread_local std::string error;
  return error;
}

}  // namespace

using le::capi::guard;

struct le_stream {
  le_ctx* ctx = nullptr;
  le_fca* fca = nullptr;
  std::vector<float> corpus;  // NT x 63 from xs_target.bin
  int NT = 0, W = 0, H = 0, crop = 0;
  int skip = 0;
  float gain = 0;
  std::vector<float> slots;
  std::vector<uint8_t> frame;

  ~le_stream() {
    le_fca_destroy(fca);
    le_destroy(ctx);
  }
};

extern "C" {

le_stream* le_stream_create(const char* bundle_dir, const char* audio_model, int threads, int skip,
                            float gain) {
  return guard(streamError(), "le_stream_create", nullptr, [&]() -> le_stream* {
    if (!bundle_dir || !audio_model) {
      streamError() = "le_stream_create: NULL bundle_dir/audio_model";
      return nullptr;
    }
    auto s = std::make_unique<le_stream>();
    s->ctx = le_create(bundle_dir, "render", threads, "");
    if (!s->ctx) {
      streamError() = std::string("le_create: ") + le_last_error();
      return nullptr;
    }
    s->NT = le_nt(s->ctx);
    s->W = le_width(s->ctx);
    s->H = le_height(s->ctx);
    s->crop = le_crop(s->ctx);
    // The context's resolved directory: the same as bundle_dir for a
    // directory, and the unwrapped one for an IMX container.
    const std::string dir = s->ctx->manifest.dir;
    s->fca = le_fca_create(audio_model, (dir + "/fca_stream.onnx").c_str(), threads);
    if (!s->fca) {
      streamError() = std::string("le_fca_create: ") + le_fca_last_error();
      return nullptr;
    }
    try {
      s->corpus = le::readCorpusKeypoints(dir, s->NT);
    } catch (const std::exception&) {
      s->corpus.clear();
    }
    if (s->corpus.empty()) {
      streamError() = "le_stream_create: cannot read xs_target.bin (NT*63 f32)";
      return nullptr;
    }
    // A negative skip would read deltas before the clip's first frame.
    s->skip = std::max(skip, 0);
    s->gain = gain;
    s->frame.resize(size_t(s->W) * size_t(s->H) * 3);
    return s.release();
  });
}

int le_stream_run(le_stream* s, const float* samples, int count, le_stream_frame_fn on_frame,
                  void* user) {
  return guard(streamError(), "le_stream_run", -1, [&] {
    if (!s) {
      streamError() = "le_stream_run: NULL stream";
      return -1;
    }
    const int T = count < 1 ? 0 : int((int64_t(count) + 639) / 640);
    std::vector<float> deltas(size_t(T) * 63);
    const int got = le_fca_deltas(s->fca, samples, count, deltas.data(), T);
    if (got != T) {
      streamError() = std::string("le_fca_deltas: ") + le_fca_last_error();
      return -1;
    }
    if (T - s->skip < 1) return 0;
    const le::StreamPlan plan =
        le::streamPlan(s->corpus, s->NT, deltas.data(), T, s->skip, s->gain);
    const size_t cropFloats = size_t(s->crop) * size_t(s->crop) * 3;
    const int r = le::streamPipeline(
        plan.frames(), cropFloats, s->slots,
        [&](int k) {
          const size_t row = size_t(k) * 63;
          return le_render_kp_crop(s->ctx, plan.index[size_t(k)], plan.base.data() + row,
                                   plan.driven.data() + row);
        },
        [&](int k, const float* crop) {
          return le_paste_crop(s->ctx, plan.index[size_t(k)], crop, s->frame.data(),
                               uint64_t(s->frame.size())) == 1;
        },
        [&](int k) {
          if (on_frame) on_frame(user, k, s->frame.data(), s->W, s->H);
        });
    if (r < 0) streamError() = "le_stream_run: render/paste failed";
    return r;
  });
}

int le_stream_width(const le_stream* s) {
  return s ? s->W : 0;
}

int le_stream_height(const le_stream* s) {
  return s ? s->H : 0;
}

void le_stream_destroy(le_stream* s) {
  delete s;
}

const char* le_stream_last_error(void) {
  return streamError().c_str();
}

}  // extern "C"
