#include "face_video.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>

#include "video_file.h"

namespace vever {
namespace {

constexpr double kFps = 25;
// More frames than this without the face found, and the video is refused.
constexpr double kMostLost = 0.1;
// Loops shorter than this show their repetition.
constexpr int kShortestLoop = 50;
// A loop whose last frame leads back to its first by more than this (in
// landmark motion, as a share of the eyes-to-mouth distance) would show a
// jump: the video is played forwards then backwards instead.
constexpr double kSeamless = 0.02;

// Savitzky-Golay smoothing (a parabola fitted over 9 frames): frame noise
// falls by half, and motion that is smooth over a third of a second is
// followed with no lag, since the fit is centred.
std::vector<std::array<Point, 68>> smooth(const std::vector<std::array<Point, 68>>& in) {
  static const double kWeights[9] = {-21, 14, 39, 54, 59, 54, 39, 14, -21};
  const int n = int(in.size());
  std::vector<std::array<Point, 68>> out(in.size());
  for (int t = 0; t < n; ++t) {
    // At the ends the window shrinks to stay centred.
    const int m = std::min({4, t, n - 1 - t});
    for (size_t i = 0; i < 68; ++i) {
      if (m < 2) {
        out[size_t(t)][i] = in[size_t(t)][i];
        continue;
      }
      double x = 0, y = 0, sum = 0;
      for (int k = -m; k <= m; ++k) {
        // The weights of a window of 2m + 1: 3(3m^2 + 3m - 1) - 15 k^2.
        const double w = m == 4 ? kWeights[k + 4] : 3.0 * (3 * m * m + 3 * m - 1) - 15.0 * k * k;
        x += w * in[size_t(t + k)][i].x;
        y += w * in[size_t(t + k)][i].y;
        sum += w;
      }
      out[size_t(t)][i] = {x / sum, y / sum};
    }
  }
  return out;
}

double distance(const std::array<Point, 68>& a, const std::array<Point, 68>& b) {
  double sum = 0;
  for (size_t i = 0; i < 68; ++i)
    sum += std::pow(a[i].x - b[i].x, 2) + std::pow(a[i].y - b[i].y, 2);
  return std::sqrt(sum / 68);
}

std::string at(double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f s", seconds);
  return buf;
}

}  // namespace

std::vector<Portrait> videoLoop(const std::string& path, const FaceFinder& finder,
                                const VideoLoopOptions& o) {
  auto progress = [&](double done) {
    if (o.progress) o.progress(done);
  };
  // First read: the face, frame by frame.
  std::vector<std::array<Point, 68>> seen;
  int lost = 0;
  double firstLost = -1;
  int width = 0, height = 0;
  {
    VideoReader video(path);
    width = video.width();
    height = video.height();
    Picture frame;
    Face face;
    while (video.next(frame)) {
      if (seen.empty()) {
        const std::vector<Face> faces = finder.find(frame.rgb.data(), frame.width, frame.height);
        face = chooseFace(faces, o.face, path, "the video's first frame");
      } else {
        Face now;
        if (finder.follow(frame.rgb.data(), frame.width, frame.height, face, now)) {
          face = now;
        } else {
          // Held where it was last seen.
          if (lost++ == 0) firstLost = video.time();
        }
      }
      seen.push_back(face.points);
      if (seen.size() % 25 == 0) progress(std::min(0.45, seen.size() / (kFps * 60)));
    }
  }
  if (lost > kMostLost * double(seen.size()))
    throw std::runtime_error(path + ": the face is lost in " + std::to_string(lost) + " of " +
                             std::to_string(seen.size()) + " frames, first at " + at(firstLost) +
                             "; the limit is " + std::to_string(int(kMostLost * 100)) + "%");
  const std::vector<std::array<Point, 68>> marks = smooth(seen);
  const int n = int(marks.size());
  const FacePose first = poseOf(marks[0]);
  checkFace(first, path + ": the face");

  // The loop: the longest that closes without a visible jump, else the one
  // that closes best; a video that closes nowhere plays forwards and back.
  const int longest = std::max(1, std::min(n, int(o.seconds * kFps)));
  const double unit = std::max(first.size, 1.0);
  // The jump from a loop's last frame back to its first, against the frame
  // that followed the last in the video (the last frame of the video itself).
  auto jump = [&](int a, int length) {
    return distance(marks[size_t(std::min(a + length, n - 1))], marks[size_t(a)]) / unit;
  };
  int bestStart = 0, bestLength = longest;
  double bestJump = jump(0, longest);
  for (int length = longest; length >= std::min(kShortestLoop, longest) && bestJump > kSeamless;
       --length)
    for (int a = 0; a + length <= n; ++a)
      if (jump(a, length) < bestJump)
        bestJump = jump(a, length), bestStart = a, bestLength = length;
  std::vector<int> order;
  if (bestJump <= 3 * kSeamless) {
    for (int t = 0; t < bestLength; ++t) order.push_back(bestStart + t);
  } else {
    const int half = std::min(n, longest / 2);
    for (int t = 0; t < half; ++t) order.push_back(t);
    for (int t = half - 2; t >= 1; --t) order.push_back(t);
  }

  // One framing for the whole loop, so the background stays where it is:
  // around the face's mean place, as large as its largest.
  FacePose mean = first;
  mean.centre = {0, 0};
  mean.size = 0;
  mean.roll = 0;
  for (int t : order) {
    const FacePose p = poseOf(marks[size_t(t)]);
    mean.centre.x += p.centre.x / double(order.size());
    mean.centre.y += p.centre.y / double(order.size());
    mean.roll += p.roll / double(order.size());
    mean.size = std::max(mean.size, p.size);
  }
  const Framing framing = framingFor(mean, width, height);

  // Second read: the loop's frames as portraits.
  std::map<int, Portrait> made;
  const int last = *std::max_element(order.begin(), order.end());
  {
    VideoReader video(path);
    Picture frame;
    for (int t = 0; t <= last && video.next(frame); ++t) {
      if (std::find(order.begin(), order.end(), t) != order.end())
        made.emplace(t, portraitOf(frame, marks[size_t(t)], framing));
      if (t % 25 == 0) progress(0.5 + 0.5 * t / std::max(last, 1));
    }
  }
  std::vector<Portrait> loop;
  for (int t : order) {
    const auto it = made.find(t);
    if (it == made.end())
      throw std::runtime_error(path + ": the video ended early on its second read");
    loop.push_back(it->second);
  }
  progress(1);
  return loop;
}

}  // namespace vever
