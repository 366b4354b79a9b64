// The utterance session's motion stage: the motion source (the streaming
// a2x stream or the motion generator) and the dispatch thread that runs one
// job at a time on it, with no session lock held.
#pragma once

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace le {

// The session's motion source behind the calls the dispatch thread makes.
class MotionSource {
 public:
  enum class Kind { A2x, Generator };
  // The a2x stream when the directory holds its streaming encoder, else the
  // motion generator.
  static Kind kindFor(const std::string& dir);
  // Throws std::runtime_error with the source's own last error.
  static std::unique_ptr<MotionSource> open(Kind kind, const std::string& dir, int threads,
                                            const std::string& ep);
  virtual ~MotionSource() = default;
  // Every call below throws std::runtime_error with the source's message
  // when the source fails.

  virtual void reset(int start, int direction, int loop) = 0;
  virtual void setEager(int eager) = 0;
  virtual void push(const float* samples, int count) = 0;
  virtual void finish() = 0;
  virtual int avail() = 0;
  virtual int pull(int* index, float* base, float* driven, int max) = 0;
  virtual int total() = 0;
};

namespace utt {

// A failure's message, or "unknown failure" when it carries none.
inline std::string textOf(const std::exception& e) {
  return e.what() && *e.what() ? e.what() : "unknown failure";
}

// One job in (audio and what to tell the source), keypoints out. The run
// thread posts a job and collects it; the dispatch thread runs it.
class MotionWorker {
 public:
  static constexpr int kMaxFrames = 32;

  struct Job {
    MotionSource* source = nullptr;
    std::vector<float> audio;
    bool reset = false;
    int start = 0, direction = 1;
    bool finish = false;
    int eager = 0;  // 0: unchanged
    int maxFrames = 0;
  };
  struct Result {
    std::vector<int> index;
    std::vector<float> base, driven;  // kMaxFrames rows of 63
    int pulled = 0, avail = 0, total = -1;
    bool progress = false;  // the job pushed audio or changed what is known
    std::string failure;    // the source's message when a call failed
    Result();
  };

  // wake is notified whenever a job is done.
  explicit MotionWorker(std::condition_variable& wake) : wake_(wake) {}
  ~MotionWorker() { stop(); }
  MotionWorker(const MotionWorker&) = delete;
  MotionWorker& operator=(const MotionWorker&) = delete;

  void start();
  void stop();
  // Hands a job over; the one before it must have been collected.
  void post(Job&& job);
  // Until the posted job is done or the worker stops.
  void waitDone();
  // Swaps a finished job's result into *out (whose buffers the worker keeps
  // for the next job); false while none is done.
  bool collect(Result* out);

 private:
  void dispatchLoop();

  std::condition_variable& wake_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool request_ = false, done_ = false, stop_ = false;
  Job job_;
  Result result_;
  std::thread thread_;
};

}  // namespace utt
}  // namespace le
