// An avatar from a photograph. The face is found and its 68 landmarks
// placed by dlib; a square of the photograph around the face becomes the
// 512 x 512 portrait, and the face box (the square the render model's crop
// is cut from) is sized and placed by the landmarks. The idle loop is the
// portrait swaying gently about the neck; the face crop is the same for
// every source frame because the sway is carried by the paste transforms M,
// so pasting the rendered crop back lands exactly on the moving head. In a
// scene larger than the portrait, the portrait is scaled to fit, centred, and
// continued past its edges by a darkened mirror image as a backdrop.
#include "avatar_bundle.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "compute/le_simd.h"
#include "face_landmarks.h"
#include "face_video.h"
#include "mouth_inside.h"
#include "mp4_writer.h"
#include "picture_file.h"
#include "portrait.h"
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

constexpr int kSide = kPortraitSide;
constexpr double kPi = 3.14159265358979323846;
// The mouth width (corner to corner, in box halves) of the astronaut, whose
// face the motion models were made on.
constexpr double kReferenceMouth = 0.55;

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

Affine sway(int t, int nt, const Point& neck) {
  const double ph = 2 * kPi * t / nt;
  const double ang = 1.6 * kPi / 180 * std::sin(ph);
  const double cx = neck.x, cy = neck.y;
  const double tx = 1.5 * std::sin(ph + 1.0), ty = 1.0 * std::sin(2 * ph);
  const double ca = std::cos(ang), sa = std::sin(ang);
  return {ca, -sa, cx - ca * cx + sa * cy + tx, sa, ca, cy - sa * cx - ca * cy + ty};
}

std::string faceName(const std::string& input, size_t n, size_t of) {
  return of > 1 ? input + ": face " + std::to_string(n) : input + ": the face";
}

// What the idle loop shows: one portrait swaying gently (a photograph), or
// the frames of a video as they are.
struct Footage {
  std::vector<Portrait> frames;
  bool sway = true;
  const Portrait& frame(int t) const { return frames[size_t(t) % frames.size()]; }
  Affine motion(int t, int nt) const {
    return sway ? vever::sway(t, nt, frames[0].neck) : Affine{1, 0, 0, 0, 1, 0};
  }
};

// Crop pixel (centre at x + 0.5) to portrait pixel.
double cropToPx(double v, double origin, double side, int crop) {
  return origin + (v + 0.5) * (side / crop) - 0.5;
}

