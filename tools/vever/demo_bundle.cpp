// The demo avatar: a public-domain portrait (the astronaut photograph that
// python3-skimage ships) turned into a bundle. The idle loop is the photo
// swaying gently about the neck; the face crop is the same for every source
// frame because the sway is carried by the paste transforms M, so pasting
// the rendered crop back lands exactly on the moving head. In a scene larger
// than the portrait, the portrait is scaled to fit, centred, and continued
// past its edges by a darkened mirror image as a backdrop.
#include "demo_bundle.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "compute/le_simd.h"
#include "driver/le_image.h"
#include "mp4_writer.h"
#include "teeth_members.h"

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb_image_write.h>
#pragma GCC diagnostic pop

namespace vever {
namespace {

constexpr int kSide = 512;  // the portrait is 512 x 512
constexpr double kPi = 3.14159265358979323846;

// The face box in the portrait: a 160-pixel square around the face.
constexpr double kBoxX = 145, kBoxY = 45, kBoxSide = 160;

// The 21 keypoints, placed by hand on the portrait (pixel coordinates of
// the 512 x 512 image): read off an enlarged view of the face with a 10-pixel
// grid, at the brows, eye centres, nose, jaw line and chin, and around the
// lips. Rows 13..20 go round the mouth as the director expects: right corner
// (x+), lower-right, lower centre, lower-left, left corner, upper-left, upper
// centre, upper-right.
const double kKeypointsPx[21][2] = {
    {188, 92},  {213, 93},  {236, 93},  {258, 92},   // brows
    {204, 101}, {246, 101},                          // eyes
    {225, 106}, {225, 127}, {216, 131}, {235, 131},  // nose bridge, tip, nostrils
    {182, 145}, {223, 176}, {266, 145},              // jaw left, chin, jaw right
    {250, 140}, {242, 150}, {226, 154}, {210, 150},  // mouth: corner, lower lip
    {203, 141}, {211, 138}, {226, 139}, {241, 138},  // corner, upper lip
};

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

void makeDir(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i)
    if (i == path.size() || path[i] == '/') ::mkdir(path.substr(0, i).c_str(), 0755);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) fail("cannot create " + path);
}

void writeBytes(const std::string& path, const void* data, size_t n) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char*>(data), std::streamsize(n));
  if (!f) fail("cannot write " + path);
}

template <class T>
void writeVector(const std::string& path, const std::vector<T>& v) {
  writeBytes(path, v.data(), v.size() * sizeof(T));
}

// Bilinear sample of channel c at (x, y), clamped to the image.
float sample(const std::vector<uint8_t>& img, double x, double y, int c) {
  x = std::min(std::max(x, 0.0), kSide - 1.0);
  y = std::min(std::max(y, 0.0), kSide - 1.0);
  const int x0 = std::min(int(x), kSide - 2), y0 = std::min(int(y), kSide - 2);
  const double fx = x - x0, fy = y - y0;
  auto at = [&](int xx, int yy) { return double(img[(size_t(yy) * kSide + xx) * 3 + c]); };
  return float((1 - fy) * ((1 - fx) * at(x0, y0) + fx * at(x0 + 1, y0)) +
               fy * ((1 - fx) * at(x0, y0 + 1) + fx * at(x0 + 1, y0 + 1)));
}

// The backdrop of a larger scene: the portrait mirrored about its edges and
// darkened with the distance from them, so that the sway shows no seam.
float sampleScene(const std::vector<uint8_t>& img, double x, double y, int c) {
  const double far = kSide - 1.0;
  double out = 0;
  auto mirror = [&](double v) {
    while (v < 0 || v > far) {
      out = std::max(out, v < 0 ? -v : v - far);
      v = v < 0 ? -v : 2 * far - v;
    }
    return v;
  };
  const double mx = mirror(x), my = mirror(y);
  return sample(img, mx, my, c) * float(1.0 - 0.45 * std::min(1.0, out / 160.0));
}

// Where the portrait sits in the scene: scene pixel = scale (p + 0.5) - 0.5
// + offset, with p a portrait pixel.
struct Placement {
  double scale, ox, oy;
  bool backdrop;
};

Placement place(int W, int H) {
  const double s = std::min(W, H) / double(kSide);
  return {s, (W - kSide * s) / 2, (H - kSide * s) / 2, W != kSide || H != kSide};
}

// The sway of source frame t: frame point = A_t(portrait point), a small
// rotation about the neck and a drift, periodic over the loop.
struct Affine {
  double a, b, c, d, e, f;  // X = a x + b y + c, Y = d x + e y + f
};

