#include "driver/le_driver.h"
#include "base/le_log.h"
#include "driver/le_frame_cache.h"

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "base/le_env.h"
#include "bundle/le_bundle.h"
#include "driver/le_image.h"

namespace le {
namespace {

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

bool fileExists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

class JpgDirSource final : public driver::Source {
 public:
  JpgDirSource(std::string dir, int nt, int w, int h)
      : dir_(std::move(dir)), nt_(nt), w_(w), h_(h) {}
  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }
  bool next(uint8_t* dst) override {
    if (next_ >= nt_) return false;
    const std::string path = framePath(next_);
    int w = w_, h = h_;
    if (!loadImageRGBInto(path, dst, w, h))
      fail("le_driver: " + path + " is " + std::to_string(w) + "x" + std::to_string(h) +
           ", the manifest says " + std::to_string(w_) + "x" + std::to_string(h_) +
           " \xE2\x80\x94 refusing");
    ++next_;
    return true;
  }
  void rewind() override { next_ = 0; }
  void seek(int t) override {
    if (t < 0 || t >= nt_) fail("le_driver: seek outside the member");
    next_ = t;
  }
  std::string name() const override { return "jpg/stb"; }
  uint64_t residentBytes() const override { return 0; }

  std::string framePath(int t) const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "/frame_%06d.jpg", t);
    return dir_ + buf;
  }

 private:
  std::string dir_;
  int nt_, w_, h_;
  int next_ = 0;
};

}  // namespace

std::unique_ptr<driver::Source> driver::openJpgDir(const std::string& dir, int NT, int W, int H) {
  return std::make_unique<JpgDirSource>(dir, NT, W, H);
}

// ---------------------------------------------------------------------------

struct DriverCursor::Impl {
  Impl(std::unique_ptr<driver::Source> src, int ahead_, int behind_)
      : source(std::move(src)),
        NT(source->NT()),
        W(source->W()),
        H(source->H()),
        frameBytes(source->frameBytes()),
        ahead(std::max(ahead_, 1)),
        behind(std::max(behind_, 0)),
        ring(ahead + behind + 1),
        slots(size_t(ring)),
        slotFrame(size_t(ring), -1) {
    name = source->name();
  }

  std::unique_ptr<driver::Source> source;
  const int NT, W, H;
  const uint64_t frameBytes;
  const int ahead, behind, ring;
  std::vector<std::vector<uint8_t>> slots;  // sized by the decoding thread on first use
  std::vector<uint8_t> scratch;             // a writable copy of a frame the source holds
  std::vector<int> slotFrame;
  std::string name;

  mutable std::mutex mutex;
  std::mutex callMutex;
  std::condition_variable spaceCv;
  std::condition_variable readyCv;
  uint64_t consumed = 0;
  uint64_t produced = 0;
  uint64_t pinned = 0;
  bool busy = false;
  int nextIdx = 0;
  int expected = 0;
  int srcPos = 0;  // decoding thread only
  int pendingSeek = -1;
  uint64_t epoch = 0;
  bool stop = false;
  std::string error;
  uint64_t seeks = 0;
  std::thread thread;

  // Under the mutex: keeps the first failure and wakes every waiter.
  void record(const std::string& what) {
    if (error.empty()) error = what;
    readyCv.notify_all();
  }

