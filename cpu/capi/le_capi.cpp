#include "capi/le_capi.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "base/le_guard.h"
#include "base/le_log.h"
#include "bundle/le_imx.h"

#include "compute/le_pool.h"

namespace le {
namespace capi {

std::string& lastError() {
  thread_local std::string error;
  return error;
}

}  // namespace capi
}  // namespace le

using le::capi::guard;
using le::capi::guardWith;
using le::capi::lastError;

extern "C" {

le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  lastError().clear();
  return guard(lastError(), "le_create", nullptr, [&]() -> le_ctx* {
    if (!bundle_dir || !model_key) {
      lastError() = "le_create: NULL bundle_dir/model_key";
      return nullptr;
    }
    std::string provider = ep ? ep : "";
    if (threads < 1) threads = le::pool::threads();
    return new le_ctx(bundle_dir, model_key, threads, std::move(provider));
  });
}

void le_destroy(le_ctx* ctx) {
  delete ctx;
}

const char* le_last_error(void) {
  return lastError().c_str();
}

int le_host_kp_rows(void) {
  return le::kHostKpRows;
}

const char* le_version(void) {
  return LE_VERSION;
}

void le_set_log_callback(le_log_fn fn, void* user) {
  le::setLogSink(fn, user);
}

int le_nt(const le_ctx* ctx) {
  return ctx ? ctx->manifest.NT : 0;
}
int le_width(const le_ctx* ctx) {
  return ctx ? ctx->manifest.W : 0;
}
int le_height(const le_ctx* ctx) {
  return ctx ? ctx->manifest.H : 0;
}
int le_crop(const le_ctx* ctx) {
  return ctx ? ctx->manifest.crop : 0;
}
int le_drive_frames(const le_ctx* ctx) {
  return ctx ? ctx->drive.frames : 0;
}

