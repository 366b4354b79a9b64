#include "session/le_utt_ring.h"

#include <cstring>

namespace le {
namespace utt {

void FrameRing::allocate(size_t frameBytes) {
  for (Slot& s : slots_) s.rgb.resize(frameBytes);
}

void FrameRing::commit(const FrameRec& f) {
  Slot& slot = writeSlot();
  slot.f = f;
  slot.seq = seq_++;
  ++write_;
}

int FrameRing::pullable(double nowMs) const {
  const int n = waiting();
  if (n > 0 && front().f.kind == LE_UTT_KIND_SPEECH && holdMs_ > 0 && nowMs < holdMs_) return 0;
  return n;
}

void FrameRing::pop() {
  const Slot& slot = front();
  last_.has = true;
  last_.kind = slot.f.kind;
  last_.index = slot.f.index;
  std::memcpy(last_.kp, slot.f.kp, sizeof last_.kp);
  ++read_;
}

}  // namespace utt
}  // namespace le
