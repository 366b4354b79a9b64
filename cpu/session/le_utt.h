// The utterance session behind the C handle le_utt: pushed audio becomes
// motion on the dispatch thread, faces are rendered on the run thread and
// pasted into driver frames (on the paste thread when the paste is
// pipelined), and finished frames wait in an 8-slot ring for the host.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "le/le.h"
#include "session/le_utt_motion.h"
#include "session/le_utt_plan.h"
#include "session/le_utt_ring.h"
#include "tessera/le_tessera_stream.h"

namespace le {
class Renderer;
}  // namespace le

// Shared by the session's source files.
namespace le {
namespace utt {

using Clock = std::chrono::steady_clock;
// Every timed wait of the session's threads: a missed wake-up costs at most this.
constexpr auto kWait = std::chrono::milliseconds(2);
constexpr double kFrameMs = 40.0;

inline double nowMs() {
  return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

// The calling thread's last error of the le_utt_* family.
inline std::string& uttError() {
  thread_local std::string error;
  return error;
}

// What a pull found.
enum class Pulled { Frame, None, TooSmall };

}  // namespace utt
}  // namespace le

struct le_utt;

namespace le {
namespace utt {

// Arms the teeth borrow on session s from the members the host loaded (the
// arguments of le_utt_tessera_attach). 0 when armed; 1 with the refusal in
// error. Throws for members that cannot be read.
int attachBorrow(le_utt* s, const uint8_t* band, int n_donors, const double* cent,
                 const double* c_canon, const double* aperture, const int32_t* stamp,
                 const uint8_t* head_pt, int64_t head_pt_len, const char* head_json,
                 const char* manifest_json, std::string& error);
// The same from the members the session's own bundle carries: 2 when it
// carries no complete set (nothing attached).
int attachBundleBorrow(le_utt* s, std::string& error);

}  // namespace utt
}  // namespace le

struct le_utt {
  static constexpr int kRing = le::utt::FrameRing::kSlots;
  static constexpr int kPendingMax = le::utt::MotionWorker::kMaxFrames;
  static constexpr int kKp = le::kKpFloats;
  // Renders of one speech frame before it is given up.
  static constexpr int kRenderTries = 2;

  le_utt(le_ctx* ctx, const le_utt_opts& opts);
  ~le_utt();
  le_utt(const le_utt&) = delete;
  le_utt& operator=(const le_utt&) = delete;

  using FrameRec = le::utt::FrameRec;
  using Slot = le::utt::Slot;

  struct PasteJob {
    std::vector<float> crop;
    int hasCrop = 0;
    FrameRec f;
    int64_t epoch = 0;
    double enqueueMs = 0;
  };

  // Frames pulled from the motion source and not yet rendered.
  struct Pending {
    std::vector<int> index;
    std::vector<float> base, driven;
    int consumed = 0, end = 0;
    int count() const { return end - consumed; }
  };

  // One attached teeth borrow and the frame it holds back. Used by one
  // thread at a time: the borrow thread when the paste is pipelined, else
  // the run thread. Attaching again swaps in a new one under the main lock;
  // a step still running on the old one then changes no counter.
  struct TessState {
    std::unique_ptr<le::tessera::StreamBorrow> borrow;
    int64_t gen = 0;  // the attachment it belongs to
    PasteJob held;
    bool hasHeld = false;
    int64_t lastEpoch = 0;
  };

  // ---- the host's calls (C interface); each takes the main lock itself
  // 1 once the motion source is installed, 0 before, -1 with the warm-up
  // failure in *error.
  int readiness(std::string* error);
  // False with the refusal in *error when the audio would pass the bound.
  bool pushAudio(const int16_t* samples, int count, std::string* error);
  void endUtterance();
  void interrupt();
  int64_t heldAudio();
  int framesAvailable();
  // Takes the oldest pullable frame: its pixels into dst (none when dst is
  // null), its record, its audio position and its voice (640 samples) when
  // asked.
  le::utt::Pulled pull(uint8_t* dst, uint64_t cap, le_utt_frame_info* info, int64_t* at,
                       int16_t* voice);
  bool peek(le_utt_frame_info* info, int64_t* at);
  le_utt_stats statsNow();
  // True once a fatal render failure was noted; the latest failure's text
  // and the count.
  bool renderStatus(std::string* text, int64_t* count);
  // The teeth borrow's state: LE_BORROW_NONE, _HEALTHY or _FAILED.
  int borrowStatus(int64_t* applied, int64_t* skipped, std::string* reason);
  // False before a borrow synthesised a frame.
  bool borrowSynthWeight(double* mean, double* max, int64_t* frames);
  // False without a borrow.
  bool borrowGeometry(std::string* geometry);