// Copies text with its terminator into out[cap]; false (out emptied) when it does not fit.
static bool copyOut(const std::string& text, char* out, size_t cap) {
  if (cap < text.size() + 1) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

int le_bundle_resolve_handle(const char* handle, char* out, size_t cap) {
  lastError().clear();
  if (!out || !handle || cap == 0) return -1;
  auto failed = [&](const std::exception* e) {
    out[0] = '\0';
    lastError() = le::capi::failureText("le_bundle_resolve_handle", e);
  };
  return guardWith(-1, failed, [&] {
    if (copyOut(le::resolveBundlePath(handle), out, cap)) return 1;
    lastError() = "le_bundle_resolve_handle: buffer too small";
    return -1;
  });
}

int le_bundle_resolve_member(const char* handle, const char* member, char* out, size_t cap) {
  // Leaves the last error alone unless resolving the bundle itself fails.
  if (!handle || !member || !out || cap == 0) return -1;
  auto failed = [&](const std::exception* e) {
    out[0] = '\0';
    if (e) lastError() = le::capi::failureText("le_bundle_resolve_member", e);
  };
  return guardWith(-1, failed, [&] {
    const std::string path = le::resolveMember(le::resolveBundlePath(handle), member);
    if (!copyOut(path, out, cap)) return -1;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    std::fclose(f);
    return 1;
  });
}

le_prior* le_prior_open(const char* bundle_dir, int look_ahead, int history) {
  lastError().clear();
  return guard(lastError(), "le_prior_open", nullptr, [&]() -> le_prior* {
    if (!bundle_dir) {
      lastError() = "le_prior_open: NULL bundle_dir";
      return nullptr;
    }
    if (history < 0) history = 0;
    if (look_ahead < 1) look_ahead = 2;
    auto p = std::make_unique<le_prior>();
    p->manifest = le::loadManifest(bundle_dir);
    p->cursor = le::DriverCursor::openPrior(p->manifest, look_ahead, history);
    p->backend = p->cursor->name;
    return p.release();
  });
}

int le_prior_row(le_prior* prior, int t, void* out, size_t cap) {
  lastError().clear();
  return guard(lastError(), "le_prior_row", 0, [&] {
    if (!prior || !out) {
      lastError() = "le_prior_row: NULL prior/out";
      return 0;
    }
    const uint64_t bytes = prior->cursor->frameBytes;
    if (uint64_t(cap) < bytes) {
      lastError() =
          "le_prior_row: cap " + std::to_string(cap) + " < row bytes " + std::to_string(bytes);
      return 0;
    }
    prior->cursor->pullAt(t, static_cast<uint8_t*>(out));
    return 1;
  });
}

size_t le_prior_row_bytes(const le_prior* prior) {
  return prior ? size_t(prior->cursor->frameBytes) : 0;
}

const char* le_prior_backend(const le_prior* prior) {
  return prior ? prior->backend.c_str() : "";
}

void le_prior_close(le_prior* prior) {
  if (!prior) return;
  prior->backend.clear();
  prior->cursor.reset();
  delete prior;
}

// ---- Render and paste ----

const float* le_render_kp_crop(le_ctx* ctx, int t, const float* kp_source, const float* kp_driven) {
  lastError().clear();
  return guard(lastError(), "le_render_kp_crop", nullptr, [&]() -> const float* {
    if (!ctx || !kp_source || !kp_driven || t < 0 || t >= ctx->manifest.NT) {
      lastError() = "le_render_kp_crop: bad args";
      return nullptr;
    }
    const float* crop = ctx->renderer->render(&t, kp_source, kp_driven, 1);
    ctx->last = const_cast<float*>(crop);
    return crop;
  });
}

const float* le_render_drive_crop(le_ctx* ctx, int i) {
  lastError().clear();
  return guard(lastError(), "le_render_drive_crop", nullptr, [&]() -> const float* {
    if (!ctx || i < 0 || i >= ctx->drive.frames) {
      lastError() = "le_render_drive_crop: bad frame index";
      return nullptr;
    }
    const size_t row = size_t(i) * 63;
    return le_render_kp_crop(ctx, ctx->drive.si[size_t(i)], ctx->drive.xs.data() + row,
                             ctx->drive.xd.data() + row);
  });
}

int le_paste_crop(le_ctx* ctx, int t, const float* crop, uint8_t* out, uint64_t cap) {
  lastError().clear();
  return guard(lastError(), "le_paste_crop", 0, [&] {
    if (!ctx || !crop || !out || t < 0 || t >= ctx->manifest.NT ||
        cap < uint64_t(ctx->frame.size())) {
      lastError() = "le_paste_crop: bad args / out too small";
      return 0;
    }
    ctx->cursor->pullAt(t, out);
    ctx->paste->composite(crop, 255.f, ctx->identity.M(t), out, ctx->manifest.W, ctx->manifest.H);
    return 1;
  });
}

const uint8_t* le_paste_last(le_ctx* ctx, int t) {
  lastError().clear();
  return guard(lastError(), "le_paste_last", nullptr, [&]() -> const uint8_t* {
    if (!ctx || !ctx->last || t < 0 || t >= ctx->manifest.NT) {
      lastError() = "le_paste_last: bad args / no prior render";
      return nullptr;
    }
    ctx->cursor->pullAt(t, ctx->frame.data());
    ctx->paste->composite(ctx->last, 255.f, ctx->identity.M(t), ctx->frame.data(), ctx->manifest.W,
                          ctx->manifest.H);
    return ctx->frame.data();
  });
}

namespace {

// Pastes the last crop for source frame t and expands it to RGBA.
int pasteToRgba(le_ctx* ctx, int t, uint8_t* out, uint64_t cap) {
  const uint64_t pixels = uint64_t(ctx->manifest.W) * uint64_t(ctx->manifest.H);
  if (!out || cap < pixels * 4) {
    lastError() = "le_render_*_rgba: out buffer too small";
    return 0;
  }
  const uint8_t* rgb = le_paste_last(ctx, t);
  if (!rgb) return 0;
  for (uint64_t p = 0; p < pixels; ++p) {
    out[4 * p + 0] = rgb[3 * p + 0];
    out[4 * p + 1] = rgb[3 * p + 1];
    out[4 * p + 2] = rgb[3 * p + 2];
    out[4 * p + 3] = 255;
  }
  return 1;
}

}  // namespace

int le_render_kp_rgba(le_ctx* ctx, int t, const float* kp_source, const float* kp_driven,
                      uint8_t* out, uint64_t cap) {
  if (!ctx) {
    lastError().clear();
    return 0;
  }
  return guard(lastError(), "le_render_kp_rgba", 0, [&] {
    if (!le_render_kp_crop(ctx, t, kp_source, kp_driven)) return 0;
    return pasteToRgba(ctx, t, out, cap);
  });
}

int le_render_drive_rgba(le_ctx* ctx, int i, uint8_t* out, uint64_t cap) {
  if (!ctx) {
    lastError().clear();
    return 0;
  }
  return guard(lastError(), "le_render_drive_rgba", 0, [&] {
    if (!le_render_drive_crop(ctx, i)) return 0;
    return pasteToRgba(ctx, ctx->drive.si[size_t(i)], out, cap);
  });
}

const uint8_t* le_target_frame(le_ctx* ctx, int t) {
  lastError().clear();
  return guard(lastError(), "le_target_frame", nullptr, [&]() -> const uint8_t* {
    if (!ctx || t < 0 || t >= ctx->manifest.NT) {
      lastError() = "le_target_frame: bad args";
      return nullptr;
    }
    int idx = -1;
    return ctx->cursor->pullAt(t, idx);
  });
}

}  // extern "C"
