#include "session/le_context.h"

#include <cstdio>
#include <stdexcept>

namespace {

// crop x crop bytes from the start of the paste mask member; more is ignored.
std::vector<uint8_t> readPasteMask(const le::Manifest& m) {
  const size_t n = size_t(m.crop) * size_t(m.crop);
  std::vector<uint8_t> mask(n, 0);
  FILE* f = std::fopen(le::resolveMember(m.dir, "mask_512.u8").c_str(), "rb");
  const bool ok = f && std::fread(mask.data(), 1, n, f) == n;
  if (f) std::fclose(f);
  if (!ok) throw std::runtime_error("mask read failed");
  return mask;
}

}  // namespace

le_ctx::le_ctx(const char* bundle_dir, const char* model_key, int threads_, std::string ep_)
    : manifest(le::loadManifest(bundle_dir)),
      identity(manifest),
      drive(le::loadDrive(manifest)),
      threads(threads_),
      ep(std::move(ep_)) {
  renderer = std::make_unique<le::Renderer>(manifest, identity, model_key, threads, ep);
  paste = std::make_unique<le::Paste>(readPasteMask(manifest), manifest.crop, manifest.unsharp());
  cursor = le::DriverCursor::open(manifest, 2, 11);
  frame.resize(le::checkedBytes({uint64_t(manifest.W), uint64_t(manifest.H), 3}, "frame buffer"));
}
