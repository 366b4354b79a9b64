// vever: try an avatar bundle from the command line. An example host of the
// engine's C interface (le/le.h).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "avatar_bundle.h"
#include "base/le_env.h"
#include "bundle/le_bundle.h"
#include "driver/le_image.h"
#include "le/le.h"
#include "mp4_writer.h"
#include "speak.h"
#include "tessera/le_bankdec_ff.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera_pi.h"
#include "tessera/le_tessera_stream.h"

namespace {

const char kUsage[] =
    "usage: vever <command> [arguments]\n"
    "\n"
    "commands:\n"
    "  avatar PHOTO|VIDEO -o DIR [--face N] [--size WxH] [--seconds S] [--frames N]\n"
    "        [--source-frames N] [--model ONNX] [--int8] [--motion trained|procedural]\n"
    "        build an avatar bundle of the face in a photograph (any picture FFmpeg\n"
    "        reads, at most 8192x8192) or in a video of 1 to 60 s of a still, silent\n"
    "        face (its idle loop at most --seconds long, 10 by default) into DIR,\n"
    "        with its motion directory in DIR/motion; --face chooses among several\n"
    "        faces, 1 being the largest; --motion procedural gives it the procedural\n"
    "        mouth (opening with loudness) instead of the trained one\n"
    "  demo-bundle DIR [--frames N] [--source-frames N] [--image PNG] [--model ONNX] [--int8]\n"
    "        [--size WxH] [--motion trained|procedural]\n"
    "        build the demo avatar bundle (the astronaut portrait) into DIR, with its\n"
    "        motion directory in DIR/motion; --int8 gives it the quantised\n"
    "        director (int8 convolutions) as model_b1.onnx; --size places the portrait\n"
    "        in a larger scene (e.g. 1920x1080) with a face crop of 512 instead of 256\n"
    "  render BUNDLE -o OUT.mp4 [--model KEY] [--frames N] [--threads N] [--ep EP] [--no-teeth]\n"
    "        render the bundle's drive track to an H.264 MP4 at 25 frames per second; a\n"
    "        bundle with teeth-borrow members renders with the borrow unless --no-teeth\n"
    "  frame BUNDLE INDEX -o OUT.png [--model KEY] [--threads N] [--ep EP]\n"
    "        render drive frame INDEX and write it as PNG\n"
    "  speak BUNDLE MOTION_DIR (--wav IN.wav | --text \"...\") -o OUT.mp4 [--threads N]\n"
    "        [--realtime] [--interrupt-at SECONDS] [--no-teeth]\n"
    "        make the avatar say the speech through a live session: H.264 video with\n"
    "        the speech as AAC sound (--text speaks through espeak-ng)\n"
    "  info BUNDLE [MOTION_DIR] [--model KEY]\n"
    "        show the manifest, the members found and whether the engine opens it;\n"
    "        with MOTION_DIR also which motion source a session would use\n"
    "  env\n"
    "        list every environment variable the engine and this tool read, as a\n"
    "        Markdown table (name, read by, default, meaning)\n"
    "\n"
    "BUNDLE is a bundle directory or an IMX container. The render model is\n"
    "model_<KEY>.onnx (default KEY: b1).\n";

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Args {
  std::vector<std::string> positional;
  std::string out, model = "b1", ep, image, onnx, wav, text;
  double seconds = 10;
  int frames = -1, sourceFrames = -1, threads = 0, width = 512, height = 512, face = 0;
  bool realtime = false;
  double interruptAt = -1;
  bool int8 = false;
  bool noTeeth = false;
  bool proceduralMotion = false;
};

[[noreturn]] void usageError(const std::string& msg) {
  std::fprintf(stderr, "vever: %s\n\n%s", msg.c_str(), kUsage);
  std::exit(kExitUsage);
}

int toInt(const std::string& flag, const std::string& v) {
  char* end = nullptr;
  const long n = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end || n < 0 || n > 1000000) usageError("bad number for " + flag + ": " + v);
  return int(n);
}

double toSeconds(const std::string& flag, const std::string& v) {
  char* end = nullptr;
  const double x = std::strtod(v.c_str(), &end);
  if (v.empty() || *end || !(x >= 0) || x > 86400) usageError("bad seconds for " + flag + ": " + v);
  return x;
}

