// Per-frame cost of the render entry point, split into the model's own run
// (the renderer's "[le-director-ort]" line) and the engine's work around it
// (half-float conversion of the source frame's members, keypoint copies).
// When the bundle also holds model_before.onnx (the render model the demo
// shipped before its redesign), the two are timed side by side, alternated,
// on 2 threads.
//   bench_render BUNDLE [FRAMES]      (scripts/bench passes the demo bundle)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "le/le.h"

namespace {

// Mean wall time of one render call of the model `key`, over `frames` calls.
double msPerRender(const char* bundle, const char* key, int frames, int threads) {
  le_ctx* ctx = le_create(bundle, key, threads, nullptr);
  if (!ctx) {
    std::fprintf(stderr, "bench_render: %s\n", le_last_error());
    std::exit(1);
  }
  const int n = le_drive_frames(ctx);
  le_render_drive_crop(ctx, 0);  // warm-up, not counted
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < frames; ++i)
    if (!le_render_drive_crop(ctx, i % n)) {
      std::fprintf(stderr, "bench_render: %s\n", le_last_error());
      std::exit(1);
    }
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  le_destroy(ctx);
  return ms / frames;
}

}  // namespace

int main(int argc, char** argv) {
  const char* bundle = argc > 1 ? argv[1] : std::getenv("LE_BENCH_BUNDLE");
  if (!bundle) {
    std::fprintf(stderr, "usage: bench_render BUNDLE [FRAMES]\n");
    return 2;
  }
  const int frames = argc > 2 ? std::atoi(argv[2]) : 60;
  for (int threads : {1, 2}) {
    le_ctx* ctx = le_create(bundle, "b1", threads, nullptr);
    if (!ctx) {
      std::fprintf(stderr, "bench_render: %s\n", le_last_error());
      return 1;
    }
    const int n = le_drive_frames(ctx);
    le_render_drive_crop(ctx, 0);  // warm-up, not counted below
    double wall = 0;
    for (int i = 0; i < frames; ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      if (!le_render_drive_crop(ctx, i % n)) {
        std::fprintf(stderr, "bench_render: %s\n", le_last_error());
        return 1;
      }
      wall += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    }
    // The renderer reports its mean Session::Run time when it is destroyed.
    char path[] = "/tmp/bench_render_XXXXXX";
    const int fd = mkstemp(path);
    std::fflush(stderr);
    const int saved = dup(2);
    dup2(fd, 2);
    le_destroy(ctx);
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    FILE* f = std::fopen(path, "r");
    char line[512];
    long runs = 0;
    double runMs = -1;
    while (f && std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "[le-director-ort] %ld frames: %lf ms/frame", &runs, &runMs) == 2) break;
    if (f) std::fclose(f);
    close(fd);
    std::remove(path);
    const double perFrame = wall / frames;
    std::printf("threads %d: %.2f ms per render call, %.2f ms in Session::Run, %.3f ms outside "
                "it (%.1f%%)\n",
                threads, perFrame, runMs, perFrame - runMs, 100.0 * (perFrame - runMs) / perFrame);
  }
  if (access((std::string(bundle) + "/model_before.onnx").c_str(), R_OK) == 0) {
    // Alternated rounds, so that a noisy stretch of the machine hits both.
    double shipped = 0, before = 0;
    for (int round = 0; round < 3; ++round) {
      shipped += msPerRender(bundle, "b1", frames, 2);
      before += msPerRender(bundle, "before", frames, 2);
    }
    std::printf("render model: %.2f ms shipped, %.2f ms before (%.2f x)\n", shipped / 3,
                before / 3, shipped / before);
  }
  return 0;
}
