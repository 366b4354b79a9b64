// Teeth-borrow ("tessera") members of a bundle: the four member slots and the
// all-or-nothing rule that arms the borrow, and the loaded, cross-checked
// members a borrow is attached from.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bundle/le_bundle.h"

namespace le {

// ---------------------------------------------------------------------------
// Member slots.

struct TesseraSlot {
  const char* key;
  const char* member;  // default member name
};

const std::array<TesseraSlot, 4>& tesseraSlotKeys();
int tesseraSlotCount();

// The four member names of a bundle, in slot order; defaults when
// default-constructed.
struct TesseraSlots {
  std::string bank_track = "tessera_bank.v1.mp4";
  std::string bank_sidecar = "tessera_bank.v1.json";
  std::string head_weights = "tessera_head.v1.pt";
  std::string head_config = "tessera_head.v1.json";

  std::string& at(int slot);
  const std::string& at(int slot) const;
};

// What a bundle declares and holds for the borrow.
struct TesseraCarriage {
  TesseraSlots names;                // after the manifest's tessera.members overrides
  std::array<std::string, 4> paths;  // resolved member paths, slot order
  bool complete = false;
  std::vector<std::string> missing;  // slot keys that could not be opened, slot order
  bool declared = false;             // the manifest carries a tessera object
  std::vector<std::string> planes;   // tessera.planes as declared; informational only

  // Resolved path of a slot key; "teeth: no such member slot '<key>'" otherwise.
  const std::string& path(const std::string& slot) const;
};

// Raised when a bundle does not carry all four members.
class MissingTesseraMember : public std::runtime_error {
 public:
  MissingTesseraMember(const std::string& message, std::vector<std::string> missing)
      : std::runtime_error(message), missing_(std::move(missing)) {}
  const std::vector<std::string>& missing() const { return missing_; }

 private:
  std::vector<std::string> missing_;
};

// The rectangle geometry the reference bank was cut with.
struct LE_API GeometryStamp {
  int32_t canvas_w = 0;
  int32_t canvas_h = 0;
  int32_t window_x0 = 0;
  int32_t window_y0 = 0;
  int32_t window_w = 0;
  int32_t window_h = 0;
  int32_t pad = 0;
  int32_t band_r0 = 0;
  int32_t band_r1 = 0;
  int32_t band_c0 = 0;
  int32_t band_c1 = 0;
  int32_t shift_margin = 0;

  static constexpr int kFields = 12;
  static const std::array<const char*, kFields>& keys();
  int32_t& at(int i);
  int32_t at(int i) const;

  // Stored patch size; 64-bit so that hostile stamps cannot overflow.
  int64_t storedH() const { return int64_t(band_r1) - band_r0 + 2 * int64_t(shift_margin); }
  int64_t storedW() const { return int64_t(band_c1) - band_c0 + 2 * int64_t(shift_margin); }

  // "{canvas_w=.., canvas_h=.., ...}"
  std::string text() const;
  // Throws "teeth: GeometryStamp incoherent: <phrase>; ..." listing every rule broken.
  void validate() const;
};

// Retrieval and temporal settings of the teeth pass.
struct ServeConfig {
  int kshort = 0;
  double aperture_tol = 0;
  int cut = 0;
  int K = 0;
  int hysteresis = 0;
  int lookahead = 0;
  // Not carried by the member; fixed for this generation of the head.
  double lumaMin = 100.0;
  double chromaMax = 25.0;
  int minTeethPixels = 32;
  double weightDecay = 0.6;
  bool useLookahead = true;

  static ServeConfig fromHeadMemberJson(const std::string& text);
};

// Everything the borrow needs, loaded and checked.
struct TesseraAttachInputs {
  int32_t n_donors = 0;
  std::vector<int32_t> track_order;  // entry i: donor index of the i-th reference in the track
  std::vector<double> cent;          // (x, y) per donor, interleaved
  std::array<double, 2> c_canon{};
  std::vector<double> aperture;
  GeometryStamp stamp;
  std::vector<uint8_t> head_pt;
  std::string head_json;
  std::string manifest_json;
  std::string bank_track_path;
  std::string bank_container;
  std::string bank_codec;
  std::string bank_pix_fmt;
  std::string bank_packing;
  int32_t band_w = 0;
  int32_t band_h = 0;

  // n_donors * band_h * band_w * 3: the reference bank in memory.
  uint64_t bandBytes() const;
};

TesseraCarriage tesseraCarriage(const std::string& bundle);
TesseraCarriage tesseraCarriage(const Manifest& manifest);
void requireTesseraMembers(const TesseraCarriage& carriage);
TesseraAttachInputs loadTesseraMembers(const std::string& bundle);
TesseraAttachInputs loadTesseraMembers(const Manifest& manifest);

// Copies each reference from track order into donor order. Both buffers hold
// bandBytes() bytes.
void reorderTrackToDonor(const TesseraAttachInputs& in, const uint8_t* track, uint8_t* donor);

}  // namespace le
