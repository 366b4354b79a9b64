#include "picture_file.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libswscale/swscale.h>
}

#include "base/le_ffmpeg.h"

namespace vever {
namespace {

// Only still-picture readers: a file named like a picture cannot make the
// tool open a playlist, a device or another file.
constexpr const char* kFormats =
    "image2,png_pipe,jpeg_pipe,webp_pipe,bmp_pipe,tiff_pipe,gif,gif_pipe,qoi_pipe,pam_pipe,"
    "pgm_pipe,ppm_pipe,pgmyuv_pipe";

struct Reader {
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  SwsContext* sws = nullptr;
  ~Reader() {
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
  }
};

// The size a PNG or JPEG header states, read before FFmpeg is given the file:
// a decoder allocates the whole picture before it can refuse it.
bool headerSize(const std::string& path, int& w, int& h) {
  std::ifstream f(path, std::ios::binary);
  std::vector<uint8_t> b(1 << 16);
  f.read(reinterpret_cast<char*>(b.data()), std::streamsize(b.size()));
  b.resize(size_t(f.gcount()));
  auto be = [&](size_t at, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | b[at + size_t(i)];
    return v;
  };
  static const uint8_t png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (b.size() >= 24 && std::equal(png, png + 8, b.begin()) &&
      std::equal(b.begin() + 12, b.begin() + 16, "IHDR")) {
    w = int(std::min<uint32_t>(be(16, 4), 1u << 30));
    h = int(std::min<uint32_t>(be(20, 4), 1u << 30));
    return true;
  }
  if (b.size() < 4 || b[0] != 0xFF || b[1] != 0xD8) return false;
  // JPEG: the frame header (SOF0..SOF15 but DHT, JPG and DAC) among the markers.
  for (size_t at = 2; at + 9 <= b.size();) {
    if (b[at] != 0xFF) return false;
    const uint8_t m = b[at + 1];
    if (m == 0xFF) {
      ++at;
      continue;
    }
    if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
      h = int(be(at + 5, 2));
      w = int(be(at + 7, 2));
      return true;
    }
    at += 2 + be(at + 2, 2);
  }
  return false;
}

std::string sizeRefusal(int w, int h) {
  return "the picture is " + std::to_string(w) + "x" + std::to_string(h) + "; the limit is " +
         std::to_string(kMaxPictureSide) + "x" + std::to_string(kMaxPictureSide);
}

}  // namespace

bool opensAsPicture(const std::string& path) {
  // Probed from its first bytes and its name, as FFmpeg would open it.
  std::ifstream f(path, std::ios::binary);
  std::vector<uint8_t> head(4096 + AVPROBE_PADDING_SIZE, 0);
  f.read(reinterpret_cast<char*>(head.data()), 4096);
  AVProbeData probe{};
  probe.filename = path.c_str();
  probe.buf = head.data();
  probe.buf_size = int(f.gcount());
  const AVInputFormat* format = av_probe_input_format(&probe, 1);
  if (!format) return false;
  const std::string name = format->name, formats = std::string(",") + kFormats + ",";
  return formats.find("," + name + ",") != std::string::npos;
}

Picture readPicture(const std::string& path) {
  auto fail = [&](const std::string& what) -> void {
    throw std::runtime_error(path + ": " + what);
  };
  int hw = 0, hh = 0;
  if (headerSize(path, hw, hh) && (hw > kMaxPictureSide || hh > kMaxPictureSide))
    fail(sizeRefusal(hw, hh));
  Reader r;
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "format_whitelist", kFormats, 0);
  av_dict_set(&opts, "protocol_whitelist", "file", 0);
  int e = avformat_open_input(&r.fmt, path.c_str(), nullptr, &opts);
  av_dict_free(&opts);
  if (e < 0) fail("not a picture FFmpeg can read (" + le::avError(e) + ")");
  // Other formats' sizes are known once decoded: the decoder refuses more
  // pixels than the largest picture before it allocates them.
  const std::string most = std::to_string(int64_t(kMaxPictureSide) * kMaxPictureSide);
  std::vector<AVDictionary*> perStream(r.fmt->nb_streams, nullptr);
  for (AVDictionary*& d : perStream) av_dict_set(&d, "max_pixels", most.c_str(), 0);
  e = avformat_find_stream_info(r.fmt, perStream.data());
  for (AVDictionary*& d : perStream) av_dict_free(&d);
  if (e < 0) fail("not a picture FFmpeg can read (" + le::avError(e) + ")");
  const AVCodec* codec = nullptr;
  const int si = av_find_best_stream(r.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (si < 0 || !codec) fail("not a picture: it holds no image");
  const AVCodecParameters* par = r.fmt->streams[si]->codecpar;
  if (par->width < 1 || par->height < 1)
    fail("not a picture FFmpeg can read (no size, or more than " + std::to_string(kMaxPictureSide) +
         "x" + std::to_string(kMaxPictureSide) + " pixels)");
  if (par->width > kMaxPictureSide || par->height > kMaxPictureSide)
    fail(sizeRefusal(par->width, par->height));
  r.dec = avcodec_alloc_context3(codec);
  if (!r.dec) fail("out of memory");
  avcodec_parameters_to_context(r.dec, par);
  r.dec->thread_count = 1;
  r.dec->max_pixels = int64_t(kMaxPictureSide) * kMaxPictureSide;
  if ((e = avcodec_open2(r.dec, codec, nullptr)) < 0) fail("decoder: " + le::avError(e));
  r.frame = av_frame_alloc();
  r.pkt = av_packet_alloc();
  if (!r.frame || !r.pkt) fail("out of memory");
  bool got = false;
  auto receive = [&] {
    e = avcodec_receive_frame(r.dec, r.frame);
    if (e >= 0) got = true;
  };
  while (!got && av_read_frame(r.fmt, r.pkt) >= 0) {
    if (r.pkt->stream_index == si && avcodec_send_packet(r.dec, r.pkt) >= 0) receive();
    av_packet_unref(r.pkt);
  }
  if (!got) {
    avcodec_send_packet(r.dec, nullptr);
    receive();
  }
  if (!got) fail("the picture does not decode");
  // A decoder may still meet a size its header did not state.
  if (r.frame->width != par->width || r.frame->height != par->height)
    fail("the picture decodes to another size than its header states");
  Picture p;
  p.width = r.frame->width;
  p.height = r.frame->height;
  p.rgb.resize(size_t(p.width) * p.height * 3);
  r.sws = sws_getContext(p.width, p.height, AVPixelFormat(r.frame->format), p.width, p.height,
                         AV_PIX_FMT_RGB24, SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                         nullptr, nullptr, nullptr);
  if (!r.sws) fail("cannot convert its pixel format");
  uint8_t* dst[1] = {p.rgb.data()};
  const int stride[1] = {p.width * 3};
  sws_scale(r.sws, r.frame->data, r.frame->linesize, 0, p.height, dst, stride);
  return p;
}

}  // namespace vever
