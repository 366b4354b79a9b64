// Frame sources for the driver video and the video-coded warp prior, and the
// threaded cursor that plays them with look-ahead and history.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "le/le.h"  // LE_API

namespace le {

struct Manifest;
class PriorFrames;

namespace driver {

// A stream of NT equally sized frames, used from one thread at a time.
class Source {
 public:
  virtual ~Source() = default;
  virtual int NT() const = 0;
  virtual int W() const = 0;
  virtual int H() const = 0;
  virtual uint64_t frameBytes() const { return uint64_t(W()) * uint64_t(H()) * 3; }
  // Decodes the next frame into dst; false when the source has no more.
  virtual bool next(uint8_t* dst) = 0;
  virtual void rewind() = 0;
  // The next `next` yields frame t.
  virtual void seek(int t) = 0;
  virtual std::string name() const = 0;
  virtual uint64_t residentBytes() const = 0;
  // Frame t when the source keeps every frame in memory for as long as it
  // lives, else null. Unlike the rest, safe to call from any thread.
  virtual const uint8_t* held(int t) const {
    (void)t;
    return nullptr;
  }
};

// Frames dir/frame_%06d.jpg, RGB.
std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H);
// An MP4 (or any FFmpeg-decodable) driver track, RGB.
std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H);
// An HEVC 4:4:4 warp prior, three half-precision planes of crop x crop.
std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int crop);

}  // namespace driver

// Plays a source on a decoding thread into a ring of ahead + behind + 1
// frames: sequential reads, short jumps back and the loop's wrap-around are
// served without decoding on the caller's thread. One caller at a time.
// Once the source holds every frame in memory, pulls are served from it and
// the ring is left alone (its slots take memory only once written).
class LE_API DriverCursor {
 public:
  DriverCursor(std::unique_ptr<driver::Source> source, int ahead, int behind);
  ~DriverCursor();
  DriverCursor(const DriverCursor&) = delete;
  DriverCursor& operator=(const DriverCursor&) = delete;

  static std::unique_ptr<DriverCursor> over(std::unique_ptr<driver::Source> source, int ahead,
                                            int behind);
  // The bundle's driver video: its JPEG directory, else its MP4 member.
  static std::unique_ptr<DriverCursor> open(const Manifest& m, int ahead, int behind);
  // The bundle's video-coded warp prior.
  static std::unique_ptr<DriverCursor> openPrior(const Manifest& m, int ahead, int behind);

  // Pointers returned by pulls stay valid until the next pull or seek.
  int pull(uint8_t* dst);
  const uint8_t* pull(int& idx);
  // As pull, and the frame is withdrawn from the history (the caller may write it).
  uint8_t* pullMut(int& idx);
  int pullAt(int t, uint8_t* dst);
  const uint8_t* pullAt(int t, int& idx);
  uint8_t* pullMutAt(int t, int& idx);
  void seek(int t);
  // Frame t where the source keeps every frame for as long as this cursor
  // lives (the process's store), else null; the cursor's position is left
  // alone. Any thread.
  const uint8_t* held(int t) const;
  // After a decoding failure, which stops the cursor, decoding starts again
  // at frame t; the frames before the failure are gone. Returns false (and
  // does nothing) when the cursor had not failed.
  bool restart(int t);
  int position() const;
  uint64_t residentBytes() const;
  uint64_t seeks() const;

  // Copied from the source when the cursor is made.
  const int NT;
  const int W;
  const int H;
  const uint64_t frameBytes;
  const std::string name;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The bundle's video-coded warp prior played through a cursor, as an
// Identity reads it (an opener for its constructor).
std::unique_ptr<PriorFrames> openPriorFrames(const Manifest& m);

}  // namespace le
