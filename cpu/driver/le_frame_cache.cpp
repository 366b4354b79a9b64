#include "driver/le_frame_cache.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "base/le_env.h"

namespace le::driver {
namespace {

constexpr uint64_t kDefaultBudgetMib = 1024;

std::atomic<uint64_t> gReserved{0};

// Every frame of one track, filled by whichever source decodes it first.
// Its memory is mapped on its own, so that it goes back to the system when
// the last source of the track closes.
class Track {
 public:
  Track(int nt, uint64_t frameBytes)
      : nt_(nt),
        frameBytes_(frameBytes),
        bytes_(uint64_t(nt) * frameBytes),
        state_(new std::atomic<uint8_t>[size_t(nt)]) {
    for (int t = 0; t < nt; ++t) state_[size_t(t)].store(kEmpty, std::memory_order_relaxed);
    void* p =
        ::mmap(nullptr, size_t(bytes_), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
  }
  ~Track() {
    if (data_) ::munmap(data_, size_t(bytes_));
    gReserved.fetch_sub(bytes_);
  }
  Track(const Track&) = delete;
  Track& operator=(const Track&) = delete;

  bool mapped() const { return data_ != nullptr; }
  bool complete() const { return filled_.load(std::memory_order_acquire) == nt_; }
  const uint8_t* frame(int t) const { return data_ + uint64_t(t) * frameBytes_; }

  // The first source to decode frame t keeps a copy; the others go on.
  void offer(int t, const uint8_t* frame) {
    if (t < 0 || t >= nt_) return;
    uint8_t empty = kEmpty;
    if (!state_[size_t(t)].compare_exchange_strong(empty, kWriting)) return;
    std::memcpy(data_ + uint64_t(t) * frameBytes_, frame, size_t(frameBytes_));
    state_[size_t(t)].store(kFilled, std::memory_order_release);
    filled_.fetch_add(1, std::memory_order_acq_rel);
  }

 private:
  static constexpr uint8_t kEmpty = 0, kWriting = 1, kFilled = 2;
  const int nt_;
  const uint64_t frameBytes_, bytes_;
  std::unique_ptr<std::atomic<uint8_t>[]> state_;
  std::atomic<int> filled_{0};
  uint8_t* data_ = nullptr;
};

// A source that decodes through `inner` until its track is complete, then
// copies from the track and lets the decoder go.
class SharedSource final : public Source {
 public:
  SharedSource(std::unique_ptr<Source> inner, std::shared_ptr<Track> track)
      : inner_(std::move(inner)),
        track_(std::move(track)),
        nt_(inner_->NT()),
        w_(inner_->W()),
        h_(inner_->H()),
        frameBytes_(inner_->frameBytes()),
        name_(inner_->name()) {
    useStoreOnceComplete();
  }

  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }
  uint64_t frameBytes() const override { return frameBytes_; }
  std::string name() const override { return name_; }
  uint64_t residentBytes() const override {
    std::lock_guard<std::mutex> lk(innerMutex_);
    return inner_ ? inner_->residentBytes() : 0;
  }
  const uint8_t* held(int t) const override {
    return t >= 0 && t < nt_ && track_->complete() ? track_->frame(t) : nullptr;
  }

  bool next(uint8_t* dst) override {
    useStoreOnceComplete();
    if (!inner_) {
      if (pos_ < 0 || pos_ >= nt_) return false;
      std::memcpy(dst, track_->frame(pos_), size_t(frameBytes_));
      ++pos_;
      return true;
    }
    if (!inner_->next(dst)) return false;
    track_->offer(pos_, dst);
    ++pos_;
    return true;
  }
  void rewind() override {
    if (inner_) inner_->rewind();
    pos_ = 0;
  }
  void seek(int t) override {
    if (inner_) inner_->seek(t);
    pos_ = t;
  }

 private:
  void useStoreOnceComplete() {
    if (inner_ && track_->complete()) {
      std::unique_ptr<Source> done;
      std::lock_guard<std::mutex> lk(innerMutex_);
      done = std::move(inner_);
    }
  }

  std::unique_ptr<Source> inner_;
  std::shared_ptr<Track> track_;
  const int nt_, w_, h_;
  const uint64_t frameBytes_;
  const std::string name_;
  int pos_ = 0;
  mutable std::mutex innerMutex_;  // residentBytes may be asked from another thread
};

std::mutex gMutex;
std::map<std::string, std::weak_ptr<Track>> gTracks;  // by file identity and frame shape

bool reserve(uint64_t bytes, uint64_t budget) {
  uint64_t now = gReserved.load();
  do {
    if (bytes > budget || now > budget - bytes) return false;
  } while (!gReserved.compare_exchange_weak(now, now + bytes));
  return true;
}

}  // namespace

uint64_t frameCacheBudget() {
  uint64_t mib = kDefaultBudgetMib;
  if (const char* v = le::envValue("LE_DRIVER_CACHE_MIB")) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long n = std::strtoull(v, &end, 10);
    if (end != v && *end == '\0' && errno == 0 && v[0] != '-') mib = n;
  }
  return mib > (UINT64_MAX >> 20) ? UINT64_MAX : mib << 20;
}

uint64_t frameCacheBytes() {
  return gReserved.load();
}

std::unique_ptr<Source> shareDecoded(std::unique_ptr<Source> inner, const std::string& path) {
  const uint64_t budget = frameCacheBudget();
  struct stat st {};
  if (budget == 0 || !inner || inner->NT() < 1 || ::stat(path.c_str(), &st) != 0) return inner;
  // The same file, unchanged, decoded to the same frames.
  const std::string key = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
                          std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) +
                          "." + std::to_string(st.st_mtim.tv_nsec) + ":" +
                          std::to_string(inner->NT()) + "x" + std::to_string(inner->frameBytes()) +
                          ":" + inner->name();
  std::shared_ptr<Track> track;
  {
    std::lock_guard<std::mutex> lk(gMutex);
    for (auto it = gTracks.begin(); it != gTracks.end();)
      it = it->second.expired() ? gTracks.erase(it) : std::next(it);
    auto it = gTracks.find(key);
    if (it != gTracks.end()) track = it->second.lock();
    if (!track) {
      const uint64_t bytes = uint64_t(inner->NT()) * inner->frameBytes();
      if (!reserve(bytes, budget)) return inner;
      track = std::make_shared<Track>(inner->NT(), inner->frameBytes());
      if (!track->mapped()) return inner;
      gTracks[key] = track;
    }
  }
  return std::make_unique<SharedSource>(std::move(inner), std::move(track));
}

}  // namespace le::driver
