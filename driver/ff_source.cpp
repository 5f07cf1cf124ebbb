// The FFmpeg-backed sources: the MP4 driver video (4:2:0 to RGB24 through the vector row
// kernel) and the HEVC 4:4:4 warp prior (to planar half floats through a 256-entry table).
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/pixdesc.h>
}

#include "compute/core_budget.h"
#include "compute/simd.h"
#include "driver/ff_input.h"
#include "driver/source.h"
#include "base/log.h"

namespace ka::driver {
namespace {

constexpr const char* kHwDecoder = "h264_cuvid";

enum Kind : int32_t { kMovie = 0, kPrior = 1 };

// Threads for the software decoder: its share of the machine's core budget. Where the
// network and the paste take every core (two of two, say) extra decoder threads would
// only preempt them, so the decoder runs on the cursor's own thread.
int decoderThreads() { return CoreBudget::machine().decoder; }

std::atomic<int> g_forcedThreads{0};
std::atomic<bool> g_forcedSlices{false};

std::string avError(int code) {
  char buf[64];
  av_strerror(code, buf, sizeof buf);
  return buf;
}

std::string builtDecoderVersion() {
  return std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." + std::to_string(LIBAVCODEC_VERSION_MINOR) +
         "." + std::to_string(LIBAVCODEC_VERSION_MICRO);
}

std::string formatName(int fmt) {
  const char* n = av_get_pix_fmt_name(static_cast<AVPixelFormat>(fmt));
  return n ? n : "?";
}

class FfSource final : public Source {
 public:
  FfSource(Kind kind, std::string path, std::string container, int nt, int w, int h)
      : kind_(kind), path_(std::move(path)), container_(std::move(container)), NT_(nt), W_(w), H_(h) {
    if (kind_ == kPrior)
      for (int i = 0; i < 256; ++i) lut_[i] = ka::f32ToF16(static_cast<float>(i) / 255.0f);
  }
  ~FfSource() override { close(); }

  int NT() const override { return NT_; }
  int W() const override { return W_; }
  int H() const override { return H_; }
  size_t frameBytes() const override {
    const size_t rgb = static_cast<size_t>(W_) * static_cast<size_t>(H_) * 3;
    return kind_ == kPrior ? rgb * 2 : rgb;
  }
  std::string name() const override { return backend_; }

  bool next(uint8_t* dst) override { return decodeOne(dst); }

  void rewind() override {
    dropPendingPacket();
    if (!fmt_ || !dec_ || av_seek_frame(fmt_, stream_, 0, AVSEEK_FLAG_BACKWARD) < 0) {
      close();
      open();
    } else {
      avcodec_flush_buffers(dec_);
      flushed_ = false;
    }
    decoded_ = 0;
  }

  void seek(int i) override {
    if (i < 0 || i >= NT_) throw std::runtime_error("ka_driver: seek outside the member");
    if (i < decoded_) rewind();
    // Skipped frames are decoded and checked but never converted: nothing downstream
    // sees them, so there is no scratch frame to keep.
    while (decoded_ < i)
      if (!decodeOne(nullptr))
        throw std::runtime_error("ka_driver: " + path_ + " ended at frame " + std::to_string(decoded_) +
                                 " while seeking to " + std::to_string(i));
  }

  size_t residentBytes() const override {
    const size_t px = static_cast<size_t>(W_) * static_cast<size_t>(H_);
    const size_t f = kind_ == kPrior ? px * 3 : px * 3 / 2;  // one decoded YUV frame
    const int threads = decoderThreads_.load(std::memory_order_relaxed);
    const size_t frames = threads > 0 ? static_cast<size_t>(threads) + 5 : 6;
    return f * frames + static_cast<size_t>(maxPacket_.load(std::memory_order_relaxed));
  }

  void open();

 private:
  void close() {
    av_frame_free(&frame_);
    av_packet_free(&pkt_);
    avcodec_free_context(&dec_);
    avformat_close_input(&fmt_);
    stream_ = -1;
    pktPending_ = false;
    decoderThreads_.store(0, std::memory_order_relaxed);
  }

