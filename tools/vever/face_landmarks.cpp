#include "face_landmarks.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "base/le_env.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wdeprecated-copy"
#include <dlib/image_processing.h>
#include <dlib/image_processing/frontal_face_detector.h>
#include <dlib/image_transforms.h>
#pragma GCC diagnostic pop

namespace vever {
namespace {

constexpr double kPi = 3.14159265358979323846;

// The detector looks at a copy no larger than this on its longer side: it
// finds faces of 80 pixels and more, so a face of a quarter of the picture
// is found in a few hundred milliseconds at any resolution.
constexpr int kDetectSide = 1280;
// A small picture without a face found is looked at twice as large: faces
// of 40 pixels.
constexpr int kUpsampleBelow = 800;

// A detection scoring under this share of the best one is not counted.
constexpr double kFaintFace = 0.5;

const std::vector<std::vector<int>> kMapping = {{17, 18, 19},
                                                {20, 21},
                                                {22, 23},
                                                {24, 25, 26},
                                                {36, 37, 38, 39, 40, 41},
                                                {42, 43, 44, 45, 46, 47},
                                                {27, 28},
                                                {30},
                                                {31},
                                                {35},
                                                {3, 4},
                                                {8},
                                                {12, 13},
                                                {54},
                                                {55},
                                                {57},
                                                {59},
                                                {48},
                                                {49},
                                                {51},
                                                {53}};

Point mean(const std::array<Point, 68>& p, std::initializer_list<int> idx) {
  Point m;
  for (int i : idx) m.x += p[size_t(i)].x, m.y += p[size_t(i)].y;
  m.x /= double(idx.size());
  m.y /= double(idx.size());
  return m;
}

}  // namespace

std::string defaultLandmarkModel() {
  const char* env = le::envValue("VEVER_FACE_LANDMARKS");
  return env && *env ? env : "/usr/share/dlib/shape_predictor_68_face_landmarks.dat";
}

struct FaceFinder::Impl {
  dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
  dlib::shape_predictor predictor;
};

FaceFinder::FaceFinder(const std::string& model) : impl_(new Impl) {
  try {
    dlib::deserialize(model) >> impl_->predictor;
  } catch (const std::exception& e) {
    delete impl_;
    throw std::runtime_error("cannot load the face landmark model " + model + " (" + e.what() +
                             "); scripts/setup installs it with libdlib-data");
  }
  if (impl_->predictor.num_parts() != 68) {
    const auto parts = impl_->predictor.num_parts();
    delete impl_;
    throw std::runtime_error("the face landmark model " + model + " places " +
                             std::to_string(parts) + " points, not 68");
  }
}

FaceFinder::~FaceFinder() {
  delete impl_;
}

namespace {

dlib::matrix<dlib::rgb_pixel> toDlib(const uint8_t* rgb, int w, int h) {
  dlib::matrix<dlib::rgb_pixel> m(h, w);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const uint8_t* p = rgb + (size_t(y) * w + x) * 3;
      m(y, x) = dlib::rgb_pixel(p[0], p[1], p[2]);
    }
  return m;
}

Face faceOf(const dlib::full_object_detection& d) {
  Face f;
  const dlib::rectangle& r = d.get_rect();
  f.box[0] = {double(r.left()), double(r.top())};
  f.box[1] = {double(r.right() + 1), double(r.bottom() + 1)};
  for (unsigned i = 0; i < 68; ++i) f.points[i] = {double(d.part(i).x()), double(d.part(i).y())};
  return f;
}

}  // namespace

std::vector<Face> FaceFinder::find(const uint8_t* rgb, int w, int h) const {
  const dlib::matrix<dlib::rgb_pixel> img = toDlib(rgb, w, h);
  auto detect = [&](double scale) {
    std::vector<dlib::rect_detection> found;
    if (scale == 1.0) {
      impl_->detector(img, found);
    } else {
      dlib::matrix<dlib::rgb_pixel> look(long(std::lround(h * scale)),
                                         long(std::lround(w * scale)));
      dlib::resize_image(img, look);
      impl_->detector(look, found);
    }
    for (dlib::rect_detection& d : found) {
      const dlib::rectangle& r = d.rect;
      d.rect = dlib::rectangle(
          long(std::lround(r.left() / scale)), long(std::lround(r.top() / scale)),
          long(std::lround(r.right() / scale)), long(std::lround(r.bottom() / scale)));
    }
    return found;
  };
  std::vector<dlib::rect_detection> found =
      detect(std::min(1.0, double(kDetectSide) / std::max(w, h)));
  // Looked at enlarged only when nothing was found: it also finds more
  // things that are not faces.
  if (found.empty() && std::max(w, h) < kUpsampleBelow) found = detect(2.0);
  // Beside a clear face, a faint one is mostly a pattern that looks like one
  // (a badge, a fold of cloth): faces of a group photograph score alike.
  double best = 0;
  for (const dlib::rect_detection& d : found) best = std::max(best, d.detection_confidence);
  std::vector<dlib::rectangle> kept;
  for (const dlib::rect_detection& d : found)
    if (d.detection_confidence >= kFaintFace * best) kept.push_back(d.rect);
  std::vector<Face> faces;
  for (const dlib::rectangle& r : kept) faces.push_back(faceOf(impl_->predictor(img, r)));
  std::stable_sort(faces.begin(), faces.end(),
                   [](const Face& a, const Face& b) { return a.area() > b.area(); });
  return faces;
}

