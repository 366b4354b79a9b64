// The avatar builder's input path: a file that may be a picture or a video,
// named by the first byte as a PNG, a JPEG or an MP4 (FFmpeg looks at the
// name too), decoded and searched for faces as the builder does.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "face_landmarks.h"
#include "fuzz_util.h"
#include "picture_file.h"
#include "video_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const vever::FaceFinder finder;  // the 68-point model loads once
  static const char* const kNames[3] = {"/input.png", "/input.jpg", "/input.mp4"};
  const std::string path = le_fuzz::scratch() + kNames[data[0] % 3];
  le_fuzz::writeFile(path, data + 1, size - 1);
  try {
    vever::Picture p;
    if (vever::opensAsPicture(path)) {
      p = vever::readPicture(path);
    } else {
      vever::VideoReader video(path);
      for (int i = 0; i < 8 && video.next(p); ++i) {
      }
    }
    if (p.rgb.size() != size_t(p.width) * size_t(p.height) * 3)
      le_fuzz::broken("a picture whose pixels do not fill its size");
    // Faces are looked for in what a fuzzer can make quickly.
    if (size_t(p.width) * size_t(p.height) <= 256 * 256)
      for (const vever::Face& f : finder.find(p.rgb.data(), p.width, p.height)) {
        vever::poseOf(f.points);
        vever::engineKeypoints(f.points);
      }
  } catch (const std::runtime_error&) {
  }
  return 0;
}