Affine sway(int t, int nt) {
  const double ph = 2 * kPi * t / nt;
  const double ang = 1.6 * kPi / 180 * std::sin(ph);
  const double cx = 225, cy = 300;  // the neck
  const double tx = 1.5 * std::sin(ph + 1.0), ty = 1.0 * std::sin(2 * ph);
  const double ca = std::cos(ang), sa = std::sin(ang);
  return {ca, -sa, cx - ca * cx + sa * cy + tx, sa, ca, cy - sa * cx - ca * cy + ty};
}

// Crop pixel (centre at x + 0.5) to portrait pixel.
double cropToPx(double v, double origin, int crop) {
  return origin + (v + 0.5) * (kBoxSide / crop) - 0.5;
}

std::vector<float> neutralKeypoints() {
  std::vector<float> kp(63, 0.f);
  for (int r = 0; r < 21; ++r) {
    kp[size_t(r) * 3 + 0] = float(2 * (kKeypointsPx[r][0] + 0.5 - kBoxX) / kBoxSide - 1);
    kp[size_t(r) * 3 + 1] = float(2 * (kKeypointsPx[r][1] + 0.5 - kBoxY) / kBoxSide - 1);
  }
  return kp;
}

// How far the mouth is open in drive frame i (0..1): syllables of about a
// quarter second, in phrases with pauses between them.
double mouthOpening(int i) {
  const int inPhrase = i % 50;
  if (inPhrase < 4 || inPhrase >= 40) return 0;
  const double syllable = 0.5 - 0.5 * std::cos(2 * kPi * (inPhrase - 4) / 6.0);
  return syllable * (0.6 + 0.4 * std::sin(i * 0.7));
}

std::vector<float> openMouth(std::vector<float> kp, double a) {
  auto move = [&](int row, double dy) { kp[size_t(row) * 3 + 1] += float(dy * a); };
  for (int r : {14, 15, 16}) move(r, 0.10);    // lower lip down
  for (int r : {18, 19, 20}) move(r, -0.025);  // upper lip up
  move(13, 0.02);
  move(17, 0.02);
  move(11, 0.05);  // the chin follows the jaw
  return kp;
}

std::string copyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  if (!in) fail("cannot open " + from);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  writeBytes(to, bytes.data(), bytes.size());
  return to;
}

// The idle loop: JPEG frames and the same frames as an MP4 member. Every
// session decodes the member on every frame, so it is coded for a cheap
// decode (no CABAC, no deblocking: about 40% less CPU at 1080p, 0.1 dB). A
// larger scene carries its idle loop as the MP4 track alone: a 1080p JPEG
// costs the driver about three times the CPU of an H.264 frame.
void writeIdleLoop(const std::string& dir, const std::vector<uint8_t>& photo, const Placement& at,
                   int W, int H, int nt) {
  const bool jpegs = !at.backdrop;
  if (jpegs) makeDir(dir + "/target_frames");
  Mp4Writer mp4(dir + "/target_frames_mp4", W, H, 25, 18, 0, false, "fastdecode");
  std::vector<uint8_t> frame(size_t(W) * H * 3);
  for (int t = 0; t < nt; ++t) {
    const Affine A = sway(t, nt);
    const double det = A.a * A.e - A.b * A.d;
    for (int Y = 0; Y < H; ++Y)
      for (int X = 0; X < W; ++X) {
        // Scene pixel to swayed portrait point, then back through the sway.
        const double px = (X + 0.5 - at.ox) / at.scale - 0.5;
        const double py = (Y + 0.5 - at.oy) / at.scale - 0.5;
        const double dx = px - A.c, dy = py - A.f;
        const double x = (A.e * dx - A.b * dy) / det, y = (-A.d * dx + A.a * dy) / det;
        for (int c = 0; c < 3; ++c) {
          const float v = at.backdrop ? sampleScene(photo, x, y, c) : sample(photo, x, y, c);
          frame[(size_t(Y) * W + X) * 3 + c] = uint8_t(std::lround(v));
        }
      }
    char name[64];
    std::snprintf(name, sizeof name, "/target_frames/frame_%06d.jpg", t);
    if (jpegs && !stbi_write_jpg((dir + name).c_str(), W, H, 3, frame.data(), 92))
      fail("cannot write " + dir + name);
    mp4.write(frame.data());
  }
  mp4.finish();
}