  void run() {
    std::unique_lock<std::mutex> lk(mutex);
    for (;;) {
      if (stop) return;
      if (pendingSeek >= 0) {
        const int t = pendingSeek;
        nextIdx = t;
        pendingSeek = -1;
        lk.unlock();
        std::string err;
        try {
          source->seek(t);
        } catch (const std::exception& e) {
          err = e.what();
        }
        lk.lock();
        if (!err.empty()) {
          record("le_driver: seek failed: " + err);
          return;
        }
        srcPos = t;
        continue;
      }
      if (produced - consumed < uint64_t(ahead)) {
        const uint64_t noted = epoch;
        const int slot = int(produced % uint64_t(ring));
        const int idx = nextIdx;
        busy = true;
        lk.unlock();
        std::string err;
        try {
          if (srcPos == NT) {
            source->rewind();
            srcPos = 0;
          }
          std::vector<uint8_t>& into = slots[size_t(slot)];
          if (into.empty()) into.resize(size_t(frameBytes));
          if (!source->next(into.data()))
            err = name + " ended after " + std::to_string(srcPos) +
                  " frames, the manifest says NT=" + std::to_string(NT) +
                  " \xE2\x80\x94 a short driver is a session that stops part way through the "
                  "loop, refusing";
          else
            ++srcPos;
        } catch (const std::exception& e) {
          err = e.what();
        }
        lk.lock();
        busy = false;
        if (!err.empty()) {
          slotFrame[size_t(slot)] = -1;
          record("le_driver: " + err);
          return;
        }
        if (epoch == noted) {
          slotFrame[size_t(slot)] = idx;
          ++produced;
          nextIdx = (idx + 1) % NT;
          readyCv.notify_all();
        } else {
          // The slot's bytes were overwritten by the dropped frame: it no
          // longer holds the frame the history would find there.
          slotFrame[size_t(slot)] = -1;
        }
        continue;
      }
      spaceCv.wait(lk);
    }
  }

  // Under the mutex.
  void seekLocked(int t) {
    const int current = consumed < produced ? slotFrame[size_t(consumed % uint64_t(ring))]
                        : pendingSeek >= 0  ? pendingSeek
                                            : nextIdx;
    // After a failure only the frames already queued in sequence are still
    // handed out; anything else raises the failure.
    if (!error.empty() && !(t == current && consumed < produced)) fail(error);
    expected = t;
    if (t == current) return;
    bool held = false;
    if (pendingSeek < 0) {
      const uint64_t r = uint64_t(ring);
      const uint64_t oldest = produced < r ? 0 : produced + (busy ? 1 : 0) - r;
      const uint64_t historyStart =
          consumed > uint64_t(behind) + 1 ? consumed - uint64_t(behind) - 1 : 0;
      for (uint64_t s = std::max({oldest, pinned, historyStart}); s < produced; ++s) {
        if (slotFrame[size_t(s % r)] == t) {
          consumed = s;
          held = true;
          break;
        }
      }
      if (!held && t == nextIdx) {
        consumed = produced;
        held = true;
      }
    }
    if (!held) {
      ++epoch;
      ++seeks;
      consumed = produced;
      pendingSeek = t;
    }
    spaceCv.notify_one();
  }

  void checkRange(int t) const {
    if (t < 0 || t >= NT)
      fail("le_driver: seek(" + std::to_string(t) + ") outside [0," + std::to_string(NT) + ")");
  }

  uint8_t* take(std::unique_lock<std::mutex>& lk, int& idx, bool writable) {
    for (;;) {
      if (consumed < produced) {
        const uint64_t s = consumed;
        consumed = s + 1;
        if (writable) pinned = s + 1;
        spaceCv.notify_one();
        const size_t slot = size_t(s % uint64_t(ring));
        idx = slotFrame[slot];
        expected = (idx + 1) % NT;
        return slots[slot].data();
      }
      if (!error.empty()) fail(error);
      readyCv.wait(lk);
    }
  }

  // Under the mutex: frame t from the source's own memory, when it holds
  // every frame and nothing has failed; the ring is then bypassed.
  uint8_t* fromSource(int t, int& idx, bool writable) {
    if (!error.empty()) return nullptr;
    const uint8_t* p = source->held(t);
    if (!p) return nullptr;
    idx = t;
    expected = (t + 1) % NT;
    if (!writable) return const_cast<uint8_t*>(p);  // handed out read-only
    scratch.assign(p, p + frameBytes);
    return scratch.data();
  }

  uint8_t* pullSeq(int& idx, bool writable) {
    std::lock_guard<std::mutex> call(callMutex);
    std::unique_lock<std::mutex> lk(mutex);
    if (uint8_t* p = fromSource(expected, idx, writable)) return p;
    seekLocked(expected);
    return take(lk, idx, writable);
  }