bool FaceFinder::follow(const uint8_t* rgb, int w, int h, const Face& before, Face& now) const {
  // Looked for in the region around where it was, shrunk so that the face
  // is about 120 pixels across: a few milliseconds a frame at any size.
  const double fw = before.box[1].x - before.box[0].x, fh = before.box[1].y - before.box[0].y;
  const int x0 = std::max(0, int(before.box[0].x - 0.6 * fw));
  const int y0 = std::max(0, int(before.box[0].y - 0.6 * fh));
  const int x1 = std::min(w, int(before.box[1].x + 0.6 * fw));
  const int y1 = std::min(h, int(before.box[1].y + 0.6 * fh));
  if (x1 - x0 < 16 || y1 - y0 < 16) return false;
  dlib::matrix<dlib::rgb_pixel> region(y1 - y0, x1 - x0);
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) {
      const uint8_t* p = rgb + (size_t(y) * w + x) * 3;
      region(y - y0, x - x0) = dlib::rgb_pixel(p[0], p[1], p[2]);
    }
  const double scale = std::clamp(120.0 / std::max(fw, 1.0), 0.25, 2.0);
  dlib::matrix<dlib::rgb_pixel> look(long(std::lround((y1 - y0) * scale)),
                                     long(std::lround((x1 - x0) * scale)));
  dlib::resize_image(region, look);
  std::vector<dlib::rect_detection> found;
  impl_->detector(look, found);
  if (found.empty()) return false;
  const auto best = std::max_element(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return a.detection_confidence < b.detection_confidence;
  });
  const dlib::rectangle& r = best->rect;
  const dlib::rectangle at(long(std::lround(r.left() / scale)), long(std::lround(r.top() / scale)),
                           long(std::lround(r.right() / scale)),
                           long(std::lround(r.bottom() / scale)));
  now = faceOf(impl_->predictor(region, at));
  for (Point& q : now.points) q.x += x0, q.y += y0;
  for (Point& q : now.box) q.x += x0, q.y += y0;
  return true;
}

const Face& chooseFace(const std::vector<Face>& faces, int choice, const std::string& input,
                       const std::string& holder) {
  auto fail = [&](const std::string& what) -> void {
    throw std::runtime_error(input + ": " + what);
  };
  if (faces.empty())
    fail("no face found in " + holder + " (the avatar needs a face looking at the camera)");
  const std::string n = std::to_string(faces.size());
  if (choice > int(faces.size()))
    fail("--face " + std::to_string(choice) + " asked for, and " + holder + " holds " + n +
         (faces.size() == 1 ? " face" : " faces"));
  if (choice == 0 && faces.size() > 1)
    fail(holder + " holds " + n + " faces; choose one with --face N (1 is the largest, " + n +
         " the smallest)");
  return faces[size_t(choice > 0 ? choice - 1 : 0)];
}

std::array<Point, 21> engineKeypoints(const std::array<Point, 68>& p) {
  std::array<Point, 21> kp;
  for (size_t r = 0; r < 21; ++r) {
    for (int i : kMapping[r]) kp[r].x += p[size_t(i)].x, kp[r].y += p[size_t(i)].y;
    kp[r].x /= double(kMapping[r].size());
    kp[r].y /= double(kMapping[r].size());
  }
  return kp;
}

FacePose poseOf(const std::array<Point, 68>& p) {
  FacePose f;
  const Point right = mean(p, {36, 37, 38, 39, 40, 41}), left = mean(p, {42, 43, 44, 45, 46, 47});
  const Point eyes{(right.x + left.x) / 2, (right.y + left.y) / 2};
  const Point mouth = mean(p, {48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59});
  f.centre = {(eyes.x + mouth.x) / 2, (eyes.y + mouth.y) / 2};
  f.size = std::hypot(mouth.x - eyes.x, mouth.y - eyes.y);
  f.roll = std::atan2(left.y - right.y, left.x - right.x) * 180 / kPi;
  // In the face's own upright frame (roll undone, eyes at 0, mouth at 1), the
  // nose tip stands about 0.6 in front of the eye-mouth plane: it sits at
  // x = 0.6 sin(yaw), and at y = 0.56 + 0.6 tan(pitch) (0.56 on frontal faces).
  const double c = std::cos(f.roll * kPi / 180), s = std::sin(f.roll * kPi / 180);
  const double size = std::max(f.size, 1e-6);
  auto upright = [&](const Point& q) {
    const double dx = q.x - eyes.x, dy = q.y - eyes.y;
    return Point{(c * dx + s * dy) / size, (-s * dx + c * dy) / size};
  };
  const Point nose = upright(p[30]);
  const Point lips = upright(mouth);
  f.yaw = std::asin(std::clamp((nose.x - lips.x / 2) / 0.6, -1.0, 1.0)) * 180 / kPi;
  f.pitch = std::atan((nose.y / std::max(lips.y, 1e-6) - 0.56) / 0.6) * 180 / kPi;
  return f;
}

}  // namespace vever
