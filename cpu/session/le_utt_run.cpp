#include "session/le_utt.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "audio/le_frontend.h"
#include "base/le_env.h"
#include "base/le_log.h"
#include "bundle/le_bundle.h"
#include "bundle/le_imx.h"
#include "render/le_renderer.h"
#include "session/le_context.h"
#include "telemetry/le_telemetry.h"
#include "tessera/le_tessera_pi.h"
#include "tessera/le_tessera_stream.h"

using namespace le::utt;

// The session's creation, threads and run loop. The host's calls are in
// le_utt_host.cpp, the motion stage in le_utt_motion.cpp, the planner in
// le_utt_plan.cpp, the frame path's borrow stage in le_utt_tessera.cpp and
// its paste stage in le_utt_paste.cpp, the frame ring in le_utt_ring.cpp.

// ---------------------------------------------------------------------------
// Creation and destruction

le_utt::le_utt(le_ctx* c, const le_utt_opts& o) : ctx(c) {
  if (!o.motion_dir || !*o.motion_dir) throw std::runtime_error("opts.motion_dir required");
  motionDir = o.motion_dir;
  threads = o.threads < 1 ? ctx->threads : o.threads;
  ep = o.ep ? o.ep : "";
  steadyModel = o.steady_model && *o.steady_model ? o.steady_model : "b24_fp32";
  if (const char* env = le::envValue("LE_STEADY_MODEL")) steadyModel = env;
  if (o.eager == -2) {
    hybrid = true;
  } else if (o.eager >= 1) {
    eagerOpt = o.eager;
  } else {
    const char* env = le::envValue("LE_UTT_HYBRID");
    hybrid = env && *env && std::strcmp(env, "0") != 0;
  }
  endSilenceMs = o.end_silence_s == 0 ? 600.0 : o.end_silence_s * 1000.0;
  endRampFrames = o.end_ramp_frames < 1 ? 6 : o.end_ramp_frames;
  interruptRampFrames = o.interrupt_ramp_frames < 1 ? 4 : o.interrupt_ramp_frames;

  sourceKind = le::MotionSource::kindFor(motionDir);
  pipelined = sourceKind == le::MotionSource::Kind::A2x;
  liveBlock = sourceKind == le::MotionSource::Kind::A2x ? int(le::kHeadFrames) : 0;
  if (const char* env = le::envValue("LE_UTT_PIPELINE_PASTE"))
    pipelined = std::strtol(env, nullptr, 10) != 0;

  NT = ctx->manifest.NT;
  W = ctx->manifest.W;
  H = ctx->manifest.H;
  crop = ctx->manifest.crop;
  frameBytes = size_t(W) * size_t(H) * 3;
  if (ctx->cursor->frameBytes != frameBytes)
    throw std::runtime_error("the driver video's frames hold " +
                             std::to_string(ctx->cursor->frameBytes) + " bytes, not the " +
                             std::to_string(frameBytes) + " of a " + std::to_string(W) + "x" +
                             std::to_string(H) + " RGB frame; refusing to open a session");
  try {
    // Without them the borrow is refused and ramps start from the frame shown.
    corpus = le::readCorpusKeypoints(le::resolveBundlePath(motionDir), NT);
  } catch (const std::exception&) {
    corpus.clear();
  }

  ring.allocate(frameBytes);
  rs.pending.index.resize(kPendingMax);
  rs.pending.base.resize(size_t(kPendingMax) * kKp);
  rs.pending.driven.resize(size_t(kPendingMax) * kKp);

  try {
    runThread = std::thread([this] { run(); });
    warmThread = std::thread([this] { warm(); });
    motion.start();
    if (pipelined) pasteThread = std::thread([this] { pasteLoop(); });
  } catch (...) {
    shutdown();
    throw;
  }
  const std::string& note = ctx->renderer->directorNote();
  if (!note.empty()) noteRenderFail("director load", note, false);
}

le_utt::~le_utt() {
  shutdown();
  if (le::envValue("LE_UTT_STAGE_REPORT")) printStageReport();
}

