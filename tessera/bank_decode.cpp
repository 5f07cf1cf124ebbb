// The bank track arrives as bytes the host read (or unpacked) itself, so it is demuxed
// from memory through a custom I/O context rather than from a path, by the demuxer of
// the container the manifest names and by no other: a track that is really a playlist
// or manifest would otherwise make the decoder fetch what it names. Every FFmpeg object
// is held by an owner below, so each refusal on the way frees what was built so far.
#include "tessera/bank_decode.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "driver/ff_input.h"
#include "driver/ff_owners.h"
#include "tessera/bank_load.h"
#include "base/log.h"

namespace ka::tessera {
namespace {

constexpr int kIoBufferBytes = 65536;

[[noreturn]] void refuse(const std::string& what) { throw std::runtime_error(what); }

// The block being demuxed and the read position in it.
struct MemoryTrack {
  const uint8_t* data = nullptr;
  int64_t size = 0;
  int64_t pos = 0;
};

int readTrack(void* opaque, uint8_t* buf, int buf_size) {
  auto* t = static_cast<MemoryTrack*>(opaque);
  if (buf_size <= 0) return 0;
  if (t->pos >= t->size) return AVERROR_EOF;
  const int64_t n = std::min<int64_t>(buf_size, t->size - t->pos);
  std::memcpy(buf, t->data + t->pos, static_cast<size_t>(n));
  t->pos += n;
  return static_cast<int>(n);
}

int64_t seekTrack(void* opaque, int64_t offset, int whence) {
  auto* t = static_cast<MemoryTrack*>(opaque);
  whence &= ~AVSEEK_FORCE;
  if (whence == AVSEEK_SIZE) return t->size;
  int64_t base = 0;
  switch (whence) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = t->pos; break;
    case SEEK_END: base = t->size; break;
    default: return AVERROR(EINVAL);
  }
  // The demuxer passes offsets read from the container itself: keep the sum in range.
  if ((offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) ||
      (offset < 0 && base < std::numeric_limits<int64_t>::min() - offset))
    return AVERROR(EINVAL);
  const int64_t target = base + offset;
  if (target < 0 || target > t->size) return AVERROR(EINVAL);
  t->pos = target;
  return target;
}

// Owners. The I/O context's buffer may have been replaced by FFmpeg while reading, so
// it is freed through the context, not through the pointer handed to it.
struct IoFree {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
struct ScalerFree {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct BufferFree {
  void operator()(uint8_t* b) const { av_free(b); }
};

// Receives decoded frames into their donor slots.
class SlotWriter {
 public:
  SlotWriter(int n, int band_h, int band_w, const std::vector<int>& order, std::vector<uint8_t>* out)
      : n_(n), h_(band_h), w_(band_w), order_(order), out_(out) {}

  void take(const AVFrame* f) {
    if (f->width != w_ || f->height != h_) refuse("reference bank frame changed size mid-track — refusing to serve");
    if (!scaler_) {
      format_ = f->format;
      scaler_.reset(sws_getContext(w_, h_, static_cast<AVPixelFormat>(f->format), w_, h_, AV_PIX_FMT_RGB24,
                                   SWS_BILINEAR, nullptr, nullptr, nullptr));
      if (!scaler_) refuse("reference bank decode: no rgb24 conversion — refusing to serve");
    } else if (f->format != format_) {
      // The scaler reads the planes of the format it was made for; another layout would
      // be read out of bounds.
      refuse("reference bank frame changed pixel format mid-track — refusing to serve");
    }
    if (count_ >= n_)
      refuse("bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to serve");
    const size_t patch = size_t(h_) * size_t(w_) * 3;
    uint8_t* dst[4] = {out_->data() + size_t(order_[size_t(count_)]) * patch, nullptr, nullptr, nullptr};
    const int stride[4] = {w_ * 3, 0, 0, 0};
    sws_scale(scaler_.get(), f->data, f->linesize, 0, h_, dst, stride);
    ++count_;
  }
  int count() const { return count_; }

 private:
  int n_, h_, w_;
  const std::vector<int>& order_;
  std::vector<uint8_t>* out_;
  std::unique_ptr<SwsContext, ScalerFree> scaler_;
  int format_ = -1;
  int count_ = 0;
};

}  // namespace

std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, const std::string& container, int n,
                                     int band_h, int band_w, const std::vector<int>& track_order) {
  if (!data || size == 0) refuse("reference bank track is empty — refusing to serve");
  if (band_h < 1 || band_w < 1 || n < 1) refuse("reference bank geometry is not positive — refusing to serve");
  if (track_order.size() != size_t(n))
    refuse("reference bank sidecar track_order has " + std::to_string(track_order.size()) + " entries, expected " +
           std::to_string(n) + " — sidecar/track mismatch, refusing to serve");
  const AVInputFormat* demuxer = ff::containerDemuxer(container);
  if (!demuxer)
    refuse("reference bank container \"" + container +
           "\" is not one this library demuxes (the mp4 or matroska family) — refusing to serve");
  log::routeFfmpeg();

  MemoryTrack track{data, static_cast<int64_t>(size), 0};
  std::unique_ptr<uint8_t, BufferFree> buffer(static_cast<uint8_t*>(av_malloc(kIoBufferBytes)));
  if (!buffer) refuse("reference bank decode: out of memory");
  std::unique_ptr<AVIOContext, IoFree> io(
      avio_alloc_context(buffer.get(), kIoBufferBytes, 0, &track, readTrack, nullptr, seekTrack));
  if (!io) refuse("reference bank decode: avio_alloc_context failed");
  buffer.release();  // the I/O context owns it now

  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) refuse("reference bank decode: avformat_alloc_context failed");
  raw->pb = io.get();
  raw->flags |= AVFMT_FLAG_CUSTOM_IO;
  // On failure avformat_open_input frees the context itself and nulls the pointer.
  if (ff::openConfinedCustomIo(&raw, demuxer) < 0)
    refuse("reference bank track is not a readable container — refusing to serve");
  std::unique_ptr<AVFormatContext, ff::FormatCloser> fmt(raw);
  if (avformat_find_stream_info(fmt.get(), nullptr) < 0)
    refuse("reference bank track carries no stream info — refusing to serve");

