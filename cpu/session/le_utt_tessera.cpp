// The session's teeth-borrow stage and its C interface.
#include "session/le_utt.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "render/le_renderer.h"
#include "session/le_context.h"
#include "tessera/le_tessera_pi.h"
#include "tessera/le_tessera_stream.h"

using namespace le::utt;

// ---------------------------------------------------------------------------
// The teeth-borrow stage

// The frame path's entry: an attached borrow takes the frame first, else it
// goes straight to the paste stage.
bool le_utt::enqueue(const float* face, const FrameRec& f, double* acc) {
  // A teeth-borrow stage, once attached, takes the frame here and hands it
  // on through enqueueRaw or the paste queue.
  bool failed = false;
  rs.fillFailed = false;
  std::shared_ptr<TessState> st = tessNow(&failed);
  if (!st) return enqueueRaw(face, f, acc);
  if (pipelined) return enqueueTess(face, f, acc);
  // Dropped, not refused: the caller must not render the frame again.
  if (failed) return true;
  const bool going = tessSyncStep(*st, face, f, acc);
  // The borrow delivers the frame it held before this one: a failure there
  // is that frame's, lost and reported, not a reason to render this one again.
  rs.fillFailed = false;
  return going;
}

std::shared_ptr<le_utt::TessState> le_utt::tessNow(bool* failed) {
  std::lock_guard<std::mutex> lk(mu);
  *failed = tessFailed;
  return tess;
}

bool le_utt::tessCurrentLocked(const TessState& st) const {
  return tess && st.gen == tessGen;
}

bool le_utt::tessCountLocked(const TessState& st, const le::tessera::FrameResult& r) {
  if (!tessCurrentLocked(st)) return !r.skipped;
  if (!r.skipped) {
    ++tessApplied;
    return true;
  }
  ++tessSkipped;
  tessReason = r.reason;
  tessFailed = true;
  return false;
}

void le_utt::tessFail(const TessState& st, const std::string& reason) {
  std::lock_guard<std::mutex> lk(mu);
  if (!tessCurrentLocked(st)) return;
  tessFailed = true;
  tessReason = reason;
}

void le_utt::tessSynthLocked(const TessState& st) {
  if (!tessCurrentLocked(st)) return;
  const auto& sy = st.borrow->pass().synthStats();
  tessSynthFrames = sy.frames;
  tessSynthSum = sy.sumMeans;
  tessSynthMax = sy.max;
}

bool le_utt::tessSyncStep(TessState& st, const float* face, const FrameRec& f, double* acc) {
  const double t0 = nowMs();
  double inPaste = 0;  // the paste stage's share, which it adds to acc itself
  PasteJob job = makeJob(face, f, 0, rs.savedEpoch);
  const bool going = borrowStep(st, job, false, [&](PasteJob& j) {
    const double t = nowMs();
    const bool ok = enqueueRaw(j.hasCrop ? j.crop.data() : nullptr, j.f, acc);
    inPaste += nowMs() - t;
    return ok;
  });
  if (acc) *acc += nowMs() - t0 - inPaste;
  return going;
}

bool le_utt::borrowStep(TessState& st, PasteJob& job, bool failed, const NextStage& next) {
  try {
    if (job.epoch != st.lastEpoch) {
      // The held frame belongs to an utterance an interrupt dropped.
      le::tessera::FrameResult r;
      st.borrow->flush(r);
      st.hasHeld = false;
      st.lastEpoch = job.epoch;
    }
    if (failed) return true;  // dropped until the borrow is attached again
    if (!job.hasCrop) {
      // End of speech or an idle frame: the held frame goes out first.
      return tessDrainP(st, next) && next(job);
    }
    le::tessera::FrameResult r;
    const double t = nowMs();
    const bool emitted = st.borrow->push(job.crop.data(), job.f.kp, r);
    {
      std::lock_guard<std::mutex> lk(mu);
      tessMs += nowMs() - t;
    }
    // The new frame is held in place of the one that goes out now.
    if (emitted && st.hasHeld) {
      const Emitted e = tessEmitHeldP(st, r, next);
      if (e == Emitted::Refused) return false;
      if (e == Emitted::Skipped) return true;
    }
    st.held = std::move(job);
    st.hasHeld = true;
  } catch (const std::exception& e) {
    tessFail(st, textOf(e));
  } catch (...) {
    tessFail(st, "unknown failure");
  }
  return true;
}