Args parse(int argc, char** argv, int first) {
  Args a;
  bool options = true;
  for (int i = first; i < argc; ++i) {
    const std::string s = argv[i];
    if (!options || s == "--") {
      if (options)
        options = false;
      else
        a.positional.push_back(s);
      continue;
    }
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usageError(s + " needs a value");
      return argv[++i];
    };
    if (s == "-o" || s == "--out")
      a.out = value();
    else if (s == "--model")
      a.model = a.onnx = value();
    else if (s == "--ep")
      a.ep = value();
    else if (s == "--image")
      a.image = value();
    else if (s == "--frames")
      a.frames = toInt(s, value());
    else if (s == "--source-frames")
      a.sourceFrames = toInt(s, value());
    else if (s == "--size") {
      const std::string v = value();
      const size_t x = v.find('x');
      if (x == std::string::npos) usageError("bad size for --size (WxH): " + v);
      a.width = toInt(s, v.substr(0, x));
      a.height = toInt(s, v.substr(x + 1));
    } else if (s == "--threads")
      a.threads = toInt(s, value());
    else if (s == "--seconds") {
      a.seconds = toSeconds(s, value());
      if (a.seconds < 1) usageError("--seconds must be at least 1");
    } else if (s == "--face") {
      a.face = toInt(s, value());
      if (a.face < 1) usageError("--face counts from 1 (the largest face)");
    } else if (s == "--int8")
      a.int8 = true;
    else if (s == "--no-teeth")
      a.noTeeth = true;
    else if (s == "--motion") {
      const std::string v = value();
      if (v != "trained" && v != "procedural")
        usageError("--motion is trained or procedural, not " + v);
      a.proceduralMotion = v == "procedural";
    } else if (s == "--wav")
      a.wav = value();
    else if (s == "--text")
      a.text = value();
    else if (s == "--realtime")
      a.realtime = true;
    else if (s == "--interrupt-at")
      a.interruptAt = toSeconds(s, value());
    else if (s.size() > 1 && s[0] == '-')
      usageError("unknown option " + s);
    else
      a.positional.push_back(s);
  }
  return a;
}

bool exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

// The first of the candidates that exists, else the first.
std::string firstExisting(const std::vector<std::string>& candidates) {
  for (const auto& c : candidates)
    if (!c.empty() && exists(c)) return c;
  return candidates.front();
}

le_ctx* open(const Args& a) {
  le_ctx* ctx = le_create(a.positional[0].c_str(), a.model.c_str(), a.threads,
                          a.ep.empty() ? nullptr : a.ep.c_str());
  if (!ctx) std::fprintf(stderr, "vever: %s\n", le_last_error());
  return ctx;
}

double msSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// The avatar build's stages on one terminal line.
void showProgress(const char* stage, double done) {
  if (!::isatty(2)) return;
  std::fprintf(stderr, "\r[vever] avatar: %-20s %3.0f%%", stage, done * 100);
  if (done >= 1) std::fputs("\n", stderr);
}

// Builds the avatar of `input` into dir: the shipped render model at the
// scene's crop, the motion models and teeth head where built or installed.
int buildAvatar(const Args& a, const std::string& input, const std::string& dir, const char* agent,
                const char* what) {
  vever::AvatarOptions o;
  o.input = input;
  o.agent = agent;
  o.face = a.face;
  o.seconds = a.seconds;
  o.width = a.width;
  o.height = a.height;
  int crop = 0;
  try {
    crop = vever::cropFor(o);
  } catch (const std::exception& e) {
    usageError(e.what());
  }
  const std::string built = crop == 256 ? "" : VEVER_DEMO_DIR_512 "/";
  const std::string shared = std::string(VEVER_SHARE_DIR) + (crop == 256 ? "/" : "/crop512/");
  const std::string model = a.int8 ? "model_int8.onnx" : "model_b1.onnx";
  o.model = firstExisting(
      {a.onnx, built.empty() ? (a.int8 ? VEVER_DEMO_MODEL_INT8 : VEVER_DEMO_MODEL) : built + model,
       shared + model});
  if (a.frames > 0) o.driveFrames = a.frames;
  if (a.sourceFrames > 0) o.sourceFrames = a.sourceFrames;
  o.motionModels =
      a.proceduralMotion
          ? firstExisting({VEVER_DEMO_MOTION, std::string(VEVER_SHARE_DIR) + "/motion-procedural"})
          : firstExisting({VEVER_TRAINED_MOTION, std::string(VEVER_SHARE_DIR) + "/motion"});
  // Without the blend head the avatar is built without teeth members.
  o.teethHead =
      firstExisting({VEVER_DEMO_TEETH_HEAD, std::string(VEVER_SHARE_DIR) + "/tessera_head.v1.pt"});
  if (!exists(o.teethHead)) o.teethHead.clear();
  o.teethPhoto = firstExisting({VEVER_DEMO_IMAGE, std::string(VEVER_SHARE_DIR) + "/astronaut.png"});
  if (!exists(o.teethPhoto)) o.teethPhoto.clear();
  o.progress = showProgress;
  const int sourceFrames = vever::writeAvatarBundle(dir, o);
  std::printf(
      "%s written to %s (%dx%d, crop %d, %d source frames, %d drive frames%s), motion "
      "directory %s/motion\n",
      what, dir.c_str(), o.width, o.height, crop, sourceFrames, o.driveFrames,
      a.int8 ? ", quantised director" : "", dir.c_str());
  return 0;
}

