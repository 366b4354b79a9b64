#include "mp4_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "base/le_ffmpeg.h"

#include <cstring>
#include <stdexcept>
#include <vector>

namespace vever {
namespace {}  // namespace

struct Mp4Writer::State {
  std::string path;
  int width = 0, height = 0;
  AVFormatContext* fmt = nullptr;
  AVCodecContext* enc = nullptr;
  AVStream* st = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  SwsContext* sws = nullptr;
  std::vector<uint8_t> padded;  // swscale's vector readers run past the end of a row
  // Audio: samples wait here until a whole encoder frame is filled.
  AVCodecContext* aenc = nullptr;
  AVStream* ast = nullptr;
  AVFrame* aframe = nullptr;
  std::vector<float> pendingAudio;
  int64_t audioPts = 0;
  bool headerWritten = false;
  bool finished = false;

  [[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("cannot write " + path + ": " + what);
  }

  void drain(AVCodecContext* c, AVStream* to) {
    for (;;) {
      int r = avcodec_receive_packet(c, pkt);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      if (r < 0) fail("encoder: " + le::avError(r));
      // Every frame lasts one tick; without it the MP4 edit list cuts the last frame.
      if (pkt->duration <= 0) pkt->duration = c == enc ? 1 : c->frame_size;
      av_packet_rescale_ts(pkt, c->time_base, to->time_base);
      pkt->stream_index = to->index;
      r = av_interleaved_write_frame(fmt, pkt);
      if (r < 0) fail("muxer: " + le::avError(r));
    }
  }

  // Encodes n pending samples (a whole frame, or the short last one).
  void encodeAudio(int n) {
    if (av_frame_make_writable(aframe) < 0) fail("out of memory");
    aframe->nb_samples = n;
    std::memcpy(aframe->data[0], pendingAudio.data(), size_t(n) * sizeof(float));
    pendingAudio.erase(pendingAudio.begin(), pendingAudio.begin() + n);
    aframe->pts = audioPts;
    audioPts += n;
    const int r = avcodec_send_frame(aenc, aframe);
    if (r < 0) fail("audio encoder: " + le::avError(r));
    drain(aenc, ast);
  }

  ~State() {
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    av_frame_free(&aframe);
    avcodec_free_context(&enc);
    avcodec_free_context(&aenc);
    if (fmt) {
      if (fmt->pb) avio_closep(&fmt->pb);
      avformat_free_context(fmt);
    }
  }
};

Mp4Writer::Mp4Writer(const std::string& path, int width, int height, int fps, int crf,
                     int audioRate, bool exact, const char* tune)
    : s_(std::make_unique<State>()) {
  State& s = *s_;
  s.path = path;
  s.width = width;
  s.height = height;
  const AVPixelFormat pixfmt = exact ? AV_PIX_FMT_YUV444P : AV_PIX_FMT_YUV420P;
  if (width < 2 || height < 2 || (!exact && (width % 2 || height % 2)))
    s.fail("frame size " + std::to_string(width) + "x" + std::to_string(height) +
           " is not even (yuv420p needs even sides)");
  if (avformat_alloc_output_context2(&s.fmt, nullptr, "mp4", path.c_str()) < 0 || !s.fmt)
    s.fail("no MP4 muxer");
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!codec) s.fail("no H.264 encoder in this FFmpeg");
  s.st = avformat_new_stream(s.fmt, nullptr);
  s.enc = avcodec_alloc_context3(codec);
  if (!s.st || !s.enc) s.fail("out of memory");
  s.enc->width = width;
  s.enc->height = height;
  s.enc->pix_fmt = pixfmt;
  s.enc->time_base = AVRational{1, fps};
  s.enc->framerate = AVRational{fps, 1};
  s.enc->gop_size = fps * 2;
  if (s.fmt->oformat->flags & AVFMT_GLOBALHEADER) s.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "preset", "veryfast", 0);
  if (tune) av_dict_set(&opts, "tune", tune, 0);
  if (exact)
    av_dict_set(&opts, "qp", "0", 0);
  else
    av_dict_set(&opts, "crf", std::to_string(crf).c_str(), 0);
  int r = avcodec_open2(s.enc, codec, &opts);
  av_dict_free(&opts);
  if (r < 0) s.fail("cannot open the encoder: " + le::avError(r));
  if (avcodec_parameters_from_context(s.st->codecpar, s.enc) < 0) s.fail("codec parameters");
  s.st->time_base = s.enc->time_base;
  s.st->avg_frame_rate = AVRational{fps, 1};
  if (audioRate > 0) {
    const AVCodec* aac = avcodec_find_encoder_by_name("aac");
    if (!aac) s.fail("no AAC encoder in this FFmpeg");
    s.ast = avformat_new_stream(s.fmt, nullptr);
    s.aenc = avcodec_alloc_context3(aac);
    if (!s.ast || !s.aenc) s.fail("out of memory");
    s.aenc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    s.aenc->sample_rate = audioRate;
    av_channel_layout_default(&s.aenc->ch_layout, 1);
    s.aenc->bit_rate = 64000;
    s.aenc->time_base = AVRational{1, audioRate};
    if (s.fmt->oformat->flags & AVFMT_GLOBALHEADER) s.aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((r = avcodec_open2(s.aenc, aac, nullptr)) < 0)
      s.fail("cannot open the AAC encoder: " + le::avError(r));
    if (avcodec_parameters_from_context(s.ast->codecpar, s.aenc) < 0) s.fail("codec parameters");
    s.ast->time_base = s.aenc->time_base;
    s.aframe = av_frame_alloc();
    if (!s.aframe) s.fail("out of memory");
    s.aframe->format = AV_SAMPLE_FMT_FLTP;
    s.aframe->sample_rate = audioRate;
    av_channel_layout_default(&s.aframe->ch_layout, 1);
    s.aframe->nb_samples = s.aenc->frame_size;
    if (av_frame_get_buffer(s.aframe, 0) < 0) s.fail("out of memory");
  }
  if ((r = avio_open(&s.fmt->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0) s.fail(le::avError(r));
  // Whoever plays it can tell that the face in it was made, not filmed.
  av_dict_set(&s.fmt->metadata, "comment", kSyntheticTag, 0);
  if ((r = avformat_write_header(s.fmt, nullptr)) < 0) s.fail("header: " + le::avError(r));
  s.headerWritten = true;
  s.frame = av_frame_alloc();
  s.pkt = av_packet_alloc();
  if (!s.frame || !s.pkt) s.fail("out of memory");
  s.frame->format = pixfmt;
  s.frame->width = width;
  s.frame->height = height;
  if (av_frame_get_buffer(s.frame, 0) < 0) s.fail("out of memory");
  s.sws = sws_getContext(width, height, AV_PIX_FMT_RGB24, width, height, pixfmt,
                         SWS_BICUBIC | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr,
                         nullptr);
  if (!s.sws) s.fail("no RGB to yuv420p conversion");
}

Mp4Writer::~Mp4Writer() {
  try {
    finish();
  } catch (const std::exception&) {
    // The destructor cannot report; callers who care call finish() themselves.
  }
}

void Mp4Writer::write(const uint8_t* rgb) {
  State& s = *s_;
  if (s.finished) s.fail("write after finish");
  if (av_frame_make_writable(s.frame) < 0) s.fail("out of memory");
  const size_t bytes = size_t(s.width) * size_t(s.height) * 3;
  s.padded.resize(bytes + AV_INPUT_BUFFER_PADDING_SIZE);
  std::memcpy(s.padded.data(), rgb, bytes);
  const uint8_t* src[1] = {s.padded.data()};
  const int stride[1] = {s.width * 3};
  sws_scale(s.sws, src, stride, 0, s.height, s.frame->data, s.frame->linesize);
  s.frame->pts = frames_;
  const int r = avcodec_send_frame(s.enc, s.frame);
  if (r < 0) s.fail("encoder: " + le::avError(r));
  s.drain(s.enc, s.st);
  ++frames_;
}

void Mp4Writer::writeAudio(const int16_t* samples, size_t count) {
  State& s = *s_;
  if (!s.aenc) s.fail("no audio track");
  if (s.finished) s.fail("write after finish");
  for (size_t i = 0; i < count; ++i) s.pendingAudio.push_back(float(samples[i]) / 32768.0f);
  while (s.pendingAudio.size() >= size_t(s.aenc->frame_size)) s.encodeAudio(s.aenc->frame_size);
}

void Mp4Writer::finish() {
  State& s = *s_;
  if (s.finished || !s.headerWritten) return;
  s.finished = true;
  avcodec_send_frame(s.enc, nullptr);
  s.drain(s.enc, s.st);
  if (s.aenc) {
    if (!s.pendingAudio.empty()) s.encodeAudio(int(s.pendingAudio.size()));
    avcodec_send_frame(s.aenc, nullptr);
    s.drain(s.aenc, s.ast);
  }
  const int r = av_write_trailer(s.fmt);
  if (r < 0) s.fail("trailer: " + le::avError(r));
}

}  // namespace vever