  // ---- threads
  void run();
  void warm();
  void pasteLoop();
  void tessLoop();

  // Stops and joins every thread and releases the motion source.
  void shutdown();

  // ---- run thread
  // What one pass of the run loop takes from the host under the main lock.
  struct Intake {
    std::vector<float> audio;  // samples handed over in this pass
    bool endTaken = false;     // an end request came with them
    bool stop = false;
    bool takeable = false;  // audio may be taken now (see takeFromHost)
    int64_t epoch = 0;
    double latestPush = 0, firstPush = 0;
    int64_t firstSample = 0;  // where the audio taken starts in all the host pushed
    le::MotionSource* source = nullptr;
    le::Renderer* steady = nullptr;  // the chunk renderer, if any
    int fill = 0;                    // frames in the ring
    int queued = 0;                  // frames on their way to it
  };
  Intake takeFromHost();
  // Opens an utterance with the first audio and stages what came.
  void acceptAudio(const Intake& in);
  // An end request or the end silence ends the utterance.
  void noteUtteranceEnd(const Intake& in);
  // Posts a motion job when there is audio to send or frames to fetch;
  // without hybrid waits for it. True when a job was collected.
  bool postMotionJob(const Intake& in, bool* progress);
  // Produces a ramp frame, speech frames, the utterance's end or an idle
  // frame, whichever is due; false when there was nothing to do.
  bool produceOne(const Intake& in);
  void waitForWork(const Intake& in);
  // What the planner decides from: the run state and this pass's intake.
  le::utt::PlanView planView(const Intake& in) const;
  void setState(int state);
  void onInterrupt(int64_t epochNow);
  // Takes a finished motion job; *progress is raised when it brought news.
  bool collectJob(bool* progress);
  void clearUtterance();
  // Holds back the utterance's first speech frame when its first release
  // is short of a block (received was `before` until this job).
  void holdFirstRelease(int before);
  // Gives back the held audio of the utterance up to sample upTo.
  void releaseHeld(size_t upTo);
  void startRamp(int index, const float* kp, int length);
  void renderSpeech(int n);
  // The record of a frame the run thread made; a speech frame takes its
  // number, utterance and voice from the current utterance.
  FrameRec frameOf(int kind, int index, const float* kp);
  // Forgets the utterance's audio before speech frame `number`.
  void dropVoiceBefore(int number);
  void produceRamp();
  bool produceIdle();
  // Gives up the speech frame at the head of pending: its number stays unused,
  // so later frames keep their audio.
  void dropSpeechFrame();
  // Whether an interrupt came since the run thread last handled one.
  bool interrupted();
  void utteranceOver();
  void recordUtterance(int64_t underrunsNow);