int cmdAvatar(const Args& a) {
  if (a.positional.size() != 1) usageError("avatar takes one photograph or video");
  if (a.out.empty()) usageError("avatar needs -o DIR");
  return buildAvatar(a, a.positional[0], a.out, "avatar", "avatar bundle");
}

int cmdDemoBundle(const Args& a) {
  if (a.positional.size() != 1) usageError("demo-bundle takes one directory");
  const std::string image =
      firstExisting({a.image, VEVER_DEMO_IMAGE, std::string(VEVER_SHARE_DIR) + "/astronaut.png"});
  return buildAvatar(a, image, a.positional[0], "astronaut", "demo bundle");
}

int cmdSpeak(const Args& a) {
  if (a.positional.size() != 2) usageError("speak takes a bundle and a motion directory");
  if (a.out.empty()) usageError("speak needs -o OUT.mp4");
  if (a.wav.empty() == a.text.empty()) usageError("speak needs one of --wav IN.wav and --text");
  vever::SpeakOptions o;
  o.bundle = a.positional[0];
  o.motion = a.positional[1];
  o.wav = a.wav;
  o.text = a.text;
  o.out = a.out;
  o.threads = a.threads;
  o.realtime = a.realtime;
  o.interruptAt = a.interruptAt;
  o.teeth = !a.noTeeth;
  return vever::speak(o);
}

// Which motion source a session on dir would use, and what it holds.
void describeMotion(const std::string& dir) {
  std::printf("motion     %s\n", dir.c_str());
  char path[4096];
  const bool a2x =
      le_bundle_resolve_member(dir.c_str(), "a2x_enc_stream.onnx", path, sizeof path) == 1;
  std::printf("source     %s\n", a2x ? "the streaming a2x stream (a2x_enc_stream.onnx found)"
                                     : "the motion generator (no a2x_enc_stream.onnx)");
  const std::vector<const char*> a2xMembers = {"a2x_meta.json", "a2x_pos.f32",
                                               "a2x_norm.f32",  "a2x_enc_stream.onnx",
                                               "a2x_dec.onnx",  "xs_target.bin"};
  const std::vector<const char*> generatorMembers = {"meta.json", "hubert_student.onnx",
                                                     "lmdm.onnx", "stitch.onnx", "xs_target.bin"};
  std::vector<std::string> missing;
  for (const char* name : a2x ? a2xMembers : generatorMembers) {
    const int r = le_bundle_resolve_member(dir.c_str(), name, path, sizeof path);
    std::printf("  %-32s %s\n", name, r == 1 ? path : "-");
    if (r != 1) missing.push_back(name);
  }
  const char* w2v = le::envValue("W2V_ONNX");
  const bool ownFrontend = exists(dir + "/w2v.onnx");
  if (a2x)
    std::printf("frontend   %s\n", w2v           ? w2v
                                   : ownFrontend ? "w2v.onnx in the motion directory (a "
                                                   "session uses it when W2V_ONNX is unset)"
                                                 : "- (set W2V_ONNX)");
  if (missing.empty()) {
    std::printf("verdict    complete\n");
  } else {
    std::printf("verdict    missing:");
    for (const auto& m : missing) std::printf(" %s", m.c_str());
    std::printf("\n");
  }
}

