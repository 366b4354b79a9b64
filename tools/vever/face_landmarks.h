// Faces and their 68 landmarks (dlib's HOG face detector and its 68-point
// shape predictor), and the 21 keypoints the engine drives taken from them.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace vever {

struct Point {
  double x = 0, y = 0;
};

struct Face {
  Point box[2];                  // the detector's rectangle: top-left, bottom-right
  std::array<Point, 68> points;  // dlib's 68 landmarks, in image pixels
  double area() const { return (box[1].x - box[0].x) * (box[1].y - box[0].y); }
};

// The shape predictor Debian's libdlib-data installs; $VEVER_FACE_LANDMARKS
// names another file of the same format.
std::string defaultLandmarkModel();

class FaceFinder {
 public:
  // Loads the detector and the shape predictor once; throws naming the file.
  explicit FaceFinder(const std::string& landmarkModel = defaultLandmarkModel());
  ~FaceFinder();
  FaceFinder(const FaceFinder&) = delete;
  FaceFinder& operator=(const FaceFinder&) = delete;

  // Every face in an RGB image, largest first.
  std::vector<Face> find(const uint8_t* rgb, int width, int height) const;
  // The face of an earlier frame of the same video, found again near where
  // it was; false when it is not there.
  bool follow(const uint8_t* rgb, int width, int height, const Face& before, Face& now) const;

 private:
  struct Impl;
  Impl* impl_;
};

// The face `choice` asks for (1 = the largest; 0: there must be one), or a
// refusal naming the input and what it holds ("the picture", "the video's
// first frame").
const Face& chooseFace(const std::vector<Face>& faces, int choice, const std::string& input,
                       const std::string& holder);

// The 21 engine keypoints from the 68 landmarks, each the mean of the listed
// landmarks (dlib's numbering: 0-16 jaw, 17-26 brows, 27-35 nose, 36-47
// eyes, 48-59 outer lips, 60-67 inner lips):
//    0 right brow, outer   17 18 19      11 chin                 8
//    1 right brow, inner   20 21         12 jaw at mouth, left   12 13
//    2 left brow, inner    22 23         13 mouth corner, left   54
//    3 left brow, outer    24 25 26      14 lower lip, left      55
//    4 right eye centre    36 .. 41      15 lower lip, centre    57
//    5 left eye centre     42 .. 47      16 lower lip, right     59
//    6 nose bridge         27 28         17 mouth corner, right  48
//    7 nose tip            30            18 upper lip, right     49
//    8 right nostril       31            19 upper lip, centre    51
//    9 left nostril        35            20 upper lip, left      53
//   10 jaw at mouth, right 3 4
// "Right" is the person's right, on the image's left. Rows 13..20 go round
// the outer lip line as the director and the lip template expect.
std::array<Point, 21> engineKeypoints(const std::array<Point, 68>& points);

// Where the face is and how it is turned, from its landmarks.
struct FacePose {
  Point centre;      // halfway from the eyes' midpoint to the mouth's centre
  double size = 0;   // eyes' midpoint to mouth centre, in pixels
  double roll = 0;   // degrees, the eye line against the horizontal (clockwise +)
  double yaw = 0;    // degrees, estimated from the nose tip's offset (+: turned to its left)
  double pitch = 0;  // degrees, estimated likewise (+: chin down)
};
FacePose poseOf(const std::array<Point, 68>& points);

}  // namespace vever