void le_utt::shutdown() {
  {
    std::lock_guard<std::mutex> lk(mu);
    stop = true;
  }
  cv.notify_all();
  {
    std::lock_guard<std::mutex> lk(mu);
    tessStop = true;
    pasteStop = true;
  }
  pasteCv.notify_all();
  borrowCv.notify_all();
  if (tessThread.joinable()) tessThread.join();
  if (pasteThread.joinable()) pasteThread.join();
  if (runThread.joinable()) runThread.join();
  if (warmThread.joinable()) warmThread.join();
  motion.stop();
  source.reset();
}

// ---------------------------------------------------------------------------
// Warm-up and dispatch

void le_utt::warm() {
  std::unique_ptr<le::MotionSource> src;
  try {
    src = le::MotionSource::open(sourceKind, motionDir, threads, ep);
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lk(mu);
    warmFailed = true;
    warmError = e.what();
    return;
  }
  src->setEager(hybrid ? 3 : eagerOpt);

  auto stopping = [this] {
    std::lock_guard<std::mutex> lk(mu);
    return stop;
  };
  std::unique_ptr<le::Renderer> steady;
  if (steadyModel != "-" && !stopping()) {
    try {
      steady = std::make_unique<le::Renderer>(ctx->manifest, ctx->identity, steadyModel,
                                              ctx->threads, ctx->ep);
    } catch (const std::exception&) {
      steady.reset();  // no batch renderer: every frame renders alone
    }
    const std::string& mainEp = ctx->renderer->ep();
    if (steady && mainEp.rfind("coreml-native", 0) == 0 &&
        steady->ep().rfind("coreml-native", 0) != 0) {
      le::log(le::LogLevel::Warning, "le_utt",
              "steady chunk renderer '%s' DROPPED (rendering b1-only): this frame "
              "graph runs on ep=%s while the chunk graph fell back to ep=%s. A chunk that "
              "gives up the bundle's own CoreML director costs MORE per frame than the "
              "per-frame path it was meant to amortize, and letting timing choose between "
              "two runtimes makes the delivered pixels depend on scheduling.",
              steadyModel.c_str(), mainEp.c_str(), steady->ep().c_str());
      steady.reset();
    }
  }

  const le::Drive& d = ctx->drive;
  if (d.frames >= 1 && !stopping()) {
    const int si = d.si[0];
    try {
      ctx->renderer->render(&si, d.xs.data(), d.xs.data(), 1);
      if (steady) steady->render(&si, d.xs.data(), d.xs.data(), 1);
    } catch (const std::exception& e) {
      noteRenderFail("warm-up", textOf(e), false);
    }
  }

  {
    std::lock_guard<std::mutex> lk(mu);
    chunk = std::move(steady);
    source = std::move(src);
  }
  cv.notify_all();
}

// ---------------------------------------------------------------------------
// The run loop

void le_utt::setState(int state) {
  if (rs.state == state) return;
  rs.state = state;
  std::lock_guard<std::mutex> lk(mu);
  stats.state = state;
}

bool le_utt::collectJob(bool* progress) {
  if (!rs.jobPosted || !motion.collect(&jobResult)) return false;
  rs.jobPosted = false;
  const le::utt::MotionWorker::Result& job = jobResult;
  if (rs.jobEpoch != rs.savedEpoch) return true;  // from before an interrupt: dropped
  if (!job.failure.empty() && rs.inUtt) {
    // The source failed: the utterance ends with the frames it already has.
    noteRenderFail("motion", job.failure, true);
    rs.motionFailed = true;
    if (progress) *progress = true;
    return true;
  }
  Pending& p = rs.pending;
  if (p.end + job.pulled > kPendingMax && p.consumed > 0) {
    const int n = p.count();
    std::memmove(p.index.data(), p.index.data() + p.consumed, size_t(n) * sizeof(int));
    std::memmove(p.base.data(), p.base.data() + size_t(p.consumed) * kKp,
                 size_t(n) * kKp * sizeof(float));
    std::memmove(p.driven.data(), p.driven.data() + size_t(p.consumed) * kKp,
                 size_t(n) * kKp * sizeof(float));
    p.consumed = 0;
    p.end = n;
  }
  const int room = std::min(job.pulled, kPendingMax - p.end);
  std::copy_n(job.index.data(), room, p.index.data() + p.end);
  std::copy_n(job.base.data(), size_t(room) * kKp, p.base.data() + size_t(p.end) * kKp);
  std::copy_n(job.driven.data(), size_t(room) * kKp, p.driven.data() + size_t(p.end) * kKp);
  p.end += room;
  const int before = rs.received;
  rs.received += room;
  const bool news = job.avail != rs.stillAvail || job.total != rs.total;
  rs.stillAvail = job.avail;
  rs.total = job.total;
  holdFirstRelease(before);
  if (progress) *progress = *progress || job.progress || news;
  return true;
}

