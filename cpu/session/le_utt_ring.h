// The finished frames of an utterance session waiting for the host: 8 slots
// written in order by one producer and read in order by the host. The ring
// has no lock of its own: the session's main lock guards every call, except
// the filling of the write slot's pixels, which no one else touches until
// commit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "le/le.h"

namespace le {
namespace utt {

// Samples of audio one frame speaks (40 ms at 16 kHz).
constexpr size_t kFrameSamples = LE_UTT_FRAME_SAMPLES;

// One frame on its way from the stage that made it to the ring and the host:
// what it shows and, for a speech frame, its utterance and its own voice.
struct FrameRec {
  int kind = LE_UTT_KIND_IDLE;
  int index = 0;                      // the corpus frame shown
  int number = -1;                    // a speech frame's number within its utterance
  int64_t at = -1;                    // a speech frame's first sample in all the host pushed
  int64_t utt = 0;                    // the utterance a speech frame belongs to, counted from 1
  double uttStartMs = 0;              // that utterance's first push
  float kp[kKpFloats] = {};           // driven keypoints; zeros for idle frames
  int16_t voice[kFrameSamples] = {};  // the audio a speech frame speaks; else silence
};

struct Slot {
  std::vector<uint8_t> rgb;
  const uint8_t* held = nullptr;  // an idle frame read from the driver's store instead of rgb
  int64_t seq = 0;
  FrameRec f;
  const uint8_t* pixels() const { return held ? held : rgb.data(); }
};

class FrameRing {
 public:
  static constexpr int kSlots = 8;

  // Sizes every slot for frames of frameBytes.
  void allocate(size_t frameBytes);

  int waiting() const { return int(write_ - read_); }
  bool hasRoom() const { return waiting() < kSlots; }
  // The slot the next commit publishes; valid while hasRoom().
  Slot& writeSlot() { return slots_[write_ % kSlots]; }
  // Publishes the write slot as frame f with the next sequence number.
  void commit(const FrameRec& f);

  // Frames the host may take now: none while a speech frame at the front is
  // held back until holdSpeechUntil(ms).
  int pullable(double nowMs) const;
  void holdSpeechUntil(double ms) { holdMs_ = ms; }
  const Slot& front() const { return slots_[read_ % kSlots]; }
  // Takes the front frame, which becomes the last delivered one.
  void pop();
  // Every waiting frame is dropped (an interrupt).
  void dropAll() { read_ = write_; }

  // The frame the host took last, if any.
  struct Delivered {
    bool has = false;
    int kind = LE_UTT_KIND_IDLE, index = 0;
    float kp[kKpFloats] = {};
  };
  const Delivered& lastDelivered() const { return last_; }

 private:
  Slot slots_[kSlots];
  int64_t read_ = 0, write_ = 0, seq_ = 0;
  double holdMs_ = 0;
  Delivered last_;
};

}  // namespace utt
}  // namespace le
