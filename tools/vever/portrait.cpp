#include "portrait.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace vever {
namespace {

constexpr double kPi = 3.14159265358979323846;
// The portrait shows at most this many boxes across (the astronaut's
// portrait 3.2), with the box's top this far down (45 of her 512 pixels):
// a face small in a large photograph is framed as she is.
constexpr double kBoxesAcross = 3.2, kBoxTop = 45.0 / 512;
// Beyond these, the landmarks and the render model's frontal face part ways.
constexpr double kMaxYaw = 30, kMaxPitch = 25;
// Roll up to this is kept as the photograph has it; more is turned upright,
// for the mouth opens along the portrait's vertical.
constexpr double kKeepRoll = 6;
// The outer lip line: dlib's 48..59, corner to corner.
constexpr int kLipLine[12] = {48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59};

// Bilinear sample of an RGB picture, mirrored about its edges.
struct Sampler {
  const uint8_t* px;
  int w, h;
  double at(double x, double y, int c) const {
    auto mirror = [](double v, int n) {
      const double far = n - 1.0;
      if (far <= 0) return 0.0;
      v = std::fmod(std::fabs(v), 2 * far);
      return v > far ? 2 * far - v : v;
    };
    x = mirror(x, w);
    y = mirror(y, h);
    const int x0 = std::min(int(x), std::max(w - 2, 0)), y0 = std::min(int(y), std::max(h - 2, 0));
    const int x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
    const double fx = x - x0, fy = y - y0;
    auto v = [&](int xx, int yy) { return double(px[(size_t(yy) * w + xx) * 3 + c]); };
    return (1 - fy) * ((1 - fx) * v(x0, y0) + fx * v(x1, y0)) +
           fy * ((1 - fx) * v(x0, y1) + fx * v(x1, y1));
  }
};

// The picture averaged over k x k blocks, so that a large photograph is not
// aliased when the portrait takes every few pixels of it.
Picture shrink(const Picture& p, int k) {
  Picture s;
  s.width = p.width / k;
  s.height = p.height / k;
  s.rgb.assign(size_t(s.width) * s.height * 3, 0);
  for (int y = 0; y < s.height; ++y)
    for (int x = 0; x < s.width; ++x)
      for (int c = 0; c < 3; ++c) {
        int sum = 0;
        for (int dy = 0; dy < k; ++dy)
          for (int dx = 0; dx < k; ++dx)
            sum += p.rgb[(size_t(y * k + dy) * p.width + size_t(x * k + dx)) * 3 + c];
        s.rgb[(size_t(y) * s.width + x) * 3 + c] = uint8_t((sum + k * k / 2) / (k * k));
      }
  return s;
}

}  // namespace

void checkFace(const FacePose& pose, const std::string& name) {
  const double box = kBoxPerSize * pose.size;
  if (box < kMinBoxPx)
    throw std::runtime_error(
        name + " is too small: its box is " + std::to_string(int(box)) +
        " pixels and the crop needs at least " + std::to_string(int(kMinBoxPx)) + " (about " +
        std::to_string(int(kMinBoxPx / kBoxPerSize * 2)) + " pixels from the eyes to the chin)");
  if (std::fabs(pose.yaw) > kMaxYaw || std::fabs(pose.pitch) > kMaxPitch) {
    char turned[160];
    std::snprintf(turned, sizeof turned,
                  " is turned too far from the camera: about %.0f degrees sideways and %.0f up "
                  "or down, the limits are %.0f and %.0f",
                  std::fabs(pose.yaw), std::fabs(pose.pitch), kMaxYaw, kMaxPitch);
    throw std::runtime_error(name + turned);
  }
}

Framing framingFor(const FacePose& pose, int width, int height) {
  // Only a face too large for the picture's square reaches past its edges,
  // which are mirrored.
  const double box = kBoxPerSize * pose.size;
  const double W = width, H = height;
  Framing f;
  f.side = std::max(std::min({W, H, box * kBoxesAcross}), box * 1.1);
  f.at = {pose.centre.x - f.side / 2, pose.centre.y - box / 2 - kBoxTop * f.side};
  if (f.side <= W) f.at.x = std::clamp(f.at.x, 0.0, W - f.side);
  if (f.side <= H) f.at.y = std::clamp(f.at.y, 0.0, H - f.side);
  f.pivot = pose.centre;
  f.roll = std::fabs(pose.roll) > kKeepRoll ? pose.roll * kPi / 180 : 0.0;
  return f;
}

Portrait portraitOf(const Picture& picture, const std::array<Point, 68>& landmarks,
                    const Framing& f) {
  constexpr int kSide = kPortraitSide;
  // portrait point p -> picture point q = pivot + R (at + s p - pivot)
  const double s = f.side / kSide;
  const double c = std::cos(f.roll), sn = std::sin(f.roll);
  const Point& o = f.pivot;
  const int k = std::max(1, int(s));
  const Picture small = k > 1 ? shrink(picture, k) : Picture{};
  const Sampler from{k > 1 ? small.rgb.data() : picture.rgb.data(),
                     k > 1 ? small.width : picture.width, k > 1 ? small.height : picture.height};
  Portrait p;
  p.rgb.resize(size_t(kSide) * kSide * 3);
  for (int y = 0; y < kSide; ++y)
    for (int x = 0; x < kSide; ++x) {
      // Pixel centres at integers; a k-block's centre at (k - 1) / 2.
      const double dx = f.at.x + (x + 0.5) * s - 0.5 - o.x;
      const double dy = f.at.y + (y + 0.5) * s - 0.5 - o.y;
      const double qx = o.x + c * dx - sn * dy, qy = o.y + sn * dx + c * dy;
      for (int ch = 0; ch < 3; ++ch)
        p.rgb[(size_t(y) * kSide + x) * 3 + ch] = uint8_t(std::lround(std::clamp(
            from.at((qx - (k - 1) / 2.0) / k, (qy - (k - 1) / 2.0) / k, ch), 0.0, 255.0)));
    }
  auto toPortrait = [&](const Point& q) {
    const double dx = q.x - o.x, dy = q.y - o.y;
    return Point{(o.x + c * dx + sn * dy - f.at.x + 0.5) / s - 0.5,
                 (o.y - sn * dx + c * dy - f.at.y + 0.5) / s - 0.5};
  };
  std::array<Point, 68> pts;
  for (size_t i = 0; i < 68; ++i) pts[i] = toPortrait(landmarks[i]);
  const FacePose pose = poseOf(pts);
  const double box = kBoxPerSize * pose.size;
  p.box = {pose.centre.x - box / 2, pose.centre.y - box / 2, box};
  p.keypoints = engineKeypoints(pts);
  for (size_t i = 0; i < 12; ++i) p.lipLine[i] = pts[size_t(kLipLine[i])];
  // The neck below the chin, as far as the astronaut's is below hers.
  p.neck = {p.keypoints[11].x, p.keypoints[11].y + 0.78 * p.box.side};
  p.mouthWidth = (p.keypoints[13].x - p.keypoints[17].x) * 2 / p.box.side;
  p.lipGap = std::max(0.0, (pts[66].y - pts[62].y) * 2 / p.box.side);
  return p;
}

}  // namespace vever
