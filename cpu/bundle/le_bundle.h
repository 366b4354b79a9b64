// The bundle's manifest, member names, exact-size readers and drive tables.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/le_files.h"
#include "le/le.h"  // LE_API

namespace le {

// Unsharp-mask settings of the paste compositor.
struct Unsharp {
  float amount;
  float sigma;
  int ksize;
};

struct LE_API Manifest {
  std::string dir;  // resolved bundle directory (an IMX container is unwrapped first)
  std::string agent;
  int NT = 0;
  int H = 0;
  int W = 0;
  int M_src_w = 0;
  int M_src_h = 0;
  int crop = 512;
  float amount = 1.3f;
  float sigma = 2.0f;
  int ksize = 13;
  int frames = 0;
  std::string lipTemplate;  // text of lip_template.v1.json, empty when absent

  Unsharp unsharp() const { return {amount, sigma, ksize}; }
  // The render model member "model_" + key + ".onnx", older or newer name.
  std::string modelPath(const std::string& key) const;
};

// Driver-track tables: frames rows of 63 floats each, and a source index per row.
struct Drive {
  std::vector<float> xs;
  std::vector<float> xd;
  std::vector<int32_t> si;
  int frames = 0;
};

LE_API Manifest loadManifest(const std::string& path);
LE_API Drive loadDrive(const Manifest& m);

// Maps an older member name to the file to open (see the name table in
// le_bundle.cpp); falls back to the older name so errors name it. Refuses an
// absolute name or one with a ".." component. A member may be a symbolic link
// to a file elsewhere (bundles share large models that way).
std::string resolveMember(const std::string& dir, const std::string& name);

// The corpus keypoints of a bundle or motion directory (its xs_target.bin
// member): exactly nt rows of kKpFloats, or every whole row the file holds
// when nt < 0. Throws as le::readFloats does.
std::vector<float> readCorpusKeypoints(const std::string& dir, int nt);

namespace manifest_key {

struct KeyHit {
  uint64_t pos;  // first non-blank byte after the colon
  int depth;     // 1 for keys of the root object
  bool scalar;   // the value is neither an object nor an array
};

// Every occurrence of "key": in the text, in text order.
std::vector<KeyHit> keyHits(std::string_view text, std::string_view key);
// Value position of the one scalar occurrence that counts, -1 when the key is
// missing; throws when the choice would be ambiguous.
int64_t scalarValuePos(std::string_view text, std::string_view key);
// A string value that starts right at the value position, if any.
std::optional<std::string> optionalString(std::string_view text, std::string_view key);

}  // namespace manifest_key

// A read-only private mapping of a file of exactly the expected size.
class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(const std::string& path, uint64_t bytes);
  ~MappedFile();
  MappedFile(MappedFile&& o) noexcept;
  MappedFile& operator=(MappedFile&& o) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const uint8_t* data() const { return static_cast<const uint8_t*>(addr_); }
  uint64_t size() const { return size_; }
  template <class T>
  const T* as() const {
    return static_cast<const T*>(addr_);
  }

 private:
  void release();
  void* addr_ = nullptr;
  uint64_t size_ = 0;
};

// The frames of a video-coded warp prior. Decoding video is a higher layer's
// business, so an Identity is handed an opener for them.
class PriorFrames {
 public:
  virtual ~PriorFrames() = default;
  // Frame t (crop x crop x 3 halves), valid until the next call.
  virtual const uint8_t* frame(int t) = 0;
  virtual std::string name() const = 0;
  virtual uint64_t residentBytes() const = 0;
  virtual uint64_t seeks() const = 0;
};

// Opens the bundle's video-coded prior; failing, it throws.
using PriorOpener = std::function<std::unique_ptr<PriorFrames>(const Manifest&)>;

// Refuses a bundle whose warp prior cannot be found (checks only).
void ensureIdentityMembers(const Manifest& m);

// Per-bundle source data: mapped features and warp prior, paste transforms.
// The warp prior comes from the mapped P.f16, is replaced by fs_red.f16, or
// is played from the bundle's video-coded prior, opened by openPrior on first use.
class LE_API Identity {
 public:
  // Plays a video-coded prior through the driver's prior cursor; defined with
  // the driver, which the bundle layer does not reach.
  explicit Identity(const Manifest& m);
  Identity(const Manifest& m, PriorOpener openPrior);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  // No range checks: t in [0, NT).
  const uint16_t* pooled64(int t) const {
    return pooled64_.as<uint16_t>() + size_t(t) * kPooledValues;
  }
  // From the played prior, valid until its next frame (on any thread).
  const uint16_t* P(int t);
  // Hands use() prior frame t while no other thread can move the played
  // prior on: the way for several threads (renderers, the paste) to share it.
  template <typename Use>
  void withP(int t, Use&& use) {
    if (hasP()) return use(P(t));
    std::lock_guard<std::mutex> lk(priorMu_);
    use(P(t));
  }
  const uint16_t* fsRed(int t) const { return fsRed_.as<uint16_t>() + size_t(t) * kFsRedValues; }
  const float* M(int t) const { return M_.data() + size_t(t) * 6; }
  // Keeps a video-coded prior decoding along the caller's path.
  void walkP(int t);
  // The played prior, opened on the first call.
  PriorFrames& prior();
  std::string priorBackend();
  uint64_t priorResidentBytes() const;
  uint64_t priorSeeks() const;
  // Paste space -> frame space.
  void rescaleM(const Manifest& m);

  bool hasP() const { return P_.data() != nullptr; }
  bool hasFsRed() const { return fsRed_.data() != nullptr; }
  const std::string& priorPath() const { return priorPath_; }

  static constexpr size_t kPooledValues = 65536;
  static constexpr size_t kFsRedValues = 262144;

  const int NT;
  const int crop;

 private:
  MappedFile pooled64_;
  MappedFile P_;
  MappedFile fsRed_;
  std::vector<float> M_;
  std::string priorPath_;
  Manifest manifest_;
  PriorOpener openPrior_;
  std::once_flag priorOnce_;
  std::mutex priorMu_;  // serialises the played prior's readers (withP, walkP)
  std::unique_ptr<PriorFrames> prior_;
  std::atomic<PriorFrames*> priorOpened_{nullptr};
};

}  // namespace le
