// Fixtures shared by the tessera tests: head checkpoints written by the
// standard Python pickler, and bundles carrying the four teeth members.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_util.h"

namespace tessera_test {

// Directory holding <variant>.pt for every checkpoint variant of
// make_head_pt.py (next to this file), written once per test process.
inline const std::string& headFixtureDir() {
  static std::unique_ptr<le_test::TempDir> dir;
  static std::string path;
  if (!dir) {
    dir = std::make_unique<le_test::TempDir>();
    const std::string here = __FILE__;
    const std::string script = here.substr(0, here.rfind('/')) + "/make_head_pt.py";
    const std::string cmd = "/usr/bin/python3 '" + script + "' '" + dir->path() + "'";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("fixture script failed: " + cmd);
    path = dir->path();
  }
  return path;
}

inline std::vector<uint8_t> headFixture(const std::string& variant) {
  const std::string bytes = le_test::readFile(headFixtureDir() + "/" + variant + ".pt");
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// The stamp every fixture bank is cut with: a 32x24 window on a 64x64
// canvas, band rows [4, 12) and columns [6, 22), pad 4, shift margin 2, so
// the stored patch is 20x12.
inline const std::vector<std::pair<std::string, int>>& stampFields() {
  static const std::vector<std::pair<std::string, int>> k = {
      {"canvas_w", 64}, {"canvas_h", 64}, {"window_x0", 16}, {"window_y0", 24},
      {"window_w", 32}, {"window_h", 24}, {"pad", 4},        {"band_r0", 4},
      {"band_r1", 12},  {"band_c0", 6},   {"band_c1", 22},   {"shift_margin", 2}};
  return k;
}
constexpr int kBandW = 20;
constexpr int kBandH = 12;

// Geometry object text; `changes` replaces values, a key mapped to "" is left out.
inline std::string geometryText(const std::map<std::string, std::string>& changes = {}) {
  std::string s = "{";
  bool first = true;
  for (const auto& [key, value] : stampFields()) {
    std::string v = std::to_string(value);
    auto it = changes.find(key);
    if (it != changes.end()) v = it->second;
    if (v.empty()) continue;
    s += std::string(first ? "" : ", ") + "\"" + key + "\": " + v;
    first = false;
  }
  return s + "}";
}

// Sidecar of a three-donor bank; `changes` replaces top-level values (raw
// JSON), a key mapped to "" is left out.
inline std::string sidecarText(const std::map<std::string, std::string>& changes = {}) {
  std::vector<std::pair<std::string, std::string>> keys = {
      {"format", "\"tessera_bank.v1\""},
      {"n_donors", "3"},
      {"geometry", geometryText()},
      {"track_order", "[2, 0, 1]"},
      {"cent", "[[30.5, 36], [31, 35.25], [29, 37]]"},
      {"aperture", "[0.25, 0.5, 0.75]"},
      {"c_canon", "[30, 36]"},
      {"codec", "{\"codec\": \"h264\", \"pix_fmt\": \"yuv444p\"}"},
  };
  for (const auto& [k, v] : changes) {
    bool found = false;
    for (auto& kv : keys) {
      if (kv.first != k) continue;
      kv.second = v;
      found = true;
    }
    if (!found) keys.push_back({k, v});
  }
  std::string s = "{\n";
  bool first = true;
  for (const auto& [k, v] : keys) {
    if (v.empty()) continue;
    s += std::string(first ? "" : ",\n") + "  \"" + k + "\": " + v;
    first = false;
  }
  return s + "\n}\n";
}

inline std::string headConfigText() {
  return R"({"retrieval": {"kshort": 24, "aperture_tol": 0.35, "cut": 8, "K": 4},
 "temporal": {"hysteresis": 2, "lookahead": 1},
 "decode": {"envelope_clamp_255": 12}})";
}

// A bundle directory with a manifest (its tessera block is `tessera`, raw
// JSON, or none when empty) and the four members under their default names.
struct BundleLayout {
  std::string tessera;
  std::string sidecar = sidecarText();
  std::string headConfig = headConfigText();
  std::string headPt = "not a checkpoint; only its bytes are carried";
  std::string track = "track bytes";
  bool manifest = true;
};

inline void writeBundle(const std::string& dir, const BundleLayout& layout) {
  if (layout.manifest) {
    const std::string extra = layout.tessera.empty() ? "" : ",\n  \"tessera\": " + layout.tessera;
    le_test::writeFile(dir + "/manifest.json", le_test::manifestText(4, 64, 48, 3, extra));
  }
  le_test::writeFile(dir + "/tessera_bank.v1.mp4", layout.track);
  le_test::writeFile(dir + "/tessera_bank.v1.json", layout.sidecar);
  le_test::writeFile(dir + "/tessera_head.v1.pt", layout.headPt);
  le_test::writeFile(dir + "/tessera_head.v1.json", layout.headConfig);
}

}  // namespace tessera_test