// The warp prior (the face box at crop resolution, identical for every
// frame) and the pooled features (a coarse look at the face per channel).
void writeFaceMembers(const std::string& dir, const std::vector<uint8_t>& photo, int crop, int nt) {
  const size_t plane = size_t(crop) * crop;
  std::vector<float> face(plane * 3);
  for (int y = 0; y < crop; ++y)
    for (int x = 0; x < crop; ++x)
      for (int c = 0; c < 3; ++c)
        face[size_t(c) * plane + size_t(y) * crop + x] =
            sample(photo, cropToPx(x, kBoxX, crop), cropToPx(y, kBoxY, crop), c) / 255.f;
  std::vector<uint16_t> one(plane * 3);
  le::simd::f32ToF16(face.data(), one.data(), one.size());
  std::vector<uint16_t> prior;
  prior.reserve(one.size() * size_t(nt));
  for (int t = 0; t < nt; ++t) prior.insert(prior.end(), one.begin(), one.end());
  writeVector(dir + "/P.f16", prior);

  std::vector<float> pooled(65536);
  const int step = crop / 32;
  for (int k = 0; k < 64; ++k)
    for (int y = 0; y < 32; ++y)
      for (int x = 0; x < 32; ++x)
        pooled[size_t(k) * 1024 + size_t(y) * 32 + x] =
            face[size_t(k % 3) * plane + size_t(y * step) * crop + x * step] * float(k + 1) / 64.f;
  std::vector<uint16_t> pooled16(pooled.size());
  le::simd::f32ToF16(pooled.data(), pooled16.data(), pooled.size());
  std::vector<uint16_t> pooledAll;
  for (int t = 0; t < nt; ++t) pooledAll.insert(pooledAll.end(), pooled16.begin(), pooled16.end());
  writeVector(dir + "/pooled64.f16", pooledAll);
}

// Paste transforms (crop pixel -> portrait pixel -> swayed portrait pixel ->
// scene pixel) and the paste mask: the lower face, feathered so that no seam
// shows.
void writePasteMembers(const std::string& dir, const Placement& at, int crop, int nt) {
  const size_t plane = size_t(crop) * crop;
  std::vector<float> M(size_t(nt) * 6);
  const double cropScale = kBoxSide / crop;
  const double s = at.scale, tx = 0.5 * s - 0.5 + at.ox, ty = 0.5 * s - 0.5 + at.oy;
  for (int t = 0; t < nt; ++t) {
    const Affine A = sway(t, nt);
    const double ox = kBoxX + 0.5 * cropScale - 0.5, oy = kBoxY + 0.5 * cropScale - 0.5;
    const double m[6] = {A.a * cropScale, A.b * cropScale, A.a * ox + A.b * oy + A.c,
                         A.d * cropScale, A.e * cropScale, A.d * ox + A.e * oy + A.f};
    const double p[6] = {s * m[0], s * m[1], s * m[2] + tx, s * m[3], s * m[4], s * m[5] + ty};
    for (int k = 0; k < 6; ++k) M[size_t(t) * 6 + k] = float(p[k]);
  }
  writeVector(dir + "/M.f32", M);

  std::vector<uint8_t> mask(plane);
  for (int y = 0; y < crop; ++y)
    for (int x = 0; x < crop; ++x) {
      const double nx = ((x + 0.5) / crop - 0.5) / 0.36, ny = ((y + 0.5) / crop - 0.62) / 0.30;
      const double r = std::sqrt(nx * nx + ny * ny);
      const double v = r < 0.7 ? 1.0 : r > 1.0 ? 0.0 : (1.0 - r) / 0.3;
      mask[size_t(y) * crop + x] = uint8_t(std::lround(255 * v * v * (3 - 2 * v)));
    }
  writeVector(dir + "/mask_512.u8", mask);
}

// Keypoints: every source frame shows the same face; the drive track opens
// and closes the mouth while the idle loop plays on. Returns the corpus rows.
std::vector<float> writeKeypoints(const std::string& dir, int nt, int driveFrames) {
  const std::vector<float> neutral = neutralKeypoints();
  std::vector<float> target;
  for (int t = 0; t < nt; ++t) target.insert(target.end(), neutral.begin(), neutral.end());
  writeVector(dir + "/xs_target.bin", target);
  std::vector<float> xs, xd;
  std::vector<int32_t> si;
  for (int i = 0; i < driveFrames; ++i) {
    const auto driven = openMouth(neutral, mouthOpening(i));
    xs.insert(xs.end(), neutral.begin(), neutral.end());
    xd.insert(xd.end(), driven.begin(), driven.end());
    si.push_back(i % nt);
  }
  writeVector(dir + "/drive/xs.f32", xs);
  writeVector(dir + "/drive/xd.f32", xd);
  writeVector(dir + "/drive/si.i32", si);

  return target;
}

