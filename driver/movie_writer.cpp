#include "driver/movie_writer.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include "base/log.h"

namespace ka {

namespace {
std::string avText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return buf;
}
}  // namespace

class MovieWriter::Impl {
 public:
  std::string path, part;
  int W = 0, H = 0;
  AVFormatContext* fmt = nullptr;
  AVCodecContext* enc = nullptr;
  AVStream* stream = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  SwsContext* sws = nullptr;
  int64_t count = 0;
  bool finished = false;
  // The audio track, when there is one: samples wait in `pending` until a whole
  // encoder frame is there.
  AVCodecContext* aenc = nullptr;
  AVStream* astream = nullptr;
  AVFrame* aframe = nullptr;
  std::vector<float> pending;
  int64_t apts = 0;
  int64_t audioCount = 0;

  [[noreturn]] void fail(const std::string& what, int err) const {
    throw std::runtime_error("movie writer: " + what + " for " + path + ": " + avText(err));
  }

  // Sends one frame (or the flush marker) and writes every packet that comes out.
  void encode(AVFrame* f) {
    int r = avcodec_send_frame(enc, f);
    if (r < 0) fail("encoding a frame", r);
    for (;;) {
      r = avcodec_receive_packet(enc, pkt);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      if (r < 0) fail("encoding a frame", r);
      // Without a duration the muxer's edit list cuts the last frame off.
      if (pkt->duration <= 0) pkt->duration = 1;
      av_packet_rescale_ts(pkt, enc->time_base, stream->time_base);
      pkt->stream_index = stream->index;
      r = av_interleaved_write_frame(fmt, pkt);
      if (r < 0) fail("writing a packet", r);
    }
  }

  void encodeAudio(AVFrame* f) {
    int r = avcodec_send_frame(aenc, f);
    if (r < 0) fail("encoding audio", r);
    for (;;) {
      r = avcodec_receive_packet(aenc, pkt);
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      if (r < 0) fail("encoding audio", r);
      av_packet_rescale_ts(pkt, aenc->time_base, astream->time_base);
      pkt->stream_index = astream->index;
      r = av_interleaved_write_frame(fmt, pkt);
      if (r < 0) fail("writing an audio packet", r);
    }
  }

  // Encodes the first frame_size pending samples (zero-padded when fewer are left).
  void audioFrame() {
    const int n = aenc->frame_size;
    int r = av_frame_make_writable(aframe);
    if (r < 0) fail("reusing an audio frame", r);
    float* dst = reinterpret_cast<float*>(aframe->data[0]);
    const size_t have = std::min(pending.size(), static_cast<size_t>(n));
    std::copy_n(pending.begin(), have, dst);
    std::fill(dst + have, dst + n, 0.0f);
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(have));
    aframe->pts = apts;
    apts += n;
    encodeAudio(aframe);
  }

  void openAudio(int rate) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) throw std::runtime_error("movie writer: this FFmpeg has no AAC encoder");
    astream = avformat_new_stream(fmt, nullptr);
    aenc = avcodec_alloc_context3(codec);
    aframe = av_frame_alloc();
    if (!astream || !aenc || !aframe) throw std::runtime_error("movie writer: out of memory");
    aenc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    aenc->sample_rate = rate;
    av_channel_layout_default(&aenc->ch_layout, 1);
    aenc->bit_rate = 64000;
    aenc->time_base = AVRational{1, rate};
    if (fmt->oformat->flags & AVFMT_GLOBALHEADER) aenc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int r = avcodec_open2(aenc, codec, nullptr);
    if (r < 0) fail("opening the AAC encoder", r);
    r = avcodec_parameters_from_context(astream->codecpar, aenc);
    if (r < 0) fail("copying audio encoder parameters", r);
    astream->time_base = aenc->time_base;
    aframe->format = AV_SAMPLE_FMT_FLTP;
    aframe->sample_rate = rate;
    aframe->nb_samples = aenc->frame_size;
    r = av_channel_layout_copy(&aframe->ch_layout, &aenc->ch_layout);
    if (r < 0) fail("setting the audio layout", r);
    r = av_frame_get_buffer(aframe, 0);
    if (r < 0) fail("allocating an audio frame", r);
  }

  ~Impl() {
    av_frame_free(&aframe);
    avcodec_free_context(&aenc);
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
    if (fmt) {
      if (fmt->pb) avio_closep(&fmt->pb);
      avformat_free_context(fmt);
    }
    if (!finished && !part.empty()) std::remove(part.c_str());
  }
};

