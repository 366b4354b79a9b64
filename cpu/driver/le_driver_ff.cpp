// FFmpeg-backed frame sources: the driver video (RGB) and the video-coded
// warp prior (half-precision planes).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include "base/le_env.h"
#include "base/le_ffmpeg.h"

#include "base/le_log.h"
#include "compute/le_simd.h"
#include "driver/le_driver.h"
#include "driver/le_frame_cache.h"
#include "driver/le_moviedec_ff.h"
#include "driver/le_yuv2rgb_simd.h"

namespace le {
namespace {

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

constexpr int kDriver = 0;
constexpr int kPrior = 1;

class FfSource final : public driver::Source {
 public:
  FfSource(int kind, std::string path, int nt, int w, int h)
      : kind_(kind), path_(std::move(path)), nt_(nt), w_(w), h_(h) {
    for (int i = 0; i < 256; ++i) halfTable_[i] = f32ToF16(float(i) / 255.0f);
    try {
      openAll();
    } catch (...) {
      closeAll();
      throw;
    }
  }
  ~FfSource() override { closeAll(); }

  int NT() const override { return nt_; }
  int W() const override { return w_; }
  int H() const override { return h_; }
  uint64_t frameBytes() const override {
    return uint64_t(w_) * uint64_t(h_) * 3 * (kind_ == kPrior ? 2 : 1);
  }
  std::string name() const override { return label_; }

  uint64_t residentBytes() const override {
    const uint64_t px = uint64_t(w_) * uint64_t(h_) * 3;
    const uint64_t perFrame = kind_ == kPrior ? px : px / 2;
    const int t = decoderThreads_.load();
    const uint64_t inFlight = t > 0 ? uint64_t(t) + 5 : 6;
    return perFrame * inFlight + uint64_t(maxPacket_.load());
  }

  bool next(uint8_t* dst) override {
    for (;;) {
      int r = avcodec_receive_frame(codec_, frame_);
      if (r == 0) {
        if (frame_->width != w_ || frame_->height != h_)
          fail("le_driver: " + path_ + " changed size mid-stream \xE2\x80\x94 refusing");
        convert(dst);
        av_frame_unref(frame_);
        ++count_;
        return true;
      }
      if (r == AVERROR_EOF) return false;
      if (r != AVERROR(EAGAIN))
        fail("le_driver: " + path_ + " decode fault at frame " + std::to_string(count_) + " (" +
             le::avError(r) + ")");
      if (draining_) return false;
      if (!packetHeld_) {
        r = av_read_frame(format_, packet_);
        if (r == AVERROR_EOF) {
          draining_ = true;
          avcodec_send_packet(codec_, nullptr);
          continue;
        }
        if (r < 0) fail("le_driver: " + path_ + " read fault (" + le::avError(r) + ")");
        if (packet_->stream_index != stream_) {
          av_packet_unref(packet_);
          continue;
        }
        if (packet_->size > maxPacket_.load()) maxPacket_.store(packet_->size);
      }
      r = avcodec_send_packet(codec_, packet_);
      // A decoder that first wants its output drained keeps the packet for
      // the next round instead of losing it.
      packetHeld_ = r == AVERROR(EAGAIN);
      if (!packetHeld_) av_packet_unref(packet_);
      if (r < 0 && r != AVERROR(EAGAIN))
        fail("le_driver: " + path_ + " packet refused (" + le::avError(r) + ")");
    }
  }

  void rewind() override { restart(); }

  void seek(int t) override {
    if (t < 0 || t >= nt_) fail("le_driver: seek outside the member");
    if (t < count_) restart();
    while (count_ < t) {
      if (!next(nullptr))
        fail("le_driver: " + path_ + " ended at frame " + std::to_string(count_) +
             " while seeking to " + std::to_string(t));
    }
  }

