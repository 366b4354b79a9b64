// The motion generator's emit: a motion vector and a corpus frame become the
// base and driven keypoints, and pulls walk the corpus.
#include <algorithm>
#include <cmath>
#include <vector>

#include "audio/le_motion_generator.h"

namespace le {
namespace {

constexpr int kLips[] = {6, 12, 14, 17, 19, 20};

void poseToR(float a, float b, float c, float R[9]) {
  const float k = 3.1415927f / 180.f;
  const float sa = std::sin(a * k), ca = std::cos(a * k);
  const float sb = std::sin(b * k), cb = std::cos(b * k);
  const float sc = std::sin(c * k), cc = std::cos(c * k);
  const float r[9] = {cb * cc,
                      cb * sc,
                      -sb,
                      sa * sb * cc - ca * sc,
                      ca * cc + sa * sb * sc,
                      sa * cb,
                      sa * sc + ca * sb * cc,
                      ca * sb * sc - sa * cc,
                      ca * cb};
  std::copy(r, r + 9, R);
}

}  // namespace

float motionBin66(const float* logits) {
  const float mx = *std::max_element(logits, logits + 66);
  float sum = 0, weighted = 0;
  for (int i = 0; i < 66; ++i) {
    const float p = std::exp(logits[i] - mx);
    sum += p;
    weighted += p * float(i);
  }
  return 3.f * (weighted / sum) - 97.5f;
}

}  // namespace le

using le::kMotionDim;
using le::kMotionPose;
using le::kMotionSrcRow;
using le::motion::fail;
using le::motion::kKp;

void le_motion::vectorAt(int64_t f, float* out) const {
  if (built) {
    std::copy_n(finalStore.data() + size_t(f) * kMotionDim, kMotionDim, out);
    return;
  }
  const int64_t len = length();
  std::copy_n(motion.data() + size_t(f) * kMotionDim, kMotionDim, out);
  const int64_t lo = std::max<int64_t>(f - 1, 0), hi = std::min(f + 1, len - 1);
  for (int c = 0; c < kMotionPose; ++c) {
    float s = 0;
    for (int64_t j = lo; j <= hi; ++j) s += motion[size_t(j) * kMotionDim + size_t(c)];
    out[c] = s / float(hi - lo + 1);
  }
  for (int c = 0; c < kMotionDim; ++c)
    out[c] = std::clamp(out[c], vMinMax[size_t(c)], vMinMax[size_t(kMotionDim + c)]);
}

void le_motion::emitFrame(const float* m, int index, float* base, float* driven) {
  if (index < 0 || index >= NT) fail("le_motion: corpus index out of range");
  const float* src = srcXs.data() + size_t(index) * kMotionSrcRow;
  const float* exp = m + kMotionPose;
  if (!haveRef) {
    expRef.assign(exp, exp + kKp);
    haveRef = true;
  }
  float newExp[kKp];
  std::copy_n(src, kKp, newExp);
  for (int kp : le::kLips)
    for (int d = 0; d < 3; ++d) {
      const int i = 3 * kp + d;
      newExp[i] = src[i] + lipGain * (exp[i] - expRef[size_t(i)]);
    }
  const float a = le::motionBin66(src + 126), b = le::motionBin66(src + 262),
              c = le::motionBin66(src + 192);
  float R[9], Rd[9];
  le::poseToR(a, b, c, R);
  le::poseToR(a + deltaPitch, b, c, Rd);
  const float scale = src[258];
  const float shift[3] = {src[259], src[260], 0.f};
  const float* canon = src + 63;
  float xs[kKp], xd[kKp], out[kKp];
  for (int kp = 0; kp < 21; ++kp)
    for (int j = 0; j < 3; ++j) {
      float rs = 0, rd = 0;
      for (int i = 0; i < 3; ++i) {
        rs += canon[3 * kp + i] * R[3 * i + j];
        rd += canon[3 * kp + i] * Rd[3 * i + j];
      }
      xs[3 * kp + j] = scale * (rs + src[3 * kp + j]) + shift[j];
      xd[3 * kp + j] = scale * (rd + newExp[3 * kp + j]) + shift[j];
    }
  stitch.run({{xs, size_t(kKp)}, {xd, size_t(kKp)}}, out, {1, 21, 3});
  const float* row = target.data() + size_t(index) * kKp;
  for (int i = 0; i < kKp; ++i) {
    base[i] = row[i];
    driven[i] = row[i] + sBridge * (out[i] - xs[i]);
  }
  const bool append = emitted > 0;
  le::motion::dumpFloats(dump, "xs.bin", xs, kKp, append);
  le::motion::dumpFloats(dump, "xd.bin", xd, kKp, append);
  le::motion::dumpFloats(dump, "xsla.bin", base, kKp, append);
  le::motion::dumpFloats(dump, "xdla.bin", driven, kKp, append);
}

void le_motion::pull(int* indices, float* base, float* driven, int max, int& k) {
  const int64_t n = std::min<int64_t>(max, available());
  std::vector<float> vec(kMotionDim);
  for (k = 0; k < n; ++k) {
    vectorAt(emitted, vec.data());
    emitFrame(vec.data(), walk, base + size_t(k) * kKp, driven + size_t(k) * kKp);
    if (indices) indices[k] = walk;
    // The walk moves only once the frame is out, so a failed emit repeats it.
    if (loop) {
      walk = ((walk + direction) % NT + NT) % NT;
    } else {
      int next = walk + direction;
      if (next < 0) {
        direction = 1;
        next = NT > 1 ? 1 : 0;
      } else if (next >= NT) {
        direction = -1;
        next = NT > 1 ? NT - 2 : 0;
      }
      walk = next;
    }
    ++emitted;
  }
}

namespace le {

void motionEmit(le_motion* m, const float* motion, int index, float* base, float* driven) {
  m->emitFrame(motion, index, base, driven);
}

}  // namespace le