  // ---- frame path
  bool enqueue(const float* crop, const FrameRec& f, double* acc);
  bool enqueueRaw(const float* crop, const FrameRec& f, double* acc);
  bool enqueuePipe(const float* crop, const FrameRec& f, double* acc);
  PasteJob makeJob(const float* crop, const FrameRec& f, double enqueueMs, int64_t epoch);
  // Hands a job to a stage's bounded queue, waiting on room while it is full,
  // and wakes the stage; false when the session stops or an interrupt drops
  // the job. The wait also adds to *waitMs when given; acc collects the time
  // since t0.
  bool handOver(PasteJob&& j, std::deque<PasteJob>& queue, size_t bound,
                std::condition_variable& room, std::condition_variable& wake, double* waitMs,
                double t0, double* acc);
  // The borrow thread's hand-off to the paste queue (depth 2); false when
  // the session stops or an interrupt drops the job.
  bool pushPaste(PasteJob&& job);
  // How a frame's paste ended: in the ring; not made (noted as a render
  // failure); dropped by a stop or an interrupt.
  enum class Pasted { Committed, Failed, Dropped };
  // Pastes one frame into its driver frame and commits it; the paste
  // stage's one body, run by the paste thread, the borrow stage, or inline
  // by the run thread. *spentMs receives the fetch and composite time.
  Pasted pasteInto(const float* crop, const FrameRec& f, double enqueueMs, int64_t epoch,
                   double* spentMs = nullptr);
  // The teeth-borrow stage has one body, borrowStep, run on the run thread
  // (tessSyncStep, handing on to enqueueRaw) or, with the paste pipelined,
  // on the borrow thread (enqueueTess, tessLoop, tessStage, handing on to
  // pushPaste). NextStage takes a finished frame; false when the session
  // stops or an interrupt drops it.
  using NextStage = std::function<bool(PasteJob&)>;
  bool tessSyncStep(TessState& st, const float* crop, const FrameRec& f, double* acc);
  bool enqueueTess(const float* crop, const FrameRec& f, double* acc);
  void tessStage(PasteJob& job);
  // Holds this frame and hands on the one held before once the pass has
  // composed its mouth; a frame without a crop drains what is held first.
  // Failures set the borrow's latch. False when next refused.
  bool borrowStep(TessState& st, PasteJob& job, bool failed, const NextStage& next);
  enum class Emitted { Delivered, Skipped, Refused };
  // Counts the pass's result for the held frame and, unless skipped, writes
  // the borrowed window into it and hands it on.
  Emitted tessEmitHeldP(TessState& st, const le::tessera::FrameResult& r, const NextStage& next);
  // Flushes the pass and hands on the held frame; false when next refused.
  bool tessDrainP(TessState& st, const NextStage& next);
  // Under the main lock: the attachment st belongs to is still the current one.
  bool tessCurrentLocked(const TessState& st) const;
  // Counters of one emitted result; false (and the latch set) for a skipped one.
  bool tessCountLocked(const TessState& st, const le::tessera::FrameResult& r);
  void tessFail(const TessState& st, const std::string& reason);
  void tessSynthLocked(const TessState& st);
  // The attached borrow, and whether it has failed.
  std::shared_ptr<TessState> tessNow(bool* failed);
  // Fetches the driver frame into the slot and composites the crop; false
  // when that failed (noted as a render failure).
  bool fillSlot(Slot& slot, const float* crop, int kind, int index);
  // Under the main lock.
  // An utterance counts as started at its first speech frame that reaches
  // the ring, whichever number that frame has.
  void commitLocked(const FrameRec& f);

  void noteRenderFail(const char* stage, const std::string& message, bool fatal);
  void printStageReport() const;

  // ---- configuration (fixed at creation)
  le_ctx* ctx;
  std::string motionDir;
  int threads = 0;
  std::string ep;
  std::string steadyModel;
  int eagerOpt = -1;
  bool hybrid = false;
  double endSilenceMs = 600;
  int endRampFrames = 6;
  int interruptRampFrames = 4;
  le::MotionSource::Kind sourceKind = le::MotionSource::Kind::A2x;
  // Frames the motion source releases at a time while audio is live; 0 when
  // it releases them as they come.
  int liveBlock = 0;
  bool pipelined = false;
  std::vector<float> corpus;  // NT x 63, or empty
  int NT = 0, W = 0, H = 0, crop = 0;
  size_t frameBytes = 0;

