// The inside of an open mouth for the donors of the teeth borrow: the
// avatar's render model moves the lips but has nothing to show between them,
// so each donor gets a shaded cavity and a band of upper teeth cut from a
// photograph that shows them (the astronaut portrait does), colour-matched
// to the avatar and placed by its lip keypoints.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "face_landmarks.h"
#include "picture_file.h"

namespace vever {

struct Teeth {
  int w = 0, h = 0;
  std::vector<uint8_t> rgb;  // w x h x 3
  // The colour of the skin above the lips against its brightness: the
  // photograph's light, which the avatar's may differ from.
  double skin[3] = {1, 1, 1};
};

// The upper teeth of a face whose lips are apart: the middle of the space
// between its inner lip lines. Throws when the lips are (nearly) closed.
Teeth teethOf(const Picture& photo, const std::array<Point, 68>& landmarks);

// Paints the opening of the mouth with keypoints `open` (63 floats), the
// same face's closed mouth being `rest`, into a C x C RGB crop: the cavity
// where the lips have parted, the teeth under the upper lip.
void paintMouthInside(uint8_t* rgb, int C, const float* rest, const float* open,
                      const Teeth& teeth);

}  // namespace vever
