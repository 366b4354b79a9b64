// The session's motion sources: the streaming a2x stream and the motion
// generator behind one interface whose calls throw on failure, so the
// dispatch thread sees every failure as a value it can hand to the run loop.
#include "session/le_utt_motion.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

#include "audio/le_a2x.h"
#include "audio/le_motion_generator.h"
#include "bundle/le_bundle.h"
#include "bundle/le_imx.h"
#include "le/le.h"

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

namespace utt {

MotionWorker::Result::Result()
    : index(kMaxFrames), base(size_t(kMaxFrames) * kKpFloats), driven(base.size()) {}

void MotionWorker::start() {
  thread_ = std::thread([this] { dispatchLoop(); });
}

void MotionWorker::stop() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void MotionWorker::post(Job&& job) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    job_ = std::move(job);
    request_ = true;
    done_ = false;
  }
  cv_.notify_all();
}

void MotionWorker::waitDone() {
  std::unique_lock<std::mutex> lk(mu_);
  cv_.wait(lk, [this] { return done_ || stop_; });
}

bool MotionWorker::collect(Result* out) {
  std::lock_guard<std::mutex> lk(mu_);
  if (!done_) return false;
  done_ = false;
  std::swap(result_, *out);
  return true;
}

void MotionWorker::dispatchLoop() {
  std::unique_lock<std::mutex> lk(mu_);
  for (;;) {
    cv_.wait(lk, [this] { return request_ || stop_; });
    if (stop_) return;
    request_ = false;
    const Job job = std::move(job_);
    job_.audio.clear();
    lk.unlock();

    int avail = 0, pulled = 0, total = -1;
    std::string failure;
    try {
      MotionSource* src = job.source;
      if (job.reset) src->reset(job.start, job.direction, 1);
      if (job.eager != 0) src->setEager(job.eager);
      if (!job.audio.empty()) src->push(job.audio.data(), int(job.audio.size()));
      if (job.finish) src->finish();
      avail = src->avail();
      // The result buffers belong to this thread until done is set.
      if (job.maxFrames >= 1 && avail >= 1)
        pulled = src->pull(result_.index.data(), result_.base.data(), result_.driven.data(),
                           std::min(job.maxFrames, avail));
      total = src->total();
    } catch (const std::exception& e) {
      failure = textOf(e);
      avail = pulled = 0;
    }

    lk.lock();
    result_.failure = std::move(failure);
    result_.pulled = std::max(0, pulled);
    result_.avail = std::max(0, avail - result_.pulled);
    result_.total = total;
    result_.progress = job.reset || job.finish || !job.audio.empty() || result_.pulled > 0;
    done_ = true;
    lk.unlock();
    wake_.notify_all();
    cv_.notify_all();
    lk.lock();
  }
}

}  // namespace utt
}  // namespace le
