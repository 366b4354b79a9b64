#include "audio_file.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <memory>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "base/le_ffmpeg.h"

extern char** environ;

namespace vever {
namespace {

struct Decoder {
  AVFormatContext* fmt = nullptr;
  AVCodecContext* dec = nullptr;
  SwrContext* swr = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  ~Decoder() {
    av_packet_free(&pkt);
    av_frame_free(&frame);
    swr_free(&swr);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
  }
};

}  // namespace

std::vector<int16_t> readSpeech16k(const std::string& path) {
  auto fail = [&](const std::string& what) -> void {
    throw std::runtime_error("cannot read audio from " + path + ": " + what);
  };
  Decoder d;
  int r = avformat_open_input(&d.fmt, path.c_str(), nullptr, nullptr);
  if (r < 0) fail(le::avError(r));
  if ((r = avformat_find_stream_info(d.fmt, nullptr)) < 0) fail(le::avError(r));
  const AVCodec* codec = nullptr;
  const int si = av_find_best_stream(d.fmt, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (si < 0 || !codec) fail("no audio stream");
  d.dec = avcodec_alloc_context3(codec);
  if (!d.dec) fail("out of memory");
  avcodec_parameters_to_context(d.dec, d.fmt->streams[si]->codecpar);
  if ((r = avcodec_open2(d.dec, codec, nullptr)) < 0) fail("decoder: " + le::avError(r));
  if (d.dec->ch_layout.nb_channels < 1 || d.dec->sample_rate < 1) fail("no channels or rate");
  AVChannelLayout mono;
  av_channel_layout_default(&mono, 1);
  if ((r = swr_alloc_set_opts2(&d.swr, &mono, AV_SAMPLE_FMT_S16, 16000, &d.dec->ch_layout,
                               d.dec->sample_fmt, d.dec->sample_rate, 0, nullptr)) < 0 ||
      (r = swr_init(d.swr)) < 0)
    fail("resampler: " + le::avError(r));
  d.frame = av_frame_alloc();
  d.pkt = av_packet_alloc();
  if (!d.frame || !d.pkt) fail("out of memory");

  std::vector<int16_t> out;
  auto convert = [&](const uint8_t** in, int n) {
    const int room = swr_get_out_samples(d.swr, n);
    if (room <= 0) return;
    const size_t at = out.size();
    out.resize(at + size_t(room));
    uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(out.data() + at)};
    const int got = swr_convert(d.swr, dst, room, in, n);
    if (got < 0) fail("resampler: " + le::avError(got));
    out.resize(at + size_t(got));
  };
  auto receive = [&] {
    while ((r = avcodec_receive_frame(d.dec, d.frame)) >= 0) {
      convert(const_cast<const uint8_t**>(d.frame->extended_data), d.frame->nb_samples);
      av_frame_unref(d.frame);
    }
    if (r != AVERROR(EAGAIN) && r != AVERROR_EOF) fail("decoder: " + le::avError(r));
  };
  while ((r = av_read_frame(d.fmt, d.pkt)) >= 0) {
    if (d.pkt->stream_index == si) {
      if ((r = avcodec_send_packet(d.dec, d.pkt)) < 0 && r != AVERROR(EAGAIN)) {
        av_packet_unref(d.pkt);
        fail("decoder: " + le::avError(r));
      }
      receive();
    }
    av_packet_unref(d.pkt);
  }
  avcodec_send_packet(d.dec, nullptr);
  receive();
  convert(nullptr, 0);  // the resampler's tail
  if (out.empty()) fail("no samples");
  return out;
}

void synthesizeSpeech(const std::string& text, const std::string& path) {
  if (text.empty()) throw std::runtime_error("--text is empty");
  // The text goes to espeak-ng in a file of our own, never as an argument:
  // a text starting with '-' would otherwise be read as one of its options.
  std::string textPath = path + ".txt-XXXXXX";
  const int fd = ::mkstemp(textPath.data());
  if (fd < 0) throw std::runtime_error("cannot make a scratch file for espeak-ng at " + textPath);
  struct Unlink {
    std::string p;
    ~Unlink() { ::unlink(p.c_str()); }
  } cleanup{textPath};
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
    if (n <= 0) {
      ::close(fd);
      throw std::runtime_error("cannot write the text for espeak-ng to " + textPath);
    }
    at += size_t(n);
  }
  ::close(fd);
  std::string prog = "espeak-ng", wflag = "-w", fflag = "-f";
  std::vector<char*> argv = {prog.data(),  wflag.data(),    const_cast<char*>(path.c_str()),
                             fflag.data(), textPath.data(), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "espeak-ng", nullptr, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error(
        "--text needs espeak-ng, which is not on PATH (scripts/setup installs it)");
  int status = 0;
  if (waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error("espeak-ng failed to speak the text into " + path);
}

}  // namespace vever
