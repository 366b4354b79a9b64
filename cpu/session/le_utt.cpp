// What every stage of the session reports through: render failures, and the
// stage report printed when the session ends.
#include "session/le_utt.h"

#include "base/le_log.h"
#include "render/le_renderer.h"
#include "session/le_context.h"

// A frame that could not be made: counted and described for the host.
void le_utt::noteRenderFail(const char* stage, const std::string& message, bool isFatal) {
  std::lock_guard<std::mutex> lk(mu);
  ++failures;
  failText = "ep=" + (ctx->renderer ? ctx->renderer->ep() : std::string("unknown")) + " " + stage +
             ": " + (message.empty() ? std::string("unknown failure") : message);
  if (isFatal) fatal = true;
}

void le_utt::printStageReport() const {
  const int pipe = tessPiped ? 1 : 0;
  if (jobsC > 0) {
    const double r = double(renderedFrames);
    le::log(le::LogLevel::Info, "le_utt-stage",
            "pipe=%d jobsB=%lld jobsC=%lld stageA_ms=%.3f stageA_work_ms=%.3f "
            "stageA_wait_ms=%.3f stageB_ms=%.3f stageC_ms=%.3f deliver_lat_ms=%.3f over %lld "
            "speech frames",
            pipe, (long long)jobsB, (long long)jobsC, r > 0 ? stageATotal / r : 0.0,
            r > 0 ? (stageATotal - stageAWait) / r : 0.0, r > 0 ? stageAWait / r : 0.0,
            jobsB > 0 ? stageBTotal / double(jobsB) : 0.0, stageCTotal / double(jobsC),
            deliveredSpeech > 0 ? deliverLatency / double(deliveredSpeech) : 0.0,
            (long long)deliveredSpeech);
  } else {
    le::log(le::LogLevel::Warning, "le_utt-stage",
            "MEASURED NOTHING \xE2\x80\x94 the stage report was asked for and "
            "the paste-job counter never advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech "
            "frames delivered). stageA/stageB/stageC and the deliver latency are NOT reported "
            "rather than reported as zero: on this path the paste does not run through the "
            "counted queue.",
            pipe, (long long)jobsB, (long long)deliveredSpeech);
  }
}
