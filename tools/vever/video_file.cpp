#include "video_file.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libswscale/swscale.h>
}

#include "base/le_ffmpeg.h"

namespace vever {
namespace {

constexpr double kFps = 25;
// Video containers only: a file named like a video cannot make the tool
// open a playlist, a device, an image sequence or another file.
constexpr const char* kVideoFormats =
    "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi,flv,mpegts,ogg,"
    "h264,hevc,mpeg,m4v,ivf";

AVFormatContext* openAs(const std::string& path, const char* formats) {
  AVFormatContext* fmt = nullptr;
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "format_whitelist", formats, 0);
  av_dict_set(&opts, "protocol_whitelist", "file", 0);
  const int e = avformat_open_input(&fmt, path.c_str(), nullptr, &opts);
  av_dict_free(&opts);
  return e < 0 ? nullptr : fmt;
}

std::string seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f s", s);
  return buf;
}

}  // namespace

struct VideoReader::Impl {
  std::string path;
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  SwsContext* sws = nullptr;
  int stream = -1;
  double timeBase = 0, start = NAN;
  bool drained = false;
  // The frame shown now and the one decoded after it.
  Picture cur, ahead;
  double curTime = 0, aheadTime = 0;
  bool haveCur = false, haveAhead = false;
  long index = 0;  // the next output frame

  ~Impl() {
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
  }
  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error(path + ": " + what);
  }

  // The next decoded frame as RGB with its time; false at the end.
  bool decode(Picture& out, double& t) {
    for (;;) {
      int e = avcodec_receive_frame(dec, frame);
      if (e >= 0) {
        if (frame->width != dec->width || frame->height != dec->height ||
            frame->width > kMaxVideoSide || frame->height > kMaxVideoSide)
          fail("its frames change size part way");
        const int64_t pts = frame->best_effort_timestamp;
        double at =
            pts == AV_NOPTS_VALUE ? (std::isnan(start) ? 0 : aheadTime + 1 / kFps) : pts * timeBase;
        if (std::isnan(start)) start = at;
        t = at - start;
        out.width = frame->width;
        out.height = frame->height;
        out.rgb.resize(size_t(out.width) * out.height * 3);
        sws = sws_getCachedContext(sws, frame->width, frame->height, AVPixelFormat(frame->format),
                                   out.width, out.height, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr,
                                   nullptr, nullptr);
        if (!sws) fail("cannot convert its pixel format");
        uint8_t* dst[1] = {out.rgb.data()};
        const int stride[1] = {out.width * 3};
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, stride);
        av_frame_unref(frame);
        return true;
      }
      if (e == AVERROR_EOF) return false;
      if (e != AVERROR(EAGAIN)) fail("its video does not decode (" + le::avError(e) + ")");
      if (drained) return false;
      e = av_read_frame(fmt, pkt);
      if (e < 0) {
        drained = true;
        avcodec_send_packet(dec, nullptr);
        continue;
      }
      if (pkt->stream_index == stream) avcodec_send_packet(dec, pkt);
      av_packet_unref(pkt);
    }
  }
};

VideoReader::VideoReader(const std::string& path) : impl_(new Impl) {
  Impl& d = *impl_;
  d.path = path;
  d.fmt = openAs(path, kVideoFormats);
  if (!d.fmt) d.fail("not a picture or a video FFmpeg can read");
  if (avformat_find_stream_info(d.fmt, nullptr) < 0) d.fail("not a video FFmpeg can read");
  const AVCodec* codec = nullptr;
  d.stream = av_find_best_stream(d.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (d.stream < 0 || !codec) d.fail("it holds no video");
  const AVStream* st = d.fmt->streams[d.stream];
  const AVCodecParameters* par = st->codecpar;
  if (par->width < 1 || par->height < 1) d.fail("its header gives no frame size");
  if (par->width > kMaxVideoSide || par->height > kMaxVideoSide)
    d.fail("the video is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
           "; the limit is " + std::to_string(kMaxVideoSide) + "x" + std::to_string(kMaxVideoSide));
  double length = st->duration != AV_NOPTS_VALUE      ? st->duration * av_q2d(st->time_base)
                  : d.fmt->duration != AV_NOPTS_VALUE ? d.fmt->duration / double(AV_TIME_BASE)
                                                      : -1;
  if (length >= 0 && length < kMinVideoSeconds)
    d.fail("the video lasts " + seconds(length) + "; it must last at least " +
           seconds(kMinVideoSeconds));
  if (length > kMaxVideoSeconds)
    d.fail("the video lasts " + seconds(length) + "; the limit is " + seconds(kMaxVideoSeconds));
  d.timeBase = av_q2d(st->time_base);
  d.dec = avcodec_alloc_context3(codec);
  if (!d.dec) d.fail("out of memory");
  avcodec_parameters_to_context(d.dec, par);
  d.dec->max_pixels = int64_t(kMaxVideoSide) * kMaxVideoSide;
  if (avcodec_open2(d.dec, codec, nullptr) < 0) d.fail("its video codec does not open");
  d.frame = av_frame_alloc();
  d.pkt = av_packet_alloc();
  if (!d.frame || !d.pkt) d.fail("out of memory");
}

VideoReader::~VideoReader() = default;

int VideoReader::width() const {
  return impl_->dec->width;
}
int VideoReader::height() const {
  return impl_->dec->height;
}
double VideoReader::time() const {
  return (impl_->index - 1) / kFps;
}

bool VideoReader::next(Picture& out) {
  Impl& d = *impl_;
  if (!d.haveCur) {
    d.haveCur = d.decode(d.cur, d.curTime);
    if (!d.haveCur) return false;
    d.haveAhead = d.decode(d.ahead, d.aheadTime);
  }
  // Output frame i shows the last frame that starts before its middle.
  const double middle = (d.index + 0.5) / kFps;
  while (d.haveAhead && d.aheadTime <= middle) {
    std::swap(d.cur, d.ahead);
    d.curTime = d.aheadTime;
    d.haveAhead = d.decode(d.ahead, d.aheadTime);
  }
  if (!d.haveAhead && middle > d.curTime + 1 / kFps) {
    if (d.index < long(kMinVideoSeconds * kFps))
      d.fail("the video lasts " + seconds(d.index / kFps) + "; it must last at least " +
             seconds(kMinVideoSeconds));
    return false;
  }
  if (d.index >= long(kMaxVideoSeconds * kFps))
    d.fail("the video lasts more than " + seconds(kMaxVideoSeconds) + ", the limit");
  out = d.cur;
  ++d.index;
  return true;
}

}  // namespace vever