// Live audio comes out of the a2x stream a block at a time, but its first
// release is short of a block: what the look-ahead leaves of the audio
// heard so far. A host pulling in step would drain those frames and then
// wait for the next block's audio to arrive. The first frame therefore
// waits until the frames in hand last until the next block is due, plus
// one frame for the work after a release, and no longer than that: the
// next block, or the end of the audio, lifts the hold at once.
void le_utt::holdFirstRelease(int before) {
  if (liveBlock < 1) return;
  const bool covered = rs.received >= liveBlock || rs.total >= 0;
  if (before == 0 && rs.received > 0 && !covered) {
    const double until = nowMs() + double(liveBlock - rs.received + 1) * kFrameMs;
    std::lock_guard<std::mutex> lk(mu);
    ring.holdSpeechUntil(until);
  } else if (before > 0 && covered) {
    std::lock_guard<std::mutex> lk(mu);
    ring.holdSpeechUntil(0);
  }
}

void le_utt::releaseHeld(size_t upTo) {
  const size_t to = std::min(upTo, rs.uttSamples);
  if (to <= rs.uttReleased) return;
  std::lock_guard<std::mutex> lk(mu);
  heldSamples -= to - rs.uttReleased;
  rs.uttReleased = to;
}

void le_utt::clearUtterance() {
  releaseHeld(rs.uttSamples);
  {
    std::lock_guard<std::mutex> lk(mu);
    ring.holdSpeechUntil(0);
  }
  rs.uttSamples = rs.uttReleased = 0;
  rs.speechCount = rs.speechTries = 0;
  rs.motionFailed = false;
  rs.inUtt = rs.ended = rs.resetPending = rs.finishSent = rs.speechRendered = false;
  rs.pending.consumed = rs.pending.end = 0;
  rs.staging.clear();
  rs.voice.clear();
  rs.voiceBase = 0;
  rs.received = 0;
  rs.stillAvail = 0;
  rs.total = -1;
  rs.hybridLevel = 0;
  rs.costSum = rs.costMax = 0;
}

void le_utt::startRamp(int index, const float* kp, int length) {
  rs.idlePos = (index + 1) % NT;
  const float* row = corpus.data() + size_t(index) * kKp;
  for (int i = 0; i < kKp; ++i) rs.rampOffset[i] = kp[i] - row[i];
  rs.rampLen = rs.rampLeft = length;
  setState(LE_UTT_STATE_RAMP);
}