  void dropPendingPacket() {
    if (pkt_) av_packet_unref(pkt_);
    pktPending_ = false;
  }

  [[noreturn]] void fault(const std::string& what) const {
    throw std::runtime_error("ka_driver: " + path_ + what);
  }

  // Allocates a decoder context for `codec` with the stream's parameters.
  AVCodecContext* newContext(const AVCodec* codec, const AVCodecParameters* par) {
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) throw std::runtime_error("ka_driver: avcodec_alloc_context3 failed");
    if (avcodec_parameters_to_context(ctx, par) < 0) {
      avcodec_free_context(&ctx);
      throw std::runtime_error("ka_driver: avcodec_parameters_to_context failed");
    }
    return ctx;
  }

  bool decodeOne(uint8_t* dst);
  void convertMovie(const AVFrame* f, uint8_t* dst) const;
  void convertPrior(const AVFrame* f, uint8_t* dst) const;

  Kind kind_;
  std::string path_;
  std::string container_;  // the container family the member is demuxed as
  int32_t NT_, W_, H_;
  uint16_t lut_[256] = {};  // half(i / 255), prior only
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  AVPacket* pkt_ = nullptr;
  AVFrame* frame_ = nullptr;
  int32_t stream_ = -1;
  bool flushed_ = false;     // input ended; the decoder is being drained
  bool pktPending_ = false;  // pkt_ holds a packet the decoder has not accepted yet
  int32_t decoded_ = 0;      // frames returned since open, rewind or the start of a seek
  // Read by residentBytes() from other threads while the owning thread decodes.
  std::atomic<int32_t> maxPacket_{0};
  std::atomic<int32_t> decoderThreads_{0};  // 0 while no decoder is open
  std::string backend_;
};

void FfSource::open() {
  log::routeFfmpeg();
  // Demuxed as the family it is stored in and read as one file: a member that is really
  // a manifest or playlist (DASH, HLS, concat) would otherwise open what it names, on
  // the network or anywhere on the disk.
  const AVInputFormat* demuxer = ff::containerDemuxer(container_);
  if (!demuxer)
    fault(" is not a readable container (\"" + container_ + "\" is not a container family this library demuxes)");
  if (ff::openConfinedFile(&fmt_, path_, demuxer) < 0) {
    fmt_ = nullptr;
    fault(" is not a readable container");
  }
  if (avformat_find_stream_info(fmt_, nullptr) < 0) fault(" carries no stream info");
  for (unsigned i = 0; i < fmt_->nb_streams; ++i)
    if (fmt_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      stream_ = static_cast<int32_t>(i);
      break;
    }
  if (stream_ < 0) fault(" has no video stream");
  const AVStream* st = fmt_->streams[stream_];
  const AVCodecParameters* par = st->codecpar;
  if (par->width != W_ || par->height != H_)
    fault(" is " + std::to_string(par->width) + "x" + std::to_string(par->height) + ", the manifest says " +
          std::to_string(W_) + "x" + std::to_string(H_) + " — refusing to rescale the driver");
  if (st->nb_frames >= 1 && st->nb_frames != NT_)
    fault(" carries " + std::to_string(st->nb_frames) + " frames, the manifest says NT=" + std::to_string(NT_) +
          " — member/manifest mismatch, refusing");

  const AVCodec* codec = nullptr;
  const char* hw = std::getenv("KA_DRIVER_HWDEC");
  if (hw && std::strcmp(hw, "0") == 0) {
    KA_LOG_INFO(
        "[ka-driver] KA_DRIVER_HWDEC=0 — %s not attempted; the software decoder is the one "
        "decoder on this fleet (same samples)\n",
        kHwDecoder);
  } else if (kind_ == kMovie && par->codec_id == AV_CODEC_ID_H264) {
    if (const AVCodec* hwCodec = avcodec_find_decoder_by_name(kHwDecoder)) {
      dec_ = newContext(hwCodec, par);
      dec_->thread_count = 1;
      // Most machines lack the GPU decoder's driver: FFmpeg's lines about that are the
      // expected outcome of the probe, not errors for the host; the fallback is
      // reported below.
      int opened;
      {
        log::QuietFfmpegProbe quiet;
        opened = avcodec_open2(dec_, hwCodec, nullptr);
      }
      if (opened < 0) {
        avcodec_free_context(&dec_);
        KA_LOG_WARN(
            "[ka-driver] %s refused %s — falling back to the software h264 decoder (same "
            "samples, more CPU)\n",
            kHwDecoder, path_.c_str());
      } else {
        codec = hwCodec;
      }
    }
  }
  if (!codec) {
    codec = avcodec_find_decoder(par->codec_id);
    if (!codec)
      throw std::runtime_error("ka_driver: no decoder for " + path_ + " (codec id " +
                               std::to_string(static_cast<int>(par->codec_id)) + ")");
    dec_ = newContext(codec, par);
    const int forced = g_forcedThreads.load(std::memory_order_relaxed);
    dec_->thread_count = forced > 0 ? forced : decoderThreads();
    // Slice threads: at 1080p they cost less CPU per frame than frame threads (which also
    // hold one frame back per thread), measured at one and two pool threads.
    dec_->thread_type = forced > 0 && !g_forcedSlices.load(std::memory_order_relaxed) ? FF_THREAD_FRAME : FF_THREAD_SLICE;
    if (avcodec_open2(dec_, codec, nullptr) < 0) {
      avcodec_free_context(&dec_);
      throw std::runtime_error("ka_driver: could not open the decoder for " + path_);
    }
  }
  decoderThreads_.store(std::max(1, dec_->thread_count), std::memory_order_relaxed);

  pkt_ = av_packet_alloc();
  frame_ = av_frame_alloc();
  if (!pkt_ || !frame_) throw std::runtime_error("ka_driver: out of memory");
  flushed_ = false;
  pktPending_ = false;
  decoded_ = 0;
  backend_ = std::string(kind_ == kMovie ? "mp4/libavcodec " : "hevc444/libavcodec ") +
             builtDecoderVersion() + " " + codec->name;
}

bool FfSource::decodeOne(uint8_t* dst) {
  for (;;) {
    int r = avcodec_receive_frame(dec_, frame_);
    if (r == AVERROR_EOF) return false;
    if (r == AVERROR(EAGAIN)) {
      if (flushed_) return false;
      if (!pktPending_) {
        r = av_read_frame(fmt_, pkt_);
        if (r == AVERROR_EOF) {
          flushed_ = true;
          avcodec_send_packet(dec_, nullptr);
          continue;
        }
        if (r < 0) fault(" read fault (" + avError(r) + ")");
        if (pkt_->stream_index != stream_) {
          av_packet_unref(pkt_);
          continue;
        }
        maxPacket_.store(std::max(maxPacket_.load(std::memory_order_relaxed), pkt_->size),
                         std::memory_order_relaxed);
      }
      r = avcodec_send_packet(dec_, pkt_);
      if (r == AVERROR(EAGAIN)) {
        // The decoder wants its output read first; keep the packet rather than lose it.
        pktPending_ = true;
        continue;
      }
      dropPendingPacket();
      if (r < 0) fault(" packet refused (" + avError(r) + ")");
      continue;
    }
    if (r < 0) fault(" decode fault at frame " + std::to_string(decoded_) + " (" + avError(r) + ")");

    struct Release {
      AVFrame* f;
      ~Release() { av_frame_unref(f); }
    } release{frame_};
    if (frame_->width != W_ || frame_->height != H_) fault(" changed size mid-stream — refusing");
    if (kind_ == kMovie) convertMovie(frame_, dst);
    else convertPrior(frame_, dst);
    ++decoded_;
    return true;
  }
}

// Pixel layout is checked even for frames a seek discards (dst null), so a member fails
// at the same frame whichever way it is reached.
void FfSource::convertMovie(const AVFrame* f, uint8_t* dst) const {
  const bool planar = f->format == AV_PIX_FMT_YUV420P;
  const bool nv12 = f->format == AV_PIX_FMT_NV12;
  // The row kernel is limited-range arithmetic; a full-range stream is a different pixel
  // domain whatever pixel format name the decoder gives it.
  const bool fullRange = f->color_range == AVCOL_RANGE_JPEG;
  if ((!planar && !nv12) || fullRange)
    fault(" decoded to " + formatName(f->format) + (fullRange && (planar || nv12) ? " (full range)" : "") +
          ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) — refusing "
          "rather than pasting onto a different pixel domain");
  if (!dst) return;
  const size_t stride = static_cast<size_t>(W_) * 3;
  for (int y = 0; y < H_; ++y) {
    const uint8_t* yRow = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
    uint8_t* out = dst + static_cast<size_t>(y) * stride;
    if (planar) {
      const uint8_t* u = f->data[1] + static_cast<ptrdiff_t>(y / 2) * f->linesize[1];
      const uint8_t* v = f->data[2] + static_cast<ptrdiff_t>(y / 2) * f->linesize[2];
      ka::simd::yuv420RowToRgb24(yRow, u, v, W_, 1, out);
    } else {
      const uint8_t* uv = f->data[1] + static_cast<ptrdiff_t>(y / 2) * f->linesize[1];
      ka::simd::yuv420RowToRgb24(yRow, uv, uv + 1, W_, 2, out);
    }
  }
}

