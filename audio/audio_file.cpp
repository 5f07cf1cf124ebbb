// Decoding through libavformat/libavcodec and resampling through libswresample, so every
// container and codec the linked FFmpeg knows is accepted and no resampling is done by
// hand. The file is opened confined to itself: a playlist or manifest posing as audio
// opens nothing it names.
#include "audio/audio_file.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
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

#include "base/log.h"
#include "driver/ff_input.h"
#include "driver/ff_owners.h"

namespace ka {
namespace {

constexpr int kRate = 16000;
// What a file may decode to: 30 s, plus 256 samples at 16 kHz per byte of the file. The
// most compact speech codecs (700 bit/s) give about 180 per byte; a header that claims
// far more than its bytes can carry (a WAV "at 1 Hz") is refused long before the
// samples it claims are allocated.
constexpr size_t kBaseSamples = 30 * kRate;
constexpr size_t kSamplesPerByte = 256;
// The highest rate audio is recorded at. The resampler's filter grows with the ratio of
// the rates: a header stating 1.4 GHz had it build gigabytes of taps for half a minute.
constexpr int kMaxRate = 768000;

std::string avError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

uint32_t le32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Why a RIFF WAV cannot be read, or "" when it can (or is no RIFF WAV): it ends before
// its data chunk, holds none, or its data chunk declares more bytes than follow it
// (a length left open, 0 or 0xFFFFFFFF as streamed writers leave it, is not a claim).
// Checked before FFmpeg opens it, whose own word for all of these is "invalid data".
std::string wavDamage(const std::string& path, uint64_t fileBytes) {
  std::ifstream f(path, std::ios::binary);
  unsigned char head[12] = {0};
  f.read(reinterpret_cast<char*>(head), sizeof head);
  const uint64_t got = uint64_t(f.gcount());
  if (got < 4 || std::memcmp(head, "RIFF", 4) != 0) return "";
  if (got < 12) return "is truncated: it ends inside its RIFF header, at byte " + std::to_string(got);
  if (std::memcmp(head + 8, "WAVE", 4) != 0) return "";
  uint64_t at = 12;
  unsigned char chunk[8];
  while (at < fileBytes) {
    if (at + 8 > fileBytes || !f.seekg(std::streamoff(at)) || !f.read(reinterpret_cast<char*>(chunk), 8))
      break;
    const uint32_t size = le32(chunk + 4);
    if (std::memcmp(chunk, "data", 4) == 0) {
      const uint64_t held = fileBytes - (at + 8);
      if (size == 0 || size == 0xFFFFFFFFu || size <= held) return "";
      return "is truncated: its data chunk declares " + std::to_string(size) + " bytes of samples, " +
             std::to_string(size - held) + " of them are missing from the file";
    }
    at += 8 + uint64_t(size) + (size & 1);
  }
  // Ending on a chunk's boundary is still cut short when the RIFF header counts more.
  const uint32_t riff = le32(head + 4);
  const bool shortOfRiff = riff != 0 && riff != 0xFFFFFFFFu && uint64_t(riff) + 8 > fileBytes;
  if (at == fileBytes && !shortOfRiff) return "is a WAV without a data chunk: it holds no samples";
  return "is truncated: it ends inside its WAV header, at byte " + std::to_string(fileBytes);
}

// Whether any demuxer claims the file's first bytes as FFmpeg's own probe reads them,
// the file's name aside: a text file named .wav is no WAV.
const AVInputFormat* probeContents(const std::string& path, uint64_t fileBytes) {
  const size_t probeBytes = size_t(std::min<uint64_t>(fileBytes, 1 << 20));  // as much as FFmpeg probes
  std::ifstream f(path, std::ios::binary);
  std::vector<unsigned char> buf(probeBytes + AVPROBE_PADDING_SIZE, 0);
  f.read(reinterpret_cast<char*>(buf.data()), std::streamsize(probeBytes));
  AVProbeData pd{};
  pd.filename = "";
  pd.buf = buf.data();
  pd.buf_size = int(f.gcount());
  int score = 0;
  return pd.buf_size > 0 ? av_probe_input_format3(&pd, 1, &score) : nullptr;
}

using ff::CodecFreer;
using ff::FormatCloser;
using ff::FrameFreer;
using ff::PacketFreer;
struct SwrFreer {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct LayoutOwner {
  AVChannelLayout v{};
  ~LayoutOwner() { av_channel_layout_uninit(&v); }
};

class Reader {
 public:
  explicit Reader(const std::string& path) : path_(path) {}

