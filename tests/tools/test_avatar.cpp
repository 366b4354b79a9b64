// The avatar builder on photographs made from the astronaut portrait: moved,
// scaled, turned, mirrored, recoloured, doubled, shrunk, and on files that
// are no photograph at all.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/le_image.h"
#include "support/test_util.h"

namespace {

int run(const std::string& args, std::string* out) {
  const std::string cmd = std::string(VEVER_TOOL) + " " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  out->clear();
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out->append(buf, n);
  const int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Image {
  int w = 0, h = 0;
  std::vector<uint8_t> rgb;
};

Image astronaut() {
  Image a;
  a.rgb = le::loadImageRGB(LE_DEMO_IMAGE, a.w, a.h);
  return a;
}

// The picture placed in a w x h canvas of grey: canvas point = centre +
// scale R(degrees) (picture point - picture centre), mirrored if asked.
Image place(const Image& src, int w, int h, double scale, double degrees, bool mirror = false,
            double cx = -1, double cy = -1) {
  Image out{w, h, std::vector<uint8_t>(size_t(w) * h * 3, 128)};
  const double a = degrees * 3.14159265358979 / 180, c = std::cos(a), s = std::sin(a);
  if (cx < 0) cx = w / 2.0, cy = h / 2.0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double dx = (x - cx) / scale, dy = (y - cy) / scale;
      double u = c * dx + s * dy + src.w / 2.0, v = -s * dx + c * dy + src.h / 2.0;
      if (mirror) u = src.w - 1 - u;
      if (u < 0 || v < 0 || u > src.w - 1.001 || v > src.h - 1.001) continue;
      const int u0 = int(u), v0 = int(v);
      const double fu = u - u0, fv = v - v0;
      for (int k = 0; k < 3; ++k) {
        auto at = [&](int uu, int vv) { return src.rgb[(size_t(vv) * src.w + uu) * 3 + k]; };
        out.rgb[(size_t(y) * w + x) * 3 + k] =
            uint8_t(std::lround((1 - fv) * ((1 - fu) * at(u0, v0) + fu * at(u0 + 1, v0)) +
                                fv * ((1 - fu) * at(u0, v0 + 1) + fu * at(u0 + 1, v0 + 1))));
      }
    }
  return out;
}

std::string save(const le_test::TempDir& d, const std::string& name, const Image& img) {
  const std::string path = d / name;
  le::writePNG(path, img.rgb.data(), img.w, img.h);
  return path;
}

using Keypoints = std::array<std::array<double, 2>, 21>;

Keypoints keypointsOf(const std::string& bundle) {
  std::ifstream f(bundle + "/xs_target.bin", std::ios::binary);
  float v[63] = {};
  f.read(reinterpret_cast<char*>(v), sizeof v);
  Keypoints k{};
  for (int r = 0; r < 21; ++r) k[size_t(r)] = {v[r * 3], v[r * 3 + 1]};
  return k;
}

// The largest gap between the keypoints' pairwise distances, in the
// portrait's pixels (the box is 160 pixels, 2 in keypoint units): what stays
// the same wherever the face is, however large and however turned.
double shapeDifference(const Keypoints& a, const Keypoints& b, const int* order) {
  double worst = 0;
  for (int i = 0; i < 21; ++i)
    for (int j = i + 1; j < 21; ++j) {
      auto dist = [](const Keypoints& k, int p, int q) {
        return std::hypot(k[size_t(p)][0] - k[size_t(q)][0], k[size_t(p)][1] - k[size_t(q)][1]);
      };
      worst = std::max(worst, std::fabs(dist(a, i, j) - dist(b, order[i], order[j])) * 80);
    }
  return worst;
}

const std::string kSmall = " --source-frames 2 --frames 2";

TEST(AvatarTool, TheFaceIsFoundWhereverTheSamePhotographPutsIt) {
  le_test::TempDir d;
  std::string out;
  const Image astro = astronaut();
  ASSERT_EQ(run("avatar " + save(d, "a.png", astro) + " -o " + d / "a" + kSmall, &out), 0) << out;
  const Keypoints base = keypointsOf(d / "a");
  const int same[21] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
  // Mirrored, the person's right is on the other side: so are the rows.
  const int mirrored[21] = {3,  2,  1,  0,  5,  4,  6,  7,  9,  8, 12,
                            11, 10, 17, 16, 15, 14, 13, 20, 19, 18};
  Image recoloured = astro;
  for (size_t i = 0; i < recoloured.rgb.size(); ++i)
    recoloured.rgb[i] = uint8_t(std::min(255.0, recoloured.rgb[i] * (i % 3 == 0 ? 0.8 : 1.1) + 12));
  struct Variant {
    const char* name;
    Image img;
    const int* order;
  } variants[] = {
      {"smaller, off centre", place(astro, 1000, 700, 0.7, 0, false, 300, 330), same},
      {"larger", place(astro, 1400, 1400, 2.5, 0), same},
      {"turned by 20 degrees", place(astro, 720, 720, 1.0, 20), same},
      {"mirrored", place(astro, 512, 512, 1.0, 0, true), mirrored},
      {"recoloured", recoloured, same},
  };
  for (const Variant& v : variants) {
    SCOPED_TRACE(v.name);
    const std::string dir = d / "v";
    ASSERT_EQ(run("avatar " + save(d, "v.png", v.img) + " -o " + dir + kSmall, &out), 0) << out;
    const Keypoints k = keypointsOf(dir);
    EXPECT_LT(shapeDifference(base, k, v.order), 4.0);
    // Turned upright: the eyes level in the portrait.
    EXPECT_LT(std::fabs(k[4][1] - k[5][1]) * 80, 6.0);
  }
}

TEST(AvatarTool, RefusalsNameTheInputAndLeaveNothingBehind) {
  le_test::TempDir d;
  std::string out;
  const Image astro = astronaut();
  const std::string notes = d / "notes.png";
  std::ofstream(notes) << "not a picture\n";
  // A PNG whose header claims 9000 x 9000: refused before anything is decoded.
  const unsigned char huge[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0,    0, 0,    13,
                                'I',  'H', 'D', 'R', 0,    0,    0x23, 0x28, 0,    0, 0x23, 0x28,
                                8,    2,   0,   0,   0,    0x6b, 0x5e, 0x8d, 0xd6, 0, 0,    0,
                                0,    'I', 'E', 'N', 'D',  0xae, 0x42, 0x60, 0x82};
  const std::string big = d / "big.png";
  std::ofstream(big, std::ios::binary).write(reinterpret_cast<const char*>(huge), sizeof huge);
  Image two{1024, 512, std::vector<uint8_t>(size_t(1024) * 512 * 3)};
  for (int y = 0; y < 512; ++y)
    for (int x = 0; x < 1024; ++x)
      for (int k = 0; k < 3; ++k)
        two.rgb[(size_t(y) * 1024 + x) * 3 + k] = astro.rgb[(size_t(y) * 512 + x % 512) * 3 + k];
  const std::string pair = save(d, "two.png", two);
  struct Case {
    std::string input, extra, says;
  } cases[] = {
      {notes, "", notes + ": not a picture FFmpeg can read"},
      {big, "", big + ": the picture is 9000x9000; the limit is 8192x8192"},
      {save(d, "grey.png", place(astro, 600, 600, 1.0, 0, false, 5000, 5000)), "", "no face found"},
      {pair, "", pair + ": the picture holds 2 faces; choose one with --face N"},
      {pair, " --face 3", pair + ": --face 3 asked for, and the picture holds 2 faces"},
      {save(d, "small.png", place(astro, 700, 700, 0.5, 0)), "",
       "the face is too small: its box is 79 pixels and the crop needs at least 96"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + c.extra);
    EXPECT_EQ(run("avatar " + c.input + c.extra + " -o " + d / "out" + kSmall, &out), 1) << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(d / "out"));
  }
  // The second of two faces is as good as the first; the build leaves only the bundle.
  ASSERT_EQ(run("avatar " + pair + " --face 2 -o " + d / "out" + kSmall, &out), 0) << out;
  for (const auto& e : std::filesystem::directory_iterator(d.path()))
    EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();
  // A bundle is replaced; a directory that is not one is kept.
  ASSERT_EQ(run("avatar " + pair + " --face 1 -o " + d / "out" + kSmall, &out), 0) << out;
  std::filesystem::create_directories(d / "mine");
  std::ofstream(d / "mine/letter.txt") << "keep me\n";
  EXPECT_EQ(run("avatar " + pair + " --face 1 -o " + d / "mine" + kSmall, &out), 1) << out;
  EXPECT_NE(out.find("exists and is neither empty nor a bundle"), std::string::npos) << out;
  EXPECT_TRUE(std::filesystem::exists(d / "mine/letter.txt"));
}

}  // namespace