void FfSource::convertPrior(const AVFrame* f, uint8_t* dst) const {
  if (f->format != AV_PIX_FMT_YUV444P)
    fault(" decoded to " + formatName(f->format) +
          ", not the yuv444p a warp prior is authored in — a subsampled prior is a different mouth, "
          "refusing");
  if (!dst) return;
  const size_t plane = static_cast<size_t>(W_) * static_cast<size_t>(H_);
  uint16_t* outR = reinterpret_cast<uint16_t*>(dst);
  uint16_t* outG = outR + plane;
  uint16_t* outB = outG + plane;
  // Limited-range BT.601 in 16.16 fixed point; the table turns the byte into half(v/255).
  auto clamp = [](int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); };
  for (int y = 0; y < H_; ++y) {
    const uint8_t* Y = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
    const uint8_t* U = f->data[1] + static_cast<ptrdiff_t>(y) * f->linesize[1];
    const uint8_t* V = f->data[2] + static_cast<ptrdiff_t>(y) * f->linesize[2];
    const size_t row = static_cast<size_t>(y) * static_cast<size_t>(W_);
    for (int x = 0; x < W_; ++x) {
      const int c = (Y[x] - 16) * 76312;
      const int d = U[x] - 128;
      const int e = V[x] - 128;
      outR[row + x] = lut_[clamp((c + 104600 * e + 32768) >> 16)];
      outG[row + x] = lut_[clamp((c - 25672 * d - 53280 * e + 32768) >> 16)];
      outB[row + x] = lut_[clamp((c + 132200 * d + 32768) >> 16)];
    }
  }
}

std::unique_ptr<Source> openFf(Kind kind, const std::string& path, const std::string& container, int NT, int W,
                               int H) {
  auto src = std::make_unique<FfSource>(kind, path, container, NT, W, H);
  src->open();
  return src;
}

}  // namespace

std::unique_ptr<Source> openMovie(const std::string& path, const std::string& container, int NT, int W, int H) {
  return openFf(kMovie, path, container, NT, W, H);
}

namespace testing {
void setDecoderThreading(int threads, bool slices) {
  g_forcedSlices.store(slices, std::memory_order_relaxed);
  g_forcedThreads.store(threads > 0 ? threads : 0, std::memory_order_relaxed);
}
}  // namespace testing

std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H) {
  return openFf(kMovie, path, "mp4", NT, W, H);
}

std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int side) {
  return openFf(kPrior, path, "mp4", NT, side, side);
}

}  // namespace ka::driver