  std::vector<float> run() {
    log::routeFfmpeg();
    std::error_code ec;
    const uintmax_t bytes = std::filesystem::file_size(path_, ec);
    fileBytes_ = ec ? 0 : uint64_t(bytes);
    limit_ = kBaseSamples + kSamplesPerByte * size_t(fileBytes_);
    if (!ec && bytes == 0) refuse("is empty");
    if (const std::string damage = wavDamage(path_, fileBytes_); !damage.empty()) refuse(damage);
    AVFormatContext* raw = nullptr;
    int rc = ff::openConfinedFile(&raw, path_, nullptr);
    if (rc == AVERROR_INVALIDDATA) {
      if (const AVInputFormat* claimed = probeContents(path_, fileBytes_))
        fail((std::string("cannot open as ") + claimed->long_name).c_str(), rc);
      refuse("is in no audio or video format FFmpeg reads");
    }
    if (rc < 0) fail("cannot open", rc);
    fmt_.reset(raw);
    if ((rc = avformat_find_stream_info(fmt_.get(), nullptr)) < 0) fail("cannot read stream info of", rc);
    const AVCodec* codec = nullptr;
    stream_ = av_find_best_stream(fmt_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
    if (stream_ == AVERROR_STREAM_NOT_FOUND) refuse("holds no audio stream");
    if (stream_ < 0 || !codec) fail("no decodable audio stream in", stream_ < 0 ? stream_ : 0);
    dec_.reset(avcodec_alloc_context3(codec));
    if (!dec_) throw std::runtime_error("readAudio16k: out of memory opening " + path_);
    if ((rc = avcodec_parameters_to_context(dec_.get(), fmt_->streams[stream_]->codecpar)) < 0)
      fail("cannot configure the decoder of", rc);
    // The decoder keeps the packets' clock, so skipping a codec's priming moves the
    // frames' timestamps with it.
    dec_->pkt_timebase = fmt_->streams[stream_]->time_base;
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
    trimToDeclaredEnd();
    return std::move(out_);
  }

 private:
  [[noreturn]] void fail(const char* what, int code) {
    std::string msg = std::string("readAudio16k: ") + what + " " + path_;
    if (code < 0) msg += " (" + avError(code) + ")";
    throw std::runtime_error(msg);
  }

  [[noreturn]] void refuse(const std::string& why) {
    throw std::runtime_error("readAudio16k: " + path_ + " " + why);
  }

  // MP4's edit list says where the sound ends inside the codec's last frame, and the
  // demuxer leaves cutting that padding to the player. Only a duration the container
  // states (not one guessed from the bit rate) is trusted, and it may cut no more than
  // the last frame: a container that understates its length loses no speech to it.
  void trimToDeclaredEnd() {
    const AVStream* st = fmt_->streams[stream_];
    if (fmt_->duration_estimation_method != AVFMT_DURATION_FROM_STREAM || st->duration <= 0 ||
        st->duration == AV_NOPTS_VALUE)
      return;
    const double seconds = double(st->duration) * av_q2d(st->time_base);
    if (!(seconds > 0) || seconds * kRate >= double(out_.size())) return;
    const size_t declared = size_t(std::llround(seconds * kRate));
    if (out_.size() - declared <= lastFrame_) out_.resize(declared);
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

  // The layout a frame's samples are in; a stream's declared layout may be unset, and an
  // unspecified order is taken as the default order of its channel count.
  void layoutOf(const AVFrame* f, AVChannelLayout* out) {
    if (f->ch_layout.nb_channels > 0) {
      if (av_channel_layout_copy(out, &f->ch_layout) < 0) fail("bad channel layout in", 0);
    } else {
      av_channel_layout_default(out, dec_->ch_layout.nb_channels > 0 ? dec_->ch_layout.nb_channels : 1);
    }
    if (out->order == AV_CHANNEL_ORDER_UNSPEC) {
      const int n = out->nb_channels;
      av_channel_layout_uninit(out);
      av_channel_layout_default(out, n);
    }
  }

  // The resampler is built for the format of the frame in hand and rebuilt whenever a
  // frame arrives in another one: streams joined end to end (ADTS, MP3, raw codecs) may
  // change rate, channel count or sample format part way, and a resampler fed samples
  // of another layout reads past their planes.
  void ensureResampler(const AVFrame* f) {
    LayoutOwner layout;
    layoutOf(f, &layout.v);
    const int rate = f->sample_rate > 0 ? f->sample_rate : dec_->sample_rate;
    if (rate <= 0) fail("no sample rate in", 0);
    if (rate > kMaxRate)
      refuse("has a sample rate of " + std::to_string(rate) + " Hz, above the " + std::to_string(kMaxRate) +
             " Hz any audio is recorded at");
    if (swr_ && rate == inRate_ && f->format == inFormat_ && av_channel_layout_compare(&layout.v, &inLayout_.v) == 0)
      return;
    // What the old resampler still holds belongs before the change.
    if (swr_) drainResampler();
    swr_.reset();
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* s = nullptr;
    int rc = swr_alloc_set_opts2(&s, &mono, AV_SAMPLE_FMT_FLT, kRate, &layout.v,
                                 static_cast<AVSampleFormat>(f->format), rate, 0, nullptr);
    if (rc < 0 || !s) fail("cannot set up resampling for", rc);
    swr_.reset(s);
    if ((rc = swr_init(s)) < 0) fail("cannot set up resampling for", rc);
    inRate_ = rate;
    inFormat_ = f->format;
    av_channel_layout_uninit(&inLayout_.v);
    if (av_channel_layout_copy(&inLayout_.v, &layout.v) < 0) fail("bad channel layout in", 0);
  }

  void convert(const AVFrame* f) {
    if (f->nb_samples <= 0) return;
    ensureResampler(f);
    lastFrame_ = size_t(av_rescale(f->nb_samples, kRate, inRate_)) + 2;
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
    if (static_cast<size_t>(cap) > limit_ - std::min(at, limit_))
      throw std::runtime_error("readAudio16k: " + path_ + " claims more audio than its " +
                               std::to_string(fileBytes_) + " bytes can hold: at " + std::to_string(inRate_) +
                               " Hz, as its header states, it would decode to over " + std::to_string(limit_) +
                               " samples at 16 kHz — refusing");
    out_.resize(at + static_cast<size_t>(cap));
    uint8_t* dst = reinterpret_cast<uint8_t*>(out_.data() + at);
    const int got = swr_convert(swr_.get(), &dst, cap, in, inCount);
    if (got < 0) {
      out_.resize(at);
      fail("resampling failed for", got);
    }
    out_.resize(at + static_cast<size_t>(got));
    // Damaged packets decode to anything, infinities and NaN included; the engines are
    // promised samples in [-1, 1].
    for (size_t i = at; i < out_.size(); ++i) {
      const float v = out_[i];
      out_[i] = std::isfinite(v) ? std::clamp(v, -1.0f, 1.0f) : 0.0f;
    }
  }

  std::string path_;
  uint64_t fileBytes_ = 0;
  size_t limit_ = 0;      // samples the file may decode to
  size_t lastFrame_ = 0;  // the last decoded frame's length at 16 kHz, and some
  std::unique_ptr<AVFormatContext, FormatCloser> fmt_;
  std::unique_ptr<AVCodecContext, CodecFreer> dec_;
  std::unique_ptr<SwrContext, SwrFreer> swr_;
  int inRate_ = 0, inFormat_ = -1;  // what swr_ was built for
  LayoutOwner inLayout_;
  std::unique_ptr<AVFrame, FrameFreer> frame_;
  int stream_ = -1;
  std::vector<float> out_;
};

}  // namespace

std::vector<float> readAudio16k(const std::string& path) { return Reader(path).run(); }

}  // namespace ka