int cmdRender(const Args& a) {
  if (a.positional.size() != 1) usageError("render takes one bundle");
  if (a.out.empty()) usageError("render needs -o OUT.mp4");
  le_ctx* ctx = open(a);
  if (!ctx) return kExitFailure;
  int status = 0;
  try {
    const int W = le_width(ctx), H = le_height(ctx);
    int n = le_drive_frames(ctx);
    if (a.frames > 0 && a.frames < n) n = a.frames;
    // The source frame each drive frame pastes into.
    char dir[4096];
    if (le_bundle_resolve_handle(a.positional[0].c_str(), dir, sizeof dir) != 1)
      throw std::runtime_error(le_last_error());
    const le::Manifest manifest = le::loadManifest(dir);
    const le::Drive drive = le::loadDrive(manifest);
    std::string geometry;
    std::unique_ptr<le::tessera::StreamBorrow> borrow =
        a.noTeeth ? nullptr : le::tessera::openBundleBorrow(manifest, &geometry);
    vever::Mp4Writer mp4(a.out, W, H);
    const bool tty = ::isatty(2);
    double render = 0, teeth = 0, paste = 0, encode = 0;
    int64_t borrowed = 0, skipped = 0;
    const int C = le_crop(ctx);
    const size_t cropValues = size_t(C) * size_t(C) * 3;
    // With the borrow a frame is finished one frame later: the crop waits here.
    std::vector<float> held(cropValues);
    int heldIndex = -1;
    std::vector<uint8_t> frame(size_t(W) * size_t(H) * 3);
    auto deliver = [&](const le::tessera::FrameResult* r) {
      auto t0 = std::chrono::steady_clock::now();
      if (r && r->skipped) ++skipped;
      if (r && !r->skipped) {
        le::tessera::StreamBorrow::writeWindowDelta(held.data(), C, *r, borrow->stamp());
        ++borrowed;
      }
      teeth += msSince(t0);
      t0 = std::chrono::steady_clock::now();
      if (le_paste_crop(ctx, drive.si[size_t(heldIndex)], held.data(), frame.data(),
                        frame.size()) != 1)
        throw std::runtime_error(le_last_error());
      paste += msSince(t0);
      t0 = std::chrono::steady_clock::now();
      mp4.write(frame.data());
      encode += msSince(t0);
    };
    const auto start = std::chrono::steady_clock::now();
    le::tessera::FrameResult r;
    for (int i = 0; i < n; ++i) {
      auto t0 = std::chrono::steady_clock::now();
      const float* crop = le_render_drive_crop(ctx, i);
      if (!crop) throw std::runtime_error(le_last_error());
      render += msSince(t0);
      if (borrow) {
        t0 = std::chrono::steady_clock::now();
        const bool emitted = borrow->push(crop, drive.xd.data() + size_t(i) * 63, r);
        teeth += msSince(t0);
        if (emitted) deliver(&r);
      } else if (heldIndex >= 0) {
        deliver(nullptr);
      }
      std::copy_n(crop, cropValues, held.begin());
      heldIndex = i;
      if (tty)
        std::fprintf(stderr, "\r[vever] frame %d/%d (%.1f fps)", i + 1, n,
                     (i + 1) * 1000.0 / msSince(start));
    }
    if (heldIndex >= 0) deliver(borrow && borrow->flush(r) ? &r : nullptr);
    mp4.finish();
    if (tty) std::fprintf(stderr, "\n");
    std::printf("rendered %d frames (%dx%d, 25 fps) to %s\n", n, W, H, a.out.c_str());
    if (borrow)
      std::printf("teeth borrow: geometry %s, %lld frames borrowed, %lld skipped\n",
                  geometry.c_str(), (long long)borrowed, (long long)skipped);
    if (n > 0)
      std::printf("per frame: render %.1f ms, teeth %.1f ms, paste %.1f ms, encode %.1f ms\n",
                  render / n, teeth / n, paste / n, encode / n);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "\nvever: %s\n", e.what());
    status = kExitFailure;
  }
  le_destroy(ctx);
  return status;
}