bool le_utt::enqueueTess(const float* face, const FrameRec& f, double* acc) {
  const double t0 = nowMs();
  return handOver(makeJob(face, f, t0, rs.savedEpoch), tessQueue, 2, borrowCv, borrowCv,
                  &tessWaitMs, t0, acc);
}

void le_utt::tessLoop() {
  std::unique_lock<std::mutex> lk(mu);
  for (;;) {
    while (tessQueue.empty() && !tessStop && !stop) borrowCv.wait_for(lk, kWait);
    if (tessStop || stop) return;
    PasteJob j = std::move(tessQueue.front());
    tessQueue.pop_front();
    tessBusy = true;
    const bool current = j.epoch == epoch;
    lk.unlock();
    borrowCv.notify_all();
    if (current) {
      const double t = nowMs();
      tessStage(j);
      const double spent = nowMs() - t;
      lk.lock();
      stageBTotal += spent;
      ++jobsB;
    } else {
      lk.lock();  // a job from before an interrupt: dropped
    }
    tessBusy = false;
  }
}

void le_utt::tessStage(PasteJob& job) {
  bool failed = false;
  std::shared_ptr<TessState> st = tessNow(&failed);
  if (!st) {
    pasteInto(job.hasCrop ? job.crop.data() : nullptr, job.f, job.enqueueMs, job.epoch);
    return;
  }
  borrowStep(*st, job, failed, [this](PasteJob& j) { return pushPaste(std::move(j)); });
}

le_utt::Emitted le_utt::tessEmitHeldP(TessState& st, const le::tessera::FrameResult& r,
                                      const NextStage& next) {
  st.hasHeld = false;
  bool deliver;
  {
    std::lock_guard<std::mutex> lk(mu);
    deliver = tessCountLocked(st, r);
    tessSynthLocked(st);
  }
  if (!deliver) return Emitted::Skipped;
  const double t = nowMs();
  le::tessera::StreamBorrow::writeWindowDelta(st.held.crop.data(), crop, r, st.borrow->stamp());
  {
    std::lock_guard<std::mutex> lk(mu);
    tessMs += nowMs() - t;
  }
  return next(st.held) ? Emitted::Delivered : Emitted::Refused;
}

bool le_utt::tessDrainP(TessState& st, const NextStage& next) {
  if (!st.hasHeld) return true;
  le::tessera::FrameResult r;
  if (st.borrow->flush(r)) return tessEmitHeldP(st, r, next) != Emitted::Refused;
  // Never deliver a crop the borrow did not compose.
  st.hasHeld = false;
  tessFail(st,
           "flush: the pass held no pending frame while a crop was held \xE2\x80\x94 refusing to "
           "deliver it uncomposed");
  return true;
}

