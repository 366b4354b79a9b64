#include "speak.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "audio_file.h"
#include "base/le_env.h"
#include "le/le.h"
#include "mp4_writer.h"

namespace vever {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kChunk = 320;      // 20 ms pushes, as a live host sends them
constexpr int kLeadFrames = 12;  // half a second of idle loop before and after
constexpr int kTailFrames = 12;
constexpr double kStallSeconds = 60;

double secondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::vector<int16_t> loadSpeech(const SpeakOptions& o) {
  if (o.text.empty()) return readSpeech16k(o.wav);
  const char* tmpdir = le::envValue("TMPDIR");
  std::string path = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/vever-speak-XXXXXX.wav";
  const int fd = ::mkstemps(path.data(), 4);
  if (fd < 0) throw std::runtime_error("cannot make a scratch file for espeak-ng in " + path);
  ::close(fd);
  try {
    synthesizeSpeech(o.text, path);
    auto audio = readSpeech16k(path);
    ::unlink(path.c_str());
    return audio;
  } catch (...) {
    ::unlink(path.c_str());
    throw;
  }
}

// Arms the teeth borrow on the session when its bundle carries the members;
// false when it carries none. Throws when they do not load or attach.
bool attachTeeth(le_utt* s) {
  char err[1024];
  const int r = le_utt_tessera_attach_bundle(s, err, sizeof err);
  if (r == 1) throw std::runtime_error(err);
  return r == 0;
}

struct Counts {
  int lead = 0, speech = 0, ramp = 0, tail = 0;
  int total() const { return lead + speech + ramp + tail; }
  void add(int kind) {
    if (kind == LE_UTT_KIND_SPEECH)
      ++speech;
    else if (kind == LE_UTT_KIND_RAMP)
      ++ramp;
    else if (speech + ramp > 0)
      ++tail;
    else
      ++lead;
  }
};

// A context and a ready session on it, owned together.
struct Opened {
  std::unique_ptr<le_ctx, void (*)(le_ctx*)> ctx{nullptr, le_destroy};
  std::unique_ptr<le_utt, void (*)(le_utt*)> session{nullptr, le_utt_destroy};
  bool teeth = false;
};

Opened open(const SpeakOptions& o) {
  Opened r;
  r.ctx.reset(le_create(o.bundle.c_str(), "b1", o.threads, nullptr));
  if (!r.ctx) throw std::runtime_error(le_last_error());
  le_utt_opts opts{};
  opts.motion_dir = o.motion.c_str();
  opts.threads = o.threads;
  opts.end_silence_s = -1;  // the utterance ends when all of it is pushed
  r.session.reset(le_utt_create(r.ctx.get(), &opts));
  if (!r.session) throw std::runtime_error(le_utt_last_error());
  le_utt* s = r.session.get();
  r.teeth = o.teeth && attachTeeth(s);
  const auto t0 = Clock::now();
  for (int ready = 0; (ready = le_utt_ready(s)) != 1;) {
    if (ready < 0) throw std::runtime_error(le_utt_last_error());
    if (secondsSince(t0) > kStallSeconds) throw std::runtime_error("the session never got ready");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return r;
}

// Pushes the audio in 20 ms pieces on a thread of its own, as a live host
// does, then ends the utterance; stop() ends it early.
class Pusher {
 public:
  Pusher(le_utt* s, const std::vector<int16_t>& audio, bool realtime)
      : s_(s), audio_(audio), realtime_(realtime) {}
  ~Pusher() { stop(); }
  bool started() const { return thread_.joinable(); }
  void start() {
    thread_ = std::thread([this] {
      auto next = Clock::now();
      for (size_t at = 0; at < audio_.size() && !stop_; at += kChunk) {
        // A session holds a bounded amount of unspoken audio: wait for room.
        while (!le_utt_push_audio(s_, audio_.data() + at,
                                  int(std::min<size_t>(kChunk, audio_.size() - at))) &&
               !stop_)
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (realtime_) {
          next += std::chrono::milliseconds(20);
          std::this_thread::sleep_until(next);
        }
      }
      le_utt_end_utterance(s_);
    });
  }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  le_utt* s_;
  const std::vector<int16_t>& audio_;
  bool realtime_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// What the session said, and its failures; 1 when frames were lost.
int report(le_utt* s, const SpeakOptions& o, const Counts& n, size_t samples, int W, int H,
           bool teeth, bool interrupted) {
  le_utt_stats st{};
  le_utt_get_stats(s, &st);
  std::printf(
      "spoke %.2f s of audio to %s: %d frames (%dx%d, 25 fps) = %d idle lead-in + %d speech"
      " + %d ramp + %d idle tail; first speech frame %.0f ms after the first push%s\n",
      samples / 16000.0, o.out.c_str(), n.total(), W, H, n.lead, n.speech, n.ramp, n.tail,
      st.first_frame_ms, interrupted ? "; interrupted" : "");
  if (teeth) {
    int64_t borrowed = 0;
    le_utt_tessera_stats(s, &borrowed, nullptr, nullptr, 0);
    std::printf("teeth borrow: %lld frames borrowed\n", (long long)borrowed);
  }
  char failure[512];
  int64_t failures = 0;
  const bool fatal = le_utt_render_status(s, failure, sizeof failure, &failures) < 0;
  if (failures > 0)
    std::fprintf(stderr, "vever: %lld render failure(s)%s, the latest: %s\n", (long long)failures,
                 fatal ? " that lost frames" : "", failure);
  return fatal ? 1 : 0;
}

}  // namespace

int speak(const SpeakOptions& o) {
  const std::vector<int16_t> audio = loadSpeech(o);
  const int speechFrames = int((audio.size() + LE_UTT_FRAME_SAMPLES - 1) / LE_UTT_FRAME_SAMPLES);
  int interruptFrame = -1;
  if (o.interruptAt >= 0) interruptFrame = std::max(1, int(std::lround(o.interruptAt * 25)));

  const Opened opened = open(o);
  le_utt* s = opened.session.get();
  const int W = le_width(opened.ctx.get()), H = le_height(opened.ctx.get());
  const size_t bytes = size_t(W) * size_t(H) * 3;
  Mp4Writer mp4(o.out, W, H, 25, 20, 16000);
  std::vector<uint8_t> rgb(bytes);
  std::vector<int16_t> voice(LE_UTT_FRAME_SAMPLES);
  Pusher pusher(s, audio, o.realtime);

  Counts n;
  const int expected =
      kLeadFrames + (interruptFrame > 0 ? std::min(interruptFrame, speechFrames) : speechFrames) +
      (interruptFrame > 0 ? 4 : 6) + kTailFrames;
  const bool tty = ::isatty(2);
  bool interrupted = false;
  auto lastFrame = Clock::now();
  const auto start = Clock::now();
  {
    // The progress line ends however the loop does.
    struct LineEnd {
      bool tty;
      ~LineEnd() {
        if (tty) std::fputs("\n", stderr);
      }
    } lineEnd{tty};
    while (n.tail < kTailFrames) {
      le_utt_frame_info info{};
      if (le_utt_pull_frame_voice(s, rgb.data(), bytes, &info, nullptr, voice.data()) != 1) {
        char reason[256];
        if (opened.teeth &&
            le_utt_tessera_stats(s, nullptr, nullptr, reason, sizeof reason) == LE_BORROW_FAILED)
          throw std::runtime_error(std::string("the teeth borrow failed: ") + reason);
        if (secondsSince(lastFrame) > kStallSeconds)
          throw std::runtime_error("no frame from the session for a minute");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      lastFrame = Clock::now();
      mp4.write(rgb.data());
      mp4.writeAudio(voice.data(), voice.size());  // the frame's own voice; silence off speech
      n.add(info.kind);
      if (n.lead == kLeadFrames && !pusher.started()) pusher.start();
      if (!interrupted && interruptFrame > 0 && info.kind == LE_UTT_KIND_SPEECH &&
          info.number + 1 >= interruptFrame) {
        le_utt_interrupt(s);
        pusher.stop();
        interrupted = true;
      }
      if (tty) {
        const double fps = n.total() / std::max(1e-3, secondsSince(start));
        std::fprintf(stderr, "\r[vever] speak: %d/%d frames, %.1f fps, ETA %.0f s   ", n.total(),
                     std::max(expected, n.total()), fps,
                     std::max(0, expected - n.total()) / std::max(fps, 1e-3));
      }
    }
  }
  mp4.finish();
  pusher.stop();
  return report(s, o, n, audio.size(), W, H, opened.teeth, interrupted);
}

}  // namespace vever