void le_utt::onInterrupt(int64_t epochNow) {
  bool had;
  int kind, index;
  float kp[kKp];
  int64_t under;
  {
    std::lock_guard<std::mutex> lk(mu);
    // Audio pushed after the interrupt returned belongs to the next utterance
    // and keeps its start time.
    if (pushed.empty()) audioStarted = false;
    rs.savedEpoch = epochNow;
    const le::utt::FrameRing::Delivered& last = ring.lastDelivered();
    had = last.has;
    kind = last.kind;
    index = last.index;
    std::memcpy(kp, last.kp, sizeof kp);
    speaking = false;
    under = underruns;
  }
  if (!pipelined) {
    // The frame the borrow holds belongs to the dropped utterance.
    bool failedNow;
    if (std::shared_ptr<TessState> st = tessNow(&failedNow)) {
      try {
        le::tessera::FrameResult r;
        st->borrow->flush(r);
      } catch (const std::exception& e) {
        tessFail(*st, textOf(e));
      }
      st->hasHeld = false;
      st->lastEpoch = epochNow;
    }
  }
  if (rs.inUtt && rs.speechCount > 0) recordUtterance(under);
  clearUtterance();
  if (!had || kind == LE_UTT_KIND_IDLE) {
    setState(LE_UTT_STATE_IDLE);
    if (had) rs.idlePos = (index + 1) % NT;
  } else if (!corpus.empty()) {
    startRamp(index, kp, interruptRampFrames);
  } else {
    setState(LE_UTT_STATE_IDLE);
  }
}

void le_utt::utteranceOver() {
  int64_t under;
  {
    std::lock_guard<std::mutex> lk(mu);
    if (pushed.empty()) audioStarted = false;
    speaking = false;
    under = underruns;
  }
  if (rs.speechCount > 0) recordUtterance(under);
  releaseHeld(rs.uttSamples);
  rs.inUtt = false;
  if (!rs.speechRendered || corpus.empty())
    setState(LE_UTT_STATE_IDLE);
  else
    startRamp(rs.lastSpeechIndex, rs.lastSpeechKp, endRampFrames);
}

void le_utt::recordUtterance(int64_t underrunsNow) {
  double first = -1;
  {
    std::lock_guard<std::mutex> lk(mu);
    if (stats.utterances_started > rs.startedBefore) first = stats.first_frame_ms;
  }
  if (first >= 0) le::telemetry::record("utt.first_frame_ms", first);
  le::telemetry::record("utt.speech_frames", rs.speechCount);
  le::telemetry::record("utt.frame_cost_mean_ms", rs.costSum / rs.speechCount);
  le::telemetry::record("utt.frame_cost_max_ms", rs.costMax);
  le::telemetry::record("utt.underruns", double(underrunsNow - rs.underrunsBefore));
}

le_utt::Intake le_utt::takeFromHost() {
  Intake in;
  std::lock_guard<std::mutex> lk(mu);
  in.stop = stop;
  in.epoch = epoch;
  // Audio waits while a ramp plays, while an interrupt is still to be
  // handled, and while an ended utterance finishes: it opens the next one.
  in.takeable =
      rs.state != LE_UTT_STATE_RAMP && in.epoch == rs.savedEpoch && !(rs.inUtt && rs.ended);
  if (in.takeable) {
    in.firstSample = pushedBase;
    if (!endMarks.empty()) {
      // Samples pushed after the oldest end request belong to later utterances.
      const size_t n = std::min(endMarks.front(), pushed.size());
      in.audio.assign(pushed.begin(), pushed.begin() + long(n));
      pushed.erase(pushed.begin(), pushed.begin() + long(n));
      in.endTaken = true;
      endMarks.pop_front();
      for (size_t& mark : endMarks) mark -= n;
    } else {
      in.audio.swap(pushed);
    }
    pushedBase += int64_t(in.audio.size());
  }
  in.latestPush = latestPushMs;
  in.source = source.get();
  in.steady = chunk.get();
  in.fill = ring.waiting();
  // A job the paste thread holds counts too, or a second idle frame
  // would be made while the first is still on its way to the ring.
  if (pipelined)
    in.queued =
        int(pasteQueue.size()) + (pasteBusy ? 1 : 0) + int(tessQueue.size()) + (tessBusy ? 1 : 0);
  return in;
}

