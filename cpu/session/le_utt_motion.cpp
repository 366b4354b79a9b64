// The session's motion sources: the streaming a2x stream and the motion
// generator behind one interface whose calls throw on failure, so the
// dispatch thread sees every failure as a value it can hand to the run loop.
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "audio/le_a2x.h"
#include "audio/le_motion_generator.h"
#include "bundle/le_bundle.h"
#include "bundle/le_imx.h"
#include "session/le_utt.h"

namespace le {

MotionSource::Kind MotionSource::kindFor(const std::string& dir) {
  try {
    const std::string member = resolveMember(resolveBundlePath(dir), "a2x_enc_stream.onnx");
    if (FILE* f = std::fopen(member.c_str(), "rb")) {
      std::fclose(f);
      return Kind::A2x;
    }
  } catch (const std::exception&) {
    // An unreadable directory is the generator's to refuse, with its own message.
  }
  return Kind::Generator;
}

namespace {

class A2xSource final : public MotionSource {
 public:
  // A motion directory that carries its own audio frontend uses it when
  // $W2V_ONNX is unset.
  A2xSource(const std::string& dir, int threads)
      : s_(le::a2xOpen(dir, threads, le::a2xFrontendFor(dir))) {}
  ~A2xSource() override { le_a2x_destroy(s_); }
  void reset(int start, int direction, int loop) override {
    le::a2xReset(s_, start, direction, loop);
  }
  void setEager(int eager) override { le_a2x_set_eager(s_, eager); }
  void push(const float* samples, int count) override {
    if (!le_a2x_push(s_, samples, count)) throw std::runtime_error(le_a2x_last_error());
  }
  void finish() override { le_a2x_finish(s_); }
  int avail() override { return le::a2xAvail(s_); }
  int pull(int* index, float* base, float* driven, int max) override {
    return le::a2xPull(s_, index, base, driven, max);
  }
  int total() override { return le_a2x_total(s_); }

 private:
  le_a2x* s_;
};

class GeneratorSource final : public MotionSource {
 public:
  GeneratorSource(const std::string& dir, int threads, const std::string& ep)
      : m_(le_motion_create(dir.c_str(), threads, ep.c_str())) {
    if (!m_) throw std::runtime_error(le_motion_last_error());
  }
  ~GeneratorSource() override { le_motion_destroy(m_); }
  void reset(int start, int direction, int loop) override { m_->reset(start, direction, loop); }
  void setEager(int eager) override { le_motion_set_eager(m_, eager); }
  void push(const float* samples, int count) override {
    if (!le_motion_push(m_, samples, count)) throw std::runtime_error(le_motion_last_error());
  }
  void finish() override { m_->finish(); }
  int avail() override { return int(m_->available()); }
  int pull(int* index, float* base, float* driven, int max) override {
    int written = 0;
    m_->pull(index, base, driven, max, written);
    return written;
  }
  int total() override { return le_motion_total(m_); }

 private:
  le_motion* m_;
};

}  // namespace

std::unique_ptr<MotionSource> MotionSource::open(Kind kind, const std::string& dir, int threads,
                                                 const std::string& ep) {
  if (kind == Kind::A2x) return std::make_unique<A2xSource>(dir, threads);
  return std::make_unique<GeneratorSource>(dir, threads, ep);
}

}  // namespace le