// The motion directory: the procedural speech-to-mouth models and this
// avatar's corpus keypoints.
void writeMotionDir(const std::string& dir, const std::string& models,
                    const std::vector<float>& target) {
  const std::string motion = dir + "/motion";
  makeDir(motion);
  for (const char* name : {"w2v.onnx", "a2x_enc_stream.onnx", "a2x_dec.onnx"})
    copyFile(models + "/" + name, motion + "/" + name);
  const char meta[] =
      "{\"h\": 32, \"window\": 2, \"left\": 3, \"layers\": 1, \"width\": false, "
      "\"silence_prime\": 0}\n";
  writeBytes(motion + "/a2x_meta.json", meta, sizeof meta - 1);
  writeVector(motion + "/a2x_pos.f32", std::vector<float>(256 * 32, 0.f));
  std::vector<float> norm(126, 0.f);  // mean 0 and scale 1: the decoder speaks in deltas
  std::fill(norm.begin() + 63, norm.end(), 1.f);
  writeVector(motion + "/a2x_norm.f32", norm);
  writeVector(motion + "/xs_target.bin", target);
}

// The unsharp mask keeps its reach on the face as the crop grows; the
// compose geometry of the teeth borrow is the pi mouth mask around the lips.
void writeManifest(const std::string& dir, int nt, int W, int H, int crop, int driveFrames) {
  const int rel = crop / 256;
  char manifest[1536];
  std::snprintf(manifest, sizeof manifest,
                "{\n"
                "  \"format\": \"le-bundle-v0\",\n"
                "  \"agent\": \"astronaut\",\n"
                "  \"NT\": %d,\n"
                "  \"W\": %d,\n"
                "  \"H\": %d,\n"
                "  \"crop\": %d,\n"
                "  \"amount\": 0.4,\n"
                "  \"sigma\": %.1f,\n"
                "  \"ksize\": %d,\n"
                "  \"frames\": %d,\n"
                "  \"M_src_w\": %d,\n"
                "  \"M_src_h\": %d,\n"
                "  \"unified\": {\"pi\": {\"mode\": \"prop\", \"corner_recovery\": false, "
                "\"prop_gate_scale\": 1.3, \"lip_idx\": [13, 14, 15, 16, 17, 18, 19, 20], "
                "\"lip_geom_params\": [0.05, 0.08, 0.015]}}\n"
                "}\n",
                nt, W, H, crop, double(rel), 4 * rel + 1, driveFrames, W, H);
  writeBytes(dir + "/manifest.json", manifest, std::strlen(manifest));
}

}  // namespace

int cropFor(const DemoOptions& o) {
  if (o.width < kSide || o.height < kSide || o.width > 7680 || o.height > 4320)
    fail("demo-bundle: the scene must be between 512x512 and 7680x4320, not " +
         std::to_string(o.width) + "x" + std::to_string(o.height));
  return o.width == kSide && o.height == kSide ? 256 : 512;
}

void writeDemoBundle(const std::string& dir, const DemoOptions& o) {
  if (o.sourceFrames < 2 || o.driveFrames < 1) fail("demo-bundle: too few frames");
  const int crop = cropFor(o);
  const int W = o.width, H = o.height;
  const Placement at = place(W, H);
  int w = 0, h = 0;
  const std::vector<uint8_t> photo = le::loadImageRGB(o.image, w, h);
  if (w != kSide || h != kSide)
    fail("demo-bundle: " + o.image + " is " + std::to_string(w) + "x" + std::to_string(h) +
         ", expected the 512x512 astronaut portrait");
  makeDir(dir);
  makeDir(dir + "/drive");
  const int nt = o.sourceFrames;
  writeIdleLoop(dir, photo, at, W, H, nt);
  writeFaceMembers(dir, photo, crop, nt);
  writePasteMembers(dir, at, crop, nt);
  const std::vector<float> target = writeKeypoints(dir, nt, o.driveFrames);
  copyFile(o.model, dir + "/model_b1.onnx");
  if (!o.motionModels.empty()) writeMotionDir(dir, o.motionModels, target);
  writeManifest(dir, nt, W, H, crop, o.driveFrames);

  // Donor mouths for the teeth borrow, rendered from the finished bundle with
  // the mouth open as far as the drive track opens it.
  if (!o.teethHead.empty()) {
    TeethOptions t;
    t.headCheckpoint = o.teethHead;
    t.openMouth = [](const std::vector<float>& rest, double amount) {
      return openMouth(rest, amount);
    };
    writeTeethMembers(dir, t);
  }
}

}  // namespace vever