void le_utt::acceptAudio(const Intake& in) {
  if (in.audio.empty()) return;
  if (!in.source) {
    std::lock_guard<std::mutex> lk(mu);
    audioStarted = false;  // nothing to speak with yet: dropped
    heldSamples -= in.audio.size();
    if (!firstPushes.empty()) firstPushes.pop_front();
    return;
  }
  if (!rs.inUtt) {
    clearUtterance();
    rs.inUtt = true;
    rs.resetPending = true;
    rs.uttFirstSample = in.firstSample;
    ++rs.uttSerial;
    {
      std::lock_guard<std::mutex> lk(mu);
      rs.uttStartMs = firstPushes.empty() ? in.latestPush : firstPushes.front();
      if (!firstPushes.empty()) firstPushes.pop_front();
      rs.startedBefore = stats.utterances_started;
      rs.underrunsBefore = underruns;
    }
    if (rs.state == LE_UTT_STATE_IDLE) setState(LE_UTT_STATE_WAITING);
  }
  rs.staging.insert(rs.staging.end(), in.audio.begin(), in.audio.end());
  rs.uttSamples += in.audio.size();
  // Pushed as 16-bit samples over 32768: multiplying back is exact.
  for (float v : in.audio) rs.voice.push_back(int16_t(v * 32768.0f));
}

void le_utt::noteUtteranceEnd(const Intake& in) {
  if (!rs.inUtt || rs.ended) return;
  if (in.endTaken || (endSilenceMs >= 0 && nowMs() - in.latestPush >= endSilenceMs)) {
    rs.ended = true;
    std::lock_guard<std::mutex> lk(mu);
    if (pushed.empty()) audioStarted = false;
  }
}

le::utt::PlanView le_utt::planView(const Intake& in) const {
  le::utt::PlanView v;
  v.state = rs.state;
  v.rampLeft = rs.rampLeft;
  v.fill = in.fill;
  v.queued = in.queued;
  v.hasSource = in.source != nullptr;
  v.inUtt = rs.inUtt;
  v.ended = rs.ended;
  v.finishSent = rs.finishSent;
  v.jobPosted = rs.jobPosted;
  v.motionFailed = rs.motionFailed;
  v.stagingEmpty = rs.staging.empty();
  v.pending = rs.pending.count();
  v.stillAvail = rs.stillAvail;
  v.received = rs.received;
  v.total = rs.total;
  v.batch = in.steady && rs.speechRendered ? in.steady->batch() : 0;
  return v;
}

bool le_utt::postMotionJob(const Intake& in, bool* progress) {
  const le::utt::PlanView v = planView(in);
  const int eagerValue =
      hybrid ? le::utt::hybridEager(&rs.hybridLevel, v.stillAvail + v.pending + v.fill) : eagerOpt;
  if (!le::utt::wantsMotionJob(v)) return false;
  le::utt::MotionWorker::Job job;
  job.audio.swap(rs.staging);
  job.source = in.source;
  job.reset = rs.resetPending;
  job.start = rs.idlePos;
  job.direction = rs.direction;
  job.finish = rs.ended && !rs.finishSent;
  job.eager = eagerValue != rs.lastEagerSent ? eagerValue : 0;
  job.maxFrames = kPendingMax - v.pending;
  motion.post(std::move(job));
  rs.lastEagerSent = eagerValue;
  rs.finishSent = rs.finishSent || rs.ended;
  rs.resetPending = false;
  rs.jobPosted = true;
  rs.jobEpoch = rs.savedEpoch;
  if (hybrid) return false;
  // Without hybrid the run thread waits for its own job.
  motion.waitDone();
  return collectJob(progress);
}

bool le_utt::produceOne(const Intake& in) {
  const le::utt::Decision d = le::utt::nextStep(planView(in));
  switch (d.step) {
    case le::utt::Step::Ramp:
      produceRamp();
      // The last ramp frame hands over to the idle loop in the same pass.
      if (rs.state == LE_UTT_STATE_IDLE && in.fill + in.queued < 1 && produceIdle())
        rs.idlePos = (rs.idlePos + 1) % NT;
      return true;
    case le::utt::Step::Speech:
      setState(LE_UTT_STATE_SPEAKING);
      if (d.frames == 0) return false;  // a full batch is on its way
      renderSpeech(d.frames);
      return true;
    case le::utt::Step::UtteranceOver:
      utteranceOver();
      return true;
    case le::utt::Step::Idle:
      if (!produceIdle()) return false;
      rs.idlePos = (rs.idlePos + 1) % NT;
      return true;
    case le::utt::Step::Nothing:
      break;
  }
  return false;
}

