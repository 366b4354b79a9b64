// An utterance session on the demo avatar as a live host drives it: audio
// pushed in 20 ms chunks, frames pulled at 25 fps. Prints, for the paste on
// the run thread and pipelined on its own thread side by side: delivered
// frame rate, underruns and CPU use in real time; speech throughput when the
// audio is pushed as fast as the session takes it; the first speech frame's
// delay beyond the motion source's own look-ahead; interrupt to first ramp
// frame; and the paste queue's deliver latency. Then the frame path of a
// speech frame outside the network's run, stage by stage, in CPU time of the
// whole process (the driver's decoding thread and the pool's workers count).
//   bench_utt BUNDLE [SPEECH_SECONDS] [MOTION_DIR]
//     scripts/bench passes the demo bundle; 0 seconds: the frame path alone;
//     MOTION_DIR (e.g. BUNDLE/motion) runs the session on that directory and
//     its own frontend instead of the synthetic test models.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_fixtures.h"
#include "capi/le_capi.h"
#include "le/le.h"
#include "session/le_utt.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double cpuMs() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return (double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
          double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3);
}

std::vector<int16_t> speech(double seconds) {
  const int frames = int(seconds * 25);
  std::vector<int16_t> out;
  for (float v : le_audio_test::clip({2, frames / 3, 2, frames / 3, 2, frames - 2 * (frames / 3)}))
    out.push_back(int16_t(std::max(-32768L, std::min(32767L, std::lround(v * 32768.0f)))));
  return out;
}

// Samples the a2x stream needs before its first frame: the look-ahead the
// session has to wait for by design.
double lookAheadMs(const std::string& motion, const std::vector<int16_t>& audio) {
  le_a2x* s = le_a2x_create(motion.c_str(), 2);
  if (!s) return -1;
  le_a2x_reset(s, 0, 1, 1);
  std::vector<float> chunk(320);
  size_t at = 0;
  while (at < audio.size() && le_a2x_avail(s) < 1) {
    for (size_t i = 0; i < 320; ++i)
      chunk[i] = at + i < audio.size() ? audio[at + i] / 32768.0f : 0;
    le_a2x_push(s, chunk.data(), 320);
    at += 320;
  }
  le_a2x_destroy(s);
  return double(at) / 16.0;
}

struct Result {
  double fps = 0, cpu = 0, underruns = 0, firstMs = 0, firstPulledMs = 0, fastX = 0,
         interruptMs = 0, latencyMs = 0;
};

