// Decoding through libavformat/libavcodec and resampling through libswresample, so every
// container and codec the linked FFmpeg knows is accepted and no resampling is done by
// hand.
#include "audio/audio_file.h"

#include <memory>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include "driver/ff_owners.h"
#include "base/log.h"

namespace ka {
namespace {

constexpr int kRate = 16000;

std::string avError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

using ff::CodecFreer;
using ff::FormatCloser;
using ff::FrameFreer;
using ff::PacketFreer;
struct SwrFreer {
  void operator()(SwrContext* s) const { swr_free(&s); }
};

class Reader {
 public:
  explicit Reader(const std::string& path) : path_(path) {}

  std::vector<float> run() {
    log::routeFfmpeg();
    AVFormatContext* raw = nullptr;
    int rc = avformat_open_input(&raw, path_.c_str(), nullptr, nullptr);
    if (rc < 0) fail("cannot open", rc);
    fmt_.reset(raw);
    if ((rc = avformat_find_stream_info(fmt_.get(), nullptr)) < 0) fail("cannot read stream info of", rc);
    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(fmt_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream_ < 0 || !codec) fail("no decodable audio stream in", stream_ < 0 ? stream_ : 0);
    dec_.reset(avcodec_alloc_context3(codec));
    if (!dec_) throw std::runtime_error("readAudio16k: out of memory opening " + path_);
    if ((rc = avcodec_parameters_to_context(dec_.get(), fmt_->streams[stream_]->codecpar)) < 0)
      fail("cannot configure the decoder of", rc);
    if ((rc = avcodec_open2(dec_.get(), codec, nullptr)) < 0) fail("cannot open the decoder of", rc);

    frame_.reset(av_frame_alloc());
    AVPacket* pkt = av_packet_alloc();
    std::unique_ptr<AVPacket, PacketFreer> packet(pkt);
    if (!frame_ || !pkt) throw std::runtime_error("readAudio16k: out of memory reading " + path_);
    while ((rc = av_read_frame(fmt_.get(), pkt)) >= 0) {
      if (pkt->stream_index == stream_) send(pkt);
      av_packet_unref(pkt);
    }
    if (rc != AVERROR_EOF) fail("read error in", rc);
    send(nullptr);
    if (swr_) drainResampler();
    return std::move(out_);
  }

 private:
  [[noreturn]] void fail(const char* what, int code) {
    std::string msg = std::string("readAudio16k: ") + what + " " + path_;
    if (code < 0) msg += " (" + avError(code) + ")";
    throw std::runtime_error(msg);
  }

  void send(const AVPacket* pkt) {
    int rc = avcodec_send_packet(dec_.get(), pkt);
    // A damaged packet in the middle of a file is skipped, as players do; what the
    // decoder cannot take at the end is reported.
    if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) {
      if (pkt) return;
      fail("decoder failed on", rc);
    }
    while ((rc = avcodec_receive_frame(dec_.get(), frame_.get())) >= 0) {
      convert(frame_.get());
      av_frame_unref(frame_.get());
    }
    if (rc != AVERROR(EAGAIN) && rc != AVERROR_EOF) fail("decoder failed on", rc);
  }

  // The resampler is built from the first decoded frame: a stream's declared layout and
  // rate may be unset until then.
  void ensureResampler(const AVFrame* f) {
    if (swr_) return;
    AVChannelLayout inLayout;
    if (f->ch_layout.nb_channels > 0) {
      if (av_channel_layout_copy(&inLayout, &f->ch_layout) < 0) fail("bad channel layout in", 0);
    } else {
      av_channel_layout_default(&inLayout, dec_->ch_layout.nb_channels > 0 ? dec_->ch_layout.nb_channels : 1);
    }
    if (inLayout.order == AV_CHANNEL_ORDER_UNSPEC) {
      const int n = inLayout.nb_channels;
      av_channel_layout_uninit(&inLayout);
      av_channel_layout_default(&inLayout, n);
    }
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* s = nullptr;
    const int inRate = f->sample_rate > 0 ? f->sample_rate : dec_->sample_rate;
    if (inRate <= 0) fail("no sample rate in", 0);
    int rc = swr_alloc_set_opts2(&s, &mono, AV_SAMPLE_FMT_FLT, kRate, &inLayout,
                                 static_cast<AVSampleFormat>(f->format), inRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    if (rc < 0 || !s) fail("cannot set up resampling for", rc);
    swr_.reset(s);
    if ((rc = swr_init(s)) < 0) fail("cannot set up resampling for", rc);
  }

  void convert(const AVFrame* f) {
    ensureResampler(f);
    if (f->nb_samples <= 0) return;
    const int cap = swr_get_out_samples(swr_.get(), f->nb_samples);
    if (cap < 0) fail("resampling failed for", cap);
    append(const_cast<const uint8_t**>(f->extended_data), f->nb_samples, cap);
  }

  void drainResampler() {
    const int cap = swr_get_out_samples(swr_.get(), 0);
    if (cap > 0) append(nullptr, 0, cap);
  }

  void append(const uint8_t** in, int inCount, int cap) {
    const size_t at = out_.size();
    out_.resize(at + static_cast<size_t>(cap));
    uint8_t* dst = reinterpret_cast<uint8_t*>(out_.data() + at);
    const int got = swr_convert(swr_.get(), &dst, cap, in, inCount);
    if (got < 0) {
      out_.resize(at);
      fail("resampling failed for", got);
    }
    out_.resize(at + static_cast<size_t>(got));
  }

  std::string path_;
  std::unique_ptr<AVFormatContext, FormatCloser> fmt_;
  std::unique_ptr<AVCodecContext, CodecFreer> dec_;
  std::unique_ptr<SwrContext, SwrFreer> swr_;
  std::unique_ptr<AVFrame, FrameFreer> frame_;
  int stream_ = -1;
  std::vector<float> out_;
};

}  // namespace

std::vector<float> readAudio16k(const std::string& path) { return Reader(path).run(); }

}  // namespace ka