int cmdFrame(const Args& a) {
  if (a.positional.size() != 2) usageError("frame takes a bundle and a frame index");
  if (a.out.empty()) usageError("frame needs -o OUT.png");
  const int index = toInt("INDEX", a.positional[1]);
  le_ctx* ctx = open(a);
  if (!ctx) return kExitFailure;
  int status = 0;
  const int W = le_width(ctx), H = le_height(ctx);
  std::vector<uint8_t> rgba(size_t(W) * H * 4), rgb(size_t(W) * H * 3);
  if (!le_render_drive_rgba(ctx, index, rgba.data(), rgba.size())) {
    std::fprintf(stderr, "vever: %s\n", le_last_error());
    status = kExitFailure;
  } else {
    for (size_t p = 0; p < size_t(W) * H; ++p) std::memcpy(&rgb[p * 3], &rgba[p * 4], 3);
    try {
      le::writePNG(a.out, rgb.data(), W, H);
      std::printf("drive frame %d written to %s\n", index, a.out.c_str());
    } catch (const std::exception& e) {
      std::fprintf(stderr, "vever: %s\n", e.what());
      status = kExitFailure;
    }
  }
  le_destroy(ctx);
  return status;
}

int cmdInfo(const Args& a) {
  if (a.positional.empty() || a.positional.size() > 2)
    usageError("info takes a bundle and optionally a motion directory");
  if (a.positional.size() == 2) describeMotion(a.positional[1]);
  const std::string& bundle = a.positional[0];
  char dir[4096];
  if (le_bundle_resolve_handle(bundle.c_str(), dir, sizeof dir) != 1) {
    std::fprintf(stderr, "vever: %s\n", le_last_error());
    return kExitFailure;
  }
  std::printf("bundle     %s\n", dir);
  try {
    const le::Manifest m = le::loadManifest(dir);
    std::printf("agent      %s\n", m.agent.c_str());
    std::printf("frames     %d source (NT), %d drive\n", m.NT, m.frames);
    std::printf("canvas     %dx%d, crop %d, paste space %dx%d\n", m.W, m.H, m.crop, m.M_src_w,
                m.M_src_h);
    std::printf("unsharp    amount %.2f, sigma %.2f, ksize %d\n", m.amount, m.sigma, m.ksize);
    std::printf("lip        %s\n", m.lipTemplate.empty() ? "no template" : "template present");
  } catch (const std::exception& e) {
    std::printf("manifest   REFUSED: %s\n", e.what());
  }
  std::printf("members (older name, else newer name):\n");
  const std::string model = "model_" + a.model + ".onnx";
  for (const char* name :
       {"manifest.json", model.c_str(), "pooled64.f16", "P.f16", "fs_red.f16", "P_hevc.mov",
        "M.f32", "mask_512.u8", "xs_target.bin", "drive/xs.f32", "drive/xd.f32", "drive/si.i32",
        "target_frames/frame_000000.jpg", "target_frames_mp4", "lip_template.v1.json"}) {
    char path[4096];
    const int r = le_bundle_resolve_member(bundle.c_str(), name, path, sizeof path);
    std::printf("  %-32s %s\n", name, r == 1 ? path : "-");
  }
  le_ctx* ctx = le_create(bundle.c_str(), a.model.c_str(), 1, nullptr);
  if (ctx) {
    std::printf("engine     opens it with %s\n", model.c_str());
    le_destroy(ctx);
    return 0;
  }
  std::printf("engine     REFUSES it: %s\n", le_last_error());
  return kExitFailure;
}

// The reference of docs/configuration.md, from the table the code reads by.
int cmdEnv(const Args& a) {
  if (!a.positional.empty()) usageError("env takes no arguments");
  std::printf("| name | read by | default | meaning |\n|---|---|---|---|\n");
  for (size_t i = 0; i < le::kEnvVarCount; ++i) {
    const le::EnvVar& v = le::kEnvVars[i];
    std::printf("| `%s` | %s | %s | %s |\n", v.name, v.readBy, v.fallback, v.meaning);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);  // the encoders' own statistics are not for our users
  if (argc < 2 || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "--help") ||
      !std::strcmp(argv[1], "help")) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? kExitUsage : 0;
  }
  const std::string cmd = argv[1];
  const Args args = parse(argc, argv, 2);
  try {
    if (cmd == "avatar") return cmdAvatar(args);
    if (cmd == "demo-bundle") return cmdDemoBundle(args);
    if (cmd == "render") return cmdRender(args);
    if (cmd == "frame") return cmdFrame(args);
    if (cmd == "info") return cmdInfo(args);
    if (cmd == "speak") return cmdSpeak(args);
    if (cmd == "env") return cmdEnv(args);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vever: %s\n", e.what());
    return kExitFailure;
  }
  usageError("unknown command " + cmd);
}
