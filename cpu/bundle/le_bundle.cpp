#include "bundle/le_bundle.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>

#include "base/le_env.h"
#include "base/le_log.h"
#include "bundle/le_imx.h"

namespace le {
namespace {

// Largest canvas side and face crop a bundle may declare.
constexpr int kMaxCanvasSide = 16384;
constexpr int kMaxCrop = 4096;

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

// An absolute name, or one with a ".." component.
bool leavesBundle(const std::string& name) {
  if (!name.empty() && name[0] == '/') return true;
  size_t start = 0;
  for (;;) {
    const size_t end = name.find('/', start);
    const size_t len = (end == std::string::npos ? name.size() : end) - start;
    if (len == 2 && name.compare(start, 2, "..") == 0) return true;
    if (end == std::string::npos) return false;
    start = end + 1;
  }
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool startsWith(std::string_view s, std::string_view p) {
  return s.substr(0, p.size()) == p;
}
bool endsWith(std::string_view s, std::string_view p) {
  return s.size() >= p.size() && s.substr(s.size() - p.size()) == p;
}

bool canOpen(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// The sentinel a bundle writer uses for "no value" in aliased number keys.
constexpr double kMissingNumber = -1e300;

// Decimal number at the value position; text that is not a number reads as 0.
double parseNumberAt(std::string_view text, uint64_t pos) {
  while (pos < text.size() && isBlank(text[pos])) ++pos;
  double v = 0;
  const char* b = text.data() + pos;
  auto r = std::from_chars(b, text.data() + text.size(), v, std::chars_format::general);
  return r.ec == std::errc() ? v : 0.0;
}

std::optional<double> numberKey(std::string_view text, const char* key) {
  int64_t pos = manifest_key::scalarValuePos(text, key);
  if (pos < 0) return std::nullopt;
  return parseNumberAt(text, uint64_t(pos));
}

double requiredNumber(std::string_view text, const char* key) {
  auto v = numberKey(text, key);
  if (!v) fail(std::string("manifest: missing key ") + key);
  return *v;
}

// First key, else the second; a value of exactly -1e300 counts as missing.
std::optional<double> aliasedNumber(std::string_view text, const char* key, const char* alias) {
  auto v = numberKey(text, key);
  if (!v || *v == kMissingNumber) v = numberKey(text, alias);
  if (!v || *v == kMissingNumber) return std::nullopt;
  return v;
}

double requiredAliased(std::string_view text, const char* key, const char* alias) {
  auto v = aliasedNumber(text, key, alias);
  if (!v) fail(std::string("manifest: missing key ") + key + "/" + alias);
  return *v;
}

// Integers are the parsed numbers truncated toward zero; one that does not
// fit an int is refused rather than wrapped.
int toInt(double v, const char* key) {
  if (!(v > double(std::numeric_limits<int>::min()) - 1.0 &&
        v < double(std::numeric_limits<int>::max()) + 1.0)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    fail(std::string("manifest: key ") + key + " holds " + buf + ", which does not fit an int");
  }
  return int(v);
}

std::string requiredString(std::string_view text, const char* key) {
  int64_t pos = manifest_key::scalarValuePos(text, key);
  if (pos < 0) fail(std::string("manifest: missing key ") + key);
  // The value must itself be a string: quoted text further on belongs to
  // some other key.
  if (text[size_t(pos)] != '"') fail(std::string("manifest: bad string ") + key);
  size_t close = text.find('"', size_t(pos) + 1);
  if (close == std::string_view::npos) fail(std::string("manifest: bad string ") + key);
  return std::string(text.substr(size_t(pos) + 1, close - size_t(pos) - 1));
}

}  // namespace

// ---------------------------------------------------------------------------
// Key lookup in the manifest text.

namespace manifest_key {

std::vector<KeyHit> keyHits(std::string_view text, std::string_view key) {
  std::vector<KeyHit> hits;
  const size_t n = text.size();
  int depth = 0;
  size_t i = 0;
  while (i < n) {
    char c = text[i];
    if (c == '[' || c == '{') {
      ++depth;
      ++i;
    } else if (c == ']' || c == '}') {
      --depth;
      ++i;
    } else if (c == '"') {
      size_t start = i + 1, j = start;
      while (j < n && text[j] != '"') j += (text[j] == '\\') ? 2 : 1;
      if (j >= n) break;  // unterminated string: nothing after it counts
      std::string_view name = text.substr(start, j - start);
      i = j + 1;
      size_t k = i;
      while (k < n && isBlank(text[k])) ++k;
      if (k < n && text[k] == ':' && name == key) {
        size_t v = k + 1;
        while (v < n && isBlank(text[v])) ++v;
        bool scalar = v < n && text[v] != '[' && text[v] != '{';
        hits.push_back({uint64_t(v), depth, scalar});
      }
    } else {
      ++i;
    }
  }
  return hits;
}

int64_t scalarValuePos(std::string_view text, std::string_view key) {
  std::vector<KeyHit> scalars, top;
  for (const KeyHit& h : keyHits(text, key)) {
    if (!h.scalar) continue;
    scalars.push_back(h);
    if (h.depth == 1) top.push_back(h);
  }
  const std::vector<KeyHit>* listed = nullptr;
  if (top.size() == 1) return int64_t(top[0].pos);
  if (top.size() >= 2) {
    listed = &top;
  } else if (scalars.size() == 1) {
    return int64_t(scalars[0].pos);
  } else if (scalars.size() >= 2) {
    listed = &scalars;
  } else {
    return -1;
  }
  std::string msg = "manifest: key \"" + std::string(key) + "\" is AMBIGUOUS \xE2\x80\x94 " +
                    std::to_string(listed->size()) + " scalar occurrences (";
  for (size_t i = 0; i < listed->size(); ++i) {
    if (i) msg += ", ";
    msg += "byte " + std::to_string((*listed)[i].pos);
  }
  msg +=
      "). A loader that picks one silently installs a number nobody checks. Rename the "
      "colliding key (a nested block must not reuse a name the bundle loader reads: "
      "NT/frame_count, H, W, crop/crop_size, amount, sigma, ksize, frames, "
      "M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the bundle with "
      "the legacy manifest layout.";
  fail(msg);
}

std::optional<std::string> optionalString(std::string_view text, std::string_view key) {
  int64_t pos = scalarValuePos(text, key);
  if (pos < 0 || text[size_t(pos)] != '"') return std::nullopt;
  size_t close = text.find('"', size_t(pos) + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return std::string(text.substr(size_t(pos) + 1, close - size_t(pos) - 1));
}

}  // namespace manifest_key

// ---------------------------------------------------------------------------
// Member names.

std::string resolveMember(const std::string& dir, const std::string& name) {
  // Names come from hosts and manifests too: none may climb out of the bundle.
  if (leavesBundle(name))
    fail("bundle: member \"" + name + "\" leads outside the bundle directory");
  static const struct {
    const char* older;
    const char* newer;
  } kNames[] = {
      {"P.f16", "source_frames.f16"},
      {"P_hevc.mov", "source_frames.hevc"},
      {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
      {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
      {"M.f32", "paste_transform.f32"},
      {"mask_512.u8", "paste_mask.u8"},
      {"pooled64.f16", "pooled_features.f16"},
      {"fs_red.f16", "feature_synth.f16"},
      {"xs_target.bin", "target_keypoints.bin"},
  };
  std::string alt = name;
  bool inTable = false;
  for (const auto& e : kNames) {
    if (name == e.older) {
      alt = e.newer;
      inTable = true;
      break;
    }
  }
  if (!inTable && name.size() > 12 && startsWith(name, "model_b") && endsWith(name, ".onnx")) {
    std::string mid = name.substr(7, name.size() - 7 - 5);
    size_t us = mid.find('_');
    std::string batch = us == std::string::npos ? mid : mid.substr(0, us);
    std::string suffix = us == std::string::npos ? "" : mid.substr(us + 1);
    alt = "render_model.batch" + batch + (suffix.empty() ? "" : "." + suffix) + ".onnx";
  } else if (!inTable && startsWith(name, "drive/")) {
    std::string rest = name.substr(6);
    size_t dot = rest.find('.');
    std::string stem = dot == std::string::npos ? rest : rest.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : rest.substr(dot);
    if (stem == "xs")
      stem = "source_keypoints";
    else if (stem == "xd")
      stem = "driven_keypoints";
    else if (stem == "si")
      stem = "source_index";
    alt = "idle_loop/" + stem + ext;
  }
  const std::string older = dir + "/" + name;
  if (alt == name) return older;
  if (canOpen(older)) return older;
  const std::string newer = dir + "/" + alt;
  if (canOpen(newer)) return newer;
  return older;
}

std::vector<float> readCorpusKeypoints(const std::string& dir, int nt) {
  const std::string path = resolveMember(dir, "xs_target.bin");
  if (nt >= 0) return readRaw<float>(path, uint64_t(nt) * kKpFloats);
  std::vector<float> rows = readFloats(path);
  rows.resize(rows.size() / kKpFloats * kKpFloats);
  return rows;
}

std::string Manifest::modelPath(const std::string& key) const {
  return resolveMember(dir, "model_" + key + ".onnx");
}

// ---------------------------------------------------------------------------
// Readers.

MappedFile::MappedFile(const std::string& path, uint64_t bytes) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("cannot open " + path);
  struct stat st;
  if (::fstat(fd, &st) != 0 || uint64_t(st.st_size) != bytes) {
    ::close(fd);
    fail("size mismatch " + path);
  }
  if (bytes > 0) {
    void* p = ::mmap(nullptr, size_t(bytes), PROT_READ, MAP_PRIVATE, fd, 0);
    if (p == MAP_FAILED) {
      ::close(fd);
      fail("mmap failed " + path);
    }
    addr_ = p;
  }
  size_ = bytes;
  ::close(fd);
}

MappedFile::~MappedFile() {
  release();
}

MappedFile::MappedFile(MappedFile&& o) noexcept : addr_(o.addr_), size_(o.size_) {
  o.addr_ = nullptr;
  o.size_ = 0;
}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
  if (this != &o) {
    release();
    addr_ = o.addr_;
    size_ = o.size_;
    o.addr_ = nullptr;
    o.size_ = 0;
  }
  return *this;
}

void MappedFile::release() {
  if (addr_) ::munmap(addr_, size_t(size_));
  addr_ = nullptr;
  size_ = 0;
}

// ---------------------------------------------------------------------------
// Manifest and drive tables.

Manifest loadManifest(const std::string& path) {
  Manifest m;
  m.dir = resolveBundlePath(path);
  const std::string text = readText(m.dir + "/manifest.json");

  if (requiredString(text, "format") != "le-bundle-v0") fail("not an le-bundle-v0: " + m.dir);
  m.agent = requiredString(text, "agent");

  m.NT = toInt(requiredAliased(text, "NT", "frame_count"), "NT");
  m.H = toInt(requiredNumber(text, "H"), "H");
  m.W = toInt(requiredNumber(text, "W"), "W");
  m.crop = toInt(requiredAliased(text, "crop", "crop_size"), "crop");
  m.amount = float(requiredNumber(text, "amount"));
  m.sigma = float(requiredNumber(text, "sigma"));
  m.ksize = toInt(requiredNumber(text, "ksize"), "ksize");
  m.frames = toInt(requiredNumber(text, "frames"), "frames");
  if (m.NT < 1 || m.H < 1 || m.W < 1 || m.crop < 1) fail("manifest: bad dims");
  // Frames, crops and kernels are allocated from these; a hostile value is
  // refused by name rather than met with an allocation failure later.
  auto atMost = [](const char* key, int v, int limit, const char* what) {
    if (v > limit)
      fail(std::string("manifest: key ") + key + " holds " + std::to_string(v) + ", above " + what +
           " " + std::to_string(limit));
  };
  atMost("W", m.W, kMaxCanvasSide, "the limit");
  atMost("H", m.H, kMaxCanvasSide, "the limit");
  atMost("crop", m.crop, kMaxCrop, "the limit");
  atMost("ksize", m.ksize, m.crop, "the crop");
  if (m.ksize < 1) fail("manifest: key ksize holds " + std::to_string(m.ksize) + ", below 1");
  // A negative count would size the drive tables negatively.
  if (m.frames < 0) fail("manifest: bad frames (must be >= 0)");

  auto sw = aliasedNumber(text, "M_src_w", "paste_source_width");
  auto sh = aliasedNumber(text, "M_src_h", "paste_source_height");
  if (sw && sh) {
    m.M_src_w = toInt(*sw, "M_src_w");
    m.M_src_h = toInt(*sh, "M_src_h");
  } else {
    const char* ok = le::envValue("TAVRIN2_MSRC_MISSING_OK");
    if (ok && std::strcmp(ok, "1") == 0) {
      le::log(LogLevel::Warning, "le",
              "WARNING TAVRIN2_MSRC_MISSING_OK=1: %s/manifest.json carries no "
              "paste-space stamp; ASSUMING M was authored on this %dx%d canvas. If it was "
              "not, the face pastes off-target, and nothing else will report it.",
              m.dir.c_str(), m.W, m.H);
      m.M_src_w = m.W;
      m.M_src_h = m.H;
    } else {
      fail(m.dir +
           "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, aka "
           "paste_source_width/height) \xE2\x80\x94 the canvas is " +
           std::to_string(m.W) + "x" + std::to_string(m.H) +
           ", so M cannot be placed: absence is not evidence that M was authored at that size. "
           "Re-stamp the bundle with the size M was authored on, or set "
           "TAVRIN2_MSRC_MISSING_OK=1 to restore the legacy assumption.");
    }
  }
  if (m.M_src_w < 1 || m.M_src_h < 1)
    fail("manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)");

  const std::string lip = resolveMember(m.dir, "lip_template.v1.json");
  if (canOpen(lip)) m.lipTemplate = readText(lip);
  return m;
}

Drive loadDrive(const Manifest& m) {
  Drive d;
  const uint64_t frames = uint64_t(m.frames < 0 ? 0 : m.frames);
  const uint64_t values = checkedBytes({frames, 63}, "drive tables");
  d.xs = readRaw<float>(resolveMember(m.dir, "drive/xs.f32"), values);
  d.xd = readRaw<float>(resolveMember(m.dir, "drive/xd.f32"), values);
  d.si = readRaw<int32_t>(resolveMember(m.dir, "drive/si.i32"), frames);
  d.frames = m.frames;
  for (int32_t s : d.si)
    if (s < 0 || s >= m.NT) fail("drive: si out of range");
  return d;
}

// ---------------------------------------------------------------------------
// Identity.

namespace {
bool statExists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}
}  // namespace

void ensureIdentityMembers(const Manifest& m) {
  const std::string text = readText(m.dir + "/manifest.json");
  const std::string raw = manifest_key::optionalString(text, "P_rgb").value_or("P.f16");
  const bool haveP = statExists(resolveMember(m.dir, "P.f16"));
  const bool haveFs = statExists(resolveMember(m.dir, "fs_red.f16"));
  if (raw != "P.f16" && statExists(resolveMember(m.dir, raw)) && !haveP && !haveFs)
    fail(
        "this bundle's manifest names its raw warp prior '" + raw +
        "' (P_rgb) but le::Identity maps the welded name P.f16 and would find nothing \xE2\x80\x94 "
        "it maps NOTHING silently and Identity::P(si) is then an offset from a null pointer. "
        "REFUSING rather than rendering off a prior nothing will read.");
  if (haveP || haveFs) return;
  const auto hevc = manifest_key::optionalString(text, "P_hevc");
  if (!hevc)
    fail("this bundle carries neither " + raw +
         " nor fs_red.f16, and its manifest names no P_hevc member to play one from \xE2\x80\x94 "
         "the renderer has no warp prior and le::Identity would hand it a null pointer. "
         "REFUSING to create a session.");
  const std::string resolved = resolveMember(m.dir, *hevc);
  if (!statExists(resolved))
    fail("this bundle's manifest names P_hevc '" + *hevc + "' and the file is not there (" +
         resolved + ") \xE2\x80\x94 the renderer has no warp prior. REFUSING to create a session.");
}

Identity::Identity(const Manifest& m, PriorOpener openPrior)
    : NT(m.NT), crop(m.crop), manifest_(m), openPrior_(std::move(openPrior)) {
  ensureIdentityMembers(m);
  const uint64_t nt = uint64_t(m.NT), c = uint64_t(m.crop);
  pooled64_ = MappedFile(resolveMember(m.dir, "pooled64.f16"),
                         checkedBytes({nt, kPooledValues, 2}, "pooled64.f16"));
  const std::string pPath = resolveMember(m.dir, "P.f16");
  const std::string fsPath = resolveMember(m.dir, "fs_red.f16");
  if (canOpen(pPath)) {
    P_ = MappedFile(pPath, checkedBytes({nt, c, c, 6}, "P.f16"));
  } else if (!canOpen(fsPath)) {
    const std::string text = readText(m.dir + "/manifest.json");
    const std::string name = manifest_key::optionalString(text, "P_hevc").value_or("P_hevc.mov");
    const std::string resolved = resolveMember(m.dir, name);
    if (canOpen(resolved)) priorPath_ = resolved;
  }
  if (canOpen(fsPath))
    fsRed_ = MappedFile(fsPath, checkedBytes({nt, kFsRedValues, 2}, "fs_red.f16"));
  M_ = readRaw<float>(resolveMember(m.dir, "M.f32"), checkedBytes({nt, 6}, "M.f32"));
  rescaleM(m);
}

Identity::~Identity() {
  if (PriorFrames* c = priorOpened_.load())
    le::log(LogLevel::Info, "le-prior", "closed: %ld source seek(s) over the session (%s)",
            long(c->seeks()), c->name().c_str());
  pooled64_ = MappedFile();
  P_ = MappedFile();
  fsRed_ = MappedFile();
  prior_.reset();
}

void Identity::rescaleM(const Manifest& m) {
  if (m.M_src_w < 1 || m.M_src_h < 1)
    fail(
        "le::Identity: manifest carries no paste-space stamp (M_src_w/M_src_h) \xE2\x80\x94 "
        "refusing to paste M without knowing the space it was authored in");
  if (m.M_src_w == m.W && m.M_src_h == m.H) return;
  const double sx = double(m.W) / double(m.M_src_w);
  const double sy = double(m.H) / double(m.M_src_h);
  for (size_t f = 0; f + 6 <= M_.size(); f += 6) {
    for (size_t k = 0; k < 3; ++k) M_[f + k] = float(double(M_[f + k]) * sx);
    for (size_t k = 3; k < 6; ++k) M_[f + k] = float(double(M_[f + k]) * sy);
  }
}

PriorFrames& Identity::prior() {
  std::call_once(priorOnce_, [this] {
    prior_ = openPrior_(manifest_);
    priorOpened_.store(prior_.get());
  });
  return *prior_;
}

const uint16_t* Identity::P(int t) {
  if (hasP()) return P_.as<uint16_t>() + size_t(t) * size_t(crop) * size_t(crop) * 3;
  return reinterpret_cast<const uint16_t*>(prior().frame(t));
}

void Identity::walkP(int t) {
  if (hasP() || priorPath_.empty()) return;
  std::lock_guard<std::mutex> lk(priorMu_);
  prior().frame(t);
}

std::string Identity::priorBackend() {
  if (hasP()) return "mmap P.f16";
  if (!priorPath_.empty()) return prior().name();
  return "none";
}

uint64_t Identity::priorResidentBytes() const {
  PriorFrames* c = priorOpened_.load();
  return c ? c->residentBytes() : 0;
}

uint64_t Identity::priorSeeks() const {
  PriorFrames* c = priorOpened_.load();
  return c ? c->seeks() : 0;
}

}  // namespace le