namespace {

// The bank must be cut for the crops this session renders.
bool canvasFits(const le_utt* s, const le::GeometryStamp& stamp, const char* fn,
                std::string& error) {
  if (stamp.canvas_w == s->crop && stamp.canvas_h == s->crop) return true;
  error = std::string(fn) + ": bank canvas " + std::to_string(stamp.canvas_w) + "x" +
          std::to_string(stamp.canvas_h) + " != this bundle's render crop " +
          std::to_string(s->crop);
  return false;
}

// Identifies the corpus geometry and swaps the new borrow in. 0 when armed,
// 1 with the refusal in error.
int arm(le_utt* s, le::tessera::BankData bank, le::tessera::HeadWeights head,
        const le::ServeConfig& config, const std::string& manifestJson, const char* fn,
        std::string& error) {
  if (s->corpus.empty()) {
    error =
        std::string(fn) +
        ": xs_target.bin is absent or the wrong length, so this bundle's "
        "corpus pi frame cannot be identified \xE2\x80\x94 refusing to arm the borrow against the "
        "manifest's compose-field geometry";
    return 1;
  }
  std::string geometry;
  const std::array<double, 2> cCanon = bank.c_canon;
  le::tessera::UnifiedPi pi = le::tessera::UnifiedPi::corpusFromManifestJson(
      manifestJson, s->crop, s->corpus.data(), s->NT, cCanon.data(), &geometry);
  auto st = std::make_shared<le_utt::TessState>();
  st->borrow = std::make_unique<le::tessera::StreamBorrow>(
      std::move(bank), std::move(head), config, std::move(pi), s->ctx->manifest.lipTemplate);
  {
    std::lock_guard<std::mutex> lk(s->mu);
    st->gen = ++s->tessGen;
    st->lastEpoch = s->epoch;
    s->tess = std::move(st);
    s->tessGeometry = geometry;
    s->tessFailed = false;
    s->tessReason.clear();
    s->tessApplied = s->tessSkipped = 0;
    s->tessSynthFrames = 0;
    s->tessSynthSum = s->tessSynthMax = 0;
    if (s->pipelined && !s->tessThread.joinable() && !s->stop) {
      s->tessThread = std::thread([s] { s->tessLoop(); });
      s->tessPiped = true;
    }
  }
  s->cv.notify_all();
  return 0;
}

}  // namespace

int le::utt::attachBorrow(le_utt* s, const uint8_t* band, int n_donors, const double* cent,
                          const double* c_canon, const double* aperture, const int32_t* stamp,
                          const uint8_t* head_pt, int64_t head_pt_len, const char* head_json,
                          const char* manifest_json, std::string& error) {
  const char* fn = "le_utt_tessera_attach";
  if (!s) {
    error = "le_utt_tessera_attach: null session";
    return 1;
  }
  if (!band || !cent || !c_canon || !aperture || !stamp || !head_pt || !head_json ||
      !manifest_json) {
    error =
        "le_utt_tessera_attach: a required member is null \xE2\x80\x94 this ABI has no "
        "partial-attach state";
    return 1;
  }
  if (n_donors < 1) {
    error = "le_utt_tessera_attach: n_donors <= 0";
    return 1;
  }
  le::GeometryStamp fields;
  for (int i = 0; i < le::GeometryStamp::kFields; ++i) fields.at(i) = stamp[i];
  fields.validate();
  if (!canvasFits(s, fields, fn, error)) return 1;
  if (head_pt_len < 0) throw std::runtime_error("the head checkpoint length is negative");
  le::tessera::BankData bank =
      le::tessera::bankFromArrays(fields, band, n_donors, cent, c_canon, aperture);
  const le::ServeConfig config = le::ServeConfig::fromHeadMemberJson(head_json);
  le::tessera::HeadWeights head = le::tessera::loadHeadPt(head_pt, size_t(head_pt_len));
  return arm(s, std::move(bank), std::move(head), config, manifest_json, fn, error);
}

int le::utt::attachBundleBorrow(le_utt* s, std::string& error) {
  const char* fn = "le_utt_tessera_attach_bundle";
  if (!s) {
    error = "le_utt_tessera_attach_bundle: null session";
    return 1;
  }
  const le::Manifest& m = s->ctx->manifest;
  // A bundle whose members cannot even be listed carries no borrow.
  bool complete = false;
  try {
    complete = le::tesseraCarriage(m).complete;
  } catch (const std::exception&) {
  }
  if (!complete) return 2;
  // In the order the host's own set-up takes: members, bank, then the
  // checks and the head, as le_utt_tessera_attach makes them.
  const le::TesseraAttachInputs in = le::loadTesseraMembers(m);
  le::tessera::BankData bank = le::tessera::loadBundleBank(in);
  bank.stamp.validate();
  if (!canvasFits(s, bank.stamp, fn, error)) return 1;
  const le::ServeConfig config = le::ServeConfig::fromHeadMemberJson(in.head_json);
  le::tessera::HeadWeights head = le::tessera::loadHeadPt(in.head_pt);
  return arm(s, std::move(bank), std::move(head), config, in.manifest_json, fn, error);
}
