#pragma once
// Opening media that came from outside — bundle members, tracks held in memory, speech
// files — so that the demuxer reads those bytes and nothing else. Left to itself FFmpeg
// probes every format it knows, and a playlist or manifest format (DASH, HLS, concat)
// then opens whatever URLs or paths its text names: a bundle could make the library
// fetch from the network or read any local file.
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

namespace ka::ff {

// The demuxer of a named container family: "mp4" (also "mov", "m4a", "m4v", "3gp",
// "3g2", "mj2": one demuxer) or "matroska" (also "mkv", "webm"). Null for any other name.
const AVInputFormat* containerDemuxer(const std::string& family);

// Opens the local file at `path` through the file protocol only, with `demuxer` alone
// (null: probed, for inputs of any container), and refuses every open the demuxer
// attempts beyond the file itself. Returns avformat_open_input's code; on failure *fmt
// is null.
int openConfinedFile(AVFormatContext** fmt, const std::string& path, const AVInputFormat* demuxer);

// The same for a context whose I/O the caller supplied (fmt->pb set, e.g. over memory):
// no protocol at all, no nested open. On failure avformat_open_input has freed *fmt.
int openConfinedCustomIo(AVFormatContext** fmt, const AVInputFormat* demuxer);

}  // namespace ka::ff
