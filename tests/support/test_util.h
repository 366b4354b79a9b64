// Small helpers shared by the test programs: scratch directories, files and
// a minimal valid bundle.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_video.h"

namespace le_test {

// The message of the runtime error f throws, or "<no error>".
inline std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no error>";
}

inline void removeAll(const std::string& p) {
  std::string cmd = "rm -rf '" + p + "'";
  if (std::system(cmd.c_str()) != 0) std::perror("rm -rf");
}

// Where tests make their scratch files: $LE_TEST_TMP, else the build tree's
// folder for them, else /tmp.
inline std::string scratchRoot() {
  const char* env = std::getenv("LE_TEST_TMP");
  if (env && *env) return env;
#ifdef LE_TEST_TMP_DIR
  return LE_TEST_TMP_DIR;
#else
  return "/tmp";
#endif
}

// A fresh directory removed again when the object goes out of scope.
class TempDir {
 public:
  TempDir() {
    const std::string root = scratchRoot();
    std::string mk = "mkdir -p '" + root + "'";
    if (std::system(mk.c_str()) != 0) std::perror("mkdir");
    std::string tmpl = root + "/le-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    path_ = mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
  }
  ~TempDir() {
    if (!path_.empty()) removeAll(path_);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void makeDirs(const std::string& path) {
  std::string cmd = "mkdir -p '" + path + "'";
  if (std::system(cmd.c_str()) != 0) std::perror("mkdir -p");
}

inline void writeFile(const std::string& path, const void* data, size_t n) {
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) makeDirs(path.substr(0, slash));
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char*>(data), std::streamsize(n));
}

inline void writeFile(const std::string& path, const std::string& text) {
  writeFile(path, text.data(), text.size());
}

template <class T>
void writeVector(const std::string& path, const std::vector<T>& v) {
  writeFile(path, v.data(), v.size() * sizeof(T));
}

inline std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline bool fileExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Manifest text of a small valid bundle; `extra` is spliced into the root object.
inline std::string manifestText(int nt = 4, int w = 64, int h = 48, int frames = 3,
                                const std::string& extra = "", int crop = 32) {
  return "{\n  \"format\": \"le-bundle-v0\",\n  \"agent\": \"test\",\n  \"NT\": " +
         std::to_string(nt) + ",\n  \"H\": " + std::to_string(h) +
         ",\n  \"W\": " + std::to_string(w) +
         ",\n  \"crop\": " + std::to_string(crop) + ",\n  \"amount\": 1.5,\n  \"sigma\": 2.5,\n  \"ksize\": 9,\n"
         "  \"frames\": " +
         std::to_string(frames) + ",\n  \"M_src_w\": " + std::to_string(w) +
         ",\n  \"M_src_h\": " + std::to_string(h) + extra + "\n}\n";
}

// Writes the manifest and drive tables of a small valid bundle into dir.
inline void writeSpineBundle(const std::string& dir, int nt = 4, int frames = 3, int crop = 32) {
  writeFile(dir + "/manifest.json", manifestText(nt, 64, 48, frames, "", crop));
  std::vector<float> xs(size_t(frames) * 63), xd(size_t(frames) * 63);
  for (size_t i = 0; i < xs.size(); ++i) {
    xs[i] = float(i) * 0.25f;
    xd[i] = -float(i);
  }
  std::vector<int32_t> si(static_cast<size_t>(frames));
  for (int i = 0; i < frames; ++i) si[size_t(i)] = i % nt;
  writeVector(dir + "/drive/xs.f32", xs);
  writeVector(dir + "/drive/xd.f32", xd);
  writeVector(dir + "/drive/si.i32", si);
}

// A recognisable driver frame: frame t is a gradient shifted by t with a
// bright square at x = 4t.
inline std::vector<uint8_t> driverFrame(int t, int w, int h) {
  std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &rgb[(size_t(y) * size_t(w) + size_t(x)) * 3];
      const bool square = x >= (4 * t) % w && x < (4 * t) % w + 8 && y >= 8 && y < 16;
      p[0] = square ? 250 : uint8_t((x * 3 + t * 7) & 0xff);
      p[1] = square ? 250 : uint8_t((y * 5) & 0xff);
      p[2] = square ? 250 : uint8_t(128 + t);
    }
  return rgb;
}

inline void writeJpgFrames(const std::string& dir, int nt, int w, int h) {
  makeDirs(dir);
  for (int t = 0; t < nt; ++t) {
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", t);
    auto rgb = driverFrame(t, w, h);
    writeJpg(dir + name, rgb.data(), w, h);
  }
}

#ifdef LE_TEST_MODELS
inline void copyFile(const std::string& from, const std::string& to) {
  const std::string bytes = readFile(from);
  writeFile(to, bytes.data(), bytes.size());
}
#endif

// A complete small bundle as a context opens it: manifest (64x48 frames,
// crop 64 to match the generated render models), drive tables, pooled
// features, P.f16, M.f32, a feathered paste mask, a JPEG driver and, when
// the test has them, the render models model_b1.onnx and model_b4.onnx.
inline void writeBundle(const std::string& dir, int nt = 4, int frames = 3) {
  const size_t crop = 64;
  writeSpineBundle(dir, nt, frames, int(crop));
  std::vector<uint16_t> pooled(size_t(nt) * 65536);
  for (size_t i = 0; i < pooled.size(); ++i) pooled[i] = uint16_t(0x3c00 + (i % 7));
  writeVector(dir + "/pooled64.f16", pooled);
  std::vector<uint16_t> p(size_t(nt) * crop * crop * 3);
  for (size_t i = 0; i < p.size(); ++i) p[i] = uint16_t(0x3800 + (i % 13));
  writeVector(dir + "/P.f16", p);
  std::vector<float> m(size_t(nt) * 6);
  for (int t = 0; t < nt; ++t) {
    const float row[6] = {1.f, 0.f, float(8 + t), 0.f, 1.f, 8.f};
    for (int k = 0; k < 6; ++k) m[size_t(t) * 6 + size_t(k)] = row[k];
  }
  writeVector(dir + "/M.f32", m);
  writeJpgFrames(dir + "/target_frames", nt, 64, 48);
  std::vector<uint8_t> mask(crop * crop);
  for (size_t y = 0; y < crop; ++y)
    for (size_t x = 0; x < crop; ++x) {
      const double dx = (double(x) + 0.5) / crop - 0.5, dy = (double(y) + 0.5) / crop - 0.5;
      const double r = std::sqrt(dx * dx + dy * dy);
      mask[y * crop + x] = uint8_t(r < 0.3 ? 255 : r > 0.45 ? 0 : 255 * (0.45 - r) / 0.15);
    }
  writeVector(dir + "/mask_512.u8", mask);
#ifdef LE_TEST_MODELS
  copyFile(std::string(LE_TEST_MODELS) + "/model_b1.onnx", dir + "/model_b1.onnx");
  copyFile(std::string(LE_TEST_MODELS) + "/model_b4.onnx", dir + "/model_b4.onnx");
#endif
}

}  // namespace le_test
