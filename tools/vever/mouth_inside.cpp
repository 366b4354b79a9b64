#include "mouth_inside.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace vever {
namespace {

constexpr double kPi = 3.14159265358979323846;
// The colour of teeth, relative to their brightness.
constexpr double kIvory[3] = {1.04, 0.99, 0.86};

double px(float v, int C) {
  return (double(v) + 1.0) * C / 2.0 - 0.5;
}

double luma(const uint8_t* p) {
  return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
}

// The mean colour of row y from x0 to x1 of an RGB image w pixels wide,
// against its brightness; 1, 1, 1 for a row out of the image.
void colourOf(const uint8_t* rgb, int w, int h, int y, double x0, double x1, double out[3]) {
  double sum[3] = {0, 0, 0}, l = 0;
  if (y >= 0 && y < h)
    for (int x = std::max(0, int(x0)); x <= std::min(w - 1, int(x1)); ++x) {
      const uint8_t* p = rgb + (size_t(y) * w + x) * 3;
      for (int c = 0; c < 3; ++c) sum[c] += p[c];
      l += luma(p);
    }
  for (int c = 0; c < 3; ++c) out[c] = l > 0 ? sum[c] / l : 1.0;
}

}  // namespace

Teeth teethOf(const Picture& photo, const std::array<Point, 68>& p) {
  // Between the inner lip lines (61..63 above, 67..65 below), away from the
  // corners (60, 64), where the lips curve into the band.
  const double x0 = p[60].x + 0.2 * (p[64].x - p[60].x), x1 = p[60].x + 0.8 * (p[64].x - p[60].x);
  const double y0 = std::max({p[61].y, p[62].y, p[63].y}) + 0.5;
  const double y1 = std::min({p[65].y, p[66].y, p[67].y}) - 0.5;
  if (y1 - y0 < 3 || x1 - x0 < 8)
    throw std::runtime_error("the teeth photograph shows no teeth: its lips are closed");
  Teeth t;
  colourOf(photo.rgb.data(), photo.width, photo.height, int((p[30].y + p[51].y) / 2), p[48].x,
           p[54].x, t.skin);
  t.w = int(x1 - x0);
  t.h = int(y1 - y0);
  t.rgb.resize(size_t(t.w) * t.h * 3);
  for (int y = 0; y < t.h; ++y)
    for (int x = 0; x < t.w; ++x) {
      const int sx = std::clamp(int(x0) + x, 0, photo.width - 1);
      const int sy = std::clamp(int(y0) + y, 0, photo.height - 1);
      for (int c = 0; c < 3; ++c)
        t.rgb[(size_t(y) * t.w + x) * 3 + c] = photo.rgb[(size_t(sy) * photo.width + sx) * 3 + c];
    }
  return t;
}

void paintMouthInside(uint8_t* rgb, int C, const float* rest, const float* open,
                      const Teeth& teeth) {
  auto x = [&](const float* kp, int r) { return px(kp[r * 3], C); };
  auto y = [&](const float* kp, int r) { return px(kp[r * 3 + 1], C); };
  // Rows 17 and 13 are the corners, 19 and 15 the middle of the upper and
  // lower lip; the lips part by how far these moved from the closed mouth.
  const double left = x(open, 17), right = x(open, 13);
  const double width = right - left;
  if (width < 4) return;
  const double restMid = (y(rest, 19) + y(rest, 15)) / 2 - (y(rest, 17) + y(rest, 13)) / 2;
  const double up = std::min(0.0, y(open, 19) - y(rest, 19));
  const double down =
      std::max(0.0, (y(open, 15) - y(rest, 15)) -
                        ((y(open, 17) - y(rest, 17)) + (y(open, 13) - y(rest, 13))) / 2);
  if (down - up < 1) return;

  // The teeth matched to the face: as bright as a little above its skin by
  // the mouth, within the range of real teeth.
  double skin = 0;
  int n = 0;
  const int sy = std::clamp(int(y(rest, 7) + 0.5 * (y(rest, 19) - y(rest, 7))), 0, C - 1);
  for (int sx = std::max(0, int(left)); sx <= std::min(C - 1, int(right)); ++sx, ++n)
    skin += luma(rgb + (size_t(sy) * C + sx) * 3);
  skin = n ? skin / n : 160;
  // The avatar's light against the teeth photograph's, on skin above the
  // lips in both: half of it, since skin differs from face to face too.
  double light[3];
  colourOf(rgb, C, C, sy, left, right, light);
  for (int k = 0; k < 3; ++k) light[k] = std::clamp(std::sqrt(light[k] / teeth.skin[k]), 0.85, 1.2);
  double own = 0;
  for (size_t i = 0; i < teeth.rgb.size(); i += 3) own += luma(&teeth.rgb[i]);
  own = std::max(1.0, own / double(teeth.rgb.size() / 3));
  const double gain = std::clamp(skin * 1.15, 150.0, 225.0) / own;
  const double teethMax = 0.11 * width;

  for (int cx = std::max(0, int(std::ceil(left))); cx <= std::min(C - 1, int(right)); ++cx) {
    const double t = (cx - left) / width, w = std::sin(kPi * t);
    const double base = y(open, 17) + t * (y(open, 13) - y(open, 17)) + w * restMid;
    const double top = base + w * up, bot = base + w * down, h = bot - top;
    if (h < 0.5) continue;
    const double teethH = std::min(0.6 * h, teethMax * std::sqrt(w));
    for (int cy = std::max(0, int(std::floor(top))); cy <= std::min(C - 1, int(std::ceil(bot)));
         ++cy) {
      const double a = std::clamp(std::min(cy - top, bot - cy) + 0.5, 0.0, 1.0);
      if (a <= 0) continue;
      double c[3];
      if (cy - top < teethH) {
        // Upper teeth, darker towards the corners where the cheeks shade them.
        const int tx = std::clamp(int((0.08 + 0.84 * t) * teeth.w), 0, teeth.w - 1);
        const int ty = std::clamp(int((cy - top) / teethH * teeth.h), 0, teeth.h - 1);
        // Their light and shade, in ivory: the photograph's own colour is
        // its light's, not the avatar's.
        const double l = luma(&teeth.rgb[(size_t(ty) * teeth.w + tx) * 3]) * gain;
        const double shade = 0.55 + 0.45 * w;
        for (int k = 0; k < 3; ++k) c[k] = l * shade * kIvory[k] * light[k];
      } else {
        // The cavity: dark red, darkest deep in the middle.
        const double depth =
            std::clamp(std::min(cy - top - teethH, bot - cy) / (0.5 * h), 0.0, 1.0);
        const double f = 1.0 - 0.45 * depth * w;
        c[0] = 96 * f * light[0];
        c[1] = 34 * f * light[1];
        c[2] = 38 * f * light[2];
      }
      uint8_t* d = rgb + (size_t(cy) * C + cx) * 3;
      for (int k = 0; k < 3; ++k)
        d[k] = uint8_t(std::lround(std::clamp(a * c[k] + (1 - a) * d[k], 0.0, 255.0)));
    }
  }
}

}  // namespace vever
