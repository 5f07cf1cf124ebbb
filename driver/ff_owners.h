#pragma once
// Deleters that let std::unique_ptr own the FFmpeg objects every decoder of the library
// opens, so each early refusal frees what was built before it.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace ka::ff {

struct FormatCloser {
  // An input opened over a custom I/O context leaves that context to its owner.
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

}  // namespace ka::ff
