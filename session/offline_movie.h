#pragma once
// ka::stream::writeMovie renders a speech file through an OfflineStream straight into an
// H.264 MP4 with the speech as its AAC track: the one path every host that makes clip
// files takes (the ka tool, the Python package's batch jobs), so their files are the same
// bytes for the same inputs.
#include <cstdint>
#include <string>

#include "ka/ka.h"
#include "session/offline_stream.h"

namespace ka::stream {

constexpr int kMovieFps = 25;
constexpr int kMovieCrf = 20;

// Reads `audioPath` (any file FFmpeg reads, resampled to 16 kHz mono), renders it and
// writes `outPath` (through outPath + ".part", renamed into place once complete; a
// failure leaves neither). Each frame carries its 640 samples of speech, the dropped
// frames' speech left out. `progress` (may be null) is called with done = 0 once the
// total is known, then after every frame written; `stats` (may be null) is filled as the
// run goes. Returns the frames written (> 0). Throws InterfaceError with the complete
// interface text of the failing step, std::runtime_error otherwise; Cancelled when
// stream.cancel() reached it before the movie was being finished (no file is left).
int writeMovie(OfflineStream& stream, const std::string& audioPath, const std::string& outPath,
               ka_stream_progress_cb progress, void* user, ka_stream_movie_stats* stats);

}  // namespace ka::stream