std::vector<float> neutralKeypoints(const Portrait& p) {
  std::vector<float> kp(63, 0.f);
  for (size_t r = 0; r < 21; ++r) {
    kp[r * 3 + 0] = float(2 * (p.keypoints[r].x + 0.5 - p.box.x) / p.box.side - 1);
    kp[r * 3 + 1] = float(2 * (p.keypoints[r].y + 0.5 - p.box.y) / p.box.side - 1);
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
void writeIdleLoop(const std::string& dir, const Footage& footage, const Placement& at, int W,
                   int H, int nt) {
  const bool jpegs = !at.backdrop;
  if (jpegs) makeDir(dir + "/target_frames");
  Mp4Writer mp4(dir + "/target_frames_mp4", W, H, 25, 18, 0, false, "fastdecode");
  std::vector<uint8_t> frame(size_t(W) * H * 3);
  for (int t = 0; t < nt; ++t) {
    const Affine A = footage.motion(t, nt);
    const std::vector<uint8_t>& photo = footage.frame(t).rgb;
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

// The warp prior (the face box at crop resolution) and the pooled features
// (a coarse look at the face per channel) of each source frame.
void writeFaceMembers(const std::string& dir, const Footage& footage, int crop, int nt) {
  const size_t plane = size_t(crop) * crop;
  std::vector<uint16_t> prior, pooledAll;
  prior.reserve(plane * 3 * size_t(nt));
  std::vector<uint16_t> one(plane * 3), pooled16(65536);
  std::vector<float> face(plane * 3), pooled(65536);
  for (int t = 0; t < nt; ++t) {
    if (t < int(footage.frames.size())) {
      const Portrait& p = footage.frame(t);
      const Box& box = p.box;
      for (int y = 0; y < crop; ++y)
        for (int x = 0; x < crop; ++x)
          for (int c = 0; c < 3; ++c)
            face[size_t(c) * plane + size_t(y) * crop + x] =
                sample(p.rgb, cropToPx(x, box.x, box.side, crop),
                       cropToPx(y, box.y, box.side, crop), c) /
                255.f;
      le::simd::f32ToF16(face.data(), one.data(), one.size());
      const int step = crop / 32;
      for (int k = 0; k < 64; ++k)
        for (int y = 0; y < 32; ++y)
          for (int x = 0; x < 32; ++x)
            pooled[size_t(k) * 1024 + size_t(y) * 32 + x] =
                face[size_t(k % 3) * plane + size_t(y * step) * crop + x * step] * float(k + 1) /
                64.f;
      le::simd::f32ToF16(pooled.data(), pooled16.data(), pooled.size());
    }
    prior.insert(prior.end(), one.begin(), one.end());
    pooledAll.insert(pooledAll.end(), pooled16.begin(), pooled16.end());
  }
  writeVector(dir + "/P.f16", prior);
  writeVector(dir + "/pooled64.f16", pooledAll);
}

// Paste transforms (crop pixel -> portrait pixel -> swayed portrait pixel ->
// scene pixel) and the paste mask: the lower face, feathered so that no seam
// shows.
void writePasteMembers(const std::string& dir, const Footage& footage, const Placement& at,
                       int crop, int nt) {
  const size_t plane = size_t(crop) * crop;
  std::vector<float> M(size_t(nt) * 6);
  const double s = at.scale, tx = 0.5 * s - 0.5 + at.ox, ty = 0.5 * s - 0.5 + at.oy;
  for (int t = 0; t < nt; ++t) {
    const Box& box = footage.frame(t).box;
    const double cropScale = box.side / crop;
    const Affine A = footage.motion(t, nt);
    const double ox = box.x + 0.5 * cropScale - 0.5, oy = box.y + 0.5 * cropScale - 0.5;
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

// Keypoints of each source frame; the drive track opens and closes the mouth
// while the idle loop plays on. Returns the corpus rows.
std::vector<float> writeKeypoints(const std::string& dir, const Footage& footage, int nt,
                                  int driveFrames) {
  std::vector<float> target;
  for (int t = 0; t < nt; ++t) {
    const std::vector<float> row = neutralKeypoints(footage.frame(t));
    target.insert(target.end(), row.begin(), row.end());
  }
  writeVector(dir + "/xs_target.bin", target);
  std::vector<float> xs, xd;
  std::vector<int32_t> si;
  for (int i = 0; i < driveFrames; ++i) {
    const std::vector<float> neutral(target.begin() + (i % nt) * 63,
                                     target.begin() + (i % nt + 1) * 63);
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

// The motion directory: the speech-to-mouth models and this avatar's corpus
// keypoints. The models were made on the astronaut's mouth: their mouth
// motion is scaled to this one's width.
//
// A trained model (its directory brings its own a2x_meta.json) moves the
// lips from a closed mouth at rest, so the mean offset first closes the
// photograph's lips by its gap, the lower lip and jaw rising more than the
// upper lip falls. The procedural model only opens a mouth from where the
// photograph has it, so its rest offset stays 0.
void writeMotionDir(const std::string& dir, const std::string& models,
                    const std::vector<float>& target, const Portrait& p) {
  const std::string motion = dir + "/motion";
  makeDir(motion);
  for (const char* name : {"w2v.onnx", "a2x_enc_stream.onnx", "a2x_dec.onnx"})
    copyFile(models + "/" + name, motion + "/" + name);
  const bool trained = std::filesystem::exists(models + "/a2x_meta.json");
  if (trained) {
    copyFile(models + "/a2x_meta.json", motion + "/a2x_meta.json");
    copyFile(models + "/a2x_pos.f32", motion + "/a2x_pos.f32");
  } else {
    const char meta[] =
        "{\"h\": 32, \"window\": 2, \"left\": 3, \"layers\": 1, \"width\": false, "
        "\"silence_prime\": 0}\n";
    writeBytes(motion + "/a2x_meta.json", meta, sizeof meta - 1);
    writeVector(motion + "/a2x_pos.f32", std::vector<float>(256 * 32, 0.f));
  }
  std::vector<float> norm(126, 0.f);  // mean, then scale
  std::fill(norm.begin() + 63, norm.end(), 1.f);
  const float mouth = float(p.mouthWidth / kReferenceMouth);
  for (int r : {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20})
    for (int c = 0; c < 3; ++c) norm[size_t(63 + r * 3 + c)] = mouth;
  if (trained) {
    const float gap = float(p.lipGap);
    auto y = [&](int row) -> float& { return norm[size_t(row * 3 + 1)]; };
    y(15) = -0.6f * gap, y(14) = y(16) = -0.42f * gap;
    y(19) = 0.4f * gap, y(18) = y(20) = 0.28f * gap;
    y(11) = -0.6f * gap, y(10) = y(12) = -0.3f * gap;
  }
  writeVector(motion + "/a2x_norm.f32", norm);
  writeVector(motion + "/xs_target.bin", target);
}

// The lip line as the compose step clips the mouth region with it: the outer
// lip landmarks in units of the lip keypoints' half-extents about their mean.
void writeLipTemplate(const std::string& dir, const Portrait& p, int crop) {
  auto toCrop = [&](const Point& q, double origin, bool y) {
    return ((y ? q.y : q.x) + 0.5 - origin) * crop / p.box.side - 0.5;
  };
  double mx = 0, my = 0;
  for (int r = 13; r <= 20; ++r) {
    mx += toCrop(p.keypoints[size_t(r)], p.box.x, false) / 8;
    my += toCrop(p.keypoints[size_t(r)], p.box.y, true) / 8;
  }
  double ax = 1e-6, ay = 1e-6;
  for (int r = 13; r <= 20; ++r) {
    ax = std::max(ax, std::fabs(toCrop(p.keypoints[size_t(r)], p.box.x, false) - mx));
    ay = std::max(ay, std::fabs(toCrop(p.keypoints[size_t(r)], p.box.y, true) - my));
  }
  std::string text = "{\"format\": \"lip-template-v1\", \"canvas\": " + std::to_string(crop) +
                     ", \"feather_px\": " + std::to_string(std::max(2, crop / 64)) +
                     ", \"lip_idx\": [13, 14, 15, 16, 17, 18, 19, 20], \"u_canon\": [";
  for (size_t i = 0; i < p.lipLine.size(); ++i) {
    char v[64];
    std::snprintf(v, sizeof v, "%s[%.4f, %.4f]", i ? ", " : "",
                  (toCrop(p.lipLine[i], p.box.x, false) - mx) / ax,
                  (toCrop(p.lipLine[i], p.box.y, true) - my) / ay);
    text += v;
  }
  text += "]}\n";
  writeBytes(dir + "/lip_template.v1.json", text.data(), text.size());
}

// The unsharp mask keeps its reach on the face as the crop grows; the
// compose geometry of the teeth borrow is the pi mouth mask around the lips.
void writeManifest(const std::string& dir, const std::string& agent, int nt, int W, int H, int crop,
                   int driveFrames) {
  const int rel = crop / 256;
  char manifest[1536];
  std::snprintf(manifest, sizeof manifest,
                "{\n"
                "  \"format\": \"le-bundle-v0\",\n"
                "  \"agent\": \"%s\",\n"
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
                agent.c_str(), nt, W, H, crop, double(rel), 4 * rel + 1, driveFrames, W, H);
  writeBytes(dir + "/manifest.json", manifest, std::strlen(manifest));
}

}  // namespace

int cropFor(const AvatarOptions& o) {
  if (o.width < kSide || o.height < kSide || o.width > 7680 || o.height > 4320)
    fail("the scene must be between 512x512 and 7680x4320, not " + std::to_string(o.width) + "x" +
         std::to_string(o.height));
  return o.width == kSide && o.height == kSide ? 256 : 512;
}

namespace {

int build(const std::string& dir, const AvatarOptions& o) {
  auto progress = [&](const char* stage, double done) {
    if (o.progress) o.progress(stage, done);
  };
  const int crop = cropFor(o);
  const int W = o.width, H = o.height;
  const Placement at = place(W, H);
  progress("finding the face", 0);
  const FaceFinder finder(o.landmarkModel.empty() ? defaultLandmarkModel() : o.landmarkModel);
  Footage footage;
  int nt = o.sourceFrames;
  if (opensAsPicture(o.input)) {
    const Picture picture = readPicture(o.input);
    const std::vector<Face> faces = finder.find(picture.rgb.data(), picture.width, picture.height);
    const Face& face = chooseFace(faces, o.face, o.input, "the picture");
    const FacePose pose = poseOf(face.points);
    checkFace(pose, faceName(o.input, size_t(std::max(o.face, 1)), faces.size()));
    footage.frames.push_back(
        portraitOf(picture, face.points, framingFor(pose, picture.width, picture.height)));
  } else {
    VideoLoopOptions v;
    v.face = o.face;
    v.seconds = o.seconds;
    v.progress = [&](double done) { progress("following the face", 0.05 + 0.45 * done); };
    footage.frames = videoLoop(o.input, finder, v);
    footage.sway = false;
    nt = int(footage.frames.size());
  }
  const Portrait& portrait = footage.frames[0];
  makeDir(dir + "/drive");
  progress("the idle loop", 0.5);
  writeIdleLoop(dir, footage, at, W, H, nt);
  progress("the face members", 0.65);
  writeFaceMembers(dir, footage, crop, nt);
  writePasteMembers(dir, footage, at, crop, nt);
  const std::vector<float> target = writeKeypoints(dir, footage, nt, o.driveFrames);
  writeLipTemplate(dir, portrait, crop);
  copyFile(o.model, dir + "/model_b1.onnx");
  if (!o.motionModels.empty()) writeMotionDir(dir, o.motionModels, target, portrait);
  writeManifest(dir, o.agent, nt, W, H, crop, o.driveFrames);

  // Donor mouths for the teeth borrow, rendered from the finished bundle with
  // the mouth open as far as the drive track opens it.
  if (!o.teethHead.empty()) {
    progress("the teeth members", 0.8);
    TeethOptions t;
    t.headCheckpoint = o.teethHead;
    t.openMouth = [](const std::vector<float>& rest, double amount) {
      return openMouth(rest, amount);
    };
    Teeth teeth;
    if (!o.teethPhoto.empty()) {
      const Picture shows = readPicture(o.teethPhoto);
      const std::vector<Face> them = finder.find(shows.rgb.data(), shows.width, shows.height);
      if (them.empty()) fail(o.teethPhoto + ": no face found for the avatar's teeth");
      teeth = teethOf(shows, them.front().points);
      t.paintInside = [&teeth](uint8_t* rgb, int C, const float* rest, const float* open) {
        paintMouthInside(rgb, C, rest, open, teeth);
      };
    }
    writeTeethMembers(dir, t);
  }
  progress("done", 1);
  return nt;
}

}  // namespace

int writeAvatarBundle(const std::string& dir, const AvatarOptions& o) {
  namespace fs = std::filesystem;
  if (o.sourceFrames < 2 || o.driveFrames < 1) fail("too few frames");
  if (dir.empty()) fail("no bundle directory given");
  std::error_code ec;
  const fs::path target = fs::path(dir).lexically_normal();
  if (fs::exists(target, ec)) {
    if (!fs::is_directory(target, ec)) fail(dir + " exists and is not a directory");
    if (!fs::is_empty(target, ec) && !fs::exists(target / "manifest.json", ec))
      fail(dir + " exists and is neither empty nor a bundle; not replacing it");
  }
  const fs::path parent = target.has_parent_path() ? target.parent_path() : fs::path(".");
  makeDir(parent.string());
  // Built beside its place, and renamed into it only when complete.
  std::string part = target.string() + ".part-XXXXXX";
  if (!::mkdtemp(part.data())) fail("cannot make a directory beside " + dir);
  try {
    const int nt = build(part, o);
    std::string old;
    if (fs::exists(target, ec)) {
      old = target.string() + ".old-XXXXXX";
      if (!::mkdtemp(old.data()) || ::rename(target.c_str(), old.c_str()) != 0)
        fail("cannot move the bundle in " + dir + " aside");
    }
    if (::rename(part.c_str(), target.c_str()) != 0) {
      if (!old.empty()) ::rename(old.c_str(), target.c_str());
      fail("cannot put the new bundle in " + dir);
    }
    if (!old.empty()) fs::remove_all(old, ec);
    return nt;
  } catch (...) {
    fs::remove_all(part, ec);
    throw;
  }
}

}  // namespace vever