le_utt* openSession(le_ctx* ctx, const std::string& motion) {
  le_utt_opts o{};
  o.motion_dir = motion.c_str();
  o.end_silence_s = -1;
  le_utt* s = le_utt_create(ctx, &o);
  if (!s) {
    std::fprintf(stderr, "bench_utt: %s\n", le_utt_last_error());
    std::exit(1);
  }
  while (le_utt_ready(s) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (le_utt_ready(s) < 0) {
    std::fprintf(stderr, "bench_utt: %s\n", le_utt_last_error());
    std::exit(1);
  }
  return s;
}

Result measure(le_ctx* ctx, const std::string& motion, const std::vector<int16_t>& audio) {
  Result r;
  const size_t bytes = size_t(le_width(ctx)) * size_t(le_height(ctx)) * 3;
  std::vector<uint8_t> rgb(bytes);
  le_utt_frame_info info{};

  // Real time: a pusher paced at 20 ms, the host pulling at 25 fps.
  {
    le_utt* s = openSession(ctx, motion);
    std::atomic<bool> pushing{true};
    std::thread pusher([&] {
      auto next = Clock::now();
      for (size_t at = 0; at < audio.size(); at += 320) {
        le_utt_push_audio(s, audio.data() + at, int(std::min<size_t>(320, audio.size() - at)));
        next += std::chrono::milliseconds(20);
        std::this_thread::sleep_until(next);
      }
      le_utt_end_utterance(s);
      pushing = false;
    });
    const auto t0 = Clock::now();
    const double c0 = cpuMs();
    std::vector<int> ticks;  // kind pulled at each 40 ms tick, -1 for nothing
    le_utt_stats st{};
    bool spoke = false;
    for (auto next = t0;;) {
      next += std::chrono::milliseconds(40);
      std::this_thread::sleep_until(next);
      const bool got = le_utt_pull_frame(s, rgb.data(), bytes, &info) == 1;
      ticks.push_back(got ? info.kind : -1);
      spoke = spoke || (got && info.kind == 1);
      le_utt_get_stats(s, &st);
      if (!pushing && ((spoke && st.state == 0) || msSince(t0) > audio.size() / 16.0 + 30000))
        break;
    }
    r.cpu = (cpuMs() - c0) / msSince(t0);
    // Speech runs from the first speech frame pulled to the last one.
    size_t first = 0, last = 0;
    for (size_t i = 0; i < ticks.size(); ++i)
      if (ticks[i] == 1) {
        if (!last) first = i;
        last = i + 1;
      }
    int speechPulled = 0, under = 0;
    for (size_t i = first; i < last; ++i) {
      speechPulled += ticks[i] == 1;
      under += ticks[i] == -1;
    }
    r.fps = last > first ? speechPulled * 25.0 / double(last - first) : 0;
    r.underruns = under;
    r.firstMs = st.first_frame_ms;
    r.firstPulledMs = 40.0 * double(first + 1);  // the pusher starts with the first tick
    pusher.join();
    le_utt_destroy(s);
  }

  // As fast as possible: all audio at once, frames pulled as they come.
  {
    le_utt* s = openSession(ctx, motion);
    while (le_utt_pull_frame(s, rgb.data(), bytes, &info) == 1) {
    }
    const int n = int((audio.size() + 639) / 640);
    const auto t0 = Clock::now();
    le_utt_push_audio(s, audio.data(), int(audio.size()));
    le_utt_end_utterance(s);
    int speechPulled = 0;
    while (speechPulled < n && msSince(t0) < 120000) {
      if (le_utt_pull_frame(s, rgb.data(), bytes, &info) == 1)
        speechPulled += info.kind == 1;
      else
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    r.fastX = speechPulled * 40.0 / msSince(t0);
    {
      std::lock_guard<std::mutex> lk(s->mu);
      r.latencyMs = s->deliveredSpeech ? s->deliverLatency / double(s->deliveredSpeech) : 0;
    }

    // Interrupt during the next utterance: time to the first ramp frame.
    le_utt_push_audio(s, audio.data(), int(audio.size()));
    do {
      if (le_utt_pull_frame(s, rgb.data(), bytes, &info) != 1)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    } while (info.kind != 1);
    const auto ti = Clock::now();
    le_utt_interrupt(s);
    while (le_utt_frames_available(s) < 1)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    r.interruptMs = msSince(ti);
    le_utt_destroy(s);
  }
  return r;
}

// The session's frame path for one speech frame as the session runs it: the
// driver frame of the corpus index into a ring slot, the paste of the crop
// into it, the host's pull out of it. Each stage is timed on its own over
// the corpus loop, the driver at 25 frames per second so that its decoding
// thread works as it does live; then all of it together, paced the same.
// CPU ms per frame.
struct Split {
  double driver = 0, sharpen = 0, tail = 0, pull = 0, whole = 0, wholeWall = 0;
};

template <class F>
double cpuPerCall(int n, F&& f) {
  const double c0 = cpuMs();
  for (int i = 0; i < n; ++i) f(i);
  return (cpuMs() - c0) / n;
}

// Runs body(i) for i < frames, one call per 40 ms tick; returns CPU ms per
// frame and the wall ms per frame spent inside body.
template <class F>
std::pair<double, double> paced(int frames, F&& body) {
  auto next = Clock::now();
  const double c0 = cpuMs();
  double busy = 0;
  for (int i = 0; i < frames; ++i) {
    const auto t = Clock::now();
    body(i);
    busy += msSince(t);
    next += std::chrono::milliseconds(40);
    std::this_thread::sleep_until(next);
  }
  return {(cpuMs() - c0) / frames, busy / frames};
}

Split framePath(le_ctx* ctx, int frames) {
  le::DriverCursor& cursor = *ctx->cursor;
  le::Paste& paste = *ctx->paste;
  const int W = le_width(ctx), H = le_height(ctx), nt = le_nt(ctx);
  const size_t bytes = size_t(W) * size_t(H) * 3;
  const float* rendered = le_render_drive_crop(ctx, 0);
  if (!rendered) {
    std::fprintf(stderr, "bench_utt: %s\n", le_last_error());
    std::exit(1);
  }
  const std::vector<float> crop(rendered, rendered + size_t(3) * paste.side * paste.side);
  std::vector<uint8_t> slot(bytes), host(bytes);
  Split s;
  // One loop first: a live session's driver has played through before, and
  // the process keeps its decoded frames when they fit in the store.
  for (int i = 0; i < nt; ++i) cursor.pullAt(i, slot.data());
  s.driver = paced(frames, [&](int i) { cursor.pullAt(i % nt, slot.data()); }).first;
  // A transform that shrinks the crop onto a few pixels leaves the
  // sharpening of the whole crop and almost none of the pass over the frame.
  const float* M = ctx->identity.M(0);
  const float tiny[6] = {1e-3f, 0, M[2], 0, 1e-3f, M[5]};
  s.sharpen = cpuPerCall(
      frames, [&](int) { paste.composite(crop.data(), 255.f, tiny, slot.data(), W, H); });
  s.tail =
      cpuPerCall(frames, [&](int) { paste.composite(crop.data(), 255.f, M, slot.data(), W, H); }) -
      s.sharpen;
  s.pull = cpuPerCall(frames, [&](int) { std::memcpy(host.data(), slot.data(), bytes); });
  std::tie(s.whole, s.wholeWall) = paced(frames, [&](int i) {
    const int idx = i % nt;
    cursor.pullAt(idx, slot.data());
    paste.composite(crop.data(), 255.f, ctx->identity.M(idx), slot.data(), W, H);
    std::memcpy(host.data(), slot.data(), bytes);
  });
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const char* bundle = argc > 1 ? argv[1] : std::getenv("LE_BENCH_BUNDLE");
  if (!bundle) {
    std::fprintf(stderr, "usage: bench_utt BUNDLE [SPEECH_SECONDS] [MOTION_DIR]\n");
    return 2;
  }
  const double seconds = argc > 2 ? std::atof(argv[2]) : 6;
  le_ctx* ctx = le_create(bundle, "b1", 2, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "bench_utt: %s\n", le_last_error());
    return 1;
  }
  // The synthetic a2x models beside the avatar's own corpus keypoints, unless
  // a motion directory is named: then it runs with its own frontend.
  le_test::TempDir dir;
  std::string motion = argc > 3 ? argv[3] : "";
  if (motion.empty()) {
    le_audio_test::link(le_audio_test::model("w2v.onnx"), dir / "w2v.onnx");
    ::setenv("W2V_ONNX", (dir / "w2v.onnx").c_str(), 1);
    motion = dir / "motion";
    le_audio_test::Meta meta;
    meta.NT = le_nt(ctx);
    le_audio_test::writeMotionDir(motion, meta);
    le_test::writeFile(motion + "/xs_target.bin",
                       le_test::readFile(std::string(bundle) + "/xs_target.bin"));
  } else {
    ::setenv("W2V_ONNX", (motion + "/w2v.onnx").c_str(), 1);
  }

  if (seconds > 0) {
    const auto audio = speech(seconds);
    const double ahead = lookAheadMs(motion, audio);
    Result res[2];
    for (int pipelined : {0, 1}) {
      ::setenv("LE_UTT_PIPELINE_PASTE", pipelined ? "1" : "0", 1);
      res[pipelined] = measure(ctx, motion, audio);
    }
    std::printf(
        "utterance session, %s, %dx%d, 2 threads, %.0f s of speech; a2x look-ahead %.0f ms\n",
        bundle, le_width(ctx), le_height(ctx), seconds, ahead);
    std::printf("%-44s %14s %14s\n", "", "paste inline", "pipelined");
    std::printf("%-44s %14.1f %14.1f\n", "real time: delivered fps during speech", res[0].fps,
                res[1].fps);
    std::printf("%-44s %14.0f %14.0f\n", "real time: underruns during speech", res[0].underruns,
                res[1].underruns);
    std::printf("%-44s %14.2f %14.2f\n", "real time: CPU (cores)", res[0].cpu, res[1].cpu);
    std::printf("%-44s %14.1f %14.1f\n", "first_frame_ms - look-ahead", res[0].firstMs - ahead,
                res[1].firstMs - ahead);
    std::printf("%-44s %14.1f %14.1f\n", "first speech frame pulled - look-ahead",
                res[0].firstPulledMs - ahead, res[1].firstPulledMs - ahead);
    std::printf("%-44s %14.0f %14.0f\n", "first speech frame pulled after 1st push (ms)",
                res[0].firstPulledMs, res[1].firstPulledMs);
    std::printf("%-44s %14.2f %14.2f\n", "fast push: speech x real time", res[0].fastX,
                res[1].fastX);
    std::printf("%-44s %14.1f %14.1f\n", "interrupt -> first ramp frame (ms)", res[0].interruptMs,
                res[1].interruptMs);
    std::printf("%-44s %14s %14.1f\n", "deliver latency, enqueue -> ring (ms)", "-",
                res[1].latencyMs);
  }

  const Split sp = framePath(ctx, 100);
  std::printf(
      "\nframe path of a speech frame outside the network's run, %dx%d, crop %d, driver %s\n",
      le_width(ctx), le_height(ctx), ctx->paste->side, ctx->cursor->name.c_str());
  std::printf("%-46s %8.2f\n", "driver frame into the ring slot (CPU ms)", sp.driver);
  std::printf("%-46s %8.2f\n", "paste: planes, unsharp mask (CPU ms)", sp.sharpen);
  std::printf("%-46s %8.2f\n", "paste: Lanczos sample, mask, blend (CPU ms)", sp.tail);
  std::printf("%-46s %8.2f\n", "host's pull, copy out of the ring (CPU ms)", sp.pull);
  std::printf("%-46s %8.2f  (%.1f%% of the 40 ms frame)\n", "all of it, per frame (CPU ms)",
              sp.whole, sp.whole / 40.0 * 100);
  std::printf("%-46s %8.2f\n", "all of it, per frame (wall ms)", sp.wholeWall);
  le_destroy(ctx);
  return 0;
}
