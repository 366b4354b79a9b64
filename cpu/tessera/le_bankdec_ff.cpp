#include "tessera/le_bankdec_ff.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "base/le_ffmpeg.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace le {
namespace tessera {
namespace {

[[noreturn]] void fail(const std::string& msg) {
  throw std::runtime_error(msg);
}

constexpr int kIoBufferBytes = 65536;

struct MemReader {
  const uint8_t* data;
  int64_t size;
  int64_t pos;
};

int readMem(void* opaque, uint8_t* buf, int bufSize) {
  auto* r = static_cast<MemReader*>(opaque);
  const int64_t left = r->size - r->pos;
  if (left <= 0 || bufSize <= 0) return AVERROR_EOF;
  const int n = int(left < bufSize ? left : bufSize);
  std::memcpy(buf, r->data + r->pos, size_t(n));
  r->pos += n;
  return n;
}

int64_t seekMem(void* opaque, int64_t offset, int whence) {
  auto* r = static_cast<MemReader*>(opaque);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) return r->size;
  int64_t base;
  switch (whence) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = r->pos;
      break;
    case SEEK_END:
      base = r->size;
      break;
    default:
      return -1;
  }
  int64_t target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > r->size) return -1;
  r->pos = target;
  return target;
}

// Every FFmpeg object of one decode, released on all paths.
struct Decode {
  AVIOContext* io = nullptr;
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  SwsContext* sws = nullptr;
  AVPacket* pkt = nullptr;
  AVFrame* frame = nullptr;
  ~Decode() {
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);  // custom I/O: leaves io to us
    if (io) {
      av_freep(&io->buffer);  // may have been replaced by FFmpeg; free the current one
      avio_context_free(&io);
    }
  }
};

void checkRequest(const uint8_t* data, size_t size, int n, int storedH, int storedW,
                  const std::vector<int32_t>& trackOrder) {
  if (!data || size == 0) fail("reference bank track is empty \xE2\x80\x94 refusing to serve");
  if (storedH < 1 || storedW < 1 || n < 1)
    fail("reference bank geometry is not positive \xE2\x80\x94 refusing to serve");
  if (trackOrder.size() != size_t(n))
    fail("reference bank sidecar track_order has " + std::to_string(trackOrder.size()) +
         " entries, expected " + std::to_string(n) +
         " \xE2\x80\x94 sidecar/track mismatch, refusing to serve");
}

// Opens the container over the reader's bytes and reads its stream info.
void openContainer(Decode& d, MemReader& reader) {
  auto* buf = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
  if (!buf) fail("reference bank decode: out of memory");
  d.io = avio_alloc_context(buf, kIoBufferBytes, 0, &reader, readMem, nullptr, seekMem);
  if (!d.io) {
    av_free(buf);
    fail("reference bank decode: avio_alloc_context failed");
  }
  d.fmt = avformat_alloc_context();
  if (!d.fmt) fail("reference bank decode: avformat_alloc_context failed");
  d.fmt->pb = d.io;
  d.fmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  // On failure this frees the format context and nulls the pointer.
  if (avformat_open_input(&d.fmt, nullptr, nullptr, nullptr) < 0)
    fail("reference bank track is not a readable container \xE2\x80\x94 refusing to serve");
  if (avformat_find_stream_info(d.fmt, nullptr) < 0)
    fail("reference bank track carries no stream info \xE2\x80\x94 refusing to serve");
}

// The first video stream, which must have the stamp's size.
int videoStream(const Decode& d, int storedH, int storedW) {
  int vs = -1;
  for (unsigned i = 0; i < d.fmt->nb_streams; ++i) {
    if (d.fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      vs = int(i);
      break;
    }
  }
  if (vs < 0) fail("reference bank track has no video stream \xE2\x80\x94 refusing to serve");
  const AVCodecParameters* par = d.fmt->streams[vs]->codecpar;
  if (par->width != storedW || par->height != storedH)
    fail("reference bank track is " + std::to_string(par->width) + "x" +
         std::to_string(par->height) + ", the geometry stamp says " + std::to_string(storedW) +
         "x" + std::to_string(storedH) + " \xE2\x80\x94 geometry mismatch, refusing to serve");
  return vs;
}

void openDecoder(Decode& d, const AVCodecParameters* par) {
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec)
    fail(
        "no decoder for the reference bank track \xE2\x80\x94 this build must carry the h264 "
        "decoder (scripts/setup installs the FFmpeg libraries the engine links against); "
        "refusing to serve");
  d.dec = avcodec_alloc_context3(codec);
  if (!d.dec) fail("reference bank decode: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(d.dec, par) < 0)
    fail("reference bank decode: avcodec_parameters_to_context failed");
  if (avcodec_open2(d.dec, codec, nullptr) < 0)
    fail("reference bank decode: could not open the decoder \xE2\x80\x94 refusing to serve");
  d.pkt = av_packet_alloc();
  d.frame = av_frame_alloc();
  if (!d.pkt || !d.frame) fail("reference bank decode: out of memory");
}

