#include "tools/serve/frame_encoder.h"

#include <cstdio>
#include <stdexcept>
#include <vector>

#include "base/log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace ka::serve {
namespace {

[[noreturn]] void failed(const char* what, int r) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = "";
  av_strerror(r, buf, sizeof buf);
  throw std::runtime_error(std::string("frame encoder: ") + what + ": " + buf);
}

// The first SPS in an Annex B stream gives profile, constraints and level: the three
// bytes of the WebCodecs "avc1." string.
std::string codecString(const std::vector<uint8_t>& au) {
  for (size_t i = 0; i + 7 < au.size(); ++i) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1 && (au[i + 3] & 0x1F) == 7) {
      char s[32];
      std::snprintf(s, sizeof s, "avc1.%02X%02X%02X", au[i + 4], au[i + 5], au[i + 6]);
      return s;
    }
  }
  return "avc1.42E01F";
}

}  // namespace

struct FrameEncoder::Impl {
  AVCodecContext* enc = nullptr;
  AVFrame* frame = nullptr;
  AVPacket* pkt = nullptr;
  SwsContext* sws = nullptr;
  std::vector<uint8_t> out;
  std::string codec;
  int64_t pts = 0;

  ~Impl() {
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
  }
};

FrameEncoder::FrameEncoder(int width, int height, int fps) : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  const int W = width & ~1, H = height & ~1;
  if (W < 2 || H < 2) throw std::runtime_error("frame encoder: picture too small");
  log::routeFfmpeg();
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) throw std::runtime_error("frame encoder: this FFmpeg has no libx264 encoder");
  m.enc = avcodec_alloc_context3(codec);
  m.frame = av_frame_alloc();
  m.pkt = av_packet_alloc();
  if (!m.enc || !m.frame || !m.pkt) throw std::runtime_error("frame encoder: out of memory");
  m.enc->width = W;
  m.enc->height = H;
  m.enc->pix_fmt = AV_PIX_FMT_YUV420P;
  m.enc->time_base = AVRational{1, fps};
  m.enc->framerate = AVRational{fps, 1};
  m.enc->gop_size = 2 * fps;
  m.enc->max_b_frames = 0;
  m.enc->thread_count = 1;  // slices across threads would compete with the renderer
  // Tell the decoder what the converter below produces, so the page's colours match.
  m.enc->colorspace = AVCOL_SPC_BT470BG;
  m.enc->color_primaries = AVCOL_PRI_BT470BG;
  m.enc->color_trc = AVCOL_TRC_SMPTE170M;
  m.enc->color_range = AVCOL_RANGE_MPEG;
  av_opt_set(m.enc->priv_data, "preset", "ultrafast", 0);
  av_opt_set(m.enc->priv_data, "tune", "zerolatency", 0);
  av_opt_set(m.enc->priv_data, "profile", "baseline", 0);
  av_opt_set_int(m.enc->priv_data, "crf", 23, 0);
  av_opt_set_int(m.enc->priv_data, "forced-idr", 1, 0);
  // Parameter sets in front of every IDR; no scene-cut keys between the forced ones.
  av_opt_set(m.enc->priv_data, "x264-params", "repeat-headers=1:scenecut=0:annexb=1", 0);
  int r = avcodec_open2(m.enc, codec, nullptr);
  if (r < 0) failed("opening libx264", r);
  m.frame->format = AV_PIX_FMT_YUV420P;
  m.frame->width = W;
  m.frame->height = H;
  r = av_frame_get_buffer(m.frame, 0);
  if (r < 0) failed("allocating a frame", r);
  m.sws = sws_getContext(W, H, AV_PIX_FMT_RGB24, W, H, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!m.sws) throw std::runtime_error("frame encoder: no RGB24 -> yuv420p converter");
  m.out.reserve(static_cast<size_t>(W) * H);
}

FrameEncoder::~FrameEncoder() = default;

int FrameEncoder::width() const { return impl_->enc->width; }
int FrameEncoder::height() const { return impl_->enc->height; }

const std::string& FrameEncoder::codec() const {
  Impl& m = *impl_;
  if (m.codec.empty()) {
    // A throwaway encoder of the same settings shows the parameter set this one writes.
    FrameEncoder probe(m.enc->width, m.enc->height, m.enc->framerate.num);
    std::vector<uint8_t> grey(static_cast<size_t>(m.enc->width) * m.enc->height * 3, 128);
    bool key = false;
    const auto au = probe.encode(grey.data(), 3 * m.enc->width, true, key);
    m.codec = codecString(std::vector<uint8_t>(au.begin(), au.end()));
  }
  return m.codec;
}

std::span<const uint8_t> FrameEncoder::encode(const uint8_t* rgb, int stride, bool forceKey, bool& isKey) {
  Impl& m = *impl_;
  // The encoder may still hold a reference to the previous picture's planes.
  int r = av_frame_make_writable(m.frame);
  if (r < 0) failed("reusing a frame", r);
  const uint8_t* src[1] = {rgb};
  const int srcStride[1] = {stride};
  sws_scale(m.sws, src, srcStride, 0, m.enc->height, m.frame->data, m.frame->linesize);
  m.frame->pts = m.pts++;
  m.frame->pict_type = forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  r = avcodec_send_frame(m.enc, m.frame);
  if (r < 0) failed("sending a frame", r);
  m.out.clear();
  isKey = false;
  for (;;) {
    r = avcodec_receive_packet(m.enc, m.pkt);
    if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
    if (r < 0) failed("receiving a packet", r);
    m.out.insert(m.out.end(), m.pkt->data, m.pkt->data + m.pkt->size);
    isKey = isKey || (m.pkt->flags & AV_PKT_FLAG_KEY);
    av_packet_unref(m.pkt);
  }
  return {m.out.data(), m.out.size()};
}

}  // namespace ka::serve
