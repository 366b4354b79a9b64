#include "capi/le_capi.h"

#include <cstring>
#include <exception>
#include <new>

#include "bundle/le_imx.h"

#include "compute/le_pool.h"

le_ctx::le_ctx(const char* bundle_dir, const char* model_key, int threads_, std::string ep_)
    : manifest(le::loadManifest(bundle_dir)),
      identity(manifest),
      drive(le::loadDrive(manifest)),
      threads(threads_),
      ep(std::move(ep_)) {
  (void)model_key;  // names the render model once the renderer is built here
  cursor = le::DriverCursor::open(manifest, 2, 11);
  frame.resize(le::checkedBytes({uint64_t(manifest.W), uint64_t(manifest.H), 3}, "frame buffer"));
}

namespace le {
namespace capi {

std::string& lastError() {
  thread_local std::string error;
  return error;
}

void setError(const char* fn, const std::string& msg) {
  lastError() = std::string(fn) + ": " + msg;
}

}  // namespace capi
}  // namespace le

using le::capi::lastError;
using le::capi::setError;

extern "C" {

le_ctx* le_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  try {
    lastError().clear();
    if (!bundle_dir || !model_key) {
      lastError() = "le_create: NULL bundle_dir/model_key";
      return nullptr;
    }
    std::string provider = ep ? ep : "";
    if (threads < 1) threads = le::pool::threads();
    return new le_ctx(bundle_dir, model_key, threads, std::move(provider));
  } catch (const std::exception& e) {
    setError("le_create", e.what());
  } catch (...) {
    setError("le_create", "unknown error");
  }
  return nullptr;
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

}  // extern "C"