  uint8_t* pullAt(int t, int& idx, bool writable) {
    std::lock_guard<std::mutex> call(callMutex);
    checkRange(t);
    std::unique_lock<std::mutex> lk(mutex);
    if (uint8_t* p = fromSource(t, idx, writable)) return p;
    seekLocked(t);
    uint8_t* p = take(lk, idx, writable);
    if (idx != t)
      fail("le_driver: cursor yielded frame " + std::to_string(idx) +
           " for si=" + std::to_string(t));
    return p;
  }
};

DriverCursor::DriverCursor(std::unique_ptr<driver::Source> source, int ahead, int behind)
    : NT(source->NT()),
      W(source->W()),
      H(source->H()),
      frameBytes(source->frameBytes()),
      name(source->name()),
      impl_(std::make_unique<Impl>(std::move(source), ahead, behind)) {
  impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
}

DriverCursor::~DriverCursor() {
  {
    std::lock_guard<std::mutex> lk(impl_->mutex);
    impl_->stop = true;
  }
  impl_->spaceCv.notify_all();
  impl_->readyCv.notify_all();
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::unique_ptr<DriverCursor> DriverCursor::over(std::unique_ptr<driver::Source> source, int ahead,
                                                 int behind) {
  return std::make_unique<DriverCursor>(std::move(source), ahead, behind);
}

int DriverCursor::pull(uint8_t* dst) {
  int idx = -1;
  const uint8_t* p = impl_->pullSeq(idx, false);
  std::memcpy(dst, p, size_t(frameBytes));
  return idx;
}

const uint8_t* DriverCursor::pull(int& idx) {
  return impl_->pullSeq(idx, false);
}
uint8_t* DriverCursor::pullMut(int& idx) {
  return impl_->pullSeq(idx, true);
}

bool DriverCursor::restart(int t) {
  std::lock_guard<std::mutex> call(impl_->callMutex);
  impl_->checkRange(t);
  {
    std::lock_guard<std::mutex> lk(impl_->mutex);
    if (impl_->error.empty() || impl_->stop) return false;
  }
  // The decoding thread returned when it recorded the failure.
  if (impl_->thread.joinable()) impl_->thread.join();
  {
    std::lock_guard<std::mutex> lk(impl_->mutex);
    impl_->error.clear();
    ++impl_->epoch;
    impl_->consumed = impl_->produced;
    impl_->busy = false;
    impl_->pendingSeek = t;
    impl_->expected = t;
  }
  impl_->thread = std::thread([impl = impl_.get()] { impl->run(); });
  return true;
}

int DriverCursor::pullAt(int t, uint8_t* dst) {
  int idx = -1;
  const uint8_t* p = impl_->pullAt(t, idx, false);
  std::memcpy(dst, p, size_t(frameBytes));
  return t;
}

const uint8_t* DriverCursor::pullAt(int t, int& idx) {
  return impl_->pullAt(t, idx, false);
}
uint8_t* DriverCursor::pullMutAt(int t, int& idx) {
  return impl_->pullAt(t, idx, true);
}

void DriverCursor::seek(int t) {
  std::lock_guard<std::mutex> call(impl_->callMutex);
  impl_->checkRange(t);
  std::lock_guard<std::mutex> lk(impl_->mutex);
  impl_->seekLocked(t);
}

const uint8_t* DriverCursor::held(int t) const {
  return impl_->source->held(t);
}

int DriverCursor::position() const {
  std::lock_guard<std::mutex> lk(impl_->mutex);
  return impl_->expected;
}

uint64_t DriverCursor::residentBytes() const {
  // The whole ring, though its slots take memory only once written, and the
  // source's own estimate (safe to take from here).
  return uint64_t(impl_->ring) * frameBytes + impl_->source->residentBytes();
}

uint64_t DriverCursor::seeks() const {
  std::lock_guard<std::mutex> lk(impl_->mutex);
  return impl_->seeks;
}

// ---------------------------------------------------------------------------

std::unique_ptr<DriverCursor> DriverCursor::open(const Manifest& m, int ahead, int behind) {
  const std::string text = readText(m.dir + "/manifest.json");
  const std::string jpgName =
      manifest_key::optionalString(text, "target_frames").value_or("target_frames");
  const std::string mp4Name =
      manifest_key::optionalString(text, "target_frames_mp4").value_or("target_frames_mp4");
  const std::string jpgDir = m.dir + "/" + jpgName;
  char last[32];
  std::snprintf(last, sizeof last, "/frame_%06d.jpg", m.NT - 1);
  const bool jpgPopulated = fileExists(jpgDir + last);
  const std::string mp4Path = resolveMember(m.dir, mp4Name);
  const bool mp4Exists = fileExists(mp4Path);

  const char* prefer = le::envValue("LE_DRIVER_PREFER_MP4");
  const bool preferMp4 = prefer && std::strcmp(prefer, "1") == 0 && mp4Exists;
  if (preferMp4 && jpgPopulated)
    le::log(LogLevel::Warning, "le-driver",
            "LE_DRIVER_PREFER_MP4=1 \xE2\x80\x94 %s/ is populated and NOT used; "
            "%s is the member this consumer reads",
            jpgName.c_str(), mp4Name.c_str());
  if (!preferMp4 && jpgPopulated) {
    le::log(LogLevel::Info, "le-driver",
            "%s/ (raw jpg, %d frames) \xE2\x80\x94 read one frame per pull", jpgName.c_str(), m.NT);
    return over(driver::shareDecoded(driver::openJpgDir(jpgDir, m.NT, m.W, m.H), jpgDir), ahead,
                behind);
  }
  if (!mp4Exists)
    fail("this bundle carries neither a populated " + jpgName + "/ nor " + mp4Name + " (" +
         mp4Path +
         ") \xE2\x80\x94 there is no driver video to play. REFUSING to create a session.");
  auto src = driver::openMp4(mp4Path, m.NT, m.W, m.H);
  const std::string srcName = src->name();
  le::log(LogLevel::Info, "le-driver",
          "%s decoded IN PLACE (%s, %d frames %dx%d, look-ahead %d, history %d) "
          "\xE2\x80\x94 no frame of the driver is expanded ahead of the paste",
          mp4Name.c_str(), srcName.c_str(), m.NT, m.W, m.H, std::max(ahead, 1),
          std::max(behind, 0));
  return over(driver::shareDecoded(std::move(src), mp4Path), ahead, behind);
}

std::unique_ptr<DriverCursor> DriverCursor::openPrior(const Manifest& m, int ahead, int behind) {
  const std::string text = readText(m.dir + "/manifest.json");
  const std::string memberName =
      manifest_key::optionalString(text, "P_hevc").value_or("P_hevc.mov");
  const std::string path = resolveMember(m.dir, memberName);
  if (!fileExists(path))
    fail("this bundle carries neither a raw P.f16 nor " + memberName + " (" + path +
         ") \xE2\x80\x94 there is no warp prior to play. REFUSING to create a session.");
  auto src = driver::openPriorHevc(path, m.NT, m.crop);
  const std::string srcName = src->name();
  le::log(LogLevel::Info, "le-prior",
          "%s decoded IN PLACE (%s, %d frames %dx%d f16 CHW, look-ahead %d, "
          "history %d) \xE2\x80\x94 no P.f16 is expanded or mapped",
          memberName.c_str(), srcName.c_str(), m.NT, m.crop, m.crop, std::max(ahead, 1),
          std::max(behind, 0));
  return over(driver::shareDecoded(std::move(src), path), ahead, behind);
}

namespace {

class CursorPrior : public PriorFrames {
 public:
  explicit CursorPrior(std::unique_ptr<DriverCursor> cursor) : cursor_(std::move(cursor)) {}
  const uint8_t* frame(int t) override {
    int idx = -1;
    return cursor_->pullAt(t, idx);
  }
  std::string name() const override { return cursor_->name; }
  uint64_t residentBytes() const override { return cursor_->residentBytes(); }
  uint64_t seeks() const override { return cursor_->seeks(); }

 private:
  std::unique_ptr<DriverCursor> cursor_;
};

}  // namespace

std::unique_ptr<PriorFrames> openPriorFrames(const Manifest& m) {
  return std::make_unique<CursorPrior>(DriverCursor::openPrior(m, 2, 11));
}

Identity::Identity(const Manifest& m) : Identity(m, openPriorFrames) {}

}  // namespace le