 private:
  void restart() {
    if (av_seek_frame(format_, stream_, 0, AVSEEK_FLAG_BACKWARD) >= 0) {
      avcodec_flush_buffers(codec_);
      if (packetHeld_) av_packet_unref(packet_);
      packetHeld_ = false;
    } else {
      closeAll();
      openAll();
    }
    draining_ = false;
    count_ = 0;
  }

  void openAll() {
    if (avformat_open_input(&format_, path_.c_str(), nullptr, nullptr) < 0)
      fail("le_driver: " + path_ + " is not a readable container");
    if (avformat_find_stream_info(format_, nullptr) < 0)
      fail("le_driver: " + path_ + " carries no stream info");
    stream_ = -1;
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
      if (format_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        stream_ = int(i);
        break;
      }
    }
    if (stream_ < 0) fail("le_driver: " + path_ + " has no video stream");
    const AVStream* st = format_->streams[stream_];
    const AVCodecParameters* par = st->codecpar;
    if (par->width != w_ || par->height != h_)
      fail("le_driver: " + path_ + " is " + std::to_string(par->width) + "x" +
           std::to_string(par->height) + ", the manifest says " + std::to_string(w_) + "x" +
           std::to_string(h_) + " \xE2\x80\x94 refusing to rescale the driver");
    if (st->nb_frames >= 1 && st->nb_frames != nt_)
      fail("le_driver: " + path_ + " carries " + std::to_string(st->nb_frames) +
           " frames, the manifest says NT=" + std::to_string(nt_) +
           " \xE2\x80\x94 member/manifest mismatch, refusing");

    const char* hw = le::envValue("LE_DRIVER_HWDEC");
    if (hw && std::strcmp(hw, "0") == 0) {
      le::log(LogLevel::Info, "le-driver",
              "LE_DRIVER_HWDEC=0 \xE2\x80\x94 %s not attempted; the software "
              "decoder is the one decoder on this fleet (same samples)",
              "h264_cuvid");
    } else if (kind_ == kDriver && par->codec_id == AV_CODEC_ID_H264) {
      if (const AVCodec* cuvid = avcodec_find_decoder_by_name("h264_cuvid")) {
        codec_ = avcodec_alloc_context3(cuvid);
        bool ok = codec_ && avcodec_parameters_to_context(codec_, par) >= 0;
        if (ok) {
          codec_->thread_count = 1;
          ok = avcodec_open2(codec_, cuvid, nullptr) >= 0;
        }
        if (!ok) {
          avcodec_free_context(&codec_);
          le::log(LogLevel::Warning, "le-driver",
                  "%s refused %s \xE2\x80\x94 falling back to the software h264 "
                  "decoder (same samples, more CPU)",
                  "h264_cuvid", path_.c_str());
        }
      }
    }
    if (!codec_) {
      const AVCodec* dec = avcodec_find_decoder(par->codec_id);
      if (!dec)
        fail("le_driver: no decoder for " + path_ + " (codec id " + std::to_string(par->codec_id) +
             ")");
      codec_ = avcodec_alloc_context3(dec);
      if (!codec_) fail("le_driver: avcodec_alloc_context3 failed");
      if (avcodec_parameters_to_context(codec_, par) < 0)
        fail("le_driver: avcodec_parameters_to_context failed");
      // Frame threads buy decode speed with a frame of delay and memory each.
      // With decoded frames shared in the process a track decodes once, so
      // one thread per two hardware threads (up to four) serves; without the
      // store every cursor decodes every frame and keeps four.
      codec_->thread_count = driver::frameCacheBudget() == 0
                                 ? 4
                                 : std::clamp(int(std::thread::hardware_concurrency()) / 2, 1, 4);
      codec_->thread_type = FF_THREAD_FRAME;
      if (avcodec_open2(codec_, dec, nullptr) < 0)
        fail("le_driver: could not open the decoder for " + path_);
    }
    decoderThreads_.store(codec_->thread_count);
    packet_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!packet_ || !frame_) fail("le_driver: out of memory");
    packetHeld_ = false;
    draining_ = false;
    count_ = 0;
    label_ = std::string(kind_ == kPrior ? "hevc444/" : "mp4/") + libavcodecVersion() + " " +
             codec_->codec->name;
  }

