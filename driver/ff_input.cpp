#include "driver/ff_input.h"

#include <cstring>

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

#include "base/log.h"

namespace ka::ff {
namespace {

using OpenFn = int (*)(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**);

// FFmpeg's own opener, which applies the context's protocol whitelist.
OpenFn defaultOpener() {
  static const OpenFn fn = [] {
    AVFormatContext* c = avformat_alloc_context();
    const OpenFn f = c ? c->io_open : nullptr;
    avformat_free_context(c);
    return f;
  }();
  return fn;
}

int refuse(const char* url) {
  KA_LOG_WARN("[ka-media] refused to open %s from inside a media input — inputs are read as one file\n",
              url ? url : "?");
  return AVERROR(EPERM);
}

// Every open of a context goes through its io_open. The input's own file is opened
// first, into the context's pb, by the context that was marked as ours (opaque points
// to itself); a demuxer's later opens — playlist entries, manifest segments, external
// references, sub-demuxers that copied this callback — are refused.
int ownFileOnly(AVFormatContext* s, AVIOContext** pb, const char* url, int flags, AVDictionary** options) {
  const OpenFn open = defaultOpener();
  if (s->opaque != s || pb != &s->pb || s->pb || !open) return refuse(url);
  s->opaque = nullptr;  // once
  return open(s, pb, url, flags, options);
}

int nothing(AVFormatContext*, AVIOContext**, const char* url, int, AVDictionary**) { return refuse(url); }

int open(AVFormatContext** fmt, const char* url, const AVInputFormat* demuxer, const char* protocols) {
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "protocol_whitelist", protocols, 0);
  if (demuxer) av_dict_set(&opts, "format_whitelist", demuxer->name, 0);
  const int rc = avformat_open_input(fmt, url, demuxer, &opts);
  av_dict_free(&opts);
  if (rc < 0) *fmt = nullptr;
  return rc;
}

}  // namespace

const AVInputFormat* containerDemuxer(const std::string& family) {
  static const char* const kMov[] = {"mp4", "mov", "m4a", "m4v", "3gp", "3g2", "mj2"};
  static const char* const kMatroska[] = {"matroska", "mkv", "webm"};
  for (const char* n : kMov)
    if (family == n) return av_find_input_format("mov");
  for (const char* n : kMatroska)
    if (family == n) return av_find_input_format("matroska");
  return nullptr;
}

int openConfinedFile(AVFormatContext** fmt, const std::string& path, const AVInputFormat* demuxer) {
  *fmt = avformat_alloc_context();
  if (!*fmt) return AVERROR(ENOMEM);
  (*fmt)->io_open = ownFileOnly;
  (*fmt)->opaque = *fmt;
  // The scheme is spelled out: a member named "http:..." is still a file name.
  return open(fmt, ("file:" + path).c_str(), demuxer, "file");
}

int openConfinedCustomIo(AVFormatContext** fmt, const AVInputFormat* demuxer) {
  (*fmt)->io_open = nothing;
  // No protocol matches this list, so an open that got past the callback fails anyway.
  return open(fmt, nullptr, demuxer, "none");
}

}  // namespace ka::ff
