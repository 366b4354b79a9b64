#include "tessera/le_bundle_tessera.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "bundle/le_imx.h"
#include "tessera/le_tessera_json.h"

namespace le {
namespace {

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

bool canOpen(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::string numText(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// An already truncated number as an integer text, without converting values
// that do not fit.
std::string intText(double t) {
  if (t > -9.2e18 && t < 9.2e18) return std::to_string(int64_t(t));
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.0f", t);
  return buf;
}

// Integers in the members are numbers truncated toward zero; one that does
// not fit 32 bits (or is not a number at all) is refused, not wrapped.
int32_t toI32(double v, const std::string& what) {
  const double t = std::trunc(v);
  if (!(t >= double(std::numeric_limits<int32_t>::min()) &&
        t <= double(std::numeric_limits<int32_t>::max())))
    fail("teeth: " + what + " = " + numText(v) + " does not fit a 32-bit integer");
  return int32_t(t);
}

}  // namespace

using tessera::json::JVal;

// ---------------------------------------------------------------------------
// Slots and carriage.

namespace {

const char* const kManifestNames[] = {"manifest.json", "meta.json"};

// The first manifest name that opens for reading; empty when neither does.
std::string findManifest(const std::string& dir) {
  for (const char* name : kManifestNames) {
    const std::string p = dir + "/" + name;
    if (canOpen(p)) return p;
  }
  return "";
}

int slotIndex(const std::string& key) {
  const auto& slots = tesseraSlotKeys();
  for (int i = 0; i < int(slots.size()); ++i)
    if (key == slots[size_t(i)].key) return i;
  return -1;
}

TesseraCarriage buildCarriage(const std::string& dir) {
  TesseraCarriage c;
  std::string text;
  const std::string mpath = findManifest(dir);
  if (!mpath.empty()) {
    try {
      text = readText(mpath);
    } catch (const std::runtime_error&) {
      text.clear();
    }
  }
  if (!text.empty()) {
    JVal root;
    bool parsed = true;
    try {
      root = tessera::json::parse(text);
    } catch (const std::runtime_error&) {
      parsed = false;  // an unreadable manifest declares nothing
    }
    const JVal* t = parsed ? root.find("tessera") : nullptr;
    if (t && t->isObject()) {
      c.declared = true;
      const JVal* members = t->find("members");
      if (members && members->isObject()) {
        for (int i = 0; i < tesseraSlotCount(); ++i) {
          const JVal* m = members->find(tesseraSlotKeys()[size_t(i)].key);
          if (m && m->isString() && !m->str.empty()) c.names.at(i) = m->str;
        }
      }
      const JVal* planes = t->find("planes");
      if (planes && planes->isArray())
        for (const JVal& p : planes->arr)
          if (p.isString()) c.planes.push_back(p.str);
    }
  }
  for (int i = 0; i < tesseraSlotCount(); ++i) {
    c.paths[size_t(i)] = resolveMember(dir, c.names.at(i));
    if (!canOpen(c.paths[size_t(i)])) c.missing.push_back(tesseraSlotKeys()[size_t(i)].key);
  }
  c.complete = c.missing.empty();
  return c;
}

// The whole file; any shortfall against its size is refused.
std::string readWhole(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("teeth: cannot open " + path);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    ::close(fd);
    fail("teeth: short read " + path);
  }
  std::string out;
  try {
    out.resize(size_t(st.st_size));
  } catch (...) {
    ::close(fd);
    throw;
  }
  size_t got = 0;
  while (got < out.size()) {
    const ssize_t r = ::read(fd, &out[got], out.size() - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += size_t(r);
  }
  ::close(fd);
  if (got < out.size()) fail("teeth: short read " + path);
  return out;
}

GeometryStamp readStamp(const JVal& g, const std::string& context) {
  GeometryStamp s;
  const auto& keys = GeometryStamp::keys();
  for (int i = 0; i < GeometryStamp::kFields; ++i) {
    const double v = tessera::json::reqNumber(g, keys[size_t(i)], context);
    s.at(i) = toI32(v, context + "." + keys[size_t(i)]);
  }
  return s;
}

bool sameStamp(const GeometryStamp& a, const GeometryStamp& b) {
  for (int i = 0; i < GeometryStamp::kFields; ++i)
    if (a.at(i) != b.at(i)) return false;
  return true;
}

constexpr int kMaxDonors = 1024;

using tessera::json::optString;
using tessera::json::parseDocument;
using tessera::json::reqNumber;

// The manifest, the head's two members and the sidecar's text, byte for byte.
std::string readMembers(const TesseraCarriage& c, const std::string& mpath,
                        TesseraAttachInputs& in) {
  in.manifest_json = readWhole(mpath);
  in.head_json = readWhole(c.paths[3]);
  {
    const std::string pt = readWhole(c.paths[2]);
    in.head_pt.assign(pt.begin(), pt.end());
  }
  std::string sidecarText = readWhole(c.paths[1]);
  in.bank_track_path = c.paths[0];
  return sidecarText;
}

// The sidecar's generation and the geometry the bank was cut with.
GeometryStamp sidecarStamp(const JVal& side, const std::string& S) {
  const std::string format = optString(side, "format", "");
  if (format != "tessera_bank.v1")
    fail(S + " declares format '" + format +
         "', not 'tessera_bank.v1'"
         " \xE2\x80\x94"
         " this reader does not know that generation and will not guess at its keys.");

  const JVal* g = side.find("geometry");
  if (!g || !g->isObject()) fail(S + " carries no `geometry` stamp");
  return readStamp(*g, S + ".geometry");
}

// A geometry the manifest's tessera block states must be the sidecar's.
void checkManifestGeometry(const JVal* T, const GeometryStamp& stamp, const std::string& S) {
  if (!T) return;
  const JVal* mg = T->find("geometry");
  if (!mg || !mg->isObject()) return;
  const GeometryStamp ms = readStamp(*mg, "manifest.tessera.geometry");
  if (!sameStamp(ms, stamp))
    fail(
        "teeth geometry DISAGREES between the manifest and the bank sidecar"
        " \xE2\x80\x94"
        " manifest " +
        ms.text() + " vs " + S + " " + stamp.text() +
        "; refusing to place a window on a rectangle the two halves of the bundle do not "
        "agree on.");
}

void checkStoredPatch(int64_t bh, int64_t bw) {
  if (bh <= 0 || bw <= 0)
    fail("teeth stamp yields a non-positive stored patch (" + std::to_string(bw) + "x" +
         std::to_string(bh) + ")");
  if (bh > std::numeric_limits<int32_t>::max() || bw > std::numeric_limits<int32_t>::max())
    fail("teeth stamp yields a stored patch of " + std::to_string(bw) + "x" + std::to_string(bh) +
         ", too large for a reference bank");
}

int32_t donorCount(const JVal& side, const std::string& S, int64_t bh, int64_t bw) {
  const double nd = std::trunc(reqNumber(side, "n_donors", S));
  if (!(nd > 0)) fail(S + " says n_donors=" + intText(nd));
  if (nd > kMaxDonors)
    fail(S + " carries n_donors=" + intText(nd) + ", over the owner's cap of " + "1024" +
         " (ruling 2026-08-28). This reader REFUSES rather than capping: the selector is the "
         "bank's BUILD-time cap selector, and a second one here would change which donors "
         "reach the mouth while every count-based check stayed green. Rebuild the bank.");
  const int32_t n = int32_t(nd);
  checkedBytes({uint64_t(n), uint64_t(bh), uint64_t(bw), 3}, "the reference bank of " + S);
  return n;
}

// The sidecar's per-donor arrays, present and of one length each.
struct DonorArrays {
  const JVal* track_order;
  const JVal* cent;
  const JVal* aperture;
  const JVal* c_canon;
};

DonorArrays donorArrays(const JVal& side, const std::string& S, int32_t n) {
  const JVal* to = side.find("track_order");
  const JVal* ce = side.find("cent");
  const JVal* ap = side.find("aperture");
  const JVal* cc = side.find("c_canon");
  if (!to || !to->isArray() || !ce || !ce->isArray() || !ap || !ap->isArray() || !cc ||
      !cc->isArray())
    fail(S + " lacks one of track_order/cent/aperture/c_canon as an array");
  if (to->arr.size() != size_t(n) || ce->arr.size() != size_t(n) || ap->arr.size() != size_t(n))
    fail(S + " says n_donors=" + std::to_string(n) + " but carries track_order=" +
         std::to_string(to->arr.size()) + ", cent=" + std::to_string(ce->arr.size()) +
         ", aperture=" + std::to_string(ap->arr.size()) +
         " \xE2\x80\x94"
         " a count mismatch silently mis-orders the donors.");
  if (cc->arr.size() != 2) fail(S + " c_canon is not a pair");
  return {to, ce, ap, cc};
}

std::vector<int32_t> readTrackOrder(const JVal& to, int32_t n, const std::string& S) {
  std::vector<int32_t> order(static_cast<size_t>(n));
  std::vector<bool> seen(size_t(n), false);
  for (int32_t i = 0; i < n; ++i) {
    const double v = std::trunc(to.arr[size_t(i)].num);
    if (!(v >= 0 && v < n))
      fail(S + " track_order[" + std::to_string(i) + "]=" + intText(v) + " is outside [0," +
           std::to_string(n) + ")");
    const int32_t k = int32_t(v);
    if (seen[size_t(k)])
      fail(S + " track_order is not a permutation (reference " + std::to_string(k) +
           " appears twice)"
           " \xE2\x80\x94"
           " the inverse permutation would leave a reference slot never written and the pass "
           "would blend uninitialised memory into a real mouth.");
    seen[size_t(k)] = true;
    order[size_t(i)] = k;
  }
  return order;
}

void readDonorPlaces(const DonorArrays& a, int32_t n, const std::string& S,
                     TesseraAttachInputs& in) {
  in.cent.resize(2 * size_t(n));
  for (int32_t i = 0; i < n; ++i) {
    const JVal& e = a.cent->arr[size_t(i)];
    if (!e.isArray() || e.arr.size() != 2)
      fail(S + " cent[" + std::to_string(i) + "] is not an (x,y) pair");
    in.cent[2 * size_t(i)] = e.arr[0].num;
    in.cent[2 * size_t(i) + 1] = e.arr[1].num;
  }
  in.aperture.resize(size_t(n));
  for (int32_t i = 0; i < n; ++i) in.aperture[size_t(i)] = a.aperture->arr[size_t(i)].num;
  in.c_canon = {a.c_canon->arr[0].num, a.c_canon->arr[1].num};
}

// How the track is coded: the manifest's tessera block overrides the sidecar.
void readBankCoding(const JVal& side, const JVal* T, const std::string& B, const std::string& S,
                    TesseraAttachInputs& in) {
  std::string sideCodec, sidePixFmt;
  const JVal* codec = side.find("codec");
  if (codec && codec->isObject()) {
    sideCodec = optString(*codec, "codec", "");
    sidePixFmt = optString(*codec, "pix_fmt", "");
  }
  in.bank_container = T ? optString(*T, "bank_container", "mp4") : "mp4";
  in.bank_packing = T ? optString(*T, "bank_packing", "rgb24_frames") : "rgb24_frames";
  in.bank_codec = T ? optString(*T, "bank_codec", sideCodec) : sideCodec;
  in.bank_pix_fmt = T ? optString(*T, "bank_pix_fmt", sidePixFmt) : sidePixFmt;
  if (in.bank_pix_fmt.empty())
    fail(B + ": neither manifest.tessera.bank_pix_fmt nor " + S +
         ".codec.pix_fmt states the reference track's pixel format. A decoder handed no format "
         "negotiates one, and the one it settles on is 4:2:0"
         " \xE2\x80\x94"
         " lossy chroma on reference pixels IS the borrow degrading. Refusing rather than "
         "letting it guess.");
}

TesseraAttachInputs loadFromDir(const std::string& B) {
  const TesseraCarriage c = buildCarriage(B);
  requireTesseraMembers(c);

  const std::string mpath = findManifest(B);
  if (mpath.empty())
    fail(B +
         " carries no manifest.json or meta.json"
         " \xE2\x80\x94"
         " the compose descriptor (unified.pi) the pass places its window by lives there, and "
         "placing a borrow window without it is guessing.");

  TesseraAttachInputs in;
  const std::string sidecarText = readMembers(c, mpath, in);
  const std::string& S = c.names.bank_sidecar;
  const JVal side = parseDocument(sidecarText, S);
  const JVal man = parseDocument(in.manifest_json, mpath);

  const GeometryStamp stamp = sidecarStamp(side, S);
  const JVal* T = man.find("tessera");
  if (T && !T->isObject()) T = nullptr;
  checkManifestGeometry(T, stamp, S);

  const int64_t bh = stamp.storedH(), bw = stamp.storedW();
  checkStoredPatch(bh, bw);
  const int32_t n = donorCount(side, S, bh, bw);
  const DonorArrays arrays = donorArrays(side, S, n);
  in.track_order = readTrackOrder(*arrays.track_order, n, S);
  readDonorPlaces(arrays, n, S, in);
  readBankCoding(side, T, B, S, in);

  in.n_donors = n;
  in.stamp = stamp;
  in.band_h = int32_t(bh);
  in.band_w = int32_t(bw);
  return in;
}

}  // namespace

const std::array<TesseraSlot, 4>& tesseraSlotKeys() {
  static const std::array<TesseraSlot, 4> kSlots = {{
      {"bank_track", "tessera_bank.v1.mp4"},
      {"bank_sidecar", "tessera_bank.v1.json"},
      {"head_weights", "tessera_head.v1.pt"},
      {"head_config", "tessera_head.v1.json"},
  }};
  return kSlots;
}

int tesseraSlotCount() {
  return int(tesseraSlotKeys().size());
}

std::string& TesseraSlots::at(int slot) {
  return const_cast<std::string&>(static_cast<const TesseraSlots&>(*this).at(slot));
}

const std::string& TesseraSlots::at(int slot) const {
  switch (slot) {
    case 0:
      return bank_track;
    case 1:
      return bank_sidecar;
    case 2:
      return head_weights;
    case 3:
      return head_config;
  }
  throw std::out_of_range("teeth: member slot index " + std::to_string(slot));
}

const std::string& TesseraCarriage::path(const std::string& slot) const {
  const int i = slotIndex(slot);
  if (i < 0) fail("teeth: no such member slot '" + slot + "'");
  return paths[size_t(i)];
}

TesseraCarriage tesseraCarriage(const std::string& bundle) {
  return buildCarriage(resolveBundlePath(bundle));
}

TesseraCarriage tesseraCarriage(const Manifest& manifest) {
  return tesseraCarriage(manifest.dir);
}

void requireTesseraMembers(const TesseraCarriage& c) {
  if (c.complete) return;
  std::string msg = "missing teeth member(s): ";
  for (size_t i = 0; i < c.missing.size(); ++i) {
    if (i) msg += ", ";
    const int slot = slotIndex(c.missing[i]);
    msg += c.missing[i] + " (" + (slot >= 0 ? c.names.at(slot) : std::string()) + ")";
  }
  msg += " \xE2\x80\x94 carries " + std::to_string(tesseraSlotCount() - int(c.missing.size())) +
         " of 4";
  if (c.declared) msg += " and declares a manifest.tessera block the members do not keep";
  msg +=
      ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every "
      "plane; any missing = REFUSED on every plane. The borrow is a SWITCH, not a gradient"
      " \xE2\x80\x94"
      " there is no rendering mode that proceeds without them (tavrin-2 IS borrowed teeth). "
      "Re-stage the bundle with the bank builder.";
  throw MissingTesseraMember(msg, c.missing);
}

TesseraAttachInputs loadTesseraMembers(const std::string& bundle) {
  return loadFromDir(resolveBundlePath(bundle));
}

TesseraAttachInputs loadTesseraMembers(const Manifest& manifest) {
  return loadTesseraMembers(manifest.dir);
}

// ---------------------------------------------------------------------------
// Geometry stamp.

namespace {
constexpr int32_t GeometryStamp::*kStampFields[GeometryStamp::kFields] = {
    &GeometryStamp::canvas_w,  &GeometryStamp::canvas_h, &GeometryStamp::window_x0,
    &GeometryStamp::window_y0, &GeometryStamp::window_w, &GeometryStamp::window_h,
    &GeometryStamp::pad,       &GeometryStamp::band_r0,  &GeometryStamp::band_r1,
    &GeometryStamp::band_c0,   &GeometryStamp::band_c1,  &GeometryStamp::shift_margin,
};
}  // namespace

const std::array<const char*, GeometryStamp::kFields>& GeometryStamp::keys() {
  static const std::array<const char*, kFields> kKeys = {
      "canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h",
      "pad",      "band_r0",  "band_r1",   "band_c0",   "band_c1",  "shift_margin"};
  return kKeys;
}

int32_t& GeometryStamp::at(int i) {
  return this->*kStampFields[i];
}

int32_t GeometryStamp::at(int i) const {
  return this->*kStampFields[i];
}

std::string GeometryStamp::text() const {
  std::string s = "{";
  for (int i = 0; i < kFields; ++i) {
    if (i) s += ", ";
    s += std::string(keys()[size_t(i)]) + "=" + std::to_string(at(i));
  }
  return s + "}";
}

void GeometryStamp::validate() const {
  // 64-bit sums: a hostile stamp must not overflow its way past a rule.
  const int64_t cw = canvas_w, ch = canvas_h, x0 = window_x0, y0 = window_y0, ww = window_w,
                wh = window_h, p = pad, r0 = band_r0, r1 = band_r1, c0 = band_c0, c1 = band_c1,
                sm = shift_margin;
  std::string phrases;
  auto add = [&](bool violated, const char* phrase) {
    if (violated) phrases += std::string(" ") + phrase + ";";
  };
  add(ww < 1 || wh < 1, "window dims must be positive");
  add(x0 < 0 || x0 + ww > cw, "window x-range escapes canvas");
  add(y0 < 0 || y0 + wh > ch, "window y-range escapes canvas");
  add(r0 < 0 || r0 >= r1 || r1 > wh, "band rows escape window");
  add(c0 < 0 || c0 >= c1 || c1 > ww, "band cols escape window");
  add(sm < 0 || p < 1, "pad/shift_margin must be positive");
  add(p + r0 < sm || p + r1 + sm > wh + 2 * p, "stored band rows escape patch");
  add(p + c0 < sm || p + c1 + sm > ww + 2 * p, "stored band cols escape patch");
  if (!phrases.empty()) fail("teeth: GeometryStamp incoherent:" + phrases);
}

// ---------------------------------------------------------------------------
// Head configuration.

ServeConfig ServeConfig::fromHeadMemberJson(const std::string& text) {
  const JVal top = tessera::json::parse(text);
  const JVal* r = top.find("retrieval");
  const JVal* t = top.find("temporal");
  if (!r || !r->isObject() || !t || !t->isObject())
    fail(
        "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema"
        " \xE2\x80\x94"
        " refusing to serve defaults (W3-01)");
  ServeConfig cfg;
  cfg.kshort = toI32(r->req("kshort").num, "retrieval.kshort");
  cfg.aperture_tol = r->req("aperture_tol").num;
  cfg.cut = toI32(r->req("cut").num, "retrieval.cut");
  cfg.K = toI32(r->req("K").num, "retrieval.K");
  cfg.hysteresis = toI32(t->req("hysteresis").num, "temporal.hysteresis");
  cfg.lookahead = toI32(t->req("lookahead").num, "temporal.lookahead");
  const JVal* d = top.find("decode");
  if (d && d->isObject()) {
    const JVal* env = d->find("envelope_clamp_255");
    if (env && !(std::fabs(env->num - 12.0) <= 1e-6))
      fail(
          "teeth: member envelope_clamp_255 != the envelope of record (12/255)"
          " \xE2\x80\x94"
          " the envelope is a gated quantity");
  }
  return cfg;
}

// ---------------------------------------------------------------------------
// Reference bank layout.

uint64_t TesseraAttachInputs::bandBytes() const {
  if (n_donors <= 0 || band_h <= 0 || band_w <= 0) return 0;
  // Loaded members are checked to fit; a hand-built record that does not
  // reports 0 rather than a wrapped count.
  uint64_t b = uint64_t(n_donors);
  if (__builtin_mul_overflow(b, uint64_t(band_h), &b) ||
      __builtin_mul_overflow(b, uint64_t(band_w), &b) || __builtin_mul_overflow(b, 3u, &b))
    return 0;
  return b;
}

void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* donor) {
  if (!track || !donor) fail("teeth: null band buffer");
  if (in.n_donors < 0 || size_t(in.n_donors) != in.track_order.size())
    fail("teeth: track_order does not match n_donors");
  const uint64_t stride =
      in.band_h > 0 && in.band_w > 0 ? uint64_t(in.band_h) * uint64_t(in.band_w) * 3u : 0;
  if (stride == 0) fail("teeth: zero reference stride");
  // Loaded members are a checked permutation; hand-built ones are checked
  // here too, before anything is written, so no slot lands out of bounds.
  std::vector<bool> seen(in.track_order.size(), false);
  for (int32_t k : in.track_order) {
    if (k < 0 || k >= in.n_donors) fail("teeth: track_order entry out of range");
    if (seen[size_t(k)]) fail("teeth: track_order is not a permutation");
    seen[size_t(k)] = true;
  }
  for (size_t i = 0; i < in.track_order.size(); ++i)
    std::memcpy(donor + uint64_t(in.track_order[i]) * stride, track + i * stride, size_t(stride));
}

}  // namespace le