  int stream = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i)
    if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      stream = static_cast<int>(i);
      break;
    }
  if (stream < 0) refuse("reference bank track has no video stream — refusing to serve");
  const AVCodecParameters* par = fmt->streams[stream]->codecpar;
  if (par->width != band_w || par->height != band_h)
    refuse("reference bank track is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
           ", the geometry stamp says " + std::to_string(band_w) + "x" + std::to_string(band_h) +
           " — geometry mismatch, refusing to serve");

  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  if (!codec)
    refuse("no decoder for the reference bank track — this build must carry the h264 decoder (see "
           "build_ffmpeg_android.sh); refusing to serve");
  std::unique_ptr<AVCodecContext, ff::CodecFreer> dec(avcodec_alloc_context3(codec));
  if (!dec) refuse("reference bank decode: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(dec.get(), par) < 0)
    refuse("reference bank decode: avcodec_parameters_to_context failed");
  if (avcodec_open2(dec.get(), codec, nullptr) < 0)
    refuse("reference bank decode: could not open the decoder — refusing to serve");
  std::unique_ptr<AVPacket, ff::PacketFreer> pkt(av_packet_alloc());
  std::unique_ptr<AVFrame, ff::FrameFreer> frame(av_frame_alloc());
  if (!pkt || !frame) refuse("reference bank decode: out of memory");

  std::vector<uint8_t> out(size_t(n) * size_t(band_h) * size_t(band_w) * 3, 0);
  std::vector<uint8_t> seen(size_t(n), 0);
  for (const int d : track_order) {
    if (d < 0 || d >= n) refuse("reference bank track_order is out of range — refusing to serve");
    if (seen[size_t(d)]) refuse("reference bank track_order is not a permutation — refusing to serve");
    seen[size_t(d)] = 1;
  }

  SlotWriter slots(n, band_h, band_w, track_order, &out);
  // Drains every frame the decoder has ready; true once it reports the end of the
  // stream (only after the flush packet).
  auto drain = [&]() -> bool {
    for (;;) {
      const int r = avcodec_receive_frame(dec.get(), frame.get());
      if (r == AVERROR(EAGAIN)) return false;
      if (r == AVERROR_EOF) return true;
      if (r < 0) refuse("reference bank decode: the decoder failed mid-track — refusing to serve");
      slots.take(frame.get());
      av_frame_unref(frame.get());
    }
  };
  // A packet the decoder rejects is dropped: the frames it carried are then missing, and
  // the frame count below refuses the track.
  while (av_read_frame(fmt.get(), pkt.get()) >= 0) {
    if (pkt->stream_index == stream) {
      avcodec_send_packet(dec.get(), pkt.get());
      av_packet_unref(pkt.get());
      drain();
    } else {
      av_packet_unref(pkt.get());
    }
  }
  avcodec_send_packet(dec.get(), nullptr);
  drain();
  if (slots.count() != n)
    refuse("bank track decoded to " + std::to_string(slots.count()) + " frames, expected " + std::to_string(n) +
           " — geometry/N mismatch, refusing to serve");
  return out;
}

std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n, int band_h, int band_w,
                                     const std::vector<int>& track_order) {
  return decodeBankTrack(data, size, "mp4", n, band_h, band_w, track_order);
}

BankData loadBank(const TesseraAttachInputs& in) {
  std::ifstream f(in.bank_track_path, std::ios::binary);
  const std::vector<uint8_t> track((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (!f.eof() && !f)
    refuse("reference bank track " + in.bank_track_path + " cannot be read — refusing to serve");
  if (in.cent.size() != 2 * size_t(std::max(in.n_donors, 0)))
    refuse("teeth: bank sidecar arrays disagree with n_donors");
  BankData b;
  b.bytes = decodeBankTrack(track.data(), track.size(), in.bank_container, in.n_donors, in.band_h, in.band_w,
                            std::vector<int>(in.track_order.begin(), in.track_order.end()));
  b.n_donors = in.n_donors;
  for (int d = 0; d < in.n_donors; ++d) b.cent.push_back({in.cent[size_t(2 * d)], in.cent[size_t(2 * d + 1)]});
  b.c_canon = {in.c_canon[0], in.c_canon[1]};
  b.aperture = in.aperture;
  b.stamp = GeometryStamp::fromArray(in.stamp);
  return b;
}

std::string bankDecoderBuild() {
  // The library this process runs, which may differ from the headers it was built with.
  const unsigned v = avcodec_version();
  return "libavcodec " + std::to_string(AV_VERSION_MAJOR(v)) + "." + std::to_string(AV_VERSION_MINOR(v)) + "." +
         std::to_string(AV_VERSION_MICRO(v)) + " / " + avcodec_configuration();
}

}  // namespace ka::tessera