void le_utt::waitForWork(const Intake& in) {
  std::unique_lock<std::mutex> lk(mu);
  const bool nothingToTake = !in.takeable || (pushed.empty() && endMarks.empty());
  if ((rs.state == LE_UTT_STATE_RAMP || nothingToTake) && !stop && epoch == rs.savedEpoch)
    cv.wait_for(lk, kWait);
}

void le_utt::run() {
  for (;;) {
    const Intake in = takeFromHost();
    if (in.stop) return;
    if (in.epoch != rs.savedEpoch) {
      onInterrupt(in.epoch);
      continue;
    }
    bool progress = false;
    bool collected = collectJob(&progress);
    acceptAudio(in);
    noteUtteranceEnd(in);
    collected = postMotionJob(in, &progress) || collected;
    // Produce at most one kind of work per pass; a job that brought nothing
    // new is no reason to poll again at once.
    if (!produceOne(in) && !(collected && progress)) waitForWork(in);
  }
}

// ---------------------------------------------------------------------------
// Producing frames (run thread)

void le_utt::renderSpeech(int n) {
  Pending& p = rs.pending;
  const int k = std::min(n, p.count());
  const size_t cropValues = size_t(crop) * size_t(crop) * 3;
  const float* batch = nullptr;
  double share = 0;
  le::Renderer* steady;
  {
    std::lock_guard<std::mutex> lk(mu);
    steady = chunk.get();
  }
  if (k > 1 && steady && steady->batch() >= k) {
    const size_t at = size_t(p.consumed);
    try {
      const double t = nowMs();
      batch = steady->render(p.index.data() + at, p.base.data() + at * kKp,
                             p.driven.data() + at * kKp, k);
      share = (nowMs() - t) / k;
    } catch (const std::exception& e) {
      if (interrupted()) return;  // cancelled by the interrupt, not a failure
      noteRenderFail("b24 chunk", textOf(e), false);
      batch = nullptr;
    }
  }
  for (int j = 0; j < k; ++j) {
    const size_t at = size_t(p.consumed);
    const int index = p.index[at];
    const float* base = p.base.data() + at * kKp;
    const float* driven = p.driven.data() + at * kKp;
    const float* face;
    double cost;
    if (batch) {
      face = batch + size_t(j) * cropValues;
      cost = share;
    } else {
      try {
        const double t = nowMs();
        face = ctx->renderer->render(&index, base, driven, 1);
        cost = nowMs() - t;
      } catch (const std::exception& e) {
        if (interrupted()) return;  // cancelled by the interrupt, not a failure
        noteRenderFail("render", textOf(e), true);
        if (++rs.speechTries < kRenderTries) return;  // stays pending, tried again
        dropSpeechFrame();
        continue;
      }
    }
    rs.idlePos = rs.lastSpeechIndex = index;
    std::memcpy(rs.lastSpeechKp, driven, sizeof rs.lastSpeechKp);
    {
      std::lock_guard<std::mutex> lk(mu);
      handoffWait = 0;
    }
    double spent = cost;
    if (!enqueue(face, frameOf(LE_UTT_KIND_SPEECH, index, driven), &spent)) return;
    if (rs.fillFailed) {  // the driver frame or the composite failed: reported already
      if (++rs.speechTries < kRenderTries) return;
      dropSpeechFrame();
      continue;
    }
    rs.speechTries = 0;
    ++p.consumed;
    ++rs.speechCount;
    releaseHeld(size_t(rs.speechCount) * kFrameSamples);
    dropVoiceBefore(rs.speechCount);
    rs.speechRendered = true;
    rs.costSum += spent;
    rs.costMax = std::max(rs.costMax, spent);
    std::lock_guard<std::mutex> lk(mu);
    ++renderedFrames;
    stageATotal += spent;
    stageAWait += handoffWait;
    stats.frame_cost_ms =
        stats.frame_cost_ms == 0 ? spent : 0.9 * stats.frame_cost_ms + 0.1 * spent;
  }
  rs.idlePos = (rs.idlePos + 1) % NT;
}

