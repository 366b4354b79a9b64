// A photograph, or a frame of a video, as the avatar's portrait: a square of
// it around the face, turned upright if the face leans, resampled to 512 x
// 512; the face box (the square the render model's crop is cut from), the
// engine's keypoints and the lip line in its pixels.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "face_landmarks.h"
#include "picture_file.h"

namespace vever {

constexpr int kPortraitSide = 512;

// The face box is this many times the distance from the eyes to the mouth,
// centred halfway between them: the astronaut's measured so.
constexpr double kBoxPerSize = 3.7;
// Below this many pixels of the picture, a crop of the face is mostly made
// up: the 256 crop enlarges a box of 96 pixels 2.7 times (the astronaut's
// 160-pixel box 1.6 times).
constexpr double kMinBoxPx = 96;

struct Box {
  double x = 0, y = 0, side = 0;
};

struct Portrait {
  std::vector<uint8_t> rgb;  // kPortraitSide x kPortraitSide
  Box box;
  std::array<Point, 21> keypoints;
  std::array<Point, 12> lipLine;  // the outer lip line, corner to corner
  Point neck;                     // where a sway would pivot
  double mouthWidth = 0;          // corner to corner, in box halves
  double lipGap = 0;              // inner lip to inner lip at the centre, in box halves
};

// Which square of the picture becomes the portrait, and the roll undone.
struct Framing {
  Point at;         // the square's top-left corner in the picture
  double side = 0;  // its side in picture pixels
  Point pivot;      // the roll turns about this picture point
  double roll = 0;  // radians
};

// Refuses a face too small or turned too far from the camera; the refusal
// starts with name.
void checkFace(const FacePose& pose, const std::string& name);

// The square of a width x height picture the face of this pose is framed
// by: as large as the picture holds, up to a few face boxes, with the face
// where the astronaut's portrait has hers.
Framing framingFor(const FacePose& pose, int width, int height);

// The portrait of a picture in that framing, with the landmarks' keypoints.
Portrait portraitOf(const Picture& picture, const std::array<Point, 68>& landmarks,
                    const Framing& framing);

}  // namespace vever