void checkPermutation(const std::vector<int32_t>& trackOrder, int n) {
  std::vector<bool> seen(size_t(n), false);
  for (int32_t k : trackOrder) {
    if (k < 0 || k >= n)
      fail("reference bank track_order is out of range \xE2\x80\x94 refusing to serve");
    if (seen[size_t(k)])
      fail("reference bank track_order is not a permutation \xE2\x80\x94 refusing to serve");
    seen[size_t(k)] = true;
  }
}

// Decoded frames converted to RGB24, each written to its donor slot.
class DonorSlots {
 public:
  DonorSlots(Decode& d, int n, int storedH, int storedW, const std::vector<int32_t>& trackOrder)
      : d_(d),
        n_(n),
        storedH_(storedH),
        storedW_(storedW),
        trackOrder_(trackOrder),
        // The stream's size equals the stamp's, which FFmpeg keeps far below
        // 2^31 pixels; only the donor count can make the total large.
        frameBytes_(size_t(storedH) * size_t(storedW) * 3) {
    try {
      out_.resize(frameBytes_ * size_t(n));
    } catch (const std::bad_alloc&) {
      fail("reference bank decode: out of memory");
    }
  }

  void send(const AVPacket* p) {
    const int r = avcodec_send_packet(d_.dec, p);
    if (r < 0 && r != AVERROR_EOF)
      fail("reference bank track does not decode (" + le::avError(r) +
           ") \xE2\x80\x94 refusing to serve");
  }

  // Receives every frame the decoder has ready; true at its end of stream.
  bool drain() {
    for (;;) {
      const int r = avcodec_receive_frame(d_.dec, d_.frame);
      if (r == AVERROR(EAGAIN)) return false;
      if (r == AVERROR_EOF) return true;
      if (r < 0)
        fail("reference bank track does not decode (" + le::avError(r) +
             ") \xE2\x80\x94 refusing to serve");
      store();
      av_frame_unref(d_.frame);
    }
  }

  int count() const { return k_; }
  std::vector<uint8_t> take() { return std::move(out_); }

 private:
  void store() {
    if (d_.frame->width != storedW_ || d_.frame->height != storedH_)
      fail("reference bank frame changed size mid-track \xE2\x80\x94 refusing to serve");
    if (!d_.sws) {
      firstFormat_ = d_.frame->format;
      d_.sws = sws_getContext(storedW_, storedH_, AVPixelFormat(d_.frame->format), storedW_,
                              storedH_, AV_PIX_FMT_RGB24, SWS_BILINEAR | SWS_ACCURATE_RND, nullptr,
                              nullptr, nullptr);
      if (!d_.sws)
        fail("reference bank decode: no rgb24 conversion \xE2\x80\x94 refusing to serve");
    } else if (d_.frame->format != firstFormat_) {
      // The scaler was built for the first frame's layout; feeding it
      // planes of another would read past them.
      fail("reference bank frame changed pixel format mid-track \xE2\x80\x94 refusing to serve");
    }
    if (k_ >= n_)
      fail(
          "bank track carries more frames than the sidecar's n_donors \xE2\x80\x94 sidecar/track "
          "mismatch, refusing to serve");
    uint8_t* dst[4] = {out_.data() + size_t(trackOrder_[size_t(k_)]) * frameBytes_, nullptr,
                       nullptr, nullptr};
    const int dstStride[4] = {storedW_ * 3, 0, 0, 0};
    sws_scale(d_.sws, d_.frame->data, d_.frame->linesize, 0, storedH_, dst, dstStride);
    ++k_;
  }

  Decode& d_;
  const int n_, storedH_, storedW_;
  const std::vector<int32_t>& trackOrder_;
  const size_t frameBytes_;
  std::vector<uint8_t> out_;
  int k_ = 0;
  int firstFormat_ = AV_PIX_FMT_NONE;
};

}  // namespace

std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n, int storedH,
                                     int storedW, const std::vector<int32_t>& trackOrder) {
  checkRequest(data, size, n, storedH, storedW, trackOrder);
  MemReader reader{data, int64_t(size), 0};
  Decode d;
  openContainer(d, reader);
  const int vs = videoStream(d, storedH, storedW);
  openDecoder(d, d.fmt->streams[vs]->codecpar);
  checkPermutation(trackOrder, n);

  DonorSlots slots(d, n, storedH, storedW, trackOrder);
  while (av_read_frame(d.fmt, d.pkt) >= 0) {
    const bool ours = d.pkt->stream_index == vs;
    if (ours) slots.send(d.pkt);
    av_packet_unref(d.pkt);
    if (ours) slots.drain();
  }
  slots.send(nullptr);
  slots.drain();
  if (slots.count() != n)
    fail("bank track decoded to " + std::to_string(slots.count()) + " frames, expected " +
         std::to_string(n) + " \xE2\x80\x94 geometry/N mismatch, refusing to serve");
  return slots.take();
}

std::string bankDecoderBuild() {
  return std::string("libavcodec ") + AV_STRINGIFY(LIBAVCODEC_VERSION) + " / " +
         avcodec_configuration();
}

}  // namespace tessera
}  // namespace le