void le_utt::dropSpeechFrame() {
  Pending& p = rs.pending;
  rs.speechTries = 0;
  rs.idlePos = p.index[size_t(p.consumed)];
  ++p.consumed;
  ++rs.speechCount;
  releaseHeld(size_t(rs.speechCount) * kFrameSamples);
  dropVoiceBefore(rs.speechCount);
}

le_utt::FrameRec le_utt::frameOf(int kind, int index, const float* kp) {
  FrameRec f;
  f.kind = kind;
  f.index = index;
  if (kp) std::memcpy(f.kp, kp, sizeof f.kp);
  if (kind != LE_UTT_KIND_SPEECH) return f;
  f.number = rs.speechCount;
  const size_t first = size_t(f.number) * kFrameSamples;
  f.at = rs.uttFirstSample + int64_t(first);
  f.utt = rs.uttSerial;
  f.uttStartMs = rs.uttStartMs;
  // Samples past the end of the utterance's audio are not its own: silence.
  for (size_t i = 0; i < kFrameSamples; ++i) {
    const size_t at = first + i;
    if (at >= rs.voiceBase && at - rs.voiceBase < rs.voice.size())
      f.voice[i] = rs.voice[at - rs.voiceBase];
  }
  return f;
}

void le_utt::dropVoiceBefore(int number) {
  const size_t upTo = size_t(number) * kFrameSamples;
  if (upTo <= rs.voiceBase) return;
  const size_t n = std::min(upTo - rs.voiceBase, rs.voice.size());
  // Dropped once it is half the buffer, so each sample moves about once.
  if (2 * n < rs.voice.size()) return;
  rs.voice.erase(rs.voice.begin(), rs.voice.begin() + long(n));
  rs.voiceBase += n;
}

void le_utt::produceRamp() {
  const int i = rs.idlePos, L = rs.rampLen, r = rs.rampLeft;
  const float keep = 1.0f - float(L - r + 1) / float(L);
  const float* row = corpus.data() + size_t(i) * kKp;
  float kp[kKp];
  for (int v = 0; v < kKp; ++v) kp[v] = row[v] + keep * rs.rampOffset[v];
  const float* face = nullptr;
  try {
    face = ctx->renderer->render(&i, row, kp, 1);
  } catch (const std::exception& e) {
    if (interrupted()) return;  // cancelled by another interrupt, not a failure
    noteRenderFail("ramp", textOf(e), true);
    face = nullptr;
  }
  if (face && !enqueue(face, frameOf(LE_UTT_KIND_RAMP, i, kp), nullptr)) return;
  rs.lastSpeechIndex = i;
  std::memcpy(rs.lastSpeechKp, kp, sizeof kp);
  rs.idlePos = (i + 1) % NT;
  if (--rs.rampLeft <= 0) setState(LE_UTT_STATE_IDLE);
}

bool le_utt::interrupted() {
  std::lock_guard<std::mutex> lk(mu);
  return epoch != rs.savedEpoch;
}

bool le_utt::produceIdle() {
  bool failed = false;
  // A failed borrow delivers nothing until it is attached again: no idle
  // frame either, or the run loop would spin making frames nobody sees.
  if (tessNow(&failed) && failed) return false;
  int failing;
  {
    std::lock_guard<std::mutex> lk(mu);
    failing = pathFailures;
  }
  // A failing driver is tried again after a pause that grows to half a
  // second, not in a loop; the idle walk moves on past the frame that failed.
  const double now = nowMs();
  if (failing > 0 && now < rs.nextIdleMs) return false;
  rs.nextIdleMs = now + std::min(500.0, 5.0 * double(1 << std::min(failing, 7)));
  return enqueue(nullptr, frameOf(LE_UTT_KIND_IDLE, rs.idlePos, nullptr), nullptr);
}
