// Runs one a2x scenario in a fresh process: the audio frontend is chosen once
// per process, so each choice needs a process of its own.
//
//   a2x_probe stream DIR AUDIO OUT PIECE...   for each piece size (0 = whole
//       clip) pushes AUDIO (raw float32) in pieces, pulling after each push,
//       finishes and pulls the rest; frames (index, base, driven, width) go to
//       OUT.<piece>, the batch deltas of the clip to OUT.batch.
//   a2x_probe concurrent DIR N                N threads create streams at once.
//
// Prints "frontend=short|legacy", then key=value lines (features_half=1: every
// stored feature value is a half-precision value).
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/le_a2x.h"
#include "compute/le_simd.h"
#include "le/le.h"

namespace {

void drain(le_a2x* s, std::vector<float>& out) {
  int idx[64];
  std::vector<float> base(64 * 63), driven(64 * 63), wn(64);
  for (int a = 1, k = 1; a > 0 || k > 0;) {
    a = le_a2x_avail(s);
    k = le_a2x_pull_wn(s, idx, base.data(), driven.data(), wn.data(), 64);
    for (int i = 0; i < k; ++i) {
      out.push_back(float(idx[i]));
      out.insert(out.end(), base.begin() + i * 63, base.begin() + (i + 1) * 63);
      out.insert(out.end(), driven.begin() + i * 63, driven.begin() + (i + 1) * 63);
      out.push_back(wn[size_t(i)]);
    }
  }
}

void write(const std::string& path, const std::vector<float>& v) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    if (!v.empty()) std::fwrite(v.data(), sizeof(float), v.size(), f);
    std::fclose(f);
  }
}

int halfExact(const le::A2xStats& st) {
  bool nonzero = false;
  for (int64_t i = 0; i < st.featureRows * le::kA2xRowValues; ++i) {
    const uint16_t half = le::f32ToF16(st.features[i]);
    float back;
    le::halfToFloat(&half, &back, 1);
    if (back != st.features[i]) return 0;
    nonzero |= back != 0;
  }
  return nonzero;
}

int stream(const char* dir, const char* audioPath, const std::string& out, int n, char** pieces) {
  std::vector<float> audio;
  if (FILE* f = std::fopen(audioPath, "rb")) {
    float buf[4096];
    for (size_t k; (k = std::fread(buf, sizeof(float), 4096, f)) > 0;)
      audio.insert(audio.end(), buf, buf + k);
    std::fclose(f);
  }
  le_a2x* s = le_a2x_create(dir, 1);
  if (!s) return std::printf("error=%s\n", le_a2x_last_error()), 1;
  std::printf("frontend=%s\n", le::a2xStats(s).shortWindow ? "short" : "legacy");
  const int total = int(audio.size());
  for (int i = 0; i < n; ++i) {
    const int step = std::atoi(pieces[i]) > 0 ? std::atoi(pieces[i]) : total;
    std::vector<float> frames;
    le_a2x_reset(s, 0, 1, 1);
    for (int at = 0; at < total; at += step) {
      le_a2x_push(s, audio.data() + at, std::min(step, total - at));
      drain(s, frames);
    }
    le_a2x_finish(s);
    drain(s, frames);
    write(out + "." + pieces[i], frames);
  }
  std::printf("features_half=%d\n", halfExact(le::a2xStats(s)));
  std::vector<float> batch((audio.size() + 639) / 640 * 63);
  if (le_a2x_deltas(s, audio.data(), total, batch.data(), int(batch.size() / 63)) > 0)
    write(out + ".batch", batch);
  std::printf("error=%s\n", le_a2x_last_error());
  le_a2x_destroy(s);
  return 0;
}

int concurrent(const char* dir, int n) {
  std::mutex mu;
  std::condition_variable cv;
  int waiting = 0;
  std::vector<le_a2x*> streams(size_t(n), nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i)
    threads.emplace_back([&, i] {
      {
        std::unique_lock<std::mutex> lock(mu);
        if (++waiting == n) cv.notify_all();
        cv.wait(lock, [&] { return waiting == n; });
      }
      streams[size_t(i)] = le_a2x_create(dir, 1);
    });
  for (auto& t : threads) t.join();
  int created = 0, same = 1, shortWindow = 0;
  for (le_a2x* s : streams) {
    if (!s) continue;
    ++created;
    same &= le::a2xStats(s).frontend == le::a2xStats(streams[0]).frontend;
    shortWindow += le::a2xStats(s).shortWindow;
  }
  std::printf("frontend=%s\ncreated=%d\nsame_frontend=%d\nshort=%d\n",
              shortWindow ? "short" : "legacy", created, same, shortWindow);
  for (le_a2x* s : streams) le_a2x_destroy(s);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "stream" && argc >= 6) return stream(argv[2], argv[3], argv[4], argc - 5, argv + 5);
  if (mode == "concurrent" && argc == 4) return concurrent(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: a2x_probe stream DIR AUDIO OUT PIECE... | concurrent DIR N\n");
  return 2;
}
