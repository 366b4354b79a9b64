// vever speak: a live utterance session driven from a speech file, written
// to an MP4 with the speech as its sound track.
#pragma once

#include <string>

namespace vever {

struct SpeakOptions {
  std::string bundle, motion;  // bundle and motion directory
  std::string wav, text;       // one of them: a speech file, or text for espeak-ng
  std::string out;             // the MP4
  int threads = 0;
  bool realtime = false;    // push the audio at its own pace
  double interruptAt = -1;  // seconds into the speech; < 0: no interrupt
  bool teeth = true;        // borrow the mouth when the bundle carries teeth members
};

// Returns the process exit status; prints a summary on success and the
// engine's message on failure.
int speak(const SpeakOptions& options);

}  // namespace vever