MovieWriter::MovieWriter(const std::string& path, int width, int height, int fps, int crf,
                         int audioRate)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.path = path;
  if (width < 2 || height < 2 || (width | height) & 1)
    throw std::runtime_error("movie writer: H.264 in yuv420p needs an even width and height, got " +
                             std::to_string(width) + "x" + std::to_string(height) + " for " + path);
  if (fps < 1) throw std::runtime_error("movie writer: bad frame rate " + std::to_string(fps));
  m.W = width;
  m.H = height;
  m.part = path + ".part";

  log::routeFfmpeg();
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (!codec) throw std::runtime_error("movie writer: this FFmpeg has no H.264 encoder");
  // The muxer is chosen by name: the temporary file's ".part" suffix says nothing.
  int r = avformat_alloc_output_context2(&m.fmt, nullptr, "mp4", m.part.c_str());
  if (r < 0 || !m.fmt) m.fail("opening the mp4 muxer", r);
  m.stream = avformat_new_stream(m.fmt, nullptr);
  m.enc = avcodec_alloc_context3(codec);
  m.frame = av_frame_alloc();
  m.pkt = av_packet_alloc();
  if (!m.stream || !m.enc || !m.frame || !m.pkt) throw std::runtime_error("movie writer: out of memory");

  m.enc->width = width;
  m.enc->height = height;
  m.enc->pix_fmt = AV_PIX_FMT_YUV420P;
  m.enc->time_base = AVRational{1, fps};
  m.enc->framerate = AVRational{fps, 1};
  m.enc->gop_size = 2 * fps;
  if (m.fmt->oformat->flags & AVFMT_GLOBALHEADER) m.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(m.enc->priv_data, "preset", "veryfast", 0);
  av_opt_set_int(m.enc->priv_data, "crf", crf, 0);
  r = avcodec_open2(m.enc, codec, nullptr);
  if (r < 0) m.fail("opening the H.264 encoder", r);
  r = avcodec_parameters_from_context(m.stream->codecpar, m.enc);
  if (r < 0) m.fail("copying encoder parameters", r);
  m.stream->time_base = m.enc->time_base;

  m.frame->format = AV_PIX_FMT_YUV420P;
  m.frame->width = width;
  m.frame->height = height;
  r = av_frame_get_buffer(m.frame, 0);
  if (r < 0) m.fail("allocating a frame", r);
  m.sws = sws_getContext(width, height, AV_PIX_FMT_RGB24, width, height, AV_PIX_FMT_YUV420P,
                         SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!m.sws) throw std::runtime_error("movie writer: no RGB24 -> yuv420p converter");

  if (audioRate > 0) m.openAudio(audioRate);

  r = avio_open(&m.fmt->pb, m.part.c_str(), AVIO_FLAG_WRITE);
  if (r < 0) m.fail("creating the file", r);
  r = avformat_write_header(m.fmt, nullptr);
  if (r < 0) m.fail("writing the header", r);
}

MovieWriter::~MovieWriter() = default;

void MovieWriter::write(const uint8_t* rgb) {
  Impl& m = *impl_;
  if (m.finished) throw std::runtime_error("movie writer: write after finish for " + m.path);
  // The encoder may still hold a reference to the previous frame's planes.
  int r = av_frame_make_writable(m.frame);
  if (r < 0) m.fail("reusing a frame", r);
  const uint8_t* src[1] = {rgb};
  const int stride[1] = {3 * m.W};
  sws_scale(m.sws, src, stride, 0, m.H, m.frame->data, m.frame->linesize);
  m.frame->pts = m.count++;
  m.encode(m.frame);
}

void MovieWriter::writeAudio(const int16_t* samples, size_t count) {
  Impl& m = *impl_;
  if (!m.aenc) throw std::runtime_error("movie writer: " + m.path + " has no audio track");
  if (m.finished) throw std::runtime_error("movie writer: write after finish for " + m.path);
  for (size_t i = 0; i < count; ++i) m.pending.push_back(samples[i] * (1.0f / 32768.0f));
  m.audioCount += static_cast<int64_t>(count);
  while (m.pending.size() >= static_cast<size_t>(m.aenc->frame_size)) m.audioFrame();
}

void MovieWriter::finish() {
  Impl& m = *impl_;
  if (m.finished) return;
  m.encode(nullptr);
  if (m.aenc) {
    if (!m.pending.empty()) m.audioFrame();
    m.encodeAudio(nullptr);
  }
  int r = av_write_trailer(m.fmt);
  if (r < 0) m.fail("writing the trailer", r);
  avio_closep(&m.fmt->pb);
  if (std::rename(m.part.c_str(), m.path.c_str()) != 0)
    throw std::runtime_error("movie writer: cannot rename " + m.part + " to " + m.path);
  m.finished = true;
}

int64_t MovieWriter::frames() const { return impl_->count; }
int64_t MovieWriter::audioSamples() const { return impl_->audioCount; }

}  // namespace ka