  void closeAll() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    avformat_close_input(&format_);
    decoderThreads_.store(0);
    packetHeld_ = false;
  }

  std::string formatName() const {
    const char* n = av_get_pix_fmt_name(AVPixelFormat(frame_->format));
    return n ? n : "?";
  }

  // Converts the decoded frame into dst; with no dst only checks its layout.
  void convert(uint8_t* dst) {
    const int fmt = frame_->format;
    if (kind_ == kDriver) {
      if (fmt != AV_PIX_FMT_YUV420P && fmt != AV_PIX_FMT_NV12)
        fail("le_driver: " + path_ + " decoded to " + formatName() +
             ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) "
             "\xE2\x80\x94 refusing rather than pasting onto a different pixel domain");
      if (!dst) return;
      const bool nv12 = fmt == AV_PIX_FMT_NV12;
      for (int y = 0; y < h_; ++y) {
        const uint8_t* yr = frame_->data[0] + ptrdiff_t(y) * frame_->linesize[0];
        const uint8_t* ur = frame_->data[1] + ptrdiff_t(y / 2) * frame_->linesize[1];
        const uint8_t* vr =
            nv12 ? ur + 1 : frame_->data[2] + ptrdiff_t(y / 2) * frame_->linesize[2];
        simd::yuv420RowToRgb24(yr, ur, vr, w_, nv12 ? 2 : 1, dst + size_t(y) * size_t(w_) * 3);
      }
      return;
    }
    if (fmt != AV_PIX_FMT_YUV444P)
      fail("le_driver: " + path_ + " decoded to " + formatName() +
           ", not the yuv444p a warp prior is authored in \xE2\x80\x94 a subsampled prior is a "
           "different mouth, refusing");
    if (!dst) return;
    const size_t plane = size_t(w_) * size_t(h_);
    uint16_t* r = reinterpret_cast<uint16_t*>(dst);
    uint16_t* g = r + plane;
    uint16_t* b = g + plane;
    auto clamp = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
    for (int y = 0; y < h_; ++y) {
      const uint8_t* yr = frame_->data[0] + ptrdiff_t(y) * frame_->linesize[0];
      const uint8_t* ur = frame_->data[1] + ptrdiff_t(y) * frame_->linesize[1];
      const uint8_t* vr = frame_->data[2] + ptrdiff_t(y) * frame_->linesize[2];
      const size_t row = size_t(y) * size_t(w_);
      for (int x = 0; x < w_; ++x) {
        const int L = 76312 * (yr[x] - 16);
        const int U = ur[x] - 128;
        const int V = vr[x] - 128;
        r[row + x] = halfTable_[clamp((L + 104600 * V + 32768) >> 16)];
        g[row + x] = halfTable_[clamp((L - 25672 * U - 53280 * V + 32768) >> 16)];
        b[row + x] = halfTable_[clamp((L + 132200 * U + 32768) >> 16)];
      }
    }
  }

  const int kind_;
  const std::string path_;
  const int nt_, w_, h_;
  uint16_t halfTable_[256];
  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  int stream_ = -1;
  bool draining_ = false;
  bool packetHeld_ = false;
  int count_ = 0;
  // Read by residentBytes() from the cursor's consumer thread.
  std::atomic<int> maxPacket_{0};
  std::atomic<int> decoderThreads_{0};
  std::string label_;
};

}  // namespace

std::unique_ptr<driver::Source> driver::openMp4(const std::string& path, int NT, int W, int H) {
  return std::make_unique<FfSource>(kDriver, path, NT, W, H);
}

std::unique_ptr<driver::Source> driver::openPriorHevc(const std::string& path, int NT, int crop) {
  return std::make_unique<FfSource>(kPrior, path, NT, crop, crop);
}

}  // namespace le
