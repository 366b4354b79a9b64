// le_stream_run on the demo avatar: frames per second with the render thread
// working ahead of paste and delivery, against rendering and pasting every
// frame on one thread (the conditioner's deltas are computed in both).
//   bench_stream BUNDLE [FRAMES] [THREADS] [ROUNDS]   (scripts/bench passes the demo bundle)
// THREADS goes to the context and the conditioner (default 1: the render
// thread and the calling thread each get a core of a 2-core machine).
// The bundle is copied to a scratch directory and given the stream's
// members: model_render.onnx (its model_b1.onnx) and the synthetic
// conditioner fca_stream.onnx; the audio model is the synthetic w2v.onnx.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "le/le.h"

namespace {

double seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int run(const std::string& cmd) {
  return std::system(cmd.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const char* bundle = argc > 1 ? argv[1] : std::getenv("LE_BENCH_BUNDLE");
  if (!bundle) {
    std::fprintf(stderr, "usage: bench_stream BUNDLE [FRAMES] [THREADS] [ROUNDS]\n");
    return 2;
  }
  const int frames = argc > 2 ? std::atoi(argv[2]) : 100;
  const int threads = argc > 3 ? std::atoi(argv[3]) : 1;
  const int rounds = argc > 4 ? std::atoi(argv[4]) : 5;
  char tmpl[] = "/tmp/bench_stream_XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = std::string(tmpl) + "/bundle";
  const std::string models = LE_BENCH_AUDIO_MODELS;
  if (run("cp -r '" + std::string(bundle) + "' '" + dir + "' && cp '" + dir + "/model_b1.onnx' '" +
          dir + "/model_render.onnx' && cp '" + models + "/fca_stream.onnx' '" + dir + "/'") != 0) {
    std::fprintf(stderr, "bench_stream: cannot prepare %s\n", dir.c_str());
    return 1;
  }
  const std::string w2v = models + "/w2v.onnx";
  std::vector<float> audio(size_t(frames) * 640);
  for (size_t i = 0; i < audio.size(); ++i)
    audio[i] = float(0.2 * std::sin(2 * M_PI * 140 * double(i) / 16000) *
                     (0.5 + 0.5 * std::sin(2 * M_PI * double(i) / 16000)));

  le_stream* s = le_stream_create(dir.c_str(), w2v.c_str(), threads, 0, 1.f);
  le_ctx* ctx = le_create(dir.c_str(), "render", threads, "");
  le_fca* fca = le_fca_create(w2v.c_str(), (dir + "/fca_stream.onnx").c_str(), threads);
  if (!s || !ctx || !fca) {
    std::fprintf(stderr, "bench_stream: %s%s%s\n", le_stream_last_error(), le_last_error(),
                 le_fca_last_error());
    return 1;
  }
  // The same frames on one thread: deltas, then render and paste in turn.
  const int NT = le_nt(ctx);
  std::vector<float> corpus(size_t(NT) * 63);
  FILE* f = std::fopen((dir + "/xs_target.bin").c_str(), "rb");
  const bool read = f && std::fread(corpus.data(), 4, corpus.size(), f) == corpus.size();
  if (f) std::fclose(f);
  if (!read) return 1;
  std::vector<uint8_t> frame(size_t(le_width(ctx)) * size_t(le_height(ctx)) * 3);
  std::vector<float> deltas(size_t(frames) * 63), driven(63);
  auto oneThread = [&](int n) {
    le_fca_deltas(fca, audio.data(), n * 640, deltas.data(), frames);
    for (int i = 0; i < n; ++i) {
      const int t = NT < 2 ? 0 : i % NT;
      const float* base = corpus.data() + size_t(t) * 63;
      for (int c = 0; c < 63; ++c) driven[size_t(c)] = base[c] + deltas[size_t(i * 63 + c)];
      const float* crop = le_render_kp_crop(ctx, t, base, driven.data());
      if (!crop || !le_paste_crop(ctx, t, crop, frame.data(), frame.size())) return false;
    }
    return true;
  };

  // Warm-up, then rounds that alternate the two ways; the best round of
  // each counts, so that other load on the machine disturbs the ratio less.
  le_stream_run(s, audio.data(), 640 * 8, nullptr, nullptr);
  oneThread(8);
  double ahead = 1e30, single = 1e30;
  for (int r = 0; r < rounds; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    if (le_stream_run(s, audio.data(), int(audio.size()), nullptr, nullptr) != frames) {
      std::fprintf(stderr, "bench_stream: %s\n", le_stream_last_error());
      return 1;
    }
    ahead = std::min(ahead, seconds(t0));
    t0 = std::chrono::steady_clock::now();
    if (!oneThread(frames)) {
      std::fprintf(stderr, "bench_stream: %s\n", le_last_error());
      return 1;
    }
    single = std::min(single, seconds(t0));
  }
  le_stream_destroy(s);
  le_fca_destroy(fca);
  le_destroy(ctx);
  run("rm -rf '" + std::string(tmpl) + "'");

  std::printf(
      "le_stream_run, %d frames, threads %d, best of %d: %.1f fps with the render thread "
      "ahead, %.1f fps on one thread: %.2fx\n",
      frames, threads, rounds, frames / ahead, frames / single, single / ahead);
  return 0;
}