  // ---- guarded by mu (with cv)
  std::mutex mu;
  std::condition_variable cv;
  std::vector<float> pushed;
  int64_t pushedBase = 0;  // samples the host pushed before pushed[0]
  size_t heldSamples = 0;  // pushed and neither spoken nor dropped; bounded by the push
  // Where each end request falls in pushed (ascending): the samples before
  // the first mark close the utterance the oldest request ends.
  std::deque<size_t> endMarks;
  // First-push times of the utterances whose first audio waits in pushed or
  // is about to start one: each utterance's latency counts from its own.
  std::deque<double> firstPushes;
  int64_t epoch = 0;
  bool stop = false;
  bool audioStarted = false;
  double latestPushMs = 0;
  std::unique_ptr<le::MotionSource> source;
  std::unique_ptr<le::Renderer> chunk;
  bool warmFailed = false;
  std::string warmError;
  le::utt::FrameRing ring;
  le_utt_stats stats{};
  int64_t failures = 0;
  std::string failText;
  bool fatal = false;
  int64_t startedUtt = 0;  // the latest utterance counted as started
  bool speaking = false;   // a speech frame of the current utterance reached the ring
  int64_t underruns = 0;
  int pathFailures = 0;  // frames in a row the driver fetch or the composite failed on
  // paste queue and stage counters
  std::deque<PasteJob> pasteQueue;
  std::condition_variable pasteCv;
  std::condition_variable borrowCv;
  bool pasteStop = false;
  bool pasteBusy = false;  // the paste thread holds a job taken from the queue
  double stageATotal = 0, stageAWait = 0, handoffWait = 0;
  int64_t renderedFrames = 0;
  double stageBTotal = 0;
  int64_t jobsB = 0;
  double stageCTotal = 0;
  int64_t jobsC = 0;  // written by the paste thread only
  double deliverLatency = 0;
  int64_t deliveredSpeech = 0;
  // teeth borrow
  std::shared_ptr<TessState> tess;
  int64_t tessGen = 0;
  std::string tessGeometry;
  bool tessFailed = false;
  std::string tessReason;
  int64_t tessApplied = 0, tessSkipped = 0;
  int64_t tessSynthFrames = 0;
  double tessSynthSum = 0, tessSynthMax = 0;
  double tessMs = 0, tessWaitMs = 0;
  std::deque<PasteJob> tessQueue;
  bool tessStop = false;
  bool tessBusy = false;   // the borrow thread holds a job taken from its queue
  bool tessPiped = false;  // the borrow thread was started

  // ---- the dispatch thread and its job (guarded by its own lock)
  le::utt::MotionWorker motion{cv};
  le::utt::MotionWorker::Result jobResult;  // the collected job's, private to the run thread

  // ---- private to the run thread
  struct RunState {
    int state = 0;
    int idlePos = 0;
    int direction = 1;
    std::vector<float> staging;
    bool inUtt = false, ended = false, resetPending = false, finishSent = false,
         speechRendered = false, jobPosted = false;
    int64_t savedEpoch = 0, jobEpoch = 0;
    int received = 0, stillAvail = 0, total = -1;
    Pending pending;
    int lastSpeechIndex = 0;
    float lastSpeechKp[kKp] = {};
    int speechCount = 0;
    int speechTries = 0;        // failed tries of the speech frame at the head of pending
    bool fillFailed = false;    // the last frame handed to the ring directly was not made
    double nextIdleMs = 0;      // no idle frame before this while the frame path fails
    bool motionFailed = false;  // the source failed: the utterance ends with what it has
    size_t uttSamples = 0, uttReleased = 0;  // audio taken into the utterance; of it spoken
    int64_t uttFirstSample = 0;              // the utterance's first sample in all the host pushed
    int64_t uttSerial = 0;                   // utterances opened so far
    double uttStartMs = 0;                   // the current utterance's first push
    // The utterance's audio from its sample voiceBase on, kept until the
    // speech frames that speak it are made.
    std::vector<int16_t> voice;
    size_t voiceBase = 0;
    int rampLen = 0, rampLeft = 0;
    float rampOffset[kKp] = {};
    int hybridLevel = 0;
    int lastEagerSent = 0;
    // per-utterance telemetry
    double costSum = 0, costMax = 0;
    int64_t startedBefore = 0, underrunsBefore = 0;
  } rs;

  std::thread runThread, warmThread, pasteThread, tessThread;
};
