#include "support/test_video.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <vector>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#include <stb_image_write.h>
#pragma GCC diagnostic pop

namespace le_test {
namespace {

std::string averr(int e) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(e, buf, sizeof buf);
  return buf;
}

struct Encoder {
  AVFormatContext* fmt = nullptr;
  AVCodecContext* enc = nullptr;
  AVStream* st = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  ~Encoder() {
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
    if (fmt) {
      if (fmt->pb) avio_closep(&fmt->pb);
      avformat_free_context(fmt);
    }
  }

  std::string drain() {
    for (;;) {
      int r = avcodec_receive_packet(enc, pkt);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return "";
      if (r < 0) return "receive_packet: " + averr(r);
      // Without a duration the MP4 muxer's edit list cuts the last frame.
      if (pkt->duration <= 0) pkt->duration = 1;
      av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
      pkt->stream_index = st->index;
      r = av_interleaved_write_frame(fmt, pkt);
      if (r < 0) return "write_frame: " + averr(r);
    }
  }
};

}  // namespace

std::vector<YuvFrame> decodeVideoYuv(const std::string& path) {
  std::vector<YuvFrame> out;
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return out;
  AVCodecContext* dec = nullptr;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* fr = av_frame_alloc();
  int stream = -1;
  if (avformat_find_stream_info(fmt, nullptr) >= 0)
    stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (stream >= 0) {
    const AVCodecParameters* par = fmt->streams[stream]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    dec = avcodec_alloc_context3(codec);
    if (avcodec_parameters_to_context(dec, par) < 0 || avcodec_open2(dec, codec, nullptr) < 0)
      stream = -1;
  }
  auto take = [&] {
    while (avcodec_receive_frame(dec, fr) == 0) {
      YuvFrame f;
      f.format = av_get_pix_fmt_name(AVPixelFormat(fr->format));
      const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(fr->format));
      for (int c = 0; c < 3; ++c) {
        f.width[c] = c ? AV_CEIL_RSHIFT(fr->width, d->log2_chroma_w) : fr->width;
        f.height[c] = c ? AV_CEIL_RSHIFT(fr->height, d->log2_chroma_h) : fr->height;
        for (int y = 0; y < f.height[c]; ++y)
          f.planes[c].insert(f.planes[c].end(), fr->data[c] + y * fr->linesize[c],
                             fr->data[c] + y * fr->linesize[c] + f.width[c]);
      }
      out.push_back(std::move(f));
      av_frame_unref(fr);
    }
  };
  while (stream >= 0 && av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == stream) avcodec_send_packet(dec, pkt);
    av_packet_unref(pkt);
    take();
  }
  if (stream >= 0) {
    avcodec_send_packet(dec, nullptr);
    take();
  }
  av_frame_free(&fr);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
  return out;
}

std::string encodeVideoYuv(const std::string& path, const VideoSpec& video, const YuvFrameFn& fill) {
  Encoder e;
  const char* muxer = video.container.empty() ? nullptr : video.container.c_str();
  if (avformat_alloc_output_context2(&e.fmt, nullptr, muxer, path.c_str()) < 0 || !e.fmt)
    return "no muxer for " + path;
  const AVCodec* codec = avcodec_find_encoder_by_name(video.encoder.c_str());
  if (!codec) return "no encoder " + video.encoder;
  e.st = avformat_new_stream(e.fmt, nullptr);
  e.enc = avcodec_alloc_context3(codec);
  if (!e.st || !e.enc) return "out of memory";
  const AVPixelFormat pf = av_get_pix_fmt(video.pixfmt.c_str());
  if (pf == AV_PIX_FMT_NONE) return "unknown pixel format " + video.pixfmt;
  e.enc->width = video.width;
  e.enc->height = video.height;
  e.enc->pix_fmt = pf;
  e.enc->time_base = AVRational{1, video.fps};
  e.enc->framerate = AVRational{video.fps, 1};
  e.enc->gop_size = 12;
  e.enc->thread_count = 1;
  if (e.fmt->oformat->flags & AVFMT_GLOBALHEADER) e.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* opts = nullptr;
  if (video.encoder == "libx264") {
    av_dict_set(&opts, "preset", "ultrafast", 0);
    if (video.lossless) av_dict_set(&opts, "qp", "0", 0);
  } else if (video.encoder == "libx265") {
    av_dict_set(&opts, "preset", "ultrafast", 0);
    av_dict_set(&opts, "x265-params", video.lossless ? "log-level=error:lossless=1" : "log-level=error", 0);
  }
  int r = avcodec_open2(e.enc, codec, &opts);
  av_dict_free(&opts);
  if (r < 0) return "open encoder: " + averr(r);
  if (avcodec_parameters_from_context(e.st->codecpar, e.enc) < 0) return "codec parameters";
  e.st->time_base = e.enc->time_base;
  if (!(e.fmt->oformat->flags & AVFMT_NOFILE) &&
      avio_open(&e.fmt->pb, path.c_str(), AVIO_FLAG_WRITE) < 0)
    return "cannot write " + path;
  if ((r = avformat_write_header(e.fmt, nullptr)) < 0) return "write header: " + averr(r);

  e.frame = av_frame_alloc();
  e.pkt = av_packet_alloc();
  if (!e.frame || !e.pkt) return "out of memory";
  e.frame->format = pf;
  e.frame->width = video.width;
  e.frame->height = video.height;
  if (av_frame_get_buffer(e.frame, 0) < 0) return "frame buffer";
  for (int t = 0; t < video.frames; ++t) {
    if (av_frame_make_writable(e.frame) < 0) return "frame not writable";
    fill(t, e.frame->data, e.frame->linesize);
    e.frame->pts = t;
    if ((r = avcodec_send_frame(e.enc, e.frame)) < 0) return "send_frame: " + averr(r);
    std::string err = e.drain();
    if (!err.empty()) return err;
  }
  avcodec_send_frame(e.enc, nullptr);
  std::string err = e.drain();
  if (!err.empty()) return err;
  if ((r = av_write_trailer(e.fmt)) < 0) return "write trailer: " + averr(r);
  return "";
}

std::string encodeVideo(const std::string& path, const VideoSpec& video, const RgbFrameFn& fill) {
  const AVPixelFormat pf = av_get_pix_fmt(video.pixfmt.c_str());
  SwsContext* sws = sws_getContext(video.width, video.height, AV_PIX_FMT_RGB24, video.width,
                                   video.height, pf, SWS_BICUBIC, nullptr, nullptr, nullptr);
  if (!sws) return "no conversion to " + video.pixfmt;
  // swscale's vector RGB24 readers run past the end of the last row.
  std::vector<uint8_t> rgb(size_t(video.width) * video.height * 3 + AV_INPUT_BUFFER_PADDING_SIZE);
  std::string err = encodeVideoYuv(path, video, [&](int t, uint8_t* const planes[3], const int ls[3]) {
    fill(t, rgb.data());
    const uint8_t* src[1] = {rgb.data()};
    const int srcStride[1] = {video.width * 3};
    sws_scale(sws, src, srcStride, 0, video.height, planes, ls);
  });
  sws_freeContext(sws);
  return err;
}

bool writeJpg(const std::string& path, const uint8_t* rgb, int width, int height, int quality) {
  return stbi_write_jpg(path.c_str(), width, height, 3, rgb, quality) != 0;
}

}  // namespace le_test
