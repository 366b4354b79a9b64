// The rendering context behind the C handle le_ctx: what a bundle opens into
// (manifest, identity, drive tables, renderer, compositor, driver cursor), and
// the warp-prior reader behind le_prior. Sessions render and paste through it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "driver/le_driver.h"
#include "le/le.h"
#include "paste/le_paste.h"
#include "render/le_renderer.h"

// Members are declared in build order, so a failed construction unwinds the
// members built so far in reverse and destruction runs in the reverse order
// too: frame buffer, cursor, ep, compositor, renderer, drive, identity, manifest.
struct le_ctx {
  le_ctx(const char* bundle_dir, const char* model_key, int threads, std::string ep);

  le::Manifest manifest;
  le::Identity identity;
  le::Drive drive;
  std::unique_ptr<le::Renderer> renderer;
  std::unique_ptr<le::Paste> paste;
  int threads = 0;
  std::string ep;  // execution provider handed to the renderer; empty for none
  std::unique_ptr<le::DriverCursor> cursor;
  std::vector<uint8_t> frame;  // W x H x 3 RGB output buffer
  float* last = nullptr;       // crop of the latest render on this context
};

// A warp-prior reader opened without a rendering context.
struct le_prior {
  le::Manifest manifest;
  std::unique_ptr<le::DriverCursor> cursor;
  std::string backend;
};
